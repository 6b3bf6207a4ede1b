// The card on the air, through the built driver, the NDIS host and the controller model: scanning
// and joining in each port type, a network that is not there, losing, regaining and roaming
// between access points, and WEP on the air with its tallies.
#include <gtest/gtest.h>

#include <algorithm>

#include "linked_driver.h"
#include "teskel/air.h"

namespace teskel::test {
namespace {

namespace air = sim::air;
using sim::hw::kPortAdHocJoined;
using sim::hw::kPortAssociated;
using sim::hw::kPortOutOfRange;
using sim::hw::kPortSearching;

constexpr Micros kSecond = 1000000;
const sim::MacAddress kHarbor = {0x02, 0x48, 0x41, 0x52, 0x42, 0x01};
const sim::MacAddress kVault = {0x02, 0x56, 0x41, 0x55, 0x4C, 0x01};
const sim::MacAddress kEveryone = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const Bytes kVaultKey = {0x1A, 0x2B, 0x3C, 0x4D, 0x5E};

std::uint16_t frameControl(const Bytes &f) { return static_cast<std::uint16_t>(f[0] | (f[1] << 8)); }
sim::MacAddress macAt(const Bytes &f, std::size_t at) {
  sim::MacAddress m{};
  std::copy(f.begin() + static_cast<std::ptrdiff_t>(at), f.begin() + static_cast<std::ptrdiff_t>(at + 6), m.begin());
  return m;
}

std::uint16_t ipChecksum(const Bytes &b, std::size_t from, std::size_t n) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < n; i += 2) sum += static_cast<std::uint32_t>((b[from + i] << 8) | b[from + i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

Bytes arpRequest(const sim::MacAddress &self, const air::Ipv4 &from, const air::Ipv4 &to) {
  Bytes p = {0, 1, 8, 0, 6, 4, 0, 1};
  p.insert(p.end(), self.begin(), self.end());
  p.insert(p.end(), from.begin(), from.end());
  p.insert(p.end(), 6, 0);
  p.insert(p.end(), to.begin(), to.end());
  return ethernetFrame(kEveryone, self, 0x0806, p);
}

Bytes echoRequest(const sim::MacAddress &to, const sim::MacAddress &self, const air::Ipv4 &from, const air::Ipv4 &dst,
                  std::uint16_t sequence) {
  Bytes ip = {0x45, 0, 0, 0, 0, 1, 0, 0, 64, 1, 0, 0};
  ip.insert(ip.end(), from.begin(), from.end());
  ip.insert(ip.end(), dst.begin(), dst.end());
  Bytes icmp = {8, 0, 0, 0, 0x12, 0x34, static_cast<std::uint8_t>(sequence >> 8), static_cast<std::uint8_t>(sequence)};
  Bytes data = pattern(56, static_cast<std::uint8_t>(sequence));
  icmp.insert(icmp.end(), data.begin(), data.end());
  const std::uint16_t c = ipChecksum(icmp, 0, icmp.size());
  icmp[2] = static_cast<std::uint8_t>(c >> 8);
  icmp[3] = static_cast<std::uint8_t>(c);
  ip.insert(ip.end(), icmp.begin(), icmp.end());
  ip[3] = static_cast<std::uint8_t>(ip.size());
  const std::uint16_t h = ipChecksum(ip, 0, 20);
  ip[10] = static_cast<std::uint8_t>(h >> 8);
  ip[11] = static_cast<std::uint8_t>(h);
  return ethernetFrame(to, self, 0x0800, ip);
}

// A radio of the test's own on the air, for frames no station of the world would send.
struct Transmitter : air::Radio {
  void hear(const air::AirFrame &, bool) override {}
};

class Radio : public ::testing::Test {
 protected:
  void make(air::WorldConfig config = air::WorldConfig::defaults()) {
    rig = std::make_unique<DriverRig>(linkedDriver(), sim::ControllerOptions{}, std::move(config));
    rig->world->medium().addObserver([this](const air::AirFrame &f) { onAir.push_back(f); });
    rig->install();
  }
  // Brings the adapter up and lets the air run for `time`.
  void start(Micros time = 0) {
    rig->bringUp();
    ASSERT_FALSE(HasFatalFailure());
    rig->settle(time);
  }
  std::uint16_t status() const { return rig->controller->portStatus(); }
  std::uint16_t driverLinkCode() {
    USHORT code = 0xEEEE;
    EXPECT_TRUE(rig->call([&](PADAPTER a) { return GetLinkStatus(a, &code); }));
    return code;
  }
  sim::MacAddress bssid() {
    auto words = rig->controller->record(sim::hw::kRidCurrentBssid);
    sim::MacAddress m{};
    std::copy(words->begin(), words->begin() + 6, m.begin());
    return m;
  }
  // Frames the card sent, by frame control type/subtype (0x0040 probe request, 0x0080 beacon).
  std::vector<air::AirFrame> sentByCard(std::uint16_t kind) const {
    std::vector<air::AirFrame> out;
    for (auto &f : onAir)
      if ((frameControl(f.bytes) & 0x00FC) == kind && macAt(f.bytes, 10) == rig->stationAddress()) out.push_back(f);
    return out;
  }
  // Indicated frames of this Ethernet type whose payload byte `at` is `value`.
  std::size_t indicated(std::uint16_t type, std::size_t at, std::uint8_t value) const {
    std::size_t n = 0;
    for (auto &i : rig->indications) {
      const std::uint16_t t = static_cast<std::uint16_t>((i.header[12] << 8) | i.header[13]);
      if (t == type && i.lookahead.size() > at && i.lookahead[at] == value) ++n;
    }
    return n;
  }
  // ARP for the responder, then `count` echo requests; the replies indicated.
  std::pair<std::size_t, std::size_t> ping(const air::Ipv4 &responder, const air::Ipv4 &self, int count) {
    const sim::MacAddress me = rig->stationAddress();
    rig->send(arpRequest(me, self, responder));
    rig->settle(20000);
    sim::MacAddress to{};
    for (auto &i : rig->indications)
      if (i.header[12] == 0x08 && i.header[13] == 0x06 && i.lookahead.size() >= 14 && i.lookahead[7] == 2)
        std::copy(i.lookahead.begin() + 8, i.lookahead.begin() + 14, to.begin());
    for (int s = 0; s < count; ++s) {
      rig->send(echoRequest(to, me, self, responder, static_cast<std::uint16_t>(s)));
      rig->settle(20000);
    }
    return {indicated(0x0806, 7, 2), indicated(0x0800, 20, 0)};
  }
  void useVault(const Bytes &key) {
    rig->setParm("SSID", u"Vault");
    rig->setParm("WepReq", 1);
    Bytes keys(20, 0);
    std::copy(key.begin(), key.end(), keys.begin());
    rig->setParmBinary("DefaultKeys", keys);
  }

  std::unique_ptr<DriverRig> rig;
  std::vector<air::AirFrame> onAir;
};

TEST_F(Radio, AnyNetworkJoinsTheFirstAccessPointInScanOrder) {
  make();
  start();
  EXPECT_EQ(status(), kPortAssociated);
  EXPECT_EQ(bssid(), kHarbor);
  EXPECT_EQ(rig->controller->recordWord(sim::hw::kRidCurrentChannel), 6);
  EXPECT_EQ(rig->controller->recordWord(sim::hw::kRidCommsQuality, 1), 100) << "Harbor's signal";
  EXPECT_EQ(driverLinkCode(), 1);
  std::vector<int> probed;
  for (auto &f : sentByCard(0x0040)) probed.push_back(f.channel);
  EXPECT_EQ(probed, (std::vector<int>{1, 2, 3, 4, 5, 6})) << "one probe request a channel until Harbor answered";
  EXPECT_EQ(probed.size(), 6u);
  auto requests = sentByCard(0x0000);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(Bytes(requests[0].bytes.begin() + 28, requests[0].bytes.begin() + 36), (Bytes{0, 6, 'H', 'a', 'r', 'b', 'o', 'r'}))
      << "the association request names the network it joins, though the card asked for any";
}

// Vault is met first in this world; a card joins only where the network's Privacy bit is its WEP.
class PrivacyRadio : public Radio, public ::testing::WithParamInterface<bool> {};

TEST_P(PrivacyRadio, AScanPassesOverNetworksWhosePrivacyDiffersFromTheCardsWep) {
  const bool wep = GetParam();
  air::WorldConfig world = air::WorldConfig::defaults();
  world.accessPoints[1].channel = 1;
  make(world);
  if (wep) {
    rig->setParm("WepReq", 1);
    Bytes keys(20, 0);
    std::copy(kVaultKey.begin(), kVaultKey.end(), keys.begin());
    rig->setParmBinary("DefaultKeys", keys);
  }
  start();
  EXPECT_EQ(status(), kPortAssociated);
  EXPECT_EQ(bssid(), wep ? kVault : kHarbor);
  auto requests = sentByCard(0x0000);
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ((requests.back().bytes[24] & 0x10) != 0, wep) << "the request's Privacy bit is the card's WEP";
}

INSTANTIATE_TEST_SUITE_P(Wep, PrivacyRadio, ::testing::Bool(),
                         [](const auto &info) { return std::string(info.param ? "On" : "Off"); });

TEST_F(Radio, ADesiredNetworkIsJoinedWhereverItIs) {
  make();
  useVault(kVaultKey);
  start();
  EXPECT_EQ(status(), kPortAssociated);
  EXPECT_EQ(bssid(), kVault);
  EXPECT_EQ(rig->controller->recordWord(sim::hw::kRidCurrentChannel), 11);
  auto probes = sentByCard(0x0040);
  ASSERT_FALSE(probes.empty());
  const Bytes &p = probes.front().bytes;
  EXPECT_EQ(Bytes(p.begin() + 24, p.begin() + 31), (Bytes{0, 5, 'V', 'a', 'u', 'l', 't'})) << "probes name the network";
}

TEST_F(Radio, ANetworkNoAccessPointHasIsSearchedForEver) {
  make();
  rig->setParm("SSID", u"Lighthouse");
  start(3 * kSecond);
  EXPECT_EQ(status(), kPortSearching);
  EXPECT_EQ(driverLinkCode(), 4);
  EXPECT_EQ(rig->controller->infoBuffersHeld(), 0u) << "no link-status frame ever came";
  const auto probes = sentByCard(0x0040);
  EXPECT_GE(probes.size(), 3u * 14u) << "whole scans, one after another";
  for (auto &f : probes) EXPECT_EQ(f.bytes[25], 10) << "each for Lighthouse";
  for (auto &f : onAir)
    EXPECT_NE(frameControl(f.bytes) & 0x00FC, 0x00B0) << "no authentication was ever tried";
}

// A peer of its own network on channel 9, with WEP and a responder.
air::WorldConfig withCove(int channel) {
  air::WorldConfig world = air::WorldConfig::defaults();
  air::PeerConfig cove;
  cove.ssid = "Cove";
  cove.mac = {0x02, 0x43, 0x4F, 0x56, 0x45, 0x01};
  cove.channel = channel;
  cove.wepKey = std::array<std::uint8_t, 5>{0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  cove.responder.ip = {192, 168, 79, 1};
  world.peers.push_back(cove);
  return world;
}

TEST_F(Radio, AnAdHocPortJoinsANetworkOfItsName) {
  make(withCove(9));
  rig->setParm("NetworkType", 0);
  rig->setParm("DSChannel", 4);
  useVault(kVaultKey);
  rig->setParm("SSID", u"Cove");
  start(kSecond);
  EXPECT_EQ(status(), kPortAdHocJoined);
  EXPECT_EQ(rig->controller->recordWord(sim::hw::kRidCurrentChannel), 9) << "the network's channel";
  EXPECT_EQ(driverLinkCode(), 1);
  // The network beacons once a target beacon time, the card or Cove, whichever's delay ends
  // first; the card keeps the TSF and beacon times it took over from Cove.
  std::vector<std::uint64_t> network;
  std::size_t fromCard = 0;
  for (auto &f : onAir) {
    if ((frameControl(f.bytes) & 0x00FC) != 0x0080 || macAt(f.bytes, 16) != bssid() || f.start < 300000) continue;
    std::uint64_t t = 0;
    for (int i = 7; i >= 0; --i) t = (t << 8) | f.bytes[24 + static_cast<std::size_t>(i)];
    network.push_back(t / 102400);
    fromCard += macAt(f.bytes, 10) == rig->stationAddress();
    EXPECT_LT(t % 102400, 62u * 20 + 192 + 96 + 1000) << "soon after a target beacon time";
    if (macAt(f.bytes, 10) == rig->stationAddress()) {
      EXPECT_EQ(Bytes(f.bytes.end() - 4, f.bytes.end()), (Bytes{6, 2, 0, 0})) << "the IBSS parameter set";
    }
  }
  ASSERT_GE(network.size(), 5u);
  EXPECT_EQ(std::adjacent_find(network.begin(), network.end()), network.end()) << "one beacon a target time";
  EXPECT_GT(fromCard, 0u) << "the station beacons too";
  auto [arp, echo] = ping({192, 168, 79, 1}, {192, 168, 79, 2}, 3);
  EXPECT_EQ(arp, 1u);
  EXPECT_EQ(echo, 3u) << "the peer's responder answers";
}

TEST_F(Radio, AnAdHocPortStartsANetworkOnItsOwnChannelWhenNoneHasItsName) {
  make(withCove(9));
  rig->setParm("NetworkType", 0);
  rig->setParm("DSChannel", 4);
  rig->setParm("SSID", u"Reef");
  start(kSecond);
  EXPECT_EQ(status(), kPortAdHocJoined);
  EXPECT_EQ(rig->controller->recordWord(sim::hw::kRidCurrentChannel), 4) << "started on the own channel";
  const sim::MacAddress started = bssid();
  EXPECT_EQ(started[0] & 0x03, 0x02) << "a locally administered BSSID";
  auto beacons = sentByCard(0x0080);
  ASSERT_FALSE(beacons.empty());
  EXPECT_EQ(beacons.front().channel, 4);
  EXPECT_EQ(beacons.front().bytes[24 + 10] & 0x02, 0x02) << "the IBSS bit";
  EXPECT_EQ(sentByCard(0x0040).size(), 14u) << "after one whole scan";
}

TEST_F(Radio, APortWithNoAssociationHearsPeersOnItsChannelAtOnce) {
  make(withCove(6));
  rig->setParm("NetworkType", 3);
  rig->setParm("DSChannel", 6);
  useVault(kVaultKey);
  start();
  EXPECT_EQ(status(), kPortAdHocJoined);
  EXPECT_TRUE(sentByCard(0x0040).empty()) << "no scan";
  EXPECT_EQ(bssid(), (sim::MacAddress{}));
  auto [arp, echo] = ping({192, 168, 79, 1}, {192, 168, 79, 2}, 2);
  EXPECT_EQ(arp, 1u);
  EXPECT_EQ(echo, 2u);
}

TEST_F(Radio, TheAccessPointGoesOutOfRangeAndComesBack) {
  air::WorldConfig world = air::WorldConfig::defaults();
  world.events = {{kSecond, "Harbor", false}, {3 * kSecond, "Harbor", true}};
  make(world);
  start();
  ASSERT_EQ(status(), kPortAssociated);
  rig->loop.runUntil(2 * kSecond + kSecond / 2);
  EXPECT_EQ(status(), kPortOutOfRange) << "ten beacons missed";
  EXPECT_EQ(driverLinkCode(), 4);
  rig->loop.runUntil(3 * kSecond + kSecond / 4);
  EXPECT_EQ(status(), kPortAssociated) << "back within three seconds: no new scan";
  EXPECT_EQ(bssid(), kHarbor);
  EXPECT_EQ(driverLinkCode(), 1);
  EXPECT_EQ(sentByCard(0x0040).size(), 6u);
}

TEST_F(Radio, AStationRoamsToAnotherAccessPointOfItsNetwork) {
  air::WorldConfig world = air::WorldConfig::defaults();
  air::AccessPointConfig pier = world.accessPoints[0];
  pier.bssid = {0x02, 0x50, 0x49, 0x45, 0x52, 0x01};
  pier.channel = 9;
  pier.signal = 60;
  world.accessPoints.push_back(pier);  // a second "Harbor"
  world.events = {{kSecond, "Harbor", false}};
  make(world);
  rig->setParm("SSID", u"Harbor");
  start();
  ASSERT_EQ(bssid(), kHarbor);
  rig->loop.runUntil(kSecond + kSecond * 3 / 2);
  EXPECT_EQ(status(), kPortOutOfRange);
  rig->loop.runUntil(6 * kSecond);
  EXPECT_EQ(status(), kPortAssociated) << "three seconds out of range, then a new scan";
  EXPECT_EQ(bssid(), pier.bssid);
  EXPECT_EQ(rig->controller->recordWord(sim::hw::kRidCommsQuality, 0), 50);
}

TEST_F(Radio, AnAccessPointThatNoLongerKnowsTheStationDeauthenticatesIt) {
  make();
  start();
  ASSERT_EQ(status(), kPortAssociated);
  // Harbor forgets the station: a deauthentication in the station's name (to Harbor) reaches it.
  Transmitter t;
  rig->world->medium().tune(t, 6);
  Bytes f = {0xC0, 0x00, 0, 0};
  f.insert(f.end(), kHarbor.begin(), kHarbor.end());
  const auto me = rig->stationAddress();
  f.insert(f.end(), me.begin(), me.end());
  f.insert(f.end(), kHarbor.begin(), kHarbor.end());
  f.insert(f.end(), {0, 0, 3, 0});
  air::AirFrame frame;
  frame.bytes = f;
  frame.channel = 6;
  rig->world->medium().send(t, frame);
  rig->settle(2000);
  rig->world->medium().detach(t);
  EXPECT_EQ(status(), kPortAssociated) << "the station itself heard nothing for it";
  // The next data frame from the card is one Harbor does not know: Harbor deauthenticates it.
  const std::size_t before = onAir.size();
  rig->send(arpRequest(me, {192, 168, 77, 2}, {192, 168, 77, 1}));
  rig->settle(5000);
  EXPECT_EQ(status(), kPortSearching) << "deauthenticated, searching again";
  EXPECT_EQ(driverLinkCode(), 4);
  bool deauthenticated = false;
  for (std::size_t i = before; i < onAir.size(); ++i)
    deauthenticated |= frameControl(onAir[i].bytes) == 0x00C0 && macAt(onAir[i].bytes, 4) == me &&
                       macAt(onAir[i].bytes, 10) == kHarbor;
  EXPECT_TRUE(deauthenticated);
  rig->settle(kSecond / 2);
  EXPECT_EQ(status(), kPortAssociated) << "and joined again";
}

Bytes udpTo(const sim::MacAddress &to, const sim::MacAddress &self, const air::Ipv4 &from, const air::Ipv4 &dst,
            std::uint16_t port) {
  Bytes ip = {0x45, 0, 0, 0, 0, 2, 0, 0, 64, 17, 0, 0};
  ip.insert(ip.end(), from.begin(), from.end());
  ip.insert(ip.end(), dst.begin(), dst.end());
  Bytes udp = {0x9C, 0x40, static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port), 0, 0, 0, 0};
  Bytes data = pattern(100);
  udp.insert(udp.end(), data.begin(), data.end());
  udp[5] = static_cast<std::uint8_t>(udp.size());
  ip.insert(ip.end(), udp.begin(), udp.end());
  ip[3] = static_cast<std::uint8_t>(ip.size());
  const std::uint16_t h = ipChecksum(ip, 0, 20);
  ip[10] = static_cast<std::uint8_t>(h >> 8);
  ip[11] = static_cast<std::uint8_t>(h);
  return ethernetFrame(to, self, 0x0800, ip);
}

// The first status tick switches WEP off (WepReq 0), and the open network carries traffic.
TEST_F(Radio, AnOpenNetworkAnswersEchoAndUdpAfterTheFirstTick) {
  make();
  start(1200000);
  ASSERT_EQ(bssid(), kHarbor);
  ASSERT_EQ(rig->controller->recordWord(sim::hw::kRidWepFlags), 0);
  auto [arp, echo] = ping({192, 168, 77, 1}, {192, 168, 77, 2}, 3);
  EXPECT_EQ(arp, 1u);
  EXPECT_EQ(echo, 3u);
  const sim::MacAddress responder = {0x02, 0x48, 0x41, 0x52, 0x42, 0xFE};
  const std::size_t before = rig->indications.size();
  rig->send(udpTo(responder, rig->stationAddress(), {192, 168, 77, 2}, {192, 168, 77, 1}, 9));
  rig->settle(20000);
  EXPECT_EQ(rig->indications.size(), before) << "port 9 discards";
  rig->send(udpTo(responder, rig->stationAddress(), {192, 168, 77, 2}, {192, 168, 77, 1}, 7));
  rig->settle(20000);
  ASSERT_EQ(rig->indications.size(), before + 1) << "port 7 echoes";
  const Indication &reply = rig->indications.back();
  EXPECT_EQ(reply.lookahead[22], 0x9C) << "back to the sending port";
  EXPECT_EQ(reply.lookahead.size(), 128u);
}

TEST_F(Radio, WepWithTheRightKeyCarriesTrafficAndProtectsEveryDataFrame) {
  make();
  useVault(kVaultKey);
  start();
  ASSERT_EQ(bssid(), kVault);
  auto [arp, echo] = ping({192, 168, 78, 1}, {192, 168, 78, 2}, 4);
  EXPECT_EQ(arp, 1u);
  EXPECT_EQ(echo, 4u);
  std::size_t data = 0;
  for (auto &f : onAir)
    if ((frameControl(f.bytes) & 0x000C) == 0x0008) {
      ++data;
      EXPECT_TRUE(frameControl(f.bytes) & 0x4000) << "protected";
    }
  EXPECT_EQ(data, 10u) << "five requests, five replies";
}

TEST_F(Radio, WepWithAnotherKeyJoinsButNothingIsUnderstood) {
  make();
  useVault({0x11, 0x22, 0x33, 0x44, 0x55});
  start();
  EXPECT_EQ(bssid(), kVault) << "association looks at the Privacy bit, not at the key";
  auto [arp, echo] = ping({192, 168, 78, 1}, {192, 168, 78, 2}, 2);
  EXPECT_EQ(arp + echo, 0u);
}

// Frames from Vault's address that the card must not take: one encrypted with another key (an
// ICV failure, counted) and one unencrypted (excluded while WEP excludes them).
TEST_F(Radio, FramesThatFailTheirIcvAreCountedAndUnencryptedOnesExcluded) {
  make();
  useVault(kVaultKey);
  start();
  ASSERT_EQ(bssid(), kVault);
  const auto me = rig->stationAddress();
  Transmitter t;
  rig->world->medium().tune(t, 11);
  auto fromVault = [&](bool encrypted, const Bytes &key) {
    Bytes f = {0x08, static_cast<std::uint8_t>(0x02 | (encrypted ? 0x40 : 0)), 0, 0};
    f.insert(f.end(), me.begin(), me.end());
    f.insert(f.end(), kVault.begin(), kVault.end());
    f.insert(f.end(), kVault.begin(), kVault.end());
    f.insert(f.end(), {0x20, 0});
    Bytes body = {0xAA, 0xAA, 0x03, 0, 0, 0, 0x08, 0x00};
    Bytes payload = pattern(40);
    body.insert(body.end(), payload.begin(), payload.end());
    if (encrypted) {
      std::array<std::uint8_t, 5> k{};
      std::copy(key.begin(), key.end(), k.begin());
      body = air::wepEncrypt(k, 0x00ABCD, 0, body);
    }
    f.insert(f.end(), body.begin(), body.end());
    air::AirFrame frame;
    frame.bytes = f;
    frame.channel = 11;
    rig->world->medium().send(t, frame);
    rig->settle(2000);
  };
  const std::size_t before = rig->indications.size();
  const auto undecryptable = [&] { return rig->controller->tallies()[sim::hw::kTallyRxWepUndecryptable]; };
  const std::uint16_t failedBefore = undecryptable();
  fromVault(false, {});
  EXPECT_EQ(rig->indications.size(), before) << "unencrypted: excluded";
  fromVault(true, {0x11, 0x22, 0x33, 0x44, 0x55});
  EXPECT_EQ(rig->indications.size(), before) << "another key: the ICV fails";
  EXPECT_EQ(undecryptable(), failedBefore + 1);
  fromVault(true, kVaultKey);
  EXPECT_EQ(rig->indications.size(), before + 1) << "the same frame with Vault's key is taken";
  EXPECT_EQ(undecryptable(), failedBefore + 1);
  rig->world->medium().detach(t);
}

// With power saving on, the card sleeps between the beacons it listens to; Harbor holds the
// replies for it, and the card asks for each with a PS-Poll.
TEST_F(Radio, ASleepingStationGetsItsFramesThroughPsPolls) {
  make();
  rig->setParm("PSMode", 3);
  start(1200000);
  ASSERT_EQ(rig->controller->recordWord(sim::hw::kRidPmEnabled), 1);
  onAir.clear();
  const auto me = rig->stationAddress();
  rig->send(arpRequest(me, {192, 168, 77, 2}, {192, 168, 77, 1}));
  rig->settle(20000);
  EXPECT_EQ(indicated(0x0806, 7, 2), 0u) << "nothing comes before the card wakes for a beacon";
  rig->settle(400000);
  ASSERT_EQ(indicated(0x0806, 7, 2), 1u);
  const sim::MacAddress responder = {0x02, 0x48, 0x41, 0x52, 0x42, 0xFE};
  for (std::uint16_t s = 0; s < 3; ++s) rig->send(echoRequest(responder, me, {192, 168, 77, 2}, {192, 168, 77, 1}, s));
  rig->settle(400000);
  EXPECT_EQ(indicated(0x0800, 20, 0), 3u) << "the replies Harbor held came through the polls";
  std::size_t polls = 0, fromCard = 0;
  for (std::size_t i = 0; i < onAir.size(); ++i) {
    const auto &f = onAir[i];
    if ((frameControl(f.bytes) & 0x00FC) == 0x00A4 && macAt(f.bytes, 10) == me) {
      ++polls;
      EXPECT_EQ(frameControl(f.bytes) & 0x1000, 0x1000) << "Power Management bit";
      // Harbor answers SIFS after the poll with a frame it held.
      ASSERT_LT(i + 1, onAir.size());
      EXPECT_EQ(onAir[i + 1].start, f.start + f.airtime + 10);
      EXPECT_EQ(macAt(onAir[i + 1].bytes, 4), me);
    }
    if ((frameControl(f.bytes) & 0x000C) == 0x0008 && macAt(f.bytes, 10) == me) {
      ++fromCard;
      EXPECT_EQ(frameControl(f.bytes) & 0x1000, 0x1000) << "every frame says the card sleeps";
    }
  }
  EXPECT_GE(polls, 2u);
  EXPECT_GE(fromCard, 4u);
}

}  // namespace
}  // namespace teskel::test
