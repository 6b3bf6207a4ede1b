// Layout of the driver's adapter record (field order, widths and alignment of the 32-bit device)
// and the hardware formats that the driver and the controller model must agree on byte for byte.
#include "teskel.h"
#include "teskel/controller_defs.h"

#include <cstddef>

namespace {

namespace hw = teskel::sim::hw;

// ---- adapter record ------------------------------------------------------------------------------
// The record's fields in memory order, with each one's width and alignment on the device. Pointer
// fields are 4 bytes there and pointer-sized on the host; the two NDIS objects have the platform's
// size and alignment. Offsets are not written down: each follows from the field before it, so a
// field that moves, grows or shrinks breaks the chain at that field.
constexpr std::size_t kPtr = sizeof(void*);
constexpr std::size_t kPlatform = 0;

struct Field {
  const char* name;
  std::size_t offset, size, align;  // as compiled
  std::size_t width, wantAlign;     // as the device has it (kPlatform: the platform object's own)
};

// Name, width and alignment on the device, in memory order. A transmit slot is {next slot, 16-bit
// FID}: 8 bytes on the device.
#define ADAPTER_FIELDS(X) \
  X(MiniportAdapterHandle, kPtr, kPtr) \
  X(Interrupt, kPlatform, kPlatform) \
  X(Next, kPtr, kPtr) \
  X(IoBaseAddress, 8, 8) \
  X(IoPortCount, 4, 4) \
  X(InterruptVector, 4, 4) \
  X(InterruptLevel, 4, 4) \
  X(InterruptMode, 4, 4) \
  X(BusType, 1, 1) \
  X(CardType, 4, 4) \
  X(NetworkType, 4, 4) \
  X(RTSThresh, 4, 4) \
  X(FragThresh, 4, 4) \
  X(TxRate, 4, 4) \
  X(DSChannel, 4, 4) \
  X(ATIMWindow, 4, 4) \
  X(ListenInterval, 4, 4) \
  X(SystemScale, 4, 4) \
  X(SsidLength, 2, 2) \
  X(SSID, 33, 1) \
  X(StationName, 33, 1) \
  X(SendQueueHead, kPtr, kPtr) \
  X(SendQueueTail, kPtr, kPtr) \
  X(RxPacketSize, 4, 4) \
  X(CurrentBssid, 6, 1) \
  X(PortBase, kPtr, kPtr) \
  X(PendingEvents, 2, 2) \
  X(CurrentAddress, 6, 1) \
  X(PermanentAddress, 6, 1) \
  X(PacketFilter, 4, 4) \
  X(Tallies, 44 * 4, 4) \
  X(LinkStatus, 2, 2) \
  X(InterruptMask, 1, 1) \
  X(CurrentLookahead, 4, 4) \
  X(RxFid, 2, 2) \
  X(TxSlotsAwaitingBuffer, kPtr, kPtr) \
  X(TxSlotsReady, kPtr, kPtr) \
  X(TxSlots, 5 * 2 * kPtr, kPtr) \
  X(TxFid, 2, 2) \
  X(RxDescriptor, 60, 1) \
  X(TxDescriptor, 60, 1) \
  X(RxLookahead, 1522, 1) \
  X(ProductionData, 1024, 1) \
  X(AccessPathBusy, 1, 1) \
  X(TransmitTag, 2, 2) \
  X(DownloadBufferPage, 2, 2) \
  X(DownloadBufferOffset, 2, 2) \
  X(DownloadBufferLength, 2, 2) \
  X(TransmitSuppressed, 1, 1) \
  X(MulticastList, 192, 1) \
  X(NetworkTypeByte, 1, 1) \
  X(Encapsulation, 1, 1) \
  X(DefaultKeyId, 1, 1) \
  X(SelectedKeyIndex, 1, 1) \
  X(DefaultKeys, 20, 1) \
  X(PrivacyInvoked, 1, 1) \
  X(ExcludeUnencrypted, 1, 1) \
  X(VendorDescription, 128, 1) \
  X(PSMode, 2, 2) \
  X(PSLevel, 2, 2) \
  X(WepSupported, 1, 1) \
  X(RegulatoryDomain, 1, 1) \
  X(PhyType, 1, 1) \
  X(StatusTimer, kPlatform, kPlatform) \
  X(StatusInitialized, 4, 4)

#define FIELD_ENTRY(name, width, align) \
  Field{#name, offsetof(ADAPTER, name), sizeof(ADAPTER::name), alignof(decltype(ADAPTER::name)), width, align},
constexpr Field kRecord[] = {ADAPTER_FIELDS(FIELD_ENTRY)};
#undef FIELD_ENTRY

constexpr std::size_t kFieldCount = sizeof kRecord / sizeof kRecord[0];

constexpr std::size_t alignUp(std::size_t value, std::size_t align) {
  return (value + align - 1) / align * align;
}

constexpr std::size_t expectedOffset(std::size_t i) {
  if (i == 0) return 0;
  const Field& f = kRecord[i];
  return alignUp(kRecord[i - 1].offset + kRecord[i - 1].size, f.wantAlign == kPlatform ? f.align : f.wantAlign);
}

constexpr bool fieldInPlace(std::size_t i) {
  const Field& f = kRecord[i];
  return f.offset == expectedOffset(i) && (f.width == kPlatform || f.size == f.width) &&
         (f.wantAlign == kPlatform || f.align == f.wantAlign);
}

constexpr bool sameName(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

constexpr std::size_t indexOf(const char* name) {
  for (std::size_t i = 0; i < kFieldCount; ++i)
    if (sameName(kRecord[i].name, name)) return i;
  return kFieldCount;
}

// One check per field, so that a failure names the field that moved, grew or shrank.
#define FIELD_CHECK(name, width, align) \
  static_assert(fieldInPlace(indexOf(#name)), #name ": not at the device's offset, width or alignment");
ADAPTER_FIELDS(FIELD_CHECK)
#undef FIELD_CHECK

constexpr std::size_t recordAlign() {
  std::size_t align = 1;
  for (const Field& f : kRecord) align = f.align > align ? f.align : align;
  return align;
}

constexpr std::size_t endOfLastField() { return kRecord[kFieldCount - 1].offset + kRecord[kFieldCount - 1].size; }

static_assert(sizeof(ADAPTER) == alignUp(endOfLastField(), recordAlign()),
              "the adapter record holds more than the fields of the table");

#if UINTPTR_MAX == 0xFFFFFFFF
static_assert(sizeof(TX_SLOT) == 8, "a transmit slot is a 4-byte link and a 16-bit FID, padded");
#endif

// ---- hardware formats shared by the driver and the controller model ------------------------------
// The driver's and the model's views are written separately; these keep them one format.
static_assert(RECORD_BUFFER_SIZE == 504 && RECORD_BUFFER_SIZE == 252 * sizeof(USHORT));
static_assert(RECORD_HEADER_SIZE == 2 * sizeof(USHORT));
static_assert(DESCRIPTOR_SIZE == 60 && DESCRIPTOR_SIZE == hw::kDescriptorSize);
static_assert(sizeof(ADAPTER::RxDescriptor) == hw::kDescriptorSize && sizeof(ADAPTER::TxDescriptor) == hw::kDescriptorSize);
static_assert(RX_STATUS_OFFSET == hw::kDescStatus);
static_assert(RX_FRAME_CONTROL_OFFSET == hw::kDescFrameControl);
static_assert(RX_BODY_LENGTH_OFFSET == hw::kDescBodyLength);
static_assert(RX_HEADER_OFFSET == hw::kDescDestination && TX_FRAME_OFFSET == hw::kDescDestination);
static_assert(RX_LENGTH_FIELD_OFFSET == hw::kDescLength8023);
static_assert(hw::kDescSource == hw::kDescDestination + MAC_ADDRESS_SIZE);
static_assert(hw::kDescLength8023 + 2 == DESCRIPTOR_SIZE, "the frame body starts right after the descriptor");
static_assert(RX_STATUS_RFC1042 == hw::kRxStatusRfc1042 && RX_STATUS_TUNNEL == hw::kRxStatusTunnel);
// Tallies: the controller reports 32 counters of 16 bits; the record keeps 44 of 32 bits, the
// first 32 accumulating those reports.
static_assert(TALLY_REPORT_COUNT == 32 && TALLY_REPORT_COUNT == hw::kTallyCount);
static_assert(TALLY_COUNT == 44 && sizeof(ADAPTER::Tallies) == 44 * 4);
static_assert(RECORD_HEADER_SIZE + TALLY_REPORT_COUNT * 2 <= hw::kInfoBufferSize);
static_assert(INFO_TYPE_TALLIES == hw::kInfoTallies && INFO_TYPE_LINK_STATUS == hw::kInfoLinkStatus);
// The largest converted frame, behind its descriptor and followed by the tag trailer, fits a buffer.
static_assert(TX_BUFFER_SIZE >= DESCRIPTOR_SIZE + SNAP_ENCAPSULATION_SIZE + ETHERNET_MAX_FRAME_SIZE - ETHERNET_HEADER_SIZE +
                                    TX_TRAILER_SIZE);
static_assert(PORT_WINDOW_SIZE == hw::kPortCount);
static_assert(sizeof(ADAPTER::ProductionData) == hw::kProductionDataSize);

// ---- maintenance access and private requests ------------------------------------------------------
// Memory request: 32-bit address, 16-bit byte count, then the data.
static_assert(MEMORY_REQUEST_ADDRESS == 0 && MEMORY_REQUEST_COUNT == MEMORY_REQUEST_ADDRESS + sizeof(ULONG));
static_assert(MEMORY_REQUEST_HEADER_SIZE == MEMORY_REQUEST_COUNT + sizeof(USHORT) && MEMORY_REQUEST_HEADER_SIZE == 6);
static_assert(MEMORY_REQUEST_MAX_SIZE == 8200);
// MIB record: identifier, status and data length of 32 bits each, then the data; the smallest
// record has four bytes of data space, and a record of n bytes is given n + 15.
static_assert(MIB_RECORD_IDENTIFIER == 0 && MIB_RECORD_STATUS == 4 && MIB_RECORD_DATA_LENGTH == 8);
static_assert(MIB_RECORD_HEADER_SIZE == MIB_RECORD_DATA_LENGTH + sizeof(ULONG) && MIB_RECORD_DATA == MIB_RECORD_HEADER_SIZE);
static_assert(MIB_RECORD_MIN_SIZE == MIB_RECORD_HEADER_SIZE + 4 && MIB_RECORD_SLACK == MIB_RECORD_MIN_SIZE - 1);
static_assert(MIB_RECORD_SLACK + NAME_RECORD_TEXT_SIZE == 47 && MIB_RECORD_SLACK + WEP_KEY_SIZE == 20);
// Command block: command and three parameters in, status and three responses out.
static_assert(COMMAND_BLOCK_WORDS == 4 && COMMAND_BLOCK_SIZE == 4 * sizeof(USHORT));
// Supported list: 62 OIDs of 32 bits.
static_assert(sizeof(SupportedOids) == 248 && sizeof(NDIS_OID) == 4);
static_assert(sizeof(ADAPTER::Tallies) == 176);

// The register snapshot, word by word, against the controller's register map.
constexpr UCHAR kSnapshot[] = REGISTER_SNAPSHOT_ORDER;
constexpr std::uint32_t kNotRead = 0x100;
constexpr std::uint32_t kSnapshotWant[] = {
    hw::kRegCommand,     hw::kRegParam0,      hw::kRegParam1,  hw::kRegParam2,        hw::kRegStatus,
    hw::kRegResp0,       hw::kRegResp1,       hw::kRegResp2,   hw::kRegInfoFid,       hw::kRegRxFid,
    hw::kRegAllocFid,    hw::kRegSnapshot24,  hw::kRegSelect0, hw::kRegOffset0,       kNotRead,
    hw::kRegSelect1,     hw::kRegOffset1,     kNotRead,        hw::kRegEventStatus,   hw::kRegIntEnable,
    hw::kRegEventAck,    hw::kRegControl,     hw::kRegAuxPage, hw::kRegAuxOffset,     hw::kRegFirmwareVariant,
    hw::kRegBuildNumber, hw::kRegSnapshot2C};
static_assert(sizeof(kSnapshot) == REGISTER_SNAPSHOT_WORDS && REGISTER_SNAPSHOT_SIZE == 54);
static_assert(sizeof(kSnapshotWant) / sizeof(kSnapshotWant[0]) == REGISTER_SNAPSHOT_WORDS);

constexpr bool snapshotMatches() {
  for (std::size_t i = 0; i < REGISTER_SNAPSHOT_WORDS; ++i) {
    std::uint32_t got = kSnapshot[i] == SNAPSHOT_NOT_READ ? kNotRead : kSnapshot[i];
    if (got != kSnapshotWant[i]) return false;
  }
  return true;
}
static_assert(snapshotMatches(), "the snapshot reads the controller's registers in its word order");

// The auxiliary port: key words, control values, address split, production data.
static_assert(AUX_KEY_WORD(0) == hw::kAuxKey0 && AUX_KEY_WORD(1) == hw::kAuxKey1 && AUX_KEY_WORD(2) == hw::kAuxKey2);
static_assert(AUX_CONTROL_ENABLE == hw::kControlEnable && AUX_CONTROL_DISABLE == hw::kControlDisable);
static_assert(AUX_CONTROL_ENABLED == hw::kControlEnabled && AUX_CONTROL_DISABLED == hw::kControlDisabled);
static_assert(REG_CONTROL == hw::kRegControl && REG_AUX_PAGE == hw::kRegAuxPage && REG_AUX_OFFSET == hw::kRegAuxOffset &&
              REG_AUX_DATA == hw::kRegAuxData);
static_assert(AUX_OFFSET_MASK + 1 == (1u << AUX_PAGE_SHIFT), "a page is the offset's range");
static_assert(PRODUCTION_DATA_ADDRESS == hw::kProductionData && PRODUCTION_DATA_SIZE == hw::kProductionDataSize);
static_assert(((hw::kProductionData >> AUX_PAGE_SHIFT) & 0xFFFF) == 0x7E00, "production data starts a page");
static_assert(CMD_PROGRAM_BEGIN == hw::kCmdProgramBegin && CMD_PROGRAM_COMMIT == hw::kCmdProgramCommit);

}  // namespace
