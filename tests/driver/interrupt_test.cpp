// Interrupt entry points and the deferred handler on a running adapter: the fixed priority of
// receive, allocation and information events, tallies and link status from information frames,
// and what the handler leaves in the controller's registers.
#include <algorithm>

#include "linked_driver.h"
#include "port_trace.h"

namespace teskel::test {
namespace {

const sim::MacAddress kPeer = {0x02, 0x48, 0x41, 0x52, 0x42, 0x77};

class InterruptTest : public RigTest {
 protected:
  void SetUp() override {
    rig.bringUp();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(rig.call([](PADAPTER a) { return SetWepFlags(a, 0); }));
    rig.bus.setTracing(true);
  }
  // Lets device time pass without running the driver (no host task runs during a stall).
  void deviceTime(Micros us) {
    rig.call([&](PADAPTER) {
      NdisStallExecution(static_cast<UINT>(us));
      return 0;
    });
  }
  // Rewrites the words of information frames as the driver reads them (by byte position).
  void rewriteInfoFrames(std::function<std::optional<std::uint16_t>(std::uint16_t position)> change) {
    rig.tap->setReadHook([this, change](const PortTap::Read &r) -> std::uint16_t {
      if (r.offset == REG_INFO_FID) infoFid_ = r.value;
      if (r.path >= 0 && r.selected == infoFid_) {
        if (auto v = change(r.position)) return *v;
      }
      return r.value;
    });
  }
  std::uint16_t infoFid_ = 0;
};

TEST_F(InterruptTest, ServesReceiveThenAllocationThenInformation) {
  // A frame goes out; its buffer comes back after its time on the air.
  NDIS_PACKET *packet = rig.send(ethernetFrame(kPeer, rig.stationAddress(), 0x0800, pattern(46)));
  rig.loop.runFor(100);
  ASSERT_EQ(rig.statusesOf(packet), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  ASSERT_TRUE(rig.call([](PADAPTER a) { return InquireTallies(a); }));
  deviceTime(5000);
  ASSERT_EQ(rig.receive({0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00, 1, 2, 3, 4}, kPeer),
            sim::ReceiveResult::Delivered);
  EXPECT_EQ(rig.controller->eventStatus() & 0x89, 0x89);

  rig.bus.clearTrace();
  rig.settle();
  std::vector<std::uint16_t> acks;
  for (auto v : writesTo(rig.bus, REG_EVENT_ACK))
    if (v != EV_CMD) acks.push_back(v);
  EXPECT_EQ(acks, (std::vector<std::uint16_t>{EV_RX, EV_ALLOC, EV_INFO}));
  EXPECT_EQ(rig.indications.size(), 1u);
  EXPECT_EQ(rig.record()->PendingEvents & 0x89, 0);
}

TEST_F(InterruptTest, AReceiveEventArrivingMeanwhileIsServedBeforeAPendingInformationEvent) {
  ASSERT_TRUE(rig.call([](PADAPTER a) { return InquireTallies(a); }));
  deviceTime(5000);
  ASSERT_EQ(rig.controller->eventStatus() & EV_INFO, EV_INFO);
  // The handler starts with the information event pending; a frame lands while the first
  // receive is served.
  ASSERT_EQ(rig.receive({0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00, 1}, kPeer), sim::ReceiveResult::Delivered);
  ASSERT_EQ(rig.receive({0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00, 2}, kPeer), sim::ReceiveResult::Delivered);
  rig.bus.clearTrace();
  rig.settle();
  std::vector<std::uint16_t> acks;
  for (auto v : writesTo(rig.bus, REG_EVENT_ACK))
    if (v != EV_CMD) acks.push_back(v);
  EXPECT_EQ(acks, (std::vector<std::uint16_t>{EV_RX, EV_RX, EV_INFO}));
  EXPECT_EQ(rig.receiveCompletes, 2u);
}

TEST_F(InterruptTest, TallyReportsAccumulateIntoTheAdaptersCounters) {
  std::vector<std::size_t> sizes = {60, 100, 333};
  std::size_t octets = 0;
  for (auto size : sizes) {
    rig.send(ethernetFrame(kPeer, rig.stationAddress(), 0x0800, pattern(size - 14)));
    octets += size - 6;  // the 802.3 length: SNAP header and body
  }
  rig.settle();
  ASSERT_TRUE(rig.call([](PADAPTER a) { return InquireTallies(a); }));
  rig.settle();
  EXPECT_EQ(rig.record()->Tallies[0], sizes.size());
  EXPECT_EQ(rig.record()->Tallies[3], octets);
  // A report holds what happened since the last one; the driver keeps the sum.
  rig.send(ethernetFrame(kPeer, rig.stationAddress(), 0x0800, pattern(86)));
  rig.settle();
  ASSERT_TRUE(rig.call([](PADAPTER a) { return InquireTallies(a); }));
  rig.settle();
  EXPECT_EQ(rig.record()->Tallies[0], sizes.size() + 1);
  EXPECT_EQ(rig.record()->Tallies[3], octets + 94);
}

TEST_F(InterruptTest, ATalliesFrameAddsEachOfItsThirtyTwoWords) {
  PADAPTER a = rig.record();
  for (int i = 0; i < TALLY_COUNT; ++i) a->Tallies[i] = 7;
  a->Tallies[5] = 0xFFFFFFFF;  // wraps
  rewriteInfoFrames([](std::uint16_t position) -> std::optional<std::uint16_t> {
    if (position == 2) return INFO_TYPE_TALLIES;
    if (position >= 4 && position < 68) return 1;
    return std::nullopt;
  });
  ASSERT_TRUE(rig.call([](PADAPTER r) { return InquireTallies(r); }));
  rig.settle();
  for (int i = 0; i < 32; ++i) EXPECT_EQ(a->Tallies[i], i == 5 ? 0u : 8u) << i;
  for (int i = 32; i < TALLY_COUNT; ++i) EXPECT_EQ(a->Tallies[i], 7u) << i;
}

TEST_F(InterruptTest, ALinkStatusFrameStoresTheControllersWord) {
  rig.controller->reportLinkStatus(6);
  rig.settle();
  EXPECT_EQ(rig.record()->LinkStatus, 6);
  rig.controller->reportLinkStatus(1);
  rig.settle();
  EXPECT_EQ(rig.record()->LinkStatus, 1);
}

TEST_F(InterruptTest, AnInformationFrameOfAnotherTypeChangesNothing) {
  PADAPTER a = rig.record();
  rewriteInfoFrames([](std::uint16_t position) -> std::optional<std::uint16_t> {
    if (position == 2) return 0xF300;
    return 5;
  });
  ULONG before[TALLY_COUNT];
  std::copy(a->Tallies, a->Tallies + TALLY_COUNT, before);
  USHORT link = a->LinkStatus;
  rig.controller->reportLinkStatus(6);
  ASSERT_TRUE(rig.call([](PADAPTER r) { return InquireTallies(r); }));
  rig.settle();
  EXPECT_TRUE(std::equal(before, before + TALLY_COUNT, a->Tallies));
  EXPECT_EQ(a->LinkStatus, link);
  auto acks = writesTo(rig.bus, REG_EVENT_ACK);
  EXPECT_EQ(std::count(acks.begin(), acks.end(), EV_INFO), 2);
  EXPECT_EQ(rig.controller->infoBuffersHeld(), 0u);
}

TEST_F(InterruptTest, AnUnreadableInformationFrameIsLoggedAndAcknowledged) {
  USHORT link = rig.record()->LinkStatus;
  rig.controller->reportLinkStatus(6);
  rig.controller->addFault(sim::parseFault("seek-busy"));
  rig.settle();
  rig.controller->clearFaults();
  ASSERT_EQ(rig.host->errorLog().size(), 1u);
  EXPECT_EQ(rig.host->errorLog()[0].code, static_cast<NDIS_ERROR_CODE>(NDIS_ERROR_CODE_HARDWARE_FAILURE));
  EXPECT_TRUE(rig.host->errorLog()[0].values.empty());
  EXPECT_EQ(rig.record()->LinkStatus, link);
  EXPECT_EQ(rig.controller->eventStatus() & EV_INFO, 0);
  EXPECT_EQ(rig.controller->infoBuffersHeld(), 0u);
}

TEST_F(InterruptTest, AnAllocationWithNoSlotWaitingIsOnlyAcknowledged) {
  // A sixth buffer the driver never asked for: every slot already holds one.
  USHORT status;
  ASSERT_TRUE(rig.call([&](PADAPTER a) { return IssueCommand1(a, CMD_ALLOCATE, TX_BUFFER_SIZE, &status); }));
  rig.bus.clearTrace();
  rig.settle();
  EXPECT_EQ(readsOf(rig.bus, REG_ALLOC_FID), 0u);
  auto acks = writesTo(rig.bus, REG_EVENT_ACK);
  EXPECT_EQ(acks, std::vector<std::uint16_t>{EV_ALLOC});
  std::size_t ready = 0;
  for (PTX_SLOT s = rig.record()->TxSlotsReady; s; s = s->Next) ++ready;
  EXPECT_EQ(ready, 5u);
}

TEST_F(InterruptTest, TheHandlerRunsMaskedAndTheMaskIsRestoredAfter) {
  NDIS_PACKET *packet = rig.send(ethernetFrame(kPeer, rig.stationAddress(), 0x0800, pattern(46)));
  rig.settle();
  ASSERT_EQ(rig.statusesOf(packet).size(), 1u);
  ASSERT_EQ(rig.receive({0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00, 1}, kPeer), sim::ReceiveResult::Delivered);
  rig.bus.clearTrace();
  rig.settle();
  auto masks = writesTo(rig.bus, REG_INT_ENABLE);
  ASSERT_GE(masks.size(), 2u);
  EXPECT_EQ(masks.front(), 0);
  EXPECT_EQ(masks.back(), 0x89);
  EXPECT_EQ(rig.controller->eventStatus() & 0x89, 0);
}

TEST_F(InterruptTest, TheServiceRoutineClaimsTheInterruptAndMasksTheController) {
  BOOLEAN recognized = FALSE, queue = FALSE;
  rig.call([&](PADAPTER a) {
    MiniportISR(&recognized, &queue, a);
    return 0;
  });
  EXPECT_TRUE(recognized);
  EXPECT_TRUE(queue);
  EXPECT_EQ(writesTo(rig.bus, REG_INT_ENABLE), std::vector<std::uint16_t>{0});
  rig.call([](PADAPTER a) {
    MiniportEnableInterrupt(a);
    MiniportDisableInterrupt(a);
    MiniportEnableInterrupt(a);
    return 0;
  });
  EXPECT_EQ(writesTo(rig.bus, REG_INT_ENABLE), (std::vector<std::uint16_t>{0, 0x89, 0, 0x89}));
}

}  // namespace
}  // namespace teskel::test
