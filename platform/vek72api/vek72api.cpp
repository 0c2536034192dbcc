// Scaffolding: replaced by the real client library.
#include "vek72api.h"
#include <string.h>
int VEK72_Init(TVEK72* h) { if (!h) return VEK72_E_HANDLE; memset(h, 0, sizeof *h); h->socket = -1; return 0; }
int VEK72_Open(TVEK72*, uint32_t, uint16_t, const char*, uint16_t) { return VEK72_E_CONNECTION; }
int VEK72_IsOpened(TVEK72*) { return 1; }
int VEK72_FillOutFreq(TVEK72_CONFIG* c, double r, double*) { if (c) c->dacRateHz = (uint32_t)r; return 0; }
int VEK72_Configure(TVEK72*) { return VEK72_E_NOT_OPENED; }
int VEK72_PrepareDacData(TVEK72*, const double*, uint32_t, uint32_t, uint32_t*, void*) { return VEK72_E_NOT_OPENED; }
int VEK72_Send(TVEK72*, const uint32_t*, uint32_t, uint32_t) { return VEK72_E_NOT_OPENED; }
int VEK72_StreamStart(TVEK72*, uint32_t) { return VEK72_E_NOT_OPENED; }
int VEK72_SwitchCyclePage(TVEK72*, uint32_t, uint32_t) { return VEK72_E_NOT_OPENED; }
int VEK72_Stop(TVEK72*, uint32_t) { return VEK72_E_NOT_OPENED; }
int VEK72_Close(TVEK72*) { return VEK72_E_NOT_OPENED; }
const char* VEK72_GetErrorString(int) { return "\xCD\xE5\xF2 \xF1\xE2\xFF\xE7\xE8"; }
