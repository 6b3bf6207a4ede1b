// Windows and the thread's message queue: creation and destruction order, Send against Post, the
// quit message, filters, and timers on the virtual clock.
#include "ui_test_util.h"

using namespace uitest;

namespace {

class MessagesTest : public UiTest {};

TEST_F(MessagesTest, CreationRunsCreateAndTheTextIsSet) {
  Log log;
  HWND h = recorder(log);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0].rfind("CREATE 0 ", 0), 0u) << log.lines[0];
  WCHAR buf[16];
  EXPECT_EQ(GetWindowTextW(h, buf, 16), 3);
  EXPECT_EQ(std::u16string(buf), u"rec");
  EXPECT_FALSE(IsWindowVisible(h));
  EXPECT_EQ(GetParent(h), nullptr);
}

LRESULT CALLBACK RefusingProc(HWND h, UINT m, WPARAM wp, LPARAM lp) {
  if (m == WM_CREATE) return -1;
  return DefWindowProcW(h, m, wp, lp);
}

TEST_F(MessagesTest, CreationFailsForUnknownClassRefusalOrMissingParent) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = RefusingProc;
  wc.hInstance = basic;
  wc.lpszClassName = u"Refusing";
  ASSERT_NE(RegisterClassW(&wc), 0);
  EXPECT_EQ(CreateWindowExW(0, u"Refusing", u"", 0, 0, 0, 1, 1, nullptr, nullptr, basic, nullptr), nullptr);
  EXPECT_EQ(CreateWindowExW(0, u"NoSuchClass", u"", 0, 0, 0, 1, 1, nullptr, nullptr, basic, nullptr), nullptr);
  EXPECT_EQ(CreateWindowExW(0, u"BUTTON", u"", WS_CHILD, 0, 0, 1, 1, nullptr, nullptr, basic, nullptr), nullptr);
  EXPECT_EQ(FindWindowW(u"Refusing", nullptr), nullptr) << "a refused window leaves nothing behind";
}

TEST_F(MessagesTest, ClassRegistrationRules) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = RecorderProc;
  wc.hInstance = basic;
  wc.lpszClassName = u"recorder";  // same name, other case
  EXPECT_EQ(RegisterClassW(&wc), 0);
  wc.lpszClassName = nullptr;
  EXPECT_EQ(RegisterClassW(&wc), 0);
  Log log;
  HWND h = recorder(log);
  EXPECT_FALSE(UnregisterClassW(u"Recorder", basic)) << "still in use";
  DestroyWindow(h);
  EXPECT_FALSE(UnregisterClassW(u"Recorder", sheetRes)) << "another module's class";
  EXPECT_TRUE(UnregisterClassW(u"RECORDER", basic));
  EXPECT_FALSE(UnregisterClassW(u"Recorder", basic));
}

TEST_F(MessagesTest, PostIsQueuedInOrderSendRunsAtOnce) {
  Log log;
  HWND h = recorder(log);
  log.lines.clear();
  PostMessageW(h, WM_USER, 1, 0);
  PostMessageW(h, WM_APP, 2, 0);
  EXPECT_EQ(SendMessageW(h, WM_USER + 1, 3, 4), 7);
  EXPECT_EQ(log.joined(), "USER1 3 4") << "posted messages wait for the loop";
  EXPECT_EQ(SendMessageW(h, WM_USER + 2, 0, 0), 22);
  EXPECT_EQ(log.joined(), "USER1 3 4|USER2 0 0|USER1 7 8|nested-send-returned 15");
  log.lines.clear();
  PostQuitMessage(9);
  PostMessageW(h, WM_USER, 3, 0);
  script("");
  EXPECT_EQ(loopUntilQuit(), 9);
  EXPECT_EQ(log.joined(), "USER 1 0|APP 2 0|USER 3 0") << "the quit message comes after what is queued";
}

