// The handheld's I/O port bus: routes port reads and writes to the device mapped at an address,
// counts every access per port, optionally traces them, and carries the interrupt lines.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace teskel::ceddk {

// A device behind a window of ports. Offsets are relative to the window's first port.
class PortDevice {
 public:
  virtual ~PortDevice() = default;
  virtual std::uint16_t readPort16(std::uint32_t offset) = 0;
  virtual void writePort16(std::uint32_t offset, std::uint16_t value) = 0;
  // 8-bit accesses; by default the low byte of the 16-bit access.
  virtual std::uint8_t readPort8(std::uint32_t offset) { return static_cast<std::uint8_t>(readPort16(offset)); }
  virtual void writePort8(std::uint32_t offset, std::uint8_t value) { writePort16(offset, value); }
  // String accesses: `count` 16-bit accesses to one port in one call. By default they are made
  // one by one. A device that moves the words at once must leave everything as the single
  // accesses would have: values, state, misuse records, faults, the end of a buffer.
  virtual void readPort16String(std::uint32_t offset, std::uint16_t *words, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) words[i] = readPort16(offset);
  }
  virtual void writePort16String(std::uint32_t offset, const std::uint16_t *words, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) writePort16(offset, words[i]);
  }
};

struct PortAccess {
  enum class Kind : std::uint8_t { Read16, Write16, Read8, Write8, ReadString16, WriteString16 };
  Kind kind;
  std::uint32_t port;
  // Single accesses carry one value; string accesses every word moved, in order.
  std::vector<std::uint16_t> values;

  std::string describe() const;
};

struct PortCounters {
  std::uint64_t reads = 0;   // 16-bit and 8-bit reads, each word of a string read counted
  std::uint64_t writes = 0;  // likewise for writes
  std::uint64_t total() const { return reads + writes; }
};

class PortBus {
 public:
  PortBus() = default;
  PortBus(const PortBus &) = delete;
  PortBus &operator=(const PortBus &) = delete;

  // Maps a window of `count` ports at `base`; throws std::invalid_argument when it overlaps.
  void map(std::uint32_t base, std::uint32_t count, PortDevice &device);
  // Returns false when no window starts at `base`.
  bool unmap(std::uint32_t base);
  bool isMapped(std::uint32_t port) const;
  PortDevice *deviceAt(std::uint32_t base) const;

  std::uint16_t read16(std::uint32_t port);
  void write16(std::uint32_t port, std::uint16_t value);
  std::uint8_t read8(std::uint32_t port);
  void write8(std::uint32_t port, std::uint8_t value);
  // A string access reaches the device as one call, unless single accesses are forced.
  void readString16(std::uint32_t port, std::uint16_t *words, std::size_t count);
  void writeString16(std::uint32_t port, const std::uint16_t *words, std::size_t count);

  // How string accesses reach a device: whole (the default), or as one single access per word,
  // as a bus that cannot pass a string on would make them. Devices must not tell the two apart.
  enum class StringAccess { Whole, PerWord };
  void setStringAccess(StringAccess mode) { stringAccess_ = mode; }
  StringAccess stringAccess() const { return stringAccess_; }

  // Counters per port, since construction or the last reset.
  PortCounters counters(std::uint32_t port) const;
  PortCounters totals() const;
  void resetCounters();

  // String transfers whose memory buffer starts at an odd address. The handheld's processor
  // cannot move a halfword at an odd address, so a driver must not pass one; tests check these.
  void noteMisalignedString(bool write) { ++(write ? misalignedWrites_ : misalignedReads_); }
  std::uint64_t misalignedStringWrites() const { return misalignedWrites_; }
  std::uint64_t misalignedStringReads() const { return misalignedReads_; }

  // The trace records every access while enabled.
  void setTracing(bool on) { tracing_ = on; }
  bool tracing() const { return tracing_; }
  const std::vector<PortAccess> &trace() const { return trace_; }
  void clearTrace() { trace_.clear(); }

  // Level-sensitive interrupt lines by number. Devices drive them; the platform listens.
  void setIrq(unsigned line, bool level);
  bool irq(unsigned line) const;
  using IrqListener = std::function<void(unsigned line, bool level)>;
  int addIrqListener(IrqListener listener);
  void removeIrqListener(int token);

 private:
  struct Window {
    std::uint32_t count;
    PortDevice *device;
    std::vector<PortCounters> counters;  // per port of the window
  };
  using Mapped = std::pair<const std::uint32_t, Window>;
  Mapped *find(std::uint32_t port);
  const Mapped *find(std::uint32_t port) const;
  // Where an access to `port` is counted; the window it falls in, or null.
  PortCounters &countersFor(std::uint32_t port, Mapped *window);
  // Callers look at tracing_ first: the values are not even gathered when no one traces.
  void record(PortAccess::Kind kind, std::uint32_t port, std::vector<std::uint16_t> values);

  std::map<std::uint32_t, Window> windows_;
  // Accesses come in runs to one card: the window found last is tried first.
  Mapped *lastWindow_ = nullptr;
  // Ports outside every window, and what windows counted before they were unmapped.
  std::map<std::uint32_t, PortCounters> counters_;
  std::vector<PortAccess> trace_;
  bool tracing_ = false;
  StringAccess stringAccess_ = StringAccess::Whole;
  std::uint64_t misalignedWrites_ = 0;
  std::uint64_t misalignedReads_ = 0;
  std::map<unsigned, bool> irqs_;
  std::map<int, IrqListener> listeners_;
  int nextToken_ = 1;
};

// The bus that the CEDDK port calls (READ_PORT_USHORT and the rest) use on this thread.
PortBus *currentBus();
class ScopedBus {
 public:
  explicit ScopedBus(PortBus &bus);
  ~ScopedBus();
  ScopedBus(const ScopedBus &) = delete;
  ScopedBus &operator=(const ScopedBus &) = delete;

 private:
  PortBus *previous_;
};

}  // namespace teskel::ceddk
