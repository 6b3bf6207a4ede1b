// Building and reading the Ethernet, ARP, IPv4, ICMP echo and UDP frames of the protocol bindings.
#include "ethernet.h"

#include <algorithm>

namespace teskel::handheld::eth {
namespace {

void put16(std::vector<std::uint8_t> &out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}
std::uint16_t get16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}
template <std::size_t N>
void append(std::vector<std::uint8_t> &out, const std::array<std::uint8_t, N> &a) {
  out.insert(out.end(), a.begin(), a.end());
}
template <std::size_t N>
std::array<std::uint8_t, N> take(std::span<const std::uint8_t> b, std::size_t at) {
  std::array<std::uint8_t, N> a{};
  std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(at), N, a.begin());
  return a;
}

std::vector<std::uint8_t> header(const Mac &to, const Mac &from, std::uint16_t type) {
  std::vector<std::uint8_t> f;
  f.reserve(1514);
  append(f, to);
  append(f, from);
  put16(f, type);
  return f;
}

// The IPv4 payload of a frame of this protocol, with the header's source; nullopt when it is not one.
std::optional<std::pair<Ipv4, std::span<const std::uint8_t>>> ipv4Payload(std::span<const std::uint8_t> frame,
                                                                         std::uint8_t protocol) {
  if (frame.size() < 34 || get16(frame, 12) != kTypeIpv4) return std::nullopt;
  auto ip = frame.subspan(14);
  std::size_t ihl = (ip[0] & 0x0F) * 4u;
  if ((ip[0] >> 4) != 4 || ihl < 20 || ip.size() < ihl || ip[9] != protocol) return std::nullopt;
  std::size_t total = get16(ip, 2);
  if (total < ihl || total > ip.size()) return std::nullopt;
  if ((get16(ip, 6) & 0x3FFF) != 0) return std::nullopt;  // fragments are not reassembled
  return std::make_pair(take<4>(ip, 12), ip.subspan(ihl, total - ihl));
}

}  // namespace

std::uint32_t wordSum(std::span<const std::uint8_t> bytes, std::uint32_t sum) {
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
  if (bytes.size() % 2) sum += static_cast<std::uint32_t>(bytes.back() << 8);
  return sum;
}

