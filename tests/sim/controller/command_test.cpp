// Controller model: power-up registers, the command handshake, events and the interrupt line.
#include "rig.h"

using namespace rig;

TEST(ControllerPowerUp, RegistersReadTheirPowerUpValues) {
  Rig r;
  EXPECT_EQ(r.rd(kRegCommand), 0x0000);
  EXPECT_EQ(r.rd(kRegEventStatus), 0x0000);
  EXPECT_EQ(r.rd(kRegIntEnable), 0x0000);
  EXPECT_EQ(r.rd(kRegControl), 0x0000);
  EXPECT_EQ(r.rd(kRegEventAck), 0x0000);
  EXPECT_EQ(r.rd(kRegSnapshot24), 0x0000);
  EXPECT_EQ(r.rd(kRegSnapshot2C), 0x0000);
  EXPECT_NE(r.rd(kRegFirmwareVariant), 0x0000);
  EXPECT_NE(r.rd(kRegBuildNumber), 0x0000);
  EXPECT_EQ(r.ctl->portStatus(), 1);
  EXPECT_FALSE(r.bus.irq(kLine));
  // Parameter, select and auxiliary address registers read back what was written.
  for (std::uint32_t reg : {kRegParam0, kRegParam1, kRegParam2, kRegSelect0, kRegSelect1, kRegAuxPage, kRegAuxOffset}) {
    r.wr(reg, static_cast<std::uint16_t>(0x1230 + reg));
    EXPECT_EQ(r.rd(reg), 0x1230 + reg) << "register 0x" << std::hex << reg;
  }
}

TEST(ControllerCommand, BusyBitThenCompletionEventWithStatusEcho) {
  Rig r;
  r.wr(kRegCommand, kCmdEnable);
  EXPECT_EQ(r.rd(kRegCommand), kBusy | kCmdEnable);
  r.stall(5);
  EXPECT_EQ(r.rd(kRegCommand), kCmdEnable) << "busy clears after about 5 us";
  EXPECT_EQ(r.rd(kRegEventStatus) & kEvCmd, 0) << "completion takes about 20 us";
  r.stall(15);
  EXPECT_EQ(r.rd(kRegEventStatus) & kEvCmd, kEvCmd);
  EXPECT_EQ(r.rd(kRegStatus), 0x0001);
  r.wr(kRegEventAck, kEvCmd);
  EXPECT_EQ(r.rd(kRegEventStatus) & kEvCmd, 0);
  EXPECT_TRUE(r.ctl->violations().empty()) << r.violationText();
}

TEST(ControllerCommand, StatusWordIsResultAndLowCommandBitsForEveryCommand) {
  struct Case {
    std::uint16_t code, p0, p1, p2;
    std::uint16_t status;
  };
  const Case cases[] = {
      {kCmdInitialize, 0, 0, 0, 0x0000},
      {kCmdEnable, 0, 0, 0, 0x0001},
      {kCmdDisable, 0, 0, 0, 0x0002},
      {kCmdAllocate, 1585, 0, 0, 0x000A},
      {kCmdAllocate, 0, 0, 0, 0x040A},            // no size
      {kCmdInquire, 0xF100, 0, 0, 0x0011},
      {kCmdInquire, 0x1234, 0, 0, 0x0411},        // unknown information type
      {kCmdAccessRead, kRidPortType, 0, 0, 0x0021},
      {kCmdAccessRead, 0xFCFF, 0, 0, 0x0221},     // no such record
      {kCmdAccessWrite, 0xFCFF, 0, 0, 0x0221},
      {kCmdTransmit, 0x0FFE, 0, 0, 0x040B},       // no such buffer
      {kCmdProgramBegin, 0x0000, 0x003F, 16, 0x0022},
      {kCmdProgramBegin, 0x0000, 0x0001, 16, 0x0422},  // outside non-volatile memory
      {kCmdProgramCommit, 0, 0, 0, 0x0422},       // the failed begin disarmed it
      {0x0033, 0, 0, 0, 0x0133},                  // unknown command
      {0x000B, 0, 0, 0, 0x010B},                  // transmit needs its modifier bit
  };
  Rig r;
  for (auto &c : cases) {
    auto s = r.command(c.code, c.p0, c.p1, c.p2);
    ASSERT_TRUE(s) << "command 0x" << std::hex << c.code;
    EXPECT_EQ(*s, c.status) << "command 0x" << std::hex << c.code;
  }
}

TEST(ControllerCommand, LatenciesFollowTheDatasheet) {
  struct Case {
    std::uint16_t code, p0;
    Micros earliest;  // EV_CMD is not there 1 us before this
  };
  const Case cases[] = {{kCmdInitialize, 0, 500}, {kCmdEnable, 0, 20},       {kCmdDisable, 0, 20},
                        {kCmdAccessRead, kRidPortType, 20}, {kCmdInquire, 0xF100, 20}, {kCmdAllocate, 100, 20}};
  for (auto &c : cases) {
    Rig r;
    r.wr(kRegParam0, c.p0);
    const Micros t0 = r.loop.now();
    r.wr(kRegCommand, c.code);
    r.stall(c.earliest - 1);
    EXPECT_EQ(r.rd(kRegEventStatus) & kEvCmd, 0) << "command 0x" << std::hex << c.code;
    r.stall(1);
    EXPECT_EQ(r.rd(kRegEventStatus) & kEvCmd, kEvCmd) << "command 0x" << std::hex << c.code;
    EXPECT_EQ(r.loop.now() - t0, c.earliest);
  }
}

