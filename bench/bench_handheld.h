// A simulated handheld for the benchmarks: the built driver in the PC Card socket, the card joined
// to Harbor of the default world, on the virtual clock; and what a frame must move across the bus.
#pragma once

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "teskel/air.h"
#include "teskel/controller.h"
#include "teskel/controller_card.h"
#include "teskel/controller_defs.h"
#include "teskel/event_loop.h"
#include "teskel/ndis_host.h"
#include "teskel/ndis_packet.h"
#include "teskel/pccard.h"
#include "teskel/port_bus.h"
#include "teskel/registry_store.h"
#include "teskel/temp_dir.h"

namespace teskel::bench {

using Bytes = std::vector<std::uint8_t>;
using teskel::sim::MacAddress;

// What must cross the bus for one IPv4 frame of an Ethernet size, in 16-bit words (an odd byte
// at the end moves as one access of its own). Sending: the 60-byte descriptor, the frame with its
// 8-byte SNAP encapsulation from offset 46 of the buffer (the addresses and the length field
// overwrite the descriptor's last 14 bytes) and the 8-byte tag trailer. Receiving: the 60-byte
// descriptor, which already holds the Ethernet header the driver indicates, and the body behind
// it: the frame past its header with the SNAP encapsulation.
constexpr std::size_t kDescriptor = 60, kEncapsulation = 8, kTrailer = 8, kEthernetHeader = 14;
inline std::size_t wordsToCross(std::size_t frame, bool transmit) {
  const std::size_t bytes = transmit ? kDescriptor + frame + kEncapsulation + kTrailer
                                     : kDescriptor + frame - kEthernetHeader + kEncapsulation;
  return (bytes + 1) / 2;
}
// The accesses of one frame beside its data words, as the driver is designed to make them, each
// seek polled twice (the controller's seek outlasts the first read of the offset register) and
// each command's completion likewise. Sending, 28: in the send, the interrupt mask read, cleared
// and restored (3); the descriptor's select, offset and two polls (4); the frame's likewise (4);
// the trailer's offset, two polls and the tag read back (4); the transmit command: busy check,
// parameter, command, two polls of the event status, status, acknowledgement (7); when the
// buffer comes back, the interrupt masked, the event status read, the buffer id read, the event
// acknowledged, the event status read again and the interrupt unmasked (6). Receiving, 14: the
// interrupt masked, the event status read, the frame's buffer id read, the descriptor's and the
// body's select, offset and two polls (8), the event acknowledged, the event status read again
// and the interrupt unmasked.
constexpr std::size_t kSendFixed = 28, kReceiveFixed = 14;

// The longest a single frame takes on a quiet channel, its backoff included, with room to spare.
constexpr teskel::Micros kLongestFrame = 50000;
constexpr std::size_t kIpUdpHeaders = 28;

// What n stations that always have a 1472-byte UDP datagram to send get of the air in all, in
// Mbit/s: Bianchi's analysis of the distributed coordination function in saturation, with this
// air's timings (slot 20 us, SIFS 10, DIFS 50, contention window 31 to 1023, 192 us of preamble,
// 2 Mbit/s). One station gets the air's own limit: 1472 bytes every 6.954 ms.
inline double saturationThroughput(int n) {
  const double w = 32, m = 5;  // CWmin + 1, and the doublings to CWmax
  auto tauOf = [&](double p) { return 2 * (1 - 2 * p) / ((1 - 2 * p) * (w + 1) + p * w * (1 - std::pow(2 * p, m))); };
  double lo = 0, hi = 0.4999;  // the collision probability, by bisection
  for (int i = 0; i < 100 && n > 1; ++i) {
    const double p = (lo + hi) / 2;
    (p - (1 - std::pow(1 - tauOf(p), n - 1)) > 0 ? hi : lo) = p;
  }
  const double tau = tauOf(n > 1 ? (lo + hi) / 2 : 0);
  const double busy = 1 - std::pow(1 - tau, n), success = n * tau * std::pow(1 - tau, n - 1) / busy;
  const double data = 192 + (1514 + 8 + 24 + 4 - kEthernetHeader) * 4.0;  // SNAP, header and FCS
  const double ts = data + 10 + 248 + 50, tc = data + 50;
  return success * busy * 1472 * 8 / ((1 - busy) * 20 + busy * success * ts + busy * (1 - success) * tc);
}

// A root folder of its own for every run.
struct TempRoot : teskel::test::TempDir {
  TempRoot() : TempDir("teskel-bench") {}
};

// An Ethernet II frame of `size` bytes carrying IPv4 (so it goes out with SNAP).
inline Bytes ethernetFrame(const MacAddress &to, const MacAddress &from, std::size_t size) {
  Bytes f(std::max(size, kEthernetHeader), 0);
  std::copy(to.begin(), to.end(), f.begin());
  std::copy(from.begin(), from.end(), f.begin() + 6);
  f[12] = 0x08;
  f[13] = 0x00;
  for (std::size_t i = kEthernetHeader; i < size; ++i) f[i] = static_cast<std::uint8_t>(i * 13);
  return f;
}

// A UDP datagram of `payload` bytes from .2 to the discard port of the responder at .1 of
// Harbor's network, as an Ethernet frame.
inline Bytes udpFrame(const MacAddress &to, const MacAddress &from, std::size_t payload) {
  Bytes f = ethernetFrame(to, from, kEthernetHeader + kIpUdpHeaders + payload);
  const std::uint8_t ip[20] = {0x45, 0, static_cast<std::uint8_t>((kIpUdpHeaders + payload) >> 8),
                               static_cast<std::uint8_t>(kIpUdpHeaders + payload), 0, 0, 0, 0, 64, 17, 0, 0,
                               192, 168, 77, 2, 192, 168, 77, 1};
  std::copy(std::begin(ip), std::end(ip), f.begin() + kEthernetHeader);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < 20; i += 2) sum += static_cast<std::uint32_t>(ip[i] << 8 | ip[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  f[kEthernetHeader + 10] = static_cast<std::uint8_t>(~sum >> 8);
  f[kEthernetHeader + 11] = static_cast<std::uint8_t>(~sum);
  const std::uint8_t udp[8] = {0x9C, 0x49, 0, 9, static_cast<std::uint8_t>((8 + payload) >> 8),
                               static_cast<std::uint8_t>(8 + payload), 0, 0};
  std::copy(std::begin(udp), std::end(udp), f.begin() + kEthernetHeader + 20);
  return f;
}

// One simulated handheld with the card up and joined to Harbor, on the virtual clock; with
// `contenders` more stations of the air saturating Harbor's channel.
class Handheld {
 public:
  explicit Handheld(unsigned contenders = 0) : world_(makeWorld(loop_, contenders)) {
    teskel::registry::setCurrentStore(&store_);
    teskel::sim::ControllerOptions onTheAir;
    onTheAir.medium = &world_->medium();
    auto report = socket_.insert(teskel::sim::controllerCard(loop_, bus_, onTheAir));
    if (!report.ok())
      throw std::runtime_error("the card did not come up: " + (report.errors.empty() ? "adapter failed" : report.errors[0]));
    if (report.instances.empty() || !report.instances[0].ioBase) throw std::runtime_error("the card has no port window");
    ioBase_ = *report.instances[0].ioBase;
    adapter_ = socket_.adapter("Teskel1");
    card_ = teskel::sim::controllerIn(socket_, "Teskel1");
    card_->onTransmit([this](const teskel::sim::TransmittedFrame &f) {
      ++onAir_;
      lastAirBytes_ = f.frame.size();
      lastAirEnd_ = f.end;
    });
    teskel::ndis::Binding b;
    b.sendComplete = [this](NDIS_PACKET *, NDIS_STATUS status) {
      ++completed_;
      if (status != NDIS_STATUS_SUCCESS) ++failed_;
    };
    b.receive = [this](teskel::ndis::Adapter &a, const teskel::ndis::ReceiveIndication &indication) {
      // As a stack does: the rest of the frame past the lookahead comes by transfer-data.
      ++indicated_;
      if (indication.lookahead.size() < indication.packetSize) {
        UINT rest = indication.packetSize - static_cast<UINT>(indication.lookahead.size());
        if (!transfer_ || transferSize_ != rest) {
          transfer_ = teskel::ndis::Packet::withBuffers({rest});
          transferSize_ = rest;
        }
        a.transferData(transfer_->ndis(), static_cast<UINT>(indication.lookahead.size()), rest);
      }
    };
    binding_ = adapter_->bind(std::move(b));
    loop_.runFor(2000000);  // scanning and joining, and the first status ticks
    // A busy channel may keep the card searching for a while.
    for (int i = 0; i < 60 && card_->portStatus() != 4; ++i) loop_.runFor(1000000);
    auto bssid = card_->record(0xFD42);
    if (card_->portStatus() != 4 || !bssid || bssid->size() < 6) throw std::runtime_error("the card joined no network");
    std::copy_n(bssid->begin(), 6, bssid_.begin());
  }
  ~Handheld() {
    socket_.remove();
    teskel::registry::setCurrentStore(nullptr);
  }
  Handheld(const Handheld &) = delete;
  Handheld &operator=(const Handheld &) = delete;

  // Sends one frame and runs the clock until it has left the air and the driver has taken its
  // buffer back (the allocation event acknowledged).
  void sendOne(teskel::ndis::Packet &packet) {
    std::uint64_t want = completed_ + 1, air = onAir_ + 1;
    adapter_->send(binding_, packet.ndis());
    while ((completed_ < want || onAir_ < air || card_->transmitBuffersInFlight() ||
            (card_->eventStatus() & teskel::sim::hw::kEvAlloc)) &&
           loop_.runOne()) {
    }
  }
  // Hands the card a frame from the access point and runs until the driver has indicated it.
  void receiveOne(const Bytes &frame80211) {
    std::uint64_t want = indicated_ + 1;
    teskel::sim::ReceiveResult r = card_->receiveFrame(frame80211);
    if (r != teskel::sim::ReceiveResult::Delivered)
      throw std::runtime_error(std::string("the card did not take the frame: ") + teskel::sim::toString(r));
    while (indicated_ < want && loop_.runOne()) {
    }
  }
  // The status tick and the information frame with the tallies that it asks for are not the
  // frame path's: a frame measured alone starts only when the next tick is more than `span` away,
  // else after that tick and its information frame. The timer is set again at the end of each
  // tick, so ticks come a little more than a second apart.
  void clearOfStatusTick(teskel::Micros span) {
    constexpr teskel::Micros kPeriod = 1000000, kInformationFrame = 20000;
    if (loop_.now() + span < nextTickAfter_) return;
    const std::uint64_t ticks = others().ticks;
    while (others().ticks == ticks && loop_.runOne()) {
    }
    const teskel::Micros tick = loop_.now();
    loop_.runFor(kInformationFrame);
    nextTickAfter_ = tick + kPeriod;
  }
  // What ran beside the frame path: the driver's timer function, and the information frames it
  // served (each begins with a read of the frame's buffer id).
  struct Others {
    std::uint64_t ticks = 0, informationFrames = 0;
    bool operator==(const Others &) const = default;
  };
  Others others() const {
    Others o;
    for (const auto &t : adapter_->entryPointTimes())
      if (t.entry == "timer function") o.ticks = t.calls;
    o.informationFrames = bus_.counters(ioBase_ + teskel::sim::hw::kRegInfoFid).reads;
    return o;
  }

  // A data frame from the distribution system to this station, with the body of an Ethernet
  // frame of `size` bytes (SNAP, type, payload).
  Bytes fromAccessPoint(std::size_t size) const {
    MacAddress self = card_->stationAddress();
    Bytes f(24, 0);
    f[0] = 0x08;
    f[1] = 0x02;  // from the distribution system
    std::copy(self.begin(), self.end(), f.begin() + 4);
    std::copy(bssid_.begin(), bssid_.end(), f.begin() + 10);
    std::copy(bssid_.begin(), bssid_.end(), f.begin() + 16);
    Bytes body = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00};
    for (std::size_t i = kEthernetHeader; i < size; ++i) body.push_back(static_cast<std::uint8_t>(i));
    f.insert(f.end(), body.begin(), body.end());
    return f;
  }

  teskel::EventLoop &loop() { return loop_; }
  teskel::ceddk::PortBus &bus() { return bus_; }
  std::uint32_t ioBase() const { return ioBase_; }
  teskel::ndis::Adapter &adapter() { return *adapter_; }
  int binding() const { return binding_; }
  MacAddress station() const { return card_->stationAddress(); }
  const MacAddress &bssid() const { return bssid_; }
  std::uint64_t onAir() const { return onAir_; }
  std::uint64_t completed() const { return completed_; }
  std::uint64_t failed() const { return failed_; }
  std::size_t lastAirBytes() const { return lastAirBytes_; }
  teskel::Micros lastAirEnd() const { return lastAirEnd_; }
  teskel::sim::air::World &world() { return *world_; }

 private:
  static std::unique_ptr<teskel::sim::air::World> makeWorld(teskel::EventLoop &loop, unsigned contenders) {
    auto config = teskel::sim::air::WorldConfig::defaults();
    config.contenders = contenders;
    return teskel::sim::air::makeWorld(loop, std::move(config));
  }

  TempRoot root_;
  teskel::EventLoop loop_{teskel::EventLoop::Mode::Virtual};
  teskel::ceddk::PortBus bus_;
  teskel::registry::Store store_{root_.path() / teskel::registry::kStoreFileName};
  teskel::ndis::Host host_{loop_, bus_, store_};
  // The default world; it outlives the card, whose radio is on its air.
  std::unique_ptr<teskel::sim::air::World> world_;
  teskel::pccard::Socket socket_{host_, teskel::pccard::SocketOptions{root_.path()}};
  teskel::ndis::Adapter *adapter_ = nullptr;
  teskel::sim::Controller *card_ = nullptr;
  int binding_ = 0;
  std::uint32_t ioBase_ = 0;
  teskel::Micros nextTickAfter_ = 0;
  MacAddress bssid_{};
  std::unique_ptr<teskel::ndis::Packet> transfer_;
  UINT transferSize_ = 0;
  std::uint64_t onAir_ = 0, completed_ = 0, failed_ = 0, indicated_ = 0;
  std::size_t lastAirBytes_ = 0;
  teskel::Micros lastAirEnd_ = 0;
};

}  // namespace teskel::bench
