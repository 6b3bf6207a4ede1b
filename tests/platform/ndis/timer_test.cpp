// Miniport timers on the handheld's loop, and stalls that advance its clock.
#include <ceddk.h>

#include <map>

#include "ndis_fixture.h"

namespace ndistest {
namespace {

using Trace = std::vector<std::string>;
using teskel::Micros;

class Timers : public NdisTest {
 protected:
  // Runs `action` inside MiniportQueryInformation of the adapter, as the miniport would.
  void inside(teskel::ndis::Adapter &adapter, std::function<void(TestAdapter *)> action) {
    script.onEntry = [&](const std::string &entry, TestAdapter *a) {
      if (entry == "Query") action(a);
    };
    std::uint8_t buffer[4];
    adapter.queryInformation(1, buffer);
    script.onEntry = nullptr;
  }
  // Records the virtual time of every timer call.
  void timeTimers() {
    script.onEntry = [this](const std::string &entry, TestAdapter *) {
      if (entry.rfind("Timer", 0) == 0) fired.emplace_back(entry, loop_.now());
    };
  }
  std::vector<std::pair<std::string, Micros>> fired;
};

TEST_F(Timers, FireOnceInDueOrderAfterTheCallReturns) {
  auto &adapter = start();
  Micros t0 = loop_.now();
  inside(adapter, [](TestAdapter *a) {
    NdisMSetTimer(&a->TimerA, 30);
    NdisMSetTimer(&a->TimerB, 10);
  });
  EXPECT_EQ(adapter.timersPending(), 2u);
  timeTimers();
  loop_.runUntilIdle();
  EXPECT_EQ(fired, (std::vector<std::pair<std::string, Micros>>{{"TimerB", t0 + 10000}, {"TimerA", t0 + 30000}}));
  EXPECT_EQ(adapter.timersPending(), 0u);
}

// The host keeps count of every entry of the adapter and of the time spent there.
TEST_F(Timers, EachEntryIsCountedWithItsTime) {
  auto &adapter = start();
  inside(adapter, [](TestAdapter *a) {
    NdisMSetTimer(&a->TimerA, 10);
    NdisMSetTimer(&a->TimerB, 20);
  });
  loop_.runUntilIdle();
  std::map<std::string, std::uint64_t> calls;
  for (const auto &t : adapter.entryPointTimes()) {
    calls[t.entry] = t.calls;
    EXPECT_LE(t.longest, t.total) << t.entry;
  }
  EXPECT_EQ(calls["timer function"], 2u);
  EXPECT_EQ(calls["MiniportInitialize"], 1u);
  EXPECT_EQ(calls["MiniportQueryInformation"], 1u);
}

TEST_F(Timers, ZeroDelayStillWaitsForTheEntryPointToReturn) {
  auto &adapter = start();
  trace.clear();
  inside(adapter, [](TestAdapter *a) { NdisMSetTimer(&a->TimerA, 0); });
  EXPECT_EQ(trace, (Trace{"Query"}));
  loop_.runUntilIdle();
  EXPECT_EQ(trace, (Trace{"Query", "TimerA"}));
}

TEST_F(Timers, SettingAgainReplacesTheDueTime) {
  auto &adapter = start();
  Micros t0 = loop_.now();
  inside(adapter, [](TestAdapter *a) {
    NdisMSetTimer(&a->TimerA, 10);
    NdisMSetTimer(&a->TimerA, 50);
  });
  timeTimers();
  loop_.runUntilIdle();
  EXPECT_EQ(fired, (std::vector<std::pair<std::string, Micros>>{{"TimerA", t0 + 50000}}));
}

TEST_F(Timers, CancelReportsWhetherTheTimerWasPending) {
  auto &adapter = start();
  std::vector<BOOLEAN> cancelled;
  inside(adapter, [&](TestAdapter *a) {
    BOOLEAN c = 7;
    NdisMCancelTimer(&a->TimerA, &c);  // never set
    cancelled.push_back(c);
    NdisMSetTimer(&a->TimerA, 20);
    NdisMCancelTimer(&a->TimerA, &c);
    cancelled.push_back(c);
    NdisMCancelTimer(&a->TimerA, &c);
    cancelled.push_back(c);
    NdisMSetTimer(&a->TimerB, 5);
  });
  trace.clear();
  loop_.runUntilIdle();
  EXPECT_EQ(trace, (Trace{"TimerB"}));
  inside(adapter, [&](TestAdapter *a) {
    BOOLEAN c = 7;
    NdisMCancelTimer(&a->TimerB, &c);  // already fired
    cancelled.push_back(c);
  });
  EXPECT_EQ(cancelled, (std::vector<BOOLEAN>{FALSE, TRUE, FALSE, FALSE}));
}

TEST_F(Timers, FunctionCanRearmItsOwnTimer) {
  auto &adapter = start();
  Micros t0 = loop_.now();
  TestAdapter *rec = record(adapter);
  inside(adapter, [](TestAdapter *a) { NdisMSetTimer(&a->TimerA, 1000); });
  script.onEntry = [&](const std::string &entry, TestAdapter *) {
    if (entry == "TimerA") {
      fired.emplace_back(entry, loop_.now());
      NdisMSetTimer(&rec->TimerA, 1000);
    }
  };
  loop_.runUntil(t0 + 3'500'000);
  ASSERT_EQ(fired.size(), 3u);
  EXPECT_EQ(fired[2].second, t0 + 3'000'000);
  EXPECT_EQ(adapter.timersPending(), 1u);
  adapter.halt();
  EXPECT_TRUE(host_.findings().empty());
}

TEST_F(Timers, TimerThatWasNeverInitialisedAborts) {
  auto &adapter = start();
  static NDIS_MINIPORT_TIMER stranger;
  EXPECT_DEATH(inside(adapter, [](TestAdapter *) { NdisMSetTimer(&stranger, 1); }), "never set up");
  EXPECT_DEATH(inside(adapter, [](TestAdapter *) { NdisMCancelTimer(&stranger, nullptr); }), "never set up");
}

TEST_F(Timers, StallAdvancesTheClockAndRunsDeviceTasksOnly) {
  auto &adapter = start();
  std::string seen;
  Micros before = 0, after = 0;
  std::uint16_t statusDuringStall = 0;
  inside(adapter, [&](TestAdapter *a) {
    loop_.after(100, [&] { card_.raise(kEvOther); seen += 'd'; }, teskel::EventLoop::Lane::Device);
    loop_.after(100, [&] { seen += 'h'; }, teskel::EventLoop::Lane::Host);
    loop_.after(400, [&] { seen += 'D'; }, teskel::EventLoop::Lane::Device);
    before = loop_.now();
    NdisStallExecution(250);
    after = loop_.now();
    statusDuringStall = READ_PORT_USHORT(reinterpret_cast<PUSHORT>(reinterpret_cast<std::uintptr_t>(a->PortBase) + kRegStatus));
  });
  EXPECT_EQ(after - before, 250u);
  EXPECT_EQ(statusDuringStall, kEvOther);
  EXPECT_EQ(seen, "d");
  trace.clear();
  loop_.runUntilIdle();
  EXPECT_EQ(seen, "dhD");
  // The event raised during the stall is served after the entry point, not inside it.
  EXPECT_EQ(trace, (Trace{"Disable", "Handle", "Enable"}));
}

TEST(Stall, NeedsAHost) {
  EXPECT_DEATH(NdisStallExecution(1), "no NDIS host on this thread");
}

}  // namespace
}  // namespace ndistest
