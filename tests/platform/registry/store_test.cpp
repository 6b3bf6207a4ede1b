// The registry store: names without case, recursive deletion, whole replacement, listing order,
// persistence, transactions and named failures.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <fstream>

#include "teskel/registry_store.h"
#include "temp_dir.h"

namespace teskel::registry {
namespace {

using Bytes = std::vector<std::uint8_t>;

class StoreTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  std::unique_ptr<Store> store = std::make_unique<Store>(dir.path() / kStoreFileName);
};

std::vector<std::string> names(const std::vector<Value> &values) {
  std::vector<std::string> out;
  for (const auto &v : values) out.push_back(v.name);
  return out;
}

TEST_F(StoreTest, KeysMatchWithoutCaseAndKeepTheirFirstSpelling) {
  EXPECT_TRUE(store->createKey("Comm\\Teskel1\\Parms"));
  EXPECT_FALSE(store->createKey("COMM\\teskel1\\PARMS"));
  EXPECT_TRUE(store->keyExists("comm\\TESKEL1\\parms"));
  EXPECT_EQ(store->canonicalKey("comm\\teskel1\\parms"), "Comm\\Teskel1\\Parms");
  // A new child under a differently spelled parent joins the parent as first spelled.
  EXPECT_TRUE(store->createKey("COMM\\TESKEL1\\Linkage"));
  EXPECT_EQ(store->canonicalKey("comm\\teskel1\\linkage"), "Comm\\Teskel1\\Linkage");
  EXPECT_EQ(store->subkeys("comm"), std::vector<std::string>{"Teskel1"});
  // Letters beyond ASCII fold too; surrounding separators are ignored.
  EXPECT_TRUE(store->createKey("\\Ärger\\ΣΙΓΜΑ\\"));
  EXPECT_EQ(store->canonicalKey("ärger\\σιγμα"), "Ärger\\ΣΙΓΜΑ");
  EXPECT_FALSE(store->keyExists("Comm\\Teskel"));
  EXPECT_EQ(store->canonicalKey("Comm\\Teskel"), std::nullopt);
}

TEST_F(StoreTest, CreatingAKeyCreatesItsParents) {
  EXPECT_TRUE(store->createKey("A\\B\\C"));
  EXPECT_TRUE(store->keyExists("A"));
  EXPECT_TRUE(store->keyExists("A\\B"));
  store->setValue("X\\Y", "v", 4, {1, 0, 0, 0});
  EXPECT_TRUE(store->keyExists("X"));
  EXPECT_EQ(store->subkeys(""), (std::vector<std::string>{"A", "X"}));
}

TEST_F(StoreTest, ValueNamesMatchWithoutCaseAndKeepTheirFirstSpelling) {
  store->setValue("K", "SSID", 1, {'a', 0, 0, 0});
  store->setValue("k", "ssid", 3, {9, 9, 9});
  auto v = store->getValue("K", "Ssid");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->name, "SSID");
  EXPECT_EQ(v->type, 3u);
  EXPECT_EQ(v->data, (Bytes{9, 9, 9}));
  EXPECT_EQ(store->values("K").size(), 1u);
}

TEST_F(StoreTest, ValueIsReplacedWhole) {
  struct Step {
    std::uint32_t type;
    Bytes data;
  };
  const Step steps[] = {{3, Bytes(300, 0xAA)}, {3, Bytes{1, 2}}, {4, Bytes{4, 3, 2, 1}}, {3, Bytes{}}, {7, Bytes(9000, 0x55)}};
  for (const auto &step : steps) {
    store->setValue("K", "V", step.type, step.data);
    auto v = store->getValue("K", "V");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->type, step.type);
    EXPECT_EQ(v->data, step.data);
  }
}

TEST_F(StoreTest, EmptyDataIsAValueAndTheEmptyNameIsTheDefault) {
  store->setValue("K", "", 1, {'d', 0, 0, 0});
  store->setValue("K", "empty", 3, {});
  auto empty = store->getValue("K", "empty");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->data.empty());
  auto def = store->getValue("K", "");
  ASSERT_TRUE(def);
  EXPECT_EQ(def->name, "");
  EXPECT_EQ(store->getValue("K", "missing"), std::nullopt);
  EXPECT_EQ(store->getValue("NoSuchKey", ""), std::nullopt);
}

