// The NDIS host's C++ side: drivers and adapters, serialised entry-point calls, protocol
// bindings, and the verifier's bookkeeping of what each adapter holds.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include <winuser.h>

#include "host_internal.h"

namespace teskel::ndis {

namespace {

thread_local Host::Impl *t_current = nullptr;

// A level-sensitive line that is still raised after this many service passes in a row is
// stuck: the miniport never clears its cause. The host reports it and stops servicing the line
// until it falls and rises again.
constexpr unsigned kStormPasses = 10000;

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto la = (a[i] >= 'A' && a[i] <= 'Z') ? a[i] - 'A' + 'a' : a[i];
    auto lb = (b[i] >= 'A' && b[i] <= 'Z') ? b[i] - 'A' + 'a' : b[i];
    if (la != lb) return false;
  }
  return true;
}

NDIS_STATUS defaultFailure(Call call) {
  switch (call) {
    case Call::RegisterIoPortRange:
    case Call::RegisterInterrupt:
      return NDIS_STATUS_RESOURCE_CONFLICT;
    default:
      return NDIS_STATUS_FAILURE;
  }
}

VOID hostSendComplete(NDIS_HANDLE handle, PNDIS_PACKET packet, NDIS_STATUS status) {
  auto &host = currentHost("NdisMSendComplete");
  auto *adapter = host.adapterFromHandle(handle, "NdisMSendComplete");
  // A serialised miniport completes from its own entry points only.
  if (!adapter->active) {
    host.report(format("%s: NdisMSendComplete outside the adapter's entry points", adapter->name.c_str()));
  }
  host.completeSend(*adapter, packet, status, "NdisMSendComplete");
}

}  // namespace

// ---------------------------------------------------------------- helpers

void verifierAbort(const std::string &message) {
  std::fprintf(stderr, "NDIS verifier: %s\n", message.c_str());
  std::fflush(stderr);
  std::abort();
}

std::string format(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char small[256];
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  std::string out;
  if (n < 0) {
    out = fmt;
  } else if (static_cast<std::size_t>(n) < sizeof small) {
    out.assign(small, static_cast<std::size_t>(n));
  } else {
    out.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), fmt, ap);
    out.resize(static_cast<std::size_t>(n));
  }
  va_end(ap);
  return out;
}

std::string hexPointer(const void *p) { return format("0x%" PRIxPTR, reinterpret_cast<std::uintptr_t>(p)); }

Host::Impl &currentHost(const char *call) {
  if (!t_current) verifierAbort(format("%s called with no NDIS host on this thread (outside any host call)", call));
  return *t_current;
}
Host::Impl *currentHostOrNull() { return t_current; }
void setCurrentHost(Host::Impl *host) { t_current = host; }

ScopedHost::ScopedHost(Host &host) : previous_(t_current) { t_current = &host.impl(); }
ScopedHost::~ScopedHost() { t_current = previous_; }

const char *callName(Call call) {
  switch (call) {
    case Call::AllocateMemory: return "NdisAllocateMemory";
    case Call::OpenConfiguration: return "NdisOpenConfiguration";
    case Call::ReadConfiguration: return "NdisReadConfiguration";
    case Call::RegisterIoPortRange: return "NdisMRegisterIoPortRange";
    case Call::RegisterInterrupt: return "NdisMRegisterInterrupt";
    case Call::RegisterMiniport: return "NdisMRegisterMiniport";
  }
  return "?";
}

std::string formatErrorLogEntry(const ErrorLogEntry &entry) {
  std::string s = format("%s: error 0x%08X", entry.adapter.empty() ? "(no adapter)" : entry.adapter.c_str(),
                         static_cast<unsigned>(entry.code));
  if (!entry.values.empty()) {
    s += " [";
    for (std::size_t i = 0; i < entry.values.size(); ++i) {
      if (i) s += ", ";
      s += std::to_string(entry.values[i]);
    }
    s += "]";
  }
  return s;
}

// ---------------------------------------------------------------- Host::Impl

