// Drawing the session into character cells (dialog units map to cells: x / 4, y / 8) and turning
// a tap on a cell back into what the shell does for it.
#include <algorithm>

#include "state.h"
#include "teskel/coredll.h"
#include "teskel/ui_render.h"

namespace teskel::ui {

namespace {

const char16_t *kHelp = u"F2 OK  F3 Cancel  F4/F5 Page  F6 Tray  Tab Move  Space Press  F10 Quit";

std::string utf8(char32_t c) {
  std::string out;
  coredll::appendUtf8(out, c);
  return out;
}

// "&File" shows as "File" (the ampersand marks a mnemonic), "&&" as "&".
std::u16string withoutMnemonics(const std::u16string &s) {
  std::u16string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == u'&' && i + 1 < s.size()) ++i;
    else if (s[i] == u'&') continue;
    out += s[i];
  }
  return out;
}

std::u16string ascii(const std::string &s) { return std::u16string(s.begin(), s.end()); }

struct Painter {
  const State &s;
  Canvas &c;
  std::vector<int> &index;
  std::vector<Hit> &hits;
  struct Overlay {
    HWND combo;
    CellRect under;
  };
  std::vector<Overlay> overlays;
  // Text that didn't fit its control: it may run on into cells that no other control covers.
  struct Overflow {
    std::u16string rest;
    int x, y;
    CellRect clip;
    std::uint8_t attr;
  };
  std::vector<Overflow> overflows;

  void textWithOverflow(const CellRect &box, const CellRect &clip, int x, int y, const std::u16string &t, int width,
                        std::uint8_t attr) {
    text(box, x, y, t, width, attr);
    if (width >= 0 && static_cast<int>(t.size()) > width)
      overflows.push_back({t.substr(static_cast<std::size_t>(width)), x + width, y, clip, attr});
  }

  // Runs the pending overflows of `container`'s children once all of them are drawn.
  void settleOverflows(HWND container, std::size_t from) {
    const Window *p = s.get(container);
    std::vector<CellRect> taken;
    for (HWND k : p->children) {
      const Window *w = s.get(k);
      if (!w || !w->visibleSelf() || isGroupBox(*w)) continue;
      CellRect r = cellRect(s, k);
      if (w->kind == Kind::ComboBox) r.bottom = r.top + 1;  // its height is that of the open list
      taken.push_back(r);
    }
    for (std::size_t i = from; i < overflows.size(); ++i) {
      const Overflow &o = overflows[i];
      for (std::size_t k = 0; k < o.rest.size(); ++k) {
        int x = o.x + static_cast<int>(k);
        if (!o.clip.contains(x, o.y) || x >= c.width() || c.at(x, o.y).ch != U' ') break;
        if (std::any_of(taken.begin(), taken.end(), [&](const CellRect &r) { return r.contains(x, o.y); })) break;
        c.put(x, o.y, o.rest[k], o.attr);
      }
    }
    overflows.resize(from);
  }

