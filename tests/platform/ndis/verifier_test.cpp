// The verifier: aborts on overlapping entry points and on completions of packets that are not
// the miniport's to complete; reports what an adapter still holds after halt; named failures,
// memory, port ranges and the error log.
#include <cstring>

#include "ndis_fixture.h"

using teskel::ndis::Adapter;
using teskel::ndis::Call;
using teskel::ndis::Packet;

namespace ndistest {
namespace {

using Trace = std::vector<std::string>;

std::vector<std::uint8_t> frame(std::size_t n) {
  std::vector<std::uint8_t> f(n);
  for (std::size_t i = 0; i < n; ++i) f[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return f;
}

class Verifier : public NdisTest {
 protected:
  std::uint8_t buffer_[4]{};
};

// --- serialisation

TEST_F(Verifier, EntryPointCalledFromInsideAnotherAborts) {
  auto &adapter = start();
  script.onEntry = [&](const std::string &entry, TestAdapter *) {
    if (entry == "Query") adapter.setInformation(2, buffer_);
  };
  EXPECT_DEATH(adapter.queryInformation(1, buffer_),
               "TestCard1: MiniportSetInformation entered while MiniportQueryInformation is running");
}

TEST_F(Verifier, EntryPointCalledFromATimerFunctionAborts) {
  auto &adapter = start();
  script.onEntry = [&](const std::string &entry, TestAdapter *a) {
    if (entry == "Query") NdisMSetTimer(&a->TimerA, 5);
    if (entry == "TimerA") adapter.reset();
  };
  adapter.queryInformation(1, buffer_);
  EXPECT_DEATH(loop_.runUntilIdle(), "MiniportReset entered while timer function is running");
}

TEST_F(Verifier, EntryPointCalledFromADeviceTaskDuringAStallAborts) {
  auto &adapter = start();
  script.onEntry = [&](const std::string &entry, TestAdapter *) {
    if (entry == "Query") {
      loop_.after(1, [&] { adapter.reset(); }, teskel::EventLoop::Lane::Device);
      NdisStallExecution(5);
    }
  };
  EXPECT_DEATH(adapter.queryInformation(1, buffer_), "MiniportReset entered while MiniportQueryInformation");
}

TEST_F(Verifier, EntryPointsOfDifferentAdaptersMayNest) {
  static FakeCard second(bus_, kLine + 1);
  bus_.map(0x340, kPortCount, second);
  setDword("IoBaseAddress", 0x340, "TestCard2");
  setDword("InterruptNumber", kLine + 1, "TestCard2");
  auto &one = start();
  auto &two = start("TestCard2");
  std::uint8_t inner[4];
  bool nested = false;
  script.onEntry = [&](const std::string &entry, TestAdapter *a) {
    if (entry == "Query" && a == record(one)) {
      two.queryInformation(3, inner);
      nested = true;
    }
  };
  one.queryInformation(1, buffer_);
  EXPECT_TRUE(nested);
  bus_.unmap(0x340);
}

TEST_F(Verifier, SendPostedFromAnEntryPointRunsAfterIt) {
  auto &adapter = start();
  int binding = adapter.bind({});
  auto packet = Packet::fromFrame(frame(60));
  trace.clear();
  script.onEntry = [&](const std::string &entry, TestAdapter *) {
    if (entry == "Query") {
      adapter.send(binding, packet->ndis());
      EXPECT_EQ(adapter.sendsOutstanding(), 0u);
    }
  };
  adapter.queryInformation(1, buffer_);
  EXPECT_EQ(trace, (Trace{"Query"}));
  loop_.runUntilIdle();
  EXPECT_EQ(trace, (Trace{"Query", "Send"}));
  EXPECT_EQ(adapter.sendsOutstanding(), 1u);
}

// --- completions

TEST_F(Verifier, PacketCompletedDuringSendAndByItsStatusAborts) {
  auto &adapter = start();
  int binding = adapter.bind({});
  auto packet = Packet::fromFrame(frame(60));
  script.completeInSend = true;
  script.sendStatus = NDIS_STATUS_SUCCESS;
  adapter.send(binding, packet->ndis());
  EXPECT_DEATH(loop_.runUntilIdle(), "completed twice");
}

TEST_F(Verifier, CompletionDuringSendWithPendingIsFine) {
  auto &adapter = start();
  std::vector<NDIS_STATUS> got;
  int binding = adapter.bind({.sendComplete = [&](NDIS_PACKET *, NDIS_STATUS s) { got.push_back(s); }});
  auto packet = Packet::fromFrame(frame(60));
  script.completeInSend = true;
  adapter.send(binding, packet->ndis());
  loop_.runUntilIdle();
  EXPECT_EQ(got, (std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS}));
  EXPECT_EQ(adapter.sendsOutstanding(), 0u);
}

TEST_F(Verifier, PacketCompletedTwiceLaterAborts) {
  auto &adapter = start();
  int binding = adapter.bind({});
  auto packet = Packet::fromFrame(frame(60));
  adapter.send(binding, packet->ndis());
  loop_.runUntilIdle();
  card_.raise(kEvSendDone);
  loop_.runUntilIdle();
  EXPECT_EQ(adapter.sendsOutstanding(), 0u);
  script.onEntry = [&](const std::string &entry, TestAdapter *a) {
    if (entry == "Query") NdisMSendComplete(a->Handle, packet->ndis(), NDIS_STATUS_SUCCESS);
  };
  EXPECT_DEATH(adapter.queryInformation(1, buffer_), "packet 0x[0-9a-f]+ completed twice");
}

TEST_F(Verifier, CompletionOfAPacketNeverHandedOverAborts) {
  auto &adapter = start();
  auto foreign = Packet::fromFrame(frame(60));
  script.onEntry = [&](const std::string &entry, TestAdapter *a) {
    if (entry == "Query") NdisMSendComplete(a->Handle, foreign->ndis(), NDIS_STATUS_SUCCESS);
  };
  EXPECT_DEATH(adapter.queryInformation(1, buffer_), "never handed to this adapter");
}

TEST_F(Verifier, CompletionThroughAnotherAdaptersHandleAborts) {
  static FakeCard second(bus_, kLine + 1);
  bus_.map(0x340, kPortCount, second);
  setDword("IoBaseAddress", 0x340, "TestCard2");
  setDword("InterruptNumber", kLine + 1, "TestCard2");
  auto &one = start();
  auto &two = start("TestCard2");
  auto packet = Packet::fromFrame(frame(60));
  one.send(one.bind({}), packet->ndis());
  loop_.runUntilIdle();
  script.onEntry = [&](const std::string &entry, TestAdapter *a) {
    if (entry == "Query") NdisMSendComplete(a->Handle, packet->ndis(), NDIS_STATUS_SUCCESS);
  };
  EXPECT_DEATH(two.queryInformation(1, buffer_), "TestCard2: NdisMSendComplete names packet .* never handed");
  bus_.unmap(0x340);
}

TEST_F(Verifier, CompletionOutsideTheAdaptersEntryPointsIsReported) {
  auto &adapter = start();
  std::vector<NDIS_STATUS> got;
  int binding = adapter.bind({.sendComplete = [&](NDIS_PACKET *, NDIS_STATUS s) { got.push_back(s); }});
  auto packet = Packet::fromFrame(frame(60));
  adapter.send(binding, packet->ndis());
  loop_.runUntilIdle();
  teskel::ndis::ScopedHost scoped(host_);
  NdisMSendComplete(adapter.handle(), packet->ndis(), NDIS_STATUS_FAILURE);
  EXPECT_EQ(got, (std::vector<NDIS_STATUS>{NDIS_STATUS_FAILURE}));
  ASSERT_EQ(host_.findings().size(), 1u);
  EXPECT_EQ(host_.findings()[0], "TestCard1: NdisMSendComplete outside the adapter's entry points");
}

// --- what halt leaves behind

TEST_F(Verifier, CleanHaltLeavesNoFindings) {
  auto &adapter = start();
  adapter.halt();
  EXPECT_EQ(adapter.state(), Adapter::State::Halted);
  EXPECT_TRUE(host_.findings().empty());
  EXPECT_EQ(host_.memoryHeld(), 0u);
  EXPECT_EQ(host_.findAdapter(kInstance), nullptr);
}

TEST_F(Verifier, SendNotCompletedAtHaltIsReportedAndReturnedToItsBinding) {
  auto &adapter = start();
  std::vector<std::pair<NDIS_PACKET *, NDIS_STATUS>> got;
  int binding = adapter.bind({.sendComplete = [&](NDIS_PACKET *p, NDIS_STATUS s) { got.emplace_back(p, s); }});
  auto packet = Packet::fromFrame(frame(60));
  adapter.send(binding, packet->ndis());
  loop_.runUntilIdle();
  EXPECT_TRUE(got.empty());
  adapter.halt();
  ASSERT_EQ(host_.findings().size(), 1u);
  EXPECT_NE(host_.findings()[0].find("send of packet"), std::string::npos);
  EXPECT_NE(host_.findings()[0].find("not completed after MiniportHalt"), std::string::npos);
  EXPECT_EQ(got, (std::vector<std::pair<NDIS_PACKET *, NDIS_STATUS>>{{packet->ndis(), NDIS_STATUS_ADAPTER_REMOVED}}));
}

TEST_F(Verifier, SendQueuedBehindAHaltNeverReachesTheMiniport) {
  auto &adapter = start();
  std::vector<NDIS_STATUS> got;
  int binding = adapter.bind({.sendComplete = [&](NDIS_PACKET *, NDIS_STATUS s) { got.push_back(s); }});
  auto packet = Packet::fromFrame(frame(60));
  adapter.send(binding, packet->ndis());
  adapter.halt();
  trace.clear();
  loop_.runUntilIdle();
  EXPECT_TRUE(trace.empty());
  EXPECT_EQ(got, (std::vector<NDIS_STATUS>{NDIS_STATUS_ADAPTER_REMOVED}));
  EXPECT_TRUE(host_.findings().empty());
}

TEST_F(Verifier, ResourcesStillHeldAfterHaltAreReported) {
  struct Case {
    const char *name;
    bool Script::*keep;
    const char *finding;
  };
  const Case cases[] = {
      {"memory", &Script::leakMemory, " bytes of memory in 1 allocation(s) still held after MiniportHalt"},
      {"ports", &Script::keepPorts, "TestCard1: port range 0x300-0x30F still registered after MiniportHalt"},
      {"interrupt", &Script::keepInterrupt, "TestCard1: interrupt 9 still registered after MiniportHalt"},
      {"timer", &Script::keepTimer, "still pending after MiniportHalt"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    resetScript();
    host_.clearFindings();
    auto &adapter = start();
    {
      teskel::ndis::ScopedHost scoped(host_);
      NdisMSetTimer(&record(adapter)->TimerA, 1000);
    }
    script.*c.keep = true;
    adapter.halt();
    ASSERT_EQ(host_.findings().size(), 1u) << (host_.findings().empty() ? "" : host_.findings()[0]);
    EXPECT_NE(host_.findings()[0].find(c.finding), std::string::npos) << host_.findings()[0];
    // Whatever was held is taken back: the card can be started again and nothing fires.
    trace.clear();
    loop_.runUntilIdle();
    EXPECT_TRUE(trace.empty());
    EXPECT_EQ(adapter.interruptLine(), std::nullopt);
    EXPECT_EQ(adapter.portRangesHeld(), 0u);
    EXPECT_EQ(adapter.timersPending(), 0u);
    start().halt();
  }
  EXPECT_EQ(host_.findings().size(), 1u);
}

TEST_F(Verifier, MemoryFindingCountsTheBytes) {
  auto &adapter = start();
  script.leakMemory = true;
  std::size_t held = adapter.memoryHeld();
  EXPECT_EQ(held, sizeof(TestAdapter));
  adapter.halt();
  ASSERT_EQ(host_.findings().size(), 1u);
  EXPECT_EQ(host_.findings()[0],
            "TestCard1: " + std::to_string(sizeof(TestAdapter)) +
                " bytes of memory in 1 allocation(s) still held after MiniportHalt");
  // Still allocated (the driver may point at it), but no longer the adapter's.
  EXPECT_EQ(host_.memoryHeld(), sizeof(TestAdapter));
  EXPECT_EQ(adapter.memoryHeld(), 0u);
}

TEST_F(Verifier, InitializeThatFailsHoldingMemoryIsReported) {
  load();
  script.duringInitialize = [](NDIS_HANDLE) {
    PVOID p;
    NdisAllocateMemory(&p, 100, 0, NDIS_PHYSICAL_ADDRESS_CONST(-1, -1));
  };
  host_.failNext(Call::OpenConfiguration);
  auto r = host_.initializeAdapter(kInstance);
  EXPECT_EQ(r.status, NDIS_STATUS_FAILURE);
  ASSERT_EQ(host_.findings().size(), 1u);
  EXPECT_EQ(host_.findings()[0],
            "TestCard1: 100 bytes of memory in 1 allocation(s) still held after MiniportInitialize failed");
}

// --- named failures

TEST_F(Verifier, NamedFailuresReachTheMiniportsFailurePaths) {
  struct Case {
    Call call;
    NDIS_STATUS status;
    std::vector<NDIS_ERROR_CODE> logged;
  };
  const Case cases[] = {
      {Call::AllocateMemory, NDIS_STATUS_FAILURE, {NDIS_ERROR_CODE_OUT_OF_RESOURCES}},
      {Call::OpenConfiguration, NDIS_STATUS_FAILURE, {NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION}},
      {Call::ReadConfiguration, NDIS_STATUS_FAILURE, {NDIS_ERROR_CODE_MISSING_CONFIGURATION_PARAMETER}},
      {Call::RegisterIoPortRange, NDIS_STATUS_RESOURCE_CONFLICT, {}},
      {Call::RegisterInterrupt, NDIS_STATUS_RESOURCE_CONFLICT, {NDIS_ERROR_CODE_INTERRUPT_CONNECT}},
  };
  load();
  for (const auto &c : cases) {
    SCOPED_TRACE(teskel::ndis::callName(c.call));
    host_.clearErrorLog();
    host_.failNext(c.call);
    auto r = host_.initializeAdapter(kInstance);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.adapter->state(), Adapter::State::Failed);
    std::vector<NDIS_ERROR_CODE> logged;
    for (auto &e : host_.errorLog()) logged.push_back(e.code);
    EXPECT_EQ(logged, c.logged);
  }
  EXPECT_TRUE(host_.findings().empty());
  EXPECT_EQ(host_.memoryHeld(), 0u);
  EXPECT_EQ(host_.initializeAdapter(kInstance).status, NDIS_STATUS_SUCCESS);
}

TEST_F(Verifier, NthAllocationFailsOnce) {
  teskel::ndis::ScopedHost scoped(host_);
  host_.failNext(Call::AllocateMemory, 3, NDIS_STATUS_RESOURCES);
  std::vector<NDIS_STATUS> got;
  std::vector<PVOID> held;
  for (int i = 0; i < 5; ++i) {
    PVOID p = reinterpret_cast<PVOID>(1);
    got.push_back(NdisAllocateMemory(&p, 16, 0, NDIS_PHYSICAL_ADDRESS_CONST(-1, -1)));
    if (p) held.push_back(p);
  }
  EXPECT_EQ(got, (std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS, NDIS_STATUS_SUCCESS, NDIS_STATUS_RESOURCES,
                                           NDIS_STATUS_SUCCESS, NDIS_STATUS_SUCCESS}));
  EXPECT_EQ(held.size(), 4u);
  EXPECT_EQ(host_.memoryHeld(), 64u);
  for (auto p : held) NdisFreeMemory(p, 16, 0);
  EXPECT_EQ(host_.memoryHeld(), 0u);
}

TEST_F(Verifier, ClearedFailuresNoLongerFire) {
  load();
  host_.failNext(Call::RegisterInterrupt);
  host_.clearFailures();
  EXPECT_EQ(host_.initializeAdapter(kInstance).status, NDIS_STATUS_SUCCESS);
}

// --- memory

TEST_F(Verifier, FreshMemoryIsNotZeroAndFreesAreChecked) {
  teskel::ndis::ScopedHost scoped(host_);
  PVOID p = nullptr;
  ASSERT_EQ(NdisAllocateMemory(&p, 8, 0, NDIS_PHYSICAL_ADDRESS_CONST(-1, -1)), NDIS_STATUS_SUCCESS);
  const std::uint8_t zeros[8] = {};
  EXPECT_NE(std::memcmp(p, zeros, 8), 0);
  NdisFreeMemory(p, 4, 0);
  ASSERT_EQ(host_.findings().size(), 1u);
  EXPECT_NE(host_.findings()[0].find("with length 4; it was allocated with 8"), std::string::npos);
  EXPECT_DEATH(NdisFreeMemory(p, 8, 0), "which NdisAllocateMemory did not give or which was freed already");
  PVOID none = nullptr;
  EXPECT_EQ(NdisAllocateMemory(&none, 0, 0, NDIS_PHYSICAL_ADDRESS_CONST(-1, -1)), NDIS_STATUS_FAILURE);
}

// --- port ranges

TEST_F(Verifier, PortRangeMustBeMappedAndUnclaimed) {
  static FakeCard second(bus_, kLine + 1);
  bus_.map(0x340, kPortCount, second);
  auto &one = start();
  EXPECT_EQ(record(one)->PortBase, reinterpret_cast<PVOID>(std::uintptr_t{kIoBase}));
  EXPECT_EQ(one.portRangesHeld(), 1u);

  struct Case {
    std::uint32_t ioBase;
    NDIS_STATUS status;
  };
  const Case cases[] = {
      {0x300, NDIS_STATUS_RESOURCE_CONFLICT},  // the first card's window
      {0x308, NDIS_STATUS_RESOURCE_CONFLICT},  // overlapping it
      {0x400, NDIS_STATUS_FAILURE},            // nothing mapped there
      {0x338, NDIS_STATUS_FAILURE},            // runs off the end of a window into nothing
      {0x340, NDIS_STATUS_SUCCESS},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.ioBase);
    setDword("IoBaseAddress", c.ioBase, "TestCard2");
    setDword("InterruptNumber", kLine + 1, "TestCard2");
    EXPECT_EQ(host_.initializeAdapter("TestCard2").status, c.status);
  }
  EXPECT_TRUE(host_.findings().empty());
  bus_.unmap(0x340);
}

