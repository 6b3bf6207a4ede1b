// Event loop: ordering, device lanes during stalls, cancellation and the virtual clock.
#include <gtest/gtest.h>

#include <string>

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

TEST(EventLoop, WallClockAdvancesOnItsOwn) {
  EventLoop loop(EventLoop::Mode::Wall);
  bool ran = false;
  loop.after(2000, [&] { ran = true; });
  loop.runUntil(loop.now() + 5000);
  EXPECT_TRUE(ran);
}
