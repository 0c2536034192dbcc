/*
 * vekapi - client library of the VEK crate service.
 *
 * The crate service owns the crates on this computer; a client asks it which crates exist
 * and which module type sits in each of a crate's 16 slots. Every call takes the address of a
 * connection handle record (TVEK) that the caller reserves; the record must be prepared with
 * VEK_Init before any other call and released with VEK_Close.
 *
 * Results: 0 on success, a negative VEK_E_* code on failure. Exceptions: VEK_IsOpened, which
 * answers 0 when the handle holds an open connection and non-zero otherwise.
 *
 * Service address: callers pass the address and port of the service (127.0.0.1 as the host-order
 * number 0x7F000001, port 11111). When the environment variable VEK_SERVICE is set to HOST:PORT
 * (for example 127.0.0.1:40123) the library connects there instead; tests and demonstrations use
 * this to run a service of their own on any loopback port.
 *
 * Every call that talks to the service is bounded in time (see VEK_TIMEOUT_MS): a dead or silent
 * service gives VEK_E_TIMEOUT or VEK_E_CONNECTION, never a hang.
 *
 * The library is thread-compatible: one handle must not be used by two threads at the same time,
 * different handles may. VEK_IsOpened only looks at the connection and may be asked from any thread.
 */
#ifndef VEKAPI_H
#define VEKAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VEK_MAX_CRATES 16      /* crate serial entries VEK_GetCrates fills */
#define VEK_SERIAL_SIZE 16     /* bytes of one crate serial entry, 0-terminated */
#define VEK_SLOT_COUNT 16      /* slots per crate */
#define VEK_TIMEOUT_MS 3000    /* upper bound of one request/answer exchange */

#define VEK_HANDLE_MAGIC 0x56454B48u /* "VEKH": set by VEK_Init */

/* Error codes. */
#define VEK_OK 0
#define VEK_E_HANDLE -1        /* null handle or handle not prepared by VEK_Init */
#define VEK_E_CONNECTION -2    /* the service cannot be reached or the connection dropped */
#define VEK_E_TIMEOUT -3       /* the service did not answer in time */
#define VEK_E_PROTOCOL -4      /* the answer was malformed */
#define VEK_E_NOT_OPENED -5    /* the handle holds no open connection */
#define VEK_E_NO_CRATE -6      /* the service knows no crate of that serial */
#define VEK_E_CRATE_REFUSED -7 /* the crate refused the connection */
#define VEK_E_ARGUMENT -8      /* a null buffer or an invalid argument */
#define VEK_E_ALREADY_OPEN -9  /* the handle already holds an open connection */

/* Connection handle record. Its fields are the library's; callers only reserve it. */
typedef struct TVEK {
    uint32_t magic;            /* VEK_HANDLE_MAGIC after VEK_Init */
    int32_t socket;            /* connected socket, -1 when closed */
    uint32_t kind;             /* 0 none, 1 service control, 2 crate */
    char crateSerial[VEK_SERIAL_SIZE]; /* serial of the open crate (kind 2) */
    uint32_t requestId;        /* last request number */
} TVEK;

/* Prepares a handle record: no connection. Always 0 for a non-null handle. */
int VEK_Init(TVEK* handle);

/* 0 when the handle holds an open connection (the service still answers on it); non-zero otherwise. */
int VEK_IsOpened(TVEK* handle);

/* Opens a control connection to the crate service at address:port (host order). */
int VEK_OpenSvcControl(TVEK* handle, uint32_t address, uint16_t port);

/*
 * Fills serials with the serial numbers of the crates the service knows, one 0-terminated text per
 * 16-byte entry, in the service's order; entries without a crate are left as they are (callers zero
 * the buffer first). Needs a handle opened by VEK_OpenSvcControl.
 */
int VEK_GetCrates(TVEK* handle, char serials[VEK_MAX_CRATES][VEK_SERIAL_SIZE]);

/*
 * Opens a connection to the crate with the given serial (0-terminated UTF-8) through the service at
 * address:port. mode is reserved and must be 0.
 */
int VEK_OpenCrate(TVEK* handle, uint32_t address, uint16_t port, uint32_t mode, const char* serial);

/* Fills ids[i] with the module type identifier in slot i+1, 0 for an empty slot. Needs an open crate. */
int VEK_GetCrateModules(TVEK* handle, uint16_t ids[VEK_SLOT_COUNT]);

/* Closes the handle's connection, if any. The handle stays prepared and may be opened again. */
int VEK_Close(TVEK* handle);

#ifdef __cplusplus
}
#endif

#endif
