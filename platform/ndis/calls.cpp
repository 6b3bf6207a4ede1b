// The NDIS wrapper calls a miniport makes: registration, memory, error log, port ranges,
// interrupts, timers, stalls and the Ethernet filter, served by the host current on this thread.
#include <cstdarg>
#include <cstring>

#include "host_internal.h"

using namespace teskel::ndis;
using teskel::EventLoop;
using teskel::Micros;

namespace {

// The NDIS 4.0 handlers a miniport of this platform must provide.
struct RequiredHandler {
  const char *name;
  bool (*present)(const NDIS_MINIPORT_CHARACTERISTICS &);
};
const RequiredHandler kRequired[] = {
    {"InitializeHandler", [](const auto &c) { return c.Ndis30Chars.InitializeHandler != nullptr; }},
    {"HaltHandler", [](const auto &c) { return c.Ndis30Chars.HaltHandler != nullptr; }},
    {"SendHandler", [](const auto &c) { return c.Ndis30Chars.SendHandler != nullptr; }},
    {"QueryInformationHandler", [](const auto &c) { return c.Ndis30Chars.QueryInformationHandler != nullptr; }},
    {"SetInformationHandler", [](const auto &c) { return c.Ndis30Chars.SetInformationHandler != nullptr; }},
    {"ResetHandler", [](const auto &c) { return c.Ndis30Chars.ResetHandler != nullptr; }},
    {"TransferDataHandler", [](const auto &c) { return c.Ndis30Chars.TransferDataHandler != nullptr; }},
    {"HandleInterruptHandler", [](const auto &c) { return c.Ndis30Chars.HandleInterruptHandler != nullptr; }},
    {"DisableInterruptHandler", [](const auto &c) { return c.Ndis30Chars.DisableInterruptHandler != nullptr; }},
    {"EnableInterruptHandler", [](const auto &c) { return c.Ndis30Chars.EnableInterruptHandler != nullptr; }},
};

TimerRecord &timerRecord(Host::Impl &host, PNDIS_MINIPORT_TIMER timer, const char *call) {
  auto it = host.timers.find(timer);
  if (it == host.timers.end() || timer->HostTimer != it->second.get()) {
    verifierAbort(format("%s on timer %s, which NdisMInitializeTimer never set up", call, hexPointer(timer).c_str()));
  }
  return *it->second;
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------- registration

VOID NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1, PVOID SystemSpecific2,
                           PVOID SystemSpecific3) {
  (void)SystemSpecific2;
  (void)SystemSpecific3;
  auto &host = currentHost("NdisInitializeWrapper");
  Driver::Impl *driver = host.driverFromObject(SystemSpecific1);
  if (!driver) {
    host.report(format("NdisInitializeWrapper with %s, which is not the driver object DriverEntry was given",
                       hexPointer(SystemSpecific1).c_str()));
    *NdisWrapperHandle = nullptr;
    return;
  }
  driver->wrapperInitialized = true;
  driver->wrapperTerminated = false;
  *NdisWrapperHandle = &driver->wrapper;
}

VOID NdisTerminateWrapper(NDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific) {
  (void)SystemSpecific;
  auto &host = currentHost("NdisTerminateWrapper");
  Driver::Impl *driver = host.driverFromWrapper(NdisWrapperHandle);
  if (!driver) {
    host.report(format("NdisTerminateWrapper with %s, which is not a wrapper handle",
                       hexPointer(NdisWrapperHandle).c_str()));
    return;
  }
  driver->wrapperTerminated = true;
}

NDIS_STATUS NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                  PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                  UINT CharacteristicsLength) {
  auto &host = currentHost("NdisMRegisterMiniport");
  Driver::Impl *driver = host.driverFromWrapper(NdisWrapperHandle);
  if (!driver || driver->wrapperTerminated) {
    host.report(format("NdisMRegisterMiniport with %s, which is not an initialised wrapper handle",
                       hexPointer(NdisWrapperHandle).c_str()));
    return NDIS_STATUS_FAILURE;
  }
  if (auto failed = host.takeFailure(Call::RegisterMiniport)) return *failed;
  if (!MiniportCharacteristics) return NDIS_STATUS_BAD_CHARACTERISTICS;
  const auto &c = *MiniportCharacteristics;
  if (c.Ndis30Chars.MajorNdisVersion != 4 || c.Ndis30Chars.MinorNdisVersion != 0) return NDIS_STATUS_BAD_VERSION;
  if (CharacteristicsLength < sizeof(NDIS_MINIPORT_CHARACTERISTICS)) return NDIS_STATUS_BAD_CHARACTERISTICS;
  for (auto &r : kRequired) {
    if (!r.present(c)) return NDIS_STATUS_BAD_CHARACTERISTICS;
  }
  if (driver->registered) {
    host.report(format("%s: NdisMRegisterMiniport called again after a successful registration",
                       driver->name.c_str()));
    return NDIS_STATUS_FAILURE;
  }
  driver->characteristics = c;
  driver->registered = true;
  return NDIS_STATUS_SUCCESS;
}