TEST_F(StoreTest, ValuesListInCreationOrderAndReplacementKeepsThePlace) {
  for (const char *n : {"b", "a", "C", "d"}) store->setValue("K", n, 4, {0, 0, 0, 0});
  store->setValue("K", "B", 4, {1, 0, 0, 0});
  EXPECT_EQ(names(store->values("K")), (std::vector<std::string>{"b", "a", "C", "d"}));
  EXPECT_TRUE(store->deleteValue("K", "A"));
  EXPECT_FALSE(store->deleteValue("K", "a"));
  store->setValue("K", "a", 4, {0, 0, 0, 0});
  EXPECT_EQ(names(store->values("K")), (std::vector<std::string>{"b", "C", "d", "a"}));
  EXPECT_TRUE(store->values("NoSuchKey").empty());
}

TEST_F(StoreTest, SubkeysAreDirectChildrenSortedWithoutCase) {
  for (const char *k : {"K\\gamma", "K\\Alpha", "K\\beta\\deep", "K2"}) store->createKey(k);
  EXPECT_EQ(store->subkeys("k"), (std::vector<std::string>{"Alpha", "beta", "gamma"}));
  EXPECT_EQ(store->subkeys("K\\Beta"), std::vector<std::string>{"deep"});
  EXPECT_TRUE(store->subkeys("K\\gamma").empty());
}

TEST_F(StoreTest, DeletingAKeyRemovesItsSubkeysAndValuesButNotItsNeighbours) {
  // Neighbours whose names start like the deleted key, on both sides of '\' in byte order.
  const char *survivors[] = {"AB", "A[", "A]", "A0", "B\\A"};
  for (const char *k : survivors) store->setValue(k, "v", 4, {1, 2, 3, 4});
  store->setValue("A", "top", 4, {1, 0, 0, 0});
  store->setValue("A\\B", "mid", 4, {2, 0, 0, 0});
  store->setValue("A\\B\\C", "low", 4, {3, 0, 0, 0});

  EXPECT_TRUE(store->deleteKey("a"));
  for (const char *k : {"A", "A\\B", "A\\B\\C"}) EXPECT_FALSE(store->keyExists(k)) << k;
  EXPECT_EQ(store->getValue("A\\B\\C", "low"), std::nullopt);
  for (const char *k : survivors) {
    EXPECT_TRUE(store->keyExists(k)) << k;
    EXPECT_TRUE(store->getValue(k, "v")) << k;
  }
  // Recreating the key does not bring old values back.
  store->createKey("A\\B");
  EXPECT_TRUE(store->values("A\\B").empty());
  EXPECT_FALSE(store->deleteKey("Nope"));
}

TEST_F(StoreTest, DeletingASubkeyLeavesItsParent) {
  store->setValue("P", "keep", 4, {1, 0, 0, 0});
  store->setValue("P\\Child", "gone", 4, {1, 0, 0, 0});
  EXPECT_TRUE(store->deleteKey("p\\child"));
  EXPECT_TRUE(store->getValue("P", "keep"));
  EXPECT_TRUE(store->subkeys("P").empty());
}

TEST_F(StoreTest, RefusesBadPathsAndTheRoot) {
  EXPECT_THROW(store->createKey("A\\\\B"), Error);
  EXPECT_THROW(store->setValue("A\\\\B", "v", 4, {}), Error);
  EXPECT_THROW(store->deleteKey(""), Error);
  EXPECT_THROW(store->deleteKey("\\"), Error);
  EXPECT_TRUE(store->keyExists(""));
}

TEST_F(StoreTest, ValuesSurviveReopening) {
  store->setValue("Comm\\Teskel1\\Parms", "bytein", 4, {7, 0, 0, 0});
  store.reset();
  Store again(dir.path() / kStoreFileName);
  auto v = again.getValue("comm\\teskel1\\parms", "BYTEIN");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->data, (Bytes{7, 0, 0, 0}));
}

