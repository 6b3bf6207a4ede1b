// Information requests: the private object identifiers the driver answers, the MIB record layout, the
// query and set entry points and the private-request routines behind them.
#pragma once

// ---------------------------------------------------------------------------------------------
// Private OIDs
// ---------------------------------------------------------------------------------------------
#define OID_PRIV_RECORD 0xFF010181
#define OID_PRIV_PRODUCTION_DATA 0xFF010182
#define OID_PRIV_COMMAND 0xFF010183
#define OID_PRIV_AUX_ENABLE 0xFF010184
#define OID_PRIV_AUX_DISABLE 0xFF010185
#define OID_PRIV_AUX_MEMORY 0xFF010186
#define OID_PRIV_SUPPRESS_TRANSMIT 0xFF010187
#define OID_PRIV_RESUME_TRANSMIT 0xFF010188
#define OID_PRIV_VERSION 0xFF010189
#define OID_PRIV_UNUSED_18A 0xFF01018A
#define OID_PRIV_DOWNLOAD_DIRECT 0xFF01018B
#define OID_PRIV_DOWNLOAD_NONVOLATILE 0xFF01018C
#define OID_PRIV_TALLIES 0xFF02018D
#define OID_PRIV_REGISTERS 0xFF02018E
#define OID_PRIV_MIB_RECORD 0xFF020191
#define OID_PRIV_NETWORK_TYPE 0xFF010194
#define OID_PRIV_CURRENT_BSSID 0xFF010195
#define OID_PRIV_RESET 0xFF020198
#define OID_PRIV_LINK_STATUS 0xFF010199
#define OID_PRIV_ENCAPSULATION 0xFF02019B
#define OID_PRIV_WEP_REQUEST 0xFF02019C
#define OID_PRIV_TX_RATE 0xFF02019D
#define OID_PRIV_LINK_QUALITY 0xFF02019E
#define OID_PRIV_SIGNAL_LEVEL 0xFF02019F

#define SUPPORTED_OID_COUNT 62

// Filter bits the adapter refuses (the standard OIDs and the values they exchange are the
// platform's, from ntddndis.h).
#define PACKET_FILTER_UNSUPPORTED                                                                  \
  (NDIS_PACKET_TYPE_SOURCE_ROUTING | NDIS_PACKET_TYPE_PROMISCUOUS | NDIS_PACKET_TYPE_SMT |         \
   NDIS_PACKET_TYPE_GROUP | NDIS_PACKET_TYPE_ALL_FUNCTIONAL | NDIS_PACKET_TYPE_FUNCTIONAL |        \
   NDIS_PACKET_TYPE_MAC_FRAME)

#define LINK_SPEED_100BPS 20000
#define BUFFER_SPACE 8192
#define ETHERNET_BLOCK_SIZE 1514
#define MAXIMUM_FRAME_SIZE 1500
#define MAXIMUM_SEND_PACKETS 8
#define MULTICAST_LIST_ENTRIES 32
#define DRIVER_NDIS_VERSION 0x0400
#define VENDOR_DRIVER_VERSION 9
#define PRIVATE_VERSION_WORD 1

// Quality and signal are given in steps of 5 and 10 units, 15 steps at most.
#define LINK_QUALITY_STEP 5
#define SIGNAL_LEVEL_STEP 10
#define LINK_LEVEL_MAX 15

// ---------------------------------------------------------------------------------------------
// MIB records: identifier, status, data length, data (little-endian)
// ---------------------------------------------------------------------------------------------
#define MIB_RECORD_IDENTIFIER 0
#define MIB_RECORD_STATUS 4
#define MIB_RECORD_DATA_LENGTH 8
#define MIB_RECORD_HEADER_SIZE 12
#define MIB_RECORD_DATA 12
// Twelve bytes of header and four of data space; a record of n data bytes is given n + 15.
#define MIB_RECORD_MIN_SIZE 16
#define MIB_RECORD_SLACK 15

#define MIB_PRIVACY_OPTION_IMPLEMENTED 0x01010107
#define MIB_POWER_MANAGEMENT_MODE 0x01010108
#define MIB_DESIRED_SSID 0x01010109
#define MIB_WEP_DEFAULT_KEY_INDEX 0x01030101
#define MIB_WEP_DEFAULT_KEY_VALUE 0x01030102
#define MIB_PRIVACY_INVOKED 0x01050101
#define MIB_WEP_DEFAULT_KEY_ID 0x01050102
#define MIB_EXCLUDE_UNENCRYPTED 0x01050104
#define MIB_TRANSMITTED_OCTETS_A 0x02020110
#define MIB_TRANSMITTED_OCTETS_B 0x02020111
#define MIB_RECEIVED_OCTETS_A 0x02020112
#define MIB_RECEIVED_OCTETS_B 0x02020113
#define MIB_PHY_TYPE 0x04010101
#define MIB_CURRENT_REG_DOMAIN 0x04010102
#define MIB_CURRENT_CHANNEL 0x04050101

// Tallies counters behind the four octet attributes.
#define TALLY_TX_OCTETS_A 3
#define TALLY_TX_OCTETS_B 4
#define TALLY_RX_OCTETS_A 13
#define TALLY_RX_OCTETS_B 14

// ---------------------------------------------------------------------------------------------
// A query being answered: a case picks where the answer comes from and how big it is; the
// entry point's tail checks the caller's length, copies and reports.
// ---------------------------------------------------------------------------------------------
typedef enum _QUERY_FILL {
  QueryFillNone,            // Source holds the answer already
  QueryFillProductionData,  // read the production data, then copy it
  QueryFillAuxMemory,       // read controller memory into the caller's request
  QueryFillRegisters,       // snapshot the registers into the caller's buffer
} QUERY_FILL;

typedef struct _QUERY_ANSWER {
  NDIS_STATUS Status;
  const VOID *Source;  // the caller's buffer when the request fills it in place
  ULONG Size;          // bytes of the answer; reported as needed when it is refused
  QUERY_FILL Fill;     // work that may only touch the caller's buffer once it is known to fit
  ULONG Value;         // 32-bit answers
  UCHAR Record[RECORD_BUFFER_SIZE];
} QUERY_ANSWER;

NDIS_STATUS NTAPI MiniportQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                                           ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded);
NDIS_STATUS NTAPI MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                                         ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded);

extern const NDIS_OID SupportedOids[SUPPORTED_OID_COUNT];

// ---------------------------------------------------------------------------------------------
// Private requests (oid/private.cpp)
// ---------------------------------------------------------------------------------------------
BOOLEAN IsPrivateOid(NDIS_OID Oid);
BOOLEAN RefreshLinkStatus(PADAPTER Adapter);
VOID PickPrivateQuery(PADAPTER Adapter, NDIS_OID Oid, PUCHAR Buffer, ULONG Length, QUERY_ANSWER *Answer);
NDIS_STATUS FillPrivateQuery(PADAPTER Adapter, QUERY_FILL Fill, PUCHAR Buffer);
NDIS_STATUS ApplyPrivateSet(PADAPTER Adapter, NDIS_OID Oid, PUCHAR Buffer, ULONG Length, PULONG BytesRead);
NDIS_STATUS QueryMibRecord(PADAPTER Adapter, PUCHAR Record, ULONG Length, PULONG BytesWritten);
NDIS_STATUS SetMibRecord(PADAPTER Adapter, PUCHAR Record, ULONG Length, PULONG BytesRead);
UCHAR WepFlagsFor(UCHAR PrivacyInvoked, UCHAR ExcludeUnencrypted);
