// Fuzz target: the registry contents the driver reads. Every value of its key, of any type and
// size (or missing), before initialisation and again between its status ticks.
#include <string>
#include <vector>

#include "support/fuzz_rig.h"

namespace {

using namespace teskel;

// Every value the driver reads from Comm\Teskel1\Parms, and those it publishes there.
constexpr const char *kNames[] = {
    "BusNumber",  "BusType",       "InterruptNumber", "IoBaseAddress", "CardType",     "NetworkType",
    "RTSThresh",  "FragThresh",    "SSID",            "StationName",   "TxRate",       "VendorDesc",
    "PSMode",     "PSLevel",       "Encapsulation",   "WepReq",        "DefaultKeyId", "DefaultKeys",
    "ATIMWindow", "ListenInterval", "DSChannel",      "LinkState",     "bytein",       "byteout"};

// One value rewritten (any type, any bytes) or taken away.
void scramble(FuzzedDataProvider &in, test::DriverRig &rig) {
  const std::string name = in.PickValueInArray(kNames);
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
    rig.removeParm(name);
    return;
  }
  const std::uint32_t type = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, 8)
                                              : in.ConsumeIntegral<std::uint32_t>();
  const std::size_t length = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::size_t>(0, 8)
                                              : in.ConsumeIntegralInRange<std::size_t>(0, 600);
  std::vector<std::uint8_t> bytes = in.ConsumeBytes<std::uint8_t>(length);
  rig.registry.store().setValue(test::DriverRig::kParms, name, type, bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  auto rig = fuzz::makeRig();
  rig->install();
  for (int n = in.ConsumeIntegralInRange<int>(0, 12); n > 0; --n) scramble(in, *rig);
  ndis::InitializeResult result = rig->initialize();
  if (!rig->adapter) return 0;
  if (result.status != NDIS_STATUS_SUCCESS) {
    fuzz::checkReleased(*rig->adapter, "after a failed initialisation");
    return 0;
  }
  // Status ticks come every second; values change between them.
  for (int tick = 0; tick < 6 && in.remaining_bytes() > 0; ++tick) {
    for (int n = in.ConsumeIntegralInRange<int>(0, 3); n > 0; --n) scramble(in, *rig);
    rig->settle(in.ConsumeIntegralInRange<Micros>(100000, 1500000));
    if (rig->adapter->state() != ndis::Adapter::State::Running) return 0;
  }
  fuzz::haltAndCheck(*rig);
  return 0;
}
