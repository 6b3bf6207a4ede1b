// Pemblo's pages as the screen draws them: at the sheet's natural size every fixed text of the
// layouts and every control's whole content shows, and the focus stays visible after "Update".
#include <gtest/gtest.h>

#include <functional>

#include "../../utility/pemblo.h"
#include "in_process.h"
#include "pemblo_harness.h"
#include "teskel/coredll.h"
#include "teskel/ui_render.h"

namespace pemblo_test {
namespace {

using teskel::ui::Session;

// Acts as the user: one step each time the program waits; the end of the steps ends the session.
class Steps : public teskel::ui::Renderer {
 public:
  Steps(Session &session, std::vector<std::function<void(Session &)>> steps) : session_(session), steps_(std::move(steps)) {}
  bool waitInput(std::optional<teskel::Micros>) override {
    if (next_ >= steps_.size()) return false;
    steps_[next_++](session_);
    return true;
  }

 private:
  Session &session_;
  std::vector<std::function<void(Session &)>> steps_;
  std::size_t next_ = 0;
};

std::string u8(const std::u16string &s) { return teskel::coredll::toUtf8(s); }

std::string windowText(HWND h) {
  WCHAR buf[128] = {};
  SendMessageW(h, WM_GETTEXT, 128, reinterpret_cast<LPARAM>(buf));
  return u8(buf);
}

// Draws the screen at the sheet's natural size and checks the current page against its layout.
void checkPage(Session &session, int layout) {
  SCOPED_TRACE("layout " + std::to_string(layout));
  teskel::ui::Canvas probe(300, 100);
  session.draw(probe);
  auto sheet = session.drawnAt(ConfigSheet);
  ASSERT_TRUE(sheet.has_value());
  teskel::ui::Canvas canvas(sheet->right - sheet->left, sheet->bottom - sheet->top + Session::kBottomRows);
  session.draw(canvas);
  sheet = session.drawnAt(ConfigSheet);
  EXPECT_EQ(sheet->left, 0) << "the sheet fits without scrolling";
  EXPECT_EQ(sheet->top, 0);
  std::vector<std::string> rows = canvas.lines();
  for (std::string &r : rows) r.resize(static_cast<std::size_t>(canvas.width()), ' ');
  std::string screen;
  for (const std::string &r : rows) screen += r + "\n";
  SCOPED_TRACE("screen:\n" + screen);

  HWND page = reinterpret_cast<HWND>(SendMessageW(ConfigSheet, PSM_GETCURRENTPAGEHWND, 0, 0));
  ASSERT_NE(page, nullptr);
  auto area = session.drawnAt(page);
  ASSERT_TRUE(area.has_value());
  const teskel::ui::DialogTemplate &t = session.module(Instance)->dialog(teskel::ui::ResId::of(static_cast<std::uint16_t>(layout)));
  ASSERT_FALSE(t.items.empty());
  std::map<std::string, int> fixedTexts;  // text -> how many items show it
  for (const teskel::ui::DialogItem &item : t.items) {
    std::string title = item.title.isOrdinal() ? "" : u8(item.title.name);
    std::uint16_t cls = item.cls.isOrdinal() ? *item.cls.ordinal : 0;
    if (static_cast<std::uint16_t>(item.id) == 0xFFFF) {
      if (!title.empty()) fixedTexts[title]++;
      continue;
    }
    HWND h = GetDlgItem(page, static_cast<int>(item.id));
    ASSERT_NE(h, nullptr) << item.id;
    auto b = session.drawnAt(h);
    ASSERT_TRUE(b.has_value()) << item.id;
    SCOPED_TRACE("control " + std::to_string(item.id));
    auto left = static_cast<std::size_t>(b->left), width = static_cast<std::size_t>(b->right - b->left);
    const std::string &mid = rows.at(static_cast<std::size_t>(b->top + (b->bottom - b->top - 1) / 2));
    std::string cells = mid.substr(left, width);
    if (cls == 0x81) {  // edit: its whole text inside its closed frame
      std::string text = windowText(h);
      EXPECT_EQ(cells.front(), '[');
      EXPECT_EQ(cells.back(), ']');
      EXPECT_EQ(cells.substr(1, text.size()), text);
      EXPECT_EQ(cells.find_first_not_of(' ', 1 + text.size()), width - 1) << "nothing but blanks after the text";
    } else if (cls == 0x85) {  // drop-down list: the selection whole, a blank, then the arrow
      std::string sel = windowText(h);
      cells = rows.at(static_cast<std::size_t>(b->top)).substr(left, width);
      EXPECT_FALSE(sel.empty());
      ASSERT_LE(sel.size() + 4, width) << sel;
      EXPECT_EQ(cells, "[" + sel + std::string(width - 3 - sel.size(), ' ') + "v]");
    } else if (cls == 0x80 && (item.style & BS_TYPEMASK) == BS_AUTOCHECKBOX) {
      std::string mark = IsDlgButtonChecked(page, static_cast<int>(item.id)) ? "[x] " : "[ ] ";
      EXPECT_EQ(mid.substr(left, mark.size() + title.size()), mark + title);
    } else if (cls == 0x80) {  // push button
      EXPECT_EQ(cells.front(), '<');
      EXPECT_EQ(cells.back(), '>');
      EXPECT_NE(cells.find(title), std::string::npos);
    } else if (item.cls.name == u"msctls_progress32") {
      EXPECT_EQ(cells.front(), '[');
      EXPECT_EQ(cells.back(), ']');
    }
  }
  // The fixed texts: labels whole, frames with their titles on their top edge.
  for (const auto &[text, count] : fixedTexts) {
    int found = 0;
    for (int y = area->top; y < area->bottom; ++y)
      for (std::size_t at = rows[static_cast<std::size_t>(y)].find(text); at != std::string::npos;
           at = rows[static_cast<std::size_t>(y)].find(text, at + 1))
        if (static_cast<int>(at) >= area->left && static_cast<int>(at + text.size()) <= area->right) ++found;
    EXPECT_EQ(found, count) << "\"" << text << "\"";
  }
}

class PageDrawing : public ::testing::Test {
 protected:
  TempRoot root;
  Registry reg{root.path()};
};

TEST_F(PageDrawing, EveryPageShowsEveryTextAndFieldWholeAtTheSheetsNaturalSize) {
  reg.seedInstalled();
  reg.setString("SSID", "office-network-2.4GHz");
  reg.setDword("DSChannel", 11);
  reg.setDword("WepReq", 1);
  reg.setStatus(1, 4321, 1234);
  HWND encryption = nullptr;
  std::vector<std::function<void(Session &)>> steps = {
      [](Session &s) { s.requestAdvance(1600 * 1000); },  // the Status page's first tick
      [](Session &s) { checkPage(s, IDD_STATUS); },
      [](Session &s) { s.switchPage(1, false); },
      [](Session &s) { checkPage(s, IDD_CONFIG); },
      [](Session &s) { s.switchPage(2, false); },
      [&](Session &s) {
        encryption = reinterpret_cast<HWND>(SendMessageW(ConfigSheet, PSM_GETCURRENTPAGEHWND, 0, 0));
        const char16_t *key[] = {u"1A", u"2B", u"C3", u"44", u"EF"};
        for (int i = 0; i < 5; ++i) SetDlgItemTextW(encryption, IDC_KEY1_BYTE1 + i, key[i]);
        checkPage(s, IDD_ENCRYPTION);
        // A third digit typed into a box still shows inside its frame.
        SetDlgItemTextW(encryption, IDC_KEY1_BYTE5, u"EF0");
        SetFocus(GetDlgItem(encryption, IDC_KEY1_BYTE5));
        checkPage(s, IDD_ENCRYPTION);
      },
      [](Session &s) { s.switchPage(3, false); },
      [](Session &s) { checkPage(s, IDD_ABOUT); },
  };
  EXPECT_EQ(runInProcess(reg.store(), root.path(), [&](Session &s) { return std::make_unique<Steps>(s, steps); }), 0);
  EXPECT_NE(encryption, nullptr) << "the steps ran";
}

TEST_F(PageDrawing, AfterUpdateTheFocusIsOnOkAndTheHelpLineSaysSo) {
  reg.seedInstalled();
  InProcessResult r = runInProcess(reg.store(), root.path(),
                                   "page 1\nclick 1008\nfocus 1009\nkey space\nanswer OK\nstate 1009\nstate 1\nscreen\n");
  EXPECT_NE(r.out.find("state 1009 button disabled visible\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("state 1 button enabled visible focus\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nFocus: \"OK\" button  Enter=OK  Esc=Cancel\n"), std::string::npos) << r.out;
}

TEST_F(PageDrawing, WhileHiddenTheScreenSaysWhereTheProgramIs) {
  reg.seedInstalled();
  InProcessResult r = runInProcess(reg.store(), root.path(), "ok\nscreen\ntray\nscreen\n");
  std::size_t second = r.out.find("screen begin", r.out.find("screen end"));
  ASSERT_NE(second, std::string::npos) << r.out;
  std::string hidden = r.out.substr(0, second), shown = r.out.substr(second);
  EXPECT_NE(hidden.find("Pemblo is in the tray."), std::string::npos) << hidden;
  EXPECT_NE(hidden.find("Press F6, or click its icon on the tray line below, to open it again."), std::string::npos);
  EXPECT_NE(hidden.find("\nPemblo is in the tray: F6 or a click on its icon opens it\n"), std::string::npos);
  EXPECT_NE(shown.find("Sarvell Configuration"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("is in the tray"), std::string::npos) << shown;
}

}  // namespace
}  // namespace pemblo_test
