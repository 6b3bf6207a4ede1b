// The property sheet: page creation on first show, page callbacks, missing templates, OK and
// Cancel to the pages that exist, modeless hiding, modal use, records of the device's size, and
// the drawing of a page at its cells.
#include "ui_test_util.h"

using namespace uitest;

namespace {

struct Events {
  std::vector<std::string> list;
  std::string joined() const {
    std::string out;
    for (const auto &e : list) out += (out.empty() ? "" : "|") + e;
    return out;
  }
};

struct PageTag {
  Events *events;
  std::string name;
  bool allowCreate = true;
  LRESULT applyResult = PSNRET_NOERROR;
};

const char *notifyName(UINT code) {
  switch (code) {
    case PSN_SETACTIVE: return "setactive";
    case PSN_KILLACTIVE: return "killactive";
    case PSN_APPLY: return "apply";
    case PSN_RESET: return "reset";
    case PSN_QUERYCANCEL: return "querycancel";
    default: return "other";
  }
}

INT_PTR CALLBACK PageProc(HWND page, UINT m, WPARAM, LPARAM lp) {
  if (m == WM_INITDIALOG) {
    auto *psp = reinterpret_cast<PROPSHEETPAGEW *>(lp);
    SetWindowLongPtrW(page, DWLP_USER, psp->lParam);
    auto *tag = reinterpret_cast<PageTag *>(psp->lParam);
    tag->events->list.push_back(tag->name + " init");
    return TRUE;
  }
  auto *tag = reinterpret_cast<PageTag *>(GetWindowLongPtrW(page, DWLP_USER));
  if (!tag || m != WM_NOTIFY) return FALSE;
  auto *n = reinterpret_cast<NMHDR *>(lp);
  tag->events->list.push_back(tag->name + " " + notifyName(n->code));
  if (n->code == PSN_APPLY) {
    SetWindowLongPtrW(page, DWLP_MSGRESULT, tag->applyResult);
    return TRUE;
  }
  return FALSE;
}

UINT CALLBACK PageCallback(HWND, UINT msg, PROPSHEETPAGEW *psp) {
  auto *tag = reinterpret_cast<PageTag *>(psp->lParam);
  tag->events->list.push_back(tag->name + (msg == PSPCB_CREATE ? " create?" : msg == PSPCB_RELEASE ? " release" : " ?"));
  return msg == PSPCB_CREATE ? (tag->allowCreate ? 1 : 0) : 0;
}

Events *g_sheetEvents;
int CALLBACK SheetCallback(HWND, UINT msg, LPARAM) {
  g_sheetEvents->list.push_back(msg == PSCB_PRECREATE ? "precreate" : msg == PSCB_INITIALIZED ? "initialized" : "?");
  return 0;
}

class SheetTest : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    g_sheetEvents = &events;
    int layouts[] = {201, 202, 204, 203};  // 204 is not among the resources
    const char *names[] = {"first", "second", "missing", "third"};
    for (int i = 0; i < 4; ++i) {
      tags[i] = PageTag{&events, names[i]};
      PROPSHEETPAGEW &p = pages[i];
      p = PROPSHEETPAGEW{};
      p.dwSize = 40;  // the size a program built for the device passes
      p.dwFlags = PSP_USETITLE | PSP_USECALLBACK | PSP_USEREFPARENT;
      p.hInstance = sheetRes;
      p.pszTemplate = MAKEINTRESOURCEW(layouts[i]);
      p.pszTitle = titles[i];
      p.pfnDlgProc = PageProc;
      p.lParam = reinterpret_cast<LPARAM>(&tags[i]);
      p.pfnCallback = PageCallback;
      p.pcRefParent = &refs;
    }
    header = PROPSHEETHEADERW{};
    header.dwSize = 40;  // the size a program built for the device passes
    header.dwFlags = PSH_PROPSHEETPAGE | PSH_USECALLBACK | PSH_MODELESS;
    header.hInstance = sheetRes;
    header.pszCaption = u"Sarvell Configuration";
    header.nPages = 4;
    header.nStartPage = 0;
    header.ppsp = pages;
    header.pfnCallback = SheetCallback;
  }
  HWND open() {
    INT_PTR r = PropertySheetW(&header);
    EXPECT_NE(r, -1);
    return reinterpret_cast<HWND>(r);
  }
  void user(const std::string &commands) {
    script(commands);
    for (;;) {
      MSG m{};
      if (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&m);
        continue;
      }
      if (!headless->waitInput(std::nullopt)) break;
    }
  }
  HWND page(HWND sheet) { return reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0)); }

  Events events;
  PageTag tags[4];
  const char16_t *titles[4] = {u"Status ", u"Config ", u"Advanced ", u"Encryption "};
  PROPSHEETPAGEW pages[4];
  PROPSHEETHEADERW header;
  UINT refs = 0;
};

