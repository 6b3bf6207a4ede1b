// The frame path where the controller does not behave as a healthy one: bodies just longer than
// the lookahead, and transmit commands the controller refuses or never completes.
#include "linked_driver.h"
#include "port_trace.h"

namespace teskel::test {
namespace {

const sim::MacAddress kSource = {0x02, 0x56, 0x41, 0x55, 0x4C, 0x33};
const sim::MacAddress kPeer = {0x02, 0x48, 0x41, 0x52, 0x42, 0x77};

class FramePathTest : public RigTest {
 protected:
  void SetUp() override {
    rig.bringUp();
    ASSERT_FALSE(HasFatalFailure());
    // The frames below come unencrypted.
    ASSERT_TRUE(rig.call([](PADAPTER a) { return SetWepFlags(a, 0); }));
  }
  void expectClean() {
    EXPECT_TRUE(rig.controller->violations().empty()) << rig.controller->violations().front();
    EXPECT_TRUE(rig.host->findings().empty()) << rig.host->findings().front();
    EXPECT_EQ(rig.record()->AccessPathBusy, 0);
  }
};

std::size_t slotCount(PTX_SLOT slot) {
  std::size_t n = 0;
  for (; slot; slot = slot->Next) ++n;
  return n;
}

// ---------------------------------------------------------------------------------------------
// Receive lookahead: at most the lookahead and 8 bytes, and never more than the body

struct LookaheadCase {
  std::size_t body;
  bool stripped;
};
void PrintTo(const LookaheadCase &c, std::ostream *os) { *os << c.body << (c.stripped ? " stripped" : ""); }

class LookaheadTest : public FramePathTest, public ::testing::WithParamInterface<LookaheadCase> {};

TEST_P(LookaheadTest, TheLookaheadNeverReachesPastTheBody) {
  const LookaheadCase &c = GetParam();
  // An RFC 1042 header is removed; a plain LLC header stays part of the frame.
  Bytes head = c.stripped ? Bytes{0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00} : Bytes{0xE0, 0xE0, 0x03};
  Bytes body = concat({head, pattern(c.body - head.size(), 9)});
  rig.bus.setTracing(true);
  ASSERT_EQ(rig.receive(body, kSource), sim::ReceiveResult::Delivered);
  rig.settle();

  std::size_t read = c.body <= 1508 ? c.body : std::min<std::size_t>(c.body, 1516);
  std::size_t skip = c.stripped ? 8 : 0;
  ASSERT_EQ(rig.indications.size(), 1u);
  EXPECT_EQ(rig.indications[0].lookahead, Bytes(body.begin() + static_cast<std::ptrdiff_t>(skip),
                                                body.begin() + static_cast<std::ptrdiff_t>(read)));
  EXPECT_EQ(rig.indications[0].packetSize, c.body - skip);
  EXPECT_EQ(readsOf(rig.bus, REG_DATA0), 30u + (read + 1) / 2);
  expectClean();
}

INSTANTIATE_TEST_SUITE_P(Bodies, LookaheadTest,
                         ::testing::Values(LookaheadCase{1508, false}, LookaheadCase{1509, false},
                                           LookaheadCase{1510, false}, LookaheadCase{1515, false},
                                           LookaheadCase{1516, false}, LookaheadCase{1600, false},
                                           LookaheadCase{1508, true}, LookaheadCase{1509, true},
                                           LookaheadCase{1510, true}, LookaheadCase{1515, true},
                                           LookaheadCase{1516, true}, LookaheadCase{1600, true}),
                         [](const auto &info) {
                           return std::to_string(info.param.body) + (info.param.stripped ? "Stripped" : "Unstripped");
                         });

// ---------------------------------------------------------------------------------------------
// Transmit commands that do not complete well

struct CommandCase {
  const char *what;
  const char *fault;
  NDIS_STATUS status;         // how each packet taken under the fault completes
  std::size_t slotsAwaiting;  // slots left waiting for a buffer
  std::size_t stillQueued;    // packets left with no slot to go out in
};
void PrintTo(const CommandCase &c, std::ostream *os) { *os << c.what; }

class TransmitCommandTest : public FramePathTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(TransmitCommandTest, ARefusedCommandFailsThePacketAndFreesTheSlot) {
  const CommandCase &c = GetParam();
  rig.controller->addFault(sim::parseFault(c.fault));
  std::vector<NDIS_PACKET *> refused;
  // More frames than slots: a slot lost to each refusal would stop the adapter.
  for (int i = 0; i < 7; ++i) {
    refused.push_back(rig.send(ethernetFrame(kPeer, rig.stationAddress(), 0x0800, pattern(100, static_cast<std::uint8_t>(i)))));
    rig.settle();
  }
  std::size_t taken = 0;
  for (auto *p : refused) {
    auto statuses = rig.statusesOf(p);
    if (statuses.empty()) continue;  // still queued behind slots the controller kept
    ++taken;
    EXPECT_EQ(statuses, std::vector<NDIS_STATUS>{c.status});
  }
  EXPECT_TRUE(rig.transmitted.empty());
  EXPECT_EQ(taken, 7 - c.stillQueued);
  EXPECT_EQ(slotCount(rig.record()->TxSlotsAwaitingBuffer), c.slotsAwaiting);
  EXPECT_EQ(slotCount(rig.record()->TxSlotsReady) + slotCount(rig.record()->TxSlotsAwaitingBuffer), 5u);

  // Once the controller takes commands again, every slot sends.
  if (c.slotsAwaiting == 0) {
    rig.controller->clearFaults();
    std::vector<NDIS_PACKET *> later;
    for (int i = 0; i < 5; ++i)
      later.push_back(rig.send(ethernetFrame(kPeer, rig.stationAddress(), 0x0806, pattern(28, static_cast<std::uint8_t>(i)))));
    rig.settle(100000);
    EXPECT_EQ(rig.transmitted.size(), 5u);
    for (auto *p : later) EXPECT_EQ(rig.statusesOf(p), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  }
  EXPECT_TRUE(rig.controller->violations().empty()) << rig.controller->violations().front();
  EXPECT_TRUE(rig.host->findings().empty()) << rig.host->findings().front();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TransmitCommandTest,
    ::testing::Values(CommandCase{"ErrorResult", "command-error=0x010B", NDIS_STATUS_FAILURE, 0, 0},
                      CommandCase{"OtherErrorResult", "command-error=0x010B:0x7F", NDIS_STATUS_FAILURE, 0, 0},
                      // Never answered: the buffer may still come back, so its slot keeps waiting.
                      CommandCase{"NeverCompletes", "command-timeout=0x010B", NDIS_STATUS_SUCCESS, 5, 2}),
    [](const auto &info) { return std::string(info.param.what); });

}  // namespace
}  // namespace teskel::test
