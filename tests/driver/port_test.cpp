// The port protocol on a running adapter: command handshake with its timeouts, the two access
// paths, odd offsets and counts, record reads with their size reports, and verified record writes.
#include <algorithm>
#include <cstring>

#include "linked_driver.h"
#include "port_trace.h"

namespace teskel::test {
namespace {

using Kind = ceddk::PortAccess::Kind;

class PortTest : public RigTest {
 protected:
  void SetUp() override {
    rig.bringUp();
    ASSERT_FALSE(HasFatalFailure());
    fid = rig.record()->TxSlotsReady->Fid;
    rig.bus.setTracing(true);
  }
  // Accesses of the data port of a path, as kinds, in order.
  std::vector<Kind> dataAccesses(std::uint32_t reg) {
    std::vector<Kind> out;
    for (const auto &a : rig.bus.trace())
      if (a.port == portOf(reg)) out.push_back(a.kind);
    return out;
  }
  // Makes the next reads of a record's image show other words (by byte position).
  void rewriteRecord(std::uint16_t rid, std::uint16_t position, std::uint16_t value) {
    rig.tap->setReadHook([=](const PortTap::Read &r) -> std::uint16_t {
      if (r.path >= 0 && r.selected == rid && r.position == position) return value;
      return r.value;
    });
  }
  std::uint16_t fid = 0;
};

// ---------------------------------------------------------------------------------------------
// Commands

TEST_F(PortTest, ACommandWritesItsParametersInOrderThenTheCodeAndAcknowledgesCompletion) {
  USHORT status = 0;
  EXPECT_TRUE(rig.call([&](PADAPTER a) { return IssueCommand3(a, CMD_INQUIRE, INFO_TYPE_TALLIES, 7, 9, &status); }));
  EXPECT_EQ(status, CMD_INQUIRE);  // the controller echoes the command in the low bits
  std::vector<std::uint32_t> writes;
  for (const auto &a : rig.bus.trace())
    if (a.kind == Kind::Write16) writes.push_back(a.port - DriverRig::kIoBase);
  EXPECT_EQ(writes, (std::vector<std::uint32_t>{REG_PARAM0, REG_PARAM1, REG_PARAM2, REG_COMMAND, REG_EVENT_ACK}));
  EXPECT_EQ(writesTo(rig.bus, REG_EVENT_ACK), std::vector<std::uint16_t>{EV_CMD});
}

TEST_F(PortTest, ACommandOfOneParameterWritesOnlyParam0) {
  EXPECT_TRUE(rig.call([](PADAPTER a) { return InquireTallies(a); }));
  EXPECT_EQ(writesTo(rig.bus, REG_PARAM0), std::vector<std::uint16_t>{INFO_TYPE_TALLIES});
  EXPECT_TRUE(writesTo(rig.bus, REG_PARAM1).empty());
  EXPECT_TRUE(writesTo(rig.bus, REG_PARAM2).empty());
}

TEST_F(PortTest, ACommandBlockReturnsStatusAndResponses) {
  UCHAR block[8] = {};
  PutLeWord(block, CMD_INQUIRE);
  PutLeWord(block + 2, INFO_TYPE_TALLIES);
  EXPECT_TRUE(rig.call([&](PADAPTER a) { return IssueCommandBlock(a, block); }));
  EXPECT_EQ(GetLeWord(block), CMD_INQUIRE);
  EXPECT_EQ(GetLeWord(block + 2), rig.bus.read16(portOf(REG_RESP0)));
  EXPECT_EQ(GetLeWord(block + 4), rig.bus.read16(portOf(REG_RESP1)));
  EXPECT_EQ(GetLeWord(block + 6), rig.bus.read16(portOf(REG_RESP2)));
  // Responses are read before the completion is acknowledged.
  auto &trace = rig.bus.trace();
  auto ack = std::find_if(trace.begin(), trace.end(), [](const auto &a) { return a.port == portOf(REG_EVENT_ACK); });
  auto resp = std::find_if(trace.begin(), trace.end(), [](const auto &a) { return a.port == portOf(REG_RESP2); });
  EXPECT_LT(resp - trace.begin(), ack - trace.begin());
}

TEST_F(PortTest, ACommandBlockOfAnUnknownCommandFailsWithItsStatus) {
  UCHAR block[8] = {0x33, 0x00};
  EXPECT_FALSE(rig.call([&](PADAPTER a) { return IssueCommandBlock(a, block); }));
  EXPECT_EQ(GetLeWord(block), 0x0133);  // result 1, command echoed
}

TEST_F(PortTest, ABusyControllerTakesNoCommandAndNoParameter) {
  rig.controller->addFault(sim::parseFault("command-busy"));
  Micros before = rig.loop.now();
  USHORT status = 0xABCD;
  EXPECT_FALSE(rig.call([&](PADAPTER a) { return IssueCommand3(a, CMD_INQUIRE, 1, 2, 3, &status); }));
  EXPECT_EQ(status, 0xABCD);
  EXPECT_EQ(readsOf(rig.bus, REG_COMMAND), 2000u);
  for (const auto &a : rig.bus.trace()) EXPECT_NE(a.kind, Kind::Write16);
  EXPECT_EQ(rig.loop.now() - before, 1999u * 50u);
}

struct TimeoutCase {
  const char *what;
  bool command0;
  Micros stall;
};
void PrintTo(const TimeoutCase &c, std::ostream *os) { *os << c.what; }

class CommandTimeoutTest : public PortTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(CommandTimeoutTest, ACommandThatNeverCompletesIsNeitherReadNorAcknowledged) {
  rig.controller->addFault(sim::parseFault("command-timeout"));
  Micros before = rig.loop.now();
  USHORT status = 0xABCD;
  bool ok = rig.call([&](PADAPTER a) {
    return GetParam().command0 ? IssueCommand0(a, CMD_ENABLE) : IssueCommand1(a, CMD_INQUIRE, 1, &status);
  });
  EXPECT_FALSE(ok);
  EXPECT_EQ(status, 0xABCD);
  EXPECT_EQ(readsOf(rig.bus, REG_EVENT_STATUS), 2000u);
  EXPECT_EQ(readsOf(rig.bus, REG_STATUS), 0u);
  EXPECT_TRUE(writesTo(rig.bus, REG_EVENT_ACK).empty());
  // The busy bit of the command register clears after a few microseconds; then 1999 stalls.
  EXPECT_GE(rig.loop.now() - before, 1999u * GetParam().stall);
  EXPECT_LT(rig.loop.now() - before, 1999u * GetParam().stall + 100u);
}

INSTANTIATE_TEST_SUITE_P(Members, CommandTimeoutTest,
                         ::testing::Values(TimeoutCase{"IssueCommand0", true, 100},
                                           TimeoutCase{"IssueCommand1", false, 50}),
                         [](const auto &info) { return std::string(info.param.what); });

TEST_F(PortTest, AnErrorResultFailsTheCommandButStillReportsAndAcknowledgesIt) {
  rig.controller->addFault(sim::parseFault("command-error=0x0011:4"));
  USHORT status = 0;
  EXPECT_FALSE(rig.call([&](PADAPTER a) { return IssueCommand1(a, CMD_INQUIRE, INFO_TYPE_TALLIES, &status); }));
  EXPECT_EQ(status, 0x0411);
  EXPECT_EQ(writesTo(rig.bus, REG_EVENT_ACK), std::vector<std::uint16_t>{EV_CMD});
}

// ---------------------------------------------------------------------------------------------
// Buffer transfers

TEST_F(PortTest, WritesAndReadsBackAtEveryOddAndEvenOffsetAndCount) {
  Bytes image = pattern(64, 17);
  ASSERT_TRUE(rig.call([&](PADAPTER a) { return BufferWrite(a, fid, 0, image.data(), 64); }));
  for (USHORT offset = 0; offset < 9; ++offset) {
    for (ULONG count = 1; count < 9; ++count) {
      UCHAR out[16];
      std::memset(out, 0xEE, sizeof out);
      ASSERT_TRUE(rig.call([&](PADAPTER a) { return BufferRead(a, fid, offset, out, count); }));
      EXPECT_EQ(Bytes(out, out + count), Bytes(image.begin() + offset, image.begin() + offset + count))
          << "offset " << offset << " count " << count;
      EXPECT_EQ(out[count], 0xEE) << "offset " << offset << " count " << count;
    }
  }
  EXPECT_TRUE(rig.controller->violations().empty()) << rig.controller->violations().front();
}

TEST_F(PortTest, ThreeBytesAtOffsetFiveSeekToFourAndTakeTheHighByteFirst) {
  Bytes image = pattern(16, 1);
  ASSERT_TRUE(rig.call([&](PADAPTER a) { return BufferWrite(a, fid, 0, image.data(), 16); }));
  rig.bus.clearTrace();
  UCHAR out[3];
  ASSERT_TRUE(rig.call([&](PADAPTER a) { return BufferRead(a, fid, 5, out, 3); }));
  EXPECT_EQ(Bytes(out, out + 3), Bytes(image.begin() + 5, image.begin() + 8));
  EXPECT_EQ(writesTo(rig.bus, REG_OFFSET0), std::vector<std::uint16_t>{4});
  EXPECT_EQ(dataAccesses(REG_DATA0), (std::vector<Kind>{Kind::Read16, Kind::ReadString16}));
}

TEST_F(PortTest, FiveBytesAtOffsetZeroAreTwoWordsAndOneByte) {
  UCHAR out[5];
  ASSERT_TRUE(rig.call([&](PADAPTER a) { return BufferRead(a, fid, 0, out, 5); }));
  EXPECT_EQ(dataAccesses(REG_DATA0), (std::vector<Kind>{Kind::ReadString16, Kind::Read8}));
  EXPECT_EQ(rig.bus.trace()[rig.bus.trace().size() - 2].values.size(), 2u);
}

TEST_F(PortTest, AnOddWriteEndsWithOneByte) {
  Bytes image = pattern(7, 3);
  ASSERT_TRUE(rig.call([&](PADAPTER a) { return BufferWrite(a, fid, 2, image.data(), 7); }));
  EXPECT_EQ(dataAccesses(REG_DATA0), (std::vector<Kind>{Kind::WriteString16, Kind::Write8}));
  UCHAR out[7];
  ASSERT_TRUE(rig.call([&](PADAPTER a) { return BufferRead(a, fid, 2, out, 7); }));
  EXPECT_EQ(Bytes(out, out + 7), image);
}

TEST_F(PortTest, ZeroByteWritesTouchNothingAndZeroByteReadsStoreNothing) {
  UCHAR out[2] = {0xEE, 0xEE};
  EXPECT_TRUE(rig.call([&](PADAPTER a) { return BufferWrite(a, fid, 3, out, 0); }));
  EXPECT_TRUE(rig.bus.trace().empty());
  // A read of nothing at an odd offset seeks but stores no byte.
  EXPECT_TRUE(rig.call([&](PADAPTER a) { return BufferRead(a, fid, 3, out, 0); }));
  EXPECT_EQ(out[0], 0xEE);
  EXPECT_EQ(readsOf(rig.bus, REG_DATA0), 0u);
}

struct PathCase {
  const char *what;
  UCHAR held;
  bool ok;
  std::uint32_t select;
};
void PrintTo(const PathCase &c, std::ostream *os) { *os << c.what; }

class AccessPathTest : public PortTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(AccessPathTest, ATransferTakesAFreePathAndGivesItBack) {
  const PathCase &c = GetParam();
  rig.record()->AccessPathBusy = c.held;
  UCHAR out[4];
  Bytes in = pattern(4);
  bool read = rig.call([&](PADAPTER a) { return BufferRead(a, fid, 0, out, 4); });
  bool write = rig.call([&](PADAPTER a) { return BufferWrite(a, fid, 0, in.data(), 4); });
  EXPECT_EQ(read, c.ok);
  EXPECT_EQ(write, c.ok);
  EXPECT_EQ(rig.record()->AccessPathBusy, c.held);
  if (c.ok) {
    EXPECT_EQ(writesTo(rig.bus, c.select), (std::vector<std::uint16_t>{fid, fid}));
  } else {
    EXPECT_TRUE(rig.bus.trace().empty());
  }
  rig.record()->AccessPathBusy = 0;
}

INSTANTIATE_TEST_SUITE_P(Claims, AccessPathTest,
                         ::testing::Values(PathCase{"BothFree", 0, true, REG_SELECT0},
                                           PathCase{"ZeroHeld", 1, true, REG_SELECT1},
                                           PathCase{"OneHeld", 2, true, REG_SELECT0},
                                           PathCase{"BothHeld", 3, false, 0}),
                         [](const auto &info) { return std::string(info.param.what); });

TEST_F(PortTest, ASeekThatStaysBusyFailsAfterAHundredPollsAndReleasesThePath) {
  rig.controller->addFault(sim::parseFault("seek-busy=0"));
  UCHAR out[4];
  Micros before = rig.loop.now();
  EXPECT_FALSE(rig.call([&](PADAPTER a) { return BufferRead(a, fid, 0, out, 4); }));
  EXPECT_EQ(readsOf(rig.bus, REG_OFFSET0), 100u);
  EXPECT_EQ(rig.loop.now() - before, 99u * 25u);
  EXPECT_EQ(readsOf(rig.bus, REG_DATA0), 0u);
  EXPECT_EQ(rig.record()->AccessPathBusy, 0);
}

// ---------------------------------------------------------------------------------------------
// Record reads

struct RidRead {
  BOOLEAN ok;
  ULONG size;
};

RidRead getRid(DriverRig &rig, USHORT rid, PUCHAR buffer, ULONG size) {
  ULONG result = 0xDEAD;
  BOOLEAN ok = rig.call([&](PADAPTER a) { return GetRid(a, rid, buffer, size, &result); });
  return {ok, result};
}

TEST_F(PortTest, ARecordReadGivesLengthRidAndData) {
  UCHAR buffer[RECORD_BUFFER_SIZE];
  RidRead r = getRid(rig, RID_CURRENT_BSSID, buffer, sizeof buffer);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.size, 10u);
  EXPECT_EQ(GetLeWord(buffer), 4);
  EXPECT_EQ(GetLeWord(buffer + 2), RID_CURRENT_BSSID);
  EXPECT_EQ(Bytes(buffer + 4, buffer + 10), Bytes(DriverRig::kBssid.begin(), DriverRig::kBssid.end()));
}

TEST_F(PortTest, ABufferBelowSixBytesIsRefusedWithoutAPortAccess) {
  UCHAR buffer[8];
  RidRead r = getRid(rig, RID_CURRENT_BSSID, buffer, 5);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.size, 6u);
  EXPECT_TRUE(rig.bus.trace().empty());
  // The size is taken as 16 bits: 65536 + 5 is as small.
  r = getRid(rig, RID_CURRENT_BSSID, buffer, 0x10005);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.size, 6u);
}

