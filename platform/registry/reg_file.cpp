// .reg files in the REGEDIT4 format: import into the store and export from it.
// Text is UTF-8 in the file and UTF-16LE with a terminator in the store, as the platform keeps REG_SZ.
#include <cctype>
#include <cstdio>

#include "key_path.h"
#include "teskel/coredll.h"
#include "teskel/registry_store.h"

namespace teskel::registry {
namespace {

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
// Hex data wraps onto continuation lines past this column, as regedit's own files do.
constexpr std::size_t kWrapColumn = 76;

// One change read from the file, applied only once the whole file has been read.
struct Change {
  enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
  std::string key;
  std::string name;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

struct LogicalLine {
  std::size_t number;  // of its first physical line
  std::string text;
};

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Physical lines joined where one ends in '\' (hex data split over lines); comments and blank
// lines dropped.
std::vector<LogicalLine> logicalLines(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  std::vector<std::string_view> physical;
  while (!text.empty()) {
    auto nl = text.find('\n');
    physical.push_back(text.substr(0, nl));
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  std::vector<LogicalLine> out;
  for (std::size_t i = 0; i < physical.size(); ++i) {
    std::string_view line = trim(physical[i]);
    if (line.empty() || line.front() == ';') continue;
    LogicalLine logical{i + 1, std::string(line)};
    while (!logical.text.empty() && logical.text.back() == '\\' && i + 1 < physical.size()) {
      logical.text.pop_back();
      logical.text += trim(physical[++i]);
      while (!logical.text.empty() && (logical.text.back() == ' ' || logical.text.back() == '\t'))
        logical.text.pop_back();
    }
    out.push_back(std::move(logical));
  }
  return out;
}

[[noreturn]] void lineError(std::size_t line, const std::string &what) {
  throw Error("line " + std::to_string(line) + ": " + what);
}

// Reads a quoted string at the start of `s` (\\ and \" escapes) and moves `s` past it.
std::string quoted(std::string_view &s, std::size_t line) {
  std::string out;
  std::size_t i = 1;
  for (; i < s.size() && s[i] != '"'; ++i) {
    if (s[i] != '\\') {
      out += s[i];
      continue;
    }
    if (++i == s.size()) break;
    if (s[i] != '\\' && s[i] != '"') lineError(line, std::string("unknown escape \\") + s[i] + " in a string");
    out += s[i];
  }
  if (i >= s.size()) lineError(line, "string without its closing quote");
  s.remove_prefix(i + 1);
  return out;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// "01,02, ab" -> bytes; a trailing comma is allowed.
std::vector<std::uint8_t> hexBytes(std::string_view s, std::size_t line) {
  std::vector<std::uint8_t> out;
  s = trim(s);
  while (!s.empty()) {
    auto comma = s.find(',');
    std::string_view item = trim(s.substr(0, comma));
    if (item.empty() || item.size() > 2 || hexDigit(item[0]) < 0 || (item.size() == 2 && hexDigit(item[1]) < 0))
      lineError(line, "bad hex byte \"" + std::string(item) + "\"");
    out.push_back(static_cast<std::uint8_t>(item.size() == 1 ? hexDigit(item[0])
                                                             : hexDigit(item[0]) * 16 + hexDigit(item[1])));
    if (comma == std::string_view::npos) break;
    s = trim(s.substr(comma + 1));
  }
  return out;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  return true;
}

std::vector<std::uint8_t> utf16Bytes(const std::string &text) {
  std::u16string wide = coredll::fromUtf8(text);
  std::vector<std::uint8_t> out;
  out.reserve(wide.size() * 2 + 2);
  for (char16_t c : wide) {
    out.push_back(static_cast<std::uint8_t>(c & 0xff));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

// Fills `change` with the data after '=' of a value line.
void valueData(std::string_view s, Change &change, std::size_t line) {
  s = trim(s);
  if (s == "-") {
    change.kind = Change::DeleteValue;
    return;
  }
  change.kind = Change::SetValue;
  if (!s.empty() && s.front() == '"') {
    std::string text = quoted(s, line);
    if (!trim(s).empty()) lineError(line, "unexpected text after the string: " + std::string(trim(s)));
    change.type = kRegSz;
    change.data = utf16Bytes(text);
  } else if (startsWithNoCase(s, "dword:")) {
    std::string_view digits = trim(s.substr(6));
    if (digits.empty() || digits.size() > 8) lineError(line, "a dword needs 1 to 8 hex digits");
    std::uint32_t n = 0;
    for (char c : digits) {
      if (hexDigit(c) < 0) lineError(line, "bad hex digit '" + std::string(1, c) + "' in a dword");
      n = n * 16 + static_cast<std::uint32_t>(hexDigit(c));
    }
    change.type = kRegDword;
    change.data = {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n >> 16),
                   static_cast<std::uint8_t>(n >> 24)};
  } else if (startsWithNoCase(s, "hex:")) {
    change.type = kRegBinary;
    change.data = hexBytes(s.substr(4), line);
  } else if (startsWithNoCase(s, "hex(")) {
    auto close = s.find("):");
    std::string_view number = s.substr(4, close == std::string_view::npos ? 0 : close - 4);
    if (close == std::string_view::npos || number.empty() || number.size() > 8)
      lineError(line, "bad value type in \"" + std::string(s.substr(0, 12)) + "\"");
    std::uint32_t type = 0;
    for (char c : number) {
      if (hexDigit(c) < 0) lineError(line, "bad value type \"" + std::string(number) + "\"");
      type = type * 16 + static_cast<std::uint32_t>(hexDigit(c));
    }
    change.type = type;
    change.data = hexBytes(s.substr(close + 2), line);
  } else {
    lineError(line, "unrecognised value data \"" + std::string(s) + "\"");
  }
}

std::vector<Change> parseReg(std::string_view text) {
  auto lines = logicalLines(text);
  if (lines.empty()) throw Error("line 1: not a .reg file: the REGEDIT4 header is missing");
  if (lines[0].text != "REGEDIT4")
    lineError(lines[0].number, "not a .reg file: expected the REGEDIT4 header, found \"" + lines[0].text + "\"");
  std::vector<Change> changes;
  std::optional<std::string> section;  // key of the current [Key] section
  bool deleting = false;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const auto &[number, line] = lines[i];
    std::string_view s = line;
    if (s.front() == '[') {
      if (s.back() != ']') lineError(number, "key line without its closing ']'");
      s = s.substr(1, s.size() - 2);
      deleting = !s.empty() && s.front() == '-';
      if (deleting) s.remove_prefix(1);
      std::string key;
      try {
        key = keyPathFromText(s);
      } catch (const Error &e) {
        lineError(number, e.what());
      }
      if (deleting && key.empty()) lineError(number, "HKEY_LOCAL_MACHINE itself cannot be deleted");
      changes.push_back({deleting ? Change::DeleteKey : Change::CreateKey, key, "", 0, {}});
      section = key;
      continue;
    }
    if (s.front() != '"' && s.front() != '@') lineError(number, "unrecognised line \"" + line + "\"");
    if (!section) lineError(number, "a value before any [key] line");
    if (deleting) lineError(number, "a value under a key that is being deleted");
    Change change{Change::SetValue, *section, "", 0, {}};
    if (s.front() == '@')
      s.remove_prefix(1);
    else
      change.name = quoted(s, number);
    s = trim(s);
    if (s.empty() || s.front() != '=') lineError(number, "expected '=' after the value name");
    valueData(s.substr(1), change, number);
    changes.push_back(std::move(change));
  }
  return changes;
}

// --- export ---

std::string escaped(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

// The text of a REG_SZ when the bytes are exactly one terminated string that the file can hold
// on one line; otherwise the value is written as hex(1) so that it comes back byte for byte.
std::optional<std::string> plainText(const std::vector<std::uint8_t> &data) {
  if (data.size() < 2 || data.size() % 2) return std::nullopt;
  std::u16string wide;
  for (std::size_t i = 0; i < data.size(); i += 2) wide += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  if (wide.back() != 0) return std::nullopt;
  wide.pop_back();
  for (std::size_t i = 0; i < wide.size(); ++i) {
    char16_t c = wide[i];
    if (c == 0 || c == u'\n' || c == u'\r') return std::nullopt;
    if (c >= 0xD800 && c < 0xDC00) {
      if (i + 1 == wide.size() || wide[i + 1] < 0xDC00 || wide[i + 1] >= 0xE000) return std::nullopt;
      ++i;
    } else if (c >= 0xDC00 && c < 0xE000) {
      return std::nullopt;
    }
  }
  return coredll::toUtf8(wide);
}

void appendHex(std::string &out, std::string line, const std::vector<std::uint8_t> &data) {
  char byte[4];
  for (std::size_t i = 0; i < data.size(); ++i) {
    std::snprintf(byte, sizeof byte, "%02x", data[i]);
    line += byte;
    if (i + 1 == data.size()) break;
    line += ',';
    if (line.size() > kWrapColumn) {
      out += line + "\\\n";
      line = "  ";
    }
  }
  out += line + '\n';
}

void appendValue(std::string &out, const Value &value, const std::string &key) {
  if (value.name.find_first_of("\r\n") != std::string::npos)
    throw Error("value name with a line break cannot be written to a .reg file: " + fullKeyName(key));
  std::string line = value.name.empty() ? "@=" : "\"" + escaped(value.name) + "\"=";
  if (value.type == kRegSz) {
    if (auto text = plainText(value.data)) {
      out += line + "\"" + escaped(*text) + "\"\n";
      return;
    }
  }
  if (value.type == kRegDword && value.data.size() == 4) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "dword:%08x",
                  static_cast<unsigned>(value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                                        static_cast<std::uint32_t>(value.data[3]) << 24));
    out += line + digits + '\n';
    return;
  }
  if (value.type == kRegBinary) {
    appendHex(out, line + "hex:", value.data);
    return;
  }
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
  appendHex(out, line + prefix, value.data);
}

void appendKey(std::string &out, const Store &store, const std::string &path, bool withSection) {
  auto values = store.values(path);
  if (withSection) {
    out += "[" + fullKeyName(path) + "]\n";
    for (const auto &value : values) appendValue(out, value, path);
    out += '\n';
  }
  for (const auto &sub : store.subkeys(path)) appendKey(out, store, path.empty() ? sub : path + '\\' + sub, true);
}

}  // namespace

void importReg(Store &store, std::string_view text) {
  auto changes = parseReg(text);
  store.batch([&] {
    for (const auto &c : changes) {
      switch (c.kind) {
        case Change::CreateKey: store.createKey(c.key); break;
        case Change::DeleteKey: store.deleteKey(c.key); break;
        case Change::SetValue: store.setValue(c.key, c.name, c.type, c.data); break;
        case Change::DeleteValue: store.deleteValue(c.key, c.name); break;
      }
    }
  });
}

std::string exportReg(const Store &store, std::string_view key) {
  std::string path = normaliseKeyPath(key);
  std::string out = "REGEDIT4\n\n";
  store.snapshot([&] {
    auto stored = store.canonicalKey(path);
    if (!stored) throw Error("key not found: " + fullKeyName(path));
    // The root gets a section only when it holds values of its own.
    appendKey(out, store, *stored, !stored->empty() || !store.values("").empty());
  });
  return out;
}

}  // namespace teskel::registry
