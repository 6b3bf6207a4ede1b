// handheld run's radio side: the world built from the options, the capture, the traffic generator
// and the TAP bridge on the adapter, one status line per second and the summary at the end.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "teskel/air.h"
#include "teskel/capture.h"
#include "teskel/controller.h"
#include "teskel/event_loop.h"
#include "teskel/ndis_host.h"
#include "traffic.h"
#include "world_options.h"

namespace teskel::handheld {

class TapBridge;

struct AirOptions {
  WorldOptions world;
  std::optional<std::string> pcap;
  std::optional<std::string> tap;
  std::optional<TrafficConfig> traffic;
};

// Takes args[i] (and its value) when it is one of the radio options.
bool parseAirOption(const std::vector<std::string> &args, std::size_t &i, AirOptions &options);
std::string airOptionsHelp();

class AirSession {
 public:
  using Say = std::function<void(const std::string &)>;
  // Builds the world (and opens the capture) on the loop. Throws UsageError for a world the
  // options cannot make, std::runtime_error for a capture that cannot be written.
  AirSession(EventLoop &loop, AirOptions options, Say say);
  ~AirSession();
  AirSession(const AirSession &) = delete;
  AirSession &operator=(const AirSession &) = delete;

  sim::air::World &world() { return *world_; }
  // Puts the card's controller on the air; before the card is made.
  void prepareCard(sim::ControllerOptions &card);
  // The adapter is up: the traffic generator and the TAP bridge bind to it. Throws
  // std::runtime_error when the TAP device cannot be made.
  void adapterUp(ndis::Adapter &adapter, sim::Controller &controller, const sim::air::Mac &station);
  // Called after every slice of the loop: follows the joined network, prints a status line
  // once a second of handheld time has passed.
  void afterSlice();
  // Before the card is removed: nothing new is sent.
  void stop();
  // The card is about to be taken out on request: the bindings stop and are kept (the halt still
  // completes their packets) until the session ends; adapterUp binds to the next card.
  void cardOut();
  bool bound() const { return adapter_ != nullptr; }
  // Once the run has stopped, before the card goes: the summary line(s). The bindings go with
  // the session.
  void summary();
  // What the traffic generator achieved (nullopt without --traffic).
  std::optional<TrafficGenerator::Stats> trafficStats() const;

 private:
  struct Network {
    std::string name;  // SSID
    std::string bssid;
    int channel = 0;
    std::optional<TrafficTarget> target;
  };
  std::optional<Network> joined() const;
  std::string statusLine();
  void observe(const sim::air::AirFrame &frame);

  EventLoop &loop_;
  AirOptions options_;
  Say say_;
  std::unique_ptr<sim::air::Capture> capture_;  // before the world: the medium calls into it
  std::unique_ptr<sim::air::World> world_;
  sim::Controller *controller_ = nullptr;
  ndis::Adapter *adapter_ = nullptr;
  sim::air::Mac station_{};
  std::unique_ptr<FrameBinding> counter_;
  std::unique_ptr<TrafficGenerator> traffic_;
  std::unique_ptr<TapBridge> tap_;
  struct Retired {
    std::unique_ptr<FrameBinding> counter;
    std::unique_ptr<TrafficGenerator> traffic;
    std::unique_ptr<TapBridge> tap;
  };
  std::vector<Retired> retired_;
  Micros started_ = 0, nextStatus_ = 0, stoppedAt_ = 0;
  struct Tally {
    std::uint64_t frames = 0, bytes = 0;
  };
  Tally sent_, received_, sentReported_, receivedReported_;
  std::string lastNetwork_;
};

}  // namespace teskel::handheld
