// The driver's frame path measured through the built driver library on a simulated handheld:
// frames per second each way, the port accesses of single frames against the words that must
// cross the bus, and UDP goodput against the DCF's analysis.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <limits>
#include <map>

#include "bench_handheld.h"

namespace teskel::bench {
namespace {

// Frames one after another, status ticks and all: how many the whole handheld moves per second.
void BM_Transmit(benchmark::State &state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  Handheld handheld;
  auto packet = teskel::ndis::Packet::fromFrame(ethernetFrame(handheld.bssid(), handheld.station(), size));
  handheld.sendOne(*packet);  // the first one off the clock
  std::uint64_t failedBefore = handheld.failed();
  for (auto _ : state) handheld.sendOne(*packet);
  state.SetItemsProcessed(state.iterations());
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
  for (auto _ : state) handheld.receiveOne(frame);
  state.SetItemsProcessed(state.iterations());
}

// The port accesses of single frames, each clear of the status tick (Arg 1 sending, 0
// receiving): 100 frames of 60 and 100 of 1514 bytes, the most any of them took; then one frame of
// every size from 60 to 1514 bytes, the least and the most accesses beyond the words that must
// cross.
void BM_PortAccesses(benchmark::State &state) {
  constexpr int kRepeats = 100;
  const bool transmit = state.range(0) != 0;
  for (auto _ : state) {
    Handheld handheld;
    std::uint64_t disturbed = 0;
    // One frame's accesses, or none when the status tick ran during it after all.
    auto accessesOf = [&](std::size_t size) -> std::uint64_t {
      auto packet = teskel::ndis::Packet::fromFrame(ethernetFrame(handheld.bssid(), handheld.station(), size));
      const Bytes frame = handheld.fromAccessPoint(size);
      handheld.clearOfStatusTick(kLongestFrame);
      const auto others = handheld.others();
      const std::uint64_t before = handheld.bus().totals().total();
      if (transmit) handheld.sendOne(*packet);
      else handheld.receiveOne(frame);
      if (handheld.others() != others) ++disturbed;
      return handheld.bus().totals().total() - before;
    };
    try {
      accessesOf(60);  // the first one off the count
      std::map<std::size_t, std::uint64_t> most;
      for (std::size_t size : {std::size_t{60}, std::size_t{1514}})
        for (int i = 0; i < kRepeats; ++i) most[size] = std::max(most[size], accessesOf(size));
      double least = std::numeric_limits<double>::max(), mostBeyond = std::numeric_limits<double>::lowest();
      for (std::size_t size = 60; size <= 1514; ++size) {
        const double beyond = static_cast<double>(accessesOf(size)) - static_cast<double>(wordsToCross(size, transmit));
        least = std::min(least, beyond);
        mostBeyond = std::max(mostBeyond, beyond);
      }
      if (disturbed) {
        state.SkipWithError("the status tick ran during a frame that was to be clear of it");
        return;
      }
      if (handheld.failed()) {
        state.SkipWithError("sends failed");
        return;
      }
      state.counters["most_60"] = static_cast<double>(most[60]);
      state.counters["most_1514"] = static_cast<double>(most[1514]);
      state.counters["least_beyond"] = least;
      state.counters["most_beyond"] = mostBeyond;
    } catch (const std::runtime_error &e) {
      state.SkipWithError(e.what());
      return;
    }
  }
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
BENCHMARK(BM_PortAccesses)->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UdpGoodput)->Arg(1)->Arg(5)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace teskel::bench