TEST_F(PortTest, ARecordThatDoesNotFitReportsTheSizeThatWould) {
  UCHAR buffer[RECORD_BUFFER_SIZE];
  std::memset(buffer, 0xEE, sizeof buffer);
  RidRead r = getRid(rig, RID_CURRENT_BSSID, buffer, 11);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.size, 12u);
  EXPECT_EQ(buffer[4], 0xEE);  // no data word read
  r = getRid(rig, RID_CURRENT_BSSID, buffer, r.size);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.size, 10u);
}

TEST_F(PortTest, ALengthOfThreeReadsTwoDataWords) {
  rewriteRecord(RID_COMMS_QUALITY, 0, 3);
  UCHAR buffer[RECORD_BUFFER_SIZE];
  std::memset(buffer, 0xEE, sizeof buffer);
  RidRead r = getRid(rig, RID_COMMS_QUALITY, buffer, sizeof buffer);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.size, 8u);
  EXPECT_EQ(buffer[8], 0xEE);
}

TEST_F(PortTest, ALengthOf251DoesNotFit504BytesAndNoDataIsRead) {
  rewriteRecord(RID_CURRENT_BSSID, 0, 251);
  UCHAR buffer[RECORD_BUFFER_SIZE];
  RidRead r = getRid(rig, RID_CURRENT_BSSID, buffer, sizeof buffer);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.size, 506u);
  EXPECT_EQ(readsOf(rig.bus, REG_DATA0), 2u);  // the length and RID words only
}