TEST_F(StoreTest, BatchLandsWholeOrNotAtAll) {
  store->setValue("K", "a", 4, {1, 0, 0, 0});
  EXPECT_THROW(store->batch([&] {
    store->setValue("K", "a", 4, {2, 0, 0, 0});
    store->createKey("New");
    throw Error("stop");
  }),
               Error);
  EXPECT_EQ(store->getValue("K", "a")->data, (Bytes{1, 0, 0, 0}));
  EXPECT_FALSE(store->keyExists("New"));
  store->batch([&] {
    store->setValue("K", "a", 4, {3, 0, 0, 0});
    store->createKey("New");
  });
  EXPECT_EQ(store->getValue("K", "a")->data, (Bytes{3, 0, 0, 0}));
  EXPECT_TRUE(store->keyExists("New"));
  // Reads inside a snapshot may not turn into writes.
  EXPECT_THROW(store->snapshot([&] { store->createKey("Other"); }), Error);
  EXPECT_FALSE(store->keyExists("Other"));
}

TEST_F(StoreTest, OpeningSomethingThatIsNotAStoreFails) {
  auto junk = dir.path() / "junk.db";
  std::ofstream(junk) << std::string(4096, 'x');
  try {
    Store{junk};
    ADD_FAILURE() << "junk opened";
  } catch (const Error &e) {
    // The user reads what is wrong with which file, not the library's words for its steps.
    std::string what = e.what();
    EXPECT_NE(what.find("junk.db"), std::string::npos) << what;
    EXPECT_NE(what.find("not a registry store"), std::string::npos) << what;
    for (const char *internal : {"prepare", "query:", "COMMIT", "PRAGMA", "SQL"})
      EXPECT_EQ(what.find(internal), std::string::npos) << what;
  }
  EXPECT_THROW(Store{dir.path() / "no" / "such" / "folder" / "r.db"}, Error);
}

TEST_F(StoreTest, NamedFailuresMatchOperationKeyAndNameAndCountDown) {
  store->failOn(FailOp::SetValue, "Comm\\Teskel1\\Parms", "SSID", 2);
  EXPECT_FALSE(store->shouldFail(FailOp::SetValue, "Comm\\Teskel1\\Parms", "Channel"));
  EXPECT_FALSE(store->shouldFail(FailOp::QueryValue, "Comm\\Teskel1\\Parms", "SSID"));
  EXPECT_FALSE(store->shouldFail(FailOp::SetValue, "Comm\\Teskel1", "SSID"));
  EXPECT_TRUE(store->shouldFail(FailOp::SetValue, "COMM\\teskel1\\parms", "ssid"));
  EXPECT_TRUE(store->shouldFail(FailOp::SetValue, "Comm\\Teskel1\\Parms", "SSID"));
  EXPECT_FALSE(store->shouldFail(FailOp::SetValue, "Comm\\Teskel1\\Parms", "SSID"));

  store->failOn(FailOp::QueryValue, "K");  // any name, always
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(store->shouldFail(FailOp::QueryValue, "k", "n" + std::to_string(i)));
  store->failOn(FailOp::OpenKey, "*", "*", 1);
  EXPECT_TRUE(store->shouldFail(FailOp::OpenKey, "Anything"));
  EXPECT_FALSE(store->shouldFail(FailOp::OpenKey, "Anything"));
  store->clearFailures();
  EXPECT_FALSE(store->shouldFail(FailOp::QueryValue, "K", "n"));
}

// Key names up to 255 characters and paths up to 512 levels; beyond, a clear error and nothing
// made. Each key keeps only its own name, so a deep path costs space in proportion to its depth.
TEST_F(StoreTest, KeyLimitsHoldAndDepthCostsLinearSpace) {
  const std::string longest(255, 'n');
  const std::string greek255 = [] {
    std::string s;
    for (int i = 0; i < 255; ++i) s += "\xCE\xA3";  // one UTF-16 unit each
    return s;
  }();
  std::vector<std::string> deep(512, longest);
  std::string deepPath;
  for (const auto &c : deep) deepPath += (deepPath.empty() ? "" : "\\") + c;
  const struct {
    std::string path;
    bool fits;
  } cases[] = {
      {longest, true},
      {greek255, true},
      {longest + "n", false},
      {greek255 + "\xCE\xA3", false},
      {deepPath, true},
      {deepPath + "\\x", false},
  };
  for (const auto &c : cases) {
    if (c.fits) {
      EXPECT_NO_THROW(store->setValue(c.path, "v", 4, {1, 0, 0, 0})) << c.path.size();
      EXPECT_TRUE(store->keyExists(c.path));
      continue;
    }
    try {
      store->createKey(c.path);
      ADD_FAILURE() << "created a key of " << c.path.size() << " bytes";
    } catch (const Error &e) {
      std::string what = e.what();
      EXPECT_TRUE(what.find("longer than 255") != std::string::npos || what.find("at most 512") != std::string::npos)
          << what;
      EXPECT_LT(what.size(), 200u);
    }
    EXPECT_FALSE(store->keyExists(c.path));
    EXPECT_THROW(store->setValue(c.path, "v", 4, {}), Error);
  }
  // 512 levels of 255 characters are 130 KB of names; a store holding every parent's full path
  // again in each key took over 60 MB for them.
  store.reset();
  std::error_code ec;
  auto size = std::filesystem::file_size(dir.path() / kStoreFileName) +
              std::filesystem::file_size(dir.path() / (std::string(kStoreFileName) + "-wal"), ec);
  EXPECT_LT(size, 4u << 20);
  Store again(dir.path() / kStoreFileName);
  EXPECT_TRUE(again.deleteKey(deep[0]));
  EXPECT_FALSE(again.keyExists(deepPath));
}

