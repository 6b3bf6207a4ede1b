// handheld run and the driver's status publishing: what a run leaves in the registry and the root
// folder, the lines it prints for the published values, and the WEP state the card ends with.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "temp_dir.h"
#include "teskel/registry_store.h"
#include "teskel/test_env.h"

namespace {

namespace fs = std::filesystem;
using teskel::test::ProgramResult;

bool hasLine(const std::string &text, const std::string &pattern) {
  std::istringstream in(text);
  std::regex re(pattern);
  for (std::string line; std::getline(in, line);)
    if (std::regex_search(line, re)) return true;
  return false;
}

class HandheldStatusTest : public ::testing::Test {
 protected:
  ProgramResult handheld(std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", root.path().string()});
    return teskel::test::runProgram(teskel::test::programCommand("handheld", args));
  }
  ProgramResult run(std::vector<std::string> extra) {
    std::vector<std::string> args = {"run", "--virtual", "--duration", "5", "--show-controller"};
    args.insert(args.end(), extra.begin(), extra.end());
    return handheld(args);
  }
  // The three status values as the run left them; each must be a REG_DWORD.
  std::vector<std::uint32_t> published() {
    teskel::registry::Store store(root.path() / teskel::registry::kStoreFileName);
    std::vector<std::uint32_t> out;
    for (const char *name : {"LinkState", "bytein", "byteout"}) {
      auto v = store.getValue("Comm\\Teskel1\\Parms", name);
      EXPECT_TRUE(v && v->type == 4 && v->data.size() == 4) << name;
      if (!v || v->data.size() != 4) return {};
      out.push_back(v->data[0] | v->data[1] << 8 | v->data[2] << 16 | static_cast<std::uint32_t>(v->data[3]) << 24);
    }
    return out;
  }
  static std::string describe(const ProgramResult &r) { return "stdout:\n" + r.out + "stderr:\n" + r.err; }

  teskel::testing::TempDir root;
};

TEST_F(HandheldStatusTest, ARunPublishesDwordsAndSwitchesWepOffAsRequested) {
  auto r = run({});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  auto values = published();
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0], 1u);
  EXPECT_TRUE(hasLine(r.out, "^link state: Teskel1 1 \\(connected\\)$")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^status values: Teskel1 LinkState 1 \\(connected\\), bytein " + std::to_string(values[1]) +
                                 ", byteout " + std::to_string(values[2]) + "$"))
      << r.out;
  // "WepReq" is installed as 0: the tick turns off the flags configuration wrote.
  EXPECT_TRUE(hasLine(r.out, "^  WEP flags +0x0000 ")) << r.out;
  EXPECT_FALSE(fs::exists(root.path() / "fenwa_log.txt"));
}

TEST_F(HandheldStatusTest, AnUnreadableLinkStatusLeavesSevenAndALogInTheRootFolder) {
  auto r = run({"--fault", "rid-unreadable=0xFD40"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  auto values = published();
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0], 7u);
  EXPECT_TRUE(hasLine(r.out, "^link state: Teskel1 7 \\(unreadable\\)$")) << r.out;
  std::ifstream log(root.path() / "fenwa_log.txt");
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_TRUE(hasLine(text.str(), "^Fenwa_GetInfo: GetLinkStatus\\(\\) FAILED$")) << text.str();
}

TEST_F(HandheldStatusTest, WepValuesInTheRegistryAreOnTheCardAtTheEndOfARun) {
  ASSERT_EQ(handheld({"run", "--virtual", "--duration", "0"}).exitCode, 0);  // installs the keys
  for (const std::vector<std::string> &set : std::vector<std::vector<std::string>>{
           {"WepReq", "REG_DWORD", "1"}, {"DefaultKeys", "REG_BINARY", "A1A2A3A4A5"}}) {
    std::vector<std::string> args = {"reg", "set", "HKLM\\Comm\\Teskel1\\Parms"};
    args.insert(args.end(), set.begin(), set.end());
    auto r = handheld(args);
    ASSERT_EQ(r.exitCode, 0) << describe(r);
  }
  auto r = run({});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_TRUE(hasLine(r.out, "^  WEP flags +0x0001 ")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^  WEP default key id +0$")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^  WEP key 1 +A1 A2 A3 A4 A5 ")) << r.out;
}

}  // namespace
