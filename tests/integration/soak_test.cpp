// Soak on a lossy air: ten simulated minutes (scaled) of sends, echoed receptions, information
// requests, status ticks and resets through the linked driver. Every packet comes back exactly
// once, and the published "bytein" and "byteout" agree with the octets the air carried to and
// from the card, up to what the controller's 16-bit counters lose per report.
#include <gtest/gtest.h>

#include <random>

#include "linked_driver.h"
#include "teskel/test_env.h"
#include "traffic_harness.h"

namespace teskel::test {
namespace {

namespace air = sim::air;

constexpr std::size_t kSimulatedSeconds = 600;
constexpr std::uint32_t kSeed = 0x50A4;
const std::array<std::uint8_t, 4> kSelf = {192, 168, 77, 2}, kResponder = {192, 168, 77, 1};

std::uint16_t ipChecksum(const Bytes &b, std::size_t from, std::size_t n) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < n; i += 2) sum += static_cast<std::uint32_t>((b[from + i] << 8) | b[from + i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

// A UDP datagram to `port` of the responder with `size` bytes of payload.
Bytes udpFrame(const sim::MacAddress &to, const sim::MacAddress &self, std::uint16_t port, std::size_t size,
               std::uint8_t seed) {
  Bytes ip(28 + size, 0);
  ip[0] = 0x45;
  ip[2] = static_cast<std::uint8_t>(ip.size() >> 8);
  ip[3] = static_cast<std::uint8_t>(ip.size());
  ip[8] = 64;
  ip[9] = 17;
  std::copy(kSelf.begin(), kSelf.end(), ip.begin() + 12);
  std::copy(kResponder.begin(), kResponder.end(), ip.begin() + 16);
  const std::uint16_t h = ipChecksum(ip, 0, 20);
  ip[10] = static_cast<std::uint8_t>(h >> 8);
  ip[11] = static_cast<std::uint8_t>(h);
  ip[20] = 0x30;  // source port 0x3039
  ip[21] = 0x39;
  ip[23] = static_cast<std::uint8_t>(port);
  ip[24] = static_cast<std::uint8_t>((8 + size) >> 8);
  ip[25] = static_cast<std::uint8_t>(8 + size);
  Bytes payload = pattern(size, seed);
  std::copy(payload.begin(), payload.end(), ip.begin() + 28);
  return ethernetFrame(to, self, 0x0800, ip);
}

std::uint32_t published(DriverRig &rig, const char *name) {
  auto v = rig.registry.store().getValue(DriverRig::kParms, name);
  if (!v || v->data.size() != 4) return 0xFFFFFFFF;
  return static_cast<std::uint32_t>(v->data[0] | v->data[1] << 8 | v->data[2] << 16 | v->data[3] << 24);
}

class Soak : public ::testing::Test {
 protected:
  static air::WorldConfig lossyWorld() {
    air::WorldConfig world = air::WorldConfig::defaults();
    world.lossPercent = 10;
    world.seed = kSeed;
    return world;
  }

  void SetUp() override {
    rig.world->medium().addObserver([this](const air::AirFrame &f) { onAir(f); });
    rig.install();
    ASSERT_EQ(rig.load().entryStatus(), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(rig.initialize().status, NDIS_STATUS_SUCCESS);
    watchdog.watch(rig.adapter);
    traffic.bind();
    traffic.watch = [this](const ndis::ReceiveIndication &i) { onIndication(i); };
    run(1500000);
    ASSERT_TRUE(rig.portConnected());
  }

  void run(Micros duration) {
    if (!runBounded(rig.loop, duration, 200000 * (duration / kSecond + 1))) hung = true;
  }

  // The card's data frames as the air carries them, each once however many attempts it took:
  // counted when an acknowledgement to the card follows its last attempt (after an earlier one
  // the card did not hear it), unless it first went out before the controller was last
  // initialised (its buffer is gone then). The controller counts the 802.3 body (SNAP header
  // included), which is the 802.11 body without what WEP adds.
  void onAir(const air::AirFrame &f) {
    const Bytes &b = f.bytes;
    if (b.size() == 10 && b[0] == 0xD4 && std::equal(me.begin(), me.end(), b.begin() + 4)) {
      if (f.start == sending.end + 10) sending.acknowledged = true;
      return;
    }
    if (b.size() < 24 || (b[0] & 0x0C) != 0x08 || !std::equal(me.begin(), me.end(), b.begin() + 10)) return;
    const auto sequence = static_cast<std::uint16_t>(b[22] | b[23] << 8);
    if (sequence != sending.sequence || !(b[1] & 0x08)) {
      settle();
      sending.first = f.start;
    }
    sending.acknowledged = false;
    sending.end = f.start + f.airtime;
    sending.sequence = sequence;
    sending.octets = b.size() - 24 - ((b[1] & 0x40) ? 8 : 0);
  }
  // The frame last sent has had its last attempt.
  void settle() {
    if (sending.acknowledged && sending.first >= countFrom) airOut += sending.octets;
    sending.acknowledged = false;
  }
  struct {
    Micros first = 0, end = 0;  // of its first attempt, of the last
    std::uint16_t sequence = 0xFFFF;
    std::size_t octets = 0;
    bool acknowledged = false;
  } sending;
  Micros countFrom = 0;

  void onIndication(const ndis::ReceiveIndication &i) {
    // The body the controller took in: the indicated packet, with the SNAP header it stripped.
    const std::uint16_t type = static_cast<std::uint16_t>(i.header[12] << 8 | i.header[13]);
    carriedIn += i.packetSize + (type > 1500 ? 8 : 0);
    if (type == 0x0806 && i.lookahead.size() >= 14 && i.lookahead[7] == 2)
      std::copy(i.lookahead.begin() + 8, i.lookahead.begin() + 14, responder.begin());
  }

  // No traffic until two ticks have passed: the second publishes the report the first asked for.
  void expectCountersMatchTheAir(const std::string &when) {
    run(2500000);
    settle();
    const std::uint32_t out = published(rig, "byteout"), in = published(rig, "bytein");
    // Each report carries 16-bit counters: a busy second loses whole multiples of 65536.
    EXPECT_LE(out, airOut) << when;
    EXPECT_EQ((airOut - out) % 65536, 0u) << when << ": byteout " << out << ", the air carried " << airOut;
    EXPECT_LE(in, carriedIn) << when;
    EXPECT_EQ((carriedIn - in) % 65536, 0u) << when << ": bytein " << in << ", the card took in " << carriedIn;
    checks += 1;
    wrapped += (airOut - out) / 65536 + (carriedIn - in) / 65536;
  }

  std::uint32_t uniform(std::uint32_t low, std::uint32_t high) {
    return std::uniform_int_distribution<std::uint32_t>(low, high)(random);
  }

  DriverRig rig{linkedDriver(), sim::ControllerOptions{}, lossyWorld()};
  Traffic traffic{rig};
  Watchdog watchdog{rig.loop};
  sim::MacAddress me = rig.stationAddress();
  sim::MacAddress responder{};
  std::mt19937 random{kSeed};
  bool hung = false;
  std::uint64_t airOut = 0, carriedIn = 0;  // since the controller's last initialisation
  std::size_t checks = 0, wrapped = 0;
};

TEST_F(Soak, TenMinutesOfLossyTrafficEveryPacketOnceCountersAsTheAirCarried) {
  ASSERT_FALSE(HasFatalFailure());
  static const NDIS_OID kQueries[] = {OID_GEN_XMIT_OK,          OID_GEN_RCV_OK,       OID_GEN_MEDIA_CONNECT_STATUS,
                                      OID_802_3_CURRENT_ADDRESS, OID_PRIV_LINK_STATUS, OID_PRIV_TALLIES,
                                      OID_PRIV_CURRENT_BSSID,    OID_PRIV_LINK_QUALITY};
  const Micros end = rig.loop.now() + teskel::test::scaled(kSimulatedSeconds) * kSecond;
  Micros nextReset = rig.loop.now() + uniform(20, 60) * kSecond;
  std::size_t resets = 0, step = 0;
  while (rig.loop.now() < end && !hung) {
    if (responder == sim::MacAddress{} || step % 50 == 0) traffic.send(arpRequest(me, kSelf, kResponder));
    if (responder != sim::MacAddress{}) {
      // Echoed datagrams of any size, and now and then a burst to the discard port that fills
      // more than a 16-bit counter in one report.
      traffic.send(udpFrame(responder, me, 7, uniform(1, 1472), static_cast<std::uint8_t>(step)), {uniform(0, 40)});
      if (uniform(0, 199) == 0)
        for (int i = 0; i < 60; ++i) traffic.send(udpFrame(responder, me, 9, 1472, static_cast<std::uint8_t>(i)));
    }
    Bytes buffer(256, 0);
    auto q = rig.adapter->queryInformation(kQueries[step % std::size(kQueries)], buffer);
    EXPECT_EQ(q.status, NDIS_STATUS_SUCCESS) << "query " << std::hex << kQueries[step % std::size(kQueries)];
    run(uniform(1000, 60000));
    ++step;

    if (rig.loop.now() >= nextReset) {
      expectCountersMatchTheAir("before reset " + std::to_string(resets + 1));
      // A reset with sends queued: they fail, once.
      for (int i = 0; i < 10; ++i) traffic.send(udpFrame(responder, me, 9, 1000, 0));
      run(1000);
      countFrom = rig.loop.now();
      EXPECT_EQ(rig.adapter->reset().status, NDIS_STATUS_SUCCESS);
      ++resets;
      airOut = carriedIn = 0;
      run(1500000);
      nextReset = rig.loop.now() + uniform(20, 60) * kSecond;
    }
    ASSERT_EQ(traffic.doubles, 0u);
    ASSERT_EQ(traffic.strangers, 0u);
  }
  expectCountersMatchTheAir("at the end");
  EXPECT_FALSE(hung);
  EXPECT_EQ(traffic.uncompleted(), 0u) << "of " << traffic.sent.size();
  EXPECT_TRUE(rig.host->errorLog().empty());
  EXPECT_TRUE(rig.host->findings().empty()) << rig.host->findings().front();
  EXPECT_TRUE(rig.controller->violations().empty()) << rig.controller->violations().front();
  // The run did what it claims.
  EXPECT_GT(traffic.byStatus[NDIS_STATUS_SUCCESS], 5 * teskel::test::scaled(kSimulatedSeconds));
  EXPECT_GT(traffic.transfers, 2 * teskel::test::scaled(kSimulatedSeconds));
  EXPECT_GT(rig.world->counters().lost, 0u);
  std::printf("%zu sends (%zu failed in resets), %zu received, %zu resets, %zu counter checks, %zu counter wraps, "
              "%llu frames lost on the air\n",
              traffic.sent.size(), traffic.byStatus[NDIS_STATUS_FAILURE], traffic.transfers, resets, checks, wrapped,
              static_cast<unsigned long long>(rig.world->counters().lost));

  rig.adapter->halt();
  EXPECT_EQ(traffic.uncompleted(), 0u);
  EXPECT_EQ(rig.host->memoryHeld(), 0u);
}

}  // namespace
}  // namespace teskel::test
