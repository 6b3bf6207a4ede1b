// NDIS 4.0 miniport interface of the handheld, as the driver sees it: types, status and error codes,
// the entry-point table, and the wrapper calls. The host side lives in platform/ndis.
#pragma once

#include <string.h>

#include "windef.h"

typedef int NDIS_STATUS, *PNDIS_STATUS;

#include "ntddndis.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef PVOID NDIS_HANDLE, *PNDIS_HANDLE;
typedef ULONG NDIS_ERROR_CODE, *PNDIS_ERROR_CODE;

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  };
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;
typedef PHYSICAL_ADDRESS NDIS_PHYSICAL_ADDRESS, *PNDIS_PHYSICAL_ADDRESS;

// Status values (NDIS_STATUS).
#define NDIS_STATUS_SUCCESS ((NDIS_STATUS)0x00000000L)
#define NDIS_STATUS_PENDING ((NDIS_STATUS)0x00000103L)
#define NDIS_STATUS_NOT_RECOGNIZED ((NDIS_STATUS)0x00010001L)
#define NDIS_STATUS_NOT_COPIED ((NDIS_STATUS)0x00010002L)
#define NDIS_STATUS_FAILURE ((NDIS_STATUS)0xC0000001L)
#define NDIS_STATUS_RESOURCES ((NDIS_STATUS)0xC000009AL)
#define NDIS_STATUS_NOT_SUPPORTED ((NDIS_STATUS)0xC00000BBL)
#define NDIS_STATUS_CLOSING ((NDIS_STATUS)0xC0010002L)
#define NDIS_STATUS_BAD_VERSION ((NDIS_STATUS)0xC0010004L)
#define NDIS_STATUS_BAD_CHARACTERISTICS ((NDIS_STATUS)0xC0010005L)
#define NDIS_STATUS_ADAPTER_NOT_FOUND ((NDIS_STATUS)0xC0010006L)
#define NDIS_STATUS_OPEN_FAILED ((NDIS_STATUS)0xC0010007L)
#define NDIS_STATUS_DEVICE_FAILED ((NDIS_STATUS)0xC0010008L)
#define NDIS_STATUS_RESET_IN_PROGRESS ((NDIS_STATUS)0xC001000DL)
#define NDIS_STATUS_HARD_ERRORS ((NDIS_STATUS)0x80010004L)
#define NDIS_STATUS_INVALID_LENGTH ((NDIS_STATUS)0xC0010014L)
#define NDIS_STATUS_INVALID_DATA ((NDIS_STATUS)0xC0010015L)
#define NDIS_STATUS_BUFFER_TOO_SHORT ((NDIS_STATUS)0xC0010016L)
#define NDIS_STATUS_INVALID_OID ((NDIS_STATUS)0xC0010017L)
#define NDIS_STATUS_ADAPTER_REMOVED ((NDIS_STATUS)0xC0010018L)
#define NDIS_STATUS_UNSUPPORTED_MEDIA ((NDIS_STATUS)0xC0010019L)
#define NDIS_STATUS_RESOURCE_CONFLICT ((NDIS_STATUS)0xC001001EL)

// Error-log codes (NDIS_ERROR_CODE).
#define NDIS_ERROR_CODE_RESOURCE_CONFLICT ((NDIS_ERROR_CODE)0xC0001388L)
#define NDIS_ERROR_CODE_OUT_OF_RESOURCES ((NDIS_ERROR_CODE)0xC0001389L)
#define NDIS_ERROR_CODE_HARDWARE_FAILURE ((NDIS_ERROR_CODE)0xC000138AL)
#define NDIS_ERROR_CODE_ADAPTER_NOT_FOUND ((NDIS_ERROR_CODE)0xC000138BL)
#define NDIS_ERROR_CODE_INTERRUPT_CONNECT ((NDIS_ERROR_CODE)0xC000138CL)
#define NDIS_ERROR_CODE_DRIVER_FAILURE ((NDIS_ERROR_CODE)0xC000138DL)
#define NDIS_ERROR_CODE_BAD_VERSION ((NDIS_ERROR_CODE)0xC000138EL)
#define NDIS_ERROR_CODE_TIMEOUT ((NDIS_ERROR_CODE)0x8000138FL)
#define NDIS_ERROR_CODE_NETWORK_ADDRESS ((NDIS_ERROR_CODE)0xC0001390L)
#define NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION ((NDIS_ERROR_CODE)0xC0001391L)
#define NDIS_ERROR_CODE_INVALID_VALUE_FROM_ADAPTER ((NDIS_ERROR_CODE)0xC0001392L)
#define NDIS_ERROR_CODE_MISSING_CONFIGURATION_PARAMETER ((NDIS_ERROR_CODE)0xC0001393L)
#define NDIS_ERROR_CODE_BAD_IO_BASE_ADDRESS ((NDIS_ERROR_CODE)0xC0001394L)
#define NDIS_ERROR_CODE_RECEIVE_SPACE_SMALL ((NDIS_ERROR_CODE)0x40001395L)
#define NDIS_ERROR_CODE_ADAPTER_DISABLED ((NDIS_ERROR_CODE)0x80001396L)

