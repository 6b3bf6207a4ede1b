// Dialogs built from compiled templates: the dialog window procedure, control creation, and the
// keyboard navigation (Tab, Enter, Escape) that the dialog manager gives every dialog.
#include <algorithm>

#include "state.h"

namespace teskel::ui {

namespace {

const char16_t *predefinedClass(std::uint16_t ordinal) {
  switch (ordinal) {
    case 0x80: return u"BUTTON";
    case 0x81: return u"EDIT";
    case 0x82: return u"STATIC";
    case 0x83: return u"LISTBOX";
    case 0x84: return u"SCROLLBAR";
    case 0x85: return u"COMBOBOX";
    default: return nullptr;
  }
}

// Messages whose dialog-procedure result is the message's result itself.
bool returnsDirectly(UINT msg) {
  switch (msg) {
    case WM_INITDIALOG:
    case 0x0037:  // WM_QUERYDRAGICON
    case 0x0039:  // WM_COMPAREITEM
    case 0x002E:  // WM_VKEYTOITEM
    case 0x002F:  // WM_CHARTOITEM
      return true;
    default:
      return msg >= 0x0132 && msg <= 0x0138;  // WM_CTLCOLOR...
  }
}

HWND defaultButton(State &s, HWND dlg) {
  Window *d = s.get(dlg);
  if (!d) return nullptr;
  for (HWND c : d->children) {
    Window *w = s.get(c);
    if (w && w->kind == Kind::Button && (w->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) return c;
  }
  return findControl(s, dlg, IDOK);
}

void pressCommand(State &s, HWND dlg, int id) {
  HWND button = findControl(s, dlg, id);
  if (button && isEnabled(s, button) && isVisible(s, button)) {
    send(s, button, BM_CLICK, 0, 0);
    return;
  }
  if (!button)
    send(s, dlg, WM_COMMAND, MAKELONG(static_cast<WORD>(id), BN_CLICKED), 0);
}

}  // namespace

HWND findControl(const State &s, HWND parent, int id) {
  const Window *p = s.get(parent);
  if (!p) return nullptr;
  for (HWND c : p->children) {
    const Window *w = s.get(c);
    if (w && static_cast<int>(static_cast<std::uint32_t>(w->id)) == id) return c;
    // Ids are 16 bits in classic templates: -1 reads back as 0xFFFF.
    if (w && id < 0 && w->id == static_cast<UINT_PTR>(static_cast<std::uint16_t>(id))) return c;
  }
  return nullptr;
}

// Visibility and state are taken within the container, so that the stops of a page are known
// before its sheet is shown.
std::vector<HWND> tabStops(const State &s, HWND container, bool withDisabled) {
  std::vector<HWND> out;
  const Window *c = s.get(container);
  if (!c) return out;
  if (c->sheet) {
    const SheetData &sd = *c->sheet;
    if (sd.current >= 0 && sd.pages[static_cast<std::size_t>(sd.current)].hwnd) {
      auto inner = tabStops(s, sd.pages[static_cast<std::size_t>(sd.current)].hwnd, withDisabled);
      out.insert(out.end(), inner.begin(), inner.end());
    }
    for (HWND b : {sd.ok, sd.cancel}) {
      const Window *bw = s.get(b);
      if (bw && bw->visibleSelf() && (withDisabled || bw->enabledSelf())) out.push_back(b);
    }
    return out;
  }
  for (HWND h : c->children) {
    const Window *w = s.get(h);
    if (!w || !w->visibleSelf()) continue;
    if (w->kind == Kind::Dialog) {
      if (!withDisabled && !w->enabledSelf()) continue;
      auto inner = tabStops(s, h, withDisabled);
      out.insert(out.end(), inner.begin(), inner.end());
    } else if ((w->style & WS_TABSTOP) && (withDisabled || w->enabledSelf())) {
      out.push_back(h);
    }
  }
  return out;
}

void navigate(State &s, HWND /*top*/, const std::vector<HWND> &order, bool backwards) {
  if (order.empty()) return;
  auto it = std::find(order.begin(), order.end(), s.focus);
  std::size_t n = order.size();
  std::size_t next;
  if (it == order.end())
    next = backwards ? n - 1 : 0;
  else
    next = (static_cast<std::size_t>(it - order.begin()) + (backwards ? n - 1 : 1)) % n;
  // Entering an edit by keyboard selects its text, as the dialog manager does.
  send(s, order[next], UIM_TABFOCUS, 0, 0);
}

LRESULT CALLBACK DefDlgProcInternal(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  State *s = currentState();
  Window *w = s ? s->get(h) : nullptr;
  if (!w || !w->dialog) return s ? defWindowProc(*s, h, msg, wp, lp) : 0;
  if (DLGPROC proc = w->dialog->proc) {
    if (msg == WM_NOTIFY) w->dialog->msgResult = 0;
    ++s->depth;
    INT_PTR r = proc(h, msg, wp, lp);
    --s->depth;
    if (r) {
      if (returnsDirectly(msg)) return r;
      Window *after = s->get(h);
      return after && after->dialog ? after->dialog->msgResult : 0;
    }
    if (!(w = s->get(h))) return 0;
  }
  switch (msg) {
    case WM_CLOSE:
      if (!w->isChild()) pressCommand(*s, h, IDCANCEL);
      return 0;
    case UIM_KEYNAV:
      if (wp == VK_TAB) {
        navigate(*s, h, tabStops(*s, h), lp != 0);
      } else if (wp == VK_RETURN) {
        Window *f = s->get(s->focus);
        if (f && isPushButton(*f) && topLevelOf(*s, s->focus) == h) {
          send(*s, s->focus, BM_CLICK, 0, 0);
        } else if (HWND def = defaultButton(*s, h)) {
          if (isEnabled(*s, def)) send(*s, def, BM_CLICK, 0, 0);
        } else {
          pressCommand(*s, h, IDOK);
        }
      } else if (wp == VK_ESCAPE) {
        pressCommand(*s, h, IDCANCEL);
      }
      return 0;
    default:
      return defWindowProc(*s, h, msg, wp, lp);
  }
}

HWND createDialog(State &s, const DialogTemplate &t, HINSTANCE inst, HWND parent, DLGPROC proc, LPARAM param,
                  bool asPage, int x, int y) {
  DWORD style = t.style;
  if (asPage) {
    // A page lives inside the sheet: whatever frame its template asks for is dropped, and it
    // starts hidden and enabled (page templates often carry WS_DISABLED).
    style &= ~(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | DS_MODALFRAME | WS_DISABLED | WS_VISIBLE);
    style |= WS_CHILD | DS_CONTROL;
  }
  bool child = (style & WS_CHILD) != 0;
  int cx = t.cx, cy = t.cy;
  if (!child) cx += 8, cy += 16;  // the frame around a top-level dialog's client area
  if (!asPage) x = t.x, y = t.y;
  HWND dlg = createWindow(s, t.exStyle, u"#32770", t.title.c_str(), style & ~WS_VISIBLE, x, y, cx, cy, parent,
                          nullptr, inst, nullptr);
  if (!dlg) return nullptr;
  Window *w = s.get(dlg);
  w->dialog->proc = proc;
  w->dialog->isPage = asPage;
  w->dialog->typeface = t.typeface;
  w->dialog->pointSize = t.pointSize;

  for (const DialogItem &item : t.items) {
    std::u16string clsName;
    if (item.cls.isOrdinal()) {
      const char16_t *n = predefinedClass(*item.cls.ordinal);
      if (!n) {
        if (t.style & DS_NOFAILCREATE) continue;
        destroyWindow(s, dlg);
        return nullptr;
      }
      clsName = n;
    } else {
      clsName = item.cls.name;
    }
    // A title given as an ordinal reaches the control as 0xFFFF followed by the number.
    std::u16string title;
    if (item.title.isOrdinal())
      title = {static_cast<char16_t>(0xFFFF), static_cast<char16_t>(*item.title.ordinal)};
    else
      title = item.title.name;
    LPVOID creation = item.creationData.empty() ? nullptr : const_cast<std::uint8_t *>(item.creationData.data());
    HWND c = createWindow(s, item.exStyle, clsName.c_str(), title.c_str(), item.style | WS_CHILD, item.x, item.y,
                          item.cx, item.cy, dlg, reinterpret_cast<HMENU>(static_cast<UINT_PTR>(item.id)), inst,
                          creation);
    if (!s.get(dlg)) return nullptr;
    if (!c && !(t.style & DS_NOFAILCREATE)) {
      destroyWindow(s, dlg);
      return nullptr;
    }
  }
  std::vector<HWND> stops = tabStops(s, dlg);
  HWND first = stops.empty() ? nullptr : stops.front();
  LRESULT r = send(s, dlg, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), param);
  if (!(w = s.get(dlg))) return nullptr;
  // TRUE from WM_INITDIALOG asks for the focus on the first control; it is given when the
  // dialog (or the sheet holding the page) is shown and active.
  if (r && first && s.get(first)) {
    HWND top = topLevelOf(s, dlg);
    if (Window *tw = s.get(top); tw && !tw->lastFocus) tw->lastFocus = first;
    if (s.foreground == top && isVisible(s, dlg)) setFocus(s, first);
  }
  if ((t.style & WS_VISIBLE) && !asPage) showWindow(s, dlg, SW_SHOW);
  return dlg;
}

}  // namespace teskel::ui
