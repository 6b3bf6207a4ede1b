// The Encryption page: "Enable" writing WepReq, the key boxes shown after a failed read, and
// "Write" storing key 1 only when every box holds a valid byte.
#include <gtest/gtest.h>

#include "../../utility/resource.h"
#include "pemblo_harness.h"

namespace pemblo_test {
namespace {

constexpr const char *kEncryptionPage = "page 2";  // the sheet makes no tab for the advanced layout

bool has(const std::string &state, const std::string &word) {
  return (" " + state + " ").find(" " + word + " ") != std::string::npos;
}

const int kKeyControls[] = {IDC_KEY1_BYTE1, IDC_KEY1_BYTE2, IDC_KEY1_BYTE3, IDC_KEY1_BYTE4,
                            IDC_KEY1_BYTE5, IDC_WRITE,      IDC_CLEAR};

class EncryptionPage : public ::testing::Test {
 protected:
  TempRoot root;
  Registry reg{root.path()};
  void SetUp() override { reg.seedInstalled(); }

  void expectKeyControls(Pemblo &p, bool enabled) {
    for (int id : kKeyControls) EXPECT_TRUE(has(p.state(id), enabled ? "enabled" : "disabled")) << id;
    EXPECT_TRUE(has(p.state(IDC_ENABLE), enabled ? "checked" : "unchecked"));
  }
  std::vector<std::string> boxes(Pemblo &p) {
    std::vector<std::string> texts;
    for (int id = IDC_KEY1_BYTE1; id <= IDC_KEY1_BYTE5; ++id) texts.push_back(p.text(id));
    return texts;
  }
};

TEST_F(EncryptionPage, EnableTogglesWepAndTheKeyControls) {
  Pemblo p(root.path());
  p.run(kEncryptionPage);
  expectKeyControls(p, false);

  p.run("click 1041");
  EXPECT_EQ(reg.dword("WepReq"), 1u);
  expectKeyControls(p, true);

  p.run("click 1041");
  EXPECT_EQ(reg.dword("WepReq"), 0u);
  expectKeyControls(p, false);

  p.run("click 1041");
  EXPECT_EQ(reg.dword("WepReq"), 1u);
}

TEST_F(EncryptionPage, WepOnAtCreationIsTurnedOffByTheFirstPress) {
  reg.setDword("WepReq", 0x10000);  // any nonzero value counts as on
  Pemblo p(root.path());
  p.run(kEncryptionPage);
  expectKeyControls(p, true);
  p.run("click 1041");
  EXPECT_EQ(reg.dword("WepReq"), 0u);
  expectKeyControls(p, false);
}

TEST_F(EncryptionPage, BoxesStayEmptyAfterASuccessfulRead) {
  reg.setBinary("DefaultKeys", {0x11, 0x22, 0x33, 0x44, 0x55, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20});
  reg.setDword("WepReq", 1);
  Pemblo p(root.path());
  p.run(kEncryptionPage);
  EXPECT_EQ(boxes(p), (std::vector<std::string>{"", "", "", "", ""}));
}

TEST_F(EncryptionPage, AFailedReadShowsKeyOneAsTwoDigitsABox) {
  // Without WepReq the read counts as failed, and the boxes show the key material read with it.
  reg.remove("WepReq");
  reg.setBinary("DefaultKeys", {0x0A, 0x1B, 0x00, 0xF0, 0x05, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15});
  Pemblo p(root.path());
  p.run(kEncryptionPage);
  EXPECT_EQ(boxes(p), (std::vector<std::string>{"0A", "1B", "00", "F0", "05"}));
  expectKeyControls(p, false);
}

TEST_F(EncryptionPage, AKeyValueTooLongForTheBufferFailsTheRead) {
  reg.setDword("WepReq", 1);
  Pemblo p(root.path());  // start-up rewrites DefaultKeys as 20 bytes; make it too long afterwards
  reg.setBinary("DefaultKeys", std::vector<std::uint8_t>(21, 0x77));
  p.run(kEncryptionPage);
  // The failed read leaves the process's key bytes (zeros) and WepReq as read.
  EXPECT_EQ(boxes(p), (std::vector<std::string>{"00", "00", "00", "00", "00"}));
  expectKeyControls(p, true);
}

// Five box texts as typed, and what "Write" makes of them.
struct WriteCase {
  const char *name;
  std::vector<std::string> typed;
  std::vector<std::uint8_t> stored;  // empty: nothing written
  std::vector<int> marked;           // boxes (0 to 4) selected as invalid
};

TEST_F(EncryptionPage, WriteStoresKeyOneOnlyWhenEveryBoxIsValid) {
  const std::vector<std::uint8_t> before{0xEE, 0xEE, 0xEE};
  const WriteCase cases[] = {
      {"all valid", {"01", "23", "45", "67", "89"}, {0x01, 0x23, 0x45, 0x67, 0x89}, {}},
      {"letters typed in lower case become upper case", {"ab", "cd", "ef", "Fa", "0b"}, {0xAB, 0xCD, 0xEF, 0xFA, 0x0B}, {}},
      {"three digits keep the low 8 bits", {"ABC", "123", "FFF", "000", "10F"}, {0xBC, 0x23, 0xFF, 0x00, 0x0F}, {}},
      {"only three characters are read", {"1234", "00", "00", "00", "00"}, {0x23, 0, 0, 0, 0}, {}},
      {"a third character that is no digit ends the number", {"12G", "00", "00", "00", "00"}, {0x12, 0, 0, 0, 0}, {}},
      {"a single character is invalid", {"A", "00", "00", "00", "00"}, {}, {0}},
      {"G is no digit", {"00", "0G", "G0", "00", "00"}, {}, {1, 2}},
      {"punctuation is no digit", {"00", "00", "1-", "-1", "00"}, {}, {2, 3}},
      {"an empty box is invalid", {"00", "00", "00", "00", ""}, {}, {4}},
      {"a blank is no digit", {" 1", "00", "00", "00", "00"}, {}, {0}},
  };
  for (const WriteCase &c : cases) {
    SCOPED_TRACE(c.name);
    TempRoot r;
    Registry g(r.path());
    g.seedInstalled();
    g.setDword("WepReq", 1);
    Pemblo p(r.path());
    g.setBinary("DefaultKeys", before);
    // The boxes start empty (the read succeeded); an empty one is simply left alone.
    std::vector<std::string> commands{kEncryptionPage};
    for (int i = 0; i < 5; ++i)
      if (!c.typed[i].empty()) commands.push_back("type " + std::to_string(IDC_KEY1_BYTE1 + i) + " " + c.typed[i]);
    p.runAll(commands);
    p.run("click 1023");
    auto stored = g.value("DefaultKeys");
    ASSERT_TRUE(stored.has_value());
    if (c.stored.empty()) {
      EXPECT_EQ(stored->data, before) << "nothing may be written";
    } else {
      EXPECT_EQ(stored->type, static_cast<std::uint32_t>(REG_BINARY));
      EXPECT_EQ(stored->data, c.stored);
    }
    for (int i = 0; i < 5; ++i) {
      std::string state = p.state(IDC_KEY1_BYTE1 + i);
      bool marked = std::find(c.marked.begin(), c.marked.end(), i) != c.marked.end();
      std::size_t typed = c.typed[i].size();
      // A marked box has its first two characters selected; any other one only its caret,
      // which typing left at the end.
      std::string expected = marked ? "sel=0.." + std::to_string(std::min<std::size_t>(typed, 2))
                                    : "sel=" + std::to_string(typed) + ".." + std::to_string(typed);
      EXPECT_TRUE(has(state, expected)) << "box " << i << ": " << state;
      // The mark stays visible while the focus is on the button that was pressed.
      if (marked) {
        EXPECT_TRUE(has(state, "selvisible=yes")) << "box " << i << ": " << state;
      }
    }
  }
}

TEST_F(EncryptionPage, ValidBoxesOfABlockedWriteAreKeptForTheNextOne) {
  reg.setDword("WepReq", 1);
  Pemblo p(root.path());
  reg.setBinary("DefaultKeys", {0xEE});
  p.run(kEncryptionPage, "type 1080 C1", "type 1081 C2", "type 1082 Z", "type 1083 C4", "type 1084 C5",
         "click 1023");
  EXPECT_EQ(reg.value("DefaultKeys")->data, std::vector<std::uint8_t>{0xEE});
  p.run("type 1082 C3", "click 1023");
  EXPECT_EQ(reg.value("DefaultKeys")->data, (std::vector<std::uint8_t>{0xC1, 0xC2, 0xC3, 0xC4, 0xC5}));
}

TEST_F(EncryptionPage, ClearShowsZerosAndWritesNothing) {
  reg.setDword("WepReq", 1);
  Pemblo p(root.path());
  const std::vector<std::uint8_t> keys{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
  reg.setBinary("DefaultKeys", keys);
  p.run(kEncryptionPage, "type 1080 AB", "type 1083 CD", "click 1039");
  EXPECT_EQ(boxes(p), (std::vector<std::string>{"00", "00", "00", "00", "00"}));
  EXPECT_EQ(reg.value("DefaultKeys")->data, keys);
  EXPECT_EQ(reg.dword("WepReq"), 1u);
  // "Write" afterwards stores the zeros.
  p.run("click 1023");
  EXPECT_EQ(reg.value("DefaultKeys")->data, std::vector<std::uint8_t>(5, 0));
}

}  // namespace
}  // namespace pemblo_test
