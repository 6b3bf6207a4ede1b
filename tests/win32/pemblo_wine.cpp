// Drives Pemblo.exe on a real Win32 (Wine) through Win32 itself: it puts the values into the
// registry, starts the program, finds its sheet, reads the pages' controls, types and clicks as a
// person would (SendInput) and reads back what the program wrote. Also serves scripts/screenshots.
//
//   pemblo_wine test PEMBLO.EXE     the checks; prints one line per check and "N passed, N failed"
//   pemblo_wine seed                the registry values of the pictures
//   pemblo_wine show PEMBLO.EXE N   starts the program if it is not running and shows page N
//   pemblo_wine cancel              presses Cancel and waits until the program has ended
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "../../utility/resource.h"

namespace {

// ---- checks ----------------------------------------------------------------------------------

int passed = 0;
int failed = 0;

bool check(bool ok, const char *what, const std::wstring &detail = std::wstring()) {
  (ok ? passed : failed)++;
  std::printf("%s: %s", ok ? "ok" : "FAILED", what);
  if (!ok && !detail.empty()) std::printf(" (%ls)", detail.c_str());
  std::printf("\n");
  std::fflush(stdout);
  return ok;
}

// Polls until `condition` holds or `ms` have passed. Wine answers across processes through its
// server, so every wait here is for a state the other process reaches in its own time.
bool waitFor(const std::function<bool()> &condition, DWORD ms = 10000) {
  DWORD start = GetTickCount();
  for (;;) {
    if (condition()) return true;
    if (GetTickCount() - start > ms) return false;
    Sleep(20);
  }
}

// ---- the registry, as the driver publishes and Pemblo writes it ------------------------------

const wchar_t *const kParms = L"Comm\\Teskel1\\Parms";

void setValue(const wchar_t *name, DWORD type, const void *data, DWORD size) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kParms, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL) != ERROR_SUCCESS) return;
  RegSetValueExW(key, name, 0, type, (const BYTE *)data, size);
  RegCloseKey(key);
}

void setDword(const wchar_t *name, DWORD value) { setValue(name, REG_DWORD, &value, sizeof(value)); }

// The value's bytes, empty when it cannot be read.
std::vector<BYTE> readValue(const wchar_t *name) {
  HKEY key;
  std::vector<BYTE> data(256);
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParms, 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  DWORD size = (DWORD)data.size();
  LONG result = RegQueryValueExW(key, name, NULL, NULL, data.data(), &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return {};
  data.resize(size);
  return data;
}

DWORD readDword(const wchar_t *name) {
  std::vector<BYTE> data = readValue(name);
  DWORD value = 0xFFFFFFFF;
  if (data.size() == sizeof(DWORD)) memcpy(&value, data.data(), sizeof(value));
  return value;
}

std::wstring readText(const wchar_t *name) {
  std::vector<BYTE> data = readValue(name);
  std::wstring text((const wchar_t *)data.data(), data.size() / sizeof(wchar_t));
  while (!text.empty() && text.back() == 0) text.pop_back();
  return text;
}

// What the driver has published and the user has configured, as in the README's pictures.
void seed(DWORD linkState, DWORD bytesIn, DWORD bytesOut, DWORD wepReq) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Comm\\Teskel1", 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    RegDeleteKeyW(key, L"Parms");
    RegCloseKey(key);
  }
  setValue(L"SSID", REG_SZ, L"office-net", sizeof(L"office-net"));
  setDword(L"NetworkType", 1);
  setDword(L"DSChannel", 6);
  setDword(L"PSMode", 1);
  setDword(L"Encapsulation", 2);
  setDword(L"WepReq", wepReq);
  BYTE keys[20] = {0};
  setValue(L"DefaultKeys", REG_BINARY, keys, sizeof(keys));
  setDword(L"LinkState", linkState);
  setDword(L"bytein", bytesIn);
  setDword(L"byteout", bytesOut);
}

