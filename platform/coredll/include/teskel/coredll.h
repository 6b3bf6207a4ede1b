// Host hooks of the COREDLL stand-in: where message boxes and debug output go in this process.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace teskel::coredll {

// A message box request, texts converted to UTF-8. The handler returns the button id (IDOK ...).
struct MessageBoxRequest {
  void *owner;
  std::string text;
  std::string caption;
  unsigned type;
};
using MessageBoxHandler = std::function<int(const MessageBoxRequest &)>;
// Installs the handler and returns the previous one. Without a handler a box is written to stderr
// and answered with its first button.
MessageBoxHandler setMessageBoxHandler(MessageBoxHandler handler);

using DebugOutputHandler = std::function<void(const std::u16string &)>;
DebugOutputHandler setDebugOutputHandler(DebugOutputHandler handler);

// Bytes still held through LocalAlloc in this process.
std::size_t localBytesHeld();

// Appends one code point as UTF-8.
void appendUtf8(std::string &out, char32_t c);
std::string toUtf8(const std::u16string &s);
std::string toUtf8(const char16_t *s);
std::u16string fromUtf8(const std::string &s);

}  // namespace teskel::coredll
