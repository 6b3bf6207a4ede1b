// Controller model: fault names and what each injected fault does at the ports.
#include "rig.h"

using namespace rig;

namespace {
Rig withFault(const char *fault) {
  ControllerOptions o;
  o.faults.push_back(parseFault(fault));
  return Rig(o);
}
}  // namespace

TEST(ControllerFaultNames, ParseIntoTheirCanonicalForm) {
  struct Case {
    const char *fault;
    const char *canonical;
  };
  const Case cases[] = {
      {"command-busy", "command-busy"},
      {"command-timeout", "command-timeout"},
      {"command-timeout=0x0121", "command-timeout=0x0121"},
      {"command-timeout=access-write", "command-timeout=0x0121"},
      {"command-error=allocate", "command-error=0x000A:1"},
      {"command-error=0x0021:2", "command-error=0x0021:2"},
      {"status-zero=33", "status-zero=0x0021"},
      {"rid-unreadable=0xFD40", "rid-unreadable=0xFD40"},
      {"rid-readback=0xFC26", "rid-readback=0xFC26"},
      {"rid-readback=0xFC26:3", "rid-readback=0xFC26:3"},
      {"alloc-limit=3", "alloc-limit=3"},
      {"seek-busy", "seek-busy"},
      {"seek-busy=1", "seek-busy=1"},
      {"aux-stuck", "aux-stuck"},
      {"tag-mismatch", "tag-mismatch=1"},
      {"tag-mismatch=4", "tag-mismatch=4"},
      {"rx-drop=25", "rx-drop=25"},
  };
  for (auto &c : cases) {
    Fault f = parseFault(c.fault);
    EXPECT_EQ(f.text, c.canonical) << c.fault;
    EXPECT_EQ(parseFault(f.text).text, f.text) << "canonical form parses to itself";
  }
}

TEST(ControllerFaultNames, MalformedNamesAreRefusedWithAReason) {
  struct Case {
    const char *fault;
    const char *mentions;
  };
  const Case cases[] = {
      {"", "unknown fault name"},
      {"cosmic-ray", "unknown fault name"},
      {"command-busy=1", "takes no argument"},
      {"command-error", "needs"},
      {"command-error=launch", "not a number"},
      {"command-error=enable:0", "result 0"},
      {"command-error=enable:200", "above"},
      {"status-zero", "needs"},
      {"rid-unreadable=0x1FFFF", "above"},
      {"rid-readback=:3", "missing"},
      {"alloc-limit=", "needs"},
      {"seek-busy=2", "above"},
      {"tag-mismatch=0", "at least 1"},
      {"rx-drop=101", "above"},
      {"rx-drop=ten", "not a number"},
  };
  for (auto &c : cases) {
    try {
      parseFault(c.fault);
      ADD_FAILURE() << c.fault << " was accepted";
    } catch (const std::invalid_argument &e) {
      EXPECT_NE(std::string(e.what()).find(c.mentions), std::string::npos) << c.fault << ": " << e.what();
    }
  }
}

TEST(ControllerFaultNames, TheCatalogueListsEveryName) {
  std::string help = faultHelpText();
  for (const char *name : {"command-busy", "command-timeout", "command-error", "status-zero", "rid-unreadable",
                           "rid-readback", "alloc-limit", "seek-busy", "aux-stuck", "tag-mismatch", "rx-drop"}) {
    EXPECT_NE(help.find(name), std::string::npos) << name;
  }
  EXPECT_EQ(faultCatalogue().size(), 11u);
}

TEST(ControllerFaults, CommandBusyNeverClears) {
  Rig r = withFault("command-busy");
  EXPECT_EQ(r.rd(kRegCommand) & kBusy, kBusy) << "busy from power-up";
  r.wr(kRegCommand, kCmdEnable);
  r.stall(10000);
  EXPECT_EQ(r.rd(kRegCommand) & kBusy, kBusy);
  EXPECT_EQ(r.rd(kRegEventStatus), 0);
  EXPECT_FALSE(r.ctl->portEnabled());
}

TEST(ControllerFaults, CommandTimeoutSwallowsTheNamedCommandOnly) {
  Rig r = withFault("command-timeout=access-write");
  EXPECT_EQ(r.result(kCmdAccessRead, kRidOwnChannel), 0);
  r.writeBytes(kRidOwnChannel, 0, {2, 0, 0x03, 0xFC, 9, 0});
  EXPECT_EQ(r.result(kCmdAccessWrite, kRidOwnChannel), -1);
  EXPECT_EQ(r.ctl->recordWord(kRidOwnChannel), 3) << "the swallowed command did nothing";
  EXPECT_FALSE(r.rd(kRegCommand) & kBusy) << "the register takes commands again";
  Rig any = withFault("command-timeout");
  EXPECT_EQ(any.result(kCmdEnable), -1);
}

