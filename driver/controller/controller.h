// The MAC controller as the driver sees it: register map, event bits, commands, record ids, and
// the port protocol, bring-up and station-control routines built on them.
#pragma once

// ---------------------------------------------------------------------------------------------
// Registers (16 bits each, at PortBase + offset)
// ---------------------------------------------------------------------------------------------
#define REG_COMMAND 0x00
#define REG_PARAM0 0x02
#define REG_PARAM1 0x04
#define REG_PARAM2 0x06
#define REG_STATUS 0x08
#define REG_RESP0 0x0A
#define REG_RESP1 0x0C
#define REG_RESP2 0x0E
#define REG_INFO_FID 0x10
#define REG_CONTROL 0x14
#define REG_SELECT0 0x18
#define REG_SELECT1 0x1A
#define REG_OFFSET0 0x1C
#define REG_OFFSET1 0x1E
#define REG_RX_FID 0x20
#define REG_ALLOC_FID 0x22
#define REG_EVENT_STATUS 0x30
#define REG_INT_ENABLE 0x32
#define REG_EVENT_ACK 0x34
#define REG_DATA0 0x36
#define REG_DATA1 0x38
#define REG_AUX_PAGE 0x3A
#define REG_AUX_OFFSET 0x3C
#define REG_AUX_DATA 0x3E
// Registers the driver reads only for the register snapshot.
#define REG_SNAPSHOT_24 0x24
#define REG_SNAPSHOT_28 0x28
#define REG_SNAPSHOT_2A 0x2A
#define REG_SNAPSHOT_2C 0x2C

#define COMMAND_BUSY 0x8000
#define OFFSET_BUSY 0x8000
#define STATUS_RESULT_MASK 0x7F00

// ---------------------------------------------------------------------------------------------
// Event bits (event status, interrupt enable, acknowledge)
// ---------------------------------------------------------------------------------------------
#define EV_RX 0x0001
#define EV_ALLOC 0x0008
#define EV_CMD 0x0010
#define EV_INFO 0x0080
#define EV_ALL 0xFFFF

// ---------------------------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------------------------
#define CMD_INITIALIZE 0x0000
#define CMD_ENABLE 0x0001
#define CMD_DISABLE 0x0002
#define CMD_ALLOCATE 0x000A
#define CMD_TRANSMIT 0x010B
#define CMD_INQUIRE 0x0011
#define CMD_ACCESS_READ 0x0021
#define CMD_ACCESS_WRITE 0x0121
#define CMD_PROGRAM_BEGIN 0x0222
#define CMD_PROGRAM_COMMIT 0x0322

// A command block: four little-endian words; command and parameters in, status and responses out.
#define COMMAND_BLOCK_WORDS 4
#define COMMAND_BLOCK_SIZE (COMMAND_BLOCK_WORDS * 2)

#define COMMAND_POLLS 2000
#define COMMAND_STALL_US 50
#define COMMAND0_COMPLETION_STALL_US 100
#define SEEK_POLLS 100
#define SEEK_STALL_US 25

#define TX_BUFFER_SIZE 1585
#define INFO_TYPE_TALLIES 0xF100
#define INFO_TYPE_LINK_STATUS 0xF200

// ---------------------------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------------------------
#define RECORD_BUFFER_SIZE 504
#define RECORD_HEADER_SIZE 4

#define RID_NETWORK_TYPE 0xFC00
#define RID_STATION_ADDRESS 0xFC01
#define RID_SSID 0xFC02
#define RID_DS_CHANNEL 0xFC03
#define RID_ATIM_WINDOW 0xFC05
#define RID_SYSTEM_SCALE 0xFC06
#define RID_MAX_DATA_LENGTH 0xFC07
#define RID_PS_MODE 0xFC09
#define RID_PS_LEVEL 0xFC0A
#define RID_STATION_NAME 0xFC0E
#define RID_WEP_DEFAULT_KEY_ID 0xFC23
#define RID_WEP_DEFAULT_KEY1 0xFC24
#define RID_WEP_DEFAULT_KEY2 0xFC25
#define RID_WEP_DEFAULT_KEY3 0xFC26
#define RID_WEP_DEFAULT_KEY4 0xFC27
#define RID_WEP_FLAGS 0xFC28
#define RID_FRAG_THRESH 0xFC82
#define RID_RTS_THRESH 0xFC83
#define RID_TX_RATE_CONTROL 0xFC84
#define RID_PROMISCUOUS_MODE 0xFC85
#define RID_TICK_TIME 0xFCE0
#define RID_DOWNLOAD_BUFFER 0xFD01
#define RID_PRIMARY_RANGE 0xFD03
#define RID_REGULATORY_DOMAINS 0xFD11
#define RID_STATION_RANGE 0xFD21
#define RID_PORT_STATUS 0xFD40
#define RID_CURRENT_BSSID 0xFD42
#define RID_COMMS_QUALITY 0xFD43
#define RID_PRIVACY_IMPLEMENTED 0xFD4F
#define RID_PHY_TYPE 0xFDC0
#define RID_CURRENT_CHANNEL 0xFDC1

