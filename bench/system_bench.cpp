// The handheld beyond the frame path: what one status tick costs the driver, how long a registry
// read or write takes while another process hammers the same store, and how much faster than
// real time `handheld run --virtual` simulates with ping traffic and with UDP at full speed.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench_handheld.h"

extern char **environ;

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

std::string programFolder() {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : self.parent_path().string();
}

// `handheld run --virtual` as a person would start it, for a stretch of simulated time: simulated
// seconds per second of wall time, boot and card removal included.
void BM_SimulatedTime(benchmark::State &state) {
  const bool udp = state.range(0) != 0;
  const int seconds = udp ? 120 : 600;
  for (auto _ : state) {
    TempRoot root;
    const std::string program = programFolder() + "/handheld";
    const std::string log = (root.path() / "run.log").string();
    std::vector<std::string> args = {program, "--root", root.path().string(), "run", "--virtual", "--duration",
                                     std::to_string(seconds), "--traffic", udp ? "udp" : "ping"};
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    auto start = Clock::now();
    pid_t pid = 0;
    int rc = posix_spawn(&pid, program.c_str(), &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    int status = 0;
    if (rc == 0) waitpid(pid, &status, 0);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    if (rc != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::ifstream in(log);
      std::string line, last = rc != 0 ? "cannot start " + program : "no output";
      while (std::getline(in, line))
        if (!line.empty()) last = line;
      state.SkipWithError(("handheld run failed: " + last).c_str());
      return;
    }
    state.counters["simulated_s"] = seconds;
    state.counters["wall_s"] = wall;
    state.counters["speed"] = wall > 0 ? seconds / wall : 0;
  }
}

BENCHMARK(BM_StatusTick)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RegistryContended)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SimulatedTime)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace teskel::bench
