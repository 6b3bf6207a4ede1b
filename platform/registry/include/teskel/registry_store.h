// The handheld's persistent registry: one SQLite file in the root folder, shared by processes.
// Key paths are relative to HKEY_LOCAL_MACHINE, components separated by '\'; key and value names
// compare case-insensitively and keep the spelling they were created with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace teskel::registry {

// Value types as the platform numbers them (REG_SZ 1, REG_BINARY 3, REG_DWORD 4, REG_MULTI_SZ 7 ...).
struct Value {
  std::string name;  // "" is the key's default value
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Operations that the store can be told to fail, as a test names them.
enum class FailOp { CreateKey, OpenKey, SetValue, QueryValue, DeleteValue, DeleteKey };

class Store {
 public:
  // Opens (creating when missing) the database file. Throws Error with the reason on failure.
  explicit Store(const std::filesystem::path &file);
  // An empty registry kept in memory only: what a command that only reads sees of a root folder
  // that holds no store yet.
  struct Empty {};
  explicit Store(Empty);
  ~Store();
  Store(const Store &) = delete;
  Store &operator=(const Store &) = delete;

  const std::filesystem::path &file() const;

  // Creates the key and every missing parent. Returns true when the key was newly created.
  bool createKey(std::string_view key);
  bool keyExists(std::string_view key) const;
  // Deletes the key with all its subkeys and values. Returns false when it did not exist.
  bool deleteKey(std::string_view key);
  // The stored spelling of the key path, or nullopt when missing.
  std::optional<std::string> canonicalKey(std::string_view key) const;

  std::optional<Value> getValue(std::string_view key, std::string_view name) const;
  // Replaces the value whole, in one transaction; creates the key when missing.
  void setValue(std::string_view key, std::string_view name, std::uint32_t type,
                const std::vector<std::uint8_t> &data);
  bool deleteValue(std::string_view key, std::string_view name);

  // Direct children (their own names, stored spelling, sorted case-insensitively), and values
  // (in the order they were first created).
  std::vector<std::string> subkeys(std::string_view key) const;
  std::vector<Value> values(std::string_view key) const;

  // Named failures for tests: the next operation `op` on `key` (and `name` for value operations;
  // "*" matches any name, and a key "*" any key) fails, `count` times (-1: always). Cleared by
  // clearFailures(). They live in this Store object only, not in the file.
  void failOn(FailOp op, std::string_view key, std::string_view name = "*", int count = -1);
  // True (and one count used) when an armed failure matches; the Win32 calls ask this.
  bool shouldFail(FailOp op, std::string_view key, std::string_view name = "*");
  void clearFailures();

  // Runs `fn` inside one write transaction: its changes land together or not at all, and no
  // other process sees a part of them. Store calls made by `fn` join that transaction.
  void batch(const std::function<void()> &fn);
  // Runs `fn` inside one read transaction: every read it makes sees the same state of the file.
  void snapshot(const std::function<void()> &fn) const;

  // A call group: the calls made until endGroup() share one transaction, opened by the first of
  // them (as a read, taking the write lock at the first change) and committed by endGroup(). While
  // a group is open the store is waited for only a few milliseconds: a call that cannot have it
  // in that time fails at once instead of retrying, as a device's registry call fails, and leaves
  // nothing of itself. Groups nest; the outermost one commits. See CallGroup.
  void beginGroup();
  void endGroup();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A call group for the scope of one object: the registry calls of one entry point of a
// simulated device, which must neither wait long for another process nor hold it up for longer
// than the calls themselves take.
class CallGroup {
 public:
  explicit CallGroup(Store &store) : store_(store) { store_.beginGroup(); }
  ~CallGroup() { store_.endGroup(); }
  CallGroup(const CallGroup &) = delete;
  CallGroup &operator=(const CallGroup &) = delete;

 private:
  Store &store_;
};

// The file name of the store inside a root folder.
inline constexpr const char *kStoreFileName = "registry.db";

// The handheld's root folder: `explicitRoot` when given, else $TESKEL_ROOT, else
// ${XDG_STATE_HOME:-$HOME/.local/state}/teskel. Created when missing (with every folder above it
// that is missing, each mode 0700 whatever the umask) and checked as checkRootFolder says; throws
// Error when it can't be made or is refused.
std::filesystem::path resolveRoot(const std::optional<std::string> &explicitRoot);
// The same for commands that only read: nothing is created, nullopt when the folder is missing.
std::optional<std::filesystem::path> existingRoot(const std::optional<std::string> &explicitRoot);
// Where the root folder is by the rules above, without looking.
std::filesystem::path rootFolderPath(const std::optional<std::string> &explicitRoot);
// A root folder must be a folder of this user that no other user may change (no write access for
// group or others). Throws Error saying what is wrong and how to mend it.
void checkRootFolder(const std::filesystem::path &root);

// The store that the Win32 registry calls (RegOpenKeyExW ...) use in this process.
Store *currentStore();
void setCurrentStore(Store *store);

// Strips an optional "HKEY_LOCAL_MACHINE\" or "HKLM\" prefix (any case) and surrounding '\'.
std::string normaliseKeyPath(std::string_view key);

// normaliseKeyPath for a key typed by a user or read from a file: "HKLM" alone is the root, and a
// key under another root (HKEY_CURRENT_USER\..., HKCU\...) is refused with Error.
std::string keyPathFromText(std::string_view key);
// True when no component of the path is empty ("" is the root itself).
bool isValidKeyPath(std::string_view key);

// The limits every new key keeps: a key name of at most 255 characters (UTF-16 units) without
// control characters, and at most 512 levels below HKEY_LOCAL_MACHINE. Keys that exist already
// stay readable and deletable whatever they are.
inline constexpr std::size_t kMaxKeyNameLength = 255;
inline constexpr std::size_t kMaxKeyDepth = 512;
// Throw Error with a message for the user when a name or path breaks those limits.
void checkKeyName(std::string_view name);
void checkKeyDepth(std::size_t levels);
void checkKeyPath(std::string_view key);

// `text` as it may be shown in a message: control characters and bytes that are not UTF-8
// escaped (\n, \x1B, \u0085), cut after about `limit` characters with "...".
std::string printable(std::string_view text, std::size_t limit = 80);
// "HKEY_LOCAL_MACHINE\" + key, or "HKEY_LOCAL_MACHINE" for the root: the name users see.
std::string fullKeyName(std::string_view key);

// .reg files. Import takes REGEDIT4 (8-bit text, UTF-8 when it is valid UTF-8, else Latin-1) and
// "Windows Registry Editor Version 5.00" in UTF-16LE (with or without its byte-order mark) or
// UTF-8. It applies every key and value of the file (deletions included) in one transaction, or
// nothing; throws Error naming the line.
void importReg(Store &store, std::string_view file);
// The two halves of importReg: the file read into changes (Error naming the line when it is not
// a .reg file the import takes), and the changes applied in one transaction.
struct Change {
  enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
  std::string key;
  std::string name;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};
std::vector<Change> parseReg(std::string_view file);
void applyReg(Store &store, const std::vector<Change> &changes);
// Export writes `key` (all keys when empty) and its subkeys, values in creation order, with CRLF
// line ends. The file is REGEDIT4 when every name and text in it is printable ASCII, so that any
// reader takes it the same; otherwise Version 5.00 in UTF-16LE with a byte-order mark, as regedit
// writes it. Throws Error for anything neither format can carry faithfully.
std::string exportReg(const Store &store, std::string_view key = "");

}  // namespace teskel::registry
