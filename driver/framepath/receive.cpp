// The receive path: a received frame's descriptor and lookahead are read from the controller,
// SNAP-encapsulated bodies are turned back into Ethernet II frames, and the frame is indicated;
// the stack fetches the rest with transfer-data.
#include "teskel.h"

VOID ReceiveFrame(PADAPTER Adapter) {
  Adapter->RxFid = ReadRegister(Adapter, REG_RX_FID);
  if (!BufferRead(Adapter, Adapter->RxFid, 0, Adapter->RxDescriptor, DESCRIPTOR_SIZE)) return;
  if (!(GetLeWord(Adapter->RxDescriptor + RX_FRAME_CONTROL_OFFSET) & RX_FRAME_CONTROL_DATA)) return;

  ULONG PacketSize = GetLeWord(Adapter->RxDescriptor + RX_BODY_LENGTH_OFFSET);
  // A longer body gets 8 bytes more than the lookahead, room for a SNAP header to be removed, but
  // never more than the body holds.
  ULONG LookaheadSize =
      PacketSize <= Adapter->CurrentLookahead ? PacketSize : Adapter->CurrentLookahead + SNAP_ENCAPSULATION_SIZE;
  if (LookaheadSize > PacketSize) LookaheadSize = PacketSize;
  if (LookaheadSize > sizeof(Adapter->RxLookahead)) LookaheadSize = sizeof(Adapter->RxLookahead);
  if (!BufferRead(Adapter, Adapter->RxFid, DESCRIPTOR_SIZE, Adapter->RxLookahead, LookaheadSize)) return;

  // A body too short to hold a SNAP header is passed on as it came, whatever the status says.
  PUCHAR Lookahead = Adapter->RxLookahead;
  if (PacketSize >= SNAP_ENCAPSULATION_SIZE) {
    USHORT Status = GetLeWord(Adapter->RxDescriptor + RX_STATUS_OFFSET);
    USHORT Type = GetBeWord(Lookahead + SNAP_HEADER_SIZE);
    BOOLEAN Strip = (Status & RX_STATUS_TUNNEL) ||
                    ((Status & RX_STATUS_RFC1042) && Type != ETHERTYPE_IPX && Type != ETHERTYPE_AARP);
    if (Strip) {
      Adapter->RxDescriptor[RX_LENGTH_FIELD_OFFSET] = Lookahead[SNAP_HEADER_SIZE];
      Adapter->RxDescriptor[RX_LENGTH_FIELD_OFFSET + 1] = Lookahead[SNAP_HEADER_SIZE + 1];
      Lookahead += SNAP_ENCAPSULATION_SIZE;
      LookaheadSize -= SNAP_ENCAPSULATION_SIZE;
      PacketSize -= SNAP_ENCAPSULATION_SIZE;
    }
  }
  Adapter->RxPacketSize = PacketSize;

  PUCHAR Header = Adapter->RxDescriptor + RX_HEADER_OFFSET;
  EthFilterDprIndicateReceive(((PNDIS_MINIPORT_BLOCK)Adapter->MiniportAdapterHandle)->EthDB, Adapter, (PCHAR)Header,
                              Header, ETHERNET_HEADER_SIZE, Lookahead, LookaheadSize, PacketSize);
}

NDIS_STATUS NTAPI MiniportTransferData(PNDIS_PACKET Packet, PUINT BytesTransferred, NDIS_HANDLE MiniportAdapterContext,
                                       NDIS_HANDLE MiniportReceiveContext, UINT ByteOffset, UINT BytesToTransfer) {
  PADAPTER Adapter = (PADAPTER)MiniportAdapterContext;

  (void)MiniportReceiveContext;
  if (BytesToTransfer == 0) {
    *BytesTransferred = 0;
    return NDIS_STATUS_SUCCESS;
  }
  if ((ULONGLONG)ByteOffset + BytesToTransfer > Adapter->RxPacketSize) {
    *BytesTransferred = 0;
    return NDIS_STATUS_FAILURE;
  }

  // The body's last RxPacketSize bytes are the indicated frame's data: a stripped SNAP header
  // stays skipped.
  USHORT Offset = (USHORT)(DESCRIPTOR_SIZE + GetLeWord(Adapter->RxDescriptor + RX_BODY_LENGTH_OFFSET) -
                           (USHORT)Adapter->RxPacketSize + (USHORT)ByteOffset);
  UINT PhysicalCount, BufferCount, TotalLength;
  PNDIS_BUFFER Buffer;
  UINT Copied = 0;

  NdisQueryPacket(Packet, &PhysicalCount, &BufferCount, &Buffer, &TotalLength);
  while (Buffer && Copied < BytesToTransfer) {
    PVOID Address;
    UINT Room;
    NdisQueryBuffer(Buffer, &Address, &Room);
    UINT Chunk = BytesToTransfer - Copied < Room ? BytesToTransfer - Copied : Room;
    if (Chunk > 0) {
      if (!BufferRead(Adapter, Adapter->RxFid, Offset, (PUCHAR)Address, Chunk)) {
        *BytesTransferred = Copied;
        NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_HARDWARE_FAILURE, 1, (ULONG)2);
        return NDIS_STATUS_FAILURE;
      }
      Offset = (USHORT)(Offset + Chunk);
      Copied += Chunk;
    }
    NdisGetNextBuffer(Buffer, &Buffer);
  }
  *BytesTransferred = Copied;
  return NDIS_STATUS_SUCCESS;
}
