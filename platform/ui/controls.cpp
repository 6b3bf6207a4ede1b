// The built-in controls: button (push, check box, radio, group box), edit, static, drop-down list
// and progress bar, as window procedures over the control state kept in each window.
#include <algorithm>

#include "state.h"

namespace teskel::ui {

namespace {

char16_t upperChar(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);
  return c;
}
char16_t lowerChar(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 32);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);
  return c;
}

int compareNoCase(const std::u16string &a, const std::u16string &b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    char16_t x = upperChar(a[i]), y = upperChar(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool startsWithNoCase(const std::u16string &s, const std::u16string &prefix) {
  return s.size() >= prefix.size() && compareNoCase(s.substr(0, prefix.size()), prefix) == 0;
}

std::u16string textArg(LPARAM lp) { return lp ? std::u16string(reinterpret_cast<LPCWSTR>(lp)) : std::u16string(); }

LRESULT copyText(const std::u16string &text, WPARAM max, LPARAM buffer) {
  if (!buffer || max == 0) return 0;
  auto *out = reinterpret_cast<LPWSTR>(buffer);
  std::size_t n = std::min<std::size_t>(text.size(), max - 1);
  std::copy_n(text.data(), n, out);
  out[n] = 0;
  return static_cast<LRESULT>(n);
}

std::vector<HWND> radioGroup(State &s, HWND h) {
  Window *w = s.get(h);
  Window *p = w ? s.get(w->parent) : nullptr;
  if (!p) return {h};
  const auto &sib = p->children;
  auto it = std::find(sib.begin(), sib.end(), h);
  std::size_t i = static_cast<std::size_t>(it - sib.begin());
  std::size_t first = i;
  while (first > 0 && !(s.get(sib[first])->style & WS_GROUP)) --first;
  std::size_t last = i + 1;
  while (last < sib.size() && !(s.get(sib[last])->style & WS_GROUP)) ++last;
  return std::vector<HWND>(sib.begin() + static_cast<std::ptrdiff_t>(first),
                           sib.begin() + static_cast<std::ptrdiff_t>(last));
}

void clickButton(State &s, HWND h) {
  Window *w = s.get(h);
  if (!w) return;
  ButtonData *b = w->as<ButtonData>();
  b->pushed = false;
  switch (w->style & BS_TYPEMASK) {
    case BS_AUTOCHECKBOX:
      b->check = b->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
      break;
    case BS_AUTO3STATE:
      b->check = (b->check + 1) % 3;
      break;
    case BS_AUTORADIOBUTTON:
      for (HWND other : radioGroup(s, h)) {
        Window *o = s.get(other);
        if (o && o != w && isRadio(*o)) o->as<ButtonData>()->check = BST_UNCHECKED;
      }
      b->check = BST_CHECKED;
      break;
    default:
      break;
  }
  notifyParent(s, h, BN_CLICKED);
}

}  // namespace

LRESULT defWindowProc(State &s, HWND h, UINT msg, WPARAM wp, LPARAM lp);

void notifyParent(State &s, HWND control, WORD code) {
  Window *w = s.get(control);
  if (!w || !w->isChild()) return;
  send(s, w->parent, WM_COMMAND, MAKELONG(static_cast<WORD>(w->id), code), reinterpret_cast<LPARAM>(control));
}

bool isPushButton(const Window &w) {
  if (w.kind != Kind::Button) return false;
  DWORD t = w.style & BS_TYPEMASK;
  return t == BS_PUSHBUTTON || t == BS_DEFPUSHBUTTON || t == BS_USERBUTTON || t == BS_OWNERDRAW;
}
bool isCheckBox(const Window &w) {
  DWORD t = w.style & BS_TYPEMASK;
  return w.kind == Kind::Button && (t == BS_CHECKBOX || t == BS_AUTOCHECKBOX || t == BS_3STATE || t == BS_AUTO3STATE);
}
bool isRadio(const Window &w) {
  DWORD t = w.style & BS_TYPEMASK;
  return w.kind == Kind::Button && (t == BS_RADIOBUTTON || t == BS_AUTORADIOBUTTON);
}
bool isGroupBox(const Window &w) { return w.kind == Kind::Button && (w.style & BS_TYPEMASK) == BS_GROUPBOX; }

bool selectionVisible(const State &s, const Window &w) { return s.focus == w.handle || (w.style & ES_NOHIDESEL); }

LRESULT CALLBACK ButtonProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  State *s = currentState();
  Window *w = s ? s->get(h) : nullptr;
  if (!w || !w->as<ButtonData>()) return s ? defWindowProc(*s, h, msg, wp, lp) : 0;
  ButtonData *b = w->as<ButtonData>();
  bool checkable = isCheckBox(*w) || isRadio(*w);
  switch (msg) {
    case BM_GETCHECK:
      return checkable ? b->check : BST_UNCHECKED;
    case BM_SETCHECK:
      if (checkable) {
        UINT want = static_cast<UINT>(wp);
        DWORD t = w->style & BS_TYPEMASK;
        if (want == BST_INDETERMINATE && t != BS_3STATE && t != BS_AUTO3STATE) want = BST_CHECKED;
        b->check = want > BST_INDETERMINATE ? BST_UNCHECKED : want;
      }
      return 0;
    case BM_GETSTATE:
      return static_cast<LRESULT>(b->check | (b->pushed ? BST_PUSHED : 0) | (s->focus == h ? BST_FOCUS : 0));
    case BM_SETSTATE:
      b->pushed = wp != 0;
      return 0;
    case BM_SETSTYLE:
      w->style = (w->style & ~0xFFFFu) | (static_cast<DWORD>(wp) & 0xFFFF);
      return 0;
    case BM_CLICK:
      if (isEnabled(*s, h) && !isGroupBox(*w)) clickButton(*s, h);
      return 0;
    case WM_LBUTTONDOWN:
      if (!isEnabled(*s, h) || isGroupBox(*w)) return 0;
      setFocus(*s, h);
      if ((w = s->get(h))) w->as<ButtonData>()->pushed = true;
      return 0;
    case WM_LBUTTONUP:
      if (b->pushed && isEnabled(*s, h)) clickButton(*s, h);
      return 0;
    case WM_KEYDOWN:
      if (wp == VK_SPACE && isEnabled(*s, h) && !isGroupBox(*w)) b->pushed = true;
      return 0;
    case WM_KEYUP:
      if (wp == VK_SPACE && b->pushed && isEnabled(*s, h)) clickButton(*s, h);
      return 0;
    case WM_SETFOCUS:
      if (w->style & BS_NOTIFY) notifyParent(*s, h, BN_SETFOCUS);
      return 0;
    case WM_KILLFOCUS:
      b->pushed = false;
      if (w->style & BS_NOTIFY) notifyParent(*s, h, BN_KILLFOCUS);
      return 0;
    default:
      return defWindowProc(*s, h, msg, wp, lp);
  }
}

