// The driver's frame path measured through the built driver library on a simulated handheld:
// frames per second each way, port accesses per frame against the words that must cross the bus,
// CPU per frame against a memcpy of those bytes, and UDP goodput against the air's limit.
// Run with --table for the one table that scripts/bench prints.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "teskel/air.h"
#include "teskel/controller.h"
#include "teskel/event_loop.h"
#include "teskel/ndis_host.h"
#include "teskel/ndis_packet.h"
#include "teskel/pccard.h"
#include "teskel/port_bus.h"
#include "teskel/registry_store.h"
#include "teskel/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using teskel::sim::MacAddress;

// What must cross the bus for one frame of an Ethernet size: the 60-byte descriptor, the frame,
// its 8-byte SNAP encapsulation and, on the way out, the 8-byte tag trailer.
constexpr std::size_t kDescriptor = 60, kEncapsulation = 8, kTrailer = 8;
std::size_t bytesToCross(std::size_t frame, bool transmit) {
  return kDescriptor + frame + kEncapsulation + (transmit ? kTrailer : 0);
}
// The radio: 2 Mbit/s, plus 400 us of preamble and spacing; the FCS goes on the air too.
double airtimeUs(std::size_t macBytes) { return static_cast<double>(macBytes + 4) * 4.0 + 400.0; }
constexpr std::size_t kIpUdpHeaders = 28, kEthernetHeader = 14;

// A root folder of its own for every run.
struct TempRoot : teskel::test::TempDir {
  TempRoot() : TempDir("teskel-bench") {}
};

// An Ethernet II frame of `size` bytes carrying IPv4 (so it goes out with SNAP).
Bytes ethernetFrame(const MacAddress &to, const MacAddress &from, std::size_t size) {
  Bytes f(size, 0);
  std::copy(to.begin(), to.end(), f.begin());
  std::copy(from.begin(), from.end(), f.begin() + 6);
  f[12] = 0x08;
  f[13] = 0x00;
  for (std::size_t i = kEthernetHeader; i < size; ++i) f[i] = static_cast<std::uint8_t>(i * 13);
  return f;
}

// One simulated handheld with the card up and joined to Harbor, on the virtual clock.
class Handheld {
 public:
  Handheld() {
    teskel::registry::setCurrentStore(&store_);
    teskel::pccard::Card card;
    card.controller.medium = &world_->medium();
    auto report = socket_.insert(card);
    if (!report.ok())
      throw std::runtime_error("the card did not come up: " + (report.errors.empty() ? "adapter failed" : report.errors[0]));
    adapter_ = socket_.adapter("Teskel1");
    card_ = socket_.controller("Teskel1");
    card_->onTransmit([this](const teskel::sim::TransmittedFrame &f) {
      ++onAir_;
      lastAirBytes_ = f.frame.size();
      lastAirEnd_ = f.end;
    });
    teskel::ndis::Binding b;
    b.sendComplete = [this](NDIS_PACKET *, NDIS_STATUS status) {
      ++completed_;
      if (status != NDIS_STATUS_SUCCESS) ++failed_;
    };
    b.receive = [this](teskel::ndis::Adapter &a, const teskel::ndis::ReceiveIndication &indication) {
      // As a stack does: the rest of the frame past the lookahead comes by transfer-data.
      ++indicated_;
      if (indication.lookahead.size() < indication.packetSize) {
        UINT rest = indication.packetSize - static_cast<UINT>(indication.lookahead.size());
        if (!transfer_ || transferSize_ != rest) {
          transfer_ = teskel::ndis::Packet::withBuffers({rest});
          transferSize_ = rest;
        }
        a.transferData(transfer_->ndis(), static_cast<UINT>(indication.lookahead.size()), rest);
      }
    };
    binding_ = adapter_->bind(std::move(b));
    loop_.runFor(2000000);  // scanning and joining, and the first status ticks
    auto bssid = card_->record(0xFD42);
    if (card_->portStatus() != 4 || !bssid || bssid->size() < 6) throw std::runtime_error("the card joined no network");
    std::copy_n(bssid->begin(), 6, bssid_.begin());
  }
  ~Handheld() {
    socket_.remove();
    teskel::registry::setCurrentStore(nullptr);
  }
  Handheld(const Handheld &) = delete;
  Handheld &operator=(const Handheld &) = delete;

