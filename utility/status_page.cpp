// The Status page: link state and traffic, polled from the driver's status values every 1500 ms,
// and the tray picture that follows the link.
#include "pemblo.h"

void ShowLinkState(HWND page) {
  WCHAR text[STRING_BUFFER_CHARS];
  switch (SettingsCache.LinkState) {
    case 1: SetDlgItemTextW(page, IDC_LINKSTATUS, LoadText(IDS_CONNECTED, text)); break;
    case 4: SetDlgItemTextW(page, IDC_LINKSTATUS, LoadText(IDS_SCANNING, text)); break;
    case 7: SetDlgItemTextW(page, IDC_LINKSTATUS, LoadText(IDS_DISCONNECT, text)); break;
    default: break;  // the driver's "not connected" and anything unknown leave the text alone
  }
}

static void SetBars(HWND page, DWORD input, DWORD output) {
  SendDlgItemMessageW(page, IDC_INPUT_BAR, PBM_SETPOS, (WPARAM)input, 0);
  SendDlgItemMessageW(page, IDC_OUTPUT_BAR, PBM_SETPOS, (WPARAM)output, 0);
}

static void SetTrayPicture(UINT icon) {
  TrayNotify(NIM_MODIFY, MainWindow, TRAY_ICON_ID, LoadIconW(Instance, MAKEINTRESOURCEW(icon)));
}

static void OnStatusCreate(HWND page) {
  // Presets that stand until a read replaces them; the link counts as down until the first tick.
  SettingsCache.DSChannel = 7;
  SettingsCache.Encapsulation = 8;
  SettingsCache.NetworkType = 9;
  SettingsCache.LinkState = 7;
  ReadStatus();
  SettingsCache.Encapsulation = 0;
  ShowLinkState(page);
  SetTimer(page, STATUS_TIMER_ID, STATUS_PERIOD_MS, NULL);
  SendDlgItemMessageW(page, IDC_INPUT_BAR, PBM_SETRANGE, 0, MAKELONG(0, BAR_MAXIMUM));
  SendDlgItemMessageW(page, IDC_OUTPUT_BAR, PBM_SETRANGE, 0, MAKELONG(0, BAR_MAXIMUM));
  SetBars(page, 0, 0);
  SetForegroundWindow(page);
}

static void OnStatusTick(HWND page) {
  WCHAR text[STRING_BUFFER_CHARS];
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PARMS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  DWORD size = sizeof(DWORD);
  BOOL ok = RegQueryValueExW(key, TEXT("LinkState"), NULL, NULL, (LPBYTE)&SettingsCache.LinkState, &size) ==
            ERROR_SUCCESS;
  size = sizeof(DWORD);
  ok = ok && RegQueryValueExW(key, TEXT("bytein"), NULL, NULL, (LPBYTE)&SettingsCache.BytesIn, &size) ==
                 ERROR_SUCCESS;
  size = sizeof(DWORD);
  ok = ok && RegQueryValueExW(key, TEXT("byteout"), NULL, NULL, (LPBYTE)&SettingsCache.BytesOut, &size) ==
                 ERROR_SUCCESS;
  RegCloseKey(key);
  if (!ok) return;
  PostMessageW(page, WM_COMMAND, IDM_SHOWLINKSTATE, 0);

  DWORD state = SettingsCache.LinkState;
  if (state == 7) {
    SetDlgItemTextW(page, IDC_LINKSTATUS, LoadText(IDS_DISCONNECT, text));
    SetBars(page, 0, 0);
    SetTrayPicture(IDI_DISCONNECTED);
  }
  if (state == 1) {
    SetTrayPicture(IDI_CONNECTED);
    SetDlgItemTextW(page, IDC_LINKSTATUS, LoadText(IDS_CONNECTED, text));
  }
  if (state == 4) {
    SetDlgItemTextW(page, IDC_LINKSTATUS, LoadText(IDS_SCANNING, text));
    SetTrayPicture(IDI_SCANNING);
  }
  if (state == 1 || state == 4) {
    // The driver's counters only grow and wrap at 2^32, so the unsigned difference is the traffic
    // of one period even across a wrap.
    DWORD input = SettingsCache.BytesIn - SettingsCache.PrevBytesIn;
    DWORD output = SettingsCache.BytesOut - SettingsCache.PrevBytesOut;
    SetDlgItemInt(page, IDC_INPUT, input, FALSE);
    SetDlgItemInt(page, IDC_OUTPUT, output, FALSE);
    SetBars(page, input, output);
  }
  SettingsCache.PrevBytesIn = SettingsCache.BytesIn;
  SettingsCache.PrevBytesOut = SettingsCache.BytesOut;
}

INT_PTR CALLBACK StatusDlgProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  INT_PTR result;
  if (HandleSheetButton(page, message, lParam, &result)) return result;
  switch (message) {
    case WM_INITDIALOG:
      OnStatusCreate(page);
      return TRUE;
    case WM_TIMER:
      OnStatusTick(page);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDM_SHOWLINKSTATE) {
        ShowLinkState(page);
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}
