// Every fault the controller model offers and every named failure of the NDIS host and the
// registry store, injected at bring-up, during traffic, just before a reset and just before halt,
// on the linked driver with the default radio world: no hang, the statuses and error-log entries
// the driver owes, every packet completed exactly once, and nothing held after halt.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "linked_driver.h"
#include "traffic_harness.h"

namespace teskel::test {
namespace {

using ndis::Call;
using registry::FailOp;

struct LogEntry {
  ULONG code;
  std::vector<ULONG> values;
  auto operator<=>(const LogEntry &) const = default;
};
using Log = std::set<LogEntry>;

enum class Phase { BringUp, Traffic, Reset, Halt };
const char *phaseName(Phase p) {
  switch (p) {
    case Phase::BringUp: return "AtBringUp";
    case Phase::Traffic: return "DuringTraffic";
    case Phase::Reset: return "BeforeReset";
    case Phase::Halt: return "BeforeHalt";
  }
  return "?";
}

void PrintTo(Phase p, std::ostream *os) { *os << phaseName(p); }

struct Row {
  std::string name;
  std::function<void(DriverRig &, Traffic &)> arm;
  NDIS_STATUS initStatus = NDIS_STATUS_SUCCESS;  // when armed before MiniportInitialize
  Log initLog;                                   // its error-log entries
  Log running;  // distinct entries written while the fault is on a running adapter with traffic
  bool entryFails = false;  // DriverEntry fails when armed before it
};
void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

const ULONG kNotFound = NDIS_ERROR_CODE_ADAPTER_NOT_FOUND;
const ULONG kHardware = NDIS_ERROR_CODE_HARDWARE_FAILURE;
const Log kNoAdapter = {{kNotFound, {}}};

Row controllerRow(std::string fault, NDIS_STATUS initStatus = NDIS_STATUS_SUCCESS, Log initLog = {}, Log running = {}) {
  Row r;
  r.name = "Fault_" + fault;
  r.arm = [fault](DriverRig &rig, Traffic &) { rig.controller->addFault(sim::parseFault(fault)); };
  r.initStatus = initStatus;
  r.initLog = std::move(initLog);
  r.running = std::move(running);
  return r;
}

Row hostRow(std::string name, Call call, unsigned nth, NDIS_STATUS initStatus, Log initLog, bool entryFails = false) {
  Row r;
  r.name = "Ndis_" + name;
  r.arm = [call, nth](DriverRig &rig, Traffic &) { rig.host->failNext(call, nth); };
  r.initStatus = initStatus;
  r.initLog = std::move(initLog);
  r.entryFails = entryFails;
  return r;
}

Row keywordRow(std::string keyword, NDIS_STATUS initStatus, Log initLog) {
  Row r;
  r.name = "NdisKeyword_" + keyword;
  r.arm = [keyword](DriverRig &rig, Traffic &) { rig.host->failKeyword(keyword); };
  r.initStatus = initStatus;
  r.initLog = std::move(initLog);
  return r;
}

Row registryRow(std::string name, FailOp op) {
  Row r;
  r.name = "Registry_" + name;
  r.arm = [op](DriverRig &rig, Traffic &) { rig.registry.store().failOn(op, "*", "*", -1); };
  return r;
}

// Concrete forms of every fault of the catalogue: the arguments pick the commands, records and
// paths the driver depends on most.
std::vector<Row> rows() {
  const Log infoLost = {{kHardware, {}}};
  Row none;
  none.name = "None";
  none.arm = [](DriverRig &, Traffic &) {};
  // Both access paths stop seeking between an indication and the stack's transfer-data.
  Row inTransfer;
  inTransfer.name = "Fault_seek-busy_in_transfer";
  inTransfer.arm = [](DriverRig &rig, Traffic &traffic) {
    traffic.beforeTransfer = [&rig] { rig.controller->addFault(sim::parseFault("seek-busy")); };
  };
  inTransfer.running = {{kHardware, {2}}, {kHardware, {}}};
  std::vector<Row> r = {
      none,
      inTransfer,
      controllerRow("command-busy", NDIS_STATUS_FAILURE, kNoAdapter),
      controllerRow("command-timeout", NDIS_STATUS_FAILURE, kNoAdapter),
      controllerRow("command-timeout=transmit"),
      controllerRow("command-timeout=allocate"),
      controllerRow("command-timeout=inquire"),
      controllerRow("command-error=initialize", NDIS_STATUS_FAILURE, kNoAdapter),
      controllerRow("command-error=enable"),
      controllerRow("command-error=transmit:3"),
      controllerRow("command-error=allocate:3"),
      controllerRow("command-error=access-write:4"),
      controllerRow("status-zero=access-read", NDIS_STATUS_FAILURE, kNoAdapter),
      controllerRow("status-zero=transmit"),
      controllerRow("rid-unreadable=0xFC01", NDIS_STATUS_FAILURE, kNoAdapter),
      controllerRow("rid-unreadable=0xFD40"),
      controllerRow("rid-unreadable=0xFD4F"),
      controllerRow("rid-readback=0xFC02"),
      controllerRow("rid-readback=0xFC28:2"),
      controllerRow("alloc-limit=0"),
      controllerRow("alloc-limit=3"),
      controllerRow("seek-busy", NDIS_STATUS_FAILURE, kNoAdapter, infoLost),
      controllerRow("seek-busy=0", NDIS_STATUS_FAILURE, kNoAdapter, infoLost),
      controllerRow("seek-busy=1"),
      controllerRow("aux-stuck"),
      controllerRow("tag-mismatch=1"),
      controllerRow("tag-mismatch=4"),
      controllerRow("tag-mismatch=40"),
      controllerRow("rx-drop=50"),
      controllerRow("rx-drop=100"),
      hostRow("AllocateMemory", Call::AllocateMemory, 1, NDIS_STATUS_FAILURE,
              {{NDIS_ERROR_CODE_OUT_OF_RESOURCES, {3}}}),
      hostRow("OpenConfiguration", Call::OpenConfiguration, 1, NDIS_STATUS_FAILURE,
              {{NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION, {23}}}),
      // The third read is "InterruptNumber": the entry's code is the read's status.
      hostRow("ReadConfiguration", Call::ReadConfiguration, 3, NDIS_STATUS_FAILURE,
              {{static_cast<ULONG>(NDIS_STATUS_FAILURE), {}}}),
      hostRow("RegisterIoPortRange", Call::RegisterIoPortRange, 1, NDIS_STATUS_FAILURE, {}),
      hostRow("RegisterInterrupt", Call::RegisterInterrupt, 1, NDIS_STATUS_FAILURE,
              {{NDIS_ERROR_CODE_INTERRUPT_CONNECT, {}}}),
      hostRow("RegisterMiniport", Call::RegisterMiniport, 1, NDIS_STATUS_FAILURE, {}, true),
      keywordRow("IoBaseAddress", NDIS_STATUS_FAILURE, {{static_cast<ULONG>(NDIS_STATUS_FAILURE), {}}}),
      // A parameter that cannot be read takes its default.
      keywordRow("SSID", NDIS_STATUS_SUCCESS, {}),
      registryRow("CreateKey", FailOp::CreateKey),
      registryRow("OpenKey", FailOp::OpenKey),
      registryRow("SetValue", FailOp::SetValue),
      registryRow("QueryValue", FailOp::QueryValue),
      registryRow("DeleteValue", FailOp::DeleteValue),
      registryRow("DeleteKey", FailOp::DeleteKey),
  };
  return r;
}

Log distinctLog(const ndis::Host &host) {
  Log out;
  for (const auto &e : host.errorLog()) out.insert({e.code, e.values});
  return out;
}

std::string describe(const Log &log) {
  std::string out = "{";
  for (const auto &e : log) {
    char b[40];
    std::snprintf(b, sizeof b, " 0x%08lX[", static_cast<unsigned long>(e.code));
    out += b;
    for (ULONG v : e.values) out += std::to_string(v) + " ";
    out += "]";
  }
  return out + " }";
}

// One row of the table at one phase.
class FaultSweep : public ::testing::TestWithParam<std::tuple<Row, Phase>> {
 protected:
  static constexpr std::size_t kTasksPerSecond = 200000;
  const sim::MacAddress kResponderSide = {0x02, 0x52, 0x45, 0x53, 0x50, 0x01};