void Host::Impl::report(std::string finding) {
  findings.push_back(finding);
  if (findingListener) findingListener(findings.back());
}

int Host::Impl::showMessageBox(const coredll::MessageBoxRequest &box, const coredll::MessageBoxHandler &answer) {
  messageBoxes.push_back(
      MessageBoxShown{current ? current->name : std::string(), box.caption, box.text, box.type, loop.now()});
  if (answer) return answer(box);
  std::printf("message box: [%s] %s\n", box.caption.c_str(), box.text.c_str());
  std::fflush(stdout);
  return IDOK;
}

std::optional<NDIS_STATUS> Host::Impl::takeFailure(Call call, std::string_view keyword) {
  std::optional<NDIS_STATUS> fired;
  for (auto it = failures.begin(); it != failures.end();) {
    bool matches = it->call == call && (it->keyword.empty() || iequals(it->keyword, keyword));
    if (matches && --it->remaining == 0) {
      if (!fired) fired = it->status;
      it = failures.erase(it);
    } else {
      ++it;
    }
  }
  return fired;
}

Adapter::Impl *Host::Impl::adapterFromHandle(NDIS_HANDLE handle, const char *call) {
  for (auto &a : adapters) {
    if (static_cast<void *>(&a->impl().block) == handle) return &a->impl();
  }
  verifierAbort(format("%s with %s, which is not an adapter handle of this host", call, hexPointer(handle).c_str()));
}

Adapter::Impl *Host::Impl::adapterFromFilter(PETH_FILTER filter, const char *call) {
  for (auto &a : adapters) {
    if (&a->impl().block.filter == filter) return &a->impl();
  }
  verifierAbort(format("%s with %s, which is not the filter of an adapter of this host", call,
                       hexPointer(filter).c_str()));
}

Driver::Impl *Host::Impl::driverFromObject(PVOID driverObject) {
  for (auto &d : drivers) {
    if (&d->impl().driverObject == driverObject) return &d->impl();
  }
  return nullptr;
}

Driver::Impl *Host::Impl::driverFromWrapper(NDIS_HANDLE wrapper) {
  for (auto &d : drivers) {
    if (&d->impl().wrapper == wrapper && d->impl().wrapperInitialized) return &d->impl();
  }
  return nullptr;
}

void Host::Impl::enter(Adapter::Impl *adapter, const char *entry, const std::function<void()> &fn) {
  if (adapter && adapter->active) {
    bool transferInIndication = adapter->indicating && std::strcmp(entry, "MiniportTransferData") == 0;
    if (!transferInIndication) {
      verifierAbort(format("%s: %s entered while %s is running; NDIS never overlaps the entry points of one adapter",
                           adapter->name.c_str(), entry, adapter->active));
    }
  }
  struct Restore {
    Host::Impl &host;
    Adapter::Impl *adapter;
    const char *active;
    bool indicating;
    Adapter::Impl *current;
    Host::Impl *previousHost;
    registry::Store *previousStore;
    const char *entry;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    ~Restore() {
      if (adapter) {
        auto spent = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - started);
        auto it = adapter->times.find(std::string_view(entry));
        if (it == adapter->times.end()) it = adapter->times.emplace(entry, Adapter::EntryPointTime{entry}).first;
        ++it->second.calls;
        it->second.total += spent;
        it->second.longest = std::max(it->second.longest, spent);
        adapter->active = active;
        adapter->indicating = indicating;
      }
      host.current = current;
      t_current = previousHost;
      registry::setCurrentStore(previousStore);
    }
  } restore{*this,
            adapter,
            adapter ? adapter->active : nullptr,
            adapter ? adapter->indicating : false,
            current,
            t_current,
            registry::currentStore(),
            entry};
  if (adapter) {
    adapter->active = entry;
    adapter->indicating = false;
  }
  current = adapter;
  t_current = this;
  registry::setCurrentStore(&store);
  // The entry point's registry calls share one transaction and wait for no other process long.
  registry::CallGroup registryCalls(store);
  ceddk::ScopedBus scopedBus(bus);
  fn();
}

