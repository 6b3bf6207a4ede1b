// One seeded run of the whole handheld on a lossy air, with string transfers whole and with the
// bus forcing one access per word: the two captures of the air must be the same, byte for byte.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "teskel/capture.h"
#include "teskel/controller_card.h"
#include "teskel/coredll.h"
#include "teskel/ndis_host.h"
#include "teskel/registry_store.h"
#include "teskel/temp_dir.h"
#include "traffic.h"

namespace {

using namespace teskel;

struct Result {
  std::string capture;
  std::uint64_t answered = 0;  // datagrams sent, or echo replies
  std::vector<std::string> violations;
};

Result play(const handheld::TrafficConfig &traffic, ceddk::PortBus::StringAccess mode) {
  test::TempDir root("teskel-capture");
  coredll::ScopedObjectStoreRoot objectStore(root.path());
  Result result;
  {
    EventLoop loop{EventLoop::Mode::Virtual};
    ceddk::PortBus bus;
    bus.setStringAccess(mode);
    registry::Store store{root.path() / registry::kStoreFileName};
    ndis::Host host{loop, bus, store};
    sim::air::Capture capture(root.path() / "air.pcap");  // before the world: the medium calls into it
    auto config = sim::air::WorldConfig::defaults();
    config.lossPercent = 10;
    auto world = sim::air::makeWorld(loop, config);
    world->medium().addObserver(capture.observer());
    pccard::Socket socket{host, pccard::SocketOptions{root.path()}};
    sim::ControllerOptions onTheAir;
    onTheAir.medium = &world->medium();
    EXPECT_TRUE(socket.insert(sim::controllerCard(loop, bus, onTheAir)).ok());
    sim::Controller *card = sim::controllerIn(socket, "Teskel1");
    if (!socket.adapter("Teskel1") || !card) return result;
    // Harbor's responder, from .2 of its network, as handheld run does.
    handheld::TrafficGenerator generator(loop, *socket.adapter("Teskel1"), card->stationAddress(), traffic);
    generator.setTarget(handheld::TrafficTarget{{192, 168, 77, 2}, {192, 168, 77, 1}});
    loop.runFor(6000000);
    generator.stop();
    result.answered = generator.stats().datagrams + generator.stats().replies;
    result.violations = card->violations();
    EXPECT_TRUE(socket.remove().clean());
  }
  std::ifstream in(root.path() / "air.pcap", std::ios::binary);
  result.capture.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return result;
}

class CaptureIdentity : public ::testing::TestWithParam<handheld::TrafficConfig::Kind> {};

TEST_P(CaptureIdentity, IsTheSameWithStringsWholeOrWordByWord) {
  handheld::TrafficConfig traffic{GetParam(), 40, 1472};
  const Result whole = play(traffic, ceddk::PortBus::StringAccess::Whole);
  const Result single = play(traffic, ceddk::PortBus::StringAccess::PerWord);
  EXPECT_GT(whole.answered, 100u) << "the run carried traffic";
  EXPECT_TRUE(whole.violations.empty()) << whole.violations.front();
  ASSERT_EQ(whole.capture.size(), single.capture.size());
  std::size_t at = 0;
  while (at < whole.capture.size() && whole.capture[at] == single.capture[at]) ++at;
  EXPECT_EQ(at, whole.capture.size()) << "the captures differ from byte " << at << " on";
  EXPECT_EQ(whole.answered, single.answered);
  EXPECT_EQ(whole.violations, single.violations);
}

INSTANTIATE_TEST_SUITE_P(Traffic, CaptureIdentity,
                         ::testing::Values(handheld::TrafficConfig::Kind::Udp, handheld::TrafficConfig::Kind::Ping),
                         [](const auto &info) { return info.param == handheld::TrafficConfig::Kind::Udp ? "Udp" : "Ping"; });

}  // namespace
