// handheld run's radio world options: parsing --ap, --peer, --at and the first access point's
// changes, and building the world config they describe.
#include "world_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "commands.h"

namespace teskel::handheld {
namespace {

// .101 upwards of the first network, below its broadcast address.
constexpr long kMaxContenders = 150;

using sim::air::AccessPointConfig;
using sim::air::Ipv4;
using sim::air::Mac;
using sim::air::PeerConfig;
using sim::air::WorldConfig;

long integerIn(const std::string &text, long low, long high, const std::string &what) {
  char *end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE || v < low || v > high)
    throw UsageError(what + " takes a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
                     ", not " + argText(text));
  return v;
}

double numberIn(const std::string &text, double low, double high, const std::string &what) {
  char *end = nullptr;
  errno = 0;
  double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v) || v < low || v > high) {
    std::ostringstream range;
    range << what << " takes a number from " << low << " to " << high << ", not " << argText(text);
    throw UsageError(range.str());
  }
  return v;
}

std::array<std::uint8_t, 5> wepKey(const std::string &text, const std::string &what) {
  std::array<std::uint8_t, 5> key{};
  auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  bool ok = text.size() == 10;
  for (std::size_t i = 0; ok && i < 5; ++i) {
    int hi = digit(text[2 * i]), lo = digit(text[2 * i + 1]);
    ok = hi >= 0 && lo >= 0;
    key[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  if (!ok) throw UsageError(what + " takes a 40-bit key as 10 hex digits, not " + argText(text));
  return key;
}

void checkSsid(const std::string &ssid, const std::string &what) {
  if (ssid.empty() || ssid.size() > 32) throw UsageError(what + " takes an SSID of 1 to 32 characters, not \"" + argText(ssid) + "\"");
}

// NAME[,channel=N][,wep=HEX][,signal=N]
struct StationText {
  std::string name;
  std::optional<int> channel, signal;
  std::optional<std::array<std::uint8_t, 5>> wep;
};

StationText parseStation(const std::string &text, const std::string &option) {
  StationText s;
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, ',')) parts.push_back(part);
  if (parts.empty()) throw UsageError(option + " needs a name");
  s.name = parts[0];
  checkSsid(s.name, option);
  for (std::size_t k = 1; k < parts.size(); ++k) {
    auto eq = parts[k].find('=');
    std::string key = parts[k].substr(0, eq), value = eq == std::string::npos ? "" : parts[k].substr(eq + 1);
    if (key == "channel") s.channel = static_cast<int>(integerIn(value, 1, 14, option + " channel"));
    else if (key == "signal") s.signal = static_cast<int>(integerIn(value, 0, 200, option + " signal"));
    else if (key == "wep") s.wep = wepKey(value, option + " wep");
    else throw UsageError(option + " " + argText(text) + ": unknown setting " + argText(parts[k]) + ": channel=, wep= or signal=");
  }
  return s;
}

sim::air::WorldEvent parseEvent(const std::string &text) {
  auto first = text.find(':'), last = text.rfind(':');
  if (first == std::string::npos || first == last) throw UsageError("--at takes TIME:NAME:off|on, not " + argText(text));
  sim::air::WorldEvent e;
  e.at = static_cast<Micros>(std::llround(numberIn(text.substr(0, first), 0, 1e9, "--at TIME") * 1e6));
  e.name = text.substr(first + 1, last - first - 1);
  checkSsid(e.name, "--at");
  std::string state = text.substr(last + 1);
  if (state != "on" && state != "off") throw UsageError("--at takes TIME:NAME:off|on, not " + argText(text));
  e.on = state == "on";
  return e;
}

// 02 and the name's first four characters, upper-cased (padded with '_'), then a number.
Mac derivedMac(const std::string &name, std::uint8_t number) {
  Mac mac{0x02, '_', '_', '_', '_', number};
  for (std::size_t i = 0; i < 4 && i < name.size(); ++i)
    mac[i + 1] = static_cast<std::uint8_t>(std::toupper(static_cast<unsigned char>(name[i])));
  return mac;
}

}  // namespace

std::string formatMac(const Mac &mac) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return text;
}

std::string formatIp(const Ipv4 &ip) {
  return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "." + std::to_string(ip[3]);
}