typedef enum _NDIS_INTERFACE_TYPE {
  NdisInterfaceInternal = 0,
  NdisInterfaceIsa = 1,
  NdisInterfaceEisa = 2,
  NdisInterfaceMca = 3,
  NdisInterfaceTurboChannel = 4,
  NdisInterfacePci = 5,
  NdisInterfacePcMcia = 8
} NDIS_INTERFACE_TYPE, *PNDIS_INTERFACE_TYPE;

typedef enum _NDIS_INTERRUPT_MODE {
  NdisInterruptLevelSensitive = 0,
  NdisInterruptLatched = 1
} NDIS_INTERRUPT_MODE, *PNDIS_INTERRUPT_MODE;

typedef enum _NDIS_PARAMETER_TYPE {
  NdisParameterInteger = 0,
  NdisParameterHexInteger = 1,
  NdisParameterString = 2,
  NdisParameterMultiString = 3,
  NdisParameterBinary = 4
} NDIS_PARAMETER_TYPE, *PNDIS_PARAMETER_TYPE;

// Counted strings. Lengths are in bytes and exclude any terminator.
typedef struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING, NDIS_STRING, *PNDIS_STRING;

typedef struct _ANSI_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} ANSI_STRING, *PANSI_STRING, NDIS_ANSI_STRING, *PNDIS_ANSI_STRING;

#define NDIS_STRING_CONST(x) {sizeof(TEXT(x)) - sizeof(WCHAR), sizeof(TEXT(x)), (PWSTR)TEXT(x)}

typedef struct _BINARY_DATA {
  USHORT Length;
  PVOID Buffer;
} BINARY_DATA;

typedef struct _NDIS_CONFIGURATION_PARAMETER {
  NDIS_PARAMETER_TYPE ParameterType;
  union {
    ULONG IntegerData;
    NDIS_STRING StringData;
    BINARY_DATA BinaryData;
  } ParameterData;
} NDIS_CONFIGURATION_PARAMETER, *PNDIS_CONFIGURATION_PARAMETER;

// Buffers and packets. A packet is a chain of buffers; MiniportReserved belongs to the miniport
// while it holds the packet (between its send handler and the completion).
typedef struct _NDIS_BUFFER {
  struct _NDIS_BUFFER *Next;
  PVOID VirtualAddress;
  UINT ByteCount;
  NDIS_HANDLE Pool;
} NDIS_BUFFER, *PNDIS_BUFFER;

typedef struct _NDIS_PACKET_PRIVATE {
  UINT PhysicalCount;
  UINT TotalLength;
  PNDIS_BUFFER Head;
  PNDIS_BUFFER Tail;
  NDIS_HANDLE Pool;
  UINT Count;
  ULONG Flags;
  BOOLEAN ValidCounts;
} NDIS_PACKET_PRIVATE, *PNDIS_PACKET_PRIVATE;

typedef struct _NDIS_PACKET {
  NDIS_PACKET_PRIVATE Private;
  UCHAR MiniportReserved[2 * sizeof(PVOID)];
  UCHAR WrapperReserved[2 * sizeof(PVOID)];
  UCHAR ProtocolReserved[4 * sizeof(PVOID)];
} NDIS_PACKET, *PNDIS_PACKET, **PPNDIS_PACKET;

// Platform objects the miniport embeds in its adapter record. Their fields belong to the host.
typedef struct _NDIS_MINIPORT_TIMER {
  PVOID HostTimer;
  PVOID TimerFunction;
  PVOID FunctionContext;
  NDIS_HANDLE MiniportHandle;
} NDIS_MINIPORT_TIMER, *PNDIS_MINIPORT_TIMER;

