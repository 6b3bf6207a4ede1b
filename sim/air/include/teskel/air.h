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
  int channel = 0;                  // 1 to 14 (the medium sets it from the sender's channel)
  int rate500k = 4;                 // rate in 500 kbit/s units (4: 2 Mbit/s)
  int signal = 0;                   // the sender's signal level, 0 to 200
  int noise = 10;
  Micros start = 0;                 // when its preamble started on the air
  Micros airtime = 0;               // PLCP preamble and header, then MAC header, body and FCS at the rate
  bool damaged = false;             // it overlapped another frame on its channel: nobody could decode it
};

// The direct-sequence PHY at 2 Mbit/s with the long preamble, and the access rules' timings.
namespace phy {
constexpr Micros kPreamble = 192;  // PLCP preamble and header, always at 1 Mbit/s
constexpr Micros kSlot = 20, kSifs = 10, kDifs = kSifs + 2 * kSlot;
constexpr std::size_t kFcs = 4, kAckBytes = 10;  // an acknowledgement: frame control, duration, address
constexpr int kRate1M = 2, kRate2M = 4;           // in 500 kbit/s units
constexpr unsigned kCwMin = 31, kCwMax = 1023;
constexpr unsigned kRetryLimit = 7;               // attempts of one frame, the first included
}  // namespace phy

// Air time of a frame of `macBytes` bytes (802.11 header and body, FCS not included) at a rate.
Micros airtimeOf(std::size_t macBytes, int rate500k = phy::kRate2M);

namespace phy {
// An acknowledgement at 1 Mbit/s is what the extended wait after a damaged frame leaves room for.
constexpr Micros kEifs = kSifs + kPreamble + (kAckBytes + kFcs) * 8 + kDifs;
// Where a beacon's timestamp leaves the antenna: after the PLCP preamble and the MAC header. The
// TSF it carries is the sender's at that moment.
constexpr Micros kTimestampOffset = kPreamble + 24 * 4;
}  // namespace phy

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
  // Stations of the air's own that associate with the first access point and send 1472-byte UDP
  // datagrams to its responder's discard port as fast as the air lets them (.101 upwards).
  unsigned contenders = 0;
  double lossPercent = 0;  // each reception of each frame lost independently with this probability
  std::uint64_t seed = 1;

  // Harbor (channel 6, open) and Vault (channel 11, WEP), each with its responder.
  static WorldConfig defaults();
};

// What a radio hears besides the carrier. A station contending for the air (and any plain
// listener) hears everything; a station with nothing to do hears only what it takes, and reads
// what it missed from the medium when it next has something to send (`Medium::catchUp`).
struct Interest {
  // Kinds of group-addressed frames.
  static constexpr std::uint8_t kBeacons = 1, kProbeRequests = 2, kGroupData = 4,
                                kOtherGroup = 8;  // other group-addressed frames, and frames too short to say

  bool everything = true;      // every frame on the channel, and the carrier of each
  std::optional<Mac> address;  // unicast frames to this address
  std::uint8_t groups = 0;
  std::optional<Mac> network;  // beacons only of this network (their BSSID field)
  bool others = false;         // unicast frames to other addresses too (promiscuous)
  bool damaged = false;        // every reception that is heard damaged (for its tallies)

  bool operator==(const Interest &) const = default;
};

// A radio on the air: the card's controller, an access point, a peer (each through its Dcf), or a
// test's transmitter. The medium tells a radio only about its own channel, and only what its
// interest takes.
class Radio {
 public:
  virtual ~Radio() = default;
  // A frame started on this radio's channel, its own included: the medium is busy until it ends.
  // Only radios that hear everything get it.
  virtual void carrier(const AirFrame &frame) { (void)frame; }
  // Another radio's frame on this channel ended. Not `intact`: it was heard damaged (it collided,
  // or the loss rate took it for this radio), and its bytes say nothing.
  virtual void hear(const AirFrame &frame, bool intact) = 0;
  // This radio's own frame left the air.
  virtual void sent(const AirFrame &frame) { (void)frame; }
};

class Medium {
 public:
  using Observer = std::function<void(const AirFrame &)>;
  virtual ~Medium() = default;
  // Puts the radio on a channel (1 to 14), or takes it off the air (0). A radio hears only the
  // frames that start while it is on their channel. It must be taken off before it goes.
  virtual void tune(Radio &radio, int channel) = 0;
  void detach(Radio &radio) { tune(radio, 0); }
  virtual int channelOf(const Radio &radio) const = 0;
  // What the radio hears from now on (everything until it says otherwise). Kept while it is on
  // the air; a radio tuned again starts from everything.
  virtual void listen(Radio &radio, const Interest &interest) = 0;
  // What a radio that did not hear everything missed on its channel since it last heard a frame
  // or caught up: the NAV that frames it would have heard intact set (those addressed to others),
  // and whether the last of them was heard damaged (nothing when it missed no frame).
  struct Missed {
    Micros nav = 0;
    std::optional<bool> damaged;
  };
  virtual Missed catchUp(Radio &radio) = 0;
  // Puts a frame on the air now, on the sender's channel (nothing when it is on none): every
  // other radio there hears it when its air time ends, damaged when it overlapped another frame
  // or when the loss rate takes it for that radio. Returns the time it started.
  virtual Micros send(Radio &from, AirFrame frame) = 0;
  // The same for a response due at `start` (SIFS after the frame it answers), which a wall clock
  // running late may already have passed: it starts then all the same.
  virtual Micros sendAt(Radio &from, AirFrame frame, Micros start) = 0;
  // Whether a frame is on the air on the channel now, and since when the channel has been quiet.
  virtual bool busy(int channel) const = 0;
  virtual Micros idleSince(int channel) const = 0;
  // Observers see every frame, in the order they started, once it has ended (so `damaged` is
  // known): a frame that overlaps one still on the air waits for it.
  virtual void addObserver(Observer observer) = 0;
};

class World {
 public:
  virtual ~World() = default;
  virtual Medium &medium() = 0;
  virtual const WorldConfig &config() const = 0;
  // Frames and bytes carried, for status lines: `lost` receptions (the loss rate), `damaged`
  // frames (collisions); `bridged` data frames the access points passed on, with their UDP payload.
  struct Counters {
    std::uint64_t frames = 0, bytes = 0, lost = 0, damaged = 0, bridged = 0, bridgedUdpBytes = 0;
  };
  virtual Counters counters() const = 0;
};

// Builds the world on the loop: access points start beaconing at once, events are scheduled.
std::unique_ptr<World> makeWorld(EventLoop &loop, WorldConfig config);

}  // namespace teskel::sim::air
