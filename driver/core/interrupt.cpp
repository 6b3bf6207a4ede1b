// Interrupt entry points and the deferred handler that drains the controller's events by fixed
// priority: received frames, then returned transmit buffers, then information frames.
#include "teskel.h"

VOID NTAPI MiniportEnableInterrupt(NDIS_HANDLE MiniportAdapterContext) {
  PADAPTER Adapter = (PADAPTER)MiniportAdapterContext;
  WriteRegister(Adapter, REG_INT_ENABLE, Adapter->InterruptMask);
}

VOID NTAPI MiniportDisableInterrupt(NDIS_HANDLE MiniportAdapterContext) {
  WriteRegister((PADAPTER)MiniportAdapterContext, REG_INT_ENABLE, 0);
}

// Registered but not requested; if NDIS calls it anyway, the line is ours.
VOID NTAPI MiniportISR(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt,
                       NDIS_HANDLE MiniportAdapterContext) {
  WriteRegister((PADAPTER)MiniportAdapterContext, REG_INT_ENABLE, 0);
  *InterruptRecognized = TRUE;
  *QueueMiniportHandleInterrupt = TRUE;
}

// ---------------------------------------------------------------------------------------------
// Event handlers
// ---------------------------------------------------------------------------------------------

static VOID HandleReceiveEvent(PADAPTER Adapter) {
  ReceiveFrame(Adapter);
  Adapter->PendingEvents &= (USHORT)~EV_RX;
  WriteRegister(Adapter, REG_EVENT_ACK, EV_RX);
  NdisMEthIndicateReceiveComplete(Adapter->MiniportAdapterHandle);
}

static VOID HandleAllocEvent(PADAPTER Adapter) {
  PTX_SLOT Slot = Adapter->TxSlotsAwaitingBuffer;
  if (Slot) {
    Slot->Fid = ReadRegister(Adapter, REG_ALLOC_FID);
    Adapter->TxSlotsAwaitingBuffer = Slot->Next;
    Slot->Next = Adapter->TxSlotsReady;
    Adapter->TxSlotsReady = Slot;
  }
  WriteRegister(Adapter, REG_EVENT_ACK, EV_ALLOC);

  TransmitQueued(Adapter, NULL);
  Adapter->PendingEvents &= (USHORT)~EV_ALLOC;
}

static VOID HandleInfoEvent(PADAPTER Adapter) {
  alignas(4) UCHAR Frame[RECORD_BUFFER_SIZE];
  USHORT Fid = ReadRegister(Adapter, REG_INFO_FID);
  BOOLEAN Ok = BufferRead(Adapter, Fid, 0, Frame, sizeof(Frame));

  Adapter->PendingEvents &= (USHORT)~EV_INFO;
  WriteRegister(Adapter, REG_EVENT_ACK, EV_INFO);

  if (!Ok) {
    NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_HARDWARE_FAILURE, 0);
    return;
  }
  switch (GetLeWord(Frame + 2)) {
    case INFO_TYPE_TALLIES:
      // Counters wrap at 32 bits, as the status publishing expects.
      for (ULONG i = 0; i < TALLY_REPORT_COUNT; i++) Adapter->Tallies[i] += GetLeWord(Frame + 4 + 2 * i);
      break;
    case INFO_TYPE_LINK_STATUS:
      Adapter->LinkStatus = GetLeWord(Frame + 4);
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// Deferred handler
// ---------------------------------------------------------------------------------------------

VOID NTAPI MiniportHandleInterrupt(NDIS_HANDLE MiniportAdapterContext) {
  PADAPTER Adapter = (PADAPTER)MiniportAdapterContext;

  Adapter->PendingEvents |= ReadRegister(Adapter, REG_EVENT_STATUS);
  for (;;) {
    if (Adapter->PendingEvents & EV_RX) {
      HandleReceiveEvent(Adapter);
    } else if (Adapter->PendingEvents & EV_ALLOC) {
      HandleAllocEvent(Adapter);
    } else if (Adapter->PendingEvents & EV_INFO) {
      HandleInfoEvent(Adapter);
    } else {
      return;
    }
    Adapter->PendingEvents |= ReadRegister(Adapter, REG_EVENT_STATUS);
  }
}
