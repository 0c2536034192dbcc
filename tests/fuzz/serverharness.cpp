// The crate service's side of the wire protocol under arbitrary input: one client's byte stream goes
// through vekd's connection (frame reader, request decoding and handling) against the built-in
// bench, in pieces of a size the input chooses, and every answer vekd writes must be a whole,
// well-formed answer frame no longer than a client accepts.
#include "wireharness.h"

#include "bench.h"
#include "server.h"
#include "wire.h"

#include <QCoreApplication>
#include <QIODevice>
#include <QPointer>

#include <algorithm>
#include <cstring>

using namespace vekproto;

namespace {

// A client connection in memory: the stream is made readable piece by piece, answers are kept.
class MemoryDevice : public QIODevice
{
public:
    MemoryDevice(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return qint64(readable_ - position_) + QIODevice::bytesAvailable(); }
    // Makes up to n more bytes readable; false when the stream has nothing more.
    bool release(size_t n)
    {
        if (readable_ == size_) return false;
        readable_ = std::min(size_, readable_ + n);
        return true;
    }
    const std::string& written() const { return written_; }

protected:
    qint64 readData(char* out, qint64 max) override
    {
        const size_t n = std::min(size_t(max), readable_ - position_);
        if (n) std::memcpy(out, data_ + position_, n);
        position_ += n;
        return qint64(n);
    }
    qint64 writeData(const char* in, qint64 n) override
    {
        written_.append(in, size_t(n));
        return n;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t readable_ = 0;
    size_t position_ = 0;
    std::string written_;
};

void ensureApplication()
{
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    static char name[] = "wireharness";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
}

// Every answer whole, of a known request, flags 0, carrying a status and no more than its limit.
bool answersAreWellFormed(const std::string& out, std::string* problem)
{
    size_t at = 0;
    while (at < out.size()) {
        if (out.size() - at < kHeaderSize) {
            *problem = "an answer header cut short";
            return false;
        }
        const FrameHeader h = decodeHeader(reinterpret_cast<const uint8_t*>(out.data() + at));
        const uint16_t request = uint16_t(h.opcode & ~kReplyBit);
        if (h.magic != kFrameMagic || !(h.opcode & kReplyBit) || h.flags != 0 || maxRequestPayload(request) == 0) {
            *problem = "an answer header that is not one";
            return false;
        }
        if (h.length < 4 || h.length > maxReplyPayload(request)) {
            *problem = "an answer to opcode " + std::to_string(request) + " of " + std::to_string(h.length) + " bytes";
            return false;
        }
        if (out.size() - at - kHeaderSize < h.length) {
            *problem = "an answer payload cut short";
            return false;
        }
        at += kHeaderSize + h.length;
    }
    return true;
}

} // namespace

bool serveClientStream(const uint8_t* data, size_t size, std::string* problem)
{
    ensureApplication();
    if (size == 0) return true;
    // The first byte: how many bytes arrive at a time (0: all at once).
    const size_t piece = data[0] ? data[0] : size;
    vekd::Bench bench;
    vekd::builtinBench(bench);
    vekd::Service service(std::move(bench), false);
    auto* device = new MemoryDevice(data + 1, size - 1);
    device->open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    QPointer<vekd::Connection> connection = service.adopt(device, QStringLiteral("fuzz"));
    while (connection && device->release(piece)) {
        Q_EMIT device->readyRead();
        QCoreApplication::sendPostedEvents(); // the queued continuation after a waiting send
    }
    std::string answers = device->written();
    if (connection) connection->onDisconnected(); // the client is gone
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return answersAreWellFormed(answers, problem);
}

#ifdef WIRE_FUZZER_SERVER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return fuzzOneInput(serveClientStream, data, size);
}
#endif
