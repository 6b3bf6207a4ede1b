// The whole handheld across processes: `handheld run` on the wall clock and `pemblo --headless` on
// one root folder, meeting only in its registry store. Every wait is for a condition, with a deadline.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "../../utility/resource.h"
#include "pemblo_harness.h"
#include "teskel/test_env.h"

namespace pemblo_test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void pace() { poll(nullptr, 0, 50); }  // between looks at a condition; the deadline bounds the wait

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// `handheld --root ROOT ARGS...` run to completion.
teskel::test::ProgramResult handheld(const fs::path &root, std::vector<std::string> args) {
  args.insert(args.begin(), {"--root", root.string()});
  return teskel::test::runProgram(teskel::test::programCommand("handheld", args));
}

// A `handheld run` in its own process; its per-second status lines are what it saw on the air.
class RunningHandheld {
 public:
  RunningHandheld(const fs::path &root, std::vector<std::string> options)
      : process_(teskel::test::programCommand("handheld", withRun(root, std::move(options)))) {}
  ~RunningHandheld() {
    if (process_.running()) stop();
  }

  // Waits for a whole line matching `pattern` that came after output position `from`.
  bool waitLine(const std::string &pattern, std::size_t from = 0) {
    std::regex re(pattern);
    return process_.waitOutput(
        [&](const std::string &out) {
          for (const std::string &line : lines(wholeLines(out, from)))
            if (std::regex_search(line, re)) return true;
          return false;
        },
        kDeadline);
  }
  // The status lines ("[2.0 s] link associated, ...") that came whole after `from`, once there
  // are at least `count` of them (fewer at the deadline).
  std::vector<std::string> statusLines(std::size_t from, std::size_t count) {
    std::vector<std::string> found;
    process_.waitOutput(
        [&](const std::string &out) {
          found.clear();
          for (const std::string &line : lines(wholeLines(out, from)))
            if (line.starts_with("[") && line.find(" s] link ") != std::string::npos) found.push_back(line);
          return found.size() >= count;
        },
        kDeadline);
    return found;
  }
  // Output position just after the next status line: what comes later was seen after now.
  std::size_t afterNextStatusLine() {
    std::size_t mark = whole();
    statusLines(mark, 1);
    return whole();
  }
  std::size_t whole() const { return output().rfind('\n') == std::string::npos ? 0 : output().rfind('\n') + 1; }

  // SIGTERM: the card comes out and the run ends; its exit status (-1 past the deadline).
  int stop() {
    process_.sendSignal(SIGTERM);
    return process_.waitExit(kDeadline).value_or(-1);
  }
  void kill9() {
    process_.sendSignal(SIGKILL);
    process_.waitExit(kDeadline);
  }
  const std::string &output() const { return process_.output(); }
  std::string describe() const { return "handheld run said:\n" + process_.output() + process_.errors(); }

 private:
  static std::vector<std::string> withRun(const fs::path &root, std::vector<std::string> options) {
    options.insert(options.begin(), {"--root", root.string(), "run"});
    return options;
  }
  static std::string wholeLines(const std::string &out, std::size_t from) {
    std::size_t end = out.rfind('\n');
    if (end == std::string::npos || end < from) return "";
    return out.substr(from, end - from);
  }
  teskel::test::ChildProcess process_;
};

// Echo replies a status line counts ("echo 10 sent, 9 replies"); -1 when it counts none.
int replies(const std::string &statusLine) {
  static const std::regex re(R"(echo \d+ sent, (\d+) replies)");
  std::smatch m;
  return std::regex_search(statusLine, m, re) ? std::stoi(m[1]) : -1;
}

// The handheld's own clock, from `handheld status` ("handheld: up 2.970 s, card in"); -1 without.
double uptime(const fs::path &root) {
  std::smatch m;
  std::string out = handheld(root, {"status"}).out;
  return std::regex_search(out, m, std::regex(R"(^handheld: up ([0-9.]+) s)")) ? std::stod(m[1]) : -1.0;
}
// The time a status line stands at ("[2.0 s] link ..."), on the same clock.
double stamp(const std::string &statusLine) {
  std::smatch m;
  return std::regex_search(statusLine, m, std::regex(R"(^\[([0-9.]+) s\])")) ? std::stod(m[1]) : -1.0;
}

