// Drawing the session into character cells (the view follows the focus on a small screen; help and
// tray lines at the bottom) and turning a tap on a cell back into what the shell does for it.
#include <algorithm>

#include "state.h"
#include "teskel/coredll.h"
#include "teskel/ui_render.h"

namespace teskel::ui {

namespace {

struct Range {
  char32_t lo, hi;
};

// Combining marks and other characters that take no cell of their own.
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2},
    {0x05C4, 0x05C5}, {0x05C7, 0x05C7}, {0x0610, 0x061A}, {0x061C, 0x061C}, {0x064B, 0x065F},
    {0x0670, 0x0670}, {0x06D6, 0x06DC}, {0x06DF, 0x06E4}, {0x06E7, 0x06E8}, {0x06EA, 0x06ED},
    {0x0711, 0x0711}, {0x0730, 0x074A}, {0x07A6, 0x07B0}, {0x07EB, 0x07F3}, {0x0900, 0x0902},
    {0x093A, 0x093A}, {0x093C, 0x093C}, {0x0941, 0x0948}, {0x094D, 0x094D}, {0x0951, 0x0957},
    {0x0962, 0x0963}, {0x0981, 0x0981}, {0x09BC, 0x09BC}, {0x09C1, 0x09C4}, {0x09CD, 0x09CD},
    {0x09E2, 0x09E3}, {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x0EB1, 0x0EB1},
    {0x0EB4, 0x0EBC}, {0x0EC8, 0x0ECD}, {0x1160, 0x11FF}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},
    {0x200B, 0x200F}, {0x202A, 0x202E}, {0x2060, 0x2064}, {0x20D0, 0x20F0}, {0x302A, 0x302D},
    {0x3099, 0x309A}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F}, {0xE0100, 0xE01EF},
};

