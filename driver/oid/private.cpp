// Private information requests: direct controller access for management tools (records, commands,
// registers, auxiliary memory, non-volatile download), the driver's own settings, link figures,
// and the IEEE 802.11 MIB attributes exchanged as self-describing records.
#include "teskel.h"

BOOLEAN IsPrivateOid(NDIS_OID Oid) {
  ULONG Family = Oid >> 16;
  return Family == 0xFF01 || Family == 0xFF02;
}

// The adapter's link status changes only with a whole answer from the controller.
BOOLEAN RefreshLinkStatus(PADAPTER Adapter) {
  USHORT LinkStatus;
  if (!GetLinkStatus(Adapter, &LinkStatus)) return FALSE;
  Adapter->LinkStatus = LinkStatus;
  return TRUE;
}

// The controller's flags word has no "exclude" without encryption: privacy off is 0 whatever the
// second byte says; on, the exclude byte adds the drop of unencrypted frames.
UCHAR WepFlagsFor(UCHAR PrivacyInvoked, UCHAR ExcludeUnencrypted) {
  if (!PrivacyInvoked) return 0;
  return ExcludeUnencrypted ? 3 : 1;
}

// ---------------------------------------------------------------------------------------------
// Queries
// ---------------------------------------------------------------------------------------------

// Data word `Word` of the comms-quality record in steps, at most LINK_LEVEL_MAX.
static VOID PickLinkLevel(PADAPTER Adapter, ULONG Word, ULONG Step, QUERY_ANSWER *Answer) {
  ULONG Size;
  Answer->Size = 1;
  if (Adapter->NetworkType != 1) {
    // Quality figures belong to an infrastructure link only.
    Answer->Status = NDIS_STATUS_INVALID_DATA;
    Answer->Size = 0;
    return;
  }
  // A record shorter than its three words would leave the figure to whatever the buffer held.
  if (!GetRid(Adapter, RID_COMMS_QUALITY, Answer->Record, RECORD_BUFFER_SIZE, &Size) ||
      GetLeWord(Answer->Record) != COMMS_QUALITY_RECORD_LENGTH) {
    Answer->Status = NDIS_STATUS_FAILURE;
    return;
  }
  ULONG Level = GetLeWord(Answer->Record + RECORD_HEADER_SIZE + Word * 2) / Step;
  Answer->Value = Level > LINK_LEVEL_MAX ? LINK_LEVEL_MAX : Level;
  Answer->Source = &Answer->Value;
}