TEST_F(MessagesTest, PeekFilterAndRemoval) {
  Log a, b;
  HWND ha = recorder(a), hb = recorder(b);
  PostMessageW(ha, WM_USER, 1, 0);
  PostMessageW(hb, WM_APP, 2, 0);
  PostMessageW(nullptr, WM_USER, 3, 0);
  MSG m;
  ASSERT_TRUE(PeekMessageW(&m, hb, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(m.wParam, 2u);
  ASSERT_TRUE(PeekMessageW(&m, nullptr, WM_APP, WM_APP, PM_REMOVE));
  EXPECT_EQ(m.hwnd, hb);
  EXPECT_FALSE(PeekMessageW(&m, hb, 0, 0, PM_REMOVE));
  ASSERT_TRUE(PeekMessageW(&m, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE)) << "thread messages only";
  EXPECT_EQ(m.wParam, 3u);
  ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.hwnd, ha);
  EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(GetMessageW(&m, reinterpret_cast<HWND>(0x1234), 0, 0), -1) << "filter on a window that doesn't exist";
}

TEST_F(MessagesTest, DestroyOrderAndQueuedMessagesOfDeadWindowsAreDropped) {
  Log parentLog, childLog;
  HWND parent = recorder(parentLog);
  HWND child = recorder(childLog, parent, WS_CHILD);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(GetParent(child), parent);
  PostMessageW(child, WM_USER, 5, 0);
  parentLog.lines.clear();
  childLog.lines.clear();
  ASSERT_TRUE(DestroyWindow(parent));
  EXPECT_EQ(parentLog.joined(), "DESTROY 0 0|NCDESTROY 0 0");
  EXPECT_EQ(childLog.joined(), "DESTROY 0 0|NCDESTROY 0 0");
  EXPECT_FALSE(IsWindow(parent));
  EXPECT_FALSE(IsWindow(child));
  EXPECT_FALSE(DestroyWindow(child));
  EXPECT_FALSE(PostMessageW(child, WM_USER, 6, 0));
  MSG m;
  EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) << "the message for the dead child is gone";
  EXPECT_EQ(SendMessageW(child, WM_USER + 1, 1, 1), 0);
}

TEST_F(MessagesTest, CloseDestroysThroughTheDefaultProcedure) {
  Log log;
  HWND h = recorder(log);
  log.lines.clear();
  SendMessageW(h, WM_CLOSE, 0, 0);
  EXPECT_EQ(log.joined(), "CLOSE 0 0|DESTROY 0 0|NCDESTROY 0 0");
  EXPECT_FALSE(IsWindow(h));
}

