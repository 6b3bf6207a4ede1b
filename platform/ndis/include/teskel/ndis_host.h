// NDIS wrapper host of one simulated handheld: loads miniport drivers, runs their adapters on the
// handheld's event loop, serves the wrapper calls, and verifies how the miniport uses them.
#pragma once

#include <ndis.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "teskel/event_loop.h"

namespace teskel::ceddk {
class PortBus;
}
namespace teskel::registry {
class Store;
struct Value;
}

namespace teskel::ndis {

class Host;
class Driver;
class Adapter;

// The driver's exported entry, as the loader finds it (by name, in the driver library).
using DriverEntryFn = NDIS_STATUS (*)(PVOID DriverObject, PVOID RegistryPath);

// Wrapper calls that a test can make fail by name.
enum class Call {
  AllocateMemory,       // NdisAllocateMemory: NDIS_STATUS_FAILURE
  OpenConfiguration,    // NdisOpenConfiguration: NDIS_STATUS_FAILURE
  ReadConfiguration,    // NdisReadConfiguration (any keyword): NDIS_STATUS_FAILURE
  RegisterIoPortRange,  // NdisMRegisterIoPortRange: NDIS_STATUS_RESOURCE_CONFLICT
  RegisterInterrupt,    // NdisMRegisterInterrupt: NDIS_STATUS_RESOURCE_CONFLICT
  RegisterMiniport,     // NdisMRegisterMiniport: NDIS_STATUS_FAILURE
};
const char *callName(Call call);

// One entry of the wrapper's error log, in the order the miniport wrote them.
struct ErrorLogEntry {
  std::string adapter;  // instance name; empty when the handle named no adapter of this host
  NDIS_ERROR_CODE code = 0;
  std::vector<ULONG> values;
  Micros time = 0;
};
// "Teskel1: error 0xC0001391 [23]" (detail words in decimal).
std::string formatErrorLogEntry(const ErrorLogEntry &entry);

// A message box that a driver showed while this host ran it, texts in UTF-8.
struct MessageBoxShown {
  std::string adapter;  // instance whose entry point showed it; empty outside any adapter's
  std::string caption;
  std::string text;
  UINT type = 0;
  Micros time = 0;
};

// What a protocol binding sees of one received frame. The spans are valid only during the call.
struct ReceiveIndication {
  NDIS_HANDLE receiveContext = nullptr;
  std::span<const std::uint8_t> header;
  std::span<const std::uint8_t> lookahead;
  UINT packetSize = 0;
};

// A protocol bound to an adapter. Every callback is optional.
struct Binding {
  // A packet this binding sent is back, with the miniport's status.
  std::function<void(NDIS_PACKET *packet, NDIS_STATUS status)> sendComplete = nullptr;
  // A frame was indicated; the binding may call Adapter::transferData during this call.
  std::function<void(Adapter &adapter, const ReceiveIndication &indication)> receive = nullptr;
  std::function<void(Adapter &adapter)> receiveComplete = nullptr;
};

struct TransferResult {
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  UINT bytesTransferred = 0;
};

struct InformationResult {
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  ULONG bytesDone = 0;  // written by a query, read by a set
  ULONG bytesNeeded = 0;
};

struct ResetResult {
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  bool addressingReset = false;
};

// A loaded miniport driver: its DriverEntry has run.
class Driver {
 public:
  struct Impl;
  explicit Driver(std::unique_ptr<Impl> impl);
  ~Driver();
  Driver(const Driver &) = delete;
  Driver &operator=(const Driver &) = delete;

  const std::string &name() const;
  NDIS_STATUS entryStatus() const;  // what DriverEntry returned
  bool registered() const;          // NdisMRegisterMiniport accepted a table
  // The table as registered (all zero until then).
  const NDIS_MINIPORT_CHARACTERISTICS &characteristics() const;
  NDIS_HANDLE wrapperHandle() const;

  Impl &impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// One adapter instance of a driver. The host keeps it (and its handle valid for the verifier)
// until the host is destroyed, also after it failed to initialise or was halted.
//
// The synchronous calls run the entry point at once; they may be made from outside the loop or
// from a loop task, but never from inside an entry point of the same adapter: the verifier
// aborts on such a re-entry. The one exception NDIS allows is transfer-data from inside a
// receive indication.
class Adapter {
 public:
  enum class State { Initializing, Running, Failed, Halted };
  struct Impl;
  explicit Adapter(std::unique_ptr<Impl> impl);
  ~Adapter();
  Adapter(const Adapter &) = delete;
  Adapter &operator=(const Adapter &) = delete;

