// .reg files: every value type survives import and export in both formats, deletions apply, and
// bad lines are reported by number without touching the store.
#include <gtest/gtest.h>

#include "teskel/coredll.h"
#include "teskel/registry_store.h"
#include "temp_dir.h"

namespace teskel::registry {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The files here are written with "\n"; the exporter ends lines as regedit does.
std::string crlf(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// UTF-8 text as a UTF-16LE file with its byte-order mark, and back.
std::string utf16File(std::string_view text) {
  std::string out = "\xFF\xFE";
  for (char16_t c : coredll::fromUtf8(std::string(text))) {
    out += static_cast<char>(c & 0xff);
    out += static_cast<char>(c >> 8);
  }
  return out;
}
std::string textOf(const std::string &file) {
  if (!file.starts_with("\xFF\xFE")) return file;
  std::u16string wide;
  for (std::size_t i = 2; i + 1 < file.size(); i += 2)
    wide += static_cast<char16_t>(static_cast<unsigned char>(file[i]) | static_cast<unsigned char>(file[i + 1]) << 8);
  return coredll::toUtf8(wide);
}

class RegFileTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  Store store{dir.path() / kStoreFileName};
};

// A file as the exporter writes it (in UTF-16LE, with CRLF): every kind of value, escapes, a
// default value, hex data long enough to wrap, an empty key, text beyond ASCII.
const char *const kCanonical = R"(Windows Registry Editor Version 5.00

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
  importReg(store, utf16File(crlf(kCanonical)));
  EXPECT_EQ(exportReg(store), utf16File(crlf(kCanonical)));
  // The same file in UTF-8 reads the same.
  Store utf8(dir.path() / "utf8.db");
  importReg(utf8, kCanonical);
  EXPECT_EQ(exportReg(utf8), exportReg(store));

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
  EXPECT_EQ(exportReg(store, "HKLM\\comm\\teskel1\\parms\\SUB"),
            crlf("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Comm\\Teskel1\\Parms\\Sub]\n\n"));
  std::string teskel = textOf(exportReg(store, "Comm\\Teskel1"));
  EXPECT_EQ(teskel.find("[HKEY_LOCAL_MACHINE\\Comm]"), std::string::npos);
  EXPECT_NE(teskel.find("[HKEY_LOCAL_MACHINE\\Comm\\Teskel1\\Parms\\Sub]"), std::string::npos);
  EXPECT_THROW(exportReg(store, "Comm\\Missing"), Error);
  EXPECT_EQ(exportReg(Store(dir.path() / "empty.db")), "REGEDIT4\r\n\r\n");
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
            crlf("REGEDIT4\n\n"
            "[HKEY_LOCAL_MACHINE\\Comm]\n\n"
            "[HKEY_LOCAL_MACHINE\\Comm\\Teskel1]\n\n"
            "[HKEY_LOCAL_MACHINE\\Comm\\Teskel1\\Linkage]\n"
            "@=\"route\"\n\n"
            "[HKEY_LOCAL_MACHINE\\Comm\\Teskel1\\Parms]\n"
            "\"SSID\"=\"Home\"\n"
            "\"Keys\"=hex:0a,0b,0c,0d\n"
            "\"Channel\"=dword:0000000a\n\n"));
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
  EXPECT_EQ(exportReg(store), crlf("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Comm]\n\n[HKEY_LOCAL_MACHINE\\Comm\\Teskel1]\n\n"));
}

