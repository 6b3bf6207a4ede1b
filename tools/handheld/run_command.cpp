// handheld run: boots a simulated handheld in the root folder, inserts the card, runs its loop for
// a while (or until SIGINT/SIGTERM), removes the card and says how it went.
#include <signal.h>
#include <unistd.h>
#include <winuser.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iostream>
#include <map>

#include "air_session.h"
#include "bind_time.h"
#include "commands.h"
#include "mgmt_server.h"
#include "status_watch.h"
#include "teskel/controller.h"
#include "teskel/controller_card.h"
#include "teskel/coredll.h"
#include "teskel/event_loop.h"
#include "teskel/ndis_host.h"
#include "teskel/pccard.h"
#include "teskel/port_bus.h"

namespace teskel::handheld {
namespace {

namespace fs = std::filesystem;

constexpr NDIS_OID kOidMibRecord = 0xFF020191;                // the driver's private MIB record request
constexpr std::uint32_t kPrivacyOptionImplemented = 0x01010107;  // dot11PrivacyOptionImplemented
// The loop runs in slices so that controller violations are printed soon after they happen.
constexpr Micros kSlice = 100000;
constexpr Micros kStatusLook = 1000000;
// The host's name for the status timer's runs among an adapter's entry points.
constexpr const char *kTimerEntryPoint = "timer function";

struct RunOptions {
  std::optional<double> duration;  // seconds
  bool virtualClock = false;
  std::vector<sim::Fault> faults;
  bool showController = false;
  std::vector<fs::path> driverPath;
  AirOptions air;
};

void printRunHelp() {
  std::cout << "Usage: handheld [--root DIR] run [OPTIONS]\n"
               "\n"
               "Boots a simulated handheld in the root folder, inserts the 802.11 PC Card, runs until the\n"
               "duration has passed or SIGINT/SIGTERM arrives, then removes the card. The driver's keys\n"
               "are installed on first use. One line is printed per stage, and every error-log entry,\n"
               "message box, NDIS verifier finding and controller violation as it happens.\n"
               "Exit status 0 when the adapter came up and was halted with nothing left held and\n"
               "nothing was found wrong.\n"
               "\n"
               "Options:\n"
               "  --duration SECONDS  run this long (default: until SIGINT or SIGTERM)\n"
               "  --virtual           virtual clock: time jumps from event to event, as fast as possible\n"
               "  --fault NAME[=ARG]  inject a controller fault (repeatable); see below\n"
               "  --show-controller   print the card's configuration records just before removal\n"
               "  --driver-path DIR   look for driver images in DIR (repeatable; default: the lib\n"
               "                      folder next to this program's folder)\n"
            << airOptionsHelp()
            << "  --help              show this help\n"
               "\n"
               "While a card is up, one status line per second shows the link, the network joined, the\n"
               "data frames and bytes the card sent on the air and those the driver handed to the\n"
               "protocols, and the traffic's echo replies or throughput; a summary follows at the end.\n"
               "\n"
               "The default world (without --ap):\n"
            << describeWorld(sim::air::WorldConfig::defaults())
            << "A scan meets the first one first. The traffic generator uses .2 of the joined network.\n"
               "\n"
               "Faults:\n"
            << sim::faultHelpText();
}

// nullopt when --help was asked for.
std::optional<RunOptions> parse(const std::vector<std::string> &args) {
  RunOptions o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    auto is = [&](const char *name) { return arg == name || arg.starts_with(std::string(name) + "="); };
    if (arg == "--help" || arg == "-h") return std::nullopt;
    if (arg == "--virtual") {
      o.virtualClock = true;
    } else if (arg == "--show-controller") {
      o.showController = true;
    } else if (is("--duration")) {
      std::string text = optionValue(args, i, "--duration");
      char *end = nullptr;
      errno = 0;
      double seconds = std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(seconds) || seconds < 0 ||
          seconds > 1e9)
        throw UsageError("--duration takes a number of seconds, not " + argText(text));
      o.duration = seconds;
    } else if (is("--fault")) {
      std::string text = optionValue(args, i, "--fault");
      try {
        o.faults.push_back(sim::parseFault(text));
      } catch (const std::invalid_argument &e) {
        throw UsageError("--fault " + argText(text) + ": " + e.what());
      }
    } else if (is("--driver-path")) {
      std::string dir = optionValue(args, i, "--driver-path");
      if (dir.empty()) throw UsageError("--driver-path needs a folder");
      o.driverPath.push_back(fs::absolute(dir));
    } else if (parseAirOption(args, i, o.air)) {
    } else {
      throw UsageError("run: unexpected argument " + argText(arg));
    }
  }
  if (o.air.tap && o.virtualClock) throw UsageError("--tap needs the wall clock (leave out --virtual)");
  return o;
}

void say(const std::string &line) { std::cout << line << std::endl; }