VOID NdisMSetAttributes(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext, BOOLEAN BusMaster,
                        NDIS_INTERFACE_TYPE AdapterType) {
  (void)BusMaster;
  (void)AdapterType;
  auto &host = currentHost("NdisMSetAttributes");
  auto *a = host.adapterFromHandle(MiniportAdapterHandle, "NdisMSetAttributes");
  if (a->state != Adapter::State::Initializing) {
    host.report(format("%s: NdisMSetAttributes outside MiniportInitialize", a->name.c_str()));
  }
  a->context = MiniportAdapterContext;
  a->attributesSet = true;
}

// ---------------------------------------------------------------- memory

NDIS_STATUS NdisAllocateMemory(PVOID *VirtualAddress, UINT Length, UINT MemoryFlags,
                               NDIS_PHYSICAL_ADDRESS HighestAcceptableAddress) {
  (void)MemoryFlags;
  (void)HighestAcceptableAddress;
  auto &host = currentHost("NdisAllocateMemory");
  *VirtualAddress = nullptr;
  if (auto failed = host.takeFailure(Call::AllocateMemory)) return *failed;
  if (Length == 0) return NDIS_STATUS_FAILURE;
  std::unique_ptr<std::byte[]> memory(new std::byte[Length]);
  // Fresh memory is not zero, as on the handheld: a miniport must clear what it relies on.
  std::memset(memory.get(), 0xA5, Length);
  void *p = memory.get();
  host.memory.emplace(p, Allocation{std::move(memory), Length, host.current});
  *VirtualAddress = p;
  return NDIS_STATUS_SUCCESS;
}

VOID NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags) {
  (void)MemoryFlags;
  auto &host = currentHost("NdisFreeMemory");
  auto it = host.memory.find(VirtualAddress);
  if (it == host.memory.end()) {
    verifierAbort(format("NdisFreeMemory of %s, which NdisAllocateMemory did not give or which was freed already",
                         hexPointer(VirtualAddress).c_str()));
  }
  if (it->second.length != Length) {
    host.report(format("NdisFreeMemory of %s with length %u; it was allocated with %u",
                       hexPointer(VirtualAddress).c_str(), Length, it->second.length));
  }
  host.memory.erase(it);
}

// ---------------------------------------------------------------- error log

VOID NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode, ULONG NumberOfErrorValues,
                            ...) {
  auto &host = currentHost("NdisWriteErrorLogEntry");
  ErrorLogEntry entry;
  entry.code = ErrorCode;
  entry.time = host.loop.now();
  for (auto &a : host.adapters) {
    if (a->handle() == NdisAdapterHandle) entry.adapter = a->name();
  }
  if (entry.adapter.empty()) {
    host.report(format("NdisWriteErrorLogEntry with %s, which is not an adapter handle",
                       hexPointer(NdisAdapterHandle).c_str()));
  }
  va_list ap;
  va_start(ap, NumberOfErrorValues);
  for (ULONG i = 0; i < NumberOfErrorValues; ++i) entry.values.push_back(va_arg(ap, ULONG));
  va_end(ap);
  host.errorLog.push_back(entry);
  if (host.errorLogListener) host.errorLogListener(host.errorLog.back());
}

// ---------------------------------------------------------------- port ranges

NDIS_STATUS NdisMRegisterIoPortRange(PVOID *PortOffset, NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort,
                                     UINT NumberOfPorts) {
  auto &host = currentHost("NdisMRegisterIoPortRange");
  auto *a = host.adapterFromHandle(MiniportAdapterHandle, "NdisMRegisterIoPortRange");
  if (auto failed = host.takeFailure(Call::RegisterIoPortRange)) return *failed;
  if (NumberOfPorts == 0 || InitialPort + NumberOfPorts < InitialPort) return NDIS_STATUS_FAILURE;
  for (auto &claim : host.ports) {
    if (InitialPort < claim.first + claim.count && claim.first < InitialPort + NumberOfPorts) {
      return NDIS_STATUS_RESOURCE_CONFLICT;
    }
  }
  // The socket maps the card's window; the range must lie wholly on a mapped device.
  for (UINT p = InitialPort; p < InitialPort + NumberOfPorts; ++p) {
    if (!host.bus.isMapped(p)) return NDIS_STATUS_FAILURE;
  }
  host.ports.push_back(PortClaim{a, InitialPort, NumberOfPorts});
  *PortOffset = reinterpret_cast<PVOID>(static_cast<std::uintptr_t>(InitialPort));
  return NDIS_STATUS_SUCCESS;
}

