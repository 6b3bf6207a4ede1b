// Controller model: the key-guarded auxiliary port, controller memory, production data, the
// program cycle, and non-volatile memory that outlives a controller.
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "rig.h"

using namespace rig;

namespace {

void key(Rig &r) {
  r.wr(kRegParam0, 0x5A4B);
  r.wr(kRegParam1, 0x3C2D);
  r.wr(kRegParam2, 0x1E0F);
}

void auxEnable(Rig &r) {
  key(r);
  r.wr(kRegControl, 0x8000);
  r.stall(100);
  ASSERT_EQ(r.rd(kRegControl), 0xC000);
}

void at(Rig &r, std::uint32_t address) {
  r.wr(kRegAuxPage, static_cast<std::uint16_t>(address >> 7));
  r.wr(kRegAuxOffset, static_cast<std::uint16_t>(address & 0x7F));
}

std::vector<std::uint16_t> auxRead(Rig &r, std::uint32_t address, std::size_t words) {
  at(r, address);
  std::vector<std::uint16_t> out(words);
  r.bus.readString16(kBase + kRegAuxData, out.data(), words);
  return out;
}

void auxWrite(Rig &r, std::uint32_t address, const std::vector<std::uint16_t> &words) {
  at(r, address);
  r.bus.writeString16(kBase + kRegAuxData, words.data(), words.size());
}

// A folder of its own for each test, removed afterwards.
struct TempDir {
  std::filesystem::path path;
  TempDir() {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    path = std::filesystem::temp_directory_path() /
           ("teskel-controller-" + std::to_string(::getpid()) + "-" + info->name());
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
};

}  // namespace

TEST(ControllerAux, ControlWritesNeedTheKeyAndChangeStateAfterAboutOneHundredMicroseconds) {
  Rig r;
  r.wr(kRegControl, 0x8000);
  EXPECT_EQ(r.rd(kRegControl), 0x0000) << "ignored without the key";
  EXPECT_TRUE(r.hasViolation("aux-no-key"));
  r.ctl->clearViolations();

  key(r);
  r.wr(kRegControl, 0x8000);
  EXPECT_EQ(r.rd(kRegControl), 0x8000);
  r.stall(99);
  EXPECT_EQ(r.rd(kRegControl), 0x8000);
  r.stall(1);
  EXPECT_EQ(r.rd(kRegControl), 0xC000);
  EXPECT_TRUE(r.ctl->auxEnabled());

  r.wr(kRegControl, 0x4000);
  EXPECT_EQ(r.rd(kRegControl), 0x4000);
  r.stall(100);
  EXPECT_EQ(r.rd(kRegControl), 0x0000);
  r.wr(kRegControl, 0x1234);
  EXPECT_TRUE(r.hasViolation("control-bad-value"));
  EXPECT_EQ(r.rd(kRegControl), 0x0000);
}

TEST(ControllerAux, DataPortIsDeadWhileDisabled) {
  Rig r;
  at(r, 0x000100);
  EXPECT_EQ(r.rd(kRegAuxData), 0xFFFF);
  r.wr(kRegAuxData, 0x1234);
  EXPECT_EQ(r.ctl->memory(0x000100, 2), (std::vector<std::uint8_t>{0, 0}));
}

TEST(ControllerAux, RamTakesWritesAcrossPagesAndAtOddAddresses) {
  Rig r;
  auxEnable(r);
  auxWrite(r, 0x00007E, {0x1111, 0x2222, 0x3333});  // crosses from page 0 into page 1
  EXPECT_EQ(auxRead(r, 0x000080, 2), (std::vector<std::uint16_t>{0x2222, 0x3333}));
  EXPECT_EQ(r.rd(kRegAuxPage), 1) << "page and offset read what was written, not the moving address";
  EXPECT_EQ(r.rd(kRegAuxOffset), 0);
  EXPECT_EQ(auxRead(r, 0x00007F, 1), (std::vector<std::uint16_t>{0x2211}));
  auxWrite(r, 0x000201, {0xBBAA});
  EXPECT_EQ(r.ctl->memory(0x000200, 4), (std::vector<std::uint8_t>{0x00, 0xAA, 0xBB, 0x00}));
}

TEST(ControllerAux, ByteAccessesMoveOneByteAndAdvanceByOne) {
  Rig r;
  auxEnable(r);
  auxWrite(r, 0x000300, {0xEEDD, 0xCCBB});
  at(r, 0x000301);
  r.bus.write8(kBase + kRegAuxData, 0x11);
  r.bus.write8(kBase + kRegAuxData, 0x22);
  EXPECT_EQ(r.ctl->memory(0x000300, 4), (std::vector<std::uint8_t>{0xDD, 0x11, 0x22, 0xCC}));
  at(r, 0x000300);
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < 4; ++i) bytes.push_back(r.bus.read8(kBase + kRegAuxData));
  EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0xDD, 0x11, 0x22, 0xCC}));
  EXPECT_EQ(r.rd(kRegAuxData), 0x0000) << "four byte reads advanced by four";
}

