// The event loop and clock of one simulated handheld. Time is in microseconds since boot.
// Virtual mode jumps to the next due task (tests); wall mode follows the real clock (the program).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <tuple>

namespace teskel {

using Micros = std::uint64_t;

class EventLoop {
 public:
  enum class Mode { Virtual, Wall };

  // Device tasks model hardware: they run whenever time advances, stalls included.
  // Host tasks model the platform calling the driver: they run only from run*(), never nested
  // inside a task, which is what serialises the entry points of an adapter.
  enum class Lane { Device, Host };

  using TaskId = std::uint64_t;

  explicit EventLoop(Mode mode = Mode::Virtual);
  EventLoop(const EventLoop &) = delete;
  EventLoop &operator=(const EventLoop &) = delete;

  Mode mode() const { return mode_; }
  Micros now() const;

  TaskId at(Micros when, std::function<void()> fn, Lane lane = Lane::Host);
  TaskId after(Micros delay, std::function<void()> fn, Lane lane = Lane::Host);
  // Returns false when the task already ran or was cancelled.
  bool cancel(TaskId id);
  bool pending(TaskId id) const;

  // Busy-wait for `us` microseconds: time advances and due device tasks run on the way.
  void stall(Micros us);
  // Runs device tasks that are due now (wall mode: brings the clock up to date first).
  void runDueDevice();

  // Runs the next task of either lane; in virtual mode the clock jumps to it first, in wall mode
  // the call sleeps until it is due (at most `maxWait`). Returns false when nothing ran.
  bool runOne(Micros maxWait = 20000);
  // Runs every task due up to `deadline`, then leaves the clock at `deadline`
  // (virtual mode) or returns once the wall clock reaches it. Stops early after requestStop().
  void runUntil(Micros deadline);
  void runFor(Micros duration) { runUntil(now() + duration); }
  // Runs until no task is left or `limit` tasks ran; returns the number of tasks run.
  std::size_t runUntilIdle(std::size_t limit = 10'000'000);

  std::optional<Micros> nextDue() const;
  std::size_t pendingCount() const { return tasks_.size(); }
  bool inTask() const { return depth_ > 0; }

  // Safe from a signal handler: makes runUntil/runOne return as soon as possible.
  void requestStop() { stopRequested_.store(true); }
  bool stopRequested() const { return stopRequested_.load(); }
  void clearStop() { stopRequested_.store(false); }

 private:
  struct Key {
    Micros when;
    TaskId id;
    bool operator<(const Key &o) const { return std::tie(when, id) < std::tie(o.when, o.id); }
  };
  struct Task {
    std::function<void()> fn;
    Lane lane;
  };

  void runTask(std::map<Key, Task>::iterator it);
  std::map<Key, Task>::iterator firstDue(Micros limit, bool deviceOnly);
  void syncWall();
  void sleepUntil(Micros t);

  Mode mode_;
  Micros virtualNow_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::map<Key, Task> tasks_;
  std::map<TaskId, Key> index_;
  TaskId nextId_ = 1;
  int depth_ = 0;
  std::atomic<bool> stopRequested_{false};
};

}  // namespace teskel
