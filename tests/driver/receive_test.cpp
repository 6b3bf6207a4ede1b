// The receive path end to end: 802.11 frames handed to the controller, and what a protocol
// binding is indicated and can fetch with transfer-data; SNAP removal, lookahead sizes, frames
// the driver drops, and transfer-data into buffer chains.
#include "linked_driver.h"
#include "port_trace.h"

namespace teskel::test {
namespace {

const sim::MacAddress kSource = {0x02, 0x56, 0x41, 0x55, 0x4C, 0x33};

Bytes snap(std::uint8_t ouiLast, std::uint16_t type) {
  return {0xAA, 0xAA, 0x03, 0x00, 0x00, ouiLast, static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type)};
}

Bytes header(const sim::MacAddress &da, const sim::MacAddress &sa, std::uint16_t typeOrLength) {
  return ethernetFrame(da, sa, typeOrLength, {});
}

Bytes slice(const Bytes &b, std::size_t from, std::size_t count) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(from + count));
}

class ReceiveTest : public RigTest {
 protected:
  void SetUp() override {
    rig.bringUp();
    ASSERT_FALSE(HasFatalFailure());
    // Configuration leaves WEP on (flags 3) until the status timer applies "WepReq" 0; these
    // frames come unencrypted.
    ASSERT_TRUE(rig.call([](PADAPTER a) { return SetWepFlags(a, 0); }));
    rig.bus.setTracing(true);
  }
  // Hands the frame to the controller and lets the driver serve it.
  void deliver(const Bytes &body) {
    ASSERT_EQ(rig.receive(body, kSource), sim::ReceiveResult::Delivered);
    rig.settle();
  }
  // Rewrites words of the receive descriptor as the driver reads them.
  void rewriteDescriptor(std::uint16_t position, std::function<std::uint16_t(std::uint16_t)> change) {
    rig.tap->setReadHook([this, position, change](const PortTap::Read &r) -> std::uint16_t {
      if (r.offset == REG_RX_FID) rxFid_ = r.value;
      if (r.path >= 0 && r.selected == rxFid_ && r.position == position) return change(r.value);
      return r.value;
    });
  }
  void expectClean() {
    EXPECT_TRUE(rig.controller->violations().empty()) << rig.controller->violations().front();
    EXPECT_TRUE(rig.host->findings().empty()) << rig.host->findings().front();
    EXPECT_EQ(rig.record()->AccessPathBusy, 0);
    EXPECT_EQ(rig.controller->eventStatus() & EV_RX, 0);
    // No halfword moved between a port and an odd memory address (the processor cannot).
    EXPECT_EQ(rig.bus.misalignedStringReads() + rig.bus.misalignedStringWrites(), 0u);
  }
  std::uint16_t rxFid_ = 0;
};

// ---------------------------------------------------------------------------------------------
// SNAP forms

struct SnapCase {
  const char *what;
  Bytes encapsulation;  // the body's first bytes
  bool stripped;
};
void PrintTo(const SnapCase &c, std::ostream *os) { *os << c.what; }

class SnapTest : public ReceiveTest, public ::testing::WithParamInterface<SnapCase> {};

TEST_P(SnapTest, IndicatesTheEthernetFrameTheBodyStandsFor) {
  const SnapCase &c = GetParam();
  Bytes payload = pattern(100, 5);
  Bytes body = concat({c.encapsulation, payload});
  deliver(body);
  ASSERT_EQ(rig.indications.size(), 1u);
  const Indication &ind = rig.indications[0];
  sim::MacAddress self = rig.stationAddress();
  if (c.stripped) {
    std::uint16_t type = static_cast<std::uint16_t>(c.encapsulation[6] << 8 | c.encapsulation[7]);
    EXPECT_EQ(ind.header, header(self, kSource, type));
    EXPECT_EQ(ind.lookahead, payload);
    EXPECT_EQ(ind.packetSize, payload.size());
  } else {
    // 802.3 form: the controller's length field, the whole body behind it.
    EXPECT_EQ(ind.header, header(self, kSource, static_cast<std::uint16_t>(body.size())));
    EXPECT_EQ(ind.lookahead, body);
    EXPECT_EQ(ind.packetSize, body.size());
  }
  EXPECT_EQ(rig.receiveCompletes, 1u);
  expectClean();
}