bool parseWorldOption(const std::vector<std::string> &args, std::size_t &i, WorldOptions &o) {
  const std::string &arg = args[i];
  auto is = [&](const char *name) { return arg == name || arg.starts_with(std::string(name) + "="); };
  if (is("--ssid")) {
    o.ssid = optionValue(args, i, "--ssid");
    checkSsid(*o.ssid, "--ssid");
  } else if (is("--channel")) {
    o.channel = static_cast<int>(integerIn(optionValue(args, i, "--channel"), 1, 14, "--channel"));
  } else if (is("--wep")) {
    o.wep = wepKey(optionValue(args, i, "--wep"), "--wep");
  } else if (is("--ap")) {
    std::string text = optionValue(args, i, "--ap");
    parseStation(text, "--ap");
    o.accessPoints.push_back(text);
  } else if (is("--peer")) {
    std::string text = optionValue(args, i, "--peer");
    parseStation(text, "--peer");
    o.peers.push_back(text);
  } else if (is("--at")) {
    o.events.push_back(parseEvent(optionValue(args, i, "--at")));
  } else if (is("--loss")) {
    o.lossPercent = numberIn(optionValue(args, i, "--loss"), 0, 100, "--loss");
  } else if (is("--contenders")) {
    o.contenders = static_cast<unsigned>(integerIn(optionValue(args, i, "--contenders"), 0, kMaxContenders, "--contenders"));
  } else {
    return false;
  }
  return true;
}

WorldConfig buildWorld(const WorldOptions &o) {
  WorldConfig world = o.accessPoints.empty() ? WorldConfig::defaults() : WorldConfig{};
  // Networks by SSID: the subnet each one uses, taken from what the world has already.
  std::map<std::string, int> subnets;
  int nextSubnet = 77;
  auto networkOf = [&](const std::string &ssid) {
    auto [it, fresh] = subnets.emplace(ssid, nextSubnet);
    if (fresh) ++nextSubnet;
    return it->second;
  };
  for (const auto &ap : world.accessPoints) {
    subnets.emplace(ap.ssid, ap.responder.ip[2]);
    nextSubnet = std::max(nextSubnet, ap.responder.ip[2] + 1);
  }
  if (o.accessPoints.empty() && !world.accessPoints.empty()) {
    AccessPointConfig &first = world.accessPoints.front();
    if (o.ssid) first.ssid = *o.ssid;
    if (o.channel) first.channel = *o.channel;
    if (o.wep) first.wepKey = *o.wep;
  }
  std::map<std::string, std::uint8_t> seen;  // stations per name so far, for unique addresses
  // Names that share their first four characters derive the same address: a later one takes the
  // next number that is free, so no two stations answer to one address.
  std::set<Mac> taken;
  for (const auto &ap : world.accessPoints) taken.insert(ap.bssid);
  for (const auto &peer : world.peers) taken.insert(peer.mac);
  auto unique = [&](Mac mac) {
    for (int tries = 0; !taken.insert(mac).second; ++tries) {
      if (tries == 255) throw UsageError("too many stations whose names begin alike");
      ++mac[5];
    }
    return mac;
  };
  std::map<std::string, Mac> responders;  // the responder's address of each network
  auto responderOf = [&](const std::string &ssid) {
    auto it = responders.find(ssid);
    if (it != responders.end()) return it->second;
    Mac mac = derivedMac(ssid, 0xF0);
    mac[0] = 0x06;
    return responders[ssid] = unique(mac);
  };
  for (const auto &text : o.accessPoints) {
    StationText s = parseStation(text, "--ap");
    AccessPointConfig ap;
    ap.ssid = s.name;
    std::uint8_t number = ++seen[s.name];
    ap.bssid = unique(derivedMac(s.name, number));
    if (s.channel) ap.channel = *s.channel;
    if (s.signal) ap.signal = *s.signal;
    ap.wepKey = s.wep;
    int subnet = networkOf(s.name);
    if (subnet > 255) throw UsageError("--ap: too many networks");
    // Access points of one SSID bridge to the same network, so a station that roams between them
    // keeps talking to the same responder.
    ap.responder.mac = responderOf(s.name);
    ap.responder.ip = {192, 168, static_cast<std::uint8_t>(subnet), 1};
    world.accessPoints.push_back(ap);
  }
  if (o.ssid && !o.accessPoints.empty()) world.accessPoints.front().ssid = *o.ssid;
  if (o.channel && !o.accessPoints.empty()) world.accessPoints.front().channel = *o.channel;
  if (o.wep && !o.accessPoints.empty()) world.accessPoints.front().wepKey = *o.wep;
  std::map<std::string, std::uint8_t> hosts;  // the next responder host number per peer network
  for (const auto &text : o.peers) {
    StationText s = parseStation(text, "--peer");
    PeerConfig peer;
    peer.ssid = s.name;
    std::uint8_t number = ++seen[s.name];
    peer.mac = unique(derivedMac(s.name, static_cast<std::uint8_t>(0x80 | number)));
    if (s.channel) peer.channel = *s.channel;
    if (s.signal) peer.signal = *s.signal;
    peer.wepKey = s.wep;
    int subnet = networkOf(s.name);
    if (subnet > 255) throw UsageError("--peer: too many networks");
    // .2 is the traffic generator's; a network's peers take .1, .3, .4 ...
    std::uint8_t &host = hosts.emplace(s.name, 1).first->second;
    if (host > 254) throw UsageError("--peer: too many peers in " + argText(s.name));
    peer.responder.mac = peer.mac;
    peer.responder.mac[0] = 0x06;
    peer.responder.ip = {192, 168, static_cast<std::uint8_t>(subnet), host};
    host = host == 1 ? 3 : host + 1;
    world.peers.push_back(peer);
  }
  for (const auto &e : o.events) {
    bool known = false;
    for (const auto &ap : world.accessPoints) known |= ap.ssid == e.name;
    for (const auto &peer : world.peers) known |= peer.ssid == e.name;
    if (!known) throw UsageError("--at: no access point or peer is called " + argText(e.name));
    world.events.push_back(e);
  }
  if (o.lossPercent) world.lossPercent = *o.lossPercent;
  if (o.contenders) {
    if (world.accessPoints.empty()) throw UsageError("--contenders needs an access point to associate with");
    world.contenders = *o.contenders;
  }
  return world;
}

