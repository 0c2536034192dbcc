// Client side of the wire protocol over POSIX sockets: connecting to the crate service, one
// request/answer exchange bounded in time, and noticing a connection the service dropped.
// Plain C++17, no Qt; shared by vekapi, vek72api and vekctl.
#ifndef VEK_PROTOCOL_CLIENT_H
#define VEK_PROTOCOL_CLIENT_H

#include "wire.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace vekproto {

enum class Io {
    Ok,
    Timeout,  // the deadline passed
    Closed,   // the peer closed or reset the connection, or it could not be made
    Protocol, // the answer broke the protocol
};

// The error codes a library answers for the ways an exchange fails.
struct IoErrors {
    int timeout;
    int closed;
    int protocol;
    int of(Io r) const { return r == Io::Timeout ? timeout : r == Io::Protocol ? protocol : closed; }
};

struct Endpoint {
    std::string host; // dotted IPv4 address
    uint16_t port = 0;
};

// The service address: VEK_SERVICE=HOST:PORT when set (read at every call, so that a process may
// point itself at a service started after it), else address (host-order IPv4) and port.
// Answers false when VEK_SERVICE is set but malformed.
bool serviceEndpoint(uint32_t address, uint16_t port, Endpoint& out);

// Parses "HOST:PORT" (HOST an IPv4 address or "localhost"); false when malformed.
bool parseEndpoint(const std::string& text, Endpoint& out);

using Clock = std::chrono::steady_clock;

inline Clock::time_point deadlineIn(uint32_t ms) { return Clock::now() + std::chrono::milliseconds(ms); }

// A non-blocking TCP connection, -1 on failure (why tells Timeout or Closed).
int connectTo(const Endpoint& ep, Clock::time_point deadline, Io* why);

// connectTo() the service (serviceEndpoint(address, port)); a malformed VEK_SERVICE counts as Closed.
int connectToService(uint32_t address, uint16_t port, Clock::time_point deadline, Io* why);

// Sends one request frame whose payload is head followed by tail (tail may be null) and reads its
// answer into reply (its payload, status included). The answer must echo opcode and id and carry its
// status and at most the smaller of maxPayload and maxReplyPayload(opcode) bytes (maxPayload narrows a
// capture's answer by the frames asked for): a header claiming more is refused (Protocol) before any
// of its payload is read or stored.
Io exchange(int fd, uint16_t opcode, uint32_t requestId, const std::vector<uint8_t>& head, const void* tail,
            size_t tailSize, Clock::time_point deadline, std::vector<uint8_t>& reply,
            uint32_t maxPayload = 0xFFFFFFFFu);

// The two halves of exchange(), for a client that may take an answer later than it asked: the request
// frame written, and the answer to (opcode, requestId) read. A frame that the deadline cut off after
// some of it went leaves the rest in *unsent (when given; empty otherwise): the stream stays in step
// only if the rest is written (sendBytes) before anything else.
Io sendRequestFrame(int fd, uint16_t opcode, uint32_t requestId, const std::vector<uint8_t>& head,
                    const void* tail, size_t tailSize, Clock::time_point deadline,
                    std::vector<uint8_t>* unsent = nullptr);
// Writes bytes by the deadline; *written counts what went.
Io sendBytes(int fd, const uint8_t* data, size_t size, Clock::time_point deadline, size_t* written);
Io readAnswer(int fd, uint16_t opcode, uint32_t requestId, uint32_t maxPayload, Clock::time_point deadline,
              std::vector<uint8_t>& reply);
// True when fd has something to read (or broke) by the deadline; nothing is read.
bool waitReadable(int fd, Clock::time_point deadline);

// The status that starts the payload of an answer exchange() accepted.
inline int32_t replyStatus(const std::vector<uint8_t>& reply) { return int32_t(getU32(reply.data())); }

// True when the peer has closed the connection (or it broke); never blocks.
bool peerClosed(int fd);

void closeSocket(int fd);

} // namespace vekproto

#endif
