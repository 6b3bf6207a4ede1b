// Pemblo when the registry refuses: the start-up message boxes, the debug output of the shared
// routines, and pages that go on. The store's named failures are armed for the program's own
// calls, so these run Pemblo inside the test process.
#include <gtest/gtest.h>

#include "../../utility/resource.h"
#include "in_process.h"
#include "pemblo_harness.h"

namespace pemblo_test {
namespace {

using teskel::registry::FailOp;

class RegistryFailure : public ::testing::Test {
 protected:
  TempRoot root;
  Registry reg{root.path()};
  teskel::registry::Store &store() { return reg.store(); }

  InProcessResult run(const std::string &script) { return runInProcess(store(), root.path(), script); }
};

TEST_F(RegistryFailure, StartUpShowsBothBoxesInOrderWhenTheKeyCannotBeCreated) {
  store().failOn(FailOp::CreateKey, kParms);
  InProcessResult r = run("answer OK\nanswer OK\ntray-picture\ntext 1005\n");
  EXPECT_EQ(r.exitCode, 0);
  auto boxes = linesStartingWith(r.out, "messagebox ");
  ASSERT_EQ(boxes.size(), 2u) << r.out;
  EXPECT_EQ(boxes[0], R"(messagebox caption="Debug" text="RegCreateKeyEx Fail" buttons=OK)");
  EXPECT_EQ(boxes[1], R"(messagebox caption="Debug" text="RegSetValueEx Fail" buttons=OK)");
  // The program goes on: tray icon added, sheet shown.
  EXPECT_NE(r.out.find("tray-picture 104\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("text 1005 \"Disconnect...\"\n"), std::string::npos) << r.out;
  EXPECT_FALSE(store().keyExists(kParms));
}

TEST_F(RegistryFailure, StartUpShowsOnlyTheWriteBoxWhenTheKeyExists) {
  reg.seedInstalled();
  store().failOn(FailOp::SetValue, kParms, "DefaultKeys");
  reg.setBinary("DefaultKeys", {9, 9});  // armed failures are this process's; the seeding still works
  InProcessResult r = run("answer OK\ntray-picture\n");
  auto boxes = linesStartingWith(r.out, "messagebox ");
  ASSERT_EQ(boxes.size(), 1u) << r.out;
  EXPECT_EQ(boxes[0], R"(messagebox caption="Debug" text="RegSetValueEx Fail" buttons=OK)");
  EXPECT_NE(r.out.find("tray-picture 104\n"), std::string::npos);
  EXPECT_EQ(reg.value("DefaultKeys")->data, (std::vector<std::uint8_t>{9, 9}));
}

TEST_F(RegistryFailure, StartUpWritesTheBufferEvenWhenTheReadFails) {
  reg.seedInstalled();
  reg.setBinary("DefaultKeys", {1, 2, 3, 4, 5});
  store().failOn(FailOp::QueryValue, kParms, "DefaultKeys", 1);
  InProcessResult r = run("");
  EXPECT_EQ(linesStartingWith(r.out, "messagebox ").size(), 0u);
  EXPECT_EQ(reg.value("DefaultKeys")->data, std::vector<std::uint8_t>(20, 0));
}

TEST_F(RegistryFailure, AFailedWriteOfEnableGoesToTheDebugOutput) {
  reg.seedInstalled();
  store().failOn(FailOp::SetValue, kParms, "WepReq", 1);
  InProcessResult r = run("page 2\nclick 1041\nstate 1080\nclick 1041\nclick 1041\n");
  EXPECT_NE(r.err.find("debug: AddKeyValue:RegSetValueEx <<Fail>>\n"), std::string::npos) << r.err;
  EXPECT_EQ(readFile(root.path() / "debug.log"), "AddKeyValue:RegSetValueEx <<Fail>>\r\n");
  // The page shows WEP on all the same; the next presses write again.
  EXPECT_NE(r.out.find("state 1080 edit enabled"), std::string::npos) << r.out;
  EXPECT_EQ(reg.dword("WepReq"), 1u);
  EXPECT_EQ(linesStartingWith(r.out, "messagebox ").size(), 0u) << "the Encryption page shows nothing";
}

TEST_F(RegistryFailure, UpdateStopsAtTheFirstFailedWriteAndStillAsksForReinsertion) {
  reg.seedInstalled();
  reg.setDword("DSChannel", 1);
  store().failOn(FailOp::SetValue, kParms, "NetworkType");
  InProcessResult r = run(
      "page 1\nclick 1008\nselect 1000 5\nselect 1011 0\ntype 1001 Mole\nclick 1040\nanswer OK\nclick 1009\n"
      "state 1009\n");
  EXPECT_EQ(reg.dword("DSChannel"), 6u) << "written before the failure";
  EXPECT_EQ(reg.dword("NetworkType"), 1u);
  EXPECT_EQ(reg.string("SSID"), "any") << "not written after the failure";
  EXPECT_EQ(reg.dword("PSMode"), 1u);
  EXPECT_NE(r.err.find("debug: AddKeyValue:RegSetValueEx <<Fail>>\n"), std::string::npos) << r.err;
  auto boxes = linesStartingWith(r.out, "messagebox ");
  ASSERT_EQ(boxes.size(), 1u) << r.out;
  EXPECT_NE(boxes[0].find("Reinsert the adapter"), std::string::npos);
  EXPECT_NE(r.out.find("state 1009 button disabled"), std::string::npos) << r.out;
}

TEST_F(RegistryFailure, AWriteThatCannotOpenTheKeyFailsSilently) {
  reg.seedInstalled();
  store().failOn(FailOp::CreateKey, kParms);  // start-up only opens; the pages' writes create
  InProcessResult r = run("page 2\nclick 1041\n");
  EXPECT_EQ(reg.dword("WepReq"), 0u);
  EXPECT_EQ(r.err.find("AddKeyValue"), std::string::npos) << r.err;
}

TEST_F(RegistryFailure, ReadStatusReportsOnlyAKeyItCannotOpen) {
  reg.seedInstalled();
  reg.setDword("DSChannel", 4);
  // A missing value stops the read without a message; the Config page shows what was read.
  store().failOn(FailOp::QueryValue, kParms, "NetworkType");
  InProcessResult r = run("page 1\ntext 1000\nstate 1011\n");
  EXPECT_EQ(r.err.find("ReadStatus"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("text 1000 \"4\"\n"), std::string::npos) << r.out;
  // NetworkType keeps the Status page's preset 9: outside the list.
  EXPECT_NE(r.out.find("state 1011 combobox disabled visible sel=-1"), std::string::npos) << r.out;

  store().clearFailures();
  store().failOn(FailOp::OpenKey, kParms, "*", 1);
  r = run("");
  EXPECT_NE(r.err.find("debug: ReadStatus():RegOpenKeyEx <<Fail>>\n"), std::string::npos) << r.err;
}

TEST_F(RegistryFailure, AStatusTickThatCannotOpenTheKeyChangesNothing) {
  reg.seedInstalled();
  reg.setStatus(4, 10, 10);
  store().failOn(FailOp::OpenKey, kParms, "*", 3);  // start-up, the Status page's read, the first tick
  InProcessResult r = run("advance 1500\ntext 1005\ntray-picture\nadvance 1500\ntext 1005\ntray-picture\n");
  EXPECT_NE(r.out.find("text 1005 \"Disconnect...\"\ntray-picture 104\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("text 1005 \"Scanning...\"\ntray-picture 128\n"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace pemblo_test
