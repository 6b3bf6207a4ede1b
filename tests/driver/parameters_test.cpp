// The registry parameters an adapter starts with: installed values, defaults for missing or
// unreadable ones, the privacy flags, text limits and the parsing of the key text.
#include <cstring>

#include "linked_driver.h"

namespace teskel::test {
namespace {

using ndis::Call;

const char *const kSixteen[] = {"NetworkType", "DSChannel",  "ATIMWindow",  "ListenInterval", "WepReq",  "DefaultKeys",
                                "DefaultKeyId", "RTSThresh", "FragThresh",  "TxRate",         "SSID",    "StationName",
                                "VendorDesc",   "PSMode",    "PSLevel",     "Encapsulation"};

class ParametersTest : public RigTest {
 protected:
  void SetUp() override { rig.install(); }
  PADAPTER start() {
    ndis::InitializeResult r = rig.initialize();
    EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
    return r.status == NDIS_STATUS_SUCCESS ? rig.record() : nullptr;
  }
  static Bytes keys(PADAPTER a) { return Bytes(a->DefaultKeys, a->DefaultKeys + DEFAULT_KEYS_SIZE); }
};

TEST_F(ParametersTest, TheInstalledValuesLandInTheRecord) {
  PADAPTER a = start();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->NetworkType, 1u);
  EXPECT_EQ(a->NetworkTypeByte, 1);
  EXPECT_EQ(a->DSChannel, 1u);
  EXPECT_EQ(a->ATIMWindow, 0u);
  EXPECT_EQ(a->ListenInterval, 3u);
  EXPECT_EQ(a->PrivacyInvoked, 0);
  EXPECT_EQ(a->ExcludeUnencrypted, 0);
  EXPECT_EQ(keys(a), Bytes(20, 0));
  EXPECT_EQ(a->DefaultKeyId, 0);
  EXPECT_EQ(a->RTSThresh, 2432u);
  EXPECT_EQ(a->FragThresh, 2500u);
  EXPECT_EQ(a->TxRate, 15u);
  EXPECT_STREQ(a->SSID, "any");
  EXPECT_EQ(a->SsidLength, 3);
  EXPECT_STREQ(a->StationName, "Client");
  EXPECT_STREQ(a->VendorDescription, "Halden IEEE 802.11 Adapter");
  EXPECT_EQ(a->PSMode, 1);
  EXPECT_EQ(a->PSLevel, 0);
  EXPECT_EQ(a->Encapsulation, 2);
}

TEST_F(ParametersTest, MissingValuesLeaveZerosExceptThreeDefaults) {
  for (const char *name : kSixteen) rig.removeParm(name);
  PADAPTER a = start();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->NetworkType, 0u);
  EXPECT_EQ(a->NetworkTypeByte, 0);
  EXPECT_EQ(a->DSChannel, 0u);
  EXPECT_EQ(a->ListenInterval, 0u);
  EXPECT_EQ(a->PrivacyInvoked, 0);
  EXPECT_EQ(keys(a), Bytes(20, 0));
  EXPECT_EQ(a->RTSThresh, 0u);
  EXPECT_EQ(a->FragThresh, 0u);
  EXPECT_EQ(a->TxRate, 0u);
  EXPECT_EQ(a->SSID[0], 0);
  EXPECT_EQ(a->SsidLength, 0);
  EXPECT_EQ(a->StationName[0], 0);
  EXPECT_EQ(a->VendorDescription[0], 0);
  EXPECT_EQ(a->PSMode, 1);
  EXPECT_EQ(a->PSLevel, 0);
  EXPECT_EQ(a->Encapsulation, 2);
}

// A keyword the configuration reader cannot deliver counts as missing.
TEST_F(ParametersTest, AnUnreadableKeywordCountsAsMissing) {
  rig.setParm("PSMode", 5);
  rig.setParm("Encapsulation", 7);
  rig.setParm("DSChannel", 9);
  rig.load();
  rig.host->failKeyword("PSMode");
  rig.host->failKeyword("Encapsulation");
  rig.host->failKeyword("DSChannel");
  PADAPTER a = start();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->PSMode, 1);
  EXPECT_EQ(a->Encapsulation, 2);
  EXPECT_EQ(a->DSChannel, 0u);
}

