// The frame path: Ethernet frames to 802.3 + LLC/SNAP into controller buffers, and received
// frames back to Ethernet frames for the protocol stack.
#pragma once

#define ETHERNET_HEADER_SIZE 14
#define ETHERNET_ADDRESSES_SIZE 12
#define ETHERNET_MAX_FRAME_SIZE 1514
#define ETHERNET_MAX_LENGTH_FIELD 1500
#define SNAP_HEADER_SIZE 6
#define SNAP_ENCAPSULATION_SIZE 8
#define TX_FRAME_OFFSET 46
#define TX_TRAILER_SIZE 8
#define TX_COPY_ATTEMPTS 4

#define ETHERTYPE_IPX 0x8137
#define ETHERTYPE_AARP 0x80F3

// Receive descriptor fields.
#define RX_STATUS_OFFSET 0
#define RX_FRAME_CONTROL_OFFSET 14
#define RX_BODY_LENGTH_OFFSET 44
#define RX_HEADER_OFFSET 46
#define RX_LENGTH_FIELD_OFFSET 58
#define RX_STATUS_RFC1042 0x2000
#define RX_STATUS_TUNNEL 0x4000
#define RX_FRAME_CONTROL_DATA 0x0008

// ---------------------------------------------------------------------------------------------
// Transmit (framepath/transmit.cpp)
// ---------------------------------------------------------------------------------------------
NDIS_STATUS NTAPI MiniportSend(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet, UINT Flags);
// Returns the packet taken from the queue (or null) and, in Status, how it went: success when it
// reached the controller (or was suppressed), failure when its copy into the controller failed.
PNDIS_PACKET TransmitNext(PADAPTER Adapter, PNDIS_STATUS Status);
// Sends from the queue until a frame is on its way or nothing can go; completes every packet it
// takes but `Own` (may be null), whose status it returns (NDIS_STATUS_PENDING when not taken).
NDIS_STATUS TransmitQueued(PADAPTER Adapter, PNDIS_PACKET Own);
BOOLEAN CopyPacketToBuffer(PADAPTER Adapter, USHORT Fid, USHORT Start, PNDIS_PACKET Packet, PUINT Length);
VOID CompleteQueuedSends(PADAPTER Adapter, NDIS_STATUS Status);

// ---------------------------------------------------------------------------------------------
// Receive (framepath/receive.cpp)
// ---------------------------------------------------------------------------------------------
VOID ReceiveFrame(PADAPTER Adapter);
NDIS_STATUS NTAPI MiniportTransferData(PNDIS_PACKET Packet, PUINT BytesTransferred, NDIS_HANDLE MiniportAdapterContext,
                                       NDIS_HANDLE MiniportReceiveContext, UINT ByteOffset, UINT BytesToTransfer);
