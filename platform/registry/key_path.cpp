// Key path helpers of the registry: splitting, case folding, prefixes, and the process's current
// store.
#include "key_path.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <system_error>

#include "teskel/coredll.h"
#include "teskel/registry_store.h"

namespace teskel::registry {
namespace {

std::string_view trimSeparators(std::string_view key) {
  while (!key.empty() && key.front() == '\\') key.remove_prefix(1);
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  return key;
}

char32_t lowerCase(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if (c < 0xC0) return c;
  if (c <= 0xDE) return c == 0xD7 ? c : c + 32;  // Latin-1, except the multiplication sign
  if (c >= 0x100 && c <= 0x137) return (c % 2 == 0 && c != 0x130) ? c + 1 : c;
  if (c >= 0x139 && c <= 0x148) return c % 2 == 1 ? c + 1 : c;
  if (c >= 0x14A && c <= 0x177) return c % 2 == 0 ? c + 1 : c;
  if (c == 0x178) return 0xFF;
  if (c >= 0x179 && c <= 0x17E) return c % 2 == 1 ? c + 1 : c;
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 32;  // Greek capitals
  if (c >= 0x410 && c <= 0x42F) return c + 32;                // Cyrillic capitals
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

void appendUtf8(std::string &out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) { return foldCase(a) == foldCase(b); }

// "HKLM", "HKEY_LOCAL_MACHINE" and the other roots' names, as the first component of a path.
bool isLocalMachineRoot(std::string_view c) {
  return equalsIgnoringCase(c, "HKEY_LOCAL_MACHINE") || equalsIgnoringCase(c, "HKLM");
}
bool isOtherRoot(std::string_view c) {
  for (std::string_view root : {"HKCU", "HKCR", "HKU", "HKCC"})
    if (equalsIgnoringCase(c, root)) return true;
  return foldCase(c).starts_with("hkey_");
}

std::atomic<Store *> g_current{nullptr};

}  // namespace

std::vector<std::string> splitKeyPath(std::string_view key) {
  key = trimSeparators(key);
  std::vector<std::string> out;
  if (key.empty()) return out;
  for (;;) {
    auto slash = key.find('\\');
    std::string_view part = key.substr(0, slash);
    if (part.empty()) throw Error("invalid key path: empty key name in \"" + printable(key) + "\"");
    out.emplace_back(part);
    if (slash == std::string_view::npos) break;
    key.remove_prefix(slash + 1);
  }
  return out;
}

std::string joinPath(const std::vector<std::string> &components, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < components.size() && i < count; ++i) {
    if (i) out += '\\';
    out += components[i];
  }
  return out;
}

std::string foldCase(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      out += static_cast<char>(lowerCase(b));
      ++i;
      continue;
    }
    // Only two- and three-byte sequences hold letters that fold; everything else is copied.
    int extra = (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : 0;
    bool ok = extra > 0;
    char32_t c = extra == 1 ? (b & 0x1F) : (b & 0x0F);
    for (int k = 1; ok && k <= extra; ++k) {
      if (i + k >= text.size()) {
        ok = false;
        break;
      }
      auto n = static_cast<unsigned char>(text[i + k]);
      if ((n & 0xC0) != 0x80) ok = false;
      c = (c << 6) | (n & 0x3F);
    }
    if (!ok) {
      out += text[i];
      ++i;
      continue;
    }
    char32_t lower = lowerCase(c);
    if (lower == c)
      out.append(text.substr(i, extra + 1));
    else
      appendUtf8(out, lower);
    i += extra + 1;
  }
  return out;
}