TEST_F(RegFileTest, ValuesOfTheRootHaveTheirOwnSection) {
  store.setValue("", "Top", 4, {1, 0, 0, 0});
  const std::string text = exportReg(store);
  EXPECT_EQ(text, crlf("REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n\"Top\"=dword:00000001\n\n"));
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

// hex(2) and hex(7) hold 8-bit characters in REGEDIT4 and UTF-16LE in Version 5.00; the store
// keeps UTF-16LE either way.
TEST_F(RegFileTest, TextHexDataFollowsTheFormatOfTheFile) {
  const std::string v5 = "Windows Registry Editor Version 5.00\n[K]\n";
  const struct {
    std::string file;
    std::uint32_t type;
    Bytes data;
  } cases[] = {
      {"REGEDIT4\n[K]\n\"v\"=hex(2):25,41,25,00\n", 2, {'%', 0, 'A', 0, '%', 0, 0, 0}},
      {"REGEDIT4\n[K]\n\"v\"=hex(7):61,00,62,00,00\n", 7, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}},
      {"REGEDIT4\n[K]\n\"v\"=hex(2):e9,00\n", 2, {0xE9, 0, 0, 0}},            // Latin-1 byte
      {"REGEDIT4\n[K]\n\"v\"=\"caf\xE9\"\n", 1, {'c', 0, 'a', 0, 'f', 0, 0xE9, 0, 0, 0}},
      {v5 + "\"v\"=hex(2):25,00,41,00,00,00\n", 2, {'%', 0, 'A', 0, 0, 0}},
      {v5 + "\"v\"=hex(7):61,00,00,00,00,00\n", 7, {'a', 0, 0, 0, 0, 0}},
      {v5 + "\"v\"=\"\xCE\xA3\"\n", 1, {0xA3, 0x03, 0, 0}},
      {utf16File(v5 + "\"v\"=hex(2):25,00,00,00\n").substr(2), 2, {'%', 0, 0, 0}},  // no byte-order mark
  };
  for (const auto &c : cases) {
    Store s(dir.path() / "cases.db");
    importReg(s, c.file);
    auto v = s.getValue("K", "v");
    ASSERT_TRUE(v) << c.file;
    EXPECT_EQ(v->type, c.type) << c.file;
    EXPECT_EQ(v->data, c.data) << c.file;
    s.deleteKey("K");
  }
  try {
    importReg(store, v5 + "\"v\"=hex(7):61,00,00\n");
    ADD_FAILURE() << "odd hex(7) accepted";
  } catch (const Error &e) {
    EXPECT_EQ(std::string(e.what()).rfind("line 3:", 0), 0u) << e.what();
  }
  EXPECT_FALSE(store.keyExists("K"));
}

// Export writes REGEDIT4 only when every name and text is ASCII; else Version 5.00 in UTF-16LE.
// Either way export -> import -> export gives the same file and the same bytes in the store.
TEST_F(RegFileTest, ExportPicksTheFormatAndReadsBackTheSame) {
  const struct {
    const char *key;
    const char *name;
    std::uint32_t type;
    Bytes data;
    bool regedit4;
  } cases[] = {
      {"A", "sz", 1, {'h', 0, 'i', 0, 0, 0}, true},
      {"A", "expand", 2, {'%', 0, 'P', 0, '%', 0, 0, 0}, true},
      {"A", "multi", 7, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}, true},
      {"A", "controls", 1, {'a', 0, '\t', 0, 0, 0}, true},  // hex(1): bytes as they are
      {"A", "greek", 1, {0xA3, 0x03, 0, 0}, false},
      {"A", "expandGreek", 2, {0xA3, 0x03, 0, 0}, false},
      {"A", "multiLatin", 7, {0xE9, 0, 0, 0, 0, 0}, false},
      {"A", "oddExpand", 2, {'a', 0, 'b'}, false},
      {"A", "Gr\xC3\xBC\xC3\x9F" "e", 4, {1, 0, 0, 0}, false},
      {"Schl\xC3\xBC" "ssel", "v", 3, {1, 2}, false},
  };
  for (const auto &c : cases) {
    Store first(dir.path() / "first.db"), second(dir.path() / "second.db");
    first.setValue(c.key, c.name, c.type, c.data);
    const std::string exported = exportReg(first);
    EXPECT_EQ(exported.starts_with("REGEDIT4\r\n"), c.regedit4) << c.name;
    EXPECT_EQ(exported.starts_with(utf16File("Windows Registry Editor Version 5.00\r\n")), !c.regedit4) << c.name;
    importReg(second, exported);
    auto back = second.getValue(c.key, c.name);
    ASSERT_TRUE(back) << c.name;
    EXPECT_EQ(back->type, c.type) << c.name;
    EXPECT_EQ(back->data, c.data) << c.name;
    EXPECT_EQ(exportReg(second), exported) << c.name;
    first.deleteKey(c.key);
    second.deleteKey(c.key);
  }
  // What neither format can carry is refused, not written differently.
  store.setValue("K", "odd", 7, {'a', 0, 0});
  EXPECT_THROW(exportReg(store), Error);
}

