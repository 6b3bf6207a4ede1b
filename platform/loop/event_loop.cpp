// Event loop of a simulated handheld: ordered tasks on a virtual or wall clock.
#include "teskel/event_loop.h"

#include <thread>

namespace teskel {

EventLoop::EventLoop(Mode mode) : mode_(mode), start_(std::chrono::steady_clock::now()) {}

Micros EventLoop::now() const {
  if (mode_ == Mode::Virtual) return virtualNow_;
  auto d = std::chrono::steady_clock::now() - start_;
  auto real = static_cast<Micros>(std::chrono::duration_cast<std::chrono::microseconds>(d).count());
  // A stall may have pushed the clock ahead of the real one; never go back.
  return real > virtualNow_ ? real : virtualNow_;
}

void EventLoop::syncWall() {
  if (mode_ == Mode::Wall) virtualNow_ = now();
}

EventLoop::TaskId EventLoop::at(Micros when, std::function<void()> fn, Lane lane) {
  TaskId id = nextId_++;
  Key key{when, id};
  tasks_.emplace(key, Task{std::move(fn), lane});
  index_.emplace(id, key);
  return id;
}

EventLoop::TaskId EventLoop::after(Micros delay, std::function<void()> fn, Lane lane) {
  return at(now() + delay, std::move(fn), lane);
}

bool EventLoop::cancel(TaskId id) {
  auto it = index_.find(id);
  if (it == index_.end()) return false;
  tasks_.erase(it->second);
  index_.erase(it);
  return true;
}

bool EventLoop::pending(TaskId id) const { return index_.count(id) != 0; }

std::map<EventLoop::Key, EventLoop::Task>::iterator EventLoop::firstDue(Micros limit, bool deviceOnly) {
  for (auto it = tasks_.begin(); it != tasks_.end() && it->first.when <= limit; ++it) {
    if (!deviceOnly || it->second.lane == Lane::Device) return it;
  }
  return tasks_.end();
}

void EventLoop::runTask(std::map<Key, Task>::iterator it) {
  if (it->first.when > virtualNow_) virtualNow_ = it->first.when;
  auto fn = std::move(it->second.fn);
  index_.erase(it->first.id);
  tasks_.erase(it);
  ++depth_;
  try {
    fn();
  } catch (...) {
    --depth_;
    throw;
  }
  --depth_;
}

void EventLoop::runDueDevice() {
  syncWall();
  for (;;) {
    auto it = firstDue(virtualNow_, true);
    if (it == tasks_.end()) return;
    runTask(it);
  }
}

void EventLoop::stall(Micros us) {
  syncWall();
  const Micros target = virtualNow_ + us;
  for (;;) {
    auto it = firstDue(target, true);
    if (it == tasks_.end()) break;
    runTask(it);
  }
  if (mode_ == Mode::Wall) {
    // A real busy wait: the controller's latencies are real time here.
    while (now() < target) std::this_thread::yield();
  }
  if (virtualNow_ < target) virtualNow_ = target;
}

std::optional<Micros> EventLoop::nextDue() const {
  if (tasks_.empty()) return std::nullopt;
  return tasks_.begin()->first.when;
}

void EventLoop::sleepUntil(Micros t) {
  Micros n = now();
  if (t > n) std::this_thread::sleep_for(std::chrono::microseconds(t - n));
}

bool EventLoop::runOne(Micros maxWait) {
  if (tasks_.empty()) return false;
  auto it = tasks_.begin();
  if (mode_ == Mode::Wall) {
    Micros n = now();
    if (it->first.when > n) {
      sleepUntil(std::min(it->first.when, n + maxWait));
      syncWall();
      it = tasks_.begin();
      if (it == tasks_.end() || it->first.when > virtualNow_) return false;
    }
    syncWall();
  }
  runTask(it);
  return true;
}

void EventLoop::runUntil(Micros deadline) {
  while (!stopRequested()) {
    if (mode_ == Mode::Virtual) {
      if (tasks_.empty() || tasks_.begin()->first.when > deadline) break;
      runTask(tasks_.begin());
    } else {
      syncWall();
      if (virtualNow_ >= deadline && (tasks_.empty() || tasks_.begin()->first.when > virtualNow_)) break;
      if (!tasks_.empty() && tasks_.begin()->first.when <= virtualNow_) {
        runTask(tasks_.begin());
        continue;
      }
      Micros wake = deadline;
      if (!tasks_.empty()) wake = std::min(wake, tasks_.begin()->first.when);
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
