// The air without a card: frames by channel after their air time, the seeded loss rate, beacons
// at each access point's own target beacon times, world events, the distributed coordination
// function's rules (acknowledgement, retries, collisions, duplicates, deferring to the medium and
// the NAV) and the share of the air saturated stations get.
#include <gtest/gtest.h>

#include <cmath>

#include "teskel/air.h"
#include "teskel/dcf.h"

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

// A station of the test's own: what its coordination function heard and how its frames fared.
struct Node : Dcf::Owner {
  Node(EventLoop &loop, Medium &medium, const Mac &mac, std::uint64_t seed, int channel)
      : mac(mac), dcf(loop, medium, *this, mac, seed) {
    dcf.tune(channel);
  }
  void received(const AirFrame &f) override { got.push_back(f); }
  void heardDamaged() override { ++damaged; }
  void duplicate(const AirFrame &) override { ++duplicates; }
  void finished(const TxReport &r) override { reports.push_back(r); }
  Mac mac;
  std::vector<AirFrame> got;
  std::vector<TxReport> reports;
  int damaged = 0, duplicates = 0;
  Dcf dcf;
};

// A data frame from `from` to `to` (no DS bits) with `body` bytes.
std::vector<std::uint8_t> dataFrame(const Mac &to, const Mac &from, std::size_t body, std::uint16_t duration = 0) {
  std::vector<std::uint8_t> f = {0x08, 0x00, static_cast<std::uint8_t>(duration), static_cast<std::uint8_t>(duration >> 8)};
  f.insert(f.end(), to.begin(), to.end());
  f.insert(f.end(), from.begin(), from.end());
  f.insert(f.end(), from.begin(), from.end());
  f.insert(f.end(), {0x30, 0x01});
  f.insert(f.end(), body, 0x5A);
  return f;
}

