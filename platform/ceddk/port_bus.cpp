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
  windows_.emplace(base, Window{count, &device, std::vector<PortCounters>(count)});
}

bool PortBus::unmap(std::uint32_t base) {
  auto it = windows_.find(base);
  if (it == windows_.end()) return false;
  // The ports' counts outlive the window.
  const Window &w = it->second;
  for (std::uint32_t i = 0; i < w.count; ++i) {
    if (w.counters[i].total() == 0) continue;
    PortCounters &kept = counters_[base + i];
    kept.reads += w.counters[i].reads;
    kept.writes += w.counters[i].writes;
  }
  lastWindow_ = nullptr;
  windows_.erase(it);
  return true;
}

PortBus::Mapped *PortBus::find(std::uint32_t port) {
  if (lastWindow_ && port - lastWindow_->first < lastWindow_->second.count) return lastWindow_;
  auto it = windows_.upper_bound(port);
  if (it == windows_.begin()) return nullptr;
  --it;
  if (port >= it->first + it->second.count) return nullptr;
  lastWindow_ = &*it;
  return lastWindow_;
}

const PortBus::Mapped *PortBus::find(std::uint32_t port) const {
  auto it = windows_.upper_bound(port);
  if (it == windows_.begin()) return nullptr;
  --it;
  if (port >= it->first + it->second.count) return nullptr;
  return &*it;
}

PortCounters &PortBus::countersFor(std::uint32_t port, Mapped *window) {
  return window ? window->second.counters[port - window->first] : counters_[port];
}

bool PortBus::isMapped(std::uint32_t port) const { return find(port) != nullptr; }

PortDevice *PortBus::deviceAt(std::uint32_t base) const {
  auto it = windows_.find(base);
  return it == windows_.end() ? nullptr : it->second.device;
}

void PortBus::record(PortAccess::Kind kind, std::uint32_t port, std::vector<std::uint16_t> values) {
  trace_.push_back(PortAccess{kind, port, std::move(values)});
}

std::uint16_t PortBus::read16(std::uint32_t port) {
  Mapped *w = find(port);
  countersFor(port, w).reads++;
  std::uint16_t v = w ? w->second.device->readPort16(port - w->first) : 0xFFFF;
  if (tracing_) record(PortAccess::Kind::Read16, port, {v});
  return v;
}

void PortBus::write16(std::uint32_t port, std::uint16_t value) {
  Mapped *w = find(port);
  countersFor(port, w).writes++;
  if (tracing_) record(PortAccess::Kind::Write16, port, {value});
  if (w) w->second.device->writePort16(port - w->first, value);
}

std::uint8_t PortBus::read8(std::uint32_t port) {
  Mapped *w = find(port);
  countersFor(port, w).reads++;
  std::uint8_t v = w ? w->second.device->readPort8(port - w->first) : 0xFF;
  if (tracing_) record(PortAccess::Kind::Read8, port, {v});
  return v;
}

void PortBus::write8(std::uint32_t port, std::uint8_t value) {
  Mapped *w = find(port);
  countersFor(port, w).writes++;
  if (tracing_) record(PortAccess::Kind::Write8, port, {value});
  if (w) w->second.device->writePort8(port - w->first, value);
}

void PortBus::readString16(std::uint32_t port, std::uint16_t *words, std::size_t count) {
  Mapped *w = find(port);
  countersFor(port, w).reads += count;
  if (w) {
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
  Mapped *w = find(port);
  countersFor(port, w).writes += count;
  if (tracing_) record(PortAccess::Kind::WriteString16, port, std::vector<std::uint16_t>(words, words + count));
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
  PortCounters c;
  if (auto it = counters_.find(port); it != counters_.end()) c = it->second;
  if (const Mapped *w = find(port)) {
    c.reads += w->second.counters[port - w->first].reads;
    c.writes += w->second.counters[port - w->first].writes;
  }
  return c;
}

PortCounters PortBus::totals() const {
  PortCounters t;
  auto add = [&t](const PortCounters &c) {
    t.reads += c.reads;
    t.writes += c.writes;
  };
  for (auto &[p, c] : counters_) add(c);
  for (auto &[b, w] : windows_)
    for (auto &c : w.counters) add(c);
  return t;
}

void PortBus::resetCounters() {
  counters_.clear();
  for (auto &[b, w] : windows_) std::fill(w.counters.begin(), w.counters.end(), PortCounters{});
}

void PortBus::setIrq(unsigned line, bool level) {
  bool &cur = irqs_[line];
  if (cur == level) return;
  cur = level;
  // A listener may add or remove listeners: those added now hear the next change, those removed
  // hear no more, and the one running is a copy.
  const int end = nextToken_;
  for (auto it = listeners_.begin(); it != listeners_.end() && it->first < end;) {
    const int token = it->first;
    IrqListener listener = it->second;
    listener(line, level);
    it = listeners_.upper_bound(token);
  }
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