EventLoop::TaskId Host::Impl::post(Micros delay, std::function<void()> fn) {
  auto id = std::make_shared<EventLoop::TaskId>(0);
  *id = loop.after(
      delay,
      [this, id, fn = std::move(fn)] {
        tasks.erase(*id);
        fn();
      },
      EventLoop::Lane::Host);
  tasks.insert(*id);
  return *id;
}

void Host::Impl::unpost(EventLoop::TaskId id) {
  loop.cancel(id);
  tasks.erase(id);
}

void Host::Impl::reclaim(Adapter::Impl &a, const char *when) {
  const char *name = a.name.c_str();

  // Sends the miniport never completed go back to their bindings, so nothing is lost.
  auto inFlight = std::move(a.inFlight);
  a.inFlight.clear();
  for (auto &[packet, binding] : inFlight) {
    report(format("%s: send of packet %s not completed %s", name, hexPointer(packet).c_str(), when));
    a.completed.insert(packet);
    auto b = a.bindings.find(binding);
    if (b != a.bindings.end() && b->second.sendComplete) b->second.sendComplete(packet, NDIS_STATUS_ADAPTER_REMOVED);
  }

  // Memory stays allocated (the driver may still point at it) but is no longer the adapter's.
  std::size_t bytes = 0, blocks = 0;
  for (auto &[p, alloc] : memory) {
    if (alloc.owner != &a) continue;
    bytes += alloc.length;
    ++blocks;
    alloc.owner = nullptr;
  }
  if (blocks) report(format("%s: %zu bytes of memory in %zu allocation(s) still held %s", name, bytes, blocks, when));

  for (auto it = ports.begin(); it != ports.end();) {
    if (it->owner != &a) {
      ++it;
      continue;
    }
    report(format("%s: port range 0x%X-0x%X still registered %s", name, it->first, it->first + it->count - 1, when));
    it = ports.erase(it);
  }

  for (auto it = interrupts.begin(); it != interrupts.end();) {
    auto &rec = it->second;
    if (rec->owner != &a) {
      ++it;
      continue;
    }
    report(format("%s: interrupt %u still registered %s", name, rec->line, when));
    rec->registered = false;
    if (rec->pass) unpost(*rec->pass);
    rec->pass.reset();
    it = interrupts.erase(it);
  }

  for (auto it = timers.begin(); it != timers.end();) {
    auto &rec = it->second;
    if (rec->owner != &a) {
      ++it;
      continue;
    }
    if (rec->task) {
      report(format("%s: timer %s still pending %s", name, hexPointer(rec->timer).c_str(), when));
      unpost(*rec->task);
    }
    it = timers.erase(it);
  }

  for (auto it = configs.begin(); it != configs.end();) {
    if (it->second->adapter != &a) {
      ++it;
      continue;
    }
    report(format("%s: configuration handle still open %s", name, when));
    it = configs.erase(it);
  }
}

// ---------------------------------------------------------------- interrupts

void Host::Impl::onIrq(unsigned line, bool level) {
  if (!level) return;
  for (auto &[obj, rec] : interrupts) {
    if (rec->line == line && rec->registered) schedulePass(rec);
  }
}

void Host::Impl::schedulePass(const std::shared_ptr<InterruptRecord> &record) {
  if (record->pass) return;
  record->pass = post(0, [this, record] {
    record->pass.reset();
    servicePass(record);
  });
}