  static CellRect intersect(CellRect a, CellRect b) {
    CellRect r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
               std::min(a.bottom, b.bottom)};
    if (r.right < r.left) r.right = r.left;
    if (r.bottom < r.top) r.bottom = r.top;
    return r;
  }

  void put(const CellRect &clip, int x, int y, char32_t ch, std::uint8_t attr = kAttrNormal,
           std::uint8_t color = kColorDefault) {
    if (clip.contains(x, y)) c.put(x, y, ch, attr, color);
  }
  // Text from (x, y), at most `width` cells, inside `clip`.
  void text(const CellRect &clip, int x, int y, const std::u16string &t, int width, std::uint8_t attr = kAttrNormal) {
    for (int i = 0; i < width && i < static_cast<int>(t.size()); ++i) put(clip, x + i, y, t[static_cast<std::size_t>(i)], attr);
  }
  void hit(const CellRect &r, Hit h) {
    int id = static_cast<int>(hits.size());
    hits.push_back(h);
    for (int y = std::max(r.top, 0); y < std::min(r.bottom, c.height()); ++y)
      for (int x = std::max(r.left, 0); x < std::min(r.right, c.width()); ++x)
        index[static_cast<std::size_t>(y) * c.width() + x] = id;
  }
  void frame(const CellRect &clip, const CellRect &r, std::uint8_t attr = kAttrNormal) {
    for (int x = r.left; x < r.right; ++x) {
      put(clip, x, r.top, U'-', attr);
      put(clip, x, r.bottom - 1, U'-', attr);
    }
    for (int y = r.top; y < r.bottom; ++y) {
      put(clip, r.left, y, U'|', attr);
      put(clip, r.right - 1, y, U'|', attr);
    }
    put(clip, r.left, r.top, U'+', attr);
    put(clip, r.right - 1, r.top, U'+', attr);
    put(clip, r.left, r.bottom - 1, U'+', attr);
    put(clip, r.right - 1, r.bottom - 1, U'+', attr);
  }

  void image(const CellRect &clip, const CellRect &r, const Image &img) {
    static const char32_t ramp[] = U" .:-=+*#%@";
    if (img.pixels.empty()) {
      text(clip, r.left, r.top, u"[picture]", r.right - r.left);
      return;
    }
    int cols = r.right - r.left, rows = r.bottom - r.top;
    for (int cy = 0; cy < rows; ++cy) {
      for (int cx = 0; cx < cols; ++cx) {
        int x0 = cx * img.width / cols, x1 = std::max(x0 + 1, (cx + 1) * img.width / cols);
        int y0 = cy * img.height / rows, y1 = std::max(y0 + 1, (cy + 1) * img.height / rows);
        long sum = 0, n = 0;
        for (int y = y0; y < y1 && y < img.height; ++y)
          for (int x = x0; x < x1 && x < img.width; ++x) {
            std::uint32_t p = img.at(x, y);
            if ((p >> 24) < 128) continue;
            sum += (299 * ((p >> 16) & 0xFF) + 587 * ((p >> 8) & 0xFF) + 114 * (p & 0xFF)) / 1000;
            ++n;
          }
        char32_t ch = U' ';
        if (n) ch = ramp[(255 - sum / n) * 9 / 255];
        put(clip, r.left + cx, r.top + cy, ch);
      }
    }
  }

  void control(HWND h, const CellRect &clip) {
    const Window *w = s.get(h);
    if (!w || !w->visibleSelf()) return;
    CellRect r = cellRect(s, h);
    CellRect box = intersect(r, clip);
    bool enabled = isEnabled(s, h);
    bool focused = s.focus == h;
    std::uint8_t dim = enabled ? kAttrNormal : kAttrDim;
    int width = r.right - r.left;
    int mid = r.top + (r.bottom - r.top - 1) / 2;
    switch (w->kind) {
      case Kind::Dialog: {
        hit(box, {Hit::What::Window, h, 0});
        std::size_t mark = overflows.size();
        for (HWND k : w->children) control(k, box);
        settleOverflows(h, mark);
        return;
      }
      case Kind::Button: {
        std::u16string label = withoutMnemonics(w->text);
        const ButtonData *b = w->as<ButtonData>();
        if (isGroupBox(*w)) {
          frame(box, r, dim);
          text(box, r.left + 2, r.top, label, width - 4, dim);
          return;
        }
        hit(box, {Hit::What::Window, h, 0});
        if (isCheckBox(*w) || isRadio(*w)) {
          std::u16string mark = isRadio(*w) ? (b->check ? u"(*)" : u"( )")
                                            : (b->check == BST_CHECKED ? u"[x]" : b->check ? u"[?]" : u"[ ]");
          bool left = (w->style & BS_LEFTTEXT) != 0;
          int markX = left ? r.left + std::min<int>(static_cast<int>(label.size()) + 1, width - 3) : r.left;
          text(box, markX, mid, mark, 3, static_cast<std::uint8_t>(dim | (focused ? kAttrReverse : 0)));
          if (left)
            text(box, r.left, mid, label, width - 4, dim);
          else
            textWithOverflow(box, clip, r.left + 4, mid, label, width - 4, dim);
          return;
        }
        std::uint8_t attr = static_cast<std::uint8_t>(
            dim | (focused ? kAttrReverse : 0) | ((w->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON ? kAttrBold : 0));
        int inner = std::max(width - 2, 0);
        int pad = std::max(0, (inner - static_cast<int>(label.size())) / 2);
        put(box, r.left, mid, U'<', attr);
        for (int i = 0; i < inner; ++i) put(box, r.left + 1 + i, mid, U' ', attr);
        text(box, r.left + 1 + pad, mid, label, inner - pad, attr);
        put(box, r.right - 1, mid, U'>', attr);
        return;
      }
      case Kind::Edit: {
        hit(box, {Hit::What::Window, h, 0});
        const EditData *e = w->as<EditData>();
        bool border = (w->style & WS_BORDER) || (w->exStyle & WS_EX_CLIENTEDGE);
        // A narrow field keeps two cells for its text: its closing bracket goes first (the next
        // field's opening one still separates them).
        bool closing = border && width >= 4;
        int inner = width - (border ? 1 : 0) - (closing ? 1 : 0);
        int x0 = border ? r.left + 1 : r.left;
        if (border) put(box, r.left, mid, U'[', dim);
        if (closing) put(box, r.right - 1, mid, U']', dim);
        std::size_t first = 0;
        if (inner > 0 && e->caret >= static_cast<std::size_t>(inner)) first = e->caret - static_cast<std::size_t>(inner) + 1;
        bool showSel = selectionVisible(s, *w) && e->selStart() != e->selEnd();
        for (int i = 0; i < inner; ++i) {
          std::size_t at = first + static_cast<std::size_t>(i);
          char32_t ch = at < w->text.size() ? ((w->style & ES_PASSWORD) ? U'*' : w->text[at]) : U' ';
          std::uint8_t attr = dim;
          if (showSel && at >= e->selStart() && at < e->selEnd()) attr |= kAttrReverse;
          if (focused && at == e->caret) attr |= kAttrUnderline;
          put(box, x0 + i, mid, ch, attr);
        }
        return;
      }
      case Kind::Static: {
        if (w->style & SS_NOTIFY) hit(box, {Hit::What::Window, h, 0});
        DWORD type = w->style & SS_TYPEMASK;
        if (type == SS_BITMAP || type == SS_ICON) {
          auto it = s.gdi.find(reinterpret_cast<std::uintptr_t>(w->as<StaticData>()->image));
          if (it != s.gdi.end()) image(box, r, it->second.image);
          return;
        }
        if (type == SS_BLACKRECT || type == SS_GRAYRECT || type == SS_BLACKFRAME) {
          frame(box, r, dim);
          return;
        }
        std::u16string t = (w->style & SS_NOPREFIX) ? w->text : withoutMnemonics(w->text);
        int rows = r.bottom - r.top;
        std::vector<std::u16string> lines;
        if (rows > 1 && (type == SS_LEFT || type == SS_CENTER || type == SS_RIGHT)) {
          // Word-wrapped over the rows the control has.
          std::u16string line;
          std::size_t i = 0;
          while (i < t.size()) {
            std::size_t end = t.find(u' ', i);
            std::u16string word = t.substr(i, end == std::u16string::npos ? std::u16string::npos : end - i);
            if (!line.empty() && static_cast<int>(line.size() + 1 + word.size()) > width) {
              lines.push_back(line);
              line.clear();
            }
            line += (line.empty() ? u"" : u" ") + word;
            if (end == std::u16string::npos) break;
            i = end + 1;
          }
          lines.push_back(line);
        } else {
          lines.push_back(t);
        }
        for (std::size_t k = 0; k < lines.size() && static_cast<int>(k) < rows; ++k) {
          int len = static_cast<int>(lines[k].size());
          int x = r.left;
          if (type == SS_CENTER) x += std::max(0, (width - len) / 2);
          if (type == SS_RIGHT) x += std::max(0, width - len);
          textWithOverflow(box, clip, x, r.top + static_cast<int>(k), lines[k], width - (x - r.left), dim);
        }
        return;
      }
      case Kind::ComboBox: {
        hit(CellRect{box.left, box.top, box.right, std::min(box.bottom, r.top + 1)}, {Hit::What::Window, h, 0});
        const ComboData *cd = w->as<ComboData>();
        std::u16string sel = cd->sel >= 0 ? cd->items[static_cast<std::size_t>(cd->sel)] : u"";
        std::uint8_t attr = static_cast<std::uint8_t>(dim | (focused ? kAttrReverse : 0));
        put(box, r.left, r.top, U'[', dim);
        for (int i = 1; i < width - 2; ++i) put(box, r.left + i, r.top, U' ', attr);
        text(box, r.left + 1, r.top, sel, width - 3, attr);
        put(box, r.right - 2, r.top, U'v', dim);
        put(box, r.right - 1, r.top, U']', dim);
        if (cd->dropped) overlays.push_back({h, r});
        return;
      }
      case Kind::Progress: {
        const ProgressData *p = w->as<ProgressData>();
        bool border = (w->style & WS_BORDER) != 0;
        int inner = border ? width - 2 : width;
        int x0 = border ? r.left + 1 : r.left;
        if (border) {
          put(box, r.left, mid, U'[', dim);
          put(box, r.right - 1, mid, U']', dim);
        }
        long long range = static_cast<long long>(p->hi) - p->lo;
        long long filled = range != 0 ? (static_cast<long long>(p->pos) - p->lo) * inner / range : 0;
        filled = std::clamp<long long>(filled, 0, inner);
        for (int i = 0; i < inner; ++i) put(box, x0 + i, mid, i < filled ? U'#' : U' ', dim);
        return;
      }
      default: {
        hit(box, {Hit::What::Window, h, 0});
        std::size_t mark = overflows.size();
        for (HWND k : w->children) control(k, box);
        settleOverflows(h, mark);
        return;
      }
    }
  }

  void comboList(const Overlay &o) {
    const Window *w = s.get(o.combo);
    if (!w) return;
    const ComboData *cd = w->as<ComboData>();
    int count = static_cast<int>(cd->items.size());
    int rows = std::max(1, std::min(count, w->cy / 8 - 1));
    int first = 0;
    if (cd->hot >= rows) first = cd->hot - rows + 1;
    CellRect screen{0, 0, c.width(), c.height()};
    int width = o.under.right - o.under.left;
    // The list hangs below the field: its items between side bars, a bottom edge under them.
    for (int i = 0; i <= rows; ++i) {
      int y = o.under.top + 1 + i;
      bool bottom = i == rows;
      for (int x = o.under.left; x < o.under.right; ++x) put(screen, x, y, bottom ? U'-' : U' ');
      put(screen, o.under.left, y, bottom ? U'+' : U'|');
      put(screen, o.under.right - 1, y, bottom ? U'+' : U'|');
    }
    for (int i = 0; i < rows && first + i < count; ++i) {
      int item = first + i;
      int y = o.under.top + 1 + i;
      std::uint8_t attr = item == cd->hot ? kAttrReverse : kAttrNormal;
      for (int x = 1; x < width - 1; ++x) put(screen, o.under.left + x, y, U' ', attr);
      text(screen, o.under.left + 1, y, cd->items[static_cast<std::size_t>(item)], width - 2, attr);
      hit(CellRect{o.under.left, y, o.under.right, y + 1}, {Hit::What::ComboItem, o.combo, item});
    }
  }

  void topLevel(HWND h) {
    const Window *w = s.get(h);
    CellRect r = cellRect(s, h);
    CellRect screen{0, 0, c.width(), c.height() - 2};
    CellRect clip = intersect(r, screen);
    for (int y = r.top; y < r.bottom; ++y)
      for (int x = r.left; x < r.right; ++x) put(clip, x, y, U' ');
    frame(clip, r);
    std::u16string caption = u" " + w->text + u" ";
    text(clip, r.left + 2, r.top, caption, r.right - r.left - 4, s.foreground == h ? kAttrReverse : kAttrNormal);
    hit(clip, {Hit::What::Window, h, 0});
    CellRect client = intersect(CellRect{r.left + 1, r.top + 1, r.right - 1, r.bottom - 1}, clip);
    if (w->sheet) {
      int x = client.left;
      for (std::size_t i = 0; i < w->sheet->pages.size(); ++i) {
        bool active = static_cast<int>(i) == w->sheet->current;
        std::u16string label = (active ? u"[" : u" ") + w->sheet->pages[i].title + (active ? u"]" : u" ");
        text(client, x, client.top, label, client.right - x, active ? kAttrBold : kAttrNormal);
        hit(intersect(CellRect{x, client.top, x + static_cast<int>(label.size()), client.top + 1}, client),
            {Hit::What::Tab, h, static_cast<int>(i)});
        x += static_cast<int>(label.size());
      }
      int cur = w->sheet->current;
      if (cur >= 0 && !w->sheet->pages[static_cast<std::size_t>(cur)].hwnd)
        text(client, client.left + 2, client.top + 2, u"(this page is not available)", client.right - client.left - 4);
    }
    std::size_t mark = overflows.size();
    for (HWND k : w->children) control(k, client);
    settleOverflows(h, mark);
  }

  void messageBox(const MessageBoxState &box) {
    const MessageBoxView &v = box.view;
    int maxInner = c.width() - 6;
    std::vector<std::u16string> lines;
    std::u16string cur;
    for (char16_t ch : v.text) {
      if (ch == u'\r') continue;
      if (ch == u'\n' || static_cast<int>(cur.size()) >= maxInner) {
        lines.push_back(cur);
        cur.clear();
        if (ch == u'\n') continue;
      }
      cur += ch;
    }
    lines.push_back(cur);
    std::vector<std::u16string> labels;
    int buttonsWidth = 0;
    for (int id : v.buttons) {
      static const char16_t *names[] = {u"", u"OK", u"Cancel", u"Abort", u"Retry", u"Ignore", u"Yes", u"No"};
      std::u16string l = u"< " + std::u16string(id >= 1 && id <= 7 ? names[id] : u"?") + u" >";
      buttonsWidth += static_cast<int>(l.size()) + 2;
      labels.push_back(l);
    }
    int inner = std::max<int>(static_cast<int>(v.caption.size()) + 2, buttonsWidth);
    for (const auto &l : lines) inner = std::max<int>(inner, static_cast<int>(l.size()));
    inner = std::min(inner, maxInner);
    int width = inner + 4;
    int height = static_cast<int>(lines.size()) + 4;
    int left = (c.width() - width) / 2;
    int top = std::max(0, (c.height() - 2 - height) / 2);
    CellRect r{left, top, left + width, top + height};
    CellRect screen{0, 0, c.width(), c.height()};
    for (int y = r.top; y < r.bottom; ++y)
      for (int x = r.left; x < r.right; ++x) put(screen, x, y, U' ');
    frame(screen, r, kAttrBold);
    text(screen, left + 2, top, u" " + v.caption + u" ", width - 4, kAttrReverse);
    for (std::size_t i = 0; i < lines.size(); ++i) text(screen, left + 2, top + 1 + static_cast<int>(i), lines[i], inner);
    int x = left + (width - buttonsWidth + 2) / 2;
    int y = r.bottom - 2;
    for (std::size_t i = 0; i < labels.size(); ++i) {
      std::uint8_t attr = static_cast<int>(i) == v.focus ? kAttrReverse : kAttrNormal;
      text(screen, x, y, labels[i], static_cast<int>(labels[i].size()), attr);
      hit(CellRect{x, y, x + static_cast<int>(labels[i].size()), y + 1}, {Hit::What::BoxButton, nullptr, v.buttons[i]});
      x += static_cast<int>(labels[i].size()) + 2;
    }
  }

  void trayBar() {
    int y = c.height() - 1;
    CellRect screen{0, 0, c.width(), c.height()};
    std::u16string head = u"Tray:";
    text(screen, 0, y, head, c.width());
    int x = static_cast<int>(head.size()) + 1;
    if (s.tray.empty()) text(screen, x, y, u"(no icons)", c.width() - x, kAttrDim);
    for (std::size_t i = 0; i < s.tray.size(); ++i) {
      const TrayIcon &t = s.tray[i];
      auto it = s.gdi.find(reinterpret_cast<std::uintptr_t>(t.icon));
      std::string label = "?";
      std::uint8_t color = kColorDefault;
      if (it != s.gdi.end() && it->second.name) {
        label = trayPictureLabel(*it->second.name);
        // The swatch takes the icon's strongest colour, so the pictures differ at a glance.
        long red = 0, green = 0;
        for (std::uint32_t p : it->second.image.pixels) {
          if ((p >> 24) < 128) continue;
          int r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
          if (r > g + 64 && r > b + 64) ++red;
          if (g > r + 64 && g > b + 64) ++green;
        }
        color = green > red ? kColorGreen : red > 0 ? kColorRed : kColorDefault;
      }
      std::u16string entry = u"[" + std::u16string(1, u'*') + u" " + ascii(label) + u"]";
      text(screen, x, y, entry, c.width() - x);
      put(screen, x + 1, y, U'*', kAttrBold, color);
      hit(CellRect{x, y, x + static_cast<int>(entry.size()), y + 1}, {Hit::What::TrayIcon, t.window, static_cast<int>(i)});
      x += static_cast<int>(entry.size()) + 1;
    }
    text(screen, 0, c.height() - 2, kHelp, c.width(), kAttrDim);
  }
};

}  // namespace

