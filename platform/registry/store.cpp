// The registry store over SQLite: a tree of keys (each row its own name under its parent's id),
// values replaced whole in one transaction, WAL journal so that a reader in another process never
// waits for a writer.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
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
// Inside a call group (a simulated handheld's entry point) the store is waited for no longer than
// a device's registry would take: a call that cannot have it fails, and the caller tries later.
constexpr int kGroupBusyTimeoutMs = 5;
// 1: one row per key holding its whole path (grew with the square of the depth); 2: one row per
// key holding its own name. Files of format 1 are converted when opened for writing.
constexpr int kSchemaVersion = 2;
constexpr std::int64_t kRootId = 0;

// For the tests that kill a process in the middle of its registry writes, at a counted point
// rather than a random one: TESKEL_REGISTRY_KILL_AT_WRITE=N ends this process with SIGKILL at its
// Nth write (a key made, a value set or deleted, a key deleted, a write transaction committed).
void writePoint() {
  static const long killAt = [] {
    const char *text = std::getenv("TESKEL_REGISTRY_KILL_AT_WRITE");
    return text ? std::strtol(text, nullptr, 10) : 0L;
  }();
  static std::atomic<long> writes{0};
  if (killAt > 0 && ++writes == killAt) ::kill(::getpid(), SIGKILL);
}

class Busy : public Error {
 public:
  using Error::Error;
};

