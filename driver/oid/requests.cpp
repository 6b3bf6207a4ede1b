// The query and set entry points. No request is answered yet: every OID is reported as unknown,
// with nothing written, read or needed.
#include "teskel.h"

NDIS_STATUS MiniportQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                                     ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded) {
  (void)MiniportAdapterContext;
  (void)Oid;
  (void)InformationBuffer;
  (void)InformationBufferLength;
  *BytesWritten = 0;
  *BytesNeeded = 0;
  return NDIS_STATUS_INVALID_OID;
}

NDIS_STATUS MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                                   ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded) {
  (void)MiniportAdapterContext;
  (void)Oid;
  (void)InformationBuffer;
  (void)InformationBufferLength;
  *BytesRead = 0;
  *BytesNeeded = 0;
  return NDIS_STATUS_INVALID_OID;
}
