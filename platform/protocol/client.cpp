#include "client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace vekproto {

bool parseEndpoint(const std::string& text, Endpoint& out)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
    std::string host = text.substr(0, colon);
    std::string portText = text.substr(colon + 1);
    if (portText.size() > 5) return false;
    unsigned long port = 0;
    for (char c : portText) {
        if (c < '0' || c > '9') return false;
        port = port * 10 + unsigned(c - '0');
    }
    if (port == 0 || port > 65535) return false;
    if (host == "localhost") host = "127.0.0.1";
    in_addr a;
    if (inet_pton(AF_INET, host.c_str(), &a) != 1) return false;
    out.host = host;
    out.port = uint16_t(port);
    return true;
}

bool serviceEndpoint(uint32_t address, uint16_t port, Endpoint& out)
{
    const char* env = std::getenv("VEK_SERVICE");
    if (env && *env) return parseEndpoint(env, out);
    in_addr a;
    a.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &a, text, sizeof text)) return false;
    out.host = text;
    out.port = port;
    return port != 0;
}

static int remainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > 1000000 ? 1000000 : int(left);
}

// Waits until fd is ready for events; false on time-out.
static bool waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        int ms = remainingMs(deadline);
        int r = ::poll(&p, 1, ms);
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return true; // let the following call report the error
    }
}

int connectTo(const Endpoint& ep, Clock::time_point deadline, Io* why)
{
    Io dummy;
    if (!why) why = &dummy;
    *why = Io::Closed;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(ep.port);
    if (inet_pton(AF_INET, ep.host.c_str(), &sa.sin_addr) != 1) return -1;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int r = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (r != 0 && errno != EINPROGRESS && errno != EINTR) {
        ::close(fd);
        return -1;
    }
    if (r != 0) {
        if (!waitFor(fd, POLLOUT, deadline)) {
            ::close(fd);
            *why = Io::Timeout;
            return -1;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            ::close(fd);
            return -1;
        }
    }
    *why = Io::Ok;
    return fd;
}

int connectToService(uint32_t address, uint16_t port, Clock::time_point deadline, Io* why)
{
    Endpoint ep;
    if (!serviceEndpoint(address, port, ep)) {
        if (why) *why = Io::Closed;
        return -1;
    }
    return connectTo(ep, deadline, why);
}

// Writes the iovecs whole by the deadline; *written (when given) counts the bytes that went.
static Io sendAll(int fd, iovec* iov, int count, Clock::time_point deadline, size_t* written = nullptr)
{
    while (count > 0) {
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = size_t(count);
        ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (!waitFor(fd, POLLOUT, deadline)) return Io::Timeout;
                continue;
            }
            return Io::Closed;
        }
        if (written) *written += size_t(n);
        size_t done = size_t(n);
        while (count > 0 && done >= iov->iov_len) {
            done -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + done;
            iov->iov_len -= done;
        }
    }
    return Io::Ok;
}

static Io recvAll(int fd, uint8_t* out, size_t size, Clock::time_point deadline)
{
    while (size > 0) {
        ssize_t n = ::recv(fd, out, size, 0);
        if (n > 0) {
            out += n;
            size -= size_t(n);
            continue;
        }
        if (n == 0) return Io::Closed;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!waitFor(fd, POLLIN, deadline)) return Io::Timeout;
            continue;
        }
        return Io::Closed;
    }
    return Io::Ok;
}