void Host::Impl::servicePass(const std::shared_ptr<InterruptRecord> &rec) {
  if (!rec->registered || !bus.irq(rec->line)) {
    rec->passesWithLineUp = 0;
    return;
  }
  Adapter::Impl &a = *rec->owner;
  const auto &ch = a.driver->characteristics;
  bool handle = true;
  if (rec->requestIsr) {
    BOOLEAN recognized = FALSE, queue = FALSE;
    enter(&a, "MiniportISR", [&] { ch.Ndis30Chars.ISRHandler(&recognized, &queue, a.context); });
    handle = recognized && queue;
  } else {
    enter(&a, "MiniportDisableInterrupt", [&] { ch.Ndis30Chars.DisableInterruptHandler(a.context); });
  }
  if (handle && rec->registered) {
    enter(&a, "MiniportHandleInterrupt", [&] { ch.Ndis30Chars.HandleInterruptHandler(a.context); });
    if (rec->registered) enter(&a, "MiniportEnableInterrupt", [&] { ch.Ndis30Chars.EnableInterruptHandler(a.context); });
  }
  // Level-sensitive: while the line stays up there is more to serve.
  if (!rec->registered || !bus.irq(rec->line)) {
    rec->passesWithLineUp = 0;
    return;
  }
  if (++rec->passesWithLineUp >= kStormPasses) {
    report(format("%s: interrupt %u still raised after %u service passes in a row; no longer served until it falls",
                  a.name.c_str(), rec->line, kStormPasses));
    rec->passesWithLineUp = 0;
    if (rec->pass) unpost(*rec->pass);
    rec->pass.reset();
    return;
  }
  schedulePass(rec);
}

// ---------------------------------------------------------------- sends

void Host::Impl::completeSend(Adapter::Impl &a, PNDIS_PACKET packet, NDIS_STATUS status, const char *how) {
  auto it = a.inFlight.find(packet);
  if (it == a.inFlight.end()) {
    if (a.completed.count(packet)) {
      verifierAbort(format("%s: packet %s completed twice (%s after it was already completed)", a.name.c_str(),
                           hexPointer(packet).c_str(), how));
    }
    verifierAbort(format("%s: %s names packet %s, which the host never handed to this adapter", a.name.c_str(), how,
                         hexPointer(packet).c_str()));
  }
  int binding = it->second;
  a.inFlight.erase(it);
  a.completed.insert(packet);
  auto b = a.bindings.find(binding);
  if (b != a.bindings.end() && b->second.sendComplete) {
    auto callback = b->second.sendComplete;  // the binding may unbind from inside
    callback(packet, status);
  }
}

void Host::Impl::runSend(Adapter::Impl &a, PNDIS_PACKET packet, int binding) {
  a.queued.erase(packet);
  if (a.state != Adapter::State::Running) {
    auto b = a.bindings.find(binding);
    if (b != a.bindings.end() && b->second.sendComplete) b->second.sendComplete(packet, NDIS_STATUS_ADAPTER_REMOVED);
    return;
  }
  a.completed.erase(packet);
  a.inFlight.emplace(packet, binding);
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  enter(&a, "MiniportSend", [&] { status = a.driver->characteristics.Ndis30Chars.SendHandler(a.context, packet, 0); });
  if (status == NDIS_STATUS_PENDING) return;
  if (!a.inFlight.count(packet)) {
    verifierAbort(format("%s: packet %s completed twice (through NdisMSendComplete during MiniportSend, then by "
                         "its returned status 0x%08X)",
                         a.name.c_str(), hexPointer(packet).c_str(), static_cast<unsigned>(status)));
  }
  completeSend(a, packet, status, "MiniportSend's returned status");
}

// ---------------------------------------------------------------- Host

namespace {

// While any host lives, message boxes go through one router: a box shown while a host runs a
// driver goes to that host (the thread's current one), any other where it went before.
struct MessageBoxRouting {
  std::mutex mutex;
  int hosts = 0;
  coredll::MessageBoxHandler previous;
};

MessageBoxRouting &messageBoxRouting() {
  static MessageBoxRouting routing;
  return routing;
}

int routeMessageBox(const coredll::MessageBoxRequest &box) {
  coredll::MessageBoxHandler previous;
  {
    std::lock_guard lock(messageBoxRouting().mutex);
    previous = messageBoxRouting().previous;
  }
  if (Host::Impl *host = currentHostOrNull()) return host->showMessageBox(box, previous);
  return previous ? previous(box) : coredll::unattendedMessageBox(box);
}

void startMessageBoxRouting() {
  MessageBoxRouting &routing = messageBoxRouting();
  std::lock_guard lock(routing.mutex);
  if (routing.hosts++ == 0) routing.previous = coredll::setMessageBoxHandler(routeMessageBox);
}

void stopMessageBoxRouting() {
  MessageBoxRouting &routing = messageBoxRouting();
  std::lock_guard lock(routing.mutex);
  if (--routing.hosts == 0) coredll::setMessageBoxHandler(std::move(routing.previous));
}

}  // namespace