// A file of the first format (every key row holding its whole path) is converted when opened:
// keys with their spelling, values with their order, nothing lost.
TEST(StoreFormatTest, FilesOfTheFirstFormatAreConvertedWhole) {
  testing::TempDir dir;
  auto file = dir.path() / kStoreFileName;
  {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    const char *sql =
        "PRAGMA journal_mode = WAL;"
        "CREATE TABLE keys(folded TEXT PRIMARY KEY, parent TEXT NOT NULL, path TEXT NOT NULL) WITHOUT ROWID;"
        "CREATE INDEX keys_by_parent ON keys(parent, folded);"
        "CREATE TABLE vals(id INTEGER PRIMARY KEY, key TEXT NOT NULL, folded TEXT NOT NULL, name TEXT NOT NULL,"
        "  type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(key, folded));"
        "INSERT INTO keys VALUES('comm', '', 'Comm'), ('comm\\teskel1', 'comm', 'Comm\\Teskel1'),"
        "  ('comm\\teskel1\\parms', 'comm\\teskel1', 'Comm\\Teskel1\\Parms'), ('x\ty', '', 'X\tY');"
        "INSERT INTO vals VALUES(5, 'comm\\teskel1\\parms', 'ssid', 'SSID', 1, x'41000000'),"
        "  (2, 'comm\\teskel1\\parms', 'dschannel', 'DSChannel', 4, x'0a000000'), (9, '', 'top', 'Top', 3, x'01'),"
        "  (11, 'orphan\\child', 'v', 'v', 3, x'02');"
        "PRAGMA user_version = 1;";
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }
  Store store(file);
  EXPECT_EQ(store.canonicalKey("COMM\\TESKEL1\\PARMS"), "Comm\\Teskel1\\Parms");
  EXPECT_EQ(names(store.values("Comm\\Teskel1\\Parms")), (std::vector<std::string>{"DSChannel", "SSID"}));
  EXPECT_EQ(store.getValue("comm\\teskel1\\parms", "ssid")->data, (Bytes{'A', 0, 0, 0}));
  EXPECT_EQ(store.getValue("", "Top")->data, (Bytes{1}));
  EXPECT_EQ(store.getValue("Orphan\\Child", "v")->data, (Bytes{2}));
  EXPECT_EQ(store.subkeys(""), (std::vector<std::string>{"Comm", "orphan", "X\tY"}));
  // A name that new keys may not have stays as it was, is not exported (an import would refuse
  // it), and can be deleted.
  EXPECT_THROW(exportReg(store), Error);
  EXPECT_NO_THROW(exportReg(store, "Comm"));
  EXPECT_TRUE(store.deleteKey("X\tY"));
  store.setValue("Comm\\Teskel1\\Parms", "New", 4, {0, 0, 0, 0});
  EXPECT_EQ(names(store.values("Comm\\Teskel1\\Parms")), (std::vector<std::string>{"DSChannel", "SSID", "New"}));
}

