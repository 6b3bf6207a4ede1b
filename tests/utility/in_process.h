// Pemblo's WinMain run inside the test process, on a virtual clock and a registry store the test
// holds, so that the store's named failures can be armed for the program's own calls.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "teskel/registry_store.h"
#include "teskel/ui.h"

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

// The same with a renderer of the test's own making (it acts as the user whenever the program
// waits); returns WinMain's result.
using RendererFactory = std::function<std::unique_ptr<teskel::ui::Renderer>(teskel::ui::Session &)>;
int runInProcess(teskel::registry::Store &store, const std::filesystem::path &root, const RendererFactory &make);

}  // namespace pemblo_test