  const std::string &name() const;
  State state() const;
  Driver &driver() const;
  NDIS_HANDLE handle() const;   // the MiniportAdapterHandle the miniport was given
  NDIS_HANDLE context() const;  // the MiniportAdapterContext it gave NdisMSetAttributes
  std::string configurationKey() const;  // Comm\<instance>\Parms

  void halt();
  ResetResult reset();
  InformationResult queryInformation(NDIS_OID oid, std::span<std::uint8_t> buffer);
  InformationResult setInformation(NDIS_OID oid, std::span<const std::uint8_t> buffer);
  // As NDIS does, the miniport works on the caller's own buffer: what a set writes back (a
  // command's status and responses, a MIB record's status) reaches the caller.
  InformationResult setInformationInPlace(NDIS_OID oid, std::span<std::uint8_t> buffer);

  // Protocol bindings. A binding id names the sender of a packet and gets its completions.
  int bind(Binding binding);
  void unbind(int binding);
  // Hands the packet to the miniport in a host task of its own (never nested in an entry point).
  // The completion comes to the binding's sendComplete: from the send handler's status, or later
  // through NdisMSendComplete when the handler returned NDIS_STATUS_PENDING.
  void send(int binding, NDIS_PACKET *packet);
  std::size_t sendsOutstanding() const;
  // Copies received data into `packet` through the miniport's transfer-data handler, for the
  // frame last indicated: during its indication, or later while no entry point runs.
  TransferResult transferData(NDIS_PACKET *packet, UINT byteOffset, UINT bytesToTransfer);
  // The same as a host task of its own; `done` gets the result.
  void postTransferData(NDIS_PACKET *packet, UINT byteOffset, UINT bytesToTransfer,
                        std::function<void(TransferResult)> done);

  // What the adapter holds from the wrapper right now.
  std::size_t memoryHeld() const;
  std::optional<unsigned> interruptLine() const;
  std::size_t portRangesHeld() const;
  std::size_t timersPending() const;
  // Name of the entry point running for this adapter, or nullptr.
  const char *activeEntryPoint() const;
  // How often the host entered each of the adapter's entry points (the timer function and the
  // interrupt handlers included) and the time spent there on the steady clock, a nested
  // transfer-data included in its indication; by name.
  struct EntryPointTime {
    std::string entry;
    std::uint64_t calls = 0;
    std::chrono::nanoseconds total{0}, longest{0};
  };
  std::vector<EntryPointTime> entryPointTimes() const;

  Impl &impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

struct InitializeResult {
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  UINT selectedMediumIndex = 0;
  NDIS_STATUS openErrorStatus = NDIS_STATUS_SUCCESS;
  Adapter *adapter = nullptr;  // never null; check adapter->state()
};

// The NDIS wrapper of one handheld: its event loop and clock, the port bus its cards sit on, and
// the registry store the configuration reader reads. One host serves every driver and adapter of
// the handheld; all entry points run on the loop's thread.
//
// What the wrapper calls do here, where NDIS leaves it to the platform:
// - Configuration: NdisOpenConfiguration works only during MiniportInitialize and opens
//   Comm\<instance>\Parms (fails when the key is missing). NdisReadConfiguration gives
//   integer and hexadecimal parameters of REG_DWORD values, and of REG_SZ text read as decimal
//   (optional sign) or hexadecimal (optional 0x); string parameters of REG_SZ, and of REG_BINARY
//   as two upper-case hexadecimal digits per byte; multi-string of REG_MULTI_SZ; binary of
//   REG_BINARY. Anything else, and a missing keyword, fails with NDIS_STATUS_FAILURE. Parameters
//   stay valid until NdisCloseConfiguration.
// - NdisUnicodeStringToAnsiString writes at most MaximumLength bytes, terminator included: a
//   longer text is cut to MaximumLength - 1 characters and still succeeds.
// - NdisAllocateMemory fills fresh memory with 0xA5; length 0 fails.
// - NdisMRegisterIoPortRange maps nothing: the range must lie on devices already mapped on the
//   bus (else NDIS_STATUS_FAILURE) and overlap no claimed range (else
//   NDIS_STATUS_RESOURCE_CONFLICT); the port base is the first port number as a pointer.
// - NdisMRegisterInterrupt takes the vector as the bus line, level-sensitive only, one adapter
//   per line. While the line is up the host posts a host task that calls
//   MiniportDisableInterrupt (or MiniportISR when requested; a pass goes on only when it asks
//   for the deferred handler), MiniportHandleInterrupt and MiniportEnableInterrupt, then looks
//   at the line again.
// - Timers are one-shot host tasks on the loop; setting a pending timer again replaces its time.
//   NdisStallExecution advances the clock through EventLoop::stall (device tasks run).
// - Entry points that return NDIS_STATUS_PENDING for a request, reset or transfer-data are
//   reported: this host completes those only synchronously.
// - Message boxes (MessageBoxW) shown while the host runs a driver are recorded. Nobody sits at
//   the handheld to answer them: unless the program installed a message-box handler of its own
//   before the first host was made (a user interface, a test), the host prints caption and text
//   as one line on standard output ("message box: [Debug] DefaultKeys: fail") and answers IDOK
//   at once.
class Host {
 public:
  struct Impl;
  Host(EventLoop &loop, ceddk::PortBus &bus, registry::Store &store);
  ~Host();
  Host(const Host &) = delete;
  Host &operator=(const Host &) = delete;