TEST(ControllerAux, NonVolatileMemoryIgnoresDirectWritesAndOtherAddressesAreEmpty) {
  Rig r;
  auxEnable(r);
  const auto before = auxRead(r, 0x3E0000, 2);
  auxWrite(r, 0x3E0000, {0x1234, 0x5678});
  EXPECT_EQ(auxRead(r, 0x3E0000, 2), before);
  EXPECT_EQ(auxRead(r, 0x100000, 2), (std::vector<std::uint16_t>{0xFFFF, 0xFFFF}));
  auxWrite(r, 0x100000, {0x0000});
  EXPECT_EQ(auxRead(r, 0x100000, 1), (std::vector<std::uint16_t>{0xFFFF}));
  // A word straddling the end of RAM moves only the RAM byte.
  auxWrite(r, 0x00FFFF, {0x4321});
  EXPECT_EQ(auxRead(r, 0x00FFFF, 1), (std::vector<std::uint16_t>{0xFF21}));
}

TEST(ControllerAux, ProductionDataLayout) {
  ControllerOptions o;
  o.serial = 0x00ABCDEF;
  Rig r(o);
  auxEnable(r);
  at(r, 0x3F0000);
  std::vector<std::uint16_t> words(512);
  r.bus.readString16(kBase + kRegAuxData, words.data(), words.size());
  std::vector<std::uint8_t> pd;
  for (auto w : words) {
    pd.push_back(static_cast<std::uint8_t>(w));
    pd.push_back(static_cast<std::uint8_t>(w >> 8));
  }
  EXPECT_EQ(pd[0] | pd[1] << 8, 1) << "format word";
  EXPECT_EQ(std::vector<std::uint8_t>(pd.begin() + 2, pd.begin() + 8),
            (std::vector<std::uint8_t>{0x02, 0x54, 0x4B, 0xAB, 0xCD, 0xEF}));
  for (int i = 8; i < 20; ++i) EXPECT_TRUE(pd[i] >= 0x20 && pd[i] < 0x7F) << "serial byte " << i;
  EXPECT_NE(pd[20] | pd[21] << 8, 0xFFFF) << "hardware version";
  EXPECT_EQ(pd[22] | pd[23] << 8, 0x0010) << "regulatory domain";
  for (std::size_t i = 24; i < pd.size(); ++i) ASSERT_EQ(pd[i], 0xFF) << "byte " << i;
  // The record agrees with the production data.
  EXPECT_EQ(r.ctl->stationAddress(), (MacAddress{0x02, 0x54, 0x4B, 0xAB, 0xCD, 0xEF}));
}

TEST(ControllerProgram, CommitCopiesTheDownloadBufferIntoNonVolatileMemory) {
  Rig r;
  auxEnable(r);
  auxWrite(r, 0x008000, {0x2211, 0x4433, 0x6655, 0x8877});
  ASSERT_EQ(r.result(kCmdProgramBegin, 0x0100, 0x003E, 7), 0);
  r.wr(kRegParam0, 0);
  r.wr(kRegParam1, 0);
  r.wr(kRegParam2, 0);
  r.wr(kRegCommand, kCmdProgramCommit);
  r.stall(1999);
  EXPECT_EQ(r.rd(kRegEventStatus) & kEvCmd, 0) << "programming takes about 2 ms";
  r.stall(1);
  ASSERT_EQ(r.rd(kRegEventStatus) & kEvCmd, kEvCmd);
  EXPECT_EQ(r.rd(kRegStatus), 0x0022);
  r.wr(kRegEventAck, kEvCmd);
  EXPECT_EQ(r.ctl->memory(0x3E0100, 8), (std::vector<std::uint8_t>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0xFF}));
  EXPECT_EQ(r.result(kCmdProgramCommit), 4) << "one commit per begin";
}

