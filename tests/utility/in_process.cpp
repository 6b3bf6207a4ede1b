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

int runInProcess(teskel::registry::Store &store, const std::filesystem::path &root, const RendererFactory &make) {
  resetProgramState();
  CurrentStore current(store);
  teskel::EventLoop loop(teskel::EventLoop::Mode::Virtual);
  teskel::ui::SessionOptions options;
  options.root = root;
  teskel::ui::Session session(loop, options);
  HINSTANCE instance = session.loadModule(
      std::span<const std::uint8_t>(teskel_program_res, static_cast<std::size_t>(teskel_program_res_size)));
  std::unique_ptr<teskel::ui::Renderer> renderer = make(session);
  session.setRenderer(renderer.get());
  std::u16string commandLine;
  int rc = WinMain(instance, nullptr, commandLine.data(), SW_SHOW);
  session.setRenderer(nullptr);
  return rc;
}

InProcessResult runInProcess(teskel::registry::Store &store, const std::filesystem::path &root,
                             const std::string &script) {
  std::istringstream in(script);
  std::ostringstream out, err;
  InProcessResult result;
  result.exitCode = runInProcess(store, root, [&](teskel::ui::Session &session) {
    return std::make_unique<teskel::ui::HeadlessRenderer>(session, in, out, err);
  });
  result.out = out.str();
  result.err = err.str();
  return result;
}

}  // namespace pemblo_test