typedef struct _NDIS_MINIPORT_INTERRUPT {
  PVOID HostInterrupt;
  NDIS_HANDLE MiniportHandle;
  ULONG Vector;
  BOOLEAN Registered;
} NDIS_MINIPORT_INTERRUPT, *PNDIS_MINIPORT_INTERRUPT;

typedef VOID(NTAPI NDIS_TIMER_FUNCTION)(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                                       PVOID SystemSpecific3);
typedef NDIS_TIMER_FUNCTION *PNDIS_TIMER_FUNCTION;

// The Ethernet filter database the host keeps per adapter.
typedef struct _ETH_FILTER ETH_FILTER, *PETH_FILTER;

typedef VOID(NTAPI *NDIS_M_SEND_COMPLETE_HANDLER)(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet,
                                             NDIS_STATUS Status);
typedef VOID(NTAPI *ETH_RCV_COMPLETE_HANDLER)(PETH_FILTER Filter);

// The part of the wrapper's per-adapter block that the miniport reaches through its handle.
typedef struct _NDIS_MINIPORT_BLOCK {
  PVOID HostAdapter;
  PETH_FILTER EthDB;
  NDIS_M_SEND_COMPLETE_HANDLER SendCompleteHandler;
  ETH_RCV_COMPLETE_HANDLER EthRxCompleteHandler;
} NDIS_MINIPORT_BLOCK, *PNDIS_MINIPORT_BLOCK;

#define NdisMSendComplete(_M, _P, _S) (*((PNDIS_MINIPORT_BLOCK)(_M))->SendCompleteHandler)(_M, _P, _S)
#define NdisMEthIndicateReceiveComplete(_H)                                                       \
  {                                                                                               \
    (*((PNDIS_MINIPORT_BLOCK)(_H))->EthRxCompleteHandler)(((PNDIS_MINIPORT_BLOCK)(_H))->EthDB); \
  }

// Miniport entry points.
typedef BOOLEAN(NTAPI *W_CHECK_FOR_HANG_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI *W_DISABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI *W_ENABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI *W_HALT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI *W_HANDLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI *W_INITIALIZE_HANDLER)(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex,
                                           PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                           NDIS_HANDLE MiniportAdapterHandle,
                                           NDIS_HANDLE WrapperConfigurationContext);
typedef VOID(NTAPI *W_ISR_HANDLER)(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt,
                              NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI *W_QUERY_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                                  PVOID InformationBuffer, ULONG InformationBufferLength,
                                                  PULONG BytesWritten, PULONG BytesNeeded);
typedef NDIS_STATUS(NTAPI *W_RECONFIGURE_HANDLER)(PNDIS_STATUS OpenErrorStatus, NDIS_HANDLE MiniportAdapterContext,
                                            NDIS_HANDLE WrapperConfigurationContext);
typedef NDIS_STATUS(NTAPI *W_RESET_HANDLER)(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI *W_SEND_HANDLER)(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet, UINT Flags);
typedef NDIS_STATUS(NTAPI *W_SET_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                                PVOID InformationBuffer, ULONG InformationBufferLength,
                                                PULONG BytesRead, PULONG BytesNeeded);
typedef NDIS_STATUS(NTAPI *W_TRANSFER_DATA_HANDLER)(PNDIS_PACKET Packet, PUINT BytesTransferred,
                                              NDIS_HANDLE MiniportAdapterContext,
                                              NDIS_HANDLE MiniportReceiveContext, UINT ByteOffset,
                                              UINT BytesToTransfer);
typedef VOID(NTAPI *W_RETURN_PACKET_HANDLER)(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet);
typedef VOID(NTAPI *W_SEND_PACKETS_HANDLER)(NDIS_HANDLE MiniportAdapterContext, PPNDIS_PACKET PacketArray,
                                      UINT NumberOfPackets);
typedef VOID(NTAPI *W_ALLOCATE_COMPLETE_HANDLER)(NDIS_HANDLE MiniportAdapterContext, PVOID VirtualAddress,
                                           PNDIS_PHYSICAL_ADDRESS PhysicalAddress, ULONG Length,
                                           PVOID Context);