struct StatusPage {
  std::string link, in, out, tray;
};
StatusPage look(Pemblo &p) {
  p.tick();
  return {p.text(IDC_LINKSTATUS), p.text(IDC_INPUT), p.text(IDC_OUTPUT), p.trayPicture()};
}
// Ticks the Status page until `done` holds for what it shows; the last look either way.
StatusPage waitPage(Pemblo &p, const std::function<bool(const StatusPage &)> &done) {
  auto deadline = Clock::now() + kDeadline;
  StatusPage s = look(p);
  while (!done(s) && Clock::now() < deadline) {
    pace();
    s = look(p);
  }
  return s;
}
std::string describe(const StatusPage &s) {
  return "link \"" + s.link + "\", input " + s.in + ", output " + s.out + ", tray " + s.tray;
}
bool moving(const StatusPage &s) { return s.in != "0" && s.out != "0" && !s.in.empty() && !s.out.empty(); }

// Saves a network name on the Config page the way a person does: unlock, edit, "Update".
void saveNetworkName(Pemblo &p, const std::string &ssid) {
  p.run("page 1", "click 1008", "type 1001 " + ssid, "answer OK", "click 1009", "page 0");
}
// Types key 1 into the five boxes of the Encryption page and presses "Write".
void writeKey(Pemblo &p, const std::array<const char *, 5> &bytes) {
  std::vector<std::string> commands{"page 2"};
  for (int i = 0; i < 5; ++i) commands.push_back("type " + std::to_string(IDC_KEY1_BYTE1 + i) + " " + bytes[i]);
  commands.push_back("click 1023");
  commands.push_back("page 0");
  p.runAll(commands);
}

class Handheld : public ::testing::Test {
 protected:
  TempRoot root;
  std::unique_ptr<RunningHandheld> run;

  // Starts `handheld run` and returns once its adapter is up, so that the keys Pemblo reads exist.
  void start(std::vector<std::string> options) {
    run = std::make_unique<RunningHandheld>(root.path(), std::move(options));
    ASSERT_TRUE(run->waitLine("^adapter up: Teskel1 ")) << run->describe();
  }
  std::optional<std::uint32_t> published(const std::string &name) { return Registry(root.path()).dword(name); }
};

TEST_F(Handheld, StatusPageShowsTheLinkAndMovingFiguresAndTheTrayFollows) {
  start({"--traffic", "ping"});
  Pemblo p(root.path());
  StatusPage s = waitPage(p, [](const StatusPage &s) { return s.link == "Connected..." && moving(s); });
  EXPECT_EQ(s.link, "Connected...") << describe(s) << "\n" << run->describe();
  EXPECT_TRUE(moving(s)) << describe(s);
  EXPECT_EQ(s.tray, "104") << describe(s);

  // A network that is not there: once the card is put back it searches, and the page and the
  // tray say so.
  saveNetworkName(p, "Nowhere");
  ASSERT_EQ(handheld(root.path(), {"card", "reinsert"}).exitCode, 0);
  s = waitPage(p, [](const StatusPage &s) { return s.link == "Scanning..." && s.tray == "128"; });
  EXPECT_EQ(s.link, "Scanning...") << describe(s) << "\n" << run->describe();
  EXPECT_EQ(s.tray, "128") << describe(s);
  EXPECT_EQ(run->stop(), 0) << run->describe();
}

