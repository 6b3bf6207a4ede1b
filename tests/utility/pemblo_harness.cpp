// Test side of Pemblo: temporary roots, registry seeding and the headless program's commands.
#include "pemblo_harness.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "teskel/coredll.h"
#include "teskel/test_env.h"

namespace pemblo_test {

TempRoot::TempRoot() {
  const char *base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/pemblo-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempRoot::~TempRoot() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<std::uint8_t> le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

Registry::Registry(const std::filesystem::path &root)
    : store_(std::make_unique<teskel::registry::Store>(root / teskel::registry::kStoreFileName)) {}

void Registry::setDword(const std::string &name, std::uint32_t value) {
  store_->setValue(kParms, name, REG_DWORD, le32(value));
}

void Registry::setString(const std::string &name, const std::string &value) {
  std::u16string wide = teskel::coredll::fromUtf8(value);
  std::vector<std::uint8_t> bytes;
  for (char16_t c : wide) {
    bytes.push_back(static_cast<std::uint8_t>(c));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  store_->setValue(kParms, name, REG_SZ, bytes);
}

void Registry::setBinary(const std::string &name, const std::vector<std::uint8_t> &bytes) {
  store_->setValue(kParms, name, REG_BINARY, bytes);
}

void Registry::remove(const std::string &name) { store_->deleteValue(kParms, name); }

void Registry::seedInstalled() {
  setDword("NetworkType", 1);
  setString("SSID", "any");
  setDword("PSMode", 1);
  setDword("Encapsulation", 2);
  setDword("WepReq", 0);
  setBinary("DefaultKeys", std::vector<std::uint8_t>(20, 0));
  setDword("DSChannel", 1);
}

void Registry::setStatus(std::uint32_t linkState, std::uint32_t bytesIn, std::uint32_t bytesOut) {
  setDword("LinkState", linkState);
  setDword("bytein", bytesIn);
  setDword("byteout", bytesOut);
}

std::optional<teskel::registry::Value> Registry::value(const std::string &name) const {
  return store_->getValue(kParms, name);
}

std::optional<std::uint32_t> Registry::dword(const std::string &name) const {
  auto v = value(name);
  if (!v || v->type != REG_DWORD || v->data.size() != 4) return std::nullopt;
  return static_cast<std::uint32_t>(v->data[0] | v->data[1] << 8 | v->data[2] << 16 |
                                    static_cast<std::uint32_t>(v->data[3]) << 24);
}

std::optional<std::string> Registry::string(const std::string &name) const {
  auto v = value(name);
  if (!v || v->type != REG_SZ || v->data.size() % 2 != 0 || v->data.size() < 2) return std::nullopt;
  std::u16string wide;
  for (std::size_t i = 0; i + 1 < v->data.size(); i += 2)
    wide.push_back(static_cast<char16_t>(v->data[i] | v->data[i + 1] << 8));
  // A stored text carries exactly one terminator, at its end.
  if (wide.back() != 0 || wide.find(u'\0') != wide.size() - 1) return std::nullopt;
  wide.pop_back();
  return teskel::coredll::toUtf8(wide);
}

Pemblo::Pemblo(const std::filesystem::path &root, bool waitStarted, const std::map<std::string, std::string> &env)
    : process_(teskel::test::programCommand("pemblo", {"--headless", "--root", root.string()}), env) {
  if (waitStarted) run();
}

std::string Pemblo::runAll(const std::vector<std::string> &commands) {
  std::size_t start = process_.output().size();
  std::string mark = "@mark-" + std::to_string(++mark_);
  std::string all;
  for (const auto &c : commands) all += c + "\n";
  all += "echo " + mark;
  process_.send(all);
  std::string wanted = mark + "\n";
  bool answered = process_.waitOutput(
      [&](const std::string &out) { return out.find(wanted, start) != std::string::npos; }, kDeadline);
  if (!answered) {
    ADD_FAILURE() << "pemblo did not answer " << all << "\nstdout:\n"
                  << process_.output() << "\nstderr:\n"
                  << process_.errors();
    throw std::runtime_error("pemblo did not answer");
  }
  std::string out = process_.output().substr(start);
  return out.substr(0, out.find(wanted));
}

std::string unquote(const std::string &quoted) {
  std::size_t open = quoted.find('"');
  std::size_t close = quoted.rfind('"');
  if (open == std::string::npos || close == open) throw std::runtime_error("no quoted text in: " + quoted);
  std::string out;
  for (std::size_t i = open + 1; i < close; ++i) {
    char c = quoted[i];
    if (c != '\\' || i + 1 >= close) {
      out += c;
      continue;
    }
    char e = quoted[++i];
    switch (e) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'x':
        out += static_cast<char>(std::stoi(quoted.substr(i + 1, 2), nullptr, 16));
        i += 2;
        break;
      default: out += e;
    }
  }
  return out;
}

std::vector<std::string> linesStartingWith(const std::string &output, const std::string &prefix) {
  std::vector<std::string> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
  return lines;
}

static std::string single(const std::string &output, const std::string &prefix) {
  auto lines = linesStartingWith(output, prefix);
  if (lines.size() != 1) throw std::runtime_error("expected one \"" + prefix + "\" line in:\n" + output);
  return lines[0];
}

std::string Pemblo::text(int id) {
  std::string prefix = "text " + std::to_string(id) + " ";
  return unquote(single(run("text " + std::to_string(id)), prefix));
}

std::string Pemblo::state(int id) {
  std::string prefix = "state " + std::to_string(id) + " ";
  return single(run("state " + std::to_string(id)), prefix).substr(prefix.size());
}

std::string Pemblo::items(int id) {
  std::string prefix = "items " + std::to_string(id);
  return single(run("items " + std::to_string(id)), prefix).substr(prefix.size());
}

std::string Pemblo::trayPicture() {
  return single(run("tray-picture"), "tray-picture").substr(std::string("tray-picture ").size());
}

std::string readFile(const std::filesystem::path &file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string waitForLine(const std::filesystem::path &file, std::chrono::milliseconds timeout) {
  std::string text;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    text = readFile(file);
    if (!text.empty() && text.back() == '\n') break;
    poll(nullptr, 0, 50);  // pace the polling; the deadline bounds the wait
  }
  return text;
}

Tmux::Tmux(std::string session) : socket_(session + "-test-" + std::to_string(getpid())), session_(std::move(session)) {}

Tmux::~Tmux() { run({"kill-server"}); }

bool Tmux::start(const std::string &command) {
  if (run({"new-session", "-d", "-s", session_, "-x", "80", "-y", "24", command}) != 0) return false;
  run({"set-option", "-t", session_, "remain-on-exit", "on"});
  return true;
}

int Tmux::run(std::vector<std::string> args) {
  std::vector<std::string> argv{"tmux", "-L", socket_, "-f", "/dev/null"};
  argv.insert(argv.end(), args.begin(), args.end());
  return teskel::test::runProgram(argv).exitCode;
}

void Tmux::keys(std::vector<std::string> keys) {
  keys.insert(keys.begin(), {"send-keys", "-t", session_});
  run(std::move(keys));
}

std::string Tmux::screen() {
  return teskel::test::runProgram({"tmux", "-L", socket_, "capture-pane", "-p", "-t", session_}).out;
}

bool Tmux::waitScreen(const std::function<bool(const std::string &)> &done, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done(screen())) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    poll(nullptr, 0, 50);  // pace the polling; the deadline bounds the wait
  }
  return true;
}

}  // namespace pemblo_test