INSTANTIATE_TEST_SUITE_P(
    Forms, SnapTest,
    ::testing::Values(SnapCase{"Rfc1042Ip", snap(0x00, 0x0800), true}, SnapCase{"Rfc1042Arp", snap(0x00, 0x0806), true},
                      SnapCase{"Rfc1042IpxKept", snap(0x00, 0x8137), false},
                      SnapCase{"Rfc1042AarpKept", snap(0x00, 0x80F3), false},
                      SnapCase{"TunnelIpx", snap(0xF8, 0x8137), true}, SnapCase{"TunnelAarp", snap(0xF8, 0x80F3), true},
                      SnapCase{"TunnelIp", snap(0xF8, 0x0800), true},
                      SnapCase{"OtherOuiKept", Bytes{0xAA, 0xAA, 0x03, 0x00, 0x0C, 0x29, 0x08, 0x00}, false},
                      SnapCase{"PlainLlcKept", Bytes{0xE0, 0xE0, 0x03, 0xFF, 0xFF, 0x00, 0x60, 0x00}, false}),
    [](const auto &info) { return std::string(info.param.what); });

TEST_F(ReceiveTest, ABodyOfExactlyASnapHeaderGivesAnEmptyFrame) {
  deliver(snap(0x00, 0x0800));
  ASSERT_EQ(rig.indications.size(), 1u);
  EXPECT_EQ(rig.indications[0].header, header(rig.stationAddress(), kSource, 0x0800));
  EXPECT_TRUE(rig.indications[0].lookahead.empty());
  EXPECT_EQ(rig.indications[0].packetSize, 0u);
}

struct ShortCase {
  const char *what;
  std::uint16_t status;
  std::size_t size;
};
void PrintTo(const ShortCase &c, std::ostream *os) { *os << c.what; }

class ShortSnapTest : public ReceiveTest, public ::testing::WithParamInterface<ShortCase> {};

// The controller marks only bodies that hold a SNAP header; a descriptor that says otherwise for
// a shorter body is passed on unchanged rather than cut below zero.
TEST_P(ShortSnapTest, AShortBodyMarkedAsSnapIsIndicatedUnchanged) {
  const ShortCase &c = GetParam();
  rewriteDescriptor(0, [&](std::uint16_t v) { return static_cast<std::uint16_t>(v | c.status); });
  Bytes body = slice(snap(0x00, 0x0800), 0, c.size);
  deliver(body);
  ASSERT_EQ(rig.indications.size(), 1u);
  EXPECT_EQ(rig.indications[0].header, header(rig.stationAddress(), kSource, static_cast<std::uint16_t>(c.size)));
  EXPECT_EQ(rig.indications[0].lookahead, body);
  EXPECT_EQ(rig.indications[0].packetSize, c.size);
  expectClean();
}

INSTANTIATE_TEST_SUITE_P(Bodies, ShortSnapTest,
                         ::testing::Values(ShortCase{"Rfc1042Seven", 0x2000, 7}, ShortCase{"TunnelFive", 0x4000, 5},
                                           ShortCase{"TunnelOne", 0x4000, 1}, ShortCase{"BothTwo", 0x6000, 2}),
                         [](const auto &info) { return std::string(info.param.what); });

// ---------------------------------------------------------------------------------------------
// Lookahead

TEST_F(ReceiveTest, ALongStrippedBodyIsIndicatedWithTheLargestLookahead) {
  Bytes payload = pattern(1592, 11);
  deliver(concat({snap(0x00, 0x0800), payload}));  // body length 1600
  ASSERT_EQ(rig.indications.size(), 1u);
  EXPECT_EQ(rig.indications[0].lookahead, slice(payload, 0, 1508));
  EXPECT_EQ(rig.indications[0].packetSize, 1592u);
  // 60 descriptor bytes and 1516 body bytes were read, nothing more.
  EXPECT_EQ(readsOf(rig.bus, REG_DATA0), 30u + 1516u / 2u);
}

TEST_F(ReceiveTest, ALongUnstrippedBodyGivesEightBytesMoreThanTheLookahead) {
  Bytes body = concat({Bytes{0xE0, 0xE0, 0x03}, pattern(1597, 2)});
  deliver(body);
  ASSERT_EQ(rig.indications.size(), 1u);
  EXPECT_EQ(rig.indications[0].lookahead, slice(body, 0, 1516));
  EXPECT_EQ(rig.indications[0].packetSize, 1600u);
}

TEST_F(ReceiveTest, ABodyAsLongAsTheLookaheadIsReadWhole) {
  Bytes body = concat({Bytes{0xE0, 0xE0, 0x03}, pattern(1505, 4)});  // 1508
  deliver(body);
  ASSERT_EQ(rig.indications.size(), 1u);
  EXPECT_EQ(rig.indications[0].lookahead, body);
}

// ---------------------------------------------------------------------------------------------
// Frames that are not indicated

