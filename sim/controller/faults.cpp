// Fault names as the handheld's --fault option takes them: parsing NAME[=ARG] and the catalogue
// that --help prints.
#include <cstdio>
#include <stdexcept>

#include "teskel/controller.h"

namespace teskel::sim {

using namespace hw;

namespace {

struct CommandName {
  const char *name;
  std::uint16_t code;
};
const CommandName kCommandNames[] = {
    {"initialize", kCmdInitialize},   {"enable", kCmdEnable},
    {"disable", kCmdDisable},         {"allocate", kCmdAllocate},
    {"transmit", kCmdTransmit},       {"inquire", kCmdInquire},
    {"access-read", kCmdAccessRead},  {"access-write", kCmdAccessWrite},
    {"program-begin", kCmdProgramBegin}, {"program-commit", kCmdProgramCommit},
};

[[noreturn]] void fail(std::string_view given, const std::string &why) {
  throw std::invalid_argument("bad fault '" + std::string(given) + "': " + why);
}

// Decimal, or hexadecimal with a 0x prefix.
std::uint32_t number(std::string_view given, std::string_view text, const char *what, std::uint32_t max) {
  if (text.empty()) fail(given, std::string(what) + " is missing");
  int base = 10;
  std::string_view digits = text;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    digits = text.substr(2);
  }
  std::uint64_t v = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      fail(given, std::string(what) + " '" + std::string(text) + "' is not a number (decimal, or hex with 0x)");
    v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    if (v > max) break;
  }
  if (v > max) fail(given, std::string(what) + " '" + std::string(text) + "' is above " + std::to_string(max));
  return static_cast<std::uint32_t>(v);
}

std::uint16_t command(std::string_view given, std::string_view text) {
  for (auto &c : kCommandNames)
    if (text == c.name) return c.code;
  return static_cast<std::uint16_t>(number(given, text, "command", 0xFFFF));
}

std::string hex4(std::uint32_t v) {
  char b[8];
  std::snprintf(b, sizeof b, "0x%04X", v);
  return b;
}

std::pair<std::string_view, std::optional<std::string_view>> split(std::string_view s, char sep) {
  auto at = s.find(sep);
  if (at == std::string_view::npos) return {s, std::nullopt};
  return {s.substr(0, at), s.substr(at + 1)};
}

}  // namespace

