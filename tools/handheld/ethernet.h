// Ethernet, ARP, IPv4, ICMP and UDP frames as the host-side protocol bindings build and read them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "teskel/air.h"

namespace teskel::handheld::eth {

using sim::air::Ipv4;
using sim::air::Mac;

inline constexpr std::uint16_t kTypeIpv4 = 0x0800, kTypeArp = 0x0806;
inline constexpr std::uint8_t kProtoIcmp = 1, kProtoUdp = 17;
inline constexpr Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// The Internet checksum (ones' complement of the ones' complement sum).
std::uint16_t checksum(std::span<const std::uint8_t> bytes, std::uint32_t sum = 0);
// The sum of the big-endian 16-bit words of `bytes` added to `sum`, not yet folded: what
// checksum() starts from.
std::uint32_t wordSum(std::span<const std::uint8_t> bytes, std::uint32_t sum = 0);

std::vector<std::uint8_t> arpRequest(const Mac &own, const Ipv4 &ownIp, const Ipv4 &target);
// An IPv4 packet in an Ethernet frame; `payload` is the ICMP message or UDP datagram.
std::vector<std::uint8_t> ipv4Frame(const Mac &from, const Mac &to, const Ipv4 &src, const Ipv4 &dst,
                                    std::uint8_t protocol, std::uint16_t id, std::span<const std::uint8_t> payload);
std::vector<std::uint8_t> icmpEcho(std::uint16_t id, std::uint16_t sequence, std::span<const std::uint8_t> data);
std::vector<std::uint8_t> udpDatagram(const Ipv4 &src, const Ipv4 &dst, std::uint16_t srcPort, std::uint16_t dstPort,
                                      std::span<const std::uint8_t> data);

// An echo request sent again and again: built once, then each send only patches the sequence
// number and the IP identification, and their checksums from the sums kept of the rest. Its bytes
// are those ipv4Frame(..., icmpEcho(...)) would build afresh.
class EchoRequestFrame {
 public:
  EchoRequestFrame(const Mac &from, const Mac &to, const Ipv4 &src, const Ipv4 &dst, std::uint16_t echoId,
                   std::span<const std::uint8_t> data);
  std::span<const std::uint8_t> with(std::uint16_t sequence, std::uint16_t ipId);

 private:
  std::vector<std::uint8_t> frame_;
  // The word sums of the IP header and of the ICMP message without the patched fields and checksums.
  std::uint32_t ipSum_ = 0, icmpSum_ = 0;
};

// What the bindings look for in a received frame (whole, header included).
struct ArpReply {
  Mac senderMac;
  Ipv4 senderIp;
};
std::optional<ArpReply> parseArpReply(std::span<const std::uint8_t> frame);
struct EchoReply {
  Ipv4 from;
  std::uint16_t id, sequence;
  std::span<const std::uint8_t> data;
};
std::optional<EchoReply> parseEchoReply(std::span<const std::uint8_t> frame);
struct UdpPacket {
  Ipv4 from;
  std::uint16_t srcPort, dstPort;
  std::span<const std::uint8_t> data;
};
std::optional<UdpPacket> parseUdp(std::span<const std::uint8_t> frame);

}  // namespace teskel::handheld::eth
