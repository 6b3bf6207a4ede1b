// handheld run's radio pieces in process: the world the options make (table-driven), and the
// frames the protocol bindings build and read.
#include <gtest/gtest.h>

#include <set>

#include "commands.h"
#include "ethernet.h"
#include "traffic.h"
#include "world_options.h"

namespace {

using namespace teskel::handheld;
using teskel::sim::air::WorldConfig;

WorldConfig worldOf(std::vector<std::string> args) {
  WorldOptions o;
  for (std::size_t i = 0; i < args.size(); ++i)
    if (!parseWorldOption(args, i, o)) throw std::invalid_argument("not a world option: " + args[i]);
  return buildWorld(o);
}

TEST(HandheldWorldOptions, FirstAccessPointChangesKeepTheRestOfTheDefaultWorld) {
  WorldConfig defaults = WorldConfig::defaults();
  ASSERT_GE(defaults.accessPoints.size(), 2u);
  WorldConfig w = worldOf({"--ssid", "Cove", "--channel=9", "--wep", "0102030405"});
  ASSERT_EQ(w.accessPoints.size(), defaults.accessPoints.size());
  EXPECT_EQ(w.accessPoints[0].ssid, "Cove");
  EXPECT_EQ(w.accessPoints[0].channel, 9);
  ASSERT_TRUE(w.accessPoints[0].wepKey);
  EXPECT_EQ(*w.accessPoints[0].wepKey, (std::array<std::uint8_t, 5>{1, 2, 3, 4, 5}));
  EXPECT_EQ(w.accessPoints[0].bssid, defaults.accessPoints[0].bssid);
  EXPECT_EQ(w.accessPoints[1].ssid, defaults.accessPoints[1].ssid);
  EXPECT_EQ(w.accessPoints[1].wepKey, defaults.accessPoints[1].wepKey);
}

TEST(HandheldWorldOptions, AccessPointsReplaceTheDefaultWorldAndShareANetworkByName) {
  WorldConfig w = worldOf({"--ap", "Harbor,channel=1", "--ap", "Harbor,channel=11,signal=40", "--ap", "Cove,wep=A1B2C3D4E5",
                         "--at", "2.5:Harbor:off", "--loss", "12.5", "--contenders", "4"});
  ASSERT_EQ(w.accessPoints.size(), 3u);
  const auto &a = w.accessPoints[0], &b = w.accessPoints[1], &c = w.accessPoints[2];
  EXPECT_EQ(a.channel, 1);
  EXPECT_EQ(b.channel, 11);
  EXPECT_EQ(b.signal, 40);
  EXPECT_NE(a.bssid, b.bssid);  // two access points, one network: roaming keeps the responder
  EXPECT_EQ(a.responder.ip, b.responder.ip);
  EXPECT_EQ(a.responder.mac, b.responder.mac);
  EXPECT_NE(c.responder.ip, a.responder.ip);
  EXPECT_EQ(a.responder.ip, (teskel::sim::air::Ipv4{192, 168, 77, 1}));
  EXPECT_TRUE(c.wepKey);
  EXPECT_FALSE(a.wepKey);
  ASSERT_EQ(w.events.size(), 1u);
  EXPECT_EQ(w.events[0].at, 2500000u);
  EXPECT_FALSE(w.events[0].on);
  EXPECT_DOUBLE_EQ(w.lossPercent, 12.5);
  EXPECT_EQ(w.contenders, 4u);
}

TEST(HandheldWorldOptions, NetworksWhoseNamesBeginAlikeStillAnswerToAddressesOfTheirOwn) {
  WorldConfig w = worldOf({"--ap", "Cove2", "--ap", "Cove3", "--ap", "Cove2", "--peer", "Cove4", "--peer", "Cove5"});
  ASSERT_EQ(w.accessPoints.size(), 3u);
  ASSERT_EQ(w.peers.size(), 2u);
  std::set<teskel::sim::air::Mac> stations, responders;
  for (const auto &ap : w.accessPoints) stations.insert(ap.bssid), responders.insert(ap.responder.mac);
  for (const auto &peer : w.peers) stations.insert(peer.mac), responders.insert(peer.responder.mac);
  EXPECT_EQ(stations.size(), 5u);
  EXPECT_EQ(responders.size(), 4u);  // the two access points of Cove2 share theirs
  EXPECT_EQ(w.accessPoints[0].responder.mac, w.accessPoints[2].responder.mac);
}

TEST(HandheldWorldOptions, PeersGetResponderAddressesBesideTheGenerators) {
  WorldConfig w = worldOf({"--peer", "Camp", "--peer", "Camp,channel=3"});
  ASSERT_EQ(w.peers.size(), 2u);
  EXPECT_EQ(w.peers[0].responder.ip[3], 1);
  EXPECT_EQ(w.peers[1].responder.ip[3], 3);  // .2 is the traffic generator's
  EXPECT_EQ(w.peers[0].responder.ip[2], w.peers[1].responder.ip[2]);
  for (const auto &ap : w.accessPoints) EXPECT_NE(ap.responder.ip[2], w.peers[0].responder.ip[2]);
  EXPECT_NE(w.peers[0].mac, w.peers[1].mac);
}

TEST(HandheldWorldOptions, MalformedValuesAreUsageErrors) {
  const std::vector<std::vector<std::string>> bad = {
      {"--channel", "15"},        {"--channel", "x"},          {"--wep", "12345"},
      {"--wep", "GG00000000"},    {"--ap", "Harbor,chanel=3"}, {"--ap", "Harbor,signal=201"},
      {"--at", "5:Harbor"},       {"--at", "5:Harbor:maybe"},  {"--at", "5:Nowhere:off"},
      {"--loss", "101"},          {"--ssid", ""},              {"--ssid", std::string(33, 'x')},
      {"--ap"},                   {"--contenders", "-1"},      {"--contenders", "x"},
  };
  for (const auto &args : bad) {
    SCOPED_TRACE(args[0] + " " + (args.size() > 1 ? args[1] : ""));
    EXPECT_THROW(worldOf(args), UsageError);
  }
}

TEST(HandheldTrafficOptions, RatesAndSizes) {
  EXPECT_EQ(parseTraffic("ping").kind, TrafficConfig::Kind::Ping);
  EXPECT_DOUBLE_EQ(parseTraffic("ping=2.5").rate, 2.5);
  EXPECT_EQ(parseTraffic("udp").size, 1472u);
  EXPECT_EQ(parseTraffic("udp=100").size, 100u);
  for (const char *bad : {"pong", "ping=0", "ping=", "udp=0", "udp=1473", "udp=12x"}) EXPECT_THROW(parseTraffic(bad), UsageError) << bad;
}

TEST(HandheldFrames, EchoAndArpReadBackAndChecksumsHold) {
  const eth::Mac a{2, 0, 0, 0, 0, 1}, b{2, 0, 0, 0, 0, 2};
  const eth::Ipv4 ipA{192, 168, 77, 2}, ipB{192, 168, 77, 1};
  std::vector<std::uint8_t> data = {1, 2, 3, 4, 5};
  auto frame = eth::ipv4Frame(a, b, ipA, ipB, eth::kProtoIcmp, 7, eth::icmpEcho(0x1234, 9, data));
  EXPECT_EQ(eth::checksum(std::span(frame).subspan(14, 20)), 0);  // the IP header sums to zero
  // A reply is the request with type 0 and its checksum adjusted.
  frame[34] = 0;
  frame[36] = static_cast<std::uint8_t>(frame[36] + 8);
  auto reply = eth::parseEchoReply(frame);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->from, ipA);
  EXPECT_EQ(reply->id, 0x1234);
  EXPECT_EQ(reply->sequence, 9);
  EXPECT_EQ(std::vector<std::uint8_t>(reply->data.begin(), reply->data.end()), data);
  frame[40] ^= 1;  // a damaged reply is not one
  EXPECT_FALSE(eth::parseEchoReply(frame));

