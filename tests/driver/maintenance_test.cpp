// Maintenance access on a running adapter, watched on the port bus: the auxiliary port's key and
// waits, page and offset words, memory requests, the program cycle, production data, the
// register snapshot, and non-volatile memory that outlives a reset and the card's removal.
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <filesystem>

#include "linked_driver.h"
#include "port_trace.h"

namespace teskel::test {
namespace {

namespace hw = sim::hw;

Bytes request(std::uint32_t address, const Bytes &data) {
  Bytes r(6 + data.size());
  for (int i = 0; i < 4; ++i) r[i] = std::uint8_t(address >> (8 * i));
  r[4] = std::uint8_t(data.size());
  r[5] = std::uint8_t(data.size() >> 8);
  std::copy(data.begin(), data.end(), r.begin() + 6);
  return r;
}

// Registers read with single 16-bit reads, in order.
std::vector<std::uint32_t> registersRead(const ceddk::PortBus &bus) {
  std::vector<std::uint32_t> out;
  for (const auto &a : bus.trace())
    if (a.kind == ceddk::PortAccess::Kind::Read16) out.push_back(a.port - DriverRig::kIoBase);
  return out;
}

class MaintenanceTest : public RigTest {
 protected:
  explicit MaintenanceTest(sim::ControllerOptions options = {}) : RigTest(std::move(options)) {}
  void SetUp() override {
    rig.bringUp();
    ASSERT_FALSE(HasFatalFailure());
    rig.bus.setTracing(true);
  }
  void TearDown() override {
    std::vector<std::string> none;
    EXPECT_EQ(rig.controller->violations(), none);
  }
  bool enable(bool on) {
    return rig.call([&](PADAPTER a) { return AuxPortEnable(a, on ? TRUE : FALSE) != FALSE; });
  }
  void restartTrace() { rig.bus.clearTrace(); }
};

TEST_F(MaintenanceTest, EnableWritesTheKeyThenTheControlWordAndWaitsForTheSettledState) {
  EXPECT_TRUE(enable(true));
  EXPECT_TRUE(rig.controller->auxEnabled());
  EXPECT_EQ(writesTo(rig.bus, REG_PARAM0), std::vector<std::uint16_t>{hw::kAuxKey0});
  EXPECT_EQ(writesTo(rig.bus, REG_PARAM1), std::vector<std::uint16_t>{hw::kAuxKey1});
  EXPECT_EQ(writesTo(rig.bus, REG_PARAM2), std::vector<std::uint16_t>{hw::kAuxKey2});
  EXPECT_EQ(writesTo(rig.bus, REG_CONTROL), std::vector<std::uint16_t>{AUX_CONTROL_ENABLE});
  // One read before the write; then the change takes about 100 us, polled every 50 us.
  std::size_t reads = readsOf(rig.bus, REG_CONTROL);
  EXPECT_GE(reads, 3u);
  EXPECT_LE(reads, 5u);

  restartTrace();
  EXPECT_TRUE(enable(false));
  EXPECT_FALSE(rig.controller->auxEnabled());
  EXPECT_EQ(writesTo(rig.bus, REG_CONTROL), std::vector<std::uint16_t>{AUX_CONTROL_DISABLE});
}

TEST_F(MaintenanceTest, APortAlreadyInTheAskedStateGetsTheKeyButNoControlWrite) {
  ASSERT_TRUE(enable(true));
  restartTrace();
  EXPECT_TRUE(enable(true));
  EXPECT_EQ(writesTo(rig.bus, REG_PARAM0).size(), 1u);
  EXPECT_TRUE(writesTo(rig.bus, REG_CONTROL).empty());
  EXPECT_EQ(readsOf(rig.bus, REG_CONTROL), 1u);
}

TEST_F(MaintenanceTest, AStuckPortFailsAfterTwoThousandPollsEitherSideOfTheWrite) {
  ASSERT_TRUE(enable(true));
  rig.controller->addFault(sim::parseFault("aux-stuck"));
  restartTrace();
  // The disable write is taken, the port never settles.
  EXPECT_FALSE(enable(false));
  EXPECT_EQ(writesTo(rig.bus, REG_CONTROL), std::vector<std::uint16_t>{AUX_CONTROL_DISABLE});
  EXPECT_EQ(readsOf(rig.bus, REG_CONTROL), 1u + COMMAND_POLLS);

  // Now it reads 0x4000 throughout: the control register is not written again.
  restartTrace();
  EXPECT_FALSE(enable(false));
  EXPECT_TRUE(writesTo(rig.bus, REG_CONTROL).empty());
  EXPECT_EQ(readsOf(rig.bus, REG_CONTROL), static_cast<std::size_t>(COMMAND_POLLS));
}

struct AddressCase {
  std::uint32_t address;
  std::uint16_t page;
  std::uint16_t offset;
};

class AuxAddressTest : public MaintenanceTest, public ::testing::WithParamInterface<AddressCase> {};

TEST_P(AuxAddressTest, SplitsTheAddressIntoPageAndOffsetAndMovesWordsInOneString) {
  UCHAR buffer[8] = {};
  rig.call([&](PADAPTER a) { return AuxRead(a, buffer, GetParam().address, 4); });
  EXPECT_EQ(writesTo(rig.bus, REG_AUX_PAGE), std::vector<std::uint16_t>{GetParam().page});
  EXPECT_EQ(writesTo(rig.bus, REG_AUX_OFFSET), std::vector<std::uint16_t>{GetParam().offset});
  ASSERT_EQ(rig.bus.trace().size(), 3u);
  EXPECT_EQ(rig.bus.trace().back().kind, ceddk::PortAccess::Kind::ReadString16);
  EXPECT_EQ(rig.bus.trace().back().values.size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Addresses, AuxAddressTest,
                         ::testing::Values(AddressCase{0x3F0000, 0x7E00, 0x00}, AddressCase{0x12345, 0x0246, 0x45},
                                           AddressCase{0x7F, 0, 0x7F}, AddressCase{0x80, 1, 0},
                                           AddressCase{0x12345678, 0x68AC, 0x78}),
                         [](const auto &info) { return "At" + std::to_string(info.param.address); });

TEST_F(MaintenanceTest, MemoryRequestsMoveWholeWordsOnlyAndReadBackWhatWasWritten) {
  ASSERT_TRUE(enable(true));
  const Bytes seven = {1, 2, 3, 4, 5, 6, 7};
  Bytes write = request(0x1235, seven);  // an odd controller address is the controller's affair
  restartTrace();
  rig.call([&](PADAPTER a) { return AuxWriteRequest(a, write.data()); });
  EXPECT_EQ(writesTo(rig.bus, REG_AUX_DATA), (std::vector<std::uint16_t>{0x0201, 0x0403, 0x0605}));
  EXPECT_EQ(rig.controller->memory(0x1235, 7), (Bytes{1, 2, 3, 4, 5, 6, 0}));

  Bytes read = request(0x1235, Bytes(7, 0xEE));
  rig.call([&](PADAPTER a) { return AuxReadRequest(a, read.data()); });
  EXPECT_EQ(Bytes(read.begin() + 6, read.end()), (Bytes{1, 2, 3, 4, 5, 6, 0xEE}));
}

TEST_F(MaintenanceTest, ProgrammingStagesInTheDownloadBufferBetweenBeginAndCommit) {
  ASSERT_TRUE(enable(true));
  const std::uint32_t target = 0x3E1234;
  Bytes program = request(target, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70});
  restartTrace();
  EXPECT_TRUE(rig.call([&](PADAPTER a) { return ProgramNonVolatile(a, program.data(), FALSE); }));

  EXPECT_EQ(commandsIssued(rig.bus),
            (std::vector<Command>{{CMD_PROGRAM_BEGIN, 0x1234}, {CMD_PROGRAM_COMMIT, 0}}));
  EXPECT_EQ(writesTo(rig.bus, REG_PARAM1), (std::vector<std::uint16_t>{0x003E, 0}));
  EXPECT_EQ(writesTo(rig.bus, REG_PARAM2), (std::vector<std::uint16_t>{7, 0}));
  std::uint32_t buffer = (std::uint32_t(rig.record()->DownloadBufferPage) << 7) | rig.record()->DownloadBufferOffset;
  EXPECT_EQ(buffer, hw::kDownloadBuffer);
  EXPECT_EQ(writesTo(rig.bus, REG_AUX_PAGE), std::vector<std::uint16_t>{std::uint16_t(buffer >> 7)});
  EXPECT_EQ(writesTo(rig.bus, REG_AUX_DATA), (std::vector<std::uint16_t>{0x2010, 0x4030, 0x6050}));
  EXPECT_EQ(rig.controller->memory(target, 6), (Bytes{0x10, 0x20, 0x30, 0x40, 0x50, 0x60}));
}

TEST_F(MaintenanceTest, ADirectDownloadWritesAtTheRequestsAddressWithoutCommands) {
  ASSERT_TRUE(enable(true));
  Bytes program = request(0x4000, {9, 8, 7, 6, 5, 4, 3});
  restartTrace();
  EXPECT_TRUE(rig.call([&](PADAPTER a) { return ProgramNonVolatile(a, program.data(), TRUE); }));
  EXPECT_TRUE(commandsIssued(rig.bus).empty());
  EXPECT_EQ(writesTo(rig.bus, REG_AUX_PAGE), std::vector<std::uint16_t>{0x4000 >> 7});
  EXPECT_EQ(writesTo(rig.bus, REG_AUX_DATA).size(), 3u);
  EXPECT_EQ(rig.controller->memory(0x4000, 6), (Bytes{9, 8, 7, 6, 5, 4}));
}

TEST_F(MaintenanceTest, AFailedBeginWritesNothingAndAFailedCommitIsReported) {
  ASSERT_TRUE(enable(true));
  Bytes program = request(0x3E0000, {1, 2, 3, 4});
  rig.controller->addFault(sim::parseFault("command-error=0x0222"));
  restartTrace();
  EXPECT_FALSE(rig.call([&](PADAPTER a) { return ProgramNonVolatile(a, program.data(), FALSE); }));
  EXPECT_TRUE(writesTo(rig.bus, REG_AUX_DATA).empty());
  EXPECT_EQ(commandCodes(rig.bus), std::vector<std::uint16_t>{CMD_PROGRAM_BEGIN});

  rig.controller->clearFaults();
  rig.controller->addFault(sim::parseFault("command-error=0x0322"));
  EXPECT_FALSE(rig.call([&](PADAPTER a) { return ProgramNonVolatile(a, program.data(), FALSE); }));
  EXPECT_EQ(rig.controller->memory(0x3E0000, 4), Bytes(4, 0xFF));
}

TEST_F(MaintenanceTest, ProductionDataIsTheCardsIdentityAndLeavesThePortOff) {
  ASSERT_TRUE(enable(true));
  EXPECT_TRUE(rig.call([](PADAPTER a) { return ReadProductionData(a); }));
  EXPECT_FALSE(rig.controller->auxEnabled());
  const UCHAR *pd = rig.record()->ProductionData;
  EXPECT_EQ(Bytes(pd, pd + 1024), rig.controller->memory(hw::kProductionData, 1024));
  // Format word, station address, serial number, hardware version, regulatory domain.
  EXPECT_EQ(le16(Bytes(pd, pd + 2), 0), 1);
  EXPECT_EQ(Bytes(pd + 2, pd + 8), Bytes(rig.record()->PermanentAddress, rig.record()->PermanentAddress + 6));
  for (int i = 8; i < 20; ++i) EXPECT_TRUE(std::isalnum(pd[i])) << "serial byte " << i;
  EXPECT_NE(le16(Bytes(pd + 20, pd + 22), 0), 0xFFFF);
  EXPECT_EQ(le16(Bytes(pd + 22, pd + 24), 0), 0x0010);
}

TEST_F(MaintenanceTest, ProductionDataStaysAsItWasWhenThePortWillNotEnable) {
  std::memset(rig.record()->ProductionData, 0x3C, PRODUCTION_DATA_SIZE);
  rig.controller->addFault(sim::parseFault("aux-stuck"));
  EXPECT_FALSE(rig.call([](PADAPTER a) { return ReadProductionData(a); }));
  EXPECT_EQ(Bytes(rig.record()->ProductionData, rig.record()->ProductionData + PRODUCTION_DATA_SIZE),
            Bytes(PRODUCTION_DATA_SIZE, 0x3C));
  EXPECT_TRUE(writesTo(rig.bus, REG_AUX_DATA).empty());
  EXPECT_EQ(readsOf(rig.bus, REG_AUX_DATA), 0u);
}

TEST_F(MaintenanceTest, TheSnapshotReadsEveryRegisterOnceInItsOrderAndKeepsTwoWords) {
  UCHAR block[REGISTER_SNAPSHOT_SIZE];
  std::memset(block, 0x77, sizeof(block));
  EXPECT_TRUE(rig.call([&](PADAPTER a) { return ReadRegisterSnapshot(a, block); }));
  EXPECT_EQ(registersRead(rig.bus),
            (std::vector<std::uint32_t>{0x00, 0x02, 0x04, 0x06, 0x08, 0x0A, 0x0C, 0x0E, 0x10, 0x20, 0x22, 0x24, 0x18,
                                        0x1C, 0x1A, 0x1E, 0x30, 0x32, 0x34, 0x14, 0x3A, 0x3C, 0x28, 0x2A, 0x2C}));
  Bytes b(block, block + sizeof(block));
  EXPECT_EQ(le16(b, 14 * 2), 0x7777);
  EXPECT_EQ(le16(b, 17 * 2), 0x7777);
  EXPECT_EQ(le16(b, 19 * 2), INTERRUPT_MASK_RUNNING);
  EXPECT_EQ(le16(b, 24 * 2), hw::kFirmwareVariant);
  EXPECT_EQ(le16(b, 25 * 2), hw::kBuildNumber);
}

// ---- non-volatile memory through the private requests, across a reset and a new card run -----

class NonVolatileTest : public ::testing::Test {
 protected:
  static sim::ControllerOptions withFile(const std::filesystem::path &file) {
    sim::ControllerOptions o;
    o.nvPath = file.string();
    return o;
  }
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("teskel-nv-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    file_ = dir_ / "controller.nv";
    std::filesystem::remove(file_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static NDIS_STATUS set(DriverRig &rig, NDIS_OID oid, const Bytes &buffer) {
    return rig.adapter->setInformation(oid, buffer).status;
  }
  static Bytes readMemory(DriverRig &rig, std::uint32_t address, std::uint16_t count) {
    EXPECT_EQ(set(rig, OID_PRIV_AUX_ENABLE, {}), NDIS_STATUS_SUCCESS);
    Bytes buffer = request(address, Bytes(count, 0));
    EXPECT_EQ(rig.adapter->queryInformation(OID_PRIV_AUX_MEMORY, buffer).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(set(rig, OID_PRIV_AUX_DISABLE, {}), NDIS_STATUS_SUCCESS);
    return Bytes(buffer.begin() + 6, buffer.end());
  }

  std::filesystem::path dir_, file_;
};

TEST_F(NonVolatileTest, ADownloadOutlivesAResetAndTheNextRunOfTheCard) {
  const Bytes data = {0xDE, 0xC0, 0xAD, 0x0B, 0x12, 0x34};
  const std::uint32_t target = 0x3E0400;
  {
    DriverRig rig(linkedDriver(), withFile(file_));
    rig.bringUp();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(set(rig, OID_PRIV_AUX_ENABLE, {}), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(set(rig, OID_PRIV_DOWNLOAD_NONVOLATILE, request(target, data)), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(set(rig, OID_PRIV_AUX_DISABLE, {}), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(readMemory(rig, target, 6), data);

    ASSERT_EQ(set(rig, OID_PRIV_RESET, {}), NDIS_STATUS_SUCCESS);
    rig.settle();
    EXPECT_EQ(readMemory(rig, target, 6), data);
    rig.halt();
  }
  DriverRig again(linkedDriver(), withFile(file_));
  again.bringUp();
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(readMemory(again, target, 6), data);
  std::vector<std::string> none;
  EXPECT_EQ(again.controller->violations(), none);
}

TEST_F(NonVolatileTest, AStationAddressProgrammedIntoProductionDataIsTheCardsAfterReset) {
  const Bytes address = {0x02, 0x54, 0x4B, 0x0A, 0x0B, 0x0C};
  DriverRig rig(linkedDriver(), withFile(file_));
  rig.bringUp();
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_EQ(set(rig, OID_PRIV_AUX_ENABLE, {}), NDIS_STATUS_SUCCESS);
  ASSERT_EQ(set(rig, OID_PRIV_DOWNLOAD_NONVOLATILE, request(hw::kProductionData + 2, address)), NDIS_STATUS_SUCCESS);
  ASSERT_EQ(set(rig, OID_PRIV_RESET, {}), NDIS_STATUS_SUCCESS);
  rig.settle();
  sim::MacAddress now = rig.stationAddress();
  EXPECT_EQ(Bytes(now.begin(), now.end()), address);

  Bytes pd(1024);
  ASSERT_EQ(rig.adapter->queryInformation(OID_PRIV_PRODUCTION_DATA, pd).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(Bytes(pd.begin() + 2, pd.begin() + 8), address);
}

}  // namespace
}  // namespace teskel::test
