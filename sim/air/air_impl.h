// Pieces the world's stations share: 802.11 frame building and parsing, WEP, and the responder
// that answers ARP, ICMP echo and UDP behind an access point or inside a peer.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "teskel/air.h"
#include "teskel/dcf.h"

namespace teskel::sim::air {

using Bytes = std::vector<std::uint8_t>;

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
inline void put16At(Bytes &b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
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
Bytes beaconBody(std::uint64_t timestamp, std::uint16_t capability, const std::string &ssid, int channel);
// The elements a beacon may carry beyond those: the traffic indication map (DTIM period 1) with
// the association ids frames wait for, and an ad hoc network's parameter set (the ATIM window).
void appendTim(Bytes &body, const std::vector<std::uint16_t> &aids, bool groupBuffered);
void appendIbssParameters(Bytes &body, std::uint16_t atimWindow);
// An IPv4 UDP datagram (checksummed header, no UDP checksum) of `payload` bytes.
Bytes udpPacket(const Ipv4 &from, const Ipv4 &to, std::uint16_t sourcePort, std::uint16_t destinationPort,
                std::size_t payload);

// What a management body says, as far as this world needs it.
struct ManagementInfo {
  std::uint64_t timestamp = 0;
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

// Device-lane tasks owned by one object: cancelled when it goes. A task is kept by its id alone,
// so arming one allocates nothing once the object has held that many at once.
class Timers {
 public:
  explicit Timers(EventLoop &loop) : loop_(loop) {}
  ~Timers() { cancelAll(); }
  Timers(const Timers &) = delete;
  Timers &operator=(const Timers &) = delete;
  template <typename F>
  void at(Micros when, F fn) {
    const std::uint64_t token = next_++;
    const EventLoop::TaskId id = loop_.at(
        when,
        [this, token, fn = std::move(fn)]() mutable {
          forget(token);
          fn();
        },
        EventLoop::Lane::Device);
    tasks_.push_back({token, id});
  }
  void cancelAll() {
    for (auto &[token, id] : tasks_) loop_.cancel(id);
    tasks_.clear();
  }
  EventLoop &loop() { return loop_; }

 private:
  void forget(std::uint64_t token) {
    for (auto &t : tasks_)
      if (t.first == token) {
        t = tasks_.back();
        tasks_.pop_back();
        return;
      }
  }

  EventLoop &loop_;
  std::uint64_t next_ = 1;
  std::vector<std::pair<std::uint64_t, EventLoop::TaskId>> tasks_;
};

// What the world gives each of its stations.
struct StationContext {
  EventLoop &loop;
  Medium &medium;
  World::Counters &counters;
  std::uint64_t seed;  // the world's seed, mixed with the station's place in it
};

// An access point, a peer or a contender: a station on the air that world events switch off and on.
class Station {
 public:
  virtual ~Station() = default;
  virtual const std::string &name() const = 0;
  virtual void setOn(bool on) = 0;
};
std::unique_ptr<Station> makeAccessPoint(const StationContext &context, const AccessPointConfig &config);
std::unique_ptr<Station> makePeer(const StationContext &context, const PeerConfig &config);
// Contender `number` (0, 1, ...) of the network of `accessPoint`.
std::unique_ptr<Station> makeContender(const StationContext &context, const AccessPointConfig &accessPoint,
                                       unsigned number);

}  // namespace teskel::sim::air