#define NAME_RECORD_LENGTH 18
#define NAME_RECORD_TEXT_SIZE 32
// Quality, signal and noise after the record id.
#define COMMS_QUALITY_RECORD_LENGTH 4
// WEP on and unencrypted frames dropped, as configuration switches it on.
#define WEP_FLAGS_CONFIGURED 3
#define MAX_DATA_LENGTH 1508
#define TX_RATE_CONTROL_ALL 15

// Link status codes, the driver's own vocabulary.
#define LINK_CONNECTED 1
#define LINK_SEARCHING 4
#define LINK_NOT_CONNECTED 6

// ---------------------------------------------------------------------------------------------
// Register access
// ---------------------------------------------------------------------------------------------
static inline PUSHORT RegisterAddress(PADAPTER Adapter, ULONG Offset) {
  return (PUSHORT)((ULONG_PTR)Adapter->PortBase + Offset);
}

static inline USHORT ReadRegister(PADAPTER Adapter, ULONG Offset) {
  return READ_PORT_USHORT(RegisterAddress(Adapter, Offset));
}

static inline VOID WriteRegister(PADAPTER Adapter, ULONG Offset, USHORT Value) {
  WRITE_PORT_USHORT(RegisterAddress(Adapter, Offset), Value);
}

// The registers of one buffer access path.
typedef struct _ACCESS_PATH {
  UCHAR BusyBit;
  UCHAR Select;
  UCHAR Offset;
  UCHAR Data;
} ACCESS_PATH;

// ---------------------------------------------------------------------------------------------
// Port protocol (controller/port.cpp)
// ---------------------------------------------------------------------------------------------
BOOLEAN IssueCommand0(PADAPTER Adapter, USHORT Command);
BOOLEAN IssueCommand1(PADAPTER Adapter, USHORT Command, USHORT Param0, PUSHORT Status);
BOOLEAN IssueCommand3(PADAPTER Adapter, USHORT Command, USHORT Param0, USHORT Param1, USHORT Param2,
                      PUSHORT Status);
// Block: four little-endian words; in: command, Param0..Param2; out: status, Resp0..Resp2.
BOOLEAN IssueCommandBlock(PADAPTER Adapter, PUCHAR Block);

const ACCESS_PATH *ClaimAccessPath(PADAPTER Adapter);
VOID ReleaseAccessPath(PADAPTER Adapter, const ACCESS_PATH *Path);
BOOLEAN WaitForSeek(PADAPTER Adapter, const ACCESS_PATH *Path);

// One string transfer of Words words through a data port, from or to memory at any address.
VOID MoveWordsOut(PUSHORT Data, const UCHAR *Source, ULONG Words);
VOID MoveWordsIn(PUSHORT Data, PUCHAR Destination, ULONG Words);

BOOLEAN BufferRead(PADAPTER Adapter, USHORT Id, USHORT Offset, PUCHAR Destination, ULONG Count);
BOOLEAN BufferWrite(PADAPTER Adapter, USHORT Id, USHORT Offset, const UCHAR *Source, ULONG Count);
BOOLEAN GetRid(PADAPTER Adapter, USHORT Rid, PUCHAR Buffer, ULONG Size, PULONG ResultSize);
BOOLEAN SetRid(PADAPTER Adapter, PUCHAR Record);
BOOLEAN InquireTallies(PADAPTER Adapter);
NDIS_STATUS UpdateMulticastList(PADAPTER Adapter);

// ---------------------------------------------------------------------------------------------
// Bring-up, configuration and reset (controller/bringup.cpp)
// ---------------------------------------------------------------------------------------------
BOOLEAN CommandInitialize(PADAPTER Adapter);
BOOLEAN InitializeController(PADAPTER Adapter);
BOOLEAN ConfigureController(PADAPTER Adapter);
BOOLEAN ResetController(PADAPTER Adapter);
BOOLEAN EnablePort(PADAPTER Adapter);
BOOLEAN DisablePort(PADAPTER Adapter);
BOOLEAN RestartPort(PADAPTER Adapter);

