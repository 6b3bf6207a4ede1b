// handheld run's radio side: world, capture, traffic generator, TAP bridge, status and summary.
#include "air_session.h"

#include <chrono>
#include <cstdio>

#include "commands.h"
#include "tap_bridge.h"

namespace teskel::handheld {
namespace {

constexpr Micros kStatusInterval = 1000000;
constexpr std::uint16_t kRidDesiredSsid = 0xFC02, kRidCurrentBssid = 0xFD42, kRidCurrentChannel = 0xFDC1;

const char *portStatusText(std::uint16_t status) {
  switch (status) {
    case 1: return "disabled";
    case 2: return "searching";
    case 3: return "ad hoc";
    case 4: return "associated";
    case 5: return "out of range";
    default: return "unknown";
  }
}

bool isData(const sim::air::AirFrame &f) { return f.bytes.size() >= 24 && (f.bytes[0] & 0x0C) == 0x08; }

bool sameMac(std::span<const std::uint8_t> bytes, std::size_t at, const sim::air::Mac &mac) {
  return bytes.size() >= at + 6 && std::equal(mac.begin(), mac.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

// The .2 of the responder's network.
TrafficTarget targetFor(const sim::air::ResponderConfig &responder) {
  TrafficTarget t;
  t.responder = responder.ip;
  std::uint32_t ip = static_cast<std::uint32_t>(responder.ip[0]) << 24 | responder.ip[1] << 16 | responder.ip[2] << 8 |
                     responder.ip[3];
  std::uint32_t mask = responder.prefixLength >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> responder.prefixLength);
  std::uint32_t own = (ip & mask) | 2;
  t.own = {static_cast<std::uint8_t>(own >> 24), static_cast<std::uint8_t>(own >> 16), static_cast<std::uint8_t>(own >> 8),
           static_cast<std::uint8_t>(own)};
  return t;
}

std::string seconds(Micros t) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(t) / 1e6);
  return text;
}

}  // namespace

bool parseAirOption(const std::vector<std::string> &args, std::size_t &i, AirOptions &o) {
  const std::string &arg = args[i];
  auto is = [&](const char *name) { return arg == name || arg.starts_with(std::string(name) + "="); };
  if (parseWorldOption(args, i, o.world)) return true;
  if (is("--pcap")) {
    o.pcap = optionValue(args, i, "--pcap");
    if (o.pcap->empty()) throw UsageError("--pcap needs a file");
  } else if (is("--tap")) {
    o.tap = optionValue(args, i, "--tap");
    if (o.tap->empty()) throw UsageError("--tap needs a device name");
  } else if (is("--traffic")) {
    o.traffic = parseTraffic(optionValue(args, i, "--traffic"));
  } else {
    return false;
  }
  return true;
}

std::string airOptionsHelp() {
  return worldOptionsHelp() +
         "  --pcap FILE         capture everything on the air into FILE (pcap, 802.11 with radiotap)\n"
         "  --tap NAME          bridge the adapter to the TAP device NAME, so that the kernel's own\n"
         "                      stack talks through the driver (wall clock; needs CAP_NET_ADMIN, e.g.\n"
         "                      inside `unshare -rn`)\n"
         "  --traffic ping[=RATE]|udp[=SIZE]\n"
         "                      from .2 of the joined network: ICMP echo to its responder at RATE per\n"
         "                      second (default 10), or UDP datagrams of SIZE bytes (default 1472) to\n"
         "                      its discard port as fast as the adapter takes them\n";
}

AirSession::AirSession(EventLoop &loop, AirOptions options, Say say)
    : loop_(loop), options_(std::move(options)), say_(std::move(say)) {
  sim::air::WorldConfig config = buildWorld(options_.world);
  if (options_.pcap) {
    // Records carry wall-clock time: the run's start plus the handheld's time since, on the
    // virtual clock too.
    const auto unixNow = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    capture_ = std::make_unique<sim::air::Capture>(*options_.pcap, static_cast<std::uint64_t>(unixNow) - loop_.now());
  }
  world_ = sim::air::makeWorld(loop_, std::move(config));
  if (capture_) world_->medium().addObserver(capture_->observer());
  world_->medium().addObserver([this](const sim::air::AirFrame &frame) { observe(frame); });
  started_ = loop_.now();
  nextStatus_ = started_ + kStatusInterval;
}

// The bindings go before the world and the capture they report to.
AirSession::~AirSession() {
  tap_.reset();
  traffic_.reset();
  counter_.reset();
  retired_.clear();
}

void AirSession::prepareCard(sim::ControllerOptions &card) { card.medium = &world_->medium(); }

void AirSession::adapterUp(ndis::Adapter &adapter, sim::Controller &controller, const sim::air::Mac &station) {
  if (adapter_) return;  // the first adapter carries the traffic
  adapter_ = &adapter;
  controller_ = &controller;
  station_ = station;
  counter_ = std::make_unique<FrameBinding>(adapter, [this](std::span<const std::uint8_t> frame) {
    ++received_.frames;
    received_.bytes += frame.size();
  });
  if (options_.traffic) traffic_ = std::make_unique<TrafficGenerator>(loop_, adapter, station, *options_.traffic);
  if (options_.tap) tap_ = std::make_unique<TapBridge>(loop_, adapter, *options_.tap, station, say_);
}

