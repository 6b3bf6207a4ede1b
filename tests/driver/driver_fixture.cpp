// The simulated handheld of the driver tests: wiring of loop, bus, port tap, controller, registry
// store and NDIS host, bring-up of the card's adapter, and the recording protocol binding.
#include "driver_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

namespace teskel::test {

// ---------------------------------------------------------------------------------------------
// Port tap

int PortTap::dataPath(std::uint32_t offset) const {
  if (offset == REG_DATA0) return 0;
  if (offset == REG_DATA1) return 1;
  return -1;
}

std::uint16_t PortTap::filter(std::uint32_t offset, std::uint16_t value, unsigned step) {
  int path = dataPath(offset);
  Read read{offset, path, path >= 0 ? selected_[path] : std::uint16_t(0), path >= 0 ? position_[path] : std::uint16_t(0),
            value};
  if (path >= 0) position_[path] = static_cast<std::uint16_t>(position_[path] + step);
  return hook_ ? hook_(read) : value;
}

std::uint16_t PortTap::readPort16(std::uint32_t offset) { return filter(offset, device_.readPort16(offset), 2); }

std::uint8_t PortTap::readPort8(std::uint32_t offset) {
  return static_cast<std::uint8_t>(filter(offset, device_.readPort8(offset), 1));
}

void PortTap::writePort16(std::uint32_t offset, std::uint16_t value) {
  if (offset == REG_SELECT0) selected_[0] = value;
  if (offset == REG_SELECT1) selected_[1] = value;
  if (offset == REG_OFFSET0) position_[0] = value;
  if (offset == REG_OFFSET1) position_[1] = value;
  int path = dataPath(offset);
  if (path >= 0) position_[path] = static_cast<std::uint16_t>(position_[path] + 2);
  device_.writePort16(offset, value);
}

void PortTap::writePort8(std::uint32_t offset, std::uint8_t value) {
  int path = dataPath(offset);
  if (path >= 0) position_[path] = static_cast<std::uint16_t>(position_[path] + 1);
  device_.writePort8(offset, value);
}

void PortTap::readPort16String(std::uint32_t offset, std::uint16_t *words, std::size_t count) {
  int path = dataPath(offset);
  if (hook_ || path < 0) return PortDevice::readPort16String(offset, words, count);
  device_.readPort16String(offset, words, count);
  position_[path] = static_cast<std::uint16_t>(position_[path] + 2 * count);
}

void PortTap::writePort16String(std::uint32_t offset, const std::uint16_t *words, std::size_t count) {
  int path = dataPath(offset);
  if (path < 0) return PortDevice::writePort16String(offset, words, count);
  position_[path] = static_cast<std::uint16_t>(position_[path] + 2 * count);
  device_.writePort16String(offset, words, count);
}

// ---------------------------------------------------------------------------------------------
// The rig

DriverRig::DriverRig(DriverImage driverImage, sim::ControllerOptions options, sim::air::WorldConfig worldConfig)
    : image(driverImage) {
  world = sim::air::makeWorld(loop, std::move(worldConfig));
  if (!options.medium) options.medium = &world->medium();
  controller = std::make_unique<sim::Controller>(loop, bus, kIrq, std::move(options));
  controller->onTransmit([this](const sim::TransmittedFrame &frame) { transmitted.push_back(frame); });
  tap = std::make_unique<PortTap>(*controller);
  bus.map(kIoBase, PORT_WINDOW_SIZE, *tap);
  host = std::make_unique<ndis::Host>(loop, bus, registry.store());
}

DriverRig::~DriverRig() {
  host.reset();
  bus.unmap(kIoBase);
}

void DriverRig::install() {
  std::u16string name = kDeviceKeyName;
  std::u16string output(128, u'\0');
  ASSERT_EQ(image.install(name.data(), output.data(), static_cast<DWORD>(output.size())), output.data());
  installed_ = true;
}

void DriverRig::setParm(const std::string &name, std::uint32_t value) {
  Bytes data = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  registry.store().setValue(kParms, name, REG_DWORD, data);
}

void DriverRig::setParm(const std::string &name, const std::u16string &text) {
  Bytes data;
  for (char16_t c : text) {
    data.push_back(static_cast<std::uint8_t>(c));
    data.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  registry.store().setValue(kParms, name, REG_SZ, data);
}

void DriverRig::setParmBinary(const std::string &name, const Bytes &bytes) {
  registry.store().setValue(kParms, name, REG_BINARY, bytes);
}

void DriverRig::removeParm(const std::string &name) { registry.store().deleteValue(kParms, name); }

ndis::Driver &DriverRig::load() {
  if (!driver) driver = &host->loadDriver("Teskel", image.entry);
  return *driver;
}

ndis::InitializeResult DriverRig::initialize(std::vector<NDIS_MEDIUM> media) {
  ndis::InitializeResult result = host->initializeAdapter(load(), kInstance, std::move(media));
  adapter = result.adapter;
  return result;
}

void DriverRig::bringUp() {
  if (!installed_) {
    install();
    if (::testing::Test::HasFatalFailure()) return;
  }
  ndis::InitializeResult result = initialize();
  ASSERT_EQ(result.status, NDIS_STATUS_SUCCESS);
  ASSERT_EQ(adapter->state(), ndis::Adapter::State::Running);

  ndis::Binding b;
  b.sendComplete = [this](NDIS_PACKET *packet, NDIS_STATUS status) { completions.push_back({packet, status}); };
  b.receive = [this](ndis::Adapter &a, const ndis::ReceiveIndication &indication) {
    Indication seen;
    seen.header.assign(indication.header.begin(), indication.header.end());
    seen.lookahead.assign(indication.lookahead.begin(), indication.lookahead.end());
    seen.packetSize = indication.packetSize;
    if (transferInIndication) {
      const TransferRequest &request = *transferInIndication;
      UINT count = request.count.value_or(indication.packetSize - std::min(indication.packetSize, request.offset));
      std::vector<std::size_t> sizes = request.bufferSizes;
      if (sizes.empty()) sizes.push_back(count);
      auto target = ndis::Packet::withBuffers(sizes);
      seen.transfer = a.transferData(target->ndis(), request.offset, count);
      seen.transferred = target->contents();
    }
    indications.push_back(std::move(seen));
  };
  b.receiveComplete = [this](ndis::Adapter &) { ++receiveCompletes; };
  binding = adapter->bind(std::move(b));
  settle();
  for (int i = 0; i < 100 && !portConnected(); ++i) settle(10000);
}

bool DriverRig::portConnected() const {
  const std::uint16_t s = controller->portStatus();
  return s == sim::hw::kPortAssociated || s == sim::hw::kPortAdHocJoined;
}

void DriverRig::halt() {
  ASSERT_NE(adapter, nullptr);
  adapter->halt();
}

PADAPTER DriverRig::record() const {
  if (!adapter) throw std::logic_error("no adapter");
  return static_cast<PADAPTER>(adapter->context());
}

NDIS_PACKET *DriverRig::send(const Bytes &frame, std::vector<std::size_t> cuts) {
  return send(ndis::Packet::fromFrame(frame, std::move(cuts)));
}

NDIS_PACKET *DriverRig::send(std::unique_ptr<ndis::Packet> packet) {
  NDIS_PACKET *p = packet->ndis();
  packets_.push_back(std::move(packet));
  adapter->send(binding, p);
  return p;
}

sim::ReceiveResult DriverRig::receive(const Bytes &body, const sim::MacAddress &source,
                                      std::optional<sim::MacAddress> destination) {
  sim::MacAddress da = destination.value_or(controller->stationAddress());
  // Data, from the distribution system: addresses are DA, BSSID, SA.
  Bytes frame(24, 0);
  frame[0] = 0x08;
  frame[1] = 0x02;
  std::copy(da.begin(), da.end(), frame.begin() + 4);
  std::copy(kBssid.begin(), kBssid.end(), frame.begin() + 10);
  std::copy(source.begin(), source.end(), frame.begin() + 16);
  frame[22] = 0x10;
  frame.resize(24 + body.size());
  std::copy(body.begin(), body.end(), frame.begin() + 24);
  return controller->receiveFrame(frame);
}

std::vector<NDIS_STATUS> DriverRig::statusesOf(NDIS_PACKET *packet) const {
  std::vector<NDIS_STATUS> out;
  for (const auto &c : completions)
    if (c.packet == packet) out.push_back(c.status);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Frames

Bytes ethernetFrame(const sim::MacAddress &destination, const sim::MacAddress &source, std::uint16_t typeOrLength,
                    const Bytes &payload) {
  Bytes frame(destination.begin(), destination.end());
  frame.insert(frame.end(), source.begin(), source.end());
  frame.push_back(static_cast<std::uint8_t>(typeOrLength >> 8));
  frame.push_back(static_cast<std::uint8_t>(typeOrLength));
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

Bytes pattern(std::size_t size, std::uint8_t seed) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 13 + (i >> 8));
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::uint16_t le16(const Bytes &b, std::size_t at) { return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8)); }

}  // namespace teskel::test
