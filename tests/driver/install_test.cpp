// The installation export: the five keys with their values, the returned path, the bounds on the
// device key name and the output buffer, and the clean-up after a registry failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "registry_sandbox.h"
#include "teskel.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using teskel::registry::FailOp;

const char *const kSocketKey = "Drivers\\PCMCIA\\Larkwell-Card";
const std::u16string kDeviceKeyName = u"Larkwell-Card";
const std::vector<std::string> kInstalledKeys = {kSocketKey, "Comm\\Teskel", "Comm\\Teskel1", "Comm\\Teskel1\\Parms",
                                                 "Comm\\Teskel\\Linkage"};

struct Expected {
  std::string name;
  std::uint32_t type;
  Bytes data;
};

Bytes sz(const std::u16string &text) {
  Bytes out;
  for (char16_t c : text) {
    out.push_back(static_cast<std::uint8_t>(c & 0xFF));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

Bytes dword(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

const std::vector<Expected> kSocketValues = {
    {"Dll", REG_SZ, sz(u"ndis.dll")},
    {"Prefix", REG_SZ, sz(u"NDS")},
    {"Miniport", REG_SZ, sz(u"Teskel")},
    {"Index", REG_DWORD, dword(1)},
};

const std::vector<Expected> kDriverValues = {
    {"DisplayName", REG_SZ, sz(u"Teskel 802.11 Wireless LAN Driver")},
    {"Group", REG_SZ, sz(u"NDIS")},
    {"ImagePath", REG_SZ, sz(u"Teskel.dll")},
};

const std::vector<Expected> kParmsValues = {
    {"BusNumber", REG_DWORD, dword(0)},
    {"BusType", REG_DWORD, dword(8)},
    {"InterruptNumber", REG_DWORD, dword(15)},
    {"IoBaseAddress", REG_DWORD, dword(0x300)},
    {"CardType", REG_DWORD, dword(2)},
    {"NetworkType", REG_DWORD, dword(1)},
    {"RTSThresh", REG_DWORD, dword(2432)},
    {"FragThresh", REG_DWORD, dword(2500)},
    {"SSID", REG_SZ, sz(u"any")},
    {"StationName", REG_SZ, sz(u"Client")},
    {"TxRate", REG_DWORD, dword(15)},
    {"VendorDesc", REG_SZ, sz(u"Halden IEEE 802.11 Adapter")},
    {"PSMode", REG_DWORD, dword(1)},
    {"PSLevel", REG_DWORD, dword(0)},
    {"Encapsulation", REG_DWORD, dword(2)},
    {"WepReq", REG_DWORD, dword(0)},
    {"DefaultKeyId", REG_DWORD, dword(0)},
    {"DefaultKeys", REG_BINARY, Bytes(20, 0)},
    {"ATIMWindow", REG_DWORD, dword(0)},
    {"ListenInterval", REG_DWORD, dword(3)},
    {"DSChannel", REG_DWORD, dword(1)},
};

// "Teskel1", its terminator and the list's terminator.
const std::vector<Expected> kLinkageValues = {
    {"Route", REG_MULTI_SZ, Bytes{'T', 0, 'e', 0, 's', 0, 'k', 0, 'e', 0, 'l', 0, '1', 0, 0, 0, 0, 0}},
};

class InstallTest : public ::testing::Test {
 protected:
  // Calls the export with an output buffer full of a marker, so that untouched output shows.
  LPWSTR install(const std::u16string &name, DWORD outputSize = 128) {
    output.assign(200, u'#');
    std::u16string copy = name;
    return Install_Driver(copy.data(), output.data(), outputSize);
  }

  void expectValues(const std::string &key, const std::vector<Expected> &expected) {
    SCOPED_TRACE(key);
    auto values = sandbox.store().values(key);
    ASSERT_EQ(values.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(values[i].name, expected[i].name);
      EXPECT_EQ(values[i].type, expected[i].type) << expected[i].name;
      EXPECT_EQ(values[i].data, expected[i].data) << expected[i].name;
    }
  }

  void expectNothingInstalled() {
    for (const auto &key : kInstalledKeys) EXPECT_FALSE(sandbox.store().keyExists(key)) << key;
  }

  teskel::test::RegistrySandbox sandbox;
  std::u16string output;
};

TEST_F(InstallTest, WritesTheFiveKeysAndReturnsTheSocketKeyPathInTheCallersBuffer) {
  LPWSTR result = install(kDeviceKeyName);
  ASSERT_EQ(result, output.data());
  EXPECT_EQ(std::u16string(result), u"Drivers\\PCMCIA\\Larkwell-Card");

  expectValues(kSocketKey, kSocketValues);
  expectValues("Comm\\Teskel", kDriverValues);
  expectValues("Comm\\Teskel1", kDriverValues);
  expectValues("Comm\\Teskel1\\Parms", kParmsValues);
  expectValues("Comm\\Teskel\\Linkage", kLinkageValues);
  // The status values are the driver's to create, not the installer's.
  EXPECT_FALSE(sandbox.store().getValue("Comm\\Teskel1\\Parms", "LinkState"));
}

TEST_F(InstallTest, InstallingAgainReplacesTheValuesAndKeepsOthers) {
  sandbox.store().setValue("Comm\\Teskel1\\Parms", "SSID", REG_SZ, sz(u"Harbor"));
  sandbox.store().setValue("Comm\\Teskel1\\Parms", "LinkState", REG_DWORD, dword(1));
  ASSERT_NE(install(kDeviceKeyName), nullptr);
  EXPECT_EQ(sandbox.store().getValue("Comm\\Teskel1\\Parms", "SSID")->data, sz(u"any"));
  EXPECT_EQ(sandbox.store().getValue("Comm\\Teskel1\\Parms", "LinkState")->data, dword(1));
}

struct RegistryFailure {
  const char *what;
  FailOp op;
  std::string key;
  std::string value;
};

void PrintTo(const RegistryFailure &f, std::ostream *os) { *os << f.what; }

class InstallFailureTest : public InstallTest, public ::testing::WithParamInterface<RegistryFailure> {};

// Whichever key or value fails, the call returns null, the output stays untouched and none of
// the five keys is left, also the ones written before the failure.
TEST_P(InstallFailureTest, LeavesNothingBehind) {
  const RegistryFailure &failure = GetParam();
  sandbox.store().setValue("Comm\\Other", "Kept", REG_DWORD, dword(7));
  sandbox.store().failOn(failure.op, failure.key, failure.value.empty() ? "*" : failure.value, 1);

  EXPECT_EQ(install(kDeviceKeyName), nullptr);
  EXPECT_EQ(output, std::u16string(200, u'#'));
  expectNothingInstalled();
  EXPECT_TRUE(sandbox.store().getValue("Comm\\Other", "Kept"));

  // The failure was a single one: the next call installs everything.
  EXPECT_NE(install(kDeviceKeyName), nullptr);
  for (const auto &key : kInstalledKeys) EXPECT_TRUE(sandbox.store().keyExists(key)) << key;
}

INSTANTIATE_TEST_SUITE_P(
    EveryKeyAndTable, InstallFailureTest,
    ::testing::Values(RegistryFailure{"SocketKey", FailOp::CreateKey, kSocketKey, ""},
                      RegistryFailure{"SocketIndex", FailOp::SetValue, kSocketKey, "Index"},
                      RegistryFailure{"DriverKey", FailOp::CreateKey, "Comm\\Teskel", ""},
                      RegistryFailure{"DriverImagePath", FailOp::SetValue, "Comm\\Teskel", "ImagePath"},
                      RegistryFailure{"InstanceKey", FailOp::CreateKey, "Comm\\Teskel1", ""},
                      RegistryFailure{"ParmsKey", FailOp::CreateKey, "Comm\\Teskel1\\Parms", ""},
                      RegistryFailure{"ParmsSSID", FailOp::SetValue, "Comm\\Teskel1\\Parms", "SSID"},
                      RegistryFailure{"ParmsDefaultKeys", FailOp::SetValue, "Comm\\Teskel1\\Parms", "DefaultKeys"},
                      RegistryFailure{"ParmsDSChannel", FailOp::SetValue, "Comm\\Teskel1\\Parms", "DSChannel"},
                      RegistryFailure{"LinkageKey", FailOp::CreateKey, "Comm\\Teskel\\Linkage", ""},
                      RegistryFailure{"LinkageRoute", FailOp::SetValue, "Comm\\Teskel\\Linkage", "Route"}),
    [](const auto &info) { return std::string(info.param.what); });

TEST_F(InstallTest, AFailedCleanUpDeletionDoesNotStopTheOthers) {
  sandbox.store().failOn(FailOp::SetValue, "Comm\\Teskel\\Linkage", "Route", 1);
  sandbox.store().failOn(FailOp::DeleteKey, kSocketKey, "*", 1);
  EXPECT_EQ(install(kDeviceKeyName), nullptr);
  // The socket key could not be deleted; the four others are gone.
  EXPECT_TRUE(sandbox.store().keyExists(kSocketKey));
  for (std::size_t i = 1; i < kInstalledKeys.size(); ++i) EXPECT_FALSE(sandbox.store().keyExists(kInstalledKeys[i]));
}

// Bounds of the 128-character path: "Drivers\PCMCIA\" is 15 characters, so a name of 112 fills the
// path buffer with its terminator; the output size counts characters and needs the terminator too.
struct Bounds {
  const char *what;
  std::size_t nameLength;
  DWORD outputSize;
  bool installs;
};

void PrintTo(const Bounds &b, std::ostream *os) { *os << b.what; }

class InstallBoundsTest : public InstallTest, public ::testing::WithParamInterface<Bounds> {};

TEST_P(InstallBoundsTest, RefusesWhatDoesNotFitWithoutWritingAnything) {
  const Bounds &b = GetParam();
  std::u16string name(b.nameLength, u'n');
  LPWSTR result = install(name, b.outputSize);
  std::u16string path = u"Drivers\\PCMCIA\\" + name;
  if (b.installs) {
    ASSERT_EQ(result, output.data());
    EXPECT_EQ(std::u16string(result), path);
    EXPECT_EQ(output[path.size() + 1], u'#');  // nothing written past the terminator
    EXPECT_TRUE(sandbox.store().keyExists("Drivers\\PCMCIA\\" + std::string(b.nameLength, 'n')));
  } else {
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(output, std::u16string(200, u'#'));
    EXPECT_FALSE(sandbox.store().keyExists("Drivers"));
    EXPECT_FALSE(sandbox.store().keyExists("Comm"));
  }
}

INSTANTIATE_TEST_SUITE_P(NameAndOutput, InstallBoundsTest,
                         ::testing::Values(Bounds{"LongestName", 112, 128, true},
                                           Bounds{"NameTooLong", 113, 200, false},
                                           Bounds{"OutputExactlyFits", 10, 26, true},
                                           Bounds{"OutputMissesTerminator", 10, 25, false},
                                           Bounds{"OutputZero", 10, 0, false}),
                         [](const auto &info) { return std::string(info.param.what); });

TEST_F(InstallTest, RefusesMissingArguments) {
  output.assign(200, u'#');
  EXPECT_EQ(Install_Driver(nullptr, output.data(), 128), nullptr);
  std::u16string name = kDeviceKeyName;
  EXPECT_EQ(Install_Driver(name.data(), nullptr, 128), nullptr);
  expectNothingInstalled();
}

}  // namespace