TEST_F(ReceiveTest, AFrameWhoseDescriptorIsNotDataIsDroppedButAcknowledged) {
  rewriteDescriptor(14, [](std::uint16_t v) { return static_cast<std::uint16_t>(v & ~0x0008); });
  deliver(concat({snap(0x00, 0x0800), pattern(40)}));
  EXPECT_TRUE(rig.indications.empty());
  EXPECT_EQ(rig.receiveCompletes, 1u);
  rig.tap->setReadHook(nullptr);
  deliver(concat({snap(0x00, 0x0800), pattern(40)}));
  EXPECT_EQ(rig.indications.size(), 1u);
  EXPECT_EQ(rig.receiveCompletes, 2u);
  expectClean();
}

TEST_F(ReceiveTest, AFrameThatCannotBeReadIsDroppedSilently) {
  rig.controller->addFault(sim::parseFault("seek-busy"));
  deliver(concat({snap(0x00, 0x0800), pattern(40)}));
  EXPECT_TRUE(rig.indications.empty());
  EXPECT_EQ(rig.receiveCompletes, 1u);
  EXPECT_TRUE(rig.host->errorLog().empty());
  rig.controller->clearFaults();
  deliver(concat({snap(0x00, 0x0800), pattern(40)}));
  EXPECT_EQ(rig.indications.size(), 1u);
}

