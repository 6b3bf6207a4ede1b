// Controller bring-up: initialisation of the controller and of the driver's controller-side
// state, configuration from the registry parameters, the transmit buffer pool, and reset.
#include "teskel.h"

// ---------------------------------------------------------------------------------------------
// Port commands
// ---------------------------------------------------------------------------------------------

BOOLEAN CommandInitialize(PADAPTER Adapter) {
  BOOLEAN Ok = IssueCommand0(Adapter, CMD_INITIALIZE);
  if (Ok) WriteRegister(Adapter, REG_EVENT_ACK, EV_ALL);
  return Ok;
}

BOOLEAN EnablePort(PADAPTER Adapter) { return IssueCommand0(Adapter, CMD_ENABLE); }

BOOLEAN DisablePort(PADAPTER Adapter) { return IssueCommand0(Adapter, CMD_DISABLE); }

BOOLEAN RestartPort(PADAPTER Adapter) {
  if (!DisablePort(Adapter)) return FALSE;
  return EnablePort(Adapter);
}

// ---------------------------------------------------------------------------------------------
// Initialisation
// ---------------------------------------------------------------------------------------------

BOOLEAN InitializeController(PADAPTER Adapter) {
  Adapter->AccessPathBusy = 0;
  Adapter->TransmitSuppressed = 0;
  Adapter->TransmitTag = 1;

  memset(Adapter->Tallies, 0, sizeof(Adapter->Tallies));

  // Every slot waits for a buffer until configuration allocates one; slot 4 ends up first.
  Adapter->TxSlotsAwaitingBuffer = NULL;
  for (ULONG i = 0; i < TX_SLOT_COUNT; i++) {
    Adapter->TxSlots[i].Next = Adapter->TxSlotsAwaitingBuffer;
    Adapter->TxSlotsAwaitingBuffer = &Adapter->TxSlots[i];
  }
  Adapter->TxSlotsReady = NULL;

  // A station that does not associate is connected as soon as its port runs.
  Adapter->LinkStatus = (Adapter->NetworkType == 3) ? LINK_CONNECTED : LINK_SEARCHING;

  return CommandInitialize(Adapter);
}

// ---------------------------------------------------------------------------------------------
// Configuration
// ---------------------------------------------------------------------------------------------

static VOID BuildRecord(PUCHAR Record, USHORT Rid, USHORT Length) {
  memset(Record, 0, RECORD_BUFFER_SIZE);
  PutLeWord(Record, Length);
  PutLeWord(Record + 2, Rid);
}

static VOID WriteWordRecord(PADAPTER Adapter, PUCHAR Record, USHORT Rid, USHORT Value) {
  BuildRecord(Record, Rid, 2);
  PutLeWord(Record + RECORD_HEADER_SIZE, Value);
  SetRid(Adapter, Record);
}

static VOID WriteNameRecord(PADAPTER Adapter, PUCHAR Record, USHORT Rid, USHORT NameLength, const CHAR *Name) {
  BuildRecord(Record, Rid, NAME_RECORD_LENGTH);
  PutLeWord(Record + RECORD_HEADER_SIZE, NameLength);
  memcpy(Record + RECORD_HEADER_SIZE + 2, Name, NAME_RECORD_TEXT_SIZE);
  SetRid(Adapter, Record);
}

// Reads a one-word record; true when it was read and has that length.
static BOOLEAN ReadWordRecord(PADAPTER Adapter, PUCHAR Record, USHORT Rid, PUSHORT Value) {
  ULONG Size;
  if (!GetRid(Adapter, Rid, Record, RECORD_BUFFER_SIZE, &Size) || GetLeWord(Record) != 2) return FALSE;
  *Value = GetLeWord(Record + RECORD_HEADER_SIZE);
  return TRUE;
}

static BOOLEAN ProgramWep(PADAPTER Adapter) {
  if (!SetDefaultKeyId(Adapter, Adapter->DefaultKeyId)) return FALSE;
  for (ULONG Key = 1; Key <= WEP_KEY_COUNT; Key++) {
    if (!SetDefaultKey(Adapter, Key, &Adapter->DefaultKeys[(Key - 1) * WEP_KEY_SIZE])) return FALSE;
  }
  // Encryption only when the registry asks for it: on an open network a card switched on here
  // would send its first frames (an association request, the first ARP) encrypted, and drop every
  // clear one, until the status timer's first tick; and for good when "WepReq" cannot be read.
  return SetWepFlags(Adapter, Adapter->PrivacyInvoked ? WEP_FLAGS_CONFIGURED : 0);
}

// "any" in any mix of case asks for no particular network.
static BOOLEAN IsAnySsid(const CHAR *Ssid) {
  return (Ssid[0] == 'a' || Ssid[0] == 'A') && (Ssid[1] == 'n' || Ssid[1] == 'N') &&
         (Ssid[2] == 'y' || Ssid[2] == 'Y') && Ssid[3] == 0;
}

static USHORT NameLength(const CHAR *Name) {
  USHORT Length = 0;
  while (Length < NAME_RECORD_TEXT_SIZE && Name[Length] != 0) Length++;
  return Length;
}

