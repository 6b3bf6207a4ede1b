// Controller bring-up as the controller sees it: the exact order of commands and records, the
// values configured from the registry, WEP programming, the transmit buffer pool, and the port.
#include <algorithm>

#include "linked_driver.h"
#include "port_trace.h"

namespace teskel::test {
namespace {

class BringUpTest : public RigTest {
 protected:
  explicit BringUpTest(sim::ControllerOptions options = {}) : RigTest(std::move(options)) {}
  void SetUp() override {
    rig.install();
    rig.load();
  }
  // Initialises the adapter with the registry as the test left it; the trace covers it whole.
  void start() {
    rig.bus.setTracing(true);
    ASSERT_EQ(rig.initialize().status, NDIS_STATUS_SUCCESS);
  }
  std::vector<std::uint8_t> nameRecord(std::uint16_t rid) { return rig.controller->record(rid).value_or(Bytes{}); }
};

std::size_t slotCount(PTX_SLOT slot) {
  std::size_t n = 0;
  for (; slot; slot = slot->Next) ++n;
  return n;
}

TEST_F(BringUpTest, TalksToTheControllerInItsFixedOrder) {
  start();
  const std::vector<Command> expected = {
      {CMD_INITIALIZE, 0},
      {CMD_ACCESS_READ, RID_STATION_ADDRESS},
      {CMD_ACCESS_READ, RID_DOWNLOAD_BUFFER},
      {CMD_ACCESS_READ, RID_PRIMARY_RANGE},
      {CMD_ACCESS_READ, RID_STATION_RANGE},
      {CMD_ACCESS_READ, RID_PRIVACY_IMPLEMENTED},
      {CMD_ACCESS_WRITE, RID_WEP_DEFAULT_KEY_ID},
      {CMD_ACCESS_WRITE, RID_WEP_DEFAULT_KEY1},
      {CMD_ACCESS_WRITE, RID_WEP_DEFAULT_KEY2},
      {CMD_ACCESS_WRITE, RID_WEP_DEFAULT_KEY3},
      {CMD_ACCESS_WRITE, RID_WEP_DEFAULT_KEY4},
      {CMD_ACCESS_WRITE, RID_WEP_FLAGS},
      {CMD_ACCESS_READ, RID_REGULATORY_DOMAINS},
      {CMD_ACCESS_READ, RID_PHY_TYPE},
      {CMD_ACCESS_WRITE, RID_NETWORK_TYPE},
      {CMD_ACCESS_WRITE, RID_DS_CHANNEL},
      {CMD_ACCESS_WRITE, RID_SYSTEM_SCALE},
      {CMD_ACCESS_WRITE, RID_MAX_DATA_LENGTH},
      {CMD_ACCESS_WRITE, RID_PS_MODE},
      {CMD_ACCESS_WRITE, RID_PS_LEVEL},
      {CMD_ACCESS_WRITE, RID_ATIM_WINDOW},
      {CMD_ACCESS_WRITE, RID_RTS_THRESH},
      {CMD_ACCESS_WRITE, RID_FRAG_THRESH},
      {CMD_ACCESS_WRITE, RID_TX_RATE_CONTROL},
      {CMD_ACCESS_WRITE, RID_PROMISCUOUS_MODE},
      {CMD_ACCESS_WRITE, RID_TICK_TIME},
      {CMD_ACCESS_WRITE, RID_STATION_NAME},
      {CMD_ACCESS_WRITE, RID_SSID},
      {CMD_ALLOCATE, TX_BUFFER_SIZE},
      {CMD_ALLOCATE, TX_BUFFER_SIZE},
      {CMD_ALLOCATE, TX_BUFFER_SIZE},
      {CMD_ALLOCATE, TX_BUFFER_SIZE},
      {CMD_ALLOCATE, TX_BUFFER_SIZE},
      {CMD_ENABLE, TX_BUFFER_SIZE},  // enable writes no parameter
  };
  EXPECT_EQ(commandsIssued(rig.bus), expected);
  // Every event is acknowledged once right after the initialise command.
  auto acks = writesTo(rig.bus, REG_EVENT_ACK);
  ASSERT_GE(acks.size(), 2u);
  EXPECT_EQ(acks[0], EV_CMD);
  EXPECT_EQ(acks[1], 0xFFFF);
  EXPECT_EQ(std::count(acks.begin(), acks.end(), 0xFFFF), 1);
  EXPECT_TRUE(rig.controller->violations().empty()) << rig.controller->violations().front();
}

TEST_F(BringUpTest, ConfiguresTheControllerFromTheRegistry) {
  rig.setParm("NetworkType", 0);
  rig.setParm("DSChannel", 11);
  rig.setParm("ATIMWindow", 0x10005);
  rig.setParm("RTSThresh", 0x12345);
  rig.setParm("FragThresh", 1000);
  rig.setParm("PSMode", 2);
  rig.setParm("PSLevel", 7);
  rig.setParm("StationName", u"Larkwell-7");
  rig.setParm("SSID", u"Harbor");
  start();
  auto word = [&](std::uint16_t rid) { return rig.controller->recordWord(rid).value_or(0xFFFF); };
  EXPECT_EQ(word(RID_NETWORK_TYPE), 0);
  EXPECT_EQ(word(RID_DS_CHANNEL), 11);
  EXPECT_EQ(word(RID_SYSTEM_SCALE), 0);
  EXPECT_EQ(word(RID_MAX_DATA_LENGTH), 1508);
  EXPECT_EQ(word(RID_PS_MODE), 1);
  EXPECT_EQ(word(RID_PS_LEVEL), 1);
  EXPECT_EQ(word(RID_ATIM_WINDOW), 5);          // low 16 bits
  EXPECT_EQ(word(RID_RTS_THRESH), 0x2345);      // low 16 bits
  EXPECT_EQ(word(RID_FRAG_THRESH), 1000);
  EXPECT_EQ(word(RID_TX_RATE_CONTROL), 15);
  EXPECT_EQ(word(RID_PROMISCUOUS_MODE), 0);
  EXPECT_EQ(word(RID_TICK_TIME), 0);
  Bytes name = nameRecord(RID_STATION_NAME);
  ASSERT_EQ(name.size(), 34u);
  EXPECT_EQ(le16(name, 0), 10);
  EXPECT_EQ(Bytes(name.begin() + 2, name.begin() + 12), Bytes({'L', 'a', 'r', 'k', 'w', 'e', 'l', 'l', '-', '7'}));
  Bytes ssid = nameRecord(RID_SSID);
  ASSERT_EQ(ssid.size(), 34u);
  EXPECT_EQ(le16(ssid, 0), 6);
  EXPECT_EQ(Bytes(ssid.begin() + 2, ssid.begin() + 8), Bytes({'H', 'a', 'r', 'b', 'o', 'r'}));
  PADAPTER a = rig.record();
  EXPECT_EQ(a->RegulatoryDomain, 16);
  EXPECT_EQ(a->PhyType, 2);
  EXPECT_EQ(a->DownloadBufferPage, 0x0100);
  EXPECT_EQ(a->DownloadBufferOffset, 0);
  EXPECT_EQ(a->DownloadBufferLength, 8192);
}

struct SsidCase {
  const char *what;
  std::u16string ssid;
  std::uint16_t length;
};
void PrintTo(const SsidCase &c, std::ostream *os) { *os << c.what; }

class SsidTest : public BringUpTest, public ::testing::WithParamInterface<SsidCase> {};

TEST_P(SsidTest, AnyInAnyCaseAsksForNoParticularNetwork) {
  const SsidCase &c = GetParam();
  rig.setParm("SSID", c.ssid);
  start();
  Bytes ssid = nameRecord(RID_SSID);
  ASSERT_EQ(ssid.size(), 34u);
  EXPECT_EQ(le16(ssid, 0), c.length);
  for (std::size_t i = 0; i < c.length; ++i) EXPECT_EQ(ssid[2 + i], static_cast<std::uint8_t>(c.ssid[i])) << i;
}

INSTANTIATE_TEST_SUITE_P(Names, SsidTest,
                         ::testing::Values(SsidCase{"LowerAny", u"any", 0}, SsidCase{"CapitalAny", u"Any", 0},
                                           SsidCase{"UpperAny", u"ANY", 0}, SsidCase{"MixedAny", u"aNy", 0},
                                           SsidCase{"LongerStartingWithAny", u"anybody", 7},
                                           SsidCase{"TwoLetters", u"AN", 2}, SsidCase{"Empty", u"", 0},
                                           SsidCase{"Longest", std::u16string(32, u'x'), 32},
                                           SsidCase{"CutAt32", std::u16string(40, u'y'), 32}),
                         [](const auto &info) { return std::string(info.param.what); });

TEST_F(BringUpTest, AStationNameOf32CharactersIsSentWhole) {
  std::u16string name;
  for (int i = 0; i < 32; ++i) name.push_back(static_cast<char16_t>(u'A' + i % 26));
  rig.setParm("StationName", name);
  start();
  Bytes record = nameRecord(RID_STATION_NAME);
  ASSERT_EQ(record.size(), 34u);
  EXPECT_EQ(le16(record, 0), 32);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(record[2 + i], name[i]) << i;
}

struct PowerCase {
  const char *what;
  std::uint32_t mode, level;
  std::uint16_t modeWord, levelWord;
};
void PrintTo(const PowerCase &c, std::ostream *os) { *os << c.what; }

class PowerTest : public BringUpTest, public ::testing::WithParamInterface<PowerCase> {};

TEST_P(PowerTest, PowerManagementOnlyAboveOne) {
  const PowerCase &c = GetParam();
  rig.setParm("PSMode", c.mode);
  rig.setParm("PSLevel", c.level);
  start();
  EXPECT_EQ(rig.controller->recordWord(RID_PS_MODE), std::optional<std::uint16_t>(c.modeWord));
  EXPECT_EQ(rig.controller->recordWord(RID_PS_LEVEL), std::optional<std::uint16_t>(c.levelWord));
}

INSTANTIATE_TEST_SUITE_P(Settings, PowerTest,
                         ::testing::Values(PowerCase{"ModeZero", 0, 0, 0, 0}, PowerCase{"ModeOne", 1, 0, 0, 0},
                                           PowerCase{"ModeTwo", 2, 1, 1, 1}, PowerCase{"LevelSeven", 3, 7, 1, 1},
                                           PowerCase{"ModeLow16Bits", 0x10001, 0x10000, 0, 0}),
                         [](const auto &info) { return std::string(info.param.what); });

TEST_F(BringUpTest, LinkStatusStartsConnectedOnlyWithoutAssociation) {
  for (std::uint32_t type : {1u, 3u}) {
    SCOPED_TRACE(type);
    DriverRig local(linkedDriver());
    local.install();
    local.setParm("NetworkType", type);
    // Right after initialisation, before the controller's own link report is served.
    ASSERT_EQ(local.initialize().status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(local.record()->LinkStatus, type == 3 ? 1 : 4);
    local.halt();
  }
}

struct WepRequestCase {
  const char *name;
  std::optional<std::uint32_t> wepReq;  // nullopt: the value is missing
  std::uint16_t flags;
};

void PrintTo(const WepRequestCase &c, std::ostream *os) { *os << c.name; }

class WepRequestTest : public BringUpTest, public ::testing::WithParamInterface<WepRequestCase> {};

// The keys go to a controller with WEP whatever is asked; encryption only when "WepReq" asks
// for it, so that an open network's first frames leave in the clear.
TEST_P(WepRequestTest, ProgramsTheRegistryKeysAndSwitchesWepOnOnlyWhenAskedTo) {
  Bytes keys = pattern(20, 0x31);
  rig.setParmBinary("DefaultKeys", keys);
  rig.setParm("DefaultKeyId", 2);
  if (GetParam().wepReq)
    rig.setParm("WepReq", *GetParam().wepReq);
  else
    rig.registry.store().deleteValue(DriverRig::kParms, "WepReq");
  start();
  EXPECT_EQ(rig.record()->WepSupported, 1);
  EXPECT_EQ(rig.controller->recordWord(RID_WEP_DEFAULT_KEY_ID), std::optional<std::uint16_t>(2));
  for (int k = 0; k < 4; ++k) {
    Bytes expected(keys.begin() + 5 * k, keys.begin() + 5 * k + 5);
    expected.push_back(0);  // the pad byte
    EXPECT_EQ(rig.controller->record(static_cast<std::uint16_t>(RID_WEP_DEFAULT_KEY1 + k)), expected) << k;
  }
  EXPECT_EQ(rig.controller->recordWord(RID_WEP_FLAGS), std::optional<std::uint16_t>(GetParam().flags));
}

INSTANTIATE_TEST_SUITE_P(Requests, WepRequestTest,
                         ::testing::Values(WepRequestCase{"Off", 0, 0}, WepRequestCase{"On", 1, 3},
                                           WepRequestCase{"HighBitsOnly", 0x10000, 3},
                                           WepRequestCase{"Missing", std::nullopt, 0}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(BringUpTest, AControllerWithoutWepGetsNoWepRecords) {
  rig.controller->addFault(sim::parseFault("rid-unreadable=0xFD4F"));
  start();
  EXPECT_EQ(rig.record()->WepSupported, 0);
  auto written = recordsAccessed(rig.bus, CMD_ACCESS_WRITE);
  for (std::uint16_t rid = RID_WEP_DEFAULT_KEY_ID; rid <= RID_WEP_FLAGS; ++rid)
    EXPECT_EQ(std::count(written.begin(), written.end(), rid), 0) << std::hex << rid;
  EXPECT_EQ(written.size(), 14u);  // the configuration records still go
}

TEST_F(BringUpTest, AKeyThatNeverReadsBackStopsWepProgrammingButNotConfiguration) {
  rig.controller->addFault(sim::parseFault("rid-readback=0xFC26"));
  start();
  EXPECT_EQ(rig.record()->WepSupported, 0);
  auto written = recordsAccessed(rig.bus, CMD_ACCESS_WRITE);
  ASSERT_GE(written.size(), 3u);
  EXPECT_EQ(std::vector<std::uint16_t>(written.begin(), written.begin() + 3),
            (std::vector<std::uint16_t>{RID_WEP_DEFAULT_KEY_ID, RID_WEP_DEFAULT_KEY1, RID_WEP_DEFAULT_KEY2}));
  for (std::uint16_t rid : {RID_WEP_DEFAULT_KEY3, RID_WEP_DEFAULT_KEY4, RID_WEP_FLAGS})
    EXPECT_EQ(std::count(written.begin(), written.end(), rid), 0) << std::hex << rid;
  EXPECT_EQ(written.size(), 3u + 14u);
  EXPECT_EQ(rig.controller->recordWord(RID_WEP_FLAGS), std::optional<std::uint16_t>(0));
}

TEST_F(BringUpTest, UnreadableIdentityRecordsGiveDefinedValues) {
  rig.controller->addFault(sim::parseFault("rid-unreadable=0xFD01"));
  rig.controller->addFault(sim::parseFault("rid-unreadable=0xFDC0"));
  start();
  PADAPTER a = rig.record();
  EXPECT_EQ(a->DownloadBufferPage, 0);
  EXPECT_EQ(a->DownloadBufferOffset, 0);
  EXPECT_EQ(a->DownloadBufferLength, 0);
  EXPECT_EQ(a->PhyType, 2);
  EXPECT_EQ(a->RegulatoryDomain, 16);
}

TEST_F(BringUpTest, ThePhyTypeIsTheLowByteOfTheRecord) {
  rig.tap->setReadHook([](const PortTap::Read &r) -> std::uint16_t {
    if (r.path >= 0 && r.selected == RID_PHY_TYPE && r.position == 4) return 0x0305;
    return r.value;
  });
  start();
  EXPECT_EQ(rig.record()->PhyType, 5);
}

// ---------------------------------------------------------------------------------------------
// Transmit buffer pool

class AllocLimitTest : public BringUpTest {
 protected:
  AllocLimitTest() : BringUpTest(options()) {}
  static sim::ControllerOptions options() {
    sim::ControllerOptions o;
    o.faults.push_back(sim::parseFault("alloc-limit=3"));
    return o;
  }
};

TEST_F(AllocLimitTest, OnlyTheAnsweredAllocationsMakeSlotsReady) {
  start();
  EXPECT_EQ(slotCount(rig.record()->TxSlotsReady), 3u);
  EXPECT_EQ(slotCount(rig.record()->TxSlotsAwaitingBuffer), 2u);
  EXPECT_EQ(recordsAccessed(rig.bus, CMD_ALLOCATE).size(), 5u);
}

TEST_F(BringUpTest, AllocationsAnsweredLateFillTheWaitingSlotsFromTheInterruptHandler) {
  // The controller answers every allocation, but configuration does not see it in time.
  bool hide = true;
  rig.tap->setReadHook([&](const PortTap::Read &r) -> std::uint16_t {
    if (hide && r.offset == REG_EVENT_STATUS) return static_cast<std::uint16_t>(r.value & ~EV_ALLOC);
    return r.value;
  });
  start();
  EXPECT_EQ(slotCount(rig.record()->TxSlotsReady), 0u);
  EXPECT_EQ(slotCount(rig.record()->TxSlotsAwaitingBuffer), 5u);
  hide = false;
  rig.settle();
  EXPECT_EQ(slotCount(rig.record()->TxSlotsReady), 5u);
  EXPECT_EQ(slotCount(rig.record()->TxSlotsAwaitingBuffer), 0u);
  std::vector<std::uint16_t> fids;
  for (PTX_SLOT s = rig.record()->TxSlotsReady; s; s = s->Next) fids.push_back(s->Fid);
  std::vector<std::uint16_t> held = rig.controller->transmitBuffers();
  std::sort(fids.begin(), fids.end());
  std::sort(held.begin(), held.end());
  EXPECT_EQ(fids, held);
}

// ---------------------------------------------------------------------------------------------
// The port

TEST_F(BringUpTest, DisableAndRestartSwitchThePort) {
  start();
  EXPECT_TRUE(rig.controller->portEnabled());
  EXPECT_TRUE(rig.call([](PADAPTER a) { return DisablePort(a); }));
  EXPECT_FALSE(rig.controller->portEnabled());
  EXPECT_TRUE(rig.call([](PADAPTER a) { return RestartPort(a); }));
  EXPECT_TRUE(rig.controller->portEnabled());
}

TEST_F(BringUpTest, ARestartWhoseDisableFailsDoesNotEnable) {
  start();
  rig.controller->addFault(sim::parseFault("command-error=0x0002"));
  rig.bus.clearTrace();
  EXPECT_FALSE(rig.call([](PADAPTER a) { return RestartPort(a); }));
  EXPECT_EQ(commandCodes(rig.bus), std::vector<std::uint16_t>{CMD_DISABLE});
}

TEST_F(BringUpTest, InitialisationResetsTheDriversControllerState) {
  start();
  rig.settle();
  PADAPTER a = rig.record();
  a->AccessPathBusy = 3;
  a->TransmitSuppressed = 1;
  a->TransmitTag = 77;
  a->Tallies[0] = 5;
  a->Tallies[43] = 9;
  EXPECT_TRUE(rig.call([](PADAPTER r) { return InitializeController(r); }));
  EXPECT_EQ(a->AccessPathBusy, 0);
  EXPECT_EQ(a->TransmitSuppressed, 0);
  EXPECT_EQ(a->TransmitTag, 1);
  EXPECT_TRUE(std::all_of(a->Tallies, a->Tallies + TALLY_COUNT, [](ULONG t) { return t == 0; }));
  EXPECT_EQ(a->TxSlotsReady, nullptr);
  // All five slots wait, slot 4 first.
  std::vector<PTX_SLOT> order;
  for (PTX_SLOT s = a->TxSlotsAwaitingBuffer; s; s = s->Next) order.push_back(s);
  EXPECT_EQ(order, (std::vector<PTX_SLOT>{&a->TxSlots[4], &a->TxSlots[3], &a->TxSlots[2], &a->TxSlots[1],
                                          &a->TxSlots[0]}));
  EXPECT_FALSE(rig.controller->portEnabled());
  EXPECT_TRUE(rig.controller->transmitBuffers().empty());
}

}  // namespace
}  // namespace teskel::test
