// The Config page: lists filled in order, the registry shown on creation, the locked and unlocked
// editing controls, and "Update" writing the four values.
#include <gtest/gtest.h>

#include "../../utility/resource.h"
#include "pemblo_harness.h"

namespace pemblo_test {
namespace {

constexpr const char *kConfigPage = "page 1";
const int kEditingControls[] = {IDC_UPDATE, IDC_ENCAPSULATION, IDC_NETMODE, IDC_ESSID, IDC_CHANNEL, IDC_POWERSAVE};

bool has(const std::string &state, const std::string &word) {
  return (" " + state + " ").find(" " + word + " ") != std::string::npos;
}

std::string selection(Pemblo &p, int id) {
  std::string s = p.state(id);
  auto at = s.find("sel=");
  return s.substr(at + 4, s.find(' ', at) - at - 4);
}

class ConfigPage : public ::testing::Test {
 protected:
  TempRoot root;
  Registry reg{root.path()};

  void SetUp() override { reg.seedInstalled(); }

  // Unlocks the page, changes every editing control and presses Update; returns the output.
  std::string update(Pemblo &p, const std::vector<std::string> &edits) {
    std::vector<std::string> commands{kConfigPage, "click 1008"};
    commands.insert(commands.end(), edits.begin(), edits.end());
    commands.push_back("answer OK");
    commands.push_back("click 1009");
    return p.runAll(commands);
  }
};

TEST_F(ConfigPage, ListsHoldTheirEntriesInOrderSoThatIndexIsChannelMinusOne) {
  Pemblo p(root.path());
  p.run(kConfigPage);
  EXPECT_EQ(p.items(IDC_CHANNEL), R"( "1" "2" "3" "4" "5" "6" "7" "8" "9" "10" "11" "12")");
  EXPECT_EQ(p.items(IDC_ENCAPSULATION), R"( "802.1h")");
  EXPECT_EQ(p.items(IDC_NETMODE), R"( "Adhoc" "Infrastructure")");
}

struct Shown {
  std::uint32_t channel, networkType, psMode;
  const char *ssid;
  const char *channelText, *modeText;
  bool powerSaving;
};

TEST_F(ConfigPage, CreationShowsTheRegistry) {
  const Shown cases[] = {
      {11, 0, 1, "Harbour", "11", "Adhoc", true},
      {1, 1, 0, "any", "1", "Infrastructure", false},
      {12, 1, 2, "", "12", "Infrastructure", false},  // only 1 checks the box
  };
  for (const Shown &c : cases) {
    SCOPED_TRACE(std::string("channel ") + c.channelText);
    TempRoot r;
    Registry g(r.path());
    g.seedInstalled();
    g.setDword("DSChannel", c.channel);
    g.setDword("NetworkType", c.networkType);
    g.setDword("PSMode", c.psMode);
    g.setString("SSID", c.ssid);
    Pemblo p(r.path());
    p.run(kConfigPage);
    EXPECT_EQ(p.text(IDC_CHANNEL), c.channelText);
    EXPECT_EQ(p.text(IDC_NETMODE), c.modeText);
    EXPECT_EQ(p.text(IDC_ENCAPSULATION), "802.1h");
    EXPECT_EQ(p.text(IDC_ESSID), c.ssid);
    EXPECT_TRUE(has(p.state(IDC_POWERSAVE), c.powerSaving ? "checked" : "unchecked"));
  }
}

TEST_F(ConfigPage, ValuesOutsideTheListsLeaveThemWithoutSelection) {
  reg.setDword("DSChannel", 13);
  reg.setDword("NetworkType", 2);
  Pemblo p(root.path());
  p.run(kConfigPage);
  EXPECT_EQ(selection(p, IDC_CHANNEL), "-1");
  EXPECT_EQ(selection(p, IDC_NETMODE), "-1");
  // The stored encapsulation is never shown: the single entry is always selected.
  EXPECT_EQ(selection(p, IDC_ENCAPSULATION), "0");
}

TEST_F(ConfigPage, EditingControlsAreLockedUntilChangeConfigurationIsChecked) {
  Pemblo p(root.path());
  p.run(kConfigPage);
  for (int id : kEditingControls) EXPECT_TRUE(has(p.state(id), "disabled")) << id;
  EXPECT_TRUE(has(p.state(IDC_CHANGECONFIG), "enabled"));
  EXPECT_TRUE(has(p.state(IDC_CHANGECONFIG), "unchecked"));

  p.run("click 1008");
  EXPECT_TRUE(has(p.state(IDC_CHANGECONFIG), "checked"));
  for (int id : kEditingControls) EXPECT_TRUE(has(p.state(id), "enabled")) << id;

  p.run("click 1008");
  for (int id : kEditingControls) EXPECT_TRUE(has(p.state(id), "disabled")) << id;
  // Locked controls take no input.
  p.run("type 1001 x");
  EXPECT_TRUE(p.process().waitForError("control 1001 is disabled", kDeadline));
}

TEST_F(ConfigPage, UpdateWritesTheFourValuesAndAsksForReinsertion) {
  reg.setDword("DSChannel", 3);
  reg.setDword("NetworkType", 1);
  reg.setDword("PSMode", 1);
  Pemblo p(root.path());
  std::string out = update(p, {"select 1000 4", "select 1011 0", "type 1001 Lighthouse", "click 1040"});

  EXPECT_EQ(reg.dword("DSChannel"), 5u);
  EXPECT_EQ(reg.dword("NetworkType"), 0u);
  EXPECT_EQ(reg.string("SSID"), "Lighthouse");
  EXPECT_EQ(reg.value("SSID")->data.size(), (10u + 1) * 2);
  EXPECT_EQ(reg.dword("PSMode"), 0u);
  EXPECT_EQ(reg.dword("Encapsulation"), 2u) << "the page never writes Encapsulation";

  auto boxes = linesStartingWith(out, "messagebox ");
  ASSERT_EQ(boxes.size(), 1u) << out;
  EXPECT_EQ(boxes[0],
            R"(messagebox caption="Larkwell 802.11 adapter" text="Reinsert the adapter to have changes take affect." buttons=OK,CANCEL)");

  // Locked again, with the box unchecked.
  for (int id : kEditingControls) EXPECT_TRUE(has(p.state(id), "disabled")) << id;
  EXPECT_TRUE(has(p.state(IDC_CHANGECONFIG), "unchecked"));
  // The next "change configuration" unlocks: the flag was cleared, not left to flip the wrong way.
  p.run("click 1008");
  EXPECT_TRUE(has(p.state(IDC_UPDATE), "enabled"));
}

TEST_F(ConfigPage, CancelOnTheMessageIsIgnored) {
  Pemblo p(root.path());
  std::vector<std::string> commands{kConfigPage, "click 1008", "click 1040", "answer CANCEL", "click 1009"};
  std::string out = p.runAll(commands);
  EXPECT_NE(out.find("messagebox-closed CANCEL"), std::string::npos);
  EXPECT_EQ(reg.dword("PSMode"), 0u);
}

TEST_F(ConfigPage, ANameOf32CharactersSurvivesARoundTrip) {
  const std::string name32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
  {
    Pemblo p(root.path());
    update(p, {"type 1001 " + name32 + "6789"});  // longer than the page keeps
  }
  EXPECT_EQ(reg.string("SSID"), name32);
  {
    Pemblo p(root.path());
    p.run(kConfigPage);
    EXPECT_EQ(p.text(IDC_ESSID), name32);
  }
  {
    Pemblo p(root.path());
    update(p, {});  // Update without edits writes the name back unchanged
    EXPECT_EQ(reg.string("SSID"), name32);
  }
}

TEST_F(ConfigPage, AListWithoutSelectionIsNotWritten) {
  reg.remove("NetworkType");
  reg.setDword("DSChannel", 40);
  Pemblo p(root.path());
  update(p, {"type 1001 Quay", "click 1040"});
  EXPECT_FALSE(reg.value("NetworkType").has_value());
  EXPECT_EQ(reg.dword("DSChannel"), 40u);
  EXPECT_EQ(reg.string("SSID"), "Quay");
  EXPECT_EQ(reg.dword("PSMode"), 0u);

  // Once a list has a selection again, its value is written.
  update(p, {"select 1011 1"});
  EXPECT_EQ(reg.dword("NetworkType"), 1u);
  EXPECT_EQ(reg.dword("DSChannel"), 40u);
}

TEST_F(ConfigPage, AStoredNameWithoutTerminatorDoesNotPickUpAnOlderOne) {
  reg.setString("SSID", "Longer-old-name");
  Pemblo p(root.path());  // the Status page reads the name into the shared cache
  // A name stored without its terminator, read by the Config page when it is made.
  reg.store().setValue(kParms, "SSID", REG_SZ, {'N', 0, 'e', 0, 'w', 0});
  p.run(kConfigPage);
  EXPECT_EQ(p.text(IDC_ESSID), "New");
}

}  // namespace
}  // namespace pemblo_test