// East Asian wide and full-width characters.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},   {0x23F0, 0x23F0},
    {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653},   {0x267F, 0x267F},
    {0x2693, 0x2693},   {0x26A1, 0x26A1},   {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},
    {0x26CE, 0x26CE},   {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},
    {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},   {0x2757, 0x2757},   {0x2795, 0x2797},
    {0x27B0, 0x27B0},   {0x27BF, 0x27BF},   {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},
    {0x2E80, 0x303E},   {0x3041, 0x3247},   {0x3250, 0x4DBF},   {0x4E00, 0xA4CF},   {0xA960, 0xA97F},
    {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4}, {0x17000, 0x18CFF}, {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004},
    {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F251}, {0x1F300, 0x1F64F},
    {0x1F680, 0x1F6FF}, {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

template <std::size_t N>
bool inRanges(char32_t c, const Range (&table)[N]) {
  auto it = std::upper_bound(std::begin(table), std::end(table), c, [](char32_t v, const Range &r) { return v < r.lo; });
  return it != std::begin(table) && c <= std::prev(it)->hi;
}

// One character as drawn: its base, the marks that follow it, and where it sits in the text.
struct Glyph {
  char32_t ch;
  std::u32string marks;
  int cells;
  std::size_t begin, end;  // UTF-16 positions
};

std::vector<Glyph> glyphs(std::u16string_view t) {
  std::vector<Glyph> out;
  for (std::size_t i = 0; i < t.size();) {
    std::size_t begin = i;
    char32_t c = t[i++];
    if (c >= 0xD800 && c < 0xDC00 && i < t.size() && t[i] >= 0xDC00 && t[i] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (t[i++] - 0xDC00);
    else if (c >= 0xD800 && c < 0xE000)
      c = 0xFFFD;
    int w = charCells(c);
    if (w == 0 && !out.empty()) {
      out.back().marks += c;
      out.back().end = i;
    } else if (w == 0) {
      out.push_back({U' ', std::u32string(1, c), 1, begin, i});  // a mark with nothing to sit on
    } else {
      out.push_back({c, {}, w, begin, i});
    }
  }
  return out;
}

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

// Lines of at most `width` cells, broken between words; a word longer than a line is broken
// where the line ends. Line breaks in the text start new lines.
std::vector<std::u16string> wrapWords(const std::u16string &text, int width) {
  width = std::max(width, 1);
  std::vector<std::u16string> lines;
  std::u16string para;
  auto flushParagraph = [&] {
    std::u16string line;
    int lineCells = 0;
    std::size_t i = 0;
    do {
      std::size_t end = para.find(u' ', i);
      std::u16string word = para.substr(i, end == std::u16string::npos ? std::u16string::npos : end - i);
      int wordCells = textCells(word);
      if (!line.empty() && lineCells + 1 + wordCells > width) {
        lines.push_back(line);
        line.clear();
        lineCells = 0;
      }
      if (!line.empty()) line += u' ', ++lineCells;
      for (const Glyph &g : glyphs(word)) {
        if (lineCells + g.cells > width && lineCells > 0) {
          lines.push_back(line);
          line.clear();
          lineCells = 0;
        }
        line += word.substr(g.begin, g.end - g.begin);
        lineCells += g.cells;
      }
      if (end == std::u16string::npos) break;
      i = end + 1;
    } while (true);
    lines.push_back(line);
    para.clear();
  };
  for (char16_t ch : text) {
    if (ch == u'\r') continue;
    if (ch == u'\n')
      flushParagraph();
    else
      para += ch;
  }
  flushParagraph();
  return lines;
}

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
  void glyph(int x, int y, const Glyph &g, std::uint8_t attr) {
    c.put(x, y, g.ch, attr);
    for (char32_t m : g.marks) c.mark(x, y, m);
  }
  bool fits(const CellRect &clip, int x, int y, const Glyph &g) const {
    return clip.contains(x, y) && (g.cells < 2 || clip.contains(x + 1, y));
  }
  // Text from (x, y), at most `cells` cells, inside `clip`; returns the position in `t` where it stopped.
  std::size_t text(const CellRect &clip, int x, int y, std::u16string_view t, int cells, std::uint8_t attr = kAttrNormal) {
    int used = 0;
    for (const Glyph &g : glyphs(t)) {
      if (used + g.cells > cells || !fits(clip, x + used, y, g)) return g.begin;
      glyph(x + used, y, g, attr);
      used += g.cells;
    }
    return t.size();
  }
  void textWithOverflow(const CellRect &box, const CellRect &clip, int x, int y, const std::u16string &t, int cells,
                        std::uint8_t attr) {
    std::size_t stop = text(box, x, y, t, cells, attr);
    if (stop < t.size()) overflows.push_back({t.substr(stop), x + textCells(std::u16string_view(t).substr(0, stop)), y, clip, attr});
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
    auto free = [&](int x, int y) {
      if (x >= c.width() || c.at(x, y).ch != U' ' || c.at(x, y).tail) return false;
      return std::none_of(taken.begin(), taken.end(), [&](const CellRect &r) { return r.contains(x, y); });
    };
    for (std::size_t i = from; i < overflows.size(); ++i) {
      const Overflow &o = overflows[i];
      int x = o.x;
      for (const Glyph &g : glyphs(o.rest)) {
        if (!fits(o.clip, x, o.y, g) || !free(x, o.y) || (g.cells == 2 && !free(x + 1, o.y))) break;
        glyph(x, o.y, g, o.attr);
        x += g.cells;
      }
    }
    overflows.resize(from);
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

  // An edit's text between its frame: scrolled so that the caret shows, the selection reversed.
  void editText(const CellRect &box, const Window &w, int x0, int y, int inner, std::uint8_t dim, bool focused) {
    const EditData *e = w.as<EditData>();
    std::u16string shown = (w.style & ES_PASSWORD) ? std::u16string(w.text.size(), u'*') : w.text;
    std::vector<Glyph> gs = glyphs(shown);
    std::size_t caretAt = gs.size();
    for (std::size_t i = 0; i < gs.size(); ++i)
      if (gs[i].begin >= e->caret) {
        caretAt = i;
        break;
      }
    // The first glyph shown: the caret and the text before it fit; a caret at the end of a
    // text that fills the field sits on the frame after it.
    std::size_t first = 0;
    auto span = [&](std::size_t from) {
      int n = caretAt < gs.size() ? gs[caretAt].cells : 0;
      for (std::size_t i = from; i < caretAt; ++i) n += gs[i].cells;
      return n;
    };
    while (first < caretAt && span(first) > inner) ++first;
    bool showSel = selectionVisible(s, w) && e->selStart() != e->selEnd();
    int used = 0;
    std::size_t i = first;
    for (; i < gs.size() && used + gs[i].cells <= inner; ++i) {
      std::uint8_t attr = dim;
      if (showSel && gs[i].begin >= e->selStart() && gs[i].begin < e->selEnd()) attr |= kAttrReverse;
      if (focused && i == caretAt) attr |= kAttrUnderline;
      if (fits(box, x0 + used, y, gs[i])) glyph(x0 + used, y, gs[i], attr);
      used += gs[i].cells;
    }
    for (int k = used; k < inner; ++k)
      put(box, x0 + k, y, U' ', static_cast<std::uint8_t>(dim | (focused && k == used && i == caretAt ? kAttrUnderline : 0)));
  }

  void control(HWND h, const CellRect &clip) {
    const Window *w = s.get(h);
    if (!w || !w->visibleSelf()) return;
    CellRect r = cellRect(s, h);
    CellRect box = intersect(r, clip);
    bool enabled = isEnabled(s, h);
    bool focused = s.focus == h;
    std::uint8_t dim = enabled ? kAttrNormal : kAttrDim;
    std::uint8_t focusAttr = focused ? kAttrReverse : kAttrNormal;
    int width = r.right - r.left;
    int mid = r.top + (r.bottom - r.top - 1) / 2;
    switch (w->kind) {
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
          int markX = left ? r.left + std::min(textCells(label) + 1, width - 3) : r.left;
          text(box, markX, mid, mark, 3, static_cast<std::uint8_t>(dim | focusAttr));
          if (left)
            text(box, r.left, mid, label, width - 4, dim);
          else
            textWithOverflow(box, clip, r.left + 4, mid, label, width - 4, dim);
          return;
        }
        std::uint8_t attr = static_cast<std::uint8_t>(
            dim | focusAttr | ((w->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON ? kAttrBold : 0));
        int inner = std::max(width - 2, 0);
        int pad = std::max(0, (inner - textCells(label)) / 2);
        put(box, r.left, mid, U'<', attr);
        for (int i = 0; i < inner; ++i) put(box, r.left + 1 + i, mid, U' ', attr);
        text(box, r.left + 1 + pad, mid, label, inner - pad, attr);
        put(box, r.right - 1, mid, U'>', attr);
        return;
      }
      case Kind::Edit: {
        hit(box, {Hit::What::Window, h, 0});
        bool border = (w->style & WS_BORDER) || (w->exStyle & WS_EX_CLIENTEDGE);
        // A narrow field keeps two cells for its text: its closing bracket goes first (the next
        // field's opening one still separates them).
        bool closing = border && width >= 4;
        int inner = width - (border ? 1 : 0) - (closing ? 1 : 0);
        int x0 = border ? r.left + 1 : r.left;
        // The frame of the focused field is reversed, so that the focus shows whatever the caret does.
        if (border) put(box, r.left, mid, U'[', static_cast<std::uint8_t>(dim | focusAttr));
        if (closing) put(box, r.right - 1, mid, U']', static_cast<std::uint8_t>(dim | focusAttr));
        editText(box, *w, x0, mid, inner, dim, focused);
        if (focused && closing) {
          // A caret after a text that fills the field shows on the closing bracket.
          const EditData *e = w->as<EditData>();
          if (e->caret >= w->text.size() && textCells(w->text) >= inner)
            put(box, r.right - 1, mid, U']', static_cast<std::uint8_t>(dim | focusAttr | kAttrUnderline));
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
        if (rows > 1 && (type == SS_LEFT || type == SS_CENTER || type == SS_RIGHT))
          lines = wrapWords(t, width);  // over the rows the control has
        else
          lines.push_back(t);
        for (std::size_t k = 0; k < lines.size() && static_cast<int>(k) < rows; ++k) {
          int len = textCells(lines[k]);
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
        std::uint8_t attr = static_cast<std::uint8_t>(dim | focusAttr);
        // "[text  v]": a blank always separates the text from the arrow.
        put(box, r.left, r.top, U'[', dim);
        for (int i = 1; i < width - 2; ++i) put(box, r.left + i, r.top, U' ', attr);
        text(box, r.left + 1, r.top, sel, width - 4, attr);
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

  // Rows an open list shows under its field.
  static int listRows(const Window &w) {
    const ComboData *cd = w.as<ComboData>();
    return std::max(1, std::min(static_cast<int>(cd->items.size()), unitsToRows(w.cy) - 1));
  }

  void comboList(const Overlay &o) {
    const Window *w = s.get(o.combo);
    if (!w) return;
    const ComboData *cd = w->as<ComboData>();
    int count = static_cast<int>(cd->items.size());
    int rows = listRows(*w);
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
    CellRect clip = intersect(r, CellRect{0, 0, c.width(), c.height()});
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
        int cells = textCells(label);
        text(client, x, client.top, label, client.right - x, active ? kAttrBold : kAttrNormal);
        hit(intersect(CellRect{x, client.top, x + cells, client.top + 1}, client), {Hit::What::Tab, h, static_cast<int>(i)});
        x += cells;
      }
      int cur = w->sheet->current;
      if (cur >= 0 && !w->sheet->pages[static_cast<std::size_t>(cur)].hwnd)
        text(client, client.left + 2, client.top + 2, u"(this page is not available)", client.right - client.left - 4);
    }
    std::size_t mark = overflows.size();
    for (HWND k : w->children) control(k, client);
    settleOverflows(h, mark);
  }

  void messageBox(const MessageBoxState &box, int viewRows) {
    const MessageBoxView &v = box.view;
    int maxInner = std::max(c.width() - 6, 1);
    std::vector<std::u16string> lines = wrapWords(v.text, maxInner);
    // A text taller than the view keeps its first lines and the buttons.
    lines.resize(std::min<std::size_t>(lines.size(), static_cast<std::size_t>(std::max(viewRows - 4, 1))));
    std::vector<std::u16string> labels;
    int buttonsWidth = 0;
    for (int id : v.buttons) {
      static const char16_t *names[] = {u"", u"OK", u"Cancel", u"Abort", u"Retry", u"Ignore", u"Yes", u"No"};
      std::u16string l = u"< " + std::u16string(id >= 1 && id <= 7 ? names[id] : u"?") + u" >";
      buttonsWidth += static_cast<int>(l.size()) + 2;
      labels.push_back(l);
    }
    int inner = std::max(textCells(v.caption) + 2, buttonsWidth);
    for (const auto &l : lines) inner = std::max(inner, textCells(l));
    inner = std::min(inner, maxInner);
    int width = inner + 4;
    int height = static_cast<int>(lines.size()) + 4;
    int left = std::max(0, (c.width() - width) / 2);
    int top = std::max(0, (viewRows - height) / 2);
    CellRect r{left, top, left + width, top + height};
    CellRect screen{0, 0, c.width(), c.height()};
    for (int y = r.top; y < r.bottom; ++y)
      for (int x = r.left; x < r.right; ++x) put(screen, x, y, U' ');
    frame(screen, r, kAttrBold);
    text(screen, left + 2, top, u" " + v.caption + u" ", width - 4, kAttrReverse);
    for (std::size_t i = 0; i < lines.size(); ++i) text(screen, left + 2, top + 1 + static_cast<int>(i), lines[i], inner);
    int x = left + std::max(0, (width - buttonsWidth + 2) / 2);
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
  }

  // Centred lines from row `y`, wrapped to the width; returns the row after them.
  int centered(int y, const std::u16string &t, std::uint8_t attr = kAttrNormal) {
    for (const std::u16string &line : wrapWords(t, c.width() - 2)) {
      int x = std::max(0, (c.width() - textCells(line)) / 2);
      text(CellRect{0, 0, c.width(), c.height()}, x, y++, line, c.width() - x, attr);
    }
    return y;
  }
};

// The text of a label that names a control: the control's own, or that of the nearest text
// before it among its siblings (the label a layout puts in front of a field).
std::u16string controlName(const State &s, const Window &w, int *fieldNumber) {
  *fieldNumber = 0;
  if (w.kind == Kind::Button) return withoutMnemonics(w.text);
  const Window *parent = s.get(w.parent);
  if (!parent) return {};
  auto at = std::find(parent->children.begin(), parent->children.end(), w.handle);
  int fields = 1;
  while (at != parent->children.begin()) {
    const Window *k = s.get(*--at);
    if (!k) continue;
    if (k->kind == Kind::Static && !k->text.empty() && (k->style & SS_TYPEMASK) <= SS_RIGHT) {
      std::u16string label = withoutMnemonics(k->text);
      while (!label.empty() && (label.back() == u':' || label.back() == u' ')) label.pop_back();
      if (fields > 1) *fieldNumber = fields;
      return label;
    }
    if (k->kind == w.kind) ++fields;
    else break;
  }
  return {};
}

std::u16string describeFocus(const State &s, HWND h) {
  const Window *w = s.get(h);
  if (!w) return u"nowhere (Tab moves to the first control)";
  int number = 0;
  std::u16string name = controlName(s, *w, &number);
  std::u16string kind;
  switch (w->kind) {
    case Kind::Button: kind = isCheckBox(*w) ? u" check box" : isRadio(*w) ? u" option" : u" button"; break;
    case Kind::Edit: kind = u" field"; break;
    case Kind::ComboBox: kind = u" list"; break;
    default: break;
  }
  if (name.empty()) return kind.empty() ? u"a control" : kind.substr(1);
  if (number > 0) kind += u" " + ascii(std::to_string(number));
  return u"\"" + name + u"\"" + kind;
}

// What the keys do now: the focus, Enter and Escape for the window in front, or how to get the
// program back from the tray.
std::u16string helpLine(const State &s, HWND front) {
  if (!s.boxes.empty()) {
    const MessageBoxView &v = s.boxes.back()->view;
    static const char16_t *names[] = {u"", u"OK", u"Cancel", u"Abort", u"Retry", u"Ignore", u"Yes", u"No"};
    int id = v.buttons.empty() ? 0 : v.buttons[static_cast<std::size_t>(v.focus)];
    return u"Message: Enter=" + std::u16string(id >= 1 && id <= 7 ? names[id] : u"?") +
           u"  Esc=Cancel  Tab/arrows choose  a button's first letter answers";
  }
  if (!front) {
    if (s.tray.empty()) return {};
    const Window *owner = s.get(s.tray.front().window);
    std::u16string who = owner && !owner->text.empty() ? owner->text : u"The program";
    return who + u" is in the tray: F6 or a click on its icon opens it";
  }
  const Window *fw = s.get(s.focus);
  const Window *top = s.get(front);
  std::u16string enter, escape = u"Cancel";
  bool dropped = fw && fw->as<ComboData>() && fw->as<ComboData>()->dropped;
  if (dropped) {
    enter = u"pick the item", escape = u"close the list";
  } else if (fw && isPushButton(*fw) && topLevelOf(s, s.focus) == front) {
    enter = withoutMnemonics(fw->text);
  } else if (top->sheet) {
    enter = u"OK (default)";
  } else {
    enter = u"default button";
    for (HWND k : top->children)
      if (const Window *b = s.get(k); b && b->kind == Kind::Button && (b->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
        enter = withoutMnemonics(b->text) + u" (default)";
  }
  HWND focus = s.focus && topLevelOf(s, s.focus) == front ? s.focus : nullptr;
  return u"Focus: " + describeFocus(s, focus) + u"  Enter=" + enter + u"  Esc=" + escape;
}

// Moves `offset` so that [lo, hi) shows in a view of `size` cells over `total` cells.
void follow(int &offset, int lo, int hi, int size, int total) {
  if (hi - lo > size) hi = lo + size;
  if (lo < offset)
    offset = lo;
  else if (hi > offset + size)
    offset = hi - size;
  offset = std::clamp(offset, 0, std::max(0, total - size));
}

}  // namespace

int charCells(char32_t c) {
  if (c == 0) return 0;
  if (c < 0x300) return 1;
  if (inRanges(c, kZeroWidth)) return 0;
  return inRanges(c, kWide) ? 2 : 1;
}

int textCells(std::u16string_view text) {
  int n = 0;
  for (const Glyph &g : glyphs(text)) n += g.cells;
  return n;
}

Canvas::Canvas(int width, int height)
    : width_(std::max(width, 1)), height_(std::max(height, 4)), cells_(static_cast<std::size_t>(width_) * height_) {}

void Canvas::clear() { std::fill(cells_.begin(), cells_.end(), Cell{}); }

void Canvas::put(int x, int y, char32_t ch, std::uint8_t attr, std::uint8_t color) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
  // Control characters never reach the screen.
  if (ch < 0x20 || ch == 0x7F) ch = U'?';
  bool wide = charCells(ch) == 2;
  if (wide && x + 1 >= width_) ch = U' ', wide = false;  // no room for its right half
  // Writing over half of a wide character leaves the other half blank.
  auto release = [&](int cx) {
    Cell &old = cell(cx, y);
    if (old.tail && cx > 0) cell(cx - 1, y) = Cell{U' ', {}, old.attr, old.color, false, false};
    if (old.wide && cx + 1 < width_) cell(cx + 1, y) = Cell{U' ', {}, old.attr, old.color, false, false};
  };
  release(x);
  if (wide) release(x + 1);
  cell(x, y) = Cell{ch, {}, attr, color, wide, false};
  if (wide) cell(x + 1, y) = Cell{U' ', {}, attr, color, false, true};
}

void Canvas::mark(int x, int y, char32_t m) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
  Cell &c = cell(x, y);
  for (char32_t &slot : c.marks)
    if (!slot) {
      slot = m;
      return;
    }
}

std::vector<std::string> Canvas::lines() const {
  std::vector<std::string> out;
  for (int y = 0; y < height_; ++y) {
    std::string line;
    for (int x = 0; x < width_; ++x) {
      const Cell &c = at(x, y);
      if (c.tail) continue;
      line += utf8(c.ch);
      for (char32_t m : c.marks)
        if (m) line += utf8(m);
    }
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

void Session::draw(Canvas &view) const {
  const State &s = *state_;
  view.clear();
  s.hits.clear();
  int viewRows = std::max(1, view.height() - kBottomRows);

  // The windows are drawn whole onto a plane as large as they need; the view shows part of it.
  int planeWidth = view.width(), planeHeight = viewRows;
  std::vector<HWND> shown;
  for (auto it = s.topOrder.rbegin(); it != s.topOrder.rend(); ++it) {
    if (!isVisible(s, *it)) continue;
    shown.push_back(*it);
    CellRect r = cellRect(s, *it);
    planeWidth = std::max(planeWidth, r.right);
    planeHeight = std::max(planeHeight, r.bottom);
  }
  for (const auto &[key, w] : s.windows)
    if (const ComboData *cd = w->as<ComboData>(); cd && cd->dropped && isVisible(s, w->handle))
      planeHeight = std::max(planeHeight, cellRect(s, w->handle).top + 2 + Painter::listRows(*w));
  Canvas plane(planeWidth, planeHeight);
  std::vector<int> planeIndex(static_cast<std::size_t>(plane.width()) * plane.height(), -1);
  Painter p{s, plane, planeIndex, s.hits, {}, {}};
  for (HWND h : shown) p.topLevel(h);
  for (const auto &o : p.overlays) p.comboList(o);

  // The view shows the top left of the windows, and as little further as the focus (and an open
  // list under it) needs.
  s.scrollX = s.scrollY = 0;
  if (const Window *f = s.get(s.focus); f && isVisible(s, s.focus)) {
    CellRect r = cellRect(s, s.focus);
    if (const ComboData *cd = f->as<ComboData>()) r.bottom = r.top + 1 + (cd->dropped ? Painter::listRows(*f) + 1 : 0);
    follow(s.scrollX, r.left, r.right, view.width(), plane.width());
    follow(s.scrollY, r.top, r.bottom, viewRows, plane.height());
  }
  s.hitIndex.assign(static_cast<std::size_t>(view.width()) * view.height(), -1);
  s.hitWidth = view.width();
  s.hitHeight = view.height();
  for (int y = 0; y < viewRows && y + s.scrollY < plane.height(); ++y) {
    for (int x = 0; x < view.width() && x + s.scrollX < plane.width(); ++x) {
      const Cell &c = plane.at(x + s.scrollX, y + s.scrollY);
      bool cut = (c.tail && x == 0) || (c.wide && x + 1 == view.width());  // half a wide character
      if (c.tail && !cut) continue;
      view.put(x, y, cut ? U' ' : c.ch, c.attr, c.color);
      for (char32_t m : c.marks)
        if (m && !cut) view.mark(x, y, m);
    }
    for (int x = 0; x < view.width() && x + s.scrollX < plane.width(); ++x)
      s.hitIndex[static_cast<std::size_t>(y) * view.width() + x] =
          planeIndex[static_cast<std::size_t>(y + s.scrollY) * plane.width() + x + s.scrollX];
  }

  Painter q{s, view, s.hitIndex, s.hits, {}, {}};
  HWND front = frontDialog();
  if (shown.empty() && !s.tray.empty()) {
    const Window *owner = s.get(s.tray.front().window);
    std::u16string who = owner && !owner->text.empty() ? owner->text : u"The program";
    int y = q.centered(std::max(0, viewRows / 2 - 2), who + u" is in the tray.", kAttrBold);
    q.centered(y, u"Press F6, or click its icon on the tray line below, to open it again.");
  }
  CellRect all{0, 0, view.width(), view.height()};
  q.text(all, 0, view.height() - 3, helpLine(s, front), view.width(), kAttrDim);
  std::u16string keys = u"Tab move  Space press  F6 tray  F10 Quit";
  if (front && s.get(front)->sheet) keys = u"F4 next page  F5 previous page  " + keys;
  q.text(all, 0, view.height() - 2, keys, view.width(), kAttrDim);
  q.trayBar();
  for (const MessageBoxState *box : s.boxes) q.messageBox(*box, viewRows);
}

std::optional<Session::CellBox> Session::drawnAt(HWND window) const {
  const State &s = *state_;
  if (!s.get(window) || !isVisible(s, window)) return std::nullopt;
  CellRect r = cellRect(s, window);
  return CellBox{r.left - s.scrollX, r.top - s.scrollY, r.right - s.scrollX, r.bottom - s.scrollY};
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
      // The point in the window's client area, in dialog units (the middle of the cell).
      CellRect r = cellRect(s, hit.window);
      int left = w->isChild() ? r.left : r.left + 1, top = w->isChild() ? r.top : r.top + 1;
      LPARAM pos = MAKELONG(colToUnits(col + s.scrollX - left), rowToUnits(row + s.scrollY - top));
      post(s, hit.window, WM_LBUTTONDOWN, 1 /* MK_LBUTTON */, pos);
      post(s, hit.window, WM_LBUTTONUP, 0, pos);
      return true;
    }
  }
  return false;
}

}  // namespace teskel::ui
