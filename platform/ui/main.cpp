// Start-up of a handheld Win32 program on the host: command line, root folder, registry store,
// UI session with its renderer, the program's embedded resources, and WinMain.
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "teskel/coredll.h"
#include "teskel/registry_store.h"
#include "teskel/ui.h"
#include "teskel/ui_program.h"
#include "teskel/ui_render.h"

// The name shown by --help when the program gives none.
extern "C" {
__attribute__((weak)) const char *teskel_program_name = "program";
}

namespace {

void usage(const char *name) {
  std::cout << "Usage: " << name << " [--root DIR] [--headless] [ARGUMENT...]\n"
            << "Runs the handheld program " << name << " on this computer.\n"
            << "  --root DIR   the handheld's root folder (default: $TESKEL_ROOT, else\n"
            << "               ${XDG_STATE_HOME:-~/.local/state}/teskel); the registry and debug.log live there\n"
            << "  --headless   no terminal interface: commands on standard input, one a line\n"
            << "               (see platform/ui/README.md); the clock is virtual\n"
            << "  --help       this text\n"
            << "Further arguments reach the program as its command line.\n";
}

}  // namespace

int main(int argc, char **argv) {
  const char *name = teskel_program_name && *teskel_program_name ? teskel_program_name : "program";
  std::optional<std::string> root;
  bool headless = false;
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      usage(name);
      return 0;
    } else if (a == "--headless") {
      headless = true;
    } else if (a == "--root") {
      if (i + 1 >= argc) {
        std::cerr << name << ": --root needs a folder\n";
        return 2;
      }
      root = argv[++i];
    } else if (a.rfind("--root=", 0) == 0) {
      root = a.substr(7);
    } else if (a == "--") {
      for (++i; i < argc; ++i) rest.push_back(argv[i]);
    } else if (a.size() > 1 && a[0] == '-') {
      std::cerr << name << ": unknown option " << a << " (see --help)\n";
      return 2;
    } else {
      rest.push_back(a);
    }
  }
  try {
    std::filesystem::path dir = teskel::registry::resolveRoot(root);
    teskel::registry::Store store(dir / teskel::registry::kStoreFileName);
    teskel::registry::setCurrentStore(&store);
    struct StoreReset {
      ~StoreReset() { teskel::registry::setCurrentStore(nullptr); }
    } storeReset;

    teskel::EventLoop loop(headless ? teskel::EventLoop::Mode::Virtual : teskel::EventLoop::Mode::Wall);
    teskel::ui::SessionOptions options;
    options.root = dir;
    teskel::ui::Session session(loop, options);
    HINSTANCE instance = session.loadModule(
        std::span<const std::uint8_t>(teskel_program_res, static_cast<std::size_t>(teskel_program_res_size)));
    std::unique_ptr<teskel::ui::Renderer> renderer;
    if (headless)
      renderer = std::make_unique<teskel::ui::HeadlessRenderer>(session, std::cin, std::cout, std::cerr);
    else
      renderer = teskel::ui::makeTerminalRenderer(session);
    session.setRenderer(renderer.get());

    std::string line;
    for (const std::string &r : rest) line += (line.empty() ? "" : " ") + r;
    std::u16string commandLine = teskel::coredll::fromUtf8(line);
    int rc = WinMain(instance, nullptr, commandLine.data(), SW_SHOW);
    session.setRenderer(nullptr);
    renderer.reset();  // the terminal is given back before anything else is printed
    std::cout.flush();
    // The program leaves silently, as on the device; here the user also learns why.
    if (auto other = session.otherInstance())
      std::cerr << name << ": another " << name << " (process " << *other << ") runs on " << dir.string()
                << "; this one ends\n";
    return rc;
  } catch (const std::exception &e) {
    std::cerr << name << ": " << e.what() << "\n";
    return 1;
  }
}
