// A simulated handheld with one card for driver tests: virtual clock, port bus, the controller
// model behind a port tap with its radio on a world's air, a registry store of its own, the NDIS
// host, and the driver loaded into it, with a protocol binding that records completions and
// receive indications.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "registry_sandbox.h"
#include "teskel.h"
#include "teskel/air.h"
#include "teskel/controller.h"
#include "teskel/event_loop.h"
#include "teskel/ndis_host.h"
#include "teskel/ndis_packet.h"
#include "teskel/port_bus.h"

namespace teskel::test {

using Bytes = std::vector<std::uint8_t>;

// The driver's two exports, from the driver linked into the test or from a loaded libTeskel.so.
struct DriverImage {
  NDIS_STATUS (*entry)(PVOID DriverObject, PVOID RegistryPath) = nullptr;
  LPWSTR (*install)(LPWSTR DeviceKeyName, LPWSTR Output, DWORD OutputSize) = nullptr;
};

// Sits between the bus and the controller: forwards every access, keeps track of what each
// access path has selected and where it stands, and lets a test rewrite what a read returns.
class PortTap : public ceddk::PortDevice {
 public:
  struct Read {
    std::uint32_t offset;      // register offset in the window
    int path;                  // access path of a data-port read, else -1
    std::uint16_t selected;    // its selected identifier
    std::uint16_t position;    // its byte offset before this read
    std::uint16_t value;       // what the controller answered
  };
  using ReadHook = std::function<std::uint16_t(const Read &)>;

  explicit PortTap(ceddk::PortDevice &device) : device_(device) {}
  void setReadHook(ReadHook hook) { hook_ = std::move(hook); }

  std::uint16_t readPort16(std::uint32_t offset) override;
  void writePort16(std::uint32_t offset, std::uint16_t value) override;
  std::uint8_t readPort8(std::uint32_t offset) override;
  void writePort8(std::uint32_t offset, std::uint8_t value) override;
  // String accesses to a data port reach the controller whole unless a read hook must see
  // every word.
  void readPort16String(std::uint32_t offset, std::uint16_t *words, std::size_t count) override;
  void writePort16String(std::uint32_t offset, const std::uint16_t *words, std::size_t count) override;

 private:
  int dataPath(std::uint32_t offset) const;
  std::uint16_t filter(std::uint32_t offset, std::uint16_t value, unsigned step);

  ceddk::PortDevice &device_;
  ReadHook hook_;
  std::uint16_t selected_[2] = {0, 0};
  std::uint16_t position_[2] = {0, 0};
};

struct Completion {
  NDIS_PACKET *packet;
  NDIS_STATUS status;
};

// What the binding saw of one indicated frame, copied out of the indication.
struct Indication {
  Bytes header;
  Bytes lookahead;
  UINT packetSize = 0;
  // Filled when a transfer was asked for during the indication.
  std::optional<ndis::TransferResult> transfer;
  Bytes transferred;
};

// A transfer-data request made from inside each receive indication.
struct TransferRequest {
  UINT offset = 0;
  std::optional<UINT> count;            // default: the whole indicated packet from `offset`
  std::vector<std::size_t> bufferSizes;  // default: one buffer of `count` bytes
};

class DriverRig {
 public:
  static constexpr std::uint32_t kIoBase = 0x300;
  static constexpr unsigned kIrq = 15;
  static constexpr const char16_t *kDeviceKeyName = u"Larkwell-Card";
  static constexpr const char *kParms = "Comm\\Teskel1\\Parms";
  static constexpr const char *kInstance = "Teskel1";
  // Harbor, the access point the installed configuration joins in the default world.
  static constexpr sim::MacAddress kBssid = {0x02, 0x48, 0x41, 0x52, 0x42, 0x01};

  DriverRig(DriverImage image, sim::ControllerOptions options = {},
            sim::air::WorldConfig worldConfig = sim::air::WorldConfig::defaults());
  ~DriverRig();
  DriverRig(const DriverRig &) = delete;
  DriverRig &operator=(const DriverRig &) = delete;

  // ---- registry ----
  // Runs the installation export for the card (the installed parameters), asserting success.
  void install();
  void setParm(const std::string &name, std::uint32_t value);
  void setParm(const std::string &name, const std::u16string &text);
  void setParmBinary(const std::string &name, const Bytes &bytes);
  void removeParm(const std::string &name);

  // ---- bring-up ----
  ndis::Driver &load();  // DriverEntry, once
  ndis::InitializeResult initialize(std::vector<NDIS_MEDIUM> media = {NdisMedium802_3});
  // Installs (unless already done), loads, initialises, asserts a running adapter, binds a
  // protocol and lets the controller settle (and join a network, within a second).
  void bringUp();
  bool portConnected() const;
  void halt();
  PADAPTER record() const;  // the adapter record of the running adapter

  // Runs a driver routine directly, with this handheld's host and bus current.
  template <typename F>
  auto call(F &&f) {
    ndis::ScopedHost scopedHost(*host);
    ceddk::ScopedBus scopedBus(bus);
    return f(record());
  }

  // ---- traffic ----
  // Sends a frame cut into buffers at `cuts`; the packet lives as long as the rig.
  NDIS_PACKET *send(const Bytes &frame, std::vector<std::size_t> cuts = {});
  // Sends a packet built by the test (the rig keeps it).
  NDIS_PACKET *send(std::unique_ptr<ndis::Packet> packet);
  // Hands the controller an 802.11 data frame from the access point to this station.
  sim::ReceiveResult receive(const Bytes &body, const sim::MacAddress &source,
                             std::optional<sim::MacAddress> destination = std::nullopt);
  void settle(Micros duration = 20000) { loop.runFor(duration); }

  std::vector<NDIS_STATUS> statusesOf(NDIS_PACKET *packet) const;
  sim::MacAddress stationAddress() const { return controller->stationAddress(); }

  EventLoop loop{EventLoop::Mode::Virtual};
  ceddk::PortBus bus;
  RegistrySandbox registry;
  std::unique_ptr<sim::air::World> world;  // outlives the controller on its air
  std::unique_ptr<sim::Controller> controller;
  std::unique_ptr<PortTap> tap;
  std::unique_ptr<ndis::Host> host;
  DriverImage image;
  ndis::Driver *driver = nullptr;
  ndis::Adapter *adapter = nullptr;
  int binding = 0;

  std::vector<Completion> completions;
  std::vector<Indication> indications;
  std::size_t receiveCompletes = 0;
  std::vector<sim::TransmittedFrame> transmitted;
  std::optional<TransferRequest> transferInIndication;

 private:
  bool installed_ = false;
  std::vector<std::unique_ptr<ndis::Packet>> packets_;
};

// ---- frame builders ----
Bytes ethernetFrame(const sim::MacAddress &destination, const sim::MacAddress &source, std::uint16_t typeOrLength,
                    const Bytes &payload);
Bytes pattern(std::size_t size, std::uint8_t seed = 1);
Bytes concat(std::initializer_list<Bytes> parts);
std::uint16_t le16(const Bytes &b, std::size_t at);

}  // namespace teskel::test