TEST_F(ParametersTest, ValuesOfTheWrongKindCountAsMissing) {
  rig.setParmBinary("PSMode", {5, 0, 0, 0});
  rig.setParm("SSID", 7);
  rig.setParm("DSChannel", u"11");  // text that reads as a number is a number
  PADAPTER a = start();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->PSMode, 1);
  EXPECT_EQ(a->SSID[0], 0);
  EXPECT_EQ(a->SsidLength, 0);
  EXPECT_EQ(a->DSChannel, 11u);
}

TEST_F(ParametersTest, OnlyTheLowBitsOfNarrowFieldsAreKept) {
  rig.setParm("NetworkType", 0x1203);
  rig.setParm("DefaultKeyId", 0x102);
  rig.setParm("PSLevel", 0x10001);
  rig.setParm("Encapsulation", 0x301);
  PADAPTER a = start();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->NetworkType, 0x1203u);
  EXPECT_EQ(a->NetworkTypeByte, 0x03);
  EXPECT_EQ(a->DefaultKeyId, 2);
  EXPECT_EQ(a->PSLevel, 1);
  EXPECT_EQ(a->Encapsulation, 1);
}

struct WepCase {
  const char *what;
  std::optional<std::uint32_t> value;
  UCHAR flags;
};
void PrintTo(const WepCase &c, std::ostream *os) { *os << c.what; }

class WepReqTest : public ParametersTest, public ::testing::WithParamInterface<WepCase> {};

TEST_P(WepReqTest, AnyNonZeroValueInvokesPrivacy) {
  if (GetParam().value) {
    rig.setParm("WepReq", *GetParam().value);
  } else {
    rig.removeParm("WepReq");
  }
  PADAPTER a = start();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->PrivacyInvoked, GetParam().flags);
  EXPECT_EQ(a->ExcludeUnencrypted, GetParam().flags);
}

INSTANTIATE_TEST_SUITE_P(Values, WepReqTest,
                         ::testing::Values(WepCase{"Zero", 0u, 0}, WepCase{"One", 1u, 1}, WepCase{"HighHalfOnly", 0x10000u, 1},
                                           WepCase{"Missing", std::nullopt, 0}),
                         [](const auto &info) { return std::string(info.param.what); });

TEST_F(ParametersTest, TextsAreCutToTheirFields) {
  rig.setParm("SSID", std::u16string(40, u's'));
  rig.setParm("StationName", std::u16string(33, u'n'));
  rig.setParm("VendorDesc", std::u16string(200, u'v'));
  PADAPTER a = start();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(std::string(a->SSID), std::string(32, 's'));
  EXPECT_EQ(a->SsidLength, 32);
  EXPECT_EQ(std::string(a->StationName), std::string(32, 'n'));
  EXPECT_EQ(std::string(a->VendorDescription), std::string(127, 'v'));
}

TEST_F(ParametersTest, TheSsidLengthIsTheConvertedLength) {
  rig.setParm("SSID", u"Vault");
  PADAPTER a = start();
  ASSERT_NE(a, nullptr);
  EXPECT_STREQ(a->SSID, "Vault");
  EXPECT_EQ(a->SsidLength, 5);
  EXPECT_EQ(Bytes(a->SSID + 5, a->SSID + 33), Bytes(28, 0));
}

// ---------------------------------------------------------------------------------------------
// Keys

struct KeysCase {
  const char *what;
  std::function<void(DriverRig &)> store;
  Bytes keys;
};
void PrintTo(const KeysCase &c, std::ostream *os) { *os << c.what; }

class KeysTest : public ParametersTest, public ::testing::WithParamInterface<KeysCase> {};

TEST_P(KeysTest, TheKeyTextGivesTheFourKeys) {
  GetParam().store(rig);
  PADAPTER a = start();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(keys(a), GetParam().keys);
}