bool isBusy(int rc) {
  int primary = rc & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// What went wrong, in words for the user; the library's own texts name its internals.
std::string reason(sqlite3 *db, int rc) {
  int primary = rc & 0xff;
  // The operating system's error is that of the last failed call: it tells only for failures
  // of the file itself.
  bool fileError = primary == SQLITE_IOERR || primary == SQLITE_CANTOPEN;
  int sys = db && fileError ? sqlite3_system_errno(db) : 0;
  if (primary == SQLITE_FULL || sys == ENOSPC || sys == EDQUOT) return "the disk is full";
  switch (primary) {
    case SQLITE_READONLY: return "the store is read-only";
    case SQLITE_PERM:
    case SQLITE_AUTH: return "permission denied";
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return "the file is damaged or is not a registry store";
    case SQLITE_NOMEM: return "out of memory";
    case SQLITE_CANTOPEN: return std::string("cannot open the file") + (sys ? ": " + std::string(std::strerror(sys)) : "");
    case SQLITE_IOERR: return std::string("input/output error") + (sys ? ": " + std::string(std::strerror(sys)) : "");
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return "another process keeps it busy";
    default: return sqlite3_errstr(rc);
  }
}

// The connection to the file and this process's state around it.
struct Connection {
  std::filesystem::path file;
  sqlite3 *db = nullptr;
  std::map<std::string, sqlite3_stmt *> statements;
  // Depth of the transaction this process holds: 0 none, else its kind.
  enum class Tx { None, Read, Write } tx = Tx::None;
  // Call groups open (beginGroup); while one is, the transaction is opened at the first call,
  // kept to the group's end, and the store is waited for only kGroupBusyTimeoutMs.
  int groupDepth = 0;
  bool groupTx = false;
  int callDepth = 0;
  int busyTimeoutMs = kBusyTimeoutMs;

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

  [[noreturn]] void fail(int rc) const {
    std::string message = "registry store " + file.string() + ": " + reason(db, rc);
    if (isBusy(rc)) throw Busy(message);
    throw Error(message);
  }

  void exec(const char *sql) {
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) fail(rc);
  }
  // The same for one statement that runs often (transaction control), kept prepared.
  void execPrepared(const char *sql) {
    sqlite3_stmt *stmt = prepare(sql);
    int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) fail(rc);
  }

  sqlite3_stmt *prepare(const char *sql) {
    auto it = statements.find(sql);
    if (it != statements.end()) return it->second;
    sqlite3_stmt *stmt = nullptr;
    int rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) fail(rc);
    statements.emplace(sql, stmt);
    return stmt;
  }

  // Opened on a file this process may only read: reads work, every change is refused.
  bool readOnly = false;
  void requireWritable() const {
    if (readOnly)
      throw Error("registry store " + file.string() + ": the store is read-only (no write access to it or its folder)");
  }

  // Runs `fn` in a transaction of kind `kind` (joining one already open), retrying the whole
  // transaction while another process keeps the file busy.
  template <class Fn>
  auto transact(Tx kind, Fn &&fn) -> decltype(fn()) {
    // A read-only store has no write transactions; each change refuses itself.
    if (readOnly) kind = Tx::Read;
    if (groupDepth > 0 && (tx == Tx::None || groupTx)) return inGroup(kind, fn);
    if (tx == Tx::Write || (tx == Tx::Read && kind == Tx::Read)) return fn();
    if (tx == Tx::Read) throw Error("a change was attempted inside a read snapshot");
    auto deadline = std::chrono::steady_clock::now() + kGiveUp;
    for (;;) {
      try {
        exec(kind == Tx::Write ? "BEGIN IMMEDIATE" : "BEGIN");
        tx = kind;
        if constexpr (std::is_void_v<decltype(fn())>) {
          fn();
          commit();
          return;
        } else {
          auto result = fn();
          commit();
          return result;
        }
      } catch (const Busy &e) {
        rollback();
        if (std::chrono::steady_clock::now() > deadline)
          throw Error(std::string(e.what()) + " (gave up after " + std::to_string(kGiveUp.count()) + " s)");
      } catch (...) {
        rollback();
        throw;
      }
    }
  }

  // One call of a group: the group's transaction is opened by its first call, as a read (which
  // waits for nobody) while the calls only read, with the write lock from the first call that
  // changes something to the group's end. Each call is a savepoint of its own, so a call that
  // fails leaves nothing of itself behind. Nothing is retried: a store kept busy fails the call.
  template <class Fn>
  auto inGroup(Tx kind, Fn &&fn) -> decltype(fn()) {
    if (callDepth > 0) {
      // A store call made by a call: part of it.
      if (tx == Tx::Read && kind == Tx::Write) throw Error("a change was attempted inside a read snapshot");
      return fn();
    }
    if (tx == Tx::Read && kind == Tx::Write) {
      // Only reads were made so far; the write lock is taken for the rest of the group.
      execPrepared("COMMIT");
      tx = Tx::None;
    }
    if (tx == Tx::None) {
      try {
        execPrepared(kind == Tx::Write ? "BEGIN IMMEDIATE" : "BEGIN");
      } catch (...) {
        rollback();
        throw;
      }
      tx = kind;
      groupTx = true;
    }
    execPrepared("SAVEPOINT call");
    struct Depth {
      int &depth;
      explicit Depth(int &d) : depth(++d) {}
      ~Depth() { --depth; }
    };
    try {
      Depth depth(callDepth);
      if constexpr (std::is_void_v<decltype(fn())>) {
        fn();
        execPrepared("RELEASE call");
      } else {
        auto result = fn();
        execPrepared("RELEASE call");
        return result;
      }
    } catch (...) {
      if (!sqlite3_get_autocommit(db)) {
        sqlite3_exec(db, "ROLLBACK TO call", nullptr, nullptr, nullptr);
        sqlite3_exec(db, "RELEASE call", nullptr, nullptr, nullptr);
      } else {
        tx = Tx::None;
        groupTx = false;
      }
      throw;
    }
  }

  void commit() {
    if (tx == Tx::Write) writePoint();
    execPrepared("COMMIT");
    tx = Tx::None;
  }

  void beginGroup() {
    if (groupDepth++ == 0) busyTimeoutMs = kGroupBusyTimeoutMs;
  }
  void endGroup() {
    if (groupDepth == 0 || --groupDepth > 0) return;
    busyTimeoutMs = kBusyTimeoutMs;
    if (!groupTx) return;
    groupTx = false;
    try {
      if (tx != Tx::None && !sqlite3_get_autocommit(db)) commit();
    } catch (const Error &) {
      // Like the device's registry, which keeps changes in memory and writes them out later,
      // the calls have been answered already; what could not be kept is dropped whole.
      rollback();
    }
    tx = Tx::None;
  }

  void rollback() {
    if (tx != Tx::None && !sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    tx = Tx::None;
    groupTx = false;
  }

  void createSchema();
  void migrateFromPathRows();

  // The key at `components` (folded names), or nullopt. `spelling` gets its stored path.
  std::optional<std::int64_t> findKey(const std::vector<std::string> &components, std::string *spelling = nullptr);
  // Creates the missing keys along the path, each under its parent's stored spelling. Must run
  // inside a write transaction. The id of the last one, and whether it was created.
  std::pair<std::int64_t, bool> ensureKey(const std::vector<std::string> &components, bool checkNames = true);
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
    impl_.fail(rc);
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
    if (rc != SQLITE_OK) impl_.fail(rc);
  }
  Connection &impl_;
  sqlite3_stmt *stmt_;
};

