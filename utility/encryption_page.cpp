// The Encryption page: WEP on or off and the five bytes of key 1. The driver re-reads both
// values every second, so these take effect without re-inserting the card.
#include "pemblo.h"

#define KEY_BOX_CHARS 3  // a box is read with room for three characters

void EnableKeyControls(HWND page, BOOL on) {
  for (int id = IDC_KEY1_BYTE1; id <= IDC_KEY1_BYTE5; id++) EnableWindow(GetDlgItem(page, id), on);
  EnableWindow(GetDlgItem(page, IDC_WRITE), on);
  EnableWindow(GetDlgItem(page, IDC_CLEAR), on);
  if (on) SendDlgItemMessageW(page, IDC_ENABLE, BM_SETCHECK, BST_CHECKED, 0);
}

static BOOL ReadKeySettings(void) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PARMS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return FALSE;
  // Both values are read whatever became of the first, so that the boxes shown after a failed
  // read carry the stored key when only WepReq is missing.
  DWORD size = sizeof(DWORD);
  BOOL wepRead = RegQueryValueExW(key, TEXT("WepReq"), NULL, NULL, (LPBYTE)&SettingsCache.WepReqCache, &size) ==
                 ERROR_SUCCESS;
  size = sizeof(SettingsCache.KeyBytes);
  BOOL keysRead = RegQueryValueExW(key, TEXT("DefaultKeys"), NULL, NULL, SettingsCache.KeyBytes, &size) ==
                  ERROR_SUCCESS;
  RegCloseKey(key);
  return wepRead && keysRead;
}

// Two hexadecimal digits, upper case like everything the boxes accept from the keyboard, so that
// a "Write" straight after shows every box as valid.
static void ShowKeyByte(HWND page, int box, BYTE value) {
  WCHAR digits[] = TEXT("0123456789ABCDEF");
  WCHAR text[3] = {digits[value >> 4], digits[value & 0x0F], 0};
  SetDlgItemTextW(page, box, text);
}

static void OnEncryptionCreate(HWND page) {
  if (!ReadKeySettings()) {
    for (int i = 0; i < KEY1_BYTES; i++) ShowKeyByte(page, IDC_KEY1_BYTE1 + i, SettingsCache.KeyBytes[i]);
  }
  EnableKeyControls(page, SettingsCache.WepReqCache != 0);
  SettingsCache.WepToggle = SettingsCache.WepReqCache != 0;
  SetForegroundWindow(page);
}

static BOOL IsKeyDigit(WCHAR c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

static void OnWrite(HWND page) {
  BOOL allValid = TRUE;
  for (int i = 0; i < KEY1_BYTES; i++) {
    WCHAR text[KEY_BOX_CHARS + 1] = {0};
    GetDlgItemTextW(page, IDC_KEY1_BYTE1 + i, text, KEY_BOX_CHARS + 1);
    if (IsKeyDigit(text[0]) && IsKeyDigit(text[1])) {
      SettingsCache.KeyBytes[i] = (BYTE)(wcstoul(text, NULL, 16) & 0xFF);
    } else {
      // Mark the box; its selection stays visible while another control has the focus.
      SendDlgItemMessageW(page, IDC_KEY1_BYTE1 + i, EM_SETSEL, 0, 2);
      allValid = FALSE;
    }
  }
  if (allValid) AddKeyValue(TEXT("DefaultKeys"), SettingsCache.KeyBytes, KEY1_BYTES, REG_BINARY);
}

static void OnClear(HWND page) {
  WCHAR text[STRING_BUFFER_CHARS];
  LoadText(IDS_KEY_CLEARED, text);
  for (int i = 0; i < KEY1_BYTES; i++) SetDlgItemTextW(page, IDC_KEY1_BYTE1 + i, text);
}

static void OnEnable(HWND page) {
  SettingsCache.WepToggle = !SettingsCache.WepToggle;
  SettingsCache.WepReqCache = SettingsCache.WepToggle ? 1 : 0;
  EnableKeyControls(page, SettingsCache.WepToggle);
  AddKeyValue(TEXT("WepReq"), &SettingsCache.WepReqCache, sizeof(DWORD), REG_DWORD);
}

INT_PTR CALLBACK EncryptionDlgProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  INT_PTR result;
  if (HandleSheetButton(page, message, lParam, &result)) return result;
  switch (message) {
    case WM_INITDIALOG:
      OnEncryptionCreate(page);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_WRITE:
          OnWrite(page);
          return FALSE;
        case IDC_CLEAR:
          OnClear(page);
          return FALSE;
        case IDC_ENABLE:
          OnEnable(page);
          return TRUE;
        default:
          return FALSE;
      }
    default:
      return FALSE;
  }
}
