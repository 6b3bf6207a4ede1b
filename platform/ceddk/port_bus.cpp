// Port bus: address decoding, access counters, trace and interrupt lines.
#include "teskel/port_bus.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace teskel::ceddk {

std::string PortAccess::describe() const {
  static const char *names[] = {"R16", "W16", "R8", "W8", "RS16", "WS16"};
  char head[48];
  std::snprintf(head, sizeof head, "%s 0x%04X", names[static_cast<int>(kind)], port);
  std::string s = head;
  for (auto v : values) {
    char w[8];
    std::snprintf(w, sizeof w, " %04X", v);
    s += w;
  }
  return s;
}

void PortBus::map(std::uint32_t base, std::uint32_t count, PortDevice &device) {
  if (count == 0) throw std::invalid_argument("port window of zero ports");
  for (auto &[b, w] : windows_) {
    if (base < b + w.count && b < base + count) throw std::invalid_argument("port window overlaps a mapped one");
  }
  windows_.emplace(base, Window{count, &device});
}

bool PortBus::unmap(std::uint32_t base) { return windows_.erase(base) != 0; }

const std::pair<const std::uint32_t, PortBus::Window> *PortBus::find(std::uint32_t port) const {
  auto it = windows_.upper_bound(port);
  if (it == windows_.begin()) return nullptr;
  --it;
  if (port >= it->first + it->second.count) return nullptr;
  return &*it;
}

bool PortBus::isMapped(std::uint32_t port) const { return find(port) != nullptr; }

PortDevice *PortBus::deviceAt(std::uint32_t base) const {
  auto it = windows_.find(base);
  return it == windows_.end() ? nullptr : it->second.device;
}

void PortBus::record(PortAccess::Kind kind, std::uint32_t port, std::vector<std::uint16_t> values) {
  if (tracing_) trace_.push_back(PortAccess{kind, port, std::move(values)});
}

std::uint16_t PortBus::read16(std::uint32_t port) {
  counters_[port].reads++;
  auto w = find(port);
  std::uint16_t v = w ? w->second.device->readPort16(port - w->first) : 0xFFFF;
  record(PortAccess::Kind::Read16, port, {v});
  return v;
}

void PortBus::write16(std::uint32_t port, std::uint16_t value) {
  counters_[port].writes++;
  record(PortAccess::Kind::Write16, port, {value});
  if (auto w = find(port)) w->second.device->writePort16(port - w->first, value);
}

std::uint8_t PortBus::read8(std::uint32_t port) {
  counters_[port].reads++;
  auto w = find(port);
  std::uint8_t v = w ? w->second.device->readPort8(port - w->first) : 0xFF;
  record(PortAccess::Kind::Read8, port, {v});
  return v;
}

void PortBus::write8(std::uint32_t port, std::uint8_t value) {
  counters_[port].writes++;
  record(PortAccess::Kind::Write8, port, {value});
  if (auto w = find(port)) w->second.device->writePort8(port - w->first, value);
}

void PortBus::readString16(std::uint32_t port, std::uint16_t *words, std::size_t count) {
  counters_[port].reads += count;
  if (auto w = find(port)) {
    PortDevice &device = *w->second.device;
    const std::uint32_t offset = port - w->first;
    if (stringAccess_ == StringAccess::Whole) {
      device.readPort16String(offset, words, count);
    } else {
      for (std::size_t i = 0; i < count; ++i) words[i] = device.readPort16(offset);
    }
  } else {
    std::fill_n(words, count, std::uint16_t{0xFFFF});
  }
  if (tracing_) record(PortAccess::Kind::ReadString16, port, std::vector<std::uint16_t>(words, words + count));
}

void PortBus::writeString16(std::uint32_t port, const std::uint16_t *words, std::size_t count) {
  counters_[port].writes += count;
  if (tracing_) record(PortAccess::Kind::WriteString16, port, std::vector<std::uint16_t>(words, words + count));
  auto w = find(port);
  if (!w) return;
  PortDevice &device = *w->second.device;
  const std::uint32_t offset = port - w->first;
  if (stringAccess_ == StringAccess::Whole) {
    device.writePort16String(offset, words, count);
  } else {
    for (std::size_t i = 0; i < count; ++i) device.writePort16(offset, words[i]);
  }
}

PortCounters PortBus::counters(std::uint32_t port) const {
  auto it = counters_.find(port);
  return it == counters_.end() ? PortCounters{} : it->second;
}

PortCounters PortBus::totals() const {
  PortCounters t;
  for (auto &[p, c] : counters_) {
    t.reads += c.reads;
    t.writes += c.writes;
  }
  return t;
}

void PortBus::resetCounters() { counters_.clear(); }

void PortBus::setIrq(unsigned line, bool level) {
  bool &cur = irqs_[line];
  if (cur == level) return;
  cur = level;
  // Copy: a listener may add or remove listeners.
  auto listeners = listeners_;
  for (auto &[t, l] : listeners) l(line, level);
}

bool PortBus::irq(unsigned line) const {
  auto it = irqs_.find(line);
  return it != irqs_.end() && it->second;
}

int PortBus::addIrqListener(IrqListener listener) {
  int token = nextToken_++;
  listeners_.emplace(token, std::move(listener));
  return token;
}

void PortBus::removeIrqListener(int token) { listeners_.erase(token); }

namespace {
thread_local PortBus *g_current = nullptr;
}

PortBus *currentBus() { return g_current; }

ScopedBus::ScopedBus(PortBus &bus) : previous_(g_current) { g_current = &bus; }
ScopedBus::~ScopedBus() { g_current = previous_; }

}  // namespace teskel::ceddk
