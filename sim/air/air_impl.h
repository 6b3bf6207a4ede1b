// Pieces the world's stations share: 802.11 frame building and parsing, WEP, and the responder
// that answers ARP, ICMP echo and UDP behind an access point or inside a peer.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "teskel/air.h"

namespace teskel::sim::air {

using Bytes = std::vector<std::uint8_t>;

namespace fc {
constexpr std::uint16_t kAssocRequest = 0x0000, kAssocResponse = 0x0010, kProbeRequest = 0x0040,
                        kProbeResponse = 0x0050, kBeacon = 0x0080, kDisassoc = 0x00A0, kAuth = 0x00B0,
                        kDeauth = 0x00C0, kData = 0x0008;
constexpr std::uint16_t kTypeMask = 0x000C, kTypeSubtypeMask = 0x00FC;
constexpr std::uint16_t kToDs = 0x0100, kFromDs = 0x0200, kProtected = 0x4000;
}  // namespace fc

constexpr std::uint16_t kCapEss = 0x0001, kCapIbss = 0x0002, kCapPrivacy = 0x0010;
constexpr Micros kBeaconIntervalUs = 102400;  // 100 TU
constexpr Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

inline std::uint16_t get16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
inline void put16(Bytes &b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline Mac macAt(std::span<const std::uint8_t> b, std::size_t at) {
  Mac m{};
  for (std::size_t i = 0; i < 6; ++i) m[i] = b[at + i];
  return m;
}
inline bool isGroup(const Mac &m) { return (m[0] & 1) != 0; }

// A 24-byte header with addresses 1 to 3.
Bytes header(std::uint16_t frameControl, const Mac &a1, const Mac &a2, const Mac &a3);
// Beacon and probe-response body: timestamp, interval, capability, SSID, rates, channel.
Bytes beaconBody(Micros now, std::uint16_t capability, const std::string &ssid, int channel);

// What a management body says, as far as this world needs it.
struct ManagementInfo {
  std::uint16_t capability = 0;
  std::optional<std::string> ssid;  // the SSID element, when present
  int channel = 0;                  // the DS parameter element, 0 when absent
};
ManagementInfo parseBeaconBody(std::span<const std::uint8_t> body);  // also probe responses
std::optional<std::string> parseProbeSsid(std::span<const std::uint8_t> body);


// An Ethernet frame as the responder sees it.
struct EtherFrame {
  Mac destination{}, source{};
  std::uint16_t type = 0;
  Bytes payload;
};
// 802.11 data body (LLC/SNAP) <-> Ethernet type and payload.
std::optional<EtherFrame> fromSnap(const Mac &destination, const Mac &source, std::span<const std::uint8_t> body);
Bytes toSnap(const EtherFrame &frame);

class Responder {
 public:
  explicit Responder(const ResponderConfig &config) : config_(config) {}
  const ResponderConfig &config() const { return config_; }
  // The replies to one frame (none when it is not for the responder or needs no answer).
  std::vector<EtherFrame> answer(const EtherFrame &frame) const;

 private:
  ResponderConfig config_;
};

}  // namespace teskel::sim::air

namespace teskel::sim::air {

// Device-lane tasks owned by one object: cancelled when it goes.
class Timers {
 public:
  explicit Timers(EventLoop &loop) : loop_(loop) {}
  ~Timers() { cancelAll(); }
  Timers(const Timers &) = delete;
  Timers &operator=(const Timers &) = delete;
  void at(Micros when, std::function<void()> fn) {
    const std::uint64_t token = next_++;
    tasks_[token] = loop_.at(
        when,
        [this, token, fn = std::move(fn)] {
          tasks_.erase(token);
          fn();
        },
        EventLoop::Lane::Device);
  }
  void cancelAll() {
    for (auto &[token, id] : tasks_) loop_.cancel(id);
    tasks_.clear();
  }
  EventLoop &loop() { return loop_; }

 private:
  EventLoop &loop_;
  std::uint64_t next_ = 1;
  std::map<std::uint64_t, EventLoop::TaskId> tasks_;
};

// An access point or a peer: a radio that world events switch off and on.
class Station : public Radio {
 public:
  virtual const std::string &name() const = 0;
  virtual void setOn(bool on) = 0;
};
std::unique_ptr<Station> makeAccessPoint(EventLoop &loop, Medium &medium, const AccessPointConfig &config, Micros firstBeacon);
std::unique_ptr<Station> makePeer(EventLoop &loop, Medium &medium, const PeerConfig &config, Micros firstBeacon);

}  // namespace teskel::sim::air
