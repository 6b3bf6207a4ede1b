// A driver library that links no platform, loaded at run time by a program built with
// teskel_host_executable: its NDIS, CEDDK, registry and COREDLL calls resolve into the program.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <winreg.h>

#include <filesystem>

#include "teskel/coredll.h"
#include "teskel/event_loop.h"
#include "teskel/ndis_host.h"
#include "teskel/port_bus.h"
#include "teskel/registry_store.h"

namespace {

class Word : public teskel::ceddk::PortDevice {
 public:
  std::uint16_t readPort16(std::uint32_t offset) override { return offset == 0 ? 0xBEEF : 0; }
  void writePort16(std::uint32_t, std::uint16_t) override {}
};

std::vector<std::uint8_t> dword(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

TEST(HostedDriverLibrary, ProgramExportsThePlatformItDoesNotCallItself) {
  // Calls nothing in this program refers to: present only because the whole archives are linked.
  for (const char *name : {"NdisMDeregisterInterrupt", "EthFilterDprIndicateReceiveComplete", "READ_PORT_BUFFER_USHORT",
                           "RegEnumValueW", "MessageBoxW", "LocalFree"}) {
    EXPECT_NE(dlsym(RTLD_DEFAULT, name), nullptr) << name;
  }
}

TEST(HostedDriverLibrary, LoadsFindsDriverEntryAndBringsAnAdapterUp) {
  std::string dir = (std::filesystem::temp_directory_path() / "teskel-ndis-module-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  {
    teskel::EventLoop loop;
    teskel::ceddk::PortBus bus;
    teskel::registry::Store store(std::filesystem::path(dir) / "registry.db");
    Word card;
    bus.map(0x320, 4, card);
    store.setValue("Comm\\ModCard1\\Parms", "IoBaseAddress", REG_DWORD, dword(0x320));
    store.setValue("Comm\\ModCard1\\Parms", "Greeting", REG_DWORD, dword(0x12345678));
    std::string boxed;
    auto previous = teskel::coredll::setMessageBoxHandler([&](const teskel::coredll::MessageBoxRequest &r) {
      boxed = r.caption + ": " + r.text;
      return 1;
    });

    void *library = dlopen(NDIS_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto entry = reinterpret_cast<teskel::ndis::DriverEntryFn>(dlsym(library, "DriverEntry"));
    ASSERT_NE(entry, nullptr) << dlerror();
    {
      teskel::ndis::Host host(loop, bus, store);
      auto &driver = host.loadDriver("ModMiniport", entry);
      EXPECT_EQ(driver.entryStatus(), NDIS_STATUS_SUCCESS);
      auto r = host.initializeAdapter("ModCard1");
      ASSERT_EQ(r.status, NDIS_STATUS_SUCCESS);
      auto &adapter = *r.adapter;
      auto query = [&](NDIS_OID oid) {
        std::uint8_t b[4] = {};
        EXPECT_EQ(adapter.queryInformation(oid, b).status, NDIS_STATUS_SUCCESS);
        return static_cast<std::uint32_t>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24);
      };
      EXPECT_EQ(query(1), 0xBEEFu);
      EXPECT_EQ(query(2), 1u);
      EXPECT_EQ(boxed, "Debug: from the module");
      EXPECT_EQ(query(3), 0x12345678u);
      adapter.halt();
      EXPECT_TRUE(host.findings().empty());
      EXPECT_EQ(host.memoryHeld(), 0u);
    }
    teskel::coredll::setMessageBoxHandler(previous);
    EXPECT_EQ(dlclose(library), 0);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
