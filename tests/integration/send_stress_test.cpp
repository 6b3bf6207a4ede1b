// Send stress through the real path: the socket loads libTeskel.so and brings the card up, a
// protocol binding sends many random packets in random buffer chains while the virtual clock runs
// random amounts between bursts and the adapter is reset now and then. Every packet must come back
// exactly once, and every frame the controller puts on the air must be the packet as sent, after
// the Ethernet II -> 802.3 + SNAP rewrite computed here independently.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <sstream>

#include "teskel/controller.h"
#include "teskel/event_loop.h"
#include "teskel/ndis_host.h"
#include "teskel/controller_card.h"
#include "teskel/pccard.h"
#include "teskel/port_bus.h"
#include "teskel/registry_store.h"
#include "teskel/test_env.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kSends = 100000;
constexpr std::uint32_t kDefaultSeed = 0x7E5CE1;
constexpr std::size_t kMaxEthernetFrame = 1514;
constexpr std::size_t kDescriptorHeader = 46;  // zero bytes before the 802.3 header in a transmit buffer

// What the controller must find behind the descriptor for a packet of these bytes. An empty packet
// leaves the zeroed descriptor as it is: a header of zeros with length 0 and no body.
Bytes expectedAtSeam(const Bytes &frame) {
  if (frame.empty()) return Bytes(14, 0);
  const unsigned typeOrLength = frame[12] << 8 | frame[13];
  if (typeOrLength <= 1500) return frame;
  Bytes out(frame.begin(), frame.begin() + 12);
  const std::size_t length = frame.size() - 6;  // SNAP header, type and payload
  out.push_back(static_cast<std::uint8_t>(length >> 8));
  out.push_back(static_cast<std::uint8_t>(length));
  const bool tunnel = typeOrLength == 0x8137 || typeOrLength == 0x80F3;
  out.insert(out.end(), {0xAA, 0xAA, 0x03, 0x00, 0x00, static_cast<std::uint8_t>(tunnel ? 0xF8 : 0x00)});
  out.insert(out.end(), frame.begin() + 12, frame.end());
  return out;
}

enum class Kind { Valid, Empty, Invalid };

struct Send {
  std::uint64_t id = 0;
  Kind kind = Kind::Valid;
  Bytes frame;
  Bytes memory;  // the buffers' bytes live here, at the offsets the chain gives them
  std::vector<PNDIS_BUFFER> buffers;
  std::string chain;  // for messages
};

class TempRoot {
 public:
  TempRoot() {
    std::string pattern = (fs::temp_directory_path() / "teskel-stress-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempRoot() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path &path() const { return path_; }

 private:
  fs::path path_;
};

std::uint32_t seedFromEnvironment() {
  const char *text = std::getenv("TESKEL_STRESS_SEED");
  return text && *text ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 0)) : kDefaultSeed;
}

std::string hexBytes(const Bytes &b, std::size_t from, std::size_t count) {
  std::ostringstream out;
  for (std::size_t i = from; i < b.size() && i < from + count; ++i) {
    char h[4];
    std::snprintf(h, sizeof h, "%02X ", b[i]);
    out << h;
  }
  return out.str();
}

class SendStress {
 public:
  explicit SendStress(std::uint32_t seed) : random_(seed) {
    NDIS_STATUS status;
    NdisAllocatePacketPool(&status, &packetPool_, kPoolPackets, 0);
    if (status != NDIS_STATUS_SUCCESS) throw std::runtime_error("packet pool");
    NdisAllocateBufferPool(&status, &bufferPool_, kPoolPackets * kMaxBuffers);
    if (status != NDIS_STATUS_SUCCESS) throw std::runtime_error("buffer pool");
  }
  ~SendStress() {
    // Sends still with the adapter come back when the card is removed; any the host never handed
    // over are returned to the pools here, so the pools can go.
    socket.remove();
    for (auto &[packet, s] : outstanding) {
      for (PNDIS_BUFFER b : s.buffers) NdisFreeBuffer(b);
      NdisFreePacket(packet);
    }
    outstanding.clear();
    NdisFreeBufferPool(bufferPool_);
    NdisFreePacketPool(packetPool_);
  }

  // ---- the handheld ----
  TempRoot root;
  teskel::EventLoop loop{teskel::EventLoop::Mode::Virtual};
  teskel::ceddk::PortBus bus;
  teskel::registry::Store store{root.path() / teskel::registry::kStoreFileName};
  teskel::ndis::Host host{loop, bus, store};
  // The card's radio joins Harbor of the default world; the world outlives the card.
  std::unique_ptr<teskel::sim::air::World> world =
      teskel::sim::air::makeWorld(loop, teskel::sim::air::WorldConfig::defaults());
  teskel::pccard::Socket socket{host, teskel::pccard::SocketOptions{root.path()}};
  teskel::ndis::Adapter *adapter = nullptr;
  teskel::sim::Controller *card = nullptr;
  int binding = 0;

