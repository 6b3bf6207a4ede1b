// A miniport built as a loadable library that links nothing of the platform: every wrapper,
// port, registry and COREDLL call it makes must be found in the program that loads it.
#include <ceddk.h>
#include <ndis.h>
#include <windows.h>

#include <cstring>

namespace {

struct ModuleAdapter {
  NDIS_HANDLE Handle;
  UINT IoBase;
  PVOID PortBase;
  DWORD Greeting;
};

NDIS_HANDLE g_wrapper;

NDIS_STATUS Initialize(PNDIS_STATUS, PUINT SelectedMediumIndex, PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                       NDIS_HANDLE Handle, NDIS_HANDLE ConfigurationContext) {
  UINT medium = 0;
  while (medium < MediumArraySize && MediumArray[medium] != NdisMedium802_3) ++medium;
  if (medium == MediumArraySize) return NDIS_STATUS_UNSUPPORTED_MEDIA;
  *SelectedMediumIndex = medium;

  ModuleAdapter *a;
  NDIS_PHYSICAL_ADDRESS highest = NDIS_PHYSICAL_ADDRESS_CONST(-1, -1);
  NDIS_STATUS status = NdisAllocateMemory(reinterpret_cast<PVOID *>(&a), sizeof *a, 0, highest);
  if (status != NDIS_STATUS_SUCCESS) return status;
  NdisZeroMemory(a, sizeof *a);
  a->Handle = Handle;

  NDIS_HANDLE config;
  NdisOpenConfiguration(&status, &config, ConfigurationContext);
  if (status == NDIS_STATUS_SUCCESS) {
    NDIS_STRING keyword;
    NdisInitUnicodeString(&keyword, u"IoBaseAddress");
    PNDIS_CONFIGURATION_PARAMETER p;
    NdisReadConfiguration(&status, &p, config, &keyword, NdisParameterHexInteger);
    if (status == NDIS_STATUS_SUCCESS) a->IoBase = p->ParameterData.IntegerData;
    NdisCloseConfiguration(config);
  }
  if (status == NDIS_STATUS_SUCCESS) status = NdisMRegisterIoPortRange(&a->PortBase, Handle, a->IoBase, 4);
  if (status != NDIS_STATUS_SUCCESS) {
    NdisWriteErrorLogEntry(Handle, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, 0);
    NdisFreeMemory(a, sizeof *a, 0);
    return status;
  }
  NdisMSetAttributes(Handle, a, FALSE, NdisInterfacePcMcia);

  // The registry and local memory of COREDLL, as the driver's status timer uses them.
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Comm\\ModCard1\\Parms", 0, 0, &key) == ERROR_SUCCESS) {
    DWORD size = sizeof a->Greeting;
    DWORD type;
    RegQueryValueExW(key, u"Greeting", nullptr, &type, reinterpret_cast<LPBYTE>(&a->Greeting), &size);
    RegCloseKey(key);
  }
  HLOCAL scratch = LocalAlloc(LPTR, 16);
  LocalFree(scratch);
  return NDIS_STATUS_SUCCESS;
}

VOID Halt(NDIS_HANDLE context) {
  auto *a = static_cast<ModuleAdapter *>(context);
  NdisMDeregisterIoPortRange(a->Handle, a->IoBase, 4, a->PortBase);
  NdisFreeMemory(a, sizeof *a, 0);
}

NDIS_STATUS Query(NDIS_HANDLE context, NDIS_OID Oid, PVOID Buffer, ULONG Length, PULONG Written, PULONG Needed) {
  auto *a = static_cast<ModuleAdapter *>(context);
  if (Length < sizeof(ULONG)) {
    *Needed = sizeof(ULONG);
    return NDIS_STATUS_INVALID_LENGTH;
  }
  ULONG value;
  switch (Oid) {
    case 1: value = READ_PORT_USHORT(static_cast<PUSHORT>(a->PortBase)); break;
    case 2: value = static_cast<ULONG>(MessageBoxW(nullptr, u"from the module", u"Debug", MB_OK)); break;
    case 3: value = a->Greeting; break;
    default: return NDIS_STATUS_INVALID_OID;
  }
  NdisMoveMemory(Buffer, &value, sizeof value);
  *Written = sizeof value;
  return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS Set(NDIS_HANDLE, NDIS_OID, PVOID, ULONG, PULONG, PULONG) { return NDIS_STATUS_INVALID_OID; }
NDIS_STATUS Reset(PBOOLEAN, NDIS_HANDLE) { return NDIS_STATUS_SUCCESS; }
NDIS_STATUS Send(NDIS_HANDLE, PNDIS_PACKET, UINT) { return NDIS_STATUS_SUCCESS; }
NDIS_STATUS TransferData(PNDIS_PACKET, PUINT Transferred, NDIS_HANDLE, NDIS_HANDLE, UINT, UINT) {
  *Transferred = 0;
  return NDIS_STATUS_FAILURE;
}
VOID Quiet(NDIS_HANDLE) {}

}  // namespace

extern "C" __attribute__((visibility("default"))) NDIS_STATUS DriverEntry(PVOID DriverObject, PVOID RegistryPath) {
  NdisInitializeWrapper(&g_wrapper, DriverObject, RegistryPath, nullptr);
  NDIS_MINIPORT_CHARACTERISTICS c;
  NdisZeroMemory(&c, sizeof c);
  c.Ndis30Chars.MajorNdisVersion = 4;
  c.Ndis30Chars.DisableInterruptHandler = Quiet;
  c.Ndis30Chars.EnableInterruptHandler = Quiet;
  c.Ndis30Chars.HaltHandler = Halt;
  c.Ndis30Chars.HandleInterruptHandler = Quiet;
  c.Ndis30Chars.InitializeHandler = Initialize;
  c.Ndis30Chars.QueryInformationHandler = Query;
  c.Ndis30Chars.ResetHandler = Reset;
  c.Ndis30Chars.SendHandler = Send;
  c.Ndis30Chars.SetInformationHandler = Set;
  c.Ndis30Chars.TransferDataHandler = TransferData;
  return NdisMRegisterMiniport(g_wrapper, &c, sizeof c);
}
