// Helpers shared by the platform tests.
#ifndef STENDIX_TESTS_PLATFORMTEST_H
#define STENDIX_TESTS_PLATFORMTEST_H

#include "vek72api.h"

#include <QElapsedTimer>
#include <QTest>

// Opens a module through the service at 127.0.0.1:11111 (VEK_SERVICE overrides it), waiting at most
// boundMs while the service still holds the module for a client that has just vanished.
inline int openWhenReleased(TVEK72* h, const char* crate, uint16_t slot, int boundMs = 5000)
{
    QElapsedTimer t;
    t.start();
    int rc;
    while ((rc = VEK72_Open(h, 0x7F000001u, 11111, crate, slot)) == VEK72_E_BUSY && t.elapsed() < boundMs)
        QTest::qWait(10);
    return rc;
}

#endif
