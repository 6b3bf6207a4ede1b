// The built-in controls as the dialog manager makes them from a template: drop-down lists, edits,
// check boxes and radio buttons, push buttons, progress bars and pictures.
#include "ui_test_util.h"

using namespace uitest;

namespace {

struct Commands {
  std::vector<std::pair<int, int>> seen;  // (control id, notification code)
};

INT_PTR CALLBACK RecordingDialog(HWND dlg, UINT m, WPARAM wp, LPARAM lp) {
  if (m == WM_INITDIALOG) {
    SetWindowLongPtrW(dlg, DWLP_USER, lp);
    return TRUE;
  }
  if (m == WM_COMMAND) {
    auto *c = reinterpret_cast<Commands *>(GetWindowLongPtrW(dlg, DWLP_USER));
    if (c) c->seen.emplace_back(LOWORD(wp), HIWORD(wp));
    return TRUE;
  }
  return FALSE;
}

class ControlsTest : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    dlg = CreateDialogParamW(basic, MAKEINTRESOURCEW(120), nullptr, RecordingDialog, reinterpret_cast<LPARAM>(&commands));
    ASSERT_NE(dlg, nullptr);
    ShowWindow(dlg, SW_SHOW);
  }
  HWND item(int id) { return GetDlgItem(dlg, id); }
  // The notifications with `code` that the dialog got, by control id.
  std::vector<int> notified(int code) {
    std::vector<int> ids;
    for (auto [id, c] : commands.seen)
      if (c == code) ids.push_back(id);
    return ids;
  }
  LRESULT msg(int id, UINT m, WPARAM wp = 0, LPARAM lp = 0) { return SendDlgItemMessageW(dlg, id, m, wp, lp); }
  std::vector<std::string> items(int id) {
    std::vector<std::string> out;
    LRESULT n = msg(id, CB_GETCOUNT);
    for (LRESULT i = 0; i < n; ++i) {
      WCHAR buf[64];
      EXPECT_EQ(msg(id, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buf)),
                msg(id, CB_GETLBTEXTLEN, static_cast<WPARAM>(i)));
      out.push_back(u8(buf));
    }
    return out;
  }
  std::string text(int id) {
    WCHAR buf[128];
    GetDlgItemTextW(dlg, id, buf, 128);
    return u8(buf);
  }
  // Runs a headless script against the dialog (no quit at the end: the dialog isn't the program's).
  void user(const std::string &commands_) {
    script(commands_);
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE) || headless->waitInput(std::nullopt)) {
      if (m.message) DispatchMessageW(&m);
      m.message = 0;
    }
    session->pump();
  }

  Commands commands;
  HWND dlg = nullptr;
};

TEST_F(ControlsTest, SortedListSortsAddsButInsertAtEndKeepsOrder) {
  for (const char16_t *s : {u"b", u"C", u"a", u"B"}) msg(1000, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s));
  EXPECT_EQ(items(1000), (std::vector<std::string>{"a", "b", "B", "C"})) << "case-insensitive, equal ones in arrival order";
  msg(1000, CB_RESETCONTENT);
  for (int ch = 1; ch <= 12; ++ch) {
    std::u16string s = u16(std::to_string(ch));
    EXPECT_EQ(msg(1000, CB_INSERTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(s.c_str())), ch - 1);
  }
  std::vector<std::string> expect;
  for (int ch = 1; ch <= 12; ++ch) expect.push_back(std::to_string(ch));
  EXPECT_EQ(items(1000), expect) << "index i is channel i + 1";
  for (const char16_t *s : {u"1", u"2", u"10"}) msg(1001, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s));
  EXPECT_EQ(items(1001), (std::vector<std::string>{"1", "2", "10"})) << "unsorted list appends";
  EXPECT_EQ(msg(1001, CB_INSERTSTRING, 5, reinterpret_cast<LPARAM>(u"x")), CB_ERR);
  EXPECT_EQ(msg(1001, CB_INSERTSTRING, 0, reinterpret_cast<LPARAM>(u"first")), 0);
  EXPECT_EQ(items(1001).front(), "first");
}

