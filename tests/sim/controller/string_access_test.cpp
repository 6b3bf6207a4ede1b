// Controller model: a string access, which reaches it as one call, against the bus forcing single
// accesses: words, misuse records, faults, the end of a buffer, counts and trace are the same.
#include <functional>

#include "rig.h"

using namespace rig;

namespace {

using Words = std::vector<std::uint16_t>;

void read(Rig &r, int path, std::size_t n, Words &seen) {
  seen.resize(seen.size() + n);
  r.bus.readString16(r.dataPort(path), seen.data() + seen.size() - n, n);
}
void write(Rig &r, int path, std::size_t n) {
  Words w(n);
  for (std::size_t i = 0; i < n; ++i) w[i] = static_cast<std::uint16_t>(0x0101 + 0x0203 * i);
  r.bus.writeString16(r.dataPort(path), w.data(), n);
}
// A transmit buffer holding a frame whose 802.3 length is 54, so that its trailer is at 114.
std::uint16_t framed(Rig &r) {
  const std::uint16_t fid = r.allocate(200).value_or(0);
  std::vector<std::uint8_t> image(114, 0x33);
  std::fill_n(image.begin(), 60, 0);
  image[59] = 54;
  image.insert(image.end(), {0x07, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
  r.writeBytes(fid, 0, image);
  return fid;
}

struct Case {
  const char *name;
  const char *fault;  // or null
  std::function<void(Rig &, Words &seen)> run;
  const char *misuse;  // recorded this many times: the case reaches what it is about
  std::size_t times;
};
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

const Case kCases[] = {
    {"PastTheEndOfABuffer", nullptr, [](Rig &r, Words &seen) {
       r.seek(0, *r.allocate(100), 90);
       write(r, 0, 8);  // five fit
       r.seek(1, r.rd(kRegSelect0), 88);
       read(r, 1, 9, seen);
     }, "past-end", 6},
    {"TrailerReadBacksAFaultCorrupts", "tag-mismatch=3", [](Rig &r, Words &seen) {
       const std::uint16_t fid = framed(r);
       for (int i = 0; i < 2; ++i) {
         r.seek(0, fid, 100);
         read(r, 0, 11, seen);  // seven frame words, then the trailer's four
       }
       EXPECT_EQ(seen[7], 0xFFF8) << "a corrupted trailer word";
       EXPECT_EQ(seen[10], 0x6655) << "three uses, then the fault is spent";
     }, nullptr, 0},
    {"WritesIntoABufferOnTheAir", nullptr, [](Rig &r, Words &seen) {
       r.start();
       const std::uint16_t fid = framed(r);
       ASSERT_EQ(r.result(kCmdTransmit, fid), 0);
       r.seek(0, fid, 60);
       write(r, 0, 12);
       r.seek(1, fid, 60);
       read(r, 1, 12, seen);
     }, "buffer-in-flight", 12},
    {"DataWhileSeeking", "seek-busy=0", [](Rig &r, Words &seen) {
       const std::uint16_t fid = *r.allocate(100);
       r.seek(0, fid, 0);
       read(r, 0, 5, seen);
       write(r, 0, 4);
       r.wr(kRegSelect1, fid);
       r.wr(kRegOffset1, 0);
       read(r, 1, 3, seen);  // before its 3 us
       r.stall(10);
       read(r, 1, 3, seen);
     }, "data-while-seeking", 12},
    {"NothingSelectedOrAnUnknownId", nullptr, [](Rig &r, Words &seen) {
       read(r, 1, 4, seen);
       write(r, 1, 3);
       r.seek(0, 0x0777, 0);
       read(r, 0, 4, seen);
     }, "no-path-selected", 7},
    {"ABufferFreedUnderThePath", nullptr, [](Rig &r, Words &seen) {
       ASSERT_EQ(r.result(kCmdInquire, 0xF100), 0);
       ASSERT_TRUE(r.waitEvent(kEvInfo, 5000));
       r.seek(0, r.rd(kRegInfoFid), 0);
       read(r, 0, 3, seen);
       r.wr(kRegEventAck, kEvInfo);  // frees it
       read(r, 0, 4, seen);
       write(r, 0, 2);
     }, "freed-buffer", 6},
    {"ARecordReadBackWrong", "rid-readback=0xFC03:1", [](Rig &r, Words &seen) {
       r.seek(0, kRidOwnChannel, 0);
       write(r, 0, 4);  // one word too many
       for (int path : {1, 1}) {
         r.seek(path, kRidOwnChannel, 0);
         read(r, path, 4, seen);
       }
       EXPECT_NE(seen[2], seen[6]) << "only the first read-back is wrong";
     }, "past-end", 3},
    {"AReceivedFrameAtAnOddOffset", nullptr, [](Rig &r, Words &seen) {
       r.start();
       const auto self = r.ctl->stationAddress();
       ASSERT_EQ(r.ctl->receiveFrame(fromAp(self, kHarbor, kPeer, snapBody(0, 0x0800, 101))), ReceiveResult::Delivered);
       ASSERT_TRUE(r.waitEvent(kEvRx));
       r.seek(1, r.rd(kRegRxFid), 61);
       read(r, 1, 54, seen);
       seen.push_back(r.bus.read8(r.dataPort(1)));
     }, "odd-offset", 1},
};

class ControllerStringAccess : public ::testing::TestWithParam<Case> {};

TEST_P(ControllerStringAccess, IsWordForWordTheSingleAccesses) {
  std::vector<std::string> outcome[2];  // what was read, the misuse records, the bus's trace and counts
  for (auto mode : {ceddk::PortBus::StringAccess::Whole, ceddk::PortBus::StringAccess::PerWord}) {
    ControllerOptions o;
    if (GetParam().fault) o.faults.push_back(parseFault(GetParam().fault));
    Rig r(o);
    r.bus.setStringAccess(mode);
    r.bus.setTracing(true);
    Words seen;
    GetParam().run(r, seen);
    auto &out = outcome[mode == ceddk::PortBus::StringAccess::PerWord];
    for (auto w : seen) out.push_back(std::to_string(w));
    std::size_t misuses = 0;
    for (const auto &v : r.ctl->violations()) {
      out.push_back(v);
      if (GetParam().misuse) misuses += v.starts_with(std::string(GetParam().misuse) + ":");
    }
    EXPECT_EQ(misuses, GetParam().times) << r.violationText();
    for (const auto &a : r.bus.trace()) out.push_back(a.describe());
    out.push_back(std::to_string(r.bus.totals().reads) + " reads, " + std::to_string(r.bus.totals().writes) + " writes");
  }
  EXPECT_EQ(outcome[0], outcome[1]);
}

INSTANTIATE_TEST_SUITE_P(Cases, ControllerStringAccess, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
