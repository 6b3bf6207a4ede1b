// The registry routines the pages share: reading the configuration into SettingsCache and
// writing single values. Every call opens the shared key and closes it again; the driver
// reads and writes the same key from its own process, with no lock between us.
#include "pemblo.h"

static BOOL QueryDword(HKEY key, LPCWSTR name, DWORD *value) {
  DWORD size = sizeof(DWORD);
  return RegQueryValueExW(key, name, NULL, NULL, (LPBYTE)value, &size) == ERROR_SUCCESS;
}

BOOL ReadStatus(void) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PARMS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    OutputDebugStringW(TEXT("ReadStatus():RegOpenKeyEx <<Fail>>\r\n"));
    return FALSE;
  }
  BOOL ok = QueryDword(key, TEXT("DSChannel"), &SettingsCache.DSChannel) &&
            QueryDword(key, TEXT("PSMode"), &SettingsCache.PSMode) &&
            QueryDword(key, TEXT("NetworkType"), &SettingsCache.NetworkType) &&
            QueryDword(key, TEXT("Encapsulation"), &SettingsCache.Encapsulation);
  if (ok) {
    DWORD size = (SSID_MAX_CHARS + 1) * sizeof(WCHAR);
    ok = RegQueryValueExW(key, TEXT("SSID"), NULL, NULL, (LPBYTE)SettingsCache.Ssid, &size) == ERROR_SUCCESS;
    // A stored text without its terminator must not run into what an older name left behind.
    if (ok) SettingsCache.Ssid[size / sizeof(WCHAR)] = 0;
  }
  RegCloseKey(key);
  return ok;
}

BOOL AddKeyValue(LPCWSTR name, const void *data, DWORD size, DWORD type) {
  HKEY key;
  DWORD disposition;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, PARMS_KEY, 0, NULL, 0, KEY_WRITE, NULL, &key, &disposition) !=
      ERROR_SUCCESS)
    return FALSE;
  if (RegSetValueExW(key, name, 0, type, (const BYTE *)data, size) != ERROR_SUCCESS) {
    OutputDebugStringW(TEXT("AddKeyValue:RegSetValueEx <<Fail>>\r\n"));
    RegCloseKey(key);
    return FALSE;
  }
  RegCloseKey(key);
  return TRUE;
}

// A list that had no selection when the page was collected is not written: the value in the
// registry stays as it was rather than becoming an index that means nothing to the driver.
BOOL WriteConfig(void) {
  if (SettingsCache.DSChannel != LIST_NO_SELECTION + 1 &&
      !AddKeyValue(TEXT("DSChannel"), &SettingsCache.DSChannel, sizeof(DWORD), REG_DWORD))
    return FALSE;
  if (SettingsCache.NetworkType != LIST_NO_SELECTION &&
      !AddKeyValue(TEXT("NetworkType"), &SettingsCache.NetworkType, sizeof(DWORD), REG_DWORD))
    return FALSE;
  DWORD ssidBytes = (DWORD)(wcslen(SettingsCache.Ssid) + 1) * sizeof(WCHAR);
  if (!AddKeyValue(TEXT("SSID"), SettingsCache.Ssid, ssidBytes, REG_SZ)) return FALSE;
  return AddKeyValue(TEXT("PSMode"), &SettingsCache.PSMode, sizeof(DWORD), REG_DWORD);
}
