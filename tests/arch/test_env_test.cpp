// Tests of the test-side launch and scaling helpers, run natively and under the emulator alike:
// the tree's programs must start, talk and exit the same way in both.
#include "teskel/test_env.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using teskel::test::emulatorPrefix;
using teskel::test::programCommand;
using teskel::test::runProgram;
using teskel::test::scaled;
using teskel::test::shellCommand;
using teskel::test::stressScale;

// Sets or clears one environment variable for a scope and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(TestEnv, EmulatorPrefixSplitsAtBlanks) {
  struct Case {
    std::optional<std::string> value;
    std::vector<std::string> words;
  };
  const Case cases[] = {
      {std::nullopt, {}},
      {"", {}},
      {"   \t ", {}},
      {"qemu-arm", {"qemu-arm"}},
      {"qemu-arm -L /usr/arm-linux-gnueabihf", {"qemu-arm", "-L", "/usr/arm-linux-gnueabihf"}},
      {"  /opt/emu\t-x  y \n", {"/opt/emu", "-x", "y"}},
  };
  for (const Case& c : cases) {
    ScopedEnv env("TESKEL_EMULATOR", c.value);
    EXPECT_EQ(emulatorPrefix(), c.words) << "TESKEL_EMULATOR=" << c.value.value_or("(unset)");
  }
}

TEST(TestEnv, ProgramCommandPutsTheEmulatorFirst) {
  ScopedEnv dir("TESKEL_BINARY_DIR", "/b");
  {
    ScopedEnv env("TESKEL_EMULATOR", "emu -L /x");
    EXPECT_EQ(programCommand("handheld", {"reg", "query"}),
              (std::vector<std::string>{"emu", "-L", "/x", "/b/bin/handheld", "reg", "query"}));
  }
  {
    ScopedEnv env("TESKEL_EMULATOR", std::nullopt);
    EXPECT_EQ(programCommand("Pemblo"), (std::vector<std::string>{"/b/bin/Pemblo"}));
  }
}

// The quoting is checked by a real shell: every word must come back exactly as it went in.
TEST(TestEnv, ShellCommandSurvivesTheShell) {
  const std::vector<std::string> words = {"plain", "two words", "it's", "$HOME", "a\"b", "`x`", "",
                                          "back\\slash"};
  std::vector<std::string> argv = {"printf", "[%s]\\n"};
  argv.insert(argv.end(), words.begin(), words.end());
  auto result = runProgram({"/bin/sh", "-c", shellCommand(argv)});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  std::string expected;
  for (const std::string& w : words) expected += "[" + w + "]\n";
  EXPECT_EQ(result.out, expected);
}

TEST(TestEnv, StressScaleReadsAPositiveFactor) {
  struct Case {
    std::optional<std::string> value;
    double scale;  // 0: the value must be refused
  };
  const Case cases[] = {
      {std::nullopt, 1.0}, {"", 1.0},   {"0.1", 0.1}, {"2", 2.0},   {"0", 0},    {"-1", 0},
      {"abc", 0},          {"0.5x", 0}, {"nan", 0},   {"inf", 0},   {"1e999", 0},
  };
  for (const Case& c : cases) {
    ScopedEnv env("TESKEL_STRESS_SCALE", c.value);
    SCOPED_TRACE("TESKEL_STRESS_SCALE=" + c.value.value_or("(unset)"));
    if (c.scale == 0)
      EXPECT_THROW(stressScale(), std::invalid_argument);
    else
      EXPECT_DOUBLE_EQ(stressScale(), c.scale);
  }
}

TEST(TestEnv, ScaledCountsNeverVanish) {
  struct Case {
    const char* scale;
    std::size_t count, expected;
  };
  const Case cases[] = {
      {"1", 1000, 1000}, {"0.1", 1000, 100}, {"0.1", 5, 1},    {"0.1", 15, 2},
      {"0.01", 1, 1},    {"0.1", 0, 0},      {"3", 7, 21},
  };
  for (const Case& c : cases) {
    ScopedEnv env("TESKEL_STRESS_SCALE", c.scale);
    EXPECT_EQ(scaled(c.count), c.expected) << "scale " << c.scale << " count " << c.count;
  }
}

// The probe is built for the same processor as this test: started the way tests start programs,
// it must report this test's own pointer width and byte order. Natively that is a plain exec;
// in a cross build it works only if the emulator is put in front.
TEST(ProgramLaunch, ProgramsRunForTheTestsOwnArchitecture) {
  auto result = runProgram(programCommand("arch_probe"));
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const std::uint16_t word = 1;
  const bool little = *reinterpret_cast<const unsigned char*>(&word) == 1;
  EXPECT_EQ(result.out, "pointer-bytes=" + std::to_string(sizeof(void*)) +
                            "\nbyte-order=" + (little ? "little" : "big") + "\n");
  EXPECT_EQ(result.err, "");
}

TEST(ProgramLaunch, InputOutputAndStatusPassThrough) {
  std::string input(100000, '\0');
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<char>('a' + i % 26);
  auto echoed = runProgram(programCommand("arch_probe", {"--echo"}), input);
  ASSERT_EQ(echoed.exitCode, 0) << echoed.err;
  ASSERT_GE(echoed.out.size(), input.size());
  EXPECT_EQ(echoed.out.substr(echoed.out.size() - input.size()), input);

  auto failed = runProgram(programCommand("arch_probe", {"--exit", "7"}));
  EXPECT_EQ(failed.exitCode, 7);
  EXPECT_EQ(failed.err, "arch_probe: exiting with status 7 as asked\n");

  auto refused = runProgram(programCommand("arch_probe", {"--exit", "300"}));
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_NE(refused.err.find("0 to 255"), std::string::npos) << refused.err;

  // A program that stops reading early must not break the caller.
  auto ignored = runProgram(programCommand("arch_probe"), std::string(1 << 20, 'x'));
  EXPECT_EQ(ignored.exitCode, 0) << ignored.err;
}

// Tests fork helpers of their own (cross-process registry users). Under the emulator the child
// runs the loader's and the C library's fork handlers, which crash when the two do not match.
TEST(ProgramLaunch, ForkedChildrenRunAndExit) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::vector<int> memory(100000, 1);  // the child's allocator must work too
    _exit(memory[99999] == 1 ? 42 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 42);
}

TEST(ProgramLaunch, AMissingProgramIsReported) {
  EXPECT_THROW(runProgram({"/nonexistent/teskel-no-such-program"}), std::runtime_error);
}

}  // namespace