TEST(ControllerFaults, CommandErrorCompletesWithTheResultAndDoesNothing) {
  Rig r = withFault("command-error=enable:4");
  EXPECT_EQ(r.command(kCmdEnable), 0x0401);
  EXPECT_FALSE(r.ctl->portEnabled());
  EXPECT_EQ(r.result(kCmdDisable), 0);
  Rig d = withFault("command-error=allocate");
  EXPECT_EQ(d.command(kCmdAllocate, 1585), 0x010A);
  d.stall(1000);
  EXPECT_EQ(d.rd(kRegEventStatus) & kEvAlloc, 0);
}

TEST(ControllerFaults, StatusZeroHidesTheEcho) {
  Rig r = withFault("status-zero=access-read");
  EXPECT_EQ(r.command(kCmdAccessRead, kRidPortType), 0x0000);
  EXPECT_EQ(r.command(kCmdAccessWrite, kRidPortType), 0x0021) << "other commands echo as usual";
}

TEST(ControllerFaults, RidUnreadableFailsTheAccessReadOfThatRecord) {
  Rig r = withFault("rid-unreadable=0xFD40");
  EXPECT_EQ(r.command(kCmdAccessRead, kRidPortStatus), 0x0221);
  EXPECT_EQ(r.command(kCmdAccessRead, kRidCurrentBssid), 0x0021);
}

TEST(ControllerFaults, RidReadbackCorruptsTheStagedImageTheGivenNumberOfTimes) {
  Rig r = withFault("rid-readback=0xFC26:2");
  const std::vector<std::uint8_t> image = {4, 0, 0x26, 0xFC, 1, 2, 3, 4, 5, 0};
  for (int attempt = 0; attempt < 3; ++attempt) {
    r.writeBytes(0xFC26, 0, image);
    auto back = r.readBytes(0xFC26, 0, image.size());
    EXPECT_EQ(std::vector<std::uint8_t>(back.begin(), back.begin() + 4),
              std::vector<std::uint8_t>(image.begin(), image.begin() + 4))
        << "length and RID read back right";
    if (attempt < 2)
      EXPECT_NE(back, image) << "attempt " << attempt;
    else
      EXPECT_EQ(back, image) << "attempt " << attempt;
  }
  EXPECT_EQ(r.result(kCmdAccessWrite, 0xFC26), 0);
  EXPECT_EQ(r.ctl->recordWord(0xFC26), 0x0201) << "the staged image itself was right";
  // Other records and access-read images are not affected.
  r.writeBytes(0xFC25, 0, {4, 0, 0x25, 0xFC, 1, 2, 3, 4, 5, 0});
  EXPECT_EQ(r.readBytes(0xFC25, 0, 10), (std::vector<std::uint8_t>{4, 0, 0x25, 0xFC, 1, 2, 3, 4, 5, 0}));
  Rig always = withFault("rid-readback=0xFC26");
  for (int attempt = 0; attempt < 5; ++attempt) {
    always.writeBytes(0xFC26, 0, image);
    EXPECT_NE(always.readBytes(0xFC26, 0, image.size()), image);
  }
}

// A read that stops at the length and RID cannot show a wrong image, so it spends nothing.
TEST(ControllerFaults, RidReadbackCountsOnlyReadsOfTheStagedData) {
  Rig r = withFault("rid-readback=0xFC26:1");
  const std::vector<std::uint8_t> image = {4, 0, 0x26, 0xFC, 1, 2, 3, 4, 5, 0};
  r.writeBytes(0xFC26, 0, image);
  EXPECT_EQ(r.readBytes(0xFC26, 0, 4), (std::vector<std::uint8_t>(image.begin(), image.begin() + 4)));
  EXPECT_EQ(r.readBytes(0xFC26, 0, 2), (std::vector<std::uint8_t>(image.begin(), image.begin() + 2)));
  EXPECT_NE(r.readBytes(0xFC26, 4, 6), (std::vector<std::uint8_t>(image.begin() + 4, image.end())))
      << "the one wrong read-back is the first that reaches the data";
  EXPECT_EQ(r.readBytes(0xFC26, 0, image.size()), image) << "and it was the only one";
}

