// .reg files: every value type survives import and export, deletions apply, and bad lines are
// reported by number without touching the store.
#include <gtest/gtest.h>

#include "teskel/registry_store.h"
#include "temp_dir.h"

namespace teskel::registry {
namespace {

using Bytes = std::vector<std::uint8_t>;

class RegFileTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  Store store{dir.path() / kStoreFileName};
};

// A file as the exporter writes it: every kind of value, escapes, a default value, hex data
// long enough to wrap, an empty key.
const char *const kCanonical = R"(REGEDIT4

[HKEY_LOCAL_MACHINE\Comm]

[HKEY_LOCAL_MACHINE\Comm\Teskel1]
@="Teskel adapter"
"Display \"Name\""="Larkwell \"Wireless\" C:\\Cards\\"

[HKEY_LOCAL_MACHINE\Comm\Teskel1\Parms]
"SSID"="ANY"
"DSChannel"=dword:0000000a
"WepReq"=dword:00010000
"DefaultKeys"=hex:01,02,03,04,05
"Empty"=hex:
"Long"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\
  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,\
  2f,30,31,32
"Multi"=hex(7):61,00,62,00,00,00,63,00,00,00,00,00
"Expand"=hex(2):25,00,00,00
"NotText"=hex(1):41,00,42
"ShortDword"=hex(4):01,02
"Quad"=hex(b):01,00,00,00,00,00,00,00
"Grüße"="ΣΙΓΜΑ €"
"EmptyText"=""

[HKEY_LOCAL_MACHINE\Comm\Teskel1\Parms\Sub]

)";

TEST_F(RegFileTest, EveryValueTypeComesBackAsItWasWritten) {
  importReg(store, kCanonical);
  EXPECT_EQ(exportReg(store), kCanonical);

  // The bytes in the store are what the platform's callers expect.
  const std::string parms = "Comm\\Teskel1\\Parms";
  const std::pair<const char *, Bytes> expected[] = {
      {"SSID", {'A', 0, 'N', 0, 'Y', 0, 0, 0}},
      {"DSChannel", {0x0a, 0, 0, 0}},
      {"WepReq", {0, 0, 1, 0}},
      {"DefaultKeys", {1, 2, 3, 4, 5}},
      {"Empty", {}},
      {"Multi", {'a', 0, 'b', 0, 0, 0, 'c', 0, 0, 0, 0, 0}},
      {"NotText", {'A', 0, 'B'}},
      {"EmptyText", {0, 0}},
      {"Grüße", {0xA3, 0x03, 0x99, 0x03, 0x93, 0x03, 0x9C, 0x03, 0x91, 0x03, ' ', 0, 0xAC, 0x20, 0, 0}},
  };
  for (const auto &[name, data] : expected) {
    auto v = store.getValue(parms, name);
    ASSERT_TRUE(v) << name;
    EXPECT_EQ(v->data, data) << name;
  }
  const std::pair<const char *, std::uint32_t> types[] = {
      {"SSID", 1}, {"DSChannel", 4}, {"DefaultKeys", 3}, {"Multi", 7}, {"Expand", 2}, {"NotText", 1}, {"Quad", 11}};
  for (const auto &[name, type] : types) EXPECT_EQ(store.getValue(parms, name)->type, type) << name;
  auto def = store.getValue("Comm\\Teskel1", "");
  ASSERT_TRUE(def);
  EXPECT_EQ(def->type, 1u);
  EXPECT_TRUE(store.getValue("Comm\\Teskel1", "Display \"Name\""));
}

TEST_F(RegFileTest, ExportOfAKeyHoldsItAndItsSubkeysOnly) {
  importReg(store, kCanonical);
  EXPECT_EQ(exportReg(store, "HKLM\\comm\\teskel1\\parms\\SUB"), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Comm\\Teskel1\\Parms\\Sub]\n\n");
  std::string teskel = exportReg(store, "Comm\\Teskel1");
  EXPECT_EQ(teskel.find("[HKEY_LOCAL_MACHINE\\Comm]"), std::string::npos);
  EXPECT_NE(teskel.find("[HKEY_LOCAL_MACHINE\\Comm\\Teskel1\\Parms\\Sub]"), std::string::npos);
  EXPECT_THROW(exportReg(store, "Comm\\Missing"), Error);
  EXPECT_EQ(exportReg(Store(dir.path() / "empty.db")), "REGEDIT4\n\n");
}

TEST_F(RegFileTest, LooseInputIsReadAndWrittenBackInTheUsualForm) {
  const char *loose =
      "\xEF\xBB\xBF; written by hand\r\n"
      "REGEDIT4\r\n"
      "\r\n"
      "[HKLM\\Comm\\Teskel1\\Parms]\r\n"
      "  ; indented comment\r\n"
      "\"SSID\" = \"Home\"\r\n"
      "\"Keys\"=hex:0A, 0B,\\\r\n"
      "     0C,\\\r\n"
      "  d\r\n"
      "\"Channel\"=DWORD:A\r\n"
      "[comm\\Teskel1\\Linkage]\r\n"
      "@=\"route\"\r\n";
  importReg(store, loose);
  EXPECT_EQ(exportReg(store, "Comm"),
            "REGEDIT4\n\n"
            "[HKEY_LOCAL_MACHINE\\Comm]\n\n"
            "[HKEY_LOCAL_MACHINE\\Comm\\Teskel1]\n\n"
            "[HKEY_LOCAL_MACHINE\\Comm\\Teskel1\\Linkage]\n"
            "@=\"route\"\n\n"
            "[HKEY_LOCAL_MACHINE\\Comm\\Teskel1\\Parms]\n"
            "\"SSID\"=\"Home\"\n"
            "\"Keys\"=hex:0a,0b,0c,0d\n"
            "\"Channel\"=dword:0000000a\n\n");
}

