// handheld run end to end: the built program boots a handheld in a temporary root folder with the
// built driver library; its stage lines, error-log entries, controller dump, exit status and the
// registry it leaves behind. The signal cases wait on the wall clock, each with a deadline.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "child_process.h"
#include "teskel/controller.h"
#include "teskel/temp_dir.h"
#include "teskel/test_env.h"

namespace {

namespace fs = std::filesystem;
using teskel::test::ProgramResult;

// A root folder of its own for every run.
struct TempRoot : teskel::test::TempDir {
  TempRoot() : TempDir("teskel-run") {}
};

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

bool hasLine(const std::string &text, const std::string &pattern) {
  std::regex re(pattern);
  for (const auto &line : lines(text))
    if (std::regex_search(line, re)) return true;
  return false;
}

// The value lines of each key of a REGEDIT4 export (CRLF line ends), in order.
std::map<std::string, std::vector<std::string>> exportedKeys(const std::string &text) {
  std::map<std::string, std::vector<std::string>> keys;
  std::string current;
  for (auto line : lines(text)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
      current = line.substr(1, line.size() - 2);
      keys[current];
    } else if (!current.empty() && !line.empty()) {
      keys[current].push_back(line);
    }
  }
  return keys;
}

std::string describe(const ProgramResult &r) { return "stdout:\n" + r.out + "stderr:\n" + r.err; }

class HandheldRunTest : public ::testing::Test {
 protected:
  ProgramResult handheld(std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", root.path().string()});
    return teskel::test::runProgram(teskel::test::programCommand("handheld", args));
  }
  ProgramResult run(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"run", "--virtual", "--duration", "2"};
    args.insert(args.end(), extra.begin(), extra.end());
    return handheld(args);
  }
  // A first run that installs the driver's keys, so that a test can change them.
  void install() {
    auto r = run();
    ASSERT_EQ(r.exitCode, 0) << describe(r);
  }
  void setParm(const std::string &name, const std::string &type, const std::string &data) {
    auto r = handheld({"reg", "set", "HKLM\\Comm\\Teskel1\\Parms", name, type, data});
    ASSERT_EQ(r.exitCode, 0) << describe(r);
  }

  TempRoot root;
};

const char *const kSocketKey = "HKEY_LOCAL_MACHINE\\Drivers\\PCMCIA\\Halden-IEEE_802.11_Adapter";
const char *const kStationAddress = "[0-9A-F]{2}(:[0-9A-F]{2}){5}";

