// Test rig for the controller model: a virtual clock, a port bus with the controller mapped at
// 0x300 and its radio on a world's air (the default world unless a test gives one), and
// host-side helpers that speak the port protocol the way a driver would.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "teskel/controller.h"

namespace rig {

using namespace teskel;
using namespace teskel::sim;
using namespace teskel::sim::hw;

constexpr std::uint32_t kBase = 0x300;
constexpr unsigned kLine = 9;

struct Rig {
  EventLoop loop{EventLoop::Mode::Virtual};
  ceddk::PortBus bus;
  std::unique_ptr<air::World> world;
  std::unique_ptr<Controller> ctl;

  explicit Rig(ControllerOptions options = {}, air::WorldConfig config = air::WorldConfig::defaults()) {
    world = air::makeWorld(loop, std::move(config));
    options.medium = &world->medium();
    ctl = std::make_unique<Controller>(loop, bus, kLine, std::move(options));
    bus.map(kBase, kPortCount, *ctl);
  }
  ~Rig() { bus.unmap(kBase); }

  std::uint16_t rd(std::uint32_t reg) { return bus.read16(kBase + reg); }
  void wr(std::uint32_t reg, std::uint16_t v) { bus.write16(kBase + reg, v); }
  void stall(Micros us) { loop.stall(us); }

  // Polls the event status every 10 us until `bits` shows, at most `limit` us of device time.
  bool waitEvent(std::uint16_t bits, Micros limit = 100000) {
    for (Micros waited = 0; waited <= limit; waited += 10) {
      if (rd(kRegEventStatus) & bits) return true;
      stall(10);
    }
    return false;
  }

  bool waitNotBusy(Micros limit = 100000) {
    for (Micros waited = 0; waited <= limit; waited += 10) {
      if (!(rd(kRegCommand) & kBusy)) return true;
      stall(10);
    }
    return false;
  }

  // The whole handshake; the status word, or nothing when the command never completed.
  std::optional<std::uint16_t> command(std::uint16_t code, std::uint16_t p0 = 0, std::uint16_t p1 = 0,
                                       std::uint16_t p2 = 0) {
    if (!waitNotBusy()) return std::nullopt;
    wr(kRegParam0, p0);
    wr(kRegParam1, p1);
    wr(kRegParam2, p2);
    wr(kRegCommand, code);
    if (!waitEvent(kEvCmd, 10000)) return std::nullopt;
    std::uint16_t s = rd(kRegStatus);
    wr(kRegEventAck, kEvCmd);
    return s;
  }
  // Result field of a completed command; -1 when it never completed.
  int result(std::uint16_t code, std::uint16_t p0 = 0, std::uint16_t p1 = 0, std::uint16_t p2 = 0) {
    auto s = command(code, p0, p1, p2);
    return s ? (*s >> 8) & 0x7F : -1;
  }

  // Device start as a driver does it: initialise, forget every event, enable; then the air
  // time it takes to join a network (at most `joinLimit`).
  void start(Micros joinLimit = 1000000) {
    ASSERT_EQ(result(kCmdInitialize), 0);
    wr(kRegEventAck, 0xFFFF);
    ASSERT_EQ(result(kCmdEnable), 0);
    waitConnected(joinLimit);
  }
  bool waitConnected(Micros limit = 1000000) {
    for (Micros waited = 0; waited <= limit; waited += 1000) {
      const std::uint16_t s = ctl->portStatus();
      if (s == kPortAssociated || s == kPortAdHocJoined) return true;
      stall(1000);
    }
    return false;
  }

  void seek(int path, std::uint16_t id, std::uint16_t offset) {
    wr(path ? kRegSelect1 : kRegSelect0, id);
    wr(path ? kRegOffset1 : kRegOffset0, offset);
    for (int i = 0; i < 100 && (rd(path ? kRegOffset1 : kRegOffset0) & kBusy); ++i) stall(1);
  }
  std::uint32_t dataPort(int path) const { return kBase + (path ? kRegData1 : kRegData0); }

