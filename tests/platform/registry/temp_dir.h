// A fresh folder for one test, removed with everything in it afterwards.
#pragma once

#include "teskel/temp_dir.h"

namespace teskel::testing {
using TempDir = teskel::test::TempDir;
}  // namespace teskel::testing
