// What an information request's bytes say, as named fields, and how the management commands print
// them: as text lines, or as JSON for scripts.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "oid_names.h"

namespace teskel::handheld {

struct Field {
  std::string name;
  std::variant<std::uint64_t, std::string, std::vector<Field>> value;
};
using Fields = std::vector<Field>;

// The reading of `bytes`; a reading whose bytes are too few for it gives what they hold, maybe
// nothing.
Fields decode(Reading reading, std::span<const std::uint8_t> bytes);

// "name: value" lines, nested fields indented under their name.
void printFields(std::ostream &out, const Fields &fields, int indent = 0);
// One JSON object.
std::string jsonFields(const Fields &fields);
std::string jsonString(std::string_view text);

// "02 54 4B" (separator " ") or "02544B" (separator "").
std::string hexBytes(std::span<const std::uint8_t> bytes, std::string_view separator = " ");
// Hex lines of 16 bytes under an offset, for long answers.
void printHexDump(std::ostream &out, std::span<const std::uint8_t> bytes, int indent);
std::string macText(std::span<const std::uint8_t> address);

}  // namespace teskel::handheld
