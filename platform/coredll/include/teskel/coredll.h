// Host hooks of the COREDLL stand-in: where message boxes and debug output go in this process, and
// the folder that stands for the root of the handheld's object store.
#pragma once

#include <cstdint>
#include <filesystem>
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
// and answered with its first button (unattendedMessageBox).
MessageBoxHandler setMessageBoxHandler(MessageBoxHandler handler);
int unattendedMessageBox(const MessageBoxRequest &box);

using DebugOutputHandler = std::function<void(const std::u16string &)>;
DebugOutputHandler setDebugOutputHandler(DebugOutputHandler handler);

// The folder that holds the handheld's object store: a file the platform's calls name without a
// folder (_wfopen) is there, since the device has no current directory. Empty (the default): the
// process's current directory. Returns the previous root.
std::filesystem::path setObjectStoreRoot(std::filesystem::path root);
std::filesystem::path objectStoreRoot();
// Where a file name given to the platform lands: in the root, whether or not it starts with a
// separator ('\\' or '/'), since the object store is the device's whole file system.
std::filesystem::path objectStorePath(const std::u16string &name);

// Sets the object-store root for its lifetime, then puts the previous one back.
class ScopedObjectStoreRoot {
 public:
  explicit ScopedObjectStoreRoot(std::filesystem::path root) : previous_(setObjectStoreRoot(std::move(root))) {}
  ~ScopedObjectStoreRoot() { setObjectStoreRoot(previous_); }
  ScopedObjectStoreRoot(const ScopedObjectStoreRoot &) = delete;
  ScopedObjectStoreRoot &operator=(const ScopedObjectStoreRoot &) = delete;

 private:
  std::filesystem::path previous_;
};

// Bytes still held through LocalAlloc in this process.
std::size_t localBytesHeld();

// Appends one code point as UTF-8.
void appendUtf8(std::string &out, char32_t c);
std::string toUtf8(const std::u16string &s);
std::string toUtf8(const char16_t *s);
std::u16string fromUtf8(const std::string &s);

}  // namespace teskel::coredll