std::string worldOptionsHelp() {
  return "  --ssid SSID         the first access point's SSID\n"
         "  --channel N         the first access point's channel (1 to 14)\n"
         "  --wep HEX           the first access point's 40-bit WEP key (10 hex digits)\n"
         "  --ap NAME[,channel=N][,wep=HEX][,signal=N]\n"
         "                      an access point (repeatable; replaces the default world); access\n"
         "                      points of one name form one network with one responder\n"
         "  --peer NAME[,channel=N][,wep=HEX][,signal=N]\n"
         "                      an ad hoc peer with a responder (repeatable; channel 3 by default)\n"
         "  --at TIME:NAME:off|on  switch the access point or peer NAME off or on at TIME seconds\n"
         "  --loss PERCENT      lose this share of each frame's receptions on the air (seeded,\n"
         "                      independent; acknowledgements too)\n"
         "  --contenders N      N more stations that associate with the first access point and send\n"
         "                      1472-byte UDP datagrams to its responder as fast as the air lets them\n";
}

std::string describeWorld(const WorldConfig &world) {
  std::ostringstream out;
  for (const auto &ap : world.accessPoints) {
    out << "  \"" << ap.ssid << "\": access point, channel " << ap.channel << ", "
        << (ap.wepKey ? "WEP key " : "open");
    if (ap.wepKey)
      for (auto b : *ap.wepKey) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", b);
        out << hex;
      }
    out << ", BSSID " << formatMac(ap.bssid) << ", signal " << ap.signal << ", responder "
        << formatIp(ap.responder.ip) << "/" << ap.responder.prefixLength << "\n";
  }
  for (const auto &peer : world.peers)
    out << "  \"" << peer.ssid << "\": ad hoc peer " << formatMac(peer.mac) << ", channel " << peer.channel
        << ", responder " << formatIp(peer.responder.ip) << "/" << peer.responder.prefixLength << "\n";
  if (world.contenders && !world.accessPoints.empty()) {
    auto first = world.accessPoints.front().responder.ip;
    first[3] = 101;
    out << "  " << world.contenders << " contender" << (world.contenders == 1 ? "" : "s") << " of \""
        << world.accessPoints.front().ssid << "\" from " << formatIp(first) << " up\n";
  }
  return out.str();
}

}  // namespace teskel::handheld