Canvas::Canvas(int width, int height)
    : width_(std::max(width, 1)), height_(std::max(height, 3)), cells_(static_cast<std::size_t>(width_) * height_) {}

void Canvas::clear() { std::fill(cells_.begin(), cells_.end(), Cell{}); }

void Canvas::put(int x, int y, char32_t ch, std::uint8_t attr, std::uint8_t color) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
  // Control characters never reach the screen.
  if (ch < 0x20 || ch == 0x7F) ch = U'?';
  cells_[static_cast<std::size_t>(y) * width_ + x] = Cell{ch, attr, color};
}

std::vector<std::string> Canvas::lines() const {
  std::vector<std::string> out;
  for (int y = 0; y < height_; ++y) {
    std::string line;
    for (int x = 0; x < width_; ++x) line += utf8(at(x, y).ch);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out.push_back(line);
  }
  return out;
}

std::string trayPictureLabel(const ResId &picture) {
  if (picture.isOrdinal()) {
    switch (*picture.ordinal) {
      case 104: return "connected";
      case 128: return "scanning";
      case 108: return "disconnected";
      default: return "icon " + std::to_string(*picture.ordinal);
    }
  }
  return "icon " + picture.str();
}

void Session::draw(Canvas &canvas) const {
  const State &s = *state_;
  canvas.clear();
  s.hits.clear();
  s.hitIndex.assign(static_cast<std::size_t>(canvas.width()) * canvas.height(), -1);
  s.hitWidth = canvas.width();
  s.hitHeight = canvas.height();
  Painter p{s, canvas, s.hitIndex, s.hits, {}, {}};
  for (auto it = s.topOrder.rbegin(); it != s.topOrder.rend(); ++it)
    if (isVisible(s, *it)) p.topLevel(*it);
  for (const auto &o : p.overlays) p.comboList(o);
  p.trayBar();
  for (const MessageBoxState *box : s.boxes) p.messageBox(*box);
}

