// Views of the port bus trace that the driver tests look at: what was written to one register
// of the card's window, and the commands issued with their first parameter.
#pragma once

#include <cstdint>
#include <vector>

#include "driver_fixture.h"

namespace teskel::test {

inline std::uint32_t portOf(std::uint32_t reg) { return DriverRig::kIoBase + reg; }

// Every 16-bit value written to the register (string writes word by word), in order.
inline std::vector<std::uint16_t> writesTo(const ceddk::PortBus &bus, std::uint32_t reg) {
  std::vector<std::uint16_t> out;
  for (const auto &a : bus.trace()) {
    if (a.port != portOf(reg)) continue;
    if (a.kind == ceddk::PortAccess::Kind::Write16 || a.kind == ceddk::PortAccess::Kind::WriteString16 ||
        a.kind == ceddk::PortAccess::Kind::Write8) {
      out.insert(out.end(), a.values.begin(), a.values.end());
    }
  }
  return out;
}

inline std::size_t readsOf(const ceddk::PortBus &bus, std::uint32_t reg) {
  std::size_t n = 0;
  for (const auto &a : bus.trace()) {
    if (a.port != portOf(reg)) continue;
    if (a.kind == ceddk::PortAccess::Kind::Read16 || a.kind == ceddk::PortAccess::Kind::Read8) n += 1;
    if (a.kind == ceddk::PortAccess::Kind::ReadString16) n += a.values.size();
  }
  return n;
}

struct Command {
  std::uint16_t code;
  std::uint16_t param0;
  bool operator==(const Command &) const = default;
};

// Commands written to REG_COMMAND, each with the last value written to REG_PARAM0 before it.
inline std::vector<Command> commandsIssued(const ceddk::PortBus &bus) {
  std::vector<Command> out;
  std::uint16_t param0 = 0;
  for (const auto &a : bus.trace()) {
    if (a.kind != ceddk::PortAccess::Kind::Write16) continue;
    if (a.port == portOf(REG_PARAM0)) param0 = a.values[0];
    if (a.port == portOf(REG_COMMAND)) out.push_back({a.values[0], param0});
  }
  return out;
}

inline std::vector<std::uint16_t> commandCodes(const ceddk::PortBus &bus) {
  std::vector<std::uint16_t> out;
  for (const auto &c : commandsIssued(bus)) out.push_back(c.code);
  return out;
}

// Identifiers of the records committed (CMD_ACCESS_WRITE) or read (CMD_ACCESS_READ), in order.
inline std::vector<std::uint16_t> recordsAccessed(const ceddk::PortBus &bus, std::uint16_t command) {
  std::vector<std::uint16_t> out;
  for (const auto &c : commandsIssued(bus))
    if (c.code == command) out.push_back(c.param0);
  return out;
}

}  // namespace teskel::test