TEST_F(HandheldRunTest, FirstRunInstallsBringsTheAdapterUpAndRemovesItCleanly) {
  auto r = run();
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_EQ(r.err, "");
  auto out = lines(r.out);
  ASSERT_GE(out.size(), 4u) << r.out;
  EXPECT_EQ(out[0], "installed: Drivers\\PCMCIA\\Halden-IEEE_802.11_Adapter (Install_Driver of " +
                        (fs::path(teskel::test::binaryDir()) / "lib" / "libTeskel.so").string() + ")");
  EXPECT_TRUE(out[1].starts_with("driver loaded: Teskel from ")) << out[1];
  EXPECT_TRUE(std::regex_search(out[2], std::regex(std::string("^adapter up: Teskel1 at ports 0x300-0x33F interrupt 15, "
                                                               "station address ") + kStationAddress)))
      << out[2];
  EXPECT_EQ(out.back(), "card removed: Teskel1 halted, nothing left held");
  EXPECT_FALSE(hasLine(r.out, "^error log:|^NDIS verifier:|^controller violation:")) << r.out;
  EXPECT_TRUE(fs::exists(root.path() / "card-Teskel1.nv"));

  auto exported = handheld({"reg", "export"});
  ASSERT_EQ(exported.exitCode, 0) << describe(exported);
  auto keys = exportedKeys(exported.out);
  EXPECT_EQ(keys[kSocketKey], (std::vector<std::string>{"\"Dll\"=\"ndis.dll\"", "\"Prefix\"=\"NDS\"",
                                                        "\"Miniport\"=\"Teskel\"", "\"Index\"=dword:00000001"}));
  const std::vector<std::string> image = {"\"DisplayName\"=\"Teskel 802.11 Wireless LAN Driver\"", "\"Group\"=\"NDIS\"",
                                          "\"ImagePath\"=\"Teskel.dll\""};
  EXPECT_EQ(keys["HKEY_LOCAL_MACHINE\\Comm\\Teskel"], image);
  EXPECT_EQ(keys["HKEY_LOCAL_MACHINE\\Comm\\Teskel1"], image);
  EXPECT_EQ(keys["HKEY_LOCAL_MACHINE\\Comm\\Teskel\\Linkage"],
            std::vector<std::string>{"\"Route\"=hex(7):54,65,73,6b,65,6c,31,00,00"});

  const std::vector<std::string> parms = {
      "\"BusNumber\"=dword:00000000",   "\"BusType\"=dword:00000008",
      "\"InterruptNumber\"=dword:0000000f", "\"IoBaseAddress\"=dword:00000300",
      "\"CardType\"=dword:00000002",    "\"NetworkType\"=dword:00000001",
      "\"RTSThresh\"=dword:00000980",   "\"FragThresh\"=dword:000009c4",
      "\"SSID\"=\"any\"",               "\"StationName\"=\"Client\"",
      "\"TxRate\"=dword:0000000f",      "\"VendorDesc\"=\"Halden IEEE 802.11 Adapter\"",
      "\"PSMode\"=dword:00000001",      "\"PSLevel\"=dword:00000000",
      "\"Encapsulation\"=dword:00000002", "\"WepReq\"=dword:00000000",
      "\"DefaultKeyId\"=dword:00000000", "DefaultKeys",
      "\"ATIMWindow\"=dword:00000000",  "\"ListenInterval\"=dword:00000003",
      "\"DSChannel\"=dword:00000001"};
  const auto &installed = keys["HKEY_LOCAL_MACHINE\\Comm\\Teskel1\\Parms"];
  ASSERT_GE(installed.size(), parms.size()) << exported.out;
  for (std::size_t i = 0; i < parms.size(); ++i) {
    if (parms[i] == "DefaultKeys") {
      EXPECT_TRUE(std::regex_match(installed[i], std::regex("\"DefaultKeys\"=hex:[0-9a-f]{2}(,[0-9a-f]{2}){19}")))
          << installed[i];
    } else {
      EXPECT_EQ(installed[i], parms[i]);
    }
  }
  // Only the driver's status values may follow the installed ones.
  for (std::size_t i = parms.size(); i < installed.size(); ++i)
    EXPECT_TRUE(std::regex_match(installed[i], std::regex("\"(LinkState|bytein|byteout)\"=dword:[0-9a-f]{8}")))
        << installed[i];
}

TEST_F(HandheldRunTest, ALaterRunFindsTheKeysAndDoesNotInstallAgain) {
  install();
  setParm("StationName", "REG_SZ", "Bench");
  auto r = run();
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_EQ(lines(r.out).front(), "found: Drivers\\PCMCIA\\Halden-IEEE_802.11_Adapter (installed before)");
  EXPECT_FALSE(hasLine(r.out, "^installed:")) << r.out;
  auto query = handheld({"reg", "query", "HKLM\\Comm\\Teskel1\\Parms", "StationName"});
  EXPECT_TRUE(hasLine(query.out, "StationName +REG_SZ +Bench$")) << query.out;
}

// The installation as a later start finds it: every key the driver installs with its values, the
// driver's own status values left out.
std::map<std::string, std::vector<std::string>> installedKeys(const std::string &exported) {
  auto keys = exportedKeys(exported);
  for (auto &[key, values] : keys)
    std::erase_if(values, [](const std::string &v) { return std::regex_search(v, std::regex("^\"(LinkState|bytein|byteout)\"=")); });
  return keys;
}

