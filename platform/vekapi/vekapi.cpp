// vekapi: crate service client over the wire protocol of platform/protocol.
#include "vekapi.h"

#include "client.h"
#include "wire.h"

#include <cstring>

using namespace vekproto;

namespace {

enum Kind : uint32_t { KindNone = 0, KindService = 1, KindCrate = 2 };

bool valid(const TVEK* h) { return h && h->magic == VEK_HANDLE_MAGIC; }

constexpr IoErrors kIoErrors{VEK_E_TIMEOUT, VEK_E_CONNECTION, VEK_E_PROTOCOL};

void dropConnection(TVEK* h)
{
    closeSocket(h->socket);
    h->socket = -1;
    h->kind = KindNone;
    std::memset(h->crateSerial, 0, sizeof h->crateSerial);
}

// One request/answer on the handle's connection. A failed exchange leaves the stream out of step,
// so the connection is dropped. On success *status is the answer's status and reply holds the
// payload (status included); a reader positioned after the status is made from it by the caller.
int request(TVEK* h, uint16_t opcode, const Writer& w, std::vector<uint8_t>& reply, int* status)
{
    Io r = exchange(h->socket, opcode, ++h->requestId, w.data(), nullptr, 0, deadlineIn(VEK_TIMEOUT_MS), reply);
    if (r != Io::Ok) {
        dropConnection(h);
        return kIoErrors.of(r);
    }
    *status = replyStatus(reply);
    return 0;
}

// A request without arguments on a connection open in the role `kind`: 0 with the answer in reply
// (status included), else the library's or the service's error code.
int query(TVEK* h, uint32_t kind, uint16_t opcode, std::vector<uint8_t>& reply)
{
    if (h->socket < 0 || h->kind != kind) return VEK_E_NOT_OPENED;
    int status = 0;
    int rc = request(h, opcode, Writer(), reply, &status);
    return rc ? rc : status;
}

// When the handle's connection was dropped by the service, forget it.
void forgetIfDropped(TVEK* h)
{
    if (h->socket >= 0 && peerClosed(h->socket)) dropConnection(h);
}

// Connects to the service and opens the connection in a role (service control or crate) with the
// request of that role; a refusal closes the connection again.
int openAs(TVEK* h, uint32_t address, uint16_t port, uint16_t opcode, const Writer& w, uint32_t kind)
{
    forgetIfDropped(h);
    if (h->socket >= 0) return VEK_E_ALREADY_OPEN;
    Io why;
    int fd = connectToService(address, port, deadlineIn(VEK_TIMEOUT_MS), &why);
    if (fd < 0) return kIoErrors.of(why);
    h->socket = fd;
    std::vector<uint8_t> reply;
    int status = 0;
    int rc = request(h, opcode, w, reply, &status);
    if (rc) return rc;
    if (status != 0) {
        dropConnection(h);
        return status;
    }
    h->kind = kind;
    return VEK_OK;
}

} // namespace

extern "C" {

int VEK_Init(TVEK* handle)
{
    if (!handle) return VEK_E_HANDLE;
    std::memset(handle, 0, sizeof *handle);
    handle->magic = VEK_HANDLE_MAGIC;
    handle->socket = -1;
    return VEK_OK;
}

// Only looks (a peek that never blocks); the next call that uses the handle gives up a connection the
// service dropped. So it may be asked from another thread than the one using the handle.
int VEK_IsOpened(TVEK* handle)
{
    return valid(handle) && !peerClosed(handle->socket) ? 0 : 1;
}

int VEK_OpenSvcControl(TVEK* handle, uint32_t address, uint16_t port)
{
    if (!valid(handle)) return VEK_E_HANDLE;
    return openAs(handle, address, port, OpSvcOpen, Writer(), KindService);
}

int VEK_GetCrates(TVEK* handle, char serials[VEK_MAX_CRATES][VEK_SERIAL_SIZE])
{
    if (!valid(handle)) return VEK_E_HANDLE;
    if (!serials) return VEK_E_ARGUMENT;
    std::vector<uint8_t> reply;
    if (int rc = query(handle, KindService, OpGetCrates, reply)) return rc;
    Reader r(reply.data() + 4, reply.size() - 4);
    uint32_t n = r.u32();
    if (!r.ok() || n > VEK_MAX_CRATES || r.remaining() < size_t(n) * VEK_SERIAL_SIZE) {
        dropConnection(handle);
        return VEK_E_PROTOCOL;
    }
    for (uint32_t i = 0; i < n; ++i) {
        r.bytes(serials[i], VEK_SERIAL_SIZE);
        serials[i][VEK_SERIAL_SIZE - 1] = 0;
    }
    return VEK_OK;
}

int VEK_OpenCrate(TVEK* handle, uint32_t address, uint16_t port, uint32_t mode, const char* serial)
{
    if (!valid(handle)) return VEK_E_HANDLE;
    if (!serial || mode != 0) return VEK_E_ARGUMENT;
    size_t len = std::strlen(serial);
    if (len == 0 || len >= VEK_SERIAL_SIZE) return VEK_E_ARGUMENT;
    Writer w;
    w.u32(mode);
    w.str(serial);
    int rc = openAs(handle, address, port, OpOpenCrate, w, KindCrate);
    if (rc == VEK_OK) std::memcpy(handle->crateSerial, serial, len + 1);
    return rc;
}

int VEK_GetCrateModules(TVEK* handle, uint16_t ids[VEK_SLOT_COUNT])
{
    if (!valid(handle)) return VEK_E_HANDLE;
    if (!ids) return VEK_E_ARGUMENT;
    std::vector<uint8_t> reply;
    if (int rc = query(handle, KindCrate, OpGetCrateModules, reply)) return rc;
    Reader r(reply.data() + 4, reply.size() - 4);
    uint16_t got[VEK_SLOT_COUNT];
    for (int i = 0; i < VEK_SLOT_COUNT; ++i) got[i] = r.u16();
    if (!r.ok()) {
        dropConnection(handle);
        return VEK_E_PROTOCOL;
    }
    std::memcpy(ids, got, sizeof got);
    return VEK_OK;
}

int VEK_Close(TVEK* handle)
{
    if (!valid(handle)) return VEK_E_HANDLE;
    dropConnection(handle);
    return VEK_OK;
}

} // extern "C"
