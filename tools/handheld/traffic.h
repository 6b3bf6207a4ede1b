// The traffic generator: a protocol binding that finds the joined network's responder by ARP, then
// sends ICMP echo requests at a set rate (counting requests, replies and round-trip times) or UDP
// datagrams to the discard port as fast as the adapter takes them (for a throughput figure).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ethernet.h"
#include "frame_binding.h"
#include "teskel/event_loop.h"

namespace teskel::handheld {

struct TrafficConfig {
  enum class Kind { Ping, Udp };
  Kind kind = Kind::Ping;
  double rate = 10;          // echo requests per second
  std::size_t size = 1472;   // UDP payload bytes (1472: 1514-byte frames)
};
// "ping", "ping=RATE", "udp", "udp=SIZE"; throws UsageError.
TrafficConfig parseTraffic(const std::string &text);

// Who talks to whom: the generator's address (.2 of the joined network) and the responder's.
struct TrafficTarget {
  eth::Ipv4 own{};
  eth::Ipv4 responder{};
  bool operator==(const TrafficTarget &) const = default;
};

class TrafficGenerator {
 public:
  struct Stats {
    std::uint64_t arpRequests = 0;
    std::uint64_t requests = 0, replies = 0;  // echo
    Micros rttMin = 0, rttMax = 0, rttSum = 0;
    std::uint64_t datagrams = 0, payloadBytes = 0;  // UDP sends the adapter completed successfully
    std::uint64_t sendFailures = 0;
    // The steady rate: from the completion that fills the driver's queue (the first ones come back
    // at once) to the last one.
    Micros steadyFrom = 0, lastCompletion = 0;
    std::uint64_t steadyBytes = 0;
  };

  TrafficGenerator(EventLoop &loop, ndis::Adapter &adapter, eth::Mac station, TrafficConfig config);
  ~TrafficGenerator();
  TrafficGenerator(const TrafficGenerator &) = delete;
  TrafficGenerator &operator=(const TrafficGenerator &) = delete;

  // The network to talk to now; nullopt while none is joined. A new target is resolved afresh.
  void setTarget(std::optional<TrafficTarget> target);
  // Stops sending (before the card goes), so that nothing new is handed to the adapter.
  void stop();

  const Stats &stats() const { return stats_; }
  bool resolved() const { return responderMac_.has_value(); }
  // "echo 10 sent, 10 replies, rtt 3.1 ms" or "udp 1.81 Mbit/s"; since the previous call.
  std::string statusText();
  // The whole run: requests, replies, loss and round trips, or datagrams and throughput.
  std::string summaryText() const;

 private:
  void tick();
  void receive(std::span<const std::uint8_t> frame);
  void completed(NDIS_STATUS status, std::size_t bytes);
  void sendEcho();
  void fillUdp();
  // The frames go to one responder until the target changes: built once, then only patched.
  void forgetFrames();

  EventLoop &loop_;
  eth::Mac station_;
  TrafficConfig config_;
  FrameBinding binding_;
  std::optional<TrafficTarget> target_;
  std::optional<eth::Mac> responderMac_;
  EventLoop::TaskId task_ = 0;
  bool stopped_ = false;
  Micros nextArp_ = 0;
  std::uint16_t echoId_ = 0x7E57, sequence_ = 0, ipId_ = 0;
  std::map<std::uint16_t, Micros> sentAt_;  // echo requests awaiting replies
  std::vector<std::uint8_t> udpFrame_;      // empty until first needed
  std::optional<eth::EchoRequestFrame> echoFrame_;
  Stats stats_;
  Stats reported_;  // at the previous status line
  Micros reportedAt_ = 0;
};

}  // namespace teskel::handheld
