// The CE compatibility header of the driver's Windows build: what the device has beside the
// desktop DDK's ndis.h. On the device a driver includes windows.h, ndis.h and ceddk.h together;
// on the desktop windows.h cannot be combined with the DDK and ceddk.h does not exist, so
// windows.h and ceddk.h in this folder both stand for this header. Everything else is the DDK's.
#pragma once

// ---- the DDK's ndis.h, for an NDIS 4.0 miniport ------------------------------------------------
#define NDIS40_MINIPORT 1                                  // the device's NDIS is 4.0
// mingw-w64's DDK defines these two bit tests itself and its intrin.h defines them again: the
// DDK's own definitions are kept.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
// mingw-w64's ntddndis.h and ndis.h both define the request type: the ntddndis.h copy, read first
// here, is renamed out of the way.
#define _NDIS_REQUEST_TYPE _NDIS_REQUEST_TYPE_ntddndis
#define NDIS_REQUEST_TYPE NDIS_REQUEST_TYPE_ntddndis
#define PNDIS_REQUEST_TYPE PNDIS_REQUEST_TYPE_ntddndis
#define NdisRequestQueryInformation NdisRequestQueryInformation_ntddndis
#define NdisRequestSetInformation NdisRequestSetInformation_ntddndis
#define NdisRequestQueryStatistics NdisRequestQueryStatistics_ntddndis
#define NdisRequestOpen NdisRequestOpen_ntddndis
#define NdisRequestClose NdisRequestClose_ntddndis
#define NdisRequestSend NdisRequestSend_ntddndis
#define NdisRequestTransferData NdisRequestTransferData_ntddndis
#define NdisRequestReset NdisRequestReset_ntddndis
#define NdisRequestGeneric1 NdisRequestGeneric1_ntddndis
#define NdisRequestGeneric2 NdisRequestGeneric2_ntddndis
#define NdisRequestGeneric3 NdisRequestGeneric3_ntddndis
#define NdisRequestGeneric4 NdisRequestGeneric4_ntddndis
#include <ntddk.h>
#include <ntddndis.h>
#undef _NDIS_REQUEST_TYPE
#undef NDIS_REQUEST_TYPE
#undef PNDIS_REQUEST_TYPE
#undef NdisRequestQueryInformation
#undef NdisRequestSetInformation
#undef NdisRequestQueryStatistics
#undef NdisRequestOpen
#undef NdisRequestClose
#undef NdisRequestSend
#undef NdisRequestTransferData
#undef NdisRequestReset
#undef NdisRequestGeneric1
#undef NdisRequestGeneric2
#undef NdisRequestGeneric3
#undef NdisRequestGeneric4
// mingw-w64's ndis.h lacks a comma in the declaration of this WAN call, which a LAN miniport
// never makes: the broken declaration is set aside under another name.
#define NdisMWanIndicateReceiveComplete(Parameters) NdisMWanIndicateReceiveComplete_unused(VOID)
#include <ndis.h>
#undef NdisMWanIndicateReceiveComplete
