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

}  // namespace
