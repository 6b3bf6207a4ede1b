// The benchmarks' program: runs them through Google Benchmark and, with --table, prints only the
// one table of figures and goals that scripts/bench shows.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench_handheld.h"

namespace {

using Run = benchmark::BenchmarkReporter::Run;

// Keeps every run for the table; prints them too unless only the table is wanted.
class Collector : public benchmark::ConsoleReporter {
 public:
  explicit Collector(bool quiet) : quiet_(quiet) {}
  bool ReportContext(const Context &context) override { return quiet_ || ConsoleReporter::ReportContext(context); }
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const auto &run : runs) {
      std::string name = run.run_name.function_name;
      if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
      results[name] = run;
    }
    if (!quiet_) ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, Run> results;

 private:
  bool quiet_;
};

double cpuNs(const Run &run) {
  return run.iterations ? run.cpu_accumulated_time * 1e9 / static_cast<double>(run.iterations) : 0;
}

double counter(const Run &run, const char *name) {
  auto it = run.counters.find(name);
  return it == run.counters.end() ? 0 : it->second.value;
}

std::string format(const char *fmt, double a, double b = 0, double c = 0) {
  char text[96];
  std::snprintf(text, sizeof text, fmt, a, b, c);
  return text;
}

struct Row {
  std::string measurement, figure, goal;
  std::optional<bool> met;  // nothing: a figure without a goal
};

int printTable(const std::map<std::string, Run> &r) {
  using teskel::bench::bytesToCross;
  auto find = [&](const std::string &name) -> const Run * {
    auto it = r.find(name);
    return it == r.end() || it->second.error_occurred ? nullptr : &it->second;
  };
  std::vector<Row> rows;
  std::vector<std::string> failed;
  for (bool transmit : {true, false}) {
    for (std::size_t size : {std::size_t{60}, std::size_t{1514}}) {
      std::string name = std::string(transmit ? "BM_Transmit/" : "BM_Receive/") + std::to_string(size);
      auto *run = find(name);
      auto *copy = find("BM_Memcpy/" + std::to_string(bytesToCross(size, transmit)));
      if (!run || !copy) {
        failed.push_back(name);
        continue;
      }
      std::string way = std::string(transmit ? "send " : "receive ") + std::to_string(size) + " B: ";
      double cpu = cpuNs(*run), accesses = counter(*run, "accesses"), words = counter(*run, "words");
      double ratio = words ? accesses / words : 0;
      rows.push_back({way + "frames per second", format("%.0f", cpu ? 1e9 / cpu : 0), "", std::nullopt});
      rows.push_back({way + "port accesses / words to cross", format("%.1f / %.0f = %.3f", accesses, words, ratio),
                      "<= 1.050", ratio <= 1.05});
      rows.push_back({way + "CPU ns per frame (x memcpy)",
                      format("%.0f (%.0fx)", cpu, cpuNs(*copy) ? cpu / cpuNs(*copy) : 0), "", std::nullopt});
    }
  }
  for (int stations : {1, 5, 10}) {
    const std::string name = "BM_UdpGoodput/" + std::to_string(stations);
    auto *udp = find(name);
    if (!udp) {
      failed.push_back(name);
      continue;
    }
    double goodput = counter(*udp, "goodput_mbit"), limit = counter(*udp, "limit_mbit");
    double share = limit ? 100.0 * goodput / limit : 0;
    rows.push_back({stations == 1 ? "UDP goodput, 1 station / the air's limit, Mbit/s"
                                  : "UDP goodput, " + std::to_string(stations) + " stations / DCF saturation, Mbit/s",
                    format("%.3f / %.3f = %.1f%%", goodput, limit, share), "95-105%", share >= 95 && share <= 105});
  }
  if (auto *tick = find("BM_StatusTick")) {
    double mean = counter(*tick, "mean_us");
    rows.push_back({"status tick: mean (longest) us",
                    format("%.1f (%.0f)", mean, counter(*tick, "longest_us")), "mean < 500", mean < 500});
  } else {
    failed.push_back("BM_StatusTick");
  }
  if (auto *reg = find("BM_RegistryContended")) {
    double p99 = counter(*reg, "write_p99_us");
    rows.push_back({"registry read, 2nd process busy: p50 / p99 us",
                    format("%.1f / %.1f", counter(*reg, "read_p50_us"), counter(*reg, "read_p99_us")), "",
                    std::nullopt});
    rows.push_back({"registry write, 2nd process busy: p50 / p99 us",
                    format("%.1f / %.1f", counter(*reg, "write_p50_us"), p99), "p99 < 2000", p99 < 2000});
  } else {
    failed.push_back("BM_RegistryContended");
  }
  for (int udp : {0, 1}) {
    std::string name = "BM_SimulatedTime/" + std::to_string(udp);
    auto *run = find(name);
    if (!run) {
      failed.push_back(name);
      continue;
    }
    double speed = counter(*run, "speed"), goal = udp ? 100 : 1000;
    rows.push_back({udp ? "run --virtual, UDP full speed: x real time" : "run --virtual, ping 10/s: x real time",
                    format("%.0f (%.0f s in %.2f s)", speed, counter(*run, "simulated_s"), counter(*run, "wall_s")),
                    format(">= %.0f", goal), speed >= goal});
  }

  std::printf("%-48s %-26s %-11s %s\n", "measurement", "figure", "goal", "met");
  int goals = 0, met = 0;
  for (const auto &row : rows) {
    std::printf("%-48s %-26s %-11s %s\n", row.measurement.c_str(), row.figure.c_str(), row.goal.c_str(),
                row.met ? (*row.met ? "yes" : "NO") : "");
    if (row.met) {
      ++goals;
      met += *row.met ? 1 : 0;
    }
  }
  std::printf("\n%d of %d goals met\n", met, goals);
  for (const auto &name : failed) std::fprintf(stderr, "handheld_bench: %s failed or did not run\n", name.c_str());
  return failed.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  bool table = false;
  std::vector<char *> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--table") == 0) table = true;
    else args.push_back(argv[i]);
    if (std::strcmp(argv[i], "--help") == 0) {
      std::cout << "Usage: handheld_bench [--table] [Google Benchmark options]\n"
                   "  --table  print only the table of figures and goals (scripts/bench), not each run\n\n";
    }
  }
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 2;
  Collector collector(table);
  try {
    benchmark::RunSpecifiedBenchmarks(&collector);
  } catch (const std::exception &e) {
    std::cerr << "handheld_bench: " << e.what() << "\n";
    return 1;
  }
  benchmark::Shutdown();
  if (!table) return 0;
  return printTable(collector.results);
}