static Io sendRequest(int fd, uint16_t opcode, uint32_t requestId, const std::vector<uint8_t>& head,
                      const void* tail, size_t tailSize, Clock::time_point deadline,
                      std::vector<uint8_t>* unsent = nullptr)
{
    if (fd < 0) return Io::Closed;
    size_t total = head.size() + (tail ? tailSize : 0);
    if (total > 0xFFFFFFFFu) return Io::Protocol;
    FrameHeader h;
    h.opcode = opcode;
    h.requestId = requestId;
    h.length = uint32_t(total);
    uint8_t hdr[kHeaderSize];
    encodeHeader(h, hdr);
    iovec iov[3];
    int n = 0;
    iov[n++] = {hdr, kHeaderSize};
    if (!head.empty()) iov[n++] = {const_cast<uint8_t*>(head.data()), head.size()};
    if (tail && tailSize) iov[n++] = {const_cast<void*>(tail), tailSize};
    size_t written = 0;
    Io r = sendAll(fd, iov, n, deadline, &written);
    if (r == Io::Timeout && unsent && written > 0) {
        // What did not go yet, byte for byte: the frame is finished later.
        unsent->clear();
        unsent->reserve(kHeaderSize + total - written);
        const uint8_t* parts[3] = {hdr, head.data(), static_cast<const uint8_t*>(tail)};
        const size_t sizes[3] = {kHeaderSize, head.size(), tail ? tailSize : 0};
        size_t skip = written;
        for (int i = 0; i < 3; ++i) {
            if (skip >= sizes[i]) {
                skip -= sizes[i];
                continue;
            }
            unsent->insert(unsent->end(), parts[i] + skip, parts[i] + sizes[i]);
            skip = 0;
        }
    } else if (unsent) {
        unsent->clear();
    }
    return r;
}

static Io readReply(int fd, uint16_t opcode, uint32_t requestId, uint32_t maxPayload, Clock::time_point deadline,
                    std::vector<uint8_t>& reply)
{
    reply.clear();
    if (fd < 0) return Io::Closed;
    uint8_t in[kHeaderSize];
    Io r = recvAll(fd, in, kHeaderSize, deadline);
    if (r != Io::Ok) return r;
    FrameHeader a = decodeHeader(in);
    if (a.magic != kFrameMagic || a.opcode != (opcode | kReplyBit) || a.flags != 0 || a.requestId != requestId
        || a.length < 4 || a.length > maxPayload || a.length > maxReplyPayload(opcode))
        return Io::Protocol;
    // Storage grows with what actually arrives, in steps of at most 1 MiB.
    size_t got = 0;
    while (got < a.length) {
        size_t chunk = a.length - got;
        if (chunk > (1u << 20)) chunk = 1u << 20;
        reply.resize(got + chunk);
        r = recvAll(fd, reply.data() + got, chunk, deadline);
        if (r != Io::Ok) return r;
        got += chunk;
    }
    return Io::Ok;
}

Io sendRequestFrame(int fd, uint16_t opcode, uint32_t requestId, const std::vector<uint8_t>& head,
                    const void* tail, size_t tailSize, Clock::time_point deadline, std::vector<uint8_t>* unsent)
{
    return sendRequest(fd, opcode, requestId, head, tail, tailSize, deadline, unsent);
}

Io sendBytes(int fd, const uint8_t* data, size_t size, Clock::time_point deadline, size_t* written)
{
    if (fd < 0) return Io::Closed;
    iovec iov{const_cast<uint8_t*>(data), size};
    return sendAll(fd, &iov, size ? 1 : 0, deadline, written);
}

Io readAnswer(int fd, uint16_t opcode, uint32_t requestId, uint32_t maxPayload, Clock::time_point deadline,
              std::vector<uint8_t>& reply)
{
    return readReply(fd, opcode, requestId, maxPayload, deadline, reply);
}

bool waitReadable(int fd, Clock::time_point deadline)
{
    return fd >= 0 && waitFor(fd, POLLIN, deadline);
}

Io exchange(int fd, uint16_t opcode, uint32_t requestId, const std::vector<uint8_t>& head, const void* tail,
            size_t tailSize, Clock::time_point deadline, std::vector<uint8_t>& reply, uint32_t maxPayload)
{
    Io r = sendRequest(fd, opcode, requestId, head, tail, tailSize, deadline);
    if (r != Io::Ok) return r;
    return readReply(fd, opcode, requestId, maxPayload, deadline, reply);
}

bool peerClosed(int fd)
{
    if (fd < 0) return true;
    uint8_t b;
    for (;;) {
        ssize_t n = ::recv(fd, &b, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) return false; // unexpected data, but the connection is alive
        if (n == 0) return true;
        if (errno == EINTR) continue;
        return !(errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

void closeSocket(int fd)
{
    if (fd >= 0) ::close(fd);
}

} // namespace vekproto
