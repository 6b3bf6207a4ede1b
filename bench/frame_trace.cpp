// The port accesses of one send and one receive, by register: how the fixed sequence per frame
// that the bench's access rows allow for was found, and how to see it again after a change.
#include <cstdio>
#include <iostream>

#include "bench_handheld.h"
#include "modes.h"

namespace teskel::bench {
namespace {

const char *registerName(std::uint32_t offset) {
  namespace hw = teskel::sim::hw;
  switch (offset) {
    case hw::kRegCommand: return "COMMAND";
    case hw::kRegParam0: return "PARAM0";
    case hw::kRegStatus: return "STATUS";
    case hw::kRegInfoFid: return "INFO_FID";
    case hw::kRegSelect0: return "SELECT0";
    case hw::kRegSelect1: return "SELECT1";
    case hw::kRegOffset0: return "OFFSET0";
    case hw::kRegOffset1: return "OFFSET1";
    case hw::kRegRxFid: return "RX_FID";
    case hw::kRegAllocFid: return "ALLOC_FID";
    case hw::kRegEventStatus: return "EVENT_STATUS";
    case hw::kRegIntEnable: return "INT_ENABLE";
    case hw::kRegEventAck: return "EVENT_ACK";
    case hw::kRegData0: return "DATA0";
    case hw::kRegData1: return "DATA1";
    default: return "?";
  }
}

// Prints the trace and returns the single accesses and the words of string accesses in it.
std::pair<std::size_t, std::size_t> print(const std::vector<teskel::ceddk::PortAccess> &trace, std::uint32_t base) {
  using Kind = teskel::ceddk::PortAccess::Kind;
  static const char *kinds[] = {"read", "write", "read8", "write8", "read string", "write string"};
  std::size_t singles = 0, words = 0;
  for (const auto &a : trace) {
    const bool string = a.kind == Kind::ReadString16 || a.kind == Kind::WriteString16;
    std::printf("  %-12s %-12s", kinds[static_cast<int>(a.kind)], registerName(a.port - base));
    if (string) {
      std::printf(" %zu words\n", a.values.size());
      words += a.values.size();
    } else {
      std::printf(" %04X\n", a.values.empty() ? 0 : a.values[0]);
      ++singles;
    }
  }
  return {singles, words};
}

}  // namespace

int traceFrames(std::size_t size) {
  try {
    Handheld handheld;
    auto packet = teskel::ndis::Packet::fromFrame(ethernetFrame(handheld.bssid(), handheld.station(), size));
    const Bytes frame = handheld.fromAccessPoint(size);
    handheld.sendOne(*packet);  // the first ones off the trace
    handheld.receiveOne(frame);
    for (bool transmit : {true, false}) {
      handheld.clearOfStatusTick(kLongestFrame);
      const auto others = handheld.others();
      handheld.bus().clearTrace();
      handheld.bus().setTracing(true);
      if (transmit) handheld.sendOne(*packet);
      else handheld.receiveOne(frame);
      handheld.bus().setTracing(false);
      if (handheld.others() != others) throw std::runtime_error("the status tick ran during the traced frame");
      std::printf("%s a %zu-byte frame:\n", transmit ? "sending" : "receiving", size);
      auto [singles, words] = print(handheld.bus().trace(), handheld.ioBase());
      const std::size_t all = singles + words, cross = wordsToCross(size, transmit);
      std::printf("  %zu accesses (%zu single, %zu words of string accesses); %zu words to cross; %zd beyond them\n\n",
                  all, singles, words, cross, static_cast<std::ptrdiff_t>(all) - static_cast<std::ptrdiff_t>(cross));
    }
  } catch (const std::exception &e) {
    std::cerr << "handheld_bench: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace teskel::bench
