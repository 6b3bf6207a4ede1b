// COREDLL stand-in: local memory, 16-bit string functions, message boxes, debug output, and stream
// opening in the handheld's object store.
#include <fcntl.h>
#include <unistd.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "teskel/coredll.h"

namespace teskel::coredll {
namespace {
std::mutex g_mutex;
MessageBoxHandler g_messageBox;
DebugOutputHandler g_debugOutput;
std::map<void *, std::size_t> g_local;
std::size_t g_localBytes = 0;
std::filesystem::path g_objectStoreRoot;
}  // namespace

MessageBoxHandler setMessageBoxHandler(MessageBoxHandler handler) {
  std::lock_guard lock(g_mutex);
  std::swap(handler, g_messageBox);
  return handler;
}

DebugOutputHandler setDebugOutputHandler(DebugOutputHandler handler) {
  std::lock_guard lock(g_mutex);
  std::swap(handler, g_debugOutput);
  return handler;
}

std::filesystem::path setObjectStoreRoot(std::filesystem::path root) {
  std::lock_guard lock(g_mutex);
  std::swap(root, g_objectStoreRoot);
  return root;
}

std::filesystem::path objectStoreRoot() {
  std::lock_guard lock(g_mutex);
  return g_objectStoreRoot;
}

std::filesystem::path objectStorePath(const std::u16string &name) {
  // Either separator names a folder on the device, and a leading one its object store's root.
  std::string text = toUtf8(name);
  for (char &c : text)
    if (c == '\\') c = '/';
  std::size_t start = text.find_first_not_of('/');
  return objectStoreRoot() / (start == std::string::npos ? std::string() : text.substr(start));
}

int unattendedMessageBox(const MessageBoxRequest &box) {
  std::fprintf(stderr, "[message box] %s: %s\n", box.caption.c_str(), box.text.c_str());
  switch (box.type & 0xF) {
    case MB_YESNO:
    case MB_YESNOCANCEL: return IDYES;
    case MB_ABORTRETRYIGNORE: return IDABORT;
    case MB_RETRYCANCEL: return IDRETRY;
    default: return IDOK;
  }
}

std::size_t localBytesHeld() {
  std::lock_guard lock(g_mutex);
  return g_localBytes;
}

void appendUtf8(std::string &out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string toUtf8(const std::u16string &s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    std::uint32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    }
    appendUtf8(out, c);
  }
  return out;
}

std::string toUtf8(const char16_t *s) { return s ? toUtf8(std::u16string(s)) : std::string(); }

std::u16string fromUtf8(const std::string &s) {
  std::u16string out;
  for (std::size_t i = 0; i < s.size();) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    std::uint32_t c;
    int extra;
    if (b < 0x80) {
      c = b;
      extra = 0;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      extra = 3;
    } else {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    if (extra && i + extra >= s.size()) {
      out += u'\uFFFD';
      break;
    }
    bool ok = true;
    for (int k = 1; k <= extra; ++k) {
      unsigned char n = static_cast<unsigned char>(s[i + k]);
      if ((n & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (n & 0x3F);
    }
    // Overlong forms and code points past U+10FFFF are not UTF-8 either: one would be a second
    // spelling of some text, the other a character UTF-16 cannot hold. (A lone surrogate passes:
    // toUtf8 writes one that way, and names must come back as they went in.)
    static constexpr std::uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (ok && (c < kLeast[extra] || c > 0x10FFFF)) ok = false;
    if (!ok) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    i += 1 + extra;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

}  // namespace teskel::coredll

using namespace teskel::coredll;

extern "C" {

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  void *p = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, uBytes ? uBytes : 1) : std::malloc(uBytes ? uBytes : 1);
  if (!p) return nullptr;
  std::lock_guard lock(g_mutex);
  g_local[p] = uBytes;
  g_localBytes += uBytes;
  return p;
}

HLOCAL LocalFree(HLOCAL hMem) {
  if (!hMem) return nullptr;
  {
    std::lock_guard lock(g_mutex);
    auto it = g_local.find(hMem);
    if (it == g_local.end()) return hMem;  // not ours: report failure as the platform does
    g_localBytes -= it->second;
    g_local.erase(it);
  }
  std::free(hMem);
  return nullptr;
}

int lstrlenW(LPCWSTR s) { return s ? static_cast<int>(wcslen(s)) : 0; }
LPWSTR lstrcpyW(LPWSTR a, LPCWSTR b) { return wcscpy(a, b); }
LPWSTR lstrcatW(LPWSTR a, LPCWSTR b) { return wcscat(a, b); }

int lstrcmpiW(LPCWSTR a, LPCWSTR b) {
  auto lower = [](WCHAR c) { return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c + 32) : c; };
  for (;; ++a, ++b) {
    WCHAR x = lower(*a), y = lower(*b);
    if (x != y) return x < y ? -1 : 1;
    if (!x) return 0;
  }
}

VOID OutputDebugStringW(LPCWSTR s) {
  DebugOutputHandler handler;
  {
    std::lock_guard lock(g_mutex);
    handler = g_debugOutput;
  }
  std::u16string text = s ? std::u16string(s) : std::u16string();
  if (handler) {
    handler(text);
  } else {
    std::fputs(toUtf8(text).c_str(), stderr);
  }
}

int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  MessageBoxHandler handler;
  {
    std::lock_guard lock(g_mutex);
    handler = g_messageBox;
  }
  MessageBoxRequest req{hWnd, toUtf8(lpText), toUtf8(lpCaption), uType};
  return handler ? handler(req) : unattendedMessageBox(req);
}

