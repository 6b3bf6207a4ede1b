// The controller's MAC on the air: active scanning, open-system authentication and association,
// beacon loss and rescans, deauthentication, ad hoc networks and their beacons, and the port
// with no association. Frames reach the air through the medium the controller is attached to.
#include <algorithm>

#include "controller_impl.h"

namespace teskel::sim {

using namespace hw;

namespace {

constexpr std::uint16_t kMgmtAssocRequest = 0x0000, kMgmtAssocResponse = 0x0010, kMgmtProbeRequest = 0x0040,
                        kMgmtProbeResponse = 0x0050, kMgmtBeacon = 0x0080, kMgmtDisassoc = 0x00A0,
                        kMgmtAuth = 0x00B0, kMgmtDeauth = 0x00C0;
constexpr std::uint16_t kSubtypeMask = 0x00FC, kTypeMask = 0x000C;
constexpr std::uint16_t kCapEss = 0x0001, kCapIbss = 0x0002, kCapPrivacy = 0x0010;
constexpr Micros kDwellUs = 20000;        // per channel of a scan
constexpr Micros kHandshakeUs = 20000;    // for each answer while joining
constexpr Micros kBeaconUs = 102400;      // 100 TU
constexpr unsigned kBeaconsMissed = 10;   // in a row, before the port is out of range
constexpr Micros kOutOfRangeScanUs = 3000000;
constexpr int kLastChannel = 14;
constexpr int kOwnSignal = 100;           // how strongly the card is heard
constexpr std::uint16_t kNoise = 10;
const MacAddress kBroadcastAddress = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

MacAddress macAt(const std::vector<std::uint8_t> &b, std::size_t at) {
  MacAddress m{};
  std::copy(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + 6), m.begin());
  return m;
}

void put(std::vector<std::uint8_t> &b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}

void ssidElement(std::vector<std::uint8_t> &b, const std::string &ssid) {
  b.push_back(0);
  b.push_back(static_cast<std::uint8_t>(ssid.size()));
  b.insert(b.end(), ssid.begin(), ssid.end());
}

const std::uint8_t kRates[] = {1, 2, 0x82, 0x84};

// SSID and channel elements of a beacon or probe response body, from offset 12.
struct Announcement {
  std::uint16_t capability = 0;
  std::optional<std::string> ssid;
  int channel = 0;
};
std::optional<Announcement> parseAnnouncement(const std::vector<std::uint8_t> &frame) {
  if (frame.size() < 24 + 12) return std::nullopt;
  Announcement a;
  a.capability = le16(frame, 24 + 10);
  for (std::size_t at = 24 + 12; at + 2 <= frame.size();) {
    const std::size_t n = frame[at + 1];
    if (at + 2 + n > frame.size()) break;
    if (frame[at] == 0 && !a.ssid) a.ssid = std::string(frame.begin() + static_cast<std::ptrdiff_t>(at + 2),
                                                        frame.begin() + static_cast<std::ptrdiff_t>(at + 2 + n));
    if (frame[at] == 3 && n == 1) a.channel = frame[at + 2];
    at += 2 + n;
  }
  return a;
}

// A probe request for this SSID or for any (the wildcard).
bool probeWants(const std::vector<std::uint8_t> &frame, const std::string &ssid) {
  if (frame.size() < 26 || frame[24] != 0 || 26u + frame[25] > frame.size()) return false;
  return frame[25] == 0 || std::string(frame.begin() + 26, frame.begin() + 26 + frame[25]) == ssid;
}

}  // namespace

std::uint64_t Controller::Impl::random() {
  rng = rng * 6364136223846793005ULL + 1442695040888963407ULL;
  return rng >> 16;
}

std::string Controller::Impl::desiredSsid() const {
  const auto &d = records.at(kRidDesiredSsid).data;
  const std::size_t n = std::min<std::size_t>({le16(d, 0), 32, d.size() - 2});
  return std::string(d.begin() + 2, d.begin() + 2 + static_cast<std::ptrdiff_t>(n));
}

void Controller::Impl::macTimer(Micros delay, std::function<void()> fn) {
  scheduleWork(delay, [this, epoch = macEpoch, fn = std::move(fn)] {
    if (epoch == macEpoch) fn();
  });
}

void Controller::Impl::enterPhase(Phase next) {
  phase = next;
  ++macEpoch;
}

Micros Controller::Impl::sendAir(std::vector<std::uint8_t> frame) {
  const Micros start = std::max(loop.now(), radioFreeAt);
  radioFreeAt = start + air::airtimeOf(frame.size());
  if (!options.medium || !radioPort) return radioFreeAt;
  auto put = [this, frame = std::move(frame)]() mutable {
    if (!enabled) return;
    air::AirFrame f;
    f.bytes = std::move(frame);
    f.channel = listenChannel;
    f.signal = kOwnSignal;
    options.medium->send(*radioPort, std::move(f));
  };
  if (start == loop.now())
    put();
  else
    scheduleWorkAt(start, std::move(put));
  return radioFreeAt;
}