TEST(KeyPathTest, NormalisingStripsTheLocalMachinePrefixInAnyCase) {
  const std::pair<const char *, const char *> cases[] = {
      {"HKEY_LOCAL_MACHINE\\Comm\\Teskel1", "Comm\\Teskel1"},
      {"hklm\\Comm", "Comm"},
      {"HkLm\\\\Comm\\", "Comm"},
      {"\\Comm\\Teskel1\\", "Comm\\Teskel1"},
      {"HKLM", ""},
      {"HKEY_LOCAL_MACHINE\\", ""},
      {"HKLMX\\Comm", "HKLMX\\Comm"},
      {"Comm\\HKLM", "Comm\\HKLM"},
  };
  for (const auto &[in, out] : cases) EXPECT_EQ(normaliseKeyPath(in), out) << in;
}

TEST(KeyPathTest, TextKeysUnderOtherRootsAreRefused) {
  for (const char *key : {"HKEY_CURRENT_USER\\Software", "HKCU\\x", "hkey_users\\x", "HKCR"})
    EXPECT_THROW(keyPathFromText(key), Error) << key;
  EXPECT_THROW(keyPathFromText("HKLM\\A\\\\B"), Error);
  EXPECT_EQ(keyPathFromText("Comm\\Teskel1"), "Comm\\Teskel1");
  EXPECT_EQ(fullKeyName("Comm"), "HKEY_LOCAL_MACHINE\\Comm");
  EXPECT_EQ(fullKeyName(""), "HKEY_LOCAL_MACHINE");
}

TEST(RootTest, ExplicitRootThenEnvironmentThenStateHome) {
  testing::TempDir dir;
  auto saved = [](const char *name) -> std::optional<std::string> {
    const char *v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
  };
  auto root = saved("TESKEL_ROOT"), state = saved("XDG_STATE_HOME"), home = saved("HOME");

  setenv("TESKEL_ROOT", (dir.path() / "env").c_str(), 1);
  setenv("XDG_STATE_HOME", (dir.path() / "state").c_str(), 1);
  setenv("HOME", (dir.path() / "home").c_str(), 1);
  EXPECT_EQ(resolveRoot(std::string((dir.path() / "given" / "deep").string())), dir.path() / "given" / "deep");
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "given" / "deep"));
  EXPECT_EQ(resolveRoot(std::nullopt), dir.path() / "env");
  unsetenv("TESKEL_ROOT");
  EXPECT_EQ(resolveRoot(std::nullopt), dir.path() / "state" / "teskel");
  setenv("XDG_STATE_HOME", "relative/ignored", 1);
  EXPECT_EQ(resolveRoot(std::nullopt), dir.path() / "home" / ".local" / "state" / "teskel");
  std::ofstream(dir.path() / "file") << "x";
  EXPECT_THROW(resolveRoot(std::string((dir.path() / "file" / "sub").string())), Error);

  auto restore = [](const char *name, const std::optional<std::string> &v) {
    if (v)
      setenv(name, v->c_str(), 1);
    else
      unsetenv(name);
  };
  restore("TESKEL_ROOT", root);
  restore("XDG_STATE_HOME", state);
  restore("HOME", home);
}

// A store an earlier version left readable by all is closed to them; a root folder others may
// change or own is refused with what to do about it. (What a run makes is checked end to end.)
TEST(RootTest, AStoreLeftReadableIsClosedAndAFolderOfOthersIsRefused) {
  namespace fs = std::filesystem;
  testing::TempDir dir;
  const fs::path root = resolveRoot(std::string((dir.path() / "root").string()));
  { Store store(root / kStoreFileName); }
  fs::permissions(root / kStoreFileName, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                             fs::perms::others_read);
  { Store store(root / kStoreFileName); }
  EXPECT_EQ(fs::status(root / kStoreFileName).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  fs::permissions(root, fs::perms::owner_all | fs::perms::group_all | fs::perms::others_all);
  try {
    resolveRoot(root.string());
    ADD_FAILURE() << "a folder all may change was taken";
  } catch (const Error &e) {
    EXPECT_NE(std::string(e.what()).find("chmod 700 " + root.string()), std::string::npos) << e.what();
  }
  fs::permissions(root, fs::perms::owner_all);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(root.c_str(), 4321, 4321), 0);
    EXPECT_THROW(resolveRoot(root.string()), Error);
    EXPECT_THROW(existingRoot(root.string()), Error);
  }
}

}  // namespace
}  // namespace teskel::registry
