// The PC Card socket: insertion (installation keys, driver load by the keys, card placement and
// adapter bring-up) and removal (halt, unmapping, unload), with what it reports on the way.
#include <dlfcn.h>
#include <winreg.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <stdexcept>

#include "teskel/coredll.h"
#include "teskel/ndis_host.h"
#include "teskel/pccard.h"
#include "teskel/port_bus.h"
#include "teskel/registry_store.h"

namespace teskel::pccard {

namespace fs = std::filesystem;

namespace {

constexpr NDIS_OID kOidCurrentAddress = 0x01010102;  // OID_802_3_CURRENT_ADDRESS
constexpr std::uint32_t kPortWindow = 64;
// Install_Driver builds the socket key in 128 characters; the caller's buffer is as large.
constexpr std::size_t kInstallBufferChars = 128;
constexpr const char *kSocketKeyPrefix = "Drivers\\PCMCIA\\";

using InstallFn = LPWSTR (*)(LPWSTR DeviceKeyName, LPWSTR Output, DWORD OutputSize);

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
  va_list ap, copy;
  va_start(ap, fmt);
  va_copy(copy, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, ap);
  va_end(ap);
  return out;
}

std::string hex32(std::uint32_t v) { return format("0x%08X", v); }

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto la = (a[i] >= 'A' && a[i] <= 'Z') ? a[i] - 'A' + 'a' : a[i];
    auto lb = (b[i] >= 'A' && b[i] <= 'Z') ? b[i] - 'A' + 'a' : b[i];
    if (la != lb) return false;
  }
  return true;
}

std::string macText(const StationAddress &a) {
  return format("%02X:%02X:%02X:%02X:%02X:%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
}

std::string joinPaths(const std::vector<fs::path> &dirs) {
  if (dirs.empty()) return "(no folder)";
  std::string out;
  for (const auto &d : dirs) out += (out.empty() ? "" : ", ") + d.string();
  return out;
}

std::string joinWords(const std::vector<std::string> &words, const char *separator = ", ") {
  std::string out;
  for (const auto &w : words) out += (out.empty() ? "" : separator) + w;
  return out;
}

// ---- registry values as the platform reads them --------------------------------------------------

std::u16string utf16(const std::vector<std::uint8_t> &data) {
  std::u16string out;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) out += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  return out;
}

// REG_SZ or REG_EXPAND_SZ text up to its terminator; nullopt when missing or of another type.
std::optional<std::string> textValue(const registry::Store &store, std::string_view key, std::string_view name) {
  auto v = store.getValue(key, name);
  if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return std::nullopt;
  std::u16string text = utf16(v->data);
  text = text.substr(0, text.find(u'\0'));
  return coredll::toUtf8(text);
}

// REG_MULTI_SZ strings up to the empty one that ends the list.
std::optional<std::vector<std::string>> multiTextValue(const registry::Store &store, std::string_view key,
                                                       std::string_view name) {
  auto v = store.getValue(key, name);
  if (!v || v->type != REG_MULTI_SZ) return std::nullopt;
  std::vector<std::string> out;
  std::u16string all = utf16(v->data);
  std::size_t at = 0;
  while (at < all.size()) {
    std::size_t end = all.find(u'\0', at);
    if (end == std::u16string::npos) end = all.size();
    if (end == at) break;
    out.push_back(coredll::toUtf8(all.substr(at, end - at)));
    at = end + 1;
  }
  return out;
}

// A resource value as the driver reads it: through the configuration reader's rules for a
// hexadecimal integer (REG_DWORD, or text in hexadecimal with or without 0x), so that the card
// is placed where the driver looks for it.
std::optional<std::uint32_t> resourceValue(const registry::Store &store, std::string_view key, std::string_view name) {
  auto v = store.getValue(key, name);
  if (!v) return std::nullopt;
  return ndis::configurationInteger(*v, true);
}

// ---- a loaded library ---------------------------------------------------------------------------

