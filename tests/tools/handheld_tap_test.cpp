// handheld run --tap end to end: inside a network namespace the test makes itself, the kernel's
// own ping reaches the access point's responder through the TAP device, the driver and the air;
// without the permission the run fails with one line. Wall clock, every wait with a deadline.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "teskel/test_env.h"

namespace {

namespace fs = std::filesystem;
using teskel::test::ProgramResult;
using teskel::test::runProgram;

bool canMakeNamespace() { return runProgram({"unshare", "-rn", "true"}).exitCode == 0; }
bool havePing() { return runProgram({"sh", "-c", "command -v ping"}).exitCode == 0; }

class TempRoot {
 public:
  TempRoot() {
    std::string pattern = (fs::temp_directory_path() / "teskel-tap-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempRoot() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempRoot(const TempRoot &) = delete;
  TempRoot &operator=(const TempRoot &) = delete;
  const fs::path &path() const { return path_; }

 private:
  fs::path path_;
};

std::string describe(const ProgramResult &r) { return "stdout:\n" + r.out + "stderr:\n" + r.err; }

TEST(HandheldTap, TheKernelsPingReachesTheRespondersInsideANamespace) {
  if (!canMakeNamespace()) GTEST_SKIP() << "this machine cannot create a network namespace (unshare -rn)";
  ASSERT_TRUE(havePing()) << "ping is not installed (scripts/packages.txt lists iputils-ping)";
  TempRoot root;
  const std::string handheld = teskel::test::shellCommand(
      teskel::test::programCommand("handheld", {"--root", root.path().string(), "run", "--tap", "tk0", "--duration", "90"}));
  const std::string log = (root.path() / "handheld.out").string();
  // Everything below runs in the namespace; each wait polls for its condition up to a deadline.
  const std::string script =
      "ip link set lo up\n" + handheld + " >'" + log + "' 2>&1 &\n" +
      "hh=$!\n"
      "n=0; until ip link show tk0 >/dev/null 2>&1; do n=$((n+1)); "
      "if [ $n -gt 600 ] || ! kill -0 $hh 2>/dev/null; then echo 'no TAP device'; kill $hh; exit 3; fi; sleep 0.1; done\n"
      "ip addr add 192.168.77.2/24 dev tk0 && ip link set tk0 up || exit 4\n"
      "ping -n -c 3 -i 0.2 -w 60 192.168.77.1; rc=$?\n"
      "kill -INT $hh; wait $hh; hrc=$?\n"
      "echo \"ping=$rc handheld=$hrc\"\n"
      "[ $rc -eq 0 ] && [ $hrc -eq 0 ]\n";
  ProgramResult r = runProgram({"unshare", "-rn", "sh", "-c", script});
  std::string handheldOut;
  {
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    handheldOut = text.str();
  }
  EXPECT_EQ(r.exitCode, 0) << describe(r) << "handheld:\n" << handheldOut;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("bytes from 192\\.168\\.77\\.1: icmp_seq=[0-9]+"))) << r.out;
  EXPECT_NE(handheldOut.find("tap: tk0 bridged to Teskel1"), std::string::npos) << handheldOut;
  EXPECT_NE(handheldOut.find("tap: tk0 carrier on"), std::string::npos) << handheldOut;
  EXPECT_NE(handheldOut.find("card removed: Teskel1 halted, nothing left held"), std::string::npos) << handheldOut;
}

TEST(HandheldTap, WithoutThePermissionTheRunFailsWithOneLine) {
  // A user namespace without a network namespace of its own: no CAP_NET_ADMIN over this one.
  if (runProgram({"unshare", "-r", "true"}).exitCode != 0) GTEST_SKIP() << "this machine cannot create a user namespace";
  TempRoot root;
  std::vector<std::string> argv = {"unshare", "-r"};
  for (const auto &word :
       teskel::test::programCommand("handheld", {"--root", root.path().string(), "run", "--tap", "tk0", "--duration", "1"}))
    argv.push_back(word);
  ProgramResult r = runProgram(argv);
  EXPECT_EQ(r.exitCode, 1) << describe(r);
  EXPECT_TRUE(std::regex_match(r.err, std::regex("handheld: run: --tap tk0: no permission to [^\n]*\n"))) << r.err;
}

}  // namespace