void Connection::createSchema() {
  transact(Tx::Write, [&] {
    sqlite3_stmt *version = prepare("PRAGMA user_version");
    int rc = sqlite3_step(version);
    int found = rc == SQLITE_ROW ? sqlite3_column_int(version, 0) : 0;
    sqlite3_reset(version);
    if (rc != SQLITE_ROW) fail(rc);
    if (found > kSchemaVersion)
      throw Error("registry store " + file.string() + " was written by a newer version (format " +
                  std::to_string(found) + ")");
    if (found == kSchemaVersion) return;
    if (readOnly && found == 0) throw Error("registry store " + file.string() + ": the file is empty and read-only");
    if (readOnly)
      throw Error("registry store " + file.string() +
                  " is in an older format and read-only here; open it once with write access to convert it");
    if (found == 1) exec("ALTER TABLE keys RENAME TO keys_v1; ALTER TABLE vals RENAME TO vals_v1;");
    exec(
        "CREATE TABLE IF NOT EXISTS keys("
        "  id INTEGER PRIMARY KEY,"
        "  parent INTEGER NOT NULL,"  // id of the parent key; 0 the root
        "  folded TEXT NOT NULL,"     // case-folded name of this key alone
        "  name TEXT NOT NULL,"       // as first spelled
        "  UNIQUE(parent, folded));"
        "CREATE TABLE IF NOT EXISTS vals("
        "  id INTEGER PRIMARY KEY,"   // grows with creation: the listing order
        "  key INTEGER NOT NULL,"     // id of the key; 0 the root
        "  folded TEXT NOT NULL,"
        "  name TEXT NOT NULL,"
        "  type INTEGER NOT NULL,"
        "  data BLOB NOT NULL,"
        "  UNIQUE(key, folded));");
    if (found == 1) migrateFromPathRows();
    exec("PRAGMA user_version = 2");
  });
}

