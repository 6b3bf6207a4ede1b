// Event loop: ordering, device lanes during stalls, cancellation and the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "teskel/event_loop.h"

using teskel::EventLoop;

TEST(EventLoop, RunsTasksInTimeThenInsertionOrder) {
  EventLoop loop;
  std::string seen;
  loop.at(30, [&] { seen += 'c'; });
  loop.at(10, [&] { seen += 'a'; });
  loop.at(10, [&] { seen += 'b'; });
  EXPECT_EQ(loop.runUntilIdle(), 3u);
  EXPECT_EQ(seen, "abc");
  EXPECT_EQ(loop.now(), 30u);
}

TEST(EventLoop, StallRunsOnlyDeviceTasksOnTheWay) {
  EventLoop loop;
  std::string seen;
  loop.at(5, [&] { seen += 'd'; }, EventLoop::Lane::Device);
  loop.at(6, [&] { seen += 'h'; }, EventLoop::Lane::Host);
  loop.at(50, [&] { seen += 'D'; }, EventLoop::Lane::Device);
  loop.stall(10);
  EXPECT_EQ(seen, "d");
  EXPECT_EQ(loop.now(), 10u);
  loop.runUntil(100);
  EXPECT_EQ(seen, "dhD");
  EXPECT_EQ(loop.now(), 100u);
}

TEST(EventLoop, TaskSeesItsOwnTimeAndCanScheduleMore) {
  EventLoop loop;
  std::vector<teskel::Micros> times;
  loop.at(7, [&] {
    times.push_back(loop.now());
    loop.after(3, [&] { times.push_back(loop.now()); });
  });
  loop.runUntilIdle();
  EXPECT_EQ(times, (std::vector<teskel::Micros>{7, 10}));
}

TEST(EventLoop, CancelledTaskNeverRuns) {
  EventLoop loop;
  bool ran = false;
  auto id = loop.after(5, [&] { ran = true; });
  EXPECT_TRUE(loop.pending(id));
  EXPECT_TRUE(loop.cancel(id));
  EXPECT_FALSE(loop.cancel(id));
  loop.runUntilIdle();
  EXPECT_FALSE(ran);
}

TEST(EventLoop, RunUntilStopsAtDeadlineAndOnRequest) {
  EventLoop loop;
  int n = 0;
  std::function<void()> tick = [&] {
    ++n;
    loop.after(1000, tick);
  };
  loop.after(1000, tick);
  loop.runUntil(5500);
  EXPECT_EQ(n, 5);
  EXPECT_EQ(loop.now(), 5500u);
  loop.at(6000, [&] { loop.requestStop(); });
  loop.runUntil(100000);
  EXPECT_TRUE(loop.stopRequested());
  EXPECT_LT(loop.now(), 100000u);
}

// Timers re-armed far ahead leave cancelled tasks behind; what is left runs once, in time order
// and, within a time, in the order scheduled, whatever its lane.
TEST(EventLoop, ManyCancellationsKeepTheOrderAcrossLanes) {
  EventLoop loop;
  std::vector<int> seen, kept;
  for (int i = 0; i < 3000; ++i) {
    auto id = loop.at(1000000 - static_cast<teskel::Micros>(i % 1000) * 7, [&seen, i] { seen.push_back(i); },
                      i % 2 ? EventLoop::Lane::Device : EventLoop::Lane::Host);
    if (i % 7 == 3) kept.push_back(i);
    else EXPECT_TRUE(loop.cancel(id));
  }
  EXPECT_EQ(loop.pendingCount(), kept.size());
  std::stable_sort(kept.begin(), kept.end(), [](int a, int b) { return a % 1000 > b % 1000; });
  EXPECT_EQ(loop.runUntilIdle(), kept.size());
  EXPECT_EQ(seen, kept);
}

TEST(EventLoop, IdsAreNeverReusedAndAnyCallableRunsOnceEvenAfterAThrow) {
  EventLoop loop;
  std::uint64_t sum = 0;
  std::array<std::uint64_t, 32> big{};  // more than the loop keeps in place
  big[31] = 7;
  EventLoop::TaskId first = 0;
  first = loop.at(1, [&, big, owned = std::make_unique<int>(5)] {
    sum += big[31] + static_cast<std::uint64_t>(*owned);
    EXPECT_FALSE(loop.cancel(first)) << "a running task is no longer pending";
    EXPECT_NE(loop.after(1, [] { throw std::runtime_error("task failed"); }), first);
  });
  loop.at(3, [&sum] { sum += 100; });
  EXPECT_THROW(loop.runUntilIdle(), std::runtime_error);
  EXPECT_FALSE(loop.cancel(first)) << "an old id must not reach the task in its slot";
  EXPECT_EQ(loop.runUntilIdle(), 1u);
  EXPECT_EQ(sum, 112u);
}

TEST(EventLoop, WallClockAdvancesOnItsOwn) {
  EventLoop loop(EventLoop::Mode::Wall);
  bool ran = false;
  loop.after(2000, [&] { ran = true; });
  loop.runUntil(loop.now() + 5000);
  EXPECT_TRUE(ran);
}
