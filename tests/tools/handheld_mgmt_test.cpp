// The management channel end to end: a `handheld run` on the wall clock in a temporary root, and
// the oid, card and status commands (and raw messages) sent to it from other processes. Every wait
// is for a condition, with a deadline.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>

#include "child_process.h"
#include "mgmt_protocol.h"
#include "teskel/test_env.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using teskel::test::ProgramResult;
namespace mgmt = teskel::handheld::mgmt;

constexpr auto kLimit = 60s;

std::string describe(const ProgramResult &r) { return "exit " + std::to_string(r.exitCode) + "\nstdout:\n" + r.out + "stderr:\n" + r.err; }

// The first capture of the first line that matches, or nullopt.
std::optional<std::string> capture(const std::string &text, const std::string &pattern) {
  std::regex re(pattern);
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_search(line, m, re)) return m.size() > 1 ? m[1].str() : std::string();
  }
  return std::nullopt;
}
bool hasLine(const std::string &text, const std::string &pattern) { return capture(text, pattern).has_value(); }

// A `handheld run` in its own process, its standard output collected as it comes.
class RunningHandheld {
 public:
  explicit RunningHandheld(const fs::path &root)
      : process_(teskel::test::programCommand("handheld", {"--root", root.string(), "run"})) {}

  // Reads until the `count`th line matching `pattern` has come, or the deadline passes.
  bool waitFor(const std::string &pattern, int count = 1) {
    const std::regex re(pattern);
    return process_.waitOutput(
        [&](const std::string &out) {
          std::istringstream in(out);
          int n = 0;
          for (std::string line; std::getline(in, line);) n += std::regex_search(line, re) ? 1 : 0;
          return n >= count;
        },
        kLimit);
  }
  // SIGTERM, then the exit status once the output has ended; -1 past the deadline.
  int stop() {
    process_.sendSignal(SIGTERM);
    return process_.waitExit(kLimit).value_or(-1);
  }
  // Ends the process the hard way: what it leaves in the root is a dead handheld's.
  void kill9() {
    process_.sendSignal(SIGKILL);
    process_.waitExit(kLimit);
  }
  const std::string &out() const { return process_.output(); }

 private:
  teskel::test::ChildProcess process_;
};

class HandheldMgmtTest : public ::testing::Test {
 protected:
  HandheldMgmtTest() {
    std::string pattern = (fs::temp_directory_path() / "teskel-mgmt-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    root = pattern;
  }
  ~HandheldMgmtTest() override {
    handheld.reset();
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  ProgramResult command(std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", root.string()});
    return teskel::test::runProgram(teskel::test::programCommand("handheld", args));
  }
  // Starts the handheld and returns the station address its adapter up line names.
  std::string start() {
    handheld = std::make_unique<RunningHandheld>(root);
    if (!handheld->waitFor("^adapter up: Teskel1")) {
      ADD_FAILURE() << "no adapter up line:\n" << handheld->out();
      return "";
    }
    auto address = capture(handheld->out(), "^adapter up: Teskel1 .*, station address ((?:[0-9A-F]{2}:){5}[0-9A-F]{2}),");
    if (!address) ADD_FAILURE() << "the adapter up line names no station address:\n" << handheld->out();
    return address.value_or("");
  }

  fs::path root;
  std::unique_ptr<RunningHandheld> handheld;
};

TEST_F(HandheldMgmtTest, InformationRequestsReachTheRunningDriverAndComeBackWithItsStatus) {
  std::string address = start();
  ASSERT_FALSE(address.empty());
  // What the stack learned at bind time is on the line.
  EXPECT_TRUE(hasLine(handheld->out(), "^adapter up: Teskel1 .*permanent address " + address + ", 62 OIDs supported, frame size 1500, "
                                       "lookahead up to 1508, packet filter 0x0000000B set, lookahead 1508 set, media "))
      << handheld->out();

  auto r = command({"oid", "query", "OID_802_3_PERMANENT_ADDRESS"});
  EXPECT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_TRUE(hasLine(r.out, "^status: NDIS_STATUS_SUCCESS \\(0x00000000\\)$")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^BytesWritten: 6$")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^address: " + address + "$")) << r.out;

  r = command({"oid", "query", "0x00010101", "--length", "247"});
  EXPECT_EQ(r.exitCode, 1) << describe(r);
  EXPECT_TRUE(hasLine(r.out, "^status: NDIS_STATUS_INVALID_LENGTH \\(0xC0010014\\)$")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^BytesWritten: 0$")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^BytesNeeded: 248$")) << r.out;
  EXPECT_EQ(r.err, "");

