// Wire protocol between the client libraries (vekapi, vek72api), the command-line monitor vekctl and the crate
// service simulator vekd. Plain C++17, no Qt: the libraries build on it.
//
// Every message is a frame: a 16-byte header followed by `length` payload bytes. All integers are
// little-endian; doubles travel as the little-endian bytes of their IEEE-754 representation.
//
//   offset 0  uint32 magic      kFrameMagic ("VEKP")
//   offset 4  uint16 opcode     a request opcode, or the request's opcode | kReplyBit in the answer
//   offset 6  uint16 flags      0
//   offset 8  uint32 requestId  chosen by the client, echoed in the answer
//   offset 12 uint32 length     payload bytes; never more than maxPayload(opcode)
//
// A client sends one request and waits for its answer before sending the next one. Every answer
// payload starts with an int32 status: 0 or a positive count on success, else the negative error code
// of the library the request belongs to (VEK_E_* for crate requests, VEK72_E_* for module requests).
#ifndef VEK_PROTOCOL_WIRE_H
#define VEK_PROTOCOL_WIRE_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "sample words travel in host order: little-endian hosts only");

namespace vekproto {

constexpr uint32_t kFrameMagic = 0x504B4556u; // "VEKP" read as little-endian bytes
constexpr uint16_t kReplyBit = 0x8000u;
constexpr size_t kHeaderSize = 16;
constexpr uint32_t kMaxSendWords = 4194304u;   // largest VEK72_Send transfer in one frame
constexpr uint32_t kMaxSmallPayload = 65536u;  // every frame except a word transfer and a capture answer
constexpr uint32_t kMaxCaptureFrames = 1048576u;

enum Opcode : uint16_t {
    // crate service (vekapi)
    OpSvcOpen = 0x0001,        // -> status
    OpGetCrates = 0x0002,      // -> status, uint32 n, n x 16-byte serial entries
    OpOpenCrate = 0x0003,      // uint32 mode, str serial -> status
    OpGetCrateModules = 0x0004,// -> status, 16 x uint16 type id
    // module (vek72api)
    OpModOpen = 0x0010,        // str crate, uint16 slot -> status, info
    OpModConfigure = 0x0011,   // config -> status, state
    OpModSend = 0x0012,        // uint32 timeoutMs, uint32 count, count x uint32 -> status (words taken)
    OpModStreamStart = 0x0013, // uint32 flags -> status, state
    OpModSwitchPage = 0x0014,  // uint32 flags, uint32 timeoutMs -> status, state
    OpModStop = 0x0015,        // uint32 flags -> status, state
    OpModClose = 0x0016,       // -> status
    OpModStreamCut = 0x0017,   // uint32 keepWords -> status (words kept), state, uint64 nextFrame
    OpModQuery = 0x0018,       // -> status, state, 8 x double volts each output holds now
    // status, capture and fault injection (vekctl); allowed on any connection
    OpCtlStatus = 0x0020,      // -> status, str json
    OpCtlCapture = 0x0021,     // str crate, uint16 slot, uint32 frames -> status, capture
    OpCtlFault = 0x0022,       // str json -> status, str message
    OpPing = 0x0023,           // -> status
    OpCtlProbe = 0x0024,       // str json (what the simulated multimeter's input is wired to) -> status, str message
};

// Largest payload a request of this opcode may carry; 0 for an unknown opcode.
inline uint32_t maxRequestPayload(uint16_t opcode)
{
    switch (opcode) {
    case OpModSend: return 8 + 4 * kMaxSendWords;
    case OpSvcOpen: case OpGetCrates: case OpOpenCrate: case OpGetCrateModules:
    case OpModOpen: case OpModConfigure: case OpModStreamStart: case OpModSwitchPage:
    case OpModStop: case OpModClose: case OpModStreamCut: case OpModQuery: case OpCtlStatus: case OpCtlCapture:
    case OpCtlFault: case OpPing:
    case OpCtlProbe:
        return kMaxSmallPayload;
    default: return 0;
    }
}

constexpr uint32_t kMaxCrates = 16;       // crate serial entries in an OpGetCrates answer
constexpr uint32_t kSerialBytes = 16;     // one crate serial entry
constexpr uint32_t kSlotCount = 16;       // module type entries in an OpGetCrateModules answer
constexpr uint32_t kInfoBytes = 20;       // ModuleInfo as it travels
constexpr uint32_t kStateBytes = 12;      // ModuleState as it travels
constexpr uint32_t kOutputCount = 8;      // output levels in an OpModQuery answer, one per channel
constexpr uint32_t kMaxStatusPayload = 16u * 1024 * 1024;

// Payload of an answer to a capture of `frames` frames: status, channel count, at most eight
// channel indices, frame count, and a double per channel and frame.
constexpr uint32_t captureReplyPayload(uint32_t frames) { return 4 + 4 + 8 + 4 + 8 * 8 * frames; }

// Largest payload of an answer to a request of this opcode: the status and the most the answer
// carries. A client refuses a longer answer from its header, before reading or storing any of it.
inline uint32_t maxReplyPayload(uint16_t opcode)
{
    switch (opcode) {
    case OpSvcOpen: case OpOpenCrate: case OpModSend: case OpModClose: case OpPing: return 4;
    case OpGetCrates: return 4 + 4 + kMaxCrates * kSerialBytes;
    case OpGetCrateModules: return 4 + 2 * kSlotCount;
    case OpModOpen: return 4 + kInfoBytes;
    case OpModConfigure: case OpModStreamStart: case OpModSwitchPage: case OpModStop: return 4 + kStateBytes;
    case OpModStreamCut: return 4 + kStateBytes + 8;
    case OpModQuery: return 4 + kStateBytes + 8 * kOutputCount;
    case OpCtlStatus: return kMaxStatusPayload;
    case OpCtlCapture: return captureReplyPayload(kMaxCaptureFrames);
    case OpCtlFault: return kMaxSmallPayload;
    case OpCtlProbe: return kMaxSmallPayload;
    default: return 0;
    }
}

struct FrameHeader {
    uint32_t magic = kFrameMagic;
    uint16_t opcode = 0;
    uint16_t flags = 0;
    uint32_t requestId = 0;
    uint32_t length = 0;
};

inline void putU16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void putU32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); p[2] = uint8_t(v >> 16); p[3] = uint8_t(v >> 24);
}
inline uint16_t getU16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t getU32(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline void encodeHeader(const FrameHeader& h, uint8_t out[kHeaderSize])
{
    putU32(out, h.magic);
    putU16(out + 4, h.opcode);
    putU16(out + 6, h.flags);
    putU32(out + 8, h.requestId);
    putU32(out + 12, h.length);
}

inline FrameHeader decodeHeader(const uint8_t in[kHeaderSize])
{
    FrameHeader h;
    h.magic = getU32(in);
    h.opcode = getU16(in + 4);
    h.flags = getU16(in + 6);
    h.requestId = getU32(in + 8);
    h.length = getU32(in + 12);
    return h;
}

// Builds a payload.
class Writer {
public:
    void u8(uint8_t v) { buf_.push_back(v); }
    void u16(uint16_t v) { size_t n = grow(2); putU16(&buf_[n], v); }
    void u32(uint32_t v) { size_t n = grow(4); putU32(&buf_[n], v); }
    void i32(int32_t v) { u32(uint32_t(v)); }
    void u64(uint64_t v) { u32(uint32_t(v)); u32(uint32_t(v >> 32)); }
    void f64(double v)
    {
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        u32(uint32_t(bits));
        u32(uint32_t(bits >> 32));
    }
    void bytes(const void* data, size_t n)
    {
        size_t at = grow(n);
        if (n) std::memcpy(&buf_[at], data, n);
    }
    // A text: uint32 length followed by the bytes (no terminator).
    void str(const std::string& s) { u32(uint32_t(s.size())); bytes(s.data(), s.size()); }
    const std::vector<uint8_t>& data() const { return buf_; }
    std::vector<uint8_t>& data() { return buf_; }

private:
    size_t grow(size_t n) { size_t at = buf_.size(); buf_.resize(at + n); return at; }
    std::vector<uint8_t> buf_;
};

// Reads a payload; every read past the end sets the failure flag and yields zeros, so a decoder
// checks ok() once at the end.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool ok() const { return ok_; }
    size_t remaining() const { return size_t(end_ - p_); }
    const uint8_t* current() const { return p_; }
    uint8_t u8() { return take(1) ? p_[-1] : 0; }
    uint16_t u16() { return take(2) ? getU16(p_ - 2) : 0; }
    uint32_t u32() { return take(4) ? getU32(p_ - 4) : 0; }
    int32_t i32() { return int32_t(u32()); }
    uint64_t u64()
    {
        uint64_t lo = u32(), hi = u32();
        return lo | (hi << 32);
    }
    double f64()
    {
        uint64_t lo = u32(), hi = u32();
        uint64_t bits = lo | (hi << 32);
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    bool bytes(void* out, size_t n)
    {
        if (!take(n)) return false;
        if (n) std::memcpy(out, p_ - n, n);
        return true;
    }
    // A text of at most maxLen bytes.
    std::string str(size_t maxLen = 4096)
    {
        uint32_t n = u32();
        if (!ok_ || n > maxLen || n > remaining()) { ok_ = false; return {}; }
        std::string s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return s;
    }
    bool skip(size_t n) { return take(n); }

private:
    bool take(size_t n)
    {
        if (!ok_ || n > remaining()) { ok_ = false; p_ = end_; return false; }
        p_ += n;
        return true;
    }
    const uint8_t* p_;
    const uint8_t* end_;
    bool ok_ = true;
};

// Module configuration as it travels in OpModConfigure (mirrors TVEK72_CONFIG).
struct ModuleConfig {
    uint8_t enabled[8] = {};
    uint8_t output[8] = {};
    uint8_t source[8] = {};
    uint8_t outputMode = 0;
    uint8_t dacEnable = 0;
    uint32_t dacRateHz = 0;
};

inline void writeConfig(Writer& w, const ModuleConfig& c)
{
    for (int i = 0; i < 8; ++i) { w.u8(c.enabled[i]); w.u8(c.output[i]); w.u8(c.source[i]); w.u8(0); }
    w.u8(c.outputMode);
    w.u8(c.dacEnable);
    w.u32(c.dacRateHz);
}

inline ModuleConfig readConfig(Reader& r)
{
    ModuleConfig c;
    for (int i = 0; i < 8; ++i) { c.enabled[i] = r.u8(); c.output[i] = r.u8(); c.source[i] = r.u8(); r.u8(); }
    c.outputMode = r.u8();
    c.dacEnable = r.u8();
    c.dacRateHz = r.u32();
    return c;
}

// Module state as it travels in answers (mirrors TVEK72_STATE).
struct ModuleState {
    uint8_t running = 0;
    uint8_t enabledChannels = 0;
    uint8_t outputMode = 0;
    uint8_t configured = 0;
    double outputRate = 0;
};

inline void writeState(Writer& w, const ModuleState& s)
{
    w.u8(s.running); w.u8(s.enabledChannels); w.u8(s.outputMode); w.u8(s.configured);
    w.f64(s.outputRate);
}

inline ModuleState readState(Reader& r)
{
    ModuleState s;
    s.running = r.u8(); s.enabledChannels = r.u8(); s.outputMode = r.u8(); s.configured = r.u8();
    s.outputRate = r.f64();
    return s;
}

// Module information as it travels in the OpModOpen answer (mirrors TVEK72_INFO).
struct ModuleInfo {
    char serial[16] = {};
    uint16_t firmware = 0;
    uint8_t modification = 0;
    uint8_t dacChannelCount = 0;
};

inline void writeInfo(Writer& w, const ModuleInfo& i)
{
    w.bytes(i.serial, sizeof i.serial);
    w.u16(i.firmware); w.u8(i.modification); w.u8(i.dacChannelCount);
}

inline ModuleInfo readInfo(Reader& r)
{
    ModuleInfo i;
    r.bytes(i.serial, sizeof i.serial);
    i.serial[sizeof i.serial - 1] = 0;
    i.firmware = r.u16(); i.modification = r.u8(); i.dacChannelCount = r.u8();
    return i;
}

} // namespace vekproto

#endif
