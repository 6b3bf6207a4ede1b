// Packets for protocol bindings on the host side: an NDIS_PACKET with its buffer chain and the
// memory behind it, owned together.
#pragma once

#include <ndis.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace teskel::ndis {

class Packet {
 public:
  // One NDIS buffer per fragment, chained in order. Empty fragments give zero-length buffers.
  explicit Packet(const std::vector<std::vector<std::uint8_t>> &fragments);
  // A frame cut into buffers at the given offsets (ascending, each at most the frame's size).
  static std::unique_ptr<Packet> fromFrame(std::span<const std::uint8_t> frame, std::vector<std::size_t> cuts = {});
  // Zero-filled buffers of the given sizes, as a transfer-data target.
  static std::unique_ptr<Packet> withBuffers(const std::vector<std::size_t> &sizes);

  Packet(const Packet &) = delete;
  Packet &operator=(const Packet &) = delete;

  NDIS_PACKET *ndis() { return &packet_; }
  // The bytes of the chain as it is now, in order.
  std::vector<std::uint8_t> contents() const;

 private:
  NDIS_PACKET packet_{};
  std::vector<std::unique_ptr<NDIS_BUFFER>> buffers_;
  std::vector<std::vector<std::uint8_t>> memory_;
};

}  // namespace teskel::ndis