TEST_F(HandheldRunTest, AFirstStartKilledAtAnyRegistryWriteLeavesAHandheldThatStartsWhole) {
  install();
  const auto whole = installedKeys(handheld({"reg", "export"}).out);
  ASSERT_TRUE(whole.count(kSocketKey)) << "no installation to compare with";
  int killed = 0;
  for (int write = 1;; ++write) {
    SCOPED_TRACE("killed at write " + std::to_string(write));
    TempRoot fresh;
    setenv("TESKEL_REGISTRY_KILL_AT_WRITE", std::to_string(write).c_str(), 1);
    auto first = teskel::test::runProgram(teskel::test::programCommand(
        "handheld", {"--root", fresh.path().string(), "run", "--virtual", "--duration", "1"}));
    unsetenv("TESKEL_REGISTRY_KILL_AT_WRITE");
    if (first.exitCode == 0) break;  // past the start's last write
    ASSERT_EQ(first.exitCode, 128 + SIGKILL) << describe(first);
    ++killed;
    auto again = teskel::test::runProgram(teskel::test::programCommand(
        "handheld", {"--root", fresh.path().string(), "run", "--virtual", "--duration", "0"}));
    ASSERT_EQ(again.exitCode, 0) << describe(again);
    EXPECT_TRUE(hasLine(again.out, "^adapter up: Teskel1 ")) << again.out;
    auto exported = teskel::test::runProgram(
        teskel::test::programCommand("handheld", {"--root", fresh.path().string(), "reg", "export"}));
    EXPECT_EQ(installedKeys(exported.out), whole);
  }
  // Every value of the installation is a write of its own.
  EXPECT_GT(killed, 32);
}

TEST_F(HandheldRunTest, TheRootFolderAndWhatARunLeavesInItAreItsUsersAlone) {
  const fs::path fresh = root.path() / "made" / "here";
  mode_t previous = umask(0);
  auto r = teskel::test::runProgram(
      teskel::test::programCommand("handheld", {"--root", fresh.string(), "run", "--virtual", "--duration", "2"}));
  umask(previous);
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  for (const fs::path &folder : {fresh.parent_path(), fresh})
    EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << folder;
  std::size_t files = 0;
  for (const auto &entry : fs::directory_iterator(fresh)) {
    ++files;
    EXPECT_EQ(fs::symlink_status(entry.path()).permissions(), fs::perms::owner_read | fs::perms::owner_write)
        << entry.path();
  }
  EXPECT_GE(files, 3u);  // the store, the card's memory, the lock

  // A link planted as the lock is refused, and what it points at is left as it was.
  const fs::path target = root.path() / "target";
  { std::ofstream(target) << "precious\n"; }
  fs::remove(fresh / "handheld.lock");
  fs::create_symlink(target, fresh / "handheld.lock");
  r = teskel::test::runProgram(
      teskel::test::programCommand("handheld", {"--root", fresh.string(), "run", "--virtual", "--duration", "1"}));
  EXPECT_EQ(r.exitCode, 1) << describe(r);
  EXPECT_NE(r.err.find("handheld.lock is a symbolic link"), std::string::npos) << r.err;
  std::ifstream in(target);
  std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(kept, "precious\n");
}

struct SsidCase {
  const char *ssid;
  const char *record;  // the desired SSID record as the controller dump shows it
};

class HandheldRunSsidTest : public HandheldRunTest, public ::testing::WithParamInterface<SsidCase> {};