TEST_F(RegFileTest, DeletionsRemoveKeysWithSubkeysAndSingleValues) {
  importReg(store, kCanonical);
  importReg(store,
            "REGEDIT4\n"
            "[-HKEY_LOCAL_MACHINE\\Comm\\Teskel1\\Parms]\n"
            "[HKEY_LOCAL_MACHINE\\Comm\\Teskel1]\n"
            "@=-\n"
            "\"DISPLAY \\\"NAME\\\"\"=-\n"
            "\"NeverThere\"=-\n"
            "[-Comm\\NeverThere]\n");
  EXPECT_EQ(exportReg(store), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Comm]\n\n[HKEY_LOCAL_MACHINE\\Comm\\Teskel1]\n\n");
}

TEST_F(RegFileTest, ValuesOfTheRootHaveTheirOwnSection) {
  store.setValue("", "Top", 4, {1, 0, 0, 0});
  const std::string text = exportReg(store);
  EXPECT_EQ(text, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n\"Top\"=dword:00000001\n\n");
  Store other(dir.path() / "other.db");
  importReg(other, text);
  EXPECT_EQ(exportReg(other), text);
}

TEST_F(RegFileTest, TextThatCannotStandOnOneLineIsWrittenAsHex) {
  const Bytes withBreak{'a', 0, '\n', 0, 'b', 0, 0, 0};
  const Bytes unterminated{'a', 0, 'b', 0};
  const Bytes embeddedNul{'a', 0, 0, 0, 'b', 0, 0, 0};
  const Bytes loneSurrogate{0x00, 0xD8, 0, 0};
  for (const Bytes &data : {withBreak, unterminated, embeddedNul, loneSurrogate}) {
    store.setValue("K", "v", 1, data);
    std::string text = exportReg(store, "K");
    EXPECT_NE(text.find("\"v\"=hex(1):"), std::string::npos) << text;
    Store other(dir.path() / "other.db");
    importReg(other, text);
    EXPECT_EQ(other.getValue("K", "v")->data, data);
    EXPECT_EQ(other.getValue("K", "v")->type, 1u);
  }
}

TEST_F(RegFileTest, BadLinesAreNamedByNumberAndNothingIsApplied) {
  store.setValue("Keep", "v", 4, {1, 0, 0, 0});
  const std::string before = exportReg(store);
  const std::pair<const char *, const char *> cases[] = {
      {"", "line 1:"},
      {"Windows Registry Editor\n", "line 1:"},
      {"REGEDIT4\n\"v\"=\"x\"\n", "line 2:"},
      {"REGEDIT4\n[Keep]\n\"v\"=\"unterminated\n", "line 3:"},
      {"REGEDIT4\n[Keep]\n\"v\"=\"a\\n\"\n", "line 3:"},
      {"REGEDIT4\n[Keep]\n\"v\"=\"a\" tail\n", "line 3:"},
      {"REGEDIT4\n[Keep]\n\n\"v\"=dword:123456789\n", "line 4:"},
      {"REGEDIT4\n[Keep]\n\"v\"=dword:12g4\n", "line 3:"},
      {"REGEDIT4\n[Keep]\n\"v\"=dword:\n", "line 3:"},
      {"REGEDIT4\n[Keep]\n\"v\"=hex:01,2g\n", "line 3:"},
      {"REGEDIT4\n[Keep]\n\"v\"=hex:01,,02\n", "line 3:"},
      {"REGEDIT4\n[Keep]\n\"v\"=hex:01,\\\n  0x3\n", "line 3:"},
      {"REGEDIT4\n[Keep]\n\"v\"=hex(z):01\n", "line 3:"},
      {"REGEDIT4\n[Keep]\n\"v\"=text\n", "line 3:"},
      {"REGEDIT4\n[Keep]\n\"v\" \"x\"\n", "line 3:"},
      {"REGEDIT4\n[Keep]\nv=\"x\"\n", "line 3:"},
      {"REGEDIT4\n[Keep\n", "line 2:"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\Software]\n", "line 2:"},
      {"REGEDIT4\n[Keep\\\\Child]\n", "line 2:"},
      {"REGEDIT4\n[-HKLM]\n", "line 2:"},
      {"REGEDIT4\n[-Keep]\n\"v\"=dword:1\n", "line 3:"},
      // The error comes after good lines: none of them may land.
      {"REGEDIT4\n[-Keep]\n[New]\n\"a\"=dword:1\n\"b\"=bad\n", "line 5:"},
  };
  for (const auto &[text, where] : cases) {
    try {
      importReg(store, text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const Error &e) {
      EXPECT_EQ(std::string(e.what()).rfind(where, 0), 0u) << e.what() << "\nfor: " << text;
    }
    EXPECT_EQ(exportReg(store), before) << text;
  }
}

}  // namespace
}  // namespace teskel::registry