  auto request = eth::arpRequest(a, ipA, ipB);
  EXPECT_EQ(request.size(), 60u);
  EXPECT_FALSE(eth::parseArpReply(request));  // a request is no reply
  request[21] = 2;
  auto arp = eth::parseArpReply(request);
  ASSERT_TRUE(arp);
  EXPECT_EQ(arp->senderMac, a);
  EXPECT_EQ(arp->senderIp, ipA);

  auto udp = eth::ipv4Frame(a, b, ipA, ipB, eth::kProtoUdp, 1, eth::udpDatagram(ipA, ipB, 5, 9, data));
  auto parsed = eth::parseUdp(udp);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->dstPort, 9);
  EXPECT_EQ(parsed->data.size(), data.size());
}

// The traffic generator patches one echo request from send to send: every sequence number must
// give the bytes of a fresh build, checksums included (0x0000 and 0xFFFF are not the same).
TEST(HandheldFrames, APatchedEchoRequestIsTheOneBuiltAfresh) {
  const eth::Mac a{2, 0, 0, 0, 0, 1}, b{2, 0x48, 0x41, 0x52, 0x42, 0x77};
  const eth::Ipv4 ipA{192, 168, 77, 2}, ipB{192, 168, 77, 1};
  std::vector<std::uint8_t> data(56, 0x5A);
  eth::EchoRequestFrame echo(a, b, ipA, ipB, 0x7E57, data);
  for (std::uint32_t n = 0; n <= 0xFFFF; ++n) {
    const auto seq = static_cast<std::uint16_t>(n), id = static_cast<std::uint16_t>(n * 40503u + 1);
    auto patched = echo.with(seq, id);
    ASSERT_EQ(std::vector<std::uint8_t>(patched.begin(), patched.end()),
              eth::ipv4Frame(a, b, ipA, ipB, eth::kProtoIcmp, id, eth::icmpEcho(0x7E57, seq, data))) << seq;
  }
}

}  // namespace