VOID PickPrivateQuery(PADAPTER Adapter, NDIS_OID Oid, PUCHAR Buffer, ULONG Length, QUERY_ANSWER *Answer) {
  ULONG Size;

  switch (Oid) {
    case OID_PRIV_RECORD:
      // The record's identifier is in the caller's buffer, which must first hold a header.
      if ((USHORT)Length < RECORD_HEADER_SIZE + 2) {
        Answer->Status = NDIS_STATUS_FAILURE;
        Answer->Size = RECORD_HEADER_SIZE + 2;
        break;
      }
      if (!GetRid(Adapter, GetLeWord(Buffer + 2), Buffer, Length, &Size)) Answer->Status = NDIS_STATUS_FAILURE;
      Answer->Source = Buffer;
      Answer->Size = Size;
      break;
    case OID_PRIV_PRODUCTION_DATA:
      Answer->Source = Adapter->ProductionData;
      Answer->Size = PRODUCTION_DATA_SIZE;
      Answer->Fill = QueryFillProductionData;
      break;
    case OID_PRIV_AUX_MEMORY:
      // The byte count is only there once the header is.
      Answer->Source = Buffer;
      Answer->Size = Length < MEMORY_REQUEST_HEADER_SIZE
                         ? MEMORY_REQUEST_HEADER_SIZE
                         : MEMORY_REQUEST_HEADER_SIZE + GetLeWord(Buffer + MEMORY_REQUEST_COUNT);
      Answer->Fill = QueryFillAuxMemory;
      break;
    case OID_PRIV_VERSION:
      Answer->Value = PRIVATE_VERSION_WORD | (PRIVATE_VERSION_WORD << 16);
      break;
    case OID_PRIV_TALLIES:
      if (!InquireTallies(Adapter)) Answer->Status = NDIS_STATUS_FAILURE;
      Answer->Source = Adapter->Tallies;
      Answer->Size = sizeof(Adapter->Tallies);
      break;
    case OID_PRIV_REGISTERS:
      Answer->Source = Buffer;
      Answer->Size = REGISTER_SNAPSHOT_SIZE;
      Answer->Fill = QueryFillRegisters;
      break;
    case OID_PRIV_MIB_RECORD:
      Answer->Status = QueryMibRecord(Adapter, Buffer, Length, &Answer->Size);
      Answer->Source = Buffer;
      break;
    case OID_PRIV_NETWORK_TYPE:
      Answer->Source = &Adapter->NetworkTypeByte;
      Answer->Size = 1;
      break;
    case OID_PRIV_CURRENT_BSSID:
      // A short record must not hand out what the stack held before.
      memset(Answer->Record, 0, sizeof(Answer->Record));
      if (!GetRid(Adapter, RID_CURRENT_BSSID, Answer->Record, RECORD_BUFFER_SIZE, &Size))
        Answer->Status = NDIS_STATUS_FAILURE;
      Answer->Source = Answer->Record + RECORD_HEADER_SIZE;
      Answer->Size = MAC_ADDRESS_SIZE;
      break;
    case OID_PRIV_RESET:
      Answer->Status = NDIS_STATUS_NOT_SUPPORTED;
      Answer->Size = 0;
      break;
    case OID_PRIV_LINK_STATUS:
      if (!RefreshLinkStatus(Adapter)) Answer->Status = NDIS_STATUS_FAILURE;
      Answer->Source = &Adapter->LinkStatus;
      Answer->Size = sizeof(Adapter->LinkStatus);
      break;
    case OID_PRIV_ENCAPSULATION:
      Answer->Source = &Adapter->Encapsulation;
      Answer->Size = 1;
      break;
    case OID_PRIV_WEP_REQUEST:
      Answer->Source = &Adapter->PrivacyInvoked;
      Answer->Size = 1;
      break;
    case OID_PRIV_TX_RATE:
      Answer->Value = Adapter->TxRate & 0xFFFF;
      Answer->Size = 2;
      break;
    case OID_PRIV_LINK_QUALITY:
      PickLinkLevel(Adapter, 0, LINK_QUALITY_STEP, Answer);
      break;
    case OID_PRIV_SIGNAL_LEVEL:
      PickLinkLevel(Adapter, 1, SIGNAL_LEVEL_STEP, Answer);
      break;
    default:
      Answer->Status = NDIS_STATUS_INVALID_OID;
      Answer->Size = 0;
      break;
  }
}

