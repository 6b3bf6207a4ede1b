// Controller model: the record store through both access paths, staging and commit, the path
// rules (seek busy bit, odd offsets, unknown ids, past the end, 8-bit accesses).
#include "rig.h"

using namespace rig;

TEST(ControllerRecords, DefaultsMatchTheDatasheet) {
  struct Case {
    std::uint16_t rid;
    std::vector<std::uint16_t> words;
  };
  const Case cases[] = {
      {kRidPortType, {1}},
      {kRidOwnChannel, {3}},
      {kRidAtimWindow, {0}},
      {kRidSystemScale, {0}},
      {kRidPmEnabled, {0}},
      {kRidPmLevel, {0}},
      {kRidPromiscuous, {0}},
      {kRidTickTime, {0}},
      {kRidMaxDataLength, {2304}},
      {kRidWepDefaultKeyId, {0}},
      {0xFC24, {0, 0, 0}},
      {0xFC27, {0, 0, 0}},
      {kRidWepFlags, {0}},
      {kRidFragThreshold, {2346}},
      {kRidRtsThreshold, {2347}},
      {kRidTxRateControl, {15}},
      {kRidDownloadBuffer, {0x0100, 0, 8192}},
      {kRidRegulatoryDomains, {0x0010}},
      {kRidPortStatus, {1}},
      {kRidCurrentBssid, {0, 0, 0}},
      {kRidPrivacyImplemented, {1}},
      {kRidPhyType, {2}},
  };
  Rig r;
  for (auto &c : cases) {
    auto got = r.getRecord(c.rid);
    ASSERT_TRUE(got) << std::hex << c.rid;
    EXPECT_EQ(*got, c.words) << "record 0x" << std::hex << c.rid;
  }
  // Names are a length word and 32 bytes; version ranges four words.
  EXPECT_EQ(r.getRecord(kRidDesiredSsid)->size(), 17u);
  EXPECT_EQ(r.getRecord(kRidDesiredSsid)->at(0), 0);
  EXPECT_EQ(r.getRecord(kRidStationName)->size(), 17u);
  EXPECT_EQ(r.getRecord(kRidPrimaryRange)->size(), 4u);
  EXPECT_EQ(r.getRecord(kRidStationRange)->size(), 4u);
  EXPECT_EQ(r.getRecord(kRidCommsQuality)->size(), 3u);
  EXPECT_TRUE(r.ctl->violations().empty()) << r.violationText();
}

TEST(ControllerRecords, StationAddressComesFromProductionData) {
  ControllerOptions o;
  o.serial = 0x00123456;
  Rig r(o);
  auto words = r.getRecord(kRidStationAddress);
  ASSERT_TRUE(words);
  EXPECT_EQ(*words, (std::vector<std::uint16_t>{0x5402, 0x124B, 0x5634}));
}

class ControllerRecordPath : public ::testing::TestWithParam<int> {};

TEST_P(ControllerRecordPath, StagedImageReadsBackAndOnlyCommitChangesTheRecord) {
  const int path = GetParam();
  Rig r;
  const std::vector<std::uint8_t> image = {2, 0, 0x03, 0xFC, 11, 0};  // L 2, own channel, 11
  r.writeBytes(kRidOwnChannel, 0, image, path);
  EXPECT_EQ(r.readBytes(kRidOwnChannel, 0, 6, path), image) << "the staged image reads back";
  EXPECT_EQ(r.ctl->recordWord(kRidOwnChannel), 3) << "not committed yet";
  EXPECT_EQ(r.result(kCmdAccessWrite, kRidOwnChannel), 0);
  EXPECT_EQ(r.ctl->recordWord(kRidOwnChannel), 11);
  EXPECT_EQ(r.getRecord(kRidOwnChannel, path), (std::vector<std::uint16_t>{11}));
  EXPECT_TRUE(r.ctl->violations().empty()) << r.violationText();
}

