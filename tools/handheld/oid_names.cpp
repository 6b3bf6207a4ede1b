// The tables of the driver's OIDs, MIB attributes, NDIS statuses and tally counters, and the
// parsing of OIDs and hex that the management commands take from the command line.
#include "oid_names.h"

#include <ndis.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace teskel::handheld {
namespace {

constexpr OidInfo kOids[] = {
    {0x00010101, "OID_GEN_SUPPORTED_LIST", Reading::OidList},
    {0x00010102, "OID_GEN_HARDWARE_STATUS", Reading::HardwareStatus},
    {0x00010103, "OID_GEN_MEDIA_SUPPORTED", Reading::Medium},
    {0x00010104, "OID_GEN_MEDIA_IN_USE", Reading::Medium},
    {0x00010105, "OID_GEN_MAXIMUM_LOOKAHEAD", Reading::Number},
    {0x00010106, "OID_GEN_MAXIMUM_FRAME_SIZE", Reading::Number},
    {0x00010107, "OID_GEN_LINK_SPEED", Reading::Number},
    {0x00010108, "OID_GEN_TRANSMIT_BUFFER_SPACE", Reading::Number},
    {0x00010109, "OID_GEN_RECEIVE_BUFFER_SPACE", Reading::Number},
    {0x0001010A, "OID_GEN_TRANSMIT_BLOCK_SIZE", Reading::Number},
    {0x0001010B, "OID_GEN_RECEIVE_BLOCK_SIZE", Reading::Number},
    {0x0001010C, "OID_GEN_VENDOR_ID", Reading::Number},
    {0x0001010D, "OID_GEN_VENDOR_DESCRIPTION", Reading::Text},
    {0x0001010E, "OID_GEN_CURRENT_PACKET_FILTER", Reading::PacketFilter},
    {0x0001010F, "OID_GEN_CURRENT_LOOKAHEAD", Reading::Number},
    {0x00010110, "OID_GEN_DRIVER_VERSION", Reading::Word},
    {0x00010111, "OID_GEN_MAXIMUM_TOTAL_SIZE", Reading::Number},
    {0x00010112, "OID_GEN_PROTOCOL_OPTIONS", Reading::Number},
    {0x00010113, "OID_GEN_MAC_OPTIONS", Reading::Number},
    {0x00010114, "OID_GEN_MEDIA_CONNECT_STATUS", Reading::MediaState},
    {0x00010115, "OID_GEN_MAXIMUM_SEND_PACKETS", Reading::Number},
    {0x00010116, "OID_GEN_VENDOR_DRIVER_VERSION", Reading::Word},
    {0x00020101, "OID_GEN_XMIT_OK", Reading::Number},
    {0x00020102, "OID_GEN_RCV_OK", Reading::Number},
    {0x00020103, "OID_GEN_XMIT_ERROR", Reading::Number},
    {0x00020104, "OID_GEN_RCV_ERROR", Reading::Number},
    {0x00020105, "OID_GEN_RCV_NO_BUFFER", Reading::Number},
    {0x01010101, "OID_802_3_PERMANENT_ADDRESS", Reading::Address},
    {0x01010102, "OID_802_3_CURRENT_ADDRESS", Reading::Address},
    {0x01010103, "OID_802_3_MULTICAST_LIST", Reading::AddressList},
    {0x01010104, "OID_802_3_MAXIMUM_LIST_SIZE", Reading::Number},
    {0x01020101, "OID_802_3_RCV_ERROR_ALIGNMENT", Reading::Number},
    {0x01020102, "OID_802_3_XMIT_ONE_COLLISION", Reading::Number},
    {0x01020103, "OID_802_3_XMIT_MORE_COLLISIONS", Reading::Number},
    {0xFF010181, "OID_PRIV_RECORD", Reading::Record},
    {0xFF010182, "OID_PRIV_PRODUCTION_DATA", Reading::ProductionData},
    {0xFF010183, "OID_PRIV_COMMAND", Reading::CommandBlock},
    {0xFF010184, "OID_PRIV_AUX_ENABLE", Reading::Raw},
    {0xFF010185, "OID_PRIV_AUX_DISABLE", Reading::Raw},
    {0xFF010186, "OID_PRIV_AUX_MEMORY", Reading::MemoryRequest},
    {0xFF010187, "OID_PRIV_SUPPRESS_TRANSMIT", Reading::Raw},
    {0xFF010188, "OID_PRIV_RESUME_TRANSMIT", Reading::Raw},
    {0xFF010189, "OID_PRIV_VERSION", Reading::Version},
    {0xFF01018A, "OID_PRIV_UNUSED_18A", Reading::Raw},
    {0xFF01018B, "OID_PRIV_DOWNLOAD_DIRECT", Reading::MemoryRequest},
    {0xFF01018C, "OID_PRIV_DOWNLOAD_NONVOLATILE", Reading::MemoryRequest},
    {0xFF010194, "OID_PRIV_NETWORK_TYPE", Reading::Byte},
    {0xFF010195, "OID_PRIV_CURRENT_BSSID", Reading::Address},
    {0xFF010199, "OID_PRIV_LINK_STATUS", Reading::LinkStatus},
    {0xFF02018D, "OID_PRIV_TALLIES", Reading::Tallies},
    {0xFF02018E, "OID_PRIV_REGISTERS", Reading::Registers},
    {0xFF020191, "OID_PRIV_MIB_RECORD", Reading::MibRecord},
    {0xFF020198, "OID_PRIV_RESET", Reading::Raw},
    {0xFF02019B, "OID_PRIV_ENCAPSULATION", Reading::Byte},
    {0xFF02019C, "OID_PRIV_WEP_REQUEST", Reading::Byte},
    {0xFF02019D, "OID_PRIV_TX_RATE", Reading::Word},
    {0xFF02019E, "OID_PRIV_LINK_QUALITY", Reading::Byte},
    {0xFF02019F, "OID_PRIV_SIGNAL_LEVEL", Reading::Byte},
};

// The entries the driver's supported list (OID_GEN_SUPPORTED_LIST) names twice: its 62 entries
// are the 58 OIDs above with these four again.
constexpr std::uint32_t kListedTwice[] = {0xFF010181, 0xFF010182, 0xFF010186, 0xFF02018D};

// What the private requests take in their buffer, in the command's words.
constexpr PrivateInput kInputs[] = {
    {0xFF010181, "HEXBYTES 0000 RRRR: the record id little-endian in bytes 2-3 (0000 42FD reads record 0xFD42)",
     "the whole record: length word L, record id, L-1 data words (0200 03FC 0600 sets 0xFC03 to 6)"},
    {0xFF010182, "nothing; a buffer of 1024 bytes or more", "(not supported)"},
    {0xFF010183, "(not supported)", "8 bytes: command, Param0, Param1, Param2, each a little-endian word"},
    {0xFF010184, "(not supported)", "nothing"},
    {0xFF010185, "(not supported)", "nothing"},
    {0xFF010186, "address (4 bytes) and byte count (2), little-endian (00103E00 0800), after OID_PRIV_AUX_ENABLE",
     "address, byte count and the bytes (00103E00 0200 C0FF), after OID_PRIV_AUX_ENABLE"},
    {0xFF010187, "(not supported)", "nothing"},
    {0xFF010188, "(not supported)", "nothing"},
    {0xFF010189, "nothing", "(not supported)"},
    {0xFF01018A, "(not supported)", "(not supported)"},
    {0xFF01018B, "(not supported)", "address, byte count and the bytes, after OID_PRIV_AUX_ENABLE"},
    {0xFF01018C, "(not supported)", "address, byte count and the bytes, after OID_PRIV_AUX_ENABLE"},
    {0xFF010194, "nothing", "1 byte: the network type"},
    {0xFF010195, "nothing", "(not supported)"},
    {0xFF010199, "nothing", "(not supported)"},
    {0xFF02018D, "nothing; a buffer of 176 bytes or more", "(not supported)"},
    {0xFF02018E, "nothing; a buffer of 54 bytes or more", "(not supported)"},
    {0xFF020191,
     "a MIB record: identifier, status, data length (4 bytes each, little-endian) and room for the data "
     "(07010101 00000000 04000000 00000000 asks dot11PrivacyOptionImplemented)",
     "a MIB record with its data (01010301 00000000 01000000 01000000 selects key 1)"},
    {0xFF020198, "(not supported)", "nothing"},
    {0xFF02019B, "nothing", "1 byte: the encapsulation"},
    {0xFF02019C, "nothing", "1 byte: 0 WEP off, anything else on"},
    {0xFF02019D, "nothing", "2 bytes: the transmit rate, little-endian"},
    {0xFF02019E, "nothing (an infrastructure link only)", "(not supported)"},
    {0xFF02019F, "nothing (an infrastructure link only)", "(not supported)"},
};

constexpr MibAttribute kMib[] = {
    {0x01010107, "dot11PrivacyOptionImplemented", Reading::Byte},
    {0x01010108, "dot11PowerManagementMode", Reading::Byte},
    {0x01010109, "dot11DesiredSSID", Reading::Text},
    {0x01030101, "dot11WEPDefaultKeyIndex", Reading::Byte},
    {0x01030102, "dot11WEPDefaultKeyValue", Reading::Raw},
    {0x01050101, "dot11PrivacyInvoked", Reading::Byte},
    {0x01050102, "dot11WEPDefaultKeyID", Reading::Byte},
    {0x01050104, "dot11ExcludeUnencrypted", Reading::Byte},
    {0x02020110, "TransmittedOctetsA", Reading::Number},
    {0x02020111, "TransmittedOctetsB", Reading::Number},
    {0x02020112, "ReceivedOctetsA", Reading::Number},
    {0x02020113, "ReceivedOctetsB", Reading::Number},
    {0x04010101, "dot11PHYType", Reading::Byte},
    {0x04010102, "dot11CurrentRegDomain", Reading::Byte},
    {0x04050101, "dot11CurrentChannel", Reading::Byte},
};

struct StatusInfo {
  std::uint32_t status;
  const char *name;
};
#define TESKEL_STATUS(name) {static_cast<std::uint32_t>(name), #name}
constexpr StatusInfo kStatuses[] = {
    TESKEL_STATUS(NDIS_STATUS_SUCCESS),          TESKEL_STATUS(NDIS_STATUS_PENDING),
    TESKEL_STATUS(NDIS_STATUS_NOT_RECOGNIZED),   TESKEL_STATUS(NDIS_STATUS_NOT_COPIED),
    TESKEL_STATUS(NDIS_STATUS_FAILURE),          TESKEL_STATUS(NDIS_STATUS_RESOURCES),
    TESKEL_STATUS(NDIS_STATUS_NOT_SUPPORTED),    TESKEL_STATUS(NDIS_STATUS_CLOSING),
    TESKEL_STATUS(NDIS_STATUS_BAD_VERSION),      TESKEL_STATUS(NDIS_STATUS_BAD_CHARACTERISTICS),
    TESKEL_STATUS(NDIS_STATUS_ADAPTER_NOT_FOUND), TESKEL_STATUS(NDIS_STATUS_OPEN_FAILED),
    TESKEL_STATUS(NDIS_STATUS_DEVICE_FAILED),    TESKEL_STATUS(NDIS_STATUS_RESET_IN_PROGRESS),
    TESKEL_STATUS(NDIS_STATUS_HARD_ERRORS),      TESKEL_STATUS(NDIS_STATUS_INVALID_LENGTH),
    TESKEL_STATUS(NDIS_STATUS_INVALID_DATA),     TESKEL_STATUS(NDIS_STATUS_BUFFER_TOO_SHORT),
    TESKEL_STATUS(NDIS_STATUS_INVALID_OID),      TESKEL_STATUS(NDIS_STATUS_ADAPTER_REMOVED),
    TESKEL_STATUS(NDIS_STATUS_UNSUPPORTED_MEDIA), TESKEL_STATUS(NDIS_STATUS_RESOURCE_CONFLICT),
};
#undef TESKEL_STATUS

// The counters the controller fills, by the controller's own names for them; the others stay zero.
constexpr struct {
  std::size_t index;
  const char *name;
} kTallies[] = {
    {0, "unicast frames sent"},
    {1, "multicast frames sent"},
    {3, "unicast octets sent"},
    {4, "multicast octets sent"},
    {5, "deferred"},
    {6, "sent after one retry"},
    {7, "sent after more than one retry"},
    {8, "dropped at the retry limit"},
    {9, "transmit errors"},
    {10, "unicast frames received"},
    {11, "multicast frames received"},
    {13, "unicast octets received"},
    {14, "multicast octets received"},
    {15, "receive errors"},
    {16, "dropped for lack of a buffer"},
    {17, "duplicates discarded"},
    {18, "WEP undecryptable"},
};

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::span<const OidInfo> oidTable() { return kOids; }

const OidInfo *findOid(std::uint32_t oid) {
  for (const auto &info : kOids)
    if (info.oid == oid) return &info;
  return nullptr;
}

std::optional<std::uint32_t> parseOid(std::string_view text) {
  for (const auto &info : kOids)
    if (iequals(text, info.name)) return info.oid;
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return std::nullopt;
  std::string digits(text);
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.erase(0, 2);
    base = 16;
  }
  // strtoull would take a sign or blanks; a number here is digits only.
  for (char c : digits)
    if (!(base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) : std::isdigit(static_cast<unsigned char>(c))))
      return std::nullopt;
  errno = 0;
  unsigned long long value = std::strtoull(digits.c_str(), nullptr, base);
  if (errno == ERANGE || value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

bool listedTwice(std::uint32_t oid) { return std::find(std::begin(kListedTwice), std::end(kListedTwice), oid) != std::end(kListedTwice); }

const PrivateInput *privateInput(std::uint32_t oid) {
  for (const auto &input : kInputs)
    if (input.oid == oid) return &input;
  return nullptr;
}

std::span<const MibAttribute> mibTable() { return kMib; }

const MibAttribute *findMibAttribute(std::uint32_t id) {
  for (const auto &a : kMib)
    if (a.id == id) return &a;
  return nullptr;
}

std::string_view statusName(std::uint32_t status) {
  for (const auto &s : kStatuses)
    if (s.status == status) return s.name;
  return {};
}

std::string describeStatus(std::uint32_t status) {
  std::string_view name = statusName(status);
  return name.empty() ? hex32(status) : std::string(name) + " (" + hex32(status) + ")";
}

std::string_view tallyName(std::size_t index) {
  for (const auto &t : kTallies)
    if (t.index == index) return t.name;
  return {};
}

std::string tallyKey(std::size_t index) {
  std::string key(tallyName(index));
  for (char &c : key) c = c == ' ' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

std::vector<std::uint8_t> parseHex(std::string_view text) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '\t') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c)))
      throw std::invalid_argument(std::string("'") + c + "' is not a hex digit");
    digits += c;
  }
  if (digits.size() % 2 != 0)
    throw std::invalid_argument("an odd number of hex digits (" + std::to_string(digits.size()) + "): two make a byte");
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < digits.size(); i += 2)
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

}  // namespace teskel::handheld