// ---------------------------------------------------------------------------------------------
// Station controls (controller/station.cpp)
// ---------------------------------------------------------------------------------------------
BOOLEAN GetLinkStatus(PADAPTER Adapter, PUSHORT LinkStatus);
BOOLEAN GetStationAddress(PADAPTER Adapter, PUCHAR Address);
BOOLEAN SetStationAddress(PADAPTER Adapter, const UCHAR *Address);
BOOLEAN GetChannel(PADAPTER Adapter, PUCHAR Channel);
BOOLEAN SetChannel(PADAPTER Adapter, ULONG Channel);
BOOLEAN SetPowerSaveMode(PADAPTER Adapter, USHORT Mode);
BOOLEAN SetDefaultKeyId(PADAPTER Adapter, ULONG Index);
BOOLEAN SetDefaultKey(PADAPTER Adapter, ULONG KeyNumber, const UCHAR *Key);
BOOLEAN SetWepFlags(PADAPTER Adapter, ULONG Flags);

// ---------------------------------------------------------------------------------------------
// Maintenance access (controller/maintenance.cpp)
// ---------------------------------------------------------------------------------------------
// REG_CONTROL: what the driver writes, and the two settled states it reads.
#define AUX_CONTROL_ENABLE 0x8000
#define AUX_CONTROL_DISABLE 0x4000
#define AUX_CONTROL_ENABLED 0xC000
#define AUX_CONTROL_DISABLED 0x0000

// Controller memory addresses as the auxiliary port takes them: a page of 128 bytes and an
// offset inside it.
#define AUX_PAGE_SHIFT 7
#define AUX_OFFSET_MASK 0x7F
#define PRODUCTION_DATA_ADDRESS 0x3F0000

// A memory request: 32-bit controller address, 16-bit byte count n, then n bytes of data.
#define MEMORY_REQUEST_ADDRESS 0
#define MEMORY_REQUEST_COUNT 4
#define MEMORY_REQUEST_HEADER_SIZE 6
#define MEMORY_REQUEST_MAX_SIZE 8200

// The register snapshot: one word per register, two of them left as the caller had them.
#define REGISTER_SNAPSHOT_WORDS 27
#define REGISTER_SNAPSHOT_SIZE (REGISTER_SNAPSHOT_WORDS * 2)
#define SNAPSHOT_NOT_READ 0xFF
// Word index: register; SNAPSHOT_NOT_READ marks the two words the caller's block keeps.
#define REGISTER_SNAPSHOT_ORDER                                                                          \
  {REG_COMMAND,      REG_PARAM0,      REG_PARAM1,        REG_PARAM2,       REG_STATUS,       REG_RESP0,     \
   REG_RESP1,        REG_RESP2,       REG_INFO_FID,      REG_RX_FID,       REG_ALLOC_FID,    REG_SNAPSHOT_24, \
   REG_SELECT0,      REG_OFFSET0,     SNAPSHOT_NOT_READ, REG_SELECT1,      REG_OFFSET1,      SNAPSHOT_NOT_READ, \
   REG_EVENT_STATUS, REG_INT_ENABLE,  REG_EVENT_ACK,     REG_CONTROL,      REG_AUX_PAGE,     REG_AUX_OFFSET, \
   REG_SNAPSHOT_28,  REG_SNAPSHOT_2A, REG_SNAPSHOT_2C}

// The controller takes a control write only behind three key words. The driver derives them
// from a seed and a step rather than storing the sequence.
#define AUX_KEY_SEED 0x5A4B
#define AUX_KEY_STEP 0x1E1E
#define AUX_KEY_WORD(i) ((USHORT)(AUX_KEY_SEED - (i) * AUX_KEY_STEP))

BOOLEAN AuxPortEnable(PADAPTER Adapter, BOOLEAN Enable);
BOOLEAN AuxRead(PADAPTER Adapter, PUCHAR Buffer, ULONG Address, ULONG Words);
BOOLEAN AuxWrite(PADAPTER Adapter, const UCHAR *Buffer, ULONG Address, ULONG Words);
BOOLEAN AuxReadRequest(PADAPTER Adapter, PUCHAR Request);
BOOLEAN AuxWriteRequest(PADAPTER Adapter, const UCHAR *Request);
BOOLEAN ReadProductionData(PADAPTER Adapter);
BOOLEAN ProgramNonVolatile(PADAPTER Adapter, const UCHAR *Request, BOOLEAN Direct);
BOOLEAN ReadRegisterSnapshot(PADAPTER Adapter, PUCHAR Block);
