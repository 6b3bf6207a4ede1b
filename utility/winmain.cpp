// Pemblo's start-up, hidden window, tray icon and property sheet.
// The hidden window exists so that a second start can find the first and so that the tray has
// somewhere to send taps; it is never shown.
#include <cstring>

#include "pemblo.h"

HINSTANCE Instance;
HWND MainWindow;
HWND ConfigSheet;
BOOL SheetCreated;
SETTINGS_CACHE SettingsCache;

// Strings that outlive the calls they are passed to: the class and title for the whole run, the
// sheet caption and page titles for as long as the sheet exists.
static WCHAR ClassName[STRING_BUFFER_CHARS];
static WCHAR WindowTitle[STRING_BUFFER_CHARS];
static WCHAR SheetCaption[STRING_BUFFER_CHARS];

struct PAGE_ENTRY {
  UINT layout;
  UINT title;
  DLGPROC procedure;
};

// The sheet's pages in tab order. The advanced layout is not among the resources; the sheet is
// told about it all the same and makes no page for it.
static const PAGE_ENTRY Pages[] = {
    {IDD_STATUS, IDS_PAGE_STATUS, StatusDlgProc},
    {IDD_CONFIG, IDS_PAGE_CONFIG, ConfigDlgProc},
    {IDD_ADVANCED, IDS_PAGE_ADVANCED, AdvancedDlgProc},
    {IDD_ENCRYPTION, IDS_PAGE_ENCRYPTION, EncryptionDlgProc},
    {IDD_ABOUT, IDS_PAGE_ABOUT, AboutDlgProc},
};
#define PAGE_COUNT (sizeof(Pages) / sizeof(Pages[0]))

static WCHAR PageTitles[PAGE_COUNT][STRING_BUFFER_CHARS];

LPWSTR LoadText(UINT id, LPWSTR buffer) {
  if (LoadStringW(Instance, id, buffer, STRING_BUFFER_CHARS) == 0) buffer[0] = 0;
  return buffer;
}

BOOL TrayNotify(DWORD operation, HWND window, UINT id, HICON icon) {
  NOTIFYICONDATAW data;
  memset(&data, 0, sizeof(data));
  data.cbSize = sizeof(data);
  data.hWnd = window;
  data.uID = id;
  data.uFlags = NIF_MESSAGE | NIF_ICON;
  data.uCallbackMessage = WM_TRAY_NOTIFY;
  data.hIcon = icon;
  data.szTip[0] = 0;
  return Shell_NotifyIcon(operation, &data);
}

static int CALLBACK SheetCallback(HWND, UINT, LPARAM) { return 0; }

static UINT CALLBACK PageCallback(HWND, UINT message, PROPSHEETPAGEW *) {
  return message == PSPCB_CREATE ? 1 : 0;
}

HWND CreateConfigSheet(HWND parent) {
  PROPSHEETPAGEW pages[PAGE_COUNT];
  memset(pages, 0, sizeof(pages));
  for (UINT i = 0; i < PAGE_COUNT; i++) {
    pages[i].dwSize = sizeof(pages[i]);
    pages[i].dwFlags = PSP_USETITLE | PSP_USECALLBACK;
    pages[i].hInstance = Instance;
    pages[i].pszTemplate = MAKEINTRESOURCEW(Pages[i].layout);
    pages[i].pszIcon = MAKEINTRESOURCEW(IDI_PEMBLO);
    pages[i].pszTitle = LoadText(Pages[i].title, PageTitles[i]);
    pages[i].pfnDlgProc = Pages[i].procedure;
    pages[i].pfnCallback = PageCallback;
  }

  PROPSHEETHEADERW header;
  memset(&header, 0, sizeof(header));
  header.dwSize = sizeof(header);
  header.dwFlags = PSH_PROPSHEETPAGE | PSH_USECALLBACK | PSH_MODELESS;
  header.hwndParent = parent;
  header.hInstance = Instance;
  header.hIcon = NULL;
  header.pszCaption = LoadText(IDS_SHEET_CAPTION, SheetCaption);
  header.nPages = PAGE_COUNT;
  header.nStartPage = 0;
  header.ppsp = pages;
  header.pfnCallback = SheetCallback;
  return (HWND)PropertySheetW(&header);
}

BOOL HandleSheetButton(HWND, UINT message, LPARAM lParam, INT_PTR *result) {
  if (message != WM_NOTIFY || lParam == 0) return FALSE;
  const NMHDR *header = (const NMHDR *)lParam;
  if (header->code == PSN_APPLY) {
    // OK only hides the sheet: its pages keep polling so the tray icon follows the link.
    ShowWindow(ConfigSheet, SW_HIDE);
    *result = 0;
    return TRUE;
  }
  if (header->code == PSN_RESET) {
    TrayNotify(NIM_DELETE, MainWindow, TRAY_ICON_ID, NULL);
    PostQuitMessage(0);
    *result = 1;
    return TRUE;
  }
  return FALSE;
}

