// Helpers shared by the platform tests.
#ifndef STENDIX_TESTS_PLATFORMTEST_H
#define STENDIX_TESTS_PLATFORMTEST_H

#include "vek72api.h"
#include "vekapi.h"

#include <QElapsedTimer>
#include <QTest>

// The service address every caller passes; VEK_SERVICE (set by VekdRunner) overrides it.
constexpr uint32_t kLocal = 0x7F000001u;
constexpr uint16_t kPort = 11111;

// Opens a module through the service, waiting at most boundMs while the service still holds the
// module for a client that has just vanished.
inline int openWhenReleased(TVEK72* h, const char* crate, uint16_t slot, int boundMs = 5000)
{
    QElapsedTimer t;
    t.start();
    int rc;
    while ((rc = VEK72_Open(h, kLocal, kPort, crate, slot)) == VEK72_E_BUSY && t.elapsed() < boundMs)
        QTest::qWait(10);
    return rc;
}

// A service control connection and the module in slot 3 of crate "4B210736" of the built-in bench,
// opened by open() and closed when the object goes.
struct ServiceAndModule {
    TVEK svc;
    TVEK72 m;
    ServiceAndModule()
    {
        VEK_Init(&svc);
        VEK72_Init(&m);
    }
    ~ServiceAndModule()
    {
        VEK72_Close(&m);
        VEK_Close(&svc);
    }
    bool open()
    {
        return VEK_OpenSvcControl(&svc, kLocal, kPort) == 0 && VEK72_Open(&m, kLocal, kPort, "4B210736", 3) == 0;
    }
};

#endif
