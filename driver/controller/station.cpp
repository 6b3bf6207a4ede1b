// Station controls: single-record reads and writes on the running controller (link status,
// station address, channel, power saving, WEP key index, keys and flags).
#include "teskel.h"

// Reads a record and accepts it only with the length it must have.
static BOOLEAN ReadRecord(PADAPTER Adapter, USHORT Rid, USHORT Length, PUCHAR Record) {
  ULONG Size;
  return GetRid(Adapter, Rid, Record, RECORD_BUFFER_SIZE, &Size) && GetLeWord(Record) == Length;
}

static BOOLEAN WriteRecord(PADAPTER Adapter, USHORT Rid, USHORT Length, const UCHAR *Data, ULONG DataSize) {
  alignas(4) UCHAR Record[RECORD_BUFFER_SIZE];
  memset(Record, 0, sizeof(Record));
  PutLeWord(Record, Length);
  PutLeWord(Record + 2, Rid);
  memcpy(Record + RECORD_HEADER_SIZE, Data, DataSize);
  return SetRid(Adapter, Record);
}

static BOOLEAN WriteWord(PADAPTER Adapter, USHORT Rid, USHORT Value) {
  UCHAR Data[2];
  PutLeWord(Data, Value);
  return WriteRecord(Adapter, Rid, 2, Data, sizeof(Data));
}

// ---------------------------------------------------------------------------------------------
// Reads
// ---------------------------------------------------------------------------------------------

BOOLEAN GetLinkStatus(PADAPTER Adapter, PUSHORT LinkStatus) {
  alignas(4) UCHAR Record[RECORD_BUFFER_SIZE];

  if (!ReadRecord(Adapter, RID_PORT_STATUS, 2, Record)) return FALSE;
  switch (GetLeWord(Record + RECORD_HEADER_SIZE)) {
    case 3:
    case 4:
    case 6:
      *LinkStatus = LINK_CONNECTED;
      break;
    case 2:
    case 5:
      *LinkStatus = LINK_SEARCHING;
      break;
    default:
      *LinkStatus = LINK_NOT_CONNECTED;
      break;
  }

  if (!ReadRecord(Adapter, RID_CURRENT_BSSID, 4, Record)) return FALSE;
  memcpy(Adapter->CurrentBssid, Record + RECORD_HEADER_SIZE, MAC_ADDRESS_SIZE);
  return TRUE;
}

BOOLEAN GetStationAddress(PADAPTER Adapter, PUCHAR Address) {
  alignas(4) UCHAR Record[RECORD_BUFFER_SIZE];
  if (!ReadRecord(Adapter, RID_STATION_ADDRESS, 4, Record)) return FALSE;
  memcpy(Address, Record + RECORD_HEADER_SIZE, MAC_ADDRESS_SIZE);
  return TRUE;
}

BOOLEAN GetChannel(PADAPTER Adapter, PUCHAR Channel) {
  alignas(4) UCHAR Record[RECORD_BUFFER_SIZE];
  if (!ReadRecord(Adapter, RID_CURRENT_CHANNEL, 2, Record)) return FALSE;
  USHORT Word = GetLeWord(Record + RECORD_HEADER_SIZE);
  *Channel = (UCHAR)(Word & 0xFF);
  Adapter->DSChannel = Word;
  return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Writes
// ---------------------------------------------------------------------------------------------

BOOLEAN SetStationAddress(PADAPTER Adapter, const UCHAR *Address) {
  return WriteRecord(Adapter, RID_STATION_ADDRESS, 4, Address, MAC_ADDRESS_SIZE);
}

BOOLEAN SetChannel(PADAPTER Adapter, ULONG Channel) {
  USHORT Value = (USHORT)(Channel & 0xFF);
  if (!WriteWord(Adapter, RID_DS_CHANNEL, Value)) return FALSE;
  Adapter->DSChannel = Value;
  return TRUE;
}

BOOLEAN SetPowerSaveMode(PADAPTER Adapter, USHORT Mode) {
  if (!WriteWord(Adapter, RID_PS_MODE, Mode > 1 ? 1 : 0)) return FALSE;
  Adapter->PSMode = Mode;
  return TRUE;
}

BOOLEAN SetDefaultKeyId(PADAPTER Adapter, ULONG Index) {
  return WriteWord(Adapter, RID_WEP_DEFAULT_KEY_ID, (USHORT)(Index & 0xFF));
}

BOOLEAN SetDefaultKey(PADAPTER Adapter, ULONG KeyNumber, const UCHAR *Key) {
  USHORT Rid;
  switch (KeyNumber & 0xFF) {
    case 4:
      Rid = RID_WEP_DEFAULT_KEY4;
      break;
    case 3:
      Rid = RID_WEP_DEFAULT_KEY3;
      break;
    case 2:
      Rid = RID_WEP_DEFAULT_KEY2;
      break;
    default:
      Rid = RID_WEP_DEFAULT_KEY1;
      break;
  }
  // Five key bytes and a zero pad byte fill the record's three data words.
  UCHAR Data[WEP_KEY_SIZE + 1];
  memcpy(Data, Key, WEP_KEY_SIZE);
  Data[WEP_KEY_SIZE] = 0;
  return WriteRecord(Adapter, Rid, 4, Data, sizeof(Data));
}

BOOLEAN SetWepFlags(PADAPTER Adapter, ULONG Flags) {
  return WriteWord(Adapter, RID_WEP_FLAGS, (USHORT)(Flags & 0xFF));
}