// 8-bit text that merely looks like UTF-8 (an overlong form) is read as 8-bit characters, so the
// key it names is the one that comes back from an export.
TEST_F(RegFileTest, AnOverlongUtf8FormIsReadAsEightBitText) {
  importReg(store, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K\xC1\xB7]\r\n\"v\"=dword:00000001\r\n");
  EXPECT_EQ(store.subkeys(""), std::vector<std::string>{"K\xC3\x81\xC2\xB7"});
  const std::string exported = exportReg(store);
  Store second(dir.path() / "second.db");
  importReg(second, exported);
  EXPECT_EQ(exportReg(second), exported);
}

// Import errors quote a short, escaped excerpt: no raw control bytes reach a terminal.
TEST_F(RegFileTest, ErrorsQuoteLinesShortAndEscaped) {
  const std::string files[] = {
      "REGEDIT4\n[K]\n\"v\"=" + std::string(200000, 'x') + "\n",
      "REGEDIT4\n[K]\n\"v\"=\x1B[31mred\r\r\n",
      "REGEDIT4\n[K\x1B]2;title\x07]\n",
      "Windows Registry Editor Version 5.01\x1B[2J\n",
      "\xFF\xFE" "W\0" "x\0" "\x1B\0",
  };
  for (const auto &file : files) {
    try {
      importReg(store, file);
      ADD_FAILURE() << "accepted: " << printable(file);
    } catch (const Error &e) {
      std::string what = e.what();
      EXPECT_LT(what.size(), 200u) << what.substr(0, 300);
      for (char ch : what) EXPECT_FALSE(static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) << printable(what);
    }
  }
  EXPECT_EQ(printable("a\nb\x1B" "c\xFF" "d"), "a\\nb\\x1Bc\\xFFd");
  EXPECT_EQ(printable(std::string(100, 'y'), 10), std::string(10, 'y') + "...");
}

// Control characters in key names: refused on import (with the line) and never exported.
TEST_F(RegFileTest, KeyNamesWithControlCharactersAreRefused) {
  for (const char *file : {"REGEDIT4\n[Comm\\a\tb]\n", "REGEDIT4\n[Comm\x1B[31m]\n", "REGEDIT4\n[Comm\xC2\x85x]\n"}) {
    try {
      importReg(store, file);
      ADD_FAILURE() << "accepted: " << printable(file);
    } catch (const Error &e) {
      EXPECT_NE(std::string(e.what()).find("line 2: key name"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("control character"), std::string::npos) << e.what();
    }
  }
  EXPECT_FALSE(store.keyExists("Comm"));
  EXPECT_THROW(store.createKey("x]\n[-Comm"), Error);
  EXPECT_THROW(store.setValue("Comm\\x\x7F", "", 1, {0, 0}), Error);
}

// Found by fuzz_reg_import: the import took such names, which the export then refused.
TEST_F(RegFileTest, AValueNameWithANulOrCarriageReturnIsRefusedByLine) {
  for (const char *header : {"REGEDIT4", "Windows Registry Editor Version 5.00"}) {
    for (char bad : {'\0', '\r'}) {
      const std::string file = std::string(header) + "\n[Comm]\n\"a" + std::string(1, bad) + "b\"=dword:1\n";
      try {
        importReg(store, file);
        ADD_FAILURE() << "accepted under " << header << ": character " << int(bad);
      } catch (const Error &e) {
        EXPECT_EQ(std::string(e.what()).rfind("line 3: a value name with a line break or NUL character", 0), 0u)
            << e.what();
      }
      EXPECT_FALSE(store.keyExists("Comm"));
    }
  }
}

}  // namespace
}  // namespace teskel::registry