// ---- windows of the other process --------------------------------------------------------------

std::wstring textOf(HWND window) {
  wchar_t buffer[512] = {0};
  DWORD_PTR length = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, 512, (LPARAM)buffer, SMTO_ABORTIFHUNG, 5000, &length);
  return buffer;
}

std::wstring classOf(HWND window) {
  wchar_t name[128] = {0};
  GetClassNameW(window, name, 128);
  return name;
}

LRESULT send(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result);
  return (LRESULT)result;
}

HWND findSheet() { return FindWindowW(L"#32770", L"Sarvell Configuration"); }

int countTopLevel(const wchar_t *className, const wchar_t *title) {
  struct Search {
    const wchar_t *className;
    const wchar_t *title;
    int count;
  } search{className, title, 0};
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto *s = (Search *)data;
        if (classOf(window) == s->className && textOf(window) == s->title) s->count++;
        return TRUE;
      },
      (LPARAM)&search);
  return search.count;
}

// Tray icons as Wine's X11 driver shows them without a desktop tray: one child window each in its
// stand-alone tray window.
int countTrayIcons() {
  int count = 0;
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        EnumChildWindows(
            window,
            [](HWND child, LPARAM data) -> BOOL {
              if (classOf(child) == L"__winex11_tray_icon" && IsWindowVisible(child)) (*(int *)data)++;
              return TRUE;
            },
            data);
        return TRUE;
      },
      (LPARAM)&count);
  return count;
}

HWND currentPage(HWND sheet) { return (HWND)send(sheet, PSM_GETCURRENTPAGEHWND); }
int currentTab(HWND sheet) { return (int)send((HWND)send(sheet, PSM_GETTABCONTROL), TCM_GETCURSEL); }
HWND control(HWND sheet, int id) { return GetDlgItem(currentPage(sheet), id); }

HWND focusOf(HWND window) {
  GUITHREADINFO info;
  memset(&info, 0, sizeof(info));
  info.cbSize = sizeof(info);
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, NULL), &info)) return NULL;
  return info.hwndFocus;
}