VOID NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort, UINT NumberOfPorts,
                                PVOID PortOffset) {
  auto &host = currentHost("NdisMDeregisterIoPortRange");
  auto *a = host.adapterFromHandle(MiniportAdapterHandle, "NdisMDeregisterIoPortRange");
  for (auto it = host.ports.begin(); it != host.ports.end(); ++it) {
    if (it->owner != a || it->first != InitialPort || it->count != NumberOfPorts) continue;
    if (PortOffset != reinterpret_cast<PVOID>(static_cast<std::uintptr_t>(InitialPort))) {
      host.report(format("%s: NdisMDeregisterIoPortRange with port base %s; registration gave 0x%X", a->name.c_str(),
                         hexPointer(PortOffset).c_str(), InitialPort));
    }
    host.ports.erase(it);
    return;
  }
  host.report(format("%s: NdisMDeregisterIoPortRange of 0x%X (%u ports), which it does not hold", a->name.c_str(),
                     InitialPort, NumberOfPorts));
}

// ---------------------------------------------------------------- interrupts

NDIS_STATUS NdisMRegisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt, NDIS_HANDLE MiniportAdapterHandle,
                                   UINT InterruptVector, UINT InterruptLevel, BOOLEAN RequestIsr,
                                   BOOLEAN SharedInterrupt, NDIS_INTERRUPT_MODE InterruptMode) {
  (void)InterruptLevel;
  (void)SharedInterrupt;
  auto &host = currentHost("NdisMRegisterInterrupt");
  auto *a = host.adapterFromHandle(MiniportAdapterHandle, "NdisMRegisterInterrupt");
  if (!Interrupt) verifierAbort(a->name + ": NdisMRegisterInterrupt without an interrupt object");
  if (auto failed = host.takeFailure(Call::RegisterInterrupt)) return *failed;
  if (InterruptMode != NdisInterruptLevelSensitive) {
    host.report(format("%s: NdisMRegisterInterrupt in latched mode; the handheld's lines are level-sensitive",
                       a->name.c_str()));
    return NDIS_STATUS_NOT_SUPPORTED;
  }
  if (RequestIsr && !a->driver->characteristics.Ndis30Chars.ISRHandler) {
    host.report(format("%s: NdisMRegisterInterrupt asks for the ISR but the miniport has none", a->name.c_str()));
    return NDIS_STATUS_FAILURE;
  }
  if (host.interrupts.count(Interrupt)) {
    host.report(format("%s: NdisMRegisterInterrupt on an interrupt object that is registered already",
                       a->name.c_str()));
    return NDIS_STATUS_RESOURCE_CONFLICT;
  }
  for (auto &[obj, rec] : host.interrupts) {
    if (rec->line == InterruptVector) return NDIS_STATUS_RESOURCE_CONFLICT;
  }
  auto rec = std::make_shared<InterruptRecord>();
  rec->owner = a;
  rec->object = Interrupt;
  rec->line = InterruptVector;
  rec->requestIsr = RequestIsr != FALSE;
  host.interrupts.emplace(Interrupt, rec);
  Interrupt->HostInterrupt = rec.get();
  Interrupt->MiniportHandle = MiniportAdapterHandle;
  Interrupt->Vector = InterruptVector;
  Interrupt->Registered = TRUE;
  // A line already raised is served as soon as the current call is over.
  if (host.bus.irq(rec->line)) host.schedulePass(rec);
  return NDIS_STATUS_SUCCESS;
}

VOID NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt) {
  auto &host = currentHost("NdisMDeregisterInterrupt");
  auto it = host.interrupts.find(Interrupt);
  if (it == host.interrupts.end()) {
    host.report(format("NdisMDeregisterInterrupt of %s, which is not registered", hexPointer(Interrupt).c_str()));
    return;
  }
  auto rec = it->second;
  rec->registered = false;
  if (rec->pass) host.unpost(*rec->pass);
  rec->pass.reset();
  host.interrupts.erase(it);
  Interrupt->Registered = FALSE;
  Interrupt->HostInterrupt = nullptr;
}

// ---------------------------------------------------------------- timers and stalls

