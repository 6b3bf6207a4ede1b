// libTeskel.so as the platform loads it: only its two exports are visible, it resolves every
// platform call against the program, and an adapter of the loaded driver runs traffic.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "driver_fixture.h"

namespace teskel::test {
namespace {

class LoadedDriver {
 public:
  LoadedDriver() : handle_(dlopen(TESKEL_DRIVER_LIBRARY, RTLD_NOW | RTLD_LOCAL)) {}
  ~LoadedDriver() {
    if (handle_) dlclose(handle_);
  }
  LoadedDriver(const LoadedDriver &) = delete;
  LoadedDriver &operator=(const LoadedDriver &) = delete;

  void *handle() const { return handle_; }
  void *symbol(const char *name) const { return handle_ ? dlsym(handle_, name) : nullptr; }
  DriverImage image() const {
    DriverImage image;
    image.entry = reinterpret_cast<decltype(image.entry)>(symbol("DriverEntry"));
    image.install = reinterpret_cast<decltype(image.install)>(symbol("Install_Driver"));
    return image;
  }

 private:
  void *handle_;
};

TEST(DriverLibrary, ExportsDriverEntryAndInstallDriverOnly) {
  LoadedDriver library;
  ASSERT_NE(library.handle(), nullptr) << dlerror();
  EXPECT_NE(library.symbol("DriverEntry"), nullptr);
  EXPECT_NE(library.symbol("Install_Driver"), nullptr);
  // Routines and globals of the driver stay inside it, whatever their linkage.
  for (const char *name : {"MiniportInitialize", "MiniportSend", "GetRid", "AdapterList", "WrapperHandle",
                           "ReadRegistryParameters", "WriteValueTable", "_Z6GetRidP8_ADAPTERtPhjPj",
                           "_Z12MiniportSendPvP12_NDIS_PACKETj"}) {
    EXPECT_EQ(library.symbol(name), nullptr) << name;
  }
}

TEST(DriverLibrary, InstallsAndRunsAnAdapterWithTraffic) {
  LoadedDriver library;
  ASSERT_NE(library.handle(), nullptr) << dlerror();
  DriverRig rig(library.image());
  rig.bringUp();
  ASSERT_FALSE(::testing::Test::HasFatalFailure());
  EXPECT_EQ(rig.registry.store().getValue(DriverRig::kParms, "SSID")->type, static_cast<std::uint32_t>(REG_SZ));

  Bytes frame = ethernetFrame({0x02, 0x48, 0x41, 0x52, 0x42, 0x77}, rig.stationAddress(), 0x0800, pattern(64));
  NDIS_PACKET *packet = rig.send(frame, {20});
  rig.settle();
  EXPECT_EQ(rig.statusesOf(packet), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  ASSERT_EQ(rig.transmitted.size(), 1u);
  EXPECT_EQ(Bytes(rig.transmitted[0].buffer.begin() + 46, rig.transmitted[0].buffer.begin() + 58),
            Bytes(frame.begin(), frame.begin() + 12));

  EXPECT_EQ(rig.adapter->reset().status, NDIS_STATUS_SUCCESS);
  rig.halt();
  EXPECT_EQ(rig.adapter->memoryHeld(), 0u);
  EXPECT_EQ(rig.adapter->portRangesHeld(), 0u);
  EXPECT_TRUE(rig.host->findings().empty()) << rig.host->findings().front();
  EXPECT_TRUE(rig.controller->violations().empty()) << rig.controller->violations().front();
}

}  // namespace
}  // namespace teskel::test
