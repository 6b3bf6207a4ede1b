// The query and set entry points: the supported-OID list, the standard general and 802.3 OIDs,
// and the one length-and-status tail of each direction that private requests share.
#include "teskel.h"

// In the order NDIS is given it; the private OIDs that appear twice are listed twice.
const NDIS_OID SupportedOids[SUPPORTED_OID_COUNT] = {
    OID_GEN_SUPPORTED_LIST,        OID_GEN_HARDWARE_STATUS,       OID_GEN_MAC_OPTIONS,
    OID_GEN_MEDIA_SUPPORTED,       OID_GEN_MEDIA_IN_USE,          OID_GEN_MAXIMUM_LOOKAHEAD,
    OID_GEN_CURRENT_LOOKAHEAD,     OID_GEN_MAXIMUM_FRAME_SIZE,    OID_GEN_MAXIMUM_TOTAL_SIZE,
    OID_GEN_LINK_SPEED,            OID_GEN_PROTOCOL_OPTIONS,      OID_GEN_TRANSMIT_BUFFER_SPACE,
    OID_GEN_RECEIVE_BUFFER_SPACE,  OID_GEN_TRANSMIT_BLOCK_SIZE,   OID_GEN_RECEIVE_BLOCK_SIZE,
    OID_GEN_VENDOR_ID,             OID_GEN_VENDOR_DESCRIPTION,    OID_GEN_CURRENT_PACKET_FILTER,
    OID_GEN_DRIVER_VERSION,        OID_GEN_VENDOR_DRIVER_VERSION, OID_GEN_MEDIA_CONNECT_STATUS,
    OID_GEN_MAXIMUM_SEND_PACKETS,  OID_802_3_PERMANENT_ADDRESS,   OID_802_3_CURRENT_ADDRESS,
    OID_802_3_MAXIMUM_LIST_SIZE,   OID_802_3_MULTICAST_LIST,      OID_GEN_XMIT_OK,
    OID_GEN_RCV_OK,                OID_GEN_XMIT_ERROR,            OID_GEN_RCV_ERROR,
    OID_GEN_RCV_NO_BUFFER,         OID_802_3_RCV_ERROR_ALIGNMENT, OID_802_3_XMIT_ONE_COLLISION,
    OID_802_3_XMIT_MORE_COLLISIONS, OID_PRIV_RECORD,              OID_PRIV_RECORD,
    OID_PRIV_PRODUCTION_DATA,      OID_PRIV_PRODUCTION_DATA,      OID_PRIV_COMMAND,
    OID_PRIV_AUX_ENABLE,           OID_PRIV_AUX_DISABLE,          OID_PRIV_AUX_MEMORY,
    OID_PRIV_AUX_MEMORY,           OID_PRIV_SUPPRESS_TRANSMIT,    OID_PRIV_RESUME_TRANSMIT,
    OID_PRIV_VERSION,              OID_PRIV_UNUSED_18A,           OID_PRIV_DOWNLOAD_DIRECT,
    OID_PRIV_DOWNLOAD_NONVOLATILE, OID_PRIV_TALLIES,              OID_PRIV_TALLIES,
    OID_PRIV_REGISTERS,            OID_PRIV_MIB_RECORD,           OID_PRIV_NETWORK_TYPE,
    OID_PRIV_CURRENT_BSSID,        OID_PRIV_RESET,                OID_PRIV_LINK_STATUS,
    OID_PRIV_ENCAPSULATION,        OID_PRIV_WEP_REQUEST,          OID_PRIV_TX_RATE,
    OID_PRIV_LINK_QUALITY,         OID_PRIV_SIGNAL_LEVEL,
};

// ---------------------------------------------------------------------------------------------
// Query
// ---------------------------------------------------------------------------------------------

static ULONG VendorId(PADAPTER Adapter) {
  const UCHAR *Address = Adapter->PermanentAddress;
  return ((ULONG)Address[1] << 8) | ((ULONG)Address[2] << 16) | ((ULONG)Address[3] << 24);
}

static ULONG TextSize(const CHAR *Text, ULONG Capacity) {
  ULONG Length = 0;
  while (Length + 1 < Capacity && Text[Length] != 0) Length++;
  return Length + 1;
}

