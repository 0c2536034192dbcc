// Scaffolding: replaced by the real client library.
#include "vekapi.h"
#include <string.h>
int VEK_Init(TVEK* h) { if (!h) return VEK_E_HANDLE; memset(h, 0, sizeof *h); h->magic = VEK_HANDLE_MAGIC; h->socket = -1; return 0; }
int VEK_IsOpened(TVEK*) { return 1; }
int VEK_OpenSvcControl(TVEK*, uint32_t, uint16_t) { return VEK_E_CONNECTION; }
int VEK_GetCrates(TVEK*, char (*)[VEK_SERIAL_SIZE]) { return VEK_E_NOT_OPENED; }
int VEK_OpenCrate(TVEK*, uint32_t, uint16_t, uint32_t, const char*) { return VEK_E_CONNECTION; }
int VEK_GetCrateModules(TVEK*, uint16_t*) { return VEK_E_NOT_OPENED; }
int VEK_Close(TVEK*) { return 0; }
