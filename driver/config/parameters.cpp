// The registry parameters of an adapter instance, read once when a card is initialised, with the
// defaults that apply when a value is missing.
#include "teskel.h"

static NDIS_STRING KeywordNetworkType = NDIS_STRING_CONST("NetworkType");
static NDIS_STRING KeywordDSChannel = NDIS_STRING_CONST("DSChannel");
static NDIS_STRING KeywordATIMWindow = NDIS_STRING_CONST("ATIMWindow");
static NDIS_STRING KeywordListenInterval = NDIS_STRING_CONST("ListenInterval");
static NDIS_STRING KeywordWepReq = NDIS_STRING_CONST("WepReq");
static NDIS_STRING KeywordDefaultKeys = NDIS_STRING_CONST("DefaultKeys");
static NDIS_STRING KeywordDefaultKeyId = NDIS_STRING_CONST("DefaultKeyId");
static NDIS_STRING KeywordRTSThresh = NDIS_STRING_CONST("RTSThresh");
static NDIS_STRING KeywordFragThresh = NDIS_STRING_CONST("FragThresh");
static NDIS_STRING KeywordTxRate = NDIS_STRING_CONST("TxRate");
static NDIS_STRING KeywordSSID = NDIS_STRING_CONST("SSID");
static NDIS_STRING KeywordStationName = NDIS_STRING_CONST("StationName");
static NDIS_STRING KeywordVendorDesc = NDIS_STRING_CONST("VendorDesc");
static NDIS_STRING KeywordPSMode = NDIS_STRING_CONST("PSMode");
static NDIS_STRING KeywordPSLevel = NDIS_STRING_CONST("PSLevel");
static NDIS_STRING KeywordEncapsulation = NDIS_STRING_CONST("Encapsulation");

// ---------------------------------------------------------------------------------------------
// Keyword readers: true only for a present value of the kind asked for
// ---------------------------------------------------------------------------------------------

static BOOLEAN ReadInteger(NDIS_HANDLE Configuration, PNDIS_STRING Keyword, PULONG Value) {
  NDIS_STATUS Status;
  PNDIS_CONFIGURATION_PARAMETER Parameter = NULL;

  NdisReadConfiguration(&Status, &Parameter, Configuration, Keyword, NdisParameterInteger);
  if (Status != NDIS_STATUS_SUCCESS || !Parameter) return FALSE;
  if (Parameter->ParameterType != NdisParameterInteger && Parameter->ParameterType != NdisParameterHexInteger) {
    return FALSE;
  }
  *Value = Parameter->ParameterData.IntegerData;
  return TRUE;
}

// Converts a text keyword to 8-bit characters into a field of Capacity bytes, which always ends
// up terminated and zero-filled behind the text.
static BOOLEAN ReadText(NDIS_HANDLE Configuration, PNDIS_STRING Keyword, PCHAR Field, USHORT Capacity,
                        PUSHORT Length) {
  NDIS_STATUS Status;
  PNDIS_CONFIGURATION_PARAMETER Parameter = NULL;
  CHAR Text[VENDOR_DESCRIPTION_SIZE];
  ANSI_STRING Ansi;

  NdisReadConfiguration(&Status, &Parameter, Configuration, Keyword, NdisParameterString);
  if (Status != NDIS_STATUS_SUCCESS || !Parameter || Parameter->ParameterType != NdisParameterString) return FALSE;

  memset(Text, 0, sizeof(Text));
  Ansi.Buffer = Text;
  Ansi.Length = 0;
  Ansi.MaximumLength = Capacity;
  if (NdisUnicodeStringToAnsiString(&Ansi, &Parameter->ParameterData.StringData) != NDIS_STATUS_SUCCESS) {
    return FALSE;
  }

  USHORT Used = Ansi.Length < Capacity - 1 ? Ansi.Length : (USHORT)(Capacity - 1);
  memset(Field, 0, Capacity);
  memcpy(Field, Text, Used);
  if (Length) *Length = Used;
  return TRUE;
}

