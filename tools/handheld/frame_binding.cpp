// The handheld's protocol bindings' common part: whole received frames and sends kept until completed.
#include "frame_binding.h"

namespace teskel::handheld {

std::vector<std::uint8_t> receivedFrame(ndis::Adapter &adapter, const ndis::ReceiveIndication &indication) {
  std::vector<std::uint8_t> frame(indication.header.begin(), indication.header.end());
  if (indication.lookahead.size() >= indication.packetSize) {
    frame.insert(frame.end(), indication.lookahead.begin(), indication.lookahead.begin() + indication.packetSize);
    return frame;
  }
  auto target = ndis::Packet::withBuffers({indication.packetSize});
  ndis::TransferResult r = adapter.transferData(target->ndis(), 0, indication.packetSize);
  if (r.status != NDIS_STATUS_SUCCESS) return {};
  auto body = target->contents();
  frame.insert(frame.end(), body.begin(), body.begin() + std::min<std::size_t>(r.bytesTransferred, body.size()));
  return frame;
}

FrameBinding::FrameBinding(ndis::Adapter &adapter, std::function<void(std::span<const std::uint8_t>)> receive,
                           std::function<void(NDIS_STATUS, std::size_t)> completed)
    : adapter_(adapter), completed_(std::move(completed)) {
  ndis::Binding b;
  b.sendComplete = [this](NDIS_PACKET *packet, NDIS_STATUS status) {
    auto it = packets_.find(packet);
    if (it == packets_.end()) return;
    std::size_t bytes = it->second.bytes;
    packets_.erase(it);
    if (completed_) completed_(status, bytes);
  };
  b.receive = [receive = std::move(receive)](ndis::Adapter &a, const ndis::ReceiveIndication &indication) {
    auto frame = receivedFrame(a, indication);
    if (!frame.empty()) receive(frame);
  };
  id_ = adapter_.bind(std::move(b));
}

FrameBinding::~FrameBinding() {
  adapter_.unbind(id_);
}

void FrameBinding::send(std::span<const std::uint8_t> frame) {
  auto packet = ndis::Packet::fromFrame(frame);
  NDIS_PACKET *p = packet->ndis();
  packets_.emplace(p, Sent{std::move(packet), frame.size()});
  adapter_.send(id_, p);
}

}  // namespace teskel::handheld