  // Sends one frame and runs the clock until it has left the air and its buffer is back.
  void sendOne(teskel::ndis::Packet &packet) {
    std::uint64_t want = completed_ + 1, air = onAir_ + 1;
    adapter_->send(binding_, packet.ndis());
    while ((completed_ < want || onAir_ < air || card_->transmitBuffersInFlight()) && loop_.runOne()) {
    }
  }
  // Hands the card a frame from the access point and runs until the driver has indicated it.
  void receiveOne(const Bytes &frame80211) {
    std::uint64_t want = indicated_ + 1;
    teskel::sim::ReceiveResult r = card_->receiveFrame(frame80211);
    if (r != teskel::sim::ReceiveResult::Delivered)
      throw std::runtime_error(std::string("the card did not take the frame: ") + teskel::sim::toString(r));
    while (indicated_ < want && loop_.runOne()) {
    }
  }
  // A data frame from the distribution system to this station, with the body of an Ethernet
  // frame of `size` bytes (SNAP, type, payload).
  Bytes fromAccessPoint(std::size_t size) const {
    MacAddress self = card_->stationAddress();
    Bytes f(24, 0);
    f[0] = 0x08;
    f[1] = 0x02;  // from the distribution system
    std::copy(self.begin(), self.end(), f.begin() + 4);
    std::copy(bssid_.begin(), bssid_.end(), f.begin() + 10);
    std::copy(bssid_.begin(), bssid_.end(), f.begin() + 16);
    Bytes body = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00};
    for (std::size_t i = kEthernetHeader; i < size; ++i) body.push_back(static_cast<std::uint8_t>(i));
    f.insert(f.end(), body.begin(), body.end());
    return f;
  }

  teskel::EventLoop &loop() { return loop_; }
  teskel::ceddk::PortBus &bus() { return bus_; }
  teskel::ndis::Adapter &adapter() { return *adapter_; }
  int binding() const { return binding_; }
  MacAddress station() const { return card_->stationAddress(); }
  const MacAddress &bssid() const { return bssid_; }
  std::uint64_t onAir() const { return onAir_; }
  std::uint64_t completed() const { return completed_; }
  std::uint64_t failed() const { return failed_; }
  std::size_t lastAirBytes() const { return lastAirBytes_; }
  teskel::Micros lastAirEnd() const { return lastAirEnd_; }

 private:
  TempRoot root_;
  teskel::EventLoop loop_{teskel::EventLoop::Mode::Virtual};
  teskel::ceddk::PortBus bus_;
  teskel::registry::Store store_{root_.path() / teskel::registry::kStoreFileName};
  teskel::ndis::Host host_{loop_, bus_, store_};
  // The default world; it outlives the card, whose radio is on its air.
  std::unique_ptr<teskel::sim::air::World> world_ =
      teskel::sim::air::makeWorld(loop_, teskel::sim::air::WorldConfig::defaults());
  teskel::pccard::Socket socket_{host_, teskel::pccard::SocketOptions{root_.path()}};
  teskel::ndis::Adapter *adapter_ = nullptr;
  teskel::sim::Controller *card_ = nullptr;
  int binding_ = 0;
  MacAddress bssid_{};
  std::unique_ptr<teskel::ndis::Packet> transfer_;
  UINT transferSize_ = 0;
  std::uint64_t onAir_ = 0, completed_ = 0, failed_ = 0, indicated_ = 0;
  std::size_t lastAirBytes_ = 0;
  teskel::Micros lastAirEnd_ = 0;
};

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

// UDP datagrams of 1472 bytes (1514-byte frames) kept queued at the driver for a few seconds of
// handheld time: what leaves the air per second, against one frame's air time.
void BM_UdpGoodput(benchmark::State &state) {
  constexpr std::size_t kFrame = 1514, kWindow = 8;
  constexpr teskel::Micros kWarmUp = 200000, kMeasure = 5000000;
  double goodput = 0, limit = 0;
  for (auto _ : state) {
    Handheld handheld;
    std::vector<std::unique_ptr<teskel::ndis::Packet>> packets;
    for (std::size_t i = 0; i < kWindow; ++i)
      packets.push_back(teskel::ndis::Packet::fromFrame(ethernetFrame(handheld.bssid(), handheld.station(), kFrame)));
    std::map<NDIS_PACKET *, bool> busy;
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
    // Counted from the end of the first frame after the warm-up to the end of the last one.
    std::uint64_t atStart = 0;
    teskel::Micros startEnd = 0;
    bool started = false;
    topUp();
    while (loop.now() < end && loop.runOne()) {
      if (!started && loop.now() >= start && handheld.onAir()) {
        atStart = handheld.onAir();
        startEnd = handheld.lastAirEnd();
        started = true;
      }
      topUp();
    }
    const double frames = static_cast<double>(handheld.onAir() - atStart);
    const double span = static_cast<double>(handheld.lastAirEnd() - startEnd);
    const double payload = static_cast<double>(kFrame - kEthernetHeader - kIpUdpHeaders);
    goodput = span > 0 ? frames * payload * 8.0 / span : 0;  // Mbit/s
    limit = payload * 8.0 / airtimeUs(handheld.lastAirBytes());
    if (handheld.failed()) state.SkipWithError("sends failed");
  }
  state.counters["goodput_mbit"] = goodput;
  state.counters["limit_mbit"] = limit;
}

