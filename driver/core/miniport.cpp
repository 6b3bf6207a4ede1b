// The driver's registration and the adapter's life: initialise (resources, parameters, controller
// bring-up, interrupt, status timer), halt and reset, and the list of started adapters.
#include "teskel.h"

NDIS_HANDLE WrapperHandle;
PADAPTER AdapterList;

static NDIS_STRING KeywordCardType = NDIS_STRING_CONST("CardType");
static NDIS_STRING KeywordBusType = NDIS_STRING_CONST("BusType");
static NDIS_STRING KeywordInterruptNumber = NDIS_STRING_CONST("InterruptNumber");
static NDIS_STRING KeywordIoBaseAddress = NDIS_STRING_CONST("IoBaseAddress");

// ---------------------------------------------------------------------------------------------
// Registration
// ---------------------------------------------------------------------------------------------

NDIS_STATUS NTAPI DriverEntry(PVOID DriverObject, PVOID RegistryPath) {
  NDIS_MINIPORT_CHARACTERISTICS Characteristics;

  NdisInitializeWrapper(&WrapperHandle, DriverObject, RegistryPath, NULL);
  AdapterList = NULL;

  NdisZeroMemory(&Characteristics, sizeof(Characteristics));
  Characteristics.Ndis30Chars.MajorNdisVersion = 4;
  Characteristics.Ndis30Chars.MinorNdisVersion = 0;
  Characteristics.Ndis30Chars.DisableInterruptHandler = MiniportDisableInterrupt;
  Characteristics.Ndis30Chars.EnableInterruptHandler = MiniportEnableInterrupt;
  Characteristics.Ndis30Chars.HaltHandler = MiniportHalt;
  Characteristics.Ndis30Chars.HandleInterruptHandler = MiniportHandleInterrupt;
  Characteristics.Ndis30Chars.InitializeHandler = MiniportInitialize;
  Characteristics.Ndis30Chars.ISRHandler = MiniportISR;
  Characteristics.Ndis30Chars.QueryInformationHandler = MiniportQueryInformation;
  Characteristics.Ndis30Chars.ResetHandler = MiniportReset;
  Characteristics.Ndis30Chars.SendHandler = MiniportSend;
  Characteristics.Ndis30Chars.SetInformationHandler = MiniportSetInformation;
  Characteristics.Ndis30Chars.TransferDataHandler = MiniportTransferData;

  if (NdisMRegisterMiniport(WrapperHandle, &Characteristics, sizeof(Characteristics)) != NDIS_STATUS_SUCCESS) {
    return NDIS_STATUS_FAILURE;
  }
  return NDIS_STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// The list of started adapters
// ---------------------------------------------------------------------------------------------

static VOID LinkAdapter(PADAPTER Adapter) {
  Adapter->Next = AdapterList;
  AdapterList = Adapter;
}

VOID UnlinkAdapter(PADAPTER Adapter) {
  if (AdapterList == Adapter) {
    AdapterList = Adapter->Next;
    return;
  }
  for (PADAPTER Walk = AdapterList; Walk; Walk = Walk->Next) {
    if (Walk->Next == Adapter) {
      Walk->Next = Adapter->Next;
      return;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Initialisation
// ---------------------------------------------------------------------------------------------

// Reads one of the card's resource keywords as a hexadecimal integer.
static NDIS_STATUS ReadResource(NDIS_HANDLE Configuration, PNDIS_STRING Keyword, PULONG Value) {
  NDIS_STATUS Status;
  PNDIS_CONFIGURATION_PARAMETER Parameter = NULL;

  NdisReadConfiguration(&Status, &Parameter, Configuration, Keyword, NdisParameterHexInteger);
  if (Status == NDIS_STATUS_SUCCESS) *Value = Parameter->ParameterData.IntegerData;
  return Status;
}

// Reads the card's resources; returns the status to fail with, after logging it.
static NDIS_STATUS ReadResources(PADAPTER Adapter, NDIS_HANDLE Configuration) {
  NDIS_STATUS Status;
  ULONG Value;

  if (ReadResource(Configuration, &KeywordCardType, &Value) == NDIS_STATUS_SUCCESS) Adapter->CardType = Value;

  Adapter->BusType = NdisInterfacePcMcia;
  if (ReadResource(Configuration, &KeywordBusType, &Value) == NDIS_STATUS_SUCCESS) Adapter->BusType = (UCHAR)Value;
  if (Adapter->BusType != NdisInterfaceIsa && Adapter->BusType != NdisInterfacePcMcia) {
    NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION, 1, (ULONG)25);
    return (NDIS_STATUS)NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION;
  }

  Status = ReadResource(Configuration, &KeywordInterruptNumber, &Value);
  if (Status != NDIS_STATUS_SUCCESS) {
    NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, (NDIS_ERROR_CODE)Status, 0);
    return Status;
  }
  Adapter->InterruptVector = Value;
  Adapter->InterruptLevel = Value;
  Adapter->InterruptMode = NdisInterruptLevelSensitive;

  Status = ReadResource(Configuration, &KeywordIoBaseAddress, &Value);
  if (Status != NDIS_STATUS_SUCCESS) {
    NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, (NDIS_ERROR_CODE)Status, 0);
    return Status;
  }
  Adapter->IoBaseAddress.u.LowPart = Value;
  Adapter->IoBaseAddress.u.HighPart = 0;
  Adapter->IoPortCount = PORT_WINDOW_SIZE;
  return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NTAPI MiniportInitialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex, PNDIS_MEDIUM MediumArray,
                                     UINT MediumArraySize, NDIS_HANDLE MiniportAdapterHandle,
                                     NDIS_HANDLE WrapperConfigurationContext) {
  NDIS_PHYSICAL_ADDRESS HighestAcceptable = NDIS_PHYSICAL_ADDRESS_CONST(-1, -1);
  PADAPTER Adapter = NULL;
  NDIS_HANDLE Configuration = NULL;
  BOOLEAN ConfigurationOpen = FALSE;
  NDIS_STATUS Status;
  UINT Index;

  (void)OpenErrorStatus;

  for (Index = 0; Index < MediumArraySize; Index++) {
    if (MediumArray[Index] == NdisMedium802_3) break;
  }
  if (Index == MediumArraySize) return NDIS_STATUS_UNSUPPORTED_MEDIA;
  *SelectedMediumIndex = Index;

  Status = NdisAllocateMemory((PVOID *)&Adapter, sizeof(ADAPTER), 0, HighestAcceptable);
  if (Status != NDIS_STATUS_SUCCESS) {
    NdisWriteErrorLogEntry(MiniportAdapterHandle, NDIS_ERROR_CODE_OUT_OF_RESOURCES, 1, (ULONG)3);
    return Status;
  }
  NdisZeroMemory(Adapter, sizeof(ADAPTER));
  Adapter->MiniportAdapterHandle = MiniportAdapterHandle;

  NdisOpenConfiguration(&Status, &Configuration, WrapperConfigurationContext);
  if (Status != NDIS_STATUS_SUCCESS) {
    NdisWriteErrorLogEntry(MiniportAdapterHandle, NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION, 1, (ULONG)23);
    goto Fail;
  }
  ConfigurationOpen = TRUE;

  Status = ReadResources(Adapter, Configuration);
  if (Status != NDIS_STATUS_SUCCESS) goto Fail;

  NdisCloseConfiguration(Configuration);
  ConfigurationOpen = FALSE;

  Status = ReadRegistryParameters(Adapter, WrapperConfigurationContext);
  if (Status != NDIS_STATUS_SUCCESS) {
    NdisWriteErrorLogEntry(MiniportAdapterHandle, NDIS_ERROR_CODE_MISSING_CONFIGURATION_PARAMETER, 0);
    goto Fail;
  }

  Adapter->CurrentLookahead = MAXIMUM_LOOKAHEAD;

  if (StartAdapter(Adapter) != NDIS_STATUS_SUCCESS) {
    Status = NDIS_STATUS_FAILURE;
    goto Fail;
  }

  MiniportEnableInterrupt(Adapter);

  NdisMInitializeTimer(&Adapter->StatusTimer, MiniportAdapterHandle, StatusTimerTick, Adapter);
  NdisMSetTimer(&Adapter->StatusTimer, 1000);
  return NDIS_STATUS_SUCCESS;

Fail:
  // Everything acquired above is released here, and nothing else.
  if (ConfigurationOpen) NdisCloseConfiguration(Configuration);
  NdisFreeMemory(Adapter, sizeof(ADAPTER), 0);
  return Status;
}

// Bring-up of a configured record: port window, controller, interrupt. On failure it releases
// what it took (the list entry and the interrupt enable in step A, the ports in step B).
NDIS_STATUS StartAdapter(PADAPTER Adapter) {
  NDIS_STATUS Status;

  NdisMSetAttributes(Adapter->MiniportAdapterHandle, Adapter, FALSE, (NDIS_INTERFACE_TYPE)Adapter->BusType);

  Status = NdisMRegisterIoPortRange(&Adapter->PortBase, Adapter->MiniportAdapterHandle,
                                    Adapter->IoBaseAddress.u.LowPart, Adapter->IoPortCount);
  if (Status != NDIS_STATUS_SUCCESS) return Status;

  if (!InitializeController(Adapter) || !GetStationAddress(Adapter, Adapter->PermanentAddress)) {
    NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, 0);
    Status = NDIS_STATUS_ADAPTER_NOT_FOUND;
    goto UnwindPorts;
  }
  memcpy(Adapter->CurrentAddress, Adapter->PermanentAddress, MAC_ADDRESS_SIZE);
  Adapter->InterruptMask = INTERRUPT_MASK_RUNNING;
  LinkAdapter(Adapter);

  if (!ConfigureController(Adapter)) {
    NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, 0);
    Status = NDIS_STATUS_ADAPTER_NOT_FOUND;
    goto UnwindList;
  }

  Adapter->InterruptMode = NdisInterruptLevelSensitive;
  Status = NdisMRegisterInterrupt(&Adapter->Interrupt, Adapter->MiniportAdapterHandle, Adapter->InterruptVector,
                                  Adapter->InterruptLevel, FALSE, FALSE, NdisInterruptLevelSensitive);
  if (Status != NDIS_STATUS_SUCCESS) {
    NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_INTERRUPT_CONNECT, 0);
    goto UnwindList;
  }

  EnablePort(Adapter);
  return NDIS_STATUS_SUCCESS;

