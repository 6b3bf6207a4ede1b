// Port bus: decoding, unmapped ports, counters, trace, string and 8-bit forms, interrupt lines.
#include <ceddk.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include "teskel/port_bus.h"

using namespace teskel::ceddk;

namespace {
// A window of 8 registers that remembers what was written and reads it back plus 0x100.
struct Echo : PortDevice {
  std::array<std::uint16_t, 8> regs{};
  std::uint16_t readPort16(std::uint32_t off) override { return static_cast<std::uint16_t>(regs.at(off / 2) + 0x100); }
  void writePort16(std::uint32_t off, std::uint16_t v) override { regs.at(off / 2) = v; }
};

PUSHORT port16(std::uintptr_t p) { return reinterpret_cast<PUSHORT>(p); }
PUCHAR port8(std::uintptr_t p) { return reinterpret_cast<PUCHAR>(p); }
}  // namespace

TEST(PortBus, RoutesToTheMappedWindowAndReadsAllOnesElsewhere) {
  PortBus bus;
  Echo dev;
  bus.map(0x300, 16, dev);
  ScopedBus scope(bus);
  WRITE_PORT_USHORT(port16(0x304), 0x1234);
  EXPECT_EQ(dev.regs[2], 0x1234);
  EXPECT_EQ(READ_PORT_USHORT(port16(0x304)), 0x1334);
  EXPECT_EQ(READ_PORT_USHORT(port16(0x310)), 0xFFFF);
  EXPECT_EQ(READ_PORT_UCHAR(port8(0x2FF)), 0xFF);
  WRITE_PORT_USHORT(port16(0x200), 1);  // ignored
  EXPECT_TRUE(bus.unmap(0x300));
  EXPECT_EQ(READ_PORT_USHORT(port16(0x304)), 0xFFFF);
}

TEST(PortBus, RefusesOverlappingWindows) {
  PortBus bus;
  Echo a, b;
  bus.map(0x300, 64, a);
  EXPECT_THROW(bus.map(0x33E, 4, b), std::invalid_argument);
  EXPECT_NO_THROW(bus.map(0x340, 4, b));
}

TEST(PortBus, StringFormsMoveWordsLowByteFirstEvenAtOddAddresses) {
  PortBus bus;
  Echo dev;
  bus.map(0x300, 16, dev);
  ScopedBus scope(bus);
  bus.setTracing(true);
  alignas(2) unsigned char raw[7] = {0, 0x11, 0x22, 0x33, 0x44, 0, 0};
  WRITE_PORT_BUFFER_USHORT(port16(0x302), reinterpret_cast<PUSHORT>(raw + 1), 2);
  EXPECT_EQ(dev.regs[1], 0x4433);  // last word written wins
  ASSERT_EQ(bus.trace().size(), 1u);
  EXPECT_EQ(bus.trace()[0].kind, PortAccess::Kind::WriteString16);
  EXPECT_EQ(bus.trace()[0].values, (std::vector<std::uint16_t>{0x2211, 0x4433}));
  READ_PORT_BUFFER_USHORT(port16(0x302), reinterpret_cast<PUSHORT>(raw + 1), 2);
  EXPECT_EQ(raw[1], 0x33);
  EXPECT_EQ(raw[2], 0x45);
  EXPECT_EQ(bus.counters(0x302).writes, 2u);
  EXPECT_EQ(bus.counters(0x302).reads, 2u);
  EXPECT_EQ(bus.trace()[1].describe(), "RS16 0x0302 4533 4533");
  EXPECT_EQ(bus.misalignedStringWrites(), 1u);
  EXPECT_EQ(bus.misalignedStringReads(), 1u);
  WRITE_PORT_BUFFER_USHORT(port16(0x302), reinterpret_cast<PUSHORT>(raw), 1);
  EXPECT_EQ(bus.misalignedStringWrites(), 1u);
}

// A device that takes strings whole, and says how each access reached it.
struct Calls : Echo {
  std::string seen;
  std::uint16_t readPort16(std::uint32_t off) override { return seen += 'r', Echo::readPort16(off); }
  void writePort16(std::uint32_t off, std::uint16_t v) override { seen += 'w', Echo::writePort16(off, v); }
  void readPort16String(std::uint32_t off, std::uint16_t *words, std::size_t n) override {
    seen += 'R';
    std::fill_n(words, n, Echo::readPort16(off));
  }
  void writePort16String(std::uint32_t off, const std::uint16_t *words, std::size_t n) override {
    seen += 'W';
    Echo::writePort16(off, words[n - 1]);
  }
};

TEST(PortBus, StringsReachTheDeviceWholeUnlessSingleAccessesAreForced) {
  PortBus bus;
  Calls dev;
  bus.map(0x300, 16, dev);
  ScopedBus scope(bus);
  bus.setTracing(true);
  alignas(2) std::uint16_t words[3] = {1, 2, 3};
  WRITE_PORT_BUFFER_USHORT(port16(0x302), words, 3);
  READ_PORT_BUFFER_USHORT(port16(0x302), words, 3);
  bus.setStringAccess(PortBus::StringAccess::PerWord);
  WRITE_PORT_BUFFER_USHORT(port16(0x302), words, 2);
  READ_PORT_BUFFER_USHORT(port16(0x302), words, 2);
  EXPECT_EQ(dev.seen, "WRwwrr");
  // Either way every word counts as an access and a string is traced as one.
  EXPECT_EQ(bus.counters(0x302).total(), 10u);
  ASSERT_EQ(bus.trace().size(), 4u);
  EXPECT_EQ(bus.trace()[3].describe(), "RS16 0x0302 0203 0203");
}

TEST(PortBus, CountsOutliveTheWindowAndCoverUnmappedPorts) {
  PortBus bus;
  Echo a, b;
  bus.map(0x300, 16, a);
  bus.read16(0x302);
  bus.read16(0x200);  // nothing there, still an access
  EXPECT_TRUE(bus.unmap(0x300));
  bus.map(0x300, 8, b);
  bus.write16(0x302, 1);
  EXPECT_EQ(bus.counters(0x302).reads, 1u);
  EXPECT_EQ(bus.counters(0x302).writes, 1u);
  EXPECT_EQ(bus.totals().total(), 3u);
}

TEST(PortBus, CountersResetAndTotal) {
  PortBus bus;
  Echo dev;
  bus.map(0x300, 16, dev);
  ScopedBus scope(bus);
  READ_PORT_USHORT(port16(0x300));
  WRITE_PORT_UCHAR(port8(0x301), 7);
  EXPECT_EQ(bus.totals().total(), 2u);
  bus.resetCounters();
  EXPECT_EQ(bus.totals().total(), 0u);
}

TEST(PortBus, IrqListenersSeeOnlyChanges) {
  PortBus bus;
  std::vector<std::pair<unsigned, bool>> seen;
  int token = bus.addIrqListener([&](unsigned l, bool v) { seen.emplace_back(l, v); });
  bus.setIrq(15, true);
  bus.setIrq(15, true);
  bus.setIrq(15, false);
  bus.removeIrqListener(token);
  bus.setIrq(15, true);
  EXPECT_TRUE(bus.irq(15));
  EXPECT_EQ(seen, (std::vector<std::pair<unsigned, bool>>{{15, true}, {15, false}}));
}
