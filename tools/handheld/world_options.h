// handheld run's radio world options (--ssid, --channel, --wep, --ap, --peer, --at, --loss,
// --contenders): what they say, parsed, and the world config they make from the default world.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "teskel/air.h"

namespace teskel::handheld {

struct WorldOptions {
  std::optional<std::string> ssid;  // these three change the first access point
  std::optional<int> channel;
  std::optional<std::array<std::uint8_t, 5>> wep;
  std::vector<std::string> accessPoints;  // --ap texts; any replaces the default world
  std::vector<std::string> peers;         // --peer texts
  std::vector<sim::air::WorldEvent> events;
  std::optional<double> lossPercent;
  std::optional<unsigned> contenders;
};

// Takes args[i] (and its value) when it is a world option; false when it is not one. Throws
// UsageError for a malformed value.
bool parseWorldOption(const std::vector<std::string> &args, std::size_t &i, WorldOptions &options);

// The world the options describe. Every access point of one SSID is one network: they share a
// BSSID prefix and the responder (192.168.N.1/24, N from 77 on, by SSID in order of appearance);
// a peer has a responder of its own on its network. Throws UsageError when an event names no
// access point or peer.
sim::air::WorldConfig buildWorld(const WorldOptions &options);

// The option lines for --help, and the default world with its addresses.
std::string worldOptionsHelp();
std::string describeWorld(const sim::air::WorldConfig &world);

std::string formatMac(const sim::air::Mac &mac);
std::string formatIp(const sim::air::Ipv4 &ip);

}  // namespace teskel::handheld