static VOID AllocateTransmitBuffers(PADAPTER Adapter) {
  for (ULONG Pass = 0; Pass < TX_SLOT_COUNT; Pass++) {
    PTX_SLOT Slot = Adapter->TxSlotsAwaitingBuffer;
    if (!Slot) continue;
    Adapter->TxSlotsAwaitingBuffer = Slot->Next;

    USHORT Status;
    IssueCommand1(Adapter, CMD_ALLOCATE, TX_BUFFER_SIZE, &Status);

    USHORT Events = ReadRegister(Adapter, REG_EVENT_STATUS);
    for (ULONG Reads = 1; !(Events & EV_ALLOC) && Reads < COMMAND_POLLS; Reads++) {
      NdisStallExecution(COMMAND_STALL_US);
      Events = ReadRegister(Adapter, REG_EVENT_STATUS);
    }

    if (Events & EV_ALLOC) {
      Slot->Fid = ReadRegister(Adapter, REG_ALLOC_FID);
      WriteRegister(Adapter, REG_EVENT_ACK, EV_ALLOC);
      Slot->Next = Adapter->TxSlotsReady;
      Adapter->TxSlotsReady = Slot;
    } else {
      // A late allocation event fills this slot from the interrupt handler.
      Slot->Next = Adapter->TxSlotsAwaitingBuffer;
      Adapter->TxSlotsAwaitingBuffer = Slot;
    }
  }
}

BOOLEAN ConfigureController(PADAPTER Adapter) {
  alignas(4) UCHAR Record[RECORD_BUFFER_SIZE];
  ULONG Size;
  USHORT Value;

  // Identity records.
  memset(Record, 0, sizeof(Record));
  if (GetRid(Adapter, RID_DOWNLOAD_BUFFER, Record, sizeof(Record), &Size)) {
    Adapter->DownloadBufferPage = GetLeWord(Record + RECORD_HEADER_SIZE);
    Adapter->DownloadBufferOffset = GetLeWord(Record + RECORD_HEADER_SIZE + 2);
    Adapter->DownloadBufferLength = GetLeWord(Record + RECORD_HEADER_SIZE + 4);
  } else {
    Adapter->DownloadBufferPage = 0;
    Adapter->DownloadBufferOffset = 0;
    Adapter->DownloadBufferLength = 0;
  }
  GetRid(Adapter, RID_PRIMARY_RANGE, Record, sizeof(Record), &Size);
  GetRid(Adapter, RID_STATION_RANGE, Record, sizeof(Record), &Size);

  Adapter->WepSupported = ReadWordRecord(Adapter, Record, RID_PRIVACY_IMPLEMENTED, &Value) ? (UCHAR)Value : 0;
  if (Adapter->WepSupported && !ProgramWep(Adapter)) Adapter->WepSupported = 0;

  GetRid(Adapter, RID_REGULATORY_DOMAINS, Record, sizeof(Record), &Size);
  Adapter->RegulatoryDomain = 16;
  Adapter->PhyType = ReadWordRecord(Adapter, Record, RID_PHY_TYPE, &Value) ? (UCHAR)Value : 2;

  // Configuration records, in the order the controller is given them.
  WriteWordRecord(Adapter, Record, RID_NETWORK_TYPE, (USHORT)Adapter->NetworkType);
  WriteWordRecord(Adapter, Record, RID_DS_CHANNEL, (USHORT)Adapter->DSChannel);
  WriteWordRecord(Adapter, Record, RID_SYSTEM_SCALE, (USHORT)Adapter->SystemScale);
  WriteWordRecord(Adapter, Record, RID_MAX_DATA_LENGTH, MAX_DATA_LENGTH);
  WriteWordRecord(Adapter, Record, RID_PS_MODE, Adapter->PSMode > 1 ? 1 : 0);
  WriteWordRecord(Adapter, Record, RID_PS_LEVEL, Adapter->PSLevel != 0 ? 1 : 0);
  WriteWordRecord(Adapter, Record, RID_ATIM_WINDOW, (USHORT)Adapter->ATIMWindow);
  WriteWordRecord(Adapter, Record, RID_RTS_THRESH, (USHORT)Adapter->RTSThresh);
  WriteWordRecord(Adapter, Record, RID_FRAG_THRESH, (USHORT)Adapter->FragThresh);
  WriteWordRecord(Adapter, Record, RID_TX_RATE_CONTROL, TX_RATE_CONTROL_ALL);
  WriteWordRecord(Adapter, Record, RID_PROMISCUOUS_MODE, 0);
  WriteWordRecord(Adapter, Record, RID_TICK_TIME, 0);
  WriteNameRecord(Adapter, Record, RID_STATION_NAME, NameLength(Adapter->StationName), Adapter->StationName);
  WriteNameRecord(Adapter, Record, RID_SSID, IsAnySsid(Adapter->SSID) ? 0 : Adapter->SsidLength, Adapter->SSID);

  AllocateTransmitBuffers(Adapter);
  return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Reset
// ---------------------------------------------------------------------------------------------

BOOLEAN ResetController(PADAPTER Adapter) {
  CompleteQueuedSends(Adapter, NDIS_STATUS_FAILURE);
  InitializeController(Adapter);
  if (!ConfigureController(Adapter)) {
    NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_HARDWARE_FAILURE, 2, (ULONG)0, (ULONG)1);
    return FALSE;
  }
  RestartPort(Adapter);
  MiniportEnableInterrupt(Adapter);
  return TRUE;
}