std::uint16_t le16(const std::vector<std::uint8_t> &b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

const Mac kA = {0x02, 0, 0, 0, 0, 0x0A}, kB = {0x02, 0, 0, 0, 0, 0x0B}, kC = {0x02, 0, 0, 0, 0, 0x0C};

TEST(Air, AirTimeIsPreambleThenHeaderBodyAndFcsAtTheRate) {
  EXPECT_EQ(airtimeOf(1532), 6336u) << "a 1514-byte Ethernet frame, with SNAP";
  EXPECT_EQ(airtimeOf(phy::kAckBytes), 248u) << "an acknowledgement at 2 Mbit/s";
  EXPECT_EQ(airtimeOf(phy::kAckBytes, phy::kRate1M), 304u) << "and at 1 Mbit/s";
  EXPECT_EQ(phy::kEifs, 364u);
  EXPECT_EQ(ackDuration(), 258u);
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

TEST(Air, AccessPointsBeaconAtTheirOwnTargetBeaconTimesUntilSwitchedOff) {
  EventLoop loop(EventLoop::Mode::Virtual);
  WorldConfig config = WorldConfig::defaults();
  config.events = {{1000000, "Harbor", false}, {2000000, "Harbor", true}};
  auto world = makeWorld(loop, config);
  Listener six(6), eleven(11);
  world->medium().tune(six, 6);
  world->medium().tune(eleven, 11);
  loop.runUntil(1000000);
  auto timestamps = [](const Listener &l) {
    std::vector<std::uint64_t> t;
    for (auto &f : l.heard) {
      if ((f.bytes[0] & 0xFC) != 0x80) continue;
      std::uint64_t v = 0;
      for (int i = 7; i >= 0; --i) v = (v << 8) | f.bytes[24 + static_cast<std::size_t>(i)];
      t.push_back(v);
    }
    return t;
  };
  for (const Listener *l : {&six, &eleven}) {
    const auto t = timestamps(*l);
    ASSERT_GE(t.size(), 9u);
    ASSERT_LE(t.size(), 10u);
    for (std::size_t i = 0; i < t.size(); ++i) {
      // Each leaves after its target beacon time, with what the medium (and a backoff) kept it.
      EXPECT_LT(t[i] % 102400, 192u + 96 + 50 + 31 * 20 + 1) << i;
      if (i) {
        EXPECT_NEAR(static_cast<double>(t[i] - t[i - 1]), 102400.0, 1000.0) << i;
      }
    }
  }
  EXPECT_GT(std::llabs(static_cast<long long>(timestamps(six)[0] - timestamps(eleven)[0])), 1000000)
      << "every access point keeps a TSF of its own";
  const std::size_t before = six.count(0x80);
  loop.runUntil(2000000);
  EXPECT_EQ(six.count(0x80), before) << "nothing while off";
  loop.runUntil(3000000);
  EXPECT_GE(six.count(0x80), before + 9);
}

// Harbor deauthenticates a station it never associated; the station's radio acknowledges nothing.
TEST(Dcf, AnUnacknowledgedFrameIsRetriedWithItsNumberAndTheRetryBitUpToTheLimit) {
  EventLoop loop(EventLoop::Mode::Virtual);
  WorldConfig config = WorldConfig::defaults();
  config.accessPoints.resize(1);
  auto world = makeWorld(loop, config);
  loop.runUntil(200000);
  const Mac stranger = {0x02, 0, 0, 0, 0, 0x42};
  std::vector<std::uint8_t> f = {0x08, 0x01, 0, 0, 0x02, 0x48, 0x41, 0x52, 0x42, 0x01};
  f.insert(f.end(), stranger.begin(), stranger.end());
  f.insert(f.end(), 6, 0xFF);
  f.insert(f.end(), {0, 0, 0xAA, 0xAA, 3, 0, 0, 0, 0x08, 0x06});
  Listener station(6);
  world->medium().tune(station, 6);
  world->medium().send(station, AirFrame{f, 6});
  loop.runFor(300000);
  std::vector<AirFrame> deauth;
  for (auto &h : station.heard)
    if ((h.bytes[0] & 0xFC) == 0xC0) deauth.push_back(h);
  ASSERT_EQ(deauth.size(), 7u) << "seven attempts in all";
  unsigned cw = 31;
  for (std::size_t i = 0; i < deauth.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(std::vector<std::uint8_t>(deauth[i].bytes.begin() + 4, deauth[i].bytes.begin() + 10),
              std::vector<std::uint8_t>(stranger.begin(), stranger.end()));
    EXPECT_EQ((deauth[i].bytes[1] & 0x08) != 0, i > 0) << "the Retry bit on every retry";
    EXPECT_EQ(le16(deauth[i].bytes, 22), le16(deauth[0].bytes, 22)) << "the same sequence number";
    EXPECT_EQ(deauth[i].bytes.size(), deauth[0].bytes.size());
    if (i) {
      // After the acknowledgement's wait, DIFS and a backoff from the doubled window (beacons
      // may come between).
      const Micros gap = deauth[i].start - (deauth[i - 1].start + deauth[i - 1].airtime);
      EXPECT_GE(gap, 10u + 248 + 20) << "not before the acknowledgement's time is up";
      cw = std::min(2 * cw + 1, 1023u);
      EXPECT_LE(gap, 10u + 248 + 20 + 50 + cw * 20 + 1000);
    }
  }
}

TEST(Dcf, AFrameIsAcknowledgedAfterSifsAndARetryOfItIsAcknowledgedButNotTakenTwice) {
  EventLoop loop(EventLoop::Mode::Virtual);
  auto world = makeWorld(loop, WorldConfig{});
  std::vector<AirFrame> onAir;
  world->medium().addObserver([&](const AirFrame &f) { onAir.push_back(f); });
  Node a(loop, world->medium(), kA, 1, 3), b(loop, world->medium(), kB, 2, 3);
  a.dcf.send(dataFrame(kB, kA, 100), 77);
  loop.runFor(20000);
  ASSERT_EQ(onAir.size(), 2u);
  EXPECT_EQ(le16(onAir[0].bytes, 2), 258) << "Duration: SIFS and the acknowledgement";
  EXPECT_EQ(le16(onAir[1].bytes, 0), 0x00D4);
  EXPECT_EQ(onAir[1].start, onAir[0].start + onAir[0].airtime + 10);
  EXPECT_EQ(le16(onAir[1].bytes, 2), 0) << "an acknowledgement carries no duration";
  ASSERT_EQ(a.reports.size(), 1u);
  EXPECT_EQ(a.reports[0].token, 77u);
  EXPECT_EQ(a.reports[0].outcome, TxOutcome::Acknowledged);
  EXPECT_EQ(a.reports[0].attempts, 1u);
  ASSERT_EQ(b.got.size(), 1u);

  // The same frame again with the Retry bit, as if the acknowledgement had been lost.
  Listener raw(3);
  world->medium().tune(raw, 3);
  AirFrame again = onAir[0];
  again.bytes[1] |= 0x08;
  world->medium().send(raw, again);
  loop.runFor(2000);
  EXPECT_EQ(b.got.size(), 1u) << "a duplicate is not passed on";
  EXPECT_EQ(b.duplicates, 1);
  ASSERT_EQ(onAir.size(), 4u);
  EXPECT_EQ(le16(onAir[3].bytes, 0), 0x00D4) << "but acknowledged all the same";
}

TEST(Dcf, StationsWhoseBackoffsEndInTheSameSlotCollide) {
  // Stations with the same seed draw the same backoffs: every attempt collides.
  for (bool sameSeed : {true, false}) {
    SCOPED_TRACE(sameSeed ? "same seed" : "different seeds");
    EventLoop loop(EventLoop::Mode::Virtual);
    auto world = makeWorld(loop, WorldConfig{});
    std::vector<AirFrame> onAir;
    world->medium().addObserver([&](const AirFrame &f) { onAir.push_back(f); });
    Node a(loop, world->medium(), kA, 5, 3), b(loop, world->medium(), kB, sameSeed ? 5 : 6, 3),
        c(loop, world->medium(), kC, 7, 3);
    a.dcf.send(dataFrame(kC, kA, 500), 1);
    b.dcf.send(dataFrame(kC, kB, 500), 2);
    loop.runFor(500000);
    ASSERT_EQ(a.reports.size(), 1u);
    ASSERT_EQ(b.reports.size(), 1u);
    if (sameSeed) {
      EXPECT_EQ(a.reports[0].outcome, TxOutcome::Dropped);
      EXPECT_EQ(b.reports[0].outcome, TxOutcome::Dropped);
      ASSERT_EQ(onAir.size(), 14u) << "seven attempts each, no acknowledgement";
      for (std::size_t i = 0; i < onAir.size(); i += 2) {
        EXPECT_EQ(onAir[i].start, onAir[i + 1].start) << i;
        EXPECT_TRUE(onAir[i].damaged && onAir[i + 1].damaged) << i;
      }
      EXPECT_TRUE(c.got.empty());
      EXPECT_EQ(c.damaged, 14) << "heard, but damaged";
      EXPECT_EQ(world->counters().damaged, 14u);
    } else {
      EXPECT_EQ(a.reports[0].outcome, TxOutcome::Acknowledged);
      EXPECT_EQ(b.reports[0].outcome, TxOutcome::Acknowledged);
      EXPECT_EQ(c.got.size(), 2u);
    }
  }
}

TEST(Dcf, AStationDefersToTheMediumToTheNavAndAfterADamagedFrameToEifs) {
  struct Case {
    const char *what;
    std::uint16_t duration;  // of the frame on the air when the station gets its own
    bool collide;            // a second frame overlaps it
    Micros quiet;            // after its end, before the station may count down
    bool asleep = false;     // it took nothing from the air and gets its frame only after that one ended
  };
  const Case cases[] = {
      {"busy medium", 0, false, 50},
      {"NAV of a frame to another", 5000, false, 5000 + 50},
      {"damaged frame", 0, true, 364},
      {"NAV of a frame to another, missed", 5000, false, 5000 + 50, true},
      {"damaged frame, missed", 0, true, 364, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    EventLoop loop(EventLoop::Mode::Virtual);
    auto world = makeWorld(loop, WorldConfig{});
    Node a(loop, world->medium(), kA, 9, 3);
    Listener raw(3), rawToo(3);
    world->medium().tune(raw, 3);
    world->medium().tune(rawToo, 3);
    if (c.asleep) {
      Interest nothing;
      nothing.everything = false;
      a.dcf.takes(nothing);
    }
    loop.runFor(1000);
    world->medium().send(raw, AirFrame{dataFrame(kC, kB, 1000, c.duration), 3});
    loop.runFor(100);
    if (c.collide) world->medium().send(rawToo, AirFrame{dataFrame(kC, kB, 10), 3});
    const Micros end = 1000 + airtimeOf(1000 + 24);
    if (c.asleep) loop.runFor(end + 100 - loop.now());
    a.dcf.send(dataFrame({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, kA, 10), 1);
    loop.runFor(20000);
    ASSERT_FALSE(a.reports.empty());
    EXPECT_EQ(a.reports[0].deferred, !c.asleep || c.duration > 0) << "the medium or its NAV was busy when the frame came";
    if (c.asleep) {
      EXPECT_EQ(a.damaged, 0) << "what it missed it reads from the medium, not from frames it hears";
    }
    std::vector<AirFrame> mine;
    for (auto &f : raw.heard)
      if (std::equal(kA.begin(), kA.end(), f.bytes.begin() + 10)) mine.push_back(f);
    ASSERT_FALSE(mine.empty());
    EXPECT_GE(mine[0].start, end + c.quiet);
    EXPECT_LE(mine[0].start, end + c.quiet + 31 * 20);
  }
}

// Bianchi's analysis of the DCF in saturation with this air's timings: the throughput n stations
// that always have a 1472-byte datagram to send get in all.
double saturationThroughput(int n) {
  const double w = 32, m = 5;
  auto tauOf = [&](double p) { return 2 * (1 - 2 * p) / ((1 - 2 * p) * (w + 1) + p * w * (1 - std::pow(2 * p, m))); };
  double lo = 0, hi = 0.4999;
  for (int i = 0; i < 100 && n > 1; ++i) {
    const double p = (lo + hi) / 2;
    (p - (1 - std::pow(1 - tauOf(p), n - 1)) > 0 ? hi : lo) = p;
  }
  const double p = n > 1 ? (lo + hi) / 2 : 0, tau = tauOf(p);
  const double tr = 1 - std::pow(1 - tau, n), success = n * tau * std::pow(1 - tau, n - 1) / tr;
  const double data = 192 + 1536 * 4, ts = data + 10 + 248 + 50, tc = data + 50;
  return success * tr * 1472 * 8 / ((1 - tr) * 20 + tr * success * ts + tr * (1 - success) * tc);
}

TEST(Air, SaturatedStationsShareTheAirAsTheDcfAnalysisSays) {
  EXPECT_NEAR(saturationThroughput(1), 1.693, 0.001);
  EXPECT_NEAR(saturationThroughput(5), 1.59, 0.005);
  EXPECT_NEAR(saturationThroughput(10), 1.48, 0.005);
  for (unsigned n : {1u, 5u, 10u}) {
    SCOPED_TRACE(n);
    EventLoop loop(EventLoop::Mode::Virtual);
    WorldConfig config = WorldConfig::defaults();
    config.contenders = n;
    auto world = makeWorld(loop, config);
    loop.runUntil(2000000);  // all of them associated
    const auto before = world->counters().bridgedUdpBytes;
    loop.runUntil(12000000);
    const double goodput = static_cast<double>(world->counters().bridgedUdpBytes - before) * 8 / 10e6;
    EXPECT_NEAR(goodput, saturationThroughput(static_cast<int>(n)), 0.05 * saturationThroughput(static_cast<int>(n)));
  }
}

}  // namespace
}  // namespace teskel::sim::air
