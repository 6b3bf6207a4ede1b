// The air without a card: frames by channel after their air time, the seeded loss rate, beacons
// every 100 TU, world events, and the deauthentication of a station an access point does not know.
#include <gtest/gtest.h>

#include "teskel/air.h"

namespace teskel::sim::air {
namespace {

struct Listener : Radio {
  explicit Listener(int ch) : ch(ch) {}
  void hear(const AirFrame &f, bool intact) override {
    if (intact) heard.push_back(f);
    else ++damaged;
  }
  int ch;
  std::vector<AirFrame> heard;
  std::size_t damaged = 0;
  std::size_t count(std::uint16_t kind) const {
    std::size_t n = 0;
    for (auto &f : heard) n += (f.bytes[0] & 0xFC) == kind;
    return n;
  }
};

TEST(Air, AirTimeIsHeaderBodyAndFcsAtTwoMegabitsPlusPreamble) {
  EXPECT_EQ(airtimeOf(1532), 6544u) << "a 1514-byte Ethernet frame";
  EXPECT_EQ(airtimeOf(0), 416u);
}

TEST(Air, FramesReachTheirChannelAfterTheirAirTimeAndTheLossRateIsSeeded) {
  auto run = [](double loss, std::uint64_t seed) {
    EventLoop loop(EventLoop::Mode::Virtual);
    WorldConfig config;
    config.lossPercent = loss;
    config.seed = seed;
    auto world = makeWorld(loop, config);
    Listener from(3), same(3), other(4);
    for (Listener *r : {&from, &same, &other}) world->medium().tune(*r, r->ch);
    for (int i = 0; i < 1000; ++i) {
      AirFrame f;
      f.bytes.assign(100, 0);
      f.bytes[0] = static_cast<std::uint8_t>(i);
      f.bytes[1] = static_cast<std::uint8_t>(i >> 8);
      f.channel = 3;
      world->medium().send(from, f);
      if (i == 0) {
        loop.runFor(airtimeOf(100) - 1);
        EXPECT_TRUE(same.heard.empty()) << "still on the air";
      }
      loop.runFor(1000);
    }
    EXPECT_TRUE(other.heard.empty()) << "another channel hears nothing";
    EXPECT_TRUE(from.heard.empty()) << "nor the sender";
    EXPECT_EQ(world->counters().frames, 1000u);
    std::vector<int> ids;
    for (auto &f : same.heard) ids.push_back(f.bytes[0] | (f.bytes[1] << 8));
    return ids;
  };
  EXPECT_EQ(run(0, 1).size(), 1000u);
  const auto kept = run(20, 7);
  EXPECT_NEAR(static_cast<double>(kept.size()), 800.0, 50.0);
  EXPECT_EQ(run(20, 7), kept) << "the same seed loses the same frames";
  EXPECT_NE(run(20, 8), kept);
}

TEST(Air, AccessPointsBeaconEveryHundredTimeUnitsUntilSwitchedOff) {
  EventLoop loop(EventLoop::Mode::Virtual);
  WorldConfig config = WorldConfig::defaults();
  config.events = {{1000000, "Harbor", false}, {2000000, "Harbor", true}};
  auto world = makeWorld(loop, config);
  Listener six(6), eleven(11);
  world->medium().tune(six, 6);
  world->medium().tune(eleven, 11);
  loop.runUntil(1000000);
  EXPECT_EQ(six.count(0x80), 10u) << "102.4 ms apart";
  EXPECT_EQ(eleven.count(0x80), 10u) << "Vault on its own channel";
  loop.runUntil(2000000);
  EXPECT_EQ(six.count(0x80), 10u) << "nothing while off";
  loop.runUntil(3000000);
  EXPECT_GE(six.count(0x80), 19u);

  // Data from a station Harbor never associated: a deauthentication back.
  const Mac stranger = {0x02, 0, 0, 0, 0, 0x42};
  std::vector<std::uint8_t> f = {0x08, 0x01, 0, 0, 0x02, 0x48, 0x41, 0x52, 0x42, 0x01};
  f.insert(f.end(), stranger.begin(), stranger.end());
  f.insert(f.end(), 6, 0xFF);
  f.insert(f.end(), {0, 0, 0xAA, 0xAA, 3, 0, 0, 0, 0x08, 0x06});
  Listener station(6);
  world->medium().tune(station, 6);
  world->medium().send(station, AirFrame{f, 6});
  loop.runFor(5000);
  ASSERT_EQ(station.count(0xC0), 1u);
  for (auto &h : station.heard) {
    if ((h.bytes[0] & 0xFC) != 0xC0) continue;
    EXPECT_EQ(std::vector<std::uint8_t>(h.bytes.begin() + 4, h.bytes.begin() + 10),
              std::vector<std::uint8_t>(stranger.begin(), stranger.end()));
  }
}

}  // namespace
}  // namespace teskel::sim::air