// Whether a static text shows whole: measured in the sheet's font (a property sheet draws its
// pages in its own font, MS Shell Dlg 8), it fits the control on one line with a tenth of the
// width to spare, since the face that stands for MS Shell Dlg differs between desktops (with
// Wine's own fonts installed the first About line came out wider and was cut).
bool showsWhole(HWND text, std::wstring *detail) {
  RECT client;
  GetClientRect(text, &client);
  std::wstring words = textOf(text);
  HDC dc = GetDC(NULL);
  HFONT font = CreateFontW(-MulDiv(8, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                           DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                           DEFAULT_PITCH, L"MS Shell Dlg");
  HGDIOBJ old = SelectObject(dc, font);
  RECT line = {0, 0, 10000, 0}, wrapped = {0, 0, client.right, 0};
  DrawTextW(dc, words.c_str(), -1, &line, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
  DrawTextW(dc, words.c_str(), -1, &wrapped, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  SelectObject(dc, old);
  DeleteObject(font);
  ReleaseDC(NULL, dc);
  *detail = L"\"" + words + L"\" needs " + std::to_wstring(line.right) + L" x " + std::to_wstring(wrapped.bottom) +
            L" pixels, has " + std::to_wstring(client.right) + L" x " + std::to_wstring(client.bottom);
  return wrapped.bottom <= line.bottom && line.bottom <= client.bottom && line.right * 10 <= client.right * 9;
}

// ---- input, as a person gives it -------------------------------------------------------------

bool bringToFront(HWND window) {
  return waitFor([&] {
    if (GetForegroundWindow() == window) return true;
    SetForegroundWindow(window);
    return false;
  });
}

void key(WORD vk, bool control = false, bool shift = false) {
  std::vector<INPUT> inputs;
  auto add = [&](WORD code, bool up) {
    INPUT input;
    memset(&input, 0, sizeof(input));
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = code;
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    inputs.push_back(input);
  };
  if (control) add(VK_CONTROL, false);
  if (shift) add(VK_SHIFT, false);
  add(vk, false);
  add(vk, true);
  if (shift) add(VK_SHIFT, true);
  if (control) add(VK_CONTROL, true);
  SendInput((UINT)inputs.size(), inputs.data(), sizeof(INPUT));
}

void type(const wchar_t *text) {
  for (const wchar_t *c = text; *c; c++) {
    INPUT inputs[2];
    memset(inputs, 0, sizeof(inputs));
    for (int i = 0; i < 2; i++) {
      inputs[i].type = INPUT_KEYBOARD;
      inputs[i].ki.wScan = *c;
      inputs[i].ki.dwFlags = KEYEVENTF_UNICODE | (i ? KEYEVENTF_KEYUP : 0);
    }
    SendInput(2, inputs, sizeof(INPUT));
  }
}

void click(HWND window) {
  RECT rect;
  GetWindowRect(window, &rect);
  int x = (rect.left + rect.right) / 2, y = (rect.top + rect.bottom) / 2;
  INPUT inputs[3];
  memset(inputs, 0, sizeof(inputs));
  for (auto &input : inputs) {
    input.type = INPUT_MOUSE;
    input.mi.dx = x * 65535 / (GetSystemMetrics(SM_CXSCREEN) - 1);
    input.mi.dy = y * 65535 / (GetSystemMetrics(SM_CYSCREEN) - 1);
  }
  inputs[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_ABSOLUTE;
  inputs[2].mi.dwFlags = MOUSEEVENTF_LEFTUP | MOUSEEVENTF_ABSOLUTE;
  SendInput(3, inputs, sizeof(INPUT));
}

// ---- the program ---------------------------------------------------------------------------

struct Program {
  PROCESS_INFORMATION process{};
  bool started = false;
};

Program start(const wchar_t *path) {
  Program program;
  STARTUPINFOW startup;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  std::wstring command = L"\"" + std::wstring(path) + L"\"";
  program.started = CreateProcessW(path, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &program.process);
  return program;
}

DWORD exitCodeWithin(const Program &program, DWORD ms) {
  if (WaitForSingleObject(program.process.hProcess, ms) != WAIT_OBJECT_0) return STILL_ACTIVE;
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(program.process.hProcess, &code);
  return code;
}

std::wstring number(DWORD value) { return std::to_wstring(value); }

// Answers the message box Pemblo shows after "Update"; returns its text.
std::wstring answerMessageBox(const wchar_t *caption) {
  HWND box = NULL;
  waitFor([&] { return (box = FindWindowW(L"#32770", caption)) != NULL && IsWindowVisible(box); });
  if (!box) return L"";
  std::wstring text;
  HWND ok = NULL;
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (classOf(child) == L"Static" && !textOf(child).empty()) text = textOf(child);
    if (GetDlgCtrlID(child) == IDOK) ok = child;
  }
  bringToFront(box);
  if (ok) click(ok);
  waitFor([&] { return !IsWindow(box); });
  return text;
}

// ---- the checks --------------------------------------------------------------------------------

int runTest(const wchar_t *pemblo) {
  // The driver has published "not connected" (6) and no traffic yet.
  seed(6, 0, 0, 0);
  int iconsBefore = countTrayIcons();

  Program program = start(pemblo);
  if (!check(program.started, "Pemblo.exe starts")) return 1;
  HWND sheet = NULL;
  // A fresh Wine prefix takes its time with the first window.
  if (!check(waitFor([&] { return (sheet = findSheet()) != NULL && IsWindowVisible(sheet); }, 60000),
             "the sheet \"Sarvell Configuration\" is shown"))
    return 1;
  check(countTopLevel(L"Larkwell Hidden", L"Pemblo") == 1, "one hidden window \"Pemblo\" of class \"Larkwell Hidden\"");
  check(waitFor([&] { return countTrayIcons() == iconsBefore + 1; }), "the tray icon is added");

  // ---- Status: a state that changes nothing is watched for two periods of the page's timer
  HWND status = control(sheet, IDC_LINKSTATUS);
  bool stays = true;
  DWORD watched = GetTickCount();
  while (GetTickCount() - watched < 3500 && stays) {
    stays = textOf(status) == L"Disconnect...";
    Sleep(50);
  }
  check(stays, "Status with LinkState 6 says \"Disconnect...\"", textOf(status));
  setDword(L"bytein", 3120);
  setDword(L"byteout", 1488);
  setDword(L"LinkState", 1);
  check(waitFor([&] {
          return textOf(status) == L"Connected..." && textOf(control(sheet, IDC_INPUT)) == L"3120" &&
                 textOf(control(sheet, IDC_OUTPUT)) == L"1488";
        }),
        "Status with LinkState 1 says \"Connected...\" with the bytes of the period, 3120 in and 1488 out",
        textOf(status) + L" " + textOf(control(sheet, IDC_INPUT)) + L" " + textOf(control(sheet, IDC_OUTPUT)));
  check(send(control(sheet, IDC_INPUT_BAR), PBM_GETPOS) == 3120 && send(control(sheet, IDC_OUTPUT_BAR), PBM_GETPOS) == 1488,
        "the bars stand at the figures");

  // ---- keyboard: the sheet is modeless, so these work only through PropSheet_IsDialogMessage.
  // Where the stand-in shell (platform/ui) differs for the same input, it is said here, and the
  // stand-in follows this platform unless the device is known to differ.
  std::printf("note: the stand-in shell moves on Tab, Enter and Esc by itself, without "
              "PropSheet_IsDialogMessage, which returns FALSE there\n"
              "note: Ctrl+Tab goes round the pages here and in the stand-in (headless key ctrl-tab); "
              "its terminal cannot tell Ctrl+Tab from Tab and uses F4 and F5\n"
              "note: this sheet has an Apply button (disabled), which the stand-in does not draw\n");
  if (!check(bringToFront(sheet), "the sheet comes to the front")) return 1;
  key(VK_TAB, true);
  check(waitFor([&] { return currentTab(sheet) == 1; }), "Ctrl+Tab goes to the next page, Config");

  // ---- Config shows the registry's settings
  check(textOf(control(sheet, IDC_ESSID)) == L"office-net", "Config shows the ESS ID", textOf(control(sheet, IDC_ESSID)));
  check(send(control(sheet, IDC_NETMODE), CB_GETCURSEL) == 1 && textOf(control(sheet, IDC_NETMODE)) == L"Infrastructure",
        "Config shows network mode 1, Infrastructure", textOf(control(sheet, IDC_NETMODE)));
  check(send(control(sheet, IDC_CHANNEL), CB_GETCURSEL) == 5 && textOf(control(sheet, IDC_CHANNEL)) == L"6",
        "Config shows channel 6", textOf(control(sheet, IDC_CHANNEL)));
  check(textOf(control(sheet, IDC_ENCAPSULATION)) == L"802.1h", "Config shows the encapsulation 802.1h");
  check(send(control(sheet, IDC_POWERSAVE), BM_GETCHECK) == BST_CHECKED, "Config shows power saving ticked");
  check(!IsWindowEnabled(control(sheet, IDC_ESSID)) && !IsWindowEnabled(control(sheet, IDC_UPDATE)),
        "the settings are locked");

  // Unlock, change the name and the channel, Update.
  click(control(sheet, IDC_CHANGECONFIG));
  check(waitFor([&] { return IsWindowEnabled(control(sheet, IDC_ESSID)) != FALSE; }),
        "\"change configuration\" unlocks the settings");
  click(control(sheet, IDC_ESSID));
  check(waitFor([&] { return focusOf(sheet) == control(sheet, IDC_ESSID); }), "a click focuses the ESS ID");
  send(control(sheet, IDC_ESSID), EM_SETSEL, 0, -1);
  type(L"Vault");
  check(waitFor([&] { return textOf(control(sheet, IDC_ESSID)) == L"Vault"; }), "the typed name replaces it",
        textOf(control(sheet, IDC_ESSID)));
  key(VK_TAB);
  check(waitFor([&] { return focusOf(sheet) == control(sheet, IDC_NETMODE); }),
        "Tab moves on to the network mode");
  key(VK_TAB, false, true);
  check(waitFor([&] { return focusOf(sheet) == control(sheet, IDC_ESSID); }), "Shift+Tab moves back");
  click(control(sheet, IDC_UPDATE));
  std::wstring message = answerMessageBox(L"Larkwell 802.11 adapter");
  check(message == L"Reinsert the adapter to have changes take affect.",
        "Update says \"Reinsert the adapter to have changes take affect.\"", message);
  check(readText(L"SSID") == L"Vault" && readDword(L"DSChannel") == 6 && readDword(L"NetworkType") == 1 &&
            readDword(L"PSMode") == 1,
        "Update saved the page's values", readText(L"SSID"));
  check(!IsWindowEnabled(control(sheet, IDC_ESSID)) && send(control(sheet, IDC_CHANGECONFIG), BM_GETCHECK) == BST_UNCHECKED,
        "Update locks the settings again");

  // ---- Encryption: Enable, a key typed into the five boxes, Write
  bringToFront(sheet);
  key(VK_TAB, true);
  check(waitFor([&] { return currentTab(sheet) == 2; }), "Ctrl+Tab goes on to Encryption (no tab for the missing page)");
  check(send(control(sheet, IDC_ENABLE), BM_GETCHECK) == BST_UNCHECKED && !IsWindowEnabled(control(sheet, IDC_KEY1_BYTE1)),
        "Encryption shows WEP off, the key boxes locked");
  click(control(sheet, IDC_ENABLE));
  check(waitFor([&] { return readDword(L"WepReq") == 1; }), "Enable writes WepReq 1", number(readDword(L"WepReq")));
  check(IsWindowEnabled(control(sheet, IDC_KEY1_BYTE1)) != FALSE, "Enable unlocks the key boxes");
  const wchar_t *typed[] = {L"1a", L"2B", L"3c", L"4D", L"5e"};
  click(control(sheet, IDC_KEY1_BYTE1));
  waitFor([&] { return focusOf(sheet) == control(sheet, IDC_KEY1_BYTE1); });
  for (int i = 0; i < 5; i++) {
    HWND box = control(sheet, IDC_KEY1_BYTE1 + i);
    check(waitFor([&] { return focusOf(sheet) == box; }), "Tab reaches the next key box");
    send(box, EM_SETSEL, 0, -1);
    type(typed[i]);
    waitFor([&] { return textOf(box).size() == 2; });
    key(VK_TAB);
  }
  check(textOf(control(sheet, IDC_KEY1_BYTE1)) == L"1A" && textOf(control(sheet, IDC_KEY1_BYTE5)) == L"5E",
        "the boxes turn typed letters to upper case", textOf(control(sheet, IDC_KEY1_BYTE1)));
  click(control(sheet, IDC_WRITE));
  std::vector<BYTE> expected = {0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  check(waitFor([&] { return readValue(L"DefaultKeys") == expected; }), "Write leaves DefaultKeys 1A 2B 3C 4D 5E");
  check(readDword(L"WepReq") == 1, "and WepReq 1");

  // ---- About: every text shows whole
  bringToFront(sheet);
  key(VK_TAB, true);
  check(waitFor([&] { return currentTab(sheet) == 3; }), "Ctrl+Tab goes on to About");
  int texts = 0;
  for (HWND child = GetWindow(currentPage(sheet), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (classOf(child) != L"Static" || (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP) continue;
    std::wstring detail;
    texts++;
    check(showsWhole(child, &detail), "an About text shows whole", detail);
  }
  check(texts == 2, "About has its two texts", std::to_wstring(texts));

  // ---- a second start gives way to the first
  Program second = start(pemblo);
  check(second.started && exitCodeWithin(second, 30000) == 0, "a second Pemblo.exe exits at once with 0");
  check(countTopLevel(L"#32770", L"Sarvell Configuration") == 1 && countTrayIcons() == iconsBefore + 1,
        "one sheet and one tray icon stay");

  // ---- Cancel ends the program and takes the icon away
  bringToFront(sheet);
  HWND cancel = GetDlgItem(sheet, IDCANCEL);
  click(cancel);
  check(exitCodeWithin(program, 10000) == 0, "Cancel ends the program with 0");
  check(waitFor([&] { return countTrayIcons() == iconsBefore; }), "Cancel removes the tray icon");

  // ---- Esc is Cancel too
  Program third = start(pemblo);
  if (waitFor([&] { return (sheet = findSheet()) != NULL && IsWindowVisible(sheet); })) {
    bringToFront(sheet);
    key(VK_ESCAPE);
    check(exitCodeWithin(third, 10000) == 0, "Esc on the sheet is Cancel: the program ends");
  } else {
    check(false, "Pemblo.exe starts again");
  }

  // Nothing is left running after a failed check.
  for (Program *p : {&program, &second, &third}) {
    if (p->started && exitCodeWithin(*p, 0) == STILL_ACTIVE) TerminateProcess(p->process.hProcess, 1);
  }

  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}

// Shows page `index` for a picture: the sheet away from the stand-alone tray, the Status page
// with figures of a busy second.
int show(const wchar_t *pemblo, int index) {
  HWND sheet = findSheet();
  if (!sheet) {
    if (!start(pemblo).started) return 1;
    if (!waitFor([&] { return (sheet = findSheet()) != NULL && IsWindowVisible(sheet); }, 60000)) return 1;
  }
  SetWindowPos(sheet, HWND_TOP, 40, 60, 0, 0, SWP_NOSIZE);
  send(sheet, PSM_SETCURSEL, (WPARAM)index, 0);
  if (!waitFor([&] { return currentTab(sheet) == index; })) return 1;
  if (index == 0) {
    // After the first tick, which shows the counters whole, the next shows one period's traffic.
    if (!waitFor([&] { return textOf(control(sheet, IDC_LINKSTATUS)) == L"Connected..."; })) return 1;
    DWORD in = readDword(L"bytein"), out = readDword(L"byteout");
    setDword(L"bytein", in + 3120);
    setDword(L"byteout", out + 1488);
    if (!waitFor([&] { return textOf(control(sheet, IDC_INPUT)) == L"3120"; })) return 1;
  }
  bringToFront(sheet);
  // The page repaints after the switch; the picture is taken once it has.
  RedrawWindow(sheet, NULL, NULL, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  return 0;
}

int cancel() {
  HWND sheet = findSheet();
  if (!sheet) return 0;
  DWORD pid = 0;
  GetWindowThreadProcessId(sheet, &pid);
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  send(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL);
  bool ended = process && WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
  if (process) CloseHandle(process);
  return ended ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"test" && argc == 3) return runTest(argv[2]);
  if (command == L"seed" && argc == 2) {
    seed(1, 3120, 1488, 1);
    return 0;
  }
  if (command == L"show" && argc == 4) return show(argv[2], _wtoi(argv[3]));
  if (command == L"cancel" && argc == 2) return cancel();
  const char *usage = "usage: pemblo_wine test PEMBLO.EXE | seed | show PEMBLO.EXE PAGE | cancel\n";
  if (command == L"--help") {
    std::printf("%s", usage);
    return 0;
  }
  std::fprintf(stderr, "%s", usage);
  return 2;
}
