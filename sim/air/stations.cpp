// The world's stations: access points that beacon, answer probes, authenticate, associate and
// bridge to their responder, and ad hoc peers that beacon and answer through their own.
#include <map>

#include "air_impl.h"

namespace teskel::sim::air {

namespace {

constexpr std::uint16_t kReasonClass3FromUnassociated = 7;

// What access points and peers share: a radio on one channel that sends its frames one after
// another, beacons every 100 TU while switched on, and WEP with its own IV counter.
class StationBase : public Station {
 public:
  StationBase(EventLoop &loop, Medium &medium, std::string name, int channel, int signal,
              std::optional<std::array<std::uint8_t, 5>> key, Micros firstBeacon)
      : loop_(loop), medium_(medium), timers_(loop), name_(std::move(name)), channel_(channel), signal_(signal),
        key_(key), nextBeacon_(firstBeacon) {
    medium_.attach(*this);
    scheduleBeacon();
  }
  ~StationBase() override {
    timers_.cancelAll();
    medium_.detach(*this);
  }

  int channel() const override { return on_ ? channel_ : 0; }
  const std::string &name() const override { return name_; }
  void setOn(bool on) override {
    if (on == on_) return;
    on_ = on;
    if (on) {
      nextBeacon_ = loop_.now();
      scheduleBeacon();
    }
  }

 protected:
  virtual Bytes beacon() = 0;

  void transmit(Bytes bytes) {
    if (!on_) return;
    const Micros start = std::max(loop_.now(), freeAt_);
    freeAt_ = start + airtimeOf(bytes.size());
    AirFrame f;
    f.bytes = std::move(bytes);
    f.channel = channel_;
    f.signal = signal_;
    if (start == loop_.now()) {
      medium_.send(*this, std::move(f));
    } else {
      timers_.at(start, [this, f = std::move(f)]() mutable {
        if (on_) medium_.send(*this, std::move(f));
      });
    }
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
  Medium &medium_;
  Timers timers_;
  std::string name_;
  int channel_;
  int signal_;
  std::optional<std::array<std::uint8_t, 5>> key_;
  bool on_ = true;

 private:
  void scheduleBeacon() {
    timers_.at(nextBeacon_, [this] {
      if (!on_) return;
      transmit(beacon());
      nextBeacon_ += kBeaconIntervalUs;
      scheduleBeacon();
    });
  }

  Micros nextBeacon_;
  Micros freeAt_ = 0;
  std::uint32_t iv_ = 0;
};

class AccessPoint final : public StationBase {
 public:
  AccessPoint(EventLoop &loop, Medium &medium, const AccessPointConfig &config, Micros firstBeacon)
      : StationBase(loop, medium, config.ssid, config.channel, config.signal, config.wepKey, firstBeacon), config_(config),
        responder_(config.responder) {}

