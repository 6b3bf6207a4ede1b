// Information requests: the object identifiers the driver answers, the MIB record layout, the
// query and set entry points and the private-request routines behind them.
#pragma once

// ---------------------------------------------------------------------------------------------
// Standard general and 802.3 OIDs
// ---------------------------------------------------------------------------------------------
#define OID_GEN_SUPPORTED_LIST 0x00010101
#define OID_GEN_HARDWARE_STATUS 0x00010102
#define OID_GEN_MEDIA_SUPPORTED 0x00010103
#define OID_GEN_MEDIA_IN_USE 0x00010104
#define OID_GEN_MAXIMUM_LOOKAHEAD 0x00010105
#define OID_GEN_MAXIMUM_FRAME_SIZE 0x00010106
#define OID_GEN_LINK_SPEED 0x00010107
#define OID_GEN_TRANSMIT_BUFFER_SPACE 0x00010108
#define OID_GEN_RECEIVE_BUFFER_SPACE 0x00010109
#define OID_GEN_TRANSMIT_BLOCK_SIZE 0x0001010A
#define OID_GEN_RECEIVE_BLOCK_SIZE 0x0001010B
#define OID_GEN_VENDOR_ID 0x0001010C
#define OID_GEN_VENDOR_DESCRIPTION 0x0001010D
#define OID_GEN_CURRENT_PACKET_FILTER 0x0001010E
#define OID_GEN_CURRENT_LOOKAHEAD 0x0001010F
#define OID_GEN_DRIVER_VERSION 0x00010110
#define OID_GEN_MAXIMUM_TOTAL_SIZE 0x00010111
#define OID_GEN_PROTOCOL_OPTIONS 0x00010112
#define OID_GEN_MAC_OPTIONS 0x00010113
#define OID_GEN_MEDIA_CONNECT_STATUS 0x00010114
#define OID_GEN_MAXIMUM_SEND_PACKETS 0x00010115
#define OID_GEN_VENDOR_DRIVER_VERSION 0x00010116

#define OID_GEN_XMIT_OK 0x00020101
#define OID_GEN_RCV_OK 0x00020102
#define OID_GEN_XMIT_ERROR 0x00020103
#define OID_GEN_RCV_ERROR 0x00020104
#define OID_GEN_RCV_NO_BUFFER 0x00020105

#define OID_802_3_PERMANENT_ADDRESS 0x01010101
#define OID_802_3_CURRENT_ADDRESS 0x01010102
#define OID_802_3_MULTICAST_LIST 0x01010103
#define OID_802_3_MAXIMUM_LIST_SIZE 0x01010104
#define OID_802_3_RCV_ERROR_ALIGNMENT 0x01020101
#define OID_802_3_XMIT_ONE_COLLISION 0x01020102
#define OID_802_3_XMIT_MORE_COLLISIONS 0x01020103

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

// Values the standard queries answer with.
#define NDIS_HARDWARE_STATUS_READY 0
#define NDIS_MEDIA_STATE_CONNECTED 0
#define NDIS_MEDIA_STATE_DISCONNECTED 1
#define NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA 0x00000001
#define NDIS_MAC_OPTION_RECEIVE_SERIALIZED 0x00000002
#define NDIS_MAC_OPTION_NO_LOOPBACK 0x00000008
#define NDIS_PACKET_TYPE_ALL_MULTICAST 0x00000004
#define NDIS_PACKET_TYPE_PROMISCUOUS 0x00000020
// Source routing, promiscuous, SMT, group, all functional, functional, MAC frame.
#define PACKET_FILTER_UNSUPPORTED 0x0000F070

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

NDIS_STATUS MiniportQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                                     ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded);
NDIS_STATUS MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
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