void AirSession::observe(const sim::air::AirFrame &frame) {
  if (!adapter_ || !isData(frame) || !sameMac(frame.bytes, 10, station_)) return;
  ++sent_.frames;
  sent_.bytes += frame.bytes.size();
}

std::optional<AirSession::Network> AirSession::joined() const {
  if (!controller_) return std::nullopt;
  std::uint16_t status = controller_->portStatus();
  const sim::air::WorldConfig &config = world_->config();
  if (status == 4 || status == 5) {
    auto record = controller_->record(kRidCurrentBssid);
    if (!record || record->size() < 6) return std::nullopt;
    sim::air::Mac bssid{};
    std::copy_n(record->begin(), 6, bssid.begin());
    for (const auto &ap : config.accessPoints)
      if (ap.bssid == bssid) return Network{ap.ssid, formatMac(bssid), ap.channel, targetFor(ap.responder)};
    return Network{"an unknown network", formatMac(bssid), 0, std::nullopt};
  }
  if (status == 3) {
    // Ad hoc or no association: the peers of the desired SSID (any, when empty) on this channel.
    int channel = controller_->recordWord(kRidCurrentChannel).value_or(0);
    std::string desired;
    if (auto ssid = controller_->record(kRidDesiredSsid); ssid && ssid->size() >= 2) {
      std::size_t length = std::min<std::size_t>((*ssid)[0] | (*ssid)[1] << 8, ssid->size() - 2);
      desired.assign(ssid->begin() + 2, ssid->begin() + 2 + static_cast<std::ptrdiff_t>(length));
    }
    bool anyName = desired.empty() || controller_->recordWord(0xFC00).value_or(1) == 3;
    for (const auto &peer : config.peers)
      if (peer.channel == channel && (anyName || peer.ssid == desired))
        return Network{peer.ssid, formatMac(peer.mac), channel, targetFor(peer.responder)};
    return Network{desired.empty() ? "an ad hoc network" : desired, "", channel, std::nullopt};
  }
  return std::nullopt;
}

std::string AirSession::statusLine() {
  std::string line = "[" + seconds(loop_.now() - started_) + "] link " + portStatusText(controller_->portStatus());
  auto network = joined();
  if (network) {
    line += ", " + network->name;
    if (!network->bssid.empty() || network->channel)
      line += " (" + network->bssid + (network->bssid.empty() ? "" : ", ") + "channel " + std::to_string(network->channel) + ")";
  }
  line += ", sent " + std::to_string(sent_.frames - sentReported_.frames) + " frames " +
          std::to_string(sent_.bytes - sentReported_.bytes) + " bytes, received " +
          std::to_string(received_.frames - receivedReported_.frames) + " frames " +
          std::to_string(received_.bytes - receivedReported_.bytes) + " bytes";
  sentReported_ = sent_;
  receivedReported_ = received_;
  if (traffic_) line += ", " + traffic_->statusText();
  if (tap_) {
    const auto &c = tap_->counters();
    line += ", tap " + std::to_string(c.toAdapter) + " out " + std::to_string(c.fromAdapter) + " in";
  }
  return line;
}

void AirSession::cardOut() {
  if (!adapter_) return;
  if (traffic_) traffic_->stop();
  if (tap_) tap_->stop();
  retired_.push_back({std::move(counter_), std::move(traffic_), std::move(tap_)});
  adapter_ = nullptr;
  controller_ = nullptr;
  lastNetwork_.clear();
}

void AirSession::afterSlice() {
  if (!controller_) {
    while (!retired_.empty() && loop_.now() >= nextStatus_) {
      say_("[" + seconds(loop_.now() - started_) + "] card out");
      nextStatus_ += kStatusInterval;
    }
    return;
  }
  auto network = joined();
  std::string name = network ? network->name : "";
  if (traffic_) traffic_->setTarget(network ? network->target : std::nullopt);
  lastNetwork_ = name;
  while (loop_.now() >= nextStatus_) {
    say_(statusLine());
    nextStatus_ += kStatusInterval;
  }
  if (capture_) capture_->flush();
}

void AirSession::stop() {
  if (!stoppedAt_) stoppedAt_ = loop_.now();
  if (traffic_) traffic_->stop();
  if (tap_) tap_->stop();
}

void AirSession::summary() {
  std::string line = "summary: " + seconds((stoppedAt_ ? stoppedAt_ : loop_.now()) - started_) + ", " +
                     (lastNetwork_.empty() ? std::string("no network joined") : "joined " + lastNetwork_) + ", sent " +
                     std::to_string(sent_.frames) + " frames " + std::to_string(sent_.bytes) + " bytes, received " +
                     std::to_string(received_.frames) + " frames " + std::to_string(received_.bytes) + " bytes";
  say_(line);
  if (traffic_) say_("summary: " + traffic_->summaryText());
  if (tap_) {
    const auto &c = tap_->counters();
    say_("summary: tap " + tap_->name() + ": " + std::to_string(c.toAdapter) + " frames to the adapter, " +
         std::to_string(c.fromAdapter) + " from it, " + std::to_string(c.dropped) + " dropped");
  }
  if (capture_) {
    capture_->flush();
    say_("summary: capture " + capture_->path().string() + ": " + std::to_string(capture_->frames()) + " frames");
  }
}

std::optional<TrafficGenerator::Stats> AirSession::trafficStats() const {
  if (!traffic_) return std::nullopt;
  return traffic_->stats();
}

}  // namespace teskel::handheld