TEST_F(ControlsTest, ListSelectionFollowsItsItem) {
  for (const char16_t *s : {u"Adhoc", u"Infrastructure"}) msg(1001, CB_INSERTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(s));
  EXPECT_EQ(msg(1001, CB_GETCURSEL), CB_ERR);
  struct Case {
    WPARAM index;
    LRESULT result, selected;
  } cases[] = {{1, 1, 1}, {0, 0, 0}, {9, CB_ERR, CB_ERR}, {static_cast<WPARAM>(-1), CB_ERR, CB_ERR}, {1, 1, 1}};
  for (const auto &c : cases) {
    EXPECT_EQ(msg(1001, CB_SETCURSEL, c.index), c.result) << c.index;
    EXPECT_EQ(msg(1001, CB_GETCURSEL), c.selected) << c.index;
  }
  EXPECT_EQ(text(1001), "Infrastructure");
  msg(1001, CB_INSERTSTRING, 0, reinterpret_cast<LPARAM>(u"Auto"));
  EXPECT_EQ(msg(1001, CB_GETCURSEL), 2) << "an item inserted before the selection moves it";
  EXPECT_EQ(msg(1001, CB_DELETESTRING, 0), 2);
  EXPECT_EQ(msg(1001, CB_GETCURSEL), 1);
  EXPECT_EQ(msg(1001, CB_DELETESTRING, 1), 1);
  EXPECT_EQ(msg(1001, CB_GETCURSEL), CB_ERR) << "deleting the selected item clears the selection";
  EXPECT_EQ(msg(1001, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(u"adhoc")), 0);
  EXPECT_TRUE(notified(CBN_SELCHANGE).empty()) << "the program's own calls notify nobody";
}

TEST_F(ControlsTest, UserSelectionNotifiesAndDisabledListsIgnoreIt) {
  for (const char16_t *s : {u"a", u"b", u"c"}) msg(1001, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s));
  user("select 1001 2\n");
  EXPECT_EQ(msg(1001, CB_GETCURSEL), 2);
  EXPECT_EQ(notified(CBN_SELCHANGE), std::vector<int>{1001});
  user("focus 1001\nkey up\nkey home\n");
  EXPECT_EQ(msg(1001, CB_GETCURSEL), 0);
  EXPECT_EQ(notified(CBN_SELCHANGE), (std::vector<int>{1001, 1001, 1001}));
  user("key f4\nstate 1001\nkey down\nkey down\nkey enter\nstate 1001\n");
  auto lines = outLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "state 1001 combobox enabled visible focus sel=0 count=3 dropped");
  EXPECT_EQ(lines[1], "state 1001 combobox enabled visible focus sel=2 count=3") << "Enter picks and closes";
  EXPECT_EQ(notified(CBN_SELCHANGE).size(), 4u);
  user("click 1001\ntap 30 15\n");
  EXPECT_EQ(msg(1001, CB_GETCURSEL), 2);
  EXPECT_EQ(msg(1001, CB_GETDROPPEDSTATE), FALSE) << "a tap outside the open list closes it";
  // The open list hangs under the field (columns 4 to 25, from row 4) and a tap picks an item.
  out.str("");
  user("click 1001\nscreen\n");
  auto screen = outLines();
  ASSERT_GE(screen.size(), 9u);
  auto row = [&](int r) { return screen[static_cast<std::size_t>(r) + 1].substr(4, 22); };  // after "screen begin"
  EXPECT_EQ(row(3), "[c" + std::string(18, ' ') + "v]");
  EXPECT_EQ(row(4), "|a" + std::string(19, ' ') + "|");
  EXPECT_EQ(row(5), "|b" + std::string(19, ' ') + "|");
  EXPECT_EQ(row(6), "|c" + std::string(19, ' ') + "|");
  EXPECT_EQ(row(7), "+" + std::string(20, '-') + "+");
  user("tap 5 5\n");
  EXPECT_EQ(msg(1001, CB_GETCURSEL), 1);
  EXPECT_EQ(msg(1001, CB_GETDROPPEDSTATE), FALSE);
  msg(1001, CB_SETCURSEL, 0);
  EnableWindow(item(1001), FALSE);
  user("select 1001 2\n");
  EXPECT_EQ(msg(1001, CB_GETCURSEL), 0);
  EXPECT_NE(err.str().find("control 1001 is disabled"), std::string::npos) << err.str();
}

