// The event loop and clock of one simulated handheld. Time is in microseconds since boot.
// Virtual mode jumps to the next due task (tests); wall mode follows the real clock (the program).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

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
  // Every port access reads the clock: the virtual one is a plain load.
  Micros now() const { return mode_ == Mode::Virtual ? virtualNow_ : wallNow(); }

  // Tasks run in time order, those of one time in the order they were scheduled. A callable of
  // up to Callback::kInline bytes is kept in the loop's own storage, so scheduling allocates
  // nothing once the loop has seen as many tasks pending at once.
  template <typename F>
  TaskId at(Micros when, F &&fn, Lane lane = Lane::Host) {
    const std::uint32_t slot = claimSlot();
    try {
      slots_[slot].fn.emplace(std::forward<F>(fn));
    } catch (...) {
      free_.push_back(slot);
      throw;
    }
    return enqueue(when, slot, lane);
  }
  template <typename F>
  TaskId after(Micros delay, F &&fn, Lane lane = Lane::Host) {
    return at(now() + delay, std::forward<F>(fn), lane);
  }
  // Returns false when the task already ran (or is running) or was cancelled.
  bool cancel(TaskId id);
  bool pending(TaskId id) const;

  // Busy-wait for `us` microseconds: time advances and due device tasks run on the way.
  void stall(Micros us);
  // Runs device tasks that are due now (wall mode: brings the clock up to date first).
  void runDueDevice() {
    syncWall();
    if (!device_.empty() && device_.front().when <= virtualNow_) runDueDeviceUntil(virtualNow_);
  }

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
  std::size_t pendingCount() const { return pending_; }
  bool inTask() const { return depth_ > 0; }

  // Safe from a signal handler: makes runUntil/runOne return as soon as possible.
  void requestStop() { stopRequested_.store(true); }
  bool stopRequested() const { return stopRequested_.load(); }
  void clearStop() { stopRequested_.store(false); }

  // A task's callable, stored in place when it is small enough (move-only callables too).
  class Callback {
   public:
    static constexpr std::size_t kInline = 64;

    Callback() = default;
    ~Callback() { reset(); }
    Callback(const Callback &) = delete;
    Callback &operator=(const Callback &) = delete;

    template <typename F>
    void emplace(F &&fn) {
      using T = std::decay_t<F>;
      reset();
      if constexpr (sizeof(T) <= kInline && alignof(T) <= alignof(std::max_align_t)) {
        ::new (static_cast<void *>(storage_)) T(std::forward<F>(fn));
        invoke_ = [](void *p) { (*static_cast<T *>(p))(); };
        destroy_ = [](void *p) { static_cast<T *>(p)->~T(); };
      } else {
        ::new (static_cast<void *>(storage_)) T *(new T(std::forward<F>(fn)));
        invoke_ = [](void *p) { (**static_cast<T **>(p))(); };
        destroy_ = [](void *p) { delete *static_cast<T **>(p); };
      }
    }
    void operator()() { invoke_(storage_); }
    void reset() {
      if (destroy_) std::exchange(destroy_, nullptr)(storage_);
      invoke_ = nullptr;
    }

   private:
    alignas(std::max_align_t) unsigned char storage_[kInline];
    void (*invoke_)(void *) = nullptr;
    void (*destroy_)(void *) = nullptr;
  };

 private:
  // A task's id carries its slot in the low bits and a running count above them, so ids are
  // never reused and order tasks of one time by when they were scheduled.
  static constexpr unsigned kSlotBits = 24;
  static constexpr TaskId kSlotMask = (TaskId{1} << kSlotBits) - 1;

  struct Slot {
    TaskId id = 0;  // 0 while free or running
    Lane lane = Lane::Host;
    Callback fn;
  };
  // A binary min-heap of (time, id) per lane. Cancelled tasks leave their entry behind; it is
  // dropped when it reaches the top, or all at once when such entries outnumber the live ones.
  struct Entry {
    Micros when;
    TaskId id;
  };
  struct Queue {
    std::vector<Entry> heap;
    std::size_t stale = 0;
    const Entry &front() const { return heap.front(); }
    bool empty() const { return heap.empty(); }
  };

  Micros wallNow() const;
  void syncWall() {
    if (mode_ == Mode::Wall) virtualNow_ = wallNow();
  }
  std::uint32_t claimSlot();
  TaskId enqueue(Micros when, std::uint32_t slot, Lane lane);
  bool live(const Entry &e) const { return slots_[e.id & kSlotMask].id == e.id; }
  void prune(Queue &q);
  void pop(Queue &q);
  // The queue whose first task runs next, or null when both are empty.
  Queue *earliest();
  const Queue *earliest() const;
  void runFront(Queue &q);
  void runDueDeviceUntil(Micros limit);
  void sleepUntil(Micros t);

  Mode mode_;
  Micros virtualNow_ = 0;
  std::chrono::steady_clock::time_point start_;
  // A deque: slots stay where they are while a running task schedules more.
  std::deque<Slot> slots_;
  std::vector<std::uint32_t> free_;
  Queue device_, host_;
  std::size_t pending_ = 0;
  TaskId nextSequence_ = 1;
  int depth_ = 0;
  std::atomic<bool> stopRequested_{false};
};

}  // namespace teskel
