// The adapter's life through the NDIS host: registration, every failure row of initialisation
// with what it logs and releases, the resources a started adapter holds, halt and reset.
#include <algorithm>

#include "linked_driver.h"
#include "port_trace.h"

namespace teskel::test {
namespace {

using ndis::Call;

struct LogEntry {
  NDIS_ERROR_CODE code;
  std::vector<ULONG> values;
  bool operator==(const LogEntry &) const = default;
};

void PrintTo(const LogEntry &e, std::ostream *os) {
  *os << std::hex << "0x" << e.code << std::dec << " [";
  for (auto v : e.values) *os << v << ' ';
  *os << ']';
}

std::vector<LogEntry> errorLog(const ndis::Host &host) {
  std::vector<LogEntry> out;
  for (const auto &e : host.errorLog()) out.push_back({e.code, e.values});
  return out;
}

std::vector<std::uint16_t> commandsWritten(const ceddk::PortBus &bus) { return commandCodes(bus); }

// ---------------------------------------------------------------------------------------------
// Registration

using RegistrationTest = RigTest;

TEST_F(RegistrationTest, DriverEntryRegistersTheElevenEntryPoints) {
  ndis::Driver &d = rig.load();
  EXPECT_EQ(d.entryStatus(), NDIS_STATUS_SUCCESS);
  ASSERT_TRUE(d.registered());
  const auto &c = d.characteristics();
  EXPECT_EQ(c.Ndis30Chars.MajorNdisVersion, 4);
  EXPECT_EQ(c.Ndis30Chars.MinorNdisVersion, 0);
  EXPECT_EQ(c.Ndis30Chars.CheckForHangHandler, nullptr);
  EXPECT_EQ(c.Ndis30Chars.DisableInterruptHandler, &MiniportDisableInterrupt);
  EXPECT_EQ(c.Ndis30Chars.EnableInterruptHandler, &MiniportEnableInterrupt);
  EXPECT_EQ(c.Ndis30Chars.HaltHandler, &MiniportHalt);
  EXPECT_EQ(c.Ndis30Chars.HandleInterruptHandler, &MiniportHandleInterrupt);
  EXPECT_EQ(c.Ndis30Chars.InitializeHandler, &MiniportInitialize);
  EXPECT_EQ(c.Ndis30Chars.ISRHandler, &MiniportISR);
  EXPECT_EQ(c.Ndis30Chars.QueryInformationHandler, &MiniportQueryInformation);
  EXPECT_EQ(c.Ndis30Chars.ReconfigureHandler, nullptr);
  EXPECT_EQ(c.Ndis30Chars.ResetHandler, &MiniportReset);
  EXPECT_EQ(c.Ndis30Chars.SendHandler, &MiniportSend);
  EXPECT_EQ(c.Ndis30Chars.SetInformationHandler, &MiniportSetInformation);
  EXPECT_EQ(c.Ndis30Chars.TransferDataHandler, &MiniportTransferData);
  EXPECT_EQ(c.ReturnPacketHandler, nullptr);
  EXPECT_EQ(c.SendPacketsHandler, nullptr);
  EXPECT_EQ(c.AllocateCompleteHandler, nullptr);
  EXPECT_EQ(AdapterList, nullptr);
}

TEST_F(RegistrationTest, ARefusedRegistrationFailsDriverEntry) {
  rig.host->failNext(Call::RegisterMiniport);
  ndis::Driver &d = rig.load();
  EXPECT_EQ(d.entryStatus(), NDIS_STATUS_FAILURE);
  EXPECT_FALSE(d.registered());
}

// ---------------------------------------------------------------------------------------------
// Medium

struct MediumCase {
  const char *what;
  std::vector<NDIS_MEDIUM> media;
  NDIS_STATUS status;
  UINT index;
};
void PrintTo(const MediumCase &c, std::ostream *os) { *os << c.what; }

class MediumTest : public RigTest, public ::testing::WithParamInterface<MediumCase> {};

TEST_P(MediumTest, PicksTheFirst8023EntryOrAllocatesNothing) {
  const MediumCase &c = GetParam();
  rig.install();
  ndis::InitializeResult r = rig.initialize(c.media);
  EXPECT_EQ(r.status, c.status);
  if (c.status == NDIS_STATUS_SUCCESS) {
    EXPECT_EQ(r.selectedMediumIndex, c.index);
    rig.halt();
  } else {
    EXPECT_TRUE(rig.host->errorLog().empty());
    EXPECT_EQ(rig.host->memoryHeld(), 0u);
    EXPECT_EQ(rig.bus.counters(DriverRig::kIoBase + REG_COMMAND).total(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Media, MediumTest,
    ::testing::Values(MediumCase{"Only8023", {NdisMedium802_3}, NDIS_STATUS_SUCCESS, 0},
                      MediumCase{"ThirdEntry", {NdisMediumDix, NdisMedium802_5, NdisMedium802_3}, NDIS_STATUS_SUCCESS, 2},
                      MediumCase{"TwiceTakesFirst", {NdisMediumFddi, NdisMedium802_3, NdisMedium802_3},
                                 NDIS_STATUS_SUCCESS, 1},
                      MediumCase{"OtherMediaOnly", {NdisMedium802_5, NdisMediumWan}, NDIS_STATUS_UNSUPPORTED_MEDIA, 0},
                      MediumCase{"Empty", {}, NDIS_STATUS_UNSUPPORTED_MEDIA, 0}),
    [](const auto &info) { return std::string(info.param.what); });

// ---------------------------------------------------------------------------------------------
// Failure rows of initialisation

struct FailureRow {
  const char *what;
  std::function<void(DriverRig &)> arrange;
  NDIS_STATUS status;
  std::vector<LogEntry> log;
  bool touchedController;  // the row comes after the port window was claimed
};
void PrintTo(const FailureRow &r, std::ostream *os) { *os << r.what; }

constexpr NDIS_STATUS kOddStatus = static_cast<NDIS_STATUS>(0xC0010042);

class InitializeFailureTest : public RigTest, public ::testing::WithParamInterface<FailureRow> {};

// Each row: the status MiniportInitialize returns, the error-log entries, and nothing held
// afterwards (memory, configuration handles, ports, interrupt, timer, list entry).
TEST_P(InitializeFailureTest, ReturnsTheRowsStatusLogsItAndReleasesEverything) {
  const FailureRow &row = GetParam();
  rig.install();
  rig.load();
  row.arrange(rig);
  ndis::InitializeResult r = rig.initialize();

  EXPECT_EQ(r.status, row.status);
  EXPECT_EQ(r.adapter->state(), ndis::Adapter::State::Failed);
  EXPECT_EQ(errorLog(*rig.host), row.log);
  EXPECT_EQ(r.adapter->memoryHeld(), 0u);
  EXPECT_EQ(r.adapter->portRangesHeld(), 0u);
  EXPECT_FALSE(r.adapter->interruptLine());
  EXPECT_EQ(r.adapter->timersPending(), 0u);
  EXPECT_EQ(AdapterList, nullptr);
  EXPECT_TRUE(rig.host->findings().empty()) << rig.host->findings().front();
  if (!row.touchedController) {
    EXPECT_EQ(rig.bus.counters(DriverRig::kIoBase + REG_COMMAND).total(), 0u);
  }
}

const ULONG kOutOfResources = NDIS_ERROR_CODE_OUT_OF_RESOURCES;
const ULONG kUnsupported = NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION;
const ULONG kMissing = NDIS_ERROR_CODE_MISSING_CONFIGURATION_PARAMETER;
const ULONG kNotFound = NDIS_ERROR_CODE_ADAPTER_NOT_FOUND;
const ULONG kConnect = NDIS_ERROR_CODE_INTERRUPT_CONNECT;

INSTANTIATE_TEST_SUITE_P(
    Rows, InitializeFailureTest,
    ::testing::Values(
        FailureRow{"RecordAllocation", [](DriverRig &r) { r.host->failNext(Call::AllocateMemory); },
                   NDIS_STATUS_FAILURE, {{kOutOfResources, {3}}}, false},
        FailureRow{"RecordAllocationOwnStatus",
                   [](DriverRig &r) { r.host->failNext(Call::AllocateMemory, 1, NDIS_STATUS_RESOURCES); },
                   NDIS_STATUS_RESOURCES, {{kOutOfResources, {3}}}, false},
        FailureRow{"OpenConfiguration", [](DriverRig &r) { r.host->failNext(Call::OpenConfiguration, 1, kOddStatus); },
                   kOddStatus, {{kUnsupported, {23}}}, false},
        FailureRow{"BusTypeFive", [](DriverRig &r) { r.setParm("BusType", 5); },
                   static_cast<NDIS_STATUS>(kUnsupported), {{kUnsupported, {25}}}, false},
        FailureRow{"BusTypeZeroLowByte", [](DriverRig &r) { r.setParm("BusType", 0x100); },
                   static_cast<NDIS_STATUS>(kUnsupported), {{kUnsupported, {25}}}, false},
        FailureRow{"InterruptNumberMissing", [](DriverRig &r) { r.removeParm("InterruptNumber"); },
                   NDIS_STATUS_FAILURE, {{static_cast<ULONG>(NDIS_STATUS_FAILURE), {}}}, false},
        FailureRow{"InterruptNumberReadStatus",
                   [](DriverRig &r) { r.host->failKeyword("InterruptNumber", 1, kOddStatus); }, kOddStatus,
                   {{static_cast<ULONG>(kOddStatus), {}}}, false},
        FailureRow{"IoBaseAddressMissing", [](DriverRig &r) { r.removeParm("IoBaseAddress"); },
                   NDIS_STATUS_FAILURE, {{static_cast<ULONG>(NDIS_STATUS_FAILURE), {}}}, false},
        FailureRow{"IoBaseAddressReadStatus",
                   [](DriverRig &r) { r.host->failKeyword("IoBaseAddress", 1, kOddStatus); }, kOddStatus,
                   {{static_cast<ULONG>(kOddStatus), {}}}, false},
        // The second opening of the configuration is the parameter reader's.
        FailureRow{"RegistryParameters",
                   [](DriverRig &r) { r.host->failNext(Call::OpenConfiguration, 2, kOddStatus); }, kOddStatus,
                   {{kUnsupported, {23}}, {kMissing, {}}}, false},
        FailureRow{"PortRange", [](DriverRig &r) { r.host->failNext(Call::RegisterIoPortRange); },
                   NDIS_STATUS_FAILURE, {}, false},
        FailureRow{"PortRangeNotOnTheBus", [](DriverRig &r) { r.setParm("IoBaseAddress", 0x400); },
                   NDIS_STATUS_FAILURE, {}, false},
        FailureRow{"ControllerInitialize",
                   [](DriverRig &r) { r.controller->addFault(sim::parseFault("command-timeout=0x0000")); },
                   NDIS_STATUS_FAILURE, {{kNotFound, {}}}, true},
        FailureRow{"ControllerInitializeRefused",
                   [](DriverRig &r) { r.controller->addFault(sim::parseFault("command-error=0x0000:1")); },
                   NDIS_STATUS_FAILURE, {{kNotFound, {}}}, true},
        FailureRow{"ControllerBusy", [](DriverRig &r) { r.controller->addFault(sim::parseFault("command-busy")); },
                   NDIS_STATUS_FAILURE, {{kNotFound, {}}}, true},
        FailureRow{"StationAddress",
                   [](DriverRig &r) { r.controller->addFault(sim::parseFault("rid-unreadable=0xFC01")); },
                   NDIS_STATUS_FAILURE, {{kNotFound, {}}}, true},
        FailureRow{"InterruptRegistration", [](DriverRig &r) { r.host->failNext(Call::RegisterInterrupt); },
                   NDIS_STATUS_FAILURE, {{kConnect, {}}}, true}),
    [](const auto &info) { return std::string(info.param.what); });

TEST_F(RigTest, AFailedInterruptRegistrationTurnsTheControllersInterruptsOff) {
  rig.install();
  rig.load();
  rig.host->failNext(Call::RegisterInterrupt);
  rig.bus.setTracing(true);
  ASSERT_EQ(rig.initialize().status, NDIS_STATUS_FAILURE);
  auto enables = writesTo(rig.bus, REG_INT_ENABLE);
  ASSERT_FALSE(enables.empty());
  EXPECT_EQ(enables.back(), 0);
  // The port was never enabled.
  auto commands = commandsWritten(rig.bus);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), CMD_ENABLE), 0);
  EXPECT_FALSE(rig.controller->portEnabled());
}

// ---------------------------------------------------------------------------------------------
// A started adapter

TEST_F(RigTest, AStartedAdapterHoldsItsResourcesAndRunsTheController) {
  rig.bringUp();
  PADAPTER a = rig.record();
  EXPECT_EQ(AdapterList, a);
  EXPECT_EQ(a->Next, nullptr);
  EXPECT_EQ(a->MiniportAdapterHandle, rig.adapter->handle());
  EXPECT_EQ(a->IoBaseAddress.u.LowPart, 0x300u);
  EXPECT_EQ(a->IoBaseAddress.u.HighPart, 0);
  EXPECT_EQ(a->IoPortCount, 64u);
  EXPECT_EQ(a->InterruptVector, 15u);
  EXPECT_EQ(a->InterruptLevel, 15u);
  EXPECT_EQ(a->InterruptMode, 0u);
  EXPECT_EQ(a->BusType, 8);
  EXPECT_EQ(a->CardType, 2u);
  EXPECT_EQ(a->CurrentLookahead, 1508u);
  EXPECT_EQ(a->InterruptMask, 0x89);
  sim::MacAddress station = rig.stationAddress();
  EXPECT_TRUE(std::equal(station.begin(), station.end(), a->PermanentAddress));
  EXPECT_TRUE(std::equal(station.begin(), station.end(), a->CurrentAddress));

  EXPECT_EQ(rig.adapter->portRangesHeld(), 1u);
  EXPECT_EQ(rig.adapter->interruptLine(), std::optional<unsigned>(15));
  EXPECT_EQ(rig.adapter->timersPending(), 1u);
  EXPECT_EQ(rig.adapter->memoryHeld(), sizeof(ADAPTER));
  EXPECT_TRUE(rig.controller->portEnabled());
  EXPECT_EQ(rig.bus.read16(DriverRig::kIoBase + REG_INT_ENABLE), 0x89);
  EXPECT_TRUE(rig.controller->violations().empty()) << rig.controller->violations().front();
  EXPECT_TRUE(rig.host->errorLog().empty());
}

TEST_F(RigTest, TheStatusTimerTicksEverySecondFromStart) {
  rig.install();
  rig.load();
  ASSERT_EQ(rig.initialize().status, NDIS_STATUS_SUCCESS);
  Micros initialized = rig.loop.now();
  // Still pending after each tick: it re-arms itself.
  for (int tick = 1; tick <= 3; ++tick) {
    rig.loop.runUntil(initialized + tick * 1000000ull + 1);
    EXPECT_EQ(rig.adapter->timersPending(), 1u) << "tick " << tick;
  }
  EXPECT_TRUE(rig.host->findings().empty());
}

struct ResourceCase {
  const char *what;
  std::function<void(DriverRig &)> arrange;
  UCHAR busType;
  ULONG cardType;
  ULONG vector;
};
void PrintTo(const ResourceCase &c, std::ostream *os) { *os << c.what; }

class ResourceTest : public RigTest, public ::testing::WithParamInterface<ResourceCase> {};

TEST_P(ResourceTest, ResourcesFromTheConfiguration) {
  const ResourceCase &c = GetParam();
  rig.install();
  c.arrange(rig);
  ASSERT_EQ(rig.initialize().status, NDIS_STATUS_SUCCESS);
  PADAPTER a = rig.record();
  EXPECT_EQ(a->BusType, c.busType);
  EXPECT_EQ(a->CardType, c.cardType);
  EXPECT_EQ(a->InterruptVector, c.vector);
  EXPECT_EQ(a->InterruptLevel, c.vector);
  EXPECT_EQ(rig.adapter->interruptLine(), std::optional<unsigned>(c.vector));
  rig.halt();
}

INSTANTIATE_TEST_SUITE_P(
    Keywords, ResourceTest,
    ::testing::Values(ResourceCase{"Installed", [](DriverRig &) {}, 8, 2, 15},
                      ResourceCase{"NoBusTypeMeansPcCard", [](DriverRig &r) { r.removeParm("BusType"); }, 8, 2, 15},
                      ResourceCase{"IsaAccepted", [](DriverRig &r) { r.setParm("BusType", 1); }, 1, 2, 15},
                      ResourceCase{"BusTypeLowByte", [](DriverRig &r) { r.setParm("BusType", 0x108); }, 8, 2, 15},
                      ResourceCase{"NoCardType", [](DriverRig &r) { r.removeParm("CardType"); }, 8, 0, 15},
                      // Hexadecimal text as the registry may hold it.
                      ResourceCase{"HexText", [](DriverRig &r) { r.setParm("InterruptNumber", u"9"); }, 8, 2, 9},
                      ResourceCase{"InterruptNine", [](DriverRig &r) { r.setParm("InterruptNumber", 9); }, 8, 2, 9}),
    [](const auto &info) { return std::string(info.param.what); });

// ---------------------------------------------------------------------------------------------
// Halt

TEST_F(RigTest, HaltQuietsTheControllerAndReleasesEverything) {
  rig.bringUp();
  rig.bus.setTracing(true);
  Micros before = rig.loop.now();
  rig.halt();
  EXPECT_EQ(rig.adapter->state(), ndis::Adapter::State::Halted);
  EXPECT_GE(rig.loop.now() - before, 250000u);
  EXPECT_EQ(rig.adapter->memoryHeld(), 0u);
  EXPECT_EQ(rig.adapter->portRangesHeld(), 0u);
  EXPECT_FALSE(rig.adapter->interruptLine());
  EXPECT_EQ(rig.adapter->timersPending(), 0u);
  EXPECT_EQ(AdapterList, nullptr);
  EXPECT_FALSE(rig.controller->portEnabled());
  auto commands = commandsWritten(rig.bus);
  EXPECT_EQ(commands, std::vector<std::uint16_t>{CMD_INITIALIZE});
  EXPECT_TRUE(rig.host->findings().empty()) << rig.host->findings().front();
  // No timer tick comes after the halt.
  rig.settle(3000000);
  EXPECT_TRUE(rig.host->findings().empty());
}

TEST_F(RigTest, HaltingOneOfTwoAdaptersLeavesTheOther) {
  // A second card at 0x340 on interrupt 11, configured as Teskel2.
  sim::Controller second(rig.loop, rig.bus, 11);
  rig.bus.map(0x340, 64, second);
  rig.bringUp();
  for (const auto &v : rig.registry.store().values(DriverRig::kParms))
    rig.registry.store().setValue("Comm\\Teskel2\\Parms", v.name, v.type, v.data);
  rig.registry.store().setValue("Comm\\Teskel2\\Parms", "IoBaseAddress", REG_DWORD, {0x40, 0x03, 0, 0});
  rig.registry.store().setValue("Comm\\Teskel2\\Parms", "InterruptNumber", REG_DWORD, {11, 0, 0, 0});

  ndis::Adapter *a = rig.adapter;
  ndis::InitializeResult b = rig.host->initializeAdapter(*rig.driver, "Teskel2");
  ASSERT_EQ(b.status, NDIS_STATUS_SUCCESS);
  PADAPTER recordA = static_cast<PADAPTER>(a->context());
  PADAPTER recordB = static_cast<PADAPTER>(b.adapter->context());
  EXPECT_EQ(AdapterList, recordB);  // newest first
  EXPECT_EQ(recordB->Next, recordA);

  a->halt();
  EXPECT_EQ(AdapterList, recordB);
  EXPECT_EQ(recordB->Next, nullptr);
  EXPECT_TRUE(second.portEnabled());
  b.adapter->halt();
  EXPECT_EQ(AdapterList, nullptr);
  rig.bus.unmap(0x340);
}

TEST_F(RigTest, HaltingTheOlderOfThreeUnlinksItFromTheMiddle) {
  sim::Controller second(rig.loop, rig.bus, 11), third(rig.loop, rig.bus, 12);
  rig.bus.map(0x340, 64, second);
  rig.bus.map(0x380, 64, third);
  rig.bringUp();
  std::vector<ndis::Adapter *> adapters = {rig.adapter};
  for (int i = 2; i <= 3; ++i) {
    std::string key = "Comm\\Teskel" + std::to_string(i) + "\\Parms";
    for (const auto &v : rig.registry.store().values(DriverRig::kParms)) rig.registry.store().setValue(key, v.name, v.type, v.data);
    rig.registry.store().setValue(key, "IoBaseAddress", REG_DWORD, {static_cast<std::uint8_t>(i == 2 ? 0x40 : 0x80), 0x03, 0, 0});
    rig.registry.store().setValue(key, "InterruptNumber", REG_DWORD, {static_cast<std::uint8_t>(9 + i), 0, 0, 0});
    auto r = rig.host->initializeAdapter(*rig.driver, "Teskel" + std::to_string(i));
    ASSERT_EQ(r.status, NDIS_STATUS_SUCCESS);
    adapters.push_back(r.adapter);
  }
  auto record = [](ndis::Adapter *a) { return static_cast<PADAPTER>(a->context()); };
  // List: 3 -> 2 -> 1. Halting 2 bypasses it.
  adapters[1]->halt();
  EXPECT_EQ(AdapterList, record(adapters[2]));
  EXPECT_EQ(record(adapters[2])->Next, record(adapters[0]));
  adapters[2]->halt();
  adapters[0]->halt();
  EXPECT_EQ(AdapterList, nullptr);
  rig.bus.unmap(0x340);
  rig.bus.unmap(0x380);
}

// ---------------------------------------------------------------------------------------------
// Reset

TEST_F(RigTest, ResetRunsTheControllerResetTwice) {
  rig.bringUp();
  rig.bus.setTracing(true);
  rig.record()->InterruptMask = 0;
  ndis::ResetResult r = rig.adapter->reset();
  EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(rig.record()->InterruptMask, 0x89);

  auto commands = commandsWritten(rig.bus);
  auto count = [&](std::uint16_t c) { return std::count(commands.begin(), commands.end(), c); };
  EXPECT_EQ(count(CMD_INITIALIZE), 2);
  EXPECT_EQ(count(CMD_DISABLE), 2);
  EXPECT_EQ(count(CMD_ENABLE), 2);
  EXPECT_EQ(count(CMD_ALLOCATE), 10);
  auto enables = writesTo(rig.bus, REG_INT_ENABLE);
  ASSERT_FALSE(enables.empty());
  EXPECT_EQ(enables.back(), 0x89);
  EXPECT_TRUE(rig.controller->portEnabled());

  // The adapter runs on: once the card has joined its network again, a frame still goes out.
  for (int i = 0; i < 100 && !rig.portConnected(); ++i) rig.settle(10000);
  rig.send(ethernetFrame({0x02, 0, 0, 0, 0, 9}, rig.stationAddress(), 0x0800, pattern(46)));
  rig.settle();
  EXPECT_EQ(rig.transmitted.size(), 1u);
  EXPECT_TRUE(rig.controller->violations().empty()) << rig.controller->violations().front();
}

TEST_F(RigTest, ResetWhileTheControllerDoesNotAnswerStillSucceedsAndRecoversLater) {
  rig.bringUp();
  // Configuration reports no failure of its own, so neither does reset.
  rig.controller->addFault(sim::parseFault("command-timeout"));
  EXPECT_EQ(rig.adapter->reset().status, NDIS_STATUS_SUCCESS);
  rig.controller->clearFaults();
  EXPECT_EQ(rig.adapter->reset().status, NDIS_STATUS_SUCCESS);
  EXPECT_TRUE(rig.controller->portEnabled());
  EXPECT_EQ(rig.record()->TxSlotsAwaitingBuffer, nullptr);
}

}  // namespace
}  // namespace teskel::test