class Library {
 public:
  // nullptr and the loader's reason when the file cannot be loaded.
  static std::unique_ptr<Library> open(const fs::path &path, std::string &why) {
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char *error = dlerror();
      why = error ? error : "unknown reason";
      return nullptr;
    }
    return std::unique_ptr<Library>(new Library(handle, path));
  }
  ~Library() { dlclose(handle_); }
  Library(const Library &) = delete;
  Library &operator=(const Library &) = delete;

  void *symbol(const char *name) const {
    dlerror();
    return dlsym(handle_, name);
  }
  const fs::path &path() const { return path_; }

 private:
  Library(void *handle, fs::path path) : handle_(handle), path_(std::move(path)) {}
  void *handle_;
  fs::path path_;
};

// Makes `store` the one the driver's Reg* calls use for the scope.
class ScopedStore {
 public:
  explicit ScopedStore(registry::Store &store) : previous_(registry::currentStore()) {
    registry::setCurrentStore(&store);
  }
  ~ScopedStore() { registry::setCurrentStore(previous_); }
  ScopedStore(const ScopedStore &) = delete;
  ScopedStore &operator=(const ScopedStore &) = delete;

 private:
  registry::Store *previous_;
};

// The error every stage of insertion ends with when it cannot go on.
struct Stop {
  std::string text;
};

}  // namespace

const char *toString(Event::Kind kind) {
  switch (kind) {
    case Event::Kind::Installed: return "installed";
    case Event::Kind::Found: return "found";
    case Event::Kind::DriverLoaded: return "driver loaded";
    case Event::Kind::AdapterUp: return "adapter up";
    case Event::Kind::AdapterFailed: return "adapter failed";
    case Event::Kind::Removed: return "card removed";
    case Event::Kind::Error: return "error";
  }
  return "?";
}

bool InsertReport::ok() const {
  if (!driverLoaded || !errors.empty() || instances.empty()) return false;
  for (const auto &i : instances)
    if (i.status != NDIS_STATUS_SUCCESS) return false;
  return true;
}

fs::path nvFileName(std::string_view instance) { return "card-" + std::string(instance) + ".nv"; }

// ---- the socket ---------------------------------------------------------------------------------

struct Socket::Impl {
  struct Placed {
    std::string name;
    std::optional<std::uint32_t> ioBase;
    std::optional<unsigned> irq;
    CardFunction card;                             // its device mapped at ioBase while set
    ndis::Adapter *adapter = nullptr;             // running adapter of this instance
  };

  Impl(ndis::Host &h, SocketOptions o) : host(h), options(std::move(o)) {}

  ndis::Host &host;
  SocketOptions options;
  std::function<void(const Event &)> listener;

  bool occupied = false;
  Card card;
  std::unique_ptr<Library> driverLibrary;
  std::vector<Placed> placed;
  std::size_t ndisMemoryBefore = 0;
  std::size_t localMemoryBefore = 0;

  void emit(Event::Kind kind, std::string instance, std::string text) {
    if (listener) listener(Event{kind, std::move(instance), std::move(text)});
  }
  void error(InsertReport &report, std::string text) {
    report.errors.push_back(text);
    emit(Event::Kind::Error, "", std::move(text));
  }

  std::unique_ptr<Library> openImage(std::string_view imageName, const char *purpose) {
    auto path = findDriverImage(imageName, options.driverPath);
    if (!path) {
      throw Stop{format("no driver image %.*s %s (looked for %s in %s)", static_cast<int>(imageName.size()),
                        imageName.data(), purpose, joinWords(imageCandidates(imageName), " or ").c_str(),
                        joinPaths(options.driverPath).c_str())};
    }
    std::string why;
    auto library = Library::open(*path, why);
    if (!library) throw Stop{"cannot load driver image " + path->string() + ": " + why};
    return library;
  }

  std::unique_ptr<Library> install(InsertReport &report);
  void loadDriver(InsertReport &report, std::unique_ptr<Library> installLibrary);
  void bringUp(InsertReport &report, ndis::Driver &driver, const std::vector<std::string> &route);
};