  r = command({"oid", "query", "OID_PRIV_PRODUCTION_DATA"});
  EXPECT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_TRUE(hasLine(r.out, "^BytesWritten: 1024$")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^format: 1$")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^station address: " + address + "$")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^serial number: [ -~]{12}$")) << r.out;

  // Refusals come back as the driver's status, in JSON too.
  struct Refused {
    std::vector<std::string> args;
    const char *json;
  } refused[] = {
      {{"oid", "query", "0x00010117", "--json"}, "\"status\":\"NDIS_STATUS_INVALID_OID\",\"statusCode\":3221291031,"
                                                 "\"bytesWritten\":0,\"bytesNeeded\":0"},
      {{"oid", "query", "OID_PRIV_RECORD", "--length", "3", "--json"}, "\"status\":\"NDIS_STATUS_FAILURE\""},
      {{"oid", "set", "OID_GEN_CURRENT_PACKET_FILTER", "20000000", "--json"},
       "\"status\":\"NDIS_STATUS_NOT_SUPPORTED\",\"statusCode\":3221225659,\"bytesRead\":0,\"bytesNeeded\":4"},
      {{"oid", "set", "OID_PRIV_AUX_MEMORY", std::string(2 * 8201, '0'), "--json"}, "\"bytesNeeded\":8200"},
  };
  for (const auto &c : refused) {
    r = command(c.args);
    EXPECT_EQ(r.exitCode, 1) << describe(r);
    EXPECT_NE(r.out.find(c.json), std::string::npos) << r.out;
    EXPECT_TRUE(r.out.starts_with("{\"adapter\":\"Teskel1\",") && r.out.ends_with("}\n") &&
                r.out.find('\n') == r.out.size() - 1)
        << r.out;
  }
  EXPECT_EQ(handheld->stop(), 0) << handheld->out();
  EXPECT_TRUE(handheld->out().ends_with("card removed: Teskel1 halted, nothing left held\n")) << handheld->out();
}

