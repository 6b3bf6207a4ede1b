// The benchmarks' program: runs them through Google Benchmark and, with --table, prints only the
// one table of figures and goals that scripts/bench shows.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench_handheld.h"
#include "modes.h"

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

// Rows of benchmarks that did not run are left out when only some were asked for (`filtered`).
int printTable(const std::map<std::string, Run> &r, bool filtered) {
  using teskel::bench::wordsToCross;
  auto find = [&](const std::string &name) -> const Run * {
    auto it = r.find(name);
    return it == r.end() || it->second.error_occurred ? nullptr : &it->second;
  };
  std::vector<Row> rows;
  std::vector<std::string> failed;
  auto missing = [&](const std::string &name) {
    auto it = r.find(name);
    if (it != r.end()) failed.push_back(name + ": " + it->second.error_message);
    else if (!filtered) failed.push_back(name + " did not run");
  };
  const Run *instructions = find("BM_DriverInstructions");
  if (!instructions) missing("BM_DriverInstructions");
  for (bool transmit : {true, false}) {
    const std::string way = transmit ? "send" : "receive";
    const double fixed = static_cast<double>(transmit ? teskel::bench::kSendFixed : teskel::bench::kReceiveFixed);
    const std::string accessesName = std::string("BM_PortAccesses/") + (transmit ? "1" : "0");
    const Run *accesses = find(accessesName);
    if (!accesses) missing(accessesName);
    for (std::size_t size : {std::size_t{60}, std::size_t{1514}}) {
      const std::string prefix = way + " " + std::to_string(size) + " B: ";
      const std::string timed = std::string(transmit ? "BM_Transmit/" : "BM_Receive/") + std::to_string(size);
      if (const Run *run = find(timed)) {
        const double cpu = cpuNs(*run);
        rows.push_back({prefix + "frames per second, whole handheld", format("%.0f", cpu ? 1e9 / cpu : 0), "", std::nullopt});
      } else {
        missing(timed);
      }
      const double words = static_cast<double>(wordsToCross(size, transmit));
      if (accesses) {
        const double most = counter(*accesses, size == 60 ? "most_60" : "most_1514");
        rows.push_back({prefix + "accesses / words + fixed sequence",
                        format("%.0f / %.0f + %.0f", most, words, fixed), format("<= %.0f", words + fixed),
                        most <= words + fixed});
        if (size == 1514)
          rows.push_back({prefix + "accesses / words to cross", format("%.0f / %.0f = %.3f", most, words, most / words),
                          "<= 1.050", most / words <= 1.05});
      }
      if (size == 1514 && instructions)
        rows.push_back({prefix + "driver instructions per frame",
                        format("%.0f (of %.0f in all)", counter(*instructions, (way + "_driver").c_str()),
                               counter(*instructions, (way + "_all").c_str())),
                        "", std::nullopt});
    }
    if (accesses) {
      const double least = counter(*accesses, "least_beyond"), most = counter(*accesses, "most_beyond");
      rows.push_back({way + ", every size 60-1514 B: accesses - words",
                      least == most ? format("%.0f", most) : format("%.0f to %.0f", least, most),
                      format("<= %.0f", fixed), most <= fixed});
    }
  }
  for (int stations : {1, 5, 10}) {
    const std::string name = "BM_UdpGoodput/" + std::to_string(stations);
    auto *udp = find(name);
    if (!udp) {
      missing(name);
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
    missing("BM_StatusTick");
  }
  if (auto *reg = find("BM_RegistryContended")) {
    double p99 = counter(*reg, "write_p99_us");
    rows.push_back({"registry read, 2nd process busy: p50 / p99 us",
                    format("%.1f / %.1f", counter(*reg, "read_p50_us"), counter(*reg, "read_p99_us")), "",
                    std::nullopt});
    rows.push_back({"registry write, 2nd process busy: p50 / p99 us",
                    format("%.1f / %.1f", counter(*reg, "write_p50_us"), p99), "p99 < 2000", p99 < 2000});
  } else {
    missing("BM_RegistryContended");
  }
  for (int udp : {0, 1}) {
    std::string name = "BM_SimulatedTime/" + std::to_string(udp);
    auto *run = find(name);
    if (!run) {
      missing(name);
      continue;
    }
    double speed = counter(*run, "speed"), goal = udp ? 1000 : 5000;
    rows.push_back({udp ? "run --virtual, UDP full speed: x real time" : "run --virtual, ping 10/s: x real time",
                    format("%.0f (%.0f s: %.2f s CPU, ", speed, counter(*run, "simulated_s"), counter(*run, "cpu_s")) +
                        format("%.2f s wall)", counter(*run, "wall_s")),
                    format(">= %.0f", goal), speed >= goal});
  }
  if (auto *crowd = find("BM_CrowdedChannel")) {
    const double one = counter(*crowd, "one_ms"), hundred = counter(*crowd, "hundred_ms");
    const double ratio = one ? hundred / one : 0;
    rows.push_back({"100 APs on one channel / 1: ping, CPU ms / sim. s",
                    format("%.3f / %.3f = %.2f", hundred, one, ratio), "<= 1.50", ratio <= 1.5});
  } else {
    missing("BM_CrowdedChannel");
  }

  constexpr const char *kFormat = "%-50s %-40s %-11s %s\n";
  std::printf(kFormat, "measurement", "figure", "goal", "met");
  int goals = 0, met = 0;
  for (const auto &row : rows) {
    std::printf(kFormat, row.measurement.c_str(), row.figure.c_str(), row.goal.c_str(),
                row.met ? (*row.met ? "yes" : "NO") : "");
    if (row.met) {
      ++goals;
      met += *row.met ? 1 : 0;
    }
  }
  std::printf("\n%d of %d goals met\n", met, goals);
  for (const auto &line : failed) std::fprintf(stderr, "handheld_bench: %s\n", line.c_str());
  return failed.empty() ? 0 : 1;
}

}  // namespace

