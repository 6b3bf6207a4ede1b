// Packets and buffers, and the protocol side: sends and their completions, receive indications
// through the Ethernet filter, and transfer-data during and after an indication.
#include "ndis_fixture.h"

using teskel::ndis::Adapter;
using teskel::ndis::Packet;
using teskel::ndis::ReceiveIndication;

namespace ndistest {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Trace = std::vector<std::string>;

Bytes pattern(std::size_t n, std::uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 3);
  return b;
}

struct Walk {
  UINT physical = 0, count = 0, total = 0;
  std::vector<UINT> lengths;
  Bytes bytes;
};

Walk walk(NDIS_PACKET *packet) {
  Walk w;
  PNDIS_BUFFER buffer;
  NdisQueryPacket(packet, &w.physical, &w.count, &buffer, &w.total);
  while (buffer) {
    PVOID va;
    UINT n;
    NdisQueryBuffer(buffer, &va, &n);
    w.lengths.push_back(n);
    w.bytes.insert(w.bytes.end(), static_cast<std::uint8_t *>(va), static_cast<std::uint8_t *>(va) + n);
    NdisGetNextBuffer(buffer, &buffer);
  }
  return w;
}

TEST(Packets, FrameCutIntoBuffersReadsBackWhole) {
  Bytes frame = pattern(60, 5);
  struct Case {
    std::vector<std::size_t> cuts;
    std::vector<UINT> lengths;
  };
  const Case cases[] = {
      {{}, {60}},
      {{14}, {14, 46}},
      {{1, 13, 13, 59}, {1, 12, 0, 46, 1}},
      {{0}, {0, 60}},
  };
  for (const auto &c : cases) {
    auto packet = Packet::fromFrame(frame, c.cuts);
    Walk w = walk(packet->ndis());
    EXPECT_EQ(w.lengths, c.lengths);
    EXPECT_EQ(w.count, c.lengths.size());
    EXPECT_EQ(w.physical, c.lengths.size());
    EXPECT_EQ(w.total, 60u);
    EXPECT_EQ(w.bytes, frame);
    EXPECT_EQ(packet->contents(), frame);
  }
  EXPECT_THROW(Packet::fromFrame(frame, {20, 10}), std::invalid_argument);
  EXPECT_THROW(Packet::fromFrame(frame, {61}), std::invalid_argument);
}

TEST(Packets, PoolsGiveOutUpToTheirSizeAndChainsRecount) {
  NDIS_STATUS status;
  NDIS_HANDLE packets, buffers;
  NdisAllocatePacketPool(&status, &packets, 2, 16);
  ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
  NdisAllocateBufferPool(&status, &buffers, 3);
  ASSERT_EQ(status, NDIS_STATUS_SUCCESS);

  PNDIS_PACKET p1, p2, p3;
  NdisAllocatePacket(&status, &p1, packets);
  NdisAllocatePacket(&status, &p2, packets);
  EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
  NdisAllocatePacket(&status, &p3, packets);
  EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
  EXPECT_EQ(p3, nullptr);

  Bytes a = pattern(10, 1), b = pattern(20, 50), c = pattern(5, 90);
  PNDIS_BUFFER ba, bb, bc, spare;
  NdisAllocateBuffer(&status, &ba, buffers, a.data(), 10);
  NdisAllocateBuffer(&status, &bb, buffers, b.data(), 20);
  NdisAllocateBuffer(&status, &bc, buffers, c.data(), 5);
  NdisAllocateBuffer(&status, &spare, buffers, c.data(), 5);
  EXPECT_EQ(status, NDIS_STATUS_RESOURCES);

  EXPECT_EQ(walk(p1).total, 0u);
  NdisChainBufferAtBack(p1, bb);
  NdisChainBufferAtBack(p1, bc);
  NdisChainBufferAtFront(p1, ba);
  Walk w = walk(p1);
  EXPECT_EQ(w.lengths, (std::vector<UINT>{10, 20, 5}));
  EXPECT_EQ(w.total, 35u);
  Bytes whole = a;
  whole.insert(whole.end(), b.begin(), b.end());
  whole.insert(whole.end(), c.begin(), c.end());
  EXPECT_EQ(w.bytes, whole);

  PNDIS_BUFFER first;
  NdisUnchainBufferAtFront(p1, &first);
  EXPECT_EQ(first, ba);
  EXPECT_EQ(walk(p1).lengths, (std::vector<UINT>{20, 5}));
  NdisUnchainBufferAtFront(p1, &first);
  NdisUnchainBufferAtFront(p1, &first);
  EXPECT_EQ(first, bc);
  NdisUnchainBufferAtFront(p1, &first);
  EXPECT_EQ(first, nullptr);
  EXPECT_EQ(walk(p1).count, 0u);
  NdisChainBufferAtBack(p1, bc);  // the tail was reset with the last unchain
  EXPECT_EQ(walk(p1).lengths, (std::vector<UINT>{5}));

  EXPECT_DEATH(NdisFreePacketPool(packets), "2 packets still allocated");
  for (auto buffer : {ba, bb, bc}) NdisFreeBuffer(buffer);
  NdisFreePacket(p1);
  NdisFreePacket(p2);
  EXPECT_DEATH(NdisFreePacket(p2), "which no packet pool gave out");
  NdisFreePacketPool(packets);
  NdisFreeBufferPool(buffers);
}

