// A program started with pipes on its standard streams, for tests that drive Pemblo from outside.
// Every wait has a deadline on the wall clock; nothing here sleeps for a fixed time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace teskel::test {

class ChildProcess {
 public:
  // Starts the command `argv` (program first); `env` entries are added to (or replace those of)
  // this process's environment. Throws std::runtime_error when the program can't be started.
  explicit ChildProcess(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  // Writes one line (a newline is added) to the program's standard input.
  void send(const std::string &line);
  void closeInput();

  // Reads what the program writes until `done` holds for the collected standard output, or the
  // deadline passes. Returns whether `done` held.
  bool waitOutput(const std::function<bool(const std::string &)> &done, std::chrono::milliseconds timeout);
  bool waitErrors(const std::function<bool(const std::string &)> &done, std::chrono::milliseconds timeout);
  bool waitFor(const std::string &text, std::chrono::milliseconds timeout);
  // The same for standard error.
  bool waitForError(const std::string &text, std::chrono::milliseconds timeout);

  // Waits for the program to end; its exit code, or nullopt when it is still running at the deadline
  // (or ended by a signal).
  std::optional<int> waitExit(std::chrono::milliseconds timeout);
  bool running();
  // Sends a signal to the program (SIGTERM to stop it, SIGKILL to end it the hard way).
  void sendSignal(int number);

  const std::string &output() const { return out_; }
  const std::string &errors() const { return err_; }
  // Output collected after `mark` (a size of output() taken earlier).
  std::string outputSince(std::size_t mark) const { return out_.substr(std::min(mark, out_.size())); }

 private:
  // Moves whatever is readable into out_/err_, waiting at most `wait` for something to arrive.
  void pump(std::chrono::milliseconds wait);
  bool waitStream(const std::string &stream, const std::function<bool(const std::string &)> &done,
                  std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  int in_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::string out_;
  std::string err_;
  std::optional<int> status_;
};

}  // namespace teskel::test
