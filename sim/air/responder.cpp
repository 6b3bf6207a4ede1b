// The host behind an access point or inside a peer: answers ARP for its address and ICMP echo,
// discards UDP to port 9 and echoes UDP to port 7.
#include <algorithm>

#include "air_impl.h"

namespace teskel::sim::air {

namespace {

constexpr std::uint16_t kArp = 0x0806, kIpv4 = 0x0800;
constexpr std::uint8_t kIcmp = 1, kUdp = 17;

std::uint16_t be16(const Bytes &b, std::size_t at) { return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]); }
void putBe16(Bytes &b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v >> 8);
  b[at + 1] = static_cast<std::uint8_t>(v);
}

std::uint16_t checksum(const std::uint8_t *p, std::size_t n) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < n; i += 2) sum += static_cast<std::uint32_t>((p[i] << 8) | p[i + 1]);
  if (n & 1) sum += static_cast<std::uint32_t>(p[n - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

bool sameIp(const Bytes &b, std::size_t at, const Ipv4 &ip) { return std::equal(ip.begin(), ip.end(), b.begin() + static_cast<std::ptrdiff_t>(at)); }

}  // namespace

Bytes udpPacket(const Ipv4 &from, const Ipv4 &to, std::uint16_t sourcePort, std::uint16_t destinationPort,
                std::size_t payload) {
  Bytes p(28 + payload, 0);
  p[0] = 0x45;
  putBe16(p, 2, static_cast<std::uint16_t>(p.size()));
  p[8] = 64;
  p[9] = kUdp;
  std::copy(from.begin(), from.end(), p.begin() + 12);
  std::copy(to.begin(), to.end(), p.begin() + 16);
  putBe16(p, 10, checksum(p.data(), 20));
  putBe16(p, 20, sourcePort);
  putBe16(p, 22, destinationPort);
  putBe16(p, 24, static_cast<std::uint16_t>(8 + payload));
  for (std::size_t i = 0; i < payload; ++i) p[28 + i] = static_cast<std::uint8_t>(i * 7);
  return p;
}

std::vector<EtherFrame> Responder::answer(const EtherFrame &in) const {
  std::vector<EtherFrame> out;
  if (in.destination != config_.mac && !isGroup(in.destination)) return out;
  const Bytes &p = in.payload;
  if (in.type == kArp) {
    // Ethernet/IPv4 request for our address.
    if (p.size() < 28 || be16(p, 0) != 1 || be16(p, 2) != kIpv4 || p[4] != 6 || p[5] != 4 || be16(p, 6) != 1 ||
        !sameIp(p, 24, config_.ip))
      return out;
    EtherFrame r{in.source, config_.mac, kArp, Bytes(p.begin(), p.begin() + 28)};
    putBe16(r.payload, 6, 2);
    std::copy(p.begin() + 8, p.begin() + 18, r.payload.begin() + 18);  // requester becomes the target
    std::copy(config_.mac.begin(), config_.mac.end(), r.payload.begin() + 8);
    std::copy(config_.ip.begin(), config_.ip.end(), r.payload.begin() + 14);
    out.push_back(std::move(r));
    return out;
  }
  if (in.type != kIpv4 || in.destination != config_.mac || p.size() < 20 || (p[0] >> 4) != 4) return out;
  const std::size_t ihl = (p[0] & 0x0F) * 4u;
  const std::size_t total = be16(p, 2);
  if (ihl < 20 || total < ihl || total > p.size() || !sameIp(p, 16, config_.ip)) return out;
  if (checksum(p.data(), ihl) != 0) return out;
  if (be16(p, 6) & 0x3FFF) return out;  // fragments are not reassembled
  Bytes reply(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(total));
  std::swap_ranges(reply.begin() + 12, reply.begin() + 16, reply.begin() + 16);
  reply[8] = 64;
  const std::size_t l4 = ihl;
  if (p[9] == kIcmp) {
    if (total < l4 + 8 || reply[l4] != 8) return out;  // echo requests only
    reply[l4] = 0;
    putBe16(reply, l4 + 2, 0);
    putBe16(reply, l4 + 2, checksum(reply.data() + l4, total - l4));
  } else if (p[9] == kUdp) {
    if (total < l4 + 8 || be16(p, l4 + 2) != 7) return out;  // port 9 and the rest: discarded
    std::swap_ranges(reply.begin() + static_cast<std::ptrdiff_t>(l4), reply.begin() + static_cast<std::ptrdiff_t>(l4 + 2),
                     reply.begin() + static_cast<std::ptrdiff_t>(l4 + 2));
    putBe16(reply, l4 + 6, 0);  // no UDP checksum, which IPv4 allows
  } else {
    return out;
  }
  putBe16(reply, 10, 0);
  putBe16(reply, 10, checksum(reply.data(), ihl));
  out.push_back(EtherFrame{in.source, config_.mac, kIpv4, std::move(reply)});
  return out;
}

}  // namespace teskel::sim::air