TEST_F(SheetTest, StartPageIsCreatedAtOnceTheOthersOnFirstShow) {
  HWND sheet = open();
  EXPECT_TRUE(IsWindowVisible(sheet));
  EXPECT_EQ(GetForegroundWindow(), sheet);
  EXPECT_EQ(events.joined(), "precreate|initialized|first create?|first init|first setactive");
  EXPECT_EQ(refs, 3u) << "every page with a template holds a reference";
  events.list.clear();
  HWND first = page(sheet);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetParent(first), sheet);
  EXPECT_EQ(GetFocus(), GetDlgItem(first, 2001)) << "the first control of the page has the focus";

  user("page 1\n");
  EXPECT_EQ(events.joined(), "first killactive|second create?|second init|second setactive");
  EXPECT_FALSE(IsWindowVisible(first));
  events.list.clear();
  user("page 0\n");
  EXPECT_EQ(events.joined(), "second killactive|first setactive") << "no second creation";
  EXPECT_EQ(page(sheet), first);
}

TEST_F(SheetTest, MissingTemplateGetsNoTab) {
  HWND sheet = open();
  HWND first = page(sheet);
  SendMessageW(sheet, PSM_SETCURSEL, 2, 0);
  EXPECT_NE(events.joined().find("third init"), std::string::npos) << "tab 2 is the third page, not the missing one";
  EXPECT_EQ(events.joined().find("missing"), std::string::npos) << "its callback never runs";
  EXPECT_FALSE(SendMessageW(sheet, PSM_SETCURSEL, 3, 0));
  user("screen\n");
  std::string screen = out.str();
  EXPECT_NE(screen.find("| Status   Config  [Encryption ]"), std::string::npos) << screen;
  EXPECT_EQ(screen.find("Advanced"), std::string::npos) << screen;

  // Ctrl+Tab goes round the shown pages as on a desktop sheet: from the last to the first.
  HWND third = page(sheet);
  user("key ctrl-tab\n");
  EXPECT_EQ(page(sheet), first);
  user("key ctrl-shift-tab\n");
  EXPECT_EQ(page(sheet), third);
}

TEST_F(SheetTest, PageCallbackCanRefuseCreation) {
  tags[1].allowCreate = false;
  HWND sheet = open();
  events.list.clear();
  user("page 1\n");
  EXPECT_EQ(events.joined(), "first killactive|second create?");
  EXPECT_EQ(page(sheet), nullptr) << "the tab is current, without a page";
  user("screen\n");
  EXPECT_NE(out.str().find("(this page is not available)"), std::string::npos);
  events.list.clear();
  user("page 0\npage 1\n");
  EXPECT_EQ(events.joined(), "first setactive|first killactive|second create?") << "asked again";
}

