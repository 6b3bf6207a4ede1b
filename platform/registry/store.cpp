// The registry store over SQLite: keys by case-folded path, values replaced whole in one
// transaction, WAL journal so that a reader in another process never waits for a writer.
#include <sqlite3.h>

#include <chrono>
#include <map>
#include <mutex>

#include "key_path.h"
#include "teskel/registry_store.h"

namespace teskel::registry {
namespace {

// Another process may hold the write lock for a while (a checkpoint, an import); a call waits
// this long in SQLite's busy handler, and the whole transaction is retried until kGiveUp.
constexpr int kBusyTimeoutMs = 5000;
constexpr auto kGiveUp = std::chrono::seconds(20);
constexpr int kSchemaVersion = 1;

class Busy : public Error {
 public:
  using Error::Error;
};

bool isBusy(int rc) {
  int primary = rc & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// Paths of every key strictly below `folded`: [folded + '\', folded + ']') in byte order, since
// ']' follows '\' directly.
struct SubtreeRange {
  std::string low, high;
};
SubtreeRange subtreeOf(const std::string &folded) {
  if (folded.empty()) return {"", "\xff"};  // below the root: every key
  return {folded + '\\', folded + ']'};
}

// The connection to the file and this process's state around it.
struct Connection {
  std::filesystem::path file;
  sqlite3 *db = nullptr;
  std::map<std::string, sqlite3_stmt *> statements;
  // Depth of the transaction this process holds: 0 none, else its kind.
  enum class Tx { None, Read, Write } tx = Tx::None;

  struct Failure {
    FailOp op;
    std::string key;   // folded, or "*"
    std::string name;  // folded, or "*"
    int count;
  };
  std::vector<Failure> failures;
  // One connection serves every thread of the process; SQLite transactions belong to the
  // connection, so calls are serialised here.
  mutable std::recursive_mutex mutex;

  ~Connection() {
    for (auto &[sql, stmt] : statements) sqlite3_finalize(stmt);
    if (db) sqlite3_close(db);
  }

  [[noreturn]] void fail(int rc, const std::string &what) const {
    std::string message = what + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) + " (" + file.string() + ")";
    if (isBusy(rc)) throw Busy(message);
    throw Error(message);
  }

  void exec(const char *sql) {
    char *err = nullptr;
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
      std::string message = err ? err : sqlite3_errstr(rc);
      sqlite3_free(err);
      if (isBusy(rc)) throw Busy(message);
      throw Error(std::string(sql) + ": " + message + " (" + file.string() + ")");
    }
  }

  sqlite3_stmt *prepare(const char *sql) {
    auto it = statements.find(sql);
    if (it != statements.end()) return it->second;
    sqlite3_stmt *stmt = nullptr;
    int rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) fail(rc, "prepare");
    statements.emplace(sql, stmt);
    return stmt;
  }

  // Runs `fn` in a transaction of kind `kind` (joining one already open), retrying the whole
  // transaction while another process keeps the file busy.
  template <class Fn>
  auto transact(Tx kind, Fn &&fn) -> decltype(fn()) {
    if (tx == Tx::Write || (tx == Tx::Read && kind == Tx::Read)) return fn();
    if (tx == Tx::Read) throw Error("a change was attempted inside a read snapshot");
    auto deadline = std::chrono::steady_clock::now() + kGiveUp;
    for (;;) {
      try {
        exec(kind == Tx::Write ? "BEGIN IMMEDIATE" : "BEGIN");
        tx = kind;
        if constexpr (std::is_void_v<decltype(fn())>) {
          fn();
          exec("COMMIT");
          tx = Tx::None;
          return;
        } else {
          auto result = fn();
          exec("COMMIT");
          tx = Tx::None;
          return result;
        }
      } catch (const Busy &e) {
        rollback();
        if (std::chrono::steady_clock::now() > deadline)
          throw Error(std::string("registry store stayed busy: ") + e.what());
      } catch (...) {
        rollback();
        throw;
      }
    }
  }

