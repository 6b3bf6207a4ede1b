// The world's stations: access points that beacon on their own TSF with a traffic indication map,
// answer probes, authenticate, associate, hold frames for stations that sleep and bridge to their
// responder; ad hoc peers that beacon by the IBSS rules and answer through their own responder;
// contenders that keep the first access point's channel saturated with UDP. Each one sends and
// hears through a Dcf of its own.
#include <algorithm>
#include <deque>
#include <map>

#include "air_impl.h"

namespace teskel::sim::air {

namespace {

constexpr std::uint16_t kReasonClass3FromUnassociated = 7;
constexpr std::size_t kPowerSaveBuffer = 32;  // frames held for one sleeping station
constexpr std::uint64_t kBeaconToken = 1;
constexpr std::uint64_t kIbssBeaconSlots = 2 * phy::kCwMin;  // an ad hoc beacon's delay: 0 to 62 slots
constexpr std::uint16_t kSubtypeNullData = 0x0048;
constexpr std::uint16_t kDiscardPort = 9, kContenderPort = 40009;
constexpr std::size_t kContenderPayload = 1472;
constexpr Micros kContenderPatience = 1000000;  // for each answer while a contender joins a busy channel

std::uint64_t mixSeed(std::uint64_t seed, const Mac &mac) {
  std::uint64_t h = seed * 0x100000001B3ULL + 0xCBF29CE484222325ULL;
  for (auto b : mac) h = (h ^ b) * 0x100000001B3ULL;
  return h;
}

// What access points, peers and contenders share: a Dcf on one channel while switched on, WEP
// with an IV counter that starts anywhere, a TSF, and beacons at its target beacon times.
class StationBase : public Station, protected Dcf::Owner {
 public:
  StationBase(const StationContext &context, std::string name, int channel, int signal,
              std::optional<std::array<std::uint8_t, 5>> key, const Mac &address)
      : loop_(context.loop), counters_(context.counters), timers_(context.loop), name_(std::move(name)),
        channel_(channel), key_(key), rng_(mixSeed(context.seed, address)),
        dcf_(context.loop, context.medium, *this, address, mixSeed(context.seed + 1, address), signal) {
    iv_ = static_cast<std::uint32_t>(random() & 0xFFFFFF);
  }
  ~StationBase() override { timers_.cancelAll(); }

  const std::string &name() const override { return name_; }
  void setOn(bool on) override {
    if (on == on_) return;
    on_ = on;
    timers_.cancelAll();
    if (on) {
      // Switched on: a TSF from anywhere, and the air of its channel.
      tsfBase_ = random() & 0x000000FFFFFFFFFFULL;
      tsfAt_ = loop_.now();
      dcf_.tune(channel_);
      switchedOn();
    } else {
      dcf_.flush();
      dcf_.tune(0);
    }
  }

 protected:
  virtual void switchedOn() {}
  virtual void handle(const AirFrame &frame) = 0;
  virtual void handleControl(const AirFrame &frame) { (void)frame; }
  virtual void targetBeaconTime() {}
  virtual void done(const TxReport &report) { (void)report; }

  void received(const AirFrame &frame) override {
    // Management and data frames have three addresses; a PS-Poll has two.
    if (on_ && frame.bytes.size() >= 24) handle(frame);
    else if (on_ && frame.bytes.size() >= 16 && (get16(frame.bytes, 0) & fc::kTypeSubtypeMask) == fc::kPsPoll)
      handleControl(frame);
  }
  void finished(const TxReport &report) override { done(report); }
  // Every attempt of a protected frame takes the next IV: the plaintext is encrypted anew.
  void retrying(Bytes &frame, std::uint64_t token) override {
    (void)token;
    if (!key_ || frame.size() <= 24 || !(get16(frame, 0) & fc::kProtected)) return;
    auto plain = wepDecrypt(*key_, std::span<const std::uint8_t>(frame).subspan(24));
    if (!plain) return;
    Bytes body = protect(*plain).first;
    frame.resize(24);
    frame.insert(frame.end(), body.begin(), body.end());
  }
  // What the station takes from the air while its coordination function has nothing to do:
  // its own unicast frames, and these.
  void takes(std::uint8_t groups, std::optional<Mac> network = std::nullopt) {
    Interest i;
    i.everything = false;
    i.groups = groups;
    i.network = network;
    dcf_.takes(i);
  }

