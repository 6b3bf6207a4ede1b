// A small single-instance handheld program for the start-up harness tests: a hidden window found
// by a second start, a tray icon, a modeless dialog, a message box, the registry and debug output.
#include <windows.h>

#include "teskel/ui_program.h"

extern "C" {
const char *teskel_program_name = "ui_test_program";
}

namespace {

HINSTANCE Instance;
HWND Dialog;

INT_PTR CALLBACK DialogProc(HWND dlg, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_COMMAND && LOWORD(wParam) == 1009 && HIWORD(wParam) == BN_CLICKED) {
    WCHAR name[40];
    GetDlgItemTextW(dlg, 1001, name, 40);
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Harness", 0, nullptr, 0, 0, nullptr, &key, nullptr) ==
        ERROR_SUCCESS) {
      RegSetValueExW(key, u"Name", 0, REG_SZ, reinterpret_cast<const BYTE *>(name),
                     static_cast<DWORD>((lstrlenW(name) + 1) * sizeof(WCHAR)));
      RegCloseKey(key);
    }
    int answer = MessageBoxW(nullptr, u"Saved.", u"Harness", MB_OKCANCEL);
    SetDlgItemTextW(dlg, 1002, answer == IDOK ? u"ok" : u"cancel");
    return TRUE;
  }
  return FALSE;
}

LRESULT CALLBACK MainProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: {
      Dialog = CreateDialogParamW(Instance, MAKEINTRESOURCEW(100), hwnd, DialogProc, 0);
      ShowWindow(Dialog, SW_SHOW);
      NOTIFYICONDATAW data{};
      data.cbSize = 152;  // the size a program built for the device passes
      data.hWnd = hwnd;
      data.uID = 1;
      data.uFlags = NIF_MESSAGE | NIF_ICON;
      data.uCallbackMessage = WM_APP + 1;
      data.hIcon = LoadIconW(Instance, MAKEINTRESOURCEW(104));
      Shell_NotifyIcon(NIM_ADD, &data);
      return 0;
    }
    case WM_APP + 1:
      if (lParam == WM_LBUTTONDOWN) OutputDebugStringW(u"tray tapped\r\n");
      return 1;
    case WM_CLOSE:
      DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int) {
  Instance = instance;
  WCHAR cls[100], title[100];
  LoadStringW(instance, 1, cls, 100);
  LoadStringW(instance, 2, title, 100);
  if (FindWindowW(cls, title)) return 3;  // another instance runs
  OutputDebugStringW(u"started with \"");
  OutputDebugStringW(commandLine);
  OutputDebugStringW(u"\"\r\n");
  WNDCLASSW wc{};
  wc.lpfnWndProc = MainProc;
  wc.hInstance = instance;
  wc.lpszClassName = cls;
  if (!RegisterClassW(&wc)) return 1;
  if (!CreateWindowExW(0, cls, title, WS_CAPTION, 0, 0, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance,
                       nullptr))
    return 1;
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  UnregisterClassW(cls, instance);
  return static_cast<int>(msg.wParam);
}