// The entry-point table, in its slot order: the NDIS 3.0 slots, then those NDIS 4.0 added
// (72 bytes on the 32-bit handheld). In C++ the 3.0 slots are a member of their own.
#define NDIS30_MINIPORT_CHARACTERISTICS_S              \
  UCHAR MajorNdisVersion;                               \
  UCHAR MinorNdisVersion;                               \
  UINT Reserved;                                        \
  W_CHECK_FOR_HANG_HANDLER CheckForHangHandler;         \
  W_DISABLE_INTERRUPT_HANDLER DisableInterruptHandler;  \
  W_ENABLE_INTERRUPT_HANDLER EnableInterruptHandler;    \
  W_HALT_HANDLER HaltHandler;                           \
  W_HANDLE_INTERRUPT_HANDLER HandleInterruptHandler;    \
  W_INITIALIZE_HANDLER InitializeHandler;               \
  W_ISR_HANDLER ISRHandler;                             \
  W_QUERY_INFORMATION_HANDLER QueryInformationHandler;  \
  W_RECONFIGURE_HANDLER ReconfigureHandler;             \
  W_RESET_HANDLER ResetHandler;                         \
  W_SEND_HANDLER SendHandler;                           \
  W_SET_INFORMATION_HANDLER SetInformationHandler;      \
  W_TRANSFER_DATA_HANDLER TransferDataHandler;

typedef struct _NDIS30_MINIPORT_CHARACTERISTICS {
  NDIS30_MINIPORT_CHARACTERISTICS_S
} NDIS30_MINIPORT_CHARACTERISTICS, *PSNDIS30_MINIPORT_CHARACTERISTICS;

#ifdef __cplusplus
#define NDIS40_MINIPORT_CHARACTERISTICS_S          \
  NDIS30_MINIPORT_CHARACTERISTICS Ndis30Chars;      \
  W_RETURN_PACKET_HANDLER ReturnPacketHandler;      \
  W_SEND_PACKETS_HANDLER SendPacketsHandler;        \
  W_ALLOCATE_COMPLETE_HANDLER AllocateCompleteHandler;
#else
#define NDIS40_MINIPORT_CHARACTERISTICS_S          \
  NDIS30_MINIPORT_CHARACTERISTICS_S                 \
  W_RETURN_PACKET_HANDLER ReturnPacketHandler;      \
  W_SEND_PACKETS_HANDLER SendPacketsHandler;        \
  W_ALLOCATE_COMPLETE_HANDLER AllocateCompleteHandler;
#endif

typedef struct _NDIS40_MINIPORT_CHARACTERISTICS {
  NDIS40_MINIPORT_CHARACTERISTICS_S
} NDIS40_MINIPORT_CHARACTERISTICS, *PNDIS40_MINIPORT_CHARACTERISTICS;

// The table a miniport registers: the handheld's NDIS is 4.0.
typedef struct _NDIS_MINIPORT_CHARACTERISTICS {
  NDIS40_MINIPORT_CHARACTERISTICS_S
} NDIS_MINIPORT_CHARACTERISTICS, *PNDIS_MINIPORT_CHARACTERISTICS;

// Memory.
#define NdisZeroMemory(Destination, Length) memset(Destination, 0, Length)
#define NdisMoveMemory(Destination, Source, Length) memcpy(Destination, Source, Length)
#define NdisEqualMemory(Source1, Source2, Length) (!memcmp(Source1, Source2, Length))
#define NDIS_PHYSICAL_ADDRESS_CONST(Low, High) {{(ULONG)(Low), (LONG)(High)}}

NDIS_STATUS NTAPI NdisAllocateMemory(PVOID *VirtualAddress, UINT Length, UINT MemoryFlags,
                               NDIS_PHYSICAL_ADDRESS HighestAcceptableAddress);
VOID NTAPI NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags);

// Wrapper and miniport registration.
VOID NTAPI NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1, PVOID SystemSpecific2,
                           PVOID SystemSpecific3);
#define NdisMInitializeWrapper NdisInitializeWrapper
VOID NTAPI NdisTerminateWrapper(NDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific);
NDIS_STATUS NTAPI NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                  PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                  UINT CharacteristicsLength);
VOID NTAPI NdisMSetAttributes(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                        BOOLEAN BusMaster, NDIS_INTERFACE_TYPE AdapterType);

