// Interrupt delivery over the level-sensitive line: mask, deferred handler, unmask, and the line
// looked at again; never nested in an entry point; nothing for an unregistered interrupt.
#include "ndis_fixture.h"

using teskel::ndis::Call;

namespace ndistest {
namespace {

using Trace = std::vector<std::string>;

class Interrupts : public NdisTest {};

TEST_F(Interrupts, MasksHandlesThenUnmasksInAHostTask) {
  auto &adapter = start();
  EXPECT_EQ(adapter.interruptLine(), kLine);
  trace.clear();
  card_.raise(kEvOther);
  EXPECT_TRUE(bus_.irq(kLine));
  EXPECT_TRUE(trace.empty()) << "served inside the call that raised the line";
  loop_.runUntilIdle();
  EXPECT_EQ(trace, (Trace{"Disable", "Handle", "Enable"}));
  EXPECT_EQ(card_.status(), 0);
  EXPECT_FALSE(bus_.irq(kLine));
}

TEST_F(Interrupts, LineStillRaisedAfterEnableIsServedAgain) {
  // This miniport neither masks the card nor serves more than one event per pass, so the line
  // never falls in between: only looking at it again after the pass finds the second event.
  script.maskInDisable = false;
  script.oneEventPerHandle = true;
  start();
  trace.clear();
  card_.raise(kEvOther | kEvSendDone);
  loop_.runUntilIdle();
  EXPECT_EQ(trace, (Trace{"Disable", "Handle", "Enable", "Disable", "Handle", "Enable"}));
  EXPECT_FALSE(bus_.irq(kLine));
}

TEST_F(Interrupts, EventArrivingWhileMaskedIsServedAfterUnmask) {
  start();
  trace.clear();
  bool once = true;
  script.onEntry = [&](const std::string &entry, TestAdapter *) {
    if (entry == "Enable" && once) {
      once = false;
      // Before the miniport unmasks: the event waits behind the mask.
      loop_.after(5, [&] { card_.raise(kEvOther); }, teskel::EventLoop::Lane::Device);
      NdisStallExecution(10);
      EXPECT_FALSE(bus_.irq(kLine));
    }
  };
  card_.raise(kEvSendDone);
  loop_.runUntilIdle();
  EXPECT_EQ(trace, (Trace{"Disable", "Handle", "Enable", "Disable", "Handle", "Enable"}));
}

TEST_F(Interrupts, NothingIsServedWithoutARegisteredInterrupt) {
  script.registerInterrupt = false;
  auto &adapter = start();
  EXPECT_EQ(adapter.interruptLine(), std::nullopt);
  trace.clear();
  card_.raise(kEvOther);
  EXPECT_TRUE(bus_.irq(kLine));
  loop_.runUntilIdle();
  EXPECT_TRUE(trace.empty());
}

TEST_F(Interrupts, NothingIsServedAfterDeregistration) {
  auto &adapter = start();
  adapter.halt();
  trace.clear();
  // Another device on the same line after the card is gone.
  bus_.setIrq(kLine, true);
  loop_.runUntilIdle();
  EXPECT_TRUE(trace.empty());
  EXPECT_TRUE(host_.findings().empty());
}

TEST_F(Interrupts, PassPendingWhenTheInterruptIsDeregisteredNeverRuns) {
  auto &adapter = start();
  trace.clear();
  card_.raise(kEvOther);  // pass posted
  adapter.halt();
  loop_.runUntilIdle();
  EXPECT_EQ(trace, (Trace{"Halt"}));
}

TEST_F(Interrupts, LineRaisedBeforeRegistrationIsServedOnceInitializeReturns) {
  bus_.write16(kIoBase + kRegEnable, 0xFFFF);
  card_.raise(kEvOther);
  ASSERT_TRUE(bus_.irq(kLine));
  start();
  EXPECT_EQ(trace, (Trace{"Initialize"}));
  loop_.runUntilIdle();
  EXPECT_EQ(trace, (Trace{"Initialize", "Disable", "Handle", "Enable"}));
}

TEST_F(Interrupts, RequestedIsrReplacesTheMaskCall) {
  script.requestIsr = true;
  start();
  trace.clear();
  card_.raise(kEvOther);
  loop_.runUntilIdle();
  EXPECT_EQ(trace, (Trace{"ISR", "Handle", "Enable"}));
}

TEST_F(Interrupts, LineOfAnotherNumberIsNotThisAdapters) {
  start();
  trace.clear();
  bus_.setIrq(kLine + 1, true);
  loop_.runUntilIdle();
  EXPECT_TRUE(trace.empty());
}

TEST_F(Interrupts, SecondRegistrationOfALineConflicts) {
  static FakeCard second(bus_, kLine);
  bus_.map(0x340, kPortCount, second);
  setDword("IoBaseAddress", 0x340, "TestCard2");
  setDword("InterruptNumber", kLine, "TestCard2");
  start();
  auto r = host_.initializeAdapter("TestCard2");
  EXPECT_EQ(r.status, NDIS_STATUS_RESOURCE_CONFLICT);
  ASSERT_EQ(host_.errorLog().size(), 1u);
  EXPECT_EQ(host_.errorLog()[0].code, NDIS_ERROR_CODE_INTERRUPT_CONNECT);
  EXPECT_TRUE(host_.findings().empty());
  bus_.unmap(0x340);
}

TEST_F(Interrupts, StuckLineIsReportedAndNoLongerServed) {
  script.ackEvents = false;
  start();
  trace.clear();
  card_.raise(kEvOther);
  loop_.runUntilIdle();
  ASSERT_EQ(host_.findings().size(), 1u);
  EXPECT_NE(host_.findings()[0].find("interrupt 9 still raised"), std::string::npos);
  EXPECT_GT(trace.size(), 3u);
  EXPECT_TRUE(bus_.irq(kLine));
  // Served again once the line falls and rises.
  trace.clear();
  script.ackEvents = true;
  bus_.write16(kIoBase + kRegEnable, 0);
  bus_.write16(kIoBase + kRegEnable, 0xFFFF);
  loop_.runUntilIdle();
  EXPECT_EQ(trace, (Trace{"Disable", "Handle", "Enable"}));
}

}  // namespace
}  // namespace ndistest
