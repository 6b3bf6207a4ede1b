// The information requests the handheld's tools know by name: OIDs with how their bytes read, the
// MIB attributes of the private record request, NDIS status names, and parsing of OIDs and hex.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace teskel::handheld {

// How the bytes of an OID's answer read.
enum class Reading {
  Raw,             // no obvious reading: hex only
  Number,          // 32-bit little-endian
  Word,            // 16-bit little-endian
  Byte,
  Address,         // 6-byte station address
  Text,            // zero-terminated ANSI text
  OidList,         // 32-bit OIDs
  HardwareStatus,  // NDIS_HARDWARE_STATUS
  Medium,          // NDIS_MEDIUM
  MediaState,      // NDIS_MEDIA_STATE
  LinkStatus,      // the controller's 16-bit link status code
  PacketFilter,    // NDIS_PACKET_TYPE_ bits
  AddressList,     // 6-byte addresses (the multicast list)
  Version,         // two 16-bit words
  Tallies,         // 32-bit counters by their number
  Registers,       // the 27-word register snapshot
  ProductionData,  // the controller's production data block
  MemoryRequest,   // address, byte count, data
  Record,          // a controller record: length word, RID word, data words
  CommandBlock,    // command, three parameters (status and responses once run)
  MibRecord,       // identifier, status, length, data
};

struct OidInfo {
  std::uint32_t oid;
  const char *name;
  Reading reading;
};

// Every OID of the driver's tables, standard ones first, in numeric order within each group.
std::span<const OidInfo> oidTable();
const OidInfo *findOid(std::uint32_t oid);
// An OID by its name (case-insensitive) or a number (decimal, or hex with 0x). nullopt when neither.
std::optional<std::uint32_t> parseOid(std::string_view text);

// True for the OIDs that the driver's supported list names twice.
bool listedTwice(std::uint32_t oid);

// What a private OID's request takes in its buffer, for a query and for a set; nullptr for the
// standard OIDs, whose buffers are as NDIS defines them.
struct PrivateInput {
  std::uint32_t oid;
  const char *query;
  const char *set;
};
const PrivateInput *privateInput(std::uint32_t oid);

struct MibAttribute {
  std::uint32_t id;
  const char *name;
  Reading reading;  // Byte, Number or Text
};
std::span<const MibAttribute> mibTable();
const MibAttribute *findMibAttribute(std::uint32_t id);

// "NDIS_STATUS_INVALID_LENGTH", or "" for a status without a name here.
std::string_view statusName(std::uint32_t status);
// "NDIS_STATUS_INVALID_LENGTH (0xC0010014)"
std::string describeStatus(std::uint32_t status);

// What the tally counters count, by their number in the controller's report; "" for the ones that
// stay zero.
std::string_view tallyName(std::size_t index);
// The same name as a JSON key ("dropped_at_the_retry_limit"); "" where there is no name.
std::string tallyKey(std::size_t index);
inline constexpr std::size_t kTallyCount = 44;

// Hex digits, optionally in groups separated by blanks or colons, to bytes. Throws
// std::invalid_argument saying what is wrong (an odd number of digits, a character that is none).
std::vector<std::uint8_t> parseHex(std::string_view text);
// "0x0001010D"
std::string hex32(std::uint32_t value);

}  // namespace teskel::handheld
