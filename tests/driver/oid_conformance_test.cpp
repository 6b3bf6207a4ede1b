// Conformance of the query and set entry points, as a protocol sees them through the NDIS host:
// every OID of the supported list queried at every length up to one past its size and set at
// lengths around the one it accepts, plus OIDs the driver does not know.
#include <cstring>

#include "linked_driver.h"
#include "port_trace.h"

namespace teskel::test {
namespace {

constexpr std::uint8_t kSentinel = 0xA5;
constexpr const char16_t *kVendor = u"Conformance Card";
constexpr ULONG kVendorSize = 17;  // the text and its terminator

// How a direction answers an OID.
enum class Query {
  Fixed,          // a result of querySize bytes
  Record,         // OID_PRIV_RECORD of the station address record
  MemoryRequest,  // a memory request for four bytes
  MibRecord,      // a MIB record of a one-byte attribute
  NotSupported,   // NDIS_STATUS_NOT_SUPPORTED, nothing needed
  Unknown,        // NDIS_STATUS_INVALID_OID
};
enum class Set {
  Exact,          // exactly setSize bytes
  AtLeast,        // the first setSize bytes
  Any,            // anything, nothing read
  AddressList,    // whole addresses up to 192 bytes
  MemoryRequest,  // a header and its count, at most 8200 bytes
  Record,         // a controller record by its length word
  MibRecord,      // a MIB record of a one-byte attribute
  NotSupported,
  Unknown,
};

struct Row {
  NDIS_OID oid;
  const char *name;
  Query query;
  ULONG querySize;
  Set set;
  ULONG setSize;
  Bytes payload;  // a set the driver accepts
};

void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

Bytes le32(std::uint32_t v) {
  return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}
Bytes le16b(std::uint16_t v) { return {std::uint8_t(v), std::uint8_t(v >> 8)}; }

Bytes memoryRequest(std::uint32_t address, std::uint16_t count) {
  return concat({le32(address), le16b(count), Bytes(count, 0x5C)});
}
Bytes mibRecord(std::uint32_t id, std::uint32_t length, Bytes data) {
  data.resize(std::max<std::size_t>(data.size(), 4));
  return concat({le32(id), le32(0), le32(length), data});
}

#define ROW(oid, ...) Row{oid, #oid, __VA_ARGS__}
const std::vector<Row> &rows() {
  static const std::vector<Row> table = {
      ROW(OID_GEN_SUPPORTED_LIST, Query::Fixed, 248, Set::Unknown, 0, {}),
      ROW(OID_GEN_HARDWARE_STATUS, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_GEN_MAC_OPTIONS, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_GEN_MEDIA_SUPPORTED, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_GEN_MEDIA_IN_USE, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_GEN_MAXIMUM_LOOKAHEAD, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_GEN_CURRENT_LOOKAHEAD, Query::Fixed, 4, Set::Exact, 4, le32(100)),
      ROW(OID_GEN_MAXIMUM_FRAME_SIZE, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_GEN_MAXIMUM_TOTAL_SIZE, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_GEN_LINK_SPEED, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_GEN_PROTOCOL_OPTIONS, Query::Unknown, 0, Set::Unknown, 0, {}),
      ROW(OID_GEN_TRANSMIT_BUFFER_SPACE, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_GEN_RECEIVE_BUFFER_SPACE, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_GEN_TRANSMIT_BLOCK_SIZE, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_GEN_RECEIVE_BLOCK_SIZE, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_GEN_VENDOR_ID, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_GEN_VENDOR_DESCRIPTION, Query::Fixed, kVendorSize, Set::Unknown, 0, {}),
      ROW(OID_GEN_CURRENT_PACKET_FILTER, Query::Fixed, 4, Set::Exact, 4, le32(0x0B)),
      ROW(OID_GEN_DRIVER_VERSION, Query::Fixed, 2, Set::Unknown, 0, {}),
      ROW(OID_GEN_VENDOR_DRIVER_VERSION, Query::Fixed, 2, Set::Unknown, 0, {}),
      ROW(OID_GEN_MEDIA_CONNECT_STATUS, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_GEN_MAXIMUM_SEND_PACKETS, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_802_3_PERMANENT_ADDRESS, Query::Fixed, 6, Set::Unknown, 0, {}),
      ROW(OID_802_3_CURRENT_ADDRESS, Query::Fixed, 6, Set::Exact, 6, (Bytes{0x02, 0x11, 0x22, 0x33, 0x44, 0x55})),
      ROW(OID_802_3_MAXIMUM_LIST_SIZE, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_802_3_MULTICAST_LIST, Query::Unknown, 0, Set::AddressList, 192, {}),
      ROW(OID_GEN_XMIT_OK, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_GEN_RCV_OK, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_GEN_XMIT_ERROR, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_GEN_RCV_ERROR, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_GEN_RCV_NO_BUFFER, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_802_3_RCV_ERROR_ALIGNMENT, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_802_3_XMIT_ONE_COLLISION, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_802_3_XMIT_MORE_COLLISIONS, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_PRIV_RECORD, Query::Record, 10, Set::Record, 6, (Bytes{0x02, 0x00, 0x03, 0xFC, 0x06, 0x00})),
      ROW(OID_PRIV_PRODUCTION_DATA, Query::Fixed, 1024, Set::NotSupported, 0, {}),
      ROW(OID_PRIV_COMMAND, Query::Unknown, 0, Set::Exact, 8,
          concat({le16b(CMD_ACCESS_READ), le16b(RID_CURRENT_CHANNEL), le16b(0), le16b(0)})),
      ROW(OID_PRIV_AUX_ENABLE, Query::Unknown, 0, Set::Any, 0, {}),
      ROW(OID_PRIV_AUX_DISABLE, Query::Unknown, 0, Set::Any, 0, {}),
      ROW(OID_PRIV_AUX_MEMORY, Query::MemoryRequest, 10, Set::MemoryRequest, 10, memoryRequest(0x200, 4)),
      ROW(OID_PRIV_SUPPRESS_TRANSMIT, Query::Unknown, 0, Set::Any, 0, {}),
      ROW(OID_PRIV_RESUME_TRANSMIT, Query::Unknown, 0, Set::Any, 0, {}),
      ROW(OID_PRIV_VERSION, Query::Fixed, 4, Set::Unknown, 0, {}),
      ROW(OID_PRIV_UNUSED_18A, Query::Unknown, 0, Set::NotSupported, 0, {}),
      ROW(OID_PRIV_DOWNLOAD_DIRECT, Query::Unknown, 0, Set::MemoryRequest, 10, memoryRequest(0x200, 4)),
      ROW(OID_PRIV_DOWNLOAD_NONVOLATILE, Query::Unknown, 0, Set::MemoryRequest, 10, memoryRequest(0x3E0000, 4)),
      ROW(OID_PRIV_TALLIES, Query::Fixed, 176, Set::Unknown, 0, {}),
      ROW(OID_PRIV_REGISTERS, Query::Fixed, 54, Set::Unknown, 0, {}),
      ROW(OID_PRIV_MIB_RECORD, Query::MibRecord, 16, Set::MibRecord, 16, mibRecord(MIB_WEP_DEFAULT_KEY_INDEX, 1, {2})),
      ROW(OID_PRIV_NETWORK_TYPE, Query::Fixed, 1, Set::AtLeast, 1, (Bytes{1})),
      ROW(OID_PRIV_CURRENT_BSSID, Query::Fixed, 6, Set::NotSupported, 0, {}),
      ROW(OID_PRIV_RESET, Query::NotSupported, 0, Set::Any, 0, {}),
      ROW(OID_PRIV_LINK_STATUS, Query::Fixed, 2, Set::NotSupported, 0, {}),
      ROW(OID_PRIV_ENCAPSULATION, Query::Fixed, 1, Set::AtLeast, 1, (Bytes{2})),
      ROW(OID_PRIV_WEP_REQUEST, Query::Fixed, 1, Set::AtLeast, 1, (Bytes{0})),
      ROW(OID_PRIV_TX_RATE, Query::Fixed, 2, Set::AtLeast, 2, (Bytes{3, 0})),
      ROW(OID_PRIV_LINK_QUALITY, Query::Fixed, 1, Set::NotSupported, 0, {}),
      ROW(OID_PRIV_SIGNAL_LEVEL, Query::Fixed, 1, Set::NotSupported, 0, {}),
  };
  return table;
}
#undef ROW

// The supported list as NDIS must be given it, duplicates included.
const std::vector<NDIS_OID> kSupportedList = {
    0x00010101, 0x00010102, 0x00010113, 0x00010103, 0x00010104, 0x00010105, 0x0001010F, 0x00010106, 0x00010111,
    0x00010107, 0x00010112, 0x00010108, 0x00010109, 0x0001010A, 0x0001010B, 0x0001010C, 0x0001010D, 0x0001010E,
    0x00010110, 0x00010116, 0x00010114, 0x00010115, 0x01010101, 0x01010102, 0x01010104, 0x01010103, 0x00020101,
    0x00020102, 0x00020103, 0x00020104, 0x00020105, 0x01020101, 0x01020102, 0x01020103, 0xFF010181, 0xFF010181,
    0xFF010182, 0xFF010182, 0xFF010183, 0xFF010184, 0xFF010185, 0xFF010186, 0xFF010186, 0xFF010187, 0xFF010188,
    0xFF010189, 0xFF01018A, 0xFF01018B, 0xFF01018C, 0xFF02018D, 0xFF02018D, 0xFF02018E, 0xFF020191, 0xFF010194,
    0xFF010195, 0xFF020198, 0xFF010199, 0xFF02019B, 0xFF02019C, 0xFF02019D, 0xFF02019E, 0xFF02019F};

struct Expect {
  NDIS_STATUS status;
  ULONG done;
  ULONG needed;
};
void PrintTo(const Expect &e, std::ostream *os) {
  *os << "status 0x" << std::hex << e.status << std::dec << ", done " << e.done << ", needed " << e.needed;
}
bool operator==(const Expect &a, const Expect &b) {
  return a.status == b.status && a.done == b.done && a.needed == b.needed;
}

Expect ok(ULONG done) { return {NDIS_STATUS_SUCCESS, done, 0}; }
Expect refused(NDIS_STATUS status, ULONG needed) { return {status, 0, needed}; }

// The answer a query of `length` bytes must get.
Expect expectedQuery(const Row &row, ULONG length) {
  switch (row.query) {
    case Query::Fixed:
      return length < row.querySize ? refused(NDIS_STATUS_INVALID_LENGTH, row.querySize) : ok(row.querySize);
    case Query::Record:
      // Six bytes before the identifier is even looked at; then room for the length word,
      // the identifier and L data words: 4 + 2L.
      if (length < 6) return refused(NDIS_STATUS_FAILURE, 6);
      return length < row.querySize + 2 ? refused(NDIS_STATUS_FAILURE, row.querySize + 2) : ok(row.querySize);
    case Query::MemoryRequest:
      if (length < 6) return refused(NDIS_STATUS_INVALID_LENGTH, 6);
      return length < row.querySize ? refused(NDIS_STATUS_INVALID_LENGTH, row.querySize) : ok(row.querySize);
    case Query::MibRecord:
      return length < 16 ? refused(NDIS_STATUS_INVALID_LENGTH, 16) : ok(16);
    case Query::NotSupported:
      return refused(NDIS_STATUS_NOT_SUPPORTED, 0);
    case Query::Unknown:
      break;
  }
  return refused(NDIS_STATUS_INVALID_OID, 0);
}

// The buffer a query of `length` bytes is made with: what the request must carry, where it fits.
Bytes queryBuffer(const Row &row, ULONG length) {
  Bytes b(length, kSentinel);
  Bytes head;
  if (row.query == Query::Record) head = {0, 0, 0x01, 0xFC};  // station address, L = 4
  if (row.query == Query::MemoryRequest) head = concat({le32(0x100), le16b(4)});
  if (row.query == Query::MibRecord) head = concat({le32(MIB_PHY_TYPE), le32(0), le32(0)});
  for (std::size_t i = 0; i < head.size() && i < b.size(); ++i) b[i] = head[i];
  return b;
}

// Lengths a set is tried with: around the accepted one, and the edges of its rule.
std::vector<ULONG> setLengths(const Row &row) {
  switch (row.set) {
    case Set::Exact: return {0, row.setSize - 1, row.setSize, row.setSize + 1};
    case Set::AtLeast:
    case Set::Record:
    case Set::MibRecord: {
      std::vector<ULONG> out;
      for (ULONG n = 0; n <= row.setSize + 1; ++n) out.push_back(n);
      return out;
    }
    case Set::AddressList: return {0, 5, 6, 7, 186, 192, 193, 198};
    case Set::MemoryRequest: return {0, 5, 6, 9, 10, 11, 8200, 8201};
    default: return {0, 1, 4, 17};
  }
}

Expect expectedSet(const Row &row, ULONG length) {
  switch (row.set) {
    case Set::Exact:
      return length == row.setSize ? ok(row.setSize) : refused(NDIS_STATUS_INVALID_LENGTH, row.setSize);
    case Set::AtLeast:
      return length >= row.setSize ? ok(row.setSize) : refused(NDIS_STATUS_INVALID_LENGTH, row.setSize);
    case Set::Any: return ok(0);
    case Set::AddressList:
      return length % 6 == 0 && length <= 192 ? ok(length) : refused(NDIS_STATUS_INVALID_LENGTH, 192);
    case Set::MemoryRequest:
      if (length > 8200) return refused(NDIS_STATUS_INVALID_LENGTH, 8200);
      if (length < 6) return refused(NDIS_STATUS_INVALID_LENGTH, 6);
      return length < row.setSize ? refused(NDIS_STATUS_INVALID_LENGTH, row.setSize) : ok(row.setSize);
    case Set::Record:
      // The length word first, then the whole record; success reports the header.
      if (length < 4) return refused(NDIS_STATUS_INVALID_LENGTH, 4);
      return length < row.setSize ? refused(NDIS_STATUS_INVALID_LENGTH, row.setSize) : ok(4);
    case Set::MibRecord:
      return length < 16 ? refused(NDIS_STATUS_INVALID_LENGTH, 16) : ok(16);
    case Set::NotSupported: return refused(NDIS_STATUS_NOT_SUPPORTED, 0);
    case Set::Unknown: break;
  }
  return refused(NDIS_STATUS_INVALID_OID, 0);
}

Bytes setBuffer(const Row &row, ULONG length) {
  Bytes b = row.payload;
  b.resize(length, 0);
  return b;
}

Expect seen(const ndis::InformationResult &r) { return {r.status, r.bytesDone, r.bytesNeeded}; }

class Conformance : public RigTest {
 protected:
  void SetUp() override {
    rig.install();
    rig.setParm("VendorDesc", kVendor);
    rig.bringUp();
  }
  void TearDown() override {
    std::vector<std::string> none;
    EXPECT_EQ(rig.controller->violations(), none);
  }
  ndis::InformationResult query(NDIS_OID oid, Bytes &buffer) { return rig.adapter->queryInformation(oid, buffer); }
  ndis::InformationResult set(NDIS_OID oid, const Bytes &buffer) { return rig.adapter->setInformation(oid, buffer); }
};

TEST_F(Conformance, TheSupportedListIsTheTableInItsOrderAndEveryEntryHasARow) {
  Bytes buffer(248);
  ASSERT_EQ(seen(query(OID_GEN_SUPPORTED_LIST, buffer)), ok(248));
  std::vector<NDIS_OID> listed(62);
  std::memcpy(listed.data(), buffer.data(), buffer.size());
  EXPECT_EQ(listed, kSupportedList);
  for (NDIS_OID oid : kSupportedList) {
    EXPECT_TRUE(std::any_of(rows().begin(), rows().end(), [&](const Row &r) { return r.oid == oid; }))
        << std::hex << oid;
  }
}

class EveryOid : public Conformance, public ::testing::WithParamInterface<Row> {};

TEST_P(EveryOid, QueriedAtEveryLengthUpToOnePastItsSize) {
  const Row &row = GetParam();
  ULONG top = std::max<ULONG>(row.querySize, 16) + 1;
  for (ULONG length = 0; length <= top; ++length) {
    SCOPED_TRACE("length " + std::to_string(length));
    Bytes buffer = queryBuffer(row, length);
    const Bytes before = buffer;
    rig.bus.clearTrace();
    rig.bus.setTracing(true);
    Expect want = expectedQuery(row, length);
    ASSERT_EQ(seen(query(row.oid, buffer)), want);
    rig.bus.setTracing(false);
    // Let the interrupt handler take what the request asked the controller for (tally reports).
    rig.settle(2000);
    if (want.status == NDIS_STATUS_SUCCESS) {
      // Nothing past the answer is touched.
      for (ULONG i = want.done; i < length; ++i) ASSERT_EQ(buffer[i], before[i]) << "byte " << i;
    } else if (want.status != NDIS_STATUS_FAILURE) {
      // A refused query leaves the caller's buffer as it was.
      ASSERT_EQ(buffer, before);
    }
    if (row.query == Query::Record && length < 6) {
      EXPECT_TRUE(commandCodes(rig.bus).empty());
    }
  }
}

TEST_P(EveryOid, SetAtTheLengthsAroundTheOneItAccepts) {
  const Row &row = GetParam();
  for (ULONG length : setLengths(row)) {
    SCOPED_TRACE("length " + std::to_string(length));
    ASSERT_EQ(seen(set(row.oid, setBuffer(row, length))), expectedSet(row, length));
  }
}

INSTANTIATE_TEST_SUITE_P(SupportedList, EveryOid, ::testing::ValuesIn(rows()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Conformance, UnknownOidsAreRefusedInBothDirectionsWithNothingNeeded) {
  for (NDIS_OID oid : {0x00000000u, 0x00010117u, 0x00010100u, 0x01010105u, 0x00020106u, 0xFF010180u, 0xFF0101A0u,
                       0xFF020181u, 0xFF030191u, 0xFE010181u, 0xFFFFFFFFu}) {
    for (ULONG length : {0u, 4u, 300u}) {
      SCOPED_TRACE(::testing::Message() << std::hex << oid << std::dec << " length " << length);
      Bytes buffer(length, kSentinel);
      EXPECT_EQ(seen(query(oid, buffer)), refused(NDIS_STATUS_INVALID_OID, 0));
      EXPECT_EQ(buffer, Bytes(length, kSentinel));
      EXPECT_EQ(seen(set(oid, buffer)), refused(NDIS_STATUS_INVALID_OID, 0));
    }
  }
}

}  // namespace
}  // namespace teskel::test
