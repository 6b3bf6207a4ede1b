// The transmit path: the send queue, the transmit slots, and the copy of an Ethernet frame into a
// controller buffer as 802.3 + LLC/SNAP, checked with a tag trailer read back from the buffer.
#include "teskel.h"

alignas(2) static const UCHAR SnapRfc1042[SNAP_HEADER_SIZE] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00};
alignas(2) static const UCHAR SnapTunnel[SNAP_HEADER_SIZE] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0xF8};

// ---------------------------------------------------------------------------------------------
// Send queue
// ---------------------------------------------------------------------------------------------

static PNDIS_PACKET DequeuePacket(PADAPTER Adapter) {
  PNDIS_PACKET Packet = Adapter->SendQueueHead;
  if (Packet) {
    Adapter->SendQueueHead = GetPacketLink(Packet);
    if (Adapter->SendQueueTail == Packet) Adapter->SendQueueTail = NULL;
  }
  return Packet;
}

VOID CompleteQueuedSends(PADAPTER Adapter, NDIS_STATUS Status) {
  PNDIS_PACKET Packet;
  while ((Packet = DequeuePacket(Adapter)) != NULL) {
    NdisMSendComplete(Adapter->MiniportAdapterHandle, Packet, Status);
  }
}

// ---------------------------------------------------------------------------------------------
// Copy of a packet into a controller buffer
// ---------------------------------------------------------------------------------------------

// Where the copy stands in the packet's buffer chain, and the odd byte waiting for its partner.
typedef struct _COPY_STATE {
  PUSHORT Data;
  PNDIS_BUFFER Buffer;
  PUCHAR Bytes;
  UINT Remaining;
  BOOLEAN Holding;
  UCHAR Held;
  PUCHAR Bounce;
} COPY_STATE;

// Moves to the next buffer that holds bytes; false at the end of the chain.
static BOOLEAN NextNonEmptyBuffer(COPY_STATE *State) {
  while (State->Remaining == 0) {
    PNDIS_BUFFER Next = NULL;
    if (State->Buffer) NdisGetNextBuffer(State->Buffer, &Next);
    if (!Next) return FALSE;
    PVOID Address;
    UINT Length;
    NdisQueryBuffer(Next, &Address, &Length);
    State->Buffer = Next;
    State->Bytes = (PUCHAR)Address;
    State->Remaining = Length;
  }
  return TRUE;
}

static BOOLEAN StartChain(COPY_STATE *State, PNDIS_BUFFER First) {
  PVOID Address = NULL;
  UINT Length = 0;
  if (First) NdisQueryBuffer(First, &Address, &Length);
  State->Buffer = First;
  State->Bytes = (PUCHAR)Address;
  State->Remaining = Length;
  State->Holding = FALSE;
  State->Held = 0;
  return First != NULL && NextNonEmptyBuffer(State);
}

// Total of the byte counts of a chain.
static ULONG ChainLength(PNDIS_BUFFER Buffer) {
  ULONG Total = 0;
  while (Buffer) {
    PVOID Address;
    UINT Length;
    NdisQueryBuffer(Buffer, &Address, &Length);
    Total += Length;
    NdisGetNextBuffer(Buffer, &Buffer);
  }
  return Total;
}

// Copies the first Count bytes of the chain into Header without moving the copy state.
static VOID PeekBytes(const COPY_STATE *State, PUCHAR Header, UINT Count) {
  COPY_STATE Walk = *State;
  while (Count > 0 && NextNonEmptyBuffer(&Walk)) {
    UINT Run = Walk.Remaining < Count ? Walk.Remaining : Count;
    memcpy(Header, Walk.Bytes, Run);
    Header += Run;
    Count -= Run;
    Walk.Bytes += Run;
    Walk.Remaining -= Run;
  }
}

// Writes one run of contiguous bytes. A byte held back from the previous run is joined with the
// run's first byte; an odd last byte is held back for the next run. String writes take their
// words from an even address, through the bounce area when the run starts at an odd one.
static VOID WriteRun(COPY_STATE *State, const UCHAR *Bytes, UINT Count) {
  if (Count == 0) return;
  if (State->Holding) {
    UCHAR Joined[2] = {State->Held, Bytes[0]};
    WRITE_PORT_USHORT(State->Data, GetLeWord(Joined));
    State->Holding = FALSE;
    Bytes++;
    Count--;
  }
  UINT Words = Count / 2;
  if (Words > 0) {
    const UCHAR *Source = Bytes;
    if ((ULONG_PTR)Bytes & 1) {
      memcpy(State->Bounce, Bytes, Words * 2);
      Source = State->Bounce;
    }
    WRITE_PORT_BUFFER_USHORT(State->Data, (PUSHORT)Source, Words);
  }
  if (Count & 1) {
    State->Held = Bytes[Count - 1];
    State->Holding = TRUE;
  }
}

