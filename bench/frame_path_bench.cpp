// The driver's frame path measured through the built driver library on a simulated handheld:
// frames per second each way, port accesses per frame against the words that must cross the bus,
// CPU per frame against a memcpy of those bytes, and UDP goodput against the air's limit.
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>

#include "bench_handheld.h"

namespace teskel::bench {
namespace {

void setPortCounters(benchmark::State &state, teskel::ceddk::PortBus &bus, std::size_t frame, bool transmit) {
  double frames = static_cast<double>(state.iterations());
  double accesses = frames ? static_cast<double>(bus.totals().total()) / frames : 0;
  state.counters["accesses"] = accesses;
  state.counters["words"] = static_cast<double>(bytesToCross(frame, transmit) / 2);
  state.SetItemsProcessed(state.iterations());
}

void BM_Transmit(benchmark::State &state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  Handheld handheld;
  auto packet = teskel::ndis::Packet::fromFrame(ethernetFrame(handheld.bssid(), handheld.station(), size));
  handheld.sendOne(*packet);  // the first one off the clock
  handheld.bus().resetCounters();
  std::uint64_t failedBefore = handheld.failed();
  for (auto _ : state) handheld.sendOne(*packet);
  setPortCounters(state, handheld.bus(), size, true);
  if (handheld.failed() != failedBefore) state.SkipWithError("sends failed");
}

void BM_Receive(benchmark::State &state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  Handheld handheld;
  Bytes frame = handheld.fromAccessPoint(size);
  try {
    handheld.receiveOne(frame);
  } catch (const std::runtime_error &e) {
    state.SkipWithError(e.what());
    return;
  }
  handheld.bus().resetCounters();
  for (auto _ : state) handheld.receiveOne(frame);
  setPortCounters(state, handheld.bus(), size, false);
}

// The same run's memcpy of the bytes that must cross the bus, as a yardstick of CPU per frame.
void BM_Memcpy(benchmark::State &state) {
  const std::size_t bytes = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> from(bytes, 0x5A), to(bytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

// UDP datagrams of 1472 bytes (1514-byte frames) kept queued at the driver, beside Arg - 1
// contenders that do the same on Harbor's channel: the UDP payload Harbor passed on per second of
// handheld time, from all of them, against what the DCF's analysis gives that many stations.
void BM_UdpGoodput(benchmark::State &state) {
  constexpr std::size_t kFrame = 1514, kWindow = 8;
  constexpr teskel::Micros kWarmUp = 2000000, kMeasure = 20000000;
  const auto stations = static_cast<int>(state.range(0));
  double goodput = 0;
  for (auto _ : state) {
    Handheld handheld(static_cast<unsigned>(stations - 1));
    std::vector<std::unique_ptr<teskel::ndis::Packet>> packets;
    const MacAddress responder = handheld.world().config().accessPoints.front().responder.mac;
    for (std::size_t i = 0; i < kWindow; ++i)
      packets.push_back(teskel::ndis::Packet::fromFrame(udpFrame(responder, handheld.station(), kFrame - kEthernetHeader - kIpUdpHeaders)));
    auto &adapter = handheld.adapter();
    std::size_t next = 0;
    std::uint64_t sends = 0;
    auto topUp = [&] {
      while (adapter.sendsOutstanding() < kWindow && sends - handheld.completed() < kWindow) {
        adapter.send(handheld.binding(), packets[next]->ndis());
        next = (next + 1) % kWindow;
        ++sends;
      }
    };
    teskel::EventLoop &loop = handheld.loop();
    const teskel::Micros start = loop.now() + kWarmUp, end = start + kMeasure;
    std::uint64_t atStart = 0;
    bool started = false;
    topUp();
    while (loop.now() < end && loop.runOne()) {
      if (!started && loop.now() >= start) {
        atStart = handheld.world().counters().bridgedUdpBytes;
        started = true;
      }
      topUp();
    }
    goodput = static_cast<double>(handheld.world().counters().bridgedUdpBytes - atStart) * 8.0 / kMeasure;  // Mbit/s
    if (handheld.failed()) state.SkipWithError("sends failed");
  }
  state.counters["goodput_mbit"] = goodput;
  state.counters["limit_mbit"] = saturationThroughput(stations);
}

BENCHMARK(BM_Transmit)->Arg(60)->Arg(1514)->MinTime(0.5);
BENCHMARK(BM_Receive)->Arg(60)->Arg(1514)->MinTime(0.5);
BENCHMARK(BM_Memcpy)
    ->Arg(static_cast<int64_t>(bytesToCross(60, true)))
    ->Arg(static_cast<int64_t>(bytesToCross(1514, true)))
    ->Arg(static_cast<int64_t>(bytesToCross(60, false)))
    ->Arg(static_cast<int64_t>(bytesToCross(1514, false)));
BENCHMARK(BM_UdpGoodput)->Arg(1)->Arg(5)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace teskel::bench