TEST(ControllerCommand, WriteWhileBusyIsIgnoredAndRecorded) {
  Rig r;
  r.wr(kRegCommand, kCmdEnable);
  r.wr(kRegCommand, kCmdDisable);
  EXPECT_TRUE(r.hasViolation("command-while-busy"));
  r.stall(20);
  EXPECT_EQ(r.rd(kRegStatus), kCmdEnable);
  r.wr(kRegEventAck, kEvCmd);
  r.stall(100);
  EXPECT_EQ(r.rd(kRegEventStatus) & kEvCmd, 0) << "the ignored command never completes";
  EXPECT_TRUE(r.ctl->portEnabled());
}

TEST(ControllerCommand, CommandBeforeThePreviousCompletedIsRecorded) {
  Rig r;
  r.wr(kRegCommand, kCmdInitialize);
  r.stall(10);
  r.wr(kRegCommand, kCmdEnable);
  EXPECT_TRUE(r.hasViolation("command-overlap")) << r.violationText();
}

TEST(ControllerEvents, AcknowledgingEventsThatAreNotPendingIsHarmlessWhateverTheValue) {
  Rig r;
  ASSERT_EQ(r.result(kCmdAllocate, 1585), 0);
  r.stall(200);
  ASSERT_EQ(r.rd(kRegEventStatus), kEvAlloc);
  for (std::uint16_t bits : {0xFFF7, 0x0001, 0x0010, 0x0080, 0x7F76, 0x0000})
    r.wr(kRegEventAck, bits);
  EXPECT_TRUE(r.ctl->violations().empty()) << r.violationText();
  EXPECT_EQ(r.rd(kRegEventStatus), kEvAlloc) << "bits that were not pending cleared nothing else";
}

// An accepted tally inquiry owns an information buffer: link-status frames that come later
// may not take it, and the counts it clears always arrive.
TEST(ControllerEvents, AnAcceptedTallyInquiryAlwaysDeliversItsCounts) {
  Rig r;
  r.start();
  while (r.rd(kRegEventStatus) & kEvInfo) r.wr(kRegEventAck, kEvInfo);
  for (int i = 0; i < 7; ++i) ASSERT_EQ(r.result(kCmdInquire, 0xF100), 0) << "inquiry " << i;
  r.stall(2000);
  ASSERT_EQ(r.ctl->infoBuffersHeld(), 7u);
  r.ctl->receiveFrame(fromAp(r.ctl->stationAddress(), kHarbor, kPeer, snapBody(0, 0x0800, 20)));
  ASSERT_EQ(r.result(kCmdInquire, 0xF100), 0);
  EXPECT_EQ(r.result(kCmdInquire, 0xF100), 3) << "the reserved buffer is not offered twice";
  ASSERT_EQ(r.result(kCmdDisable), 0);  // a link-status change while the report is on its way
  r.stall(2000);
  bool found = false;
  while (r.rd(kRegEventStatus) & kEvInfo) {
    const std::uint16_t fid = r.rd(kRegInfoFid);
    auto head = r.readBytes(fid, 0, 4 + 2 * 32);
    if ((head[2] | head[3] << 8) == 0xF100 && head[4 + 2 * 10] == 1) found = true;
    r.wr(kRegEventAck, kEvInfo);
  }
  EXPECT_TRUE(found) << "the report with the received frame arrived";
}

TEST(ControllerEvents, InterruptLineIsUpExactlyWhileStatusAndEnableOverlap) {
  Rig r;
  std::vector<bool> edges;
  r.bus.addIrqListener([&](unsigned line, bool level) {
    if (line == kLine) edges.push_back(level);
  });
  r.wr(kRegCommand, kCmdDisable);
  r.stall(20);
  EXPECT_FALSE(r.bus.irq(kLine)) << "EV_CMD pending but not enabled";
  r.wr(kRegIntEnable, kEvAlloc);
  EXPECT_FALSE(r.bus.irq(kLine));
  r.wr(kRegIntEnable, kEvAlloc | kEvCmd);
  EXPECT_TRUE(r.bus.irq(kLine));
  r.wr(kRegIntEnable, 0);
  EXPECT_FALSE(r.bus.irq(kLine)) << "masking drops the line";
  r.wr(kRegIntEnable, 0x0089 | kEvCmd);
  EXPECT_TRUE(r.bus.irq(kLine));
  r.wr(kRegEventAck, kEvCmd);
  EXPECT_FALSE(r.bus.irq(kLine)) << "acknowledging drops the line";
  // An event that arrives while enabled raises it without any port access.
  r.wr(kRegParam0, 1585);
  r.wr(kRegCommand, kCmdAllocate);
  r.loop.runFor(20);
  EXPECT_TRUE(r.bus.irq(kLine));
  EXPECT_EQ(edges, (std::vector<bool>{true, false, true, false, true}));
}

TEST(ControllerEvents, InitializeClearsEveryQueueButKeepsTheInterruptMask) {
  Rig r;
  r.start();
  r.wr(kRegIntEnable, 0x0089);
  ASSERT_EQ(r.result(kCmdAllocate, 1585), 0);
  ASSERT_EQ(r.result(kCmdInquire, 0xF100), 0);
  r.ctl->receiveFrame(fromAp(r.ctl->stationAddress(), kHarbor, kPeer, snapBody(0, 0x0800, 20)));
  EXPECT_EQ(r.rd(kRegEventStatus) & kEvRx, kEvRx);
  ASSERT_EQ(r.result(kCmdInitialize), 0);
  r.stall(5000);  // past every answer the old generation had scheduled
  EXPECT_EQ(r.rd(kRegEventStatus), 0);
  EXPECT_EQ(r.rd(kRegIntEnable), 0x0089);
  EXPECT_EQ(r.ctl->transmitBuffers().size(), 0u);
  EXPECT_EQ(r.ctl->receiveBuffersHeld(), 0u);
  EXPECT_EQ(r.ctl->portStatus(), 1);
  EXPECT_FALSE(r.bus.irq(kLine));
}