// Writes the next Count bytes of the packet, across as many buffers as they span.
static VOID WriteBytes(COPY_STATE *State, UINT Count) {
  while (Count > 0 && NextNonEmptyBuffer(State)) {
    UINT Run = State->Remaining < Count ? State->Remaining : Count;
    WriteRun(State, State->Bytes, Run);
    State->Bytes += Run;
    State->Remaining -= Run;
    Count -= Run;
  }
}

BOOLEAN CopyPacketToBuffer(PADAPTER Adapter, USHORT Fid, USHORT Start, PNDIS_PACKET Packet, PUINT Length) {
  alignas(2) UCHAR Bounce[ETHERNET_MAX_FRAME_SIZE];
  const ACCESS_PATH *Path;
  BOOLEAN Ok = FALSE;

  *Length = 0;
  Path = ClaimAccessPath(Adapter);
  if (!Path) return FALSE;

  for (ULONG Attempt = 0; Attempt < TX_COPY_ATTEMPTS; Attempt++) {
    UINT PhysicalCount, BufferCount, Total;
    PNDIS_BUFFER First;
    COPY_STATE State;
    UCHAR Header[ETHERNET_HEADER_SIZE];

    NdisQueryPacket(Packet, &PhysicalCount, &BufferCount, &First, &Total);
    if (Total == 0) {
      Ok = TRUE;
      break;
    }
    // Neither a runt without a whole header nor more than an Ethernet frame may reach the controller.
    if (Total < ETHERNET_HEADER_SIZE || Total > ETHERNET_MAX_FRAME_SIZE) break;

    WriteRegister(Adapter, Path->Select, Fid);
    WriteRegister(Adapter, Path->Offset, Start);
    if (!WaitForSeek(Adapter, Path)) break;

    State.Data = RegisterAddress(Adapter, Path->Data);
    State.Bounce = Bounce;
    if (!StartChain(&State, First)) {
      Ok = TRUE;
      break;
    }
    if (ChainLength(First) != Total) break;

    // The header may be spread over several buffers.
    PeekBytes(&State, Header, ETHERNET_HEADER_SIZE);
    USHORT TypeOrLength = GetBeWord(Header + ETHERNET_ADDRESSES_SIZE);
    BOOLEAN Converted = TypeOrLength > ETHERNET_MAX_LENGTH_FIELD;

    if (Converted) {
      // 802.3 length (big-endian in the buffer), then the SNAP header; the type field follows
      // as the first two bytes of the rest of the packet.
      UCHAR LengthField[2] = {(UCHAR)((Total - 6) >> 8), (UCHAR)((Total - 6) & 0xFF)};
      const UCHAR *Snap =
          (TypeOrLength == ETHERTYPE_IPX || TypeOrLength == ETHERTYPE_AARP) ? SnapTunnel : SnapRfc1042;

      WriteBytes(&State, ETHERNET_ADDRESSES_SIZE);
      WRITE_PORT_USHORT(State.Data, GetLeWord(LengthField));
      WRITE_PORT_BUFFER_USHORT(State.Data, (PUSHORT)Snap, SNAP_HEADER_SIZE / 2);
      WriteBytes(&State, Total - ETHERNET_ADDRESSES_SIZE);
    } else {
      WriteBytes(&State, Total);
    }
    if (State.Holding) WRITE_PORT_USHORT(State.Data, State.Held);

    // The trailer is the new tag and six zero bytes; reading the tag back at the place the
    // frame's length says it must be proves every byte went where it should.
    USHORT Tag = (USHORT)(Adapter->TransmitTag + 1);
    if (Tag == 0) Tag = 1;
    Adapter->TransmitTag = Tag;
    alignas(2) UCHAR Trailer[TX_TRAILER_SIZE];
    memset(Trailer, 0, sizeof(Trailer));
    PutLeWord(Trailer, Tag);
    WRITE_PORT_BUFFER_USHORT(State.Data, (PUSHORT)Trailer, TX_TRAILER_SIZE / 2);

    USHORT TrailerOffset = (USHORT)((Start + Total + 1) & 0xFFFE);
    if (Converted) TrailerOffset = (USHORT)(TrailerOffset + SNAP_ENCAPSULATION_SIZE);
    WriteRegister(Adapter, Path->Offset, TrailerOffset);
    WaitForSeek(Adapter, Path);
    if (READ_PORT_USHORT(State.Data) == Tag) {
      *Length = Total;
      Ok = TRUE;
      break;
    }
  }

  ReleaseAccessPath(Adapter, Path);
  return Ok;
}

