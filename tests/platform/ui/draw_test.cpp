// Drawing into cells: text widths (wide characters, combining marks), the focus after a disable,
// small screens following the focus, message boxes wrapped at words, bars above their range.
#include "ui_test_util.h"

using namespace uitest;
using teskel::ui::Canvas;

namespace {

INT_PTR CALLBACK PlainDialog(HWND, UINT m, WPARAM, LPARAM) { return m == WM_INITDIALOG; }

class DrawTest : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    dlg = CreateDialogParamW(basic, MAKEINTRESOURCEW(120), nullptr, PlainDialog, 0);
    ASSERT_NE(dlg, nullptr);
    ShowWindow(dlg, SW_SHOW);
    session->pump();
  }
  HWND item(int id) { return GetDlgItem(dlg, id); }
  // Draws at `cols` x `rows` and returns each row as cells (a wide character's right half is 0).
  std::vector<std::u32string> draw(int cols = 80, int rows = 24) {
    Canvas c(cols, rows);
    session->draw(c);
    std::vector<std::u32string> out;
    for (int y = 0; y < c.height(); ++y) {
      std::u32string row;
      for (int x = 0; x < c.width(); ++x) row += c.at(x, y).tail ? U'\0' : c.at(x, y).ch;
      out.push_back(row);
    }
    return out;
  }
  teskel::ui::Session::CellBox box(int id) {
    auto b = session->drawnAt(item(id));
    EXPECT_TRUE(b.has_value()) << id;
    return b.value_or(teskel::ui::Session::CellBox{});
  }
  static std::string ascii(const std::u32string &s) {
    std::string out;
    for (char32_t c : s) out += c < 0x80 && c ? static_cast<char>(c) : '~';
    return out;
  }
  // A cell's character as a number, so that a failure can print it.
  static std::uint32_t at(const std::u32string &row, int x) { return row.at(static_cast<std::size_t>(x)); }
  static std::u32string codePoints(std::u16string_view t) {
    std::u32string out;
    for (std::size_t i = 0; i < t.size(); ++i) {
      if (t[i] >= 0xD800 && t[i] < 0xDC00 && i + 1 < t.size())
        out += 0x10000 + ((static_cast<char32_t>(t[i]) - 0xD800) << 10) + (t[i + 1] - 0xDC00), ++i;
      else
        out += t[i];
    }
    return out;
  }
  HWND dlg = nullptr;
};

TEST(CellWidth, WideCombiningAndPlainCharacters) {
  struct Case {
    char32_t c;
    int cells;
  } cases[] = {{U'a', 1},     {0x00E9, 1}, {0x20AC, 1}, {0x0301, 0}, {0x200B, 0}, {0x65E5, 2},
               {0xAC00, 2},   {0xFF21, 2}, {0x3000, 2}, {0x1F600, 2}, {0x20000, 2}, {0x4DC0, 1}};
  for (const auto &c : cases) EXPECT_EQ(teskel::ui::charCells(c.c), c.cells) << std::hex << static_cast<std::uint32_t>(c.c);
  EXPECT_EQ(teskel::ui::textCells(u"日本e\u0301\U0001F600"), 7);
  // Writing over half of a wide character leaves no stray half behind.
  Canvas canvas(6, 4);
  canvas.put(1, 0, 0x65E5);
  EXPECT_TRUE(canvas.at(1, 0).wide);
  EXPECT_TRUE(canvas.at(2, 0).tail);
  canvas.put(2, 0, U'x');
  EXPECT_EQ(canvas.at(1, 0).ch, 0x20u);
  EXPECT_FALSE(canvas.at(2, 0).tail);
  canvas.put(5, 1, 0x65E5);  // no room for its right half
  EXPECT_EQ(canvas.at(5, 1).ch, 0x20u);
  canvas.put(0, 2, U'e');
  canvas.mark(0, 2, 0x0301);
  EXPECT_EQ(canvas.lines()[2], "e\u0301");
}