// Format 1 kept every key's whole path; each becomes one row under its parent, and every value
// keeps its id (so its place in the listing) under its key's new id. Keys are read shortest path
// first, so a parent is always in place before its children; names are taken as they are, even
// those that new keys may no longer have.
void Connection::migrateFromPathRows() {
  std::map<std::string, std::int64_t> ids{{"", kRootId}};
  auto idOf = [&](const std::string &foldedPath, const std::string &path) {
    auto it = ids.find(foldedPath);
    if (it != ids.end()) return it->second;
    // A row whose parent row is missing: its chain is made from its own path.
    std::vector<std::string> names = splitKeyPath(path);
    std::int64_t parent = kRootId;
    std::string foldedSoFar;
    for (const auto &name : names) {
      if (!foldedSoFar.empty()) foldedSoFar += '\\';
      foldedSoFar += foldCase(name);
      auto known = ids.find(foldedSoFar);
      if (known != ids.end()) {
        parent = known->second;
        continue;
      }
      Query q(*this, "INSERT INTO keys(parent, folded, name) VALUES(?1, ?2, ?3) ON CONFLICT DO NOTHING");
      q.bind(1, parent).bind(2, foldCase(name)).bind(3, name).run();
      Query find(*this, "SELECT id FROM keys WHERE parent = ?1 AND folded = ?2");
      find.bind(1, parent).bind(2, foldCase(name));
      find.step();
      parent = find.integer(0);
      ids.emplace(foldedSoFar, parent);
    }
    return parent;
  };
  {
    std::vector<std::pair<std::string, std::string>> keys;  // folded path, path
    Query q(*this, "SELECT folded, path FROM keys_v1 ORDER BY length(folded), folded");
    while (q.step()) keys.emplace_back(q.text(0), q.text(1));
    for (const auto &[folded, path] : keys) idOf(folded, path);
  }
  {
    std::vector<std::tuple<std::int64_t, std::string, std::string, std::string, std::int64_t, std::vector<std::uint8_t>>> vals;
    Query q(*this, "SELECT id, key, folded, name, type, data FROM vals_v1 ORDER BY id");
    while (q.step()) vals.emplace_back(q.integer(0), q.text(1), q.text(2), q.text(3), q.integer(4), q.blob(5));
    for (const auto &[id, key, folded, name, type, data] : vals) {
      Query insert(*this, "INSERT INTO vals(id, key, folded, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
      insert.bind(1, id).bind(2, idOf(key, key)).bind(3, folded).bind(4, name).bind(5, type).bindBlob(6, data).run();
    }
  }
  exec("DROP TABLE keys_v1; DROP TABLE vals_v1;");
}

std::optional<std::int64_t> Connection::findKey(const std::vector<std::string> &components, std::string *spelling) {
  if (spelling) spelling->clear();
  std::int64_t id = kRootId;
  for (const auto &name : components) {
    Query q(*this, "SELECT id, name FROM keys WHERE parent = ?1 AND folded = ?2");
    q.bind(1, id).bind(2, foldCase(name));
    if (!q.step()) return std::nullopt;
    id = q.integer(0);
    if (spelling) {
      if (!spelling->empty()) *spelling += '\\';
      *spelling += q.text(1);
    }
  }
  return id;
}

std::pair<std::int64_t, bool> Connection::ensureKey(const std::vector<std::string> &components, bool checkNames) {
  std::int64_t id = kRootId;
  bool created = false;
  for (std::size_t i = 0; i < components.size(); ++i) {
    const std::string &name = components[i];
    std::string folded = foldCase(name);
    Query find(*this, "SELECT id FROM keys WHERE parent = ?1 AND folded = ?2");
    find.bind(1, id).bind(2, folded);
    if (find.step()) {
      id = find.integer(0);
      created = false;
      continue;
    }
    requireWritable();
    if (checkNames) {
      checkKeyDepth(components.size());
      checkKeyName(name);
    }
    writePoint();
    Query q(*this, "INSERT INTO keys(parent, folded, name) VALUES(?1, ?2, ?3)");
    q.bind(1, id).bind(2, folded).bind(3, name).run();
    id = sqlite3_last_insert_rowid(db);
    created = true;
  }
  return {id, created};
}

}  // namespace

struct Store::Impl : Connection {};