Fault parseFault(std::string_view given) {
  // Not a structured binding: the lambdas below capture these, which clang 14 refuses for bindings.
  const auto parts = split(given, '=');
  const auto &name = parts.first;
  const auto &arg = parts.second;
  Fault f;
  auto noArg = [&] {
    if (arg) fail(given, std::string(name) + " takes no argument");
  };
  auto needArg = [&](const char *what) -> std::string_view {
    if (!arg || arg->empty()) fail(given, std::string(name) + " needs " + what);
    return *arg;
  };
  if (name == "command-busy") {
    noArg();
    f.kind = Fault::Kind::CommandBusy;
    f.text = "command-busy";
  } else if (name == "command-timeout") {
    f.kind = Fault::Kind::CommandTimeout;
    f.text = "command-timeout";
    if (arg) {
      f.command = command(given, *arg);
      f.text += "=" + hex4(*f.command);
    }
  } else if (name == "command-error") {
    auto [cmd, result] = split(needArg("a command (code or name)"), ':');
    f.kind = Fault::Kind::CommandError;
    f.command = command(given, cmd);
    f.result = result ? static_cast<std::uint16_t>(number(given, *result, "result", 0x7F)) : 1;
    if (f.result == 0) fail(given, "result 0 is success, not an error");
    f.text = "command-error=" + hex4(*f.command) + ":" + std::to_string(f.result);
  } else if (name == "status-zero") {
    f.kind = Fault::Kind::StatusZero;
    f.command = command(given, needArg("a command (code or name)"));
    f.text = "status-zero=" + hex4(*f.command);
  } else if (name == "rid-unreadable") {
    f.kind = Fault::Kind::RidUnreadable;
    f.rid = static_cast<std::uint16_t>(number(given, needArg("a record id"), "record id", 0xFFFF));
    f.text = "rid-unreadable=" + hex4(f.rid);
  } else if (name == "rid-readback") {
    auto [rid, n] = split(needArg("a record id"), ':');
    f.kind = Fault::Kind::RidReadback;
    f.rid = static_cast<std::uint16_t>(number(given, rid, "record id", 0xFFFF));
    f.text = "rid-readback=" + hex4(f.rid);
    if (n) {
      f.count = number(given, *n, "count", 0xFFFFFFFFu);
      f.text += ":" + std::to_string(*f.count);
    }
  } else if (name == "alloc-limit") {
    f.kind = Fault::Kind::AllocLimit;
    f.count = number(given, needArg("a number of allocations"), "number of allocations", 0xFFFFFFFFu);
    f.text = "alloc-limit=" + std::to_string(*f.count);
  } else if (name == "seek-busy") {
    f.kind = Fault::Kind::SeekBusy;
    f.text = "seek-busy";
    if (arg) {
      f.path = static_cast<int>(number(given, *arg, "path", 1));
      f.text += "=" + std::to_string(*f.path);
    }
  } else if (name == "aux-stuck") {
    noArg();
    f.kind = Fault::Kind::AuxStuck;
    f.text = "aux-stuck";
  } else if (name == "tag-mismatch") {
    f.kind = Fault::Kind::TagMismatch;
    f.count = arg ? number(given, *arg, "count", 0xFFFFFFFFu) : 1;
    if (*f.count == 0) fail(given, "count must be at least 1");
    f.text = "tag-mismatch=" + std::to_string(*f.count);
  } else if (name == "rx-drop") {
    f.kind = Fault::Kind::RxDrop;
    f.count = number(given, needArg("a percentage"), "percentage", 100);
    f.text = "rx-drop=" + std::to_string(*f.count);
  } else {
    std::string known;
    for (auto &h : faultCatalogue()) {
      if (!known.empty()) known += ", ";
      known += h.syntax.substr(0, h.syntax.find_first_of("[="));
    }
    fail(given, "unknown fault name '" + std::string(name) + "' (known: " + known + ")");
  }
  return f;
}

const std::vector<FaultHelp> &faultCatalogue() {
  static const std::vector<FaultHelp> catalogue = {
      {"command-busy", "the command register's busy bit never clears"},
      {"command-timeout[=CMD]", "the command (any, or this one) never completes"},
      {"command-error=CMD[:RESULT]", "the command completes with that result (default 1) and does nothing"},
      {"status-zero=CMD", "the command completes with a status word of 0"},
      {"rid-unreadable=RID", "access read of that record fails with result 2"},
      {"rid-readback=RID[:N]", "the staged image of that record reads back wrong N times (always by default)"},
      {"alloc-limit=N", "only N buffer allocations are ever answered"},
      {"seek-busy[=PATH]", "the offset register of that access path (0 or 1; both by default) stays busy"},
      {"aux-stuck", "the auxiliary control register stays in its changing state"},
      {"tag-mismatch[=N]", "the next N reads behind a transmit frame (its tag trailer) return a wrong word (1)"},
      {"rx-drop=PERCENT", "that share of received frames is lost on the air (deterministic)"},
  };
  return catalogue;
}

std::string faultHelpText() {
  std::string out;
  for (auto &h : faultCatalogue()) {
    char line[200];
    std::snprintf(line, sizeof line, "  %-28s %s\n", h.syntax.c_str(), h.description.c_str());
    out += line;
  }
  out += "  CMD is a code (0x0121) or a name: initialize, enable, disable, allocate, transmit, inquire,\n"
         "  access-read, access-write, program-begin, program-commit. Numbers are decimal or 0x hex.\n";
  return out;
}

}  // namespace teskel::sim