// ---------------------------------------------------------------------------------------------
// Transmission
// ---------------------------------------------------------------------------------------------

PNDIS_PACKET TransmitNext(PADAPTER Adapter, PNDIS_STATUS Status) {
  *Status = NDIS_STATUS_SUCCESS;
  if (!Adapter->SendQueueHead) return NULL;

  if (Adapter->TransmitSuppressed) {
    CompleteQueuedSends(Adapter, NDIS_STATUS_SUCCESS);
    return NULL;
  }
  if (!Adapter->TxSlotsReady) return NULL;

  // The controller must not interrupt while the buffer is being filled.
  USHORT SavedMask = ReadRegister(Adapter, REG_INT_ENABLE);
  WriteRegister(Adapter, REG_INT_ENABLE, 0);

  PTX_SLOT Slot = Adapter->TxSlotsReady;
  Adapter->TxSlotsReady = Slot->Next;
  Adapter->TxFid = Slot->Fid;
  PNDIS_PACKET Packet = DequeuePacket(Adapter);

  memset(Adapter->TxDescriptor, 0, sizeof(Adapter->TxDescriptor));
  PutLeWord(Adapter->TxDescriptor + 12, 0);

  UINT Length;
  if (BufferWrite(Adapter, Adapter->TxFid, 0, Adapter->TxDescriptor, sizeof(Adapter->TxDescriptor)) &&
      CopyPacketToBuffer(Adapter, Adapter->TxFid, TX_FRAME_OFFSET, Packet, &Length)) {
    USHORT CommandStatus = 0;
    Slot->Next = Adapter->TxSlotsAwaitingBuffer;
    Adapter->TxSlotsAwaitingBuffer = Slot;
    // A command refused with a result leaves the buffer with the driver, and no allocation event
    // will bring it back: the slot is ready again. One that never completed may still go out.
    if (!IssueCommand1(Adapter, CMD_TRANSMIT, Adapter->TxFid, &CommandStatus) &&
        (CommandStatus & STATUS_RESULT_MASK) != 0) {
      Adapter->TxSlotsAwaitingBuffer = Slot->Next;
      Slot->Next = Adapter->TxSlotsReady;
      Adapter->TxSlotsReady = Slot;
      *Status = NDIS_STATUS_FAILURE;
    }
  } else {
    // The frame is dropped; its buffer is still free for the next one.
    Slot->Next = Adapter->TxSlotsReady;
    Adapter->TxSlotsReady = Slot;
    *Status = NDIS_STATUS_FAILURE;
  }

  WriteRegister(Adapter, REG_INT_ENABLE, SavedMask);
  return Packet;
}

NDIS_STATUS NTAPI MiniportSend(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet, UINT Flags) {
  PADAPTER Adapter = (PADAPTER)MiniportAdapterContext;

  (void)Flags;
  SetPacketLink(Packet, NULL);
  if (Adapter->SendQueueHead) {
    SetPacketLink(Adapter->SendQueueTail, Packet);
  } else {
    Adapter->SendQueueHead = Packet;
  }
  Adapter->SendQueueTail = Packet;

  return TransmitQueued(Adapter, Packet);
}

NDIS_STATUS TransmitQueued(PADAPTER Adapter, PNDIS_PACKET Own) {
  NDIS_STATUS OwnStatus = NDIS_STATUS_PENDING;
  NDIS_STATUS Status;
  PNDIS_PACKET Taken = TransmitNext(Adapter, &Status);
  while (Taken) {
    if (Taken == Own) {
      OwnStatus = Status;
    } else {
      NdisMSendComplete(Adapter->MiniportAdapterHandle, Taken, Status);
    }
    // A frame on its way brings its buffer back with an allocation event, which sends the next.
    // A dropped frame leaves its buffer ready and no event will come for it, so the packets
    // queued behind it would wait for the next send: go on with them now.
    if (Status == NDIS_STATUS_SUCCESS) break;
    Taken = TransmitNext(Adapter, &Status);
  }
  return OwnStatus;
}
