// Event loop of a simulated handheld: tasks in time order per lane on a virtual or wall clock.
#include "teskel/event_loop.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

namespace teskel {

namespace {
// std::*_heap keep the greatest first; the loop wants the earliest.
struct Later {
  template <typename E>
  bool operator()(const E &a, const E &b) const {
    return a.when != b.when ? a.when > b.when : a.id > b.id;
  }
};
// Dropping cancelled entries one by one at the top is enough unless many pile up below it
// (timers re-armed far ahead); then the heap is rebuilt.
constexpr std::size_t kStaleSlack = 256;
}  // namespace

EventLoop::EventLoop(Mode mode) : mode_(mode), start_(std::chrono::steady_clock::now()) {}

Micros EventLoop::wallNow() const {
  auto d = std::chrono::steady_clock::now() - start_;
  auto real = static_cast<Micros>(std::chrono::duration_cast<std::chrono::microseconds>(d).count());
  // A stall may have pushed the clock ahead of the real one; never go back.
  return real > virtualNow_ ? real : virtualNow_;
}

std::uint32_t EventLoop::claimSlot() {
  if (!free_.empty()) {
    std::uint32_t slot = free_.back();
    free_.pop_back();
    return slot;
  }
  if (slots_.size() > kSlotMask) throw std::length_error("event loop: too many tasks pending at once");
  slots_.emplace_back();
  return static_cast<std::uint32_t>(slots_.size() - 1);
}

EventLoop::TaskId EventLoop::enqueue(Micros when, std::uint32_t slot, Lane lane) {
  const TaskId id = (nextSequence_++ << kSlotBits) | slot;
  Slot &s = slots_[slot];
  s.id = id;
  s.lane = lane;
  Queue &q = lane == Lane::Device ? device_ : host_;
  q.heap.push_back(Entry{when, id});
  std::push_heap(q.heap.begin(), q.heap.end(), Later{});
  ++pending_;
  return id;
}

bool EventLoop::pending(TaskId id) const {
  const TaskId slot = id & kSlotMask;
  return id != 0 && slot < slots_.size() && slots_[slot].id == id;
}

bool EventLoop::cancel(TaskId id) {
  if (!pending(id)) return false;
  Slot &s = slots_[id & kSlotMask];
  Queue &q = s.lane == Lane::Device ? device_ : host_;
  s.id = 0;
  s.fn.reset();
  free_.push_back(static_cast<std::uint32_t>(id & kSlotMask));
  --pending_;
  ++q.stale;
  if (q.stale > kStaleSlack && q.stale > q.heap.size() / 2) {
    std::erase_if(q.heap, [this](const Entry &e) { return !live(e); });
    std::make_heap(q.heap.begin(), q.heap.end(), Later{});
    q.stale = 0;
  } else {
    prune(q);
  }
  return true;
}

void EventLoop::prune(Queue &q) {
  while (!q.heap.empty() && !live(q.heap.front())) {
    std::pop_heap(q.heap.begin(), q.heap.end(), Later{});
    q.heap.pop_back();
    --q.stale;
  }
}

void EventLoop::pop(Queue &q) {
  std::pop_heap(q.heap.begin(), q.heap.end(), Later{});
  q.heap.pop_back();
  prune(q);
}

EventLoop::Queue *EventLoop::earliest() {
  return const_cast<Queue *>(static_cast<const EventLoop *>(this)->earliest());
}

const EventLoop::Queue *EventLoop::earliest() const {
  if (device_.empty()) return host_.empty() ? nullptr : &host_;
  if (host_.empty()) return &device_;
  return Later{}(device_.front(), host_.front()) ? &host_ : &device_;
}

void EventLoop::runFront(Queue &q) {
  const Entry e = q.front();
  pop(q);
  if (e.when > virtualNow_) virtualNow_ = e.when;
  const std::uint32_t slot = static_cast<std::uint32_t>(e.id & kSlotMask);
  // The slot is no longer pending (the task cannot cancel itself) but stays taken until the
  // callable returns: it runs in place, and the deque keeps it there whatever it schedules.
  slots_[slot].id = 0;
  --pending_;
  struct Release {
    EventLoop &loop;
    std::uint32_t slot;
    ~Release() {
      loop.slots_[slot].fn.reset();
      loop.free_.push_back(slot);
      --loop.depth_;
    }
  } release{*this, slot};
  ++depth_;
  slots_[slot].fn();
}

void EventLoop::runDueDeviceUntil(Micros limit) {
  while (!device_.empty() && device_.front().when <= limit) runFront(device_);
}

void EventLoop::stall(Micros us) {
  syncWall();
  const Micros target = virtualNow_ + us;
  runDueDeviceUntil(target);
  if (mode_ == Mode::Wall) {
    // A real busy wait: the controller's latencies are real time here.
    while (now() < target) std::this_thread::yield();
  }
  if (virtualNow_ < target) virtualNow_ = target;
}

std::optional<Micros> EventLoop::nextDue() const {
  const Queue *q = earliest();
  if (!q) return std::nullopt;
  return q->front().when;
}

void EventLoop::sleepUntil(Micros t) {
  Micros n = now();
  if (t > n) std::this_thread::sleep_for(std::chrono::microseconds(t - n));
}

bool EventLoop::runOne(Micros maxWait) {
  Queue *q = earliest();
  if (!q) return false;
  if (mode_ == Mode::Wall) {
    Micros n = now();
    if (q->front().when > n) {
      sleepUntil(std::min(q->front().when, n + maxWait));
      syncWall();
      q = earliest();
      if (!q || q->front().when > virtualNow_) return false;
    }
    syncWall();
  }
  runFront(*q);
  return true;
}

void EventLoop::runUntil(Micros deadline) {
  while (!stopRequested()) {
    Queue *q = earliest();
    if (mode_ == Mode::Virtual) {
      if (!q || q->front().when > deadline) break;
      runFront(*q);
    } else {
      syncWall();
      if (virtualNow_ >= deadline && (!q || q->front().when > virtualNow_)) break;
      if (q && q->front().when <= virtualNow_) {
        runFront(*q);
        continue;
      }
      Micros wake = deadline;
      if (q) wake = std::min(wake, q->front().when);
      sleepUntil(std::min(wake, virtualNow_ + 20000));
    }
  }
  if (mode_ == Mode::Virtual && !stopRequested() && virtualNow_ < deadline) virtualNow_ = deadline;
}

std::size_t EventLoop::runUntilIdle(std::size_t limit) {
  std::size_t n = 0;
  while (n < limit && !stopRequested() && runOne()) ++n;
  return n;
}

}  // namespace teskel