  // ---- what happened ----
  std::map<PNDIS_PACKET, Send> outstanding;
  std::deque<std::pair<std::uint64_t, Bytes>> awaitingAir;  // completed sends whose frame must come
  std::vector<std::string> problems;
  bool inReset = false;
  std::size_t sent = 0, sentAtReset = 0, onAir = 0, invalid = 0, lostToReset = 0, failedInReset = 0, resets = 0;

  void bringUp() {
    teskel::sim::ControllerOptions onTheAir;
    onTheAir.medium = &world->medium();
    auto report = socket.insert(teskel::sim::controllerCard(loop, bus, onTheAir));
    if (!report.ok()) throw std::runtime_error("the card did not come up: " +
                                               (report.errors.empty() ? std::string("adapter failed") : report.errors[0]));
    adapter = socket.adapter("Teskel1");
    card = teskel::sim::controllerIn(socket, "Teskel1");
    card->onTransmit([this](const teskel::sim::TransmittedFrame &f) { onFrame(f); });
    waitAssociated();
    teskel::ndis::Binding b;
    b.sendComplete = [this](NDIS_PACKET *p, NDIS_STATUS s) { onComplete(p, s); };
    binding = adapter->bind(std::move(b));
  }

  void sendOne() {
    Send s;
    s.id = ++nextId_;
    s.frame = randomFrame(s.kind);
    PNDIS_PACKET packet;
    NDIS_STATUS status;
    NdisAllocatePacket(&status, &packet, packetPool_);
    if (status != NDIS_STATUS_SUCCESS) throw std::runtime_error("out of packets");
    buildChain(s, packet);
    outstanding.emplace(packet, std::move(s));
    ++sent;
    adapter->send(binding, packet);
  }

  // Lets the clock run a random while: buffers come back from the air at varying points of the
  // send stream, from "none yet" to "all of them".
  void runRandomly() {
    std::uint32_t pick = uniform(0, 99);
    teskel::Micros span = pick < 20 ? 0 : pick < 80 ? uniform(1, 3000) : pick < 95 ? uniform(3000, 30000) : uniform(30000, 100000);
    loop.runFor(span);
    // Too many on their way: wait for the adapter to catch up, but not for ever.
    for (int waited = 0; outstanding.size() > kMaxOutstanding; ++waited) {
      if (waited == 100) {
        problems.push_back("sends stopped completing: " + state());
        return;
      }
      loop.runFor(20000);
    }
  }

  // What the adapter and the card hold, for a message about sends that stopped moving.
  std::string state() const {
    std::ostringstream out;
    out << outstanding.size() << " sends outstanding (" << adapter->sendsOutstanding() << " with the miniport), "
        << card->transmitBuffers().size() << " transmit buffers on the card, " << card->transmitBuffersInFlight()
        << " of them held for the air; event status 0x" << std::hex << card->eventStatus() << ", interrupt line "
        << (card->irqLevel() ? "up" : "down") << std::dec << ", port status " << card->portStatus() << "; "
        << (resets ? "the last reset came " + std::to_string(sent - sentAtReset) + " sends ago" : "no reset yet");
    if (!card->violations().empty()) out << "; the card recorded: " << card->violations().front();
    return out.str();
  }

  void reset() {
    inReset = true;
    auto result = adapter->reset();
    inReset = false;
    ++resets;
    sentAtReset = sent;
    if (result.status != NDIS_STATUS_SUCCESS)
      problems.push_back("MiniportReset returned " + std::to_string(result.status));
    // The controller's initialisation dropped whatever it still held for the air.
    lostToReset += awaitingAir.size();
    awaitingAir.clear();
    waitAssociated();
  }

  // Frames only reach the air once the card has joined its network again.
  void waitAssociated() {
    for (int i = 0; i < 100 && card->portStatus() != teskel::sim::hw::kPortAssociated; ++i) loop.runFor(10000);
    if (card->portStatus() != teskel::sim::hw::kPortAssociated) problems.push_back("the card never associated: " + state());
  }

  void drain() {
    for (int i = 0; i < 20 && (!outstanding.empty() || !awaitingAir.empty()); ++i) loop.runFor(100000);
    if (!outstanding.empty()) problems.push_back("sends never completed: " + state());
  }

  std::uint32_t uniform(std::uint32_t low, std::uint32_t high) {
    return std::uniform_int_distribution<std::uint32_t>(low, high)(random_);
  }

