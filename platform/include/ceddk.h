// CEDDK port access: 16-bit, 16-bit string and 8-bit reads and writes of I/O ports.
// A port address is the port number carried in a pointer; the host routes it over the port bus.
#pragma once

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

USHORT READ_PORT_USHORT(PUSHORT Port);
VOID WRITE_PORT_USHORT(PUSHORT Port, USHORT Value);
VOID READ_PORT_BUFFER_USHORT(PUSHORT Port, PUSHORT Buffer, ULONG Count);
VOID WRITE_PORT_BUFFER_USHORT(PUSHORT Port, PUSHORT Buffer, ULONG Count);
UCHAR READ_PORT_UCHAR(PUCHAR Port);
VOID WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value);

#ifdef __cplusplus
}
#endif