LRESULT CALLBACK EditProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  State *s = currentState();
  Window *w = s ? s->get(h) : nullptr;
  if (!w || !w->as<EditData>()) return s ? defWindowProc(*s, h, msg, wp, lp) : 0;
  EditData *e = w->as<EditData>();
  auto changed = [&] {
    if (Window *x = s->get(h)) x->as<EditData>()->modified = true;
    notifyParent(*s, h, EN_UPDATE);
    notifyParent(*s, h, EN_CHANGE);
  };
  auto replaceSelection = [&](const std::u16string &with) {
    std::size_t a = std::min(e->selStart(), w->text.size());
    std::size_t b = std::min(e->selEnd(), w->text.size());
    w->text.replace(a, b - a, with);
    e->anchor = e->caret = a + with.size();
  };
  bool readOnly = (w->style & ES_READONLY) != 0;
  switch (msg) {
    case WM_SETTEXT:
      w->text = textArg(lp);
      e->anchor = e->caret = 0;
      e->modified = false;
      notifyParent(*s, h, EN_UPDATE);
      notifyParent(*s, h, EN_CHANGE);
      return TRUE;
    case WM_CHAR: {
      if (!isEnabled(*s, h)) return 0;
      char16_t c = static_cast<char16_t>(wp);
      if (c == 8) {
        if (readOnly) return 0;
        if (e->selStart() == e->selEnd()) {
          if (e->caret == 0) return 0;
          e->anchor = e->caret - 1;
        }
        replaceSelection(u"");
        changed();
        return 0;
      }
      if (c < 0x20 || readOnly) return 0;
      if ((w->style & ES_NUMBER) && (c < u'0' || c > u'9')) return 0;
      if (w->style & ES_UPPERCASE) c = upperChar(c);
      if (w->style & ES_LOWERCASE) c = lowerChar(c);
      std::size_t selected = e->selEnd() - e->selStart();
      if (w->text.size() - selected + 1 > e->limit) {
        notifyParent(*s, h, EN_MAXTEXT);
        return 0;
      }
      replaceSelection(std::u16string(1, c));
      changed();
      return 0;
    }
    case WM_KEYDOWN: {
      if (!isEnabled(*s, h)) return 0;
      std::size_t len = w->text.size();
      bool sel = e->selStart() != e->selEnd();
      switch (wp) {
        case VK_LEFT:
          e->caret = sel ? e->selStart() : (e->caret ? e->caret - 1 : 0);
          e->anchor = e->caret;
          break;
        case VK_RIGHT:
          e->caret = sel ? e->selEnd() : std::min(e->caret + 1, len);
          e->anchor = e->caret;
          break;
        case VK_HOME:
          e->anchor = e->caret = 0;
          break;
        case VK_END:
          e->anchor = e->caret = len;
          break;
        case VK_DELETE:
          if (readOnly) break;
          if (!sel) {
            if (e->caret >= len) break;
            e->anchor = e->caret + 1;
          }
          replaceSelection(u"");
          changed();
          break;
        default:
          break;
      }
      return 0;
    }
    case WM_LBUTTONDOWN: {
      if (!isEnabled(*s, h)) return 0;
      setFocus(*s, h);
      if (!(w = s->get(h))) return 0;
      e = w->as<EditData>();
      int col = unitsToCols(static_cast<SHORT>(LOWORD(lp))) - ((w->style & WS_BORDER) ? 1 : 0);
      e->anchor = e->caret = std::min<std::size_t>(static_cast<std::size_t>(std::max(col, 0)), w->text.size());
      return 0;
    }
    case UIM_TABFOCUS:
      if (!isEnabled(*s, h) || !isVisible(*s, h)) return 0;
      setFocus(*s, h);
      if ((w = s->get(h))) {
        w->as<EditData>()->anchor = 0;
        w->as<EditData>()->caret = w->text.size();
      }
      return 0;
    case EM_GETSEL: {
      auto a = static_cast<DWORD>(e->selStart()), b = static_cast<DWORD>(e->selEnd());
      if (wp) *reinterpret_cast<DWORD *>(wp) = a;
      if (lp) *reinterpret_cast<DWORD *>(lp) = b;
      return MAKELONG(std::min<DWORD>(a, 0xFFFF), std::min<DWORD>(b, 0xFFFF));
    }
    case EM_SETSEL: {
      auto start = static_cast<int>(static_cast<INT_PTR>(wp));
      auto end = static_cast<int>(lp);
      std::size_t len = w->text.size();
      if (start == -1) {
        e->anchor = e->caret;  // deselect, caret stays
        return 0;
      }
      auto clampPos = [&](int v) { return v < 0 ? len : std::min<std::size_t>(static_cast<std::size_t>(v), len); };
      e->anchor = clampPos(start);
      e->caret = clampPos(end);
      return 0;
    }
    case EM_LIMITTEXT:
      e->limit = wp ? static_cast<std::size_t>(wp) : 0x7FFFFFFE;
      return 0;
    case EM_GETLIMITTEXT:
      return static_cast<LRESULT>(e->limit);
    case EM_SETREADONLY:
      if (wp)
        w->style |= ES_READONLY;
      else
        w->style &= ~ES_READONLY;
      return TRUE;
    case EM_REPLACESEL:
      replaceSelection(textArg(lp));
      changed();
      return 0;
    case EM_GETMODIFY:
      return e->modified;
    case EM_SETMODIFY:
      e->modified = wp != 0;
      return 0;
    case EM_GETLINECOUNT:
      return 1;
    case WM_SETFOCUS:
      notifyParent(*s, h, EN_SETFOCUS);
      return 0;
    case WM_KILLFOCUS:
      notifyParent(*s, h, EN_KILLFOCUS);
      return 0;
    default:
      return defWindowProc(*s, h, msg, wp, lp);
  }
}