 private:
  static constexpr std::size_t kPoolPackets = 512;
  static constexpr std::size_t kMaxBuffers = 12;
  static constexpr std::size_t kMaxOutstanding = 96;

  Bytes randomFrame(Kind &kind) {
    std::uint32_t pick = uniform(0, 99);
    std::size_t size;
    if (pick < 3) {
      kind = Kind::Empty;
      size = 0;
    } else if (pick < 6) {
      kind = Kind::Invalid;  // a runt without a whole header
      size = uniform(1, 13);
    } else if (pick < 9) {
      kind = Kind::Invalid;  // longer than any Ethernet frame
      size = uniform(kMaxEthernetFrame + 1, 4000);
    } else {
      kind = Kind::Valid;
      // Small frames and the largest ones are where the edges are; weight them up.
      std::uint32_t band = uniform(0, 9);
      size = band == 0 ? uniform(14, 64) : band == 1 ? uniform(1500, kMaxEthernetFrame) : uniform(14, kMaxEthernetFrame);
    }
    Bytes frame(size);
    for (auto &b : frame) b = static_cast<std::uint8_t>(random_());
    if (kind == Kind::Valid) {
      // Type or length: Ethernet II types (the two bridge-tunnel ones included), or an 802.3 length
      // that matches the payload, as a well-formed 802.3 frame carries.
      static const std::uint16_t kTypes[] = {0x0800, 0x0806, 0x86DD, 0x8137, 0x80F3, 0x05DD, 0xFFFF};
      std::uint32_t t = uniform(0, 9);
      std::uint16_t value = t < 7 ? kTypes[t] : t < 9 ? static_cast<std::uint16_t>(uniform(0x05DD, 0xFFFF))
                                                       : static_cast<std::uint16_t>(size - 14);
      frame[12] = static_cast<std::uint8_t>(value >> 8);
      frame[13] = static_cast<std::uint8_t>(value);
    }
    return frame;
  }

  // Cuts the frame into a random chain: no buffers at all, empty buffers anywhere, odd lengths,
  // and buffers that start at odd addresses.
  void buildChain(Send &s, PNDIS_PACKET packet) {
    std::vector<std::size_t> pieces;
    std::size_t left = s.frame.size();
    std::uint32_t shape = uniform(0, 9);
    if (left == 0 && shape < 3) {
      // an empty chain: the packet has no buffer at all
    } else {
      std::size_t count = shape < 4 ? 1 : uniform(2, kMaxBuffers - 2);
      for (std::size_t i = 0; i + 1 < count && left > 0; ++i) {
        std::size_t piece = uniform(0, 3) == 0 ? 0 : uniform(1, static_cast<std::uint32_t>(std::min<std::size_t>(left, 40 + left / 2)));
        pieces.push_back(std::min(piece, left));
        left -= pieces.back();
      }
      pieces.push_back(left);
      if (uniform(0, 4) == 0) pieces.insert(pieces.begin() + uniform(0, static_cast<std::uint32_t>(pieces.size())), 0);
    }
    // Each piece at an offset of its own parity, with a gap so neighbours never touch.
    std::vector<std::size_t> offsets;
    std::size_t at = 0;
    for (std::size_t piece : pieces) {
      at += 1 + uniform(0, 2);
      offsets.push_back(at);
      at += piece;
    }
    s.memory.assign(at + 4, 0xEE);
    std::size_t from = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      std::copy(s.frame.begin() + static_cast<std::ptrdiff_t>(from),
                s.frame.begin() + static_cast<std::ptrdiff_t>(from + pieces[i]),
                s.memory.begin() + static_cast<std::ptrdiff_t>(offsets[i]));
      PNDIS_BUFFER buffer;
      NDIS_STATUS status;
      NdisAllocateBuffer(&status, &buffer, bufferPool_, s.memory.data() + offsets[i], static_cast<UINT>(pieces[i]));
      if (status != NDIS_STATUS_SUCCESS) throw std::runtime_error("out of buffers");
      NdisChainBufferAtBack(packet, buffer);
      s.buffers.push_back(buffer);
      s.chain += (s.chain.empty() ? "" : "+") + std::to_string(pieces[i]) + ((offsets[i] & 1) ? "@odd" : "");
      from += pieces[i];
    }
    if (s.chain.empty()) s.chain = "no buffers";
  }

  void onComplete(PNDIS_PACKET packet, NDIS_STATUS status) {
    auto it = outstanding.find(packet);
    if (it == outstanding.end()) {
      problems.push_back("a completion for a packet that is not outstanding");
      return;
    }
    Send s = std::move(it->second);
    outstanding.erase(it);
    for (PNDIS_BUFFER b : s.buffers) NdisFreeBuffer(b);
    NdisFreePacket(packet);
    // The memory goes back to the protocol now; spoil it so a late read of it shows.
    std::fill(s.memory.begin(), s.memory.end(), 0xDD);

    if (s.kind == Kind::Invalid) {
      ++invalid;
      return;
    }
    if (status == NDIS_STATUS_SUCCESS) {
      awaitingAir.emplace_back(s.id, expectedAtSeam(s.frame));
    } else if (inReset) {
      ++failedInReset;  // queued when the reset came: failed back, never sent
    } else {
      problems.push_back("send " + std::to_string(s.id) + " (" + std::to_string(s.frame.size()) + " bytes, " + s.chain +
                         ") completed with status " + std::to_string(status) + " without a reset");
    }
  }

  void onFrame(const teskel::sim::TransmittedFrame &f) {
    if (awaitingAir.empty()) {
      problems.push_back("a frame on the air that no completed send accounts for: " + hexBytes(f.buffer, 46, 32));
      return;
    }
    auto [id, expected] = std::move(awaitingAir.front());
    awaitingAir.pop_front();
    ++onAir;
    Bytes seen(f.buffer.begin() + static_cast<std::ptrdiff_t>(std::min(kDescriptorHeader, f.buffer.size())), f.buffer.end());
    bool zeros = f.buffer.size() >= kDescriptorHeader &&
                 std::all_of(f.buffer.begin(), f.buffer.begin() + kDescriptorHeader, [](std::uint8_t b) { return b == 0; });
    if (seen != expected || !zeros) {
      std::size_t at = 0;
      while (at < seen.size() && at < expected.size() && seen[at] == expected[at]) ++at;
      problems.push_back("send " + std::to_string(id) + ": the controller found " + std::to_string(seen.size()) +
                         " bytes, expected " + std::to_string(expected.size()) +
                         (zeros ? "" : "; the descriptor is not zero") + "; first difference at byte " +
                         std::to_string(at) + ": got " + hexBytes(seen, at, 8) + "expected " +
                         hexBytes(expected, at, 8));
    }
  }

  std::mt19937 random_;
  NDIS_HANDLE packetPool_ = nullptr;
  NDIS_HANDLE bufferPool_ = nullptr;
  std::uint64_t nextId_ = 0;
};