Host::Host(EventLoop &loop, ceddk::PortBus &bus, registry::Store &store)
    : impl_(std::make_unique<Impl>(loop, bus, store)) {
  impl_->self = this;
  Impl *impl = impl_.get();
  impl_->irqToken = bus.addIrqListener([impl](unsigned line, bool level) { impl->onIrq(line, level); });
  startMessageBoxRouting();
}

Host::~Host() {
  stopMessageBoxRouting();
  impl_->bus.removeIrqListener(impl_->irqToken);
  for (auto id : impl_->tasks) impl_->loop.cancel(id);
  impl_->tasks.clear();
  if (t_current == impl_.get()) t_current = nullptr;
}

EventLoop &Host::loop() { return impl_->loop; }
ceddk::PortBus &Host::bus() { return impl_->bus; }
registry::Store &Host::store() { return impl_->store; }

Driver &Host::loadDriver(std::string name, DriverEntryFn entry) {
  if (!entry) throw std::invalid_argument("loadDriver: no DriverEntry for " + name);
  auto impl = std::make_unique<Driver::Impl>();
  impl->host = impl_.get();
  impl->name = std::move(name);
  for (char c : "Comm\\" + impl->name) impl->registryPath.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  impl->registryPathString.Buffer = impl->registryPath.data();
  impl->registryPathString.Length = static_cast<USHORT>(impl->registryPath.size() * sizeof(WCHAR));
  impl->registryPathString.MaximumLength = static_cast<USHORT>(impl->registryPathString.Length + sizeof(WCHAR));
  auto &driver = *impl_->drivers.emplace_back(std::make_unique<Driver>(std::move(impl)));
  auto &d = driver.impl();
  impl_->enter(nullptr, "DriverEntry", [&] { d.entryStatus = entry(&d.driverObject, &d.registryPathString); });
  return driver;
}

InitializeResult Host::initializeAdapter(Driver &driver, std::string instance, std::vector<NDIS_MEDIUM> media) {
  auto &d = driver.impl();
  if (!d.registered) throw std::logic_error("initializeAdapter: driver " + d.name + " registered no miniport");
  if (findAdapter(instance)) throw std::logic_error("initializeAdapter: " + instance + " is already running");

  auto impl = std::make_unique<Adapter::Impl>();
  impl->host = impl_.get();
  impl->driver = &d;
  impl->driverFacade = &driver;
  impl->name = std::move(instance);
  auto &adapter = *impl_->adapters.emplace_back(std::make_unique<Adapter>(std::move(impl)));
  auto &a = adapter.impl();
  a.self = &adapter;
  a.block.block.HostAdapter = &a;
  a.block.block.EthDB = &a.block.filter;
  a.block.block.SendCompleteHandler = hostSendComplete;
  a.block.block.EthRxCompleteHandler = EthFilterDprIndicateReceiveComplete;
  a.block.filter.adapter = &a;
  a.configContext.adapter = &a;

  InitializeResult result;
  result.adapter = &adapter;
  // A value no array has an entry for, so an unwritten index shows.
  UINT selected = ~0u;
  NDIS_STATUS openError = NDIS_STATUS_SUCCESS;
  impl_->enter(&a, "MiniportInitialize", [&] {
    result.status = d.characteristics.Ndis30Chars.InitializeHandler(&openError, &selected, media.data(),
                                                        static_cast<UINT>(media.size()), &a.block, &a.configContext);
  });
  result.openErrorStatus = openError;
  result.selectedMediumIndex = selected;

  const char *name = a.name.c_str();
  if (result.status == NDIS_STATUS_SUCCESS) {
    if (selected >= media.size()) {
      impl_->report(format("%s: MiniportInitialize succeeded with medium index %u, outside the %zu media offered", name,
                           selected, media.size()));
    }
    if (!a.attributesSet) impl_->report(format("%s: MiniportInitialize succeeded without NdisMSetAttributes", name));
    for (auto it = impl_->configs.begin(); it != impl_->configs.end();) {
      if (it->second->adapter == &a) {
        impl_->report(format("%s: configuration handle still open when MiniportInitialize returned", name));
        it = impl_->configs.erase(it);
      } else {
        ++it;
      }
    }
    a.state = Adapter::State::Running;
  } else {
    if (result.status == NDIS_STATUS_PENDING) {
      impl_->report(format("%s: MiniportInitialize returned NDIS_STATUS_PENDING, which it may not", name));
    }
    a.state = Adapter::State::Failed;
    impl_->reclaim(a, "after MiniportInitialize failed");
  }
  return result;
}