TEST_F(HandheldMgmtTest, MaintenanceWritesShowAndSurviveACardReinsertion) {
  ASSERT_FALSE(start().empty());
  const std::string read = "00103E00 0800";  // 8 bytes at 0x3E1000, in non-volatile memory
  auto expectData = [&](const char *when) {
    auto r = command({"oid", "set", "OID_PRIV_AUX_ENABLE"});
    EXPECT_EQ(r.exitCode, 0) << when << describe(r);
    EXPECT_TRUE(hasLine(r.out, "^BytesRead: 0$")) << r.out;
    r = command({"oid", "query", "OID_PRIV_AUX_MEMORY", read});
    EXPECT_EQ(r.exitCode, 0) << when << describe(r);
    EXPECT_TRUE(hasLine(r.out, "^BytesWritten: 14$")) << when << r.out;
    EXPECT_TRUE(hasLine(r.out, "^data: C0 FF EE 11 22 33 44 55$")) << when << r.out;
    r = command({"oid", "set", "OID_PRIV_AUX_DISABLE"});
    EXPECT_EQ(r.exitCode, 0) << when << describe(r);
  };
  auto r = command({"oid", "set", "OID_PRIV_AUX_ENABLE"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  r = command({"oid", "set", "OID_PRIV_DOWNLOAD_NONVOLATILE", read + " C0FFEE11 22334455"});
  EXPECT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_TRUE(hasLine(r.out, "^BytesRead: 14$")) << r.out;
  expectData("after the download: ");

  r = command({"card", "reinsert"});
  EXPECT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_EQ(r.out, "card ejected: Teskel1 halted, nothing left held; card inserted: Teskel1 up\n");
  ASSERT_TRUE(handheld->waitFor("^adapter up: Teskel1", 2)) << handheld->out();
  EXPECT_TRUE(hasLine(handheld->out(), "^card removed: Teskel1 halted, nothing left held$")) << handheld->out();
  expectData("after the reinsertion: ");
  EXPECT_EQ(handheld->stop(), 0) << handheld->out();
}

TEST_F(HandheldMgmtTest, CardEjectAndInsertAndWhatStatusShows) {
  ASSERT_FALSE(start().empty());
  auto r = command({"status"});
  EXPECT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_TRUE(hasLine(r.out, "^handheld: up [0-9.]+ s, card in$")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^Teskel1: running at ports 0x300-0x33F interrupt 15$")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^  link: ")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^  published: LinkState ")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^    3 unicast octets sent: [0-9]+$")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^    8 dropped at the retry limit: [0-9]+$")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^error log: [0-9]+ entr")) << r.out;
  r = command({"status", "--json"});
  EXPECT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_NE(r.out.find("\"cardIn\":true,\"adapters\":[{\"name\":\"Teskel1\",\"running\":true,"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"counters\":["), std::string::npos) << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("\"named\":\\{\"unicast_frames_sent\":[0-9]+,.*\"dropped_at_the_retry_limit\":[0-9]+")))
      << r.out;

  struct Step {
    std::vector<std::string> args;
    int exitCode;
    const char *out;   // the whole standard output
    const char *err;   // part of the one stderr line
  } steps[] = {
      {{"card", "eject"}, 0, "card ejected: Teskel1 halted, nothing left held\n", ""},
      {{"card", "eject"}, 1, "", "handheld: card eject: the card is out already"},
      {{"oid", "query", "OID_GEN_LINK_SPEED"}, 1, "", "handheld: oid query: the card is out"},
      {{"card", "insert"}, 0, "card inserted: Teskel1 up\n", ""},
      {{"card", "insert"}, 1, "", "handheld: card insert: a card is in the socket already"},
      {{"oid", "query", "OID_GEN_LINK_SPEED", "--adapter", "Teskel9"}, 1, "", "has no adapter Teskel9"},
  };
  for (const auto &s : steps) {
    r = command(s.args);
    EXPECT_EQ(r.exitCode, s.exitCode) << describe(r);
    EXPECT_EQ(r.out, s.out) << describe(r);
    EXPECT_NE(r.err.find(s.err), std::string::npos) << describe(r);
    EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  r = command({"status"});
  EXPECT_TRUE(hasLine(r.out, "^Teskel1: running")) << r.out;
  EXPECT_EQ(handheld->stop(), 0) << handheld->out();
}

// A raw connection to the handheld's socket, for messages no command would send.
class RawChannel {
 public:
  explicit RawChannel(const fs::path &path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) throw std::runtime_error("cannot connect");
  }
  ~RawChannel() { close(fd_); }
  // One byte of a request, whether or not the handheld still listens.
  void trickle(std::uint8_t byte) { (void)::send(fd_, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT); }
  // Waits for the handheld to close the connection, taking whatever it sends first.
  bool closedByTheHandheld() {
    auto deadline = std::chrono::steady_clock::now() + kLimit;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      std::uint8_t buffer[4096];
      ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return true;
    }
  }
  void send(const std::vector<std::uint8_t> &bytes) { ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size())); }
  // The next answer; nullopt when the handheld closed the connection or the deadline passed.
  std::optional<mgmt::Answer> answer() {
    auto deadline = std::chrono::steady_clock::now() + kLimit;
    for (;;) {
      if (auto payload = reader_.next()) return std::get<mgmt::Answer>(mgmt::parseAnswer(*payload));
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
      std::uint8_t buffer[4096];
      ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return std::nullopt;
      reader_.feed(std::span(buffer, static_cast<std::size_t>(n)));
    }
  }

 private:
  int fd_ = -1;
  mgmt::FrameReader reader_;
};

std::vector<std::uint8_t> framed(std::vector<std::uint8_t> payload) {
  std::uint32_t n = static_cast<std::uint32_t>(payload.size());
  payload.insert(payload.begin(), {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                                   static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)});
  return payload;
}