LRESULT CALLBACK StaticProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  State *s = currentState();
  Window *w = s ? s->get(h) : nullptr;
  if (!w || !w->as<StaticData>()) return s ? defWindowProc(*s, h, msg, wp, lp) : 0;
  DWORD type = w->style & SS_TYPEMASK;
  switch (msg) {
    case WM_NCCREATE: {
      auto *cs = reinterpret_cast<CREATESTRUCTW *>(lp);
      if (type != SS_BITMAP && type != SS_ICON) return defWindowProc(*s, h, msg, wp, lp);
      // A picture control's text names the picture: an ordinal (0xFFFF, id) or a resource name.
      std::optional<ResId> id;
      if (cs && cs->lpszName && !IS_INTRESOURCE(cs->lpszName) && cs->lpszName[0] == 0xFFFF)
        id = ResId::of(static_cast<std::uint16_t>(cs->lpszName[1]));
      else if (cs && cs->lpszName && (IS_INTRESOURCE(cs->lpszName) || cs->lpszName[0]))
        id = resIdFromPointer(cs->lpszName);
      if (id && cs) {
        std::u16string name = id->isOrdinal() ? u"#" + coredll::fromUtf8(std::to_string(*id->ordinal)) : id->name;
        w->as<StaticData>()->image = type == SS_BITMAP
                                         ? static_cast<HANDLE>(loadBitmap(*s, cs->hInstance, name.c_str()))
                                         : static_cast<HANDLE>(loadIcon(*s, cs->hInstance, name.c_str()));
      }
      return TRUE;
    }
    case STM_SETIMAGE: {
      HANDLE old = w->as<StaticData>()->image;
      w->as<StaticData>()->image = reinterpret_cast<HANDLE>(lp);
      return reinterpret_cast<LRESULT>(old);
    }
    case STM_GETIMAGE:
      return reinterpret_cast<LRESULT>(w->as<StaticData>()->image);
    case WM_LBUTTONUP:
      if ((w->style & SS_NOTIFY) && isEnabled(*s, h)) notifyParent(*s, h, 0 /* STN_CLICKED */);
      return 0;
    default:
      return defWindowProc(*s, h, msg, wp, lp);
  }
}

