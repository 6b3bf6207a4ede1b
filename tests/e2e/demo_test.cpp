// scripts/demo on a terminal: its start-up under tmux with the programs of this build, the screen
// read until the utility shows the card searching, then connected with moving figures; Cancel
// ends both programs, and a second demo on the same root leaves the running one alone.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <regex>

#include "pemblo_harness.h"
#include "teskel/test_env.h"

namespace pemblo_test {
namespace {

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// The figure of a bytes/sec field on the screen: the first or the second one drawn.
std::string figure(const std::string &screen, int which) {
  static const std::regex field(R"(bytes/sec +\[(\d+) *\])");
  int n = 0;
  for (std::sregex_iterator it(screen.begin(), screen.end(), field), end; it != end; ++it)
    if (n++ == which) return (*it)[1];
  return "";
}

TEST(Demo, ShowsTheCardSearchingThenConnectedWithMovingFiguresAndStopsBothOnCancel) {
  if (teskel::test::runProgram({"sh", "-c", "command -v tmux && command -v flock"}).exitCode != 0)
    FAIL() << "tmux or flock is not installed";
  TempRoot root;
  const std::string demo = std::string(TESKEL_SOURCE_DIR) + "/scripts/demo";
  const std::string bin = teskel::test::binaryDir() + "/bin";
  const std::filesystem::path statusFile = root.path() / "demo-exit-status";
  std::vector<std::string> env{"env", "TESKEL_ROOT=" + root.path().string()};
  if (const char *emulator = std::getenv("TESKEL_EMULATOR")) env.push_back(std::string("TESKEL_EMULATOR=") + emulator);
  std::vector<std::string> command = env;
  command.insert(command.end(), {demo, "--bin", bin});
  std::string line = teskel::test::shellCommand(command) + "; echo $? > " + teskel::test::shellCommand({statusFile.string()});

  Tmux tmux("demo");
  ASSERT_TRUE(tmux.start(line));

  std::string screen;
  EXPECT_TRUE(tmux.waitScreen([&](const std::string &s) {
    screen = s;
    return contains(s, "Scanning...") && contains(s, "[* scanning]");
  })) << screen;
  EXPECT_TRUE(tmux.waitScreen([&](const std::string &s) {
    screen = s;
    std::string in = figure(s, 0), out = figure(s, 1);
    return contains(s, "Connected...") && contains(s, "[* connected]") && !in.empty() && in != "0" && !out.empty() &&
           out != "0";
  })) << screen;

  // A second demo on the same root says so and leaves this one running.
  command = env;
  command.insert(command.end(), {demo, "--bin", bin});
  auto second = teskel::test::runProgram(command);
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_TRUE(contains(second.err, "already runs")) << second.err;
  EXPECT_TRUE(contains(tmux.screen(), "Connected...")) << tmux.screen();

  // Cancel (Esc) ends Pemblo; the demo then takes the card out and stops the handheld.
  tmux.keys({"Escape"});
  EXPECT_EQ(waitForLine(statusFile), "0\n") << tmux.screen();
  std::string log = readFile(root.path() / "handheld-run.log");
  EXPECT_TRUE(contains(log, "card removed: Teskel1 halted, nothing left held")) << log;
  EXPECT_TRUE(contains(log, "link state: Teskel1 1 (connected)")) << log;
  EXPECT_NE(teskel::test::runProgram(teskel::test::programCommand("handheld", {"--root", root.path().string(), "status"})).exitCode, 0)
      << "the handheld still runs";
}

}  // namespace
}  // namespace pemblo_test
