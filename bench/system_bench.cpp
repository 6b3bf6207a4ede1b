// The handheld beyond the frame path: what one status tick costs the driver, how long a registry
// read or write takes while another process hammers the same store, how much faster than real
// time `handheld run --virtual` simulates with ping traffic and with UDP at full speed, and what a
// crowded channel costs it.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_handheld.h"
#include "child_process.h"

namespace teskel::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kDword = 4;  // REG_DWORD

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// The driver's one-second timer on an idle joined card: mean and longest time in the timer
// function over two simulated minutes.
void BM_StatusTick(benchmark::State &state) {
  constexpr Micros kSpan = 120'000'000;
  auto tickTime = [](const ndis::Adapter &adapter) {
    for (const auto &t : adapter.entryPointTimes())
      if (t.entry == "timer function") return t;
    return ndis::Adapter::EntryPointTime{};
  };
  for (auto _ : state) {
    Handheld handheld;
    auto before = tickTime(handheld.adapter());
    handheld.loop().runFor(kSpan);
    auto after = tickTime(handheld.adapter());
    const double ticks = static_cast<double>(after.calls - before.calls);
    if (ticks < 100) {
      state.SkipWithError("the status timer did not run once a second");
      return;
    }
    state.counters["ticks"] = ticks;
    state.counters["mean_us"] = micros(after.total - before.total) / ticks;
    state.counters["longest_us"] = micros(after.longest);
  }
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// Reads and writes of the driver's key while a second process writes and reads it as fast as it
// can: what Pemblo and the status tick see when both run at once.
void BM_RegistryContended(benchmark::State &state) {
  constexpr int kOperations = 5000;
  const std::string key = "Comm\\Teskel1\\Parms";
  auto dword = [](std::uint32_t v) {
    return Bytes{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
                 static_cast<std::uint8_t>(v >> 24)};
  };
  for (auto _ : state) {
    TempRoot root;
    const auto file = root.path() / registry::kStoreFileName;
    registry::Store store(file);
    store.setValue(key, "bytein", kDword, dword(0));
    store.setValue(key, "byteout", kDword, dword(0));
    int ready[2];
    if (pipe(ready) != 0) {
      state.SkipWithError("pipe failed");
      return;
    }
    pid_t other = fork();
    if (other < 0) {
      state.SkipWithError("fork failed");
      return;
    }
    if (other == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      try {
        registry::Store mine(file);
        char go = 1;
        if (write(ready[1], &go, 1) != 1) _exit(1);
        for (std::uint32_t n = 0;; ++n) {
          mine.setValue(key, "byteout", kDword, dword(n));
          (void)mine.getValue(key, "bytein");
        }
      } catch (...) {
        _exit(1);
      }
    }
    close(ready[1]);
    char go = 0;
    const bool started = read(ready[0], &go, 1) == 1;
    close(ready[0]);
    std::vector<double> reads, writes;
    bool whole = started;
    for (int i = 0; started && i < kOperations; ++i) {
      auto t0 = Clock::now();
      store.setValue(key, "bytein", kDword, dword(static_cast<std::uint32_t>(i)));
      auto t1 = Clock::now();
      auto value = store.getValue(key, "byteout");
      auto t2 = Clock::now();
      writes.push_back(micros(t1 - t0));
      reads.push_back(micros(t2 - t1));
      if (!value || value->data.size() != 4) whole = false;
    }
    kill(other, SIGKILL);
    int status = 0;
    waitpid(other, &status, 0);
    if (!started || (WIFEXITED(status) && WEXITSTATUS(status) != 0)) {
      state.SkipWithError("the second process could not open the store");
      return;
    }
    if (!whole) {
      state.SkipWithError("a read came back without its whole value");
      return;
    }
    state.counters["read_p50_us"] = percentile(reads, 0.5);
    state.counters["read_p99_us"] = percentile(reads, 0.99);
    state.counters["write_p50_us"] = percentile(writes, 0.5);
    state.counters["write_p99_us"] = percentile(writes, 0.99);

  }
}

// `handheld run --virtual` as a person would start it, with `extra` options, for `seconds` of
// simulated time, boot and card removal included.
ChildRun runVirtual(int seconds, const std::vector<std::string> &extra) {
  TempRoot root;
  std::vector<std::string> args = {(programFolder() / "handheld").string(), "--root", root.path().string(), "run",
                                   "--virtual", "--duration", std::to_string(seconds)};
  args.insert(args.end(), extra.begin(), extra.end());
  return runChild(args, root.path() / "run.log");
}

// Simulated seconds per second of the run's processor time (the kernel's account of the child,
// user and system: steadier than wall time, which also holds the disk's syncs of the registry
// store and the wait for the processor the cores' other users take); its wall time beside it.
void BM_SimulatedTime(benchmark::State &state) {
  const bool udp = state.range(0) != 0;
  const int seconds = udp ? 600 : 3600;
  for (auto _ : state) {
    ChildRun run = runVirtual(seconds, {"--traffic", udp ? "udp" : "ping"});
    if (!run.ok()) {
      state.SkipWithError(("handheld run failed: " + run.lastLine).c_str());
      return;
    }
    state.counters["simulated_s"] = seconds;
    state.counters["cpu_s"] = run.cpuSeconds;
    state.counters["wall_s"] = run.wallSeconds;
    state.counters["speed"] = run.cpuSeconds > 0 ? seconds / run.cpuSeconds : 0;
  }
}

// A ping run with the card's access point alone on its channel, and the same run with 99 more
// access points of other networks on that channel, weaker so that the card joins Harbor in both,
// one after the other: processor time per simulated second of each.
void BM_CrowdedChannel(benchmark::State &state) {
  constexpr int kSeconds = 1200, kCrowd = 100;
  for (auto _ : state) {
    std::vector<std::string> one = {"--traffic", "ping", "--ap", "Harbor,channel=6"}, crowd = one;
    for (int i = 2; i <= kCrowd; ++i) {
      crowd.push_back("--ap");
      crowd.push_back("Cove" + std::to_string(i) + ",channel=6,signal=40");
    }
    ChildRun alone = runVirtual(kSeconds, one);
    ChildRun crowded = alone.ok() ? runVirtual(kSeconds, crowd) : alone;
    if (!alone.ok() || !crowded.ok()) {
      state.SkipWithError(("handheld run failed: " + (alone.ok() ? crowded : alone).lastLine).c_str());
      return;
    }
    state.counters["one_ms"] = alone.cpuSeconds * 1000 / kSeconds;
    state.counters["hundred_ms"] = crowded.cpuSeconds * 1000 / kSeconds;
  }
}

BENCHMARK(BM_StatusTick)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RegistryContended)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SimulatedTime)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CrowdedChannel)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace teskel::bench