TEST_P(ControllerRecordPath, WrongLengthFailsWithResultFourAndKeepsTheValue) {
  const int path = GetParam();
  Rig r;
  EXPECT_EQ(r.setRecord(kRidStationName, {4, 0x6261, 0x6463}, path), 4);
  EXPECT_TRUE(r.hasViolation("wrong-length")) << r.violationText();
  EXPECT_EQ(r.ctl->recordWord(kRidStationName), 0);
  r.ctl->clearViolations();
  // The same with the right length works through this path.
  std::vector<std::uint16_t> name(17, 0);
  name[0] = 4;
  name[1] = 0x6261;
  name[2] = 0x6463;
  EXPECT_EQ(r.setRecord(kRidStationName, name, path), 0);
  EXPECT_EQ(r.ctl->recordWord(kRidStationName, 1), 0x6261);
  EXPECT_TRUE(r.ctl->violations().empty()) << r.violationText();
}

INSTANTIATE_TEST_SUITE_P(BothPaths, ControllerRecordPath, ::testing::Values(0, 1));

TEST(ControllerRecords, CommitFailuresKeepTheRecord) {
  struct Case {
    const char *what;
    std::uint16_t rid;
    std::vector<std::uint8_t> image;
    int result;
    const char *violation;
  };
  const Case cases[] = {
      {"read-only record", kRidPhyType, {2, 0, 0xC0, 0xFD, 9, 0}, 4, "read-only-record"},
      {"RID word differs", kRidOwnChannel, {2, 0, 0x02, 0xFC, 9, 0}, 4, "record-id-mismatch"},
      {"length too long", kRidOwnChannel, {3, 0, 0x03, 0xFC, 9, 0}, 4, "wrong-length"},
  };
  for (auto &c : cases) {
    Rig r;
    auto before = r.ctl->record(c.rid);
    r.writeBytes(c.rid, 0, c.image);
    EXPECT_EQ(r.result(kCmdAccessWrite, c.rid), c.result) << c.what;
    EXPECT_TRUE(r.hasViolation(c.violation)) << c.what << "\n" << r.violationText();
    EXPECT_EQ(r.ctl->record(c.rid), before) << c.what;
  }
}

TEST(ControllerRecords, AccessReadRefreshesTheExchangeArea) {
  Rig r;
  r.writeBytes(kRidOwnChannel, 0, {2, 0, 0x03, 0xFC, 7, 0});
  ASSERT_EQ(r.result(kCmdAccessRead, kRidOwnChannel), 0);
  EXPECT_EQ(r.readBytes(kRidOwnChannel, 0, 6), (std::vector<std::uint8_t>{2, 0, 0x03, 0xFC, 3, 0}))
      << "the staged bytes are replaced by the record's image";
}

TEST(ControllerRecords, DynamicRecordsFollowThePort) {
  air::AccessPointConfig ap;
  ap.ssid = "Quay";
  ap.bssid = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  ap.channel = 11;
  ap.signal = 52;
  air::WorldConfig world;
  world.accessPoints.push_back(ap);
  Rig r({}, world);
  r.start();
  EXPECT_EQ(*r.getRecord(kRidPortStatus), (std::vector<std::uint16_t>{4}));
  EXPECT_EQ(*r.getRecord(kRidCurrentBssid), (std::vector<std::uint16_t>{0x1102, 0x3322, 0x5544}));
  EXPECT_EQ(*r.getRecord(kRidCurrentChannel), (std::vector<std::uint16_t>{11}));
  EXPECT_EQ(*r.getRecord(kRidCommsQuality), (std::vector<std::uint16_t>{42, 52, 10}))
      << "quality is the access point's signal less the noise";
  ASSERT_EQ(r.result(kCmdDisable), 0);
  EXPECT_EQ(*r.getRecord(kRidPortStatus), (std::vector<std::uint16_t>{1}));
  EXPECT_EQ(*r.getRecord(kRidCurrentBssid), (std::vector<std::uint16_t>{0, 0, 0}));
  EXPECT_EQ(*r.getRecord(kRidCurrentChannel), (std::vector<std::uint16_t>{3})) << "own channel while idle";
}

TEST(ControllerRecords, InitializeRestoresDefaultsAndReloadsTheStationAddress) {
  Rig r;
  const auto address = *r.getRecord(kRidStationAddress);
  ASSERT_EQ(r.setRecord(kRidStationAddress, {0x1100, 0x3322, 0x5544}), 0);
  ASSERT_EQ(r.setRecord(kRidPortType, {3}), 0);
  ASSERT_EQ(r.setRecord(kRidRtsThreshold, {500}), 0);
  EXPECT_EQ(r.ctl->stationAddress(), (MacAddress{0x00, 0x11, 0x22, 0x33, 0x44, 0x55})) << "applies at once";
  ASSERT_EQ(r.result(kCmdInitialize), 0);
  EXPECT_EQ(*r.getRecord(kRidStationAddress), address);
  EXPECT_EQ(*r.getRecord(kRidPortType), (std::vector<std::uint16_t>{1}));
  EXPECT_EQ(*r.getRecord(kRidRtsThreshold), (std::vector<std::uint16_t>{2347}));
}