TEST_F(HandheldMgmtTest, TheChannelIsOwnerOnlyAndAnswersMalformedMessagesWithoutFalling) {
  ASSERT_FALSE(start().empty());
  const fs::path socketPath = root / "handheld.sock";
  struct stat st {};
  ASSERT_EQ(stat(socketPath.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  {
    RawChannel raw(socketPath);
    for (const auto &payload : std::vector<std::vector<std::uint8_t>>{{}, {1, 0x42}, {9, 1}, {1, 3, 7}, {1, 1, 0xFF, 0xFF, 0xFF, 0xFF}}) {
      raw.send(framed(payload));
      auto a = raw.answer();
      ASSERT_TRUE(a && std::holds_alternative<mgmt::ErrorAnswer>(*a));
      EXPECT_TRUE(std::get<mgmt::ErrorAnswer>(*a).message.starts_with("malformed request: "));
    }
    // The same connection still carries good requests.
    raw.send(mgmt::encode(mgmt::Request{mgmt::StatusRequest{}}));
    auto a = raw.answer();
    ASSERT_TRUE(a && std::holds_alternative<mgmt::StatusAnswer>(*a));
    EXPECT_TRUE(std::get<mgmt::StatusAnswer>(*a).cardIn);
  }
  {
    // A length no message may have: an answer saying so, then the connection is closed.
    RawChannel raw(socketPath);
    raw.send({0xFF, 0xFF, 0xFF, 0xFF, 1, 4});
    auto a = raw.answer();
    ASSERT_TRUE(a && std::holds_alternative<mgmt::ErrorAnswer>(*a));
    EXPECT_FALSE(raw.answer());
  }
  {
    // A client that goes away in the middle of a message costs the handheld nothing.
    RawChannel raw(socketPath);
    auto m = mgmt::encode(mgmt::Request{mgmt::QueryRequest{"", 0x00010101, 248, {}}});
    m.resize(m.size() - 3);
    raw.send(m);
  }
  auto r = command({"oid", "query", "OID_GEN_MAXIMUM_FRAME_SIZE"});
  EXPECT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_TRUE(hasLine(r.out, "^value: 1500$")) << r.out;
  EXPECT_EQ(handheld->stop(), 0) << handheld->out();
}

TEST_F(HandheldMgmtTest, SilentAndTricklingClientsNeitherLockOthersOutNorStay) {
  ASSERT_FALSE(start().empty());
  const fs::path socketPath = root / "handheld.sock";
  // A full table of clients that never finish a request: half say nothing, half a byte now and then.
  std::vector<std::unique_ptr<RawChannel>> silent, trickling;
  for (int i = 0; i < 8; ++i) silent.push_back(std::make_unique<RawChannel>(socketPath));
  for (int i = 0; i < 8; ++i) trickling.push_back(std::make_unique<RawChannel>(socketPath));
  for (int round = 0; round < 3; ++round) {
    for (auto &t : trickling) t->trickle(0x10);
    auto r = command({"status"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(hasLine(r.out, "^handheld: up [0-9.]+ s, card in$")) << r.out;
  }
  // Whoever has not sent a whole request within the deadline is let go.
  for (auto *group : {&silent, &trickling})
    for (auto &c : *group) EXPECT_TRUE(c->closedByTheHandheld());
  EXPECT_EQ(handheld->stop(), 0) << handheld->out();
}

TEST_F(HandheldMgmtTest, OneHandheldPerRootAndADeadOnesSocketIsTakenOver) {
  ASSERT_FALSE(start().empty());
  auto r = command({"run", "--virtual", "--duration", "1"});
  EXPECT_EQ(r.exitCode, 1) << describe(r);
  EXPECT_TRUE(std::regex_match(r.err, std::regex("handheld: another handheld \\(process [0-9]+\\) runs on " + root.string() + "\n")))
      << r.err;
  EXPECT_EQ(r.out, "") << "the second handheld touched the card";

  handheld->kill9();
  ASSERT_TRUE(fs::exists(root / "handheld.sock")) << "a killed handheld leaves its socket";
  r = command({"status"});
  EXPECT_EQ(r.exitCode, 2) << describe(r);
  EXPECT_EQ(r.err, "handheld: no handheld runs on " + root.string() + "\n");

  r = command({"run", "--virtual", "--duration", "1"});
  EXPECT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_FALSE(fs::exists(root / "handheld.sock")) << "a handheld that ends cleanly removes its socket";
}

TEST_F(HandheldMgmtTest, ARootFolderTooLongForASocketAddressStillHasItsChannel) {
  const fs::path deep = root / std::string(100, 'd') / std::string(40, 'e');
  fs::create_directories(deep);
  ASSERT_GT((deep / "handheld.sock").string().size(), sizeof(sockaddr_un::sun_path));
  RunningHandheld deepHandheld(deep);
  ASSERT_TRUE(deepHandheld.waitFor("^adapter up: Teskel1")) << deepHandheld.out();
  auto r = teskel::test::runProgram(
      teskel::test::programCommand("handheld", {"--root", deep.string(), "oid", "query", "OID_GEN_MAXIMUM_FRAME_SIZE"}));
  EXPECT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_TRUE(hasLine(r.out, "^value: 1500$")) << r.out;
  EXPECT_EQ(deepHandheld.stop(), 0) << deepHandheld.out();
}

TEST_F(HandheldMgmtTest, BadInputAndAMissingHandheldAreExitStatusTwo) {
  struct Case {
    std::vector<std::string> args;
    const char *err;
  } cases[] = {
      {{"oid", "query", "OID_GEN_NOTHING"}, "unknown OID OID_GEN_NOTHING"},
      {{"oid", "set", "OID_PRIV_TX_RATE", "123"}, "odd number of hex digits"},
      {{"oid", "set", "OID_PRIV_TX_RATE", "12zz"}, "'z' is not a hex digit"},
      {{"oid", "query", "1", "--length", "65536"}, "--length 65536 is over 65535"},
      {{"oid", "query", "1", "--length", "-1"}, "--length takes a number"},
      {{"oid", "query", "1", "0102", "--length", "1"}, "more than --length 1"},
      {{"oid", "query"}, "needs an OID"},
      {{"oid", "frob", "1"}, "unknown request frob"},
      {{"card", "shake"}, "unknown action shake"},
      {{"status", "--loud"}, "unexpected argument --loud"},
      // Arguments are quoted escaped and cut, never sent to the terminal as they are.
      {{"card", "\x1b[2Jx"}, "unknown action \\x1B[2Jx: eject"},
      {{"oid", "query", "OID_GEN_LINK_SPEED", "--adapter", std::string(100000, 'n')}, "--adapter nnnnnnnn"},
      {{"oid", "query", "OID_\x1b[31m"}, "unknown OID OID_\\x1B[31m: handheld oid list shows the names (see"},
      {{"oid", "query", "OID_GEN_LINK_SPEED"}, "no handheld runs on"},
      {{"card", "eject"}, "no handheld runs on"},
  };
  for (const auto &c : cases) {
    auto r = command(c.args);
    EXPECT_EQ(r.exitCode, 2) << describe(r);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << describe(r);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_LT(r.err.size(), 300u);
    EXPECT_EQ(r.out, "");
  }
  // Asking a handheld that is not there creates no root folder for it.
  const fs::path nowhere = root / "nowhere";
  auto r = teskel::test::runProgram(teskel::test::programCommand("handheld", {"--root", nowhere.string(), "status"}));
  EXPECT_EQ(r.exitCode, 2) << describe(r);
  EXPECT_FALSE(fs::exists(nowhere));

  r = command({"oid", "list"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(hasLine(r.out, "^0x00010114  OID_GEN_MEDIA_CONNECT_STATUS$")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^0xFF02018D  OID_PRIV_TALLIES  \\(listed twice\\)$")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "^0x01010109  dot11DesiredSSID$")) << r.out;
  // Every entry of the supported list the driver gives NDIS is named, the doubled ones marked.
  std::size_t entries = 0;
  std::istringstream listed(r.out);
  for (std::string line; std::getline(listed, line);)
    if (line.starts_with("0x") && line.find("OID_") != std::string::npos) entries += line.ends_with("(listed twice)") ? 2 : 1;
  EXPECT_EQ(entries, 62u) << r.out;
  r = command({"oid", "--help"});
  EXPECT_TRUE(hasLine(r.out, "^    query: HEXBYTES 0000 RRRR: the record id")) << r.out;
}

}  // namespace