TEST_F(Handheld, TheKeyWrittenInTheUtilityCarriesTrafficOnAWepNetworkAndAWrongKeyStopsItWithinTwoSeconds) {
  const fs::path capture = root.path() / "air.pcap";
  start({"--ap", "Vault,channel=11,wep=1A2B3C4D5E", "--traffic", "ping", "--pcap", capture.string()});
  ASSERT_TRUE(run->waitLine(R"(^\[.*\] link associated, Vault \()")) << run->describe();
  Pemblo p(root.path());
  p.run("page 2", "click 1041", "page 0");  // "Enable": WEP on, and the key boxes open
  writeKey(p, {"1A", "2B", "3C", "4D", "5E"});
  EXPECT_EQ(published("WepReq"), 1u);

  std::size_t mark = run->whole();
  ASSERT_TRUE(run->waitLine(R"(echo \d+ sent, [1-9]\d* replies)", mark)) << run->describe();
  // ... and it keeps flowing.
  mark = run->afterNextStatusLine();
  for (const std::string &line : run->statusLines(mark, 2)) EXPECT_GT(replies(line), 0) << line;

  // A wrong key: the driver programs it on its next tick, at most a second after the write, so
  // the status seconds that begin a second after that have no reply.
  writeKey(p, {"1A", "2B", "3C", "4D", "5F"});
  double written = uptime(root.path());
  mark = run->whole();
  std::string line;
  auto deadline = Clock::now() + kDeadline;
  while (Clock::now() < deadline && line.empty()) {
    for (const std::string &l : run->statusLines(mark, 1))
      if (line.empty() && stamp(l) >= written + 2.05) line = l;
    if (line.empty()) mark = run->whole();
  }
  ASSERT_FALSE(line.empty()) << run->describe();
  EXPECT_EQ(replies(line), 0) << "key written at " << written << " s\n" << run->describe();
  EXPECT_EQ(run->stop(), 0) << run->describe();

  // The capture holds data frames with the protected bit, sent by the card.
  std::ifstream in(capture, std::ios::binary);
  std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GE(file.size(), 24u);
  int protectedFromCard = 0;
  for (std::size_t at = 24; at + 16 <= file.size();) {
    std::size_t length = file[at + 8] | file[at + 9] << 8 | file[at + 10] << 16 | std::size_t(file[at + 11]) << 24;
    const std::uint8_t *frame = &file[at + 16];
    at += 16 + length;
    if (at > file.size() || length < 4) break;
    std::size_t radiotap = frame[2] | frame[3] << 8;
    if (radiotap + 16 > length) continue;
    const std::uint8_t *mac = frame + radiotap;
    bool data = (mac[0] & 0x0C) == 0x08, isProtected = (mac[1] & 0x40) != 0;
    const std::uint8_t card[6] = {0x02, 0x54, 0x4B, 0x00, 0x00, 0x01};
    if (data && isProtected && std::equal(card, card + 6, mac + 10)) ++protectedFromCard;
  }
  EXPECT_GT(protectedFromCard, 0) << "frames in the capture: " << file.size() << " bytes";
}