// SIGINT and SIGTERM end the run the way the duration does: the card is removed cleanly.
std::atomic<EventLoop *> g_loop{nullptr};

extern "C" void onStopSignal(int) {
  if (EventLoop *loop = g_loop.load()) loop->requestStop();
}

class StopSignals {
 public:
  explicit StopSignals(EventLoop &loop) {
    g_loop.store(&loop);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // A second signal while the card is being removed ends the program the ordinary way.
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, &previousInt_);
    sigaction(SIGTERM, &action, &previousTerm_);
  }
  ~StopSignals() {
    sigaction(SIGINT, &previousInt_, nullptr);
    sigaction(SIGTERM, &previousTerm_, nullptr);
    g_loop.store(nullptr);
  }
  StopSignals(const StopSignals &) = delete;
  StopSignals &operator=(const StopSignals &) = delete;

 private:
  struct sigaction previousInt_ {}, previousTerm_ {};
};

// Message boxes the driver shows are printed and answered with their first button, as a user who
// reads them and presses Enter would.
class PrintedMessageBoxes {
 public:
  PrintedMessageBoxes() {
    previous_ = coredll::setMessageBoxHandler([](const coredll::MessageBoxRequest &box) {
      say("message box: [" + box.caption + "] " + box.text);
      switch (box.type & 0xF) {
        case MB_ABORTRETRYIGNORE: return IDABORT;
        case MB_YESNOCANCEL:
        case MB_YESNO: return IDYES;
        case MB_RETRYCANCEL: return IDRETRY;
        default: return IDOK;
      }
    });
  }
  ~PrintedMessageBoxes() { coredll::setMessageBoxHandler(previous_); }
  PrintedMessageBoxes(const PrintedMessageBoxes &) = delete;
  PrintedMessageBoxes &operator=(const PrintedMessageBoxes &) = delete;

 private:
  coredll::MessageBoxHandler previous_;
};

std::string hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// What the driver says of WEP on the card, through its MIB record request.
void printAdapterState(const std::string &instance, ndis::Adapter &adapter) {
  std::array<std::uint8_t, 16> record{};
  for (int i = 0; i < 4; ++i) record[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(kPrivacyOptionImplemented >> (8 * i));
  record[8] = 4;  // data space offered
  auto q = adapter.queryInformation(kOidMibRecord, record);
  std::uint32_t length = record[8] | record[9] << 8 | record[10] << 16 | static_cast<std::uint32_t>(record[11]) << 24;
  if (q.status == NDIS_STATUS_SUCCESS && length >= 1) {
    say("adapter state: " + instance + " WEP " + (record[12] ? "supported" : "unsupported"));
  } else {
    say("adapter state: " + instance + " WEP support not reported (dot11PrivacyOptionImplemented: " +
        hex32(q.status) + ")");
  }
}

// Prints the violations each controller recorded since the last call; returns how many there were.
class ViolationPrinter {
 public:
  std::size_t print(const pccard::Socket &socket) {
    std::size_t fresh = 0;
    for (const auto &name : socket.instances()) {
      const sim::Controller *card = sim::controllerIn(socket, name);
      if (!card) continue;
      const auto &all = card->violations();
      for (std::size_t &i = printed_[name]; i < all.size(); ++i, ++fresh) say("controller violation: " + name + ": " + all[i]);
    }
    total_ += fresh;
    return fresh;
  }
  // The card is about to go: what its controllers recorded is printed now, and the next card's
  // controllers are counted from their start.
  void cardOut(const pccard::Socket &socket) {
    print(socket);
    printed_.clear();
  }
  std::size_t total() const { return total_; }

 private:
  std::map<std::string, std::size_t> printed_;
  std::size_t total_ = 0;
};

// The first adapter that came up carries the traffic generator and the TAP bridge. Returns why
// they could not bind, or nothing.
std::string bindAir(AirSession &air, pccard::Socket &socket) {
  for (const auto &name : socket.instances()) {
    ndis::Adapter *adapter = socket.adapter(name);
    sim::Controller *controller = sim::controllerIn(socket, name);
    if (!adapter || !controller) continue;
    try {
      air.adapterUp(*adapter, *controller, controller->stationAddress());
    } catch (const std::runtime_error &e) {
      return e.what();
    }
    break;
  }
  return {};
}

}  // namespace