  void rollback() {
    if (tx != Tx::None && !sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    tx = Tx::None;
  }

  void createSchema() {
    transact(Tx::Write, [&] {
      exec(
          "CREATE TABLE IF NOT EXISTS keys("
          "  folded TEXT PRIMARY KEY,"  // case-folded full path
          "  parent TEXT NOT NULL,"     // folded path of the parent ('' under the root)
          "  path TEXT NOT NULL"        // full path as first spelled
          ") WITHOUT ROWID;"
          "CREATE INDEX IF NOT EXISTS keys_by_parent ON keys(parent, folded);"
          "CREATE TABLE IF NOT EXISTS vals("
          "  id INTEGER PRIMARY KEY,"  // grows with creation: the listing order
          "  key TEXT NOT NULL,"       // folded path of the key ('' the root)
          "  folded TEXT NOT NULL,"
          "  name TEXT NOT NULL,"
          "  type INTEGER NOT NULL,"
          "  data BLOB NOT NULL,"
          "  UNIQUE(key, folded));");
      sqlite3_stmt *version = prepare("PRAGMA user_version");
      int rc = sqlite3_step(version);
      int found = rc == SQLITE_ROW ? sqlite3_column_int(version, 0) : 0;
      sqlite3_reset(version);
      if (found > kSchemaVersion)
        throw Error("registry store " + file.string() + " was written by a newer version (format " +
                    std::to_string(found) + ")");
      if (found < kSchemaVersion) exec("PRAGMA user_version = 1");
    });
  }

  // Folded path -> stored path, for an existing key.
  std::optional<std::string> storedPath(const std::string &folded);
  bool ensureKey(const std::vector<std::string> &components);
};

// A prepared statement in use: bindings on the way in, reset on the way out so that the cached
// statement holds no read lock afterwards.
class Query {
 public:
  Query(Connection &impl, const char *sql) : impl_(impl), stmt_(impl.prepare(sql)) {}
  ~Query() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Query(const Query &) = delete;
  Query &operator=(const Query &) = delete;