TEST_F(ReceiveTest, ABurstIsIndicatedInOrderBeforeAnythingElse) {
  // Three frames arrive before the driver gets to run.
  std::vector<Bytes> payloads = {pattern(60, 1), pattern(61, 2), pattern(62, 3)};
  for (const auto &p : payloads) ASSERT_EQ(rig.receive(concat({snap(0x00, 0x0800), p}), kSource), sim::ReceiveResult::Delivered);
  rig.settle();
  ASSERT_EQ(rig.indications.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(rig.indications[i].lookahead, payloads[i]) << i;
  EXPECT_EQ(rig.receiveCompletes, 3u);
  EXPECT_EQ(rig.controller->receiveBuffersHeld(), 1u);  // the last one stays readable
  expectClean();
}

// ---------------------------------------------------------------------------------------------
// Transfer-data

struct TransferCase {
  const char *what;
  UINT offset;
  std::optional<UINT> count;
  std::vector<std::size_t> buffers;
};
void PrintTo(const TransferCase &c, std::ostream *os) { *os << c.what; }

class TransferTest : public ReceiveTest, public ::testing::WithParamInterface<TransferCase> {};

// During the indication the binding fetches (part of) the frame into a chain of buffers.
TEST_P(TransferTest, CopiesTheIndicatedFramesBytes) {
  const TransferCase &c = GetParam();
  Bytes payload = pattern(1400, 21);
  rig.transferInIndication = TransferRequest{c.offset, c.count, c.buffers};
  deliver(concat({snap(0x00, 0x0800), payload}));
  ASSERT_EQ(rig.indications.size(), 1u);
  const Indication &ind = rig.indications[0];
  ASSERT_TRUE(ind.transfer);
  UINT count = c.count.value_or(static_cast<UINT>(payload.size()) - c.offset);
  std::size_t room = 0;
  for (auto b : c.buffers) room += b;
  if (c.buffers.empty()) room = count;
  std::size_t copied = std::min<std::size_t>(count, room);
  EXPECT_EQ(ind.transfer->status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(ind.transfer->bytesTransferred, copied);
  EXPECT_EQ(slice(ind.transferred, 0, copied), slice(payload, c.offset, copied));
  expectClean();
}

INSTANTIATE_TEST_SUITE_P(
    Requests, TransferTest,
    ::testing::Values(TransferCase{"Whole", 0, std::nullopt, {}},
                      TransferCase{"Tail", 1000, std::nullopt, {}},
                      TransferCase{"OddOffsetOddCount", 101, 333, {}},
                      TransferCase{"ChainWithEmptyAndOddBuffers", 0, std::nullopt, {1, 0, 3, 0, 257, 1139}},
                      TransferCase{"OddOffsetIntoChain", 7, 500, {3, 5, 0, 492}},
                      TransferCase{"ChainShorterThanRequest", 10, 900, {100, 0, 201}},
                      TransferCase{"LastByte", 1399, 1, {}}),
    [](const auto &info) { return std::string(info.param.what); });

TEST_F(ReceiveTest, TransferOfAStrippedFrameStartsBehindTheSnapHeader) {
  Bytes payload = pattern(300, 8);
  deliver(concat({snap(0x00, 0x0800), payload}));
  rig.bus.clearTrace();
  auto target = ndis::Packet::withBuffers({300});
  ndis::TransferResult r = rig.adapter->transferData(target->ndis(), 0, 300);
  EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(r.bytesTransferred, 300u);
  EXPECT_EQ(target->contents(), payload);
  EXPECT_EQ(writesTo(rig.bus, REG_OFFSET0), std::vector<std::uint16_t>{68});
}

TEST_F(ReceiveTest, TransferOfAnUnstrippedFrameStartsAtTheBody) {
  Bytes body = concat({snap(0x00, 0x8137), pattern(300, 8)});
  deliver(body);
  rig.bus.clearTrace();
  auto target = ndis::Packet::withBuffers({50});
  ndis::TransferResult r = rig.adapter->transferData(target->ndis(), 10, 50);
  EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(target->contents(), slice(body, 10, 50));
  EXPECT_EQ(writesTo(rig.bus, REG_OFFSET0), std::vector<std::uint16_t>{70});
}

TEST_F(ReceiveTest, TransferAfterTheIndicationReadsTheLastFrame) {
  Bytes first = pattern(200, 1), second = pattern(150, 2);
  deliver(concat({snap(0x00, 0x0800), first}));
  auto target = ndis::Packet::withBuffers({100});
  ASSERT_EQ(rig.adapter->transferData(target->ndis(), 50, 100).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(target->contents(), slice(first, 50, 100));
  deliver(concat({snap(0x00, 0x0806), second}));
  ASSERT_EQ(rig.adapter->transferData(target->ndis(), 50, 100).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(target->contents(), slice(second, 50, 100));
}

struct RangeCase {
  const char *what;
  UINT offset;
  UINT count;
  NDIS_STATUS status;
};
void PrintTo(const RangeCase &c, std::ostream *os) { *os << c.what; }

class TransferRangeTest : public ReceiveTest, public ::testing::WithParamInterface<RangeCase> {};

// The indicated frame has 120 bytes.
TEST_P(TransferRangeTest, OnlyBytesOfTheIndicatedFrameCanBeFetched) {
  const RangeCase &c = GetParam();
  deliver(concat({snap(0x00, 0x0800), pattern(120, 4)}));
  rig.bus.clearTrace();
  auto target = ndis::Packet::withBuffers({300});
  ndis::TransferResult r = rig.adapter->transferData(target->ndis(), c.offset, c.count);
  EXPECT_EQ(r.status, c.status);
  if (c.status != NDIS_STATUS_SUCCESS || c.count == 0) {
    EXPECT_EQ(r.bytesTransferred, 0u);
    EXPECT_TRUE(rig.bus.trace().empty());
  } else {
    EXPECT_EQ(r.bytesTransferred, c.count);
  }
}

INSTANTIATE_TEST_SUITE_P(Ranges, TransferRangeTest,
                         ::testing::Values(RangeCase{"All", 0, 120, NDIS_STATUS_SUCCESS},
                                           RangeCase{"OneTooMany", 0, 121, NDIS_STATUS_FAILURE},
                                           RangeCase{"EndOneTooFar", 100, 21, NDIS_STATUS_FAILURE},
                                           RangeCase{"NothingAtTheEnd", 120, 0, NDIS_STATUS_SUCCESS},
                                           RangeCase{"NothingFarAway", 5000, 0, NDIS_STATUS_SUCCESS},
                                           RangeCase{"WrappingRequest", 0xFFFFFFF0u, 0x20, NDIS_STATUS_FAILURE}),
                         [](const auto &info) { return std::string(info.param.what); });

TEST_F(ReceiveTest, AReadFailureDuringTransferReportsWhatWasCopiedAndLogsIt) {
  Bytes payload = pattern(400, 6);
  deliver(concat({snap(0x00, 0x0800), payload}));
  // The first seek of the transfer ends; every later one stays busy.
  int seeksDone = 0;
  rig.tap->setReadHook([&](const PortTap::Read &r) -> std::uint16_t {
    if ((r.offset == REG_OFFSET0 || r.offset == REG_OFFSET1) && !(r.value & 0x8000)) {
      if (++seeksDone >= 2) return r.value | 0x8000;
    }
    return r.value;
  });
  auto target = ndis::Packet::withBuffers({100, 300});
  ndis::TransferResult r = rig.adapter->transferData(target->ndis(), 0, 400);
  rig.tap->setReadHook(nullptr);
  EXPECT_EQ(r.status, NDIS_STATUS_FAILURE);
  EXPECT_EQ(r.bytesTransferred, 100u);
  EXPECT_EQ(slice(target->contents(), 0, 100), slice(payload, 0, 100));
  ASSERT_EQ(rig.host->errorLog().size(), 1u);
  EXPECT_EQ(rig.host->errorLog()[0].code, static_cast<NDIS_ERROR_CODE>(NDIS_ERROR_CODE_HARDWARE_FAILURE));
  EXPECT_EQ(rig.host->errorLog()[0].values, std::vector<ULONG>{2});
  EXPECT_EQ(rig.record()->AccessPathBusy, 0);
}

}  // namespace
}  // namespace teskel::test