TEST_F(ControlsTest, TypingIntoEdits) {
  user("type 1080 ab1f\ntype 1081 hello\ntype 1082 Mixed Case\n");
  EXPECT_EQ(text(1080), "AB1F") << "upper-case edit";
  EXPECT_EQ(text(1081), "") << "read-only edit takes no typing";
  EXPECT_EQ(text(1082), "Mixed Case");
  SetDlgItemTextW(dlg, 1081, u"set by program");
  EXPECT_EQ(text(1081), "set by program");
  user("type 1082 x\n");
  EXPECT_EQ(text(1082), "x") << "focusing by keyboard selects the old text, typing replaces it";
  user("key left\nkey backspace\nkey end\nkey backspace\n");
  EXPECT_EQ(text(1082), "");
}

TEST_F(ControlsTest, EditSelectionAndItsVisibility) {
  SetDlgItemTextW(dlg, 1080, u"0G");
  msg(1080, EM_SETSEL, 0, 2);
  DWORD a = 9, b = 9;
  msg(1080, EM_GETSEL, reinterpret_cast<WPARAM>(&a), reinterpret_cast<LPARAM>(&b));
  EXPECT_EQ(a, 0u);
  EXPECT_EQ(b, 2u);
  msg(1080, EM_SETSEL, 1, -1);
  EXPECT_EQ(msg(1080, EM_GETSEL), MAKELONG(1, 2));
  msg(1080, EM_SETSEL, 0, 2);
  SetFocus(item(1082));
  user("state 1080\nstate 1082\n");
  auto lines = outLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("sel=0..2 selvisible=yes"), std::string::npos) << "ES_NOHIDESEL: " << lines[0];
  EXPECT_NE(lines[1].find("focus"), std::string::npos) << lines[1];
  SetDlgItemTextW(dlg, 1082, u"abc");
  msg(1082, EM_SETSEL, 0, 1);
  SetFocus(item(1000));
  out.str("");
  user("state 1082\n");
  EXPECT_NE(out.str().find("selvisible=no"), std::string::npos) << out.str();
}

TEST_F(ControlsTest, EditLimitStopsTyping) {
  msg(1082, EM_LIMITTEXT, 3);
  user("type 1082 abcdef\n");
  EXPECT_EQ(text(1082), "abc");
  EXPECT_EQ(notified(EN_MAXTEXT), (std::vector<int>{1082, 1082, 1082}));
}

TEST_F(ControlsTest, CheckBoxesToggleThemselvesWhenAuto) {
  EXPECT_EQ(IsDlgButtonChecked(dlg, 1040), BST_UNCHECKED);
  user("click 1040\n");
  EXPECT_EQ(IsDlgButtonChecked(dlg, 1040), BST_CHECKED);
  user("click 1040\n");
  EXPECT_EQ(IsDlgButtonChecked(dlg, 1040), BST_UNCHECKED);
  user("click 1042\n");
  EXPECT_EQ(IsDlgButtonChecked(dlg, 1042), BST_UNCHECKED) << "a plain check box leaves it to the program";
  EXPECT_EQ(notified(BN_CLICKED), (std::vector<int>{1040, 1040, 1042}));
  CheckDlgButton(dlg, 1040, BST_CHECKED);
  EXPECT_EQ(IsDlgButtonChecked(dlg, 1040), BST_CHECKED);
  user("focus 1040\nkey space\n");
  EXPECT_EQ(IsDlgButtonChecked(dlg, 1040), BST_UNCHECKED) << "space presses the focused box";
}