NDIS_STATUS NTAPI MiniportQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                                           ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded) {
  PADAPTER Adapter = (PADAPTER)MiniportAdapterContext;
  PUCHAR Buffer = (PUCHAR)InformationBuffer;
  QUERY_ANSWER Answer;

  // Most answers are one 32-bit number.
  Answer.Status = NDIS_STATUS_SUCCESS;
  Answer.Source = &Answer.Value;
  Answer.Size = sizeof(ULONG);
  Answer.Fill = QueryFillNone;
  Answer.Value = 0;
  *BytesWritten = 0;
  *BytesNeeded = 0;

  switch (Oid) {
    case OID_GEN_SUPPORTED_LIST:
      Answer.Source = SupportedOids;
      Answer.Size = sizeof(SupportedOids);
      break;
    case OID_GEN_HARDWARE_STATUS: Answer.Value = NdisHardwareStatusReady; break;
    case OID_GEN_MEDIA_SUPPORTED:
    case OID_GEN_MEDIA_IN_USE: Answer.Value = NdisMedium802_3; break;
    case OID_GEN_MAXIMUM_LOOKAHEAD: Answer.Value = MAXIMUM_LOOKAHEAD; break;
    case OID_GEN_MAXIMUM_FRAME_SIZE: Answer.Value = MAXIMUM_FRAME_SIZE; break;
    case OID_GEN_LINK_SPEED: Answer.Value = LINK_SPEED_100BPS; break;
    case OID_GEN_TRANSMIT_BUFFER_SPACE:
    case OID_GEN_RECEIVE_BUFFER_SPACE: Answer.Value = BUFFER_SPACE; break;
    case OID_GEN_TRANSMIT_BLOCK_SIZE:
    case OID_GEN_RECEIVE_BLOCK_SIZE:
    case OID_GEN_MAXIMUM_TOTAL_SIZE: Answer.Value = ETHERNET_BLOCK_SIZE; break;
    case OID_GEN_VENDOR_ID: Answer.Value = VendorId(Adapter); break;
    case OID_GEN_VENDOR_DESCRIPTION:
      Answer.Source = Adapter->VendorDescription;
      Answer.Size = TextSize(Adapter->VendorDescription, sizeof(Adapter->VendorDescription));
      break;
    case OID_GEN_CURRENT_PACKET_FILTER: Answer.Value = Adapter->PacketFilter; break;
    case OID_GEN_CURRENT_LOOKAHEAD: Answer.Value = Adapter->CurrentLookahead; break;
    case OID_GEN_DRIVER_VERSION:
      Answer.Value = DRIVER_NDIS_VERSION;
      Answer.Size = 2;
      break;
    case OID_GEN_MAC_OPTIONS:
      Answer.Value = NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA | NDIS_MAC_OPTION_RECEIVE_SERIALIZED | NDIS_MAC_OPTION_NO_LOOPBACK;
      break;
    case OID_GEN_MEDIA_CONNECT_STATUS:
      if (!RefreshLinkStatus(Adapter)) Answer.Status = NDIS_STATUS_FAILURE;
      Answer.Value = Adapter->LinkStatus == LINK_CONNECTED ? NdisMediaStateConnected : NdisMediaStateDisconnected;
      break;
    case OID_GEN_MAXIMUM_SEND_PACKETS: Answer.Value = MAXIMUM_SEND_PACKETS; break;
    case OID_GEN_VENDOR_DRIVER_VERSION:
      Answer.Value = VENDOR_DRIVER_VERSION;
      Answer.Size = 2;
      break;
    // The driver keeps no counts for these statistics.
    case OID_GEN_XMIT_OK:
    case OID_GEN_RCV_OK:
    case OID_GEN_XMIT_ERROR:
    case OID_GEN_RCV_ERROR:
    case OID_GEN_RCV_NO_BUFFER:
    case OID_802_3_RCV_ERROR_ALIGNMENT:
    case OID_802_3_XMIT_ONE_COLLISION:
    case OID_802_3_XMIT_MORE_COLLISIONS: break;
    case OID_802_3_PERMANENT_ADDRESS:
      Answer.Source = Adapter->PermanentAddress;
      Answer.Size = MAC_ADDRESS_SIZE;
      break;
    case OID_802_3_CURRENT_ADDRESS:
      Answer.Source = Adapter->CurrentAddress;
      Answer.Size = MAC_ADDRESS_SIZE;
      break;
    case OID_802_3_MAXIMUM_LIST_SIZE: Answer.Value = MULTICAST_LIST_ENTRIES; break;
    default:
      if (IsPrivateOid(Oid)) {
        PickPrivateQuery(Adapter, Oid, Buffer, InformationBufferLength, &Answer);
      } else {
        Answer.Status = NDIS_STATUS_INVALID_OID;
        Answer.Size = 0;
      }
      break;
  }

  if (Answer.Status == NDIS_STATUS_SUCCESS && InformationBufferLength < Answer.Size)
    Answer.Status = NDIS_STATUS_INVALID_LENGTH;
  if (Answer.Status == NDIS_STATUS_SUCCESS && Answer.Fill != QueryFillNone)
    Answer.Status = FillPrivateQuery(Adapter, Answer.Fill, Buffer);
  if (Answer.Status != NDIS_STATUS_SUCCESS) {
    *BytesNeeded = Answer.Size;
    return Answer.Status;
  }
  if (Answer.Source != Buffer) memcpy(Buffer, Answer.Source, Answer.Size);
  *BytesWritten = Answer.Size;
  return NDIS_STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Set
// ---------------------------------------------------------------------------------------------

// What a set takes from the buffer. Size is the count it reads, and the count reported as needed
// when the buffer does not satisfy the rule.
typedef enum _SET_LENGTH {
  SetLengthExact,          // exactly Size bytes
  SetLengthAtLeast,        // the first Size bytes
  SetLengthAny,            // any buffer; Size bytes are read
  SetLengthAddressList,    // whole addresses, at most Size bytes; all of them are read
  SetLengthMemoryRequest,  // a header and its byte count, at most Size bytes in all
  SetLengthRecord,         // a controller record as its length word gives it
  SetLengthMibRecord,      // the record routine judges it
  SetLengthNotSupported,   // refused whatever the buffer
} SET_LENGTH;

typedef struct _SET_RULE {
  NDIS_OID Oid;
  SET_LENGTH Length;
  ULONG Size;
} SET_RULE;

static const SET_RULE SetRules[] = {
    {OID_GEN_CURRENT_PACKET_FILTER, SetLengthExact, 4},
    {OID_GEN_CURRENT_LOOKAHEAD, SetLengthExact, 4},
    {OID_802_3_CURRENT_ADDRESS, SetLengthExact, MAC_ADDRESS_SIZE},
    {OID_802_3_MULTICAST_LIST, SetLengthAddressList, MULTICAST_LIST_SIZE},
    {OID_PRIV_RECORD, SetLengthRecord, RECORD_HEADER_SIZE},
    {OID_PRIV_PRODUCTION_DATA, SetLengthNotSupported, 0},
    {OID_PRIV_COMMAND, SetLengthExact, COMMAND_BLOCK_SIZE},
    {OID_PRIV_AUX_ENABLE, SetLengthAny, 0},
    {OID_PRIV_AUX_DISABLE, SetLengthAny, 0},
    {OID_PRIV_AUX_MEMORY, SetLengthMemoryRequest, MEMORY_REQUEST_MAX_SIZE},
    {OID_PRIV_SUPPRESS_TRANSMIT, SetLengthAny, 0},
    {OID_PRIV_RESUME_TRANSMIT, SetLengthAny, 0},
    {OID_PRIV_UNUSED_18A, SetLengthNotSupported, 0},
    {OID_PRIV_DOWNLOAD_DIRECT, SetLengthMemoryRequest, MEMORY_REQUEST_MAX_SIZE},
    {OID_PRIV_DOWNLOAD_NONVOLATILE, SetLengthMemoryRequest, MEMORY_REQUEST_MAX_SIZE},
    {OID_PRIV_MIB_RECORD, SetLengthMibRecord, 0},
    {OID_PRIV_NETWORK_TYPE, SetLengthAtLeast, 1},
    {OID_PRIV_CURRENT_BSSID, SetLengthNotSupported, 0},
    {OID_PRIV_RESET, SetLengthAny, 0},
    {OID_PRIV_LINK_STATUS, SetLengthNotSupported, 0},
    {OID_PRIV_ENCAPSULATION, SetLengthAtLeast, 1},
    {OID_PRIV_WEP_REQUEST, SetLengthAtLeast, 1},
    {OID_PRIV_TX_RATE, SetLengthAtLeast, 2},
    {OID_PRIV_LINK_QUALITY, SetLengthNotSupported, 0},
    {OID_PRIV_SIGNAL_LEVEL, SetLengthNotSupported, 0},
};

static const SET_RULE *FindSetRule(NDIS_OID Oid) {
  for (ULONG i = 0; i < sizeof(SetRules) / sizeof(SetRules[0]); i++) {
    if (SetRules[i].Oid == Oid) return &SetRules[i];
  }
  return NULL;
}

// Checks the buffer against the OID's rule, reading nothing the buffer does not hold; *Read is
// the count taken, or needed when the buffer is refused.
static NDIS_STATUS CheckSetLength(const SET_RULE *Rule, const UCHAR *Buffer, ULONG Length, PULONG Read) {
  ULONG Bytes;

  *Read = Rule->Size;
  switch (Rule->Length) {
    case SetLengthExact:
      return Length == Rule->Size ? NDIS_STATUS_SUCCESS : NDIS_STATUS_INVALID_LENGTH;
    case SetLengthAtLeast:
      return Length >= Rule->Size ? NDIS_STATUS_SUCCESS : NDIS_STATUS_INVALID_LENGTH;
    case SetLengthAny:
    case SetLengthMibRecord:
      return NDIS_STATUS_SUCCESS;
    case SetLengthNotSupported:
      return NDIS_STATUS_NOT_SUPPORTED;
    case SetLengthAddressList:
      if (Length % MAC_ADDRESS_SIZE != 0 || Length > Rule->Size) return NDIS_STATUS_INVALID_LENGTH;
      *Read = Length;
      return NDIS_STATUS_SUCCESS;
    case SetLengthMemoryRequest:
      if (Length > Rule->Size) return NDIS_STATUS_INVALID_LENGTH;
      *Read = MEMORY_REQUEST_HEADER_SIZE;
      if (Length < MEMORY_REQUEST_HEADER_SIZE) return NDIS_STATUS_INVALID_LENGTH;
      *Read = MEMORY_REQUEST_HEADER_SIZE + GetLeWord(Buffer + MEMORY_REQUEST_COUNT);
      return Length >= *Read ? NDIS_STATUS_SUCCESS : NDIS_STATUS_INVALID_LENGTH;
    case SetLengthRecord:
      // A record covers at least its RID word, and lies wholly in the buffer and in the
      // record buffer the write is checked against. Success reports the header read.
      if (Length < RECORD_HEADER_SIZE || GetLeWord(Buffer) == 0) return NDIS_STATUS_INVALID_LENGTH;
      Bytes = ((ULONG)GetLeWord(Buffer) + 1) * 2;
      if (Bytes > Length || Bytes > RECORD_BUFFER_SIZE) {
        *Read = Bytes;
        return NDIS_STATUS_INVALID_LENGTH;
      }
      return NDIS_STATUS_SUCCESS;
  }
  return NDIS_STATUS_INVALID_OID;
}

NDIS_STATUS NTAPI MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                                         ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded) {
  PADAPTER Adapter = (PADAPTER)MiniportAdapterContext;
  PUCHAR Buffer = (PUCHAR)InformationBuffer;
  ULONG Length = InformationBufferLength;
  ULONG Read = 0;
  NDIS_STATUS Status;

  *BytesRead = 0;
  *BytesNeeded = 0;
  const SET_RULE *Rule = FindSetRule(Oid);
  if (!Rule) return NDIS_STATUS_INVALID_OID;

  Status = CheckSetLength(Rule, Buffer, Length, &Read);
  if (Status == NDIS_STATUS_SUCCESS) {
    switch (Oid) {
      case OID_GEN_CURRENT_PACKET_FILTER:
        if (GetLeDword(Buffer) & PACKET_FILTER_UNSUPPORTED) {
          Status = NDIS_STATUS_NOT_SUPPORTED;
          break;
        }
        Adapter->PacketFilter = GetLeDword(Buffer);
        break;
      case OID_GEN_CURRENT_LOOKAHEAD:
        // It never shrinks: the receive path may be holding a lookahead of the present size.
        if (GetLeDword(Buffer) > MAXIMUM_LOOKAHEAD) {
          Status = NDIS_STATUS_INVALID_LENGTH;
          break;
        }
        if (GetLeDword(Buffer) > Adapter->CurrentLookahead) Adapter->CurrentLookahead = GetLeDword(Buffer);
        break;
      case OID_802_3_CURRENT_ADDRESS:
        if (!SetStationAddress(Adapter, Buffer)) {
          Status = NDIS_STATUS_FAILURE;
          break;
        }
        memcpy(Adapter->CurrentAddress, Buffer, MAC_ADDRESS_SIZE);
        break;
      case OID_802_3_MULTICAST_LIST:
        if (Length > 0) memcpy(Adapter->MulticastList, Buffer, Length);
        if (!(Adapter->PacketFilter & (NDIS_PACKET_TYPE_ALL_MULTICAST | NDIS_PACKET_TYPE_PROMISCUOUS)))
          Status = UpdateMulticastList(Adapter);
        break;
      default:
        Status = ApplyPrivateSet(Adapter, Oid, Buffer, Length, &Read);
        break;
    }
  }

  if (Status != NDIS_STATUS_SUCCESS) {
    *BytesNeeded = Read;
    return Status;
  }
  *BytesRead = Read;
  return NDIS_STATUS_SUCCESS;
}
