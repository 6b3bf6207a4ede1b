// The port-level protocol with the MAC controller: the command handshake, the two buffer access
// paths, record reads and verified record writes. Every wait is a bounded busy-poll.
#include "teskel.h"

static const ACCESS_PATH AccessPaths[2] = {
    {0x01, REG_SELECT0, REG_OFFSET0, REG_DATA0},
    {0x02, REG_SELECT1, REG_OFFSET1, REG_DATA1},
};

// ---------------------------------------------------------------------------------------------
// Command handshake
// ---------------------------------------------------------------------------------------------

// Polls a register until the bits of Mask read as Wanted, stalling between reads.
static BOOLEAN PollRegister(PADAPTER Adapter, ULONG Offset, USHORT Mask, USHORT Wanted, ULONG Polls, UINT StallUs) {
  USHORT Value = ReadRegister(Adapter, Offset);
  for (ULONG Reads = 1; (Value & Mask) != Wanted; Reads++) {
    if (Reads >= Polls) return FALSE;
    NdisStallExecution(StallUs);
    Value = ReadRegister(Adapter, Offset);
  }
  return TRUE;
}

// The common handshake: wait until the controller takes a command, write the parameters and the
// command, wait for its completion event. The caller reads the results and acknowledges.
static BOOLEAN StartCommand(PADAPTER Adapter, USHORT Command, ULONG ParamCount, const USHORT *Params,
                            UINT CompletionStallUs) {
  static const UCHAR ParamRegisters[3] = {REG_PARAM0, REG_PARAM1, REG_PARAM2};

  if (!PollRegister(Adapter, REG_COMMAND, COMMAND_BUSY, 0, COMMAND_POLLS, COMMAND_STALL_US)) return FALSE;
  for (ULONG i = 0; i < ParamCount; i++) WriteRegister(Adapter, ParamRegisters[i], Params[i]);
  WriteRegister(Adapter, REG_COMMAND, Command);
  return PollRegister(Adapter, REG_EVENT_STATUS, EV_CMD, EV_CMD, COMMAND_POLLS, CompletionStallUs);
}

static BOOLEAN FinishCommand(PADAPTER Adapter, PUSHORT Status) {
  USHORT Value = ReadRegister(Adapter, REG_STATUS);
  if (Status) *Status = Value;
  WriteRegister(Adapter, REG_EVENT_ACK, EV_CMD);
  return (Value & STATUS_RESULT_MASK) == 0;
}

BOOLEAN IssueCommand0(PADAPTER Adapter, USHORT Command) {
  if (!StartCommand(Adapter, Command, 0, NULL, COMMAND0_COMPLETION_STALL_US)) return FALSE;
  return FinishCommand(Adapter, NULL);
}

BOOLEAN IssueCommand1(PADAPTER Adapter, USHORT Command, USHORT Param0, PUSHORT Status) {
  if (!StartCommand(Adapter, Command, 1, &Param0, COMMAND_STALL_US)) return FALSE;
  return FinishCommand(Adapter, Status);
}

BOOLEAN IssueCommand3(PADAPTER Adapter, USHORT Command, USHORT Param0, USHORT Param1, USHORT Param2,
                      PUSHORT Status) {
  USHORT Params[3] = {Param0, Param1, Param2};
  if (!StartCommand(Adapter, Command, 3, Params, COMMAND_STALL_US)) return FALSE;
  return FinishCommand(Adapter, Status);
}

BOOLEAN IssueCommandBlock(PADAPTER Adapter, PUCHAR Block) {
  USHORT Params[3] = {GetLeWord(Block + 2), GetLeWord(Block + 4), GetLeWord(Block + 6)};
  if (!StartCommand(Adapter, GetLeWord(Block), 3, Params, COMMAND_STALL_US)) return FALSE;

  // The responses belong to this command only until the completion is acknowledged.
  USHORT Status = ReadRegister(Adapter, REG_STATUS);
  PutLeWord(Block, Status);
  PutLeWord(Block + 2, ReadRegister(Adapter, REG_RESP0));
  PutLeWord(Block + 4, ReadRegister(Adapter, REG_RESP1));
  PutLeWord(Block + 6, ReadRegister(Adapter, REG_RESP2));
  WriteRegister(Adapter, REG_EVENT_ACK, EV_CMD);
  return (Status & STATUS_RESULT_MASK) == 0;
}

