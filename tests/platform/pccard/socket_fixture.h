// A handheld with one PC Card socket for the socket tests: virtual clock, port bus, a registry
// store in a fresh root folder, the NDIS host, and the socket with its events recorded.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <winreg.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "teskel/controller_card.h"
#include "teskel/coredll.h"
#include "teskel/event_loop.h"
#include "teskel/ndis_host.h"
#include "teskel/pccard.h"
#include "teskel/port_bus.h"
#include "teskel/registry_store.h"

namespace teskel::test {

class TempRoot {
 public:
  TempRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "teskel-pccard-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempRoot() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempRoot(const TempRoot &) = delete;
  TempRoot &operator=(const TempRoot &) = delete;
  const std::filesystem::path &path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::vector<std::uint8_t> dword(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

// UTF-16 text with its terminator (REG_SZ); a list of them with the closing empty one (REG_MULTI_SZ).
inline std::vector<std::uint8_t> sz(const std::string &text) {
  std::vector<std::uint8_t> out;
  for (char16_t c : coredll::fromUtf8(text)) {
    out.push_back(static_cast<std::uint8_t>(c));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  out.insert(out.end(), {0, 0});
  return out;
}
inline std::vector<std::uint8_t> multiSz(const std::vector<std::string> &texts) {
  std::vector<std::uint8_t> out;
  for (const auto &t : texts) {
    auto one = sz(t);
    out.insert(out.end(), one.begin(), one.end());
  }
  out.insert(out.end(), {0, 0});
  return out;
}

class SocketTest : public ::testing::Test {
 protected:
  static constexpr const char *kSocketKey = "Drivers\\PCMCIA\\Halden-IEEE_802.11_Adapter";
  static constexpr const char *kParms = "Comm\\Teskel1\\Parms";

  ~SocketTest() override {
    socket.reset();  // removes a card the test left in
  }

  pccard::SocketOptions options() const {
    pccard::SocketOptions o;
    o.root = root.path();
    return o;
  }

  // A socket with the given options (default: the root folder and the default driver path).
  pccard::Socket &makeSocket(pccard::SocketOptions o) {
    socket = std::make_unique<pccard::Socket>(host, std::move(o));
    socket->setEventListener([this](const pccard::Event &e) { events.push_back(e); });
    return *socket;
  }
  pccard::Socket &makeSocket() { return makeSocket(options()); }

  // The card as the handheld program hands it to the socket: the simulated controller.
  pccard::Card controllerCard(sim::ControllerOptions o = {}) { return sim::controllerCard(loop, bus, std::move(o)); }
  sim::Controller *controller(std::string_view instance) const { return sim::controllerIn(*socket, instance); }

  pccard::InsertReport insert() { return insert(controllerCard()); }
  pccard::InsertReport insert(pccard::Card card) {
    if (!socket) makeSocket();
    return socket->insert(std::move(card));
  }

  // Writes the driver's keys through a first insertion, then takes the card out again.
  void installOnce() {
    auto report = insert();
    ASSERT_TRUE(report.ok()) << (report.errors.empty() ? "" : report.errors.front());
    ASSERT_TRUE(socket->remove().clean());
    events.clear();
  }

  std::vector<pccard::Event::Kind> kinds() const {
    std::vector<pccard::Event::Kind> out;
    for (const auto &e : events) out.push_back(e.kind);
    return out;
  }

  TempRoot root;
  EventLoop loop{EventLoop::Mode::Virtual};
  ceddk::PortBus bus;
  registry::Store store{root.path() / registry::kStoreFileName};
  ndis::Host host{loop, bus, store};
  std::unique_ptr<pccard::Socket> socket;
  std::vector<pccard::Event> events;
};

}  // namespace teskel::test