bool Session::tapAt(int col, int row) {
  State &s = *state_;
  if (col < 0 || row < 0 || col >= s.hitWidth || row >= s.hitHeight) return false;
  int id = s.hitIndex[static_cast<std::size_t>(row) * s.hitWidth + col];
  if (id < 0) return false;
  Hit hit = s.hits[static_cast<std::size_t>(id)];
  if (!s.boxes.empty()) return hit.what == Hit::What::BoxButton && answerMessageBox(hit.index);
  // A tap anywhere but on an open list closes it.
  for (auto &[k, w] : s.windows)
    if (auto *cd = w->as<ComboData>(); cd && cd->dropped && !(hit.window == w->handle))
      post(s, w->handle, CB_SHOWDROPDOWN, FALSE, 0);
  switch (hit.what) {
    case Hit::What::BoxButton:
      return false;
    case Hit::What::TrayIcon:
      return tapTray(static_cast<std::size_t>(hit.index));
    case Hit::What::Tab:
      if (!s.get(hit.window)) return false;
      setForeground(s, hit.window);
      return post(s, hit.window, UIM_PAGE, static_cast<WPARAM>(hit.index), 0);
    case Hit::What::ComboItem:
      return post(s, hit.window, UIM_USERSELECT, static_cast<WPARAM>(hit.index), 0);
    case Hit::What::Window: {
      Window *w = s.get(hit.window);
      if (!w) return false;
      setForeground(s, hit.window);
      if (!isEnabled(s, hit.window)) return false;  // disabled windows take no input
      int ox, oy;
      if (w->isChild()) {
        auto [px, py] = clientOrigin(s, w->parent);
        ox = px + w->x, oy = py + w->y;
      } else {
        ox = w->x, oy = w->y;
      }
      LPARAM pos = MAKELONG(col * 4 - ox, row * 8 - oy);
      post(s, hit.window, WM_LBUTTONDOWN, 1 /* MK_LBUTTON */, pos);
      post(s, hit.window, WM_LBUTTONUP, 0, pos);
      return true;
    }
  }
  return false;
}

}  // namespace teskel::ui