// ---------------------------------------------------------------------------------------------
// Buffer access paths
// ---------------------------------------------------------------------------------------------

const ACCESS_PATH *ClaimAccessPath(PADAPTER Adapter) {
  for (ULONG i = 0; i < 2; i++) {
    if (!(Adapter->AccessPathBusy & AccessPaths[i].BusyBit)) {
      Adapter->AccessPathBusy |= AccessPaths[i].BusyBit;
      return &AccessPaths[i];
    }
  }
  return NULL;
}

VOID ReleaseAccessPath(PADAPTER Adapter, const ACCESS_PATH *Path) {
  Adapter->AccessPathBusy &= (UCHAR)~Path->BusyBit;
}

BOOLEAN WaitForSeek(PADAPTER Adapter, const ACCESS_PATH *Path) {
  return PollRegister(Adapter, Path->Offset, OFFSET_BUSY, 0, SEEK_POLLS, SEEK_STALL_US);
}

static BOOLEAN SeekPath(PADAPTER Adapter, const ACCESS_PATH *Path, USHORT Id, USHORT Offset) {
  WriteRegister(Adapter, Path->Select, Id);
  WriteRegister(Adapter, Path->Offset, Offset);
  return WaitForSeek(Adapter, Path);
}

// The processor cannot move a halfword at an odd address, and a caller's memory (a protocol's
// buffer, or the byte after an odd-offset start) may begin at one: such runs go through an
// aligned scratch area in pieces.
#define PORT_SCRATCH_WORDS 128

VOID MoveWordsOut(PUSHORT Data, const UCHAR *Source, ULONG Words) {
  if (((ULONG_PTR)Source & 1) == 0) {
    WRITE_PORT_BUFFER_USHORT(Data, (PUSHORT)Source, Words);
    return;
  }
  USHORT Scratch[PORT_SCRATCH_WORDS];
  while (Words > 0) {
    ULONG Piece = Words < PORT_SCRATCH_WORDS ? Words : PORT_SCRATCH_WORDS;
    memcpy(Scratch, Source, Piece * 2);
    WRITE_PORT_BUFFER_USHORT(Data, Scratch, Piece);
    Source += Piece * 2;
    Words -= Piece;
  }
}

VOID MoveWordsIn(PUSHORT Data, PUCHAR Destination, ULONG Words) {
  if (((ULONG_PTR)Destination & 1) == 0) {
    READ_PORT_BUFFER_USHORT(Data, (PUSHORT)Destination, Words);
    return;
  }
  USHORT Scratch[PORT_SCRATCH_WORDS];
  while (Words > 0) {
    ULONG Piece = Words < PORT_SCRATCH_WORDS ? Words : PORT_SCRATCH_WORDS;
    READ_PORT_BUFFER_USHORT(Data, Scratch, Piece);
    memcpy(Destination, Scratch, Piece * 2);
    Destination += Piece * 2;
    Words -= Piece;
  }
}

BOOLEAN BufferWrite(PADAPTER Adapter, USHORT Id, USHORT Offset, const UCHAR *Source, ULONG Count) {
  if (Count == 0) return TRUE;

  const ACCESS_PATH *Path = ClaimAccessPath(Adapter);
  if (!Path) return FALSE;

  BOOLEAN Ok = SeekPath(Adapter, Path, Id, Offset);
  if (Ok) {
    PUSHORT Data = RegisterAddress(Adapter, Path->Data);
    MoveWordsOut(Data, Source, Count / 2);
    if (Count & 1) WRITE_PORT_UCHAR((PUCHAR)Data, Source[Count - 1]);
  }
  ReleaseAccessPath(Adapter, Path);
  return Ok;
}

