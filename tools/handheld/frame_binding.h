// What the handheld's protocol bindings share: a whole received frame from an indication, and a
// binding that sends Ethernet frames and keeps each packet alive until the miniport completes it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "teskel/ndis_host.h"
#include "teskel/ndis_packet.h"

namespace teskel::handheld {

// The indicated frame, header included; the part past the lookahead comes through transfer-data
// (the binding may call it during the indication). Empty when the transfer failed.
std::vector<std::uint8_t> receivedFrame(ndis::Adapter &adapter, const ndis::ReceiveIndication &indication);

class FrameBinding {
 public:
  // `receive` gets every frame the adapter indicates; `completed` every send's status.
  FrameBinding(ndis::Adapter &adapter, std::function<void(std::span<const std::uint8_t>)> receive,
               std::function<void(NDIS_STATUS, std::size_t bytes)> completed = nullptr);
  ~FrameBinding();
  FrameBinding(const FrameBinding &) = delete;
  FrameBinding &operator=(const FrameBinding &) = delete;

  void send(std::span<const std::uint8_t> frame);
  std::size_t outstanding() const { return packets_.size(); }
  ndis::Adapter &adapter() { return adapter_; }

 private:
  struct Sent {
    std::unique_ptr<ndis::Packet> packet;
    std::size_t bytes;
  };
  ndis::Adapter &adapter_;
  int id_;
  std::function<void(NDIS_STATUS, std::size_t)> completed_;
  std::map<NDIS_PACKET *, Sent> packets_;
};

}  // namespace teskel::handheld
