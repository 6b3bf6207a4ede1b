// Controller model: WEP on the air — the primitives against published vectors, and frames
// passed between two controllers with matching and differing keys.
#include "controller_impl.h"
#include "rig.h"

#include <memory>

using namespace rig;

TEST(ControllerWep, PrimitivesMatchPublishedVectors) {
  const std::string digits = "123456789";
  EXPECT_EQ(teskel::sim::air::crc32(std::span(reinterpret_cast<const std::uint8_t *>(digits.data()), digits.size())), 0xCBF43926u);
  const std::uint8_t key[] = {'K', 'e', 'y'};
  std::vector<std::uint8_t> text = {'P', 'l', 'a', 'i', 'n', 't', 'e', 'x', 't'};
  teskel::sim::air::rc4(key, text);
  EXPECT_EQ(text, (std::vector<std::uint8_t>{0xBB, 0xF3, 0x16, 0xE8, 0xD9, 0x40, 0xAF, 0x0A, 0xD3}));
}

namespace {

// A station with no association on channel 3, WEP key 1 and the given flags.
void station(Rig &r, const std::vector<std::uint16_t> &key, std::uint16_t flags) {
  r.start();
  ASSERT_EQ(r.setRecord(kRidPortType, {3}), 0);
  ASSERT_EQ(r.setRecord(0xFC24, key), 0);
  ASSERT_EQ(r.setRecord(kRidWepFlags, {flags}), 0);
  ASSERT_EQ(r.result(kCmdDisable), 0);
  ASSERT_EQ(r.result(kCmdEnable), 0);
}

// Every attempt of one frame as it went on the air (nobody on that air acknowledges it).
std::vector<std::vector<std::uint8_t>> sendAttempts(Rig &from, const MacAddress &to,
                                                    const std::vector<std::uint8_t> &body) {
  auto attempts = std::make_shared<std::vector<std::vector<std::uint8_t>>>();
  const auto self = from.ctl->stationAddress();
  from.world->medium().addObserver([attempts, self](const air::AirFrame &f) {
    if (f.bytes.size() > 24 && (f.bytes[0] & 0x0C) == 0x08 && std::equal(self.begin(), self.end(), f.bytes.begin() + 10))
      attempts->push_back(f.bytes);
  });
  auto fid = from.allocate();
  EXPECT_TRUE(fid);
  std::vector<std::uint8_t> image(46, 0);
  image.insert(image.end(), to.begin(), to.end());
  image.insert(image.end(), self.begin(), self.end());
  image.push_back(static_cast<std::uint8_t>(body.size() >> 8));
  image.push_back(static_cast<std::uint8_t>(body.size()));
  image.insert(image.end(), body.begin(), body.end());
  from.writeBytes(*fid, 0, image);
  EXPECT_EQ(from.result(kCmdTransmit, *fid), 0);
  EXPECT_TRUE(from.waitEvent(kEvAlloc, 200000)) << "the buffer comes back after the last retry";
  from.wr(kRegEventAck, kEvAlloc);
  const auto seen = *attempts;
  attempts->clear();  // the observer stays with the world: later frames are another call's
  return seen;
}

std::vector<std::uint8_t> sendOne(Rig &from, const MacAddress &to, const std::vector<std::uint8_t> &body) {
  auto attempts = sendAttempts(from, to, body);
  return attempts.empty() ? std::vector<std::uint8_t>{} : attempts.front();
}

int iv(const std::vector<std::uint8_t> &f) { return f[24] << 16 | f[25] << 8 | f[26]; }

}  // namespace

TEST(ControllerWep, EncryptedFramesPassBetweenStationsWithTheSameKey) {
  ControllerOptions oa, ob;
  oa.serial = 1;
  ob.serial = 2;
  Rig a(oa), b(ob);
  const std::vector<std::uint16_t> key = {0x2B1A, 0x4D3C, 0x005E};  // 1A 2B 3C 4D 5E
  station(a, key, 1);
  station(b, key, 3);
  const auto body = snapBody(0, 0x0800, 40);
  auto frame = sendOne(a, b.ctl->stationAddress(), body);
  ASSERT_EQ(frame.size(), 24 + 4 + body.size() + 4) << "IV and key id, body, ICV";
  EXPECT_EQ(frame[1] & 0x40, 0x40) << "protected";
  EXPECT_EQ(frame[27], 0x00) << "key id 0";
  EXPECT_NE(std::vector<std::uint8_t>(frame.begin() + 28, frame.begin() + 28 + 8),
            std::vector<std::uint8_t>(body.begin(), body.begin() + 8))
      << "the body is not sent in the clear";
  ASSERT_EQ(b.ctl->receiveFrame(frame), ReceiveResult::Delivered);
  auto d = b.readBytes(b.rd(kRegRxFid), 0, 60 + body.size());
  EXPECT_EQ(d[44] | d[45] << 8, body.size()) << "the body length is the decrypted one";
  EXPECT_EQ(d[0] | d[1] << 8, 0x2000);
  EXPECT_EQ(std::vector<std::uint8_t>(d.begin() + 60, d.end()), body);

  auto second = sendOne(a, b.ctl->stationAddress(), body);
  EXPECT_EQ(iv(second), (iv(frame) + 7) & 0xFFFFFF) << "the IV counts up by one an attempt: the first frame took 7";
  EXPECT_NE(iv(sendOne(b, a.ctl->stationAddress(), body)), iv(frame))
      << "each card's counter starts somewhere of its own";
}

