// Private records of the NDIS host, shared by its source files: what each handle points at and
// what the host tracks per adapter for the verifier.
#pragma once

#include <cstdarg>
#include <list>
#include <map>
#include <set>
#include <string>

#include "teskel/coredll.h"
#include "teskel/ndis_host.h"
#include "teskel/port_bus.h"
#include "teskel/registry_store.h"

// The Ethernet filter database behind NDIS_MINIPORT_BLOCK::EthDB.
struct _ETH_FILTER {
  teskel::ndis::Adapter::Impl *adapter;
};

namespace teskel::ndis {

// Prints "NDIS verifier: <message>" on stderr and aborts: a fault no handheld survives.
[[noreturn]] void verifierAbort(const std::string &message);
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string hexPointer(const void *p);

// What MiniportAdapterHandle points at. The miniport reaches the block's fields through the
// handle (send completion, receive-complete, the filter), so the block comes first.
struct MiniportBlock {
  NDIS_MINIPORT_BLOCK block{};
  ETH_FILTER filter{};
};

// What the WrapperConfigurationContext given to MiniportInitialize points at.
struct ConfigContext {
  Adapter::Impl *adapter = nullptr;
};

// One parameter returned by NdisReadConfiguration; it lives until the handle is closed.
struct ConfigParameter {
  NDIS_CONFIGURATION_PARAMETER parameter{};
  std::u16string text;
  std::vector<std::uint8_t> bytes;
};

struct ConfigHandle {
  Adapter::Impl *adapter = nullptr;
  std::string key;
  std::vector<std::unique_ptr<ConfigParameter>> parameters;
};

struct Allocation {
  std::unique_ptr<std::byte[]> memory;
  UINT length = 0;
  Adapter::Impl *owner = nullptr;  // null: allocated outside any adapter's entry point
};

struct PortClaim {
  Adapter::Impl *owner = nullptr;
  UINT first = 0;
  UINT count = 0;
};

struct TimerRecord {
  Adapter::Impl *owner = nullptr;
  PNDIS_MINIPORT_TIMER timer = nullptr;
  PNDIS_TIMER_FUNCTION function = nullptr;
  PVOID context = nullptr;
  std::optional<EventLoop::TaskId> task;
};

struct InterruptRecord {
  Adapter::Impl *owner = nullptr;
  PNDIS_MINIPORT_INTERRUPT object = nullptr;
  unsigned line = 0;
  bool requestIsr = false;
  bool registered = true;
  std::optional<EventLoop::TaskId> pass;
  unsigned passesWithLineUp = 0;  // consecutive service passes that left the line raised
};

struct FailRule {
  Call call;
  std::string keyword;  // ReadConfiguration rules: empty matches every keyword
  unsigned remaining;
  NDIS_STATUS status;
};

struct Driver::Impl {
  Host::Impl *host = nullptr;
  std::string name;
  std::u16string registryPath;
  UNICODE_STRING registryPathString{};
  // Their addresses are the DriverObject and the wrapper handle the driver is given.
  std::uint32_t driverObject = 0x44525652;
  std::uint32_t wrapper = 0x57525052;
  bool wrapperInitialized = false;
  bool wrapperTerminated = false;
  NDIS_STATUS entryStatus = NDIS_STATUS_FAILURE;
  bool registered = false;
  NDIS_MINIPORT_CHARACTERISTICS characteristics{};
};

struct Adapter::Impl {
  Host::Impl *host = nullptr;
  Adapter *self = nullptr;
  Driver::Impl *driver = nullptr;
  Driver *driverFacade = nullptr;
  std::string name;
  MiniportBlock block;
  ConfigContext configContext;
  State state = State::Initializing;
  NDIS_HANDLE context = nullptr;
  bool attributesSet = false;

  // Entry point running now (serialisation) and whether a receive indication is under way.
  const char *active = nullptr;
  bool indicating = false;
  NDIS_HANDLE receiveContext = nullptr;
  bool received = false;  // a frame was indicated, so transfer-data has something to read