TEST_F(ControlsTest, RadioButtonsWithinTheirGroup) {
  user("click 1050\n");
  user("click 1052\n");
  EXPECT_EQ(IsDlgButtonChecked(dlg, 1050), BST_CHECKED) << "1052 starts another group";
  user("click 1051\n");
  EXPECT_EQ(IsDlgButtonChecked(dlg, 1050), BST_UNCHECKED);
  EXPECT_EQ(IsDlgButtonChecked(dlg, 1051), BST_CHECKED);
  EXPECT_EQ(IsDlgButtonChecked(dlg, 1052), BST_CHECKED);
  CheckRadioButton(dlg, 1050, 1052, 1050);
  EXPECT_EQ(IsDlgButtonChecked(dlg, 1050), BST_CHECKED);
  EXPECT_EQ(IsDlgButtonChecked(dlg, 1051), BST_UNCHECKED);
  EXPECT_EQ(IsDlgButtonChecked(dlg, 1052), BST_UNCHECKED);
}

TEST_F(ControlsTest, PushButtonsReportClicksOnlyWhenEnabled) {
  user("click 1009\nclick 1071\n");
  EXPECT_EQ(notified(BN_CLICKED), std::vector<int>{1009});
  EXPECT_NE(err.str().find("control 1071 is disabled"), std::string::npos);
  EnableWindow(item(1009), FALSE);
  EXPECT_FALSE(IsWindowEnabled(item(1009)));
  msg(1009, BM_CLICK);
  EXPECT_EQ(notified(BN_CLICKED).size(), 1u);
  EXPECT_TRUE(EnableWindow(item(1009), TRUE)) << "it was disabled";
  msg(1009, BM_CLICK);
  EXPECT_EQ(notified(BN_CLICKED).size(), 2u);
}

TEST_F(ControlsTest, ProgressBarClampsItsPosition) {
  struct Step {
    UINT m;
    WPARAM wp;
    LPARAM lp;
    LRESULT result;
    int pos;
  } steps[] = {
      {PBM_SETRANGE, 0, MAKELONG(0, 5000), MAKELONG(0, 100), 0},
      {PBM_SETPOS, 1234, 0, 0, 1234},
      {PBM_SETPOS, 100000, 0, 1234, 5000},
      {PBM_SETPOS, 0, 0, 5000, 0},
      {PBM_SETPOS, 0x80000000u, 0, 0, 5000},  // an unsigned count above the range: full
      {PBM_SETPOS, 0, 0, 5000, 0},
      {PBM_SETPOS, 0xFFFFFFFFu, 0, 0, 5000},
      {PBM_SETPOS, 0, 0, 5000, 0},
      {PBM_DELTAPOS, 6000, 0, 0, 5000},
      {PBM_SETRANGE32, 10, 20, MAKELONG(0, 5000), 20},
      {PBM_SETPOS, 5, 0, 20, 10},
      {PBM_SETSTEP, 7, 0, 10, 10},
      {PBM_STEPIT, 0, 0, 10, 17},
      {PBM_STEPIT, 0, 0, 17, 14},  // past the end it starts over
      {PBM_SETRANGE32, static_cast<WPARAM>(-10), 10, MAKELONG(10, 20), 10},
      {PBM_SETPOS, static_cast<WPARAM>(static_cast<DWORD>(-5)), 0, 10, -5},  // a range below zero reads it signed
  };
  for (const auto &s : steps) {
    EXPECT_EQ(msg(1013, s.m, s.wp, s.lp), s.result) << "message " << s.m << " " << s.wp;
    EXPECT_EQ(msg(1013, PBM_GETPOS), s.pos) << "message " << s.m << " " << s.wp;
  }
  PBRANGE r{};
  EXPECT_EQ(msg(1013, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&r)), -10);
  EXPECT_EQ(r.iHigh, 10);
}

