#include "scopeservice.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "scopemath.h"
#include "wire.h"

#include <algorithm>

#include <sys/socket.h>

namespace scope {

namespace {

// Upper bound of one request and its answer; a capture of a whole ring is 64 MiB.
constexpr uint32_t exchangeTimeoutMs = 5000;

} // namespace

ScopeService::ScopeService(const vekproto::Endpoint& endpoint) : endpoint(endpoint) {}

ScopeService::~ScopeService()
{
    vekproto::closeSocket(socket);
}

QString addressText(const vekproto::Endpoint& endpoint)
{
    return QStringLiteral("%1:%2").arg(QString::fromStdString(endpoint.host)).arg(endpoint.port);
}

ScopeService::Result ScopeService::call(uint16_t opcode, const vekproto::Writer& request, std::vector<uint8_t>* reply,
                                        uint32_t maxPayload)
{
    if (aborted)
        return Unreachable;
    // A connection that broke is made anew on the next call: the service may have come back.
    if (socket < 0) {
        vekproto::Io why;
        const int made = vekproto::connectTo(endpoint, vekproto::deadlineIn(exchangeTimeoutMs), &why);
        if (made < 0)
            return Unreachable;
        std::lock_guard<std::mutex> lock(socketMutex);
        socket = made;
        if (aborted)
            ::shutdown(socket, SHUT_RDWR);
    }
    const vekproto::Io io = vekproto::exchange(socket, opcode, ++requestId, request.data(), nullptr, 0,
                                               vekproto::deadlineIn(exchangeTimeoutMs), *reply, maxPayload);
    if (io != vekproto::Io::Ok || aborted) {
        std::lock_guard<std::mutex> lock(socketMutex);
        vekproto::closeSocket(socket);
        socket = -1;
        return io == vekproto::Io::Protocol && !aborted ? Broken : Unreachable;
    }
    return Ok;
}

void ScopeService::abort()
{
    std::lock_guard<std::mutex> lock(socketMutex);
    aborted = true;
    // Shut down, not closed: the descriptor stays the calling thread's until it closes it, so it
    // cannot be reused under the exchange meanwhile.
    if (socket >= 0)
        ::shutdown(socket, SHUT_RDWR);
}

ScopeService::Result ScopeService::modules(QVector<ModuleInfo>* out)
{
    out->clear();
    std::vector<uint8_t> reply;
    const Result result = call(vekproto::OpCtlStatus, vekproto::Writer(), &reply);
    if (result != Ok)
        return result;
    vekproto::Reader reader(reply.data(), reply.size());
    const int32_t status = reader.i32();
    const std::string text = reader.str(vekproto::maxReplyPayload(vekproto::OpCtlStatus));
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text));
    if (!reader.ok() || status != 0 || !document.isObject())
        return Broken;
    for (const QJsonValue& crate : document.object().value(QStringLiteral("crates")).toArray()) {
        const QString serial = crate.toObject().value(QStringLiteral("serial")).toString();
        for (const QJsonValue& slot : crate.toObject().value(QStringLiteral("slots")).toArray()) {
            const QJsonObject module = slot.toObject().value(QStringLiteral("module")).toObject();
            if (module.value(QStringLiteral("kind")).toString() != QLatin1String("VEK72"))
                continue;
            ModuleInfo info;
            info.crate = serial;
            info.slot = slot.toObject().value(QStringLiteral("slot")).toInt();
            info.channels = module.value(QStringLiteral("channels")).toInt();
            info.name = QStringLiteral("VEK72-%1-%2").arg(module.value(QStringLiteral("modification")).toInt())
                            .arg(info.channels);
            info.configured = module.value(QStringLiteral("configured")).toBool();
            info.running = module.value(QStringLiteral("running")).toBool();
            info.outputRate = module.value(QStringLiteral("outputRate")).toDouble();
            for (const QJsonValue& channel : module.value(QStringLiteral("enabledChannels")).toArray())
                info.enabled.append(channel.toInt());
            for (const QJsonValue& volts : module.value(QStringLiteral("outputs")).toArray())
                info.outputs.append(volts.toDouble());
            out->append(info);
        }
    }
    return Ok;
}

ScopeService::Result ScopeService::capture(const QString& crate, int slot, int64_t frames, Capture* out)
{
    *out = Capture();
    vekproto::Writer request;
    request.str(crate.toStdString());
    request.u16(uint16_t(slot));
    const uint32_t asked = uint32_t(std::clamp<int64_t>(frames, 0, vekproto::kMaxCaptureFrames));
    request.u32(asked);
    std::vector<uint8_t> reply;
    const Result result = call(vekproto::OpCtlCapture, request, &reply, vekproto::captureReplyPayload(asked));
    if (result != Ok)
        return result;
    vekproto::Reader reader(reply.data(), reply.size());
    const int32_t status = reader.i32();
    if (status != 0)
        return NoModule;
    const uint32_t columns = reader.u32();
    if (columns > 8)
        return Broken;
    for (uint32_t i = 0; i < columns; ++i)
        out->channels.append(reader.u8() + 1);
    out->frames = reader.u32();
    if (!reader.ok() || reader.remaining() != size_t(out->frames) * columns * 8)
        return Broken;
    out->volts.resize(size_t(out->frames) * columns);
    for (double& v : out->volts)
        v = reader.f64();
    return Ok;
}

Acquisition acquire(ScopeService& service, const QString& crate, int slot, double windowSeconds)
{
    Acquisition a;
    a.result = service.modules(&a.modules);
    if (a.result != ScopeService::Ok)
        return a;
    a.module = findModule(a.modules, crate, slot);
    if (a.module < 0 || !a.modules.at(a.module).running)
        return a;
    const ModuleInfo& m = a.modules.at(a.module);
    a.result = service.capture(m.crate, m.slot, framesForWindow(windowSeconds * m.outputRate), &a.capture);
    if (a.result == ScopeService::NoModule) {
        a.result = ScopeService::Ok;  // gone between the two requests: shown as not there
        a.module = -1;
    }
    return a;
}

int findModule(const QVector<ModuleInfo>& modules, const QString& crate, int slot)
{
    for (int i = 0; i < modules.size(); ++i) {
        if ((crate.isEmpty() || modules.at(i).crate == crate) && (slot == 0 || modules.at(i).slot == slot))
            return i;
    }
    return -1;
}

} // namespace scope
