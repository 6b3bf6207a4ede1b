// handheld reg end to end: the built program run with a temporary root folder, its output,
// exit status and the store it leaves behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>

#include "teskel/registry_store.h"
#include "temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
  int status = -1;  // exit status; -1 when it did not finish in time
  std::string out, err;
};

// The program's command line: in a cross build CTest names an emulator in $TESKEL_EMULATOR,
// which has to run the program.
std::vector<std::string> command(const std::vector<std::string> &args) {
  std::vector<std::string> words;
  std::istringstream emulator(std::getenv("TESKEL_EMULATOR") ? std::getenv("TESKEL_EMULATOR") : "");
  for (std::string word; emulator >> word;) words.push_back(word);
  const char *dir = std::getenv("TESKEL_BINARY_DIR");
  words.push_back(std::string(dir && *dir ? dir : TESKEL_BINARY_DIR) + "/bin/handheld");
  words.insert(words.end(), args.begin(), args.end());
  return words;
}

// Runs the program with `args`, feeding `input` on stdin, and collects both outputs until it
// exits or the deadline passes (then it is killed).
// `commandLine`, when given, is run instead of the program itself.
Result run(const std::vector<std::string> &args, const std::string &input = "",
           const std::map<std::string, std::string> &env = {}, const std::vector<std::string> &commandLine = {}) {
  int in[2], out[2], err[2];
  if (pipe(in) || pipe(out) || pipe(err)) throw std::runtime_error("pipe failed");
  std::vector<std::string> words = commandLine.empty() ? command(args) : commandLine;
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    // The tests choose the root; an inherited TESKEL_ROOT must not leak into them.
    unsetenv("TESKEL_ROOT");
    for (const auto &[name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  // The inputs here are small; they fit in the pipe before the program reads them.
  if (!input.empty() && write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
    throw std::runtime_error("write to the program failed");
  close(in[1]);

  Result result;
  auto deadline = Clock::now() + std::chrono::seconds(60);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string *sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0 && Clock::now() < deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (poll(fds, 2, static_cast<int>(std::max<long long>(left, 1))) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (auto &fd : fds)
    if (fd.fd >= 0) close(fd.fd);
  int status = 0;
  if (open > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return result;
  }
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string crlf(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string utf16File(std::string_view text) {
  std::string out = "\xFF\xFE";
  for (unsigned char c : text) {  // the texts here are ASCII
    out += static_cast<char>(c);
    out += '\0';
  }
  return out;
}

// A shell command in a user and mount namespace of its own, where the test may mount.
bool namespacesWork() {
  static const bool works = std::system("unshare -rm true >/dev/null 2>&1") == 0;
  return works;
}

class HandheldRegTest : public ::testing::Test {
 protected:
  Result reg(std::vector<std::string> args, const std::string &input = "") {
    args.insert(args.begin(), {"--root", root(), "reg"});
    return run(args, input);
  }
  std::string root() const { return (dir.path() / "root").string(); }
  std::string file(const std::string &name, const std::string &text) const {
    auto path = dir.path() / name;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }
  static std::string slurp(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // A failure shows as exactly one line on stderr and nothing on stdout.
  static void expectOneLineFailure(const Result &r, const std::string &mentions) {
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.out, "");
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_NE(r.err.find(mentions), std::string::npos) << r.err;
  }

  teskel::testing::TempDir dir;
};

const char *const kInstalled = R"(REGEDIT4

[HKEY_LOCAL_MACHINE\Comm]

[HKEY_LOCAL_MACHINE\Comm\Teskel]
"DisplayName"="Teskel 802.11 \"PC Card\""
"Group"="NDIS"
"ImagePath"="Teskel.dll"

[HKEY_LOCAL_MACHINE\Comm\Teskel\Linkage]
"Route"=hex(7):54,65,73,6b,65,6c,31,00,00

[HKEY_LOCAL_MACHINE\Comm\Teskel1]

[HKEY_LOCAL_MACHINE\Comm\Teskel1\Parms]
@="defaults"
"SSID"="ANY"
"DSChannel"=dword:00000003
"DefaultKeys"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,\
  15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,\
  2e,2f,30
"Path"="C:\\Windows\\"

)";

TEST_F(HandheldRegTest, ImportThenExportGivesTheSameKeysAndValues) {
  Result imported = reg({"import", file("installed.reg", kInstalled)});
  EXPECT_EQ(imported.status, 0) << imported.err;
  EXPECT_EQ(imported.out + imported.err, "");

  Result exported = reg({"export"});
  EXPECT_EQ(exported.status, 0) << exported.err;
  EXPECT_EQ(exported.out, crlf(kInstalled));

  auto target = dir.path() / "parms.reg";
  Result toFile = reg({"export", "hklm\\COMM\\teskel1", target.string()});
  EXPECT_EQ(toFile.status, 0) << toFile.err;
  EXPECT_EQ(toFile.out, "");
  std::string whole = kInstalled;
  EXPECT_EQ(slurp(target), crlf("REGEDIT4\n\n" + whole.substr(whole.find("[HKEY_LOCAL_MACHINE\\Comm\\Teskel1]"))));
  {
    // REGEDIT4 multi-strings are 8-bit; the store holds them as UTF-16LE, as the platform does.
    teskel::registry::Store store(std::filesystem::path(root()) / teskel::registry::kStoreFileName);
    EXPECT_EQ(store.getValue("Comm\\Teskel\\Linkage", "Route")->data,
              (std::vector<std::uint8_t>{'T', 0, 'e', 0, 's', 0, 'k', 0, 'e', 0, 'l', 0, '1', 0, 0, 0, 0, 0}));
  }

  // Deletions from a file given on stdin.
  Result deleted = reg({"import", "-"}, "REGEDIT4\n[-HKLM\\Comm\\Teskel]\n[Comm\\Teskel1\\Parms]\n\"SSID\"=-\n");
  EXPECT_EQ(deleted.status, 0) << deleted.err;
  Result after = reg({"export", "Comm"});
  EXPECT_EQ(after.out.find("Comm\\Teskel]"), std::string::npos);
  EXPECT_EQ(after.out.find("Linkage"), std::string::npos);
  EXPECT_EQ(after.out.find("\"SSID\""), std::string::npos);
  EXPECT_NE(after.out.find("\"DSChannel\"=dword:00000003"), std::string::npos);
}

TEST_F(HandheldRegTest, SetQueryAndDelete) {
  const std::string key = "HKLM\\Comm\\Teskel1\\Parms";
  struct Case {
    const char *name, *type, *data, *shown;
  };
  const Case cases[] = {
      {"SSID", "REG_SZ", "Larkwell Café", "    SSID    REG_SZ    Larkwell Café"},
      {"DSChannel", "REG_DWORD", "11", "    DSChannel    REG_DWORD    0xb"},
      {"WepReq", "reg_dword", "0x10000", "    WepReq    REG_DWORD    0x10000"},
      {"DefaultKeys", "REG_BINARY", "0a0B0c", "    DefaultKeys    REG_BINARY    0A0B0C"},
      {"Route", "REG_MULTI_SZ", "Teskel1\\0Other", "    Route    REG_MULTI_SZ    Teskel1\\0Other"},
      {"", "REG_SZ", "default", "    (Default)    REG_SZ    default"},
  };
  std::string expected = "HKEY_LOCAL_MACHINE\\Comm\\Teskel1\\Parms\n";
  for (const auto &c : cases) {
    Result set = reg({"set", key, c.name, c.type, c.data});
    EXPECT_EQ(set.status, 0) << c.name << ": " << set.err;
    Result one = reg({"query", "comm\\teskel1\\parms", c.name});
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.out, "HKEY_LOCAL_MACHINE\\Comm\\Teskel1\\Parms\n" + std::string(c.shown) + "\n");
    expected += std::string(c.shown) + "\n";
  }
  ASSERT_EQ(reg({"set", key + "\\Sub", "x", "REG_DWORD", "1"}).status, 0);
  expected += "\nHKEY_LOCAL_MACHINE\\Comm\\Teskel1\\Parms\\Sub\n";
  EXPECT_EQ(reg({"query", key}).out, expected);

  // The bytes are those the driver and the utility read through the platform.
  {
    teskel::registry::Store store(std::filesystem::path(root()) / teskel::registry::kStoreFileName);
    EXPECT_EQ(store.getValue("Comm\\Teskel1\\Parms", "SSID")->data,
              (std::vector<std::uint8_t>{'L', 0, 'a', 0, 'r', 0, 'k', 0, 'w', 0, 'e', 0, 'l', 0, 'l', 0, ' ', 0,
                                         'C', 0, 'a', 0, 'f', 0, 0xE9, 0, 0, 0}));
    EXPECT_EQ(store.getValue("Comm\\Teskel1\\Parms", "WepReq")->data, (std::vector<std::uint8_t>{0, 0, 1, 0}));
    EXPECT_EQ(store.getValue("Comm\\Teskel1\\Parms", "Route")->data.size(), (8u + 6u + 1u) * 2);
  }

  // Setting again replaces the value's type and data.
  ASSERT_EQ(reg({"set", key, "dschannel", "REG_SZ", "six"}).status, 0);
  EXPECT_EQ(reg({"query", key, "DSCHANNEL"}).out,
            "HKEY_LOCAL_MACHINE\\Comm\\Teskel1\\Parms\n    DSChannel    REG_SZ    six\n");

  EXPECT_EQ(reg({"delete", key, "ssid"}).status, 0);
  expectOneLineFailure(reg({"query", key, "SSID"}), "SSID");
  EXPECT_EQ(reg({"delete", "Comm\\Teskel1"}).status, 0);
  expectOneLineFailure(reg({"query", key}), "HKEY_LOCAL_MACHINE\\Comm\\Teskel1\\Parms");
  EXPECT_EQ(reg({"query", "Comm"}).out, "HKEY_LOCAL_MACHINE\\Comm\n\n");
}

TEST_F(HandheldRegTest, FailuresExitNonZeroWithOneLineOnStderr) {
  ASSERT_EQ(reg({"set", "Comm\\Teskel1\\Parms", "SSID", "REG_SZ", "x"}).status, 0);
  const auto bad = file("bad.reg", "REGEDIT4\n\n[Comm]\n\"v\"=dword:xyz\n");
  // A file one byte over the bound, without a byte of it written.
  const auto large = (dir.path() / "large.reg").string();
  std::filesystem::resize_file(file("large.reg", ""), 16 * 1024 * 1024 + 1);
  struct Case {
    std::vector<std::string> args;
    std::string mentions;
    int status;  // 2 for a malformed argument or input, 1 for a well-formed request that failed
  } cases[] = {
      {{"query", "HKEY_LOCAL_MACHINE\\Comm\\Missing"}, "HKEY_LOCAL_MACHINE\\Comm\\Missing", 1},
      {{"query", "Comm\\Teskel1\\Parms", "Missing"}, "Missing", 1},
      {{"query", "HKCU\\Software"}, "HKCU", 2},
      {{"delete", "Comm\\Missing"}, "Comm\\Missing", 1},
      {{"delete", "Comm\\Teskel1\\Parms", "Missing"}, "Missing", 1},
      {{"delete", "HKLM"}, "HKEY_LOCAL_MACHINE", 1},
      {{"set", "Comm", "v", "REG_DWORD", "12x"}, "12x", 2},
      {{"set", "Comm", "v", "REG_DWORD", "4294967296"}, "4294967296", 2},
      {{"set", "Comm", "v", "REG_BINARY", "abc"}, "abc", 2},
      {{"set", "Comm", "v", "REG_BINARY", "zz"}, "zz", 2},
      {{"set", "Comm", "v", "REG_MULTI_SZ", "a\\0\\0b"}, "REG_MULTI_SZ", 2},
      {{"set", "Comm", "v", "REG_WHATEVER", "1"}, "REG_WHATEVER", 2},
      {{"set", "Comm", "v"}, "usage", 2},
      {{"import", bad}, "line 4", 2},
      {{"import", large}, "large.reg is too large", 2},
      {{"import", "/dev/zero"}, "/dev/zero is too large", 2},
      {{"import", (dir.path() / "absent.reg").string()}, "absent.reg", 1},
      {{"import", dir.path().string()}, dir.path().string() + ": it is a folder", 1},
      {{"set", "x]\n[-Comm", "", "REG_SZ", ""}, "key name \"x]\\n[-Comm\" holds a control character", 2},
      {{"set", "Comm\\" + std::string(256, 'n'), "v", "REG_SZ", ""}, "longer than 255 characters", 2},
      {{"export", "Comm\\Missing"}, "Comm\\Missing", 1},
      {{"export", "Comm", (dir.path() / "no" / "folder.reg").string()}, "folder.reg", 1},
      {{"frobnicate"}, "frobnicate", 2},
      {{"\x1b[2J"}, "unknown reg subcommand \\x1B[2J", 2},
      {{}, "subcommand", 2},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args.empty() ? std::string("(none)") : c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    Result r = reg(c.args);
    expectOneLineFailure(r, c.mentions);
    EXPECT_EQ(r.status, c.status) << r.err;
  }
  // None of the failed commands changed anything.
  EXPECT_EQ(reg({"export"}).out,
            crlf("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Comm]\n\n[HKEY_LOCAL_MACHINE\\Comm\\Teskel1]\n\n"
                 "[HKEY_LOCAL_MACHINE\\Comm\\Teskel1\\Parms]\n\"SSID\"=\"x\"\n\n"));
  expectOneLineFailure(run({"--root"}), "--root");
  expectOneLineFailure(run({"--bogus", "reg"}), "--bogus");
  expectOneLineFailure(run({}), "command");
}

// A Version 5.00 file as regedit writes it (UTF-16LE, CRLF, continuation lines, hex(2) and
// hex(7) in UTF-16LE, deletions, default values) imports, and export -> import -> export is stable.
TEST_F(HandheldRegTest, Version5FilesInUtf16ImportAndRoundTrip) {
  ASSERT_EQ(reg({"set", "Comm\\Old", "v", "REG_DWORD", "1"}).status, 0);
  ASSERT_EQ(reg({"set", "Comm\\Teskel1\\Parms", "Gone", "REG_DWORD", "1"}).status, 0);
  const std::string v5 = crlf(
      "Windows Registry Editor Version 5.00\n\n"
      "[-HKEY_LOCAL_MACHINE\\Comm\\Old]\n\n"
      "[HKEY_LOCAL_MACHINE\\Comm\\Teskel1\\Parms]\n"
      "@=\"defaults\"\n"
      "\"Gone\"=-\n"
      "\"DSChannel\"=dword:0000000b\n"
      "\"Path\"=hex(2):25,00,50,00,41,00,\\\n  54,00,48,00,25,00,00,00\n"
      "\"Route\"=hex(7):54,00,31,00,00,00,00,00\n");
  Result imported = reg({"import", file("v5.reg", utf16File(v5))});
  ASSERT_EQ(imported.status, 0) << imported.err;
  EXPECT_EQ(reg({"query", "Comm\\Teskel1\\Parms"}).out,
            "HKEY_LOCAL_MACHINE\\Comm\\Teskel1\\Parms\n"
            "    (Default)    REG_SZ    defaults\n"
            "    DSChannel    REG_DWORD    0xb\n"
            "    Path    REG_EXPAND_SZ    %PATH%\n"
            "    Route    REG_MULTI_SZ    T1\n\n");
  expectOneLineFailure(reg({"query", "Comm\\Old"}), "Comm\\Old");
  // All of it is ASCII, so the export is REGEDIT4; text beyond ASCII makes it Version 5.00.
  for (const char *ssid : {"plain", "Caf\xC3\xA9"}) {
    ASSERT_EQ(reg({"set", "Comm\\Teskel1\\Parms", "SSID", "REG_SZ", ssid}).status, 0);
    Result first = reg({"export", "Comm"});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out.starts_with("REGEDIT4\r\n"), std::string(ssid) == "plain");
    ASSERT_EQ(reg({"delete", "Comm"}).status, 0);
    ASSERT_EQ(reg({"import", "-"}, first.out).status, 0);
    EXPECT_EQ(reg({"export", "Comm"}).out, first.out) << ssid;
  }
}

// A store the user may only read: reads work, a write says the store is read-only. A full disk
// says so. Neither shows the library's internal words.
TEST_F(HandheldRegTest, ReadOnlyStoreAndFullDiskSayWhatIsWrong) {
  if (!namespacesWork() || std::getenv("TESKEL_EMULATOR")) GTEST_SKIP() << "no user namespaces here";
  ASSERT_EQ(reg({"set", "Comm\\Teskel1\\Parms", "SSID", "REG_SZ", "home"}).status, 0);
  const std::string program = command({}).back();
  const auto inNamespace = [&](const std::string &setup, const std::string &args) {
    std::string script = setup + " && exec " + program + " --root " + root() + " reg " + args;
    return run({}, "", {}, {"unshare", "-rm", "sh", "-c", script});
  };
  const std::string readOnly = "mount --bind " + root() + " " + root() + " && mount -o remount,bind,ro " + root();
  Result query = inNamespace(readOnly, "query Comm\\\\Teskel1\\\\Parms SSID");
  EXPECT_EQ(query.status, 0) << query.err;
  EXPECT_NE(query.out.find("SSID    REG_SZ    home"), std::string::npos) << query.out;
  Result exported = inNamespace(readOnly, "export Comm");
  EXPECT_EQ(exported.status, 0) << exported.err;
  Result set = inNamespace(readOnly, "set Comm v REG_DWORD 1");
  expectOneLineFailure(set, "read-only");

  const std::string full = "mount -t tmpfs -o size=256k,mode=0700 tmpfs " + root() + " && head -c 4M /dev/zero > " + root() +
                           "/filler 2>/dev/null; true";
  Result fresh = inNamespace(full, "set Comm v REG_BINARY 00");
  expectOneLineFailure(fresh, "disk is full");
  for (const Result &r : {set, fresh})
    for (const char *internal : {"prepare", "query:", "COMMIT", "BEGIN", "readonly database"})
      EXPECT_EQ(r.err.find(internal), std::string::npos) << r.err;
}

TEST_F(HandheldRegTest, ReadingCreatesNoRootFolder) {
  // An empty registry is what a root folder that is not there holds.
  EXPECT_EQ(reg({"query", "HKLM"}).out, "HKEY_LOCAL_MACHINE\n\n");
  EXPECT_EQ(reg({"export"}).out, "REGEDIT4\r\n\r\n");
  expectOneLineFailure(reg({"query", "Comm"}), "key not found");
  EXPECT_FALSE(std::filesystem::exists(root()));
}

TEST_F(HandheldRegTest, HelpNeedsNoRootFolder) {
  for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
           {"--help"}, {"--root", root(), "reg", "--help"}, {"--root", root(), "reg", "query", "--help"}}) {
    Result r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("reg query KEY [VALUE]"), std::string::npos) << r.out;
  }
  EXPECT_FALSE(std::filesystem::exists(root()));
}

TEST_F(HandheldRegTest, RootComesFromTheEnvironmentWhenNotGiven) {
  const auto fromEnv = dir.path() / "env-root", state = dir.path() / "state";
  Result r = run({"reg", "set", "K", "v", "REG_DWORD", "1"}, "", {{"TESKEL_ROOT", fromEnv.string()}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(fromEnv / "registry.db"));
  r = run({"reg", "set", "K", "v", "REG_DWORD", "1"}, "", {{"XDG_STATE_HOME", state.string()}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(state / "teskel" / "registry.db"));
  // --root wins over both.
  r = run({"--root=" + root(), "reg", "query", "K"}, "", {{"TESKEL_ROOT", fromEnv.string()}});
  EXPECT_NE(r.status, 0);
}

}  // namespace
