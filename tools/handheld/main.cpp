// The handheld program: global options, then one command from the table below.
#include <iostream>

#include "commands.h"

namespace teskel::handheld {
namespace {

const Command kCommands[] = {
    {"reg", regCommand,
     "reg query KEY [VALUE]\n"
     "reg set KEY VALUE TYPE DATA\n"
     "reg delete KEY [VALUE]\n"
     "reg import FILE\n"
     "reg export [KEY] [FILE]",
     "read and change the handheld's registry (handheld reg --help)"},
    {"run", runCommand, "run [--duration SECONDS] [--virtual] [--fault NAME[=ARG]]... [--show-controller] [--driver-path DIR]",
     "boot the handheld, insert the card, run, remove it (handheld run --help)"},
    {"oid", oidCommand,
     "oid query OID [HEXBYTES] [--length N] [--adapter NAME] [--json]\n"
     "oid set OID [HEXBYTES] [--adapter NAME] [--json]\n"
     "oid list [--json]",
     "ask the running handheld's driver an information request (handheld oid --help)"},
    {"card", cardCommand, "card eject|insert|reinsert",
     "take the running handheld's card out, put it in, or both"},
    {"status", statusCommand, "status [--json]",
     "what the running handheld's adapter is doing (handheld status --help)"},
};

void printHelp() {
  std::cout << "Usage: handheld [--root DIR] COMMAND [ARGS...]\n"
               "\n"
               "Runs and manages a simulated Windows CE handheld with its 802.11 PC Card.\n"
               "\n"
               "Commands:\n";
  for (const auto &command : kCommands) {
    std::cout << "  " << command.name << ": " << command.summary << "\n";
    std::string_view usage = command.usage;
    while (!usage.empty()) {
      auto nl = usage.find('\n');
      std::cout << "    handheld [--root DIR] " << usage.substr(0, nl) << "\n";
      usage = nl == std::string_view::npos ? std::string_view() : usage.substr(nl + 1);
    }
  }
  std::cout << "\n"
               "Options:\n"
               "  --root DIR  the handheld's root folder (registry store, card memory, driver log);\n"
               "              default $TESKEL_ROOT, else ${XDG_STATE_HOME:-$HOME/.local/state}/teskel\n"
               "  --help      show this help\n";
}

int run(const std::vector<std::string> &args) {
  std::optional<std::string> root;
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string &arg = args[i];
    if (arg == "--help" || arg == "-h") {
      printHelp();
      return 0;
    }
    if (arg == "--root" || arg.starts_with("--root=")) {
      if (arg == "--root" && i + 1 == args.size()) throw UsageError("--root needs a folder");
      root = arg == "--root" ? args[++i] : arg.substr(7);
      if (root->empty()) throw UsageError("--root needs a folder");
      continue;
    }
    if (arg.starts_with("-")) throw UsageError("unknown option " + argText(arg));
    break;
  }
  if (i == args.size()) throw UsageError("no command given");
  for (const auto &command : kCommands) {
    if (command.name != args[i]) continue;
    Context context(root);
    return command.run(context, std::vector<std::string>(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end()));
  }
  throw UsageError("unknown command " + argText(args[i]));
}

}  // namespace
}  // namespace teskel::handheld

int main(int argc, char **argv) {
  using teskel::handheld::UsageError;
  try {
    int status = teskel::handheld::run(std::vector<std::string>(argv + 1, argv + argc));
    if (!std::cout.flush()) {
      std::cerr << "handheld: cannot write the output\n";
      return 1;
    }
    return status;
  } catch (const teskel::handheld::NoHandheldError &e) {
    std::cerr << "handheld: " << e.what() << "\n";
    return 2;
  } catch (const teskel::handheld::InputError &e) {
    std::cerr << "handheld: " << e.what() << "\n";
    return 2;
  } catch (const UsageError &e) {
    std::cerr << "handheld: " << e.what() << " (see handheld --help)\n";
    return 2;
  } catch (const std::exception &e) {
    std::cerr << "handheld: " << e.what() << "\n";
    return 1;
  }
}
