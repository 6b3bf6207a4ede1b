// The terminal renderer: draws the session with ncurses and turns keys and mouse clicks into the
// shell's input. The help line of the drawing names the keys.
#include <curses.h>
#include <unistd.h>

#include <clocale>
#include <stdexcept>

#include "state.h"
#include "teskel/ui_render.h"

namespace teskel::ui {

namespace {

class TerminalRenderer : public Renderer {
 public:
  explicit TerminalRenderer(Session &session) : session_(session) {
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO))
      throw std::runtime_error("the terminal interface needs a terminal (use --headless for scripts)");
    std::setlocale(LC_ALL, "");
    if (!initscr()) throw std::runtime_error("cannot start the terminal interface");
    raw();  // Ctrl-C arrives as a key and ends the program through its own quit path
    noecho();
    keypad(stdscr, TRUE);
    set_escdelay(25);
    curs_set(0);
    mousemask(BUTTON1_PRESSED | BUTTON1_CLICKED, nullptr);
    mouseinterval(0);
    if (has_colors()) {
      start_color();
      use_default_colors();
      init_pair(kColorRed, COLOR_RED, -1);
      init_pair(kColorGreen, COLOR_GREEN, -1);
      init_pair(kColorYellow, COLOR_YELLOW, -1);
      init_pair(kColorBlue, COLOR_BLUE, -1);
    }
  }
  ~TerminalRenderer() override { endwin(); }

  bool waitInput(std::optional<Micros> timeout) override {
    paint();
    int ms = -1;
    if (timeout) ms = static_cast<int>(std::min<Micros>(*timeout / 1000 + 1, 60'000));
    wtimeout(stdscr, ms);
    wint_t ch;
    int kind = wget_wch(stdscr, &ch);
    if (kind == ERR) return true;
    if (kind == KEY_CODE_YES)
      keyCode(static_cast<int>(ch));
    else
      character(ch);
    return true;
  }

 private:
  void paint() {
    Canvas canvas(std::max(COLS, 20), std::max(LINES, 5));
    session_.draw(canvas);
    for (int y = 0; y < canvas.height(); ++y) {
      for (int x = 0; x < canvas.width(); ++x) {
        const Cell &c = canvas.at(x, y);
        attr_t a = A_NORMAL;
        if (c.attr & kAttrReverse) a |= A_REVERSE;
        if (c.attr & kAttrDim) a |= A_DIM;
        if (c.attr & kAttrBold) a |= A_BOLD;
        if (c.attr & kAttrUnderline) a |= A_UNDERLINE;
        if (c.tail) continue;  // the wide character to the left covers this cell
        // The character with its combining marks, as one terminal cell (two for a wide one).
        wchar_t text[4] = {static_cast<wchar_t>(c.ch), static_cast<wchar_t>(c.marks[0]),
                           static_cast<wchar_t>(c.marks[1]), 0};
        if (!c.marks[0]) text[1] = 0;
        cchar_t cell;
        setcchar(&cell, text, a, static_cast<short>(has_colors() ? c.color : 0), nullptr);
        mvadd_wch(y, x, &cell);
      }
    }
    refresh();
  }

  void boxKey(int key) {
    auto box = session_.messageBox();
    if (!box) return;
    auto has = [&](int id) { return std::find(box->buttons.begin(), box->buttons.end(), id) != box->buttons.end(); };
    switch (key) {
      case '\t':
      case KEY_RIGHT: session_.moveMessageBoxFocus(1); break;
      case KEY_BTAB:
      case KEY_LEFT: session_.moveMessageBoxFocus(-1); break;
      case '\n':
      case '\r':
      case ' ':
      case KEY_ENTER: session_.answerMessageBox(box->buttons[static_cast<std::size_t>(box->focus)]); break;
      case 27: session_.answerMessageBox(has(IDCANCEL) ? IDCANCEL : has(IDNO) ? IDNO : box->buttons.back()); break;
      case 'o': case 'O': session_.answerMessageBox(IDOK); break;
      case 'c': case 'C': session_.answerMessageBox(IDCANCEL); break;
      case 'y': case 'Y': session_.answerMessageBox(IDYES); break;
      case 'n': case 'N': session_.answerMessageBox(IDNO); break;
      case 'a': case 'A': session_.answerMessageBox(IDABORT); break;
      case 'r': case 'R': session_.answerMessageBox(IDRETRY); break;
      case 'i': case 'I': session_.answerMessageBox(IDIGNORE); break;
      default: break;
    }
  }

  void mouse() {
    MEVENT ev;
    if (getmouse(&ev) != OK) return;
    if (ev.bstate & (BUTTON1_PRESSED | BUTTON1_CLICKED)) session_.tapAt(ev.x, ev.y);
  }

  void keyCode(int key) {
    if (key == KEY_MOUSE) return mouse();
    if (key == KEY_RESIZE) return;
    if (key == KEY_F(10)) return session_.userQuit();
    if (session_.messageBox()) return boxKey(key);
    switch (key) {
      case KEY_F(2): session_.pressDialogButton(IDOK); break;
      case KEY_F(3): session_.pressDialogButton(IDCANCEL); break;
      case KEY_F(4):
      case KEY_NPAGE: session_.switchPage(1, true); break;
      case KEY_F(5):
      case KEY_PPAGE: session_.switchPage(-1, true); break;
      case KEY_F(6): session_.tapTray(0); break;
      case KEY_BTAB: session_.pressKey(VK_TAB, 0, true); break;
      case KEY_ENTER: session_.pressKey(VK_RETURN, 0); break;
      case KEY_UP: session_.pressKey(VK_UP, 0); break;
      case KEY_DOWN: session_.pressKey(VK_DOWN, 0); break;
      case KEY_LEFT: session_.pressKey(VK_LEFT, 0); break;
      case KEY_RIGHT: session_.pressKey(VK_RIGHT, 0); break;
      case KEY_HOME: session_.pressKey(VK_HOME, 0); break;
      case KEY_END: session_.pressKey(VK_END, 0); break;
      case KEY_DC: session_.pressKey(VK_DELETE, 0); break;
      case KEY_BACKSPACE: session_.pressKey(VK_BACK, 8); break;
      default: break;
    }
  }

  void character(wint_t ch) {
    if (ch == 3 || ch == 17) return session_.userQuit();  // Ctrl-C, Ctrl-Q
    if (session_.messageBox()) return boxKey(static_cast<int>(ch));
    switch (ch) {
      case '\t': session_.pressKey(VK_TAB, 0); return;
      case '\n':
      case '\r': session_.pressKey(VK_RETURN, 0); return;
      case 27: session_.pressKey(VK_ESCAPE, 0); return;
      case ' ': session_.pressKey(VK_SPACE, u' '); return;
      case 8:
      case 127: session_.pressKey(VK_BACK, 8); return;
      default: break;
    }
    if (ch >= 0x20 && ch < 0x10000) session_.pressKey(0, static_cast<char16_t>(ch));
  }

  Session &session_;
};

}  // namespace

std::unique_ptr<Renderer> makeTerminalRenderer(Session &session) { return std::make_unique<TerminalRenderer>(session); }

}  // namespace teskel::ui
