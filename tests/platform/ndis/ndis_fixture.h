// The handheld a test runs the NDIS host on: virtual clock, port bus with the test card mapped at
// 0x300 on line 9, a registry store in a fresh folder, and the test miniport ready to load.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <winreg.h>

#include <filesystem>
#include <string>
#include <vector>

#include "teskel/event_loop.h"
#include "teskel/ndis_host.h"
#include "teskel/ndis_packet.h"
#include "teskel/port_bus.h"
#include "teskel/registry_store.h"
#include "test_miniport.h"

namespace ndistest {

// A fresh folder for one test, removed with everything in it afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "teskel-ndis-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  const std::filesystem::path &path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::vector<std::uint8_t> dword(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

inline std::vector<std::uint8_t> utf16z(std::u16string_view s) {
  std::vector<std::uint8_t> out;
  for (char16_t c : s) {
    out.push_back(static_cast<std::uint8_t>(c));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

class NdisTest : public ::testing::Test {
 protected:
  static constexpr std::uint32_t kIoBase = 0x300;
  static constexpr unsigned kLine = 9;
  static constexpr const char *kInstance = "TestCard1";

  NdisTest()
      : store_(dir_.path() / "registry.db"), card_(bus_, kLine), host_(loop_, bus_, store_) {
    resetScript();
    bus_.map(kIoBase, kPortCount, card_);
    setDword("IoBaseAddress", kIoBase);
    setDword("InterruptNumber", kLine);
  }
  ~NdisTest() override { resetScript(); }

  std::string key(const char *instance = kInstance) { return std::string("Comm\\") + instance + "\\Parms"; }
  void setDword(const char *name, std::uint32_t v, const char *instance = kInstance) {
    store_.setValue(key(instance), name, REG_DWORD, dword(v));
  }
  void setText(const char *name, std::u16string_view text, const char *instance = kInstance) {
    store_.setValue(key(instance), name, REG_SZ, utf16z(text));
  }
  void setBinary(const char *name, std::vector<std::uint8_t> bytes, const char *instance = kInstance) {
    store_.setValue(key(instance), name, REG_BINARY, bytes);
  }

  teskel::ndis::Driver &load() {
    driver_ = &host_.loadDriver("TestMiniport", DriverEntry);
    return *driver_;
  }

  // Loads the miniport and brings adapter `instance` up; the test fails when it does not start.
  teskel::ndis::Adapter &start(const char *instance = kInstance) {
    if (!driver_) load();
    auto r = host_.initializeAdapter(instance);
    EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS) << "adapter " << instance << " did not start";
    return *r.adapter;
  }

  // The adapter record the test miniport allocated.
  static TestAdapter *record(teskel::ndis::Adapter &a) { return static_cast<TestAdapter *>(a.context()); }

  ScratchDir dir_;
  teskel::EventLoop loop_{teskel::EventLoop::Mode::Virtual};
  teskel::ceddk::PortBus bus_;
  teskel::registry::Store store_;
  FakeCard card_;
  teskel::ndis::Host host_;
  teskel::ndis::Driver *driver_ = nullptr;
};

}  // namespace ndistest
