// Packets and buffers: the pools a protocol binding allocates from, chaining, the queries a
// miniport makes, and the host-side Packet that owns its chain and memory.
#include <map>
#include <mutex>
#include <set>

#include "host_internal.h"
#include "teskel/ndis_packet.h"

using namespace teskel::ndis;

namespace {

struct PacketPool {
  UINT capacity = 0;
  std::map<PNDIS_PACKET, std::unique_ptr<NDIS_PACKET>> allocated;
};

struct BufferPool {
  UINT capacity = 0;
  std::map<PNDIS_BUFFER, std::unique_ptr<NDIS_BUFFER>> allocated;
};

// Pools are not tied to a host: a binding may allocate before any adapter exists.
std::mutex g_mutex;
std::set<PacketPool *> g_packetPools;
std::set<BufferPool *> g_bufferPools;

PacketPool *packetPool(NDIS_HANDLE handle) {
  auto *pool = static_cast<PacketPool *>(handle);
  return g_packetPools.count(pool) ? pool : nullptr;
}

BufferPool *bufferPool(NDIS_HANDLE handle) {
  auto *pool = static_cast<BufferPool *>(handle);
  return g_bufferPools.count(pool) ? pool : nullptr;
}

void recount(NDIS_PACKET &packet) {
  UINT count = 0, total = 0;
  for (PNDIS_BUFFER b = packet.Private.Head; b; b = b->Next) {
    ++count;
    total += b->ByteCount;
  }
  packet.Private.Count = count;
  packet.Private.PhysicalCount = count;
  packet.Private.TotalLength = total;
  packet.Private.ValidCounts = TRUE;
}

}  // namespace

extern "C" {

VOID NdisAllocatePacketPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle, UINT NumberOfDescriptors,
                            UINT ProtocolReservedLength) {
  *PoolHandle = nullptr;
  if (NumberOfDescriptors == 0 || ProtocolReservedLength > sizeof(NDIS_PACKET::ProtocolReserved)) {
    *Status = NDIS_STATUS_RESOURCES;
    return;
  }
  auto *pool = new PacketPool;
  pool->capacity = NumberOfDescriptors;
  std::lock_guard lock(g_mutex);
  g_packetPools.insert(pool);
  *PoolHandle = pool;
  *Status = NDIS_STATUS_SUCCESS;
}

VOID NdisFreePacketPool(NDIS_HANDLE PoolHandle) {
  std::lock_guard lock(g_mutex);
  PacketPool *pool = packetPool(PoolHandle);
  if (!pool) verifierAbort(format("NdisFreePacketPool of %s, which is not a packet pool", hexPointer(PoolHandle).c_str()));
  if (!pool->allocated.empty()) {
    verifierAbort(format("NdisFreePacketPool with %zu packets still allocated from it", pool->allocated.size()));
  }
  g_packetPools.erase(pool);
  delete pool;
}

VOID NdisAllocatePacket(PNDIS_STATUS Status, PNDIS_PACKET *Packet, NDIS_HANDLE PoolHandle) {
  std::lock_guard lock(g_mutex);
  *Packet = nullptr;
  PacketPool *pool = packetPool(PoolHandle);
  if (!pool) verifierAbort(format("NdisAllocatePacket from %s, which is not a packet pool", hexPointer(PoolHandle).c_str()));
  if (pool->allocated.size() >= pool->capacity) {
    *Status = NDIS_STATUS_RESOURCES;
    return;
  }
  auto packet = std::make_unique<NDIS_PACKET>();
  packet->Private.Pool = pool;
  packet->Private.ValidCounts = TRUE;
  *Packet = packet.get();
  pool->allocated.emplace(packet.get(), std::move(packet));
  *Status = NDIS_STATUS_SUCCESS;
}

// A packet freed twice is gone: its pool is found by looking, never through the packet.
VOID NdisFreePacket(PNDIS_PACKET Packet) {
  std::lock_guard lock(g_mutex);
  for (auto *pool : g_packetPools) {
    if (pool->allocated.erase(Packet)) return;
  }
  verifierAbort(format("NdisFreePacket of %s, which no packet pool gave out", hexPointer(Packet).c_str()));
}

VOID NdisAllocateBufferPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle, UINT NumberOfDescriptors) {
  *PoolHandle = nullptr;
  if (NumberOfDescriptors == 0) {
    *Status = NDIS_STATUS_RESOURCES;
    return;
  }
  auto *pool = new BufferPool;
  pool->capacity = NumberOfDescriptors;
  std::lock_guard lock(g_mutex);
  g_bufferPools.insert(pool);
  *PoolHandle = pool;
  *Status = NDIS_STATUS_SUCCESS;
}

VOID NdisFreeBufferPool(NDIS_HANDLE PoolHandle) {
  std::lock_guard lock(g_mutex);
  BufferPool *pool = bufferPool(PoolHandle);
  if (!pool) verifierAbort(format("NdisFreeBufferPool of %s, which is not a buffer pool", hexPointer(PoolHandle).c_str()));
  if (!pool->allocated.empty()) {
    verifierAbort(format("NdisFreeBufferPool with %zu buffers still allocated from it", pool->allocated.size()));
  }
  g_bufferPools.erase(pool);
  delete pool;
}

