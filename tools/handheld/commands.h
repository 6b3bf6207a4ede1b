// The handheld program's commands: what each one is handed, and how it is listed in main.cpp's
// command table. A new command is one function declared here, its own source file, one table line.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "teskel/registry_store.h"

namespace teskel::handheld {

// A mistake in how the program was called (unknown command, missing argument): reported with a
// pointer to --help and exit status 2. Any other exception is a failure with status 1.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Input that cannot be taken as it is (data that does not fit its type, a file too large or not
// a .reg file): one line saying why, and exit status 2 like a usage mistake.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An argument as a message may quote it: control characters escaped, cut after about 80.
inline std::string argText(std::string_view argument) { return registry::printable(argument); }

// The value of the option at args[i], given as "--option=VALUE" or as "--option VALUE" (then i
// moves on to it); UsageError when it is missing.
inline std::string optionValue(const std::vector<std::string> &args, std::size_t &i, const std::string &option) {
  const std::string &arg = args[i];
  if (arg.size() > option.size() && arg.compare(0, option.size() + 1, option + "=") == 0)
    return arg.substr(option.size() + 1);
  if (i + 1 == args.size()) throw UsageError(option + " needs a value");
  return args[++i];
}

// No handheld runs on the root folder a command wants to reach: one line and exit status 2.
class NoHandheldError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What every command gets from the global options. The root folder and the registry store are
// opened on first use, so that --help works without touching anything.
class Context {
 public:
  explicit Context(std::optional<std::string> rootOption);
  ~Context();
  Context(const Context &) = delete;
  Context &operator=(const Context &) = delete;

  // The handheld's root folder (--root, $TESKEL_ROOT or the state folder), created when missing.
  const std::filesystem::path &root();
  // The registry store in the root folder. It is also this process's current store, so the
  // platform's Reg* calls made by anything the command runs use it.
  registry::Store &store();

  // For commands that only read, which create nothing: the root folder, or NoHandheldError when
  // it does not exist (no handheld can run there) ...
  const std::filesystem::path &runningRoot();
  // ... and the store to read, an empty one when the root folder or its store is missing.
  registry::Store &readStore();

 private:
  std::optional<std::string> rootOption_;
  std::optional<std::filesystem::path> root_;
  std::unique_ptr<registry::Store> store_;
};

// A command gets the words after its name and returns the exit status.
using CommandFunction = int (*)(Context &context, const std::vector<std::string> &args);

struct Command {
  std::string_view name;
  CommandFunction run;
  std::string_view usage;    // synopsis lines for the program's --help
  std::string_view summary;  // what it does, one line
};

int regCommand(Context &context, const std::vector<std::string> &args);
int runCommand(Context &context, const std::vector<std::string> &args);
int oidCommand(Context &context, const std::vector<std::string> &args);
int cardCommand(Context &context, const std::vector<std::string> &args);
int statusCommand(Context &context, const std::vector<std::string> &args);

}  // namespace teskel::handheld
