// The Win32 registry calls over the current store: results and error codes as callers rely on them.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>

#include "teskel/registry_store.h"
#include "temp_dir.h"

namespace teskel::registry {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr const WCHAR *kParms = u"Comm\\Teskel1\\Parms";

class WinRegTest : public ::testing::Test {
 protected:
  void SetUp() override { setCurrentStore(&store); }
  void TearDown() override { setCurrentStore(nullptr); }

  HKEY create(const WCHAR *path, DWORD *disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, 0, nullptr, &key, disposition), ERROR_SUCCESS);
    return key;
  }
  LONG setDword(HKEY key, const WCHAR *name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
  }

  testing::TempDir dir;
  Store store{dir.path() / kStoreFileName};
};

TEST_F(WinRegTest, CreateReportsWhetherTheKeyIsNew) {
  DWORD disposition = 0;
  HKEY key = create(kParms, &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_TRUE(store.keyExists("Comm\\Teskel1"));
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  key = create(u"COMM\\teskel1\\parms", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  // A subkey relative to an open key.
  HKEY sub = nullptr;
  EXPECT_EQ(RegCreateKeyExW(key, u"Sub", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &sub,
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_EQ(store.canonicalKey("comm\\teskel1\\parms\\sub"), "Comm\\Teskel1\\Parms\\Sub");
  EXPECT_EQ(RegCloseKey(sub), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// Names the registry cannot keep are the caller's mistake; nothing of the path is made.
TEST_F(WinRegTest, CreateRefusesControlCharactersAndNamesBeyondTheLimits) {
  std::u16string deep;
  for (int i = 0; i < 513; ++i) deep += i ? u"\\k" : u"k";
  for (const std::u16string &path : {std::u16string(u"x]\n[-Comm"), std::u16string(u"A\\b\x1B"),
                                     std::u16string(256, u'n'), deep}) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, 0, nullptr, &key, nullptr),
              ERROR_INVALID_PARAMETER);
  }
  EXPECT_TRUE(store.subkeys("").empty());
  HKEY key = create(std::u16string(255, u'n').c_str());
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(WinRegTest, OpenFailsForAMissingKeyAndAReadHandleCanBeWrittenThrough) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParms, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(store.keyExists("Comm"));  // opening never creates
  RegCloseKey(create(kParms));
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"comm\\TESKEL1\\parms", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(setDword(key, u"LinkState", 1), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  auto v = store.getValue("Comm\\Teskel1\\Parms", "LinkState");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->type, static_cast<std::uint32_t>(REG_DWORD));
  EXPECT_EQ(v->data, (Bytes{1, 0, 0, 0}));
}

TEST_F(WinRegTest, QueryAsksTheSizeAndRefusesASmallBuffer) {
  HKEY key = create(kParms);
  const WCHAR ssid[] = u"Larkwell";
  ASSERT_EQ(RegSetValueExW(key, u"SSID", 0, REG_SZ, reinterpret_cast<const BYTE *>(ssid), sizeof ssid), ERROR_SUCCESS);

  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"ssid", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, sizeof ssid);

  BYTE buffer[64];
  std::memset(buffer, 0xEE, sizeof buffer);
  size = sizeof ssid - 1;
  type = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"SSID", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof ssid);
  EXPECT_EQ(buffer[0], 0xEE);

  size = sizeof ssid;  // exactly enough; the type is optional
  EXPECT_EQ(RegQueryValueExW(key, u"SSID", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, sizeof ssid);
  EXPECT_EQ(std::memcmp(buffer, ssid, sizeof ssid), 0);

  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, &type, buffer, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(key, u"SSID", nullptr, &type, buffer, nullptr), ERROR_INVALID_PARAMETER);
  RegCloseKey(key);
}

TEST_F(WinRegTest, SetReplacesTheValueWhole) {
  HKEY key = create(kParms);
  Bytes longer(40, 0x11), shorter{1, 2, 3, 4, 5};
  ASSERT_EQ(RegSetValueExW(key, u"DefaultKeys", 0, REG_BINARY, longer.data(), 40), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, u"defaultkeys", 0, REG_BINARY, shorter.data(), 5), ERROR_SUCCESS);
  BYTE buffer[64];
  DWORD size = sizeof buffer, type = 0;
  ASSERT_EQ(RegQueryValueExW(key, u"DefaultKeys", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(Bytes(buffer, buffer + size), shorter);
  EXPECT_EQ(store.values("Comm\\Teskel1\\Parms").size(), 1u);
  EXPECT_EQ(RegSetValueExW(key, u"x", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueExW(key, u"empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExW(key, u"empty", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);
  RegCloseKey(key);
}

TEST_F(WinRegTest, NullAndEmptyNamesAreTheDefaultValue) {
  HKEY key = create(kParms);
  EXPECT_EQ(setDword(key, nullptr, 7), ERROR_SUCCESS);
  DWORD value = 0, size = sizeof value;
  EXPECT_EQ(RegQueryValueExW(key, u"", nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size), ERROR_SUCCESS);
  EXPECT_EQ(value, 7u);
  EXPECT_EQ(setDword(key, u"", 8), ERROR_SUCCESS);
  ASSERT_TRUE(store.getValue("Comm\\Teskel1\\Parms", ""));
  EXPECT_EQ(store.getValue("Comm\\Teskel1\\Parms", "")->data, (Bytes{8, 0, 0, 0}));
  EXPECT_EQ(RegDeleteValueW(key, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key, u""), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST_F(WinRegTest, DeleteKeyRemovesSubkeysAndDeleteValueOneValue) {
  HKEY key = create(u"Comm\\Teskel");
  RegCloseKey(create(u"Comm\\Teskel\\Linkage"));
  ASSERT_EQ(setDword(key, u"a", 1), ERROR_SUCCESS);
  ASSERT_EQ(setDword(key, u"b", 2), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key, u"A"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key, u"a"), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(store.getValue("Comm\\Teskel", "b"));
  RegCloseKey(key);

  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"COMM\\teskel"), ERROR_SUCCESS);
  EXPECT_FALSE(store.keyExists("Comm\\Teskel\\Linkage"));
  EXPECT_TRUE(store.keyExists("Comm"));
  EXPECT_NE(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Comm\\Teskel"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(store.keyExists("Comm"));
}

TEST_F(WinRegTest, AHandleToADeletedKeyDoesNotBringItBack) {
  HKEY key = create(kParms);
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Comm\\Teskel1"), ERROR_SUCCESS);
  EXPECT_EQ(setDword(key, u"LinkState", 1), ERROR_KEY_DELETED);
  EXPECT_FALSE(store.keyExists("Comm\\Teskel1\\Parms"));
  DWORD size = 4;
  EXPECT_EQ(RegQueryValueExW(key, u"LinkState", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(WinRegTest, HandlesAreCheckedAndOnlyTheLocalMachineRootIsKept) {
  HKEY key = create(kParms);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(setDword(key, u"x", 1), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  HKEY other = nullptr;
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software", 0, nullptr, 0, 0, nullptr, &other, nullptr),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A\\\\B", 0, 0, &other), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, nullptr, 0, 0, nullptr, nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(WinRegTest, EnumerationListsSubkeysAndValuesInOrder) {
  HKEY key = create(u"Comm");
  RegCloseKey(create(u"Comm\\Teskel1"));
  RegCloseKey(create(u"Comm\\AsyncMac"));
  setDword(key, u"Second", 2);
  setDword(key, u"First", 1);

  WCHAR name[32];
  DWORD count = 32;
  ASSERT_EQ(RegEnumKeyExW(key, 0, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"AsyncMac");
  EXPECT_EQ(count, 8u);
  count = 4;
  EXPECT_EQ(RegEnumKeyExW(key, 1, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  count = 32;
  EXPECT_EQ(RegEnumKeyExW(key, 1, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"Teskel1");
  count = 32;
  EXPECT_EQ(RegEnumKeyExW(key, 2, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

  DWORD type = 0, value = 0, size = sizeof value;
  count = 32;
  ASSERT_EQ(RegEnumValueW(key, 0, name, &count, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"Second");
  EXPECT_EQ(value, 2u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  count = 32;
  size = 2;
  EXPECT_EQ(RegEnumValueW(key, 1, name, &count, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 4u);
  count = 32;
  EXPECT_EQ(RegEnumValueW(key, 2, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  RegCloseKey(key);
}

TEST_F(WinRegTest, ArmedFailuresMakeEachCallFailOnce) {
  HKEY key = create(kParms);
  setDword(key, u"WepReq", 1);
  struct Case {
    FailOp op;
    const char *name;
    std::function<LONG()> call;
  };
  HKEY opened = nullptr;
  DWORD size = 4;
  const Case cases[] = {
      {FailOp::CreateKey, "*",
       [&] { return RegCreateKeyExW(HKEY_LOCAL_MACHINE, kParms, 0, nullptr, 0, 0, nullptr, &opened, nullptr); }},
      {FailOp::OpenKey, "*", [&] { return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParms, 0, KEY_READ, &opened); }},
      {FailOp::SetValue, "WepReq", [&] { return setDword(key, u"wepreq", 0); }},
      {FailOp::QueryValue, "WepReq", [&] { return RegQueryValueExW(key, u"WepReq", nullptr, nullptr, nullptr, &size); }},
      {FailOp::DeleteValue, "WepReq", [&] { return RegDeleteValueW(key, u"WepReq"); }},
      {FailOp::DeleteKey, "*", [&] { return RegDeleteKeyW(HKEY_LOCAL_MACHINE, kParms); }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(static_cast<int>(c.op));
    store.failOn(c.op, "comm\\teskel1\\parms", c.name, 1);
    EXPECT_NE(c.call(), ERROR_SUCCESS);
    EXPECT_EQ(c.call(), ERROR_SUCCESS);
    if (opened) RegCloseKey(std::exchange(opened, nullptr));
  }
  // The delete ran last and really happened once the failure was used up.
  EXPECT_FALSE(store.keyExists("Comm\\Teskel1\\Parms"));
  // A failure armed for one value leaves the others alone.
  key = create(kParms);
  store.failOn(FailOp::SetValue, "Comm\\Teskel1\\Parms", "SSID");
  EXPECT_EQ(setDword(key, u"Channel", 3), ERROR_SUCCESS);
  EXPECT_NE(setDword(key, u"SSID", 3), ERROR_SUCCESS);
  EXPECT_FALSE(store.getValue("Comm\\Teskel1\\Parms", "SSID"));
  RegCloseKey(key);
}

TEST(WinRegWithoutStoreTest, EveryCallReportsAMissingStore) {
  setCurrentStore(nullptr);
  HKEY key = nullptr;
  DWORD size = 0;
  WCHAR name[8];
  DWORD count = 8;
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, nullptr, 0, 0, nullptr, &key, nullptr), ERROR_BADDB);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, KEY_READ, &key), ERROR_BADDB);
  EXPECT_EQ(RegQueryValueExW(HKEY_LOCAL_MACHINE, u"v", nullptr, nullptr, nullptr, &size), ERROR_BADDB);
  EXPECT_EQ(RegSetValueExW(HKEY_LOCAL_MACHINE, u"v", 0, REG_BINARY, nullptr, 0), ERROR_BADDB);
  EXPECT_EQ(RegDeleteValueW(HKEY_LOCAL_MACHINE, u"v"), ERROR_BADDB);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"A"), ERROR_BADDB);
  EXPECT_EQ(RegEnumKeyExW(HKEY_LOCAL_MACHINE, 0, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_BADDB);
  EXPECT_EQ(RegEnumValueW(HKEY_LOCAL_MACHINE, 0, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_BADDB);
}

}  // namespace
}  // namespace teskel::registry
