// Station controls on a running adapter: link status from the controller's port status, the
// station address, channel, power saving and the WEP records, with the adapter's copies.
#include "linked_driver.h"
#include "port_trace.h"

namespace teskel::test {
namespace {

class StationTest : public RigTest {
 protected:
  void SetUp() override {
    rig.bringUp();
    ASSERT_FALSE(HasFatalFailure());
    rig.bus.setTracing(true);
  }
};

struct PortStatusCase {
  std::uint16_t portStatus;
  USHORT code;
};
void PrintTo(const PortStatusCase &c, std::ostream *os) { *os << "port status " << c.portStatus; }

class LinkStatusTest : public StationTest, public ::testing::WithParamInterface<PortStatusCase> {};

// Rewrites the data words of one record as the driver reads them.
void rewriteRecord(DriverRig &rig, std::uint16_t rid, std::vector<std::uint16_t> words) {
  rig.tap->setReadHook([rid, words](const PortTap::Read &r) -> std::uint16_t {
    if (r.path < 0 || r.selected != rid || r.position < 4) return r.value;
    const std::size_t i = (r.position - 4u) / 2u;
    return i < words.size() ? words[i] : r.value;
  });
}

TEST_P(LinkStatusTest, MapsThePortStatusToTheDriversCode) {
  rewriteRecord(rig, RID_PORT_STATUS, {GetParam().portStatus});
  USHORT code = 0xEEEE;
  EXPECT_TRUE(rig.call([&](PADAPTER a) { return GetLinkStatus(a, &code); }));
  EXPECT_EQ(code, GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(Codes, LinkStatusTest,
                         ::testing::Values(PortStatusCase{3, 1}, PortStatusCase{4, 1}, PortStatusCase{6, 1},
                                           PortStatusCase{2, 4}, PortStatusCase{5, 4}, PortStatusCase{1, 6},
                                           PortStatusCase{0, 6}, PortStatusCase{7, 6}, PortStatusCase{0x0104, 6}),
                         [](const auto &info) { return "PortStatus" + std::to_string(info.param.portStatus); });

TEST_F(StationTest, LinkStatusRefreshesTheBssid) {
  const Bytes vault = {0x02, 0x56, 0x41, 0x55, 0x4C, 0x01};
  rewriteRecord(rig, RID_CURRENT_BSSID, {0x5602, 0x5541, 0x014C});
  EXPECT_TRUE(rig.call([](PADAPTER a) { return GetLinkStatus(a, &a->LinkStatus); }));
  EXPECT_EQ(rig.record()->LinkStatus, 1);
  EXPECT_EQ(Bytes(rig.record()->CurrentBssid, rig.record()->CurrentBssid + 6), vault);
}

TEST_F(StationTest, AnUnreadableBssidFailsWithTheCodeAlreadyStored) {
  std::fill(rig.record()->CurrentBssid, rig.record()->CurrentBssid + 6, 0xEE);
  rig.controller->addFault(sim::parseFault("rid-unreadable=0xFD42"));
  USHORT code = 0xEEEE;
  EXPECT_FALSE(rig.call([&](PADAPTER a) { return GetLinkStatus(a, &code); }));
  EXPECT_EQ(code, 1);
  EXPECT_EQ(rig.record()->CurrentBssid[0], 0xEE);
}

TEST_F(StationTest, AnUnreadablePortStatusWritesNothing) {
  rig.controller->addFault(sim::parseFault("rid-unreadable=0xFD40"));
  USHORT code = 0xEEEE;
  EXPECT_FALSE(rig.call([&](PADAPTER a) { return GetLinkStatus(a, &code); }));
  EXPECT_EQ(code, 0xEEEE);
  EXPECT_EQ(recordsAccessed(rig.bus, CMD_ACCESS_READ), std::vector<std::uint16_t>{RID_PORT_STATUS});
}

TEST_F(StationTest, APortStatusOfTheWrongLengthIsNotTaken) {
  rig.tap->setReadHook([](const PortTap::Read &r) -> std::uint16_t {
    if (r.path >= 0 && r.selected == RID_PORT_STATUS && r.position == 0) return 3;
    return r.value;
  });
  USHORT code = 0xEEEE;
  EXPECT_FALSE(rig.call([&](PADAPTER a) { return GetLinkStatus(a, &code); }));
  EXPECT_EQ(code, 0xEEEE);
}

TEST_F(StationTest, TheStationAddressCanBeReadAndWritten) {
  UCHAR address[6] = {};
  EXPECT_TRUE(rig.call([&](PADAPTER a) { return GetStationAddress(a, address); }));
  sim::MacAddress before = rig.stationAddress();
  EXPECT_EQ(Bytes(address, address + 6), Bytes(before.begin(), before.end()));

  const UCHAR changed[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  EXPECT_TRUE(rig.call([&](PADAPTER a) { return SetStationAddress(a, changed); }));
  sim::MacAddress after = rig.stationAddress();
  EXPECT_EQ(Bytes(after.begin(), after.end()), Bytes(changed, changed + 6));
  EXPECT_TRUE(rig.call([&](PADAPTER a) { return GetStationAddress(a, address); }));
  EXPECT_EQ(Bytes(address, address + 6), Bytes(changed, changed + 6));
}

TEST_F(StationTest, GetChannelTakesTheChannelInUse) {
  rewriteRecord(rig, RID_CURRENT_CHANNEL, {0x0109});  // a word whose low byte is the channel
  UCHAR channel = 0;
  EXPECT_TRUE(rig.call([&](PADAPTER a) { return GetChannel(a, &channel); }));
  EXPECT_EQ(channel, 9);
  EXPECT_EQ(rig.record()->DSChannel, 0x0109u);
}

TEST_F(StationTest, AFailedChannelReadLeavesTheAdaptersChannel) {
  rig.record()->DSChannel = 4;
  rig.controller->addFault(sim::parseFault("rid-unreadable=0xFDC1"));
  UCHAR channel = 0xEE;
  EXPECT_FALSE(rig.call([&](PADAPTER a) { return GetChannel(a, &channel); }));
  EXPECT_EQ(channel, 0xEE);
  EXPECT_EQ(rig.record()->DSChannel, 4u);
}

TEST_F(StationTest, SetChannelUsesTheLowByte) {
  EXPECT_TRUE(rig.call([](PADAPTER a) { return SetChannel(a, 0x10B); }));
  EXPECT_EQ(rig.controller->recordWord(RID_DS_CHANNEL), std::optional<std::uint16_t>(11));
  EXPECT_EQ(rig.record()->DSChannel, 11u);
}

struct PowerSaveCase {
  USHORT mode;
  std::uint16_t word;
};

class PowerSaveTest : public StationTest, public ::testing::WithParamInterface<PowerSaveCase> {};

TEST_P(PowerSaveTest, WritesOnOnlyAboveOneAndKeepsTheModeGiven) {
  EXPECT_TRUE(rig.call([&](PADAPTER a) { return SetPowerSaveMode(a, GetParam().mode); }));
  EXPECT_EQ(rig.controller->recordWord(RID_PS_MODE), std::optional<std::uint16_t>(GetParam().word));
  EXPECT_EQ(rig.record()->PSMode, GetParam().mode);
}

INSTANTIATE_TEST_SUITE_P(Modes, PowerSaveTest,
                         ::testing::Values(PowerSaveCase{0, 0}, PowerSaveCase{1, 0}, PowerSaveCase{2, 1},
                                           PowerSaveCase{3, 1}, PowerSaveCase{0xFFFF, 1}),
                         [](const auto &info) { return "Mode" + std::to_string(info.param.mode); });

TEST_F(StationTest, FailedWritesChangeNoAdapterField) {
  rig.controller->addFault(sim::parseFault("rid-readback=0xFC03"));
  rig.controller->addFault(sim::parseFault("rid-readback=0xFC09"));
  rig.record()->DSChannel = 4;
  rig.record()->PSMode = 1;
  EXPECT_FALSE(rig.call([](PADAPTER a) { return SetChannel(a, 9); }));
  EXPECT_FALSE(rig.call([](PADAPTER a) { return SetPowerSaveMode(a, 3); }));
  EXPECT_EQ(rig.record()->DSChannel, 4u);
  EXPECT_EQ(rig.record()->PSMode, 1);
}

struct KeyCase {
  ULONG number;
  std::uint16_t rid;
};

class DefaultKeyTest : public StationTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(DefaultKeyTest, PicksTheKeyRecordAndPadsWithZero) {
  const UCHAR key[5] = {0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  EXPECT_TRUE(rig.call([&](PADAPTER a) { return SetDefaultKey(a, GetParam().number, key); }));
  EXPECT_EQ(recordsAccessed(rig.bus, CMD_ACCESS_WRITE), std::vector<std::uint16_t>{GetParam().rid});
  EXPECT_EQ(rig.controller->record(GetParam().rid), (Bytes{0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x00}));
}

INSTANTIATE_TEST_SUITE_P(Numbers, DefaultKeyTest,
                         ::testing::Values(KeyCase{0, 0xFC24}, KeyCase{1, 0xFC24}, KeyCase{2, 0xFC25},
                                           KeyCase{3, 0xFC26}, KeyCase{4, 0xFC27}, KeyCase{9, 0xFC24},
                                           KeyCase{0x103, 0xFC26}),
                         [](const auto &info) { return "Key" + std::to_string(info.param.number); });

TEST_F(StationTest, KeyIndexAndFlagsUseTheLowByte) {
  EXPECT_TRUE(rig.call([](PADAPTER a) { return SetDefaultKeyId(a, 0x103); }));
  EXPECT_TRUE(rig.call([](PADAPTER a) { return SetWepFlags(a, 0x101); }));
  EXPECT_EQ(rig.controller->recordWord(RID_WEP_DEFAULT_KEY_ID), std::optional<std::uint16_t>(3));
  EXPECT_EQ(rig.controller->recordWord(RID_WEP_FLAGS), std::optional<std::uint16_t>(1));
}

}  // namespace
}  // namespace teskel::test
