// Compile-time checks of the hardware images, record buffers and counter blocks the driver keeps,
// and of the field widths of the adapter record on the 32-bit device.
#pragma once

#define MEMBER_SIZE(type, field) sizeof(((type *)0)->field)

// ---- controller images kept in the record ------------------------------------------------------
static_assert(MEMBER_SIZE(ADAPTER, TxDescriptor) == 60, "transmit descriptor image is 60 bytes");
static_assert(MEMBER_SIZE(ADAPTER, RxDescriptor) == 60, "receive descriptor image is 60 bytes");
static_assert(TX_FRAME_OFFSET + ETHERNET_HEADER_SIZE == DESCRIPTOR_SIZE,
              "the 802.3 header fills the last 14 bytes of the transmit descriptor");
static_assert(RX_HEADER_OFFSET + ETHERNET_HEADER_SIZE == DESCRIPTOR_SIZE,
              "the 802.3 header fills the last 14 bytes of the receive descriptor");
static_assert(MEMBER_SIZE(ADAPTER, RxLookahead) >= MAXIMUM_LOOKAHEAD + SNAP_ENCAPSULATION_SIZE,
              "the lookahead area takes the largest lookahead plus a SNAP header");
static_assert(MEMBER_SIZE(ADAPTER, ProductionData) == 1024, "production data block is 1024 bytes");

// ---- records -----------------------------------------------------------------------------------
static_assert(RECORD_BUFFER_SIZE == 252 * 2, "record buffers hold 252 words");
static_assert((NAME_RECORD_LENGTH + 1) * 2 == RECORD_HEADER_SIZE + 2 + NAME_RECORD_TEXT_SIZE,
              "a name record is a length word and 32 bytes of text");
static_assert((4 + 1) * 2 == RECORD_HEADER_SIZE + WEP_KEY_SIZE + 1, "a key record is 5 key bytes and a pad byte");
static_assert(RECORD_HEADER_SIZE + 4 + TALLY_REPORT_COUNT * 2 <= RECORD_BUFFER_SIZE,
              "a tallies information frame fits the record buffer");

// ---- counters and tables -----------------------------------------------------------------------
static_assert(MEMBER_SIZE(ADAPTER, Tallies) == TALLY_COUNT * 4, "44 counters of 32 bits");
static_assert(sizeof(ULONG) == 4 && sizeof(USHORT) == 2 && sizeof(UCHAR) == 1, "platform integer widths");
static_assert(MEMBER_SIZE(ADAPTER, MulticastList) == 32 * MAC_ADDRESS_SIZE, "32 multicast addresses");
static_assert(MEMBER_SIZE(ADAPTER, DefaultKeys) == WEP_KEY_COUNT * WEP_KEY_SIZE, "four 40-bit keys");
static_assert(KEY_TEXT_DIGITS == DEFAULT_KEYS_SIZE * 2 && KEY_TEXT_SIZE == KEY_TEXT_DIGITS + 1,
              "the key text carries two digits per key byte");
static_assert(MEMBER_SIZE(ADAPTER, SSID) == NAME_RECORD_TEXT_SIZE + 1, "32 characters and a terminator");
static_assert(MEMBER_SIZE(ADAPTER, StationName) == NAME_RECORD_TEXT_SIZE + 1, "32 characters and a terminator");
static_assert(MEMBER_SIZE(ADAPTER, VendorDescription) == VENDOR_DESCRIPTION_SIZE, "128-byte description");
static_assert(MEMBER_SIZE(ADAPTER, IoBaseAddress) == 8, "64-bit physical address");

// ---- widths of the record on the 32-bit device -------------------------------------------------
#if UINTPTR_MAX == 0xFFFFFFFF
static_assert(MEMBER_SIZE(ADAPTER, MiniportAdapterHandle) == 4, "handle");
static_assert(MEMBER_SIZE(ADAPTER, Next) == 4, "list link");
static_assert(MEMBER_SIZE(ADAPTER, SendQueueHead) == 4 && MEMBER_SIZE(ADAPTER, SendQueueTail) == 4, "queue ends");
static_assert(MEMBER_SIZE(ADAPTER, PortBase) == 4, "port base");
static_assert(MEMBER_SIZE(ADAPTER, TxSlotsAwaitingBuffer) == 4 && MEMBER_SIZE(ADAPTER, TxSlotsReady) == 4,
              "slot list heads");
static_assert(sizeof(TX_SLOT) == 8, "a slot is a link and a buffer id");
static_assert(MEMBER_SIZE(ADAPTER, TxSlots) == 5 * 8, "five slots");
static_assert(sizeof(NDIS_MINIPORT_CHARACTERISTICS) == 72, "the entry-point table is 72 bytes");
#endif