  void run(Micros duration) {
    if (!runBounded(rig.loop, duration, kTasksPerSecond * (duration / kSecond + 1))) hung = true;
  }

  // Sends, receptions, information requests and status ticks for `duration`.
  void exercise(Micros duration) {
    static const NDIS_OID kQueries[] = {OID_GEN_XMIT_OK,       OID_GEN_RCV_OK,        OID_802_3_CURRENT_ADDRESS,
                                        OID_GEN_MEDIA_CONNECT_STATUS, OID_PRIV_LINK_STATUS, OID_PRIV_CURRENT_BSSID,
                                        OID_PRIV_TALLIES,      OID_PRIV_REGISTERS,    OID_PRIV_LINK_QUALITY};
    const sim::MacAddress me = rig.stationAddress();
    for (Micros spent = 0; spent < duration && !hung; spent += 50000, ++step) {
      traffic.send(arpRequest(me, {192, 168, 77, 2}, {192, 168, 77, 1}));
      traffic.send(ethernetFrame(DriverRig::kBssid, me, 0x0800, pattern(40 + (step * 97) % 1400, std::uint8_t(step))),
                   {7, 20});
      if (step % 10 == 5) {
        // Packets the driver must refuse: empty, a runt, longer than any Ethernet frame.
        const std::size_t sizes[] = {0, 9, 1800};
        traffic.send(pattern(sizes[(step / 10) % 3]), {});
      }
      rig.receive(snapBody(pattern(30 + (step * 53) % 1400, std::uint8_t(step))), kResponderSide);
      Bytes buffer(64, 0);
      auto q = rig.adapter->queryInformation(kQueries[step % std::size(kQueries)], buffer);
      EXPECT_LE(q.bytesDone, buffer.size());
      if (step % 20 == 0) {
        // The auxiliary port: enable, read eight bytes of production data, disable.
        rig.adapter->setInformation(OID_PRIV_AUX_ENABLE, {});
        Bytes request(14, 0);
        request[2] = 0x3F;  // address 0x3F0000, 8 bytes
        request[4] = 8;
        rig.adapter->queryInformation(OID_PRIV_AUX_MEMORY, request);
        rig.adapter->setInformation(OID_PRIV_AUX_DISABLE, {});
      }
      run(50000);
    }
  }

