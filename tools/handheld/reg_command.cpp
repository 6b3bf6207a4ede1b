// handheld reg: query, set and delete keys and values of the handheld's registry store, and
// import or export .reg files. Output follows the familiar reg tool's layout.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "commands.h"
#include "teskel/coredll.h"

namespace teskel::handheld {
namespace {

using registry::Error;
using registry::Store;
using registry::Value;
using Bytes = std::vector<std::uint8_t>;

// Far more than any handheld's registry takes as text, and little enough that a file is read
// whole and parsed before the store is touched.
constexpr std::size_t kMaxImportBytes = 16 * 1024 * 1024;
// A FIFO without a writer would keep the import waiting for good.
constexpr int kWriterWaitMs = 10000;

constexpr const char *kRegHelp =
    "Usage:\n"
    "  handheld reg query KEY [VALUE]        show a key's values and subkeys, or one value\n"
    "  handheld reg set KEY VALUE TYPE DATA  create or replace a value (and its key)\n"
    "  handheld reg delete KEY [VALUE]       delete a key with its subkeys, or one value\n"
    "  handheld reg import FILE              apply a .reg file (- reads stdin): REGEDIT4, or\n"
    "                                        Version 5.00 in UTF-16LE or UTF-8; at most 16 MiB\n"
    "  handheld reg export [KEY] [FILE]      write KEY (default: everything) as a .reg file,\n"
    "                                        to FILE or else to stdout: REGEDIT4 when all of\n"
    "                                        it is ASCII, else Version 5.00 in UTF-16LE\n"
    "\n"
    "KEY is a path under HKEY_LOCAL_MACHINE, with or without the HKEY_LOCAL_MACHINE\\ or HKLM\\\n"
    "prefix (HKLM alone is the whole registry). VALUE \"\" is the key's default value.\n"
    "TYPE and DATA:\n"
    "  REG_SZ, REG_EXPAND_SZ  text\n"
    "  REG_DWORD              decimal, or hexadecimal with 0x\n"
    "  REG_BINARY, REG_NONE   hexadecimal digits, two per byte (0102ff)\n"
    "  REG_MULTI_SZ           strings separated by \\0 (one\\0two)\n"
    "\n"
    "Exit status 0 when done, 1 when a well-formed request failed (a key or value that is not\n"
    "there, a store that cannot be written), 2 for a malformed argument or input.\n";

struct TypeName {
  std::uint32_t type;
  const char *name;
};
constexpr TypeName kTypeNames[] = {
    {0, "REG_NONE"},
    {1, "REG_SZ"},
    {2, "REG_EXPAND_SZ"},
    {3, "REG_BINARY"},
    {4, "REG_DWORD"},
    {5, "REG_DWORD_BIG_ENDIAN"},
    {6, "REG_LINK"},
    {7, "REG_MULTI_SZ"},
    {8, "REG_RESOURCE_LIST"},
    {9, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {10, "REG_RESOURCE_REQUIREMENTS_LIST"},
    {11, "REG_QWORD"},
};

std::string typeName(std::uint32_t type) {
  for (const auto &t : kTypeNames)
    if (t.type == type) return t.name;
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "REG_0x%X", type);
  return buffer;
}

// --- data as the store keeps it, and as the user types and reads it ---

std::u16string utf16(const Bytes &data) {
  std::u16string out;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) out += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  return out;
}

Bytes bytes(const std::u16string &text) {
  Bytes out;
  for (char16_t c : text) {
    out.push_back(static_cast<std::uint8_t>(c & 0xff));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return out;
}

std::string upperHex(const Bytes &data) {
  std::string out;
  char byte[3];
  for (auto b : data) {
    std::snprintf(byte, sizeof byte, "%02X", b);
    out += byte;
  }
  return out;
}

std::uint64_t littleEndian(const Bytes &data) {
  std::uint64_t n = 0;
  for (std::size_t i = data.size(); i-- > 0;) n = n << 8 | data[i];
  return n;
}

std::string shown(const Value &value) {
  char number[32];
  switch (value.type) {
    case 1:
    case 2: {
      std::u16string text = utf16(value.data);
      return coredll::toUtf8(text.substr(0, text.find(u'\0')));
    }
    case 7: {
      std::u16string text = utf16(value.data);
      std::string out;
      for (std::size_t start = 0; start < text.size();) {
        auto end = text.find(u'\0', start);
        if (end == start) break;  // the empty string that ends the list
        if (start) out += "\\0";
        out += coredll::toUtf8(text.substr(start, end - start));
        if (end == std::u16string::npos) break;
        start = end + 1;
      }
      return out;
    }
    case 4:
      if (value.data.size() != 4) break;
      std::snprintf(number, sizeof number, "0x%x", static_cast<unsigned>(littleEndian(value.data)));
      return number;
    case 5:
      if (value.data.size() != 4) break;
      std::snprintf(number, sizeof number, "0x%x",
                    static_cast<unsigned>(value.data[0] << 24 | value.data[1] << 16 | value.data[2] << 8 | value.data[3]));
      return number;
    case 11:
      if (value.data.size() != 8) break;
      std::snprintf(number, sizeof number, "0x%llx", static_cast<unsigned long long>(littleEndian(value.data)));
      return number;
  }
  return upperHex(value.data);
}

std::string valueLine(const Value &value) {
  return "    " + (value.name.empty() ? std::string("(Default)") : value.name) + "    " + typeName(value.type) + "    " +
         shown(value);
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Bytes parseDword(const std::string &text) {
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  std::string digits = hex ? text.substr(2) : text;
  std::uint64_t n = 0;
  bool ok = !digits.empty() && digits.size() <= 10;
  for (char c : digits) {
    int d = hex ? hexDigit(c) : (c >= '0' && c <= '9') ? c - '0' : -1;
    if (d < 0) ok = false;
    n = n * (hex ? 16 : 10) + static_cast<unsigned>(d < 0 ? 0 : d);
  }
  if (!ok || n > 0xFFFFFFFFull)
    throw InputError("REG_DWORD data must be a number from 0 to 4294967295 (or 0x0 to 0xffffffff), not \"" +
                registry::printable(text) + "\"");
  return {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n >> 16),
          static_cast<std::uint8_t>(n >> 24)};
}

Bytes parseHex(const std::string &text, const std::string &type) {
  Bytes out;
  if (text.size() % 2)
    throw InputError(type + " data needs two hexadecimal digits per byte: \"" + registry::printable(text) + "\"");
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int hi = hexDigit(text[i]), lo = hexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) throw InputError(type + " data must be hexadecimal digits: \"" + registry::printable(text) + "\"");
    out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return out;
}

Bytes parseMultiString(const std::string &text) {
  Bytes out;
  if (!text.empty()) {
    for (std::size_t start = 0;;) {
      auto end = text.find("\\0", start);
      std::string part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
      if (part.empty()) throw InputError("REG_MULTI_SZ data cannot hold an empty string (\\0\\0 or a \\0 at an end)");
      Bytes b = bytes(coredll::fromUtf8(part) + u'\0');
      out.insert(out.end(), b.begin(), b.end());
      if (end == std::string::npos) break;
      start = end + 2;
    }
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

std::pair<std::uint32_t, Bytes> parseData(const std::string &typeText, const std::string &data) {
  std::string type;
  for (char c : typeText) type += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (type == "REG_SZ") return {1, bytes(coredll::fromUtf8(data) + u'\0')};
  if (type == "REG_EXPAND_SZ") return {2, bytes(coredll::fromUtf8(data) + u'\0')};
  if (type == "REG_MULTI_SZ") return {7, parseMultiString(data)};
  if (type == "REG_DWORD") return {4, parseDword(data)};
  if (type == "REG_BINARY") return {3, parseHex(data, type)};
  if (type == "REG_NONE") return {0, parseHex(data, type)};
  throw UsageError("unknown value type " + registry::printable(typeText) +
                   " (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_BINARY or REG_NONE)");
}

// --- the subcommands ---

void argumentCount(const std::vector<std::string> &args, std::size_t least, std::size_t most, const char *synopsis) {
  std::size_t n = args.size() - 1;
  if (n < least || n > most) throw UsageError(std::string("usage: handheld reg ") + synopsis);
}

// A key as the user typed it; a key under another root or with an empty name is malformed.
std::string keyArgument(const std::string &text) {
  try {
    return registry::keyPathFromText(text);
  } catch (const Error &e) {
    throw InputError(e.what());
  }
}

std::string existingKey(const Store &store, const std::string &path) {
  auto stored = store.canonicalKey(path);
  if (!stored) throw Error("key not found: " + registry::printable(registry::fullKeyName(path)));
  return *stored;
}

int query(Context &context, const std::vector<std::string> &args) {
  argumentCount(args, 1, 2, "query KEY [VALUE]");
  std::string path = keyArgument(args[1]);
  Store &store = context.readStore();
  std::string out;
  store.snapshot([&] {
    std::string key = existingKey(store, path);
    out = registry::fullKeyName(key) + "\n";
    if (args.size() == 3) {
      auto value = store.getValue(key, args[2]);
      if (!value) throw Error("value not found: \"" + registry::printable(args[2]) + "\" in " + registry::printable(registry::fullKeyName(key)));
      out += valueLine(*value) + "\n";
      return;
    }
    for (const auto &value : store.values(key)) out += valueLine(value) + "\n";
    out += "\n";
    for (const auto &sub : store.subkeys(key)) out += registry::fullKeyName(key.empty() ? sub : key + "\\" + sub) + "\n";
  });
  std::cout << out;
  return 0;
}

int set(Context &context, const std::vector<std::string> &args) {
  argumentCount(args, 4, 4, "set KEY VALUE TYPE DATA");
  std::string path = keyArgument(args[1]);
  auto [type, data] = parseData(args[3], args[4]);
  Store &store = context.store();
  if (!store.keyExists(path)) {
    try {
      registry::checkKeyPath(path);
    } catch (const Error &e) {
      throw InputError(e.what());
    }
  }
  store.setValue(path, args[2], type, data);
  return 0;
}

int remove(Context &context, const std::vector<std::string> &args) {
  argumentCount(args, 1, 2, "delete KEY [VALUE]");
  std::string path = keyArgument(args[1]);
  Store &store = context.store();
  if (args.size() == 3) {
    store.batch([&] {
      std::string key = existingKey(store, path);
      if (!store.deleteValue(key, args[2]))
        throw Error("value not found: \"" + registry::printable(args[2]) + "\" in " +
                    registry::printable(registry::fullKeyName(key)));
    });
    return 0;
  }
  if (path.empty()) throw Error("HKEY_LOCAL_MACHINE itself cannot be deleted");
  if (!store.deleteKey(path)) throw Error("key not found: " + registry::printable(registry::fullKeyName(path)));
  return 0;
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ > 0) ::close(fd_);
  }
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The whole of a file (or stdin for "-"), at most kMaxImportBytes of it; every failure names it.
std::string readInput(const std::string &file, const std::string &shownName) {
  const bool standardInput = file == "-";
  // Opening never waits (a FIFO without a writer would); the waiting is done below, bounded.
  Descriptor in(standardInput ? 0 : ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (in.get() < 0) throw Error("cannot read " + shownName + ": " + std::strerror(errno));
  const std::string tooLarge = shownName + " is too large: a .reg file to import may hold at most " +
                               std::to_string(kMaxImportBytes / (1024 * 1024)) + " MiB";
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) throw Error("cannot read " + shownName + ": " + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) throw Error("cannot read " + shownName + ": it is a folder");
  if (S_ISREG(st.st_mode) && static_cast<std::uintmax_t>(st.st_size) > kMaxImportBytes) throw InputError(tooLarge);
  if (!standardInput) {
    if (S_ISFIFO(st.st_mode)) {
      pollfd p{in.get(), POLLIN, 0};
      int ready;
      while ((ready = ::poll(&p, 1, kWriterWaitMs)) < 0 && errno == EINTR) {
      }
      if (ready == 0)
        throw Error("cannot read " + shownName + ": nothing came for " + std::to_string(kWriterWaitMs / 1000) +
                    " s (a FIFO that nobody writes to?)");
    }
    int flags = ::fcntl(in.get(), F_GETFL);
    if (flags >= 0) ::fcntl(in.get(), F_SETFL, flags & ~O_NONBLOCK);
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(in.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Error("cannot read " + shownName + ": " + std::strerror(errno));
    if (n == 0) break;
    if (text.size() + static_cast<std::size_t>(n) > kMaxImportBytes) throw InputError(tooLarge);
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

int import(Context &context, const std::vector<std::string> &args) {
  argumentCount(args, 1, 1, "import FILE");
  const std::string &file = args[1];
  std::string shownName = file == "-" ? std::string("stdin") : registry::printable(file);
  std::string text = readInput(file, shownName);
  // The whole file is parsed before the store is taken: another process (a running handheld)
  // waits only while the changes are applied.
  std::vector<registry::Change> changes;
  try {
    changes = registry::parseReg(text);
  } catch (const Error &e) {
    throw InputError(shownName + ": " + e.what());
  }
  try {
    registry::applyReg(context.store(), changes);
  } catch (const Error &e) {
    throw Error(shownName + ": " + e.what());
  }
  return 0;
}

int exportKeys(Context &context, const std::vector<std::string> &args) {
  argumentCount(args, 0, 2, "export [KEY] [FILE]");
  std::string path = args.size() > 1 ? keyArgument(args[1]) : std::string();
  std::string text = registry::exportReg(context.readStore(), path);
  if (args.size() < 3 || args[2] == "-") {
    std::cout << text;
    return 0;
  }
  std::string shownName = registry::printable(args[2]);
  std::FILE *out = std::fopen(args[2].c_str(), "wb");
  if (!out) throw Error("cannot write " + shownName + ": " + std::strerror(errno));
  bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  int error = written ? 0 : errno;
  if (std::fclose(out) != 0 && written) error = errno;
  if (!written || error) throw Error("cannot write " + shownName + ": " + std::strerror(error ? error : EIO));
  return 0;
}

struct Subcommand {
  std::string_view name;
  int (*run)(Context &, const std::vector<std::string> &);
};
constexpr Subcommand kSubcommands[] = {
    {"query", query}, {"set", set}, {"delete", remove}, {"import", import}, {"export", exportKeys},
};

}  // namespace

int regCommand(Context &context, const std::vector<std::string> &args) {
  if (args.empty()) throw UsageError("reg needs a subcommand: query, set, delete, import or export");
  if (args[0] == "--help" || args[0] == "-h" || (args.size() > 1 && (args[1] == "--help" || args[1] == "-h"))) {
    std::cout << kRegHelp;
    return 0;
  }
  for (const auto &sub : kSubcommands)
    if (sub.name == args[0]) return sub.run(context, args);
  throw UsageError("unknown reg subcommand " + argText(args[0]));
}

}  // namespace teskel::handheld