BENCHMARK(BM_Transmit)->Arg(60)->Arg(1514)->MinTime(0.5);
BENCHMARK(BM_Receive)->Arg(60)->Arg(1514)->MinTime(0.5);
BENCHMARK(BM_Memcpy)
    ->Arg(static_cast<int64_t>(bytesToCross(60, true)))
    ->Arg(static_cast<int64_t>(bytesToCross(1514, true)))
    ->Arg(static_cast<int64_t>(bytesToCross(60, false)))
    ->Arg(static_cast<int64_t>(bytesToCross(1514, false)));
BENCHMARK(BM_UdpGoodput)->Iterations(1)->Unit(benchmark::kMillisecond);

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

double cpuNs(const benchmark::BenchmarkReporter::Run &run) {
  return run.iterations ? run.cpu_accumulated_time * 1e9 / static_cast<double>(run.iterations) : 0;
}

double counter(const benchmark::BenchmarkReporter::Run &run, const char *name) {
  auto it = run.counters.find(name);
  return it == run.counters.end() ? 0 : it->second.value;
}

int printTable(const std::map<std::string, benchmark::BenchmarkReporter::Run> &r) {
  auto find = [&](const std::string &name) -> const benchmark::BenchmarkReporter::Run * {
    auto it = r.find(name);
    return it == r.end() || it->second.error_occurred ? nullptr : &it->second;
  };
  std::printf("%-8s %5s %10s %9s %6s %6s %9s %9s %7s\n", "way", "bytes", "frames/s", "accesses", "words", "ratio",
              "cpu ns", "memcpy ns", "ratio");
  int missing = 0;
  for (bool transmit : {true, false}) {
    for (std::size_t size : {std::size_t{60}, std::size_t{1514}}) {
      auto *run = find(std::string(transmit ? "BM_Transmit/" : "BM_Receive/") + std::to_string(size));
      auto *copy = find("BM_Memcpy/" + std::to_string(bytesToCross(size, transmit)));
      if (!run || !copy) {
        ++missing;
        continue;
      }
      double cpu = cpuNs(*run), accesses = counter(*run, "accesses"), words = counter(*run, "words");
      std::printf("%-8s %5zu %10.0f %9.1f %6.0f %6.3f %9.0f %9.1f %7.0f\n", transmit ? "send" : "receive", size,
                  cpu ? 1e9 / cpu : 0, accesses, words, words ? accesses / words : 0, cpu, cpuNs(*copy),
                  cpuNs(*copy) ? cpu / cpuNs(*copy) : 0);
    }
  }
  if (auto *udp = find("BM_UdpGoodput")) {
    double goodput = counter(*udp, "goodput_mbit"), limit = counter(*udp, "limit_mbit");
    std::printf("\nUDP goodput through the driver (1472-byte datagrams): %.3f Mbit/s; the air's limit at 2 Mbit/s: "
                "%.3f Mbit/s; share %.1f%%\n",
                goodput, limit, limit ? 100.0 * goodput / limit : 0);
  } else {
    ++missing;
  }
  if (missing) std::fprintf(stderr, "frame_path_bench: %d measurement(s) failed\n", missing);
  return missing ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
  bool table = false;
  std::vector<char *> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--table") == 0) table = true;
    else args.push_back(argv[i]);
    if (std::strcmp(argv[i], "--help") == 0) {
      std::cout << "Usage: frame_path_bench [--table] [Google Benchmark options]\n"
                   "  --table  print only the frame path table (scripts/bench), not each run\n\n";
    }
  }
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 2;
  Collector collector(table);
  try {
    benchmark::RunSpecifiedBenchmarks(&collector);
  } catch (const std::exception &e) {
    std::cerr << "frame_path_bench: " << e.what() << "\n";
    return 1;
  }
  benchmark::Shutdown();
  if (!table) return 0;
  return printTable(collector.results);
}