Bytes sequence() {
  Bytes b(20);
  for (int i = 0; i < 20; ++i) b[i] = static_cast<std::uint8_t>(0x10 * (i % 16) + (15 - i % 16));
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, KeysTest,
    ::testing::Values(
        KeysCase{"Binary20", [](DriverRig &r) { r.setParmBinary("DefaultKeys", sequence()); }, sequence()},
        KeysCase{"Binary5OnlyKeyOne", [](DriverRig &r) { r.setParmBinary("DefaultKeys", {0x1A, 0x2B, 0x3C, 0x4D, 0x5E}); },
                 concat({{0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, Bytes(15, 0)})},
        KeysCase{"TextMixedCase",
                 [](DriverRig &r) { r.setParm("DefaultKeys", u"1a2B3c4D5e" u"ABCDEFabcd" u"0011223344" u"ffEEddCCbb"); },
                 Bytes{0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0xAB, 0xCD, 0xEF, 0xAB, 0xCD, 0x00, 0x11, 0x22, 0x33, 0x44, 0xFF,
                       0xEE, 0xDD, 0xCC, 0xBB}},
        // A character that is no digit counts 0 in its place.
        KeysCase{"TextWithNonDigits",
                 [](DriverRig &r) { r.setParm("DefaultKeys", u"zz1G x9-A0" u"0000000000" u"0000000000" u"00000000Q1"); },
                 Bytes{0x00, 0x10, 0x00, 0x90, 0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01}},
        // Missing digits read as 0.
        KeysCase{"ShortText", [](DriverRig &r) { r.setParm("DefaultKeys", u"1A2B3"); },
                 concat({{0x1A, 0x2B, 0x30}, Bytes(17, 0)})},
        KeysCase{"LongTextUsesForty",
                 [](DriverRig &r) { r.setParm("DefaultKeys", std::u16string(40, u'7') + u"123456"); }, Bytes(20, 0x77)},
        KeysCase{"Missing", [](DriverRig &r) { r.removeParm("DefaultKeys"); }, Bytes(20, 0)}),
    [](const auto &info) { return std::string(info.param.what); });

TEST(KeyText, ParsesTwoDigitsPerByteHighFirst) {
  struct Case {
    const char *text;
    std::uint8_t first, second, last;
  };
  for (const Case &c : {Case{"00", 0x00, 0x00, 0x00}, Case{"FF", 0xFF, 0x00, 0x00}, Case{"f0e1", 0xF0, 0xE1, 0x00},
                        Case{"9a", 0x9A, 0x00, 0x00}, Case{"g1h2", 0x01, 0x02, 0x00},
                        Case{"0000000000000000000000000000000000000042", 0x00, 0x00, 0x42}}) {
    CHAR text[KEY_TEXT_SIZE] = {};
    std::strncpy(text, c.text, KEY_TEXT_DIGITS);
    UCHAR keys[DEFAULT_KEYS_SIZE];
    std::memset(keys, 0xEE, sizeof keys);
    ParseKeyText(text, keys);
    EXPECT_EQ(keys[0], c.first) << c.text;
    EXPECT_EQ(keys[1], c.second) << c.text;
    EXPECT_EQ(keys[19], c.last) << c.text;
  }
}

// ---------------------------------------------------------------------------------------------
// The configuration reader

TEST_F(ParametersTest, AReaderThatCannotBeOpenedFailsInitialisationWithBothEntries) {
  rig.load();
  rig.host->failNext(Call::OpenConfiguration, 2, NDIS_STATUS_RESOURCES);
  ndis::InitializeResult r = rig.initialize();
  EXPECT_EQ(r.status, NDIS_STATUS_RESOURCES);
  ASSERT_EQ(rig.host->errorLog().size(), 2u);
  EXPECT_EQ(rig.host->errorLog()[0].code, static_cast<NDIS_ERROR_CODE>(NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION));
  EXPECT_EQ(rig.host->errorLog()[0].values, std::vector<ULONG>{23});
  EXPECT_EQ(rig.host->errorLog()[1].code, static_cast<NDIS_ERROR_CODE>(NDIS_ERROR_CODE_MISSING_CONFIGURATION_PARAMETER));
  EXPECT_TRUE(rig.host->errorLog()[1].values.empty());
  EXPECT_EQ(r.adapter->memoryHeld(), 0u);
}

TEST_F(ParametersTest, EveryReadKeywordFailingStillStartsTheAdapter) {
  rig.load();
  for (const char *name : kSixteen) rig.host->failKeyword(name);
  PADAPTER a = start();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->PSMode, 1);
  EXPECT_EQ(a->Encapsulation, 2);
  EXPECT_EQ(a->SsidLength, 0);
  EXPECT_TRUE(rig.host->errorLog().empty());
}

}  // namespace
}  // namespace teskel::test
