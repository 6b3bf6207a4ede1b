// Pemblo on a real terminal: the program runs under tmux on the wall clock, and the test reads
// the Status page from the drawn screen, waiting for it with a deadline.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <regex>

#include "pemblo_harness.h"
#include "teskel/test_env.h"

namespace pemblo_test {
namespace {

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

TEST(Terminal, DrawsTheStatusPageAndEndsOnCancel) {
  if (teskel::test::runProgram({"sh", "-c", "command -v tmux"}).exitCode != 0) FAIL() << "tmux is not installed";
  TempRoot root;
  Registry reg(root.path());
  reg.seedInstalled();
  reg.setStatus(1, 4321, 1234);

  Tmux tmux("pemblo");
  const std::filesystem::path statusFile = root.path() / "exit-status";
  std::string command =
      teskel::test::shellCommand(teskel::test::programCommand("pemblo", {"--root", root.path().string()})) +
      "; echo $? > " + teskel::test::shellCommand({statusFile.string()});
  ASSERT_TRUE(tmux.start(command));

  // The sheet with its tabs, and the first tick of the Status page on the wall clock.
  std::string screen;
  bool drawn = tmux.waitScreen(
      [&](const std::string &s) {
        screen = s;
        return contains(s, "Connected...") && contains(s, "4321") && contains(s, "1234");
      },
      kDeadline);
  ASSERT_TRUE(drawn) << "screen:\n" << screen;
  EXPECT_TRUE(contains(screen, "Sarvell Configuration")) << screen;
  for (const char *tab : {"Status", "Config", "Encryption", "About"}) EXPECT_TRUE(contains(screen, tab)) << tab;
  EXPECT_FALSE(contains(screen, "Advanced")) << "the third entry has no layout, so no tab";
  EXPECT_TRUE(contains(screen, "bytes/sec")) << screen;

  // The next ticks follow the driver.
  reg.setStatus(7, 4321, 1234);
  ASSERT_TRUE(tmux.waitScreen([](const std::string &s) { return contains(s, "Disconnect..."); }, kDeadline))
      << tmux.screen();

  // Cancel (F3 on the terminal) ends the program with exit code 0; the shell around it records
  // the code in a file, since tmux does not always learn a dead pane's status.
  tmux.keys({"F3"});
  EXPECT_EQ(waitForLine(statusFile), "0\n") << "screen:\n" << tmux.screen();
}

// The five key boxes as the screen shows them: the text inside each box's frame, blanks removed.
std::vector<std::string> keyBoxes(const std::string &screen) {
  std::vector<std::string> out;
  std::size_t at = screen.find("Key 1");
  if (at == std::string::npos) return out;
  std::string line = screen.substr(at, screen.find('\n', at) - at);
  static const std::regex box(R"(\[([0-9A-F ]{3})\])");
  for (std::sregex_iterator it(line.begin(), line.end(), box), end; it != end; ++it) {
    std::string text = (*it)[1];
    std::erase(text, ' ');
    out.push_back(text);
  }
  return out;
}

TEST(Terminal, ATypedKeyShowsWholeInTheFiveBoxesOfTheEncryptionPage) {
  if (teskel::test::runProgram({"sh", "-c", "command -v tmux"}).exitCode != 0) FAIL() << "tmux is not installed";
  TempRoot root;
  Registry reg(root.path());
  reg.seedInstalled();
  reg.setDword("WepReq", 1);  // the key boxes are enabled

  Tmux tmux("pemblo");
  const std::filesystem::path statusFile = root.path() / "exit-status";
  std::string command =
      teskel::test::shellCommand(teskel::test::programCommand("pemblo", {"--root", root.path().string()})) +
      "; echo $? > " + teskel::test::shellCommand({statusFile.string()});
  ASSERT_TRUE(tmux.start(command));
  ASSERT_TRUE(tmux.waitScreen([](const std::string &s) { return contains(s, "F4 next page"); }, kDeadline))
      << tmux.screen();

  // F4 goes forward: Config, then Encryption, whose first key box takes the focus.
  tmux.keys({"F4"});
  ASSERT_TRUE(tmux.waitScreen([](const std::string &s) { return contains(s, "[Config ]"); }, kDeadline)) << tmux.screen();
  tmux.keys({"F4"});
  ASSERT_TRUE(tmux.waitScreen([](const std::string &s) { return contains(s, "Focus: \"Key 1\" field"); }, kDeadline))
      << tmux.screen();
  tmux.keys({"1a", "Tab", "2b", "Tab", "c3", "Tab", "44", "Tab", "ef"});
  std::vector<std::string> boxes;
  bool shown = tmux.waitScreen(
      [&](const std::string &s) {
        boxes = keyBoxes(s);
        return boxes.size() == 5 && boxes.back() == "EF";
      },
      kDeadline);
  ASSERT_TRUE(shown) << tmux.screen();
  EXPECT_EQ(boxes, (std::vector<std::string>{"1A", "2B", "C3", "44", "EF"})) << tmux.screen();

  // Tab to "Write", Enter presses it: the key is stored as typed.
  tmux.keys({"Tab"});
  ASSERT_TRUE(tmux.waitScreen([](const std::string &s) { return contains(s, "Focus: \"Write\" button"); }, kDeadline))
      << tmux.screen();
  tmux.keys({"Enter"});
  auto deadline = std::chrono::steady_clock::now() + kDeadline;
  std::vector<std::uint8_t> stored;
  while (std::chrono::steady_clock::now() < deadline) {
    auto v = reg.value("DefaultKeys");
    if (v && v->data.size() == 5) {
      stored = v->data;
      break;
    }
    poll(nullptr, 0, 50);
  }
  EXPECT_EQ(stored, (std::vector<std::uint8_t>{0x1A, 0x2B, 0xC3, 0x44, 0xEF})) << tmux.screen();

  tmux.keys({"F3"});
  EXPECT_EQ(waitForLine(statusFile), "0\n") << "screen:\n" << tmux.screen();
}

}  // namespace
}  // namespace pemblo_test
