// The one-second status timer of a running adapter: it publishes the link state and byte counts
// in the adapter's key for the utility and applies the WEP values the utility may have changed.
#include "teskel.h"

// Stores one status value, always 4 bytes of the record.
static BOOLEAN PublishValue(HKEY Key, LPCWSTR Name, DWORD Type, const ULONG *Value) {
  return RegSetValueExW(Key, Name, 0, Type, (const BYTE *)Value, sizeof(ULONG)) == ERROR_SUCCESS;
}

// Programs the default key index, the four keys and WEP on; stops at the first failure.
static BOOLEAN ProgramWep(PADAPTER Adapter) {
  if (!SetDefaultKeyId(Adapter, 0)) return FALSE;
  for (ULONG Number = 1; Number <= WEP_KEY_COUNT; Number++) {
    if (!SetDefaultKey(Adapter, Number, Adapter->DefaultKeys + (Number - 1) * WEP_KEY_SIZE)) return FALSE;
  }
  return SetWepFlags(Adapter, 1);
}

// Applies "WepReq" and "DefaultKeys" as the key holds them now.
static VOID PollWep(PADAPTER Adapter) {
  HKEY Key;
  ULONG WepReq = 0;
  UCHAR Keys[DEFAULT_KEYS_SIZE];
  DWORD Size;

  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, STATUS_KEY, 0, KEY_READ, &Key) != ERROR_SUCCESS) return;

  Size = sizeof(WepReq);
  if (RegQueryValueExW(Key, TEXT("WepReq"), NULL, NULL, (LPBYTE)&WepReq, &Size) != ERROR_SUCCESS) {
    RegCloseKey(Key);
    return;
  }
  if ((WepReq & WEP_REQUEST_MASK) == 0) {
    RegCloseKey(Key);
    SetWepFlags(Adapter, 0);
    return;
  }

  NdisZeroMemory(Keys, sizeof(Keys));
  Size = sizeof(Keys);
  if (RegQueryValueExW(Key, TEXT("DefaultKeys"), NULL, NULL, Keys, &Size) != ERROR_SUCCESS) {
    RegCloseKey(Key);
    MessageBoxW(NULL, TEXT("DefaultKeys: fail"), TEXT("Debug"), MB_OK);
    return;
  }
  RegCloseKey(Key);

  // Only key 1 comes from the poll; keys 2 to 4 stay as initialisation read them.
  memcpy(Adapter->DefaultKeys, Keys, WEP_KEY_SIZE);
  Adapter->DefaultKeyId = 0;
  if (!ProgramWep(Adapter)) Adapter->WepSupported = 0;
}

VOID NTAPI StatusTimerTick(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2, PVOID SystemSpecific3) {
  PADAPTER Adapter = (PADAPTER)FunctionContext;
  STATUS_INFO Info;
  HKEY Key;
  DWORD Disposition;
  DWORD Type = REG_DWORD;

  (void)SystemSpecific1;
  (void)SystemSpecific2;
  (void)SystemSpecific3;

  // Re-armed first, so that ticks stay one second apart from start to start.
  NdisMSetTimer(&Adapter->StatusTimer, 1000);

  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, STATUS_KEY, 0, NULL, STATUS_KEY_OPTIONS, 0, NULL, &Key, &Disposition) !=
      ERROR_SUCCESS) {
    return;
  }

  // No field of the record goes out undefined, whatever the controller answers.
  NdisZeroMemory(&Info, sizeof(Info));
  if (!Adapter->StatusInitialized) {
    Adapter->StatusInitialized = 1;
  } else {
    // The values keep a type someone gave "LinkState", but are always written as the record's
    // 4 bytes: a longer or unreadable value must not make the writes reach past their fields.
    ULONG Previous;
    DWORD ReadType = REG_DWORD;
    DWORD ReadSize = sizeof(Previous);
    if (RegQueryValueExW(Key, TEXT("LinkState"), NULL, &ReadType, (LPBYTE)&Previous, &ReadSize) == ERROR_SUCCESS &&
        ReadSize == sizeof(Previous)) {
      Type = ReadType;
    }
  }

  // An unreadable link status still publishes the counts the adapter holds.
  if (Fenwa_GetInfo(Adapter, &Info) != 0) GetByteCounts(Adapter, &Info);

  if (!PublishValue(Key, TEXT("LinkState"), Type, &Info.LinkState) ||
      !PublishValue(Key, TEXT("bytein"), Type, &Info.bytein) ||
      !PublishValue(Key, TEXT("byteout"), Type, &Info.byteout)) {
    RegCloseKey(Key);
    return;
  }
  RegCloseKey(Key);

  PollWep(Adapter);
}
