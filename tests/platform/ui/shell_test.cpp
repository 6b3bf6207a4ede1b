// The shell around a program: tray icons and taps, message boxes answered from a script, debug
// output, and FindWindowW within the process and across processes.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "ui_test_util.h"

using namespace uitest;

namespace {

class ShellTest : public UiTest {
 protected:
  NOTIFYICONDATAW icon(HWND h, UINT id, UINT flags, int picture) {
    NOTIFYICONDATAW d{};
    d.cbSize = 152;  // the size a program built for the device passes
    d.hWnd = h;
    d.uID = id;
    d.uFlags = flags;
    d.uCallbackMessage = WM_APP;
    d.hIcon = picture ? LoadIconW(basic, MAKEINTRESOURCEW(picture)) : nullptr;
    return d;
  }
};

TEST_F(ShellTest, TrayIconsAddModifyDelete) {
  Log log;
  HWND h = recorder(log);
  NOTIFYICONDATAW d = icon(h, 5000, NIF_MESSAGE | NIF_ICON, 104);
  EXPECT_FALSE(Shell_NotifyIcon(NIM_MODIFY, &d)) << "nothing to modify yet";
  EXPECT_TRUE(Shell_NotifyIcon(NIM_ADD, &d));
  EXPECT_FALSE(Shell_NotifyIcon(NIM_ADD, &d)) << "the same window and id twice";
  script("tray-picture\n");
  headless->waitInput(std::nullopt);
  d = icon(h, 5000, NIF_ICON, 108);
  EXPECT_TRUE(Shell_NotifyIcon(NIM_MODIFY, &d));
  headless->execute("tray-picture");
  EXPECT_TRUE(Shell_NotifyIcon(NIM_DELETE, &d));
  EXPECT_FALSE(Shell_NotifyIcon(NIM_DELETE, &d));
  headless->execute("tray-picture");
  EXPECT_EQ(outLines(), (std::vector<std::string>{"tray-picture 104", "tray-picture 108", "tray-picture none"}));
}

TEST_F(ShellTest, RecordSizeMustBeTheDevicesOrTheHosts) {
  Log log;
  HWND h = recorder(log);
  NOTIFYICONDATAW d = icon(h, 1, NIF_ICON, 104);
  d.cbSize = 100;
  EXPECT_FALSE(Shell_NotifyIcon(NIM_ADD, &d));
  d.cbSize = sizeof(NOTIFYICONDATAW);
  EXPECT_TRUE(Shell_NotifyIcon(NIM_ADD, &d));
  d.hWnd = reinterpret_cast<HWND>(0x4444);
  EXPECT_FALSE(Shell_NotifyIcon(NIM_ADD, &d)) << "no such window";
}

TEST_F(ShellTest, TapSendsTheCallbackWithTheMouseMessage) {
  Log log;
  HWND h = recorder(log);
  NOTIFYICONDATAW d = icon(h, 5000, NIF_MESSAGE | NIF_ICON, 104);
  ASSERT_TRUE(Shell_NotifyIcon(NIM_ADD, &d));
  log.lines.clear();
  script("tray\n");
  EXPECT_EQ(loopUntilQuit(), 0);
  ASSERT_GE(log.lines.size(), 2u);
  EXPECT_EQ(log.lines[0], "APP 5000 " + std::to_string(WM_LBUTTONDOWN));
  EXPECT_EQ(log.lines[1], "APP 5000 " + std::to_string(WM_LBUTTONUP));
  // The loop ended by closing the window; the icon it left behind goes when it is touched.
  EXPECT_FALSE(IsWindow(h));
  EXPECT_EQ(session->trayIcons().size(), 1u);
  EXPECT_FALSE(session->tapTray(0));
  EXPECT_TRUE(session->trayIcons().empty());
  // Without NIF_MESSAGE a tap tells nobody.
  Log other;
  HWND h2 = recorder(other);
  NOTIFYICONDATAW quiet = icon(h2, 1, NIF_ICON, 108);
  ASSERT_TRUE(Shell_NotifyIcon(NIM_ADD, &quiet));
  other.lines.clear();
  EXPECT_TRUE(session->tapTray(0));
  session->pump();
  EXPECT_TRUE(other.lines.empty());
}

TEST_F(ShellTest, TrayBarShowsThePictureAndATapOnItWorks) {
  Log log;
  HWND h = recorder(log);
  NOTIFYICONDATAW d = icon(h, 5000, NIF_MESSAGE | NIF_ICON, 108);
  ASSERT_TRUE(Shell_NotifyIcon(NIM_ADD, &d));
  script("screen\n");
  headless->waitInput(std::nullopt);
  auto lines = outLines();
  ASSERT_EQ(lines.size(), 26u);
  EXPECT_EQ(lines[24], "Tray: [* disconnected]");
  log.lines.clear();
  headless->execute("tap 8 23");
  session->pump();
  ASSERT_FALSE(log.lines.empty());
  EXPECT_EQ(log.lines[0], "APP 5000 " + std::to_string(WM_LBUTTONDOWN));
  EXPECT_FALSE(headless->execute("tap 79 0"));
}

TEST_F(ShellTest, MessageBoxAnswersFromTheScript) {
  struct Case {
    const char *script;
    UINT type;
    int result;
    const char *shown;
  } cases[] = {
      {"answer CANCEL\n", MB_OKCANCEL, IDCANCEL, "messagebox caption=\"Larkwell 802.11 adapter\" text=\"Reinsert.\" buttons=OK,CANCEL"},
      {"answer OK\n", MB_OKCANCEL, IDOK, nullptr},
      {"answer OK\nanswer NO\n", MB_YESNO, IDNO, nullptr},  // the first answer queued doesn't fit; the second does
      {"screen\nanswer OK\n", MB_OK, IDOK, nullptr},          // nothing queued: the box waits for commands
      {"", MB_OKCANCEL, IDCANCEL, nullptr},                   // input ends: the box is cancelled
      {"", MB_OK, IDOK, nullptr},
  };
  for (const auto &c : cases) {
    out.str("");
    err.str("");
    script(c.script);
    if (std::string(c.script).rfind("answer", 0) == 0) headless->waitInput(std::nullopt);  // queued before the box
    int r = MessageBoxW(nullptr, u"Reinsert.", u"Larkwell 802.11 adapter", c.type);
    EXPECT_EQ(r, c.result) << c.script;
    if (c.shown) {
      EXPECT_EQ(outLines().at(0), c.shown);
    }
  }
}

TEST_F(ShellTest, InvalidAnswerKeepsTheBoxOpenAndTimersRunMeanwhile) {
  Log log;
  HWND h = recorder(log);
  SetTimer(h, 1, 1000, nullptr);
  log.lines.clear();
  script("answer RETRY\nadvance 2000\nscreen\nanswer OK\n");
  EXPECT_EQ(MessageBoxW(h, u"Saved.", u"Debug", MB_OK), IDOK);
  EXPECT_NE(err.str().find("error: the message box has no RETRY button"), std::string::npos) << err.str();
  EXPECT_EQ(log.joined(), "TIMER 1 0|TIMER 1 0") << "the program's timers run while the box is up";
  std::string screen = out.str();
  EXPECT_NE(screen.find("+- Debug -"), std::string::npos) << screen;
  EXPECT_NE(screen.find("Saved."), std::string::npos);
  EXPECT_NE(screen.find("< OK >"), std::string::npos);
  EXPECT_TRUE(IsWindowEnabled(h)) << "the owner is enabled again";
}

TEST_F(ShellTest, DebugOutputGoesToTheLogFileAndStderr) {
  script("");
  OutputDebugStringW(u"AddKeyValue:RegSetValueEx <<Fail>>\r\n");
  OutputDebugStringW(u"second\r\n");
  std::ifstream log(root.path() / "debug.log", std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(log)), {});
  EXPECT_EQ(content, "AddKeyValue:RegSetValueEx <<Fail>>\r\nsecond\r\n");
  EXPECT_EQ(err.str(), "debug: AddKeyValue:RegSetValueEx <<Fail>>\ndebug: second\n");
  EXPECT_EQ(session->debugLogPath(), root.path() / "debug.log");
}