class Protocol : public NdisTest {
 protected:
  void SetUp() override {
    adapter_ = &start();
    binding_ = adapter_->bind({
        .sendComplete = [this](NDIS_PACKET *p, NDIS_STATUS s) { completions_.emplace_back(p, s); },
        .receive =
            [this](Adapter &a, const ReceiveIndication &ind) {
              EXPECT_EQ(&a, adapter_);
              headers_.emplace_back(ind.header.begin(), ind.header.end());
              lookaheads_.emplace_back(ind.lookahead.begin(), ind.lookahead.end());
              sizes_.push_back(ind.packetSize);
              trace.push_back("receive");
              if (duringReceive_) duringReceive_(a, ind);
            },
        .receiveComplete = [this](Adapter &a) {
          trace.push_back("receiveComplete");
          if (duringReceiveComplete_) duringReceiveComplete_(a);
        },
    });
    trace.clear();
  }

  Adapter *adapter_ = nullptr;
  int binding_ = 0;
  std::vector<std::pair<NDIS_PACKET *, NDIS_STATUS>> completions_;
  std::vector<Bytes> headers_, lookaheads_;
  std::vector<UINT> sizes_;
  std::function<void(Adapter &, const ReceiveIndication &)> duringReceive_;
  std::function<void(Adapter &)> duringReceiveComplete_;
};

TEST_F(Protocol, SendStatusCompletesAtOnce) {
  const NDIS_STATUS statuses[] = {NDIS_STATUS_SUCCESS, NDIS_STATUS_FAILURE, NDIS_STATUS_RESOURCES};
  std::vector<std::unique_ptr<Packet>> packets;
  for (auto status : statuses) {
    script.sendStatus = status;
    packets.push_back(Packet::fromFrame(pattern(60, 1)));
    adapter_->send(binding_, packets.back()->ndis());
    loop_.runUntilIdle();
    ASSERT_EQ(completions_.size(), packets.size());
    EXPECT_EQ(completions_.back(), std::make_pair(packets.back()->ndis(), status));
  }
  EXPECT_EQ(adapter_->sendsOutstanding(), 0u);
}

TEST_F(Protocol, PendingSendsCompleteLaterInOrder) {
  std::vector<std::unique_ptr<Packet>> packets;
  for (int i = 0; i < 3; ++i) {
    packets.push_back(Packet::fromFrame(pattern(60, static_cast<std::uint8_t>(i))));
    adapter_->send(binding_, packets.back()->ndis());
  }
  loop_.runUntilIdle();
  EXPECT_EQ(trace, (Trace{"Send", "Send", "Send"}));
  EXPECT_TRUE(completions_.empty());
  EXPECT_EQ(adapter_->sendsOutstanding(), 3u);
  // The same packet may not be given again while the miniport holds it.
  EXPECT_THROW(adapter_->send(binding_, packets[0]->ndis()), std::logic_error);

  card_.raise(kEvSendDone);
  loop_.runUntilIdle();
  card_.raise(kEvSendDone);
  loop_.runUntilIdle();
  ASSERT_EQ(completions_.size(), 2u);
  EXPECT_EQ(completions_[0].first, packets[0]->ndis());
  EXPECT_EQ(completions_[1].first, packets[1]->ndis());
  EXPECT_EQ(adapter_->sendsOutstanding(), 1u);

  // A completed packet can be sent again.
  adapter_->send(binding_, packets[0]->ndis());
  loop_.runUntilIdle();
  EXPECT_EQ(adapter_->sendsOutstanding(), 2u);
}

TEST_F(Protocol, CompletionGoesToTheBindingThatSent) {
  std::vector<NDIS_PACKET *> other;
  int second = adapter_->bind({.sendComplete = [&](NDIS_PACKET *p, NDIS_STATUS) { other.push_back(p); }});
  auto mine = Packet::fromFrame(pattern(60, 1)), theirs = Packet::fromFrame(pattern(60, 2));
  script.sendStatus = NDIS_STATUS_SUCCESS;
  adapter_->send(second, theirs->ndis());
  adapter_->send(binding_, mine->ndis());
  loop_.runUntilIdle();
  EXPECT_EQ(other, (std::vector<NDIS_PACKET *>{theirs->ndis()}));
  ASSERT_EQ(completions_.size(), 1u);
  EXPECT_EQ(completions_[0].first, mine->ndis());
  EXPECT_THROW(adapter_->send(99, mine->ndis()), std::logic_error);
}

