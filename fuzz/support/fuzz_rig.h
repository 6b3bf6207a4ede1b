// What the driver fuzz targets share: a simulated handheld brought up on the virtual clock with the
// driver linked in, the checks every run ends with, and a failure that stops the fuzzer.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "linked_driver.h"
#include "oid/oid.h"

namespace teskel::fuzz {

// A broken invariant is a finding like a sanitizer report: say what, and stop so the input is kept.
[[noreturn]] inline void fail(const std::string &what) {
  std::fprintf(stderr, "fuzz finding: %s\n", what.c_str());
  std::abort();
}

// A rig whose NDIS verifier findings (the driver misusing the wrapper) are failures.
inline std::unique_ptr<test::DriverRig> makeRig() {
  auto rig = std::make_unique<test::DriverRig>(test::linkedDriver());
  rig->host->setFindingListener([](const std::string &finding) { fail("NDIS verifier: " + finding); });
  return rig;
}

// Brings the adapter up with the installed parameters (changed by `configure`); that must work
// whatever comes after.
inline std::unique_ptr<test::DriverRig> runningRig(const std::function<void(test::DriverRig &)> &configure = {}) {
  auto rig = makeRig();
  rig->install();
  if (configure) configure(*rig);
  rig->bringUp();
  if (!rig->adapter || rig->adapter->state() != ndis::Adapter::State::Running) fail("the adapter did not come up");
  // Bring-up leaves WEP on until the first status tick applies the registry's "WepReq".
  rig->settle(1100000);
  return rig;
}

// An adapter that failed to initialise or was halted holds nothing the wrapper gave it.
inline void checkReleased(const ndis::Adapter &adapter, const std::string &when) {
  if (adapter.memoryHeld() != 0) fail("memory held " + when);
  if (adapter.timersPending() != 0) fail("timers pending " + when);
  if (adapter.interruptLine()) fail("interrupt held " + when);
  if (adapter.portRangesHeld() != 0) fail("port range held " + when);
}

// Halts a running adapter and checks that it let go of everything.
inline void haltAndCheck(test::DriverRig &rig) {
  if (!rig.adapter || rig.adapter->state() != ndis::Adapter::State::Running) return;
  rig.settle(50000);
  rig.adapter->halt();
  checkReleased(*rig.adapter, "after halt");
}

// Any OID of the supported list, or one of a few outside it (unused, neighbours, wild).
inline NDIS_OID pickOid(FuzzedDataProvider &in) {
  static constexpr NDIS_OID kOutside[] = {0, 0xFFFFFFFF, OID_PRIV_UNUSED_18A, 0x00010117, 0x00020106,
                                          0x01010105, 0xFF010190, 0xFF0201A0, 0x00010100};
  const unsigned pick = in.ConsumeIntegralInRange<unsigned>(0, SUPPORTED_OID_COUNT + std::size(kOutside));
  if (pick < SUPPORTED_OID_COUNT) return SupportedOids[pick];
  if (pick < SUPPORTED_OID_COUNT + std::size(kOutside)) return kOutside[pick - SUPPORTED_OID_COUNT];
  return in.ConsumeIntegral<NDIS_OID>();
}

// A buffer length: mostly near the sizes requests use, sometimes anything up to 64 KiB.
inline std::size_t pickLength(FuzzedDataProvider &in) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return in.ConsumeIntegralInRange<std::size_t>(0, 8);
    case 1: return in.ConsumeIntegralInRange<std::size_t>(0, 64);
    case 2: return in.ConsumeIntegralInRange<std::size_t>(0, 2400);
    default: return in.ConsumeIntegralInRange<std::size_t>(0, 65535);
  }
}

}  // namespace teskel::fuzz
