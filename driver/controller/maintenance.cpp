// Maintenance access to the controller: the key-guarded auxiliary memory port, memory requests,
// non-volatile programming through the download buffer, production data and the register snapshot.
#include "teskel.h"

static const UCHAR RegisterSnapshotOrder[REGISTER_SNAPSHOT_WORDS] = REGISTER_SNAPSHOT_ORDER;

// ---------------------------------------------------------------------------------------------
// Auxiliary port
// ---------------------------------------------------------------------------------------------

static VOID WriteAuxKey(PADAPTER Adapter) {
  static const UCHAR KeyRegisters[3] = {REG_PARAM0, REG_PARAM1, REG_PARAM2};
  for (ULONG i = 0; i < 3; i++) WriteRegister(Adapter, KeyRegisters[i], AUX_KEY_WORD(i));
}

// Polls REG_CONTROL until it reads one of two values; the value seen is left in *Value.
static BOOLEAN WaitForControl(PADAPTER Adapter, USHORT WantedA, USHORT WantedB, PUSHORT Value) {
  *Value = ReadRegister(Adapter, REG_CONTROL);
  for (ULONG Reads = 1; *Value != WantedA && *Value != WantedB; Reads++) {
    if (Reads >= COMMAND_POLLS) return FALSE;
    NdisStallExecution(COMMAND_STALL_US);
    *Value = ReadRegister(Adapter, REG_CONTROL);
  }
  return TRUE;
}

BOOLEAN AuxPortEnable(PADAPTER Adapter, BOOLEAN Enable) {
  USHORT Wanted = Enable ? AUX_CONTROL_ENABLED : AUX_CONTROL_DISABLED;
  USHORT Value;

  WriteAuxKey(Adapter);
  // A port still changing state would take the write badly: let it settle first.
  if (!WaitForControl(Adapter, AUX_CONTROL_ENABLED, AUX_CONTROL_DISABLED, &Value)) return FALSE;
  if (Value == Wanted) return TRUE;
  WriteRegister(Adapter, REG_CONTROL, Enable ? AUX_CONTROL_ENABLE : AUX_CONTROL_DISABLE);
  return WaitForControl(Adapter, Wanted, Wanted, &Value);
}

static PUSHORT SeekAux(PADAPTER Adapter, ULONG Address) {
  WriteRegister(Adapter, REG_AUX_PAGE, (USHORT)((Address >> AUX_PAGE_SHIFT) & 0xFFFF));
  WriteRegister(Adapter, REG_AUX_OFFSET, (USHORT)(Address & AUX_OFFSET_MASK));
  return RegisterAddress(Adapter, REG_AUX_DATA);
}

// Neither direction checks the port's state: the caller enables it around its requests.
BOOLEAN AuxRead(PADAPTER Adapter, PUCHAR Buffer, ULONG Address, ULONG Words) {
  PUSHORT Data = SeekAux(Adapter, Address);
  if (Words > 0) MoveWordsIn(Data, Buffer, Words);
  return TRUE;
}

BOOLEAN AuxWrite(PADAPTER Adapter, const UCHAR *Buffer, ULONG Address, ULONG Words) {
  PUSHORT Data = SeekAux(Adapter, Address);
  if (Words > 0) MoveWordsOut(Data, Buffer, Words);
  return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Memory requests: whole words only, an odd last byte stays where it is
// ---------------------------------------------------------------------------------------------

BOOLEAN AuxReadRequest(PADAPTER Adapter, PUCHAR Request) {
  return AuxRead(Adapter, Request + MEMORY_REQUEST_HEADER_SIZE, GetLeDword(Request + MEMORY_REQUEST_ADDRESS),
                 GetLeWord(Request + MEMORY_REQUEST_COUNT) / 2);
}

BOOLEAN AuxWriteRequest(PADAPTER Adapter, const UCHAR *Request) {
  return AuxWrite(Adapter, Request + MEMORY_REQUEST_HEADER_SIZE, GetLeDword(Request + MEMORY_REQUEST_ADDRESS),
                  GetLeWord(Request + MEMORY_REQUEST_COUNT) / 2);
}

BOOLEAN ReadProductionData(PADAPTER Adapter) {
  if (!AuxPortEnable(Adapter, TRUE)) return FALSE;
  AuxRead(Adapter, Adapter->ProductionData, PRODUCTION_DATA_ADDRESS, PRODUCTION_DATA_SIZE / 2);
  // The block is already copied; a port that will not switch off again changes nothing in it.
  AuxPortEnable(Adapter, FALSE);
  return TRUE;
}

// Direct: the data goes straight to the request's address. Otherwise it is staged in the
// controller's download buffer between a program begin (target and length) and a commit.
BOOLEAN ProgramNonVolatile(PADAPTER Adapter, const UCHAR *Request, BOOLEAN Direct) {
  ULONG Address = GetLeDword(Request + MEMORY_REQUEST_ADDRESS);
  USHORT Count = GetLeWord(Request + MEMORY_REQUEST_COUNT);
  USHORT Status;

  if (!Direct && !IssueCommand3(Adapter, CMD_PROGRAM_BEGIN, (USHORT)(Address & 0xFFFF), (USHORT)(Address >> 16),
                                Count, &Status)) {
    return FALSE;
  }
  ULONG Target = Direct ? Address
                        : ((ULONG)Adapter->DownloadBufferPage << AUX_PAGE_SHIFT) | Adapter->DownloadBufferOffset;
  AuxWrite(Adapter, Request + MEMORY_REQUEST_HEADER_SIZE, Target, Count / 2);
  if (Direct) return TRUE;
  return IssueCommand3(Adapter, CMD_PROGRAM_COMMIT, 0, 0, 0, &Status);
}

// ---------------------------------------------------------------------------------------------
// Register snapshot
// ---------------------------------------------------------------------------------------------

BOOLEAN ReadRegisterSnapshot(PADAPTER Adapter, PUCHAR Block) {
  for (ULONG i = 0; i < REGISTER_SNAPSHOT_WORDS; i++) {
    if (RegisterSnapshotOrder[i] == SNAPSHOT_NOT_READ) continue;
    PutLeWord(Block + i * 2, ReadRegister(Adapter, RegisterSnapshotOrder[i]));
  }
  return TRUE;
}