TEST(ControllerProgram, BadRequestsAreRefused) {
  struct Case {
    const char *what;
    std::uint32_t address;
    std::uint16_t length;
  };
  const Case cases[] = {
      {"in RAM", 0x008000, 16},
      {"below non-volatile memory", 0x3DFFFF, 2},
      {"running off the end", 0x3FFFF8, 16},
      {"zero length", 0x3E0000, 0},
      {"longer than the download buffer", 0x3E0000, 8193},
  };
  for (auto &c : cases) {
    Rig r;
    EXPECT_EQ(r.result(kCmdProgramBegin, static_cast<std::uint16_t>(c.address), static_cast<std::uint16_t>(c.address >> 16),
                       c.length),
              4)
        << c.what;
    EXPECT_EQ(r.result(kCmdProgramCommit), 4) << c.what << ": nothing armed";
  }
  Rig r;
  EXPECT_EQ(r.result(kCmdProgramBegin, 0xFFF8, 0x003F, 8), 0) << "the last eight bytes";
}

TEST(ControllerProgram, NonVolatileMemoryOutlivesTheControllerThroughItsFile) {
  TempDir dir;
  const std::string file = (dir.path / "controller.nv").string();
  ControllerOptions o;
  o.nvPath = file;
  o.serial = 7;
  {
    Rig r(o);
    EXPECT_EQ(std::filesystem::file_size(file), 0x20000u) << "created with the card";
    auxEnable(r);
    // Give the card a new station address through its production data.
    auxWrite(r, 0x008000, {0x5402, 0x994B, 0x7788});
    ASSERT_EQ(r.result(kCmdProgramBegin, 0x0002, 0x003F, 6), 0);
    ASSERT_EQ(r.result(kCmdProgramCommit), 0);
    EXPECT_EQ(r.ctl->stationAddress(), (MacAddress{0x02, 0x54, 0x4B, 0x00, 0x00, 0x07})) << "until initialise";
    ASSERT_EQ(r.result(kCmdInitialize), 0);
    EXPECT_EQ(r.ctl->stationAddress(), (MacAddress{0x02, 0x54, 0x4B, 0x99, 0x88, 0x77}));
    // RAM is not kept.
    auxWrite(r, 0x000010, {0xCAFE});
  }
  o.serial = 8;  // the file wins over the seed
  Rig again(o);
  EXPECT_EQ(again.ctl->stationAddress(), (MacAddress{0x02, 0x54, 0x4B, 0x99, 0x88, 0x77}));
  EXPECT_EQ(again.ctl->memory(0x000010, 2), (std::vector<std::uint8_t>{0, 0}));
}

TEST(ControllerProgram, AMemoryFileOfTheWrongSizeIsRefused) {
  TempDir dir;
  const std::string file = (dir.path / "short.nv").string();
  std::ofstream(file) << "not a memory image";
  ControllerOptions o;
  o.nvPath = file;
  EventLoop loop;
  ceddk::PortBus bus;
  EXPECT_THROW(Controller(loop, bus, kLine, o), std::runtime_error);
}

TEST(ControllerSnapshot, EveryRegisterOfTheSnapshotReadsWithoutSideEffects) {
  Rig r;
  r.start();
  const std::uint32_t order[] = {0x00, 0x02, 0x04, 0x06, 0x08, 0x0A, 0x0C, 0x0E, 0x10, 0x20, 0x22, 0x24, 0x18,
                                 0x1C, 0x1A, 0x1E, 0x30, 0x32, 0x34, 0x14, 0x3A, 0x3C, 0x28, 0x2A, 0x2C};
  std::vector<std::uint16_t> first, second;
  for (auto reg : order) first.push_back(r.rd(reg));
  for (auto reg : order) second.push_back(r.rd(reg));
  EXPECT_EQ(first, second);
  EXPECT_TRUE(r.ctl->violations().empty()) << r.violationText();
}
