// The radio world around the card: the air by channel, access points with their responders, ad hoc
// peers, world events on the simulated clock, and observers of everything sent (captures).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "teskel/event_loop.h"

namespace teskel::sim::air {

using Mac = std::array<std::uint8_t, 6>;
using Ipv4 = std::array<std::uint8_t, 4>;

// One frame as it went on the air.
struct AirFrame {
  std::vector<std::uint8_t> bytes;  // the 802.11 MAC frame as sent (WEP encrypted as sent), no FCS
  int channel = 0;                  // 1 to 14
  int rate500k = 4;                 // rate in 500 kbit/s units (4: 2 Mbit/s)
  int signal = 0;                   // the sender's signal level, 0 to 200
  int noise = 10;
  Micros start = 0;                 // when it started on the air
  Micros airtime = 0;               // header + body + FCS at the rate, plus preamble and spacing
};

// Air time of a frame of `macBytes` bytes (802.11 header and body, FCS not included) at 2 Mbit/s.
Micros airtimeOf(std::size_t macBytes);

// WEP's primitives: the CRC-32 of its ICV, and RC4 with any key length (the stream XORed in place).
std::uint32_t crc32(std::span<const std::uint8_t> data);
void rc4(std::span<const std::uint8_t> key, std::span<std::uint8_t> data);

// WEP as the radios of this world use it: a 40-bit key, RC4 seeded with the 3-byte IV and the key,
// a key-id byte after the IV, and the CRC-32 of the body (little-endian) encrypted behind it.
// Encrypt gives IV, key id and the encrypted body and ICV; decrypt gives the body, or nothing
// when the ICV does not match.
std::vector<std::uint8_t> wepEncrypt(const std::array<std::uint8_t, 5> &key, std::uint32_t iv, unsigned keyId,
                                     std::span<const std::uint8_t> body);
std::optional<std::vector<std::uint8_t>> wepDecrypt(const std::array<std::uint8_t, 5> &key,
                                                    std::span<const std::uint8_t> protectedBody);

// The responder behind an access point or in a peer: answers ARP and ICMP echo, discards UDP to
// port 9 and echoes UDP to port 7.
struct ResponderConfig {
  Mac mac{};
  Ipv4 ip{};
  int prefixLength = 24;
};

struct AccessPointConfig {
  std::string ssid;
  Mac bssid{};
  int channel = 6;
  int signal = 100;                             // 0 to 200
  std::optional<std::array<std::uint8_t, 5>> wepKey;  // 40-bit key; unset: open network
  ResponderConfig responder;
};

struct PeerConfig {  // an ad hoc station with a responder of its own
  std::string ssid;
  Mac mac{};
  int channel = 3;
  int signal = 90;
  std::optional<std::array<std::uint8_t, 5>> wepKey;
  ResponderConfig responder;
};

struct WorldEvent {
  Micros at = 0;
  std::string name;  // SSID of an access point or peer (the first of that name)
  bool on = false;
};

struct WorldConfig {
  std::vector<AccessPointConfig> accessPoints;
  std::vector<PeerConfig> peers;
  std::vector<WorldEvent> events;
  double lossPercent = 0;  // each frame dropped independently with this probability
  std::uint64_t seed = 1;

  // Harbor (channel 6, open) and Vault (channel 11, WEP), each with its responder.
  static WorldConfig defaults();
};

// A radio on the air: the card's controller, an access point, a peer.
class Radio {
 public:
  virtual ~Radio() = default;
  virtual int channel() const = 0;
  // A frame on this radio's channel has ended its air time; `signal` is how strongly it was heard.
  virtual void hear(const AirFrame &frame) = 0;
};

class Medium {
 public:
  using Observer = std::function<void(const AirFrame &)>;
  virtual ~Medium() = default;
  virtual void attach(Radio &radio) = 0;
  virtual void detach(Radio &radio) = 0;
  // Puts a frame on the air now; every other radio on its channel hears it after its air time
  // (unless the loss rate drops it for that radio). Observers see every frame sent.
  virtual void send(Radio &from, AirFrame frame) = 0;
  virtual void addObserver(Observer observer) = 0;
};

class World {
 public:
  virtual ~World() = default;
  virtual Medium &medium() = 0;
  virtual const WorldConfig &config() const = 0;
  // Frames and bytes carried, for status lines.
  struct Counters {
    std::uint64_t frames = 0, bytes = 0, lost = 0;
  };
  virtual Counters counters() const = 0;
};

// Builds the world on the loop: access points start beaconing at once, events are scheduled.
std::unique_ptr<World> makeWorld(EventLoop &loop, WorldConfig config);

}  // namespace teskel::sim::air
