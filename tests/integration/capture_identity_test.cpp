// The whole handheld (the built driver in the PC Card socket, the controller model on the default
// world's air, the traffic generator) run twice from the same seed: once with string transfers
// reaching the controller whole, once with the bus forcing one access per word. Nothing on the
// air may tell the two apart: the captures must be the same, byte for byte.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "teskel/air.h"
#include "teskel/capture.h"
#include "teskel/controller_card.h"
#include "teskel/coredll.h"
#include "teskel/event_loop.h"
#include "teskel/ndis_host.h"
#include "teskel/pccard.h"
#include "teskel/port_bus.h"
#include "teskel/registry_store.h"
#include "teskel/temp_dir.h"
#include "traffic.h"

namespace {

using namespace teskel;
using StringAccess = ceddk::PortBus::StringAccess;

struct SeededRun {
  const char *name;
  handheld::TrafficConfig traffic;
  double lossPercent;
  Micros duration;
};

void PrintTo(const SeededRun &run, std::ostream *os) { *os << run.name; }

struct Result {
  std::vector<char> capture;
  std::uint64_t frames = 0;
  handheld::TrafficGenerator::Stats traffic;
  std::vector<std::string> violations;
  std::uint64_t portAccesses = 0;
};

Result play(const SeededRun &run, StringAccess mode) {
  test::TempDir root("teskel-capture");
  coredll::ScopedObjectStoreRoot objectStore(root.path());
  const auto pcap = root.path() / "air.pcap";
  Result result;
  {
    EventLoop loop{EventLoop::Mode::Virtual};
    ceddk::PortBus bus;
    bus.setStringAccess(mode);
    registry::Store store{root.path() / registry::kStoreFileName};
    ndis::Host host{loop, bus, store};
    sim::air::WorldConfig config = sim::air::WorldConfig::defaults();
    config.lossPercent = run.lossPercent;
    sim::air::Capture capture(pcap);  // before the world: the medium calls into it
    auto world = sim::air::makeWorld(loop, config);
    world->medium().addObserver(capture.observer());
    pccard::Socket socket{host, pccard::SocketOptions{root.path()}};

    sim::ControllerOptions onTheAir;
    onTheAir.medium = &world->medium();
    auto report = socket.insert(sim::controllerCard(loop, bus, onTheAir));
    EXPECT_TRUE(report.ok()) << (report.errors.empty() ? "the adapter did not come up" : report.errors[0]);
    ndis::Adapter *adapter = socket.adapter("Teskel1");
    sim::Controller *card = sim::controllerIn(socket, "Teskel1");
    if (!adapter || !card) return result;
    {
      // Harbor's responder, from .2 of its network, as handheld run does.
      handheld::TrafficGenerator traffic(loop, *adapter, card->stationAddress(), run.traffic);
      traffic.setTarget(handheld::TrafficTarget{{192, 168, 77, 2}, {192, 168, 77, 1}});
      loop.runFor(run.duration);
      traffic.stop();
      result.traffic = traffic.stats();
      result.violations = card->violations();
      result.portAccesses = bus.totals().total();
      EXPECT_TRUE(socket.remove().clean());
    }
    capture.flush();
    result.frames = capture.frames();
  }
  std::ifstream in(pcap, std::ios::binary);
  result.capture.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return result;
}

class CaptureIdentity : public ::testing::TestWithParam<SeededRun> {};

TEST_P(CaptureIdentity, IsTheSameWithStringsWholeOrWordByWord) {
  const SeededRun &run = GetParam();
  const Result whole = play(run, StringAccess::Whole);
  const Result single = play(run, StringAccess::PerWord);

  // The run did carry traffic both ways, on a card nobody misused.
  EXPECT_GT(whole.frames, 200u);
  if (run.traffic.kind == handheld::TrafficConfig::Kind::Udp) {
    EXPECT_GT(whole.traffic.datagrams, 100u);
  } else {
    EXPECT_GT(whole.traffic.replies, 100u);
  }
  EXPECT_TRUE(whole.violations.empty()) << whole.violations.front();

  ASSERT_EQ(whole.capture.size(), single.capture.size());
  std::size_t at = 0;
  while (at < whole.capture.size() && whole.capture[at] == single.capture[at]) ++at;
  EXPECT_EQ(at, whole.capture.size()) << "the captures differ from byte " << at << " on";
  EXPECT_EQ(whole.frames, single.frames);
  EXPECT_EQ(whole.traffic.datagrams, single.traffic.datagrams);
  EXPECT_EQ(whole.traffic.replies, single.traffic.replies);
  EXPECT_EQ(whole.violations, single.violations);
  EXPECT_EQ(whole.portAccesses, single.portAccesses) << "every word counts as one access either way";
}

INSTANTIATE_TEST_SUITE_P(
    Runs, CaptureIdentity,
    ::testing::Values(SeededRun{"UdpOnALossyAir", {handheld::TrafficConfig::Kind::Udp, 10, 1472}, 10, 6000000},
                      SeededRun{"PingOnALossyAir", {handheld::TrafficConfig::Kind::Ping, 40, 1472}, 10, 6000000}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