  std::uint64_t random() {
    std::uint64_t z = (rng_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

  std::uint64_t tsf(Micros at) const { return tsfBase_ + (at - tsfAt_); }
  void setTsf(std::uint64_t value) {
    tsfBase_ = value;
    tsfAt_ = loop_.now();
  }
  // Calls targetBeaconTime at every multiple of 100 TU of the TSF from now on.
  void beaconEveryInterval() {
    const Micros now = loop_.now();
    const Micros next = now + (kBeaconIntervalUs - tsf(now) % kBeaconIntervalUs);
    timers_.at(next, [this] {
      if (!on_) return;
      targetBeaconTime();
      beaconEveryInterval();
    });
  }
  // Writes the timestamp of a beacon or probe response that is about to leave.
  void stampTimestamp(Bytes &frame, Micros start) const {
    if (frame.size() < 32) return;
    const std::uint64_t t = tsf(start + phy::kTimestampOffset);
    for (std::size_t i = 0; i < 8; ++i) frame[24 + i] = static_cast<std::uint8_t>(t >> (8 * i));
  }

  void transmit(Bytes frame, std::uint64_t token = 0, SendOptions options = {}) {
    if (on_) dcf_.send(std::move(frame), token, options);
  }

  // A data body for the air: encrypted when the station has a key.
  std::pair<Bytes, bool> protect(const Bytes &body) {
    if (!key_) return {body, false};
    return {wepEncrypt(*key_, iv_++ & 0xFFFFFF, 0, body), true};
  }
  // The plain body of a received data frame; nothing when it cannot be understood here.
  std::optional<Bytes> unprotect(std::uint16_t frameControl, std::span<const std::uint8_t> body) const {
    const bool isProtected = frameControl & fc::kProtected;
    if (isProtected != key_.has_value()) return std::nullopt;
    if (!isProtected) return Bytes(body.begin(), body.end());
    return wepDecrypt(*key_, body);
  }

  EventLoop &loop_;
  World::Counters &counters_;
  Timers timers_;
  std::string name_;
  int channel_;
  std::optional<std::array<std::uint8_t, 5>> key_;
  bool on_ = false;

 private:
  std::uint64_t rng_;
  std::uint32_t iv_ = 0;
  std::uint64_t tsfBase_ = 0;
  Micros tsfAt_ = 0;

 protected:
  Dcf dcf_;  // last: it goes first, before anything its callbacks reach
};

class AccessPoint final : public StationBase {
 public:
  AccessPoint(const StationContext &context, const AccessPointConfig &config)
      : StationBase(context, config.ssid, config.channel, config.signal, config.wepKey, config.bssid), config_(config),
        responder_(config.responder) {
    takes(Interest::kProbeRequests);
    // What every beacon says up to its traffic indication map; the timestamp is written as it leaves.
    beacon_ = header(fc::kBeacon, kBroadcast, config_.bssid, config_.bssid);
    const Bytes body = beaconBody(0, capability(), config_.ssid, channel_);
    beacon_.insert(beacon_.end(), body.begin(), body.end());
  }

 private:
  struct Association {
    std::uint16_t aid = 0;  // 0: authenticated only
    bool asleep = false;
    std::deque<Bytes> held;  // unicast frames waiting for it to wake or poll
  };

  void switchedOn() override { beaconEveryInterval(); }

  std::uint16_t capability() const { return static_cast<std::uint16_t>(kCapEss | (config_.wepKey ? kCapPrivacy : 0)); }

  Bytes management(std::uint16_t kind, const Mac &to, const Bytes &body) const {
    Bytes f = header(kind, to, config_.bssid, config_.bssid);
    f.insert(f.end(), body.begin(), body.end());
    return f;
  }

  // The beacon's timestamp and traffic indication map are of the moment it leaves.
  void targetBeaconTime() override {
    dcf_.cancel(kBeaconToken);  // a beacon the medium kept back this long is replaced by this one
    Bytes f;
    f.reserve(beacon_.size() + kTimRoom);
    f.assign(beacon_.begin(), beacon_.end());
    transmit(std::move(f), kBeaconToken, SendOptions::ahead());
  }
  void stamp(Bytes &frame, Micros start) override {
    const std::uint16_t kind = get16(frame, 0) & fc::kTypeSubtypeMask;
    if (kind == fc::kBeacon) {
      aids_.clear();
      for (auto &[mac, a] : stations_)
        if (a.aid && !a.held.empty()) aids_.push_back(a.aid);
      frame.resize(beacon_.size());
      appendTim(frame, aids_, !heldForGroup_.empty());
    }
    if (kind == fc::kBeacon || kind == fc::kProbeResponse) stampTimestamp(frame, start);
  }
  void done(const TxReport &report) override {
    if (report.token >= kFirstProbeToken) {
      std::erase_if(probed_, [&](const auto &p) { return p.second == report.token; });
      return;
    }
    // Group frames held for sleeping stations follow every beacon (each one a DTIM beacon).
    if (report.token != kBeaconToken || report.outcome != TxOutcome::Sent) return;
    while (!heldForGroup_.empty()) {
      transmit(std::move(heldForGroup_.front()));
      heldForGroup_.pop_front();
    }
  }

  void handle(const AirFrame &frame) override {
    std::span<const std::uint8_t> b(frame.bytes);
    const std::uint16_t control = get16(b, 0);
    const Mac a1 = macAt(b, 4), a2 = macAt(b, 10), a3 = macAt(b, 16);
    std::span<const std::uint8_t> body = b.subspan(24);
    const std::uint16_t kind = control & fc::kTypeSubtypeMask;
    if (a1 == config_.bssid) notePowerManagement(a2, control);
    if ((control & fc::kTypeMask) == 0) {  // management
      if (kind == fc::kProbeRequest) {
        auto ssid = parseProbeSsid(body);
        // One answer at a time to a station: a busy channel does not pile up answers to a
        // station that has gone on scanning.
        if ((isGroup(a1) || a1 == config_.bssid) && ssid && (ssid->empty() || *ssid == config_.ssid) &&
            !probed_.contains(a2)) {
          const std::uint64_t token = nextProbeToken_++;
          probed_[a2] = token;
          reply(management(fc::kProbeResponse, a2, beaconBody(0, capability(), config_.ssid, channel_)), token);
        }
        return;
      }
      if (a1 != config_.bssid) return;
      if (kind == fc::kAuth && body.size() >= 6) {
        const std::uint16_t algorithm = get16(body, 0), sequence = get16(body, 2);
        if (sequence != 1) return;
        Bytes answer;
        put16(answer, algorithm);
        put16(answer, 2);
        put16(answer, algorithm == 0 ? 0 : 13);  // open system only
        if (algorithm == 0) stations_[a2] = Association{};
        reply(management(fc::kAuth, a2, answer));
      } else if (kind == fc::kAssocRequest) {
        auto it = stations_.find(a2);
        if (it == stations_.end()) {
          deauthenticate(a2);
          return;
        }
        if (!it->second.aid) it->second.aid = nextAid_++;
        Bytes answer;
        put16(answer, capability());
        put16(answer, 0);
        put16(answer, static_cast<std::uint16_t>(0xC000 | it->second.aid));
        answer.insert(answer.end(), {1, 2, 0x82, 0x84});
        reply(management(fc::kAssocResponse, a2, answer));
      } else if (kind == fc::kDeauth) {
        stations_.erase(a2);
      } else if (kind == fc::kDisassoc) {
        if (auto it = stations_.find(a2); it != stations_.end()) it->second = Association{};
      }
      return;
    }
    if ((control & fc::kTypeMask) != fc::kData || !(control & fc::kToDs) || (control & fc::kFromDs)) return;
    if (a1 != config_.bssid) return;
    auto it = stations_.find(a2);
    if (it == stations_.end() || !it->second.aid) {
      deauthenticate(a2);
      return;
    }
    if (kind == kSubtypeNullData) return;  // says only whether the station sleeps
    auto plain = unprotect(control, body);
    if (!plain) return;  // not understood: wrong key, or privacy that does not match
    auto ether = fromSnap(a3, a2, *plain);
    if (!ether) return;
    ++counters_.bridged;
    const Bytes &p = ether->payload;
    if (ether->type == 0x0800 && p.size() >= 28 && p[9] == 17)
      counters_.bridgedUdpBytes += static_cast<std::uint64_t>(((p[24] << 8) | p[25]) - 8);
    for (const EtherFrame &reply : responder_.answer(*ether)) toStation(reply);
  }

  // A station that sleeps asks for what waits for it, one frame at a time.
  void handleControl(const AirFrame &frame) override {
    std::span<const std::uint8_t> b(frame.bytes);
    if (macAt(b, 4) != config_.bssid) return;
    notePowerManagement(macAt(b, 10), get16(b, 0));
    answerPoll(macAt(b, 10));
  }

  // Every frame of an associated station says whether it goes to sleep after it.
  void notePowerManagement(const Mac &from, std::uint16_t control) {
    auto it = stations_.find(from);
    if (it == stations_.end() || !it->second.aid) return;
    Association &a = it->second;
    const bool asleep = control & fc::kPowerManagement;
    if (a.asleep == asleep) return;
    a.asleep = asleep;
    if (asleep) return;
    while (!a.held.empty()) {  // awake again: what was held goes now
      transmit(std::move(a.held.front()));
      a.held.pop_front();
    }
  }

  void answerPoll(const Mac &from) {
    auto it = stations_.find(from);
    if (it == stations_.end() || !it->second.aid || it->second.held.empty()) return;
    Association &a = it->second;
    Bytes frame = std::move(a.held.front());
    a.held.pop_front();
    if (!a.held.empty()) put16At(frame, 0, static_cast<std::uint16_t>(get16(frame, 0) | fc::kMoreData));
    transmit(std::move(frame), 0, SendOptions::afterSifs());
  }

  void deauthenticate(const Mac &station) {
    Bytes reason;
    put16(reason, kReasonClass3FromUnassociated);
    reply(management(fc::kDeauth, station, reason));
  }
  // Management answers go ahead of the data queued, as beacons do: a station that asks waits
  // for one contention, not for everything queued before it.
  void reply(Bytes frame, std::uint64_t token = 0) { transmit(std::move(frame), token, SendOptions::ahead()); }

  void toStation(const EtherFrame &e) {
    auto [body, isProtected] = protect(toSnap(e));
    Bytes f = header(static_cast<std::uint16_t>(fc::kData | fc::kFromDs | (isProtected ? fc::kProtected : 0)),
                     e.destination, config_.bssid, e.source);
    f.insert(f.end(), body.begin(), body.end());
    if (isGroup(e.destination)) {
      const bool anyAsleep = std::any_of(stations_.begin(), stations_.end(),
                                         [](const auto &s) { return s.second.aid && s.second.asleep; });
      if (anyAsleep) {
        heldForGroup_.push_back(std::move(f));
        return;
      }
    } else if (auto it = stations_.find(e.destination); it != stations_.end() && it->second.asleep) {
      auto &held = it->second.held;
      if (held.size() == kPowerSaveBuffer) held.pop_front();  // the oldest gives way
      held.push_back(std::move(f));
      return;
    }
    transmit(std::move(f));
  }

  static constexpr std::size_t kTimRoom = 5 + 32;  // the element, for association ids up to 255
  AccessPointConfig config_;
  Responder responder_;
  Bytes beacon_;
  std::vector<std::uint16_t> aids_;
  std::map<Mac, Association> stations_;
  std::deque<Bytes> heldForGroup_;
  std::uint16_t nextAid_ = 1;
  static constexpr std::uint64_t kFirstProbeToken = 1000;
  std::map<Mac, std::uint64_t> probed_;  // stations with a probe response under way
  std::uint64_t nextProbeToken_ = kFirstProbeToken;
};

class Peer final : public StationBase {
 public:
  Peer(const StationContext &context, const PeerConfig &config)
      : StationBase(context, config.ssid, config.channel, config.signal, config.wepKey, config.mac), config_(config),
        responder_(withMac(config)), bssid_(networkOf(config.mac)) {
    takes(Interest::kBeacons | Interest::kProbeRequests | Interest::kGroupData, bssid_);
  }

 private:
  static Mac networkOf(const Mac &mac) {
    // The network it started: a locally administered BSSID of its own.
    Mac id = mac;
    id[0] = static_cast<std::uint8_t>((id[0] | 0x02) & ~0x01);
    id[5] ^= 0x80;
    return id;
  }
  static ResponderConfig withMac(const PeerConfig &config) {
    ResponderConfig r = config.responder;
    r.mac = config.mac;  // the peer is the host that answers
    return r;
  }
  std::uint16_t capability() const { return static_cast<std::uint16_t>(kCapIbss | (config_.wepKey ? kCapPrivacy : 0)); }
  Bytes announcement(std::uint16_t kind, const Mac &to) const {
    Bytes f = header(kind, to, config_.mac, bssid_);
    Bytes b = beaconBody(0, capability(), config_.ssid, channel_);
    appendIbssParameters(b, 0);
    f.insert(f.end(), b.begin(), b.end());
    return f;
  }

  void switchedOn() override { beaconEveryInterval(); }
  // Every station of an ad hoc network draws a delay at each target beacon time and sends its
  // beacon unless another one's comes first.
  void targetBeaconTime() override {
    dcf_.cancel(kBeaconToken);
    const auto delay = static_cast<unsigned>(random() % (kIbssBeaconSlots + 1));
    transmit(announcement(fc::kBeacon, kBroadcast), kBeaconToken, SendOptions::ahead(delay));
  }
  void stamp(Bytes &frame, Micros start) override {
    const std::uint16_t kind = get16(frame, 0) & fc::kTypeSubtypeMask;
    if (kind == fc::kBeacon || kind == fc::kProbeResponse) stampTimestamp(frame, start);
  }

  void handle(const AirFrame &frame) override {
    std::span<const std::uint8_t> b(frame.bytes);
    const std::uint16_t control = get16(b, 0);
    const Mac a1 = macAt(b, 4), a2 = macAt(b, 10), a3 = macAt(b, 16);
    std::span<const std::uint8_t> body = b.subspan(24);
    const std::uint16_t kind = control & fc::kTypeSubtypeMask;
    if (kind == fc::kBeacon && a3 == bssid_) {
      dcf_.cancel(kBeaconToken);  // another station of the network beaconed first
      return;
    }
    if (kind == fc::kProbeRequest) {
      auto ssid = parseProbeSsid(body);
      if (ssid && (ssid->empty() || *ssid == config_.ssid)) transmit(announcement(fc::kProbeResponse, a2));
      return;
    }
    if ((control & fc::kTypeMask) != fc::kData || (control & (fc::kToDs | fc::kFromDs))) return;
    if (a1 != config_.mac && !isGroup(a1)) return;
    auto plain = unprotect(control, body);
    if (!plain) return;
    auto ether = fromSnap(isGroup(a1) ? a1 : responder_.config().mac, a2, *plain);
    if (!ether) return;
    for (const EtherFrame &reply : responder_.answer(*ether)) {
      auto [rb, isProtected] = protect(toSnap(reply));
      // Replies carry the network of the frame they answer, which a station with no
      // association leaves empty.
      Bytes f = header(static_cast<std::uint16_t>(fc::kData | (isProtected ? fc::kProtected : 0)), reply.destination,
                       config_.mac, a3);
      f.insert(f.end(), rb.begin(), rb.end());
      transmit(std::move(f));
    }
  }

  PeerConfig config_;
  Responder responder_;
  Mac bssid_;
};

// A station that joins the first access point's network and keeps one UDP datagram to its
// responder's discard port queued at all times: the air's share is all it gets.
class Contender final : public StationBase {
 public:
  Contender(const StationContext &context, const AccessPointConfig &ap, unsigned number)
      : StationBase(context, "contender " + std::to_string(number + 1), ap.channel, ap.signal, ap.wepKey,
                    addressOf(number)),
        ap_(ap), address_(addressOf(number)) {
    takes(0);
    Ipv4 own = ap.responder.ip;
    own[3] = static_cast<std::uint8_t>(101 + number);
    datagram_ = udpPacket(own, ap.responder.ip, kContenderPort, kDiscardPort, kContenderPayload);
  }

 private:
  enum class Phase { Authenticating, Associating, Associated };

  static Mac addressOf(unsigned number) {
    return {0x02, 0x43, 0x54, 0x4E, static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number)};
  }

  void switchedOn() override { join(); }

  void join() {
    phase_ = Phase::Authenticating;
    Bytes body;
    put16(body, 0);  // open system
    put16(body, 1);
    put16(body, 0);
    Bytes f = header(fc::kAuth, ap_.bssid, address_, ap_.bssid);
    f.insert(f.end(), body.begin(), body.end());
    transmit(std::move(f));
    expectAnswer();
  }
  // A join that hears no answer starts again.
  void expectAnswer() {
    const std::uint64_t attempt = ++attempt_;
    timers_.at(loop_.now() + kContenderPatience, [this, attempt] {
      if (attempt == attempt_ && phase_ != Phase::Associated) join();
    });
  }

  void handle(const AirFrame &frame) override {
    std::span<const std::uint8_t> b(frame.bytes);
    const std::uint16_t kind = get16(b, 0) & fc::kTypeSubtypeMask;
    if (macAt(b, 4) != address_ || macAt(b, 10) != ap_.bssid || b.size() < 30) return;
    if (phase_ == Phase::Authenticating && kind == fc::kAuth && get16(b, 28) == 0) {
      phase_ = Phase::Associating;
      Bytes f = header(fc::kAssocRequest, ap_.bssid, address_, ap_.bssid);
      put16(f, static_cast<std::uint16_t>(kCapEss | (ap_.wepKey ? kCapPrivacy : 0)));
      put16(f, 3);  // listen interval
      f.push_back(0);
      f.push_back(static_cast<std::uint8_t>(ap_.ssid.size()));
      f.insert(f.end(), ap_.ssid.begin(), ap_.ssid.end());
      f.insert(f.end(), {1, 2, 0x82, 0x84});
      transmit(std::move(f));
      expectAnswer();
    } else if (phase_ == Phase::Associating && kind == fc::kAssocResponse && get16(b, 26) == 0) {
      phase_ = Phase::Associated;
      ++attempt_;
      if (!sending_) sendDatagram();
    } else if (kind == fc::kDeauth || kind == fc::kDisassoc) {
      join();
    }
  }

  void sendDatagram() {
    EtherFrame e{ap_.responder.mac, address_, 0x0800, datagram_};
    auto [body, isProtected] = protect(toSnap(e));
    Bytes f = header(static_cast<std::uint16_t>(fc::kData | fc::kToDs | (isProtected ? fc::kProtected : 0)), ap_.bssid,
                     address_, ap_.responder.mac);
    f.insert(f.end(), body.begin(), body.end());
    sending_ = true;
    transmit(std::move(f), kDatagramToken);
  }

  void done(const TxReport &report) override {
    if (report.token != kDatagramToken) return;
    sending_ = false;
    if (on_ && phase_ == Phase::Associated) sendDatagram();
  }

  static constexpr std::uint64_t kDatagramToken = 2;
  AccessPointConfig ap_;
  Mac address_;
  Bytes datagram_;
  Phase phase_ = Phase::Authenticating;
  std::uint64_t attempt_ = 0;
  bool sending_ = false;
};

}  // namespace

std::unique_ptr<Station> makeAccessPoint(const StationContext &context, const AccessPointConfig &config) {
  return std::make_unique<AccessPoint>(context, config);
}

std::unique_ptr<Station> makePeer(const StationContext &context, const PeerConfig &config) {
  return std::make_unique<Peer>(context, config);
}

std::unique_ptr<Station> makeContender(const StationContext &context, const AccessPointConfig &accessPoint,
                                       unsigned number) {
  return std::make_unique<Contender>(context, accessPoint, number);
}

}  // namespace teskel::sim::air
