// vek72api: VEK72 module client over the wire protocol of platform/protocol.
#include "vek72api.h"

#include "client.h"
#include "dacword.h"
#include "wire.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

using namespace vekproto;

namespace {

constexpr uint32_t kHandleMagic = 0x56373248u; // "V72H"
constexpr uint32_t kMaxCallTimeoutMs = 600000;

bool valid(const TVEK72* h) { return h && h->magic == kHandleMagic; }

constexpr IoErrors kIoErrors{VEK72_E_TIMEOUT, VEK72_E_CONNECTION, VEK72_E_PROTOCOL};

// Once an answer has begun to arrive, the time its rest may still take.
constexpr uint32_t kAnswerGraceMs = 1000;

Clock::time_point laterOf(Clock::time_point a, Clock::time_point b) { return a > b ? a : b; }

void forgetApplied(TVEK72* h)
{
    h->applied = 0;
    h->appliedCount = 0;
    std::memset(h->appliedChannel, 0, sizeof h->appliedChannel);
    std::memset(h->appliedOutput, 0, sizeof h->appliedOutput);
    std::memset(&h->state, 0, sizeof h->state);
}

void forgetUnsent(TVEK72* h)
{
    std::free(h->unsentBytes);
    h->unsentBytes = nullptr;
    h->unsentCount = 0;
}

void dropConnection(TVEK72* h)
{
    closeSocket(h->socket);
    h->socket = -1;
    h->awaitId = 0;
    h->lateSendKnown = 0;
    forgetUnsent(h);
    forgetApplied(h);
}

// Writes what is left of a request the time-out cut off. Io::Ok once all of it went.
Io finishUnsent(TVEK72* h, Clock::time_point deadline)
{
    if (h->unsentCount == 0) return Io::Ok;
    size_t written = 0;
    Io r = sendBytes(h->socket, h->unsentBytes, h->unsentCount, deadline, &written);
    if (r == Io::Ok) {
        forgetUnsent(h);
    } else if (written > 0) {
        std::memmove(h->unsentBytes, h->unsentBytes + written, h->unsentCount - written);
        h->unsentCount -= uint32_t(written);
    }
    return r;
}

void forgetIfDropped(TVEK72* h)
{
    if (h->socket >= 0 && peerClosed(h->socket)) dropConnection(h);
}

// The answer the handle still awaits from an earlier call that ran out of time, taken now if it has come
// by the deadline. 0 when nothing is awaited any more; VEK72_E_TIMEOUT while it has not come; another
// code when the connection broke (then dropped). A late send's answer is kept for VEK72_SendResult.
int takeLateAnswer(TVEK72* h, Clock::time_point deadline)
{
    if (h->awaitId == 0) return 0;
    if (h->socket < 0) {
        h->awaitId = 0;
        return VEK72_E_NOT_OPENED;
    }
    Io sent = finishUnsent(h, deadline);
    if (sent == Io::Timeout) return VEK72_E_TIMEOUT;
    if (sent != Io::Ok) {
        dropConnection(h);
        return kIoErrors.of(sent);
    }
    if (!waitReadable(h->socket, deadline)) return VEK72_E_TIMEOUT;
    std::vector<uint8_t> reply;
    // Once the answer has begun to arrive the rest follows at once: a short grace for it.
    Io r = readAnswer(h->socket, h->awaitOp, h->awaitId, 0xFFFFFFFFu, laterOf(deadline, deadlineIn(kAnswerGraceMs)),
                      reply);
    if (r != Io::Ok) {
        dropConnection(h);
        return kIoErrors.of(r);
    }
    if (h->awaitOp == OpModSend) {
        h->lateSendKnown = 1;
        h->lateSendTaken = replyStatus(reply);
    }
    h->awaitId = 0;
    return 0;
}

// One exchange on the handle's connection. An answer awaited from before is taken first. A request
// that went out whole but whose answer did not come in time leaves the connection open with the
// answer awaited (VEK72_E_TIMEOUT); any other failure drops the connection (the stream is out of step).
// On success the answer's status is in *status and reply holds the payload (status included).
int request(TVEK72* h, uint16_t opcode, const Writer& w, const void* tail, size_t tailSize, uint32_t extraMs,
            std::vector<uint8_t>& reply, int* status, uint32_t boundMs = VEK72_TIMEOUT_MS)
{
    if (h->socket < 0) return VEK72_E_NOT_OPENED;
    const Clock::time_point deadline = deadlineIn(boundMs + extraMs);
    int late = takeLateAnswer(h, deadline);
    if (late) return late;
    const uint32_t id = ++h->requestId;
    std::vector<uint8_t> unsent;
    Io r = sendRequestFrame(h->socket, opcode, id, w.data(), tail, tailSize, deadline, &unsent);
    if (r == Io::Timeout) {
        if (unsent.empty()) {
            // Nothing of it went: the request was not made (a send took nothing).
            if (opcode == OpModSend) {
                h->lateSendKnown = 1;
                h->lateSendTaken = 0;
            }
            return VEK72_E_TIMEOUT;
        }
        // Part of it went: the rest goes first with the next call, and its answer is awaited.
        h->unsentBytes = static_cast<uint8_t*>(std::malloc(unsent.size()));
        if (!h->unsentBytes) {
            dropConnection(h);
            return VEK72_E_CONNECTION;
        }
        std::memcpy(h->unsentBytes, unsent.data(), unsent.size());
        h->unsentCount = uint32_t(unsent.size());
        h->awaitId = id;
        h->awaitOp = opcode;
        return VEK72_E_TIMEOUT;
    }
    if (r == Io::Ok) {
        if (!waitReadable(h->socket, deadline)) {
            h->awaitId = id;
            h->awaitOp = opcode;
            return VEK72_E_TIMEOUT;
        }
        r = readAnswer(h->socket, opcode, id, 0xFFFFFFFFu, laterOf(deadline, deadlineIn(kAnswerGraceMs)), reply);
    }
    if (r != Io::Ok) {
        dropConnection(h);
        return kIoErrors.of(r);
    }
    *status = replyStatus(reply);
    return 0;
}

void storeState(TVEK72* h, const ModuleState& s)
{
    h->state.running = s.running;
    h->state.enabledChannels = s.enabledChannels;
    h->state.outputMode = s.outputMode;
    h->state.configured = s.configured;
    h->state.outputRate = s.outputRate;
}

// Requests whose answer is a status followed by the module state.
int stateRequest(TVEK72* h, uint16_t opcode, const Writer& w, uint32_t extraMs)
{
    if (!valid(h)) return VEK72_E_HANDLE;
    forgetIfDropped(h);
    std::vector<uint8_t> reply;
    int status = 0;
    int rc = request(h, opcode, w, nullptr, 0, extraMs, reply, &status);
    if (rc) return rc;
    Reader r(reply.data() + 4, reply.size() - 4);
    ModuleState s = readState(r);
    if (!r.ok()) {
        if (status != 0) return status;
        dropConnection(h);
        return VEK72_E_PROTOCOL;
    }
    storeState(h, s);
    return status;
}

// The conversion of one run of samples whose scales repeat with the run's length. Branch-free so
// that the compiler vectorises it.
inline __attribute__((always_inline)) void convertRunBody(const double* in, uint32_t* out, unsigned n,
                                                          const double* lo, const double* gain,
                                                          const uint32_t* head)
{
    for (unsigned j = 0; j < n; ++j) {
        double x = (in[j] - lo[j]) * gain[j];
        uint32_t outside = uint32_t(!(x >= 0.0)) | uint32_t(x > kCodeMax); // NaN counts as outside
        double c = x > 0.0 ? x : 0.0;                                     // NaN lands on 0
        c = c < kCodeMax ? c : kCodeMax;
        out[j] = head[j] | (outside << 19) | uint32_t(int32_t(c + 0.5));
    }
}

// All `count` samples, in whole runs of `run` and the rest.
inline __attribute__((always_inline)) void convertBody(const double* in, uint32_t* out, uint32_t count, unsigned run,
                                                       const double* lo, const double* gain, const uint32_t* head)
{
    uint32_t i = 0;
    for (; count - i >= run; i += run) convertRunBody(in + i, out + i, run, lo, gain, head);
    convertRunBody(in + i, out + i, count - i, lo, gain, head);
}

using Convert = void (*)(const double*, uint32_t*, uint32_t, unsigned, const double*, const double*, const uint32_t*);

void convertPlain(const double* in, uint32_t* out, uint32_t count, unsigned run, const double* lo, const double* gain,
                  const uint32_t* head)
{
    convertBody(in, out, count, run, lo, gain, head);
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) void convertAvx2(const double* in, uint32_t* out, uint32_t count, unsigned run,
                                                 const double* lo, const double* gain, const uint32_t* head)
{
    convertBody(in, out, count, run, lo, gain, head);
}
#endif

// The kernel for this processor, chosen once by the first conversion. Not by the loader (an ifunc
// resolver, as target_clones makes): a resolver runs while the library is being relocated, before
// any sanitizer runtime is set up, and an instrumented one crashes there.
Convert convertKernel()
{
    static const Convert kernel = [] {
#if defined(__x86_64__) && defined(__GNUC__)
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx2")) return &convertAvx2;
#endif
        return &convertPlain;
    }();
    return kernel;
}

struct ErrorText {
    int code;
    const char* text;
};

// Windows-1251 texts.
const ErrorText kErrorTexts[] = {
    {VEK72_OK, "\xD3\xF1\xEF\xE5\xF8\xED\xEE"}, // Успешно
    {VEK72_E_HANDLE, "\xCD\xE5\xE2\xE5\xF0\xED\xFB\xE9 \xE4\xE5\xF1\xEA\xF0\xE8\xEF\xF2\xEE\xF0 \xEC\xEE\xE4\xF3\xEB\xFF"}, // Неверный дескриптор модуля
    {VEK72_E_CONNECTION, "\xCD\xE5\xF2 \xF1\xE2\xFF\xE7\xE8 \xF1\xEE \xF1\xEB\xF3\xE6\xE1\xEE\xE9 \xEA\xF0\xE5\xE9\xF2\xEE\xE2"}, // Нет связи со службой крейтов
    {VEK72_E_TIMEOUT, "\xD1\xEB\xF3\xE6\xE1\xE0 \xEA\xF0\xE5\xE9\xF2\xEE\xE2 \xED\xE5 \xEE\xF2\xE2\xE5\xF2\xE8\xEB\xE0 \xE2\xEE\xE2\xF0\xE5\xEC\xFF"}, // Служба крейтов не ответила вовремя
    {VEK72_E_PROTOCOL, "\xCD\xE0\xF0\xF3\xF8\xE5\xED \xEF\xF0\xEE\xF2\xEE\xEA\xEE\xEB \xEE\xE1\xEC\xE5\xED\xE0 \xF1\xEE \xF1\xEB\xF3\xE6\xE1\xEE\xE9 \xEA\xF0\xE5\xE9\xF2\xEE\xE2"}, // Нарушен протокол обмена со службой крейтов
    {VEK72_E_NOT_OPENED, "\xCC\xEE\xE4\xF3\xEB\xFC \xED\xE5 \xEE\xF2\xEA\xF0\xFB\xF2"}, // Модуль не открыт
    {VEK72_E_NO_CRATE, "\xCA\xF0\xE5\xE9\xF2 \xF1 \xF2\xE0\xEA\xE8\xEC \xF1\xE5\xF0\xE8\xE9\xED\xFB\xEC \xED\xEE\xEC\xE5\xF0\xEE\xEC \xED\xE5 \xED\xE0\xE9\xE4\xE5\xED"}, // Крейт с таким серийным номером не найден
    {VEK72_E_NO_MODULE, "\xC2 \xF1\xEB\xEE\xF2\xE5 \xED\xE5\xF2 \xEC\xEE\xE4\xF3\xEB\xFF VEK72"}, // В слоте нет модуля VEK72
    {VEK72_E_BUSY, "\xCC\xEE\xE4\xF3\xEB\xFC \xE7\xE0\xED\xFF\xF2 \xE4\xF0\xF3\xE3\xE8\xEC \xEA\xEB\xE8\xE5\xED\xF2\xEE\xEC"}, // Модуль занят другим клиентом
    {VEK72_E_ARGUMENT, "\xCD\xE5\xE4\xEE\xEF\xF3\xF1\xF2\xE8\xEC\xFB\xE9 \xE0\xF0\xE3\xF3\xEC\xE5\xED\xF2"}, // Недопустимый аргумент
    {VEK72_E_NO_CHANNELS, "\xCD\xE5 \xE2\xEA\xEB\xFE\xF7\xB8\xED \xED\xE8 \xEE\xE4\xE8\xED \xEA\xE0\xED\xE0\xEB"}, // Не включён ни один канал
    {VEK72_E_BAD_RATE, "\xCD\xE5\xE4\xEE\xEF\xF3\xF1\xF2\xE8\xEC\xE0\xFF \xF7\xE0\xF1\xF2\xEE\xF2\xE0 \xD6\xC0\xCF"}, // Недопустимая частота ЦАП
    {VEK72_E_NOT_CONFIGURED, "\xCC\xEE\xE4\xF3\xEB\xFC \xED\xE5 \xED\xE0\xF1\xF2\xF0\xEE\xE5\xED"}, // Модуль не настроен
    {VEK72_E_RUNNING, "\xCE\xEF\xE5\xF0\xE0\xF6\xE8\xFF \xED\xE5\xE4\xEE\xEF\xF3\xF1\xF2\xE8\xEC\xE0 \xE2\xEE \xE2\xF0\xE5\xEC\xFF \xE3\xE5\xED\xE5\xF0\xE0\xF6\xE8\xE8"}, // Операция недопустима во время генерации
    {VEK72_E_NOT_RUNNING, "\xC3\xE5\xED\xE5\xF0\xE0\xF6\xE8\xFF \xED\xE5 \xE7\xE0\xEF\xF3\xF9\xE5\xED\xE0"}, // Генерация не запущена
    {VEK72_E_EMPTY_PAGE, "\xD1\xF2\xF0\xE0\xED\xE8\xF6\xE0 \xF6\xE8\xEA\xEB\xE8\xF7\xE5\xF1\xEA\xEE\xE3\xEE \xF0\xE5\xE6\xE8\xEC\xE0 \xEF\xF3\xF1\xF2\xE0"}, // Страница циклического режима пуста
    {VEK72_E_HARDWARE, "\xC0\xEF\xEF\xE0\xF0\xE0\xF2\xED\xE0\xFF \xEE\xF8\xE8\xE1\xEA\xE0 \xEC\xEE\xE4\xF3\xEB\xFF"}, // Аппаратная ошибка модуля
    {VEK72_E_ALREADY_OPEN, "\xCC\xEE\xE4\xF3\xEB\xFC \xF3\xE6\xE5 \xEE\xF2\xEA\xF0\xFB\xF2"}, // Модуль уже открыт
    {VEK72_E_WRONG_MODE, "\xCE\xEF\xE5\xF0\xE0\xF6\xE8\xFF \xED\xE5 \xF1\xEE\xEE\xF2\xE2\xE5\xF2\xF1\xF2\xE2\xF3\xE5\xF2 \xF0\xE5\xE6\xE8\xEC\xF3 \xE2\xFB\xE2\xEE\xE4\xE0"}, // Операция не соответствует режиму вывода
};
const char kUnknownErrorText[] = "\xCD\xE5\xE8\xE7\xE2\xE5\xF1\xF2\xED\xE0\xFF \xEE\xF8\xE8\xE1\xEA\xE0"; // Неизвестная ошибка

} // namespace

