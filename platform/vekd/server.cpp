#include "server.h"

#include "dacword.h"
#include "vek72api.h"
#include "vekapi.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace vekd {

using namespace vekproto;

Nanos monotonicNow()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void logLine(const QString& text)
{
    QByteArray line = QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz").toUtf8() + " vekd: "
        + text.toUtf8() + "\n";
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

static_assert(kMaxCrates == VEK_MAX_CRATES && kSerialBytes == VEK_SERIAL_SIZE && kSlotCount == VEK_SLOT_COUNT,
              "the answers' sizes follow the library's tables");

namespace {

constexpr qint64 kReadBufferBytes = 4 * 1024 * 1024;
constexpr qint64 kMaxPendingWrite = 32 * 1024 * 1024;

QString slotName(const std::string& crate, int slot)
{
    return QString("%1/%2").arg(QString::fromStdString(crate)).arg(slot);
}

// The library functions whose failure can be injected: of a module, of a crate or of the service,
// and the code they fail with unless the request names one.
enum class Scope { Module, Crate, Service };
struct Injectable {
    const char* function;
    Scope scope;
    int defaultCode;
};
const Injectable kInjectable[] = {
    {"VEK72_Open", Scope::Module, VEK72_E_HARDWARE},
    {"VEK72_Configure", Scope::Module, VEK72_E_HARDWARE},
    {"VEK72_Send", Scope::Module, VEK72_E_HARDWARE},
    {"VEK72_StreamStart", Scope::Module, VEK72_E_HARDWARE},
    {"VEK72_SwitchCyclePage", Scope::Module, VEK72_E_HARDWARE},
    {"VEK72_StreamCut", Scope::Module, VEK72_E_HARDWARE},
    {"VEK72_Stop", Scope::Module, VEK72_E_HARDWARE},
    {"VEK72_Close", Scope::Module, VEK72_E_HARDWARE},
    {"VEK72_GetStatus", Scope::Module, VEK72_E_HARDWARE},
    {"VEK_OpenSvcControl", Scope::Service, VEK_E_CONNECTION},
    {"VEK_GetCrates", Scope::Service, VEK_E_CONNECTION},
    {"VEK_OpenCrate", Scope::Crate, VEK_E_CRATE_REFUSED},
    {"VEK_GetCrateModules", Scope::Crate, VEK_E_CONNECTION},
};

} // namespace

// ---------------------------------------------------------------------------------------------
// Connection

Connection::Connection(Service* service, QIODevice* io, const QString& peer)
    : QObject(service), service_(service), io_(io), peer_(peer)
{
    io_->setParent(this);
    sendTimer_.setSingleShot(true);
    sendTimer_.setTimerType(Qt::PreciseTimer);
    connect(&sendTimer_, &QTimer::timeout, this, &Connection::resumeSend);
    connect(io_, &QIODevice::readyRead, this, &Connection::pump);
    connect(io_, &QIODevice::bytesWritten, this, &Connection::pump);
}

Connection::~Connection() = default;

void Connection::drop(const QString& reason)
{
    if (closing_) return;
    logLine(QString("client %1: %2; connection closed").arg(peer_, reason));
    end();
    if (auto* socket = qobject_cast<QAbstractSocket*>(io_)) socket->abort(); // unsent answers go too
    else io_->close();
}

void Connection::onDisconnected()
{
    if (closing_) return;
    if (haveHeader_ || io_->bytesAvailable() > 0) {
        ++service_->malformed_;
        logLine(QString("client %1: connection closed inside a frame (truncated frame of %2 bytes)")
                    .arg(peer_).arg(haveHeader_ ? qint64(payload_.size()) + qint64(kHeaderSize) : io_->bytesAvailable()));
    }
    if (role_ == RoleModule) logLine(QString("client %1 disconnected, releasing module %2").arg(peer_, moduleName()));
    else if (service_->verbose()) logLine(QString("client %1 disconnected").arg(peer_));
    end();
}

void Connection::end()
{
    closing_ = true;
    sendTimer_.stop();
    sendPending_ = false;
    releaseModule();
    service_->connectionGone(this);
    deleteLater();
}

QString Connection::moduleName() const
{
    return slotName(crate_->serial, slot_);
}

void Connection::releaseModule()
{
    if (role_ != RoleModule) return;
    Slot& s = moduleSlot();
    if (s.owner == this) {
        if (s.keepPlaying && s.module->running())
            logLine(QString("client %1: module %2 let go while playing: it plays on (fault keep-playing)")
                        .arg(peer_, moduleName()));
        s.module->release(monotonicNow(), s.keepPlaying);
        s.owner = nullptr;
    }
    role_ = RoleNone;
    crate_ = nullptr;
    slot_ = 0;
}

bool Connection::injectedFault(FaultTable& table, const char* function, const QString& target, int* code)
{
    if (!takeFault(table, function, code)) return false;
    logLine(QString("client %1: injected fault: %2%3 answers %4")
                .arg(peer_, function, target.isEmpty() ? QString() : " " + target).arg(*code));
    return true;
}

void Connection::malformed(const QString& why)
{
    ++service_->malformed_;
    drop("malformed frame (" + why + ")");
}

// Reads and handles whole frames while data is there. Payload storage grows with the bytes that
// actually arrive, never with what a header claims.
void Connection::pump()
{
    while (!closing_ && !sendPending_) {
        if (io_->bytesToWrite() > kMaxPendingWrite) return; // the client does not read: wait
        if (!haveHeader_) {
            if (io_->bytesAvailable() < qint64(kHeaderSize)) return;
            uint8_t raw[kHeaderSize];
            if (io_->read(reinterpret_cast<char*>(raw), kHeaderSize) != qint64(kHeaderSize))
                return malformed("short read");
            header_ = decodeHeader(raw);
            if (header_.magic != kFrameMagic)
                return malformed(QString("bad magic 0x%1").arg(header_.magic, 8, 16, QChar('0')));
            uint32_t max = (header_.opcode & kReplyBit) ? 0 : maxRequestPayload(header_.opcode);
            if (max == 0) return malformed(QString("unknown opcode 0x%1").arg(header_.opcode, 4, 16, QChar('0')));
            if (header_.flags != 0) return malformed(QString("flags 0x%1").arg(header_.flags, 4, 16, QChar('0')));
            if (header_.length > max)
                return malformed(QString("payload of %1 bytes for opcode 0x%2, at most %3")
                                     .arg(header_.length).arg(header_.opcode, 4, 16, QChar('0')).arg(max));
            haveHeader_ = true;
            payload_.clear();
        }
        size_t want = header_.length - payload_.size();
        if (want > 0) {
            qint64 avail = io_->bytesAvailable();
            if (avail <= 0) return;
            size_t n = std::min(want, size_t(avail));
            size_t at = payload_.size();
            payload_.resize(at + n);
            qint64 got = io_->read(reinterpret_cast<char*>(payload_.data() + at), qint64(n));
            if (got < 0) return malformed("read error");
            payload_.resize(at + size_t(got));
            if (payload_.size() < header_.length) continue;
        }
        haveHeader_ = false;
        std::vector<uint8_t> payload;
        payload.swap(payload_);
        handle(header_.opcode, header_.requestId, payload);
    }
}

void Connection::reply(uint16_t opcode, uint32_t requestId, const Writer& w)
{
    if (closing_) return;
    FrameHeader h;
    h.opcode = uint16_t(opcode | kReplyBit);
    h.requestId = requestId;
    h.length = uint32_t(w.data().size());
    uint8_t raw[kHeaderSize];
    encodeHeader(h, raw);
    io_->write(reinterpret_cast<const char*>(raw), kHeaderSize);
    if (!w.data().empty()) io_->write(reinterpret_cast<const char*>(w.data().data()), qint64(w.data().size()));
}

void Connection::replyStatus(uint16_t opcode, uint32_t requestId, int status)
{
    Writer w;
    w.i32(status);
    reply(opcode, requestId, w);
}

void Connection::replyState(uint16_t opcode, uint32_t requestId, int status)
{
    Writer w;
    w.i32(status);
    ModuleState st;
    if (role_ == RoleModule) st = moduleSlot().module->state();
    writeState(w, st);
    reply(opcode, requestId, w);
}

void Connection::handle(uint16_t opcode, uint32_t id, std::vector<uint8_t>& payload)
{
    Reader r(payload.data(), payload.size());
    if (service_->verbose() && opcode != OpModSend)
        logLine(QString("client %1: request 0x%2 (%3 bytes)").arg(peer_).arg(opcode, 4, 16, QChar('0')).arg(payload.size()));
    switch (opcode) {
    case OpSvcOpen: onSvcOpen(id); break;
    case OpGetCrates: onGetCrates(id); break;
    case OpOpenCrate: onOpenCrate(id, r); break;
    case OpGetCrateModules: onGetCrateModules(id); break;
    case OpModOpen: onModOpen(id, r); break;
    case OpModConfigure: onModConfigure(id, r); break;
    case OpModSend: onModSend(id, payload); break;
    case OpModStreamStart:
    case OpModSwitchPage:
    case OpModStop: onModSimple(opcode, id, r); break;
    case OpModClose: onModClose(id); break;
    case OpModStreamCut: onModStreamCut(id, r); break;
    case OpModQuery: onModQuery(id, r); break;
    case OpCtlStatus: {
        Writer w;
        w.i32(0);
        QByteArray json = service_->statusJson();
        w.u32(uint32_t(json.size()));
        w.bytes(json.constData(), size_t(json.size()));
        reply(opcode, id, w);
        break;
    }
    case OpCtlCapture: onCtlCapture(id, r); break;
    case OpCtlFault: onCtlFault(id, r); break;
    case OpCtlProbe: onCtlProbe(id, r); break;
    case OpPing: replyStatus(opcode, id, 0); break;
    default: malformed("unhandled opcode"); break;
    }
}

void Connection::onSvcOpen(uint32_t id)
{
    if (role_ != RoleNone) return replyStatus(OpSvcOpen, id, VEK_E_ALREADY_OPEN);
    int code;
    if (injectedFault(service_->serviceFaults(), "VEK_OpenSvcControl", {}, &code)) return replyStatus(OpSvcOpen, id, code);
    role_ = RoleService;
    if (service_->verbose()) logLine(QString("client %1: service control connection").arg(peer_));
    replyStatus(OpSvcOpen, id, 0);
}

void Connection::onGetCrates(uint32_t id)
{
    if (role_ != RoleService) return replyStatus(OpGetCrates, id, VEK_E_NOT_OPENED);
    int code;
    if (injectedFault(service_->serviceFaults(), "VEK_GetCrates", {}, &code)) return replyStatus(OpGetCrates, id, code);
    Writer w;
    w.i32(0);
    const auto& crates = service_->bench().crates;
    uint32_t n = uint32_t(std::min<size_t>(crates.size(), VEK_MAX_CRATES));
    w.u32(n);
    for (uint32_t i = 0; i < n; ++i) {
        char entry[VEK_SERIAL_SIZE] = {};
        std::memcpy(entry, crates[i]->serial.data(), std::min<size_t>(crates[i]->serial.size(), VEK_SERIAL_SIZE - 1));
        w.bytes(entry, sizeof entry);
    }
    reply(OpGetCrates, id, w);
}

void Connection::onOpenCrate(uint32_t id, Reader& r)
{
    uint32_t mode = r.u32();
    std::string serial = r.str(64);
    if (!r.ok() || r.remaining()) return malformed("open crate request");
    if (role_ != RoleNone) return replyStatus(OpOpenCrate, id, VEK_E_ALREADY_OPEN);
    if (mode != 0) return replyStatus(OpOpenCrate, id, VEK_E_ARGUMENT);
    Crate* c = service_->bench().find(serial);
    if (!c) {
        logLine(QString("client %1: open crate %2: no such crate").arg(peer_, QString::fromStdString(serial)));
        return replyStatus(OpOpenCrate, id, VEK_E_NO_CRATE);
    }
    int code;
    if (injectedFault(c->faults, "VEK_OpenCrate", QString::fromStdString(serial), &code))
        return replyStatus(OpOpenCrate, id, code);
    if (c->refuseOpen) {
        logLine(QString("client %1: crate %2 refuses to open").arg(peer_, QString::fromStdString(serial)));
        return replyStatus(OpOpenCrate, id, VEK_E_CRATE_REFUSED);
    }
    role_ = RoleCrate;
    crate_ = c;
    if (service_->verbose()) logLine(QString("client %1: crate %2 opened").arg(peer_, QString::fromStdString(serial)));
    replyStatus(OpOpenCrate, id, 0);
}

void Connection::onGetCrateModules(uint32_t id)
{
    if (role_ != RoleCrate) return replyStatus(OpGetCrateModules, id, VEK_E_NOT_OPENED);
    int code;
    if (injectedFault(crate_->faults, "VEK_GetCrateModules", {}, &code)) return replyStatus(OpGetCrateModules, id, code);
    Writer w;
    w.i32(0);
    for (const Slot& s : crate_->slots) w.u16(s.type);
    reply(OpGetCrateModules, id, w);
}

void Connection::onModOpen(uint32_t id, Reader& r)
{
    std::string serial = r.str(64);
    uint16_t slot = r.u16();
    if (!r.ok() || r.remaining()) return malformed("module open request");
    if (role_ != RoleNone) return replyStatus(OpModOpen, id, VEK72_E_ALREADY_OPEN);
    Crate* c = service_->bench().find(serial);
    QString where = slotName(serial, slot);
    if (!c) {
        logLine(QString("client %1: open module %2: no such crate").arg(peer_, where));
        return replyStatus(OpModOpen, id, VEK72_E_NO_CRATE);
    }
    if (slot < 1 || slot > 16) return replyStatus(OpModOpen, id, VEK72_E_ARGUMENT);
    Slot& s = c->slots[size_t(slot - 1)];
    if (!s.module) {
        logLine(QString("client %1: open module %2: the slot holds no VEK72").arg(peer_, where));
        return replyStatus(OpModOpen, id, VEK72_E_NO_MODULE);
    }
    int code;
    if (injectedFault(s.faults, "VEK72_Open", where, &code)) return replyStatus(OpModOpen, id, code);
    if (s.faulty) {
        logLine(QString("client %1: open module %2: the module is faulty").arg(peer_, where));
        return replyStatus(OpModOpen, id, VEK72_E_HARDWARE);
    }
    if (s.owner) {
        logLine(QString("client %1: open module %2: busy, opened by %3").arg(peer_, where, s.owner->peer()));
        return replyStatus(OpModOpen, id, VEK72_E_BUSY);
    }
    s.owner = this;
    role_ = RoleModule;
    crate_ = c;
    slot_ = slot;
    const Vek72Identity& ident = s.module->identity();
    logLine(QString("client %1: module %2 opened (VEK72-%3, %4 channels, serial %5)")
                .arg(peer_, where).arg(ident.modification).arg(ident.channels).arg(QString::fromStdString(ident.serial)));
    Writer w;
    w.i32(0);
    ModuleInfo info;
    std::memcpy(info.serial, ident.serial.data(), std::min<size_t>(ident.serial.size(), sizeof info.serial - 1));
    info.firmware = ident.firmware;
    info.modification = ident.modification;
    info.dacChannelCount = ident.channels;
    writeInfo(w, info);
    reply(OpModOpen, id, w);
}

void Connection::onModConfigure(uint32_t id, Reader& r)
{
    ModuleConfig c = readConfig(r);
    if (!r.ok() || r.remaining()) return malformed("configure request");
    if (role_ != RoleModule) return replyState(OpModConfigure, id, VEK72_E_NOT_OPENED);
    int code;
    if (moduleFault("VEK72_Configure", &code)) return replyState(OpModConfigure, id, code);
    int rc = moduleSlot().module->configure(c, monotonicNow());
    QStringList channels;
    for (int i = 0; i < 8; ++i)
        if (c.enabled[i]) channels << QString("%1%2").arg(i + 1).arg(c.output[i] ? "/10" : "");
    logLine(QString("client %1: module %2 configure: %3, %4 Hz, channels [%5] -> %6")
                .arg(peer_, moduleName(), c.outputMode ? "streaming" : "cyclic")
                .arg(c.dacRateHz).arg(channels.join(' ')).arg(rc == 0 ? (channels.isEmpty() ? QString("outputs zeroed") : QString("applied"))
                                                                     : QString("error %1").arg(rc)));
    replyState(OpModConfigure, id, rc);
}

void Connection::onModSend(uint32_t id, std::vector<uint8_t>& payload)
{
    Reader r(payload.data(), payload.size());
    uint32_t timeoutMs = r.u32();
    uint32_t count = r.u32();
    if (!r.ok() || count > kMaxSendWords || r.remaining() != size_t(count) * 4) return malformed("send request");
    if (role_ != RoleModule) return replyStatus(OpModSend, id, VEK72_E_NOT_OPENED);
    Slot& s = moduleSlot();
    int code;
    if (moduleFault("VEK72_Send", &code)) return replyStatus(OpModSend, id, code);
    if (int rc = s.module->readyCheck()) return replyStatus(OpModSend, id, rc);
    s.module->noteSend();
    const uint32_t* words = reinterpret_cast<const uint32_t*>(payload.data() + 8);
    Nanos now = monotonicNow();
    const bool shortened = s.shortSendRemaining > 0; // an injected short send: answered at once
    if (shortened) --s.shortSendRemaining;
    int64_t taken = s.module->send(words, count, shortened ? std::min(count, s.shortSendWords) : count, now);
    if (shortened)
        logLine(QString("client %1: injected fault: VEK72_Send %2 takes %3 of %4 words").arg(peer_, moduleName()).arg(taken).arg(count));
    else if (taken >= 0 && service_->verbose())
        logLine(QString("client %1: module %2 send %3 words, %4 taken at once").arg(peer_, moduleName()).arg(count).arg(taken));
    if (taken < 0 || shortened || uint32_t(taken) == count || !s.module->streaming() || timeoutMs == 0)
        return replyStatus(OpModSend, id, int(taken));
    // Wait for room in the FIFO, up to the call's time-out; nothing else is read meanwhile.
    sendPending_ = true;
    sendPayload_.swap(payload);
    sendRequestId_ = id;
    sendCount_ = count;
    sendTaken_ = uint32_t(taken);
    sendDeadline_ = now + Nanos(timeoutMs) * 1000000;
    scheduleSend(now);
}

void Connection::scheduleSend(Nanos now)
{
    Nanos wake = moduleSlot().module->timeForRoom(sendCount_ - sendTaken_);
    if (wake < 0 || wake > sendDeadline_) wake = sendDeadline_;
    Nanos ms = (wake - now + 999999) / 1000000;
    sendTimer_.start(int(std::max<Nanos>(0, std::min<Nanos>(ms, 600000))));
}

void Connection::resumeSend()
{
    if (!sendPending_ || closing_ || role_ != RoleModule) return;
    Nanos now = monotonicNow();
    const uint32_t* words = reinterpret_cast<const uint32_t*>(sendPayload_.data() + 8);
    int64_t taken = moduleSlot().module->send(words + sendTaken_, sendCount_ - sendTaken_, sendCount_ - sendTaken_, now);
    if (taken > 0) sendTaken_ += uint32_t(taken);
    if (taken < 0 || sendTaken_ == sendCount_ || now >= sendDeadline_) {
        finishSend();
        return;
    }
    scheduleSend(now);
}

void Connection::finishSend()
{
    sendPending_ = false;
    if (sendTaken_ < sendCount_)
        logLine(QString("client %1: module %2 send timed out: %3 of %4 words taken")
                    .arg(peer_, moduleName()).arg(sendTaken_).arg(sendCount_));
    replyStatus(OpModSend, sendRequestId_, int(sendTaken_));
    std::vector<uint8_t>().swap(sendPayload_);
    // requests that arrived meanwhile are already buffered: go on with them
    QMetaObject::invokeMethod(this, "pump", Qt::QueuedConnection);
}

void Connection::onModSimple(uint16_t opcode, uint32_t id, Reader& r)
{
    uint32_t flags = r.u32();
    if (opcode == OpModSwitchPage) r.u32(); // time-out: a switch is answered at once, a scheduled one too
    if (!r.ok() || r.remaining()) return malformed("module request");
    if (role_ != RoleModule) return replyState(opcode, id, VEK72_E_NOT_OPENED);
    const char* name = opcode == OpModStreamStart ? "VEK72_StreamStart" : opcode == OpModSwitchPage ? "VEK72_SwitchCyclePage" : "VEK72_Stop";
    int code;
    if (moduleFault(name, &code)) return replyState(opcode, id, code);
    // the page switch checks its flags itself (VEK72_SWITCH_AT_PASS_END)
    if (flags != 0 && opcode != OpModSwitchPage) return replyState(opcode, id, VEK72_E_ARGUMENT);
    Vek72Module& m = *moduleSlot().module;
    Nanos now = monotonicNow();
    int rc = opcode == OpModStreamStart ? m.streamStart(now) : opcode == OpModSwitchPage ? m.switchPage(now, flags) : m.stop(now);
    if (opcode == OpModStop)
        logLine(QString("client %1: module %2 stop -> %3 (frames played %4, underruns %5)")
                    .arg(peer_, moduleName()).arg(rc).arg(m.counters().framesPlayed).arg(m.counters().underruns));
    else if (opcode == OpModSwitchPage && flags != 0)
        logLine(QString("client %1: module %2 %3 at the end of the pass -> %4%5")
                    .arg(peer_, moduleName(), name).arg(rc)
                    .arg(rc != 0 ? QString() : m.scheduledPageWords() ? QString(" (scheduled)") : QString(" (at once)")));
    else
        logLine(QString("client %1: module %2 %3 -> %4").arg(peer_, moduleName(), name).arg(rc));
    replyState(opcode, id, rc);
}

void Connection::onModStreamCut(uint32_t id, Reader& r)
{
    const uint32_t keepWords = r.u32();
    if (!r.ok() || r.remaining()) return malformed("stream cut request");
    int rc = VEK72_E_NOT_OPENED;
    uint64_t nextFrame = 0;
    if (role_ == RoleModule && !moduleFault("VEK72_StreamCut", &rc)) {
        Vek72Module& m = *moduleSlot().module;
        const Nanos now = monotonicNow();
        m.advance(now);
        const uint32_t held = m.fifoWords();
        rc = m.streamCut(keepWords, now, &nextFrame);
        logLine(QString("client %1: module %2 stream cut to %3 of %4 words -> %5 (next frame %6)")
                    .arg(peer_, moduleName()).arg(keepWords).arg(held).arg(rc).arg(nextFrame));
    }
    Writer w;
    w.i32(rc);
    writeState(w, role_ == RoleModule ? moduleSlot().module->state() : ModuleState());
    w.u64(rc >= 0 ? nextFrame : 0);
    reply(OpModStreamCut, id, w);
}

void Connection::onModQuery(uint32_t id, Reader& r)
{
    if (!r.ok() || r.remaining()) return malformed("module query");
    int rc = VEK72_E_NOT_OPENED;
    Writer w;
    if (role_ == RoleModule && !moduleFault("VEK72_GetStatus", &rc)) {
        Vek72Module& m = *moduleSlot().module;
        m.advance(monotonicNow());
        rc = 0;
        w.i32(rc);
        writeState(w, m.state());
        for (unsigned ch = 0; ch < kOutputCount; ++ch) w.f64(ch < m.identity().channels ? m.outputs()[ch] : 0.0);
        if (service_->verbose())
            logLine(QString("client %1: module %2 query: %3").arg(peer_, moduleName(), m.running() ? "running" : "stopped"));
    } else {
        w.i32(rc);
        writeState(w, ModuleState());
        for (unsigned ch = 0; ch < kOutputCount; ++ch) w.f64(0.0);
    }
    reply(OpModQuery, id, w);
}

void Connection::onModClose(uint32_t id)
{
    if (role_ != RoleModule) return replyStatus(OpModClose, id, VEK72_E_NOT_OPENED);
    int code = 0;
    bool faulted = moduleFault("VEK72_Close", &code);
    logLine(QString("client %1: module %2 closed").arg(peer_, moduleName()));
    releaseModule();
    replyStatus(OpModClose, id, faulted ? code : 0);
}

void Connection::onCtlCapture(uint32_t id, Reader& r)
{
    std::string serial = r.str(64);
    uint16_t slot = r.u16();
    uint32_t frames = r.u32();
    if (!r.ok() || r.remaining()) return malformed("capture request");
    Crate* c = service_->bench().find(serial);
    if (!c) return replyStatus(OpCtlCapture, id, VEK72_E_NO_CRATE);
    if (slot < 1 || slot > 16 || !c->slots[size_t(slot - 1)].module) return replyStatus(OpCtlCapture, id, VEK72_E_NO_MODULE);
    Vek72Module& m = *c->slots[size_t(slot - 1)].module;
    m.advance(monotonicNow());
    Vek72Capture cap = m.capture(std::min(frames, kMaxCaptureFrames));
    Writer w;
    w.i32(0);
    w.u32(uint32_t(cap.channels.size()));
    for (uint8_t ch : cap.channels) w.u8(ch);
    w.u32(cap.frames);
    for (double v : cap.volts) w.f64(v);
    reply(OpCtlCapture, id, w);
}

void Connection::onCtlFault(uint32_t id, Reader& r)
{
    std::string json = r.str(kMaxSmallPayload);
    if (!r.ok() || r.remaining()) return malformed("fault request");
    QString message;
    int rc = service_->applyFault(QByteArray::fromStdString(json), this, &message);
    replyMessage(OpCtlFault, id, rc, message);
}

void Connection::onCtlProbe(uint32_t id, Reader& r)
{
    std::string json = r.str(kMaxSmallPayload);
    if (!r.ok() || r.remaining()) return malformed("probe request");
    QString message;
    int rc = service_->applyProbe(QByteArray::fromStdString(json), this, &message);
    replyMessage(OpCtlProbe, id, rc, message);
}

void Connection::replyMessage(uint16_t opcode, uint32_t id, int status, const QString& message)
{
    // The message may name what the request made up at any length: it is cut to fit an answer.
    std::string text = message.toStdString();
    text.resize(std::min<size_t>(text.size(), maxReplyPayload(opcode) - 8));
    Writer w;
    w.i32(status);
    w.str(text);
    reply(opcode, id, w);
}

// ---------------------------------------------------------------------------------------------
// Service

Service::Service(Bench bench, bool verbose, QObject* parent) : QObject(parent), bench_(std::move(bench)), verbose_(verbose)
{
    server_.setMaxPendingConnections(64);
    connect(&server_, &QTcpServer::newConnection, this, &Service::onNewConnection);
    uptime_.start();
}

Service::~Service() = default;

bool Service::listen(const QHostAddress& address, quint16 port, QString* error)
{
    if (!server_.listen(address, port)) {
        if (error) *error = server_.errorString();
        return false;
    }
    return true;
}

QString Service::address() const
{
    return QString("%1:%2").arg(server_.serverAddress().toString()).arg(server_.serverPort());
}

void Service::onNewConnection()
{
    while (QTcpSocket* s = server_.nextPendingConnection()) {
        if (connections_.size() >= size_t(kMaxConnections)) {
            logLine(QString("client %1:%2 refused: %3 connections already").arg(s->peerAddress().toString())
                        .arg(s->peerPort()).arg(connections_.size()));
            s->abort();
            s->deleteLater();
            continue;
        }
        s->setReadBufferSize(kReadBufferBytes);
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        Connection* c = adopt(s, QString("%1:%2").arg(s->peerAddress().toString()).arg(s->peerPort()));
        connect(s, &QTcpSocket::disconnected, c, &Connection::onDisconnected);
    }
}

Connection* Service::adopt(QIODevice* io, const QString& peer)
{
    ++accepted_;
    auto* c = new Connection(this, io, peer);
    connections_.push_back(c);
    if (verbose_) logLine(QString("client %1 connected").arg(peer));
    return c;
}

void Service::connectionGone(Connection* c)
{
    connections_.erase(std::remove(connections_.begin(), connections_.end(), c), connections_.end());
}

void Service::dropAll(Connection* except)
{
    std::vector<Connection*> all = connections_;
    for (Connection* c : all)
        if (c != except) c->drop("dropped by fault injection");
}

static QJsonObject faultsJson(const FaultTable& t)
{
    QJsonObject o;
    for (const auto& f : t) o.insert(QString::fromStdString(f.first), QJsonObject{{"remaining", f.second.remaining}, {"code", f.second.code}});
    return o;
}

QByteArray Service::statusJson()
{
    Nanos now = monotonicNow();
    QJsonObject root;
    root.insert("service", QJsonObject{{"address", address()},
                                       {"connections", int(connections_.size())},
                                       {"accepted", double(accepted_)},
                                       {"malformedFrames", double(malformed_)},
                                       {"uptimeMs", double(uptime_.elapsed())},
                                       {"faults", faultsJson(serviceFaults_)}});
    QJsonArray crates;
    for (const auto& c : bench_.crates) {
        QJsonObject co;
        co.insert("serial", QString::fromStdString(c->serial));
        co.insert("refuseOpen", c->refuseOpen);
        co.insert("faults", faultsJson(c->faults));
        QJsonArray slots;
        for (int i = 0; i < 16; ++i) {
            Slot& s = c->slots[size_t(i)];
            QJsonObject so{{"slot", i + 1}, {"type", s.type}};
            if (s.module) {
                Vek72Module& m = *s.module;
                m.advance(now);
                const Vek72Identity& id = m.identity();
                const Vek72Counters& k = m.counters();
                ModuleState st = m.state();
                QJsonObject mo;
                mo.insert("kind", "VEK72");
                mo.insert("serial", QString::fromStdString(id.serial));
                mo.insert("firmware", id.firmware);
                mo.insert("modification", id.modification);
                mo.insert("channels", id.channels);
                mo.insert("faulty", s.faulty);
                if (s.keepPlaying)
                    mo.insert("keepPlaying", true);
                mo.insert("opened", s.owner != nullptr);
                mo.insert("client", s.owner ? QJsonValue(s.owner->peer()) : QJsonValue());
                mo.insert("sendWaiting", s.owner && s.owner->sendWaiting());
                mo.insert("configured", m.configured());
                if (m.configured()) {
                    mo.insert("mode", m.config().outputMode ? "streaming" : "cyclic");
                    mo.insert("dacRateHz", double(m.config().dacRateHz));
                    QJsonArray en, sel;
                    for (unsigned j = 0; j < m.enabledCount(); ++j) {
                        unsigned ch = m.enabledChannels()[j];
                        en.append(int(ch + 1));
                        sel.append(m.config().output[ch] ? "tenth" : "full");
                    }
                    mo.insert("enabledChannels", en);
                    mo.insert("outputSelectors", sel);
                }
                mo.insert("outputRate", st.outputRate);
                mo.insert("running", st.running != 0);
                mo.insert("fifoWords", double(m.fifoWords()));
                mo.insert("playingPageWords", double(m.playingPageWords()));
                mo.insert("loadingPageWords", double(m.loadingPageWords()));
                mo.insert("scheduledPageWords", double(m.scheduledPageWords()));
                mo.insert("stoppedStretchFramePeriods", double(m.stoppedStretchFrames(now)));
                mo.insert("counters", QJsonObject{{"wordsReceived", double(k.wordsReceived)},
                                                  {"framesPlayed", double(k.framesPlayed)},
                                                  {"underruns", double(k.underruns)},
                                                  {"underrunFrames", double(k.underrunFrames)},
                                                  {"clippedSamples", double(k.clippedSamples)},
                                                  {"badWords", double(k.badWords)},
                                                  {"sends", double(k.sends)},
                                                  {"starts", double(k.starts)},
                                                  {"stops", double(k.stops)},
                                                  {"stoppedFramePeriods", double(k.stoppedFramePeriods)},
                                                  {"pageSwitches", double(k.pageSwitches)}});
                QJsonArray outs;
                for (unsigned ch = 0; ch < id.channels && ch < 8; ++ch) outs.append(m.outputs()[ch]);
                mo.insert("outputs", outs);
                mo.insert("faults", faultsJson(s.faults));
                QJsonArray outputErrors;
                for (unsigned ch = 0; ch < id.channels && ch < 8; ++ch) {
                    for (unsigned sel = 0; sel < 2; ++sel) {
                        const OutputError& e = m.outputError(ch, sel);
                        if (e.any())
                            outputErrors.append(QJsonObject{{"channel", int(ch + 1)}, {"range", sel ? "tenth" : "full"},
                                                            {"gainPpm", e.gainPpm}, {"offsetMicrovolts", e.offsetMicrovolts}});
                    }
                }
                if (!outputErrors.isEmpty()) mo.insert("outputErrors", outputErrors);
                if (s.shortSendRemaining > 0)
                    mo.insert("shortSend", QJsonObject{{"remaining", s.shortSendRemaining}, {"words", double(s.shortSendWords)}});
                so.insert("module", mo);
            }
            slots.append(so);
        }
        co.insert("slots", slots);
        crates.append(co);
    }
    root.insert("crates", crates);
    if (dmm_) root.insert("dmm", dmm_->status());
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

int Service::applyFault(const QByteArray& json, Connection* from, QString* message)
{
    QJsonParseError pe;
    QJsonDocument doc = QJsonDocument::fromJson(json, &pe);
    if (!doc.isObject()) {
        *message = "fault request is not a JSON object";
        return -1;
    }
    QJsonObject o = doc.object();
    QString action = o.value("action").toString();
    std::string crateSerial = o.value("crate").toString().toStdString();
    int slot = o.value("slot").toInt(0);
    Crate* crate = crateSerial.empty() ? nullptr : bench_.find(crateSerial);
    auto needCrate = [&]() -> bool {
        if (crate) return true;
        *message = crateSerial.empty() ? QString("a crate serial is needed") : QString("no crate \"%1\"").arg(QString::fromStdString(crateSerial));
        return false;
    };
    auto needModule = [&]() -> Slot* {
        if (!needCrate()) return nullptr;
        if (slot < 1 || slot > 16 || !crate->slots[size_t(slot - 1)].module) {
            *message = QString("crate %1 has no VEK72 in slot %2").arg(QString::fromStdString(crateSerial)).arg(slot);
            return nullptr;
        }
        return &crate->slots[size_t(slot - 1)];
    };
    QString who = from ? from->peer() : QString("?");

    const QString target = o.value("target").toString();
    if (!target.isEmpty()) {
        if (target != "dmm" || !dmm_) {
            *message = target != "dmm" ? QString("no fault target \"%1\" (dmm)").arg(target)
                                       : QString("no simulated multimeter (vekd --dmm)");
            return -1;
        }
        int rc = dmm_->fault(o, message);
        if (rc == 0) logLine(QString("client %1: fault: %2").arg(who, *message));
        return rc;
    }

    if (action == "fail") {
        std::string fn = o.value("function").toString().toStdString();
        int count = o.value("count").toInt(1);
        if (count < 0 || count > 1000000) {
            *message = "count must be 0..1000000";
            return -1;
        }
        auto known = std::find_if(std::begin(kInjectable), std::end(kInjectable),
                                  [&](const Injectable& i) { return fn == i.function; });
        if (known == std::end(kInjectable)) {
            QStringList names;
            for (const Injectable& i : kInjectable) names << i.function;
            *message = QString("no injectable function \"%1\" (%2)").arg(QString::fromStdString(fn), names.join(", "));
            return -1;
        }
        FaultTable* table = &serviceFaults_;
        if (known->scope == Scope::Module) {
            Slot* s = needModule();
            if (!s) return -1;
            table = &s->faults;
        } else if (known->scope == Scope::Crate) {
            if (!needCrate()) return -1;
            table = &crate->faults;
        }
        int code = o.contains("code") ? o.value("code").toInt(0) : known->defaultCode;
        if (code >= 0) {
            *message = "the code must be negative";
            return -1;
        }
        if (count == 0) table->erase(fn);
        else (*table)[fn] = FunctionFault{count, code};
        *message = QString("the next %1 call(s) of %2 fail with %3").arg(count).arg(QString::fromStdString(fn)).arg(code);
    } else if (action == "refuse") {
        if (!needCrate()) return -1;
        crate->refuseOpen = o.value("on").toBool(true);
        *message = QString("crate %1 %2").arg(QString::fromStdString(crateSerial), crate->refuseOpen ? "refuses to open" : "opens again");
    } else if (action == "short-send") {
        Slot* s = needModule();
        if (!s) return -1;
        double words = o.value("words").toDouble(-1);
        int count = o.value("count").toInt(1);
        if (words < 0 || words > double(kMaxSendWords) || count < 0 || count > 1000000) {
            *message = "words must be 0..4194304 and count 0..1000000";
            return -1;
        }
        s->shortSendWords = uint32_t(words);
        s->shortSendRemaining = count;
        *message = QString("the next %1 send(s) take at most %2 words").arg(count).arg(uint32_t(words));
    } else if (action == "keep-playing") {
        Slot* s = needModule();
        if (!s) return -1;
        s->keepPlaying = o.value("on").toBool(true);
        *message = QString("module %1/%2 %3").arg(QString::fromStdString(crateSerial)).arg(slot)
                       .arg(s->keepPlaying ? "plays on when its client lets go" : "stops when its client lets go");
    } else if (action == "gain" || action == "offset") {
        // One output of the module plays out of calibration in one range.
        Slot* s = needModule();
        if (!s) return -1;
        const int channel = o.value("channel").toInt(0);
        const QString range = o.value("range").toString();
        const char* key = action == "gain" ? "ppm" : "microvolts";
        const double limit = action == "gain" ? 1e6 : 1e7;
        const double value = o.value(key).toDouble(qQNaN());
        if (channel < 1 || channel > s->module->identity().channels) {
            *message = QString("the module has no channel %1 (1..%2)").arg(channel).arg(s->module->identity().channels);
            return -1;
        }
        if (range != "full" && range != "tenth") {
            *message = "range must be full or tenth";
            return -1;
        }
        if (!(std::fabs(value) <= limit)) {
            *message = QString("%1 must be a number from %2 to %3").arg(key).arg(-limit).arg(limit);
            return -1;
        }
        const unsigned selector = range == "full" ? 0 : 1;
        OutputError e = s->module->outputError(unsigned(channel - 1), selector);
        (action == "gain" ? e.gainPpm : e.offsetMicrovolts) = value;
        s->module->setOutputError(unsigned(channel - 1), selector, e);
        *message = QString("%1 slot %2 channel %3, %4 range: gain error %5 ppm, offset error %6 uV")
                       .arg(QString::fromStdString(crateSerial)).arg(slot).arg(channel).arg(range)
                       .arg(e.gainPpm).arg(e.offsetMicrovolts);
    } else if (action == "drop") {
        size_t n = connections_.size() - (from ? 1 : 0);
        *message = QString("dropping %1 connection(s)").arg(n);
        logLine(QString("client %1: fault: %2").arg(who, *message));
        dropAll(from);
        return 0;
    } else if (action == "clear") {
        serviceFaults_.clear();
        for (auto& c : bench_.crates) {
            c->faults.clear();
            for (Slot& s : c->slots) {
                s.faults.clear();
                s.shortSendRemaining = 0;
                if (s.module) s.module->clearOutputErrors();
            }
        }
        if (dmm_) dmm_->clearFaults();
        *message = "all injected faults cleared (crates refusing to open stay so)";
    } else {
        *message = QString("unknown fault action \"%1\" (fail, refuse, short-send, keep-playing, gain, offset, drop, "
                           "clear; with target dmm: hang, garbage, drop)").arg(action);
        return -1;
    }
    logLine(QString("client %1: fault: %2").arg(who, *message));
    return 0;
}

int Service::applyProbe(const QByteArray& json, Connection* from, QString* message)
{
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    if (!doc.isObject()) {
        *message = "probe request is not a JSON object";
        return -1;
    }
    if (!dmm_) {
        *message = "no simulated multimeter (vekd --dmm)";
        return -1;
    }
    int rc = dmm_->wire(doc.object(), message);
    if (rc == 0) logLine(QString("client %1: probe: %2").arg(from ? from->peer() : QString("?"), *message));
    return rc;
}

} // namespace vekd