TEST(ControllerFaults, AllocLimitAnswersOnlyThatMany) {
  Rig r = withFault("alloc-limit=3");
  for (int i = 0; i < 5; ++i) EXPECT_EQ(r.result(kCmdAllocate, 1585), 0);
  r.stall(1000);
  int events = 0;
  while (r.rd(kRegEventStatus) & kEvAlloc) {
    r.wr(kRegEventAck, kEvAlloc);
    ++events;
  }
  EXPECT_EQ(events, 3);
  ASSERT_EQ(r.result(kCmdInitialize), 0);
  EXPECT_EQ(r.result(kCmdAllocate, 1585), 0);
  r.stall(1000);
  EXPECT_EQ(r.rd(kRegEventStatus) & kEvAlloc, 0) << "ever: initialise does not renew the allowance";
}

TEST(ControllerFaults, SeekBusyHoldsTheNamedPath) {
  Rig r = withFault("seek-busy=1");
  r.wr(kRegSelect1, kRidPortType);
  r.wr(kRegOffset1, 0);
  r.wr(kRegSelect0, kRidPortType);
  r.wr(kRegOffset0, 0);
  r.stall(10000);
  EXPECT_EQ(r.rd(kRegOffset1) & kBusy, kBusy);
  EXPECT_EQ(r.rd(kRegOffset0) & kBusy, 0);
  r.rd(kRegData1);
  EXPECT_TRUE(r.hasViolation("data-while-seeking"));
  Rig both = withFault("seek-busy");
  both.wr(kRegSelect0, kRidPortType);
  both.wr(kRegOffset0, 0);
  both.stall(10000);
  EXPECT_EQ(both.rd(kRegOffset0) & kBusy, kBusy);
}

TEST(ControllerFaults, AuxStuckStaysChanging) {
  Rig r = withFault("aux-stuck");
  r.wr(kRegParam0, 0x5A4B);
  r.wr(kRegParam1, 0x3C2D);
  r.wr(kRegParam2, 0x1E0F);
  r.wr(kRegControl, 0x8000);
  r.stall(100000);
  EXPECT_EQ(r.rd(kRegControl), 0x8000);
  EXPECT_FALSE(r.ctl->auxEnabled());
}

TEST(ControllerFaults, TagMismatchCorruptsTheNextTrailerReadBacks) {
  Rig r = withFault("tag-mismatch=2");
  r.start();
  auto fid = r.allocate();
  ASSERT_TRUE(fid);
  // A 54-byte body: the frame ends at 114, where the trailer goes.
  std::vector<std::uint8_t> frame(60, 0);
  frame[58] = 0;
  frame[59] = 54;
  frame.resize(114, 0x33);
  r.writeBytes(*fid, 0, frame);
  r.writeBytes(*fid, 114, {0x07, 0x00, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(r.readBytes(*fid, 100, 2), (std::vector<std::uint8_t>{0x33, 0x33})) << "frame bytes are never touched";
  std::vector<std::uint16_t> tags;
  for (int i = 0; i < 3; ++i) {
    r.seek(0, *fid, 114);
    tags.push_back(r.rd(kRegData0));
  }
  EXPECT_NE(tags[0], 0x0007);
  EXPECT_NE(tags[1], 0x0007);
  EXPECT_EQ(tags[2], 0x0007);
}

TEST(ControllerFaults, RxDropLosesThatShareDeterministically) {
  auto run = [](const char *fault) {
    Rig r = withFault(fault);
    r.start();
    const auto self = r.ctl->stationAddress();
    std::vector<bool> lost;
    for (int i = 0; i < 400; ++i) {
      auto got = r.ctl->receiveFrame(fromAp(self, kHarbor, kPeer, snapBody(0, 0x0800, 8)));
      lost.push_back(got == ReceiveResult::Lost);
      if (got == ReceiveResult::Delivered) r.wr(kRegEventAck, kEvRx);
    }
    return lost;
  };
  auto a = run("rx-drop=25");
  auto b = run("rx-drop=25");
  EXPECT_EQ(a, b) << "the same run loses the same frames";
  const auto n = std::count(a.begin(), a.end(), true);
  EXPECT_GT(n, 60);
  EXPECT_LT(n, 140);
  auto none = run("rx-drop=0");
  EXPECT_EQ(std::count(none.begin(), none.end(), true), 0);
  auto all = run("rx-drop=100");
  EXPECT_EQ(std::count(all.begin(), all.end(), true), 400);
}

TEST(ControllerFaults, FaultsCanBeAddedAndClearedWhileRunning) {
  Rig r;
  EXPECT_EQ(r.result(kCmdEnable), 0);
  r.ctl->addFault(parseFault("command-error=disable:3"));
  EXPECT_EQ(r.result(kCmdDisable), 3);
  r.ctl->clearFaults();
  EXPECT_EQ(r.result(kCmdDisable), 0);
}