std::uint16_t checksum(std::span<const std::uint8_t> bytes, std::uint32_t sum) {
  sum = wordSum(bytes, sum);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

std::vector<std::uint8_t> arpRequest(const Mac &own, const Ipv4 &ownIp, const Ipv4 &target) {
  auto f = header(kBroadcast, own, kTypeArp);
  put16(f, 1);       // Ethernet
  put16(f, kTypeIpv4);
  f.push_back(6);
  f.push_back(4);
  put16(f, 1);       // request
  append(f, own);
  append(f, ownIp);
  append(f, Mac{});
  append(f, target);
  f.resize(60, 0);   // the shortest Ethernet frame, without its FCS
  return f;
}

std::vector<std::uint8_t> ipv4Frame(const Mac &from, const Mac &to, const Ipv4 &src, const Ipv4 &dst,
                                    std::uint8_t protocol, std::uint16_t id, std::span<const std::uint8_t> payload) {
  auto f = header(to, from, kTypeIpv4);
  std::size_t at = f.size();
  f.push_back(0x45);
  f.push_back(0);
  put16(f, static_cast<std::uint16_t>(20 + payload.size()));
  put16(f, id);
  put16(f, 0x4000);  // don't fragment
  f.push_back(64);
  f.push_back(protocol);
  put16(f, 0);
  append(f, src);
  append(f, dst);
  std::uint16_t sum = checksum(std::span(f).subspan(at, 20));
  f[at + 10] = static_cast<std::uint8_t>(sum >> 8);
  f[at + 11] = static_cast<std::uint8_t>(sum);
  f.insert(f.end(), payload.begin(), payload.end());
  if (f.size() < 60) f.resize(60, 0);
  return f;
}

std::vector<std::uint8_t> icmpEcho(std::uint16_t id, std::uint16_t sequence, std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> m = {8, 0, 0, 0};
  put16(m, id);
  put16(m, sequence);
  m.insert(m.end(), data.begin(), data.end());
  std::uint16_t sum = checksum(m);
  m[2] = static_cast<std::uint8_t>(sum >> 8);
  m[3] = static_cast<std::uint8_t>(sum);
  return m;
}

std::vector<std::uint8_t> udpDatagram(const Ipv4 &src, const Ipv4 &dst, std::uint16_t srcPort, std::uint16_t dstPort,
                                      std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> d;
  put16(d, srcPort);
  put16(d, dstPort);
  put16(d, static_cast<std::uint16_t>(8 + data.size()));
  put16(d, 0);
  d.insert(d.end(), data.begin(), data.end());
  // The pseudo-header's sum goes in first.
  std::uint32_t pseudo = static_cast<std::uint32_t>(src[0] << 8 | src[1]) + static_cast<std::uint32_t>(src[2] << 8 | src[3]) +
                         static_cast<std::uint32_t>(dst[0] << 8 | dst[1]) + static_cast<std::uint32_t>(dst[2] << 8 | dst[3]) +
                         kProtoUdp + static_cast<std::uint32_t>(d.size());
  std::uint16_t sum = checksum(d, pseudo);
  if (sum == 0) sum = 0xFFFF;
  d[6] = static_cast<std::uint8_t>(sum >> 8);
  d[7] = static_cast<std::uint8_t>(sum);
  return d;
}

namespace {
constexpr std::size_t kIpAt = 14, kIpHeader = 20, kIcmpAt = kIpAt + kIpHeader, kIcmpHeader = 8;
constexpr std::size_t kIpIdAt = kIpAt + 4, kIpChecksumAt = kIpAt + 10;
constexpr std::size_t kIcmpChecksumAt = kIcmpAt + 2, kIcmpSequenceAt = kIcmpAt + 6;

// Writes a big-endian field and the checksum over it, from the sum of everything else covered.
void patch(std::vector<std::uint8_t> &frame, std::size_t field, std::uint16_t value, std::size_t checksumAt,
           std::uint32_t restSum) {
  frame[field] = static_cast<std::uint8_t>(value >> 8);
  frame[field + 1] = static_cast<std::uint8_t>(value);
  std::uint16_t sum = checksum(std::span(frame).subspan(field, 2), restSum);
  frame[checksumAt] = static_cast<std::uint8_t>(sum >> 8);
  frame[checksumAt + 1] = static_cast<std::uint8_t>(sum);
}
}  // namespace

EchoRequestFrame::EchoRequestFrame(const Mac &from, const Mac &to, const Ipv4 &src, const Ipv4 &dst,
                                   std::uint16_t echoId, std::span<const std::uint8_t> data)
    : frame_(ipv4Frame(from, to, src, dst, kProtoIcmp, 0, icmpEcho(echoId, 0, data))) {
  // Built with identification and sequence 0: only the checksums must come out of the sums.
  const std::span<const std::uint8_t> f(frame_);
  ipSum_ = wordSum(f.subspan(kIpAt, kIpHeader)) - wordSum(f.subspan(kIpChecksumAt, 2));
  icmpSum_ = wordSum(f.subspan(kIcmpAt, kIcmpHeader + data.size())) - wordSum(f.subspan(kIcmpChecksumAt, 2));
}

std::span<const std::uint8_t> EchoRequestFrame::with(std::uint16_t sequence, std::uint16_t ipId) {
  patch(frame_, kIcmpSequenceAt, sequence, kIcmpChecksumAt, icmpSum_);
  patch(frame_, kIpIdAt, ipId, kIpChecksumAt, ipSum_);
  return frame_;
}

std::optional<ArpReply> parseArpReply(std::span<const std::uint8_t> frame) {
  if (frame.size() < 42 || get16(frame, 12) != kTypeArp) return std::nullopt;
  auto a = frame.subspan(14);
  if (get16(a, 0) != 1 || get16(a, 2) != kTypeIpv4 || a[4] != 6 || a[5] != 4 || get16(a, 6) != 2) return std::nullopt;
  return ArpReply{take<6>(a, 8), take<4>(a, 14)};
}

std::optional<EchoReply> parseEchoReply(std::span<const std::uint8_t> frame) {
  auto ip = ipv4Payload(frame, kProtoIcmp);
  if (!ip || ip->second.size() < 8) return std::nullopt;
  auto m = ip->second;
  if (m[0] != 0 || m[1] != 0 || checksum(m) != 0) return std::nullopt;
  return EchoReply{ip->first, get16(m, 4), get16(m, 6), m.subspan(8)};
}

std::optional<UdpPacket> parseUdp(std::span<const std::uint8_t> frame) {
  auto ip = ipv4Payload(frame, kProtoUdp);
  if (!ip || ip->second.size() < 8) return std::nullopt;
  auto d = ip->second;
  std::size_t length = get16(d, 4);
  if (length < 8 || length > d.size()) return std::nullopt;
  return UdpPacket{ip->first, get16(d, 0), get16(d, 2), d.subspan(8, length - 8)};
}

}  // namespace teskel::handheld::eth