  std::vector<std::uint8_t> readBytes(std::uint16_t id, std::uint16_t offset, std::size_t n, int path = 0) {
    seek(path, id, offset);
    std::vector<std::uint16_t> words((n + 1) / 2);
    bus.readString16(dataPort(path), words.data(), words.size());
    std::vector<std::uint8_t> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(words[i / 2] >> (8 * (i % 2)));
    return out;
  }
  void writeBytes(std::uint16_t id, std::uint16_t offset, const std::vector<std::uint8_t> &bytes, int path = 0) {
    seek(path, id, offset);
    std::vector<std::uint16_t> words(bytes.size() / 2);
    for (std::size_t i = 0; i < words.size(); ++i)
      words[i] = static_cast<std::uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    bus.writeString16(dataPort(path), words.data(), words.size());
    if (bytes.size() % 2) bus.write8(dataPort(path), bytes.back());
  }

  // A record's data words through `path`, or nothing when the access read failed.
  std::optional<std::vector<std::uint16_t>> getRecord(std::uint16_t rid, int path = 0) {
    if (result(kCmdAccessRead, rid) != 0) return std::nullopt;
    auto head = readBytes(rid, 0, 4, path);
    std::uint16_t length = static_cast<std::uint16_t>(head[0] | (head[1] << 8));
    std::uint16_t id = static_cast<std::uint16_t>(head[2] | (head[3] << 8));
    EXPECT_EQ(id, rid);
    auto data = readBytes(rid, 4, (length - 1u) * 2u, path);
    std::vector<std::uint16_t> words(length - 1u);
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = static_cast<std::uint16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    return words;
  }
  // Stages (length, rid, words) through `path` and commits; the commit's result.
  int setRecord(std::uint16_t rid, const std::vector<std::uint16_t> &words, int path = 0,
                std::optional<std::uint16_t> length = std::nullopt) {
    std::vector<std::uint8_t> image;
    auto put = [&](std::uint16_t w) {
      image.push_back(static_cast<std::uint8_t>(w));
      image.push_back(static_cast<std::uint8_t>(w >> 8));
    };
    put(length.value_or(static_cast<std::uint16_t>(words.size() + 1)));
    put(rid);
    for (auto w : words) put(w);
    writeBytes(rid, 0, image, path);
    return result(kCmdAccessWrite, rid);
  }

  // Allocates a transmit buffer of `size` bytes and takes it off the allocation queue.
  std::optional<std::uint16_t> allocate(std::uint16_t size = 1585) {
    if (result(kCmdAllocate, size) != 0) return std::nullopt;
    if (!waitEvent(kEvAlloc, 1000)) return std::nullopt;
    std::uint16_t fid = rd(kRegAllocFid);
    wr(kRegEventAck, kEvAlloc);
    return fid;
  }

  bool hasViolation(const std::string &kind) const {
    for (auto &v : ctl->violations())
      if (v.rfind(kind + ":", 0) == 0) return true;
    return false;
  }
  std::string violationText() const {
    std::string s;
    for (auto &v : ctl->violations()) s += v + "\n";
    return s;
  }
};

inline std::vector<std::uint8_t> mac(std::initializer_list<std::uint8_t> b) { return std::vector<std::uint8_t>(b); }

// A data frame as an access point sends it to a station (From-DS): addr1 destination,
// addr2 BSSID, addr3 source.
inline std::vector<std::uint8_t> fromAp(const MacAddress &da, const MacAddress &bssid, const MacAddress &sa,
                                        const std::vector<std::uint8_t> &body, std::uint16_t fc = 0x0208) {
  std::vector<std::uint8_t> f = {static_cast<std::uint8_t>(fc), static_cast<std::uint8_t>(fc >> 8), 0, 0};
  f.insert(f.end(), da.begin(), da.end());
  f.insert(f.end(), bssid.begin(), bssid.end());
  f.insert(f.end(), sa.begin(), sa.end());
  f.push_back(0x10);
  f.push_back(0x00);
  f.insert(f.end(), body.begin(), body.end());
  return f;
}

inline std::vector<std::uint8_t> snapBody(std::uint8_t oui3, std::uint16_t type, std::size_t payload) {
  std::vector<std::uint8_t> b = {0xAA, 0xAA, 0x03, 0x00, 0x00, oui3, static_cast<std::uint8_t>(type >> 8),
                                 static_cast<std::uint8_t>(type)};
  for (std::size_t i = 0; i < payload; ++i) b.push_back(static_cast<std::uint8_t>(i * 7 + 1));
  return b;
}

inline const MacAddress kHarbor = {0x02, 0x48, 0x41, 0x52, 0x42, 0x01};
inline const MacAddress kPeer = {0x02, 0x00, 0x00, 0x00, 0x00, 0x99};
inline const MacAddress kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

}  // namespace rig
