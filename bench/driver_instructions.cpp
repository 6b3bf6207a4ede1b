// The driver's own instructions per 1514-byte frame each way, counted by callgrind: this program
// runs itself under valgrind in a mode that collects only while frames run, and the self cost of
// every function of the driver library is summed from callgrind's output.
#include <benchmark/benchmark.h>

#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "bench_handheld.h"
#include "child_process.h"
#include "modes.h"

#if TESKEL_HAVE_CALLGRIND
#include <valgrind/callgrind.h>
#endif

namespace teskel::bench {
namespace {

constexpr std::size_t kFrames = 400;

// One dump of callgrind's: what triggered it, and the instructions executed in each object's own
// code (the self cost of its functions).
struct CallgrindDump {
  std::string trigger;
  std::map<std::string, std::uint64_t> selfByObject;
  std::uint64_t total = 0;
};

// Reads callgrind's output format: `ob=` names the object of the functions that follow (names
// compressed to "(id)" after their first use, by `cob=` lines too); a cost line after `calls=`
// is the call's inclusive cost and is no function's own.
CallgrindDump readCallgrind(const std::filesystem::path &file) {
  std::ifstream in(file);
  if (!in) throw std::runtime_error("no callgrind output " + file.string());
  CallgrindDump dump;
  std::map<std::string, std::string> objects;  // "(id)" -> name
  auto objectName = [&](std::string field) {
    if (field.rfind('(', 0) == 0) {
      const auto close = field.find(')');
      const std::string id = field.substr(0, close + 1);
      std::string name = close + 1 < field.size() ? field.substr(close + 1) : "";
      if (!name.empty() && name[0] == ' ') name.erase(0, 1);
      if (!name.empty()) objects[id] = name;
      return objects[id];
    }
    return field;
  };
  std::size_t positions = 1, irColumn = 0;
  std::string object;
  bool callCost = false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    const char c = line[0];
    if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '*') {
      if (callCost) {
        callCost = false;
        continue;
      }
      std::istringstream fields(line);
      std::string field;
      for (std::size_t i = 0; i < positions + irColumn && fields >> field;) ++i;
      std::uint64_t ir = 0;
      if (fields >> ir) dump.selfByObject[object] += ir;
    } else if (line.rfind("ob=", 0) == 0) {
      object = objectName(line.substr(3));
    } else if (line.rfind("cob=", 0) == 0) {
      objectName(line.substr(4));
    } else if (line.rfind("calls=", 0) == 0) {
      callCost = true;
    } else if (line.rfind("positions:", 0) == 0) {
      std::istringstream fields(line.substr(10));
      std::string field;
      positions = 0;
      while (fields >> field) ++positions;
    } else if (line.rfind("events:", 0) == 0) {
      std::istringstream fields(line.substr(7));
      std::string field;
      for (std::size_t i = 0; fields >> field; ++i)
        if (field == "Ir") irColumn = i;
    } else if (line.rfind("desc: Trigger: Client Request: ", 0) == 0) {
      dump.trigger = line.substr(31);
    }
  }
  for (const auto &[name, ir] : dump.selfByObject) dump.total += ir;
  return dump;
}

bool isDriver(const std::string &object) {
  return std::filesystem::path(object).filename().string().rfind("libTeskel", 0) == 0;
}

// Runs this program in its callgrind mode under valgrind and counts, per frame each way, the
// instructions of the driver library's own code and those of the whole handheld.
void BM_DriverInstructions(benchmark::State &state) {
  for (auto _ : state) {
    const auto valgrind = findOnPath("valgrind");
    if (!valgrind) {
      state.SkipWithError("valgrind is not on PATH (scripts/install-deps installs it): no instruction counts");
      return;
    }
    TempRoot root;
    const auto out = root.path() / "callgrind.out";
    ChildRun run = runChild({valgrind->string(), "--tool=callgrind", "--collect-atstart=no",
                             "--callgrind-out-file=" + out.string(), thisProgram().string(), "--callgrind-frames",
                             std::to_string(kFrames)},
                            root.path() / "valgrind.log");
    if (!run.ok()) {
      state.SkipWithError(("the frames under callgrind failed: " + run.lastLine).c_str());
      return;
    }
    try {
      std::map<std::string, CallgrindDump> dumps;
      for (const char *part : {".1", ".2"}) {
        CallgrindDump dump = readCallgrind(out.string() + part);
        dumps[dump.trigger] = dump;
      }
      for (const char *way : {"send", "receive"}) {
        auto it = dumps.find(way);
        if (it == dumps.end()) throw std::runtime_error(std::string("callgrind dumped nothing for ") + way);
        std::uint64_t driver = 0;
        for (const auto &[object, ir] : it->second.selfByObject)
          if (isDriver(object)) driver += ir;
        if (!driver) throw std::runtime_error("callgrind counted no instruction of libTeskel.so");
        state.counters[std::string(way) + "_driver"] = static_cast<double>(driver) / kFrames;
        state.counters[std::string(way) + "_all"] = static_cast<double>(it->second.total) / kFrames;
      }
    } catch (const std::runtime_error &e) {
      state.SkipWithError(e.what());
      return;
    }
  }
}

BENCHMARK(BM_DriverInstructions)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int collectFramesUnderCallgrind(std::size_t frames) {
#if TESKEL_HAVE_CALLGRIND
  constexpr std::size_t kFrame = 1514;
  try {
    Handheld handheld;
    auto packet = teskel::ndis::Packet::fromFrame(ethernetFrame(handheld.bssid(), handheld.station(), kFrame));
    const Bytes frame = handheld.fromAccessPoint(kFrame);
    for (int i = 0; i < 10; ++i) {  // the first frames off the count
      handheld.sendOne(*packet);
      handheld.receiveOne(frame);
    }
    const auto failed = handheld.failed();
    for (bool transmit : {true, false}) {
      for (std::size_t i = 0; i < frames; ++i) {
        handheld.clearOfStatusTick(kLongestFrame);
        const auto others = handheld.others();
        CALLGRIND_TOGGLE_COLLECT;
        if (transmit) handheld.sendOne(*packet);
        else handheld.receiveOne(frame);
        CALLGRIND_TOGGLE_COLLECT;
        if (handheld.others() != others) throw std::runtime_error("the status tick ran during a counted frame");
      }
      if (transmit) CALLGRIND_DUMP_STATS_AT("send");
      else CALLGRIND_DUMP_STATS_AT("receive");
    }
    if (handheld.failed() != failed) throw std::runtime_error("sends failed");
  } catch (const std::exception &e) {
    std::cerr << "handheld_bench: " << e.what() << "\n";
    return 1;
  }
  return 0;
#else
  (void)frames;
  std::cerr << "handheld_bench: built without valgrind/callgrind.h (the valgrind package): cannot count instructions\n";
  return 1;
#endif
}

}  // namespace teskel::bench
