// Pemblo's life as a tray program: start-up rewriting the key material, OK hiding the sheet and
// a tray tap bringing it back, Cancel ending the program, and the single instance per handheld.
#include <gtest/gtest.h>

#include "../../utility/resource.h"
#include "pemblo_harness.h"
#include "teskel/test_env.h"

namespace pemblo_test {
namespace {

bool has(const std::string &state, const std::string &word) {
  return (" " + state + " ").find(" " + word + " ") != std::string::npos;
}

// Top-level property sheets listed by the program ("windows"), and how many are visible.
int sheets(Pemblo &p, bool visibleOnly) {
  int count = 0;
  for (const auto &line : linesStartingWith(p.run("windows"), "TeskelPropertySheet "))
    if (!visibleOnly || has(line, "visible")) ++count;
  return count;
}

class Lifecycle : public ::testing::Test {
 protected:
  TempRoot root;
  Registry reg{root.path()};
};

TEST_F(Lifecycle, OkHidesTheSheetAndATrayTapBringsBackTheSameOneWithUnsavedEdits) {
  reg.seedInstalled();
  reg.setString("SSID", "Stored");
  Pemblo p(root.path());
  p.run("page 1", "click 1008", "type 1001 Unsaved", "click 1040");
  ASSERT_EQ(p.text(IDC_ESSID), "Unsaved");

  p.run("ok");
  EXPECT_TRUE(has(p.state(IDC_ESSID), "hidden"));
  EXPECT_EQ(sheets(p, true), 0);
  EXPECT_TRUE(p.process().running()) << "OK only hides the sheet";
  EXPECT_EQ(reg.string("SSID"), "Stored") << "OK saves nothing";

  p.run("tray");
  EXPECT_TRUE(has(p.state(IDC_ESSID), "visible"));
  EXPECT_EQ(p.text(IDC_ESSID), "Unsaved");
  EXPECT_TRUE(has(p.state(IDC_POWERSAVE), "unchecked"));
  EXPECT_TRUE(has(p.state(IDC_UPDATE), "enabled")) << "still unlocked as it was left";
  EXPECT_EQ(sheets(p, true), 1);
  EXPECT_EQ(p.trayPicture(), "104");

  // A tap while the sheet is shown changes nothing.
  p.run("tray");
  EXPECT_EQ(sheets(p, true), 1);
  EXPECT_EQ(p.text(IDC_ESSID), "Unsaved");
}

TEST_F(Lifecycle, CancelRemovesTheTrayIconAndExitsWithZero) {
  reg.seedInstalled();
  Pemblo p(root.path());
  ASSERT_EQ(p.trayPicture(), "104");
  // Standard input stays open: the program ends because of Cancel, not because input ended.
  p.process().send("cancel");
  EXPECT_EQ(p.process().waitExit(kDeadline), 0);
  EXPECT_EQ(p.errors().find("error:"), std::string::npos) << p.errors();
}

TEST_F(Lifecycle, CancelAfterOkAndTapStillEndsTheProgram) {
  reg.seedInstalled();
  Pemblo p(root.path());
  p.run("page 2", "ok", "tray");
  p.process().send("cancel");
  EXPECT_EQ(p.process().waitExit(kDeadline), 0);
}

TEST_F(Lifecycle, ClosingTheHiddenWindowEndsTheProgram) {
  reg.seedInstalled();
  Pemblo p(root.path());
  p.run("ok");
  p.process().send("quit");  // the shell closes the program's windows
  EXPECT_EQ(p.process().waitExit(kDeadline), 0);
}

TEST_F(Lifecycle, ASecondStartExitsAtOnceAndChangesNothing) {
  reg.seedInstalled();
  Pemblo first(root.path());
  // Key material that a second start-up would rewrite as 20 bytes.
  const std::vector<std::uint8_t> shortKeys{1, 2, 3};
  reg.setBinary("DefaultKeys", shortKeys);

  Pemblo second(root.path(), /*waitStarted=*/false);
  EXPECT_EQ(second.process().waitExit(kDeadline), 0);
  EXPECT_EQ(second.output(), "") << "no sheet, no message";
  // Only the host says why, on stderr.
  EXPECT_NE(second.errors().find("pemblo: another pemblo (process "), std::string::npos) << second.errors();
  EXPECT_NE(second.errors().find(") runs on " + root.path().string() + "; this one ends\n"), std::string::npos)
      << second.errors();
  EXPECT_EQ(reg.value("DefaultKeys")->data, shortKeys);

  EXPECT_EQ(first.trayPicture(), "104") << "exactly one tray icon";
  EXPECT_EQ(sheets(first, false), 1);
  EXPECT_TRUE(first.process().running());

  // Once the first has ended, the next start runs normally.
  first.process().send("cancel");
  ASSERT_EQ(first.process().waitExit(kDeadline), 0);
  Pemblo third(root.path());
  EXPECT_EQ(third.trayPicture(), "104");
  EXPECT_EQ(reg.value("DefaultKeys")->data.size(), 20u);
}

TEST_F(Lifecycle, InstancesOnDifferentHandheldsDoNotSeeEachOther) {
  reg.seedInstalled();
  Pemblo first(root.path());
  TempRoot other;
  Pemblo second(other.path());
  EXPECT_EQ(second.trayPicture(), "104");
  EXPECT_TRUE(second.process().running());
}

TEST_F(Lifecycle, StartUpCreatesAMissingKeyWithTwentyBytesOfKeyMaterial) {
  ASSERT_FALSE(reg.store().keyExists(kParms));
  Pemblo p(root.path());
  ASSERT_TRUE(reg.store().keyExists(kParms));
  auto keys = reg.value("DefaultKeys");
  ASSERT_TRUE(keys.has_value());
  EXPECT_EQ(keys->type, static_cast<std::uint32_t>(REG_BINARY));
  EXPECT_EQ(keys->data, std::vector<std::uint8_t>(20, 0));
  EXPECT_EQ(reg.store().values(kParms).size(), 1u) << "nothing but the key material";
  // The Status page was made before the key existed.
  EXPECT_TRUE(p.process().waitForError("debug: ReadStatus():RegOpenKeyEx <<Fail>>", kDeadline));
  EXPECT_EQ(readFile(root.path() / "debug.log"), "ReadStatus():RegOpenKeyEx <<Fail>>\r\n");
  EXPECT_EQ(linesStartingWith(p.output(), "messagebox").size(), 0u);
}

struct KeyMaterial {
  const char *name;
  std::optional<std::vector<std::uint8_t>> stored;  // nullopt: no value
  std::uint32_t type;
  std::vector<std::uint8_t> rewritten;
};

TEST_F(Lifecycle, StartUpRewritesTheKeyMaterialAsTwentyBytes) {
  std::vector<std::uint8_t> twenty;
  for (std::uint8_t i = 1; i <= 20; ++i) twenty.push_back(i);
  std::vector<std::uint8_t> fivePadded{0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
  fivePadded.resize(20, 0);
  const KeyMaterial cases[] = {
      {"twenty bytes stay", twenty, REG_BINARY, twenty},
      {"key 1 alone is padded with zeros", std::vector<std::uint8_t>{0xA1, 0xA2, 0xA3, 0xA4, 0xA5}, REG_BINARY,
       fivePadded},
      {"a missing value becomes zeros", std::nullopt, REG_BINARY, std::vector<std::uint8_t>(20, 0)},
      {"a value too long to read becomes zeros", std::vector<std::uint8_t>(21, 0x55), REG_BINARY,
       std::vector<std::uint8_t>(20, 0)},
      {"text is taken as its bytes", std::vector<std::uint8_t>{'1', 0, '2', 0, 0, 0}, REG_SZ,
       {'1', 0, '2', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const KeyMaterial &c : cases) {
    SCOPED_TRACE(c.name);
    TempRoot r;
    Registry g(r.path());
    g.seedInstalled();
    g.remove("DefaultKeys");
    if (c.stored) g.store().setValue(kParms, "DefaultKeys", c.type, *c.stored);
    Pemblo p(r.path());
    auto keys = g.value("DefaultKeys");
    ASSERT_TRUE(keys.has_value());
    EXPECT_EQ(keys->type, static_cast<std::uint32_t>(REG_BINARY));
    EXPECT_EQ(keys->data, c.rewritten);
    EXPECT_EQ(g.dword("NetworkType"), 1u) << "other values are left alone";
  }
}

}  // namespace
}  // namespace pemblo_test