TEST(ControllerPaths, OffsetWriteSeeksForAboutThreeMicroseconds) {
  Rig r;
  r.wr(kRegSelect1, kRidPortType);
  r.wr(kRegOffset1, 2);
  EXPECT_EQ(r.rd(kRegOffset1), kBusy | 2);
  r.stall(3);
  EXPECT_EQ(r.rd(kRegOffset1), 2);
  EXPECT_EQ(r.rd(kRegOffset0), 0) << "the other path is untouched";
}

TEST(ControllerPaths, MisuseIsRecorded) {
  struct Case {
    const char *what;
    std::function<void(Rig &)> act;
    const char *violation;
  };
  const Case cases[] = {
      {"data read with nothing selected", [](Rig &r) { r.rd(kRegData0); }, "no-path-selected"},
      {"offset with nothing selected", [](Rig &r) { r.wr(kRegOffset1, 0); }, "no-path-selected"},
      {"odd offset", [](Rig &r) { r.seek(0, kRidPortType, 3); }, "odd-offset"},
      {"unknown id", [](Rig &r) { r.seek(0, 0x0555, 0); }, "unknown-id"},
      {"unknown id then data", [](Rig &r) { r.seek(1, 0x0555, 0); r.ctl->clearViolations(); r.rd(kRegData1); },
       "unknown-id"},
      {"seek past the end", [](Rig &r) { r.seek(0, kRidPortType, 8); }, "past-end"},
      {"read past the end", [](Rig &r) { r.seek(0, kRidPortType, 6); r.rd(kRegData0); }, "past-end"},
      {"data while seeking", [](Rig &r) { r.wr(kRegSelect0, kRidPortType); r.wr(kRegOffset0, 0); r.rd(kRegData0); },
       "data-while-seeking"},
      {"write to a read-only register", [](Rig &r) { r.wr(kRegStatus, 1); }, "read-only-register"},
      {"write to an unused register", [](Rig &r) { r.wr(0x12, 1); }, "unused-register"},
      {"odd register", [](Rig &r) { r.bus.read16(kBase + 0x03); }, "misaligned-register"},
  };
  for (auto &c : cases) {
    Rig r;
    c.act(r);
    EXPECT_TRUE(r.hasViolation(c.violation)) << c.what << "\n" << r.violationText();
  }
}

TEST(ControllerPaths, PastTheEndReadsZeroAndWritesNothing) {
  Rig r;
  ASSERT_EQ(r.result(kCmdAccessRead, kRidPortType), 0);
  r.seek(0, kRidPortType, 6);  // the image is 6 bytes
  EXPECT_EQ(r.rd(kRegData0), 0);
  r.seek(0, kRidPortType, 6);
  r.wr(kRegData0, 0xBEEF);
  EXPECT_EQ(r.readBytes(kRidPortType, 0, 6), (std::vector<std::uint8_t>{2, 0, 0x00, 0xFC, 1, 0}));
}

TEST(ControllerPaths, ByteAccessMovesTheLowByteOfTheWordThere) {
  Rig r;
  ASSERT_EQ(r.result(kCmdAccessRead, kRidDownloadBuffer), 0);  // 04 00 01 FD 00 01 00 00 00 20
  r.seek(0, kRidDownloadBuffer, 2);
  EXPECT_EQ(r.bus.read8(kBase + kRegData0), 0x01);
  EXPECT_EQ(r.bus.read8(kBase + kRegData0), 0x00) << "the next byte access is at the next word";
  EXPECT_EQ(r.rd(kRegData0), 0x0000);
  EXPECT_EQ(r.rd(kRegData0), 0x2000);
  r.seek(1, kRidOwnChannel, 4);
  r.bus.write8(kBase + kRegData1, 0x0B);
  EXPECT_EQ(r.readBytes(kRidOwnChannel, 4, 2, 1), (std::vector<std::uint8_t>{0x0B, 0x00}));
}