TEST(ControllerWep, WrongKeysAndExcludedClearFramesAreDropped) {
  ControllerOptions oa, ob;
  oa.serial = 1;
  ob.serial = 2;
  Rig a(oa), b(ob);
  station(a, {0x2B1A, 0x4D3C, 0x005E}, 1);
  station(b, {0x2B1A, 0x4D3C, 0x005F}, 3);
  const auto body = snapBody(0, 0x0800, 40);
  auto frame = sendOne(a, b.ctl->stationAddress(), body);
  EXPECT_EQ(b.ctl->receiveFrame(frame), ReceiveResult::Undecryptable);
  EXPECT_EQ(b.ctl->tallies()[kTallyRxWepUndecryptable], 1);
  EXPECT_EQ(b.rd(kRegEventStatus) & kEvRx, 0);

  ASSERT_EQ(a.setRecord(kRidWepFlags, {0}), 0);
  auto clear = sendOne(a, b.ctl->stationAddress(), body);
  EXPECT_EQ(clear[1] & 0x40, 0) << "WEP off sends in the clear";
  EXPECT_EQ(b.ctl->receiveFrame(clear), ReceiveResult::Excluded);
  ASSERT_EQ(b.setRecord(kRidWepFlags, {1}), 0);
  EXPECT_EQ(b.ctl->receiveFrame(clear), ReceiveResult::Delivered);
}

TEST(ControllerWep, EachRetryTakesTheNextIvAndDecryptsToTheSameBody) {
  ControllerOptions oa, ob;
  oa.serial = 1;
  ob.serial = 2;
  Rig a(oa), b(ob);
  const std::vector<std::uint16_t> key = {0x2B1A, 0x4D3C, 0x005E};
  station(a, key, 1);
  station(b, key, 3);
  const auto body = snapBody(0, 0x0800, 40);
  const auto attempts = sendAttempts(a, b.ctl->stationAddress(), body);
  ASSERT_EQ(attempts.size(), 7u) << "unacknowledged, the frame goes to the retry limit";
  for (std::size_t n = 0; n < attempts.size(); ++n) {
    const auto &f = attempts[n];
    SCOPED_TRACE("attempt " + std::to_string(n + 1));
    ASSERT_EQ(f.size(), attempts.front().size());
    EXPECT_EQ(f[1] & 0x08, n ? 0x08 : 0) << "the Retry bit on every attempt after the first";
    EXPECT_EQ(std::vector<std::uint8_t>(f.begin() + 22, f.begin() + 24),
              std::vector<std::uint8_t>(attempts.front().begin() + 22, attempts.front().begin() + 24))
        << "a retry keeps its sequence number";
    EXPECT_EQ(iv(f), (iv(attempts.front()) + static_cast<int>(n)) & 0xFFFFFF);
    if (n) {
      EXPECT_NE(std::vector<std::uint8_t>(f.begin() + 28, f.end()),
                std::vector<std::uint8_t>(attempts[n - 1].begin() + 28, attempts[n - 1].end()))
          << "the new IV gives a new ciphertext";
    }
    auto clear = f;
    clear[1] &= static_cast<std::uint8_t>(~0x08);  // the receiver would drop a retry as a duplicate of the one before
    ASSERT_EQ(b.ctl->receiveFrame(clear), ReceiveResult::Delivered);
    auto d = b.readBytes(b.rd(kRegRxFid), 0, 60 + body.size());
    EXPECT_EQ(std::vector<std::uint8_t>(d.begin() + 60, d.end()), body);
    b.wr(kRegEventAck, kEvRx);
  }
}