static void ShowConfigSheet(void) {
  ShowWindow(ConfigSheet, SW_SHOW);
  SetForegroundWindow(ConfigSheet);
}

// Writes the key material back at every start, so that the driver finds a 20-byte value even on
// a key that installation never filled. A value that is missing or short is padded with zeros.
static void RewriteKeyMaterial(void) {
  WCHAR text[STRING_BUFFER_CHARS];
  WCHAR caption[STRING_BUFFER_CHARS];
  BYTE keys[KEY_MATERIAL_BYTES];
  memset(keys, 0, sizeof(keys));

  // The key is read and written through one handle, so it is opened for both: a registry that
  // checks access refuses a write through a key opened for reading only.
  HKEY key = NULL;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PARMS_KEY, 0, KEY_READ | KEY_WRITE, &key) == ERROR_SUCCESS) {
    DWORD size = sizeof(keys);
    RegQueryValueExW(key, TEXT("DefaultKeys"), NULL, NULL, keys, &size);
  } else {
    DWORD disposition = 0;
    key = NULL;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, PARMS_KEY, 0, NULL, 0, KEY_WRITE, NULL, &key, &disposition) !=
        ERROR_SUCCESS) {
      key = NULL;
      MessageBoxW(NULL, LoadText(IDS_REGCREATE_FAIL, text), LoadText(IDS_DEBUG_CAPTION, caption), MB_OK);
    }
  }
  if (RegSetValueExW(key, TEXT("DefaultKeys"), 0, REG_BINARY, keys, sizeof(keys)) != ERROR_SUCCESS)
    MessageBoxW(NULL, LoadText(IDS_REGSET_FAIL, text), LoadText(IDS_DEBUG_CAPTION, caption), MB_OK);
  if (key != NULL) RegCloseKey(key);
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      MainWindow = window;
      ConfigSheet = CreateConfigSheet(MainWindow);
      SheetCreated = TRUE;
      ShowConfigSheet();
      RewriteKeyMaterial();
      TrayNotify(NIM_ADD, MainWindow, TRAY_ICON_ID, LoadIconW(Instance, MAKEINTRESOURCEW(IDI_CONNECTED)));
      return DefWindowProcW(window, message, wParam, lParam);

    case WM_DESTROY:
    case WM_CLOSE:
    case WM_QUIT:
      TrayNotify(NIM_DELETE, MainWindow, TRAY_ICON_ID, NULL);
      PostQuitMessage(0);
      return 1;

    case WM_TRAY_NOTIFY:
      if (wParam == TRAY_ICON_ID && lParam == WM_LBUTTONDOWN) {
        if (SheetCreated) {
          ShowConfigSheet();
        } else {
          ConfigSheet = CreateConfigSheet(MainWindow);
          SheetCreated = TRUE;
        }
      }
      return 1;

    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int) {
  Instance = hInstance;
  LoadText(IDS_CLASSNAME, ClassName);
  LoadText(IDS_TITLE, WindowTitle);

  // The hidden window of a running instance answers to the same class and title.
  if (FindWindowW(ClassName, WindowTitle) != NULL) return 0;

  WNDCLASSW windowClass;
  memset(&windowClass, 0, sizeof(windowClass));
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = MainWndProc;
  windowClass.cbClsExtra = 0;
  windowClass.cbWndExtra = 0;
  windowClass.hInstance = Instance;
  windowClass.hIcon = LoadIconW(Instance, MAKEINTRESOURCEW(IDI_PEMBLO));
  windowClass.hCursor = NULL;
  windowClass.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
  windowClass.lpszMenuName = NULL;
  windowClass.lpszClassName = ClassName;
  if (RegisterClassW(&windowClass) == 0) return 0;

  if (CreateWindowExW(WS_EX_NOANIMATION, ClassName, WindowTitle, WS_CAPTION, 0, 0, CW_USEDEFAULT,
                      CW_USEDEFAULT, NULL, NULL, Instance, NULL) == NULL)
    return 0;

  // The sheet is modeless: its keyboard navigation (Tab, Ctrl+Tab, Enter, Esc) happens only when
  // the loop hands it the messages first.
  MSG msg;
  memset(&msg, 0, sizeof(msg));
  while (GetMessageW(&msg, NULL, 0, 0) > 0) {
    if (SheetCreated && PropSheet_IsDialogMessage(ConfigSheet, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }

  TrayNotify(NIM_DELETE, MainWindow, TRAY_ICON_ID, NULL);
  UnregisterClassW(ClassName, Instance);
  return (int)msg.wParam;
}
