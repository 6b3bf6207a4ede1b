// Status gathering for the one-second timer: link status, BSSID, communication quality, a tally
// inquiry, the byte counters and the channel. Each failed read is written to the diagnostic log.
#include "teskel.h"

VOID GetByteCounts(PADAPTER Adapter, PSTATUS_INFO Info) {
  // 32-bit sums that wrap, as the counters themselves do.
  Info->byteout = Adapter->Tallies[3] + Adapter->Tallies[4];
  Info->bytein = Adapter->Tallies[13] + Adapter->Tallies[14];
  Info->Tallies0And1 = Adapter->Tallies[0] + Adapter->Tallies[1];
  Info->Tallies10And11 = Adapter->Tallies[10] + Adapter->Tallies[11];
}

static ULONG ScaleLevel(USHORT Word, ULONG Divisor) {
  ULONG Level = Word / Divisor;
  return Level > STATUS_LEVEL_MAX ? STATUS_LEVEL_MAX : Level;
}

INT Fenwa_GetInfo(PADAPTER Adapter, PSTATUS_INFO Info) {
  alignas(4) UCHAR Record[RECORD_BUFFER_SIZE];
  ULONG Size;
  UCHAR Channel;

  // Without a link status nothing else is asked of the controller this tick.
  if (!GetLinkStatus(Adapter, &Adapter->LinkStatus)) {
    Info->LinkState = LINK_UNREADABLE;
    LogPrintf("Fenwa_GetInfo: GetLinkStatus() FAILED\n");
    return -1;
  }
  Info->LinkState = Adapter->LinkStatus;

  NdisZeroMemory(Record, sizeof(Record));
  if (GetRid(Adapter, RID_CURRENT_BSSID, Record, sizeof(Record), &Size)) {
    memcpy(Info->Bssid, Record + RECORD_HEADER_SIZE, MAC_ADDRESS_SIZE);
  } else {
    LogPrintf("Fenwa_GetInfo: GetRid(RID_CURRENT_BSSID) FAILED\n");
  }

  if (Adapter->NetworkType == 1) {
    if (GetRid(Adapter, RID_COMMS_QUALITY, Record, sizeof(Record), &Size)) {
      Info->Quality = ScaleLevel(GetLeWord(Record + RECORD_HEADER_SIZE), QUALITY_DIVISOR);
      Info->SignalLevel = ScaleLevel(GetLeWord(Record + RECORD_HEADER_SIZE + 2), SIGNAL_DIVISOR);
    } else {
      LogPrintf("Fenwa_GetInfo: GetRid(RID_COMMS_QUALITY) FAILED\n");
    }
  }

  // The report arrives later as an information frame; these sums are the counts up to now.
  InquireTallies(Adapter);
  GetByteCounts(Adapter, Info);

  if (GetChannel(Adapter, &Channel)) {
    Info->Channel = Channel;
  } else {
    LogPrintf("Fenwa_GetInfo: GetChannel() FAILED\n");
  }
  return 0;
}