TEST_F(ShellTest, FindWindowInThisProcess) {
  Log log;
  HWND h = CreateWindowExW(0, u"Recorder", u"Pemblo", 0, 0, 0, 1, 1, nullptr, nullptr, basic, &log);
  EXPECT_EQ(FindWindowW(u"Recorder", u"Pemblo"), h);
  EXPECT_EQ(FindWindowW(u"RECORDER", u"pemblo"), h) << "class and title match without regard to case";
  EXPECT_EQ(FindWindowW(nullptr, u"Pemblo"), h);
  EXPECT_EQ(FindWindowW(u"Recorder", u"Other"), nullptr);
  EXPECT_EQ(FindWindowW(u"Other", nullptr), nullptr);
  SetWindowTextW(h, u"Renamed");
  EXPECT_EQ(FindWindowW(u"Recorder", u"Pemblo"), nullptr);
  EXPECT_EQ(FindWindowW(u"Recorder", u"Renamed"), h);
}

// Waits (with a deadline) until `fd` has a line and returns it, or "" on timeout or end.
std::string readLine(int fd, std::chrono::milliseconds deadline) {
  std::string line;
  auto end = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return "";
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
    char c;
    if (read(fd, &c, 1) != 1) return "";
    if (c == '\n') return line;
    line += c;
  }
}

