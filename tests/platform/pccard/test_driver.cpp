// Driver libraries the socket tests load instead of the real driver, one per compile variant:
// PCCARD_LEAKY_DRIVER  a miniport that comes up, writes the card's command register twice in a
//                      row (the second time while it is busy), and leaves its memory, ports and a
//                      LocalAlloc block behind when halted;
// PCCARD_REFUSING_DRIVER  an Install_Driver that writes nothing and a DriverEntry that fails;
// neither              a library without the driver exports.
#include <string.h>

#include <windows.h>
#include <ceddk.h>
#include <ndis.h>

#define TEST_EXPORT extern "C" __attribute__((visibility("default")))

#if defined(PCCARD_LEAKY_DRIVER)

namespace {

struct LeakyAdapter {
  NDIS_HANDLE Handle;
  PVOID PortBase;
};

NDIS_HANDLE g_wrapper;
HLOCAL g_block;

NDIS_STATUS Initialize(PNDIS_STATUS, PUINT SelectedMediumIndex, PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                       NDIS_HANDLE Handle, NDIS_HANDLE ConfigurationContext) {
  UINT medium = 0;
  while (medium < MediumArraySize && MediumArray[medium] != NdisMedium802_3) ++medium;
  if (medium == MediumArraySize) return NDIS_STATUS_UNSUPPORTED_MEDIA;
  *SelectedMediumIndex = medium;

  LeakyAdapter *a;
  NDIS_PHYSICAL_ADDRESS highest = NDIS_PHYSICAL_ADDRESS_CONST(-1, -1);
  NDIS_STATUS status = NdisAllocateMemory(reinterpret_cast<PVOID *>(&a), sizeof *a, 0, highest);
  if (status != NDIS_STATUS_SUCCESS) return status;
  a->Handle = Handle;
  UINT ioBase = 0;
  NDIS_HANDLE config;
  NdisOpenConfiguration(&status, &config, ConfigurationContext);
  if (status != NDIS_STATUS_SUCCESS) return status;
  NDIS_STRING keyword;
  NdisInitUnicodeString(&keyword, u"IoBaseAddress");
  PNDIS_CONFIGURATION_PARAMETER p;
  NdisReadConfiguration(&status, &p, config, &keyword, NdisParameterHexInteger);
  if (status == NDIS_STATUS_SUCCESS) ioBase = p->ParameterData.IntegerData;
  NdisCloseConfiguration(config);
  NdisMSetAttributes(Handle, a, FALSE, NdisInterfacePcMcia);
  status = NdisMRegisterIoPortRange(&a->PortBase, Handle, ioBase, 64);
  if (status == NDIS_STATUS_SUCCESS) {
    PUSHORT command = static_cast<PUSHORT>(a->PortBase);  // the command register is the first port
    WRITE_PORT_USHORT(command, 0);
    WRITE_PORT_USHORT(command, 0);
  }
  return status;
}

// Releases nothing: the ports, the adapter's memory and the driver's LocalAlloc block stay held.
VOID Halt(NDIS_HANDLE) {}

NDIS_STATUS Query(NDIS_HANDLE, NDIS_OID, PVOID, ULONG, PULONG Written, PULONG Needed) {
  *Written = 0;
  *Needed = 0;
  return NDIS_STATUS_INVALID_OID;
}
NDIS_STATUS Set(NDIS_HANDLE, NDIS_OID, PVOID, ULONG, PULONG Read, PULONG Needed) {
  *Read = 0;
  *Needed = 0;
  return NDIS_STATUS_INVALID_OID;
}
NDIS_STATUS Reset(PBOOLEAN, NDIS_HANDLE) { return NDIS_STATUS_SUCCESS; }
NDIS_STATUS Send(NDIS_HANDLE, PNDIS_PACKET, UINT) { return NDIS_STATUS_SUCCESS; }
NDIS_STATUS TransferData(PNDIS_PACKET, PUINT Transferred, NDIS_HANDLE, NDIS_HANDLE, UINT, UINT) {
  *Transferred = 0;
  return NDIS_STATUS_FAILURE;
}
VOID Quiet(NDIS_HANDLE) {}

}  // namespace

// The block DriverEntry never frees, so that the test can give it back once it has been reported.
TEST_EXPORT HLOCAL LeakyDriverBlock() { return g_block; }

TEST_EXPORT NDIS_STATUS DriverEntry(PVOID DriverObject, PVOID RegistryPath) {
  g_block = LocalAlloc(LPTR, 24);
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

#elif defined(PCCARD_REFUSING_DRIVER)

TEST_EXPORT LPWSTR Install_Driver(LPWSTR, LPWSTR, DWORD) { return nullptr; }

TEST_EXPORT NDIS_STATUS DriverEntry(PVOID, PVOID) { return NDIS_STATUS_FAILURE; }

#else

TEST_EXPORT int NotADriver() { return 0; }

#endif
