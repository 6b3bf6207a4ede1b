// .reg files, REGEDIT4 and "Windows Registry Editor Version 5.00": import into the store and
// export from it. The store keeps REG_SZ as UTF-16LE with a terminator, as the platform does.
#include <cctype>
#include <cstdio>

#include "key_path.h"
#include "teskel/coredll.h"
#include "teskel/registry_store.h"

namespace teskel::registry {
namespace {

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;
// Hex data wraps onto continuation lines past this column, as regedit's own files do.
constexpr std::size_t kWrapColumn = 76;
constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";

// The two formats differ in what the hex data of the text types holds: 8-bit characters in
// REGEDIT4, the store's own UTF-16LE bytes in Version 5.00.
enum class Format { Regedit4, Version5 };

struct LogicalLine {
  std::size_t number;  // of its first physical line
  std::string text;
};

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// UTF-8 without overlong forms: exactly what decodes and encodes back to the same bytes. Anything
// else is 8-bit text.
bool isUtf8(std::string_view s) {
  std::string bytes(s);
  return coredll::toUtf8(coredll::fromUtf8(bytes)) == bytes;
}

// 8-bit text as UTF-16: UTF-8 when it is that, else one character per byte (Latin-1, which is
// what the usual Western code page holds for letters).
std::u16string from8Bit(std::string_view s) {
  if (isUtf8(s)) return coredll::fromUtf8(std::string(s));
  std::u16string out;
  for (char c : s) out += static_cast<char16_t>(static_cast<unsigned char>(c));
  return out;
}

// The file's bytes as UTF-8 text, whichever encoding it came in.
std::string decodeFile(std::string_view bytes) {
  auto startsWith = [&](std::string_view prefix) { return bytes.substr(0, prefix.size()) == prefix; };
  bool utf16 = false;
  if (startsWith("\xFF\xFE")) {
    bytes.remove_prefix(2);
    utf16 = true;
  } else if (startsWith("\xFE\xFF")) {
    throw Error("line 1: a UTF-16 big-endian file; .reg files are UTF-16LE, UTF-8 or 8-bit text");
  } else if (bytes.size() >= 2 && bytes[0] != 0 && bytes[1] == 0) {
    utf16 = true;  // UTF-16LE that lost its byte-order mark
  }
  if (!utf16) {
    if (startsWith("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    return isUtf8(bytes) ? std::string(bytes) : coredll::toUtf8(from8Bit(bytes));
  }
  std::u16string wide;
  wide.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    wide += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
  if (bytes.size() % 2) throw Error("the UTF-16 file ends in the middle of a character");
  return coredll::toUtf8(wide);
}

// Physical lines joined where one ends in '\' (hex data split over lines); comments and blank
// lines dropped.
std::vector<LogicalLine> logicalLines(std::string_view text) {
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

// A piece of the file quoted in a message: short, and harmless on a terminal.
std::string excerpt(std::string_view s) {
  std::string out(1, '"');
  out += printable(s, 60);
  out += '"';
  return out;
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
    if (s[i] != '\\' && s[i] != '"') lineError(line, "unknown escape " + excerpt(s.substr(i - 1, 2)) + " in a string");
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
      lineError(line, "bad hex byte " + excerpt(item));
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

std::vector<std::uint8_t> utf16Bytes(const std::u16string &wide) {
  std::vector<std::uint8_t> out;
  out.reserve(wide.size() * 2);
  for (char16_t c : wide) {
    out.push_back(static_cast<std::uint8_t>(c & 0xff));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return out;
}

// Fills `change` with the data after '=' of a value line.
void valueData(std::string_view s, Change &change, std::size_t line, Format format) {
  s = trim(s);
  if (s == "-") {
    change.kind = Change::DeleteValue;
    return;
  }
  change.kind = Change::SetValue;
  if (!s.empty() && s.front() == '"') {
    std::string text = quoted(s, line);
    if (!trim(s).empty()) lineError(line, "unexpected text after the string: " + excerpt(trim(s)));
    change.type = kRegSz;
    change.data = utf16Bytes(coredll::fromUtf8(text) + u'\0');
  } else if (startsWithNoCase(s, "dword:")) {
    std::string_view digits = trim(s.substr(6));
    if (digits.empty() || digits.size() > 8) lineError(line, "a dword needs 1 to 8 hex digits");
    std::uint32_t n = 0;
    for (char c : digits) {
      if (hexDigit(c) < 0) lineError(line, "bad hex digit " + excerpt(std::string_view(&c, 1)) + " in a dword");
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
      lineError(line, "bad value type in " + excerpt(s.substr(0, 12)));
    std::uint32_t type = 0;
    for (char c : number) {
      if (hexDigit(c) < 0) lineError(line, "bad value type " + excerpt(number));
      type = type * 16 + static_cast<std::uint32_t>(hexDigit(c));
    }
    change.type = type;
    change.data = hexBytes(s.substr(close + 2), line);
    if (type == kRegExpandSz || type == kRegMultiSz) {
      if (format == Format::Regedit4) {
        std::string narrow(change.data.begin(), change.data.end());
        change.data = utf16Bytes(from8Bit(narrow));
      } else if (type == kRegMultiSz && change.data.size() % 2) {
        lineError(line, "hex(7) data is UTF-16LE in a Version 5.00 file and needs an even number of bytes, not " +
                            std::to_string(change.data.size()));
      }
    }
  } else {
    lineError(line, "unrecognised value data " + excerpt(s));
  }
}

}  // namespace

std::vector<Change> parseReg(std::string_view bytes) {
  auto lines = logicalLines(decodeFile(bytes));
  if (lines.empty()) throw Error("line 1: not a .reg file: the REGEDIT4 or Version 5.00 header is missing");
  Format format;
  if (lines[0].text == kHeader4)
    format = Format::Regedit4;
  else if (lines[0].text == kHeader5)
    format = Format::Version5;
  else
    lineError(lines[0].number, "not a .reg file: expected \"REGEDIT4\" or \"" + std::string(kHeader5) + "\", found " +
                                   excerpt(lines[0].text));
  std::vector<Change> changes;
  std::optional<std::string> section;  // key of the current [Key] section
  bool deleting = false;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const auto &[number, line] = lines[i];
    std::string_view s = line;
    if (s.front() == '[') {
      if (s.back() != ']') lineError(number, "key line without its closing ']': " + excerpt(s));
      s = s.substr(1, s.size() - 2);
      deleting = !s.empty() && s.front() == '-';
      if (deleting) s.remove_prefix(1);
      std::string key;
      try {
        key = keyPathFromText(s);
        // A key that already breaks the limits can still be deleted; none is made.
        if (!deleting) checkKeyPath(key);
      } catch (const Error &e) {
        lineError(number, e.what());
      }
      if (deleting && key.empty()) lineError(number, "HKEY_LOCAL_MACHINE itself cannot be deleted");
      changes.push_back({deleting ? Change::DeleteKey : Change::CreateKey, key, "", 0, {}});
      section = key;
      continue;
    }
    if (s.front() != '"' && s.front() != '@') lineError(number, "unrecognised line " + excerpt(line));
    if (!section) lineError(number, "a value before any [key] line");
    if (deleting) lineError(number, "a value under a key that is being deleted");
    Change change{Change::SetValue, *section, "", 0, {}};
    if (s.front() == '@')
      s.remove_prefix(1);
    else
      change.name = quoted(s, number);
    // The platform's calls name values by NUL-terminated strings, and no .reg line can hold a
    // line break: such a name could be neither named nor exported.
    if (change.name.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
      lineError(number, "a value name with a line break or NUL character: " + excerpt(change.name));
    s = trim(s);
    if (s.empty() || s.front() != '=') lineError(number, "expected '=' after the value name");
    valueData(s.substr(1), change, number, format);
    changes.push_back(std::move(change));
  }
  return changes;
}

namespace {


// --- export ---

std::string escaped(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

bool printableAscii(std::string_view s) {
  for (char c : s)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

std::u16string units(const std::vector<std::uint8_t> &data) {
  std::u16string wide;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) wide += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  return wide;
}

// The text of a REG_SZ when the bytes are exactly one terminated string of characters that a
// quoted string holds (no control characters, surrogates paired); otherwise nothing, and the
// value is written as hex(1) so that it comes back byte for byte.
std::optional<std::string> plainText(const std::vector<std::uint8_t> &data) {
  if (data.size() < 2 || data.size() % 2) return std::nullopt;
  std::u16string wide = units(data);
  if (wide.back() != 0) return std::nullopt;
  wide.pop_back();
  for (std::size_t i = 0; i < wide.size(); ++i) {
    char16_t c = wide[i];
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return std::nullopt;
    if (c >= 0xD800 && c < 0xDC00) {
      if (i + 1 == wide.size() || wide[i + 1] < 0xDC00 || wide[i + 1] >= 0xE000) return std::nullopt;
      ++i;
    } else if (c >= 0xDC00 && c < 0xE000) {
      return std::nullopt;
    }
  }
  return coredll::toUtf8(wide);
}

// REGEDIT4 holds a REG_EXPAND_SZ or REG_MULTI_SZ only as 8-bit characters; ASCII reads the same
// in every code page.
bool asciiUnits(const std::vector<std::uint8_t> &data) {
  if (data.size() % 2) return false;
  for (char16_t c : units(data))
    if (c >= 0x80) return false;
  return true;
}

void appendHex(std::string &out, std::string line, const std::vector<std::uint8_t> &data) {
  char byte[4];
  for (std::size_t i = 0; i < data.size(); ++i) {
    std::snprintf(byte, sizeof byte, "%02x", data[i]);
    line += byte;
    if (i + 1 == data.size()) break;
    line += ',';
    if (line.size() > kWrapColumn) {
      out += line;
      out += "\\\r\n";
      line = "  ";
    }
  }
  out += line;
  out += "\r\n";
}

struct Section {
  std::string path;
  std::vector<Value> values;
};

std::string valueWhere(const Value &value, const std::string &key) {
  return "value \"" + printable(value.name) + "\" of " + printable(fullKeyName(key));
}

// Checks that the value can be written at all; true when REGEDIT4 can hold it as well.
bool fitsRegedit4(const Value &value, const std::string &key) {
  if (value.name.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
    throw Error(valueWhere(value, key) + ": a value name with a line break cannot be written to a .reg file");
  if (value.type == kRegMultiSz && value.data.size() % 2)
    throw Error(valueWhere(value, key) + ": a REG_MULTI_SZ of an odd number of bytes cannot be written to a .reg file");
  if (!printableAscii(value.name)) return false;
  if (value.type == kRegSz) {
    auto text = plainText(value.data);
    return !text || printableAscii(*text);  // hex(1) holds the bytes as they are in both formats
  }
  if (value.type == kRegExpandSz || value.type == kRegMultiSz) return asciiUnits(value.data);
  return true;
}

void appendValue(std::string &out, const Value &value, Format format) {
  std::string line;
  if (value.name.empty()) {
    line = "@=";
  } else {
    line += '"';
    line += escaped(value.name);
    line += "\"=";
  }
  if (value.type == kRegSz) {
    if (auto text = plainText(value.data)) {
      out += line;
      out += '"';
      out += escaped(*text);
      out += "\"\r\n";
      return;
    }
  }
  if (value.type == kRegDword && value.data.size() == 4) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "dword:%08x",
                  static_cast<unsigned>(value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                                        static_cast<std::uint32_t>(value.data[3]) << 24));
    out += line;
    out += digits;
    out += "\r\n";
    return;
  }
  if (value.type == kRegBinary) {
    appendHex(out, line + "hex:", value.data);
    return;
  }
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
  if (format == Format::Regedit4 && (value.type == kRegExpandSz || value.type == kRegMultiSz)) {
    std::vector<std::uint8_t> narrow;
    for (char16_t c : units(value.data)) narrow.push_back(static_cast<std::uint8_t>(c));
    appendHex(out, line + prefix, narrow);
    return;
  }
  appendHex(out, line + prefix, value.data);
}

// Every key of the subtree, parents before children and siblings in order.
void collect(std::vector<Section> &sections, const Store &store, const std::string &path, std::size_t depth) {
  if (depth > 0) {
    try {
      checkKeyDepth(depth);
      auto slash = path.rfind('\\');
      checkKeyName(slash == std::string::npos ? path : path.substr(slash + 1));
    } catch (const Error &e) {
      throw Error(printable(fullKeyName(path), 60) + ": cannot be written to a .reg file that imports back: " + e.what());
    }
  }
  sections.push_back({path, store.values(path)});
  for (const auto &sub : store.subkeys(path)) collect(sections, store, path.empty() ? sub : path + '\\' + sub, depth + 1);
}

}  // namespace

void importReg(Store &store, std::string_view file) { applyReg(store, parseReg(file)); }

void applyReg(Store &store, const std::vector<Change> &changes) {
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
  std::vector<Section> sections;
  store.snapshot([&] {
    auto stored = store.canonicalKey(path);
    if (!stored) throw Error("key not found: " + printable(fullKeyName(path)));
    collect(sections, store, *stored, splitKeyPath(*stored).size());
  });
  // The root gets a section only when it holds values of its own.
  if (!sections.empty() && sections.front().path.empty() && sections.front().values.empty())
    sections.erase(sections.begin());

  bool regedit4 = true;
  for (const auto &section : sections) {
    if (!printableAscii(section.path)) regedit4 = false;
    for (const auto &value : section.values)
      if (!fitsRegedit4(value, section.path)) regedit4 = false;
  }
  Format format = regedit4 ? Format::Regedit4 : Format::Version5;
  std::string text(regedit4 ? kHeader4 : kHeader5);
  text += "\r\n\r\n";
  for (const auto &section : sections) {
    text += '[';
    text += fullKeyName(section.path);
    text += "]\r\n";
    for (const auto &value : section.values) appendValue(text, value, format);
    text += "\r\n";
  }
  if (regedit4) return text;
  // Version 5.00 as regedit writes it: UTF-16LE with a byte-order mark.
  std::string wide = "\xFF\xFE";
  for (auto b : utf16Bytes(coredll::fromUtf8(text))) wide += static_cast<char>(b);
  return wide;
}

}  // namespace teskel::registry
