// The transmit path end to end: Ethernet frames handed to the adapter by a protocol binding, and
// the exact bytes the controller read from its buffer when it sent them; conversion, buffer
// chains, the tag check, the slot pool and the queue.
#include <algorithm>
#include <cstring>
#include <set>

#include "linked_driver.h"
#include "port_trace.h"

namespace teskel::test {
namespace {

const sim::MacAddress kPeer = {0x02, 0x48, 0x41, 0x52, 0x42, 0x77};

// What the controller buffer must hold from offset 0 for a packet: 46 zero bytes, then the
// frame, with the 802.3 length and a SNAP header inserted after the addresses when its
// bytes 12-13 carry a type (above 1500).
Bytes expectedBuffer(const Bytes &frame) {
  Bytes b(46, 0);
  b.insert(b.end(), frame.begin(), frame.begin() + 12);
  std::uint16_t type = static_cast<std::uint16_t>(frame[12] << 8 | frame[13]);
  if (type > 1500) {
    std::size_t length = frame.size() - 6;
    b.push_back(static_cast<std::uint8_t>(length >> 8));
    b.push_back(static_cast<std::uint8_t>(length));
    bool tunnel = type == 0x8137 || type == 0x80F3;
    Bytes snap = {0xAA, 0xAA, 0x03, 0x00, 0x00, static_cast<std::uint8_t>(tunnel ? 0xF8 : 0x00)};
    b.insert(b.end(), snap.begin(), snap.end());
  }
  b.insert(b.end(), frame.begin() + 12, frame.end());
  return b;
}

std::size_t slotCount(PTX_SLOT slot) {
  std::size_t n = 0;
  for (; slot; slot = slot->Next) ++n;
  return n;
}

// Points the packet's buffers at copies of their bytes that start at odd addresses.
struct OddStorage {
  std::vector<Bytes> blocks;
  void relocate(NDIS_PACKET *packet) {
    for (PNDIS_BUFFER b = packet->Private.Head; b; b = b->Next) {
      Bytes block(b->ByteCount + 2);
      std::uint8_t *start = block.data() + (reinterpret_cast<std::uintptr_t>(block.data()) % 2 == 0 ? 1 : 0);
      if (b->ByteCount) std::memcpy(start, b->VirtualAddress, b->ByteCount);
      blocks.push_back(std::move(block));
      b->VirtualAddress = start;
    }
  }
};

class TransmitTest : public RigTest {
 protected:
  explicit TransmitTest(sim::ControllerOptions options = {}) : RigTest(std::move(options)) {}
  void SetUp() override {
    rig.bringUp();
    ASSERT_FALSE(HasFatalFailure());
    rig.bus.setTracing(true);
  }
  Bytes frame(std::uint16_t typeOrLength, std::size_t payload, std::uint8_t seed = 1) {
    return ethernetFrame(kPeer, rig.stationAddress(), typeOrLength, pattern(payload, seed));
  }
  // Sends one packet and runs until it is back; its completions.
  std::vector<NDIS_STATUS> sendAndSettle(const Bytes &f, std::vector<std::size_t> cuts = {}) {
    NDIS_PACKET *p = rig.send(f, std::move(cuts));
    rig.settle();
    return rig.statusesOf(p);
  }
  void expectClean() {
    EXPECT_TRUE(rig.controller->violations().empty()) << rig.controller->violations().front();
    EXPECT_TRUE(rig.host->findings().empty()) << rig.host->findings().front();
    EXPECT_EQ(rig.record()->AccessPathBusy, 0);
    // No halfword moved between a port and an odd memory address (the processor cannot).
    EXPECT_EQ(rig.bus.misalignedStringReads() + rig.bus.misalignedStringWrites(), 0u);
  }
};

TEST_F(TransmitTest, ASixtyByteIpFrameIsConvertedWithTheTrailerAt114) {
  Bytes f = frame(0x0800, 46);
  EXPECT_EQ(sendAndSettle(f), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  ASSERT_EQ(rig.transmitted.size(), 1u);
  const Bytes &buffer = rig.transmitted[0].buffer;
  Bytes expected = concat({Bytes(46, 0), Bytes(f.begin(), f.begin() + 12), {0x00, 0x36},
                           {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00}, {0x08, 0x00}, pattern(46)});
  EXPECT_EQ(buffer, expected);
  // Descriptor at 0, frame at 46, then the seek back to the trailer.
  EXPECT_EQ(writesTo(rig.bus, REG_OFFSET0), (std::vector<std::uint16_t>{0, 46, 114}));
  expectClean();
}

struct TypeCase {
  const char *what;
  std::uint16_t typeOrLength;
  std::size_t payload;
  bool converted;
  std::uint8_t snapLast;
};
void PrintTo(const TypeCase &c, std::ostream *os) { *os << c.what; }

class ConversionTest : public TransmitTest, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(ConversionTest, TypeFieldDecidesTheForm) {
  const TypeCase &c = GetParam();
  Bytes f = frame(c.typeOrLength, c.payload);
  EXPECT_EQ(sendAndSettle(f), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  ASSERT_EQ(rig.transmitted.size(), 1u);
  const Bytes &buffer = rig.transmitted[0].buffer;
  if (c.converted) {
    ASSERT_EQ(buffer.size(), 46 + 8 + f.size());
    std::size_t length = f.size() - 6;
    EXPECT_EQ(buffer[58], length >> 8);
    EXPECT_EQ(buffer[59], length & 0xFF);
    EXPECT_EQ(Bytes(buffer.begin() + 60, buffer.begin() + 66), (Bytes{0xAA, 0xAA, 0x03, 0x00, 0x00, c.snapLast}));
    EXPECT_EQ(buffer[66], c.typeOrLength >> 8);
    EXPECT_EQ(buffer[67], c.typeOrLength & 0xFF);
  } else {
    EXPECT_EQ(Bytes(buffer.begin() + 46, buffer.end()), Bytes(f.begin(), f.begin() + buffer.size() - 46));
  }
  EXPECT_EQ(buffer, expectedBuffer(f));
  // The trailer follows the frame: rounded up to even, plus the 8 inserted bytes if converted.
  std::uint16_t trailer = static_cast<std::uint16_t>(((46 + f.size() + 1) & ~1u) + (c.converted ? 8 : 0));
  EXPECT_EQ(writesTo(rig.bus, REG_OFFSET0).back(), trailer);
  expectClean();
}

INSTANTIATE_TEST_SUITE_P(
    Types, ConversionTest,
    ::testing::Values(TypeCase{"Ipv4", 0x0800, 46, true, 0x00}, TypeCase{"Arp", 0x0806, 28, true, 0x00},
                      TypeCase{"Ipx", 0x8137, 50, true, 0xF8}, TypeCase{"AppleTalkArp", 0x80F3, 50, true, 0xF8},
                      TypeCase{"Ipv6", 0x86DD, 61, true, 0x00}, TypeCase{"FirstType1501", 0x05DD, 40, true, 0x00},
                      // Length fields stay as they are; the controller reads the body by them.
                      TypeCase{"Length1500", 0x05DC, 1500, false, 0}, TypeCase{"Length46", 46, 46, false, 0},
                      TypeCase{"Length47Odd", 47, 47, false, 0}),
    [](const auto &info) { return std::string(info.param.what); });

TEST_F(TransmitTest, AnOddUnconvertedPacketEndsWithAWordWhoseHighHalfIsZero) {
  Bytes f = frame(47, 47);  // 61 bytes
  EXPECT_EQ(sendAndSettle(f), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  ASSERT_EQ(rig.transmitted.size(), 1u);
  EXPECT_EQ(rig.transmitted[0].buffer, expectedBuffer(f));
  // The last data word before the trailer's four words carries the 61st byte alone.
  auto data = writesTo(rig.bus, REG_DATA0);
  ASSERT_GE(data.size(), 5u);
  EXPECT_EQ(data[data.size() - 5], f.back());
  EXPECT_EQ(writesTo(rig.bus, REG_OFFSET0).back(), 108);
  expectClean();
}

// ---------------------------------------------------------------------------------------------
// Buffer chains: every cut gives the bytes of the packet in one buffer.

struct ChainCase {
  const char *what;
  std::uint16_t type;
  std::size_t payload;
  std::vector<std::size_t> cuts;
};
void PrintTo(const ChainCase &c, std::ostream *os) { *os << c.what; }

const std::vector<ChainCase> kChains = {
    {"HeaderEmptyOddRest", 0x0800, 48, {14, 14, 21}},  // buffers 14, 0, 7, 41
    {"OddFirstBuffer", 0x0800, 46, {15, 16, 33}},
    {"SingleByteBuffers", 0x0806, 10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}},
    {"HeaderSplitAtSeven", 0x0800, 46, {7}},
    {"HeaderSplitInTheType", 0x8137, 33, {13}},
    {"AddressesThenType", 0x0800, 40, {12}},
    {"LeadingEmptyBuffers", 0x0800, 46, {0, 0, 0, 20}},
    {"TrailingEmptyBuffers", 0x0800, 45, {59, 59, 59}},
    {"OddLengthsEverywhere", 0x86DD, 121, {3, 8, 13, 29, 30, 77, 101}},
    {"UnconvertedSplit", 63, 63, {5, 14, 15, 70}},
    {"UnconvertedOddTotal", 51, 51, {9, 10, 33}},
    {"LargestFrame", 0x0800, 1500, {1, 700, 701, 1513}},
};

class ChainTest : public TransmitTest, public ::testing::WithParamInterface<ChainCase> {};

TEST_P(ChainTest, GivesTheSameBytesAsOneBuffer) {
  const ChainCase &c = GetParam();
  Bytes f = frame(c.type, c.payload, 7);
  EXPECT_EQ(sendAndSettle(f, c.cuts), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  ASSERT_EQ(rig.transmitted.size(), 1u);
  EXPECT_EQ(rig.transmitted[0].buffer, expectedBuffer(f));
  expectClean();
}

TEST_P(ChainTest, GivesTheSameBytesFromOddAddresses) {
  const ChainCase &c = GetParam();
  Bytes f = frame(c.type, c.payload, 9);
  auto packet = ndis::Packet::fromFrame(f, c.cuts);
  OddStorage storage;
  storage.relocate(packet->ndis());
  NDIS_PACKET *p = rig.send(std::move(packet));
  rig.settle();
  EXPECT_EQ(rig.statusesOf(p), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  ASSERT_EQ(rig.transmitted.size(), 1u);
  EXPECT_EQ(rig.transmitted[0].buffer, expectedBuffer(f));
  // Runs at odd addresses went through the bounce area: no halfword moved from an odd address.
  EXPECT_EQ(rig.bus.misalignedStringWrites(), 0u);
  expectClean();
}

INSTANTIATE_TEST_SUITE_P(Cuts, ChainTest, ::testing::ValuesIn(kChains),
                         [](const auto &info) { return std::string(info.param.what); });

// ---------------------------------------------------------------------------------------------
// Sizes

struct SizeCase {
  const char *what;
  std::size_t size;
  NDIS_STATUS status;
};
void PrintTo(const SizeCase &c, std::ostream *os) { *os << c.what; }

class SizeTest : public TransmitTest, public ::testing::WithParamInterface<SizeCase> {};

// Packets that cannot be an Ethernet frame fail without a byte of theirs reaching the controller;
// their buffer stays free for the next frame.
TEST_P(SizeTest, OnlyWholeEthernetFramesReachTheController) {
  const SizeCase &c = GetParam();
  Bytes f = pattern(c.size, 3);
  if (c.size >= 14) {
    f[12] = 0x08;
    f[13] = 0x00;
  }
  rig.bus.clearTrace();
  EXPECT_EQ(sendAndSettle(f), std::vector<NDIS_STATUS>{c.status});
  auto transmits = recordsAccessed(rig.bus, CMD_TRANSMIT);
  if (c.status == NDIS_STATUS_SUCCESS) {
    EXPECT_EQ(transmits.size(), 1u);
  } else {
    EXPECT_TRUE(transmits.empty());
    EXPECT_TRUE(rig.transmitted.empty());
    // Only the 30 words of the zeroed descriptor went to the data port.
    auto data = writesTo(rig.bus, REG_DATA0);
    EXPECT_EQ(data, std::vector<std::uint16_t>(30, 0));
  }
  EXPECT_EQ(slotCount(rig.record()->TxSlotsReady), 5u);
  expectClean();
}

INSTANTIATE_TEST_SUITE_P(Lengths, SizeTest,
                         ::testing::Values(SizeCase{"Largest1514", 1514, NDIS_STATUS_SUCCESS},
                                           SizeCase{"TooLong1515", 1515, NDIS_STATUS_FAILURE},
                                           SizeCase{"Jumbo4000", 4000, NDIS_STATUS_FAILURE},
                                           SizeCase{"Smallest14", 14, NDIS_STATUS_SUCCESS},
                                           SizeCase{"Runt13", 13, NDIS_STATUS_FAILURE},
                                           SizeCase{"OneByte", 1, NDIS_STATUS_FAILURE}),
                         [](const auto &info) { return std::string(info.param.what); });

TEST_F(TransmitTest, AnEmptyPacketGoesOutWithItsZeroedDescriptor) {
  EXPECT_EQ(sendAndSettle({}), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  EXPECT_EQ(recordsAccessed(rig.bus, CMD_TRANSMIT).size(), 1u);
  // Nothing but the descriptor was written; no trailer was checked.
  EXPECT_EQ(writesTo(rig.bus, REG_DATA0), std::vector<std::uint16_t>(30, 0));
  EXPECT_EQ(rig.record()->TransmitTag, 1);
  expectClean();
}

TEST_F(TransmitTest, AnEmptyChainOfBuffersCountsAsAnEmptyPacket) {
  EXPECT_EQ(sendAndSettle({}, {0, 0}), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  EXPECT_EQ(recordsAccessed(rig.bus, CMD_TRANSMIT).size(), 1u);
  expectClean();
}

TEST_F(TransmitTest, APacketWhoseBuffersDisagreeWithItsLengthFails) {
  for (int delta : {-2, 2}) {
    SCOPED_TRACE(delta);
    auto packet = ndis::Packet::fromFrame(frame(0x0800, 46), {30});
    UINT total = 0;
    NdisQueryPacket(packet->ndis(), nullptr, nullptr, nullptr, &total);  // the counts are now kept
    packet->ndis()->Private.TotalLength = static_cast<UINT>(static_cast<int>(total) + delta);
    NDIS_PACKET *p = rig.send(std::move(packet));
    rig.settle();
    EXPECT_EQ(rig.statusesOf(p), std::vector<NDIS_STATUS>{NDIS_STATUS_FAILURE});
  }
  EXPECT_TRUE(rig.transmitted.empty());
  EXPECT_TRUE(recordsAccessed(rig.bus, CMD_TRANSMIT).empty());
  EXPECT_EQ(slotCount(rig.record()->TxSlotsReady), 5u);
}

// ---------------------------------------------------------------------------------------------
// The tag check

TEST_F(TransmitTest, TheTagWrapsToOneNeverZero) {
  rig.record()->TransmitTag = 0xFFFF;
  EXPECT_EQ(sendAndSettle(frame(0x0800, 46)), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  EXPECT_EQ(rig.record()->TransmitTag, 1);
  ASSERT_EQ(rig.transmitted.size(), 1u);
  // The trailer written was tag 1 and three zero words.
  auto data = writesTo(rig.bus, REG_DATA0);
  EXPECT_EQ(std::vector<std::uint16_t>(data.end() - 4, data.end()), (std::vector<std::uint16_t>{1, 0, 0, 0}));
}

TEST_F(TransmitTest, TagsCountUpFromOneAfterInitialisation) {
  EXPECT_EQ(rig.record()->TransmitTag, 1);
  for (int i = 0; i < 3; ++i) sendAndSettle(frame(0x0800, 46, static_cast<std::uint8_t>(i)));
  EXPECT_EQ(rig.record()->TransmitTag, 4);
  EXPECT_EQ(rig.transmitted.size(), 3u);
}

using TagMismatchTest = TransmitTest;

TEST_F(TagMismatchTest, ThreeBadReadBacksAreRetriedAndTheFourthAttemptSends) {
  rig.controller->addFault(sim::parseFault("tag-mismatch=3"));
  Bytes f = frame(0x0800, 47);
  EXPECT_EQ(sendAndSettle(f), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  ASSERT_EQ(rig.transmitted.size(), 1u);
  EXPECT_EQ(rig.transmitted[0].buffer, expectedBuffer(f));
  EXPECT_EQ(rig.record()->TransmitTag, 5);  // a new tag for every attempt
  // Every attempt seeks to the frame again and to its trailer.
  auto offsets = writesTo(rig.bus, REG_OFFSET0);
  EXPECT_EQ(std::count(offsets.begin(), offsets.end(), 46), 4);
  expectClean();
}

// A frame that never reached the air is a failure to the stack: success would tell it the frame
// went out, and nothing above would send it again.
TEST_F(TagMismatchTest, FourBadReadBacksDropTheFrameAsAFailure) {
  rig.controller->addFault(sim::parseFault("tag-mismatch=4"));
  EXPECT_EQ(sendAndSettle(frame(0x0800, 46)), std::vector<NDIS_STATUS>{NDIS_STATUS_FAILURE});
  EXPECT_TRUE(rig.transmitted.empty());
  EXPECT_TRUE(recordsAccessed(rig.bus, CMD_TRANSMIT).empty());
  EXPECT_EQ(slotCount(rig.record()->TxSlotsReady), 5u);
  EXPECT_EQ(rig.record()->TransmitTag, 5);
  // The next frame goes out in the same buffer.
  EXPECT_EQ(sendAndSettle(frame(0x0800, 46)), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  EXPECT_EQ(rig.transmitted.size(), 1u);
  expectClean();
}

TEST_F(TransmitTest, ASeekThatNeverEndsDropsTheFrameAsAFailure) {
  // The seek to the frame's start (offset 46) stays busy; the descriptor seek before it does not.
  rig.tap->setReadHook([](const PortTap::Read &r) -> std::uint16_t {
    if ((r.offset == REG_OFFSET0 || r.offset == REG_OFFSET1) && (r.value & 0x7FFF) == 46) return r.value | 0x8000;
    return r.value;
  });
  EXPECT_EQ(sendAndSettle(frame(0x0800, 46)), std::vector<NDIS_STATUS>{NDIS_STATUS_FAILURE});
  rig.tap->setReadHook(nullptr);
  EXPECT_TRUE(rig.transmitted.empty());
  EXPECT_EQ(slotCount(rig.record()->TxSlotsReady), 5u);
  std::size_t polls = 0;
  for (const auto &a : rig.bus.trace())
    if (a.port == portOf(REG_OFFSET0) && a.kind == ceddk::PortAccess::Kind::Read16 && (a.values[0] & 0x7FFF) == 46)
      ++polls;
  EXPECT_EQ(polls, 100u);
  expectClean();
}

TEST_F(TransmitTest, WithBothAccessPathsHeldTheFrameFailsWithoutTouchingTheBuffer) {
  rig.record()->AccessPathBusy = 0x03;
  EXPECT_EQ(sendAndSettle(frame(0x0800, 46)), std::vector<NDIS_STATUS>{NDIS_STATUS_FAILURE});
  EXPECT_EQ(rig.record()->AccessPathBusy, 0x03);
  rig.record()->AccessPathBusy = 0;
  EXPECT_TRUE(writesTo(rig.bus, REG_SELECT0).empty());
  EXPECT_TRUE(writesTo(rig.bus, REG_SELECT1).empty());
  EXPECT_EQ(slotCount(rig.record()->TxSlotsReady), 5u);
}

TEST_F(TransmitTest, WithPathZeroHeldTheCopyUsesPathOne) {
  rig.record()->AccessPathBusy = 0x01;
  Bytes f = frame(0x0800, 46);
  EXPECT_EQ(sendAndSettle(f), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  EXPECT_EQ(rig.record()->AccessPathBusy, 0x01);
  rig.record()->AccessPathBusy = 0;
  EXPECT_TRUE(writesTo(rig.bus, REG_DATA0).empty());
  EXPECT_EQ(writesTo(rig.bus, REG_OFFSET1), (std::vector<std::uint16_t>{0, 46, 114}));
  ASSERT_EQ(rig.transmitted.size(), 1u);
  EXPECT_EQ(rig.transmitted[0].buffer, expectedBuffer(f));
}

TEST_F(TransmitTest, TheControllerIsMaskedWhileTheBufferIsFilledAndRestoredAfter) {
  sendAndSettle(frame(0x0800, 46));
  // The first accesses of the send: read the mask, clear it; the last write puts it back.
  std::vector<std::uint16_t> masks;
  bool sawRead = false;
  for (const auto &a : rig.bus.trace()) {
    if (a.port != portOf(REG_INT_ENABLE)) continue;
    if (a.kind == ceddk::PortAccess::Kind::Read16) sawRead = true;
    if (a.kind == ceddk::PortAccess::Kind::Write16 && sawRead) masks.push_back(a.values[0]);
    if (masks.size() == 2) break;
  }
  EXPECT_EQ(masks, (std::vector<std::uint16_t>{0, 0x89}));
}

// ---------------------------------------------------------------------------------------------
// Slots and the send queue

TEST_F(TransmitTest, ASixthFrameWaitsForAReturnedBufferAndIsCompletedWhenItGoesOut) {
  std::vector<NDIS_PACKET *> packets;
  std::vector<Micros> completedAt(6, 0);
  for (int i = 0; i < 6; ++i) packets.push_back(rig.send(frame(0x0800, 400, static_cast<std::uint8_t>(i))));
  // Run only the six send tasks: no buffer has come back yet (400 bytes take 2 ms on the air).
  rig.loop.runFor(300);
  EXPECT_EQ(rig.completions.size(), 5u);
  EXPECT_TRUE(rig.statusesOf(packets[5]).empty());
  EXPECT_EQ(rig.record()->SendQueueHead, packets[5]);
  EXPECT_EQ(rig.record()->SendQueueTail, packets[5]);
  EXPECT_EQ(slotCount(rig.record()->TxSlotsReady), 0u);
  EXPECT_EQ(slotCount(rig.record()->TxSlotsAwaitingBuffer), 5u);

  rig.settle(50000);
  ASSERT_EQ(rig.completions.size(), 6u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(rig.statusesOf(packets[i]), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  ASSERT_EQ(rig.transmitted.size(), 6u);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(rig.transmitted[i].buffer, expectedBuffer(frame(0x0800, 400, static_cast<std::uint8_t>(i)))) << i;
  }
  EXPECT_EQ(rig.record()->SendQueueHead, nullptr);
  EXPECT_EQ(rig.record()->SendQueueTail, nullptr);
  EXPECT_EQ(slotCount(rig.record()->TxSlotsReady), 5u);
  expectClean();
}

TEST_F(TransmitTest, ABurstOfFramesGoesOutInOrderThroughFiveBuffers) {
  std::vector<NDIS_PACKET *> packets;
  for (int i = 0; i < 40; ++i) packets.push_back(rig.send(frame(0x0800, 60 + i, static_cast<std::uint8_t>(i))));
  rig.settle(200000);
  ASSERT_EQ(rig.transmitted.size(), 40u);
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(rig.statusesOf(packets[i]), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
    EXPECT_EQ(rig.transmitted[i].buffer, expectedBuffer(frame(0x0800, 60 + i, static_cast<std::uint8_t>(i)))) << i;
  }
  std::set<std::uint16_t> fids;
  for (const auto &t : rig.transmitted) fids.insert(t.fid);
  EXPECT_EQ(fids.size(), 5u);
  expectClean();
}

TEST_F(TransmitTest, SuppressedTransmissionCompletesWithoutTouchingTheController) {
  rig.record()->TransmitSuppressed = 1;
  rig.bus.clearTrace();
  NDIS_PACKET *a = rig.send(frame(0x0800, 46));
  NDIS_PACKET *b = rig.send(frame(0x0806, 28));
  rig.loop.runFor(100);
  EXPECT_EQ(rig.statusesOf(a), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  EXPECT_EQ(rig.statusesOf(b), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  EXPECT_TRUE(rig.bus.trace().empty());
  EXPECT_EQ(rig.record()->SendQueueHead, nullptr);
  EXPECT_EQ(rig.record()->SendQueueTail, nullptr);
  rig.settle();
  EXPECT_TRUE(rig.transmitted.empty());
}

// The controller answers no allocation: every frame stays queued.
class NoBufferTest : public TransmitTest {
 protected:
  NoBufferTest() : TransmitTest(options()) {}
  static sim::ControllerOptions options() {
    sim::ControllerOptions o;
    o.faults.push_back(sim::parseFault("alloc-limit=0"));
    return o;
  }
};

TEST_F(NoBufferTest, HaltFailsEveryQueuedSend) {
  std::vector<NDIS_PACKET *> packets;
  for (int i = 0; i < 3; ++i) packets.push_back(rig.send(frame(0x0800, 46, static_cast<std::uint8_t>(i))));
  rig.settle();
  EXPECT_TRUE(rig.completions.empty());
  EXPECT_EQ(slotCount(rig.record()->TxSlotsAwaitingBuffer), 5u);
  rig.halt();
  for (auto *p : packets) EXPECT_EQ(rig.statusesOf(p), std::vector<NDIS_STATUS>{NDIS_STATUS_FAILURE});
  EXPECT_EQ(rig.adapter->sendsOutstanding(), 0u);
  EXPECT_TRUE(rig.host->findings().empty()) << rig.host->findings().front();
}

TEST_F(NoBufferTest, ResetFailsEachQueuedSendOnce) {
  std::vector<NDIS_PACKET *> packets;
  for (int i = 0; i < 3; ++i) packets.push_back(rig.send(frame(0x0800, 46, static_cast<std::uint8_t>(i))));
  rig.settle();
  EXPECT_EQ(rig.adapter->reset().status, NDIS_STATUS_SUCCESS);
  for (auto *p : packets) EXPECT_EQ(rig.statusesOf(p), std::vector<NDIS_STATUS>{NDIS_STATUS_FAILURE});
  EXPECT_EQ(rig.completions.size(), 3u);
  EXPECT_EQ(rig.record()->SendQueueHead, nullptr);
  EXPECT_EQ(rig.record()->SendQueueTail, nullptr);
  EXPECT_TRUE(rig.host->findings().empty());
}

// Dropped frames free their buffer without an allocation event: the packets queued behind them
// must still go out, not wait for the next send. Taking one packet per allocation event would
// leave the last one queued for good here, with every buffer free.
TEST_F(TransmitTest, PacketsQueuedBehindDroppedFramesStillGoOut) {
  std::vector<NDIS_PACKET *> onAir, runts;
  for (int i = 0; i < 5; ++i) onAir.push_back(rig.send(frame(0x0800, 986, static_cast<std::uint8_t>(i))));
  for (int i = 0; i < 5; ++i) runts.push_back(rig.send(pattern(13, static_cast<std::uint8_t>(i))));
  Bytes last = frame(0x0800, 86, 42);
  NDIS_PACKET *tail = rig.send(last);
  rig.settle(200000);  // five frames of 1000 bytes take about 22 ms on the air
  for (auto *p : onAir) EXPECT_EQ(rig.statusesOf(p), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  for (auto *p : runts) EXPECT_EQ(rig.statusesOf(p), std::vector<NDIS_STATUS>{NDIS_STATUS_FAILURE});
  EXPECT_EQ(rig.statusesOf(tail), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  ASSERT_EQ(rig.transmitted.size(), 6u);
  EXPECT_EQ(rig.transmitted.back().buffer, expectedBuffer(last));
  EXPECT_EQ(rig.record()->SendQueueHead, nullptr);
  expectClean();
}

}  // namespace
}  // namespace teskel::test
