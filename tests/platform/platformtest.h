// Helpers shared by the platform tests.
#ifndef STENDIX_TESTS_PLATFORMTEST_H
#define STENDIX_TESTS_PLATFORMTEST_H

#include "benchstatus.h"
#include "vek72api.h"
#include "vekapi.h"

#include <QElapsedTimer>
#include <QMap>
#include <QTest>

#include <vector>

// The service address every caller passes; VEK_SERVICE (set by VekdRunner) overrides it.
constexpr uint32_t kLocal = 0x7F000001u;
constexpr uint16_t kPort = 11111;
// The built-in bench's crate with a VEK72-1-8 in slot 3 and a VEK72-2-4 in slot 7.
constexpr char kCrate[] = "4B210736";

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

// A VEK72 handle of a module of kCrate, closed when the object goes.
struct Module {
    TVEK72 h;
    Module() { VEK72_Init(&h); }
    ~Module() { VEK72_Close(&h); }
    int open(int slot) { return VEK72_Open(&h, kLocal, kPort, kCrate, uint16_t(slot)); }
    // channels: physical index -> output selector
    int configure(const QMap<int, int>& channels, uint8_t mode, double rate)
    {
        for (auto& c : h.config.channel) c = TVEK72_CHANNEL{0, 0, 0, 0};
        for (auto it = channels.begin(); it != channels.end(); ++it)
            h.config.channel[it.key()] = TVEK72_CHANNEL{1, uint8_t(it.value()), 0, 0};
        h.config.outputMode = mode;
        h.config.dacEnable = 1;
        VEK72_FillOutFreq(&h.config, rate, nullptr);
        return VEK72_Configure(&h);
    }
    // The words of the samples; empty when the conversion is refused.
    std::vector<uint32_t> prepare(const std::vector<double>& samples)
    {
        std::vector<uint32_t> words(samples.size());
        if (VEK72_PrepareDacData(&h, samples.data(), uint32_t(samples.size()), VEK72_PREPARE_VOLTS, words.data(), nullptr))
            words.clear();
        return words;
    }
    int send(const std::vector<uint32_t>& words, uint32_t timeoutMs = 1000)
    {
        return VEK72_Send(&h, words.data(), uint32_t(words.size()), timeoutMs);
    }
};

// A service control connection, closed when the object goes.
struct ServiceControl {
    TVEK h;
    ServiceControl() { VEK_Init(&h); }
    ~ServiceControl() { VEK_Close(&h); }
    int open() { return VEK_OpenSvcControl(&h, kLocal, kPort); }
};

// What the simulator says of a module of kCrate.
inline QJsonObject moduleStatus(VekdRunner& vekd, int slot)
{
    return benchstatus::module(benchstatus::status(vekd), kCrate, slot);
}

inline double counter(VekdRunner& vekd, int slot, const char* name)
{
    return moduleStatus(vekd, slot)["counters"].toObject()[name].toDouble(-1);
}

#endif