// Reads the number after a mode's flag; false when there is none.
bool number(int argc, char **argv, int &i, std::size_t &value) {
  if (i + 1 >= argc) return false;
  char *end = nullptr;
  const unsigned long v = std::strtoul(argv[++i], &end, 10);
  if (!end || *end || v == 0) return false;
  value = v;
  return true;
}

int main(int argc, char **argv) {
  bool table = false, filtered = false;
  std::vector<char *> args;
  for (int i = 0; i < argc; ++i) {
    const bool callgrind = std::strcmp(argv[i], "--callgrind-frames") == 0, trace = std::strcmp(argv[i], "--trace") == 0;
    if (callgrind || trace) {
      std::size_t n = 0;
      if (!number(argc, argv, i, n)) {
        std::cerr << "handheld_bench: " << (callgrind ? "--callgrind-frames takes a number of frames" : "--trace takes a frame size in bytes") << "\n";
        return 2;
      }
      if (trace && (n < 60 || n > 1514)) {
        std::cerr << "handheld_bench: --trace takes an Ethernet frame size, 60 to 1514 bytes\n";
        return 2;
      }
      return callgrind ? teskel::bench::collectFramesUnderCallgrind(n) : teskel::bench::traceFrames(n);
    }
    if (std::strncmp(argv[i], "--benchmark_filter", 18) == 0) filtered = true;
    if (std::strcmp(argv[i], "--table") == 0) table = true;
    else args.push_back(argv[i]);
    if (std::strcmp(argv[i], "--help") == 0) {
      std::cout << "Usage: handheld_bench [--table] [Google Benchmark options]\n"
                   "       handheld_bench --trace SIZE\n"
                   "       valgrind --tool=callgrind --collect-atstart=no handheld_bench --callgrind-frames N\n"
                   "  --table               print only the table of figures and goals (scripts/bench), not each run\n"
                   "  --trace SIZE          print every port access of one send and one receive of a SIZE-byte\n"
                   "                        IPv4 frame (60 to 1514), by register, clear of the status tick\n"
                   "  --callgrind-frames N  send, then receive, N 1514-byte frames with callgrind's collection\n"
                   "                        on around each frame only, dumping after each direction (the\n"
                   "                        driver-instructions rows start it so)\n\n";
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
  return printTable(collector.results, filtered);
}