static ULONG HexDigit(CHAR Character) {
  if (Character >= '0' && Character <= '9') return (ULONG)(Character - '0');
  if (Character >= 'A' && Character <= 'F') return (ULONG)(Character - 'A' + 10);
  if (Character >= 'a' && Character <= 'f') return (ULONG)(Character - 'a' + 10);
  return 0;
}

// Forty characters, two per key byte, high digit first; anything that is not a digit counts 0.
VOID ParseKeyText(const CHAR *Text, PUCHAR Keys) {
  for (ULONG Byte = 0; Byte < DEFAULT_KEYS_SIZE; Byte++) {
    ULONG Value = 0;
    for (ULONG Digit = 0; Digit < 2; Digit++) Value = Value * 16 + HexDigit(Text[Byte * 2 + Digit]);
    Keys[Byte] = (UCHAR)Value;
  }
}

// ---------------------------------------------------------------------------------------------
// The parameters
// ---------------------------------------------------------------------------------------------

NDIS_STATUS ReadRegistryParameters(PADAPTER Adapter, NDIS_HANDLE WrapperConfigurationContext) {
  NDIS_STATUS Status;
  NDIS_HANDLE Configuration = NULL;
  ULONG Value;
  CHAR KeyText[KEY_TEXT_SIZE];

  NdisOpenConfiguration(&Status, &Configuration, WrapperConfigurationContext);
  if (Status != NDIS_STATUS_SUCCESS) {
    NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION, 1, (ULONG)23);
    return Status;
  }

  if (ReadInteger(Configuration, &KeywordNetworkType, &Value)) {
    Adapter->NetworkType = Value;
    Adapter->NetworkTypeByte = (UCHAR)Value;
  }
  if (ReadInteger(Configuration, &KeywordDSChannel, &Value)) Adapter->DSChannel = Value;
  if (ReadInteger(Configuration, &KeywordATIMWindow, &Value)) Adapter->ATIMWindow = Value;
  if (ReadInteger(Configuration, &KeywordListenInterval, &Value)) Adapter->ListenInterval = Value;

  BOOLEAN Privacy = ReadInteger(Configuration, &KeywordWepReq, &Value) && Value != 0;
  Adapter->PrivacyInvoked = Privacy ? 1 : 0;
  Adapter->ExcludeUnencrypted = Privacy ? 1 : 0;

  // A shorter key text reads as zeros where its digits are missing.
  if (ReadText(Configuration, &KeywordDefaultKeys, KeyText, sizeof(KeyText), NULL)) {
    ParseKeyText(KeyText, Adapter->DefaultKeys);
  }
  if (ReadInteger(Configuration, &KeywordDefaultKeyId, &Value)) Adapter->DefaultKeyId = (UCHAR)Value;
  if (ReadInteger(Configuration, &KeywordRTSThresh, &Value)) Adapter->RTSThresh = Value;
  if (ReadInteger(Configuration, &KeywordFragThresh, &Value)) Adapter->FragThresh = Value;
  if (ReadInteger(Configuration, &KeywordTxRate, &Value)) Adapter->TxRate = Value;

  ReadText(Configuration, &KeywordSSID, Adapter->SSID, sizeof(Adapter->SSID), &Adapter->SsidLength);
  ReadText(Configuration, &KeywordStationName, Adapter->StationName, sizeof(Adapter->StationName), NULL);
  ReadText(Configuration, &KeywordVendorDesc, Adapter->VendorDescription, sizeof(Adapter->VendorDescription), NULL);

  Adapter->PSMode = ReadInteger(Configuration, &KeywordPSMode, &Value) ? (USHORT)Value : DEFAULT_PS_MODE;
  Adapter->PSLevel = ReadInteger(Configuration, &KeywordPSLevel, &Value) ? (USHORT)Value : DEFAULT_PS_LEVEL;
  Adapter->Encapsulation =
      ReadInteger(Configuration, &KeywordEncapsulation, &Value) ? (UCHAR)Value : DEFAULT_ENCAPSULATION;

  NdisCloseConfiguration(Configuration);
  return NDIS_STATUS_SUCCESS;
}