InitializeResult Host::initializeAdapter(std::string instance, std::vector<NDIS_MEDIUM> media) {
  Driver *only = nullptr;
  for (auto &d : impl_->drivers) {
    if (!d->registered()) continue;
    if (only) throw std::logic_error("initializeAdapter: more than one driver registered; name the driver");
    only = d.get();
  }
  if (!only) throw std::logic_error("initializeAdapter: no driver registered a miniport");
  return initializeAdapter(*only, std::move(instance), std::move(media));
}

Adapter *Host::findAdapter(std::string_view instance) const {
  for (auto &a : impl_->adapters) {
    if (a->state() == Adapter::State::Running || a->state() == Adapter::State::Initializing) {
      if (iequals(a->name(), instance)) return a.get();
    }
  }
  return nullptr;
}

void Host::failNext(Call call, unsigned nth, std::optional<NDIS_STATUS> status) {
  if (nth == 0) throw std::invalid_argument("failNext: nth counts from 1");
  impl_->failures.push_back(FailRule{call, {}, nth, status.value_or(defaultFailure(call))});
}

void Host::failKeyword(std::string keyword, unsigned nth, std::optional<NDIS_STATUS> status) {
  if (nth == 0) throw std::invalid_argument("failKeyword: nth counts from 1");
  if (keyword.empty()) throw std::invalid_argument("failKeyword: empty keyword");
  impl_->failures.push_back(
      FailRule{Call::ReadConfiguration, std::move(keyword), nth, status.value_or(NDIS_STATUS_FAILURE)});
}

void Host::clearFailures() { impl_->failures.clear(); }

const std::vector<ErrorLogEntry> &Host::errorLog() const { return impl_->errorLog; }
void Host::clearErrorLog() { impl_->errorLog.clear(); }
void Host::setErrorLogListener(std::function<void(const ErrorLogEntry &)> listener) {
  impl_->errorLogListener = std::move(listener);
}

const std::vector<std::string> &Host::findings() const { return impl_->findings; }
void Host::clearFindings() { impl_->findings.clear(); }
void Host::setFindingListener(std::function<void(const std::string &)> listener) {
  impl_->findingListener = std::move(listener);
}

const std::vector<MessageBoxShown> &Host::messageBoxes() const { return impl_->messageBoxes; }
void Host::clearMessageBoxes() { impl_->messageBoxes.clear(); }

std::size_t Host::memoryHeld() const {
  std::size_t n = 0;
  for (auto &[p, alloc] : impl_->memory) n += alloc.length;
  return n;
}

// ---------------------------------------------------------------- Driver

