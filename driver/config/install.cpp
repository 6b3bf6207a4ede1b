// The installation export: the registry keys that make the platform load the driver for a PC
// Card socket and bring up the adapter instance Teskel1 with its installed parameters.
#include "teskel.h"

#define SOCKET_KEY_PREFIX TEXT("Drivers\\PCMCIA\\")
#define DRIVER_KEY TEXT("Comm\\Teskel")
#define INSTANCE_KEY TEXT("Comm\\Teskel1")
#define PARMS_KEY TEXT("Comm\\Teskel1\\Parms")
#define LINKAGE_KEY TEXT("Comm\\Teskel\\Linkage")

static const VALUE_ENTRY SocketValues[] = {
    {TEXT("Dll"), REG_SZ, TEXT("ndis.dll"), 0},
    {TEXT("Prefix"), REG_SZ, TEXT("NDS"), 0},
    {TEXT("Miniport"), REG_SZ, TEXT("Teskel"), 0},
    {TEXT("Index"), REG_DWORD, NULL, 1},
    {NULL, 0, NULL, 0},
};

static const VALUE_ENTRY DriverValues[] = {
    {TEXT("DisplayName"), REG_SZ, TEXT("Teskel 802.11 Wireless LAN Driver"), 0},
    {TEXT("Group"), REG_SZ, TEXT("NDIS"), 0},
    {TEXT("ImagePath"), REG_SZ, TEXT("Teskel.dll"), 0},
    {NULL, 0, NULL, 0},
};

static const VALUE_ENTRY ParmsValues[] = {
    {TEXT("BusNumber"), REG_DWORD, NULL, 0},
    {TEXT("BusType"), REG_DWORD, NULL, 8},
    {TEXT("InterruptNumber"), REG_DWORD, NULL, 15},
    {TEXT("IoBaseAddress"), REG_DWORD, NULL, 0x300},
    {TEXT("CardType"), REG_DWORD, NULL, 2},
    {TEXT("NetworkType"), REG_DWORD, NULL, 1},
    {TEXT("RTSThresh"), REG_DWORD, NULL, 2432},
    {TEXT("FragThresh"), REG_DWORD, NULL, 2500},
    {TEXT("SSID"), REG_SZ, TEXT("any"), 0},
    {TEXT("StationName"), REG_SZ, TEXT("Client"), 0},
    {TEXT("TxRate"), REG_DWORD, NULL, 15},
    {TEXT("VendorDesc"), REG_SZ, TEXT("Halden IEEE 802.11 Adapter"), 0},
    {TEXT("PSMode"), REG_DWORD, NULL, 1},
    {TEXT("PSLevel"), REG_DWORD, NULL, 0},
    {TEXT("Encapsulation"), REG_DWORD, NULL, 2},
    {TEXT("WepReq"), REG_DWORD, NULL, 0},
    {TEXT("DefaultKeyId"), REG_DWORD, NULL, 0},
    {TEXT("DefaultKeys"), REG_BINARY, NULL, 0},
    {TEXT("ATIMWindow"), REG_DWORD, NULL, 0},
    {TEXT("ListenInterval"), REG_DWORD, NULL, 3},
    {TEXT("DSChannel"), REG_DWORD, NULL, 1},
    {NULL, 0, NULL, 0},
};

static const VALUE_ENTRY LinkageValues[] = {
    {TEXT("Route"), REG_MULTI_SZ, TEXT("Teskel1"), 0},
    {NULL, 0, NULL, 0},
};

BOOLEAN WriteValueTable(LPCWSTR KeyPath, const VALUE_ENTRY *Table) {
  HKEY Key;
  DWORD Disposition;
  // Installed keys start as zeros; the utility writes the real ones.
  UCHAR Binary[DEFAULT_KEYS_SIZE];

  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, KeyPath, 0, NULL, 0, 0, NULL, &Key, &Disposition) != ERROR_SUCCESS) {
    return FALSE;
  }
  memset(Binary, 0, sizeof(Binary));

  for (const VALUE_ENTRY *Entry = Table; Entry->Name; Entry++) {
    const BYTE *Data = NULL;
    DWORD Size = 0;
    DWORD Number = Entry->Number;
    HLOCAL Block = NULL;

    switch (Entry->Type) {
      case REG_SZ:
        Data = (const BYTE *)Entry->Text;
        Size = (DWORD)((wcslen(Entry->Text) + 1) * sizeof(WCHAR));
        break;
      case REG_DWORD:
        Data = (const BYTE *)&Number;
        Size = sizeof(Number);
        break;
      case REG_BINARY:
        Data = Binary;
        Size = sizeof(Binary);
        break;
      case REG_MULTI_SZ: {
        // One string and the list's own terminator behind its terminator.
        DWORD Characters = (DWORD)wcslen(Entry->Text);
        Size = (Characters + 2) * sizeof(WCHAR);
        Block = LocalAlloc(LPTR, Size);
        if (!Block) continue;
        wcscpy((LPWSTR)Block, Entry->Text);
        Data = (const BYTE *)Block;
        break;
      }
      default:
        continue;
    }

    LONG Result = RegSetValueExW(Key, Entry->Name, 0, Entry->Type, Data, Size);
    if (Block) LocalFree(Block);
    if (Result != ERROR_SUCCESS) {
      RegCloseKey(Key);
      return FALSE;
    }
  }
  RegCloseKey(Key);
  return TRUE;
}

LPWSTR Install_Driver(LPWSTR DeviceKeyName, LPWSTR Output, DWORD OutputSize) {
  WCHAR SocketKey[INSTALL_PATH_SIZE];

  // The socket key path must fit its own buffer and the caller's (sizes in characters).
  if (!DeviceKeyName || !Output) return NULL;
  size_t NameLength = wcslen(DeviceKeyName);
  if (NameLength > INSTALL_MAX_DEVICE_KEY) return NULL;
  size_t PathLength = wcslen(SOCKET_KEY_PREFIX) + NameLength;
  if (OutputSize < PathLength + 1) return NULL;

  wcscpy(SocketKey, SOCKET_KEY_PREFIX);
  wcscat(SocketKey, DeviceKeyName);

  if (WriteValueTable(SocketKey, SocketValues) && WriteValueTable(DRIVER_KEY, DriverValues) &&
      WriteValueTable(INSTANCE_KEY, DriverValues) && WriteValueTable(PARMS_KEY, ParmsValues) &&
      WriteValueTable(LINKAGE_KEY, LinkageValues)) {
    wcscpy(Output, SocketKey);
    return Output;
  }

  // Nothing half-installed stays behind.
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, SocketKey);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, DRIVER_KEY);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, INSTANCE_KEY);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, PARMS_KEY);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, LINKAGE_KEY);
  return NULL;
}
