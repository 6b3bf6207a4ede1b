// The controller's record store: every RID with its length, default and access, the values
// that follow the port's state, and a readable dump of the configuration.
#include <cstdio>

#include "controller_impl.h"

namespace teskel::sim {

using namespace hw;

namespace {

std::vector<std::uint8_t> wordsToBytes(std::initializer_list<std::uint16_t> words, std::size_t bytes) {
  std::vector<std::uint8_t> out(bytes, 0);
  std::size_t i = 0;
  for (auto w : words) {
    if (2 * i + 1 >= bytes) break;
    putLe16(out, 2 * i, w);
    ++i;
  }
  return out;
}

std::string hexBytes(const std::vector<std::uint8_t> &b, std::size_t from, std::size_t n, char sep) {
  std::string s;
  char h[4];
  for (std::size_t i = 0; i < n && from + i < b.size(); ++i) {
    if (i) s += sep;
    std::snprintf(h, sizeof h, "%02X", b[from + i]);
    s += h;
  }
  return s;
}

// A length-prefixed name record (SSID, station name): up to 32 printable characters.
std::string nameOf(const std::vector<std::uint8_t> &data) {
  std::uint16_t n = le16(data, 0);
  std::string s = "\"";
  for (std::size_t i = 0; i < n && i < 32 && 2 + i < data.size(); ++i) {
    char c = static_cast<char>(data[2 + i]);
    if (c >= 0x20 && c < 0x7F) {
      s += c;
    } else {
      char h[8];
      std::snprintf(h, sizeof h, "\\x%02X", data[2 + i]);
      s += h;
    }
  }
  s += "\" (length " + std::to_string(n) + (n > 32 ? ", too long" : "") + ")";
  return s;
}

const char *portTypeName(std::uint16_t t) {
  switch (t) {
    case 0: return "ad hoc";
    case 1: return "infrastructure";
    case 3: return "no association";
    default: return "unknown";
  }
}

const char *portStatusName(std::uint16_t s) {
  switch (s) {
    case kPortDisabled: return "disabled";
    case kPortSearching: return "searching";
    case kPortAdHocJoined: return "ad hoc joined";
    case kPortAssociated: return "associated";
    case kPortOutOfRange: return "out of range";
    default: return "unknown";
  }
}

}  // namespace

void Controller::Impl::buildRecords() {
  auto add = [this](std::uint16_t rid, std::uint16_t length, bool readOnly, bool configuration,
                    std::initializer_list<std::uint16_t> words) {
    RecordEntry r;
    r.length = length;
    r.readOnly = readOnly;
    r.configuration = configuration;
    r.defaults = wordsToBytes(words, (length - 1u) * 2u);
    r.data = r.defaults;
    r.exchange.assign((length + 1u) * 2u, 0);
    records[rid] = std::move(r);
  };
  // Configuration records, back to these values at every initialise.
  add(kRidPortType, 2, false, true, {1});
  add(kRidStationAddress, 4, false, false, {});  // from production data
  add(kRidDesiredSsid, 18, false, true, {0});
  add(kRidOwnChannel, 2, false, true, {3});
  for (std::uint16_t rid : {kRidAtimWindow, kRidSystemScale, kRidPmEnabled, kRidPmLevel, kRidPromiscuous, kRidTickTime})
    add(rid, 2, false, true, {0});
  add(kRidMaxDataLength, 2, false, true, {2304});
  add(kRidStationName, 18, false, true, {0});
  add(kRidWepDefaultKeyId, 2, false, true, {0});
  for (std::uint16_t rid = kRidWepKey1; rid <= kRidWepKey4; ++rid) add(rid, 4, false, true, {});
  add(kRidWepFlags, 2, false, true, {0});
  add(kRidFragThreshold, 2, false, true, {2346});
  add(kRidRtsThreshold, 2, false, true, {2347});
  add(kRidTxRateControl, 2, false, true, {15});
  // Identity and state, read-only.
  add(kRidDownloadBuffer, 4, true, false,
      {static_cast<std::uint16_t>(kDownloadBuffer >> 7), static_cast<std::uint16_t>(kDownloadBuffer & 0x7F),
       static_cast<std::uint16_t>(kDownloadBufferSize)});
  add(kRidPrimaryRange, 5, true, false, {0x0000, 0x0001, 0x0001, 0x0002});  // role, id, lowest, highest
  add(kRidStationRange, 5, true, false, {0x0000, 0x0004, 0x0001, 0x0003});
  add(kRidRegulatoryDomains, 2, true, false, {0x0010});
  add(kRidPortStatus, 2, true, false, {kPortDisabled});
  add(kRidCurrentBssid, 4, true, false, {});
  add(kRidCommsQuality, 4, true, false, {});
  add(kRidPrivacyImplemented, 2, true, false, {1});
  add(kRidPhyType, 2, true, false, {2});
  add(kRidCurrentChannel, 2, true, false, {3});
}

void Controller::Impl::resetConfigurationRecords() {
  for (auto &[rid, r] : records) {
    if (r.configuration) r.data = r.defaults;
    std::fill(r.exchange.begin(), r.exchange.end(), 0);
    r.staged = false;
  }
}

// The station address and regulatory domain come from the production data block; a block
// whose format word is not 1 gives an all-zero address.
void Controller::Impl::reloadFromProductionData() {
  const std::size_t pd = kProductionData - kNvBase;
  RecordEntry &addr = records.at(kRidStationAddress);
  RecordEntry &domain = records.at(kRidRegulatoryDomains);
  if (le16(nv, pd) == 1) {
    std::copy(nv.begin() + pd + 2, nv.begin() + pd + 8, addr.data.begin());
    putLe16(domain.data, 0, le16(nv, pd + 22));
  } else {
    std::fill(addr.data.begin(), addr.data.end(), 0);
    putLe16(domain.data, 0, 0x0010);
  }
}

void Controller::Impl::refreshDynamicRecord(std::uint16_t rid) {
  RecordEntry *r = findRecord(rid);
  if (!r) return;
  switch (rid) {
    case kRidPortStatus: putLe16(r->data, 0, portStatusValue); break;
    case kRidCurrentBssid: std::copy(bssid.begin(), bssid.end(), r->data.begin()); break;
    case kRidCommsQuality:
      putLe16(r->data, 0, quality);
      putLe16(r->data, 2, signal);
      putLe16(r->data, 4, noise);
      break;
    case kRidCurrentChannel: putLe16(r->data, 0, connected() ? linkChannel : word(kRidOwnChannel)); break;
    default: break;
  }
}

RecordEntry *Controller::Impl::findRecord(std::uint16_t rid) {
  auto it = records.find(rid);
  return it == records.end() ? nullptr : &it->second;
}

const RecordEntry *Controller::Impl::findRecord(std::uint16_t rid) const {
  auto it = records.find(rid);
  return it == records.end() ? nullptr : &it->second;
}

std::uint16_t Controller::Impl::word(std::uint16_t rid, std::size_t index) const {
  const RecordEntry *r = findRecord(rid);
  if (!r || r->data.size() < 2 * index + 2) return 0;
  return le16(r->data, 2 * index);
}

MacAddress Controller::Impl::stationAddress() const {
  MacAddress a{};
  const RecordEntry *r = findRecord(kRidStationAddress);
  std::copy(r->data.begin(), r->data.begin() + 6, a.begin());
  return a;
}

std::string Controller::Impl::describeConfiguration() const {
  std::string out;
  char line[160];
  auto row = [&](const char *name, const std::string &value) {
    std::snprintf(line, sizeof line, "  %-22s %s\n", name, value.c_str());
    out += line;
  };
  auto num = [&](std::uint16_t rid) { return std::to_string(word(rid)); };
  const std::uint16_t type = word(kRidPortType);
  out += "configuration records\n";
  row("port type", std::to_string(type) + " (" + portTypeName(type) + ")");
  row("station address", hexBytes(records.at(kRidStationAddress).data, 0, 6, ':'));
  row("desired SSID", nameOf(records.at(kRidDesiredSsid).data));
  row("station name", nameOf(records.at(kRidStationName).data));
  row("own channel", num(kRidOwnChannel));
  row("PM enabled", num(kRidPmEnabled));
  row("PM level", num(kRidPmLevel));
  row("ATIM window", num(kRidAtimWindow));
  row("system scale", num(kRidSystemScale));
  row("max data length", num(kRidMaxDataLength));
  row("fragmentation thresh.", num(kRidFragThreshold));
  row("RTS threshold", num(kRidRtsThreshold));
  row("tx rate control", num(kRidTxRateControl));
  row("promiscuous", num(kRidPromiscuous));
  row("tick time", num(kRidTickTime));
  row("WEP default key id", num(kRidWepDefaultKeyId));
  for (std::uint16_t rid = kRidWepKey1; rid <= kRidWepKey4; ++rid) {
    const auto &d = records.at(rid).data;
    std::string name = "WEP key " + std::to_string(rid - kRidWepKey1 + 1);
    row(name.c_str(), hexBytes(d, 0, 5, ' ') + " (pad " + hexBytes(d, 5, 1, ' ') + ")");
  }
  const std::uint16_t flags = word(kRidWepFlags);
  std::snprintf(line, sizeof line, "0x%04X (encrypt %s, exclude unencrypted %s)", flags, (flags & 1) ? "on" : "off",
                (flags & 2) ? "on" : "off");
  row("WEP flags", line);
  out += "port\n";
  row("state", std::string(enabled ? "enabled" : "disabled") + ", status " + std::to_string(portStatusValue) + " (" +
                   portStatusName(portStatusValue) + ")");
  std::vector<std::uint8_t> b(bssid.begin(), bssid.end());
  row("BSSID", hexBytes(b, 0, 6, ':'));
  row("channel in use", std::to_string(connected() ? linkChannel : word(kRidOwnChannel)));
  return out;
}

}  // namespace teskel::sim
