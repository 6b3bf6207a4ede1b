// Driver configuration: the registry parameters read at initialisation and the installation
// export that writes the driver's registry keys.
#pragma once

#define KEY_TEXT_SIZE 41
#define KEY_TEXT_DIGITS 40
#define INSTALL_PATH_SIZE 128
#define INSTALL_MAX_DEVICE_KEY 112

#define DEFAULT_PS_MODE 1
#define DEFAULT_PS_LEVEL 0
#define DEFAULT_ENCAPSULATION 2

// ---------------------------------------------------------------------------------------------
// Registry parameters (config/parameters.cpp)
// ---------------------------------------------------------------------------------------------
NDIS_STATUS ReadRegistryParameters(PADAPTER Adapter, NDIS_HANDLE WrapperConfigurationContext);
VOID ParseKeyText(const CHAR *Text, PUCHAR Keys);

// ---------------------------------------------------------------------------------------------
// Installation (config/install.cpp)
// ---------------------------------------------------------------------------------------------
typedef struct _VALUE_ENTRY {
  LPCWSTR Name;   // null ends the table
  DWORD Type;     // REG_SZ, REG_BINARY, REG_DWORD or REG_MULTI_SZ
  LPCWSTR Text;   // REG_SZ and REG_MULTI_SZ
  DWORD Number;   // REG_DWORD
} VALUE_ENTRY;

BOOLEAN WriteValueTable(LPCWSTR KeyPath, const VALUE_ENTRY *Table);
extern "C" LPWSTR Install_Driver(LPWSTR DeviceKeyName, LPWSTR Output, DWORD OutputSize);
