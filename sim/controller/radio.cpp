// The controller's MAC on the air: active scanning, open-system authentication and association,
// beacon loss and rescans, deauthentication and leaving, ad hoc networks and their beacons, the
// port with no association, and power saving. Frames reach the air through the controller's own
// coordination function (air::Dcf) on the medium it is attached to.
#include <algorithm>

#include "controller_impl.h"

namespace teskel::sim {

using namespace hw;
namespace fc = air::fc;

namespace {

constexpr std::uint16_t kSubtypeNullData = 0x0048;
constexpr std::uint16_t kCapEss = 0x0001, kCapIbss = 0x0002, kCapPrivacy = 0x0010;
constexpr std::uint16_t kReasonLeaving = 8;  // disassociated because the station leaves
constexpr Micros kDwellUs = 20000;           // per channel of a scan
constexpr Micros kHandshakeUs = 200000;      // for each answer while joining, on a busy channel too
constexpr Micros kBeaconUs = 102400;         // 100 TU
constexpr unsigned kBeaconsMissed = 10;      // in a row, before the port is out of range
constexpr Micros kOutOfRangeScanUs = 3000000;
constexpr unsigned kListenInterval = 3;      // beacons a sleeping station lets pass
constexpr Micros kGroupWindowUs = 10000;     // awake after a beacon that announces group frames
constexpr unsigned kIbssBeaconSlots = 2 * air::phy::kCwMin;
constexpr int kLastChannel = 14;
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

// The elements of a beacon or probe response body (from offset 36 of the frame) that the MAC uses.
struct Announcement {
  std::uint64_t timestamp = 0;
  std::uint16_t capability = 0;
  std::optional<std::string> ssid;
  int channel = 0;
  std::vector<std::uint8_t> tim;  // the traffic indication map's value, when present
};
std::optional<Announcement> parseAnnouncement(const std::vector<std::uint8_t> &frame) {
  if (frame.size() < 24 + 12) return std::nullopt;
  Announcement a;
  for (int i = 7; i >= 0; --i) a.timestamp = (a.timestamp << 8) | frame[24 + static_cast<std::size_t>(i)];
  a.capability = le16(frame, 24 + 10);
  for (std::size_t at = 24 + 12; at + 2 <= frame.size();) {
    const std::size_t n = frame[at + 1];
    if (at + 2 + n > frame.size()) break;
    auto value = frame.begin() + static_cast<std::ptrdiff_t>(at + 2);
    if (frame[at] == 0 && !a.ssid) a.ssid = std::string(value, value + static_cast<std::ptrdiff_t>(n));
    if (frame[at] == 3 && n == 1) a.channel = frame[at + 2];
    if (frame[at] == 5 && n >= 4) a.tim.assign(value, value + static_cast<std::ptrdiff_t>(n));
    at += 2 + n;
  }
  return a;
}

// Whether a traffic indication map names this association id.
bool timNames(const std::vector<std::uint8_t> &tim, std::uint16_t aid) {
  if (tim.size() < 4 || aid == 0) return false;
  const std::size_t offset = (tim[2] & 0xFE);  // the bitmap's first octet, in octets
  const std::size_t octet = aid / 8u;
  if (octet < offset || octet - offset >= tim.size() - 3) return false;
  return (tim[3 + octet - offset] >> (aid % 8u)) & 1;
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

// A network with the Privacy bit is for stations that encrypt, and one without it for those
// that do not.
bool Controller::Impl::privacyMatches(std::uint16_t capability) const {
  return ((capability & kCapPrivacy) != 0) == ((word(kRidWepFlags) & 1) != 0);
}

void Controller::Impl::macTimer(Micros delay, std::function<void()> fn) {
  scheduleWork(delay, [this, epoch = macEpoch, fn = std::move(fn)] {
    if (epoch == macEpoch) fn();
  });
}

void Controller::Impl::enterPhase(Phase next) {
  wakeUp();
  phase = next;
  ++macEpoch;
  awaitingBeacon = awaitingPoll = psAnnounced = false;
  groupUntil = 0;
  updateInterest();
}

void Controller::Impl::syncAddress() {
  if (dcf) dcf->setAddress(stationAddress());
}

// Frames to the station's own address always reach the MAC. Beyond them it takes what its state
// has a use for: while scanning every beacon, joined its network's beacons and the group data
// frames, in an ad hoc network the probe requests too; promiscuous, every data frame. Damaged
// receptions are counted (tally 15) while the port is enabled.
void Controller::Impl::updateInterest() {
  if (!dcf) return;
  air::Interest i;
  i.everything = false;
  if (enabled) {
    using I = air::Interest;
    i.damaged = true;
    i.groups = I::kOtherGroup;
    switch (phase) {
      case Phase::Scanning: i.groups |= I::kBeacons; break;
      case Phase::Associated:
      case Phase::OutOfRange:
        i.groups |= I::kBeacons | I::kGroupData;
        i.network = bssid;
        break;
      case Phase::Ibss:
        i.groups |= I::kBeacons | I::kProbeRequests | I::kGroupData;
        i.network = bssid;
        break;
      case Phase::NoAssociation: i.groups |= I::kGroupData; break;
      default: break;
    }
    if (word(kRidPromiscuous) != 0) {
      i.others = true;
      i.groups |= I::kGroupData;
    }
    // The rx-drop fault decides on every data frame the radio hears, its draws and the EIFS
    // that follows a dropped one included: the MAC then follows the air as a whole.
    if (fault(Fault::Kind::RxDrop)) i.everything = true;
  }
  dcf->takes(i);
}

void Controller::Impl::tuneRadio(int channel) {
  listenChannel = channel;
  if (dcf) dcf->tune(channel);
}

void Controller::Impl::sendFrame(std::vector<std::uint8_t> frame, std::uint64_t token, air::SendOptions options) {
  if (!dcf) return;
  if (dozing) wakeUp();  // sending wakes the station for the exchange
  dcf->send(std::move(frame), token, options);
}

std::vector<std::uint8_t> Controller::Impl::managementFrame(std::uint16_t kind, const MacAddress &to,
                                                            const MacAddress &network,
                                                            const std::vector<std::uint8_t> &body) {
  const MacAddress self = stationAddress();
  std::vector<std::uint8_t> f;
  f.reserve(24 + body.size());
  put(f, kind);
  put(f, 0);
  f.insert(f.end(), to.begin(), to.end());
  f.insert(f.end(), self.begin(), self.end());
  f.insert(f.end(), network.begin(), network.end());
  put(f, 0);  // the coordination function numbers the frame as it leaves
  f.insert(f.end(), body.begin(), body.end());
  return f;
}

void Controller::Impl::airFinished(const air::TxReport &report) {
  if (report.token & kTokenData) {
    // Frames of an earlier generation belong to buffers an initialise freed.
    if (((report.token >> 16) & 0xFFFFFFFFu) == (generation & 0xFFFFFFFFu))
      transmitDone(static_cast<std::uint16_t>(report.token & 0xFFFF), report);
  } else if (report.token == kTokenLeave) {
    farewellPending = false;
    if (startAfterFarewell) {
      startAfterFarewell = false;
      if (enabled) startPort();
    } else if (!enabled && dcf && dcf->idle()) {
      tuneRadio(0);
    }
    return;
  } else if (report.token == kTokenSleep) {
    psAnnounced = report.outcome == air::TxOutcome::Acknowledged;
  }
  maybeDoze();
}

// ---------------------------------------------------------------------------------------------
// Enable, disable and leaving.

void Controller::Impl::enablePort() {
  if (enabled) return;
  enabled = true;
  if (word(kRidPortType) == 3) {
    // No association: peers on the own channel are heard at once.
    enterPhase(Phase::NoAssociation);
    setPortState(kPortAdHocJoined, MacAddress{}, word(kRidOwnChannel), 0, 0, kNoise);
  } else {
    setPortState(kPortSearching, MacAddress{}, 0, 0, 0, 0);
  }
  updateInterest();
  // A port enabled again before its farewell to the last network has left takes to the air
  // once it has: the disassociation goes out on that network's channel.
  if (farewellPending) {
    startAfterFarewell = true;
    return;
  }
  startPort();
}

void Controller::Impl::startPort() {
  if (word(kRidPortType) == 3)
    tuneRadio(word(kRidOwnChannel));
  else
    startScan();
}

void Controller::Impl::disablePort() {
  startAfterFarewell = false;
  const bool wasAssociated = enabled && portStatusValue == kPortAssociated;
  enterPhase(Phase::Off);
  setPortState(kPortDisabled, MacAddress{}, 0, 0, 0, 0);
  enabled = false;
  updateInterest();
  leaveNetwork(wasAssociated);
}

void Controller::Impl::leaveNetwork(bool farewell) {
  if (!dcf) return;
  const MacAddress network = candidate;
  if (farewell) {
    // The disassociation goes out on the channel of the network it leaves, then the radio stops.
    if (listenChannel != candidateChannel) tuneRadio(candidateChannel);
    dcf->flush();
    std::vector<std::uint8_t> reason;
    put(reason, kReasonLeaving);
    farewellPending = true;
    sendFrame(managementFrame(fc::kDisassoc, network, network, reason), kTokenLeave);
    return;
  }
  dcf->flush();
  if (!enabled) tuneRadio(0);
}

// ---------------------------------------------------------------------------------------------
// Scanning and joining.

void Controller::Impl::startScan(int fromChannel) {
  enterPhase(Phase::Scanning);
  aid = 0;
  if (portStatusValue != kPortSearching) setPortState(kPortSearching, MacAddress{}, 0, 0, 0, 0);
  scanChannel(fromChannel);
}

void Controller::Impl::scanChannel(int channel) {
  tuneRadio(channel);
  if (dcf) dcf->flush();  // nothing meant for another channel goes out on this one
  std::vector<std::uint8_t> body;
  ssidElement(body, desiredSsid());  // empty: the wildcard
  body.insert(body.end(), std::begin(kRates), std::end(kRates));
  sendFrame(managementFrame(fc::kProbeRequest, kBroadcastAddress, kBroadcastAddress, body));
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

void Controller::Impl::join(const MacAddress &network, int channel, int signalLevel, const std::string &ssid) {
  enterPhase(Phase::Authenticating);
  candidate = network;
  candidateChannel = channel;
  candidateSignal = signalLevel;
  candidateSsid = ssid;
  tuneRadio(channel);
  std::vector<std::uint8_t> body;
  put(body, 0);  // open system
  put(body, 1);
  put(body, 0);
  sendFrame(managementFrame(fc::kAuth, network, network, body));
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
  powerSaveChanged();
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
    wakeUp();
    setPortState(kPortOutOfRange, bssid, linkChannel, 0, 0, kNoise);
    macTimer(kOutOfRangeScanUs, [this] {
      leaveNetwork(false);
      startScan();
    });
  });
}

// ---------------------------------------------------------------------------------------------
// Ad hoc networks.

void Controller::Impl::setTsf(std::uint64_t value, Micros at) {
  tsfBase = value;
  tsfAt = at;
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
  tuneRadio(channel);
  const auto s = static_cast<std::uint16_t>(std::clamp(signalLevel, 0, 200));
  setPortState(kPortAdHocJoined, id, static_cast<std::uint16_t>(channel), static_cast<std::uint16_t>(s > kNoise ? s - kNoise : 0),
               s, kNoise);
  ibssBeaconTimes();
}

// At every target beacon time of the network each station draws a delay of 0 to 62 slots and
// sends a beacon unless another station's beacon comes first.
void Controller::Impl::ibssBeaconTimes() {
  const Micros now = loop.now();
  macTimer(kBeaconUs - tsf(now) % kBeaconUs, [this] {
    if (dcf) {
      dcf->cancel(kTokenBeacon);
      const auto delay = static_cast<unsigned>(random() % (kIbssBeaconSlots + 1));
      sendFrame(managementFrame(fc::kBeacon, kBroadcastAddress, bssid, {}), kTokenBeacon, air::SendOptions::ahead(delay));
    }
    ibssBeaconTimes();
  });
}

std::vector<std::uint8_t> Controller::Impl::announcementBody(std::uint16_t capability) const {
  std::vector<std::uint8_t> body(8, 0);
  put(body, 100);
  put(body, static_cast<std::uint16_t>(capability | ((word(kRidWepFlags) & 1) ? kCapPrivacy : 0)));
  ssidElement(body, desiredSsid());
  body.insert(body.end(), std::begin(kRates), std::end(kRates));
  body.insert(body.end(), {3, 1, static_cast<std::uint8_t>(listenChannel)});
  body.insert(body.end(), {6, 2});  // the IBSS parameter set: the ATIM window
  put(body, word(kRidAtimWindow));
  return body;
}

void Controller::Impl::stampFrame(std::vector<std::uint8_t> &frame, Micros start) {
  const std::uint16_t kind = le16(frame, 0) & fc::kTypeSubtypeMask;
  if (kind == fc::kBeacon && frame.size() == 24) {
    const auto body = announcementBody(kCapIbss);
    frame.insert(frame.end(), body.begin(), body.end());
  }
  if ((kind == fc::kBeacon || kind == fc::kProbeResponse) && frame.size() >= 32) {
    const std::uint64_t t = tsf(start + air::phy::kTimestampOffset);
    for (std::size_t i = 0; i < 8; ++i) frame[24 + i] = static_cast<std::uint8_t>(t >> (8 * i));
  }
}

// ---------------------------------------------------------------------------------------------
// Power saving: while associated with RID_PS_MODE 1 the station tells the access point that it
// sleeps, and wakes for every third beacon to see whether frames wait for it.

bool Controller::Impl::powerSaving() const { return phase == Phase::Associated && word(kRidPmEnabled) == 1 && aid; }

void Controller::Impl::powerSaveChanged() {
  if (phase != Phase::Associated) return;
  if (powerSaving() && !psAnnounced) {
    announcePowerSave(true);
  } else if (!powerSaving() && psAnnounced) {
    wakeUp();
    awaitingBeacon = awaitingPoll = false;
    announcePowerSave(false);
  }
}

// A null data frame with or without the Power Management bit.
void Controller::Impl::announcePowerSave(bool asleep) {
  auto f = managementFrame(
      static_cast<std::uint16_t>(kSubtypeNullData | fc::kToDs | (asleep ? fc::kPowerManagement : 0)), candidate,
      candidate, {});
  if (!asleep) psAnnounced = false;
  sendFrame(std::move(f), asleep ? kTokenSleep : 0);
}

void Controller::Impl::maybeDoze() {
  if (!powerSaving() || !psAnnounced || dozing || awaitingBeacon || awaitingPoll || !dcf || !dcf->idle()) return;
  if (loop.now() < groupUntil) {
    macTimer(groupUntil - loop.now(), [this] { maybeDoze(); });
    return;
  }
  // Asleep until the target beacon time of the next beacon it listens to: every third one of
  // the access point's TSF.
  dozing = true;
  tuneRadio(0);
  const std::uint64_t apNow = apTsfBase + (loop.now() - apTsfAt);
  std::uint64_t next = apNow / kBeaconUs + 1;
  next += (kListenInterval - next % kListenInterval) % kListenInterval;
  macTimer(static_cast<Micros>(next * kBeaconUs - apNow), [this] { wakeForBeacon(); });
}

void Controller::Impl::wakeForBeacon() {
  awaitingBeacon = true;
  wakeUp();
}

void Controller::Impl::wakeUp() {
  if (!dozing) return;
  dozing = false;
  tuneRadio(linkChannel);
}

void Controller::Impl::beaconHeard(const std::vector<std::uint8_t> &frame, Micros start) {
  auto a = parseAnnouncement(frame);
  if (!a) return;
  apTsfBase = a->timestamp;
  apTsfAt = start + air::phy::kTimestampOffset;
  if (!powerSaving() || !psAnnounced) return;
  awaitingBeacon = false;
  if (!a->tim.empty() && (a->tim[2] & 1)) groupUntil = loop.now() + kGroupWindowUs;
  if (timNames(a->tim, aid)) return sendPsPoll();  // a frame waits: ask for it
  awaitingPoll = false;
  maybeDoze();
}

void Controller::Impl::sendPsPoll() {
  // Awake until the access point answers; a poll that goes unanswered is asked again at the
  // next beacon, which the station stays awake for.
  awaitingPoll = true;
  std::vector<std::uint8_t> poll;
  put(poll, static_cast<std::uint16_t>(fc::kPsPoll | fc::kPowerManagement));
  put(poll, static_cast<std::uint16_t>(0xC000 | aid));
  poll.insert(poll.end(), candidate.begin(), candidate.end());
  const MacAddress self = stationAddress();
  poll.insert(poll.end(), self.begin(), self.end());
  sendFrame(std::move(poll));
}

// ---------------------------------------------------------------------------------------------
// What the radio hears.

ReceiveResult Controller::Impl::hear(const std::vector<std::uint8_t> &frame, int frameSignal, Micros start) {
  if (!enabled) return ReceiveResult::NotConnected;
  if (frame.size() >= 24 && (le16(frame, 0) & fc::kTypeMask) == 0) {
    handleManagement(frame, frameSignal, start);
    return ReceiveResult::NotData;
  }
  const ReceiveResult r = receive(frame, frameSignal);
  if (awaitingPoll && frame.size() >= 24 && macAt(frame, 10) == bssid && macAt(frame, 4) == stationAddress() &&
      (le16(frame, 0) & fc::kTypeMask) == fc::kData) {
    // The answer to a PS-Poll: another poll while more frames wait.
    if (le16(frame, 0) & fc::kMoreData) {
      sendPsPoll();
    } else {
      awaitingPoll = false;
      maybeDoze();
    }
  }
  return r;
}

void Controller::Impl::handleManagement(const std::vector<std::uint8_t> &frame, int frameSignal, Micros start) {
  const std::uint16_t kind = le16(frame, 0) & fc::kTypeSubtypeMask;
  const MacAddress to = macAt(frame, 4), from = macAt(frame, 10), network = macAt(frame, 16);
  const MacAddress self = stationAddress();
  const bool forUs = to == self;
  const std::uint16_t type = word(kRidPortType);

  if (phase == Phase::Scanning && (kind == fc::kBeacon || kind == fc::kProbeResponse)) {
    auto a = parseAnnouncement(frame);
    if (!a || !a->ssid || (a->channel && a->channel != listenChannel)) return;
    const std::string wanted = desiredSsid();
    // A network of another name, or whose privacy differs from the station's, is passed over.
    if ((!wanted.empty() && *a->ssid != wanted) || !privacyMatches(a->capability)) return;
    if (type == 0 && (a->capability & kCapIbss)) {
      // Joining takes over the network's TSF, and so its beacon times.
      setTsf(a->timestamp + (loop.now() - (start + air::phy::kTimestampOffset)), loop.now());
      startIbss(network, listenChannel, frameSignal);
    } else if (type != 0 && (a->capability & kCapEss)) {
      join(network, listenChannel, frameSignal, *a->ssid);
    }
    return;
  }
  if (phase == Phase::Authenticating && kind == fc::kAuth && forUs && from == candidate && frame.size() >= 30) {
    if (le16(frame, 24) != 0 || le16(frame, 26) != 2 || le16(frame, 28) != 0) return joinFailed();
    enterPhase(Phase::Associating);
    std::vector<std::uint8_t> body;
    put(body, static_cast<std::uint16_t>(kCapEss | ((word(kRidWepFlags) & 1) ? kCapPrivacy : 0)));
    put(body, kListenInterval);
    ssidElement(body, candidateSsid);  // the network being joined, whatever name was asked for
    body.insert(body.end(), std::begin(kRates), std::end(kRates));
    sendFrame(managementFrame(fc::kAssocRequest, candidate, candidate, body));
    macTimer(kHandshakeUs, [this] { joinFailed(); });
    return;
  }
  if (phase == Phase::Associating && kind == fc::kAssocResponse && forUs && from == candidate && frame.size() >= 30) {
    if (le16(frame, 26) != 0) return joinFailed();
    aid = le16(frame, 28) & 0x3FFF;
    return associated();
  }
  const bool ours = from == bssid && (phase == Phase::Associated || phase == Phase::OutOfRange);
  if (ours && kind == fc::kBeacon) {
    lastBeacon = loop.now();
    const auto s = static_cast<std::uint16_t>(std::clamp(frameSignal, 0, 200));
    signal = s;
    quality = static_cast<std::uint16_t>(s > kNoise ? s - kNoise : 0);
    if (phase == Phase::OutOfRange) {
      enterPhase(Phase::Associated);
      setPortState(kPortAssociated, bssid, linkChannel, quality, signal, kNoise);
      watchBeacons();
      powerSaveChanged();
    }
    beaconHeard(frame, start);
    return;
  }
  if (ours && forUs && (kind == fc::kDeauth || kind == fc::kDisassoc)) {
    leaveNetwork(false);
    startScan();
    return;
  }
  if (phase == Phase::Ibss && kind == fc::kBeacon && network == bssid) {
    if (dcf) dcf->cancel(kTokenBeacon);  // another station of the network beaconed first
    return;
  }
  if (phase == Phase::Ibss && kind == fc::kProbeRequest && (to == kBroadcastAddress || to == self) &&
      probeWants(frame, desiredSsid())) {
    // A station of the ad hoc network answers probes for it, as the one beaconing would.
    sendFrame(managementFrame(fc::kProbeResponse, from, bssid, announcementBody(kCapIbss)));
  }
}

}  // namespace teskel::sim