TEST_F(PortTest, ALengthOfZeroIsRefusedWithoutReadingPastTheHeader) {
  rewriteRecord(RID_CURRENT_BSSID, 0, 0);
  UCHAR buffer[RECORD_BUFFER_SIZE];
  std::memset(buffer, 0xEE, sizeof buffer);
  RidRead r = getRid(rig, RID_CURRENT_BSSID, buffer, 6);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.size, 0u);
  EXPECT_EQ(readsOf(rig.bus, REG_DATA0), 2u);
  EXPECT_EQ(buffer[4], 0xEE);
}

TEST_F(PortTest, ALengthOfOneIsARecordWithoutData) {
  rewriteRecord(RID_CURRENT_BSSID, 0, 1);
  UCHAR buffer[RECORD_BUFFER_SIZE];
  std::memset(buffer, 0xEE, sizeof buffer);
  RidRead r = getRid(rig, RID_CURRENT_BSSID, buffer, 6);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.size, 4u);
  EXPECT_EQ(buffer[4], 0xEE);
}

struct RidFailure {
  const char *what;
  std::string fault;
  bool rewriteRid;
};
void PrintTo(const RidFailure &c, std::ostream *os) { *os << c.what; }

class RidFailureTest : public PortTest, public ::testing::WithParamInterface<RidFailure> {};

