// Wrapper and miniport registration, and adapter initialisation as the host drives it.
#include <functional>

#include "ndis_fixture.h"

using teskel::ndis::Adapter;
using teskel::ndis::Call;

namespace ndistest {
namespace {

// A DriverEntry that registers whatever table the test prepared and returns the raw status.
NDIS_MINIPORT_CHARACTERISTICS g_table;
UINT g_length;
NDIS_HANDLE g_wrapper;
NDIS_STATUS tableEntry(PVOID driverObject, PVOID registryPath) {
  NdisInitializeWrapper(&g_wrapper, driverObject, registryPath, nullptr);
  return NdisMRegisterMiniport(g_wrapper, &g_table, g_length);
}

struct TableCase {
  const char *name;
  std::function<void(NDIS_MINIPORT_CHARACTERISTICS &, UINT &)> change;
  NDIS_STATUS expected;
};

class Registration : public NdisTest {};

TEST_F(Registration, ValidatesTheCharacteristicsTable) {
  using C = NDIS_MINIPORT_CHARACTERISTICS;
  const TableCase cases[] = {
      {"complete table", [](C &, UINT &) {}, NDIS_STATUS_SUCCESS},
      {"longer length", [](C &, UINT &n) { n += 8; }, NDIS_STATUS_SUCCESS},
      {"no ISR", [](C &c, UINT &) { c.Ndis30Chars.ISRHandler = nullptr; }, NDIS_STATUS_SUCCESS},
      {"no check-for-hang", [](C &c, UINT &) { c.Ndis30Chars.CheckForHangHandler = nullptr; }, NDIS_STATUS_SUCCESS},
      {"version 3.0", [](C &c, UINT &) { c.Ndis30Chars.MajorNdisVersion = 3; }, NDIS_STATUS_BAD_VERSION},
      {"version 4.1", [](C &c, UINT &) { c.Ndis30Chars.MinorNdisVersion = 1; }, NDIS_STATUS_BAD_VERSION},
      {"version 5.0", [](C &c, UINT &) { c.Ndis30Chars.MajorNdisVersion = 5; }, NDIS_STATUS_BAD_VERSION},
      {"short length", [](C &, UINT &n) { n -= 1; }, NDIS_STATUS_BAD_CHARACTERISTICS},
      {"no initialize", [](C &c, UINT &) { c.Ndis30Chars.InitializeHandler = nullptr; }, NDIS_STATUS_BAD_CHARACTERISTICS},
      {"no halt", [](C &c, UINT &) { c.Ndis30Chars.HaltHandler = nullptr; }, NDIS_STATUS_BAD_CHARACTERISTICS},
      {"no send", [](C &c, UINT &) { c.Ndis30Chars.SendHandler = nullptr; }, NDIS_STATUS_BAD_CHARACTERISTICS},
      {"no query", [](C &c, UINT &) { c.Ndis30Chars.QueryInformationHandler = nullptr; }, NDIS_STATUS_BAD_CHARACTERISTICS},
      {"no set", [](C &c, UINT &) { c.Ndis30Chars.SetInformationHandler = nullptr; }, NDIS_STATUS_BAD_CHARACTERISTICS},
      {"no reset", [](C &c, UINT &) { c.Ndis30Chars.ResetHandler = nullptr; }, NDIS_STATUS_BAD_CHARACTERISTICS},
      {"no transfer-data", [](C &c, UINT &) { c.Ndis30Chars.TransferDataHandler = nullptr; }, NDIS_STATUS_BAD_CHARACTERISTICS},
      {"no handle-interrupt", [](C &c, UINT &) { c.Ndis30Chars.HandleInterruptHandler = nullptr; },
       NDIS_STATUS_BAD_CHARACTERISTICS},
      {"no disable-interrupt", [](C &c, UINT &) { c.Ndis30Chars.DisableInterruptHandler = nullptr; },
       NDIS_STATUS_BAD_CHARACTERISTICS},
      {"no enable-interrupt", [](C &c, UINT &) { c.Ndis30Chars.EnableInterruptHandler = nullptr; },
       NDIS_STATUS_BAD_CHARACTERISTICS},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    g_table = characteristics();
    g_length = sizeof g_table;
    c.change(g_table, g_length);
    auto &driver = host_.loadDriver(c.name, tableEntry);
    EXPECT_EQ(driver.entryStatus(), c.expected);
    EXPECT_EQ(driver.registered(), c.expected == NDIS_STATUS_SUCCESS);
    EXPECT_EQ(driver.wrapperHandle(), g_wrapper);
    if (driver.registered()) {
      EXPECT_EQ(driver.characteristics().Ndis30Chars.SendHandler, g_table.Ndis30Chars.SendHandler);
    }
  }
  EXPECT_TRUE(host_.findings().empty());
}

TEST_F(Registration, NamedFailureFailsOneRegistrationWithTheChosenStatus) {
  g_table = characteristics();
  g_length = sizeof g_table;
  host_.failNext(Call::RegisterMiniport, 2, NDIS_STATUS_RESOURCES);
  EXPECT_EQ(host_.loadDriver("first", tableEntry).entryStatus(), NDIS_STATUS_SUCCESS);
  auto &second = host_.loadDriver("second", tableEntry);
  EXPECT_EQ(second.entryStatus(), NDIS_STATUS_RESOURCES);
  EXPECT_FALSE(second.registered());
  EXPECT_EQ(host_.loadDriver("third", tableEntry).entryStatus(), NDIS_STATUS_SUCCESS);
}

TEST_F(Registration, RegisteringTwiceIsRefusedAndReported) {
  g_table = characteristics();
  g_length = sizeof g_table;
  auto twice = [](PVOID driverObject, PVOID registryPath) -> NDIS_STATUS {
    NdisInitializeWrapper(&g_wrapper, driverObject, registryPath, nullptr);
    NdisMRegisterMiniport(g_wrapper, &g_table, g_length);
    return NdisMRegisterMiniport(g_wrapper, &g_table, g_length);
  };
  EXPECT_EQ(host_.loadDriver("twice", twice).entryStatus(), NDIS_STATUS_FAILURE);
  ASSERT_EQ(host_.findings().size(), 1u);
  EXPECT_NE(host_.findings()[0].find("called again"), std::string::npos);
}

TEST_F(Registration, WrapperNeedsTheDriverObjectItWasGiven) {
  auto stranger = [](PVOID, PVOID registryPath) -> NDIS_STATUS {
    static int notADriverObject;
    NdisInitializeWrapper(&g_wrapper, &notADriverObject, registryPath, nullptr);
    g_table = characteristics();
    return NdisMRegisterMiniport(g_wrapper, &g_table, sizeof g_table);
  };
  auto &driver = host_.loadDriver("stranger", stranger);
  EXPECT_EQ(g_wrapper, nullptr);
  EXPECT_EQ(driver.entryStatus(), NDIS_STATUS_FAILURE);
  EXPECT_FALSE(driver.registered());
  EXPECT_EQ(host_.findings().size(), 2u);
}

TEST_F(Registration, RegistryPathNamesTheDriversKey) {
  static std::u16string seen;
  auto entry = [](PVOID, PVOID registryPath) -> NDIS_STATUS {
    auto *path = static_cast<PUNICODE_STRING>(registryPath);
    seen.assign(path->Buffer, path->Length / sizeof(WCHAR));
    return NDIS_STATUS_SUCCESS;
  };
  host_.loadDriver("Teskel", entry);
  EXPECT_EQ(seen, u"Comm\\Teskel");
}

TEST_F(Registration, InitializeSelectsTheOfferedMedium) {
  load();
  auto r = host_.initializeAdapter(kInstance, {NdisMedium802_5, NdisMediumFddi, NdisMedium802_3});
  EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(r.selectedMediumIndex, 2u);
  EXPECT_EQ(r.adapter->state(), Adapter::State::Running);
  EXPECT_EQ(host_.findAdapter("testcard1"), r.adapter);
  EXPECT_EQ(record(*r.adapter)->Handle, r.adapter->handle());
  EXPECT_TRUE(host_.findings().empty());
}

TEST_F(Registration, FailedInitializeLeavesAFailedAdapterHoldingNothing) {
  load();
  for (auto media : {std::vector<NDIS_MEDIUM>{}, std::vector<NDIS_MEDIUM>{NdisMediumWan}}) {
    auto r = host_.initializeAdapter(kInstance, media);
    EXPECT_EQ(r.status, NDIS_STATUS_UNSUPPORTED_MEDIA);
    EXPECT_EQ(r.adapter->state(), Adapter::State::Failed);
    EXPECT_EQ(host_.findAdapter(kInstance), nullptr);
  }
  EXPECT_EQ(host_.memoryHeld(), 0u);
  EXPECT_TRUE(host_.findings().empty());
  // The instance can be brought up once a usable medium is offered.
  EXPECT_EQ(host_.initializeAdapter(kInstance).status, NDIS_STATUS_SUCCESS);
}

TEST_F(Registration, InitializeNeedsARegisteredDriverAndAFreeInstanceName) {
  EXPECT_THROW(host_.initializeAdapter(kInstance), std::logic_error);
  start();
  EXPECT_THROW(host_.initializeAdapter(kInstance), std::logic_error);
}

TEST_F(Registration, SuccessWithoutAttributesOrWithAnUnofferedMediumIsReported) {
  g_table = characteristics();
  g_table.Ndis30Chars.InitializeHandler = [](PNDIS_STATUS, PUINT selected, PNDIS_MEDIUM, UINT, NDIS_HANDLE,
                                 NDIS_HANDLE) -> NDIS_STATUS {
    *selected = 1;
    return NDIS_STATUS_SUCCESS;
  };
  g_length = sizeof g_table;
  host_.loadDriver("careless", tableEntry);
  auto r = host_.initializeAdapter(kInstance);
  EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
  ASSERT_EQ(host_.findings().size(), 2u);
  EXPECT_NE(host_.findings()[0].find("medium index 1"), std::string::npos);
  EXPECT_NE(host_.findings()[1].find("without NdisMSetAttributes"), std::string::npos);
}

}  // namespace
}  // namespace ndistest