TEST_F(ControlsTest, PictureAndTextStatics) {
  user("state 1060\ntext 1070\n");
  auto lines = outLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("picture=117"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1], "text 1070 \"&Name:\"");
  HBITMAP bmp = LoadBitmapW(basic, u"LOGO");
  ASSERT_NE(bmp, nullptr);
  HANDLE old = reinterpret_cast<HANDLE>(msg(1060, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bmp)));
  EXPECT_NE(old, nullptr);
  EXPECT_EQ(reinterpret_cast<HBITMAP>(msg(1060, STM_GETIMAGE, IMAGE_BITMAP)), bmp);
}

TEST_F(ControlsTest, TabMovesThroughTheStopsAndEnterPressesTheDefault) {
  SetFocus(nullptr);
  user("key tab\n");
  EXPECT_EQ(GetFocus(), item(1000));
  user("key tab\nkey tab\n");
  EXPECT_EQ(GetFocus(), item(1080)) << "1001 then the upper-case edit";
  user("key shift-tab\n");
  EXPECT_EQ(GetFocus(), item(1001));
  SetFocus(item(1009));
  user("key enter\n");
  EXPECT_EQ(commands.seen.back(), std::make_pair(1009, static_cast<int>(BN_CLICKED)));
  SetFocus(item(1082));
  user("key escape\n");
  EXPECT_EQ(commands.seen.back(), std::make_pair(static_cast<int>(IDCANCEL), static_cast<int>(BN_CLICKED)));
}

TEST_F(ControlsTest, DialogCreationFailsForAnUnknownControlClass) {
  EXPECT_EQ(CreateDialogParamW(basic, MAKEINTRESOURCEW(140), nullptr, RecordingDialog, 0), nullptr);
  EXPECT_EQ(CreateDialogParamW(basic, MAKEINTRESOURCEW(999), nullptr, RecordingDialog, 0), nullptr);
  EXPECT_NE(CreateDialogParamW(basic, u"named", nullptr, RecordingDialog, 0), nullptr);
}

TEST_F(ControlsTest, DialogItemNumbers) {
  SetDlgItemInt(dlg, 1082, 4294967295u, FALSE);
  EXPECT_EQ(text(1082), "4294967295");
  BOOL ok = FALSE;
  EXPECT_EQ(GetDlgItemInt(dlg, 1082, &ok, FALSE), 4294967295u);
  EXPECT_TRUE(ok);
  SetDlgItemInt(dlg, 1082, static_cast<UINT>(-42), TRUE);
  EXPECT_EQ(text(1082), "-42");
  EXPECT_EQ(static_cast<int>(GetDlgItemInt(dlg, 1082, &ok, TRUE)), -42);
  EXPECT_TRUE(ok);
  GetDlgItemInt(dlg, 1082, &ok, FALSE);
  EXPECT_FALSE(ok) << "no sign without bSigned";
  SetDlgItemTextW(dlg, 1082, u"12x");
  GetDlgItemInt(dlg, 1082, &ok, FALSE);
  EXPECT_FALSE(ok);
}

}  // namespace

namespace {

TEST_F(ControlsTest, DialogSlotsInTheDevicesAndThePointerNumbering) {
  LONG_PTR mine = GetWindowLongPtrW(dlg, DWLP_USER);
  EXPECT_EQ(mine, reinterpret_cast<LONG_PTR>(&commands));
  SetWindowLongW(dlg, DWL_USER, 77);
  EXPECT_EQ(GetWindowLongPtrW(dlg, DWLP_USER), 77);
  EXPECT_EQ(GetWindowLongW(dlg, DWL_USER), 77);
  SetWindowLongW(dlg, DWL_MSGRESULT, 5);
  EXPECT_EQ(GetWindowLongPtrW(dlg, DWLP_MSGRESULT), 5);
  EXPECT_EQ(GetWindowLongPtrW(dlg, DWLP_DLGPROC), reinterpret_cast<LONG_PTR>(&RecordingDialog));
  SetWindowLongPtrW(dlg, DWLP_USER, mine);
}

}  // namespace
