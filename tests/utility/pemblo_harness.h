// Test side of Pemblo: a temporary handheld root with its registry store, and the built program
// run headless on it, driven through its command language.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "teskel/registry_store.h"

namespace pemblo_test {

inline constexpr const char *kParms = "Comm\\Teskel1\\Parms";
// Deadline for anything the program does; generous for sanitizer and emulated builds.
inline constexpr std::chrono::milliseconds kDeadline{30000};

// A fresh root folder, removed with everything in it at the end.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot &) = delete;
  TempRoot &operator=(const TempRoot &) = delete;
  const std::filesystem::path &path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Values of the shared key, as the driver or installation would leave them.
class Registry {
 public:
  explicit Registry(const std::filesystem::path &root);
  teskel::registry::Store &store() { return *store_; }

  void setDword(const std::string &name, std::uint32_t value);
  void setString(const std::string &name, const std::string &value);
  void setBinary(const std::string &name, const std::vector<std::uint8_t> &bytes);
  void remove(const std::string &name);
  // The configuration values the pages read, with installation's data.
  void seedInstalled();
  // The driver's three status values.
  void setStatus(std::uint32_t linkState, std::uint32_t bytesIn, std::uint32_t bytesOut);

  std::optional<teskel::registry::Value> value(const std::string &name) const;
  std::optional<std::uint32_t> dword(const std::string &name) const;
  std::optional<std::string> string(const std::string &name) const;

 private:
  std::unique_ptr<teskel::registry::Store> store_;
};

std::vector<std::uint8_t> le32(std::uint32_t v);

// The program running headless on a root. Each command is followed by an echo of a unique mark,
// so a call returns once the program has handled everything sent before it.
class Pemblo {
 public:
  // Starts the program and, with `waitStarted`, returns once it has shown its sheet and answers
  // commands (a message box of the start-up is then still open).
  explicit Pemblo(const std::filesystem::path &root, bool waitStarted = true,
                  const std::map<std::string, std::string> &env = {});

  // Runs the commands; returns what they printed on standard output. Fails the test (and throws)
  // when the program does not answer in time.
  std::string runAll(const std::vector<std::string> &commands);
  template <class... Commands>
  std::string run(const Commands &...commands) {
    return runAll(std::vector<std::string>{std::string(commands)...});
  }

  // The unquoted text of a control (a list's selected entry).
  std::string text(int id);
  // The state line of a control, e.g. "edit enabled visible readonly sel=0..0 selvisible=no".
  std::string state(int id);
  std::string items(int id);
  // Pictures of the tray icons, e.g. "104" (one icon) or "none".
  std::string trayPicture();
  // Runs one tick of the Status page's timer.
  void tick() { run("advance 1500"); }

  // Everything written so far on standard output / standard error.
  const std::string &output() const { return process_.output(); }
  const std::string &errors() const { return process_.errors(); }
  teskel::test::ChildProcess &process() { return process_; }

 private:
  teskel::test::ChildProcess process_;
  unsigned mark_ = 0;
};

// "text 1005 \"Connected...\"" -> Connected... ; the inverse of the program's quoting.
std::string unquote(const std::string &quoted);
// Lines of `output` that begin with `prefix`.
std::vector<std::string> linesStartingWith(const std::string &output, const std::string &prefix);
std::string readFile(const std::filesystem::path &file);
// Waits until `file` holds a whole line (an exit status the shell wrote) or the deadline passes;
// what it holds then.
std::string waitForLine(const std::filesystem::path &file, std::chrono::milliseconds timeout = kDeadline);

// A tmux server of the test's own (its own socket) running one session, killed at the end. The
// pane stays after the program ends, so its last screen can be shown when something fails.
class Tmux {
 public:
  explicit Tmux(std::string session);
  ~Tmux();
  Tmux(const Tmux &) = delete;
  Tmux &operator=(const Tmux &) = delete;

  // Starts the session on an 80 x 24 terminal running `command` (a shell line); false on failure.
  bool start(const std::string &command);
  // Runs a tmux command; its exit status.
  int run(std::vector<std::string> args);
  // Sends keys to the session.
  void keys(std::vector<std::string> keys);
  std::string screen();
  // Polls the screen until `done` holds or the deadline passes.
  bool waitScreen(const std::function<bool(const std::string &)> &done, std::chrono::milliseconds timeout = kDeadline);

 private:
  std::string socket_, session_;
};

}  // namespace pemblo_test