TEST_F(DrawTest, WideAndCombiningTextKeepTheFieldsFrames) {
  const char16_t *texts[] = {u"plain", u"日本語", u"e\u0301te\u0301", u"日本語日本語日本語日本語", u"x\U0001F600y"};
  for (const char16_t *t : texts) {
    SetDlgItemTextW(dlg, 1082, t);
    auto rows = draw();
    auto b = box(1082);
    int mid = b.top + (b.bottom - b.top - 1) / 2;
    const std::u32string &row = rows[static_cast<std::size_t>(mid)];
    EXPECT_EQ(at(row, b.left), 0x5Bu) << u8(t);
    EXPECT_EQ(at(row, b.right - 1), 0x5Du) << u8(t);
    int inner = b.right - b.left - 2, cells = teskel::ui::textCells(t);
    if (cells <= inner) {
      // The text shows whole, its wide characters taking two cells each.
      std::u32string shown;
      for (int x = b.left + 1; x < b.left + 1 + cells; ++x)
        if (row[static_cast<std::size_t>(x)]) shown += row[static_cast<std::size_t>(x)];
      std::u32string base;  // the characters that take cells; marks sit on the cell before them
      for (char32_t c : codePoints(t))
        if (teskel::ui::charCells(c) > 0) base += c;
      EXPECT_TRUE(shown == base) << u8(t);
    }
    // The next field's frame is where it always is.
    auto next = box(1081);
    EXPECT_EQ(at(rows[static_cast<std::size_t>(mid)], next.right - 1), 0x5Du) << u8(t);
  }
  // A label of wide characters runs on into free cells only, and never covers half of the next control.
  SetDlgItemTextW(dlg, 1070, u"名前名前名前名前名前名前名前名前名前名前");
  auto rows = draw();
  auto label = box(1070), off = box(1071);
  const std::u32string &row = rows[static_cast<std::size_t>(label.top)];
  EXPECT_EQ(at(row, label.left), 0x540Du);
  EXPECT_EQ(at(row, off.left), 0x3Cu) << ascii(row);
  EXPECT_NE(at(row, label.right), 0x20u) << "the label runs on into the free cells";
}

TEST_F(DrawTest, FocusMovesOnWhenItsControlIsDisabledAndTheHelpLineSaysWhere) {
  struct Case {
    int focus, disable, expected;  // 0: the focus was not there and stays
  } cases[] = {
      {1040, 1040, 1042},  // the next tab stop takes it
      {1009, 1009, 1000},  // the last enabled stop passes it on to the first
      {1080, 1082, 1080},  // disabling another control leaves the focus alone
  };
  for (const auto &c : cases) {
    for (int id : {1040, 1042, 1009, 1082}) EnableWindow(item(id), TRUE);
    SetFocus(item(c.focus));
    EnableWindow(item(c.disable), FALSE);
    EXPECT_EQ(GetFocus(), item(c.expected)) << c.focus << " " << c.disable;
  }
  SetFocus(item(1040));
  EnableWindow(item(1040), FALSE);
  auto rows = draw();
  EXPECT_EQ(ascii(rows[21]).rfind("Focus: \"Manual\" check box  Enter=default button  Esc=Cancel", 0), 0u) << ascii(rows[21]);
  // The focused control is marked: its check mark is reversed.
  Canvas c;
  session->draw(c);
  auto manual = box(1042);
  EXPECT_TRUE(c.at(manual.left, manual.top).attr & teskel::ui::kAttrReverse);
}