TEST_F(SheetTest, OkAndCancelReachOnlyCreatedPages) {
  HWND sheet = open();
  user("page 2\n");  // third
  events.list.clear();
  user("ok\n");
  EXPECT_EQ(events.joined(), "third killactive|first apply|third apply");
  EXPECT_EQ(page(sheet), nullptr) << "a modeless sheet after OK waits for its owner";
  EXPECT_TRUE(IsWindow(sheet));
  events.list.clear();
  user("cancel\n");
  EXPECT_EQ(events.joined(), "third querycancel|first reset|third reset");
}

TEST_F(SheetTest, RejectedApplyStopsAndShowsThePage) {
  tags[0].applyResult = PSNRET_INVALID;
  HWND sheet = open();
  user("page 1\n");
  events.list.clear();
  user("ok\n");
  EXPECT_EQ(events.joined(), "second killactive|first apply|second killactive|first setactive");
  EXPECT_NE(page(sheet), nullptr) << "the sheet did not end";
  EXPECT_EQ(page(sheet), GetParent(GetDlgItem(page(sheet), 2001)));
}

TEST_F(SheetTest, HiddenModelessSheetKeepsItsPagesAndTimers) {
  HWND sheet = open();
  HWND first = page(sheet);
  SetTimer(first, 1, 1500, nullptr);
  user("type 2001 typed but not saved\nclick 2002\nok\n");
  ShowWindow(sheet, SW_HIDE);
  EXPECT_FALSE(IsWindowVisible(sheet));
  EXPECT_EQ(GetForegroundWindow(), nullptr);
  events.list.clear();
  user("advance 3000\n");
  session->pump();
  ShowWindow(sheet, SW_SHOW);
  SetForegroundWindow(sheet);
  EXPECT_EQ(page(sheet), first) << "same page window, and no longer ended";
  WCHAR text[64];
  GetDlgItemTextW(first, 2001, text, 64);
  EXPECT_EQ(u8(text), "typed but not saved");
  EXPECT_EQ(IsDlgButtonChecked(first, 2002), BST_CHECKED);
  EXPECT_TRUE(events.list.empty()) << "nothing recreated: " << events.joined();
}

TEST_F(SheetTest, RecordsOfTheDeviceOrHostSizeOnly) {
  PROPSHEETHEADERW bad = header;
  bad.dwSize = 39;
  EXPECT_EQ(PropertySheetW(&bad), -1);
  bad = header;
  bad.dwSize = sizeof(PROPSHEETHEADERW);
  PROPSHEETPAGEW hostPages[4];
  std::copy(std::begin(pages), std::end(pages), hostPages);
  for (auto &p : hostPages) p.dwSize = sizeof(PROPSHEETPAGEW);
  bad.ppsp = hostPages;
  EXPECT_NE(PropertySheetW(&bad), -1) << "host sizes are fine too";
  pages[1].dwSize = 12;
  EXPECT_EQ(PropertySheetW(&header), -1);
  pages[1].dwSize = 40;  // the size a program built for the device passes
  header.nPages = 0;
  EXPECT_EQ(PropertySheetW(&header), -1);
  header.nPages = 1;
  header.ppsp = &pages[2];  // only the missing one
  EXPECT_EQ(PropertySheetW(&header), -1);
}

TEST_F(SheetTest, DestroyingTheSheetReleasesEveryPage) {
  HWND sheet = open();
  events.list.clear();
  DestroyWindow(sheet);
  EXPECT_EQ(events.joined(), "first release|second release|third release");
  EXPECT_EQ(refs, 0u);
  EXPECT_FALSE(IsWindow(sheet));
}

TEST_F(SheetTest, ModalSheetRunsUntilOkOrCancel) {
  header.dwFlags &= ~static_cast<DWORD>(PSH_MODELESS);
  script("page 1\nok\n");
  EXPECT_EQ(PropertySheetW(&header), 1);
  EXPECT_NE(events.joined().find("second apply"), std::string::npos);
  script("cancel\n");
  EXPECT_EQ(PropertySheetW(&header), 0);
  EXPECT_EQ(FindWindowW(nullptr, u"Sarvell Configuration"), nullptr) << "a modal sheet is gone when it returns";
}

