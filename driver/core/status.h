// The status the one-second timer gathers and publishes, and the driver's diagnostic log.
#pragma once

// Link status published when the controller's cannot be read.
#define LINK_UNREADABLE 7

#define STATUS_KEY TEXT("Comm\\Teskel1\\Parms")
#define STATUS_KEY_OPTIONS 1
#define WEP_REQUEST_MASK 0xFFFF

// One tick's status, filled by Fenwa_GetInfo. Only LinkState, bytein and byteout are published.
typedef struct _STATUS_INFO {
  ULONG bytein;
  ULONG byteout;
  ULONG Tallies10And11;
  ULONG Tallies0And1;
  ULONG Quality;
  ULONG SignalLevel;
  ULONG LinkState;
  UCHAR Bssid[MAC_ADDRESS_SIZE];
  USHORT Channel;
} STATUS_INFO, *PSTATUS_INFO;

static_assert(sizeof(STATUS_INFO) == 7 * 4 + MAC_ADDRESS_SIZE + 2, "the status record has no padding");

#define QUALITY_DIVISOR 5
#define SIGNAL_DIVISOR 10
#define STATUS_LEVEL_MAX 15

// ---------------------------------------------------------------------------------------------
// Status gathering (core/status.cpp)
// ---------------------------------------------------------------------------------------------
// 0, or -1 when the link status cannot be read (LinkState 7, nothing else gathered).
INT Fenwa_GetInfo(PADAPTER Adapter, PSTATUS_INFO Info);
// The counter sums the status publishes, as the adapter holds them now.
VOID GetByteCounts(PADAPTER Adapter, PSTATUS_INFO Info);

// ---------------------------------------------------------------------------------------------
// Diagnostic log (core/log.cpp)
// ---------------------------------------------------------------------------------------------
// Null until the first message has been written; then open until the driver is unloaded.
extern FILE *LogFile;
INT LogPrintf(const CHAR *Format, ...) __attribute__((format(printf, 1, 2)));