TEST_F(MessagesTest, TimersFireOnTheVirtualClockInOrder) {
  Log log;
  HWND h = recorder(log);
  log.lines.clear();
  EXPECT_EQ(SetTimer(h, 1, 1500, nullptr), 1u);
  EXPECT_EQ(SetTimer(h, 2, 1000, nullptr), 2u);
  session->runFor(999'000);
  EXPECT_TRUE(log.lines.empty());
  session->runFor(1000);
  EXPECT_EQ(log.joined(), "TIMER 2 0");
  session->runFor(2000'000);  // to 3000 ms: timer 1 at 1500 and 3000, timer 2 at 2000 and 3000
  EXPECT_EQ(log.joined(), "TIMER 2 0|TIMER 1 0|TIMER 2 0|TIMER 1 0|TIMER 2 0");
  log.lines.clear();
  EXPECT_TRUE(KillTimer(h, 1));
  EXPECT_FALSE(KillTimer(h, 1));
  session->runFor(3000'000);
  EXPECT_EQ(log.joined(), "TIMER 2 0|TIMER 2 0|TIMER 2 0");
}

TEST_F(MessagesTest, TimerMessagesCoalesceWhileTheLoopIsBusy) {
  Log log;
  HWND h = recorder(log);
  log.lines.clear();
  SetTimer(h, 7, 100, nullptr);
  loop.runFor(1'000'000);  // ten periods pass without the queue being read
  session->pump();
  EXPECT_EQ(log.joined(), "TIMER 7 0");
}

TEST_F(MessagesTest, SetTimerAgainRestartsTheCountdown) {
  Log log;
  HWND h = recorder(log);
  log.lines.clear();
  SetTimer(h, 1, 1000, nullptr);
  session->runFor(800'000);
  SetTimer(h, 1, 1000, nullptr);
  session->runFor(800'000);
  EXPECT_TRUE(log.lines.empty());
  session->runFor(200'000);
  EXPECT_EQ(log.joined(), "TIMER 1 0");
}

std::vector<DWORD> g_timerProcTimes;
VOID CALLBACK TimerProc(HWND, UINT, UINT_PTR, DWORD time) { g_timerProcTimes.push_back(time); }

TEST_F(MessagesTest, TimerRoutineRunsInsteadOfTheWindowAndTimersDieWithTheWindow) {
  g_timerProcTimes.clear();
  UINT_PTR id = SetTimer(nullptr, 0, 250, TimerProc);
  EXPECT_NE(id, 0u);
  Log log;
  HWND h = recorder(log);
  SetTimer(h, 3, 250, TimerProc);
  session->runFor(500'000);
  EXPECT_EQ(g_timerProcTimes, (std::vector<DWORD>{250, 250, 500, 500}));
  for (const auto &l : log.lines) EXPECT_NE(l.rfind("TIMER", 0), 0u) << "the window procedure saw " << l;
  DestroyWindow(h);
  KillTimer(nullptr, id);
  g_timerProcTimes.clear();
  session->runFor(1'000'000);
  EXPECT_TRUE(g_timerProcTimes.empty());
  EXPECT_EQ(loop.pendingCount(), 0u) << "no timer task left on the clock";
}

TEST_F(MessagesTest, EndOfInputClosesTheProgramsWindowsThenQuits) {
  Log log;
  HWND h = recorder(log);
  log.lines.clear();
  script("");
  EXPECT_EQ(loopUntilQuit(), 0);
  EXPECT_EQ(log.joined(), "CLOSE 0 0|DESTROY 0 0|NCDESTROY 0 0");
  EXPECT_FALSE(IsWindow(h));
}

TEST_F(MessagesTest, AdvanceCommandRunsTimersBetweenCommands) {
  Log log;
  HWND h = recorder(log);
  SetTimer(h, 1, 1500, nullptr);
  log.lines.clear();
  script("time\nadvance 1499\ntime\nadvance 1\ntime\nadvance 3000\ntime\n");
  loopUntilQuit();
  EXPECT_EQ(outLines(), (std::vector<std::string>{"time 0", "time 1499", "time 1500", "time 4500"}));
  int timers = static_cast<int>(std::count_if(log.lines.begin(), log.lines.end(),
                                              [](const std::string &l) { return l.rfind("TIMER", 0) == 0; }));
  EXPECT_EQ(timers, 3);
}

}  // namespace

namespace {

TEST_F(MessagesTest, StringsIconsBitmapsAndStockObjects) {
  WCHAR buf[100];
  EXPECT_EQ(LoadStringW(basic, 1, buf, 100), 15);
  EXPECT_EQ(std::u16string(buf), u"Larkwell Hidden");
  EXPECT_EQ(LoadStringW(basic, 1, buf, 5), 4) << "cut to the buffer, terminator included";
  EXPECT_EQ(std::u16string(buf), u"Lark");
  EXPECT_EQ(LoadStringW(basic, 3, buf, 100), 0);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(LoadStringW(sheetRes, 1, buf, 100), 0) << "each module has its own strings";
  LPCWSTR direct = nullptr;
  EXPECT_EQ(LoadStringW(basic, 300, reinterpret_cast<LPWSTR>(&direct), 0), 13);
  ASSERT_NE(direct, nullptr);
  EXPECT_EQ(std::u16string(direct, 13), u"three hundred");

  HICON a = LoadIconW(basic, MAKEINTRESOURCEW(104));
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(LoadIconW(basic, MAKEINTRESOURCEW(104)), a) << "icons are shared";
  EXPECT_EQ(LoadIconW(basic, u"#104"), a);
  EXPECT_NE(LoadIconW(basic, MAKEINTRESOURCEW(108)), a);
  EXPECT_EQ(LoadIconW(basic, MAKEINTRESOURCEW(999)), nullptr);
  EXPECT_NE(LoadIconW(nullptr, IDI_APPLICATION), nullptr);
  EXPECT_EQ(LoadIconW(nullptr, MAKEINTRESOURCEW(104)), nullptr);
  EXPECT_NE(LoadBitmapW(basic, MAKEINTRESOURCEW(117)), nullptr);
  EXPECT_EQ(LoadBitmapW(basic, MAKEINTRESOURCEW(104)), nullptr) << "an icon is no bitmap";

  HGDIOBJ white = GetStockObject(WHITE_BRUSH);
  EXPECT_NE(white, nullptr);
  EXPECT_EQ(GetStockObject(WHITE_BRUSH), white);
  EXPECT_NE(GetStockObject(BLACK_BRUSH), white);
  EXPECT_EQ(GetStockObject(99), nullptr);
}

}  // namespace
