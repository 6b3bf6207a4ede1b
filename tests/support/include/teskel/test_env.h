// Test-side helpers that make a test behave the same natively and under user-mode emulation:
// starting the tree's programs (through $TESKEL_EMULATOR) and sizing long runs ($TESKEL_STRESS_SCALE).
#pragma once

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace teskel::test {

// Words of $TESKEL_EMULATOR, split at blanks; empty when the tests run natively. CTest sets it for
// a cross build (e.g. "/usr/bin/qemu-arm -L /"): a program of the tree cannot be
// executed directly there, only through the emulator.
inline std::vector<std::string> emulatorPrefix() {
  std::vector<std::string> words;
  const char* value = std::getenv("TESKEL_EMULATOR");
  if (value == nullptr) return words;
  std::string_view rest(value);
  while (!rest.empty()) {
    std::size_t start = rest.find_first_not_of(" \t\n");
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    std::size_t end = rest.find_first_of(" \t\n");
    words.emplace_back(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
  }
  return words;
}

// Folder of the build tree the tests belong to: $TESKEL_BINARY_DIR (set by CTest), else the tree
// the test binary was configured in.
inline std::string binaryDir() {
  const char* value = std::getenv("TESKEL_BINARY_DIR");
  if (value != nullptr && *value != '\0') return value;
#ifdef TESKEL_BINARY_DIR
  return TESKEL_BINARY_DIR;
#else
  throw std::runtime_error("TESKEL_BINARY_DIR is not set");
#endif
}

// Path of a program built by this tree (every program lands in <build>/bin).
inline std::string programPath(std::string_view name) {
  return binaryDir() + "/bin/" + std::string(name);
}

// Argument vector that starts a program of the tree: the emulator words, the program, its arguments.
inline std::vector<std::string> programCommand(std::string_view name,
                                               const std::vector<std::string>& args = {}) {
  std::vector<std::string> argv = emulatorPrefix();
  argv.push_back(programPath(name));
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

// The same as one line for a shell (tmux, sh -c): every word single-quoted.
inline std::string shellCommand(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& word : argv) {
    if (!line.empty()) line += ' ';
    line += '\'';
    for (char c : word) {
      if (c == '\'')
        line += "'\\''";
      else
        line += c;
    }
    line += '\'';
  }
  return line;
}

// Factor for the size of long stress runs: $TESKEL_STRESS_SCALE, 1 when unset. The emulated run
// sets it below 1 so that stress tests still run, only shorter. A value that is not a positive
// finite number is a broken setup, not a reason to guess.
inline double stressScale() {
  const char* value = std::getenv("TESKEL_STRESS_SCALE");
  if (value == nullptr || *value == '\0') return 1.0;
  char* end = nullptr;
  errno = 0;
  double scale = std::strtod(value, &end);
  if (end == value || *end != '\0' || errno == ERANGE || !std::isfinite(scale) || scale <= 0.0)
    throw std::invalid_argument(std::string("TESKEL_STRESS_SCALE is not a positive number: ") +
                                value);
  return scale;
}

// A stress count scaled by stressScale(); a non-zero count never drops to 0.
inline std::size_t scaled(std::size_t count) {
  if (count == 0) return 0;
  double result = std::round(static_cast<double>(count) * stressScale());
  return result < 1.0 ? 1 : static_cast<std::size_t>(result);
}

struct ProgramResult {
  int exitCode = -1;  // the program's exit status; 128 + signal number when a signal ended it
  std::string out;
  std::string err;
};

// Runs a program to completion with the given standard input and collects both output streams.
// Blocks until the program exits (no timing of its own: CTest's timeout bounds a hung child).
inline ProgramResult runProgram(const std::vector<std::string>& argv, std::string_view input = {}) {
  if (argv.empty()) throw std::invalid_argument("runProgram: empty command");
  // Checked up front: a failed exec in the child is not reported back under every emulator.
  if (argv[0].find('/') != std::string::npos && access(argv[0].c_str(), X_OK) != 0)
    throw std::runtime_error("runProgram: cannot start " + argv[0] + ": " + std::strerror(errno));
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe(inPipe) != 0 || pipe(outPipe) != 0 || pipe(errPipe) != 0)
    throw std::runtime_error(std::string("runProgram: pipe: ") + std::strerror(errno));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
    posix_spawn_file_actions_addclose(&actions, fd);
  std::vector<char*> args;
  for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  if (rc != 0) {
    close(inPipe[1]);
    close(outPipe[0]);
    close(errPipe[0]);
    throw std::runtime_error("runProgram: cannot start " + argv[0] + ": " + std::strerror(rc));
  }
  ProgramResult result;
  // A program that exits without reading all its input must not take the test down with SIGPIPE.
  struct sigaction ignorePipe {}, previousPipe {};
  ignorePipe.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignorePipe, &previousPipe);
  int inFd = inPipe[1];
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  }
  int outFd = outPipe[0], errFd = errPipe[0];
  while (inFd >= 0 || outFd >= 0 || errFd >= 0) {
    pollfd fds[3] = {{inFd, POLLOUT, 0}, {outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (inFd >= 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(inFd, input.data(), input.size());
      if (n > 0) input.remove_prefix(static_cast<std::size_t>(n));
      if (n <= 0 || input.empty()) {
        close(inFd);
        inFd = -1;
      }
    }
    for (int i = 1; i < 3; ++i) {
      int& fd = i == 1 ? outFd : errFd;
      if (fd < 0 || !(fds[i].revents & (POLLIN | POLLERR | POLLHUP))) continue;
      char buffer[4096];
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 1 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fd);
        fd = -1;
      }
    }
  }
  sigaction(SIGPIPE, &previousPipe, nullptr);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status))
    result.exitCode = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.exitCode = 128 + WTERMSIG(status);
  return result;
}

}  // namespace teskel::test