std::unique_ptr<Library> Socket::Impl::install(InsertReport &report) {
  auto library = openImage(card.installImage, "to install the card with");
  auto fn = reinterpret_cast<InstallFn>(library->symbol("Install_Driver"));
  if (!fn) throw Stop{library->path().string() + " exports no Install_Driver"};

  std::u16string name = coredll::fromUtf8(card.deviceKeyName);
  std::u16string output(kInstallBufferChars, u'\0');
  LPWSTR result = nullptr;
  {
    ScopedStore scoped(host.store());
    // All of the installation lands, or none of it: a socket key without the keys it points to
    // (a handheld that stopped in the middle) would pass for an installation on every later start.
    struct Refused {};
    try {
      host.store().batch([&] {
        result = fn(name.data(), output.data(), static_cast<DWORD>(output.size()));
        if (!result) throw Refused{};
      });
    } catch (const Refused &) {
    }
  }
  if (!result) {
    throw Stop{"Install_Driver of " + library->path().string() + " returned null for " + card.deviceKeyName +
               ": the card's keys were not written"};
  }
  if (result != output.data()) throw Stop{"Install_Driver returned a pointer other than the buffer it was given"};
  std::string written = coredll::toUtf8(output.substr(0, output.find(u'\0')));
  if (!iequals(written, report.socketKey))
    throw Stop{"Install_Driver reported " + written + ", not the socket key " + report.socketKey};
  if (!host.store().keyExists(report.socketKey))
    throw Stop{"Install_Driver succeeded but " + report.socketKey + " does not exist"};
  report.installed = true;
  emit(Event::Kind::Installed, "",
       "installed: " + report.socketKey + " (Install_Driver of " + library->path().string() + ")");
  return library;
}

void Socket::Impl::loadDriver(InsertReport &report, std::unique_ptr<Library> installLibrary) {
  const registry::Store &store = host.store();
  const std::string &socketKey = report.socketKey;

  auto dll = textValue(store, socketKey, "Dll");
  if (!dll) throw Stop{socketKey + " has no Dll value: nothing is loaded for the card"};
  if (!iequals(*dll, "ndis.dll"))
    throw Stop{socketKey + " names the device driver " + *dll + "; this socket loads NDIS miniports (ndis.dll) only"};
  auto miniport = textValue(store, socketKey, "Miniport");
  if (!miniport || miniport->empty()) throw Stop{socketKey + " has no Miniport value: the miniport is not named"};
  if (miniport->find('\\') != std::string::npos) throw Stop{socketKey + " names the miniport " + *miniport + ", which is no key name"};
  report.miniport = *miniport;

  const std::string driverKey = "Comm\\" + *miniport;
  auto imagePath = textValue(store, driverKey, "ImagePath");
  if (!imagePath || imagePath->empty()) throw Stop{driverKey + " has no ImagePath value: the driver image is not named"};
  const std::string linkageKey = driverKey + "\\Linkage";
  auto route = multiTextValue(store, linkageKey, "Route");
  if (!route) {
    throw Stop{linkageKey + (store.getValue(linkageKey, "Route") ? " has a Route value that is not REG_MULTI_SZ"
                                                                  : " has no Route value: no adapter instance is listed")};
  }
  if (route->empty()) throw Stop{linkageKey + "\\Route lists no adapter instance"};

  // Opened once for the card; an image that installed the card is already loaded and is shared.
  auto library = openImage(*imagePath, ("named by " + driverKey + "\\ImagePath").c_str());
  installLibrary.reset();
  auto entry = reinterpret_cast<ndis::DriverEntryFn>(library->symbol("DriverEntry"));
  if (!entry) throw Stop{library->path().string() + " exports no DriverEntry"};
  report.image = library->path();
  driverLibrary = std::move(library);

  ndis::Driver &driver = host.loadDriver(*miniport, entry);
  if (!driver.registered()) {
    throw Stop{"DriverEntry of " + report.image.string() + " returned " + hex32(driver.entryStatus()) +
               " and registered no miniport"};
  }
  report.driverLoaded = true;
  emit(Event::Kind::DriverLoaded, "",
       "driver loaded: " + *miniport + " from " + report.image.string() + " (DriverEntry returned " +
           hex32(driver.entryStatus()) + ")");
  bringUp(report, driver, *route);
}