TEST_P(HandheldRunSsidTest, TheControllerDumpShowsTheSsidRecordTheDriverWrote) {
  install();
  setParm("SSID", "REG_SZ", GetParam().ssid);
  auto r = run({"--show-controller"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_TRUE(hasLine(r.out, "^controller of Teskel1:$")) << r.out;
  EXPECT_TRUE(hasLine(r.out, std::string("^  desired SSID +") + GetParam().record + "$")) << r.out;
  // The dump comes before the card is taken out.
  EXPECT_EQ(lines(r.out).back(), "card removed: Teskel1 halted, nothing left held");
}

INSTANTIATE_TEST_SUITE_P(Ssids, HandheldRunSsidTest,
                         ::testing::Values(SsidCase{"Lab", "\"Lab\" \\(length 3\\)"},
                                           SsidCase{"ANY", "\"\" \\(length 0\\)"},
                                           SsidCase{"aNy", "\"\" \\(length 0\\)"},
                                           SsidCase{"Harbor", "\"Harbor\" \\(length 6\\)"}),
                         [](const auto &info) { return std::string(info.param.ssid); });

struct WepCase {
  const char *name;
  std::vector<std::string> faults;
  const char *keys[4];
  const char *flags;
  const char *support;  // what an answering driver says of WEP support
};

class HandheldRunWepTest : public HandheldRunTest, public ::testing::WithParamInterface<WepCase> {};

TEST_P(HandheldRunWepTest, KeysCommittedUntilTheFirstThatDoesNotReadBack) {
  const auto &c = GetParam();
  install();
  setParm("DefaultKeys", "REG_BINARY", "1112131415212223242531323334354142434445");
  std::vector<std::string> args = {"--show-controller"};
  for (const auto &f : c.faults) args.insert(args.end(), {"--fault", f});
  auto r = run(args);
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  for (int k = 0; k < 4; ++k) {
    EXPECT_TRUE(hasLine(r.out, "^  WEP key " + std::to_string(k + 1) + " +" + c.keys[k] + " \\(pad 00\\)$"))
        << "key " << k + 1 << "\n" << r.out;
  }
  EXPECT_TRUE(hasLine(r.out, std::string("^  WEP flags +") + c.flags)) << r.out;
  // A driver that answers the MIB request must agree; one that does not yet says so.
  std::smatch m;
  std::string out = r.out;
  ASSERT_TRUE(std::regex_search(out, m, std::regex("adapter state: Teskel1 WEP (supported|unsupported|support not reported)"))) << r.out;
  if (m[1].str() != "support not reported") {
    EXPECT_EQ(m[1].str(), c.support);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Wep, HandheldRunWepTest,
    // "WepReq" is 0: neither configuration nor the status timer switches WEP on.
    ::testing::Values(WepCase{"Healthy", {}, {"11 12 13 14 15", "21 22 23 24 25", "31 32 33 34 35", "41 42 43 44 45"},
                              "0x0000", "supported"},
                      WepCase{"Key3NeverReadsBack", {"rid-readback=0xFC26"},
                              {"11 12 13 14 15", "21 22 23 24 25", "00 00 00 00 00", "00 00 00 00 00"},
                              "0x0000", "unsupported"}),
    [](const auto &info) { return std::string(info.param.name); });

struct FailureCase {
  const char *name;
  std::vector<std::string> faults;
  std::pair<const char *, std::uint32_t> parm;  // a REG_DWORD to set first, when named
  const char *entry;                            // the error-log line
};

class HandheldRunFailureTest : public HandheldRunTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(HandheldRunFailureTest, AnAdapterThatDoesNotComeUpEndsTheRunNonZero) {
  const auto &c = GetParam();
  install();
  if (c.parm.first) setParm(c.parm.first, "REG_DWORD", std::to_string(c.parm.second));
  std::vector<std::string> args;
  for (const auto &f : c.faults) args.insert(args.end(), {"--fault", f});
  auto r = run(args);
  EXPECT_EQ(r.exitCode, 1) << describe(r);
  EXPECT_TRUE(hasLine(r.out, std::string("^error log: Teskel1: error ") + c.entry + "$")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^adapter failed: Teskel1: MiniportInitialize returned 0x[0-9A-F]{8}$")) << r.out;
  EXPECT_EQ(lines(r.out).back(), "card removed, nothing left held");
  ASSERT_EQ(lines(r.err).size(), 1u) << r.err;
  EXPECT_TRUE(r.err.starts_with("handheld: run: Teskel1 did not come up (MiniportInitialize returned 0x")) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Failures, HandheldRunFailureTest,
    ::testing::Values(FailureCase{"CommandBusy", {"command-busy"}, {nullptr, 0}, "0xC000138B"},
                      FailureCase{"InitializeNeverCompletes", {"command-timeout=0x0000"}, {nullptr, 0}, "0xC000138B"},
                      FailureCase{"UnsupportedBus", {}, {"BusType", 5}, "0xC0001391 \\[25\\]"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(HandheldRunTest, WhatAMisbehavingDriverDoesIsPrintedAndFailsTheRun) {
  // The socket key of the card names a stand-in miniport that misuses the card and leaks.
  const std::string socketKey = "HKLM\\Drivers\\PCMCIA\\Halden-IEEE_802.11_Adapter";
  for (const std::vector<std::string> &set : std::vector<std::vector<std::string>>{
           {socketKey, "Dll", "REG_SZ", "ndis.dll"},
           {socketKey, "Miniport", "REG_SZ", "Leaky"},
           {"HKLM\\Comm\\Leaky", "ImagePath", "REG_SZ", "pccard_leaky_driver.dll"},
           {"HKLM\\Comm\\Leaky\\Linkage", "Route", "REG_MULTI_SZ", "Leaky1"},
           {"HKLM\\Comm\\Leaky1\\Parms", "IoBaseAddress", "REG_DWORD", "0x300"},
           {"HKLM\\Comm\\Leaky1\\Parms", "InterruptNumber", "REG_DWORD", "15"}}) {
    std::vector<std::string> args = {"reg", "set"};
    args.insert(args.end(), set.begin(), set.end());
    auto r = handheld(args);
    ASSERT_EQ(r.exitCode, 0) << describe(r);
  }
  auto r = run();
  // (Under the leak checker the exit status is its own, and it adds to stderr.)
  EXPECT_NE(r.exitCode, 0) << describe(r);
  EXPECT_TRUE(hasLine(r.out, "^adapter up: Leaky1 at ports 0x300-0x33F interrupt 15")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^controller violation: Leaky1: command-while-busy: ")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^NDIS verifier: Leaky1: port range 0x300-0x33F still registered after MiniportHalt$"))
      << r.out;
  EXPECT_TRUE(lines(r.out).back().starts_with("card removed: Leaky1 halted; still held: ")) << r.out;
  EXPECT_TRUE(r.err.starts_with("handheld: run: the driver left 4 thing(s) held after removal\n")) << r.err;
}

TEST_F(HandheldRunTest, HelpListsEveryFaultOfTheController) {
  auto r = teskel::test::runProgram(teskel::test::programCommand("handheld", {"run", "--help"}));
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  for (const auto &fault : teskel::sim::faultCatalogue())
    EXPECT_NE(r.out.find(fault.syntax), std::string::npos) << fault.syntax;
  EXPECT_TRUE(fs::is_empty(root.path())) << "--help touches no root folder";
  auto top = teskel::test::runProgram(teskel::test::programCommand("handheld", {"--help"}));
  EXPECT_TRUE(hasLine(top.out, "^  run: ")) << top.out;
}

struct UsageCase {
  const char *name;
  std::vector<std::string> args;
  int exitCode;
  std::string message;
};

class HandheldRunUsageTest : public HandheldRunTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(HandheldRunUsageTest, BadCallsFailWithOneLineAndInstallNothing) {
  const auto &c = GetParam();
  TempRoot empty;
  std::vector<std::string> args = {"run", "--virtual", "--duration", "1"};
  for (auto a : c.args) {
    if (a == "EMPTY") a = empty.path().string();
    args.push_back(a);
  }
  auto r = handheld(args);
  EXPECT_EQ(r.exitCode, c.exitCode) << describe(r);
  ASSERT_EQ(lines(r.err).size(), 1u) << r.err;
  EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  EXPECT_LT(r.err.size(), 300u);
  auto exported = handheld({"reg", "export"});
  EXPECT_FALSE(hasLine(exported.out, "Teskel")) << exported.out;
}

INSTANTIATE_TEST_SUITE_P(
    Usage, HandheldRunUsageTest,
    ::testing::Values(UsageCase{"UnknownFault", {"--fault", "no-such-fault"}, 2, "--fault no-such-fault: "},
                      UsageCase{"FaultWithoutArgument", {"--fault"}, 2, "--fault needs a value"},
                      UsageCase{"DurationNotANumber", {"--duration", "soon"}, 2, "--duration takes a number of seconds"},
                      UsageCase{"NegativeDuration", {"--duration", "-1"}, 2, "--duration takes a number of seconds"},
                      UsageCase{"StrayArgument", {"now"}, 2, "unexpected argument now"},
                      // What a terminal would take as a command is shown escaped; a huge argument cut.
                      UsageCase{"EscapeInArgument", {"\x1b]0;owned\x07"}, 2, "unexpected argument \\x1B]0;owned\\x07 (see"},
                      UsageCase{"HugeArgument", {std::string(100000, 'a')}, 2, std::string(80, 'a') + "..."},
                      UsageCase{"DriverPathMissing", {"--driver-path", "/nonexistent/teskel"}, 1, "is not a folder"},
                      UsageCase{"DriverPathWithoutDriver", {"--driver-path", "EMPTY"}, 1,
                                "handheld: run: no driver image Teskel.dll to install the card with"}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- signals: the program runs on the wall clock until told to stop ------------------------------

class HandheldRunSignalTest : public HandheldRunTest, public ::testing::WithParamInterface<int> {};

TEST_P(HandheldRunSignalTest, RemovesTheCardCleanlyAndExitsZero) {
  teskel::test::ChildProcess program(teskel::test::programCommand("handheld", {"--root", root.path().string(), "run"}));
  ASSERT_TRUE(program.waitOutput([](const std::string &out) { return hasLine(out, "^adapter up: Teskel1"); },
                                 std::chrono::seconds(60)))
      << program.output();
  program.sendSignal(GetParam());
  int status = program.waitExit(std::chrono::seconds(60)).value_or(-1);
  EXPECT_EQ(status, 0) << program.output();
  EXPECT_EQ(lines(program.output()).back(), "card removed: Teskel1 halted, nothing left held") << program.output();
}

INSTANTIATE_TEST_SUITE_P(Signals, HandheldRunSignalTest, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto &info) { return std::string(info.param == SIGINT ? "Interrupt" : "Terminate"); });


// ---- the radio world: joining, traffic, WEP, captures ------------------------------------------

// Data frames in a capture, and how many of them are protected.
struct CapturedData {
  int linkType = 0;
  std::size_t data = 0, protectedData = 0;
};

CapturedData readCapture(const fs::path &path) {
  CapturedData c;
  char error[PCAP_ERRBUF_SIZE];
  pcap_t *p = pcap_open_offline(path.c_str(), error);
  if (!p) throw std::runtime_error(error);
  c.linkType = pcap_datalink(p);
  pcap_pkthdr *h = nullptr;
  const u_char *bytes = nullptr;
  while (pcap_next_ex(p, &h, &bytes) == 1) {
    if (h->caplen < 4) continue;
    std::size_t radiotap = bytes[2] | bytes[3] << 8;
    if (h->caplen < radiotap + 2 || (bytes[radiotap] & 0x0C) != 0x08) continue;
    ++c.data;
    if (bytes[radiotap + 1] & 0x40) ++c.protectedData;
  }
  pcap_close(p);
  return c;
}

// "echo: N requests, M replies received" -> M.
long repliesIn(const std::string &out) {
  std::smatch m;
  for (const auto &line : lines(out))
    if (std::regex_search(line, m, std::regex("^summary: echo: ([0-9]+) requests, ([0-9]+) replies received")))
      return std::stol(m[2]);
  return -1;
}

class HandheldRadioRunTest : public HandheldRunTest {
 protected:
  ProgramResult ping(std::vector<std::string> extra, const char *duration = "10") {
    std::vector<std::string> args = {"run", "--virtual", "--duration", duration, "--traffic", "ping"};
    args.insert(args.end(), extra.begin(), extra.end());
    return handheld(args);
  }
  std::string parm(const std::string &name) {
    return handheld({"reg", "query", "HKLM\\Comm\\Teskel1\\Parms", name}).out;
  }
  void wep(const std::string &key1) {
    setParm("WepReq", "REG_DWORD", "1");
    setParm("DefaultKeys", "REG_BINARY", key1 + std::string(30, '0'));
  }
};

TEST_F(HandheldRadioRunTest, PingJoinsHarborGetsRepliesAndTheDriverPublishesTheLink) {
  auto r = ping({});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_GT(repliesIn(r.out), 50) << r.out;  // ten a second, after joining
  EXPECT_TRUE(hasLine(r.out, "^summary: .*joined Harbor")) << r.out;
  // One status line per second of handheld time, with the link and the network.
  std::size_t statusLines = 0;
  for (const auto &line : lines(r.out)) statusLines += std::regex_search(line, std::regex("^\\[[0-9]+\\.0 s\\] link "));
  EXPECT_EQ(statusLines, 10u) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^\\[10\\.0 s\\] link associated, Harbor \\(02:48:41:52:42:01, channel 6\\), sent [1-9]"))
      << r.out;
  EXPECT_TRUE(hasLine(parm("LinkState"), "LinkState +REG_DWORD +0x0*1$")) << parm("LinkState");
  EXPECT_TRUE(hasLine(parm("bytein"), "bytein +REG_DWORD +0x0*[1-9a-fA-F][0-9a-fA-F]*$")) << parm("bytein");
  EXPECT_TRUE(hasLine(parm("byteout"), "byteout +REG_DWORD +0x0*[1-9a-fA-F][0-9a-fA-F]*$")) << parm("byteout");
}

struct WepRunCase {
  const char *name;
  std::vector<std::string> world;  // --ssid, --wep ...
  const char *ssid;                // the desired SSID in the registry, or null
  const char *key1;                // key 1 in the registry
  const char *joined;
  bool replies;
};

class HandheldWepRunTest : public HandheldRadioRunTest, public ::testing::WithParamInterface<WepRunCase> {};

TEST_P(HandheldWepRunTest, RepliesOnlyWithTheAccessPointsKeyAndTheCaptureHoldsProtectedFrames) {
  const auto &c = GetParam();
  install();
  if (c.ssid) setParm("SSID", "REG_SZ", c.ssid);
  wep(c.key1);
  const fs::path capture = root.path() / "air.pcap";
  std::vector<std::string> args = c.world;
  args.insert(args.end(), {"--pcap", capture.string()});
  auto r = ping(args);
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_TRUE(hasLine(r.out, std::string("^summary: .*joined ") + c.joined)) << r.out;
  if (c.replies) EXPECT_GT(repliesIn(r.out), 20) << r.out;
  else EXPECT_EQ(repliesIn(r.out), 0) << r.out;
  auto captured = readCapture(capture);
  EXPECT_EQ(captured.linkType, 127);
  EXPECT_GT(captured.protectedData, 0u);
  EXPECT_TRUE(hasLine(r.out, "^summary: capture .*air\\.pcap: [1-9][0-9]* frames$")) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, HandheldWepRunTest,
    ::testing::Values(WepRunCase{"HarborWithTheSameKey", {"--wep", "0A1B2C3D4E"}, nullptr, "0A1B2C3D4E", "Harbor", true},
                      WepRunCase{"HarborWithAnotherKey", {"--wep", "0A1B2C3D4E"}, nullptr, "0102030405", "Harbor", false},
                      WepRunCase{"VaultByItsSsid", {}, "Vault", "1A2B3C4D5E", "Vault", true}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(HandheldRadioRunTest, OnOpenHarborNothingIsProtected) {
  const fs::path capture = root.path() / "open.pcap";
  auto r = ping({"--pcap", capture.string()}, "3");
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  auto captured = readCapture(capture);
  EXPECT_GT(captured.data, 20u);
  // Not even before the driver's first status tick, when only configuration has spoken.
  EXPECT_EQ(captured.protectedData, 0u);
}

TEST_F(HandheldRadioRunTest, UdpGivesAThroughputNearTheAirsLimit) {
  auto r = handheld({"run", "--virtual", "--duration", "5", "--traffic", "udp"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  std::smatch m;
  double mbits = 0;
  for (const auto &line : lines(r.out))
    if (std::regex_search(line, m, std::regex("^summary: udp: [0-9]+ datagrams of 1472 bytes, [0-9]+ payload bytes, "
                                              "([0-9.]+) Mbit/s")))
      mbits = std::stod(m[1]);
  // 1472 payload bytes a frame, each taking DIFS, 15.5 slots of backoff on average, 6.336 ms on
  // the air, SIFS and the acknowledgement: 1.693 Mbit/s, less what the beacons take.
  EXPECT_GT(mbits, 1.693 * 0.95) << r.out;
  EXPECT_LT(mbits, 1.70) << r.out;
}

TEST_F(HandheldRadioRunTest, AnAccessPointSwitchedOffTakesTheLinkOutOfRange) {
  auto r = handheld({"run", "--virtual", "--duration", "6", "--ap", "Cove,channel=2", "--at", "3:Cove:off"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_TRUE(hasLine(r.out, "^\\[2\\.0 s\\] link associated, Cove \\(02:43:4F:56:45:01, channel 2\\)")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^\\[6\\.0 s\\] link (out of range|searching)")) << r.out;
}

TEST_F(HandheldRadioRunTest, HelpNamesTheDefaultWorldAndItsAddresses) {
  auto r = handheld({"run", "--help"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_TRUE(hasLine(r.out, "\"Harbor\": access point, channel 6, open, BSSID 02:48:41:52:42:01, .*responder "
                             "192\\.168\\.77\\.1/24"))
      << r.out;
  EXPECT_TRUE(hasLine(r.out, "\"Vault\": access point, channel 11, WEP key 1A2B3C4D5E, BSSID 02:56:41:55:4C:01, .*"
                             "responder 192\\.168\\.78\\.1/24"))
      << r.out;
  for (const char *option :
       {"--ssid", "--channel", "--wep", "--ap", "--peer", "--at", "--pcap", "--tap", "--traffic", "--loss", "--contenders"})
    EXPECT_TRUE(hasLine(r.out, std::string("^  ") + option + " ")) << option;
}

INSTANTIATE_TEST_SUITE_P(
    RadioUsage, HandheldRunUsageTest,
    ::testing::Values(UsageCase{"TrafficUnknown", {"--traffic", "flood"}, 2, "--traffic takes ping[=RATE] or udp[=SIZE]"},
                      UsageCase{"ChannelOutOfRange", {"--channel", "15"}, 2, "--channel takes a whole number from 1 to 14"},
                      UsageCase{"WepKeyShort", {"--wep", "1234"}, 2, "--wep takes a 40-bit key as 10 hex digits"},
                      UsageCase{"EventForNobody", {"--at", "1:Nowhere:off"}, 2, "no access point or peer is called Nowhere"},
                      UsageCase{"TooManyContenders", {"--contenders", "151"}, 2, "--contenders takes a whole number from 0 to 150"},
                      UsageCase{"TapOnTheVirtualClock", {"--tap", "tk0"}, 2, "--tap needs the wall clock"},
                      UsageCase{"PcapUnwritable", {"--pcap", "/nonexistent/teskel/air.pcap"}, 1,
                                "cannot write the capture /nonexistent/teskel/air.pcap"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