std::vector<std::uint8_t> Controller::Impl::managementFrame(std::uint16_t kind, const MacAddress &to,
                                                            const MacAddress &network,
                                                            const std::vector<std::uint8_t> &body) {
  const MacAddress self = stationAddress();
  std::vector<std::uint8_t> f;
  put(f, kind);
  put(f, 0);
  f.insert(f.end(), to.begin(), to.end());
  f.insert(f.end(), self.begin(), self.end());
  f.insert(f.end(), network.begin(), network.end());
  put(f, static_cast<std::uint16_t>((sequence++ & 0x0FFF) << 4));
  f.insert(f.end(), body.begin(), body.end());
  return f;
}

// ---------------------------------------------------------------------------------------------
// Enable and disable.

void Controller::Impl::enablePort() {
  if (enabled) return;
  enabled = true;
  switch (word(kRidPortType)) {
    case 3:
      // No association: peers on the own channel are heard at once.
      enterPhase(Phase::NoAssociation);
      listenChannel = word(kRidOwnChannel);
      setPortState(kPortAdHocJoined, MacAddress{}, static_cast<std::uint16_t>(listenChannel), 0, 0, kNoise);
      return;
    default:
      setPortState(kPortSearching, MacAddress{}, 0, 0, 0, 0);
      startScan();
  }
}

void Controller::Impl::disablePort() {
  enterPhase(Phase::Off);
  setPortState(kPortDisabled, MacAddress{}, 0, 0, 0, 0);
  listenChannel = 0;
  enabled = false;
}

// ---------------------------------------------------------------------------------------------
// Scanning and joining.

void Controller::Impl::startScan(int fromChannel) {
  enterPhase(Phase::Scanning);
  if (portStatusValue != kPortSearching) setPortState(kPortSearching, MacAddress{}, 0, 0, 0, 0);
  scanChannel(fromChannel);
}

void Controller::Impl::scanChannel(int channel) {
  listenChannel = channel;
  std::vector<std::uint8_t> body;
  ssidElement(body, desiredSsid());  // empty: the wildcard
  body.insert(body.end(), std::begin(kRates), std::end(kRates));
  sendAir(managementFrame(kMgmtProbeRequest, kBroadcastAddress, kBroadcastAddress, body));
  macTimer(kDwellUs, [this, channel] {
    if (channel < kLastChannel) {
      scanChannel(channel + 1);
    } else if (word(kRidPortType) == 0) {
      startIbss(std::nullopt, word(kRidOwnChannel), 0);  // no network of that name: start one
    } else {
      startScan();
    }
  });
}

void Controller::Impl::join(const MacAddress &network, int channel, int signalLevel) {
  enterPhase(Phase::Authenticating);
  candidate = network;
  candidateChannel = channel;
  candidateSignal = signalLevel;
  listenChannel = channel;
  std::vector<std::uint8_t> body;
  put(body, 0);  // open system
  put(body, 1);
  put(body, 0);
  sendAir(managementFrame(kMgmtAuth, network, network, body));
  macTimer(kHandshakeUs, [this] { joinFailed(); });
}

void Controller::Impl::joinFailed() {
  if (enabled) pushInfo(kInfoLinkStatus, {kLinkAssociationFailed});
  const int next = candidateChannel + 1;
  startScan(next > kLastChannel ? 1 : next);
}

void Controller::Impl::associated() {
  enterPhase(Phase::Associated);
  lastBeacon = loop.now();
  const auto s = static_cast<std::uint16_t>(std::clamp(candidateSignal, 0, 200));
  setPortState(kPortAssociated, candidate, static_cast<std::uint16_t>(candidateChannel),
               static_cast<std::uint16_t>(s > kNoise ? s - kNoise : 0), s, kNoise);
  watchBeacons();
}

// Checks for beacons once ten intervals after the last one heard.
void Controller::Impl::watchBeacons() {
  const Micros due = lastBeacon + kBeaconsMissed * kBeaconUs + kBeaconUs / 2;
  macTimer(due > loop.now() ? due - loop.now() : 0, [this] {
    if (loop.now() < lastBeacon + kBeaconsMissed * kBeaconUs) {
      watchBeacons();
      return;
    }
    enterPhase(Phase::OutOfRange);
    setPortState(kPortOutOfRange, bssid, linkChannel, 0, 0, kNoise);
    macTimer(kOutOfRangeScanUs, [this] { startScan(); });
  });
}

void Controller::Impl::startIbss(const std::optional<MacAddress> &network, int channel, int signalLevel) {
  enterPhase(Phase::Ibss);
  MacAddress id{};
  if (network) {
    id = *network;
  } else {
    const std::uint64_t r = random();
    for (std::size_t i = 0; i < 6; ++i) id[i] = static_cast<std::uint8_t>(r >> (8 * i));
    id[0] = static_cast<std::uint8_t>((id[0] & 0xFC) | 0x02);  // locally administered, individual
  }
  listenChannel = channel;
  const auto s = static_cast<std::uint16_t>(std::clamp(signalLevel, 0, 200));
  setPortState(kPortAdHocJoined, id, static_cast<std::uint16_t>(channel), static_cast<std::uint16_t>(s > kNoise ? s - kNoise : 0),
               s, kNoise);
  beaconIbss();
}

