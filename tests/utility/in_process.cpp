// Pemblo's WinMain in the test process: the same start-up as the program's main, with the
// test's store and a script for the headless renderer.
#include "in_process.h"

#include <cstring>
#include <sstream>

#include "pemblo.h"
#include "teskel/event_loop.h"
#include "teskel/ui.h"
#include "teskel/ui_program.h"
#include "teskel/ui_render.h"

namespace pemblo_test {

namespace {

// The state a fresh process starts with; a run in the same process must not inherit the last.
void resetProgramState() {
  Instance = nullptr;
  MainWindow = nullptr;
  ConfigSheet = nullptr;
  SheetCreated = FALSE;
  std::memset(&SettingsCache, 0, sizeof(SettingsCache));
}

struct CurrentStore {
  explicit CurrentStore(teskel::registry::Store &store) { teskel::registry::setCurrentStore(&store); }
  ~CurrentStore() { teskel::registry::setCurrentStore(nullptr); }
};

}  // namespace

InProcessResult runInProcess(teskel::registry::Store &store, const std::filesystem::path &root,
                             const std::string &script) {
  resetProgramState();
  CurrentStore current(store);
  teskel::EventLoop loop(teskel::EventLoop::Mode::Virtual);
  teskel::ui::SessionOptions options;
  options.root = root;
  teskel::ui::Session session(loop, options);
  HINSTANCE instance = session.loadModule(
      std::span<const std::uint8_t>(teskel_program_res, static_cast<std::size_t>(teskel_program_res_size)));
  std::istringstream in(script);
  std::ostringstream out, err;
  teskel::ui::HeadlessRenderer renderer(session, in, out, err);
  session.setRenderer(&renderer);
  std::u16string commandLine;
  InProcessResult result;
  result.exitCode = WinMain(instance, nullptr, commandLine.data(), SW_SHOW);
  session.setRenderer(nullptr);
  result.out = out.str();
  result.err = err.str();
  return result;
}

}  // namespace pemblo_test