VOID NdisAllocateBuffer(PNDIS_STATUS Status, PNDIS_BUFFER *Buffer, NDIS_HANDLE PoolHandle, PVOID VirtualAddress,
                        UINT Length) {
  std::lock_guard lock(g_mutex);
  *Buffer = nullptr;
  BufferPool *pool = bufferPool(PoolHandle);
  if (!pool) verifierAbort(format("NdisAllocateBuffer from %s, which is not a buffer pool", hexPointer(PoolHandle).c_str()));
  if (pool->allocated.size() >= pool->capacity) {
    *Status = NDIS_STATUS_RESOURCES;
    return;
  }
  auto buffer = std::make_unique<NDIS_BUFFER>();
  buffer->VirtualAddress = VirtualAddress;
  buffer->ByteCount = Length;
  buffer->Pool = pool;
  *Buffer = buffer.get();
  pool->allocated.emplace(buffer.get(), std::move(buffer));
  *Status = NDIS_STATUS_SUCCESS;
}

VOID NdisFreeBuffer(PNDIS_BUFFER Buffer) {
  std::lock_guard lock(g_mutex);
  for (auto *pool : g_bufferPools) {
    if (pool->allocated.erase(Buffer)) return;
  }
  verifierAbort(format("NdisFreeBuffer of %s, which no buffer pool gave out", hexPointer(Buffer).c_str()));
}

VOID NdisChainBufferAtBack(PNDIS_PACKET Packet, PNDIS_BUFFER Buffer) {
  PNDIS_BUFFER last = Buffer;
  while (last->Next) last = last->Next;
  if (Packet->Private.Head) {
    Packet->Private.Tail->Next = Buffer;
  } else {
    Packet->Private.Head = Buffer;
  }
  Packet->Private.Tail = last;
  Packet->Private.ValidCounts = FALSE;
}

VOID NdisChainBufferAtFront(PNDIS_PACKET Packet, PNDIS_BUFFER Buffer) {
  PNDIS_BUFFER last = Buffer;
  while (last->Next) last = last->Next;
  last->Next = Packet->Private.Head;
  if (!Packet->Private.Head) Packet->Private.Tail = last;
  Packet->Private.Head = Buffer;
  Packet->Private.ValidCounts = FALSE;
}

VOID NdisUnchainBufferAtFront(PNDIS_PACKET Packet, PNDIS_BUFFER *Buffer) {
  PNDIS_BUFFER first = Packet->Private.Head;
  *Buffer = first;
  if (!first) return;
  Packet->Private.Head = first->Next;
  if (!Packet->Private.Head) Packet->Private.Tail = nullptr;
  first->Next = nullptr;
  Packet->Private.ValidCounts = FALSE;
}

VOID NdisQueryPacket(PNDIS_PACKET Packet, PUINT PhysicalBufferCount, PUINT BufferCount, PNDIS_BUFFER *FirstBuffer,
                     PUINT TotalPacketLength) {
  if (!Packet->Private.ValidCounts) recount(*Packet);
  if (PhysicalBufferCount) *PhysicalBufferCount = Packet->Private.PhysicalCount;
  if (BufferCount) *BufferCount = Packet->Private.Count;
  if (FirstBuffer) *FirstBuffer = Packet->Private.Head;
  if (TotalPacketLength) *TotalPacketLength = Packet->Private.TotalLength;
}

VOID NdisQueryBuffer(PNDIS_BUFFER Buffer, PVOID *VirtualAddress, PUINT Length) {
  if (VirtualAddress) *VirtualAddress = Buffer->VirtualAddress;
  if (Length) *Length = Buffer->ByteCount;
}

VOID NdisGetNextBuffer(PNDIS_BUFFER CurrentBuffer, PNDIS_BUFFER *NextBuffer) { *NextBuffer = CurrentBuffer->Next; }

}  // extern "C"

namespace teskel::ndis {

Packet::Packet(const std::vector<std::vector<std::uint8_t>> &fragments) : memory_(fragments) {
  for (auto &m : memory_) {
    auto buffer = std::make_unique<NDIS_BUFFER>();
    buffer->VirtualAddress = m.data();
    buffer->ByteCount = static_cast<UINT>(m.size());
    NdisChainBufferAtBack(&packet_, buffer.get());
    buffers_.push_back(std::move(buffer));
  }
  recount(packet_);
}

std::unique_ptr<Packet> Packet::fromFrame(std::span<const std::uint8_t> frame, std::vector<std::size_t> cuts) {
  std::vector<std::vector<std::uint8_t>> fragments;
  std::size_t from = 0;
  cuts.push_back(frame.size());
  for (std::size_t cut : cuts) {
    if (cut < from || cut > frame.size()) throw std::invalid_argument("Packet::fromFrame: cuts out of order or range");
    fragments.emplace_back(frame.begin() + static_cast<std::ptrdiff_t>(from),
                           frame.begin() + static_cast<std::ptrdiff_t>(cut));
    from = cut;
  }
  return std::make_unique<Packet>(fragments);
}

std::unique_ptr<Packet> Packet::withBuffers(const std::vector<std::size_t> &sizes) {
  std::vector<std::vector<std::uint8_t>> fragments;
  for (auto n : sizes) fragments.emplace_back(n, 0);
  return std::make_unique<Packet>(fragments);
}

std::vector<std::uint8_t> Packet::contents() const {
  std::vector<std::uint8_t> out;
  for (PNDIS_BUFFER b = packet_.Private.Head; b; b = b->Next) {
    auto *p = static_cast<const std::uint8_t *>(b->VirtualAddress);
    out.insert(out.end(), p, p + b->ByteCount);
  }
  return out;
}

}  // namespace teskel::ndis