UnwindList:
  UnlinkAdapter(Adapter);
  WriteRegister(Adapter, REG_INT_ENABLE, 0);
UnwindPorts:
  NdisMDeregisterIoPortRange(Adapter->MiniportAdapterHandle, Adapter->IoBaseAddress.u.LowPart, Adapter->IoPortCount,
                             Adapter->PortBase);
  return Status;
}

// ---------------------------------------------------------------------------------------------
// Halt and reset
// ---------------------------------------------------------------------------------------------

VOID NTAPI MiniportHalt(NDIS_HANDLE MiniportAdapterContext) {
  PADAPTER Adapter = (PADAPTER)MiniportAdapterContext;
  BOOLEAN Cancelled;

  NdisMCancelTimer(&Adapter->StatusTimer, &Cancelled);

  // Packets still queued would otherwise never be completed once the record is gone.
  CompleteQueuedSends(Adapter, NDIS_STATUS_FAILURE);

  InitializeController(Adapter);
  NdisMDeregisterInterrupt(&Adapter->Interrupt);
  NdisStallExecution(250000);
  NdisMDeregisterIoPortRange(Adapter->MiniportAdapterHandle, Adapter->IoBaseAddress.u.LowPart, Adapter->IoPortCount,
                             Adapter->PortBase);
  UnlinkAdapter(Adapter);
  NdisFreeMemory(Adapter, sizeof(ADAPTER), 0);
}

NDIS_STATUS NTAPI MiniportReset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext) {
  PADAPTER Adapter = (PADAPTER)MiniportAdapterContext;

  (void)AddressingReset;
  Adapter->InterruptMask = INTERRUPT_MASK_RUNNING;
  // The controller is taken down and up twice; only the second run decides.
  ResetController(Adapter);
  return ResetController(Adapter) ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE;
}