  std::map<int, Binding> bindings;
  int nextBinding = 1;
  std::set<PNDIS_PACKET> queued;         // posted sends whose task has not run yet
  std::map<PNDIS_PACKET, int> inFlight;  // packet -> binding that sent it
  std::set<PNDIS_PACKET> completed;      // completed since last handed over

  std::map<std::string, Adapter::EntryPointTime, std::less<>> times;
};

struct Host::Impl {
  Impl(EventLoop &l, ceddk::PortBus &b, registry::Store &s) : loop(l), bus(b), store(s) {}

  EventLoop &loop;
  ceddk::PortBus &bus;
  registry::Store &store;
  Host *self = nullptr;

  std::list<std::unique_ptr<Driver>> drivers;
  std::list<std::unique_ptr<Adapter>> adapters;
  std::map<void *, Allocation> memory;
  std::vector<PortClaim> ports;
  std::map<PNDIS_MINIPORT_TIMER, std::unique_ptr<TimerRecord>> timers;
  std::map<PNDIS_MINIPORT_INTERRUPT, std::shared_ptr<InterruptRecord>> interrupts;
  std::map<const ConfigHandle *, std::unique_ptr<ConfigHandle>> configs;
  std::vector<FailRule> failures;
  std::vector<ErrorLogEntry> errorLog;
  std::function<void(const ErrorLogEntry &)> errorLogListener;
  std::vector<std::string> findings;
  std::function<void(const std::string &)> findingListener;
  std::vector<MessageBoxShown> messageBoxes;
  std::set<EventLoop::TaskId> tasks;  // host tasks this host posted and that have not run
  int irqToken = 0;
  Adapter::Impl *current = nullptr;  // adapter whose entry point runs (innermost)

  // --- verifier and bookkeeping
  void report(std::string finding);
  // The status to fail with when a named failure matches this call, else nullopt.
  std::optional<NDIS_STATUS> takeFailure(Call call, std::string_view keyword = {});
  Adapter::Impl *adapterFromHandle(NDIS_HANDLE handle, const char *call);
  Adapter::Impl *adapterFromFilter(PETH_FILTER filter, const char *call);
  Driver::Impl *driverFromObject(PVOID driverObject);
  Driver::Impl *driverFromWrapper(NDIS_HANDLE wrapper);
  // Releases what `adapter` still holds, reporting each item with `when` ("after halt" ...).
  void reclaim(Adapter::Impl &adapter, const char *when);

  // Runs `fn` as entry point `entry` of `adapter` (null: the driver's DriverEntry): checks
  // serialisation and makes this host, its bus and store current while the driver runs.
  void enter(Adapter::Impl *adapter, const char *entry, const std::function<void()> &fn);
  // Posts a host-lane task after `delay`; the host cancels it if it is destroyed first.
  EventLoop::TaskId post(Micros delay, std::function<void()> fn);
  void unpost(EventLoop::TaskId id);

  // Records a box the driver shows and answers it (through `answer` when the program has one).
  int showMessageBox(const coredll::MessageBoxRequest &box, const coredll::MessageBoxHandler &answer);

  // --- interrupts
  void onIrq(unsigned line, bool level);
  void schedulePass(const std::shared_ptr<InterruptRecord> &record);
  void servicePass(const std::shared_ptr<InterruptRecord> &record);

  // --- sends
  void runSend(Adapter::Impl &adapter, PNDIS_PACKET packet, int binding);
  void completeSend(Adapter::Impl &adapter, PNDIS_PACKET packet, NDIS_STATUS status, const char *how);
};

// The host the handle-less wrapper calls use on this thread; aborts naming `call` without one.
Host::Impl &currentHost(const char *call);
Host::Impl *currentHostOrNull();
void setCurrentHost(Host::Impl *host);

}  // namespace teskel::ndis
