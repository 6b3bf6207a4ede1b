// Controller model: a string access reaches it as one call, and must not be told apart from the
// same words accessed one at a time: words, misuse records, faults, the end of a buffer, and the
// bus's counts and trace. Each case runs twice, once with the bus forcing single accesses.
#include <functional>

#include "rig.h"

using namespace rig;

namespace {

using Words = std::vector<std::uint16_t>;
using StringAccess = ceddk::PortBus::StringAccess;

Words readString(Rig &r, int path, std::size_t n) {
  Words w(n);
  r.bus.readString16(r.dataPort(path), w.data(), n);
  return w;
}
void writeString(Rig &r, int path, const Words &w) { r.bus.writeString16(r.dataPort(path), w.data(), w.size()); }
Words ramp(std::size_t n, std::uint16_t from = 0x0101) {
  Words w(n);
  for (std::size_t i = 0; i < n; ++i) w[i] = static_cast<std::uint16_t>(from + 0x0203 * i);
  return w;
}
void append(Words &to, const Words &more) { to.insert(to.end(), more.begin(), more.end()); }

// A transmit buffer as a driver fills it: descriptor with the 802.3 length at 58, then the body.
std::vector<std::uint8_t> txImage(const MacAddress &self, std::uint16_t bodyLength) {
  std::vector<std::uint8_t> b(46, 0);
  b.insert(b.end(), kPeer.begin(), kPeer.end());
  b.insert(b.end(), self.begin(), self.end());
  b.push_back(static_cast<std::uint8_t>(bodyLength >> 8));
  b.push_back(static_cast<std::uint8_t>(bodyLength));
  for (std::uint16_t i = 0; i < bodyLength; ++i) b.push_back(static_cast<std::uint8_t>(i * 5 + 3));
  return b;
}

struct Case {
  const char *name;
  std::vector<const char *> faults;
  // Makes the accesses; what it reads goes into `seen`.
  std::function<void(Rig &, Words &seen)> run;
  // What the case is about must have happened (so that the comparison compares something).
  std::function<void(const Rig &, const Words &seen)> check;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

struct Outcome {
  Words seen;
  std::vector<std::string> violations;
  std::vector<std::string> trace;
  std::uint64_t reads = 0, writes = 0;
  std::vector<std::uint16_t> transmitBuffers;
};

Outcome play(const Case &c, StringAccess mode) {
  ControllerOptions o;
  for (const char *f : c.faults) o.faults.push_back(parseFault(f));
  Rig r(o);
  r.bus.setStringAccess(mode);
  r.bus.setTracing(true);
  Outcome out;
  c.run(r, out.seen);
  if (mode == StringAccess::Whole && c.check) c.check(r, out.seen);
  out.violations = r.ctl->violations();
  for (const auto &a : r.bus.trace()) out.trace.push_back(a.describe());
  out.reads = r.bus.totals().reads;
  out.writes = r.bus.totals().writes;
  out.transmitBuffers = r.ctl->transmitBuffers();
  return out;
}

std::size_t count(const Rig &r, const std::string &kind) {
  std::size_t n = 0;
  for (const auto &v : r.ctl->violations()) n += v.rfind(kind + ":", 0) == 0;
  return n;
}

const Case kCases[] = {
    {"AWholeFrameInAndOut", {},
     [](Rig &r, Words &seen) {
       r.start();
       auto fid = r.allocate(600);
       ASSERT_TRUE(fid);
       r.seek(1, *fid, 0);
       writeString(r, 1, ramp(300));
       r.seek(0, *fid, 2);
       append(seen, readString(r, 0, 299));
     },
     [](const Rig &r, const Words &seen) {
       const Words written = ramp(300);
       EXPECT_EQ(seen, Words(written.begin() + 1, written.end()));
       EXPECT_TRUE(r.ctl->violations().empty()) << r.violationText();
     }},
    {"PastTheEndOfABuffer", {},
     [](Rig &r, Words &seen) {
       r.start();
       auto fid = r.allocate(100);
       ASSERT_TRUE(fid);
       r.seek(0, *fid, 90);
       writeString(r, 0, ramp(8));  // five fit, three do not
       r.seek(0, *fid, 88);
       append(seen, readString(r, 0, 9));
       r.bus.write8(r.dataPort(0), 0x77);  // the cursor is past the end too
     },
     [](const Rig &r, const Words &seen) {
       EXPECT_EQ(count(r, "past-end"), 3u + 3u + 1u);
       EXPECT_EQ(seen[1], 0x0101);
       EXPECT_EQ(seen[5], ramp(5)[4]);
       EXPECT_EQ(seen[6], 0) << "reads past the end read 0";
     }},
    {"TrailerReadBacksThatAFaultCorrupts", {"tag-mismatch=3"},
     [](Rig &r, Words &seen) {
       r.start();
       auto fid = r.allocate(200);
       ASSERT_TRUE(fid);
       auto image = txImage(r.ctl->stationAddress(), 54);  // the frame ends at 114
       r.writeBytes(*fid, 0, image);
       r.writeBytes(*fid, 114, {0x07, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
       for (int i = 0; i < 2; ++i) {
         r.seek(0, *fid, 100);
         append(seen, readString(r, 0, 11));  // seven frame words, then the trailer's four
       }
     },
     [](const Rig &, const Words &seen) {
       ASSERT_EQ(seen.size(), 22u);
       EXPECT_EQ(seen[7], static_cast<std::uint16_t>(~0x0007u)) << "the first trailer word is corrupted";
       EXPECT_EQ(seen[8], static_cast<std::uint16_t>(~0x2211u));
       EXPECT_EQ(seen[9], static_cast<std::uint16_t>(~0x4433u));
       EXPECT_EQ(seen[10], 0x6655) << "three uses, then the fault is spent";
       EXPECT_EQ(seen[18], 0x0007);
     }},
    {"WritesIntoABufferOnTheAir", {},
     [](Rig &r, Words &seen) {
       r.start();
       auto fid = r.allocate(200);
       ASSERT_TRUE(fid);
       r.writeBytes(*fid, 0, txImage(r.ctl->stationAddress(), 80));
       ASSERT_EQ(r.result(kCmdTransmit, *fid), 0);
       r.seek(0, *fid, 60);
       writeString(r, 0, ramp(12));
       r.seek(1, *fid, 60);
       append(seen, readString(r, 1, 12));
     },
     [](const Rig &r, const Words &) { EXPECT_EQ(count(r, "buffer-in-flight"), 12u); }},
    {"ASeekThatNeverEnds", {"seek-busy=0"},
     [](Rig &r, Words &seen) {
       r.start();
       auto fid = r.allocate(100);
       ASSERT_TRUE(fid);
       r.seek(0, *fid, 0);
       append(seen, readString(r, 0, 5));
       writeString(r, 0, ramp(4));
       r.seek(1, *fid, 0);  // the other path is free
       append(seen, readString(r, 1, 5));
     },
     [](const Rig &r, const Words &seen) {
       EXPECT_EQ(count(r, "data-while-seeking"), 9u);
       EXPECT_EQ(seen, Words(10, 0));
     }},
    {"DataBeforeTheSeekEnds", {},
     [](Rig &r, Words &seen) {
       r.start();
       auto fid = r.allocate(100);
       ASSERT_TRUE(fid);
       r.wr(kRegSelect0, *fid);
       r.wr(kRegOffset0, 0);
       append(seen, readString(r, 0, 3));
       r.stall(1);
       writeString(r, 0, ramp(2));
       r.stall(10);
       append(seen, readString(r, 0, 3));
     },
     [](const Rig &r, const Words &) { EXPECT_EQ(count(r, "data-while-seeking"), 5u); }},
    {"NothingSelectedAndAnUnknownId", {},
     [](Rig &r, Words &seen) {
       append(seen, readString(r, 1, 4));
       writeString(r, 1, ramp(3));
       r.seek(0, 0x0777, 0);
       append(seen, readString(r, 0, 4));
     },
     [](const Rig &r, const Words &) {
       EXPECT_EQ(count(r, "no-path-selected"), 7u);
       EXPECT_EQ(count(r, "unknown-id"), 1u + 4u);
     }},
    {"ABufferFreedUnderThePath", {},
     [](Rig &r, Words &seen) {
       r.start();
       ASSERT_EQ(r.result(kCmdInquire, 0xF100), 0);
       ASSERT_TRUE(r.waitEvent(kEvInfo, 5000));
       const std::uint16_t fid = r.rd(kRegInfoFid);
       r.seek(0, fid, 0);
       append(seen, readString(r, 0, 3));
       r.wr(kRegEventAck, kEvInfo);  // frees the information buffer
       append(seen, readString(r, 0, 4));
       writeString(r, 0, ramp(2));
     },
     [](const Rig &r, const Words &) { EXPECT_EQ(count(r, "freed-buffer"), 6u); }},
    {"ARecordStagedAndReadBackWrong", {"rid-readback=0xFC03:1"},
     [](Rig &r, Words &seen) {
       r.seek(0, kRidOwnChannel, 0);
       writeString(r, 0, {2, kRidOwnChannel, 11, 0x5555});  // one word past the record
       for (int i = 0; i < 2; ++i) {
         r.seek(1, kRidOwnChannel, 0);
         append(seen, readString(r, 1, 4));
       }
       append(seen, {static_cast<std::uint16_t>(r.result(kCmdAccessWrite, kRidOwnChannel))});
     },
     [](const Rig &r, const Words &seen) {
       ASSERT_EQ(seen.size(), 9u);
       EXPECT_EQ(seen[2], 11 ^ 0xA5A5) << "the first read-back is wrong";
       EXPECT_EQ(seen[6], 11);
       EXPECT_EQ(seen[8], 0);
       EXPECT_EQ(count(r, "past-end"), 3u);
     }},
    {"AReceivedFrameAtAnOddOffsetAndItsLastByte", {},
     [](Rig &r, Words &seen) {
       r.start();
       auto self = r.ctl->stationAddress();
       ASSERT_EQ(r.ctl->receiveFrame(fromAp(self, kHarbor, kPeer, snapBody(0, 0x0800, 101))), ReceiveResult::Delivered);
       ASSERT_TRUE(r.waitEvent(kEvRx));
       const std::uint16_t fid = r.rd(kRegRxFid);
       r.seek(0, fid, 0);
       append(seen, readString(r, 0, 30));
       r.seek(1, fid, 61);  // odd: rounded down and recorded
       append(seen, readString(r, 1, 54));
       seen.push_back(r.bus.read8(r.dataPort(1)));
       r.wr(kRegEventAck, kEvRx);
       r.seek(0, fid, 60);
       append(seen, readString(r, 0, 4));  // still readable after the acknowledgement
     },
     [](const Rig &r, const Words &seen) {
       EXPECT_EQ(count(r, "odd-offset"), 1u);
       EXPECT_EQ(seen[30], 0xAAAA) << "the body starts with its SNAP header";
       EXPECT_EQ(seen.size(), 30u + 54u + 1u + 4u);
     }},
    {"TheAuxiliaryMemoryAcrossAPage", {},
     [](Rig &r, Words &seen) {
       r.wr(kRegParam0, 0x5A4B);
       r.wr(kRegParam1, 0x3C2D);
       r.wr(kRegParam2, 0x1E0F);
       r.wr(kRegControl, 0x8000);
       r.stall(100);
       r.wr(kRegAuxPage, 0x0100);
       r.wr(kRegAuxOffset, 0x7C);
       r.bus.writeString16(kBase + kRegAuxData, ramp(6).data(), 6);
       r.wr(kRegAuxPage, 0x0100);
       r.wr(kRegAuxOffset, 0x7B);
       Words w(7);
       r.bus.readString16(kBase + kRegAuxData, w.data(), w.size());
       append(seen, w);
     },
     [](const Rig &, const Words &seen) {
       EXPECT_EQ(seen[0], 0x0100) << "an odd address moves the two bytes there";
       EXPECT_EQ(seen[2], 0x0703);
     }},
};

class ControllerStringAccess : public ::testing::TestWithParam<Case> {};

TEST_P(ControllerStringAccess, IsWordForWordTheSingleAccesses) {
  const Outcome whole = play(GetParam(), StringAccess::Whole);
  const Outcome single = play(GetParam(), StringAccess::PerWord);
  EXPECT_EQ(whole.seen, single.seen);
  EXPECT_EQ(whole.violations, single.violations);
  EXPECT_EQ(whole.trace, single.trace);
  EXPECT_EQ(whole.reads, single.reads);
  EXPECT_EQ(whole.writes, single.writes);
  EXPECT_EQ(whole.transmitBuffers, single.transmitBuffers);
}

INSTANTIATE_TEST_SUITE_P(Cases, ControllerStringAccess, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
