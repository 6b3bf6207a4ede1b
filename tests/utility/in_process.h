// Pemblo's WinMain run inside the test process, on a virtual clock and a registry store the test
// holds, so that the store's named failures can be armed for the program's own calls.
#pragma once

#include <filesystem>
#include <string>

#include "teskel/registry_store.h"

namespace pemblo_test {

struct InProcessResult {
  int exitCode = -1;
  std::string out;  // what the headless renderer printed
  std::string err;  // its errors and the debug output ("debug: ..." lines)
};

// Runs the program as `pemblo --headless --root <root>` would, with `store` as the registry and
// `script` as the commands on its standard input; returns when WinMain does (the end of the
// script closes the program). The program's process-wide state starts as at process start.
InProcessResult runInProcess(teskel::registry::Store &store, const std::filesystem::path &root,
                             const std::string &script);

}  // namespace pemblo_test