TEST_F(Handheld, ANetworkNameSavedWithUpdateTakesEffectOnlyWhenTheCardIsPutBack) {
  start({"--traffic", "ping"});
  ASSERT_TRUE(run->waitLine(R"(^\[.*\] link associated, Harbor \()")) << run->describe();
  Pemblo p(root.path());
  saveNetworkName(p, "Vault");
  EXPECT_EQ(Registry(root.path()).string("SSID"), "Vault");

  std::size_t mark = run->afterNextStatusLine();
  for (const std::string &line : run->statusLines(mark, 2)) EXPECT_NE(line.find(" link associated, Harbor ("), std::string::npos) << line;

  mark = run->whole();
  auto r = handheld(root.path(), {"card", "reinsert"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(run->waitLine(R"(^\[.*\] link associated, Vault \(02:56:41:55:4C:01, channel 11\))", mark)) << run->describe();
  StatusPage s = waitPage(p, [](const StatusPage &s) { return s.link == "Connected..."; });
  EXPECT_EQ(s.link, "Connected...") << describe(s);
  EXPECT_EQ(run->stop(), 0) << run->describe();
}

TEST_F(Handheld, EjectLeavesTheStatusValuesAndADeletedKeyIsRecreatedByTheNextTick) {
  start({"--traffic", "ping"});
  auto deadline = Clock::now() + kDeadline;
  while (!(published("LinkState") == 1u && published("bytein").value_or(0) > 0) && Clock::now() < deadline) pace();
  ASSERT_EQ(published("LinkState"), 1u) << run->describe();

  auto r = handheld(root.path(), {"card", "eject"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  Registry reg(root.path());
  auto linkState = reg.value("LinkState"), bytesIn = reg.value("bytein"), bytesOut = reg.value("byteout");
  ASSERT_TRUE(linkState && bytesIn && bytesOut);
  EXPECT_GT(published("bytein").value_or(0), 0u);
  // Two seconds of the handheld's own clock later (two ticks, had the timer survived the halt)
  // the values are the same.
  auto uptime = [&] { return pemblo_test::uptime(root.path()); };
  double ejectedAt = uptime();
  deadline = Clock::now() + kDeadline;
  while (uptime() < ejectedAt + 2.2 && Clock::now() < deadline) pace();
  EXPECT_GE(uptime(), ejectedAt + 2.2);
  EXPECT_EQ(reg.value("LinkState")->data, linkState->data);
  EXPECT_EQ(reg.value("bytein")->data, bytesIn->data);
  EXPECT_EQ(reg.value("byteout")->data, bytesOut->data);

  // With the card back in, the whole key goes: the next tick creates it with the three values.
  ASSERT_EQ(handheld(root.path(), {"card", "insert"}).exitCode, 0);
  r = handheld(root.path(), {"reg", "delete", "HKLM\\Comm\\Teskel1\\Parms"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  deadline = Clock::now() + kDeadline;
  std::set<std::string> names;
  while (Clock::now() < deadline) {
    names.clear();
    for (const auto &v : reg.store().values(kParms)) names.insert(v.name);
    if (names.size() == 3) break;
    pace();
  }
  EXPECT_EQ(names, (std::set<std::string>{"LinkState", "bytein", "byteout"}));
  for (const char *name : {"LinkState", "bytein", "byteout"}) EXPECT_TRUE(reg.dword(name).has_value()) << name;
  EXPECT_EQ(run->stop(), 0) << run->describe();
}

TEST_F(Handheld, AKilledHandheldLeavesAStoreOfWholeValuesAndANewRunStartsCleanly) {
  start({"--traffic", "ping"});
  Pemblo p(root.path());
  ASSERT_TRUE(run->waitLine(R"(echo \d+ sent, [1-9]\d* replies)")) << run->describe();
  // The driver has published once (a tick may give way to the utility's writes, and publish at
  // the next one).
  ASSERT_TRUE(run->waitLine("^link state: Teskel1 1 ")) << run->describe();
  // The utility writes while the driver publishes; the handheld dies in the middle of it.
  p.run("page 2", "click 1041", "page 0");
  writeKey(p, {"11", "22", "33", "44", "55"});
  run->kill9();
  EXPECT_TRUE(fs::exists(root.path() / "handheld.sock")) << "a killed handheld leaves its socket behind";

  {
    teskel::registry::Store store(root.path() / teskel::registry::kStoreFileName);
    for (const auto &v : store.values(kParms)) {
      if (v.type == REG_DWORD) {
        EXPECT_EQ(v.data.size(), 4u) << v.name;
      } else if (v.type == REG_SZ) {
        EXPECT_TRUE(v.data.size() >= 2 && v.data.size() % 2 == 0 && v.data.back() == 0) << v.name;
      }
    }
    for (const char *name : {"LinkState", "bytein", "byteout", "WepReq"})
      EXPECT_EQ(store.getValue(kParms, name).value_or(teskel::registry::Value{}).data.size(), 4u) << name;
    // Installation writes all four keys, "Write" key 1 alone.
    auto keys = store.getValue(kParms, "DefaultKeys").value_or(teskel::registry::Value{}).data;
    EXPECT_TRUE(keys.size() == 5 || keys.size() == 20) << keys.size();
  }
  auto exported = handheld(root.path(), {"reg", "export", "HKLM"});
  EXPECT_EQ(exported.exitCode, 0) << exported.err;

  start({"--traffic", "ping"});
  EXPECT_TRUE(run->waitLine(R"(^\[.*\] link associated, Harbor \()")) << run->describe();
  auto status = handheld(root.path(), {"status"});
  EXPECT_EQ(status.exitCode, 0) << status.out << status.err;
  EXPECT_EQ(run->stop(), 0) << run->describe();
}

}  // namespace
}  // namespace pemblo_test