int runCommand(Context &context, const std::vector<std::string> &args) {
  auto options = parse(args);
  if (!options) {
    printRunHelp();
    return 0;
  }
  const fs::path root = fs::absolute(context.root());
  registry::Store &store = context.store();
  std::vector<fs::path> driverPath = options->driverPath.empty() ? pccard::defaultDriverPath() : options->driverPath;
  for (const auto &dir : options->driverPath) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) throw std::runtime_error("--driver-path " + argText(dir.string()) + " is not a folder");
  }
  // Files the driver names without a folder (its log) belong in the handheld's root folder.
  coredll::ScopedObjectStoreRoot objectStore(root);

  EventLoop loop(options->virtualClock ? EventLoop::Mode::Virtual : EventLoop::Mode::Wall);
  ceddk::PortBus bus;
  ndis::Host host(loop, bus, store);
  std::size_t findings = 0;
  host.setErrorLogListener([](const ndis::ErrorLogEntry &entry) { say("error log: " + ndis::formatErrorLogEntry(entry)); });
  host.setFindingListener([&findings](const std::string &finding) {
    ++findings;
    say("NDIS verifier: " + finding);
  });
  PrintedMessageBoxes boxes;
  StopSignals signals(loop);
  // The world outlives the socket: the card's radio is on its air until removal.
  AirSession air(loop, options->air, say);

  pccard::SocketOptions socketOptions;
  socketOptions.root = root;
  socketOptions.driverPath = driverPath;
  socketOptions.bind = bindProtocol;
  pccard::Socket socket(host, socketOptions);
  socket.setEventListener([](const pccard::Event &event) { say(event.text); });

  sim::ControllerOptions controller;
  controller.faults = options->faults;
  air.prepareCard(controller);
  const pccard::Card card = sim::controllerCard(loop, bus, controller);
  // Taken before the card goes in: a second handheld on this root is refused untouched.
  mgmt::ManagementChannel management(root, host, socket, card);
  pccard::InsertReport inserted = socket.insert(card);
  ViolationPrinter violations;
  violations.print(socket);
  management.inserted(inserted);

  const bool up = inserted.ok();
  std::string bindFailure;
  PublishedStatus published(
      store, socket.instances(),
      [&socket](const std::string &instance) {
        ndis::Adapter *adapter = socket.adapter(instance);
        if (!adapter) return false;
        for (const auto &entry : adapter->entryPointTimes())
          if (entry.entry == kTimerEntryPoint) return entry.calls > 0;
        return false;
      },
      say);
  // What the driver published last is read while its card is still in, however the card goes.
  management.setBeforeEject([&] {
    published.poll();
    published.sayFinal();
    violations.cardOut(socket);
    air.cardOut();
  });
  if (up) {
    for (const auto &instance : inserted.instances)
      if (ndis::Adapter *adapter = socket.adapter(instance.name)) printAdapterState(instance.name, *adapter);
    bindFailure = bindAir(air, socket);
  }
  if (up && bindFailure.empty()) {
    const Micros deadline = options->duration
                                ? loop.now() + static_cast<Micros>(std::llround(*options->duration * 1e6))
                                : std::numeric_limits<Micros>::max();
    Micros nextLook = 0;
    while (!loop.stopRequested() && loop.now() < deadline) {
      loop.runUntil(deadline - loop.now() > kSlice ? loop.now() + kSlice : deadline);
      violations.print(socket);
      // The driver publishes once a second; looking more often would only cost the store.
      if (loop.now() >= nextLook) {
        published.poll();
        nextLook = loop.now() + kStatusLook;
      }
      // A card put back through the management socket carries the traffic again.
      if (!air.bound() && socket.occupied()) bindFailure = bindAir(air, socket);
      if (!bindFailure.empty()) break;
      air.afterSlice();
    }
    if (socket.occupied()) {
      published.poll();
      published.sayFinal();
    }
  }
  air.stop();
  loop.clearStop();

  if (options->showController) {
    for (const auto &name : socket.instances()) {
      if (const sim::Controller *controller = sim::controllerIn(socket, name)) {
        std::cout << "controller of " << name << ":\n" << controller->describeConfiguration() << std::flush;
      }
    }
  }
  violations.print(socket);
  if (up) air.summary();
  pccard::RemoveReport removed = socket.remove();

  std::string failure;
  if (!up) {
    if (!inserted.errors.empty()) failure = inserted.errors.front();
    for (const auto &instance : inserted.instances) {
      if (failure.empty() && instance.initialized && instance.status != NDIS_STATUS_SUCCESS)
        failure = instance.name + " did not come up (MiniportInitialize returned " + hex32(instance.status) + ")";
    }
    if (failure.empty()) failure = "the adapter did not come up";
  } else if (!bindFailure.empty()) {
    failure = bindFailure;
  } else if (!removed.clean()) {
    failure = "the driver left " + std::to_string(removed.leftovers.size()) + " thing(s) held after removal";
  } else if (findings) {
    failure = "the NDIS verifier reported " + std::to_string(findings) + " finding(s)";
  } else if (!management.problems().empty()) {
    failure = management.problems().front();
  } else if (violations.total()) {
    failure = "the controller recorded " + std::to_string(violations.total()) + " protocol violation(s)";
  }
  if (!failure.empty()) {
    std::cerr << "handheld: run: " << failure << "\n";
    return 1;
  }
  return 0;
}

}  // namespace teskel::handheld