void Socket::Impl::bringUp(InsertReport &report, ndis::Driver &driver, const std::vector<std::string> &route) {
  const registry::Store &store = host.store();
  for (std::size_t index = 0; index < route.size(); ++index) {
    const std::string &name = route[index];
    InstanceReport ir;
    ir.name = name;
    Placed p;
    p.name = name;
    const std::string parms = "Comm\\" + name + "\\Parms";
    ir.ioBase = p.ioBase = resourceValue(store, parms, "IoBaseAddress");
    if (auto irq = resourceValue(store, parms, "InterruptNumber")) ir.interrupt = p.irq = static_cast<unsigned>(*irq);

    if (p.ioBase && p.irq) {
      try {
        if (!card.powerUp) throw std::invalid_argument("the card has nothing behind its ports");
        p.card = card.powerUp(Slot{name, index, *p.irq, options.root / nvFileName(name)});
        if (!p.card.device) throw std::invalid_argument("the card put no device on its ports");
      } catch (const std::exception &e) {
        p.card = {};
        error(report, name + ": the card cannot be powered up (" + e.what() + "); " + name + " is not started");
        report.instances.push_back(ir);
        placed.push_back(std::move(p));
        continue;
      }
      try {
        host.bus().map(*p.ioBase, kPortWindow, *p.card.device);
        ir.placed = true;
      } catch (const std::invalid_argument &) {
        p.card = {};
        error(report, format("%s: ports 0x%X-0x%X are taken on the bus; the card is not placed and %s is not started",
                             name.c_str(), *p.ioBase, *p.ioBase + kPortWindow - 1, name.c_str()));
        report.instances.push_back(ir);
        placed.push_back(std::move(p));
        continue;
      }
    } else {
      // The driver is still started: reading its resources is its own first step, and it says so.
      error(report, parms + " has no " + (p.ioBase ? "InterruptNumber" : "IoBaseAddress") + ": the card is not placed for " +
                        name);
    }

    ndis::InitializeResult result;
    try {
      result = host.initializeAdapter(driver, name, options.media);
    } catch (const std::logic_error &e) {
      error(report, name + " is not started: " + e.what());
      report.instances.push_back(ir);
      placed.push_back(std::move(p));
      continue;
    }
    ir.initialized = true;
    ir.status = result.status;
    ir.selectedMediumIndex = result.selectedMediumIndex;
    if (result.status == NDIS_STATUS_SUCCESS) {
      p.adapter = result.adapter;
      std::string where = p.ioBase && p.irq ? format(" at ports 0x%X-0x%X interrupt %u", *p.ioBase,
                                                     *p.ioBase + kPortWindow - 1, *p.irq)
                                            : std::string();
      std::string said;
      if (options.bind) {
        said = options.bind(*p.adapter);
      } else {
        std::array<std::uint8_t, 6> address{};
        auto q = p.adapter->queryInformation(kOidCurrentAddress, address);
        if (q.status == NDIS_STATUS_SUCCESS && q.bytesDone == address.size()) {
          ir.stationAddress = address;
          ir.addressFromAdapter = true;
        } else if (p.card.stationAddress) {
          ir.stationAddress = p.card.stationAddress();
        }
        if (ir.stationAddress)
          said = ", station address " + macText(*ir.stationAddress) +
                 (ir.addressFromAdapter ? "" : " (the card's; the driver does not report it)");
      }
      emit(Event::Kind::AdapterUp, name, "adapter up: " + name + where + said);
    } else {
      emit(Event::Kind::AdapterFailed, name,
           "adapter failed: " + name + ": MiniportInitialize returned " + hex32(result.status));
    }
    report.instances.push_back(ir);
    placed.push_back(std::move(p));
  }
}

Socket::Socket(ndis::Host &host, SocketOptions options) : impl_(std::make_unique<Impl>(host, std::move(options))) {}