TEST_F(Verifier, DeregisteringARangeNotHeldIsReported) {
  auto &adapter = start();
  script.onEntry = [&](const std::string &entry, TestAdapter *a) {
    if (entry == "Query") NdisMDeregisterIoPortRange(a->Handle, 0x310, 4, reinterpret_cast<PVOID>(0x310));
  };
  adapter.queryInformation(1, buffer_);
  ASSERT_EQ(host_.findings().size(), 1u);
  EXPECT_EQ(host_.findings()[0], "TestCard1: NdisMDeregisterIoPortRange of 0x310 (4 ports), which it does not hold");
  EXPECT_EQ(adapter.portRangesHeld(), 1u);
}

// --- error log

TEST_F(Verifier, ErrorLogKeepsEntriesInOrderAndTellsTheListener) {
  std::vector<std::string> printed;
  host_.setErrorLogListener([&](const teskel::ndis::ErrorLogEntry &e) { printed.push_back(formatErrorLogEntry(e)); });
  auto &adapter = start();
  loop_.runFor(1500);
  script.onEntry = [&](const std::string &entry, TestAdapter *a) {
    if (entry != "Query") return;
    NdisWriteErrorLogEntry(a->Handle, NDIS_ERROR_CODE_HARDWARE_FAILURE, 0);
    NdisWriteErrorLogEntry(a->Handle, NDIS_ERROR_CODE_HARDWARE_FAILURE, 2, 0, 1);
    NdisWriteErrorLogEntry(a->Handle, NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION, 1, 0xFFFFFFFFu);
  };
  adapter.queryInformation(1, buffer_);
  const auto &log = host_.errorLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1].adapter, "TestCard1");
  EXPECT_EQ(log[1].code, NDIS_ERROR_CODE_HARDWARE_FAILURE);
  EXPECT_EQ(log[1].values, (std::vector<ULONG>{0, 1}));
  EXPECT_EQ(log[2].time, 1500u);
  EXPECT_EQ(printed, (std::vector<std::string>{"TestCard1: error 0xC000138A", "TestCard1: error 0xC000138A [0, 1]",
                                               "TestCard1: error 0xC0001391 [4294967295]"}));
}

TEST_F(Verifier, FindingListenerHearsEachFinding) {
  std::vector<std::string> heard;
  host_.setFindingListener([&](const std::string &f) { heard.push_back(f); });
  auto &adapter = start();
  script.keepPorts = true;
  adapter.halt();
  EXPECT_EQ(heard, host_.findings());
  EXPECT_EQ(heard.size(), 1u);
}

}  // namespace
}  // namespace ndistest
