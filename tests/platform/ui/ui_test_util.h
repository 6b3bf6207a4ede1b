// Helpers of the UI tests: the resource files built for them, a session on a virtual clock with
// its own root folder, a window procedure that records what it receives, and headless scripts.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <windows.h>
#include <commctrl.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "teskel/coredll.h"
#include "teskel/event_loop.h"
#include "teskel/temp_dir.h"
#include "teskel/ui.h"
#include "teskel/ui_render.h"

namespace uitest {

inline std::vector<std::uint8_t> readFile(const std::filesystem::path &p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + p.string());
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline std::filesystem::path built(const std::string &name) {
  return std::filesystem::path(TESKEL_BINARY_DIR) / "tests" / "platform" / "ui" / name;
}

struct TempDir : teskel::test::TempDir {
  TempDir() : teskel::test::TempDir("teskel-ui-test") {}
};

inline std::string u8(const std::u16string &s) { return teskel::coredll::toUtf8(s); }
inline std::u16string u16(const std::string &s) { return teskel::coredll::fromUtf8(s); }

// What a recording window saw, one line a message: "name wParam lParam" for the messages a test
// names, in order.
struct Log {
  std::vector<std::string> lines;
  std::string joined() const {
    std::string out;
    for (const auto &l : lines) out += (out.empty() ? "" : "|") + l;
    return out;
  }
};

inline std::string messageName(UINT m) {
  switch (m) {
    case WM_CREATE: return "CREATE";
    case WM_NCCREATE: return "NCCREATE";
    case WM_DESTROY: return "DESTROY";
    case WM_NCDESTROY: return "NCDESTROY";
    case WM_CLOSE: return "CLOSE";
    case WM_TIMER: return "TIMER";
    case WM_COMMAND: return "COMMAND";
    case WM_NOTIFY: return "NOTIFY";
    case WM_USER: return "USER";
    case WM_USER + 1: return "USER1";
    case WM_USER + 2: return "USER2";
    case WM_APP: return "APP";
    case WM_SETFOCUS: return "SETFOCUS";
    case WM_KILLFOCUS: return "KILLFOCUS";
    case WM_SHOWWINDOW: return "SHOWWINDOW";
    case WM_INITDIALOG: return "INITDIALOG";
    case WM_LBUTTONDOWN: return "LBUTTONDOWN";
    case WM_LBUTTONUP: return "LBUTTONUP";
    default: return "";
  }
}

// The window procedure of the class "Recorder": the Log comes in through the creation parameter.
inline LRESULT CALLBACK RecorderProc(HWND h, UINT m, WPARAM wp, LPARAM lp) {
  if (m == WM_NCCREATE) SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW *>(lp)->lpCreateParams));
  auto *log = reinterpret_cast<Log *>(GetWindowLongPtrW(h, GWLP_USERDATA));
  std::string name = messageName(m);
  if (log && !name.empty() && m != WM_NCCREATE)
    log->lines.push_back(name + " " + std::to_string(wp) + " " + std::to_string(lp));
  if (m == WM_USER + 2) {
    // Sends a nested message while handling this one.
    log->lines.push_back("nested-send-returned " + std::to_string(SendMessageW(h, WM_USER + 1, 7, 8)));
    return 22;
  }
  if (m == WM_USER + 1) return static_cast<LRESULT>(wp + lp);
  return DefWindowProcW(h, m, wp, lp);
}

class UiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    teskel::ui::SessionOptions o;
    o.root = root.path();
    o.runtimeDir = root.path() / "run";
    session = std::make_unique<teskel::ui::Session>(loop, o);
    basic = session->loadModule(readFile(built("basic.res")));
    sheetRes = session->loadModule(readFile(built("sheet.res")));
    WNDCLASSW wc{};
    wc.lpfnWndProc = RecorderProc;
    wc.hInstance = basic;
    wc.lpszClassName = u"Recorder";
    ASSERT_NE(RegisterClassW(&wc), 0);
  }
  void TearDown() override {
    if (session) session->setRenderer(nullptr);
    headless.reset();
    session.reset();
  }

  HWND recorder(Log &log, HWND parent = nullptr, DWORD style = WS_CAPTION) {
    return CreateWindowExW(0, u"Recorder", u"rec", style, 0, 0, 100, 50, parent, nullptr, basic, &log);
  }

  // Installs a headless renderer reading `script`.
  void script(const std::string &text) {
    in.clear();
    in.str(text);
    headless = std::make_unique<teskel::ui::HeadlessRenderer>(*session, in, out, err);
    session->setRenderer(headless.get());
  }
  // Runs a message loop until WM_QUIT; returns the quit code.
  int loopUntilQuit() {
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0) {
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
    return static_cast<int>(m.wParam);
  }
  std::vector<std::string> outLines() const {
    std::vector<std::string> lines;
    std::istringstream s(out.str());
    for (std::string l; std::getline(s, l);) lines.push_back(l);
    return lines;
  }

  TempDir root;
  teskel::EventLoop loop{teskel::EventLoop::Mode::Virtual};
  std::unique_ptr<teskel::ui::Session> session;
  HINSTANCE basic = nullptr;
  HINSTANCE sheetRes = nullptr;
  std::istringstream in;
  std::ostringstream out, err;
  std::unique_ptr<teskel::ui::HeadlessRenderer> headless;
};

}  // namespace uitest
