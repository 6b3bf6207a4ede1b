// The headless renderer: a line-based command language that acts as the user (taps, typing,
// page switches, the tray, message box answers, time) and prints what the screen holds.
#include <algorithm>
#include <charconv>
#include <iostream>
#include <sstream>

#include "state.h"
#include "teskel/ui_render.h"

namespace teskel::ui {

namespace {

std::string quote(const std::u16string &text) {
  std::string s = coredll::toUtf8(text), out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

const char *buttonName(int id) {
  switch (id) {
    case IDOK: return "OK";
    case IDCANCEL: return "CANCEL";
    case IDABORT: return "ABORT";
    case IDRETRY: return "RETRY";
    case IDIGNORE: return "IGNORE";
    case IDYES: return "YES";
    case IDNO: return "NO";
    default: return "?";
  }
}

int buttonId(std::string name) {
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
  for (int id = IDOK; id <= IDNO; ++id)
    if (name == buttonName(id)) return id;
  return 0;
}

template <class T>
bool parseNumber(const std::string &text, T &out) {
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && p == text.data() + text.size();
}

struct Key {
  const char *name;
  UINT vk;
  char16_t ch;  // character typed with the key, 0 if none
};
const Key kKeys[] = {
    {"tab", VK_TAB, 0},        {"shift-tab", VK_TAB, 0},  {"enter", VK_RETURN, 0}, {"escape", VK_ESCAPE, 0},
    {"space", VK_SPACE, u' '}, {"up", VK_UP, 0},          {"down", VK_DOWN, 0},    {"left", VK_LEFT, 0},
    {"right", VK_RIGHT, 0},    {"home", VK_HOME, 0},      {"end", VK_END, 0},      {"backspace", VK_BACK, 8},
    {"delete", VK_DELETE, 0},  {"f4", 0x73 /* VK_F4 */, 0},
};

}  // namespace

HeadlessRenderer::HeadlessRenderer(Session &session, std::istream &in, std::ostream &out, std::ostream &err)
    : session_(session), in_(in), out_(out), err_(err) {}

bool HeadlessRenderer::error(const std::string &message) {
  err_ << "error: " << message << "\n";
  err_.flush();
  return false;
}

bool HeadlessRenderer::waitInput(std::optional<Micros>) {
  std::string line;
  while (std::getline(in_, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    execute(line.substr(first));
    return true;
  }
  return false;
}

void HeadlessRenderer::messageBoxOpened(const MessageBoxView &box) {
  std::string buttons;
  for (int id : box.buttons) buttons += (buttons.empty() ? "" : ",") + std::string(buttonName(id));
  out_ << "messagebox caption=" << quote(box.caption) << " text=" << quote(box.text) << " buttons=" << buttons << "\n";
  out_.flush();
  while (!answers_.empty()) {
    int id = answers_.front();
    answers_.pop_front();
    if (session_.answerMessageBox(id)) return;
    error(std::string("the message box has no ") + buttonName(id) + " button");
  }
}

void HeadlessRenderer::messageBoxClosed(int result) {
  out_ << "messagebox-closed " << buttonName(result) << "\n";
  out_.flush();
}

// Programs often build one line of debug output from several calls: it is shown a line at a time.
void HeadlessRenderer::debugOutput(const std::u16string &text) {
  for (char16_t c : text) {
    if (c == u'\r') continue;
    if (c == u'\n') {
      err_ << "debug: " << coredll::toUtf8(debugLine_) << "\n";
      debugLine_.clear();
    } else {
      debugLine_ += c;
    }
  }
  err_.flush();
}

HeadlessRenderer::~HeadlessRenderer() {
  if (!debugLine_.empty()) err_ << "debug: " << coredll::toUtf8(debugLine_) << "\n";
}

HWND HeadlessRenderer::findControl(long id, bool visibleOnly) const {
  const State &s = session_.state();
  auto idMatches = [&](const Window &w) {
    return w.isChild() && (w.id == static_cast<UINT_PTR>(static_cast<std::uint32_t>(id)) ||
                           (id < 0 && w.id == static_cast<UINT_PTR>(static_cast<std::uint16_t>(id))));
  };
  std::function<HWND(HWND)> search = [&](HWND h) -> HWND {
    const Window *w = s.get(h);
    if (!w) return nullptr;
    for (HWND k : w->children) {
      const Window *c = s.get(k);
      if (!c || (visibleOnly && !c->visibleSelf())) continue;
      if (idMatches(*c)) return k;
      if (HWND found = search(k)) return found;
    }
    return nullptr;
  };
  for (HWND t : s.topOrder) {
    if (visibleOnly && !isVisible(s, t)) continue;
    if (HWND found = search(t)) return found;
  }
  return nullptr;
}

std::string HeadlessRenderer::describe(HWND h) const {
  const State &s = session_.state();
  const Window *w = s.get(h);
  std::ostringstream o;
  const char *kind = "window";
  switch (w->kind) {
    case Kind::Button:
      kind = isGroupBox(*w) ? "groupbox" : isCheckBox(*w) ? "checkbox" : isRadio(*w) ? "radio" : "button";
      break;
    case Kind::Edit: kind = "edit"; break;
    case Kind::Static: kind = "static"; break;
    case Kind::ComboBox: kind = "combobox"; break;
    case Kind::Progress: kind = "progress"; break;
    case Kind::Dialog: kind = "dialog"; break;
    case Kind::Sheet: kind = "sheet"; break;
    default: break;
  }
  o << kind << (isEnabled(s, h) ? " enabled" : " disabled") << (isVisible(s, h) ? " visible" : " hidden");
  if (s.focus == h) o << " focus";
  if (const ButtonData *b = w->as<ButtonData>(); b && (isCheckBox(*w) || isRadio(*w)))
    o << (b->check == BST_CHECKED ? " checked" : b->check == BST_INDETERMINATE ? " indeterminate" : " unchecked");
  if (const EditData *e = w->as<EditData>()) {
    if (w->style & ES_READONLY) o << " readonly";
    if (w->style & ES_UPPERCASE) o << " uppercase";
    o << " sel=" << e->selStart() << ".." << e->selEnd() << " selvisible=" << (selectionVisible(s, *w) ? "yes" : "no");
  }
  if (const ComboData *c = w->as<ComboData>()) {
    o << " sel=" << c->sel << " count=" << c->items.size();
    if (c->dropped) o << " dropped";
  }
  if (const ProgressData *p = w->as<ProgressData>()) o << " range=" << p->lo << ".." << p->hi << " pos=" << p->pos;
  if (const StaticData *st = w->as<StaticData>(); st && st->image) {
    auto it = s.gdi.find(reinterpret_cast<std::uintptr_t>(st->image));
    if (it != s.gdi.end() && it->second.name) o << " picture=" << it->second.name->str();
  }
  if (w->sheet) {
    o << " page=" << w->sheet->current << " pages=" << w->sheet->pages.size();
    if (w->sheet->ended) o << " ended";
  }
  return o.str();
}

bool HeadlessRenderer::execute(const std::string &line) {
  State &s = session_.state();
  std::istringstream in(line);
  std::string cmd;
  in >> cmd;
  std::vector<std::string> args;
  for (std::string a; in >> a;) args.push_back(a);
  auto control = [&](const std::string &arg, bool visibleOnly, HWND &out) {
    long id;
    if (!parseNumber(arg, id)) return error("\"" + arg + "\" is not a control id");
    out = findControl(id, true);
    if (!out && !visibleOnly) out = findControl(id, false);
    if (!out) return error("no " + std::string(visibleOnly ? "visible " : "") + "control " + arg);
    return true;
  };
  auto usable = [&](HWND h, const std::string &arg) {
    if (!isEnabled(s, h)) return error("control " + arg + " is disabled");
    return true;
  };
  auto reply = [&](const std::string &text) {
    out_ << text << "\n";
    out_.flush();
    return true;
  };

  if (cmd == "click") {
    HWND h;
    if (args.size() != 1) return error("usage: click ID");
    if (!control(args[0], true, h) || !usable(h, args[0])) return false;
    Window *w = s.get(h);
    LPARAM center = MAKELONG(w->cx / 2, w->cy / 2);
    setForeground(s, h);
    post(s, h, WM_LBUTTONDOWN, 1, center);
    post(s, h, WM_LBUTTONUP, 0, center);
    return true;
  }
  if (cmd == "type") {
    HWND h;
    if (args.empty()) return error("usage: type ID TEXT");
    if (!control(args[0], true, h) || !usable(h, args[0])) return false;
    // The text is the rest of the line after the id and one blank, blanks included.
    std::size_t at = line.find(args[0], line.find("type") + 4) + args[0].size();
    std::string text = at < line.size() ? line.substr(at + 1) : std::string();
    setForeground(s, h);
    post(s, h, UIM_TABFOCUS, 0, 0);
    for (char16_t c : coredll::fromUtf8(text)) post(s, h, WM_CHAR, c, 1);
    return true;
  }
  if (cmd == "focus") {
    HWND h;
    if (args.size() != 1) return error("usage: focus ID");
    if (!control(args[0], true, h) || !usable(h, args[0])) return false;
    setForeground(s, h);
    return post(s, h, UIM_TABFOCUS, 0, 0);
  }
  if (cmd == "key") {
    if (args.size() != 1) return error("usage: key NAME");
    std::string name = args[0];
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    if (name == "return") name = "enter";
    if (name == "esc") name = "escape";
    if (name == "backtab") name = "shift-tab";
    // The sheet's own keys, as a real sheet takes them through PropSheet_IsDialogMessage: the next
    // and the previous page, round from the last to the first.
    if (name == "ctrl-tab" || name == "ctrl-shift-tab") {
      if (!session_.switchPage(name == "ctrl-tab" ? 1 : -1, true)) return error("no property sheet in front");
      return true;
    }
    const Key *key = nullptr;
    for (const Key &k : kKeys)
      if (name == k.name) key = &k;
    if (!key) return error("unknown key \"" + args[0] + "\"");
    if (!session_.pressKey(key->vk, key->ch, name == "shift-tab")) return error("no window takes the keyboard");
    return true;
  }
  if (cmd == "select") {
    HWND h;
    long index;
    if (args.size() != 2) return error("usage: select ID INDEX");
    if (!control(args[0], true, h) || !usable(h, args[0])) return false;
    const ComboData *c = s.get(h)->as<ComboData>();
    if (!c) return error("control " + args[0] + " is not a list");
    if (!parseNumber(args[1], index) || index < 0 || index >= static_cast<long>(c->items.size()))
      return error("list " + args[0] + " has no item " + args[1]);
    setForeground(s, h);
    return post(s, h, UIM_USERSELECT, static_cast<WPARAM>(index), 0);
  }
  if (cmd == "page") {
    long index;
    if (args.size() != 1 || !parseNumber(args[0], index)) return error("usage: page N");
    Window *w = s.get(session_.frontDialog());
    if (!w || !w->sheet) return error("no property sheet is shown");
    if (index < 0 || index >= static_cast<long>(w->sheet->pages.size())) return error("the sheet has no page " + args[0]);
    return session_.switchPage(static_cast<int>(index), false);
  }
  if (cmd == "ok" || cmd == "cancel") {
    if (!session_.frontDialog()) return error("no property sheet or dialog is shown");
    if (!session_.pressDialogButton(cmd == "ok" ? IDOK : IDCANCEL)) return error(cmd + " is disabled");
    return true;
  }
  if (cmd == "tray") {
    long index = 0;
    if (args.size() > 1 || (args.size() == 1 && !parseNumber(args[0], index))) return error("usage: tray [N]");
    if (index < 0 || !session_.tapTray(static_cast<std::size_t>(index))) return error("no tray icon " + std::to_string(index));
    return true;
  }
  if (cmd == "tap") {
    int col, row;
    if (args.size() != 2 || !parseNumber(args[0], col) || !parseNumber(args[1], row)) return error("usage: tap COL ROW");
    Canvas canvas;
    session_.draw(canvas);
    if (!session_.tapAt(col, row)) return error("nothing to tap at " + args[0] + "," + args[1]);
    return true;
  }
  if (cmd == "advance") {
    unsigned long long ms;
    if (args.size() != 1 || !parseNumber(args[0], ms)) return error("usage: advance MS");
    if (session_.loop().mode() != EventLoop::Mode::Virtual) return error("advance needs the virtual clock");
    session_.requestAdvance(static_cast<Micros>(ms) * 1000);
    return true;
  }
  if (cmd == "answer") {
    if (args.size() != 1) return error("usage: answer OK|CANCEL|YES|NO|ABORT|RETRY|IGNORE");
    int id = buttonId(args[0]);
    if (!id) return error("unknown answer \"" + args[0] + "\"");
    if (!session_.messageBox()) {
      answers_.push_back(id);  // for the next box
      return true;
    }
    if (!session_.answerMessageBox(id)) return error("the message box has no " + std::string(buttonName(id)) + " button");
    return true;
  }
  if (cmd == "screen") {
    int cols = kScreenWidth, rows = kScreenHeight;
    if (args.size() > 1) return error("usage: screen [COLSxROWS]");
    if (args.size() == 1) {
      std::size_t x = args[0].find('x');
      if (x == std::string::npos || !parseNumber(args[0].substr(0, x), cols) || !parseNumber(args[0].substr(x + 1), rows) ||
          cols < 10 || rows < 5 || cols > 1000 || rows > 1000)
        return error("usage: screen [COLSxROWS] (10x5 to 1000x1000)");
    }
    Canvas canvas(cols, rows);
    session_.draw(canvas);
    out_ << "screen begin " << canvas.width() << "x" << canvas.height() << "\n";
    for (const std::string &l : canvas.lines()) out_ << l << "\n";
    return reply("screen end");
  }
  if (cmd == "text") {
    HWND h;
    if (args.size() != 1) return error("usage: text ID");
    if (!control(args[0], false, h)) return false;
    Window *w = s.get(h);
    std::u16string text = w->text;
    if (const ComboData *c = w->as<ComboData>()) text = c->sel >= 0 ? c->items[static_cast<std::size_t>(c->sel)] : u"";
    return reply("text " + args[0] + " " + quote(text));
  }
  if (cmd == "state") {
    HWND h;
    if (args.size() != 1) return error("usage: state ID");
    if (!control(args[0], false, h)) return false;
    return reply("state " + args[0] + " " + describe(h));
  }
  if (cmd == "items") {
    HWND h;
    if (args.size() != 1) return error("usage: items ID");
    if (!control(args[0], false, h)) return false;
    const ComboData *c = s.get(h)->as<ComboData>();
    if (!c) return error("control " + args[0] + " is not a list");
    std::string line = "items " + args[0];
    for (const auto &item : c->items) line += " " + quote(item);
    return reply(line);
  }
  if (cmd == "tray-picture") {
    auto icons = session_.trayIcons();
    std::string line = "tray-picture";
    if (icons.empty()) line += " none";
    for (const auto &t : icons) line += " " + (t.picture ? t.picture->str() : std::string("none"));
    return reply(line);
  }
  if (cmd == "windows") {
    out_ << "windows begin\n";
    std::function<void(HWND, int)> list = [&](HWND h, int depth) {
      const Window *w = s.get(h);
      if (!w) return;
      out_ << std::string(static_cast<std::size_t>(depth) * 2, ' ') << coredll::toUtf8(w->cls->name)
           << " id=" << static_cast<long>(static_cast<std::int64_t>(w->id)) << " " << describe(h) << " text="
           << quote(w->text) << "\n";
      for (HWND k : w->children) list(k, depth + 1);
    };
    for (HWND t : s.topOrder) list(t, 0);
    return reply("windows end");
  }
  if (cmd == "time") return reply("time " + std::to_string(session_.loop().now() / 1000));
  if (cmd == "echo") {
    std::size_t at = line.find("echo") + 4;
    return reply(at < line.size() ? line.substr(at + 1) : std::string());
  }
  if (cmd == "quit") {
    session_.userQuit();
    return true;
  }
  return error("unknown command \"" + cmd + "\"");
}

}  // namespace teskel::ui
