// The TAP bridge: the adapter bound to a Linux TAP device as a protocol binding, so that the
// kernel's own network stack sends and receives through the driver. The TAP's carrier follows
// the adapter's media connect state, queried as a protocol queries it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "frame_binding.h"
#include "teskel/air.h"
#include "teskel/event_loop.h"

namespace teskel::handheld {

class TapBridge {
 public:
  // Creates (or attaches to) the TAP device `name` with the adapter's station address. Throws
  // std::runtime_error with one clear line when /dev/net/tun is missing or the permission is.
  TapBridge(EventLoop &loop, ndis::Adapter &adapter, const std::string &name, const sim::air::Mac &station,
            std::function<void(const std::string &)> say);
  ~TapBridge();
  TapBridge(const TapBridge &) = delete;
  TapBridge &operator=(const TapBridge &) = delete;

  // Stops taking frames from the kernel (before the card goes), drops the carrier and lets the
  // device go.
  void stop();

  struct Counters {
    std::uint64_t toAdapter = 0, fromAdapter = 0, dropped = 0;
  };
  const Counters &counters() const { return counters_; }
  const std::string &name() const { return name_; }
  // True while the carrier is on: the adapter reports connected, or cannot say (see the line
  // printed when the request is not answered).
  bool carrier() const { return carrier_; }

 private:
  void poll();
  void checkMedia();
  void setCarrier(bool on);

  EventLoop &loop_;
  std::string name_;
  std::function<void(const std::string &)> say_;
  int fd_ = -1;
  std::unique_ptr<FrameBinding> binding_;
  EventLoop::TaskId pollTask_ = 0, mediaTask_ = 0;
  bool carrier_ = false;
  bool mediaUnknownSaid_ = false;
  bool stopped_ = false;
  Counters counters_;
};

}  // namespace teskel::handheld
