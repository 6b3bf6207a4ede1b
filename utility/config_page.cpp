// The Config page: network name, network mode, channel and power saving, written to the registry
// by "Update"; the driver takes them when the card is next inserted.
#include "pemblo.h"

#define CHANNEL_COUNT 12

// The lists carry the sorting style, so entries go in at the end by index: list index i must stay
// channel i + 1 and mode i, whatever sorting would make of them.
static void AppendEntry(HWND page, int list, LPCWSTR text) {
  SendDlgItemMessageW(page, list, CB_INSERTSTRING, (WPARAM)-1, (LPARAM)text);
}

void FillLists(HWND page) {
  WCHAR text[STRING_BUFFER_CHARS];
  for (int channel = 1; channel <= CHANNEL_COUNT; channel++)
    AppendEntry(page, IDC_CHANNEL, _itow(channel, text, 10));
  AppendEntry(page, IDC_ENCAPSULATION, LoadText(IDS_ENCAP_8021H, text));
  AppendEntry(page, IDC_NETMODE, LoadText(IDS_MODE_ADHOC, text));
  AppendEntry(page, IDC_NETMODE, LoadText(IDS_MODE_INFRASTRUCTURE, text));
}

void CollectConfig(HWND page) {
  SettingsCache.DSChannel = (DWORD)SendDlgItemMessageW(page, IDC_CHANNEL, CB_GETCURSEL, 0, 0) + 1;
  SettingsCache.NetworkType = (DWORD)SendDlgItemMessageW(page, IDC_NETMODE, CB_GETCURSEL, 0, 0);
  SettingsCache.Encapsulation = (DWORD)SendDlgItemMessageW(page, IDC_ENCAPSULATION, CB_GETCURSEL, 0, 0);
  GetDlgItemTextW(page, IDC_ESSID, SettingsCache.Ssid, SSID_MAX_CHARS + 1);
  SettingsCache.PSMode =
      SendDlgItemMessageW(page, IDC_POWERSAVE, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
}

void EnableConfigControls(HWND page, BOOL on) {
  const int controls[] = {IDC_UPDATE, IDC_ENCAPSULATION, IDC_NETMODE, IDC_ESSID, IDC_CHANNEL, IDC_POWERSAVE};
  for (UINT i = 0; i < sizeof(controls) / sizeof(controls[0]); i++) EnableWindow(GetDlgItem(page, controls[i]), on);
}

static void OnConfigCreate(HWND page) {
  FillLists(page);
  ReadStatus();
  SettingsCache.Encapsulation = 0;
  // A value outside a list's range leaves that list without a selection.
  SendDlgItemMessageW(page, IDC_CHANNEL, CB_SETCURSEL, (WPARAM)(SettingsCache.DSChannel - 1), 0);
  SendDlgItemMessageW(page, IDC_ENCAPSULATION, CB_SETCURSEL, 0, 0);
  SendDlgItemMessageW(page, IDC_NETMODE, CB_SETCURSEL, (WPARAM)SettingsCache.NetworkType, 0);
  SetDlgItemTextW(page, IDC_ESSID, SettingsCache.Ssid);
  SendDlgItemMessageW(page, IDC_POWERSAVE, BM_SETCHECK, SettingsCache.PSMode == 1 ? BST_CHECKED : BST_UNCHECKED, 0);
  SetForegroundWindow(page);
}

static void OnUpdate(HWND page) {
  WCHAR text[STRING_BUFFER_CHARS];
  WCHAR caption[STRING_BUFFER_CHARS];
  CollectConfig(page);
  WriteConfig();
  EnableConfigControls(page, FALSE);
  SendDlgItemMessageW(page, IDC_CHANGECONFIG, BM_SETCHECK, BST_UNCHECKED, 0);
  SettingsCache.ConfigEditEnabled = FALSE;
  // The message stands even when a write failed: that failure went to the debug output.
  MessageBoxW(NULL, LoadText(IDS_REINSERT, text), LoadText(IDS_ADAPTER_CAPTION, caption), MB_OKCANCEL);
}

INT_PTR CALLBACK ConfigDlgProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  INT_PTR result;
  if (HandleSheetButton(page, message, lParam, &result)) return result;
  switch (message) {
    case WM_INITDIALOG:
      OnConfigCreate(page);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_CHANGECONFIG:
          SettingsCache.ConfigEditEnabled = !SettingsCache.ConfigEditEnabled;
          EnableConfigControls(page, SettingsCache.ConfigEditEnabled);
          return TRUE;
        case IDC_UPDATE:
          OnUpdate(page);
          return TRUE;
        default:
          return FALSE;
      }
    default:
      return FALSE;
  }
}