  Query &bind(int i, std::string_view text) {
    check(sqlite3_bind_text(stmt_, i, text.data() ? text.data() : "", static_cast<int>(text.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  Query &bind(int i, std::int64_t n) {
    check(sqlite3_bind_int64(stmt_, i, n));
    return *this;
  }
  Query &bindBlob(int i, const std::vector<std::uint8_t> &data) {
    // A null pointer would bind SQL NULL; an empty value is an empty blob.
    static const std::uint8_t none = 0;
    check(sqlite3_bind_blob(stmt_, i, data.empty() ? &none : data.data(), static_cast<int>(data.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }

  // True while rows come; false when done.
  bool step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    impl_.fail(rc, "query");
  }
  void run() {
    while (step()) {
    }
  }

  std::string text(int col) const {
    auto p = reinterpret_cast<const char *>(sqlite3_column_text(stmt_, col));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col))) : std::string();
  }
  std::int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }
  std::vector<std::uint8_t> blob(int col) const {
    auto p = static_cast<const std::uint8_t *>(sqlite3_column_blob(stmt_, col));
    int n = sqlite3_column_bytes(stmt_, col);
    return p ? std::vector<std::uint8_t>(p, p + n) : std::vector<std::uint8_t>();
  }
  int changes() const { return sqlite3_changes(impl_.db); }

 private:
  void check(int rc) {
    if (rc != SQLITE_OK) impl_.fail(rc, "bind");
  }
  Connection &impl_;
  sqlite3_stmt *stmt_;
};

std::optional<std::string> Connection::storedPath(const std::string &folded) {
  if (folded.empty()) return std::string();
  Query q(*this, "SELECT path FROM keys WHERE folded = ?1");
  q.bind(1, folded);
  if (!q.step()) return std::nullopt;
  return q.text(0);
}

// Creates the missing keys along the path, each under its parent's stored spelling. Must run
// inside a write transaction. True when the last one was created.
bool Connection::ensureKey(const std::vector<std::string> &components) {
  std::string parentPath, parentFolded;
  bool created = false;
  for (std::size_t i = 0; i < components.size(); ++i) {
    std::string folded = foldCase(joinPath(components, i + 1));
    auto existing = storedPath(folded);
    if (existing) {
      parentPath = *existing;
      created = false;
    } else {
      std::string path = parentPath.empty() ? components[i] : parentPath + '\\' + components[i];
      Query q(*this, "INSERT INTO keys(folded, parent, path) VALUES(?1, ?2, ?3)");
      q.bind(1, folded).bind(2, parentFolded).bind(3, path).run();
      parentPath = path;
      created = true;
    }
    parentFolded = folded;
  }
  return created;
}

}  // namespace

struct Store::Impl : Connection {};

Store::Store(const std::filesystem::path &file) : impl_(std::make_unique<Impl>()) {
  impl_->file = file;
  int rc = sqlite3_open_v2(file.c_str(), &impl_->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    std::string reason = impl_->db ? sqlite3_errmsg(impl_->db) : sqlite3_errstr(rc);
    throw Error("cannot open registry store " + file.string() + ": " + reason);
  }
  sqlite3_busy_timeout(impl_->db, kBusyTimeoutMs);
  sqlite3_extended_result_codes(impl_->db, 1);
  // Switching to WAL needs a moment of exclusive access; a second process opening the same new
  // file at the same time may find it busy beyond the busy handler.
  auto deadline = std::chrono::steady_clock::now() + kGiveUp;
  for (;;) {
    try {
      sqlite3_stmt *mode = impl_->prepare("PRAGMA journal_mode = WAL");
      rc = sqlite3_step(mode);
      std::string got = rc == SQLITE_ROW ? reinterpret_cast<const char *>(sqlite3_column_text(mode, 0)) : "";
      sqlite3_reset(mode);
      if (rc != SQLITE_ROW) impl_->fail(rc, "cannot open registry store");
      if (got != "wal") throw Error("registry store " + file.string() + " cannot use a write-ahead log (" + got + ")");
      break;
    } catch (const Busy &) {
      if (std::chrono::steady_clock::now() > deadline) throw Error("registry store " + file.string() + " stayed busy");
    }
  }
  // In WAL mode NORMAL keeps every committed value across a crash of the process; only a power
  // loss may drop the last transactions, which a simulated handheld does not have.
  impl_->exec("PRAGMA synchronous = NORMAL");
  impl_->createSchema();
}

Store::~Store() = default;

const std::filesystem::path &Store::file() const { return impl_->file; }

bool Store::createKey(std::string_view key) {
  auto components = splitKeyPath(key);
  std::lock_guard lock(impl_->mutex);
  return impl_->transact(Connection::Tx::Write, [&] { return impl_->ensureKey(components); });
}

bool Store::keyExists(std::string_view key) const { return canonicalKey(key).has_value(); }

bool Store::deleteKey(std::string_view key) {
  auto components = splitKeyPath(key);
  if (components.empty()) throw Error("the root key HKEY_LOCAL_MACHINE cannot be deleted");
  std::string folded = foldCase(joinPath(components));
  auto range = subtreeOf(folded);
  std::lock_guard lock(impl_->mutex);
  return impl_->transact(Connection::Tx::Write, [&] {
    Query q(*impl_, "DELETE FROM keys WHERE folded = ?1 OR (folded >= ?2 AND folded < ?3)");
    q.bind(1, folded).bind(2, range.low).bind(3, range.high).run();
    bool existed = q.changes() > 0;
    Query v(*impl_, "DELETE FROM vals WHERE key = ?1 OR (key >= ?2 AND key < ?3)");
    v.bind(1, folded).bind(2, range.low).bind(3, range.high).run();
    return existed;
  });
}

std::optional<std::string> Store::canonicalKey(std::string_view key) const {
  auto components = splitKeyPath(key);
  std::string folded = foldCase(joinPath(components));
  std::lock_guard lock(impl_->mutex);
  return impl_->transact(Connection::Tx::Read, [&] { return impl_->storedPath(folded); });
}

std::optional<Value> Store::getValue(std::string_view key, std::string_view name) const {
  auto components = splitKeyPath(key);
  std::string folded = foldCase(joinPath(components));
  std::lock_guard lock(impl_->mutex);
  // One statement: it reads from one snapshot, so the value comes whole.
  return impl_->transact(Connection::Tx::Read, [&]() -> std::optional<Value> {
    Query q(*impl_, "SELECT name, type, data FROM vals WHERE key = ?1 AND folded = ?2");
    q.bind(1, folded).bind(2, foldCase(name));
    if (!q.step()) return std::nullopt;
    return Value{q.text(0), static_cast<std::uint32_t>(q.integer(1)), q.blob(2)};
  });
}

void Store::setValue(std::string_view key, std::string_view name, std::uint32_t type,
                     const std::vector<std::uint8_t> &data) {
  auto components = splitKeyPath(key);
  std::string folded = foldCase(joinPath(components));
  std::lock_guard lock(impl_->mutex);
  impl_->transact(Connection::Tx::Write, [&] {
    impl_->ensureKey(components);
    // An update in place keeps the row, and with it the value's place in the listing order.
    Query q(*impl_,
            "INSERT INTO vals(key, folded, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
            "ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data");
    q.bind(1, folded).bind(2, foldCase(name)).bind(3, name).bind(4, static_cast<std::int64_t>(type)).bindBlob(5, data);
    q.run();
  });
}

bool Store::deleteValue(std::string_view key, std::string_view name) {
  auto components = splitKeyPath(key);
  std::string folded = foldCase(joinPath(components));
  std::lock_guard lock(impl_->mutex);
  return impl_->transact(Connection::Tx::Write, [&] {
    Query q(*impl_, "DELETE FROM vals WHERE key = ?1 AND folded = ?2");
    q.bind(1, folded).bind(2, foldCase(name)).run();
    return q.changes() > 0;
  });
}

std::vector<std::string> Store::subkeys(std::string_view key) const {
  auto components = splitKeyPath(key);
  std::string folded = foldCase(joinPath(components));
  std::lock_guard lock(impl_->mutex);
  return impl_->transact(Connection::Tx::Read, [&] {
    std::vector<std::string> out;
    Query q(*impl_, "SELECT path FROM keys WHERE parent = ?1 ORDER BY folded");
    q.bind(1, folded);
    while (q.step()) {
      std::string path = q.text(0);
      auto slash = path.rfind('\\');
      out.push_back(slash == std::string::npos ? path : path.substr(slash + 1));
    }
    return out;
  });
}

std::vector<Value> Store::values(std::string_view key) const {
  auto components = splitKeyPath(key);
  std::string folded = foldCase(joinPath(components));
  std::lock_guard lock(impl_->mutex);
  return impl_->transact(Connection::Tx::Read, [&] {
    std::vector<Value> out;
    Query q(*impl_, "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id");
    q.bind(1, folded);
    while (q.step()) out.push_back(Value{q.text(0), static_cast<std::uint32_t>(q.integer(1)), q.blob(2)});
    return out;
  });
}

void Store::failOn(FailOp op, std::string_view key, std::string_view name, int count) {
  if (count == 0) return;
  std::string foldedKey = key == "*" ? std::string("*") : foldCase(joinPath(splitKeyPath(key)));
  std::string foldedName = name == "*" ? std::string("*") : foldCase(name);
  std::lock_guard lock(impl_->mutex);
  impl_->failures.push_back({op, foldedKey, foldedName, count});
}

bool Store::shouldFail(FailOp op, std::string_view key, std::string_view name) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->failures.empty()) return false;
  std::string foldedKey = isValidKeyPath(key) ? foldCase(joinPath(splitKeyPath(key)))
                                              : foldCase(key);
  std::string foldedName = foldCase(name);
  for (auto it = impl_->failures.begin(); it != impl_->failures.end(); ++it) {
    if (it->op != op) continue;
    if (it->key != "*" && it->key != foldedKey) continue;
    if (it->name != "*" && name != "*" && it->name != foldedName) continue;
    if (it->count > 0 && --it->count == 0) impl_->failures.erase(it);
    return true;
  }
  return false;
}

void Store::clearFailures() {
  std::lock_guard lock(impl_->mutex);
  impl_->failures.clear();
}

void Store::batch(const std::function<void()> &fn) {
  std::lock_guard lock(impl_->mutex);
  impl_->transact(Connection::Tx::Write, fn);
}

void Store::snapshot(const std::function<void()> &fn) const {
  std::lock_guard lock(impl_->mutex);
  impl_->transact(Connection::Tx::Read, fn);
}

}  // namespace teskel::registry
