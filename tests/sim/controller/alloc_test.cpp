// Controller model: transmit buffer allocation and the queued allocation events.
#include <set>

#include "rig.h"

using namespace rig;

TEST(ControllerAlloc, AllocationEventFollowsTheCommandByAboutOneHundredMicroseconds) {
  Rig r;
  r.wr(kRegParam0, 1585);
  r.wr(kRegCommand, kCmdAllocate);
  r.stall(20);
  EXPECT_EQ(r.rd(kRegEventStatus), kEvCmd);
  r.wr(kRegEventAck, kEvCmd);
  r.stall(99);
  EXPECT_EQ(r.rd(kRegEventStatus), 0);
  r.stall(1);
  EXPECT_EQ(r.rd(kRegEventStatus), kEvAlloc);
  const std::uint16_t fid = r.rd(kRegAllocFid);
  EXPECT_GE(fid, 0x0100);
  EXPECT_LE(fid, 0x0FFF);
  r.wr(kRegEventAck, kEvAlloc);
  EXPECT_EQ(r.rd(kRegEventStatus), 0);
  // The buffer is the size asked for, rounded up to whole words: the last word is in, past it not.
  r.seek(0, fid, 1584);
  r.rd(kRegData0);
  EXPECT_TRUE(r.ctl->violations().empty()) << r.violationText();
  r.rd(kRegData0);
  EXPECT_TRUE(r.hasViolation("past-end"));
}

TEST(ControllerAlloc, SeveralAllocationsQueueAndEachAcknowledgementShowsTheNext) {
  Rig r;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(r.result(kCmdAllocate, 1585), 0);
  r.stall(200);
  std::set<std::uint16_t> seen;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(r.rd(kRegEventStatus) & kEvAlloc, kEvAlloc) << "event " << i;
    seen.insert(r.rd(kRegAllocFid));
    r.wr(kRegEventAck, kEvAlloc);
  }
  EXPECT_EQ(r.rd(kRegEventStatus) & kEvAlloc, 0);
  EXPECT_EQ(seen.size(), 3u) << "three different buffers";
  EXPECT_EQ(r.ctl->transmitBuffers().size(), 3u);
}

TEST(ControllerAlloc, SixteenBuffersAtMostAndIdsAreNeverShared) {
  Rig r;
  r.start();
  std::set<std::uint16_t> fids;
  for (int i = 0; i < 16; ++i) {
    auto fid = r.allocate();
    ASSERT_TRUE(fid) << "allocation " << i;
    EXPECT_TRUE(fids.insert(*fid).second) << "id reused";
    EXPECT_GE(*fid, 0x0100);
    EXPECT_LE(*fid, 0x0FFF);
  }
  EXPECT_EQ(r.result(kCmdAllocate, 1585), 3);
  r.stall(500);
  EXPECT_EQ(r.rd(kRegEventStatus) & kEvAlloc, 0) << "a refused allocation raises no event";
  // Received frames and information frames take ids from the same space, never a held one.
  r.ctl->receiveFrame(fromAp(r.ctl->stationAddress(), kHarbor, kPeer, snapBody(0, 0x0800, 10)));
  EXPECT_FALSE(fids.count(r.rd(kRegRxFid)));
  EXPECT_FALSE(fids.count(r.rd(kRegInfoFid)));
}

TEST(ControllerAlloc, SizesOutsideTheBufferMemoryAreBadParameters) {
  Rig r;
  EXPECT_EQ(r.result(kCmdAllocate, 0), 4);
  EXPECT_EQ(r.result(kCmdAllocate, 2373), 4);
  EXPECT_EQ(r.result(kCmdAllocate, 2372), 0);
}

// Buffers too small for a descriptor have no length field to look at: reads and transmits of
// them stay inside the buffer (the sanitizer build catches any read past it).
TEST(ControllerAlloc, BuffersSmallerThanADescriptorAreReadAndSentWithinTheirBytes) {
  for (std::uint16_t size : {2, 10, 58, 59}) {
    SCOPED_TRACE("size " + std::to_string(size));
    ControllerOptions options;
    options.faults.push_back(parseFault("tag-mismatch=100"));
    Rig r(options);
    r.start();
    auto fid = r.allocate(size);
    ASSERT_TRUE(fid);
    std::vector<std::uint8_t> bytes((size + 1u) & ~1u);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(0x40 + i);
    r.writeBytes(*fid, 0, bytes);
    EXPECT_EQ(r.readBytes(*fid, 0, bytes.size()), bytes) << "no frame, so no trailer to corrupt";
    EXPECT_EQ(r.result(kCmdTransmit, *fid), 0);
    r.stall(1000);
    EXPECT_EQ(r.ctl->tallies()[kTallyTxErrors], 1) << "dropped as a transmit error";
    EXPECT_TRUE(r.ctl->violations().empty()) << r.violationText();
  }
}
