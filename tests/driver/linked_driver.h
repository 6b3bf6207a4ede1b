// The driver linked into the test program, for the rig, and the fixture every static driver test
// starts from.
#pragma once

#include <gtest/gtest.h>

#include "driver_fixture.h"

namespace teskel::test {

inline DriverImage linkedDriver() { return DriverImage{DriverEntry, Install_Driver}; }

class RigTest : public ::testing::Test {
 protected:
  explicit RigTest(sim::ControllerOptions options = {}) : rig(linkedDriver(), std::move(options)) {}
  DriverRig rig;
};

}  // namespace teskel::test