// Configuration reader: the parameters of one adapter instance.
VOID NTAPI NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                           NDIS_HANDLE WrapperConfigurationContext);
VOID NTAPI NdisReadConfiguration(PNDIS_STATUS Status, PNDIS_CONFIGURATION_PARAMETER *ParameterValue,
                           NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                           NDIS_PARAMETER_TYPE ParameterType);
VOID NTAPI NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle);
VOID NTAPI NdisInitUnicodeString(PNDIS_STRING Destination, PCWSTR Source);
NDIS_STATUS NTAPI NdisUnicodeStringToAnsiString(PANSI_STRING DestinationString, PNDIS_STRING SourceString);

// Error log. Its detail words are variable arguments, so it has the C calling convention.
VOID NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode,
                            ULONG NumberOfErrorValues, ...);

// Port ranges and interrupts.
NDIS_STATUS NTAPI NdisMRegisterIoPortRange(PVOID *PortOffset, NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort,
                                     UINT NumberOfPorts);
VOID NTAPI NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort, UINT NumberOfPorts,
                                PVOID PortOffset);
NDIS_STATUS NTAPI NdisMRegisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt, NDIS_HANDLE MiniportAdapterHandle,
                                   UINT InterruptVector, UINT InterruptLevel, BOOLEAN RequestIsr,
                                   BOOLEAN SharedInterrupt, NDIS_INTERRUPT_MODE InterruptMode);
VOID NTAPI NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt);

// Timers and stalls.
VOID NTAPI NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer, NDIS_HANDLE MiniportAdapterHandle,
                          PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext);
VOID NTAPI NdisMSetTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondsToDelay);
VOID NTAPI NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled);
VOID NTAPI NdisStallExecution(UINT MicrosecondsToStall);

// Packets and buffers.
VOID NTAPI NdisQueryPacket(PNDIS_PACKET Packet, PUINT PhysicalBufferCount, PUINT BufferCount,
                     PNDIS_BUFFER *FirstBuffer, PUINT TotalPacketLength);
VOID NTAPI NdisQueryBuffer(PNDIS_BUFFER Buffer, PVOID *VirtualAddress, PUINT Length);
VOID NTAPI NdisGetNextBuffer(PNDIS_BUFFER CurrentBuffer, PNDIS_BUFFER *NextBuffer);

// Packet and buffer pools of protocol bindings, and building a packet's buffer chain.
VOID NTAPI NdisAllocatePacketPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle, UINT NumberOfDescriptors,
                            UINT ProtocolReservedLength);
VOID NTAPI NdisFreePacketPool(NDIS_HANDLE PoolHandle);
VOID NTAPI NdisAllocatePacket(PNDIS_STATUS Status, PNDIS_PACKET *Packet, NDIS_HANDLE PoolHandle);
VOID NTAPI NdisFreePacket(PNDIS_PACKET Packet);
VOID NTAPI NdisAllocateBufferPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle, UINT NumberOfDescriptors);
VOID NTAPI NdisFreeBufferPool(NDIS_HANDLE PoolHandle);
VOID NTAPI NdisAllocateBuffer(PNDIS_STATUS Status, PNDIS_BUFFER *Buffer, NDIS_HANDLE PoolHandle, PVOID VirtualAddress,
                        UINT Length);
VOID NTAPI NdisFreeBuffer(PNDIS_BUFFER Buffer);
VOID NTAPI NdisChainBufferAtBack(PNDIS_PACKET Packet, PNDIS_BUFFER Buffer);
VOID NTAPI NdisChainBufferAtFront(PNDIS_PACKET Packet, PNDIS_BUFFER Buffer);
VOID NTAPI NdisUnchainBufferAtFront(PNDIS_PACKET Packet, PNDIS_BUFFER *Buffer);

// Receive indication through the Ethernet filter.
VOID NTAPI EthFilterDprIndicateReceive(PETH_FILTER Filter, NDIS_HANDLE MacReceiveContext, PCHAR Address,
                                 PVOID HeaderBuffer, UINT HeaderBufferSize, PVOID LookaheadBuffer,
                                 UINT LookaheadBufferSize, UINT PacketSize);
VOID NTAPI EthFilterDprIndicateReceiveComplete(PETH_FILTER Filter);

#ifdef __cplusplus
}
#endif