TEST_F(ShellTest, FindWindowAcrossProcesses) {
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  std::filesystem::path run = root.path() / "run";
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The other process: its own session over the same runtime folder, one window, then it
    // waits until the test lets it go.
    close(ready[0]);
    close(release[1]);
    session.reset();  // one session a process: the copy of the parent's makes way
    teskel::EventLoop childLoop;
    {
      std::unique_ptr<teskel::ui::Session> mine;
      teskel::ui::SessionOptions o;
      o.root = root.path();
      o.runtimeDir = run;
      mine = std::make_unique<teskel::ui::Session>(childLoop, o);
      WNDCLASSW wc{};
      wc.lpfnWndProc = DefWindowProcW;
      wc.lpszClassName = u"Larkwell Hidden";
      RegisterClassW(&wc);
      CreateWindowExW(WS_EX_NOANIMATION, u"Larkwell Hidden", u"Pemblo", WS_CAPTION, 0, 0, CW_USEDEFAULT,
                      CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
      if (write(ready[1], "up\n", 3) != 3) _exit(2);
      char c;
      while (read(release[0], &c, 1) > 0) {
      }
      mine.reset();
    }
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  ASSERT_EQ(readLine(ready[0], std::chrono::seconds(20)), "up");
  HWND other = FindWindowW(u"Larkwell Hidden", u"Pemblo");
  EXPECT_NE(other, nullptr);
  EXPECT_TRUE(IsWindow(other));
  EXPECT_EQ(FindWindowW(u"Larkwell Hidden", u"Other"), nullptr);
  EXPECT_FALSE(PostMessageW(other, WM_CLOSE, 0, 0)) << "no messages across processes";
  close(release[1]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(ready[0]);
  EXPECT_EQ(FindWindowW(u"Larkwell Hidden", u"Pemblo"), nullptr) << "its entry went with it";
  EXPECT_FALSE(IsWindow(other));
}

TEST_F(ShellTest, EntriesOfDeadProcessesAreIgnoredAndRemoved) {
  std::filesystem::path dir = session->windowsDir();
  ASSERT_FALSE(dir.empty());
  // An entry left behind by a process that no longer runs (a child that has been reaped).
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_GT(gone, 0);
  waitpid(gone, nullptr, 0);
  std::filesystem::path stale = dir / (std::to_string(gone) + "-10000");
  {
    std::ofstream f(stale);
    f << "pid=" << gone << "\nclass=Larkwell Hidden\ntitle=Pemblo\n";
  }
  EXPECT_EQ(FindWindowW(u"Larkwell Hidden", u"Pemblo"), nullptr);
  EXPECT_FALSE(std::filesystem::exists(stale));
  // A living process that doesn't hold the publisher's lock got the id of a dead publisher.
  std::filesystem::path recycled = dir / (std::to_string(getppid()) + "-10000");
  {
    std::ofstream f(recycled);
    f << "pid=" << getppid() << "\nclass=Larkwell Hidden\ntitle=Pemblo\n";
  }
  EXPECT_EQ(FindWindowW(u"Larkwell Hidden", u"Pemblo"), nullptr);
  EXPECT_FALSE(std::filesystem::exists(recycled));
}

TEST_F(ShellTest, PublishedEntriesFollowTheWindows) {
  std::filesystem::path dir = session->windowsDir();
  auto count = [&] {
    return std::count_if(std::filesystem::directory_iterator(dir), {}, [](const auto &e) {
      return e.path().filename().string()[0] != '.';
    });
  };
  auto lock = dir / ("." + std::to_string(getpid()) + ".lock");
  EXPECT_TRUE(std::filesystem::exists(lock)) << "held while the session publishes";
  EXPECT_EQ(count(), 0);
  Log log;
  HWND top = recorder(log);
  recorder(log, top, WS_CHILD);
  EXPECT_EQ(count(), 1) << "top-level windows only";
  DestroyWindow(top);
  EXPECT_EQ(count(), 0);
  recorder(log);
  session.reset();
  EXPECT_EQ(count(), 0) << "the session's end removes what is left";
  EXPECT_FALSE(std::filesystem::exists(lock));
}

TEST(RuntimeFolder, PerUserAndPerRoot) {
  TempDir a, b;
  EXPECT_EQ(teskel::ui::rootKey(a.path()), teskel::ui::rootKey(a.path() / "." / ""));
  EXPECT_NE(teskel::ui::rootKey(a.path()), teskel::ui::rootKey(b.path()));
  TempDir xdg;
  setenv("XDG_RUNTIME_DIR", xdg.path().c_str(), 1);
  teskel::EventLoop loop;
  teskel::ui::SessionOptions o;
  o.root = a.path();
  const auto user = xdg.path() / ("teskel-" + std::to_string(getuid()));
  {
    teskel::ui::Session s(loop, o);
    EXPECT_EQ(s.windowsDir(), user / teskel::ui::rootKey(a.path()) / "windows");
    EXPECT_EQ(std::filesystem::status(user).permissions(), std::filesystem::perms::owner_all);
  }
  EXPECT_FALSE(std::filesystem::exists(user / teskel::ui::rootKey(a.path()))) << "left behind for the root";

  // The user's folder made by somebody else first (to keep the program from starting) is passed over.
  if (geteuid() == 0) {
    std::filesystem::create_directory(user);
    ASSERT_EQ(chown(user.c_str(), 4321, 4321), 0);
    {
      teskel::ui::Session s(loop, o);
      EXPECT_NE(s.windowsDir().string().find(user.string()), 0u) << s.windowsDir();
      EXPECT_TRUE(std::filesystem::exists(s.windowsDir()));
    }
    std::filesystem::remove(user);
  }
  unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
