// Starting a program of the build from a benchmark: its exit, its output's last line, and the
// processor time it took (user and system, from the kernel's account of the child) beside the
// wall time.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace teskel::bench {

struct ChildRun {
  bool started = false;
  int exitCode = -1;  // -1 when it did not exit by itself
  double cpuSeconds = 0, wallSeconds = 0;
  std::string lastLine;  // of its output (stdout and stderr together)
  bool ok() const { return started && exitCode == 0; }
};

// Runs args[0] with args, its output into `log`, and waits for it.
ChildRun runChild(const std::vector<std::string> &args, const std::filesystem::path &log);

// The folder of this program, where the build puts its other programs too.
std::filesystem::path programFolder();
std::filesystem::path thisProgram();

// The full name of a program on PATH, if there is one.
std::optional<std::filesystem::path> findOnPath(const std::string &name);

}  // namespace teskel::bench