NDIS_STATUS FillPrivateQuery(PADAPTER Adapter, QUERY_FILL Fill, PUCHAR Buffer) {
  switch (Fill) {
    case QueryFillProductionData:
      return ReadProductionData(Adapter) ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE;
    case QueryFillAuxMemory:
      AuxReadRequest(Adapter, Buffer);
      return NDIS_STATUS_SUCCESS;
    case QueryFillRegisters:
      ReadRegisterSnapshot(Adapter, Buffer);
      return NDIS_STATUS_SUCCESS;
    case QueryFillNone:
      break;
  }
  return NDIS_STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Sets: the entry point has checked the length rule of the OID already
// ---------------------------------------------------------------------------------------------

static NDIS_STATUS Outcome(BOOLEAN Ok) { return Ok ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE; }

NDIS_STATUS ApplyPrivateSet(PADAPTER Adapter, NDIS_OID Oid, PUCHAR Buffer, ULONG Length, PULONG BytesRead) {
  switch (Oid) {
    case OID_PRIV_RECORD:
      return Outcome(SetRid(Adapter, Buffer));
    case OID_PRIV_COMMAND:
      return Outcome(IssueCommandBlock(Adapter, Buffer));
    case OID_PRIV_AUX_ENABLE:
      return Outcome(AuxPortEnable(Adapter, TRUE));
    case OID_PRIV_AUX_DISABLE:
      return Outcome(AuxPortEnable(Adapter, FALSE));
    case OID_PRIV_AUX_MEMORY:
      AuxWriteRequest(Adapter, Buffer);
      return NDIS_STATUS_SUCCESS;
    case OID_PRIV_SUPPRESS_TRANSMIT:
      Adapter->TransmitSuppressed = 1;
      return NDIS_STATUS_SUCCESS;
    case OID_PRIV_RESUME_TRANSMIT:
      Adapter->TransmitSuppressed = 0;
      return NDIS_STATUS_SUCCESS;
    case OID_PRIV_DOWNLOAD_DIRECT:
      return Outcome(ProgramNonVolatile(Adapter, Buffer, TRUE));
    case OID_PRIV_DOWNLOAD_NONVOLATILE:
      return Outcome(ProgramNonVolatile(Adapter, Buffer, FALSE));
    case OID_PRIV_MIB_RECORD:
      return SetMibRecord(Adapter, Buffer, Length, BytesRead);
    case OID_PRIV_NETWORK_TYPE:
      Adapter->NetworkTypeByte = Buffer[0];
      Adapter->NetworkType = Buffer[0];
      return NDIS_STATUS_SUCCESS;
    case OID_PRIV_RESET:
      return Outcome(ResetController(Adapter));
    case OID_PRIV_ENCAPSULATION:
      Adapter->Encapsulation = Buffer[0];
      return NDIS_STATUS_SUCCESS;
    case OID_PRIV_WEP_REQUEST:
      Adapter->PrivacyInvoked = Buffer[0] ? 1 : 0;
      Adapter->ExcludeUnencrypted = Adapter->PrivacyInvoked;
      return NDIS_STATUS_SUCCESS;
    case OID_PRIV_TX_RATE:
      Adapter->TxRate = GetLeWord(Buffer);
      return NDIS_STATUS_SUCCESS;
    default:
      *BytesRead = 0;
      return NDIS_STATUS_INVALID_OID;
  }
}

// ---------------------------------------------------------------------------------------------
// MIB records
// ---------------------------------------------------------------------------------------------

typedef enum _MIB_KIND { MibByte, MibChannel, MibSsid, MibCounter } MIB_KIND;

static ULONG SsidBytes(PADAPTER Adapter) {
  return Adapter->SsidLength < NAME_RECORD_TEXT_SIZE ? Adapter->SsidLength : NAME_RECORD_TEXT_SIZE;
}

NDIS_STATUS QueryMibRecord(PADAPTER Adapter, PUCHAR Record, ULONG Length, PULONG BytesWritten) {
  MIB_KIND Kind = MibByte;
  UCHAR Value = 0;
  ULONG Counter = 0;

  *BytesWritten = 0;
  // Not even a header to name the attribute: ask for the smallest record.
  if (Length < MIB_RECORD_HEADER_SIZE) {
    *BytesWritten = MIB_RECORD_MIN_SIZE;
    return NDIS_STATUS_INVALID_LENGTH;
  }

  switch (GetLeDword(Record + MIB_RECORD_IDENTIFIER)) {
    case MIB_PRIVACY_OPTION_IMPLEMENTED: Value = Adapter->WepSupported; break;
    case MIB_POWER_MANAGEMENT_MODE: Value = (UCHAR)(Adapter->PSMode & 0xFF); break;
    case MIB_WEP_DEFAULT_KEY_INDEX: Value = Adapter->SelectedKeyIndex; break;
    case MIB_PRIVACY_INVOKED: Value = Adapter->PrivacyInvoked; break;
    case MIB_WEP_DEFAULT_KEY_ID: Value = Adapter->DefaultKeyId; break;
    case MIB_EXCLUDE_UNENCRYPTED: Value = Adapter->ExcludeUnencrypted; break;
    case MIB_PHY_TYPE: Value = Adapter->PhyType; break;
    case MIB_CURRENT_REG_DOMAIN: Value = Adapter->RegulatoryDomain; break;
    case MIB_CURRENT_CHANNEL: Kind = MibChannel; break;
    case MIB_DESIRED_SSID: Kind = MibSsid; break;
    case MIB_TRANSMITTED_OCTETS_A: Kind = MibCounter; Counter = TALLY_TX_OCTETS_A; break;
    case MIB_TRANSMITTED_OCTETS_B: Kind = MibCounter; Counter = TALLY_TX_OCTETS_B; break;
    case MIB_RECEIVED_OCTETS_A: Kind = MibCounter; Counter = TALLY_RX_OCTETS_A; break;
    case MIB_RECEIVED_OCTETS_B: Kind = MibCounter; Counter = TALLY_RX_OCTETS_B; break;
    default: return NDIS_STATUS_INVALID_OID;
  }

  ULONG DataLength = Kind == MibSsid ? SsidBytes(Adapter) : Kind == MibCounter ? 4 : 1;
  // A byte attribute still takes the smallest record.
  *BytesWritten = Kind == MibByte || Kind == MibChannel ? MIB_RECORD_MIN_SIZE : DataLength + MIB_RECORD_SLACK;
  if (Length < *BytesWritten) return NDIS_STATUS_INVALID_LENGTH;

  NDIS_STATUS Status = NDIS_STATUS_SUCCESS;
  PUCHAR Data = Record + MIB_RECORD_DATA;
  switch (Kind) {
    case MibChannel:
      // An unreadable channel still fills the record, with a zero.
      if (!GetChannel(Adapter, &Value)) Status = NDIS_STATUS_FAILURE;
      Data[0] = Value;
      break;
    case MibByte:
      Data[0] = Value;
      break;
    case MibSsid:
      memcpy(Data, Adapter->SSID, DataLength);
      break;
    case MibCounter:
      // The answer to the inquiry arrives later; the counter is what has been gathered so far.
      InquireTallies(Adapter);
      PutLeDword(Data, Adapter->Tallies[Counter]);
      break;
  }
  PutLeDword(Record + MIB_RECORD_STATUS, 0);
  PutLeDword(Record + MIB_RECORD_DATA_LENGTH, DataLength);
  return Status;
}

NDIS_STATUS SetMibRecord(PADAPTER Adapter, PUCHAR Record, ULONG Length, PULONG BytesRead) {
  *BytesRead = 0;
  if (Length < MIB_RECORD_MIN_SIZE) {
    *BytesRead = MIB_RECORD_MIN_SIZE;
    return NDIS_STATUS_INVALID_LENGTH;
  }
  ULONG DataLength = GetLeDword(Record + MIB_RECORD_DATA_LENGTH);
  // A length word near the top of the range must not wrap into a small need.
  *BytesRead = DataLength > 0xFFFFFFFF - MIB_RECORD_SLACK ? 0xFFFFFFFF : DataLength + MIB_RECORD_SLACK;
  if (DataLength > Length - MIB_RECORD_SLACK) return NDIS_STATUS_INVALID_LENGTH;

  ULONG Identifier = GetLeDword(Record + MIB_RECORD_IDENTIFIER);
  BOOLEAN Fits;
  ULONG Required;
  switch (Identifier) {
    case MIB_POWER_MANAGEMENT_MODE:
    case MIB_WEP_DEFAULT_KEY_INDEX:
    case MIB_PRIVACY_INVOKED:
    case MIB_WEP_DEFAULT_KEY_ID:
    case MIB_EXCLUDE_UNENCRYPTED:
    case MIB_CURRENT_CHANNEL:
      Required = 1;
      Fits = DataLength == Required;
      break;
    case MIB_WEP_DEFAULT_KEY_VALUE:
      Required = WEP_KEY_SIZE;
      Fits = DataLength == Required;
      break;
    case MIB_DESIRED_SSID:
      Required = NAME_RECORD_TEXT_SIZE;
      Fits = DataLength <= Required;
      break;
    default:
      *BytesRead = 0;
      PutLeDword(Record + MIB_RECORD_DATA_LENGTH, 0);
      return NDIS_STATUS_INVALID_OID;
  }
  if (!Fits) {
    *BytesRead = Required + MIB_RECORD_SLACK;
    PutLeDword(Record + MIB_RECORD_DATA_LENGTH, 0);
    return NDIS_STATUS_INVALID_LENGTH;
  }

  const UCHAR *Data = Record + MIB_RECORD_DATA;
  BOOLEAN Ok = TRUE;
  switch (Identifier) {
    case MIB_POWER_MANAGEMENT_MODE:
      Ok = SetPowerSaveMode(Adapter, Data[0]);
      break;
    case MIB_DESIRED_SSID:
      // The whole field is cleared: configuration writes all 32 bytes of it to the controller.
      memset(Adapter->SSID, 0, sizeof(Adapter->SSID));
      memcpy(Adapter->SSID, Data, DataLength);
      Adapter->SsidLength = (USHORT)DataLength;
      break;
    case MIB_WEP_DEFAULT_KEY_INDEX:
      Adapter->SelectedKeyIndex = Data[0];
      break;
    case MIB_WEP_DEFAULT_KEY_VALUE:
      Ok = SetDefaultKey(Adapter, Adapter->SelectedKeyIndex, Data);
      break;
    case MIB_PRIVACY_INVOKED:
      Adapter->PrivacyInvoked = Data[0];
      Ok = SetWepFlags(Adapter, WepFlagsFor(Adapter->PrivacyInvoked, Adapter->ExcludeUnencrypted));
      break;
    case MIB_WEP_DEFAULT_KEY_ID:
      Adapter->DefaultKeyId = Data[0];
      Ok = SetDefaultKeyId(Adapter, Adapter->DefaultKeyId);
      break;
    case MIB_EXCLUDE_UNENCRYPTED:
      Adapter->ExcludeUnencrypted = Data[0];
      Ok = SetWepFlags(Adapter, WepFlagsFor(Adapter->PrivacyInvoked, Adapter->ExcludeUnencrypted));
      break;
    case MIB_CURRENT_CHANNEL:
      Ok = SetChannel(Adapter, Data[0]);
      break;
  }
  PutLeDword(Record + MIB_RECORD_STATUS, 0);
  PutLeDword(Record + MIB_RECORD_DATA_LENGTH, 0);
  return Outcome(Ok);
}