  void hear(const AirFrame &frame) override {
    if (!on_ || frame.bytes.size() < 24) return;
    std::span<const std::uint8_t> b(frame.bytes);
    const std::uint16_t control = get16(b, 0);
    const Mac a1 = macAt(b, 4), a2 = macAt(b, 10), a3 = macAt(b, 16);
    std::span<const std::uint8_t> body = b.subspan(24);
    const std::uint16_t kind = control & fc::kTypeSubtypeMask;
    if ((control & fc::kTypeMask) == 0) {  // management
      if (kind == fc::kProbeRequest) {
        auto ssid = parseProbeSsid(body);
        if (isGroup(a1) || a1 == config_.bssid)
          if (ssid && (ssid->empty() || *ssid == config_.ssid))
            transmit(management(fc::kProbeResponse, a2, beaconBody(loop_.now(), capability(), config_.ssid, channel_)));
        return;
      }
      if (a1 != config_.bssid) return;
      if (kind == fc::kAuth && body.size() >= 6) {
        const std::uint16_t algorithm = get16(body, 0), sequence = get16(body, 2);
        if (sequence != 1) return;
        Bytes reply;
        put16(reply, algorithm);
        put16(reply, 2);
        put16(reply, algorithm == 0 ? 0 : 13);  // open system only
        if (algorithm == 0) stations_[a2] = {true, 0};
        transmit(management(fc::kAuth, a2, reply));
      } else if (kind == fc::kAssocRequest) {
        auto it = stations_.find(a2);
        if (it == stations_.end()) {
          deauthenticate(a2);
          return;
        }
        if (!it->second.aid) it->second.aid = nextAid_++;
        Bytes reply;
        put16(reply, capability());
        put16(reply, 0);
        put16(reply, static_cast<std::uint16_t>(0xC000 | it->second.aid));
        reply.insert(reply.end(), {1, 2, 0x82, 0x84});
        transmit(management(fc::kAssocResponse, a2, reply));
      } else if (kind == fc::kDeauth) {
        stations_.erase(a2);
      } else if (kind == fc::kDisassoc) {
        if (auto it = stations_.find(a2); it != stations_.end()) it->second.aid = 0;
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
    auto plain = unprotect(control, body);
    if (!plain) return;  // not understood: wrong key, or privacy that does not match
    auto ether = fromSnap(a3, a2, *plain);
    if (!ether) return;
    for (const EtherFrame &reply : responder_.answer(*ether)) toStation(reply);
  }

 private:
  struct Association {
    bool authenticated = false;
    std::uint16_t aid = 0;
  };

  std::uint16_t capability() const { return static_cast<std::uint16_t>(kCapEss | (config_.wepKey ? kCapPrivacy : 0)); }

  Bytes management(std::uint16_t kind, const Mac &to, const Bytes &body) const {
    Bytes f = header(kind, to, config_.bssid, config_.bssid);
    f.insert(f.end(), body.begin(), body.end());
    return f;
  }
  Bytes beacon() override {
    return management(fc::kBeacon, kBroadcast, beaconBody(loop_.now(), capability(), config_.ssid, channel_));
  }
  void deauthenticate(const Mac &station) {
    Bytes reason;
    put16(reason, kReasonClass3FromUnassociated);
    transmit(management(fc::kDeauth, station, reason));
  }
  void toStation(const EtherFrame &e) {
    auto [body, isProtected] = protect(toSnap(e));
    Bytes f = header(static_cast<std::uint16_t>(fc::kData | fc::kFromDs | (isProtected ? fc::kProtected : 0)),
                     e.destination, config_.bssid, e.source);
    f.insert(f.end(), body.begin(), body.end());
    transmit(std::move(f));
  }

  AccessPointConfig config_;
  Responder responder_;
  std::map<Mac, Association> stations_;
  std::uint16_t nextAid_ = 1;
};

class Peer final : public StationBase {
 public:
  Peer(EventLoop &loop, Medium &medium, const PeerConfig &config, Micros firstBeacon)
      : StationBase(loop, medium, config.ssid, config.channel, config.signal, config.wepKey, firstBeacon), config_(config),
        responder_(withMac(config)) {
    // The network it started: a locally administered BSSID of its own.
    bssid_ = config.mac;
    bssid_[0] = static_cast<std::uint8_t>((bssid_[0] | 0x02) & ~0x01);
    bssid_[5] ^= 0x80;
  }

  void hear(const AirFrame &frame) override {
    if (!on_ || frame.bytes.size() < 24) return;
    std::span<const std::uint8_t> b(frame.bytes);
    const std::uint16_t control = get16(b, 0);
    const Mac a1 = macAt(b, 4), a2 = macAt(b, 10), a3 = macAt(b, 16);
    std::span<const std::uint8_t> body = b.subspan(24);
    if ((control & fc::kTypeSubtypeMask) == fc::kProbeRequest) {
      auto ssid = parseProbeSsid(body);
      if (ssid && (ssid->empty() || *ssid == config_.ssid)) {
        Bytes f = header(fc::kProbeResponse, a2, config_.mac, bssid_);
        Bytes bb = beaconBody(loop_.now(), capability(), config_.ssid, channel_);
        f.insert(f.end(), bb.begin(), bb.end());
        transmit(std::move(f));
      }
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

 private:
  static ResponderConfig withMac(const PeerConfig &config) {
    ResponderConfig r = config.responder;
    r.mac = config.mac;  // the peer is the host that answers
    return r;
  }
  std::uint16_t capability() const { return static_cast<std::uint16_t>(kCapIbss | (config_.wepKey ? kCapPrivacy : 0)); }
  Bytes beacon() override {
    Bytes f = header(fc::kBeacon, kBroadcast, config_.mac, bssid_);
    Bytes b = beaconBody(loop_.now(), capability(), config_.ssid, channel_);
    f.insert(f.end(), b.begin(), b.end());
    return f;
  }

  PeerConfig config_;
  Responder responder_;
  Mac bssid_{};
};

}  // namespace

std::unique_ptr<Station> makeAccessPoint(EventLoop &loop, Medium &medium, const AccessPointConfig &config,
                                         Micros firstBeacon) {
  return std::make_unique<AccessPoint>(loop, medium, config, firstBeacon);
}

std::unique_ptr<Station> makePeer(EventLoop &loop, Medium &medium, const PeerConfig &config, Micros firstBeacon) {
  return std::make_unique<Peer>(loop, medium, config, firstBeacon);
}

}  // namespace teskel::sim::air
