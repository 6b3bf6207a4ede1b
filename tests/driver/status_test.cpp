// The one-second status timer on the virtual clock: what it publishes in the registry store, what
// it gathers from the controller, the WEP values it applies, and the diagnostic log it appends to.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "linked_driver.h"
#include "port_trace.h"

namespace teskel::test {
namespace {

namespace fs = std::filesystem;

constexpr Micros kSecond = 1000000;
const char *const kLinkFailed = "Fenwa_GetInfo: GetLinkStatus() FAILED\n";
const Bytes kInstalledKeys = {0x11, 0x12, 0x13, 0x14, 0x15, 0x21, 0x22, 0x23, 0x24, 0x25,
                              0x31, 0x32, 0x33, 0x34, 0x35, 0x41, 0x42, 0x43, 0x44, 0x45};

Bytes dword(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

class StatusTest : public RigTest {
 protected:
  explicit StatusTest(sim::ControllerOptions options = {}) : RigTest(std::move(options)) {}

  void SetUp() override {
    // Each test is a fresh load of the driver as far as its log goes.
    if (LogFile) fclose(LogFile);
    LogFile = NULL;
    rig.install();
    rig.setParmBinary("DefaultKeys", kInstalledKeys);
    rig.setParm("DefaultKeyId", 2);
    // Configured with WEP on (flags 3), so that whatever a tick writes shows; the ticks find it
    // off, as installed, until a test asks for it.
    rig.setParm("WepReq", 1);
    rig.bringUp();
    ASSERT_FALSE(HasFatalFailure());
    rig.setParm("WepReq", 0);
  }
  void TearDown() override {
    if (LogFile) fclose(LogFile);
    LogFile = NULL;
  }

  // Runs the clock over the next `count` ticks (the first comes one second after initialisation).
  void ticks(int count = 1) { rig.loop.runFor(count * kSecond); }

  std::optional<registry::Value> value(const std::string &name) {
    return rig.registry.store().getValue(DriverRig::kParms, name);
  }
  std::uint32_t dwordOf(const std::string &name) {
    auto v = value(name);
    EXPECT_TRUE(v && v->type == REG_DWORD && v->data.size() == 4) << name;
    if (!v || v->data.size() != 4) return 0xDEADBEEF;
    return v->data[0] | v->data[1] << 8 | v->data[2] << 16 | static_cast<std::uint32_t>(v->data[3]) << 24;
  }
  void setCounters(ULONG out3, ULONG out4, ULONG in13, ULONG in14) {
    PADAPTER a = rig.record();
    a->Tallies[3] = out3;
    a->Tallies[4] = out4;
    a->Tallies[13] = in13;
    a->Tallies[14] = in14;
  }

  fs::path logPath() const { return rig.registry.folder() / "fenwa_log.txt"; }
  std::string logText() const {
    std::ifstream in(logPath(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // The 5 key bytes of a WEP key record.
  Bytes keyOf(std::uint16_t rid) const {
    Bytes record = rig.controller->record(rid).value_or(Bytes(6, 0xEE));
    return Bytes(record.begin(), record.begin() + 5);
  }
};

// ---------------------------------------------------------------------------------------------
// Publishing

TEST_F(StatusTest, TheFirstTickCreatesTheKeyWithTheThreeValuesAsDwords) {
  rig.registry.store().deleteKey(DriverRig::kParms);
  setCounters(100, 20, 7, 5);
  ticks();
  EXPECT_EQ(dwordOf("LinkState"), 1u);
  EXPECT_EQ(dwordOf("bytein"), 12u);
  EXPECT_EQ(dwordOf("byteout"), 120u);
  EXPECT_EQ(rig.record()->StatusInitialized, 1u);
  // Without "WepReq" the controller's WEP state stays as configuration left it.
  EXPECT_EQ(rig.controller->recordWord(RID_WEP_FLAGS), 3);
  EXPECT_FALSE(fs::exists(logPath()));
}

// The tick re-arms before its work, so its work does not push the next one later.
TEST_F(StatusTest, TicksStartOneSecondApart) {
  std::vector<Micros> starts, ends;
  rig.tap->setReadHook([&](const PortTap::Read &r) -> std::uint16_t {
    if (r.path >= 0 && r.position == 0 && r.selected == RID_PORT_STATUS) starts.push_back(rig.loop.now());
    if (r.path >= 0 && r.position == 0 && r.selected == RID_CURRENT_CHANNEL) ends.push_back(rig.loop.now());
    return r.value;
  });
  ticks(4);
  ASSERT_EQ(starts.size(), 4u);
  ASSERT_EQ(ends.size(), 4u);
  EXPECT_GT(ends[0], starts[0]);
  for (std::size_t i = 1; i < starts.size(); ++i) EXPECT_EQ(starts[i] - starts[i - 1], kSecond) << i;
}

// Another process's long transaction (an import of a large file) holds the store: the ticks go on
// one a second without waiting for it, their registry calls failing as a device's fail, and the
// first tick after it publishes again.
TEST_F(StatusTest, AnotherProcessHoldingTheStoreNeitherStopsNorSlowsTheTicks) {
  rig.registry.store().setValue(DriverRig::kParms, "LinkState", REG_DWORD, dword(0xEE));
  auto timerRuns = [&] {
    for (const auto &entry : rig.adapter->entryPointTimes())
      if (entry.entry == "timer function") return std::make_pair(entry.calls, entry.longest);
    return std::make_pair(std::uint64_t{0}, std::chrono::nanoseconds{0});
  };
  const auto before = timerRuns();
  // A connection of its own, as another process has; the import waits on the test, not on time.
  registry::Store other(rig.registry.store().file());
  std::promise<void> holding, finish;
  std::thread import([&] {
    other.batch([&] {
      other.setValue("Imported", "v", REG_DWORD, dword(1));
      holding.set_value();
      finish.get_future().wait();
    });
  });
  holding.get_future().wait();
  ticks(5);
  const auto during = timerRuns();
  finish.set_value();
  import.join();

  EXPECT_EQ(during.first, before.first + 5);
  EXPECT_LT(during.second, std::chrono::milliseconds(500)) << "a tick waited for the other process";
  EXPECT_EQ(dwordOf("LinkState"), 0xEEu) << "the ticks wrote while the other process held the store";
  ticks();
  EXPECT_EQ(dwordOf("LinkState"), 1u);
  EXPECT_TRUE(rig.registry.store().getValue("Imported", "v"));
}

struct TypeCase {
  const char *what;
  std::optional<std::uint32_t> type;  // of the "LinkState" someone stored; none: deleted
  Bytes data;
  std::uint32_t written;              // the type of the three values after the next tick
};
void PrintTo(const TypeCase &c, std::ostream *os) { *os << c.what; }

class StatusTypeTest : public StatusTest, public ::testing::WithParamInterface<TypeCase> {};

// The three values are always 4 bytes; only a 4-byte "LinkState" of another type lends its type.
TEST_P(StatusTypeTest, TheWritesAreFourBytesOfTheTypeALinkStateOfFourBytesHas) {
  const TypeCase &c = GetParam();
  ticks();
  if (c.type) {
    rig.registry.store().setValue(DriverRig::kParms, "LinkState", *c.type, c.data);
  } else {
    rig.registry.store().deleteValue(DriverRig::kParms, "LinkState");
  }
  setCounters(0x01020304, 0, 0x0A0B0C0D, 0);
  ticks();
  const std::pair<const char *, std::uint32_t> expected[] = {
      {"LinkState", 1}, {"bytein", 0x0A0B0C0D}, {"byteout", 0x01020304}};
  for (const auto &[name, number] : expected) {
    auto v = value(name);
    ASSERT_TRUE(v) << name;
    EXPECT_EQ(v->type, c.written) << name;
    EXPECT_EQ(v->data, dword(number)) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Types, StatusTypeTest,
    ::testing::Values(TypeCase{"Dword", REG_DWORD, dword(6), REG_DWORD},
                      TypeCase{"FourBinaryBytes", REG_BINARY, dword(6), REG_BINARY},
                      TypeCase{"EightBinaryBytes", REG_BINARY, Bytes(8, 0x66), REG_DWORD},
                      TypeCase{"LongText", REG_SZ, Bytes(40, 0x41), REG_DWORD},
                      TypeCase{"TwoBytes", REG_BINARY, Bytes{1, 0}, REG_DWORD},
                      TypeCase{"Deleted", std::nullopt, {}, REG_DWORD}),
    [](const auto &info) { return std::string(info.param.what); });

struct RegistryFailureCase {
  const char *what;
  registry::FailOp op;
  const char *name;
  std::vector<const char *> written;  // values written by the failing tick
};
void PrintTo(const RegistryFailureCase &c, std::ostream *os) { *os << c.what; }

class StatusRegistryFailureTest : public StatusTest, public ::testing::WithParamInterface<RegistryFailureCase> {};

// A registry call that fails ends the tick where it happened; the next tick starts over.
TEST_P(StatusRegistryFailureTest, EndsTheTickAtTheFailedCall) {
  const RegistryFailureCase &c = GetParam();
  for (const char *name : {"LinkState", "bytein", "byteout"})
    rig.registry.store().setValue(DriverRig::kParms, name, REG_DWORD, dword(0xEE));
  rig.registry.store().failOn(c.op, DriverRig::kParms, c.name, 1);
  ticks();
  for (const char *name : {"LinkState", "bytein", "byteout"}) {
    bool written = std::find_if(c.written.begin(), c.written.end(), [&](const char *w) {
                     return std::string(w) == name;
                   }) != c.written.end();
    EXPECT_EQ(value(name)->data != dword(0xEE), written) << name;
  }
  // The WEP poll did not run: configuration's flags are still there.
  EXPECT_EQ(rig.controller->recordWord(RID_WEP_FLAGS), 3);
  ticks();
  EXPECT_EQ(dwordOf("LinkState"), 1u);
  EXPECT_EQ(rig.controller->recordWord(RID_WEP_FLAGS), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, StatusRegistryFailureTest,
    ::testing::Values(RegistryFailureCase{"KeyNotOpened", registry::FailOp::CreateKey, "*", {}},
                      RegistryFailureCase{"ByteinNotWritten", registry::FailOp::SetValue, "bytein", {"LinkState"}},
                      RegistryFailureCase{"KeyNotReopened", registry::FailOp::OpenKey, "*",
                                          {"LinkState", "bytein", "byteout"}},
                      RegistryFailureCase{"WepReqUnreadable", registry::FailOp::QueryValue, "WepReq",
                                          {"LinkState", "bytein", "byteout"}}),
    [](const auto &info) { return std::string(info.param.what); });

// ---------------------------------------------------------------------------------------------
// An unreadable link status, and the log

TEST_F(StatusTest, AnUnreadableLinkStatusPublishesSevenAppendsOneLineAndAsksNothingMore) {
  ticks();
  rig.settle();  // the tally report of that tick is in
  {
    std::ofstream earlier(logPath(), std::ios::binary);
    earlier << "earlier line\n";
  }
  rig.controller->addFault(sim::parseFault("rid-unreadable=0xFD40"));
  setCounters(1000, 24, 300, 33);
  rig.bus.setTracing(true);
  ticks();
  EXPECT_EQ(dwordOf("LinkState"), 7u);
  EXPECT_EQ(dwordOf("bytein"), 333u);
  EXPECT_EQ(dwordOf("byteout"), 1024u);
  EXPECT_EQ(logText(), std::string("earlier line\n") + kLinkFailed);
  // Only the port status was asked for; the WEP poll still ran.
  ASSERT_FALSE(recordsAccessed(rig.bus, CMD_ACCESS_READ).empty());
  EXPECT_EQ(recordsAccessed(rig.bus, CMD_ACCESS_READ).front(), RID_PORT_STATUS);
  for (std::uint16_t rid : recordsAccessed(rig.bus, CMD_ACCESS_READ))
    EXPECT_TRUE(rid == RID_PORT_STATUS || rid == RID_WEP_FLAGS) << std::hex << rid;
  EXPECT_TRUE(recordsAccessed(rig.bus, CMD_INQUIRE).empty());
  EXPECT_EQ(rig.controller->recordWord(RID_WEP_FLAGS), 0);

  ticks();
  EXPECT_EQ(logText(), std::string("earlier line\n") + kLinkFailed + kLinkFailed);
}

TEST_F(StatusTest, AnUnwritableLogLosesTheMessageAndTheNextOneRetries) {
  fs::create_directory(logPath());  // where the file should be
  rig.controller->addFault(sim::parseFault("rid-unreadable=0xFD40"));
  ticks();
  EXPECT_EQ(dwordOf("LinkState"), 7u);
  EXPECT_EQ(LogFile, nullptr);
  EXPECT_EQ(rig.controller->recordWord(RID_WEP_FLAGS), 0);

  fs::remove(logPath());
  ticks();
  EXPECT_EQ(logText(), kLinkFailed);
  rig.controller->clearFaults();
  ticks();
  EXPECT_EQ(dwordOf("LinkState"), 1u);
  EXPECT_EQ(logText(), kLinkFailed);
}

struct GatherFailureCase {
  std::uint16_t rid;
  const char *line;
};
void PrintTo(const GatherFailureCase &c, std::ostream *os) { *os << std::hex << c.rid; }

class StatusGatherFailureTest : public StatusTest, public ::testing::WithParamInterface<GatherFailureCase> {};

TEST_P(StatusGatherFailureTest, AFailedReadIsLoggedAndTheTickGoesOn) {
  rig.controller->addFault(sim::parseFault("rid-unreadable=" + std::to_string(GetParam().rid)));
  setCounters(5, 0, 9, 0);
  ticks();
  EXPECT_EQ(logText(), GetParam().line);
  EXPECT_EQ(dwordOf("LinkState"), 1u);
  EXPECT_EQ(dwordOf("bytein"), 9u);
  EXPECT_EQ(rig.controller->recordWord(RID_WEP_FLAGS), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, StatusGatherFailureTest,
    ::testing::Values(GatherFailureCase{RID_COMMS_QUALITY, "Fenwa_GetInfo: GetRid(RID_COMMS_QUALITY) FAILED\n"},
                      GatherFailureCase{RID_CURRENT_CHANNEL, "Fenwa_GetInfo: GetChannel() FAILED\n"}),
    [](const auto &info) { return info.param.rid == RID_COMMS_QUALITY ? "Quality" : "Channel"; });

// ---------------------------------------------------------------------------------------------
// What the gathering reads

struct QualityCase {
  ULONG networkType;
  std::uint16_t quality, signal;
  ULONG expectedQuality, expectedSignal;
};
void PrintTo(const QualityCase &c, std::ostream *os) {
  *os << "type " << c.networkType << " words " << c.quality << "," << c.signal;
}

class StatusQualityTest : public StatusTest, public ::testing::WithParamInterface<QualityCase> {};

TEST_P(StatusQualityTest, QualityAndSignalAreScaledAndCappedInInfrastructureOnly) {
  const QualityCase &c = GetParam();
  // The record words as the controller would give them on such a link.
  rig.tap->setReadHook([&c](const PortTap::Read &r) -> std::uint16_t {
    if (r.path < 0 || r.position < 4) return r.value;
    if (r.selected == RID_COMMS_QUALITY && r.position == 4) return c.quality;
    if (r.selected == RID_COMMS_QUALITY && r.position == 6) return c.signal;
    if (r.selected == RID_CURRENT_CHANNEL && r.position == 4) return 9;
    return r.value;
  });
  rig.settle();
  rig.record()->NetworkType = c.networkType;
  rig.bus.setTracing(true);
  STATUS_INFO info;
  std::memset(&info, 0, sizeof info);
  EXPECT_EQ(rig.call([&](PADAPTER a) { return Fenwa_GetInfo(a, &info); }), 0);
  EXPECT_EQ(info.Quality, c.expectedQuality);
  EXPECT_EQ(info.SignalLevel, c.expectedSignal);
  EXPECT_EQ(info.LinkState, 1u);
  EXPECT_EQ(info.Channel, 9);
  // The network joined: configured with WEP on, the card passes over open Harbor.
  EXPECT_EQ(Bytes(info.Bssid, info.Bssid + 6), *rig.controller->record(sim::hw::kRidCurrentBssid));
  std::vector<std::uint16_t> expected = {RID_PORT_STATUS, RID_CURRENT_BSSID, RID_CURRENT_BSSID};
  if (c.networkType == 1) expected.push_back(RID_COMMS_QUALITY);
  expected.push_back(RID_CURRENT_CHANNEL);
  EXPECT_EQ(recordsAccessed(rig.bus, CMD_ACCESS_READ), expected);
  EXPECT_EQ(recordsAccessed(rig.bus, CMD_INQUIRE), std::vector<std::uint16_t>{0xF100});
}

INSTANTIATE_TEST_SUITE_P(Levels, StatusQualityTest,
                         ::testing::Values(QualityCase{1, 80, 200, 15, 15}, QualityCase{1, 42, 57, 8, 5},
                                           QualityCase{1, 79, 159, 15, 15}, QualityCase{3, 80, 200, 0, 0}));

// ---------------------------------------------------------------------------------------------
// WEP values applied while the adapter runs

struct WepCase {
  const char *what;
  std::uint32_t wepReq;
  std::optional<Bytes> defaultKeys;  // none: left as installed
  std::uint16_t flags;               // WEP flags after the tick
  Bytes key1;                        // key 1 after the tick
  std::uint16_t keyId;               // default key id after the tick
  bool box;                          // "DefaultKeys: fail" shown
};
void PrintTo(const WepCase &c, std::ostream *os) { *os << c.what; }

class StatusWepTest : public StatusTest, public ::testing::WithParamInterface<WepCase> {};

TEST_P(StatusWepTest, TheRegistryReachesTheControllerWithinOneTick) {
  const WepCase &c = GetParam();
  const Bytes installedKey1(kInstalledKeys.begin(), kInstalledKeys.begin() + 5);
  ASSERT_EQ(rig.controller->recordWord(RID_WEP_FLAGS), 3);
  ASSERT_EQ(rig.controller->recordWord(RID_WEP_DEFAULT_KEY_ID), 2);
  rig.setParm("WepReq", c.wepReq);
  if (c.defaultKeys) rig.setParmBinary("DefaultKeys", *c.defaultKeys);
  ticks();
  EXPECT_EQ(rig.controller->recordWord(RID_WEP_FLAGS), c.flags);
  EXPECT_EQ(rig.controller->recordWord(RID_WEP_DEFAULT_KEY_ID), c.keyId);
  EXPECT_EQ(keyOf(RID_WEP_DEFAULT_KEY1), c.key1);
  for (int k = 1; k < 4; ++k) {
    EXPECT_EQ(keyOf(static_cast<std::uint16_t>(RID_WEP_DEFAULT_KEY1 + k)),
              Bytes(kInstalledKeys.begin() + 5 * k, kInstalledKeys.begin() + 5 * k + 5))
        << "key " << k + 1;
  }
  if (c.box) {
    ASSERT_EQ(rig.host->messageBoxes().size(), 1u);
    EXPECT_EQ(rig.host->messageBoxes()[0].caption, "Debug");
    EXPECT_EQ(rig.host->messageBoxes()[0].text, "DefaultKeys: fail");
    EXPECT_EQ(rig.host->messageBoxes()[0].adapter, DriverRig::kInstance);
    // Answered at once: the next tick runs and asks again.
    ticks();
    EXPECT_EQ(rig.host->messageBoxes().size(), 2u);
  } else {
    EXPECT_TRUE(rig.host->messageBoxes().empty());
    EXPECT_EQ(rig.record()->WepSupported, 1);
  }
  EXPECT_TRUE(rig.controller->violations().empty()) << rig.controller->violations().front();
}

INSTANTIATE_TEST_SUITE_P(
    Values, StatusWepTest,
    ::testing::Values(
        WepCase{"Off", 0, std::nullopt, 0, {0x11, 0x12, 0x13, 0x14, 0x15}, 2, false},
        WepCase{"HighHalfOnlyIsOff", 0x10000, std::nullopt, 0, {0x11, 0x12, 0x13, 0x14, 0x15}, 2, false},
        WepCase{"OnWithInstalledKeys", 1, std::nullopt, 1, {0x11, 0x12, 0x13, 0x14, 0x15}, 0, false},
        WepCase{"FiveBytesChangeKey1Only", 0x20001, Bytes{0xA1, 0xA2, 0xA3, 0xA4, 0xA5}, 1,
                {0xA1, 0xA2, 0xA3, 0xA4, 0xA5}, 0, false},
        WepCase{"ThreeBytesZeroTheRestOfKey1", 1, Bytes{0xB1, 0xB2, 0xB3}, 1, {0xB1, 0xB2, 0xB3, 0, 0}, 0, false},
        WepCase{"MoreThanTwentyBytesFail", 1, Bytes(21, 0xC1), 3, {0x11, 0x12, 0x13, 0x14, 0x15}, 2, true}),
    [](const auto &info) { return std::string(info.param.what); });

TEST_F(StatusTest, AFailedWepRecordClearsWepSupportedAndLaterTicksTryAgain) {
  rig.setParm("WepReq", 1);
  rig.controller->addFault(sim::parseFault("rid-readback=0xFC26"));
  ticks();
  EXPECT_EQ(rig.record()->WepSupported, 0);
  // Key 3 never took, so neither did anything after it.
  EXPECT_EQ(rig.controller->recordWord(RID_WEP_FLAGS), 3);
  rig.controller->clearFaults();
  ticks();
  EXPECT_EQ(rig.controller->recordWord(RID_WEP_FLAGS), 1);
}

}  // namespace
}  // namespace teskel::test