BOOLEAN BufferRead(PADAPTER Adapter, USHORT Id, USHORT Offset, PUCHAR Destination, ULONG Count) {
  const ACCESS_PATH *Path = ClaimAccessPath(Adapter);
  if (!Path) return FALSE;

  // The controller seeks to even offsets only; an odd start takes the high byte of the word
  // that holds it.
  BOOLEAN OddStart = (Offset & 1) != 0;
  BOOLEAN Ok = SeekPath(Adapter, Path, Id, (USHORT)(Offset & ~1));
  if (Ok) {
    PUSHORT Data = RegisterAddress(Adapter, Path->Data);
    if (OddStart && Count > 0) {
      *Destination++ = (UCHAR)(READ_PORT_USHORT(Data) >> 8);
      Count--;
    }
    MoveWordsIn(Data, Destination, Count / 2);
    if (Count & 1) Destination[Count - 1] = READ_PORT_UCHAR((PUCHAR)Data);
  }
  ReleaseAccessPath(Adapter, Path);
  return Ok;
}

// ---------------------------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------------------------

BOOLEAN GetRid(PADAPTER Adapter, USHORT Rid, PUCHAR Buffer, ULONG Size, PULONG ResultSize) {
  USHORT Status = 0;
  USHORT BufferSize = (USHORT)Size;

  if (BufferSize < RECORD_HEADER_SIZE + 2) {
    *ResultSize = RECORD_HEADER_SIZE + 2;
    return FALSE;
  }
  *ResultSize = 0;
  if (!IssueCommand1(Adapter, CMD_ACCESS_READ, Rid, &Status) || Status == 0) return FALSE;
  if (!BufferRead(Adapter, Rid, 0, Buffer, RECORD_HEADER_SIZE)) return FALSE;
  if (GetLeWord(Buffer + 2) != Rid) return FALSE;

  // A length word of 0 does not even cover the RID word: nothing sensible follows it.
  ULONG Length = GetLeWord(Buffer);
  if (Length == 0) return FALSE;
  if (Length > (ULONG)(BufferSize - RECORD_HEADER_SIZE) / 2) {
    // Report the size that makes a second attempt fit.
    *ResultSize = Length * 2 + RECORD_HEADER_SIZE;
    return FALSE;
  }
  if (!BufferRead(Adapter, Rid, RECORD_HEADER_SIZE, Buffer + RECORD_HEADER_SIZE, (Length - 1) * 2)) return FALSE;
  *ResultSize = (Length + 1) * 2;
  return TRUE;
}

BOOLEAN SetRid(PADAPTER Adapter, PUCHAR Record) {
  alignas(4) UCHAR Scratch[RECORD_BUFFER_SIZE];
  USHORT Rid = GetLeWord(Record + 2);
  ULONG Bytes = ((ULONG)GetLeWord(Record) + 1) * 2;

  // Records come in 504-byte buffers; a length word claiming more is not a record.
  if (Bytes > RECORD_BUFFER_SIZE) return FALSE;

  memset(Scratch, 0, sizeof(Scratch));
  for (ULONG Attempt = 0; Attempt < 4; Attempt++) {
    BufferWrite(Adapter, Rid, 0, Record, Bytes);
    BufferRead(Adapter, Rid, 0, Scratch, Bytes);
    if (memcmp(Scratch, Record, Bytes) == 0) {
      USHORT Status;
      IssueCommand1(Adapter, CMD_ACCESS_WRITE, Rid, &Status);
      return TRUE;
    }
  }
  return FALSE;
}

BOOLEAN InquireTallies(PADAPTER Adapter) {
  USHORT Status;
  return IssueCommand1(Adapter, CMD_INQUIRE, INFO_TYPE_TALLIES, &Status);
}

// The controller has no multicast filter: group-addressed frames are always received.
NDIS_STATUS UpdateMulticastList(PADAPTER Adapter) {
  (void)Adapter;
  return NDIS_STATUS_SUCCESS;
}
