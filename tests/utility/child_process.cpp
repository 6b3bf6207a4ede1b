// A program started with pipes on its standard streams; reads are multiplexed with poll().
#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char **environ;

namespace teskel::test {

namespace {

using Clock = std::chrono::steady_clock;

void makePipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string> &command, const std::map<std::string, std::string> &env) {
  if (command.empty()) throw std::invalid_argument("ChildProcess: empty command");
  // Checked here: a failed exec in the child would only show as exit code 127.
  if (access(command[0].c_str(), X_OK) != 0)
    throw std::runtime_error("cannot start " + command[0] + ": " + std::strerror(errno));
  int in[2], out[2], err[2];
  makePipe(in);
  makePipe(out);
  makePipe(err);

  // Everything the child needs is built before fork, so the child only calls async-signal-safe code.
  std::vector<std::string> argStrings = command;
  std::vector<char *> argv;
  for (auto &a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::map<std::string, std::string> merged;
  for (char **e = environ; *e; ++e) {
    std::string entry(*e);
    auto eq = entry.find('=');
    if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto &[k, v] : env) merged[k] = v;
  std::vector<std::string> envStrings;
  for (const auto &[k, v] : merged) envStrings.push_back(k + "=" + v);
  std::vector<char *> envp;
  for (auto &e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  in_ = in[1];
  outFd_ = out[0];
  errFd_ = err[0];
  // A child that dies must not take the test with it through SIGPIPE on the next send.
  signal(SIGPIPE, SIG_IGN);
}

ChildProcess::~ChildProcess() {
  closeInput();
  if (pid_ > 0 && !status_) {
    if (!waitExit(std::chrono::milliseconds(2000))) {
      kill(pid_, SIGKILL);
      int status;
      waitpid(pid_, &status, 0);
    }
  }
  if (outFd_ >= 0) close(outFd_);
  if (errFd_ >= 0) close(errFd_);
}

void ChildProcess::send(const std::string &line) {
  std::string data = line + "\n";
  const char *p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    ssize_t n = write(in_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("write to program: " + std::string(std::strerror(errno)));
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

void ChildProcess::closeInput() {
  if (in_ >= 0) {
    close(in_);
    in_ = -1;
  }
}

void ChildProcess::pump(std::chrono::milliseconds wait) {
  pollfd fds[2];
  int count = 0;
  if (outFd_ >= 0) fds[count++] = {outFd_, POLLIN, 0};
  if (errFd_ >= 0) fds[count++] = {errFd_, POLLIN, 0};
  if (count == 0) return;
  int ready = poll(fds, count, static_cast<int>(wait.count()));
  if (ready <= 0) return;
  for (int i = 0; i < count; i++) {
    if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buffer[4096];
    ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
    bool isOut = fds[i].fd == outFd_;
    if (n > 0) {
      (isOut ? out_ : err_).append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
      close(fds[i].fd);
      (isOut ? outFd_ : errFd_) = -1;
    }
  }
}

bool ChildProcess::waitStream(const std::string &stream, const std::function<bool(const std::string &)> &done,
                              std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!done(stream)) {
    auto now = Clock::now();
    if (now >= deadline) return false;
    if (outFd_ < 0 && errFd_ < 0) return done(stream);
    pump(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now) + std::chrono::milliseconds(1));
  }
  return true;
}

bool ChildProcess::waitOutput(const std::function<bool(const std::string &)> &done,
                              std::chrono::milliseconds timeout) {
  return waitStream(out_, done, timeout);
}

bool ChildProcess::waitErrors(const std::function<bool(const std::string &)> &done,
                              std::chrono::milliseconds timeout) {
  return waitStream(err_, done, timeout);
}

bool ChildProcess::waitFor(const std::string &text, std::chrono::milliseconds timeout) {
  return waitOutput([&](const std::string &out) { return out.find(text) != std::string::npos; }, timeout);
}

bool ChildProcess::waitForError(const std::string &text, std::chrono::milliseconds timeout) {
  return waitErrors([&](const std::string &err) { return err.find(text) != std::string::npos; }, timeout);
}

bool ChildProcess::running() {
  if (status_) return false;
  int status;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    status_ = status;
    return false;
  }
  return true;
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!status_) {
    int status;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = status;
      break;
    }
    auto now = Clock::now();
    if (now >= deadline) return std::nullopt;
    // Draining the pipes keeps a chatty child from blocking on a full pipe; poll() also paces
    // this loop (it returns at once when a pipe closes, then the next waitpid sees the exit).
    if (outFd_ >= 0 || errFd_ >= 0)
      pump(std::min(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now),
                    std::chrono::milliseconds(20)));
    else
      poll(nullptr, 0, 5);
  }
  // Collect whatever is left in the pipes.
  while (outFd_ >= 0 || errFd_ >= 0) pump(std::chrono::milliseconds(100));
  if (WIFEXITED(*status_)) return WEXITSTATUS(*status_);
  return std::nullopt;
}

void ChildProcess::sendSignal(int number) {
  if (pid_ > 0 && !status_) kill(pid_, number);
}

}  // namespace teskel::test