Socket::~Socket() {
  // The owner may be going away too: nothing is reported from here.
  impl_->listener = nullptr;
  remove();
}

void Socket::setEventListener(std::function<void(const Event &)> listener) { impl_->listener = std::move(listener); }

InsertReport Socket::insert(Card card) {
  auto &s = *impl_;
  if (s.occupied) throw std::logic_error("insert: a card is in the socket already");
  s.occupied = true;
  s.card = std::move(card);
  s.ndisMemoryBefore = s.host.memoryHeld();
  s.localMemoryBefore = coredll::localBytesHeld();

  InsertReport report;
  report.socketKey = kSocketKeyPrefix + s.card.deviceKeyName;
  try {
    const std::string &name = s.card.deviceKeyName;
    if (name.empty() || name.find('\\') != std::string::npos)
      throw Stop{"the device key name \"" + name + "\" cannot name a key under " + kSocketKeyPrefix};
    std::unique_ptr<Library> installLibrary;
    if (s.host.store().keyExists(report.socketKey)) {
      s.emit(Event::Kind::Found, "", "found: " + report.socketKey + " (installed before)");
    } else {
      installLibrary = s.install(report);
    }
    s.loadDriver(report, std::move(installLibrary));
  } catch (const Stop &stop) {
    s.error(report, stop.text);
  } catch (const registry::Error &e) {
    s.error(report, std::string("registry: ") + e.what());
  }
  return report;
}

RemoveReport Socket::remove() {
  auto &s = *impl_;
  RemoveReport report;
  if (!s.occupied) return report;

  ndis::Host &host = s.host;
  std::size_t findingsBefore = host.findings().size();
  for (auto &p : s.placed) {
    if (!p.adapter || p.adapter->state() != ndis::Adapter::State::Running) continue;
    p.adapter->halt();
    report.halted.push_back(p.name);
  }
  const auto &findings = host.findings();
  for (std::size_t i = findingsBefore; i < findings.size(); ++i) report.leftovers.push_back(findings[i]);
  std::size_t ndisMemory = host.memoryHeld();
  if (ndisMemory > s.ndisMemoryBefore)
    report.leftovers.push_back(format("%zu bytes of NDIS memory still held after the halts", ndisMemory - s.ndisMemoryBefore));

  for (auto &p : s.placed) {
    p.adapter = nullptr;
    if (!p.card.device) continue;
    host.bus().unmap(*p.ioBase);
    p.card = {};
    host.bus().setIrq(*p.irq, false);
  }
  std::vector<std::string> names;
  for (auto &p : s.placed) names.push_back(p.name);
  s.placed.clear();
  s.driverLibrary.reset();

  std::size_t localMemory = coredll::localBytesHeld();
  if (localMemory > s.localMemoryBefore)
    report.leftovers.push_back(format("%zu bytes of LocalAlloc memory still held after the driver was unloaded",
                                      localMemory - s.localMemoryBefore));
  s.occupied = false;

  std::string text = "card removed";
  if (!report.halted.empty()) text += ": " + joinWords(report.halted) + " halted";
  text += report.leftovers.empty() ? ", nothing left held" : "; still held: " + joinWords(report.leftovers, "; ");
  s.emit(Event::Kind::Removed, "", text);
  return report;
}

bool Socket::occupied() const { return impl_->occupied; }

std::vector<std::string> Socket::instances() const {
  std::vector<std::string> out;
  for (const auto &p : impl_->placed) out.push_back(p.name);
  return out;
}

ndis::Adapter *Socket::adapter(std::string_view instance) const {
  for (const auto &p : impl_->placed)
    if (iequals(p.name, instance) && p.adapter && p.adapter->state() == ndis::Adapter::State::Running) return p.adapter;
  return nullptr;
}

ceddk::PortDevice *Socket::device(std::string_view instance) const {
  for (const auto &p : impl_->placed)
    if (iequals(p.name, instance)) return p.card.device.get();
  return nullptr;
}

const fs::path &Socket::root() const { return impl_->options.root; }

}  // namespace teskel::pccard
