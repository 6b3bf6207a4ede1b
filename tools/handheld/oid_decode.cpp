// Readings of the driver's answers (numbers, addresses, texts, tallies, records) and their text and
// JSON forms.
#include "oid_decode.h"

#include <cstdio>

namespace teskel::handheld {
namespace {

std::uint32_t le32(std::span<const std::uint8_t> b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
std::uint16_t le16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

std::string hex16(std::uint16_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", v);
  return text;
}

// Printable ASCII up to the first zero; anything else shows as a dot.
std::string ansiText(std::span<const std::uint8_t> b) {
  std::string text;
  for (std::uint8_t c : b) {
    if (c == 0) break;
    text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
  }
  return text;
}

const char *hardwareStatusName(std::uint32_t v) {
  switch (v) {
    case 0: return "NdisHardwareStatusReady";
    case 1: return "NdisHardwareStatusInitializing";
    case 2: return "NdisHardwareStatusReset";
    case 3: return "NdisHardwareStatusClosing";
    case 4: return "NdisHardwareStatusNotReady";
  }
  return "unknown";
}

const char *mediumName(std::uint32_t v) {
  switch (v) {
    case 0: return "NdisMedium802_3";
    case 1: return "NdisMedium802_5";
    case 2: return "NdisMediumFddi";
    case 3: return "NdisMediumWan";
  }
  return "unknown";
}

const char *linkStatusText(std::uint32_t code) {
  switch (code) {
    case 1: return "connected";
    case 4: return "searching or out of range";
    case 6: return "not connected";
    case 7: return "unreadable";
  }
  return "unknown";
}

std::string packetTypes(std::uint32_t filter) {
  static const char *const kBits[] = {"DIRECTED",   "MULTICAST",  "ALL_MULTICAST", "BROADCAST",
                                      "SOURCE_ROUTING", "PROMISCUOUS", "SMT",      "ALL_LOCAL",
                                      nullptr,      nullptr,      nullptr,       nullptr,
                                      "GROUP",      "ALL_FUNCTIONAL", "FUNCTIONAL", "MAC_FRAME"};
  std::string out;
  for (unsigned bit = 0; bit < 32; ++bit) {
    if (!(filter & (1u << bit))) continue;
    if (!out.empty()) out += ' ';
    out += bit < 16 && kBits[bit] ? kBits[bit] : "bit " + std::to_string(bit);
  }
  return out.empty() ? "none" : out;
}

// Register snapshot order of the maintenance request.
constexpr const char *kSnapshotRegisters[27] = {
    "REG_COMMAND",      "REG_PARAM0",     "REG_PARAM1",    "REG_PARAM2",  "REG_STATUS",     "REG_RESP0",
    "REG_RESP1",        "REG_RESP2",      "REG_INFO_FID",  "REG_RX_FID",  "REG_ALLOC_FID",  "register 0x24",
    "REG_SELECT0",      "REG_OFFSET0",    "(not written)", "REG_SELECT1", "REG_OFFSET1",    "(not written)",
    "REG_EVENT_STATUS", "REG_INT_ENABLE", "REG_EVENT_ACK", "REG_CONTROL", "REG_AUX_PAGE",   "REG_AUX_OFFSET",
    "register 0x28",    "register 0x2A",  "register 0x2C"};

Fields decodeMib(std::span<const std::uint8_t> b) {
  if (b.size() < 12) return {};
  std::uint32_t id = le32(b, 0);
  std::uint32_t length = le32(b, 8);
  const MibAttribute *attribute = findMibAttribute(id);
  Fields f{{"identifier", hex32(id)}};
  if (attribute) f.push_back({"attribute", std::string(attribute->name)});
  f.push_back({"record status", std::uint64_t{le32(b, 4)}});
  f.push_back({"data length", std::uint64_t{length}});
  auto data = b.subspan(12, std::min<std::size_t>(length, b.size() - 12));
  f.push_back({"data", hexBytes(data)});
  if (attribute) {
    Fields value = decode(attribute->reading, data);
    for (auto &v : value) f.push_back({"value", std::move(v.value)});
  }
  return f;
}

}  // namespace

std::string hexBytes(std::span<const std::uint8_t> bytes, std::string_view separator) {
  std::string out;
  char digits[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += separator;
    std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
    out += digits;
  }
  return out;
}

std::string macText(std::span<const std::uint8_t> address) { return hexBytes(address.first(6), ":"); }

Fields decode(Reading reading, std::span<const std::uint8_t> b) {
  auto number = [&](const char *name) -> Fields {
    if (b.size() < 4) return {};
    return {{name, std::uint64_t{le32(b, 0)}}};
  };
  switch (reading) {
    case Reading::Raw: return {};
    case Reading::Number: return number("value");
    case Reading::Word:
      if (b.size() < 2) return {};
      return {{"value", std::uint64_t{le16(b, 0)}}};
    case Reading::Byte:
      if (b.empty()) return {};
      return {{"value", std::uint64_t{b[0]}}};
    case Reading::Address:
      if (b.size() < 6) return {};
      return {{"address", macText(b)}};
    case Reading::Text: return {{"text", ansiText(b)}};
    case Reading::OidList: {
      Fields oids;
      for (std::size_t at = 0; at + 4 <= b.size(); at += 4) {
        std::uint32_t oid = le32(b, at);
        const OidInfo *info = findOid(oid);
        // Named by position: the list may hold an OID twice.
        oids.push_back({std::to_string(at / 4), hex32(oid) + (info ? std::string(" ") + info->name : "")});
      }
      return {{"count", std::uint64_t{oids.size()}}, {"oids", std::move(oids)}};
    }
    case Reading::HardwareStatus:
      if (b.size() < 4) return {};
      return {{"value", std::uint64_t{le32(b, 0)}}, {"meaning", std::string(hardwareStatusName(le32(b, 0)))}};
    case Reading::Medium:
      if (b.size() < 4) return {};
      return {{"value", std::uint64_t{le32(b, 0)}}, {"medium", std::string(mediumName(le32(b, 0)))}};
    case Reading::MediaState:
      if (b.size() < 4) return {};
      return {{"value", std::uint64_t{le32(b, 0)}},
              {"state", std::string(le32(b, 0) == 0 ? "connected" : le32(b, 0) == 1 ? "disconnected" : "unknown")}};
    case Reading::LinkStatus:
      if (b.size() < 2) return {};
      return {{"code", std::uint64_t{le16(b, 0)}}, {"meaning", std::string(linkStatusText(le16(b, 0)))}};
    case Reading::PacketFilter:
      if (b.size() < 4) return {};
      return {{"value", hex32(le32(b, 0))}, {"types", packetTypes(le32(b, 0))}};
    case Reading::AddressList: {
      Fields addresses;
      for (std::size_t at = 0; at + 6 <= b.size(); at += 6)
        addresses.push_back({std::to_string(at / 6), macText(b.subspan(at, 6))});
      return {{"addresses", std::move(addresses)}};
    }
    case Reading::Version:
      if (b.size() < 4) return {};
      return {{"word 0", std::uint64_t{le16(b, 0)}}, {"word 1", std::uint64_t{le16(b, 2)}}};
    case Reading::Tallies: {
      Fields counters;
      for (std::size_t i = 0; i < kTallyCount && 4 * i + 4 <= b.size(); ++i) {
        std::string_view name = tallyName(i);
        counters.push_back({std::to_string(i) + (name.empty() ? "" : " " + std::string(name)), std::uint64_t{le32(b, 4 * i)}});
      }
      return {{"counters", std::move(counters)}};
    }
    case Reading::Registers: {
      Fields registers;
      for (std::size_t i = 0; i < 27 && 2 * i + 2 <= b.size(); ++i)
        if (i != 14 && i != 17) registers.push_back({kSnapshotRegisters[i], hex16(le16(b, 2 * i))});
      return {{"registers", std::move(registers)}};
    }
    case Reading::ProductionData:
      if (b.size() < 24) return {};
      return {{"format", std::uint64_t{le16(b, 0)}},
              {"station address", macText(b.subspan(2, 6))},
              {"serial number", ansiText(b.subspan(8, 12))},
              {"hardware version", hex16(le16(b, 20))},
              {"regulatory domain", hex16(le16(b, 22))}};
    case Reading::MemoryRequest: {
      if (b.size() < 6) return {};
      std::uint16_t count = le16(b, 4);
      auto data = b.subspan(6, std::min<std::size_t>(count, b.size() - 6));
      return {{"address", hex32(le32(b, 0))}, {"byte count", std::uint64_t{count}}, {"data", hexBytes(data)}};
    }
    case Reading::Record: {
      if (b.size() < 4) return {};
      std::uint16_t words = le16(b, 0);
      std::size_t dataBytes = words > 0 ? 2u * (words - 1u) : 0;
      auto data = b.subspan(4, std::min(dataBytes, b.size() - 4));
      return {{"length", std::uint64_t{words}}, {"RID", hex16(le16(b, 2))}, {"data", hexBytes(data)}};
    }
    case Reading::CommandBlock:
      if (b.size() < 8) return {};
      return {{"word 0", hex16(le16(b, 0))}, {"word 1", hex16(le16(b, 2))}, {"word 2", hex16(le16(b, 4))},
              {"word 3", hex16(le16(b, 6))}};
    case Reading::MibRecord: return decodeMib(b);
  }
  return {};
}

void printFields(std::ostream &out, const Fields &fields, int indent) {
  const std::string pad(static_cast<std::size_t>(indent), ' ');
  for (const auto &f : fields) {
    if (const auto *n = std::get_if<std::uint64_t>(&f.value)) {
      out << pad << f.name << ": " << *n << "\n";
    } else if (const auto *s = std::get_if<std::string>(&f.value)) {
      out << pad << f.name << ":" << (s->empty() ? "" : " " + *s) << "\n";
    } else {
      out << pad << f.name << ":\n";
      printFields(out, std::get<Fields>(f.value), indent + 2);
    }
  }
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string jsonFields(const Fields &fields) {
  std::string out = "{";
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const auto &f = fields[i];
    if (i) out += ",";
    out += jsonString(f.name) + ":";
    if (const auto *n = std::get_if<std::uint64_t>(&f.value))
      out += std::to_string(*n);
    else if (const auto *s = std::get_if<std::string>(&f.value))
      out += jsonString(*s);
    else
      out += jsonFields(std::get<Fields>(f.value));
  }
  return out + "}";
}

void printHexDump(std::ostream &out, std::span<const std::uint8_t> bytes, int indent) {
  const std::string pad(static_cast<std::size_t>(indent), ' ');
  char offset[24];
  std::string previous;
  bool skipping = false;
  for (std::size_t at = 0; at < bytes.size(); at += 16) {
    std::string line = hexBytes(bytes.subspan(at, std::min<std::size_t>(16, bytes.size() - at)));
    // Runs of equal lines (erased memory) show as one "*", as hexdump does; the last line always shows.
    if (line == previous && at + 16 < bytes.size()) {
      if (!skipping) out << pad << "*\n";
      skipping = true;
      continue;
    }
    skipping = false;
    previous = line;
    std::snprintf(offset, sizeof offset, "%04zX", at);
    out << pad << offset << "  " << line << "\n";
  }
}

}  // namespace teskel::handheld