namespace {

// SQLite's own busy timeout sleeps 1, 2, 5, 10 ... 100 ms between tries, so a write that meets
// another process's write (a few dozen microseconds) would wait a millisecond or more. Here the
// waits start at 20 us and double up to 1 ms, until kBusyTimeoutMs in all.
int waitWhileBusy(void *connection, int tries) {
  static constexpr int kFirstUs = 20, kLongestUs = 1000;
  thread_local std::chrono::steady_clock::time_point since;
  auto now = std::chrono::steady_clock::now();
  if (tries == 0) since = now;
  if (now - since >= std::chrono::milliseconds(static_cast<Connection *>(connection)->busyTimeoutMs)) return 0;
  int us = tries < 6 ? kFirstUs << tries : kLongestUs;
  usleep(static_cast<useconds_t>(us > kLongestUs ? kLongestUs : us));
  return 1;
}

// A file name as an SQLite URI path: the characters that URIs give a meaning are escaped.
std::string uriPath(const std::filesystem::path &file) {
  std::string out;
  char escape[4];
  for (char c : std::filesystem::absolute(file).string()) {
    if (c == '?' || c == '#' || c == '%' || static_cast<unsigned char>(c) < 0x21) {
      std::snprintf(escape, sizeof escape, "%%%02X", static_cast<unsigned char>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  return out;
}

bool writable(const std::filesystem::path &p) { return access(p.c_str(), W_OK) == 0; }

// The store holds secrets (the WEP keys): the file is its owner's alone, whatever the umask, and
// SQLite gives its journal files the mode of the file. A file of ours that others could read (as
// earlier versions left it) is closed to them; one of somebody else's is left as it is.
void keepToOwner(const std::filesystem::path &file) {
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;  // opening the store itself says why
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 0777) != 0600)
    ::fchmod(fd, 0600);
  ::close(fd);
  for (const char *suffix : {"-wal", "-shm"}) {
    std::string journal = file.string() + suffix;
    if (::lstat(journal.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 0077))
      ::chmod(journal.c_str(), st.st_mode & 0700);
  }
}

}  // namespace

Store::Store(const std::filesystem::path &file) : impl_(std::make_unique<Impl>()) {
  impl_->file = file;
  std::error_code ec;
  std::filesystem::path folder = std::filesystem::absolute(file, ec).parent_path();
  bool exists = std::filesystem::exists(file, ec);
  // SQLite keeps its write-ahead log and the index to it next to the file: without write access
  // to the folder (or the file) the store can only be read, and then only as a read-only open.
  impl_->readOnly = !writable(folder) || (exists && !writable(file));
  if (impl_->readOnly && !exists) {
    bool folderThere = std::filesystem::is_directory(folder, ec);
    throw Error("cannot create registry store " + file.string() +
                (folderThere ? ": its folder is read-only" : ": its folder does not exist"));
  }
  if (!impl_->readOnly) keepToOwner(file);
  std::string uri = "file:" + uriPath(file);
  int flags = SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
  if (impl_->readOnly) {
    // The log's index can be made only where the folder is writable, or read where a writer left
    // it; with neither, no other process can be writing, and the file is read as it lies.
    bool logLeft = std::filesystem::exists(file.string() + "-wal", ec) && std::filesystem::exists(file.string() + "-shm", ec);
    uri += writable(folder) || logLeft ? "?mode=ro" : "?immutable=1";
    flags |= SQLITE_OPEN_READONLY;
  } else {
    flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  }
  int rc = sqlite3_open_v2(uri.c_str(), &impl_->db, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string why = reason(impl_->db, rc);
    throw Error("cannot open registry store " + file.string() + ": " + why);
  }
  sqlite3_busy_handler(impl_->db, waitWhileBusy, static_cast<Connection *>(impl_.get()));
  sqlite3_extended_result_codes(impl_->db, 1);
  if (!impl_->readOnly && sqlite3_db_readonly(impl_->db, "main") == 1) impl_->readOnly = true;
  // Switching to WAL needs a moment of exclusive access; a second process opening the same new
  // file at the same time may find it busy beyond the busy handler.
  auto deadline = std::chrono::steady_clock::now() + kGiveUp;
  while (!impl_->readOnly) {
    try {
      sqlite3_stmt *mode = impl_->prepare("PRAGMA journal_mode = WAL");
      rc = sqlite3_step(mode);
      std::string got = rc == SQLITE_ROW ? reinterpret_cast<const char *>(sqlite3_column_text(mode, 0)) : "";
      sqlite3_reset(mode);
      if (rc != SQLITE_ROW) impl_->fail(rc);
      if (got != "wal") throw Error("registry store " + file.string() + " cannot use a write-ahead log (" + got + ")");
      break;
    } catch (const Busy &) {
      if (std::chrono::steady_clock::now() > deadline) throw Error("registry store " + file.string() + " stayed busy");
    }
  }
  // In WAL mode NORMAL keeps every committed value across a crash of the process; only a power
  // loss may drop the last transactions, which a simulated handheld does not have.
  if (!impl_->readOnly) impl_->exec("PRAGMA synchronous = NORMAL");
  impl_->createSchema();
}

Store::Store(Empty) : impl_(std::make_unique<Impl>()) {
  impl_->file = "(no store)";
  int rc = sqlite3_open_v2("file::memory:", &impl_->db,
                           SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_READWRITE | SQLITE_OPEN_MEMORY, nullptr);
  if (rc != SQLITE_OK) throw Error("cannot make an empty registry: " + reason(impl_->db, rc));
  impl_->createSchema();
  impl_->readOnly = true;
}

Store::~Store() = default;

const std::filesystem::path &Store::file() const { return impl_->file; }

bool Store::createKey(std::string_view key) {
  auto components = splitKeyPath(key);
  std::lock_guard lock(impl_->mutex);
  return impl_->transact(Connection::Tx::Write, [&] { return impl_->ensureKey(components).second; });
}

bool Store::keyExists(std::string_view key) const { return canonicalKey(key).has_value(); }

bool Store::deleteKey(std::string_view key) {
  auto components = splitKeyPath(key);
  if (components.empty()) throw Error("the root key HKEY_LOCAL_MACHINE cannot be deleted");
  std::lock_guard lock(impl_->mutex);
  return impl_->transact(Connection::Tx::Write, [&] {
    auto id = impl_->findKey(components);
    if (!id) return false;
    impl_->requireWritable();
    writePoint();
    Query v(*impl_,
            "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id) "
            "DELETE FROM vals WHERE key IN sub");
    v.bind(1, *id).run();
    Query q(*impl_,
            "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id) "
            "DELETE FROM keys WHERE id IN sub");
    q.bind(1, *id).run();
    return true;
  });
}

std::optional<std::string> Store::canonicalKey(std::string_view key) const {
  auto components = splitKeyPath(key);
  std::lock_guard lock(impl_->mutex);
  return impl_->transact(Connection::Tx::Read, [&]() -> std::optional<std::string> {
    std::string spelling;
    if (!impl_->findKey(components, &spelling)) return std::nullopt;
    return spelling;
  });
}

std::optional<Value> Store::getValue(std::string_view key, std::string_view name) const {
  auto components = splitKeyPath(key);
  std::lock_guard lock(impl_->mutex);
  // One read transaction: the value comes whole.
  return impl_->transact(Connection::Tx::Read, [&]() -> std::optional<Value> {
    auto id = impl_->findKey(components);
    if (!id) return std::nullopt;
    Query q(*impl_, "SELECT name, type, data FROM vals WHERE key = ?1 AND folded = ?2");
    q.bind(1, *id).bind(2, foldCase(name));
    if (!q.step()) return std::nullopt;
    return Value{q.text(0), static_cast<std::uint32_t>(q.integer(1)), q.blob(2)};
  });
}

void Store::setValue(std::string_view key, std::string_view name, std::uint32_t type,
                     const std::vector<std::uint8_t> &data) {
  auto components = splitKeyPath(key);
  std::lock_guard lock(impl_->mutex);
  impl_->transact(Connection::Tx::Write, [&] {
    impl_->requireWritable();
    std::int64_t id = impl_->ensureKey(components).first;
    writePoint();
    // An update in place keeps the row, and with it the value's place in the listing order.
    Query q(*impl_,
            "INSERT INTO vals(key, folded, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
            "ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data");
    q.bind(1, id).bind(2, foldCase(name)).bind(3, name).bind(4, static_cast<std::int64_t>(type)).bindBlob(5, data);
    q.run();
  });
}

bool Store::deleteValue(std::string_view key, std::string_view name) {
  auto components = splitKeyPath(key);
  std::lock_guard lock(impl_->mutex);
  return impl_->transact(Connection::Tx::Write, [&] {
    auto id = impl_->findKey(components);
    if (!id) return false;
    Query find(*impl_, "SELECT 1 FROM vals WHERE key = ?1 AND folded = ?2");
    find.bind(1, *id).bind(2, foldCase(name));
    if (!find.step()) return false;
    impl_->requireWritable();
    writePoint();
    Query q(*impl_, "DELETE FROM vals WHERE key = ?1 AND folded = ?2");
    q.bind(1, *id).bind(2, foldCase(name)).run();
    return true;
  });
}

std::vector<std::string> Store::subkeys(std::string_view key) const {
  auto components = splitKeyPath(key);
  std::lock_guard lock(impl_->mutex);
  return impl_->transact(Connection::Tx::Read, [&] {
    std::vector<std::string> out;
    auto id = impl_->findKey(components);
    if (!id) return out;
    Query q(*impl_, "SELECT name FROM keys WHERE parent = ?1 ORDER BY folded");
    q.bind(1, *id);
    while (q.step()) out.push_back(q.text(0));
    return out;
  });
}

std::vector<Value> Store::values(std::string_view key) const {
  auto components = splitKeyPath(key);
  std::lock_guard lock(impl_->mutex);
  return impl_->transact(Connection::Tx::Read, [&] {
    std::vector<Value> out;
    auto id = impl_->findKey(components);
    if (!id) return out;
    Query q(*impl_, "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id");
    q.bind(1, *id);
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

void Store::beginGroup() {
  std::lock_guard lock(impl_->mutex);
  impl_->beginGroup();
}

void Store::endGroup() {
  std::lock_guard lock(impl_->mutex);
  impl_->endGroup();
}

}  // namespace teskel::registry
