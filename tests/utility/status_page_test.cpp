// The Status page: link text, traffic figures and bars, and the tray picture, tick by tick
// from the driver's status values.
#include <gtest/gtest.h>

#include "../../utility/resource.h"
#include "pemblo_harness.h"

namespace pemblo_test {
namespace {

class StatusPage : public ::testing::Test {
 protected:
  TempRoot root;
  Registry reg{root.path()};

  void SetUp() override { reg.seedInstalled(); }

  struct Shown {
    std::string link, in, out, inBar, outBar, tray;
  };
  Shown shown(Pemblo &p) {
    return {p.text(IDC_LINKSTATUS), p.text(IDC_INPUT),  p.text(IDC_OUTPUT),
            barPos(p, IDC_INPUT_BAR), barPos(p, IDC_OUTPUT_BAR), p.trayPicture()};
  }
  static std::string barPos(Pemblo &p, int id) {
    std::string s = p.state(id);
    auto at = s.find("pos=");
    return at == std::string::npos ? "?" : s.substr(at + 4);
  }
};

// One driver state per tick and what the page shows after it; a bar of nullptr is not checked.
struct Tick {
  std::uint32_t linkState, bytesIn, bytesOut;
  const char *link, *in, *out, *inBar, *outBar, *tray;
};

void runTicks(Pemblo &p, Registry &reg, const std::vector<Tick> &ticks,
              std::function<std::string(Pemblo &, int)> text, std::function<std::string(Pemblo &, int)> bar) {
  for (std::size_t i = 0; i < ticks.size(); ++i) {
    const Tick &t = ticks[i];
    SCOPED_TRACE("tick " + std::to_string(i + 1) + ": LinkState " + std::to_string(t.linkState));
    reg.setStatus(t.linkState, t.bytesIn, t.bytesOut);
    p.tick();
    EXPECT_EQ(text(p, IDC_LINKSTATUS), t.link);
    EXPECT_EQ(text(p, IDC_INPUT), t.in);
    EXPECT_EQ(text(p, IDC_OUTPUT), t.out);
    if (t.inBar) {
      EXPECT_EQ(bar(p, IDC_INPUT_BAR), t.inBar);
    }
    if (t.outBar) {
      EXPECT_EQ(bar(p, IDC_OUTPUT_BAR), t.outBar);
    }
    EXPECT_EQ(p.trayPicture(), t.tray);
  }
}

TEST_F(StatusPage, StartsDisconnectedWithConnectedTrayPictureWhateverTheLinkState) {
  reg.setStatus(4, 10, 20);
  Pemblo p(root.path());
  Shown s = shown(p);
  EXPECT_EQ(s.link, "Disconnect...");
  EXPECT_EQ(s.in, "");
  EXPECT_EQ(s.out, "");
  EXPECT_EQ(s.inBar, "0");
  EXPECT_EQ(s.tray, "104");
  EXPECT_NE(p.state(IDC_INPUT_BAR).find("range=0..5000"), std::string::npos);
  EXPECT_NE(p.state(IDC_OUTPUT_BAR).find("range=0..5000"), std::string::npos);
  EXPECT_NE(p.state(IDC_LINKSTATUS).find("readonly"), std::string::npos);
  // Nothing is read again before the timer's first period has passed.
  p.run("advance 1499");
  EXPECT_EQ(p.text(IDC_LINKSTATUS), "Disconnect...");
  EXPECT_EQ(p.trayPicture(), "104");
  p.run("advance 1");
  EXPECT_EQ(p.text(IDC_LINKSTATUS), "Scanning...");
  EXPECT_EQ(p.trayPicture(), "128");
}

TEST_F(StatusPage, FiguresAreTheDifferencesBetweenTicks) {
  Pemblo p(root.path());
  auto text = [](Pemblo &q, int id) { return q.text(id); };
  auto bar = [](Pemblo &q, int id) { return barPos(q, id); };
  runTicks(p, reg,
           {
               // The first tick shows the whole counters: the previous readings start at 0.
               {1, 1200, 300, "Connected...", "1200", "300", "1200", "300", "104"},
               {1, 1250, 1300, "Connected...", "50", "1000", "50", "1000", "104"},
               // No traffic.
               {1, 1250, 1300, "Connected...", "0", "0", "0", "0", "104"},
               // The figure is the real difference; the bar stops at its range's end.
               {4, 9250, 1301, "Scanning...", "8000", "1", "5000", "1", "128"},
               // Counters near the top, then wrapped at 2^32: still the bytes of the period.
               {1, 0xFFFFFF00u, 0xFFFFFFF0u, "Connected...", "4294957790", "4294965979", nullptr, nullptr, "104"},
               {1, 0x00000100u, 0x00000010u, "Connected...", "512", "32", "512", "32", "104"},
           },
           text, bar);
}

TEST_F(StatusPage, DisconnectedClearsTheBarsButKeepsTheFigures) {
  Pemblo p(root.path());
  auto text = [](Pemblo &q, int id) { return q.text(id); };
  auto bar = [](Pemblo &q, int id) { return barPos(q, id); };
  runTicks(p, reg,
           {
               {1, 700, 900, "Connected...", "700", "900", "700", "900", "104"},
               {7, 800, 950, "Disconnect...", "700", "900", "0", "0", "108"},
               // Back up: the difference counts from the reading taken while disconnected.
               {1, 1000, 1000, "Connected...", "200", "50", "200", "50", "104"},
           },
           text, bar);
}

TEST_F(StatusPage, NotConnectedChangesNothingButTheReadingsStillMoveOn) {
  Pemblo p(root.path());
  auto text = [](Pemblo &q, int id) { return q.text(id); };
  auto bar = [](Pemblo &q, int id) { return barPos(q, id); };
  runTicks(p, reg,
           {
               {4, 100, 40, "Scanning...", "100", "40", "100", "40", "128"},
               {6, 400, 90, "Scanning...", "100", "40", "100", "40", "128"},
               {6, 500, 95, "Scanning...", "100", "40", "100", "40", "128"},
               // 500 -> 530, not 100 -> 530: the ticks with state 6 updated the previous readings.
               {1, 530, 100, "Connected...", "30", "5", "30", "5", "104"},
               // An unknown code behaves the same way.
               {9, 600, 200, "Connected...", "30", "5", "30", "5", "104"},
           },
           text, bar);
}

TEST_F(StatusPage, ATickWithoutAllThreeValuesShowsNothing) {
  Pemblo p(root.path());
  reg.setStatus(1, 100, 100);
  p.tick();
  ASSERT_EQ(p.text(IDC_INPUT), "100");

  // The driver has written LinkState but not yet the counters: the tick stops at the first
  // missing value, so neither the text nor the picture follows the new state.
  reg.setDword("LinkState", 7);
  reg.remove("bytein");
  p.tick();
  EXPECT_EQ(p.text(IDC_LINKSTATUS), "Connected...");
  EXPECT_EQ(p.trayPicture(), "104");
  EXPECT_EQ(barPos(p, IDC_INPUT_BAR), "100");

  // The whole key gone: nothing changes either, and the page goes on polling.
  reg.store().deleteKey(kParms);
  p.tick();
  EXPECT_EQ(p.text(IDC_LINKSTATUS), "Connected...");
  reg.seedInstalled();
  reg.setStatus(4, 150, 100);
  p.tick();
  EXPECT_EQ(p.text(IDC_LINKSTATUS), "Scanning...");
  EXPECT_EQ(p.text(IDC_INPUT), "50");
  EXPECT_EQ(p.trayPicture(), "128");
}

TEST_F(StatusPage, KeepsPollingWhileTheSheetIsHidden) {
  Pemblo p(root.path());
  reg.setStatus(1, 0, 0);
  p.tick();
  p.run("ok");
  EXPECT_NE(p.state(IDC_LINKSTATUS).find("hidden"), std::string::npos);
  reg.setStatus(4, 10, 10);
  p.tick();
  EXPECT_EQ(p.trayPicture(), "128");
  reg.setStatus(7, 10, 10);
  p.tick();
  EXPECT_EQ(p.trayPicture(), "108");
  p.run("tray");
  EXPECT_NE(p.state(IDC_LINKSTATUS).find("visible"), std::string::npos);
  EXPECT_EQ(p.text(IDC_LINKSTATUS), "Disconnect...");
}

}  // namespace
}  // namespace pemblo_test
