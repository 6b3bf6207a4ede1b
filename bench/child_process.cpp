// Starting a program of the build from a benchmark, with the kernel's account of its processor time.
#include "child_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

extern char **environ;

namespace teskel::bench {

ChildRun runChild(const std::vector<std::string> &args, const std::filesystem::path &log) {
  ChildRun run;
  std::vector<std::string> copies = args;
  std::vector<char *> argv;
  for (auto &a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&files, 1, 2);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  if (rc != 0) {
    run.lastLine = "cannot start " + args[0];
    return run;
  }
  run.started = true;
  int status = 0;
  struct rusage usage {};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  auto seconds = [](const timeval &t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  run.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  std::ifstream in(log);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) run.lastLine = line;
  if (run.lastLine.empty()) run.lastLine = "no output";
  return run;
}

std::filesystem::path thisProgram() {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path("handheld_bench") : self;
}

std::filesystem::path programFolder() { return thisProgram().parent_path(); }

std::optional<std::filesystem::path> findOnPath(const std::string &name) {
  const char *path = std::getenv("PATH");
  std::stringstream folders(path ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    auto candidate = std::filesystem::path(folder) / name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

}  // namespace teskel::bench
