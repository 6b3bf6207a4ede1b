// Controller model: transmit (buffer -> 802.11 frame -> buffer back), receive (frame -> receive
// buffer and descriptor), information frames and tallies.
#include <set>

#include "rig.h"

using namespace rig;

namespace {

// A transmit buffer as a driver fills it: zeroed descriptor, 802.3 header at 46, body at 60.
std::vector<std::uint8_t> txImage(const MacAddress &da, const MacAddress &sa, const std::vector<std::uint8_t> &body,
                                  std::optional<std::uint16_t> lengthField = std::nullopt) {
  std::vector<std::uint8_t> b(46, 0);
  b.insert(b.end(), da.begin(), da.end());
  b.insert(b.end(), sa.begin(), sa.end());
  std::uint16_t len = lengthField.value_or(static_cast<std::uint16_t>(body.size()));
  b.push_back(static_cast<std::uint8_t>(len >> 8));
  b.push_back(static_cast<std::uint8_t>(len));
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

struct Sent {
  std::vector<TransmittedFrame> frames;
};

std::uint16_t le(const std::vector<std::uint8_t> &b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

MacAddress macAt(const std::vector<std::uint8_t> &b, std::size_t at) {
  MacAddress m{};
  std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(at), 6, m.begin());
  return m;
}

}  // namespace

TEST(ControllerTransmit, BuildsAnInfrastructureDataFrameAndReturnsTheBufferWhenItIsAcknowledged) {
  Rig r;
  Sent sent;
  r.ctl->onTransmit([&](const TransmittedFrame &f) { sent.frames.push_back(f); });
  std::vector<air::AirFrame> onAir;  // channel 6's frames to and from the card
  const auto self = r.ctl->stationAddress();
  r.world->medium().addObserver([&](const air::AirFrame &f) {
    if (f.channel == 6 && (macAt(f.bytes, 4) == self || (f.bytes.size() >= 16 && macAt(f.bytes, 10) == self)))
      onAir.push_back(f);
  });
  r.start();
  auto fid = r.allocate();
  ASSERT_TRUE(fid);
  const auto body = snapBody(0x00, 0x0800, 46);  // 54 bytes
  const auto image = txImage(kPeer, self, body);
  r.writeBytes(*fid, 0, image);
  r.writeBytes(*fid, static_cast<std::uint16_t>(image.size()), {0x05, 0x00, 0, 0, 0, 0, 0, 0});  // a tag trailer

  r.wr(kRegParam0, *fid);
  r.wr(kRegCommand, kCmdTransmit);
  const Micros t0 = r.loop.now();
  ASSERT_TRUE(r.waitEvent(kEvCmd));
  EXPECT_EQ(r.rd(kRegStatus), 0x000B);
  r.wr(kRegEventAck, kEvCmd);

  const Micros air = 192 + (24 + body.size() + 4) * 4;  // preamble; header, body, FCS at 2 Mbit/s
  onAir.clear();
  while (onAir.empty() && r.loop.runOne()) {
  }
  ASSERT_EQ(onAir.size(), 1u);
  const Micros end = onAir[0].start + onAir[0].airtime;
  EXPECT_GE(onAir[0].start, t0 + 20 + 50) << "after DIFS at least";
  const Micros acknowledged = end + 10 + 248;  // SIFS, then 14 bytes at 2 Mbit/s
  r.loop.runUntil(acknowledged - 1);
  EXPECT_EQ(r.rd(kRegEventStatus) & kEvAlloc, 0) << "not before the acknowledgement has come";
  EXPECT_TRUE(sent.frames.empty());
  r.loop.runUntil(acknowledged);
  ASSERT_EQ(r.rd(kRegEventStatus) & kEvAlloc, kEvAlloc);
  ASSERT_EQ(onAir.size(), 2u);
  EXPECT_EQ(le(onAir[1].bytes, 0), 0x00D4) << "Harbor's acknowledgement";
  EXPECT_EQ(onAir[1].start, end + 10);
  EXPECT_EQ(r.rd(kRegAllocFid), *fid) << "the same buffer comes back";
  r.wr(kRegEventAck, kEvAlloc);

  ASSERT_EQ(sent.frames.size(), 1u);
  const TransmittedFrame &f = sent.frames[0];
  EXPECT_EQ(f.fid, *fid);
  EXPECT_EQ(f.buffer, image) << "descriptor and 802.3 frame, without the trailer";
  ASSERT_EQ(f.frame.size(), 24 + body.size());
  EXPECT_EQ(f.frame, onAir[0].bytes);
  EXPECT_EQ(le(f.frame, 0), 0x0108) << "data frame to the distribution system";
  EXPECT_EQ(le(f.frame, 2), 258) << "the duration of SIFS and the acknowledgement";
  EXPECT_EQ(std::vector<std::uint8_t>(f.frame.begin() + 4, f.frame.begin() + 10),
            std::vector<std::uint8_t>(kHarbor.begin(), kHarbor.end()));
  EXPECT_EQ(std::vector<std::uint8_t>(f.frame.begin() + 10, f.frame.begin() + 16),
            std::vector<std::uint8_t>(self.begin(), self.end()));
  EXPECT_EQ(std::vector<std::uint8_t>(f.frame.begin() + 16, f.frame.begin() + 22),
            std::vector<std::uint8_t>(kPeer.begin(), kPeer.end()));
  EXPECT_EQ(std::vector<std::uint8_t>(f.frame.begin() + 24, f.frame.end()), body);
  EXPECT_EQ(f.channel, 6);
  EXPECT_EQ(f.end - f.start, air);

  const auto t = r.ctl->tallies();
  EXPECT_EQ(t[kTallyTxUnicastFrames], 1);
  EXPECT_EQ(t[kTallyTxUnicastOctets], body.size());
  EXPECT_EQ(t[kTallyTxErrors], 0);
  EXPECT_TRUE(r.ctl->violations().empty()) << r.violationText();
}

TEST(ControllerTransmit, FramesShareTheAirOneExchangeAfterAnother) {
  Rig r;
  std::vector<TransmittedFrame> sent;
  r.ctl->onTransmit([&](const TransmittedFrame &f) { sent.push_back(f); });
  r.start();
  auto a = r.allocate(), b = r.allocate();
  ASSERT_TRUE(a && b);
  r.writeBytes(*a, 0, txImage(kBroadcast, r.ctl->stationAddress(), snapBody(0, 0x0806, 28)));
  r.writeBytes(*b, 0, txImage(kPeer, r.ctl->stationAddress(), snapBody(0, 0x0800, 100)));
  ASSERT_EQ(r.result(kCmdTransmit, *a), 0);
  ASSERT_EQ(r.result(kCmdTransmit, *b), 0);
  r.stall(5000);
  ASSERT_EQ(sent.size(), 2u);
  // The second waits for the first one's acknowledgement, DIFS and a backoff of its own.
  EXPECT_GE(sent[1].start, sent[0].end + 10 + 248 + 50);
  EXPECT_LE(sent[1].start, sent[0].end + 10 + 248 + 50 + 31 * 20);
  EXPECT_EQ(le(sent[0].frame, 2), 258) << "to the access point even when broadcast: acknowledged";
  EXPECT_EQ(le(sent[0].frame, 22) + 0x10, le(sent[1].frame, 22)) << "sequence numbers advance";
  const auto t = r.ctl->tallies();
  EXPECT_EQ(t[kTallyTxMulticastFrames], 1);
  EXPECT_EQ(t[kTallyTxMulticastOctets], 36);
  EXPECT_EQ(t[kTallyTxUnicastFrames], 1);
  EXPECT_EQ(t[kTallyTxUnicastOctets], 108);
}

TEST(ControllerTransmit, AdHocFramesCarryNoDistributionBits) {
  Rig r;
  std::vector<air::AirFrame> onAir;  // the card's
  const auto self = r.ctl->stationAddress();
  r.world->medium().addObserver([&](const air::AirFrame &f) {
    if (f.bytes.size() >= 16 && macAt(f.bytes, 10) == self) onAir.push_back(f);
  });
  r.start();
  onAir.clear();
  ASSERT_EQ(r.setRecord(kRidPortType, {3}), 0);  // takes effect at the next enable
  ASSERT_EQ(r.result(kCmdDisable), 0);
  ASSERT_EQ(r.result(kCmdEnable), 0);
  EXPECT_EQ(r.ctl->portStatus(), 3);
  for (const MacAddress &to : {kPeer, kBroadcast}) {
    auto fid = r.allocate();
    r.writeBytes(*fid, 0, txImage(to, r.ctl->stationAddress(), snapBody(0, 0x0800, 10)));
    ASSERT_EQ(r.result(kCmdTransmit, *fid), 0);
  }
  r.stall(100000);
  // Leaving Harbor, the card said so first, on Harbor's channel.
  ASSERT_FALSE(onAir.empty());
  EXPECT_EQ(le(onAir[0].bytes, 0), 0x00A0) << "a disassociation";
  EXPECT_EQ(macAt(onAir[0].bytes, 4), kHarbor);
  EXPECT_EQ(onAir[0].channel, 6);
  onAir.erase(onAir.begin());
  ASSERT_EQ(onAir.size(), 8u) << "the peer is not there: seven attempts, then the group frame once";
  EXPECT_EQ(le(onAir[0].bytes, 0), 0x0008);
  EXPECT_EQ(std::vector<std::uint8_t>(onAir[0].bytes.begin() + 4, onAir[0].bytes.begin() + 10),
            std::vector<std::uint8_t>(kPeer.begin(), kPeer.end()))
      << "addressed straight to the peer";
  EXPECT_EQ(onAir[0].channel, 3) << "on its own channel";
  EXPECT_EQ(le(onAir[7].bytes, 2), 0) << "a group frame waits for no acknowledgement";
}

TEST(ControllerTransmit, ErrorsDropTheFrameButReturnTheBuffer) {
  struct Case {
    const char *what;
    bool enable;
    std::uint16_t size;
    std::size_t body;
    std::optional<std::uint16_t> lengthField;
  };
  const Case cases[] = {
      {"port not connected", false, 1585, 40, std::nullopt},
      {"length past the buffer", true, 200, 40, 141},
      {"length over 2304", true, 2372, 40, 2305},
  };
  for (auto &c : cases) {
    Rig r;
    int sent = 0;
    r.ctl->onTransmit([&](const TransmittedFrame &) { ++sent; });
    if (c.enable) r.start();
    auto fid = r.allocate(c.size);
    ASSERT_TRUE(fid) << c.what;
    r.writeBytes(*fid, 0, txImage(kPeer, r.ctl->stationAddress(), snapBody(0, 0x0800, c.body - 8), c.lengthField));
    ASSERT_EQ(r.result(kCmdTransmit, *fid), 0) << c.what;
    ASSERT_TRUE(r.waitEvent(kEvAlloc, 1000)) << c.what;
    EXPECT_EQ(r.rd(kRegAllocFid), *fid) << c.what;
    EXPECT_EQ(r.rd(kRegEventStatus) & kEvTxError, kEvTxError) << c.what;
    EXPECT_EQ(sent, 0) << c.what;
    EXPECT_EQ(r.ctl->tallies()[kTallyTxErrors], 1) << c.what;
  }
}

TEST(ControllerTransmit, MisusedBuffersAreRecorded) {
  Rig r;
  r.start();
  auto fid = r.allocate();
  r.writeBytes(*fid, 0, txImage(kPeer, r.ctl->stationAddress(), snapBody(0, 0x0800, 400)));
  ASSERT_EQ(r.result(kCmdTransmit, *fid), 0);
  EXPECT_EQ(r.ctl->transmitBuffersInFlight(), 1u);
  r.writeBytes(*fid, 60, {1, 2});
  EXPECT_TRUE(r.hasViolation("buffer-in-flight")) << r.violationText();
  EXPECT_EQ(r.result(kCmdTransmit, *fid), 4) << "a buffer already in flight";
  EXPECT_EQ(r.result(kCmdTransmit, kRidPortType), 4) << "a record is no buffer";
  EXPECT_TRUE(r.hasViolation("transmit-bad-buffer"));
}

TEST(ControllerTransmit, FrameOnTheAirWhenThePortStopsIsATransmitError) {
  Rig r;
  int sent = 0;
  r.ctl->onTransmit([&](const TransmittedFrame &) { ++sent; });
  r.start();
  auto fid = r.allocate();
  r.writeBytes(*fid, 0, txImage(kPeer, r.ctl->stationAddress(), snapBody(0, 0x0800, 1400)));
  ASSERT_EQ(r.result(kCmdTransmit, *fid), 0);
  ASSERT_EQ(r.result(kCmdDisable), 0);
  ASSERT_TRUE(r.waitEvent(kEvAlloc, 10000));
  EXPECT_EQ(sent, 0);
  EXPECT_EQ(r.ctl->tallies()[kTallyTxErrors], 1);
}

// A radio of the test's own on Harbor's channel, in Harbor's name once Harbor is off: it
// acknowledges the card's data frames at one attempt only, and sends what a test gives it.
struct StandIn : air::Radio {
  StandIn(Rig &r, unsigned ackAttempt) : r(r), ackAttempt(ackAttempt) { r.world->medium().tune(*this, 6); }
  ~StandIn() override { r.world->medium().detach(*this); }
  void hear(const air::AirFrame &f, bool intact) override {
    if (!intact || f.bytes.size() < 24 || (f.bytes[0] & 0x0C) != 0x08 || macAt(f.bytes, 4) != kHarbor) return;
    if (++attempts != ackAttempt) return;
    std::vector<std::uint8_t> ack = {0xD4, 0, 0, 0};
    ack.insert(ack.end(), f.bytes.begin() + 10, f.bytes.begin() + 16);
    const Micros due = f.start + f.airtime + 10;
    r.loop.at(due, [this, ack, due] { r.world->medium().sendAt(*this, air::AirFrame{ack, 6}, due); },
              EventLoop::Lane::Device);
  }
  Rig &r;
  unsigned ackAttempt;
  unsigned attempts = 0;
};

TEST(ControllerTransmit, TalliesFollowTheAttemptsAFrameTook) {
  struct Case {
    const char *what;
    unsigned ackAttempt;  // 0: never
    bool busy;            // the medium is busy when the frame comes
    std::array<unsigned, 6> tallies;  // deferred, unicast sent, one retry, more retries, limit, errors
    bool delivered;
  };
  const Case cases[] = {
      {"first attempt", 1, false, {0, 1, 0, 0, 0, 0}, true},
      {"one retry", 2, false, {0, 1, 1, 0, 0, 0}, true},
      {"two retries", 3, false, {0, 1, 0, 1, 0, 0}, true},
      {"never acknowledged", 0, false, {0, 0, 0, 0, 1, 1}, false},
      {"medium busy", 1, true, {1, 1, 0, 0, 0, 0}, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    air::WorldConfig world = air::WorldConfig::defaults();
    world.events = {{400000, "Harbor", false}};
    Rig r({}, world);
    r.start();
    ASSERT_EQ(r.ctl->portStatus(), kPortAssociated);
    r.loop.runUntil(500000);  // Harbor is off; the card has not noticed yet
    StandIn harbor(r, c.ackAttempt);
    auto fid = r.allocate();
    ASSERT_TRUE(fid);
    r.writeBytes(*fid, 0, txImage(kPeer, r.ctl->stationAddress(), snapBody(0, 0x0800, 100)));
    r.ctl->tallies();
    ASSERT_EQ(r.result(kCmdInquire, 0xF100), 0);  // clears the counters the join made
    r.stall(2000);
    while (r.rd(kRegEventStatus) & kEvInfo) r.wr(kRegEventAck, kEvInfo);
    if (c.busy) r.world->medium().send(harbor, air::AirFrame{std::vector<std::uint8_t>(1000, 0x80), 6});
    ASSERT_EQ(r.result(kCmdTransmit, *fid), 0);
    ASSERT_TRUE(r.waitEvent(kEvAlloc, 200000));
    EXPECT_EQ(r.rd(kRegAllocFid), *fid) << "the buffer comes back either way";
    EXPECT_EQ((r.rd(kRegEventStatus) & kEvTxError) != 0, !c.delivered);
    EXPECT_EQ(harbor.attempts, c.ackAttempt ? c.ackAttempt : 7u);
    const auto t = r.ctl->tallies();
    EXPECT_EQ((std::array<unsigned, 6>{t[kTallyTxDeferred], t[kTallyTxUnicastFrames], t[kTallyTxOneRetry],
                                       t[kTallyTxMultipleRetries], t[kTallyTxRetryLimit], t[kTallyTxErrors]}),
              c.tallies);
  }
}

TEST(ControllerReceive, DamagedFramesAndDuplicatesAreCounted) {
  Rig r;
  r.start();
  const auto self = r.ctl->stationAddress();
  r.stall(20000);  // the join's last exchange is over
  StandIn one(r, 0), two(r, 0);
  // Two frames at once: both damaged for every receiver.
  const auto frame = fromAp(self, kHarbor, kPeer, snapBody(0, 0x0800, 20));
  r.world->medium().send(one, air::AirFrame{frame, 6});
  r.world->medium().send(two, air::AirFrame{frame, 6});
  r.stall(2000);
  EXPECT_EQ(r.ctl->tallies()[kTallyRxErrors], 2);
  EXPECT_EQ(r.rd(kRegEventStatus) & kEvRx, 0);
  // The same frame twice, the second time with the Retry bit: taken once, counted once.
  auto retry = frame;
  retry[1] |= 0x08;
  r.world->medium().send(one, air::AirFrame{frame, 6});
  r.stall(2000);
  r.world->medium().send(one, air::AirFrame{retry, 6});
  r.stall(2000);
  EXPECT_EQ(r.ctl->tallies()[kTallyRxDuplicates], 1);
  ASSERT_EQ(r.rd(kRegEventStatus) & kEvRx, kEvRx);
  r.wr(kRegEventAck, kEvRx);
  EXPECT_EQ(r.rd(kRegEventStatus) & kEvRx, 0) << "one frame to the host";
}

// ---------------------------------------------------------------------------------------------

TEST(ControllerReceive, FillsTheDescriptorAndRaisesTheEvent) {
  struct Case {
    const char *what;
    std::vector<std::uint8_t> body;
    std::uint16_t status;
  };
  const Case cases[] = {
      {"RFC 1042", snapBody(0x00, 0x0800, 30), 0x2000},
      {"RFC 1042 with IPX type", snapBody(0x00, 0x8137, 30), 0x2000},
      {"bridge tunnel", snapBody(0xF8, 0x8137, 30), 0x4000},
      {"raw LLC", {0xE0, 0xE0, 0x03, 1, 2, 3, 4, 5, 6, 7}, 0x0000},
      {"SNAP header alone", {0xAA, 0xAA, 0x03, 0, 0, 0}, 0x0000},
  };
  for (auto &c : cases) {
    Rig r;
    r.start();
    r.wr(kRegIntEnable, kEvRx);
    const auto self = r.ctl->stationAddress();
    ASSERT_EQ(r.ctl->receiveFrame(fromAp(self, kHarbor, kPeer, c.body)), ReceiveResult::Delivered) << c.what;
    EXPECT_TRUE(r.bus.irq(kLine)) << c.what;
    const std::uint16_t fid = r.rd(kRegRxFid);
    auto d = r.readBytes(fid, 0, 60 + c.body.size());
    EXPECT_EQ(le(d, 0), c.status) << c.what;
    EXPECT_EQ(le(d, 14), 0x0208) << c.what;
    EXPECT_EQ(le(d, 44), c.body.size()) << c.what;
    EXPECT_EQ(std::vector<std::uint8_t>(d.begin() + 46, d.begin() + 52), std::vector<std::uint8_t>(self.begin(), self.end()));
    EXPECT_EQ(std::vector<std::uint8_t>(d.begin() + 52, d.begin() + 58), std::vector<std::uint8_t>(kPeer.begin(), kPeer.end()))
        << "the source is the third address of a frame from the access point";
    EXPECT_EQ(d[58], c.body.size() >> 8);
    EXPECT_EQ(d[59], c.body.size() & 0xFF) << "802.3 length, big-endian";
    EXPECT_EQ(std::vector<std::uint8_t>(d.begin() + 60, d.end()), c.body) << c.what;
    EXPECT_TRUE(r.ctl->violations().empty()) << r.violationText();
  }
}

TEST(ControllerReceive, OnlyFramesForThisStationInItsNetworkWhileConnected) {
  Rig r;
  const auto self = r.ctl->stationAddress();
  const auto body = snapBody(0, 0x0800, 20);
  EXPECT_EQ(r.ctl->receiveFrame(fromAp(self, kHarbor, kPeer, body)), ReceiveResult::NotConnected);
  r.start();
  struct Case {
    const char *what;
    std::vector<std::uint8_t> frame;
    ReceiveResult expected;
  };
  const MacAddress other = {0x02, 0x00, 0x00, 0x00, 0x00, 0x42};
  const MacAddress multicast = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
  const Case cases[] = {
      {"to this station", fromAp(self, kHarbor, kPeer, body), ReceiveResult::Delivered},
      {"broadcast", fromAp(kBroadcast, kHarbor, kPeer, body), ReceiveResult::Delivered},
      {"multicast", fromAp(multicast, kHarbor, kPeer, body), ReceiveResult::Delivered},
      {"to another station", fromAp(other, kHarbor, kPeer, body), ReceiveResult::NotForUs},
      {"from another network", fromAp(self, other, kPeer, body), ReceiveResult::NotForUs},
      {"to the distribution system", fromAp(self, kHarbor, kPeer, body, 0x0108), ReceiveResult::NotForUs},
      {"management frame", fromAp(self, kHarbor, kPeer, body, 0x0280), ReceiveResult::NotData},
      {"null data", fromAp(self, kHarbor, kPeer, {}, 0x0248), ReceiveResult::NotData},
      {"too short", std::vector<std::uint8_t>(10, 0x08), ReceiveResult::Malformed},
  };
  for (auto &c : cases) {
    EXPECT_EQ(r.ctl->receiveFrame(c.frame), c.expected) << c.what;
    while (r.rd(kRegEventStatus) & kEvRx) r.wr(kRegEventAck, kEvRx);
  }
  const auto t = r.ctl->tallies();
  EXPECT_EQ(t[kTallyRxUnicastFrames], 1);
  EXPECT_EQ(t[kTallyRxMulticastFrames], 2);
  EXPECT_EQ(t[kTallyRxUnicastOctets], body.size());
  EXPECT_EQ(t[kTallyRxMulticastOctets], 2 * body.size());
  EXPECT_EQ(t[kTallyRxErrors], 1);
  // Promiscuous mode takes another station's frame too.
  ASSERT_EQ(r.setRecord(kRidPromiscuous, {1}), 0);
  EXPECT_EQ(r.ctl->receiveFrame(fromAp(other, kHarbor, kPeer, body)), ReceiveResult::Delivered);
}

TEST(ControllerReceive, PresentedBufferStaysReadableUntilTheNextIsPresented) {
  Rig r;
  r.start();
  const auto self = r.ctl->stationAddress();
  ASSERT_EQ(r.ctl->receiveFrame(fromAp(self, kHarbor, kPeer, snapBody(0, 0x0800, 10))), ReceiveResult::Delivered);
  const std::uint16_t first = r.rd(kRegRxFid);
  r.wr(kRegEventAck, kEvRx);
  EXPECT_EQ(r.rd(kRegEventStatus) & kEvRx, 0);
  EXPECT_EQ(r.readBytes(first, 60, 8), snapBody(0, 0x0800, 0)) << "readable after the acknowledgement";
  EXPECT_TRUE(r.ctl->violations().empty()) << r.violationText();

  r.seek(1, first, 60);  // a transfer that started before the next frame came in
  ASSERT_EQ(r.ctl->receiveFrame(fromAp(self, kHarbor, kPeer, snapBody(0, 0x0806, 10))), ReceiveResult::Delivered);
  const std::uint16_t second = r.rd(kRegRxFid);
  EXPECT_NE(second, first);
  r.rd(kRegData1);
  EXPECT_TRUE(r.hasViolation("freed-buffer")) << "presenting the next frame freed the first";
  r.readBytes(first, 60, 8);
  EXPECT_TRUE(r.hasViolation("unknown-id")) << "its id names nothing now";
}

TEST(ControllerReceive, FourBuffersThenDropsAreCounted) {
  Rig r;
  r.start();
  const auto self = r.ctl->stationAddress();
  for (int i = 0; i < 6; ++i) {
    auto body = snapBody(0, 0x0800, 10);
    body.back() = static_cast<std::uint8_t>(i);
    auto got = r.ctl->receiveFrame(fromAp(self, kHarbor, kPeer, body));
    EXPECT_EQ(got, i < 4 ? ReceiveResult::Delivered : ReceiveResult::NoBuffer) << "frame " << i;
  }
  EXPECT_EQ(r.ctl->tallies()[kTallyRxNoBuffer], 2);
  // The host takes them in order, each acknowledgement presenting the next.
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(r.rd(kRegEventStatus) & kEvRx, kEvRx) << "frame " << i;
    auto d = r.readBytes(r.rd(kRegRxFid), 60 + 16, 2);
    EXPECT_EQ(d[1], i);
    r.wr(kRegEventAck, kEvRx);
  }
  EXPECT_EQ(r.rd(kRegEventStatus) & kEvRx, 0);
  EXPECT_EQ(r.ctl->receiveBuffersHeld(), 1u) << "only the last presented buffer is kept";
  EXPECT_EQ(r.ctl->receiveFrame(fromAp(self, kHarbor, kPeer, snapBody(0, 0x0800, 10))), ReceiveResult::Delivered);
}

// ---------------------------------------------------------------------------------------------

TEST(ControllerInfo, TallyReportArrivesAfterAboutAMillisecondAndClearsTheCounters) {
  Rig r;
  r.start();
  // Take the link-status report the enable produced.
  ASSERT_EQ(r.rd(kRegEventStatus) & kEvInfo, kEvInfo);
  auto link = r.readBytes(r.rd(kRegInfoFid), 0, 6);
  EXPECT_EQ(link, (std::vector<std::uint8_t>{2, 0, 0x00, 0xF2, 1, 0})) << "connected";
  r.wr(kRegEventAck, kEvInfo);

  for (int i = 0; i < 3; ++i) r.ctl->receiveFrame(fromAp(kBroadcast, kHarbor, kPeer, snapBody(0, 0x0800, 12)));
  r.wr(kRegParam0, 0xF100);
  r.wr(kRegCommand, kCmdInquire);
  const Micros t0 = r.loop.now();
  ASSERT_TRUE(r.waitEvent(kEvCmd));
  r.wr(kRegEventAck, kEvCmd);
  r.loop.runUntil(t0 + 20 + 999);
  EXPECT_EQ(r.rd(kRegEventStatus) & kEvInfo, 0);
  r.loop.runUntil(t0 + 20 + 1000);
  ASSERT_EQ(r.rd(kRegEventStatus) & kEvInfo, kEvInfo);
  const std::uint16_t fid = r.rd(kRegInfoFid);
  auto frame = r.readBytes(fid, 0, 504);
  EXPECT_EQ(le(frame, 0), 33);
  EXPECT_EQ(le(frame, 2), 0xF100);
  EXPECT_EQ(le(frame, 4 + 2 * kTallyRxMulticastFrames), 3);
  EXPECT_EQ(le(frame, 4 + 2 * kTallyRxMulticastOctets), 60);
  EXPECT_EQ(r.ctl->tallies()[kTallyRxMulticastFrames], 0) << "reporting cleared the counters";
  r.wr(kRegEventAck, kEvInfo);
  EXPECT_EQ(r.ctl->infoBuffersHeld(), 0u);
  r.readBytes(fid, 0, 2);
  EXPECT_TRUE(r.hasViolation("unknown-id")) << "acknowledging freed the information buffer";
}

TEST(ControllerInfo, CountersWrapAtSixteenBits) {
  Rig r;
  r.start();
  const auto body = snapBody(0, 0x0800, 2296);  // 2304 octets a frame
  for (int i = 0; i < 30; ++i) {
    ASSERT_EQ(r.ctl->receiveFrame(fromAp(kBroadcast, kHarbor, kPeer, body)), ReceiveResult::Delivered);
    r.wr(kRegEventAck, kEvRx);
  }
  EXPECT_EQ(r.ctl->tallies()[kTallyRxMulticastOctets], (30 * 2304) % 65536);
}

TEST(ControllerInfo, LinkStatusFrameOnEveryChange) {
  air::WorldConfig world = air::WorldConfig::defaults();
  world.accessPoints.resize(1);  // Harbor, away for a while
  world.events = {{1000000, "Harbor", false}, {3000000, "Harbor", true}};
  Rig r({}, world);
  r.start();
  auto nextLink = [&]() -> int {
    if (!(r.rd(kRegEventStatus) & kEvInfo)) return -1;
    auto f = r.readBytes(r.rd(kRegInfoFid), 0, 6);
    r.wr(kRegEventAck, kEvInfo);
    EXPECT_EQ(le(f, 2), 0xF200);
    return le(f, 4);
  };
  EXPECT_EQ(nextLink(), 1);
  r.loop.runUntil(2500000);
  EXPECT_EQ(r.ctl->portStatus(), kPortOutOfRange);
  EXPECT_EQ(nextLink(), 4) << "out of range";
  r.loop.runUntil(3200000);
  EXPECT_EQ(r.ctl->portStatus(), kPortAssociated);
  EXPECT_EQ(nextLink(), 5) << "back in range";
  r.loop.runFor(1000000);
  EXPECT_EQ(nextLink(), -1) << "no change, no frame";
  ASSERT_EQ(r.result(kCmdDisable), 0);
  EXPECT_EQ(nextLink(), 2) << "disconnected";
  r.ctl->reportLinkStatus(6);
  EXPECT_EQ(nextLink(), -1) << "nothing while disabled";
  ASSERT_EQ(r.result(kCmdEnable), 0);
  EXPECT_EQ(nextLink(), -1) << "searching first";
  ASSERT_TRUE(r.waitConnected());
  EXPECT_EQ(nextLink(), 1);
  r.ctl->reportLinkStatus(6);
  EXPECT_EQ(nextLink(), 6);
}

TEST(ControllerInfo, QueuedEventsRaiseAgainUntilTheQueueIsEmpty) {
  Rig r;
  r.start();
  r.wr(kRegEventAck, kEvInfo);  // the enable's link frame
  ASSERT_EQ(r.result(kCmdInquire, 0xF100), 0);
  ASSERT_EQ(r.result(kCmdInquire, 0xF100), 0);
  r.stall(1100);
  std::set<std::uint16_t> fids;
  int events = 0;
  while (r.rd(kRegEventStatus) & kEvInfo) {
    fids.insert(r.rd(kRegInfoFid));
    r.wr(kRegEventAck, kEvInfo);
    ++events;
  }
  EXPECT_EQ(events, 2);
  EXPECT_EQ(fids.size(), 2u);
}