TEST_P(RidFailureTest, FailsWithResultSizeZero) {
  if (!GetParam().fault.empty()) rig.controller->addFault(sim::parseFault(GetParam().fault));
  if (GetParam().rewriteRid) rewriteRecord(RID_CURRENT_BSSID, 2, RID_CURRENT_CHANNEL);
  UCHAR buffer[RECORD_BUFFER_SIZE];
  RidRead r = getRid(rig, RID_CURRENT_BSSID, buffer, sizeof buffer);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.size, 0u);
  EXPECT_EQ(rig.record()->AccessPathBusy, 0);
}

INSTANTIATE_TEST_SUITE_P(Causes, RidFailureTest,
                         ::testing::Values(RidFailure{"NoSuchRecord", "rid-unreadable=0xFD42", false},
                                           RidFailure{"StatusWordZero", "status-zero=0x0021", false},
                                           RidFailure{"CommandTimeout", "command-timeout=0x0021", false},
                                           RidFailure{"SeekBusy", "seek-busy", false},
                                           RidFailure{"OtherRidInTheImage", "", true}),
                         [](const auto &info) { return std::string(info.param.what); });

// ---------------------------------------------------------------------------------------------
// Record writes

TEST_F(PortTest, ARecordThatNeverReadsBackIsNotCommitted) {
  rig.controller->addFault(sim::parseFault("rid-readback=0xFC03"));
  ULONG channel = rig.record()->DSChannel;
  EXPECT_FALSE(rig.call([](PADAPTER a) { return SetChannel(a, 9); }));
  EXPECT_TRUE(recordsAccessed(rig.bus, CMD_ACCESS_WRITE).empty());
  auto selects = writesTo(rig.bus, REG_SELECT0);
  EXPECT_EQ(std::count(selects.begin(), selects.end(), RID_DS_CHANNEL), 8);  // four writes, four read-backs
  EXPECT_EQ(rig.record()->DSChannel, channel);
  EXPECT_NE(rig.controller->recordWord(RID_DS_CHANNEL), std::optional<std::uint16_t>(9));
}