VOID NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer, NDIS_HANDLE MiniportAdapterHandle,
                          PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext) {
  auto &host = currentHost("NdisMInitializeTimer");
  auto *a = host.adapterFromHandle(MiniportAdapterHandle, "NdisMInitializeTimer");
  if (!Timer || !TimerFunction) verifierAbort(a->name + ": NdisMInitializeTimer without a timer or function");
  auto it = host.timers.find(Timer);
  if (it != host.timers.end() && it->second->task) {
    host.report(format("%s: NdisMInitializeTimer on timer %s while it is pending", a->name.c_str(),
                       hexPointer(Timer).c_str()));
    host.unpost(*it->second->task);
  }
  auto rec = std::make_unique<TimerRecord>();
  rec->owner = a;
  rec->timer = Timer;
  rec->function = TimerFunction;
  rec->context = FunctionContext;
  Timer->HostTimer = rec.get();
  Timer->TimerFunction = reinterpret_cast<PVOID>(TimerFunction);
  Timer->FunctionContext = FunctionContext;
  Timer->MiniportHandle = MiniportAdapterHandle;
  host.timers[Timer] = std::move(rec);
}

VOID NdisMSetTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondsToDelay) {
  auto &host = currentHost("NdisMSetTimer");
  auto &rec = timerRecord(host, Timer, "NdisMSetTimer");
  if (rec.task) host.unpost(*rec.task);
  TimerRecord *r = &rec;
  Host::Impl *h = &host;
  rec.task = host.post(static_cast<Micros>(MillisecondsToDelay) * 1000, [h, r] {
    r->task.reset();
    // The function may re-initialise or re-arm its own timer; call with copies.
    auto function = r->function;
    auto context = r->context;
    h->enter(r->owner, "timer function", [&] { function(nullptr, context, nullptr, nullptr); });
  });
}

VOID NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled) {
  auto &host = currentHost("NdisMCancelTimer");
  auto &rec = timerRecord(host, Timer, "NdisMCancelTimer");
  bool pending = rec.task.has_value();
  if (pending) host.unpost(*rec.task);
  rec.task.reset();
  if (TimerCancelled) *TimerCancelled = pending ? TRUE : FALSE;
}

VOID NdisStallExecution(UINT MicrosecondsToStall) {
  currentHost("NdisStallExecution").loop.stall(MicrosecondsToStall);
}

// ---------------------------------------------------------------- Ethernet filter

VOID EthFilterDprIndicateReceive(PETH_FILTER Filter, NDIS_HANDLE MacReceiveContext, PCHAR Address,
                                 PVOID HeaderBuffer, UINT HeaderBufferSize, PVOID LookaheadBuffer,
                                 UINT LookaheadBufferSize, UINT PacketSize) {
  (void)Address;
  auto &host = currentHost("EthFilterDprIndicateReceive");
  auto *a = host.adapterFromFilter(Filter, "EthFilterDprIndicateReceive");
  const char *name = a->name.c_str();
  if (!a->active) host.report(format("%s: receive indicated outside the adapter's entry points", name));
  if (HeaderBufferSize < 14 || !HeaderBuffer) {
    host.report(format("%s: receive indicated with a header of %u bytes; an Ethernet header has 14", name,
                       HeaderBufferSize));
    return;
  }
  if (LookaheadBufferSize && !LookaheadBuffer) {
    host.report(format("%s: receive indicated with %u lookahead bytes and no buffer", name, LookaheadBufferSize));
    return;
  }
  if (LookaheadBufferSize > PacketSize) {
    host.report(format("%s: receive indicated with %u lookahead bytes of a %u-byte packet", name, LookaheadBufferSize,
                       PacketSize));
  }
  ReceiveIndication indication;
  indication.receiveContext = MacReceiveContext;
  indication.header = {static_cast<const std::uint8_t *>(HeaderBuffer), HeaderBufferSize};
  indication.lookahead = {static_cast<const std::uint8_t *>(LookaheadBuffer), LookaheadBufferSize};
  indication.packetSize = PacketSize;
  a->receiveContext = MacReceiveContext;
  a->received = true;

  bool wasIndicating = a->indicating;
  a->indicating = true;
  std::vector<Binding> bindings;
  for (auto &[id, b] : a->bindings) bindings.push_back(b);
  for (auto &b : bindings) {
    if (b.receive) b.receive(*a->self, indication);
  }
  a->indicating = wasIndicating;
}

VOID EthFilterDprIndicateReceiveComplete(PETH_FILTER Filter) {
  auto &host = currentHost("EthFilterDprIndicateReceiveComplete");
  auto *a = host.adapterFromFilter(Filter, "EthFilterDprIndicateReceiveComplete");
  std::vector<Binding> bindings;
  for (auto &[id, b] : a->bindings) bindings.push_back(b);
  for (auto &b : bindings) {
    if (b.receiveComplete) b.receiveComplete(*a->self);
  }
}

}  // extern "C"