namespace {

// The next code point of UTF-8 `text` at `i` and its length in bytes; nullopt for a byte that
// does not start a well-formed sequence.
std::optional<std::pair<char32_t, std::size_t>> nextCodePoint(std::string_view text, std::size_t i) {
  auto b = static_cast<unsigned char>(text[i]);
  if (b < 0x80) return std::pair<char32_t, std::size_t>(b, 1);
  std::size_t extra = (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : 0;
  if (!extra || i + extra >= text.size()) return std::nullopt;
  char32_t c = extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
  for (std::size_t k = 1; k <= extra; ++k) {
    auto n = static_cast<unsigned char>(text[i + k]);
    if ((n & 0xC0) != 0x80) return std::nullopt;
    c = (c << 6) | (n & 0x3F);
  }
  return std::pair<char32_t, std::size_t>(c, extra + 1);
}

bool isControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

}  // namespace

std::string printable(std::string_view text, std::size_t limit) {
  std::string out;
  std::size_t shownChars = 0;
  char escape[12];
  for (std::size_t i = 0; i < text.size();) {
    if (shownChars >= limit) {
      out += "...";
      break;
    }
    auto cp = nextCodePoint(text, i);
    if (!cp) {
      std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(text[i]));
      out += escape;
      shownChars += 4;
      ++i;
      continue;
    }
    auto [c, length] = *cp;
    if (c == '\n' || c == '\r' || c == '\t') {
      out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
      shownChars += 2;
    } else if (isControl(c)) {
      std::snprintf(escape, sizeof escape, c < 0x80 ? "\\x%02X" : "\\u%04X", static_cast<unsigned>(c));
      out += escape;
      shownChars += c < 0x80 ? 4 : 6;
    } else {
      out.append(text.substr(i, length));
      ++shownChars;
    }
    i += length;
  }
  return out;
}

void checkKeyName(std::string_view name) {
  for (std::size_t i = 0; i < name.size();) {
    auto cp = nextCodePoint(name, i);
    if (cp && isControl(cp->first))
      throw Error("key name \"" + printable(name) + "\" holds a control character; key names cannot");
    i += cp ? cp->second : 1;
  }
  if (coredll::fromUtf8(std::string(name)).size() > kMaxKeyNameLength)
    throw Error("key name \"" + printable(name, 40) + "\" is longer than " + std::to_string(kMaxKeyNameLength) +
                " characters");
}

void checkKeyDepth(std::size_t levels) {
  if (levels > kMaxKeyDepth)
    throw Error("key path is " + std::to_string(levels) + " levels deep; at most " + std::to_string(kMaxKeyDepth) +
                " are allowed");
}

void checkKeyPath(std::string_view key) {
  auto components = splitKeyPath(key);
  checkKeyDepth(components.size());
  for (const auto &c : components) checkKeyName(c);
}

bool isValidKeyPath(std::string_view key) {
  key = trimSeparators(key);
  return key.find("\\\\") == std::string_view::npos;
}

std::string normaliseKeyPath(std::string_view key) {
  key = trimSeparators(key);
  auto slash = key.find('\\');
  if (isLocalMachineRoot(key.substr(0, slash)))
    key = slash == std::string_view::npos ? std::string_view() : trimSeparators(key.substr(slash + 1));
  return std::string(key);
}

std::string keyPathFromText(std::string_view key) {
  std::string_view trimmed = trimSeparators(key);
  std::string_view first = trimmed.substr(0, trimmed.find('\\'));
  if (!isLocalMachineRoot(first) && isOtherRoot(first))
    throw Error("only keys under HKEY_LOCAL_MACHINE are kept: " + printable(trimmed));
  std::string path = normaliseKeyPath(trimmed);
  if (!isValidKeyPath(path)) throw Error("invalid key path (empty key name): " + printable(trimmed));
  return path;
}

std::string fullKeyName(std::string_view key) {
  std::string_view path = trimSeparators(key);
  return path.empty() ? std::string("HKEY_LOCAL_MACHINE") : "HKEY_LOCAL_MACHINE\\" + std::string(path);
}

Store *currentStore() { return g_current.load(); }
void setCurrentStore(Store *store) { g_current.store(store); }

}  // namespace teskel::registry