void Controller::Impl::beaconIbss() {
  std::vector<std::uint8_t> body(8, 0);
  const Micros t = loop.now();
  for (std::size_t i = 0; i < 8; ++i) body[i] = static_cast<std::uint8_t>(t >> (8 * i));
  put(body, 100);
  put(body, static_cast<std::uint16_t>(kCapIbss | ((word(kRidWepFlags) & 1) ? kCapPrivacy : 0)));
  ssidElement(body, desiredSsid());
  body.insert(body.end(), std::begin(kRates), std::end(kRates));
  body.insert(body.end(), {3, 1, static_cast<std::uint8_t>(listenChannel)});
  sendAir(managementFrame(kMgmtBeacon, kBroadcastAddress, bssid, body));
  macTimer(kBeaconUs, [this] { beaconIbss(); });
}

// ---------------------------------------------------------------------------------------------
// What the radio hears.

ReceiveResult Controller::Impl::hear(const std::vector<std::uint8_t> &frame, int frameSignal) {
  if (!enabled) return ReceiveResult::NotConnected;
  if (frame.size() >= 24 && (le16(frame, 0) & kTypeMask) == 0) {
    handleManagement(frame, frameSignal);
    return ReceiveResult::NotData;
  }
  return receive(frame, frameSignal);
}

void Controller::Impl::handleManagement(const std::vector<std::uint8_t> &frame, int frameSignal) {
  const std::uint16_t kind = le16(frame, 0) & kSubtypeMask;
  const MacAddress to = macAt(frame, 4), from = macAt(frame, 10), network = macAt(frame, 16);
  const MacAddress self = stationAddress();
  const bool forUs = to == self;
  const std::uint16_t type = word(kRidPortType);

  if (phase == Phase::Scanning && (kind == kMgmtBeacon || kind == kMgmtProbeResponse)) {
    auto a = parseAnnouncement(frame);
    if (!a || !a->ssid || (a->channel && a->channel != listenChannel)) return;
    const std::string wanted = desiredSsid();
    if (!wanted.empty() && *a->ssid != wanted) return;
    if (type == 0 && (a->capability & kCapIbss))
      startIbss(network, listenChannel, frameSignal);
    else if (type != 0 && (a->capability & kCapEss))
      join(network, listenChannel, frameSignal);
    return;
  }
  if (phase == Phase::Authenticating && kind == kMgmtAuth && forUs && from == candidate && frame.size() >= 30) {
    if (le16(frame, 24) != 0 || le16(frame, 26) != 2 || le16(frame, 28) != 0) return joinFailed();
    enterPhase(Phase::Associating);
    std::vector<std::uint8_t> body;
    put(body, static_cast<std::uint16_t>(kCapEss | ((word(kRidWepFlags) & 1) ? kCapPrivacy : 0)));
    put(body, 3);  // listen interval
    ssidElement(body, desiredSsid());
    body.insert(body.end(), std::begin(kRates), std::end(kRates));
    sendAir(managementFrame(kMgmtAssocRequest, candidate, candidate, body));
    macTimer(kHandshakeUs, [this] { joinFailed(); });
    return;
  }
  if (phase == Phase::Associating && kind == kMgmtAssocResponse && forUs && from == candidate && frame.size() >= 30) {
    if (le16(frame, 26) != 0) return joinFailed();
    return associated();
  }
  const bool ours = from == bssid && (phase == Phase::Associated || phase == Phase::OutOfRange);
  if (ours && kind == kMgmtBeacon) {
    lastBeacon = loop.now();
    const auto s = static_cast<std::uint16_t>(std::clamp(frameSignal, 0, 200));
    signal = s;
    quality = static_cast<std::uint16_t>(s > kNoise ? s - kNoise : 0);
    if (phase == Phase::OutOfRange) {
      enterPhase(Phase::Associated);
      setPortState(kPortAssociated, bssid, linkChannel, quality, signal, kNoise);
      watchBeacons();
    }
    return;
  }
  if (ours && forUs && (kind == kMgmtDeauth || kind == kMgmtDisassoc)) {
    startScan();
    return;
  }
  if (phase == Phase::Ibss && kind == kMgmtProbeRequest && (to == kBroadcastAddress || to == self) &&
      probeWants(frame, desiredSsid())) {
    // A station of the ad hoc network answers probes for it, as the one beaconing would.
    std::vector<std::uint8_t> body(8, 0);
    put(body, 100);
    put(body, static_cast<std::uint16_t>(kCapIbss | ((word(kRidWepFlags) & 1) ? kCapPrivacy : 0)));
    ssidElement(body, desiredSsid());
    body.insert(body.end(), std::begin(kRates), std::end(kRates));
    body.insert(body.end(), {3, 1, static_cast<std::uint8_t>(listenChannel)});
    sendAir(managementFrame(kMgmtProbeResponse, from, bssid, body));
  }
}

}  // namespace teskel::sim