Driver::Driver(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Driver::~Driver() = default;
const std::string &Driver::name() const { return impl_->name; }
NDIS_STATUS Driver::entryStatus() const { return impl_->entryStatus; }
bool Driver::registered() const { return impl_->registered; }
const NDIS_MINIPORT_CHARACTERISTICS &Driver::characteristics() const { return impl_->characteristics; }
NDIS_HANDLE Driver::wrapperHandle() const { return impl_->wrapperInitialized ? &impl_->wrapper : nullptr; }

// ---------------------------------------------------------------- Adapter

Adapter::Adapter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Adapter::~Adapter() = default;

const std::string &Adapter::name() const { return impl_->name; }
Adapter::State Adapter::state() const { return impl_->state; }
Driver &Adapter::driver() const { return *impl_->driverFacade; }
NDIS_HANDLE Adapter::handle() const { return &impl_->block; }
NDIS_HANDLE Adapter::context() const { return impl_->context; }
std::string Adapter::configurationKey() const { return "Comm\\" + impl_->name + "\\Parms"; }
const char *Adapter::activeEntryPoint() const { return impl_->active; }

std::vector<Adapter::EntryPointTime> Adapter::entryPointTimes() const {
  std::vector<EntryPointTime> out;
  for (const auto &[name, time] : impl_->times) out.push_back(time);
  return out;
}

namespace {
void requireRunning(const Adapter::Impl &a, const char *what) {
  if (a.state != Adapter::State::Running) {
    throw std::logic_error(std::string(what) + ": adapter " + a.name + " is not running");
  }
}
}  // namespace

void Adapter::halt() {
  auto &a = *impl_;
  requireRunning(a, "halt");
  a.host->enter(&a, "MiniportHalt", [&] { a.driver->characteristics.Ndis30Chars.HaltHandler(a.context); });
  a.state = State::Halted;
  a.host->reclaim(a, "after MiniportHalt");
}

ResetResult Adapter::reset() {
  auto &a = *impl_;
  requireRunning(a, "reset");
  ResetResult r;
  BOOLEAN addressing = FALSE;
  a.host->enter(&a, "MiniportReset",
                [&] { r.status = a.driver->characteristics.Ndis30Chars.ResetHandler(&addressing, a.context); });
  r.addressingReset = addressing != FALSE;
  if (r.status == NDIS_STATUS_PENDING) {
    a.host->report(format("%s: MiniportReset returned NDIS_STATUS_PENDING; this host completes resets only "
                          "synchronously",
                          a.name.c_str()));
  }
  return r;
}

InformationResult Adapter::queryInformation(NDIS_OID oid, std::span<std::uint8_t> buffer) {
  auto &a = *impl_;
  requireRunning(a, "queryInformation");
  InformationResult r;
  ULONG length = static_cast<ULONG>(buffer.size());
  a.host->enter(&a, "MiniportQueryInformation", [&] {
    r.status = a.driver->characteristics.Ndis30Chars.QueryInformationHandler(a.context, oid, buffer.data(), length, &r.bytesDone,
                                                                 &r.bytesNeeded);
  });
  if (r.status == NDIS_STATUS_PENDING) {
    a.host->report(format("%s: MiniportQueryInformation(0x%08X) returned NDIS_STATUS_PENDING; this host completes "
                          "requests only synchronously",
                          a.name.c_str(), static_cast<unsigned>(oid)));
  } else if (r.status == NDIS_STATUS_SUCCESS && r.bytesDone > length) {
    a.host->report(format("%s: MiniportQueryInformation(0x%08X) claims %u bytes written into a buffer of %u",
                          a.name.c_str(), static_cast<unsigned>(oid), static_cast<unsigned>(r.bytesDone),
                          static_cast<unsigned>(length)));
  }
  return r;
}

InformationResult Adapter::setInformation(NDIS_OID oid, std::span<const std::uint8_t> buffer) {
  // The handler takes a writable buffer; give it a copy of the caller's bytes.
  std::vector<std::uint8_t> copy(buffer.begin(), buffer.end());
  return setInformationInPlace(oid, copy);
}

InformationResult Adapter::setInformationInPlace(NDIS_OID oid, std::span<std::uint8_t> buffer) {
  auto &a = *impl_;
  requireRunning(a, "setInformation");
  InformationResult r;
  ULONG length = static_cast<ULONG>(buffer.size());
  a.host->enter(&a, "MiniportSetInformation", [&] {
    r.status = a.driver->characteristics.Ndis30Chars.SetInformationHandler(a.context, oid, buffer.data(), length, &r.bytesDone,
                                                               &r.bytesNeeded);
  });
  if (r.status == NDIS_STATUS_PENDING) {
    a.host->report(format("%s: MiniportSetInformation(0x%08X) returned NDIS_STATUS_PENDING; this host completes "
                          "requests only synchronously",
                          a.name.c_str(), static_cast<unsigned>(oid)));
  } else if (r.status == NDIS_STATUS_SUCCESS && r.bytesDone > length) {
    a.host->report(format("%s: MiniportSetInformation(0x%08X) claims %u bytes read from a buffer of %u",
                          a.name.c_str(), static_cast<unsigned>(oid), static_cast<unsigned>(r.bytesDone),
                          static_cast<unsigned>(length)));
  }
  return r;
}

int Adapter::bind(Binding binding) {
  int id = impl_->nextBinding++;
  impl_->bindings.emplace(id, std::move(binding));
  return id;
}

void Adapter::unbind(int binding) { impl_->bindings.erase(binding); }

void Adapter::send(int binding, NDIS_PACKET *packet) {
  auto &a = *impl_;
  requireRunning(a, "send");
  if (!packet) throw std::invalid_argument("send: no packet");
  if (!a.bindings.count(binding)) throw std::logic_error("send: no binding " + std::to_string(binding));
  if (a.inFlight.count(packet) || a.queued.count(packet)) {
    throw std::logic_error("send: packet is still with the miniport");
  }
  a.queued.insert(packet);
  a.host->post(0, [&a, packet, binding] { a.host->runSend(a, packet, binding); });
}

std::size_t Adapter::sendsOutstanding() const { return impl_->inFlight.size(); }

TransferResult Adapter::transferData(NDIS_PACKET *packet, UINT byteOffset, UINT bytesToTransfer) {
  auto &a = *impl_;
  requireRunning(a, "transferData");
  if (!packet) throw std::invalid_argument("transferData: no packet");
  TransferResult r;
  a.host->enter(&a, "MiniportTransferData", [&] {
    r.status = a.driver->characteristics.Ndis30Chars.TransferDataHandler(packet, &r.bytesTransferred, a.context, a.receiveContext,
                                                             byteOffset, bytesToTransfer);
  });
  if (r.status == NDIS_STATUS_PENDING) {
    a.host->report(format("%s: MiniportTransferData returned NDIS_STATUS_PENDING; this host completes transfers "
                          "only synchronously",
                          a.name.c_str()));
  } else if (r.bytesTransferred > bytesToTransfer) {
    a.host->report(format("%s: MiniportTransferData reports %u bytes transferred of %u asked for", a.name.c_str(),
                          r.bytesTransferred, bytesToTransfer));
  }
  return r;
}

void Adapter::postTransferData(NDIS_PACKET *packet, UINT byteOffset, UINT bytesToTransfer,
                               std::function<void(TransferResult)> done) {
  auto &a = *impl_;
  requireRunning(a, "postTransferData");
  a.host->post(0, [this, packet, byteOffset, bytesToTransfer, done = std::move(done)] {
    TransferResult r{NDIS_STATUS_ADAPTER_REMOVED, 0};
    if (impl_->state == State::Running) r = transferData(packet, byteOffset, bytesToTransfer);
    if (done) done(r);
  });
}

std::size_t Adapter::memoryHeld() const {
  std::size_t n = 0;
  for (auto &[p, alloc] : impl_->host->memory) {
    if (alloc.owner == impl_.get()) n += alloc.length;
  }
  return n;
}

std::optional<unsigned> Adapter::interruptLine() const {
  for (auto &[obj, rec] : impl_->host->interrupts) {
    if (rec->owner == impl_.get() && rec->registered) return rec->line;
  }
  return std::nullopt;
}

std::size_t Adapter::portRangesHeld() const {
  std::size_t n = 0;
  for (auto &claim : impl_->host->ports) n += claim.owner == impl_.get();
  return n;
}

std::size_t Adapter::timersPending() const {
  std::size_t n = 0;
  for (auto &[t, rec] : impl_->host->timers) n += rec->owner == impl_.get() && rec->task.has_value();
  return n;
}

}  // namespace teskel::ndis
