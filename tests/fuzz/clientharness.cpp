// The client libraries' side of the wire protocol under arbitrary input: one call of vekapi or
// vek72api reads the input as the service's answer (reply reader and the call's decoding). A call
// that opens a connection gets it from a listening socket of this process; the others use a
// handle whose connection is one end of a socket pair. Whatever the answer, the call must end, and
// an answer whose header claims more than its request allows must be refused as a protocol error,
// the connection given up.
#include "wireharness.h"

#include "client.h"
#include "vek72api.h"
#include "vekapi.h"
#include "wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace vekproto;

namespace {

// Largest answer stream handed over (it must fit the socket's buffer before the call reads it).
constexpr size_t kMaxAnswer = 256 * 1024;

enum Call {
    GetCrates, GetCrateModules, Configure, Send, StreamStart, SwitchPage, Stop, Close,
    OpenService, OpenCrate, OpenModule, StreamCut, Query, CallCount
};

const uint16_t kOpcodeOf[CallCount] = {OpGetCrates, OpGetCrateModules, OpModConfigure, OpModSend, OpModStreamStart,
                                       OpModSwitchPage, OpModStop, OpModClose, OpSvcOpen, OpOpenCrate, OpModOpen,
                                       OpModStreamCut, OpModQuery};

bool connects(Call call) { return call == OpenService || call == OpenCrate || call == OpenModule; }

// The answer stream: raw bytes, or (mode bit 0) the rest after a correct header for the request,
// whose length is the rest's size or (mode bit 1) taken from the rest's first four bytes.
std::string answerStream(uint16_t opcode, uint8_t mode, const uint8_t* rest, size_t size)
{
    if (!(mode & 1)) return std::string(reinterpret_cast<const char*>(rest), size);
    FrameHeader h;
    h.opcode = uint16_t(opcode | kReplyBit);
    h.requestId = 1; // the first request of a fresh handle
    h.length = uint32_t(size);
    if ((mode & 2) && size >= 4) {
        h.length = getU32(rest);
        rest += 4;
        size -= 4;
    }
    uint8_t raw[kHeaderSize];
    encodeHeader(h, raw);
    return std::string(reinterpret_cast<const char*>(raw), kHeaderSize) + std::string(reinterpret_cast<const char*>(rest), size);
}

void writeAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += size_t(n);
    }
}

void enlargeBuffers(int fd)
{
    int bytes = int(2 * kMaxAnswer);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

// A call on an open handle whose connection reads `answer`: the call's result; *kept tells whether
// the handle still holds its connection afterwards.
int callOnHandle(Call call, const std::string& answer, bool* kept)
{
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
    enlargeBuffers(pair[0]);
    enlargeBuffers(pair[1]);
    writeAll(pair[1], answer);
    ::shutdown(pair[1], SHUT_WR); // no more than this: the call never waits for its deadline
    int rc = 0;
    if (call == GetCrates || call == GetCrateModules) {
        TVEK h;
        VEK_Init(&h);
        h.socket = pair[0];
        h.kind = call == GetCrates ? 1 : 2;
        char serials[VEK_MAX_CRATES][VEK_SERIAL_SIZE];
        uint16_t ids[VEK_SLOT_COUNT];
        rc = call == GetCrates ? VEK_GetCrates(&h, serials) : VEK_GetCrateModules(&h, ids);
        *kept = h.socket >= 0;
        closeSocket(h.socket);
    } else {
        TVEK72 h;
        VEK72_Init(&h);
        h.socket = pair[0];
        const uint32_t words[4] = {0xA5000000u, 0xA5000001u, 0xA5000002u, 0xA5000003u};
        switch (call) {
        case Configure: rc = VEK72_Configure(&h); break;
        case Send: rc = VEK72_Send(&h, words, 4, 0); break;
        case StreamStart: rc = VEK72_StreamStart(&h, 0); break;
        case SwitchPage: rc = VEK72_SwitchCyclePage(&h, 0, 0); break;
        case Stop: rc = VEK72_Stop(&h, 0); break;
        case StreamCut: {
            uint64_t next = 0;
            rc = VEK72_StreamCut(&h, 8, &next);
            break;
        }
        case Query: {
            TVEK72_STATUS status;
            rc = VEK72_GetStatus(&h, &status, 0);
            break;
        }
        default: rc = VEK72_Close(&h); break;
        }
        *kept = h.socket >= 0;
        closeSocket(h.socket);
    }
    closeSocket(pair[1]);
    return rc;
}

// A call that connects to the service: a listening socket of this process answers with `answer`.
int callThatConnects(Call call, const std::string& answer, bool* kept)
{
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener, 1) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        std::abort();
    const std::string address = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    ::setenv("VEK_SERVICE", address.c_str(), 1);
    std::thread service([listener, &answer] {
        int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0) return;
        enlargeBuffers(fd);
        writeAll(fd, answer);
        ::shutdown(fd, SHUT_WR);
        char sink[4096];
        while (::recv(fd, sink, sizeof sink, 0) > 0) {} // until the client closes
        ::close(fd);
    });
    int rc = 0;
    if (call == OpenModule) {
        TVEK72 h;
        VEK72_Init(&h);
        rc = VEK72_Open(&h, 0, 0, "4B210736", 3);
        *kept = h.socket >= 0;
        closeSocket(h.socket);
    } else {
        TVEK h;
        VEK_Init(&h);
        rc = call == OpenService ? VEK_OpenSvcControl(&h, 0, 0) : VEK_OpenCrate(&h, 0, 0, 0, "4B210736");
        *kept = h.socket >= 0;
        closeSocket(h.socket);
    }
    service.join();
    ::close(listener);
    return rc;
}

} // namespace

bool answerLibraryCall(const uint8_t* data, size_t size, std::string* problem)
{
    if (size < 2) return true;
    const Call call = Call(data[0] % CallCount);
    const uint16_t opcode = kOpcodeOf[call];
    std::string answer = answerStream(opcode, data[1], data + 2, std::min(size - 2, kMaxAnswer));
    bool kept = false;
    const int rc = connects(call) ? callThatConnects(call, answer, &kept) : callOnHandle(call, answer, &kept);
    const int protocolError = call == GetCrates || call == GetCrateModules || call == OpenService || call == OpenCrate
        ? VEK_E_PROTOCOL : VEK72_E_PROTOCOL;
    if (answer.size() >= kHeaderSize) {
        const FrameHeader h = decodeHeader(reinterpret_cast<const uint8_t*>(answer.data()));
        if (h.length > maxReplyPayload(opcode) && (rc != protocolError || kept)) {
            *problem = "opcode " + std::to_string(opcode) + ": an answer claiming " + std::to_string(h.length)
                + " bytes was not refused as a protocol error (" + std::to_string(rc) + ")"
                + (kept ? ", the connection kept" : "");
            return false;
        }
    }
    return true;
}

#ifdef WIRE_FUZZER_CLIENT
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return fuzzOneInput(answerLibraryCall, data, size);
}
#endif
