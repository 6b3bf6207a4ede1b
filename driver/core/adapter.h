// The adapter record (one per card), the driver's globals and the miniport entry points.
// Field order and widths are those of the device build; see core/limits.h for the checks.
#pragma once

// ---------------------------------------------------------------------------------------------
// Sizes of the hardware images and driver areas kept in the record
// ---------------------------------------------------------------------------------------------
#define TX_SLOT_COUNT 5
#define TALLY_COUNT 44
#define TALLY_REPORT_COUNT 32
#define DESCRIPTOR_SIZE 60
#define RX_LOOKAHEAD_SIZE 1522
#define PRODUCTION_DATA_SIZE 1024
#define MULTICAST_LIST_SIZE 192
#define DEFAULT_KEYS_SIZE 20
#define WEP_KEY_SIZE 5
#define WEP_KEY_COUNT 4
#define NAME_FIELD_SIZE 33
#define VENDOR_DESCRIPTION_SIZE 128
#define MAC_ADDRESS_SIZE 6
#define PORT_WINDOW_SIZE 64
#define MAXIMUM_LOOKAHEAD 1508
#define INTERRUPT_MASK_RUNNING 0x89

// A transmit slot holds at most one controller buffer; it is always on exactly one of the two
// slot lists of the record.
typedef struct _TX_SLOT {
  struct _TX_SLOT *Next;
  USHORT Fid;
} TX_SLOT, *PTX_SLOT;

typedef struct _ADAPTER {
  // ---- NDIS resources -------------------------------------------------------------------------
  NDIS_HANDLE MiniportAdapterHandle;
  NDIS_MINIPORT_INTERRUPT Interrupt;
  struct _ADAPTER *Next;
  NDIS_PHYSICAL_ADDRESS IoBaseAddress;
  ULONG IoPortCount;
  ULONG InterruptVector;
  ULONG InterruptLevel;
  ULONG InterruptMode;
  UCHAR BusType;
  ULONG CardType;

  // ---- configuration from the registry ---------------------------------------------------------
  ULONG NetworkType;
  ULONG RTSThresh;
  ULONG FragThresh;
  ULONG TxRate;
  ULONG DSChannel;
  ULONG ATIMWindow;
  ULONG ListenInterval;
  ULONG SystemScale;
  USHORT SsidLength;
  CHAR SSID[NAME_FIELD_SIZE];
  CHAR StationName[NAME_FIELD_SIZE];

  // ---- send queue and receive size -------------------------------------------------------------
  PNDIS_PACKET SendQueueHead;
  PNDIS_PACKET SendQueueTail;
  ULONG RxPacketSize;

  // ---- station and controller access -----------------------------------------------------------
  UCHAR CurrentBssid[MAC_ADDRESS_SIZE];
  PVOID PortBase;
  USHORT PendingEvents;
  UCHAR CurrentAddress[MAC_ADDRESS_SIZE];
  UCHAR PermanentAddress[MAC_ADDRESS_SIZE];
  ULONG PacketFilter;

  // ---- statistics and link ---------------------------------------------------------------------
  ULONG Tallies[TALLY_COUNT];
  USHORT LinkStatus;
  UCHAR InterruptMask;
  ULONG CurrentLookahead;

  // ---- frame path ------------------------------------------------------------------------------
  USHORT RxFid;
  PTX_SLOT TxSlotsAwaitingBuffer;
  PTX_SLOT TxSlotsReady;
  TX_SLOT TxSlots[TX_SLOT_COUNT];
  USHORT TxFid;
  UCHAR RxDescriptor[DESCRIPTOR_SIZE];
  UCHAR TxDescriptor[DESCRIPTOR_SIZE];
  UCHAR RxLookahead[RX_LOOKAHEAD_SIZE];
  UCHAR ProductionData[PRODUCTION_DATA_SIZE];
  UCHAR AccessPathBusy;
  USHORT TransmitTag;
  USHORT DownloadBufferPage;
  USHORT DownloadBufferOffset;
  USHORT DownloadBufferLength;
  UCHAR TransmitSuppressed;
  UCHAR MulticastList[MULTICAST_LIST_SIZE];

  // ---- 802.11 settings -------------------------------------------------------------------------
  UCHAR NetworkTypeByte;
  UCHAR Encapsulation;
  UCHAR DefaultKeyId;
  UCHAR SelectedKeyIndex;
  UCHAR DefaultKeys[DEFAULT_KEYS_SIZE];
  UCHAR PrivacyInvoked;
  UCHAR ExcludeUnencrypted;
  CHAR VendorDescription[VENDOR_DESCRIPTION_SIZE];
  USHORT PSMode;
  USHORT PSLevel;
  UCHAR WepSupported;
  UCHAR RegulatoryDomain;
  UCHAR PhyType;

  // ---- status timer ----------------------------------------------------------------------------
  NDIS_MINIPORT_TIMER StatusTimer;
  ULONG StatusInitialized;
} ADAPTER, *PADAPTER;

// ---------------------------------------------------------------------------------------------
// Globals, one copy per loaded driver
// ---------------------------------------------------------------------------------------------
extern NDIS_HANDLE WrapperHandle;
extern PADAPTER AdapterList;

// ---------------------------------------------------------------------------------------------
// Entry points and lifecycle (core/miniport.cpp)
// ---------------------------------------------------------------------------------------------
// The driver's two exports (the linker's export list names them; C names, as the platform looks them up).
extern "C" NDIS_STATUS NTAPI DriverEntry(PVOID DriverObject, PVOID RegistryPath);
NDIS_STATUS NTAPI MiniportInitialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex, PNDIS_MEDIUM MediumArray,
                                     UINT MediumArraySize, NDIS_HANDLE MiniportAdapterHandle,
                                     NDIS_HANDLE WrapperConfigurationContext);
NDIS_STATUS StartAdapter(PADAPTER Adapter);
VOID NTAPI MiniportHalt(NDIS_HANDLE MiniportAdapterContext);
NDIS_STATUS NTAPI MiniportReset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext);
VOID UnlinkAdapter(PADAPTER Adapter);

// ---------------------------------------------------------------------------------------------
// Interrupts and events (core/interrupt.cpp)
// ---------------------------------------------------------------------------------------------
VOID NTAPI MiniportEnableInterrupt(NDIS_HANDLE MiniportAdapterContext);
VOID NTAPI MiniportDisableInterrupt(NDIS_HANDLE MiniportAdapterContext);
VOID NTAPI MiniportISR(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt,
                       NDIS_HANDLE MiniportAdapterContext);
VOID NTAPI MiniportHandleInterrupt(NDIS_HANDLE MiniportAdapterContext);

// ---------------------------------------------------------------------------------------------
// Status timer (core/timer.cpp; what it gathers and logs: core/status.h)
// ---------------------------------------------------------------------------------------------
VOID NTAPI StatusTimerTick(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2, PVOID SystemSpecific3);