LRESULT CALLBACK ComboProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  State *s = currentState();
  Window *w = s ? s->get(h) : nullptr;
  if (!w || !w->as<ComboData>()) return s ? defWindowProc(*s, h, msg, wp, lp) : 0;
  ComboData *c = w->as<ComboData>();
  int count = static_cast<int>(c->items.size());
  auto insertAt = [&](int i, std::u16string text) {
    c->items.insert(c->items.begin() + i, std::move(text));
    c->data.insert(c->data.begin() + i, 0);
    if (c->sel >= i) ++c->sel;
    return static_cast<LRESULT>(i);
  };
  auto find = [&](int after, const std::u16string &what, bool exact) -> LRESULT {
    if (count == 0) return CB_ERR;
    int start = (after < 0 || after >= count) ? 0 : after + 1;
    for (int k = 0; k < count; ++k) {
      int i = (start + k) % count;
      if (exact ? compareNoCase(c->items[static_cast<std::size_t>(i)], what) == 0
                : startsWithNoCase(c->items[static_cast<std::size_t>(i)], what))
        return i;
    }
    return CB_ERR;
  };
  auto close = [&](bool picked) {
    Window *x = s->get(h);
    if (!x || !x->as<ComboData>()->dropped) return;
    x->as<ComboData>()->dropped = false;
    notifyParent(*s, h, picked ? CBN_SELENDOK : CBN_SELENDCANCEL);
    notifyParent(*s, h, CBN_CLOSEUP);
  };
  auto userPick = [&](int i) {
    if (i < 0 || i >= count) return;
    c->sel = i;
    c->hot = i;
    notifyParent(*s, h, CBN_SELCHANGE);
    close(true);
  };
  switch (msg) {
    case CB_ADDSTRING: {
      std::u16string text = textArg(lp);
      int i = count;
      if (w->style & CBS_SORT) {
        auto it = std::upper_bound(c->items.begin(), c->items.end(), text,
                                   [](const std::u16string &a, const std::u16string &b) { return compareNoCase(a, b) < 0; });
        i = static_cast<int>(it - c->items.begin());
      }
      return insertAt(i, std::move(text));
    }
    case CB_INSERTSTRING: {
      // Inserting never sorts; -1 appends.
      int i = static_cast<int>(static_cast<INT_PTR>(wp));
      if (i == -1) i = count;
      if (i < 0 || i > count) return CB_ERR;
      return insertAt(i, textArg(lp));
    }
    case CB_DELETESTRING: {
      int i = static_cast<int>(static_cast<INT_PTR>(wp));
      if (i < 0 || i >= count) return CB_ERR;
      c->items.erase(c->items.begin() + i);
      c->data.erase(c->data.begin() + i);
      if (c->sel == i)
        c->sel = -1;
      else if (c->sel > i)
        --c->sel;
      return count - 1;
    }
    case CB_GETCOUNT:
      return count;
    case CB_GETCURSEL:
      return c->sel;
    case CB_SETCURSEL: {
      int i = static_cast<int>(static_cast<INT_PTR>(wp));
      if (i < 0 || i >= count) {
        c->sel = -1;
        return CB_ERR;
      }
      c->sel = i;
      return i;
    }
    case CB_GETLBTEXT: {
      int i = static_cast<int>(static_cast<INT_PTR>(wp));
      if (i < 0 || i >= count || !lp) return CB_ERR;
      const auto &t = c->items[static_cast<std::size_t>(i)];
      auto *out = reinterpret_cast<LPWSTR>(lp);
      std::copy(t.begin(), t.end(), out);
      out[t.size()] = 0;
      return static_cast<LRESULT>(t.size());
    }
    case CB_GETLBTEXTLEN: {
      int i = static_cast<int>(static_cast<INT_PTR>(wp));
      if (i < 0 || i >= count) return CB_ERR;
      return static_cast<LRESULT>(c->items[static_cast<std::size_t>(i)].size());
    }
    case CB_RESETCONTENT:
      c->items.clear();
      c->data.clear();
      c->sel = -1;
      c->hot = -1;
      return CB_OKAY;
    case CB_FINDSTRING:
      return find(static_cast<int>(static_cast<INT_PTR>(wp)), textArg(lp), false);
    case CB_FINDSTRINGEXACT:
      return find(static_cast<int>(static_cast<INT_PTR>(wp)), textArg(lp), true);
    case CB_SELECTSTRING: {
      LRESULT i = find(static_cast<int>(static_cast<INT_PTR>(wp)), textArg(lp), false);
      if (i != CB_ERR) c->sel = static_cast<int>(i);
      return i;
    }
    case CB_SETITEMDATA: {
      int i = static_cast<int>(static_cast<INT_PTR>(wp));
      if (i < 0 || i >= count) return CB_ERR;
      c->data[static_cast<std::size_t>(i)] = lp;
      return CB_OKAY;
    }
    case CB_GETITEMDATA: {
      int i = static_cast<int>(static_cast<INT_PTR>(wp));
      if (i < 0 || i >= count) return CB_ERR;
      return c->data[static_cast<std::size_t>(i)];
    }
    case CB_SHOWDROPDOWN:
      if (wp && !c->dropped) {
        c->dropped = true;
        c->hot = c->sel;
        notifyParent(*s, h, CBN_DROPDOWN);
      } else if (!wp) {
        close(false);
      }
      return TRUE;
    case CB_GETDROPPEDSTATE:
      return c->dropped;
    case CB_LIMITTEXT:
      return TRUE;
    case WM_GETTEXT:
      return copyText(c->sel >= 0 ? c->items[static_cast<std::size_t>(c->sel)] : std::u16string(), wp, lp);
    case WM_GETTEXTLENGTH:
      return c->sel >= 0 ? static_cast<LRESULT>(c->items[static_cast<std::size_t>(c->sel)].size()) : 0;
    case WM_SETTEXT:
      // A drop-down list shows only its items.
      return CB_ERR;
    case WM_LBUTTONDOWN:
      if (!isEnabled(*s, h)) return 0;
      setFocus(*s, h);
      if (!(w = s->get(h))) return 0;
      c = w->as<ComboData>();
      if (c->dropped) {
        close(false);
      } else {
        c->dropped = true;
        c->hot = c->sel;
        notifyParent(*s, h, CBN_DROPDOWN);
      }
      return 0;
    case UIM_USERSELECT:
      if (isEnabled(*s, h)) userPick(static_cast<int>(wp));
      return 0;
    case WM_KEYDOWN:
      if (wp == 0x73 /* VK_F4 */ && isEnabled(*s, h)) {
        if (c->dropped) {
          close(false);
        } else {
          c->dropped = true;
          c->hot = c->sel;
          notifyParent(*s, h, CBN_DROPDOWN);
        }
        return 0;
      }
      if (!isEnabled(*s, h) || count == 0) {
        if (wp == VK_ESCAPE || wp == VK_RETURN) close(false);
        return 0;
      }
      if (c->dropped) {
        switch (wp) {
          case VK_DOWN: c->hot = std::min(c->hot + 1, count - 1); break;
          case VK_UP: c->hot = std::max(c->hot - 1, 0); break;
          case VK_HOME: c->hot = 0; break;
          case VK_END: c->hot = count - 1; break;
          case VK_RETURN: userPick(c->hot); break;
          case VK_ESCAPE: close(false); break;
          default: break;
        }
      } else {
        switch (wp) {
          case VK_DOWN:
          case VK_RIGHT: userPick(std::min(c->sel + 1, count - 1)); break;
          case VK_UP:
          case VK_LEFT: userPick(std::max(c->sel - 1, 0)); break;
          case VK_HOME: userPick(0); break;
          case VK_END: userPick(count - 1); break;
          default: break;
        }
      }
      return 0;
    case WM_SETFOCUS:
      notifyParent(*s, h, CBN_SETFOCUS);
      return 0;
    case WM_KILLFOCUS:
      close(false);
      notifyParent(*s, h, CBN_KILLFOCUS);
      return 0;
    default:
      return defWindowProc(*s, h, msg, wp, lp);
  }
}