  EventLoop &loop();
  ceddk::PortBus &bus();
  registry::Store &store();

  // Runs the driver's DriverEntry with a driver object of this host and the registry path
  // "Comm\<name>". The driver is kept even when DriverEntry fails (as the wrapper is).
  Driver &loadDriver(std::string name, DriverEntryFn entry);

  // Creates an adapter instance and calls MiniportInitialize with the configuration context of
  // "Comm\<instance>\Parms". Throws std::logic_error when the driver registered no miniport or
  // the instance is already running.
  InitializeResult initializeAdapter(Driver &driver, std::string instance,
                                     std::vector<NDIS_MEDIUM> media = {NdisMedium802_3});
  // The same for the only driver that registered a miniport.
  InitializeResult initializeAdapter(std::string instance, std::vector<NDIS_MEDIUM> media = {NdisMedium802_3});
  Adapter *findAdapter(std::string_view instance) const;  // the running one of that name

  // Named failures: the `nth` next matching call from now fails once with `status` (the call's
  // usual failure status when not given).
  void failNext(Call call, unsigned nth = 1, std::optional<NDIS_STATUS> status = std::nullopt);
  // The nth next read of `keyword` (compared without regard to case) fails.
  void failKeyword(std::string keyword, unsigned nth = 1, std::optional<NDIS_STATUS> status = std::nullopt);
  void clearFailures();

  // The error log.
  const std::vector<ErrorLogEntry> &errorLog() const;
  void clearErrorLog();
  // Called for each entry as it is written (the handheld prints it).
  void setErrorLogListener(std::function<void(const ErrorLogEntry &)> listener);

  // Verifier findings: wrapper misuse that does not stop the handheld, one line each.
  const std::vector<std::string> &findings() const;
  void clearFindings();
  void setFindingListener(std::function<void(const std::string &)> listener);

  // Message boxes the drivers showed, in order.
  const std::vector<MessageBoxShown> &messageBoxes() const;
  void clearMessageBoxes();

  // Memory the miniport holds through NdisAllocateMemory, over all adapters and the driver.
  std::size_t memoryHeld() const;

  Impl &impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// A registry value as NdisReadConfiguration gives it for an integer parameter (`hex`: a
// hexadecimal one), or nullopt when that read fails. Whoever shares a value with a driver (the
// PC Card socket's IoBaseAddress and InterruptNumber) reads it with these rules.
std::optional<ULONG> configurationInteger(const registry::Value &value, bool hex);

// Makes `host` the one the wrapper calls without a handle (NdisAllocateMemory,
// NdisStallExecution ...) use on this thread. The host sets itself around every call into a
// driver; tests that call the wrapper directly use this.
class ScopedHost {
 public:
  explicit ScopedHost(Host &host);
  ~ScopedHost();
  ScopedHost(const ScopedHost &) = delete;
  ScopedHost &operator=(const ScopedHost &) = delete;

 private:
  Host::Impl *previous_;
};

}  // namespace teskel::ndis