TEST_F(Protocol, ReceiveIsIndicatedWithHeaderLookaheadAndSize) {
  Bytes frame = pattern(14 + 40, 9);
  card_.frame = frame;
  card_.raise(kEvReceive);
  loop_.runUntilIdle();
  EXPECT_EQ(trace, (Trace{"Disable", "Handle", "receive", "receiveComplete", "Enable"}));
  ASSERT_EQ(headers_.size(), 1u);
  EXPECT_EQ(headers_[0], Bytes(frame.begin(), frame.begin() + 14));
  EXPECT_EQ(lookaheads_[0], Bytes(frame.begin() + 14, frame.begin() + 22));
  EXPECT_EQ(sizes_[0], 40u);
  EXPECT_TRUE(host_.findings().empty());
}

TEST_F(Protocol, TransferDataDuringTheIndication) {
  Bytes frame = pattern(14 + 40, 9);
  card_.frame = frame;
  auto target = Packet::withBuffers({5, 7, 100});
  teskel::ndis::TransferResult result;
  duringReceive_ = [&](Adapter &a, const ReceiveIndication &ind) {
    EXPECT_STREQ(a.activeEntryPoint(), "MiniportHandleInterrupt");
    result = a.transferData(target->ndis(), ind.lookahead.size(), ind.packetSize - ind.lookahead.size());
    EXPECT_STREQ(a.activeEntryPoint(), "MiniportHandleInterrupt");
  };
  card_.raise(kEvReceive);
  loop_.runUntilIdle();
  EXPECT_EQ(trace, (Trace{"Disable", "Handle", "receive", "TransferData", "receiveComplete", "Enable"}));
  EXPECT_EQ(result.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(result.bytesTransferred, 32u);
  Bytes got = target->contents();
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 32), Bytes(frame.begin() + 22, frame.end()));
}

TEST_F(Protocol, TransferDataAfterTheIndication) {
  Bytes frame = pattern(14 + 40, 9);
  card_.frame = frame;
  card_.raise(kEvReceive);
  loop_.runUntilIdle();
  trace.clear();

  auto now = Packet::withBuffers({40});
  auto result = adapter_->transferData(now->ndis(), 0, 40);
  EXPECT_EQ(result.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(now->contents(), Bytes(frame.begin() + 14, frame.end()));

  auto later = Packet::withBuffers({3, 3});
  std::optional<teskel::ndis::TransferResult> posted;
  adapter_->postTransferData(later->ndis(), 10, 6, [&](teskel::ndis::TransferResult r) { posted = r; });
  EXPECT_FALSE(posted);
  loop_.runUntilIdle();
  ASSERT_TRUE(posted);
  EXPECT_EQ(posted->status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(posted->bytesTransferred, 6u);
  EXPECT_EQ(later->contents(), Bytes(frame.begin() + 24, frame.begin() + 30));
  EXPECT_EQ(trace, (Trace{"TransferData", "TransferData"}));
}

TEST_F(Protocol, TransferDataOutsideTheIndicationButInsideAnEntryPointAborts) {
  card_.frame = pattern(14 + 40, 9);
  auto target = Packet::withBuffers({40});
  duringReceiveComplete_ = [&](Adapter &a) { a.transferData(target->ndis(), 0, 40); };
  card_.raise(kEvReceive);
  EXPECT_DEATH(loop_.runUntilIdle(), "MiniportTransferData entered while MiniportHandleInterrupt is running");
}

TEST_F(Protocol, IndicationOutsideTheAdaptersEntryPointsIsReported) {
  teskel::ndis::ScopedHost scoped(host_);
  std::uint8_t header[14] = {}, look[4] = {};
  auto *block = static_cast<PNDIS_MINIPORT_BLOCK>(adapter_->handle());
  EthFilterDprIndicateReceive(block->EthDB, nullptr, nullptr, header, 14, look, 4, 2);
  ASSERT_EQ(host_.findings().size(), 2u);
  EXPECT_EQ(host_.findings()[0], "TestCard1: receive indicated outside the adapter's entry points");
  EXPECT_EQ(host_.findings()[1], "TestCard1: receive indicated with 4 lookahead bytes of a 2-byte packet");
  EXPECT_EQ(sizes_, (std::vector<UINT>{2}));
  static ETH_FILTER *bogus = reinterpret_cast<ETH_FILTER *>(header);
  EXPECT_DEATH(EthFilterDprIndicateReceive(bogus, nullptr, nullptr, header, 14, look, 4, 4),
               "not the filter of an adapter");
}

TEST_F(Protocol, UnboundProtocolHearsNothingMore) {
  adapter_->unbind(binding_);
  card_.frame = pattern(30, 1);
  card_.raise(kEvReceive);
  loop_.runUntilIdle();
  EXPECT_TRUE(headers_.empty());
}

}  // namespace
}  // namespace ndistest
