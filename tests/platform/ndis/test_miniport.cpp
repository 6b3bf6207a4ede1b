// The test miniport: registers its entry points, brings its fake card up from the NDIS
// configuration, serves sends, receives and interrupts, and records each entry point it runs.
#include "test_miniport.h"

#include <ceddk.h>

#include <cstring>

namespace ndistest {

Script script;
std::vector<std::string> trace;

void resetScript() {
  script = Script{};
  trace.clear();
}

std::uint16_t FakeCard::readPort16(std::uint32_t offset) {
  switch (offset) {
    case kRegStatus: return status_;
    case kRegEnable: return enable_;
    case kRegOffset: return offset_;
    case kRegLength: return static_cast<std::uint16_t>(frame.size());
    case kRegData: {
      std::uint16_t v = offset_ < frame.size() ? frame[offset_] : 0xFF;
      ++offset_;
      return v;
    }
  }
  return 0xFFFF;
}

void FakeCard::writePort16(std::uint32_t offset, std::uint16_t value) {
  switch (offset) {
    case kRegStatus:
      status_ &= static_cast<std::uint16_t>(~value);
      update();
      break;
    case kRegEnable:
      enable_ = value;
      update();
      break;
    case kRegOffset:
      offset_ = value;
      break;
  }
}

namespace {

NDIS_HANDLE g_wrapper;

PUSHORT reg(TestAdapter *a, std::uint16_t offset) {
  // A port number, not memory: computed as a number so no alignment is implied.
  return reinterpret_cast<PUSHORT>(reinterpret_cast<std::uintptr_t>(a->PortBase) + offset);
}

void entered(const char *name, TestAdapter *a) {
  trace.emplace_back(name);
  if (script.onEntry) script.onEntry(name, a);
}

BOOLEAN readHex(NDIS_HANDLE config, PCWSTR keyword, UINT *value) {
  NDIS_STRING name;
  NdisInitUnicodeString(&name, keyword);
  NDIS_STATUS status;
  PNDIS_CONFIGURATION_PARAMETER p = nullptr;
  NdisReadConfiguration(&status, &p, config, &name, NdisParameterHexInteger);
  if (status != NDIS_STATUS_SUCCESS) return FALSE;
  *value = p->ParameterData.IntegerData;
  return TRUE;
}

void timerFunction(PVOID, PVOID context, PVOID, PVOID) {
  auto *tag = static_cast<const char *>(context);
  trace.push_back(std::string("Timer") + tag);
  if (script.onEntry) script.onEntry(std::string("Timer") + tag, nullptr);
}

NDIS_STATUS MiniportInitialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex, PNDIS_MEDIUM MediumArray,
                               UINT MediumArraySize, NDIS_HANDLE MiniportAdapterHandle,
                               NDIS_HANDLE WrapperConfigurationContext) {
  (void)OpenErrorStatus;
  entered("Initialize", nullptr);
  if (script.duringInitialize) script.duringInitialize(WrapperConfigurationContext);
  UINT medium = 0;
  while (medium < MediumArraySize && MediumArray[medium] != NdisMedium802_3) ++medium;
  if (medium == MediumArraySize) return NDIS_STATUS_UNSUPPORTED_MEDIA;
  *SelectedMediumIndex = medium;

  TestAdapter *a = nullptr;
  NDIS_PHYSICAL_ADDRESS highest = NDIS_PHYSICAL_ADDRESS_CONST(-1, -1);
  NDIS_STATUS status = NdisAllocateMemory(reinterpret_cast<PVOID *>(&a), sizeof(TestAdapter), 0, highest);
  if (status != NDIS_STATUS_SUCCESS) {
    NdisWriteErrorLogEntry(MiniportAdapterHandle, NDIS_ERROR_CODE_OUT_OF_RESOURCES, 1, 3);
    return status;
  }
  NdisZeroMemory(a, sizeof(TestAdapter));
  a->Handle = MiniportAdapterHandle;

  NDIS_HANDLE config;
  NdisOpenConfiguration(&status, &config, WrapperConfigurationContext);
  if (status != NDIS_STATUS_SUCCESS) {
    NdisFreeMemory(a, sizeof(TestAdapter), 0);
    NdisWriteErrorLogEntry(MiniportAdapterHandle, NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION, 1, 23);
    return status;
  }
  if (!readHex(config, u"IoBaseAddress", &a->IoBase) || !readHex(config, u"InterruptNumber", &a->Line)) {
    NdisCloseConfiguration(config);
    NdisFreeMemory(a, sizeof(TestAdapter), 0);
    NdisWriteErrorLogEntry(MiniportAdapterHandle, NDIS_ERROR_CODE_MISSING_CONFIGURATION_PARAMETER, 2, 1, 2);
    return NDIS_STATUS_FAILURE;
  }
  NdisCloseConfiguration(config);

  NdisMSetAttributes(MiniportAdapterHandle, a, FALSE, NdisInterfacePcMcia);
  status = NdisMRegisterIoPortRange(&a->PortBase, MiniportAdapterHandle, a->IoBase, kPortCount);
  if (status != NDIS_STATUS_SUCCESS) {
    NdisFreeMemory(a, sizeof(TestAdapter), 0);
    return status;
  }
  if (script.registerInterrupt) {
    status = NdisMRegisterInterrupt(&a->Interrupt, MiniportAdapterHandle, a->Line, a->Line, script.requestIsr, FALSE,
                                    NdisInterruptLevelSensitive);
    if (status != NDIS_STATUS_SUCCESS) {
      NdisWriteErrorLogEntry(MiniportAdapterHandle, NDIS_ERROR_CODE_INTERRUPT_CONNECT, 0);
      NdisMDeregisterIoPortRange(MiniportAdapterHandle, a->IoBase, kPortCount, a->PortBase);
      NdisFreeMemory(a, sizeof(TestAdapter), 0);
      return status;
    }
  }
  NdisMInitializeTimer(&a->TimerA, MiniportAdapterHandle, timerFunction, const_cast<char *>("A"));
  NdisMInitializeTimer(&a->TimerB, MiniportAdapterHandle, timerFunction, const_cast<char *>("B"));
  WRITE_PORT_USHORT(reg(a, kRegEnable), 0xFFFF);
  return NDIS_STATUS_SUCCESS;
}

VOID MiniportHalt(NDIS_HANDLE context) {
  auto *a = static_cast<TestAdapter *>(context);
  entered("Halt", a);
  WRITE_PORT_USHORT(reg(a, kRegEnable), 0);
  if (!script.keepTimer) {
    BOOLEAN cancelled;
    NdisMCancelTimer(&a->TimerA, &cancelled);
    NdisMCancelTimer(&a->TimerB, &cancelled);
  }
  if (script.registerInterrupt && !script.keepInterrupt) NdisMDeregisterInterrupt(&a->Interrupt);
  if (!script.keepPorts) NdisMDeregisterIoPortRange(a->Handle, a->IoBase, kPortCount, a->PortBase);
  if (!script.leakMemory) NdisFreeMemory(a, sizeof(TestAdapter), 0);
}

VOID MiniportDisableInterrupt(NDIS_HANDLE context) {
  auto *a = static_cast<TestAdapter *>(context);
  entered("Disable", a);
  if (script.maskInDisable) WRITE_PORT_USHORT(reg(a, kRegEnable), 0);
}

VOID MiniportEnableInterrupt(NDIS_HANDLE context) {
  auto *a = static_cast<TestAdapter *>(context);
  entered("Enable", a);
  WRITE_PORT_USHORT(reg(a, kRegEnable), 0xFFFF);
}

VOID MiniportISR(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt, NDIS_HANDLE context) {
  auto *a = static_cast<TestAdapter *>(context);
  entered("ISR", a);
  WRITE_PORT_USHORT(reg(a, kRegEnable), 0);
  *InterruptRecognized = TRUE;
  *QueueMiniportHandleInterrupt = TRUE;
}

void indicate(TestAdapter *a) {
  // The frame: 14 header bytes, then the body.
  WRITE_PORT_USHORT(reg(a, kRegOffset), 0);
  for (UINT i = 0; i < sizeof a->Header; ++i) a->Header[i] = static_cast<UCHAR>(READ_PORT_USHORT(reg(a, kRegData)));
  UINT frameSize = READ_PORT_USHORT(reg(a, kRegLength));
  a->BodySize = frameSize > sizeof a->Header ? frameSize - sizeof a->Header : 0;
  UINT look = script.lookahead < a->BodySize ? script.lookahead : a->BodySize;
  for (UINT i = 0; i < look; ++i) a->Lookahead[i] = static_cast<UCHAR>(READ_PORT_USHORT(reg(a, kRegData)));
  if (script.beforeIndicate) script.beforeIndicate(a);
  EthFilterDprIndicateReceive(reinterpret_cast<PNDIS_MINIPORT_BLOCK>(a->Handle)->EthDB, a,
                              reinterpret_cast<PCHAR>(a->Header), a->Header, sizeof a->Header, a->Lookahead, look,
                              a->BodySize);
}

VOID MiniportHandleInterrupt(NDIS_HANDLE context) {
  auto *a = static_cast<TestAdapter *>(context);
  entered("Handle", a);
  for (;;) {
    USHORT events = READ_PORT_USHORT(reg(a, kRegStatus));
    USHORT event = (events & kEvReceive) ? kEvReceive : (events & kEvSendDone) ? kEvSendDone : events & kEvOther;
    if (!event) break;
    if (event == kEvReceive) indicate(a);
    if (script.ackEvents) WRITE_PORT_USHORT(reg(a, kRegStatus), event);
    if (event == kEvReceive) NdisMEthIndicateReceiveComplete(a->Handle);
    if (event == kEvSendDone && a->PendingCount) {
      PNDIS_PACKET p = a->Pending[0];
      std::memmove(a->Pending, a->Pending + 1, (a->PendingCount - 1) * sizeof(PNDIS_PACKET));
      --a->PendingCount;
      NdisMSendComplete(a->Handle, p, NDIS_STATUS_SUCCESS);
    }
    if (script.oneEventPerHandle || !script.ackEvents) break;
  }
}

NDIS_STATUS MiniportSend(NDIS_HANDLE context, PNDIS_PACKET Packet, UINT Flags) {
  (void)Flags;
  auto *a = static_cast<TestAdapter *>(context);
  entered("Send", a);
  if (script.completeInSend) {
    NdisMSendComplete(a->Handle, Packet, NDIS_STATUS_SUCCESS);
  } else if (script.sendStatus == NDIS_STATUS_PENDING && a->PendingCount < 16) {
    a->Pending[a->PendingCount++] = Packet;
  }
  return script.sendStatus;
}

NDIS_STATUS MiniportQueryInformation(NDIS_HANDLE context, NDIS_OID Oid, PVOID Buffer, ULONG Length,
                                     PULONG BytesWritten, PULONG BytesNeeded) {
  auto *a = static_cast<TestAdapter *>(context);
  entered("Query", a);
  if (Length < sizeof(ULONG)) {
    *BytesNeeded = sizeof(ULONG);
    return NDIS_STATUS_INVALID_LENGTH;
  }
  ULONG value = Oid ^ a->LastSet;
  std::memcpy(Buffer, &value, sizeof value);
  *BytesWritten = sizeof(ULONG);
  return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS MiniportSetInformation(NDIS_HANDLE context, NDIS_OID Oid, PVOID Buffer, ULONG Length, PULONG BytesRead,
                                   PULONG BytesNeeded) {
  (void)Oid;
  auto *a = static_cast<TestAdapter *>(context);
  entered("Set", a);
  if (Length < sizeof(ULONG)) {
    *BytesNeeded = sizeof(ULONG);
    return NDIS_STATUS_INVALID_LENGTH;
  }
  std::memcpy(&a->LastSet, Buffer, sizeof(ULONG));
  *BytesRead = sizeof(ULONG);
  return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS MiniportReset(PBOOLEAN AddressingReset, NDIS_HANDLE context) {
  auto *a = static_cast<TestAdapter *>(context);
  entered("Reset", a);
  *AddressingReset = TRUE;
  return NDIS_STATUS_SUCCESS;
}

// Reads from the card, through its ports, the body bytes the protocol asks for.
NDIS_STATUS MiniportTransferData(PNDIS_PACKET Packet, PUINT BytesTransferred, NDIS_HANDLE context,
                                 NDIS_HANDLE ReceiveContext, UINT ByteOffset, UINT BytesToTransfer) {
  auto *a = static_cast<TestAdapter *>(context);
  entered("TransferData", a);
  *BytesTransferred = 0;
  if (ReceiveContext != a || ByteOffset + BytesToTransfer > a->BodySize) return NDIS_STATUS_FAILURE;
  PNDIS_BUFFER buffer;
  NdisQueryPacket(Packet, nullptr, nullptr, &buffer, nullptr);
  WRITE_PORT_USHORT(reg(a, kRegOffset), static_cast<USHORT>(sizeof a->Header + ByteOffset));
  UINT left = BytesToTransfer;
  while (buffer && left) {
    PVOID va;
    UINT length;
    NdisQueryBuffer(buffer, &va, &length);
    UINT n = length < left ? length : left;
    for (UINT i = 0; i < n; ++i) static_cast<PUCHAR>(va)[i] = static_cast<UCHAR>(READ_PORT_USHORT(reg(a, kRegData)));
    left -= n;
    *BytesTransferred += n;
    NdisGetNextBuffer(buffer, &buffer);
  }
  return NDIS_STATUS_SUCCESS;
}

}  // namespace

NDIS_MINIPORT_CHARACTERISTICS characteristics() {
  NDIS_MINIPORT_CHARACTERISTICS c;
  NdisZeroMemory(&c, sizeof c);
  c.Ndis30Chars.MajorNdisVersion = 4;
  c.Ndis30Chars.MinorNdisVersion = 0;
  c.Ndis30Chars.DisableInterruptHandler = MiniportDisableInterrupt;
  c.Ndis30Chars.EnableInterruptHandler = MiniportEnableInterrupt;
  c.Ndis30Chars.HaltHandler = MiniportHalt;
  c.Ndis30Chars.HandleInterruptHandler = MiniportHandleInterrupt;
  c.Ndis30Chars.InitializeHandler = MiniportInitialize;
  c.Ndis30Chars.ISRHandler = MiniportISR;
  c.Ndis30Chars.QueryInformationHandler = MiniportQueryInformation;
  c.Ndis30Chars.ResetHandler = MiniportReset;
  c.Ndis30Chars.SendHandler = MiniportSend;
  c.Ndis30Chars.SetInformationHandler = MiniportSetInformation;
  c.Ndis30Chars.TransferDataHandler = MiniportTransferData;
  return c;
}

NDIS_STATUS DriverEntry(PVOID DriverObject, PVOID RegistryPath) {
  NdisInitializeWrapper(&g_wrapper, DriverObject, RegistryPath, nullptr);
  NDIS_MINIPORT_CHARACTERISTICS c = characteristics();
  return NdisMRegisterMiniport(g_wrapper, &c, sizeof c) == NDIS_STATUS_SUCCESS ? NDIS_STATUS_SUCCESS
                                                                                : NDIS_STATUS_FAILURE;
}

}  // namespace ndistest