TEST(SendStress, EveryPacketOnceEveryFrameAsSentThroughResets) {
  const std::uint32_t seed = seedFromEnvironment();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (rerun with TESKEL_STRESS_SEED=" + std::to_string(seed) + ")");
  const std::size_t sends = teskel::test::scaled(kSends);

  SendStress stress(seed);
  ASSERT_NO_THROW(stress.bringUp());
  while (stress.sent < sends) {
    std::size_t burst = stress.uniform(1, 12);
    for (std::size_t i = 0; i < burst && stress.sent < sends; ++i) stress.sendOne();
    stress.runRandomly();
    if (stress.uniform(0, 149) == 0) stress.reset();
    ASSERT_TRUE(stress.problems.empty()) << "after " << stress.sent << " sends: " << stress.problems.front();
    ASSERT_TRUE(stress.host.findings().empty()) << "after " << stress.sent << " sends: " << stress.host.findings().front();
    ASSERT_TRUE(stress.card->violations().empty())
        << "after " << stress.sent << " sends: " << stress.card->violations().front();
  }
  stress.drain();

  EXPECT_TRUE(stress.problems.empty()) << stress.problems.front();
  EXPECT_TRUE(stress.outstanding.empty()) << stress.outstanding.size() << " sends never completed";
  EXPECT_TRUE(stress.awaitingAir.empty()) << stress.awaitingAir.size() << " completed sends never reached the air";
  EXPECT_TRUE(stress.host.findings().empty()) << stress.host.findings().front();
  EXPECT_TRUE(stress.card->violations().empty()) << stress.card->violations().front();
  EXPECT_EQ(stress.host.errorLog().size(), 0u);
  // The run exercised what it claims to.
  EXPECT_GT(stress.resets, 0u);
  EXPECT_GT(stress.invalid, 0u);
  EXPECT_GT(stress.onAir, stress.sent / 2);
  std::cout << "seed " << seed << ": " << stress.sent << " sends, " << stress.onAir << " frames on the air, "
            << stress.invalid << " invalid, " << stress.resets << " resets (" << stress.failedInReset
            << " queued sends failed back, " << stress.lostToReset << " frames lost in the controller)\n";

  auto removed = stress.socket.remove();
  EXPECT_TRUE(removed.clean()) << removed.leftovers.front();
}

}  // namespace