extern "C" {

int VEK72_Init(TVEK72* handle)
{
    if (!handle) return VEK72_E_HANDLE;
    std::memset(handle, 0, sizeof *handle);
    handle->magic = kHandleMagic;
    handle->socket = -1;
    return VEK72_OK;
}

int VEK72_Open(TVEK72* handle, uint32_t server, uint16_t port, const char* crateSerial, uint16_t slot)
{
    if (!valid(handle)) return VEK72_E_HANDLE;
    if (!crateSerial || slot < 1 || slot > 16) return VEK72_E_ARGUMENT;
    size_t len = std::strlen(crateSerial);
    if (len == 0 || len >= VEK72_SERIAL_SIZE) return VEK72_E_ARGUMENT;
    forgetIfDropped(handle);
    if (handle->socket >= 0) return VEK72_E_ALREADY_OPEN;

    Io why;
    int fd = connectToService(server, port, deadlineIn(VEK72_TIMEOUT_MS), &why);
    if (fd < 0) return kIoErrors.of(why);
    handle->socket = fd;
    forgetApplied(handle);

    Writer w;
    w.str(crateSerial);
    w.u16(slot);
    std::vector<uint8_t> reply;
    int status = 0;
    int rc = request(handle, OpModOpen, w, nullptr, 0, 0, reply, &status);
    if (rc) return rc;
    if (status != 0) {
        dropConnection(handle);
        return status;
    }
    Reader r(reply.data() + 4, reply.size() - 4);
    ModuleInfo info = readInfo(r);
    if (!r.ok()) {
        dropConnection(handle);
        return VEK72_E_PROTOCOL;
    }
    std::memcpy(handle->info.serial, info.serial, sizeof handle->info.serial);
    handle->info.firmware = info.firmware;
    handle->info.modification = info.modification;
    handle->info.dacChannelCount = info.dacChannelCount;
    handle->slot = slot;
    std::memset(handle->crateSerial, 0, sizeof handle->crateSerial);
    std::memcpy(handle->crateSerial, crateSerial, len);
    return VEK72_OK;
}

// Only looks (a peek that never blocks); the next call that uses the handle gives up a connection the
// service dropped. So it may be asked from another thread than the one using the handle.
int VEK72_IsOpened(TVEK72* handle)
{
    return valid(handle) && !peerClosed(handle->socket) ? 0 : 1;
}

int VEK72_FillOutFreq(TVEK72_CONFIG* config, double dacRateHz, double* actualRate)
{
    if (!config || !std::isfinite(dacRateHz) || dacRateHz < 0.0 || dacRateHz > 1.0e7)
        return VEK72_E_ARGUMENT;
    uint32_t rate = uint32_t(std::lround(dacRateHz));
    config->dacRateHz = rate;
    if (actualRate) *actualRate = double(rate);
    return (rate == 48000 || rate == 96000 || rate == 192000) ? VEK72_OK : VEK72_E_BAD_RATE;
}

int VEK72_Configure(TVEK72* handle)
{
    if (!valid(handle)) return VEK72_E_HANDLE;
    const TVEK72_CONFIG& c = handle->config;
    ModuleConfig mc;
    for (int i = 0; i < VEK72_MAX_CHANNELS; ++i) {
        mc.enabled[i] = c.channel[i].enabled;
        mc.output[i] = c.channel[i].output;
        mc.source[i] = c.channel[i].source;
    }
    mc.outputMode = c.outputMode;
    mc.dacEnable = c.dacEnable;
    mc.dacRateHz = c.dacRateHz;
    Writer w;
    writeConfig(w, mc);
    int rc = stateRequest(handle, OpModConfigure, w, 0);
    if (rc != 0) return rc;
    // What PrepareDacData converts with: the configuration just applied.
    handle->applied = 1;
    handle->appliedCount = 0;
    for (int i = 0; i < VEK72_MAX_CHANNELS; ++i) {
        if (!mc.enabled[i]) continue;
        handle->appliedChannel[handle->appliedCount] = uint8_t(i);
        handle->appliedOutput[handle->appliedCount] = mc.output[i];
        ++handle->appliedCount;
    }
    return VEK72_OK;
}

int VEK72_PrepareDacData(TVEK72* handle, const double* samples, uint32_t count, uint32_t flags,
                         uint32_t* words, void* reserved)
{
    if (!valid(handle)) return VEK72_E_HANDLE;
    if (reserved || flags != VEK72_PREPARE_VOLTS || (count && (!samples || !words))) return VEK72_E_ARGUMENT;
    if (!handle->applied) return VEK72_E_NOT_CONFIGURED;
    const unsigned e = handle->appliedCount;
    if (e == 0 || e > VEK72_MAX_CHANNELS) return VEK72_E_NO_CHANNELS;

    // Scales repeat every e samples; a run of lcm(e, 8) samples (at most 56) lets the inner loop
    // work on whole vectors.
    unsigned run = e;
    while (run % 8) run += e;
    alignas(64) double lo[56];
    alignas(64) double gain[56];
    alignas(64) uint32_t head[56];
    for (unsigned j = 0; j < run; ++j) {
        unsigned p = j % e;
        Scale s = channelScale(handle->info.modification, handle->appliedOutput[p]);
        lo[j] = s.min;
        gain[j] = kCodeMax / (s.max - s.min);
        head[j] = (kWordTag << 24) | (uint32_t(handle->appliedChannel[p] & 7u) << 16);
    }
    convertKernel()(samples, words, count, run, lo, gain, head);
    return VEK72_OK;
}

int VEK72_Send(TVEK72* handle, const uint32_t* words, uint32_t count, uint32_t timeoutMs)
{
    if (!valid(handle)) return VEK72_E_HANDLE;
    if (count && !words) return VEK72_E_ARGUMENT;
    forgetIfDropped(handle);
    if (handle->socket < 0) return VEK72_E_NOT_OPENED;
    if (count > kMaxSendWords) count = kMaxSendWords; // a longer transfer is accepted short
    if (timeoutMs > kMaxCallTimeoutMs) timeoutMs = kMaxCallTimeoutMs;
    Writer w;
    w.u32(timeoutMs);
    w.u32(count);
    std::vector<uint8_t> reply;
    int status = 0;
    int rc = request(handle, OpModSend, w, words, size_t(count) * 4, timeoutMs, reply, &status);
    if (rc) return rc;
    handle->lateSendKnown = 0;
    if (status > int32_t(count)) {
        dropConnection(handle);
        return VEK72_E_PROTOCOL;
    }
    return status;
}

int VEK72_SendResult(TVEK72* handle, uint32_t timeoutMs)
{
    if (!valid(handle)) return VEK72_E_HANDLE;
    if (timeoutMs > kMaxCallTimeoutMs) timeoutMs = kMaxCallTimeoutMs;
    if (handle->awaitId != 0 && handle->awaitOp == OpModSend) {
        int rc = takeLateAnswer(handle, deadlineIn(timeoutMs));
        if (rc) return rc;
    }
    if (!handle->lateSendKnown) return VEK72_E_ARGUMENT;
    handle->lateSendKnown = 0;
    return handle->lateSendTaken;
}

int VEK72_StreamStart(TVEK72* handle, uint32_t flags)
{
    Writer w;
    w.u32(flags);
    return stateRequest(handle, OpModStreamStart, w, 0);
}

int VEK72_SwitchCyclePage(TVEK72* handle, uint32_t flags, uint32_t timeoutMs)
{
    if (timeoutMs > kMaxCallTimeoutMs) timeoutMs = kMaxCallTimeoutMs;
    Writer w;
    w.u32(flags);
    w.u32(timeoutMs);
    return stateRequest(handle, OpModSwitchPage, w, timeoutMs);
}

int VEK72_StreamCut(TVEK72* handle, uint32_t keepWords, uint64_t* nextFrame)
{
    if (!valid(handle)) return VEK72_E_HANDLE;
    forgetIfDropped(handle);
    Writer w;
    w.u32(keepWords);
    std::vector<uint8_t> reply;
    int status = 0;
    int rc = request(handle, OpModStreamCut, w, nullptr, 0, 0, reply, &status);
    if (rc) return rc;
    // status (the words kept, or an error code), the module state, the next frame
    Reader r(reply.data() + 4, reply.size() - 4);
    ModuleState s = readState(r);
    uint64_t next = r.u64();
    if (!r.ok() && status < 0) return status;
    if (!r.ok() || status > int32_t(std::min<uint32_t>(keepWords, VEK72_FIFO_WORDS))) {
        dropConnection(handle);
        return VEK72_E_PROTOCOL;
    }
    storeState(handle, s);
    if (status >= 0 && nextFrame) *nextFrame = next;
    return status;
}

int VEK72_Stop(TVEK72* handle, uint32_t flags)
{
    Writer w;
    w.u32(flags);
    return stateRequest(handle, OpModStop, w, 0);
}

int VEK72_GetStatus(TVEK72* handle, TVEK72_STATUS* status, uint32_t timeoutMs)
{
    if (!valid(handle)) return VEK72_E_HANDLE;
    if (!status) return VEK72_E_ARGUMENT;
    forgetIfDropped(handle);
    if (timeoutMs > kMaxCallTimeoutMs) timeoutMs = kMaxCallTimeoutMs;
    Writer w;
    std::vector<uint8_t> reply;
    int code = 0;
    int rc = request(handle, OpModQuery, w, nullptr, 0, 0, reply, &code, timeoutMs);
    if (rc) return rc;
    Reader r(reply.data() + 4, reply.size() - 4);
    ModuleState s = readState(r);
    double volts[kOutputCount];
    for (double& v : volts) v = r.f64();
    if (!r.ok() || r.remaining()) {
        if (code != 0) return code;
        dropConnection(handle);
        return VEK72_E_PROTOCOL;
    }
    if (code != 0) return code;
    storeState(handle, s);
    std::memset(status, 0, sizeof *status);
    status->running = s.running;
    status->configured = s.configured;
    status->enabledChannels = s.enabledChannels;
    status->outputMode = s.outputMode;
    status->outputRate = s.outputRate;
    for (unsigned i = 0; i < kOutputCount && i < VEK72_MAX_CHANNELS; ++i) status->outputVolts[i] = volts[i];
    return VEK72_OK;
}

int VEK72_Close(TVEK72* handle)
{
    if (!valid(handle)) return VEK72_E_HANDLE;
    forgetIfDropped(handle);
    if (handle->socket < 0) return VEK72_E_NOT_OPENED;
    if (handle->awaitId != 0) {
        // The service has not answered an earlier call: it is not asked again.
        dropConnection(handle);
        return VEK72_E_TIMEOUT;
    }
    Writer w;
    std::vector<uint8_t> reply;
    int status = 0;
    int rc = request(handle, OpModClose, w, nullptr, 0, 0, reply, &status);
    // The connection goes in every case: the service releases the module when it closes.
    dropConnection(handle);
    return rc ? rc : status;
}

const char* VEK72_GetErrorString(int code)
{
    for (const ErrorText& e : kErrorTexts)
        if (e.code == code) return e.text;
    return kUnknownErrorText;
}

} // extern "C"