int MultiByteToWideChar(UINT, DWORD, LPCSTR src, int cb, LPWSTR dst, int cch) {
  if (!src) return 0;
  std::size_t n = cb < 0 ? std::strlen(src) + 1 : static_cast<std::size_t>(cb);
  // The handheld's code page is single-byte: each byte is one character.
  if (cch == 0) return static_cast<int>(n);
  if (static_cast<std::size_t>(cch) < n) return 0;
  for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<unsigned char>(src[i]);
  return static_cast<int>(n);
}

int WideCharToMultiByte(UINT, DWORD, LPCWSTR src, int cch, LPSTR dst, int cb, LPCSTR, BOOL *usedDefault) {
  if (!src) return 0;
  std::size_t n = cch < 0 ? wcslen(src) + 1 : static_cast<std::size_t>(cch);
  if (cb == 0) return static_cast<int>(n);
  if (static_cast<std::size_t>(cb) < n) return 0;
  BOOL used = FALSE;
  for (std::size_t i = 0; i < n; ++i) {
    if (src[i] > 0xFF) {
      dst[i] = '?';
      used = TRUE;
    } else {
      dst[i] = static_cast<char>(src[i]);
    }
  }
  if (usedDefault) *usedDefault = used;
  return static_cast<int>(n);
}

}  // extern "C"

FILE *_wfopen(LPCWSTR Name, LPCWSTR Mode) {
  if (!Name || !Mode) {
    errno = EINVAL;
    return nullptr;
  }
  const std::string mode = toUtf8(Mode);
  const std::string path = objectStorePath(Name);
  if (mode.empty() || mode[0] == 'r') return std::fopen(path.c_str(), mode.c_str());
  // A file the program creates in the object store is its user's alone, whatever the umask.
  const bool update = mode.find('+') != std::string::npos;
  int flags = (update ? O_RDWR : O_WRONLY) | O_CREAT | O_CLOEXEC | (mode[0] == 'a' ? O_APPEND : O_TRUNC);
  int fd = ::open(path.c_str(), flags, 0600);
  if (fd < 0) return nullptr;
  FILE *file = ::fdopen(fd, mode.c_str());
  if (!file) {
    int saved = errno;
    ::close(fd);
    errno = saved;
  }
  return file;
}

size_t wcslen(const WCHAR *s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

WCHAR *wcscpy(WCHAR *dst, const WCHAR *src) {
  WCHAR *d = dst;
  while ((*d++ = *src++)) {
  }
  return dst;
}

WCHAR *wcscat(WCHAR *dst, const WCHAR *src) {
  wcscpy(dst + wcslen(dst), src);
  return dst;
}

WCHAR *wcsncpy(WCHAR *dst, const WCHAR *src, size_t n) {
  size_t i = 0;
  for (; i < n && src[i]; ++i) dst[i] = src[i];
  for (; i < n; ++i) dst[i] = 0;
  return dst;
}

int wcscmp(const WCHAR *a, const WCHAR *b) {
  for (;; ++a, ++b) {
    if (*a != *b) return *a < *b ? -1 : 1;
    if (!*a) return 0;
  }
}

static int digitOf(WCHAR c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'z') return c - u'a' + 10;
  if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
  return 99;
}

unsigned long wcstoul(const WCHAR *s, WCHAR **end, int base) {
  const WCHAR *p = s;
  while (*p == u' ' || *p == u'\t' || *p == u'\n' || *p == u'\r') ++p;
  bool neg = false;
  if (*p == u'+' || *p == u'-') neg = (*p++ == u'-');
  if ((base == 0 || base == 16) && p[0] == u'0' && (p[1] == u'x' || p[1] == u'X') && digitOf(p[2]) < 16) {
    p += 2;
    base = 16;
  } else if (base == 0) {
    base = (p[0] == u'0') ? 8 : 10;
  }
  const WCHAR *startDigits = p;
  unsigned long v = 0;
  while (digitOf(*p) < base) v = v * static_cast<unsigned long>(base) + static_cast<unsigned long>(digitOf(*p++));
  if (end) *end = const_cast<WCHAR *>(p == startDigits ? s : p);
  return neg ? static_cast<unsigned long>(-static_cast<long>(v)) : v;
}

long wcstol(const WCHAR *s, WCHAR **end, int base) { return static_cast<long>(wcstoul(s, end, base)); }

long _wtol(const WCHAR *s) { return wcstol(s, nullptr, 10); }

WCHAR *_ultow(unsigned long value, WCHAR *buffer, int radix) {
  char tmp[72];
  int n = 0;
  if (radix < 2 || radix > 36) radix = 10;
  do {
    int d = static_cast<int>(value % static_cast<unsigned long>(radix));
    tmp[n++] = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
    value /= static_cast<unsigned long>(radix);
  } while (value);
  for (int i = 0; i < n; ++i) buffer[i] = static_cast<WCHAR>(tmp[n - 1 - i]);
  buffer[n] = 0;
  return buffer;
}

WCHAR *_itow(int value, WCHAR *buffer, int radix) {
  if (radix == 10 && value < 0) {
    buffer[0] = u'-';
    _ultow(static_cast<unsigned long>(-static_cast<long long>(value)), buffer + 1, radix);
    return buffer;
  }
  return _ultow(static_cast<unsigned int>(value), buffer, radix);
}