LRESULT CALLBACK ProgressProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  State *s = currentState();
  Window *w = s ? s->get(h) : nullptr;
  if (!w || !w->as<ProgressData>()) return s ? defWindowProc(*s, h, msg, wp, lp) : 0;
  ProgressData *p = w->as<ProgressData>();
  auto clamp = [&](long long v) {
    long long lo = std::min(p->lo, p->hi), hi = std::max(p->lo, p->hi);
    return static_cast<int>(std::clamp(v, lo, hi));
  };
  switch (msg) {
    case PBM_SETRANGE: {
      LRESULT old = MAKELONG(p->lo, p->hi);
      p->lo = LOWORD(lp);
      p->hi = HIWORD(lp);
      p->pos = clamp(p->pos);
      return old;
    }
    case PBM_SETRANGE32: {
      LRESULT old = MAKELONG(p->lo, p->hi);
      p->lo = static_cast<int>(static_cast<INT_PTR>(wp));
      p->hi = static_cast<int>(lp);
      p->pos = clamp(p->pos);
      return old;
    }
    case PBM_GETRANGE:
      if (lp) {
        auto *r = reinterpret_cast<PBRANGE *>(lp);
        r->iLow = p->lo;
        r->iHigh = p->hi;
      }
      return wp ? p->lo : p->hi;
    case PBM_SETPOS: {
      int old = p->pos;
      // On a range that never goes below zero the position reads as unsigned: programs hand over
      // unsigned counts, and one of 2^31 or more is far above the range, not below it.
      auto raw = static_cast<std::uint32_t>(wp);
      p->pos = std::min(p->lo, p->hi) >= 0 ? clamp(static_cast<long long>(raw)) : clamp(static_cast<std::int32_t>(raw));
      return old;
    }
    case PBM_DELTAPOS: {
      int old = p->pos;
      p->pos = clamp(static_cast<long long>(p->pos) + static_cast<int>(static_cast<std::uint32_t>(wp)));
      return old;
    }
    case PBM_SETSTEP: {
      int old = p->step;
      p->step = static_cast<int>(static_cast<std::uint32_t>(wp));
      return old;
    }
    case PBM_STEPIT: {
      int old = p->pos;
      long long next = static_cast<long long>(p->pos) + p->step;
      long long range = static_cast<long long>(p->hi) - p->lo;
      // Past the end the bar starts over from the beginning.
      if (range > 0 && next > p->hi) next = p->lo + (next - p->hi) % range;
      if (range > 0 && next < p->lo) next = p->hi - (p->lo - next) % range;
      p->pos = clamp(next);
      return old;
    }
    case PBM_GETPOS:
      return p->pos;
    default:
      return defWindowProc(*s, h, msg, wp, lp);
  }
}

}  // namespace teskel::ui
