// Drawing of a session's state into a grid of character cells, and the two renderers that use it:
// the headless one (commands on a stream, for tests) and the terminal one (ncurses, for a person).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "teskel/ui.h"

namespace teskel::ui {

enum CellAttr : std::uint8_t { kAttrNormal = 0, kAttrReverse = 1, kAttrDim = 2, kAttrBold = 4, kAttrUnderline = 8 };
enum CellColor : std::uint8_t { kColorDefault = 0, kColorRed, kColorGreen, kColorYellow, kColorBlue };

// Cells a character takes on a terminal: 2 for East Asian wide and full-width characters, 0 for
// combining marks and other zero-width characters, else 1 (as wcwidth in a UTF-8 locale).
int charCells(char32_t c);
// Cells a text takes (UTF-16, surrogate pairs joined).
int textCells(std::u16string_view text);

struct Cell {
  char32_t ch = U' ';
  std::array<char32_t, 2> marks{};  // combining marks drawn on this cell (0: none)
  std::uint8_t attr = kAttrNormal;
  std::uint8_t color = kColorDefault;
  bool wide = false;  // ch takes this cell and the next
  bool tail = false;  // the right half of the wide character to the left
};

class Canvas {
 public:
  explicit Canvas(int width = kScreenWidth, int height = kScreenHeight);
  int width() const { return width_; }
  int height() const { return height_; }
  void clear();
  // Cells outside the canvas are dropped. A wide character needs its second cell on the canvas;
  // writing over half of one blanks the other half.
  void put(int x, int y, char32_t ch, std::uint8_t attr = kAttrNormal, std::uint8_t color = kColorDefault);
  // Adds a combining mark to the character at the cell.
  void mark(int x, int y, char32_t mark);
  const Cell &at(int x, int y) const { return cells_[static_cast<std::size_t>(y) * width_ + x]; }
  // Rows as UTF-8 text, trailing blanks removed.
  std::vector<std::string> lines() const;

 private:
  Cell &cell(int x, int y) { return cells_[static_cast<std::size_t>(y) * width_ + x]; }
  int width_;
  int height_;
  std::vector<Cell> cells_;
};

// The shell's name for a tray picture (by icon resource): 104 "connected", 128 "scanning",
// 108 "disconnected"; any other icon by its resource name.
std::string trayPictureLabel(const ResId &picture);

// Reads one command a line whenever the program waits for input, and answers on `out`; errors go
// to `err` as one line each. The command language is described in platform/ui/README.md.
class HeadlessRenderer : public Renderer {
 public:
  HeadlessRenderer(Session &session, std::istream &in, std::ostream &out, std::ostream &err);
  ~HeadlessRenderer() override;
  bool waitInput(std::optional<Micros> timeout) override;
  void messageBoxOpened(const MessageBoxView &box) override;
  void messageBoxClosed(int result) override;
  void debugOutput(const std::u16string &text) override;
  // Runs one command line; false when it was rejected (the error line is already written).
  bool execute(const std::string &line);

 private:
  bool error(const std::string &message);
  HWND findControl(long id, bool visibleOnly) const;
  std::string describe(HWND h) const;

  Session &session_;
  std::istream &in_;
  std::ostream &out_;
  std::ostream &err_;
  std::deque<int> answers_;
  std::u16string debugLine_;
};

// The ncurses renderer; throws std::runtime_error when standard input is not a terminal.
std::unique_ptr<Renderer> makeTerminalRenderer(Session &session);

}  // namespace teskel::ui