  // Sends that stay queued with the driver (the air cannot take them all at once).
  void queueSends(int count) {
    const sim::MacAddress me = rig.stationAddress();
    for (int i = 0; i < count; ++i) traffic.send(ethernetFrame(DriverRig::kBssid, me, 0x0800, pattern(1400)));
    run(1000);
  }

  void expectNothingHeld(ndis::Adapter *a) {
    EXPECT_EQ(a->memoryHeld(), 0u);
    EXPECT_EQ(a->portRangesHeld(), 0u);
    EXPECT_FALSE(a->interruptLine());
    EXPECT_EQ(a->timersPending(), 0u);
    EXPECT_EQ(rig.host->memoryHeld(), 0u);
    EXPECT_EQ(AdapterList, nullptr);
  }

  void expectEveryPacketOnce() {
    EXPECT_EQ(traffic.uncompleted(), 0u) << "of " << traffic.sent.size() << " sends";
    EXPECT_EQ(traffic.doubles, 0u);
    EXPECT_EQ(traffic.strangers, 0u);
  }

  DriverRig rig{linkedDriver()};
  Traffic traffic{rig};
  Watchdog watchdog{rig.loop};
  bool hung = false;
  unsigned step = 0;
};

TEST_P(FaultSweep, NoHangTheOwedStatusesEveryPacketOnceNothingHeld) {
  const auto &[row, phase] = GetParam();
  rig.install();
  ASSERT_FALSE(HasFatalFailure());
  if (phase == Phase::BringUp) row.arm(rig, traffic);

  ndis::Driver &driver = rig.load();
  if (!driver.registered()) {
    EXPECT_TRUE(row.entryFails && phase == Phase::BringUp);
    EXPECT_EQ(driver.entryStatus(), NDIS_STATUS_FAILURE);
    EXPECT_EQ(rig.host->memoryHeld(), 0u);
    return;
  }
  ndis::InitializeResult init = rig.initialize();
  if (phase == Phase::BringUp && !row.entryFails) {
    EXPECT_EQ(init.status, row.initStatus);
    EXPECT_EQ(distinctLog(*rig.host), row.initLog) << describe(distinctLog(*rig.host));
  } else {
    ASSERT_EQ(init.status, NDIS_STATUS_SUCCESS);
  }
  if (init.status != NDIS_STATUS_SUCCESS) {
    EXPECT_EQ(init.adapter->state(), ndis::Adapter::State::Failed);
    expectNothingHeld(init.adapter);
    EXPECT_TRUE(rig.host->findings().empty()) << rig.host->findings().front();
    return;
  }
  ndis::Adapter *adapter = rig.adapter;
  watchdog.watch(adapter);
  traffic.bind();
  rig.host->clearErrorLog();
  run(1500000);  // the card joins Harbor

  if (phase == Phase::Traffic) row.arm(rig, traffic);
  exercise(2 * kSecond);
  if (phase == Phase::Reset) row.arm(rig, traffic);
  queueSends(12);
  const std::size_t failedBefore = traffic.byStatus[NDIS_STATUS_FAILURE];
  const std::size_t queued = traffic.uncompleted();
  ndis::ResetResult reset = adapter->reset();
  EXPECT_EQ(reset.status, NDIS_STATUS_SUCCESS);
  // A sent packet is completed once its frame is in a controller buffer: those still
  // uncompleted were queued, and the reset fails every one of them.
  EXPECT_EQ(traffic.uncompleted(), 0u);
  EXPECT_EQ(traffic.byStatus[NDIS_STATUS_FAILURE] - failedBefore, queued);
  exercise(kSecond);
  const Log seenRunning = distinctLog(*rig.host);

  // With the fault gone, a reset brings the adapter back to full service.
  rig.controller->clearFaults();
  traffic.beforeTransfer = nullptr;
  rig.host->clearFailures();
  rig.registry.store().clearFailures();
  rig.host->clearErrorLog();
  EXPECT_EQ(adapter->reset().status, NDIS_STATUS_SUCCESS);
  run(2500000);  // joined again, and a tick has set the WEP flags from the registry
  const std::size_t onAir = rig.transmitted.size(), received = traffic.transfers;
  exercise(1500000);
  EXPECT_GT(rig.transmitted.size() - onAir, 40u) << "sends did not recover";
  EXPECT_GT(traffic.transfers - received, 40u) << "receptions did not recover";
  EXPECT_TRUE(rig.host->errorLog().empty()) << describe(distinctLog(*rig.host));

  rig.host->clearErrorLog();
  if (phase == Phase::Halt) row.arm(rig, traffic);
  queueSends(12);
  adapter->halt();
  EXPECT_EQ(adapter->state(), ndis::Adapter::State::Halted);

  EXPECT_FALSE(hung);
  if (phase != Phase::Halt) {
    EXPECT_EQ(seenRunning, row.running) << describe(seenRunning);
  }
  EXPECT_TRUE(rig.host->errorLog().empty()) << "halt wrote " << describe(distinctLog(*rig.host));
  expectEveryPacketOnce();
  expectNothingHeld(adapter);
  EXPECT_TRUE(rig.host->findings().empty()) << rig.host->findings().front();
  for (const auto &v : rig.controller->violations()) ADD_FAILURE() << "the controller recorded " << v;
  std::printf("%s %s: %zu sends (%zu ok, %zu failed), %zu indicated, %zu transferred, %zu failed transfers, "
              "%zu frames on the air\n",
              row.name.c_str(), phaseName(phase), traffic.sent.size(), traffic.byStatus[NDIS_STATUS_SUCCESS],
              traffic.byStatus[NDIS_STATUS_FAILURE], traffic.indicated, traffic.transfers, traffic.failedTransfers,
              rig.transmitted.size());
  if (row.name == "None") {
    // The run without a fault does what the others are measured against.
    EXPECT_GT(rig.transmitted.size(), traffic.sent.size() / 2);
    EXPECT_GT(traffic.transfers, 100u);
    EXPECT_EQ(traffic.failedTransfers, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultSweep,
    ::testing::Combine(::testing::ValuesIn(rows()),
                       ::testing::Values(Phase::BringUp, Phase::Traffic, Phase::Reset, Phase::Halt)),
    [](const auto &info) {
      std::string name = std::get<0>(info.param).name + "_" + phaseName(std::get<1>(info.param));
      for (char &c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

// The table covers the whole catalogue: a fault added to the model must be added here too.
TEST(FaultSweepTable, CoversEveryFaultOfTheCatalogue) {
  std::set<std::string> swept;
  for (const Row &r : rows())
    if (r.name.rfind("Fault_", 0) == 0) swept.insert(r.name.substr(6, r.name.find('=') - 6));
  for (const auto &h : sim::faultCatalogue())
    EXPECT_EQ(swept.count(h.syntax.substr(0, h.syntax.find_first_of("[="))), 1u) << h.syntax << " is not swept";
}

}  // namespace
}  // namespace teskel::test