TEST_F(SheetTest, TitlesFromTheStringTableAndStartPageByIndex) {
  titles[1] = MAKEINTRESOURCEW(50);
  pages[1].pszTitle = titles[1];
  header.nStartPage = 1;
  HWND sheet = open();
  EXPECT_EQ(events.joined(), "precreate|initialized|second create?|second init|second setactive");
  user("screen\n");
  EXPECT_NE(out.str().find("[Resource Title]"), std::string::npos) << out.str();
  (void)sheet;
}

// A page laid out as the status page, drawn with dialog units mapped to cells (x * 5 / 14, y / 8).
TEST_F(SheetTest, PageIsDrawnAtItsCells) {
  PROPSHEETPAGEW p{};
  p.dwSize = 40;  // the size a program built for the device passes
  p.dwFlags = PSP_USETITLE;
  p.hInstance = basic;
  p.pszTemplate = MAKEINTRESOURCEW(111);
  p.pszTitle = u"Status ";
  p.pfnDlgProc = PageProc;
  PageTag tag{&events, "status"};
  p.lParam = reinterpret_cast<LPARAM>(&tag);
  header.nPages = 1;
  header.ppsp = &p;
  HWND sheet = open();
  SetDlgItemTextW(page(sheet), 1005, u"Connected...");
  SendDlgItemMessageW(page(sheet), 1013, PBM_SETRANGE, 0, MAKELONG(0, 5000));
  SendDlgItemMessageW(page(sheet), 1013, PBM_SETPOS, 2500, 0);
  user("screen\n");
  auto lines = outLines();
  ASSERT_GE(lines.size(), 26u);
  EXPECT_EQ(lines.front(), "screen begin 80x24");
  auto row = [&](int r) { return lines[static_cast<std::size_t>(r) + 1] + std::string(80, ' '); };
  // The sheet's frame with its caption, then the tab row.
  EXPECT_EQ(row(0).substr(0, 26), "+- Sarvell Configuration -");
  EXPECT_EQ(row(1).substr(0, 10), "|[Status ]");
  // The page starts at screen cell (1, 2); 14 units make 5 cells across, 8 a row. The frame
  // "Status" at 7,7,141,108 covers columns 1 + 2 = 3 to 1 + 52 - 1 = 52, rows 2 + 0 to 2 + 14 - 1 = 15.
  EXPECT_EQ(row(2).substr(3, 50), "+-Status" + std::string(41, '-') + "+");
  EXPECT_EQ(row(15).substr(3, 50), "+" + std::string(48, '-') + "+");
  EXPECT_EQ(row(9)[3], '|');
  EXPECT_EQ(row(9)[52], '|');
  // "Link status" at 27,20 starts at column 1 + 9 = 10, row 2 + 2 = 4, whole; the edit 1005 at
  // 64,17,62,12 covers columns 23 to 45 on row 4.
  EXPECT_EQ(row(4).substr(10, 36), "Link status  [Connected...         ]");
  // The frame "Input" at 25,31,104,40: columns 9 to 46, rows 5 to 9.
  EXPECT_EQ(row(5).substr(9, 38), "+-Input" + std::string(30, '-') + "+");
  EXPECT_EQ(row(9).substr(9, 38), "+" + std::string(36, '-') + "+");
  // The bar 1013 at 65,55,62,10: columns 24 to 45, row 8, half full (20 inner cells).
  EXPECT_EQ(row(8).substr(24, 22), "[" + std::string(10, '#') + std::string(10, ' ') + "]");
  // OK and Cancel under the page.
  EXPECT_NE(row(18).find("<   OK   >"), std::string::npos) << row(18);
  EXPECT_NE(row(18).find("< Cancel >"), std::string::npos) << row(18);
  EXPECT_EQ(lines.back(), "screen end");
}

}  // namespace
