// The scope's side of the crate service simulator: the modules it knows, with their configuration
// and whether they play (its status), and the last frames a module played (its capture).
#ifndef VEKSCOPE_SCOPESERVICE_H
#define VEKSCOPE_SCOPESERVICE_H

#include <QMetaType>
#include <QString>
#include <QVector>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "client.h"

namespace scope {

// One VEK72 as the service reports it.
struct ModuleInfo
{
    QString crate;
    int slot = 0;
    QString name;              // "VEK72-<modification>-<channels>"
    int channels = 0;          // DAC channels of the module
    bool configured = false;
    bool running = false;
    double outputRate = 0.0;   // frames per second while it plays
    QVector<int> enabled;      // channel numbers (1..8) of the configuration, ascending
    QVector<double> outputs;   // present output of channel 1, 2, ... in volts
};

// The last frames a module played: one column per enabled channel.
struct Capture
{
    QVector<int> channels;       // channel number (1..8) of each column
    int64_t frames = 0;
    std::vector<double> volts;   // frames x channels.size(), frame by frame
};

// "HOST:PORT" of a service address.
QString addressText(const vekproto::Endpoint& endpoint);

class ScopeService
{
public:
    enum Result { Ok, Unreachable, Broken, NoModule };

    explicit ScopeService(const vekproto::Endpoint& endpoint);
    ~ScopeService();
    ScopeService(const ScopeService&) = delete;
    ScopeService& operator=(const ScopeService&) = delete;

    // Every VEK72 of every crate, in the service's order.
    Result modules(QVector<ModuleInfo>* out);
    // The last `frames` frames played by the module (fewer when fewer were kept).
    Result capture(const QString& crate, int slot, int64_t frames, Capture* out);

    // Breaks off the exchange in progress, from any thread: it answers Unreachable at once instead
    // of waiting for the service up to its time-out, and so does every later call. For a scope
    // that is closing.
    void abort();

private:
    // One exchange; an answer longer than maxPayload is refused from its header (Broken).
    Result call(uint16_t opcode, const vekproto::Writer& request, std::vector<uint8_t>* reply,
                uint32_t maxPayload = 0xFFFFFFFFu);

    vekproto::Endpoint endpoint;
    std::mutex socketMutex;  // `socket` against abort(); only the calling thread closes it
    int socket = -1;
    std::atomic<bool> aborted{false};
    uint32_t requestId = 0;
};

// One look at the service: its modules and, for the one asked for while it plays, the frames of
// one screen (see framesForWindow).
struct Acquisition
{
    ScopeService::Result result = ScopeService::Unreachable;
    QVector<ModuleInfo> modules;
    int module = -1;  // index into modules, -1 when the service has no such VEK72
    Capture capture;
};

// The module is the first VEK72 in `crate` and `slot` (empty and 0: any, see findModule); the
// capture covers a window of `windowSeconds` at the module's rate and as much again.
Acquisition acquire(ScopeService& service, const QString& crate, int slot, double windowSeconds);

// The first VEK72 of the list that sits in the given crate and slot; an empty crate takes any
// crate, a slot of 0 any slot. -1 when there is none.
int findModule(const QVector<ModuleInfo>& modules, const QString& crate, int slot);

} // namespace scope

Q_DECLARE_METATYPE(scope::Acquisition)

#endif