TEST_F(PortTest, ARecordThatReadsBackOnTheThirdAttemptIsCommittedOnce) {
  rig.controller->addFault(sim::parseFault("rid-readback=0xFC03:2"));
  EXPECT_TRUE(rig.call([](PADAPTER a) { return SetChannel(a, 9); }));
  EXPECT_EQ(recordsAccessed(rig.bus, CMD_ACCESS_WRITE), std::vector<std::uint16_t>{RID_DS_CHANNEL});
  auto selects = writesTo(rig.bus, REG_SELECT0);
  EXPECT_EQ(std::count(selects.begin(), selects.end(), RID_DS_CHANNEL), 6);
  EXPECT_EQ(rig.controller->recordWord(RID_DS_CHANNEL), std::optional<std::uint16_t>(9));
}

TEST_F(PortTest, ARecordLongerThanARecordBufferIsRefused) {
  UCHAR record[RECORD_BUFFER_SIZE + 8] = {};
  PutLeWord(record, 252);
  PutLeWord(record + 2, RID_STATION_NAME);
  EXPECT_FALSE(rig.call([&](PADAPTER a) { return SetRid(a, record); }));
  EXPECT_TRUE(rig.bus.trace().empty());
}

TEST_F(PortTest, TheMulticastListIsNeverGivenToTheController) {
  EXPECT_EQ(rig.call([](PADAPTER a) { return UpdateMulticastList(a); }), NDIS_STATUS_SUCCESS);
  EXPECT_TRUE(rig.bus.trace().empty());
}

}  // namespace
}  // namespace teskel::test