TEST_F(DrawTest, ASmallScreenScrollsToTheFocusAndKeepsTheHelpAndTrayLines) {
  SetFocus(item(1009));  // "Update", right of a 30-column view
  auto rows = draw(30, 8);
  auto update = box(1009);
  EXPECT_GE(update.left, 0);
  EXPECT_LE(update.right, 30);
  EXPECT_LT(update.bottom, 8 - 3 + 1);
  EXPECT_NE(ascii(rows[static_cast<std::size_t>(update.top + (update.bottom - update.top - 1) / 2)]).find("Update"),
            std::string::npos);
  EXPECT_EQ(ascii(rows[5]).rfind("Focus: \"Update\" button", 0), 0u) << ascii(rows[5]);
  EXPECT_EQ(ascii(rows[7]).rfind("Tray:", 0), 0u);
  // A tap on the scrolled view reaches the control drawn there.
  auto radio = box(1052);
  ASSERT_GE(radio.left, 0);

  EXPECT_TRUE(session->tapAt(radio.left, radio.top));
  session->pump();
  EXPECT_TRUE(IsDlgButtonChecked(dlg, 1052));
  // Back to the first control: the view goes back to the dialog's top left corner.
  SetFocus(item(1000));
  rows = draw(30, 8);
  EXPECT_EQ(ascii(rows[0]).rfind("+- Controls -", 0), 0u) << ascii(rows[0]);
  // Even a screen with one row for windows keeps the focus and the bottom lines.
  SetFocus(item(1040));
  rows = draw(20, 4);
  EXPECT_EQ(box(1040).top, 0);
  EXPECT_NE(ascii(rows[0]).find("[ ]"), std::string::npos) << ascii(rows[0]);
  EXPECT_EQ(ascii(rows[3]).rfind("Tray:", 0), 0u);
}

TEST_F(DrawTest, MessageBoxesWrapAtWordBoundaries) {
  const std::u16string text =
      u"Reinsert the adapter to have changes take affect. A name like Supercalifragilisticexpialidocious-network "
      u"is longer than a line.";
  script("screen 40x16\nanswer OK\n");
  EXPECT_EQ(MessageBoxW(nullptr, text.c_str(), u"Larkwell 802.11 adapter", MB_OK), IDOK);
  auto lines = outLines();
  // The box's text lines lie between its frame, two cells in from each side.
  std::vector<std::string> inside;
  for (const std::string &l : lines) {
    std::size_t a = l.find("| "), b = l.rfind(" |");
    if (a != std::string::npos && b != std::string::npos && b > a && l.find("< OK >") == std::string::npos)
      inside.push_back(l.substr(a + 2, b - a - 2));
  }
  std::string joined;
  for (std::string l : inside) {
    while (!l.empty() && l.back() == ' ') l.pop_back();
    if (l.empty()) continue;
    EXPECT_LE(l.size(), 34u) << l;
    bool brokenWord = l.size() == 34 && l.find(' ') == std::string::npos;  // a word longer than a line
    joined += (joined.empty() || joined.back() == '\n' ? "" : " ") + l + (brokenWord ? "\n" : "");
  }
  std::string want = u8(text);
  std::string got;
  for (char ch : joined) got += ch == '\n' ? '\x01' : ch;
  std::erase(got, '\x01');
  EXPECT_EQ(got, want) << "every line ends at a word, except where one word is longer than a line";
  EXPECT_NE(joined.find("take affect. A name like"), std::string::npos) << joined;
}

TEST_F(DrawTest, BarsShowTheirPositionAndFullAboveTheRange) {
  SendDlgItemMessageW(dlg, 1013, PBM_SETRANGE, 0, MAKELONG(0, 5000));
  struct Case {
    WPARAM pos;
    int filledOf20;
  } cases[] = {{0, 0}, {2500, 10}, {5000, 20}, {5001, 20}, {0x80000000u, 20}, {0xFFFFFFFFu, 20}};
  for (const auto &c : cases) {
    SendDlgItemMessageW(dlg, 1013, PBM_SETPOS, c.pos, 0);
    auto rows = draw();
    auto b = box(1013);
    std::string bar = ascii(rows[static_cast<std::size_t>(b.top)]).substr(static_cast<std::size_t>(b.left),
                                                                          static_cast<std::size_t>(b.right - b.left));
    ASSERT_EQ(bar.size(), 22u) << bar;
    EXPECT_EQ(bar, "[" + std::string(static_cast<std::size_t>(c.filledOf20), '#') +
                       std::string(static_cast<std::size_t>(20 - c.filledOf20), ' ') + "]")
        << c.pos;
  }
}

}  // namespace
