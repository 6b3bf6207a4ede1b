// Window core: classes, creation and destruction, the thread's message queue and timers, focus,
// activation and visibility.
#include <algorithm>
#include <cstring>

#include "state.h"

namespace teskel::ui {

namespace {

char16_t upper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

bool sameName(const std::u16string &a, const std::u16string &b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (upper(a[i]) != upper(b[i])) return false;
  return true;
}

void addSystemClass(State &s, const char16_t *name, WNDPROC proc, Kind kind) {
  auto c = std::make_shared<WindowClass>();
  c->name = name;
  c->wc.lpfnWndProc = proc;
  c->wc.style = CS_GLOBALCLASS;
  c->system = true;
  c->kind = kind;
  c->atom = s.nextAtom++;
  s.classes.push_back(std::move(c));
}

bool matches(const State &s, const MSG &m, HWND filter, UINT lo, UINT hi) {
  if (lo || hi) {
    if (m.message < lo || m.message > hi) return false;
  }
  if (filter == reinterpret_cast<HWND>(-1)) return m.hwnd == nullptr;
  if (!filter) return true;
  for (HWND h = m.hwnd; h; h = s.get(h) ? s.get(h)->parent : nullptr)
    if (h == filter) return true;
  return false;
}

void killTimersOf(State &s, HWND h) {
  for (auto it = s.timers.begin(); it != s.timers.end();) {
    if (it->first.first == h) {
      s.loop.cancel(it->second.task);
      it = s.timers.erase(it);
    } else {
      ++it;
    }
  }
  std::erase_if(s.dueTimers, [&](const auto &k) { return k.first == h; });
}

void destroyTree(State &s, HWND h) {
  Window *w = s.get(h);
  if (!w || w->destroying) return;
  w->destroying = true;
  // The parent hears WM_DESTROY before its children, as the platform does.
  send(s, h, WM_DESTROY, 0, 0);
  w = s.get(h);
  if (!w) return;
  std::vector<HWND> kids = w->children;
  for (HWND k : kids) destroyTree(s, k);
  // Windows this one owns go with it.
  std::vector<HWND> owned;
  for (auto &[k, other] : s.windows)
    if (other->owner == h && !other->destroying) owned.push_back(other->handle);
  for (HWND o : owned) destroyTree(s, o);
  send(s, h, WM_NCDESTROY, 0, 0);
  w = s.get(h);
  if (!w) return;
  if (w->sheet) releaseSheetPages(s, *w);
  killTimersOf(s, h);
  if (w->published) unpublishWindow(s, *w);
  if (s.focus == h) s.focus = nullptr;
  if (Window *p = s.get(w->parent)) std::erase(p->children, h);
  std::erase(s.topOrder, h);
  if (s.foreground == h) s.foreground = nullptr;
  for (auto &[k, other] : s.windows)
    if (other->lastFocus == h) other->lastFocus = nullptr;
  auto it = s.windows.find(reinterpret_cast<std::uintptr_t>(h));
  s.graveyard.push_back(std::move(it->second));
  s.windows.erase(it);
}

// The next visible top-level window takes over when the foreground one goes away.
void pickForeground(State &s) {
  if (s.foreground && isVisible(s, s.foreground)) return;
  s.foreground = nullptr;
  for (HWND t : s.topOrder)
    if (isVisible(s, t)) {
      s.foreground = t;
      break;
    }
  if (s.focus && topLevelOf(s, s.focus) != s.foreground) {
    HWND old = s.focus;
    s.focus = nullptr;
    send(s, old, WM_KILLFOCUS, 0, 0);
  }
}

}  // namespace

std::u16string fromResourceText(LPCWSTR p) {
  if (!p || IS_INTRESOURCE(p)) return {};
  return std::u16string(p);
}

std::optional<ResId> resIdFromPointer(LPCWSTR p) {
  if (!p) return std::nullopt;
  if (IS_INTRESOURCE(p)) return ResId::of(static_cast<std::uint16_t>(reinterpret_cast<std::uintptr_t>(p)));
  // "#104" names an ordinal, as the platform's resource functions accept.
  if (p[0] == u'#') {
    std::uint32_t v = 0;
    const char16_t *q = p + 1;
    if (!*q) return ResId::named(p);
    for (; *q; ++q) {
      if (*q < u'0' || *q > u'9' || v > 0xFFFF) return ResId::named(p);
      v = v * 10 + (*q - u'0');
    }
    if (v <= 0xFFFF) return ResId::of(static_cast<std::uint16_t>(v));
  }
  return ResId::named(p);
}

void registerSystemClasses(State &s) {
  addSystemClass(s, u"BUTTON", ButtonProc, Kind::Button);
  addSystemClass(s, u"EDIT", EditProc, Kind::Edit);
  addSystemClass(s, u"STATIC", StaticProc, Kind::Static);
  addSystemClass(s, u"COMBOBOX", ComboProc, Kind::ComboBox);
  addSystemClass(s, PROGRESS_CLASSW, ProgressProc, Kind::Progress);
  addSystemClass(s, u"#32770", DefDlgProcInternal, Kind::Dialog);
  addSystemClass(s, u"TeskelPropertySheet", SheetProc, Kind::Sheet);
}

std::shared_ptr<WindowClass> findClass(State &s, LPCWSTR name, HINSTANCE inst) {
  if (!name) return nullptr;
  std::shared_ptr<WindowClass> any;
  for (auto &c : s.classes) {
    bool hit = IS_INTRESOURCE(name) ? c->atom == static_cast<ATOM>(reinterpret_cast<std::uintptr_t>(name))
                                    : sameName(c->name, name);
    if (!hit) continue;
    // A program's own class wins over a global one of the same name.
    if (!c->system && c->wc.hInstance == inst) return c;
    if (!any || (any->system && !c->system)) any = c;
  }
  return any;
}

HWND topLevelOf(const State &s, HWND h) {
  const Window *w = s.get(h);
  while (w && w->isChild() && s.get(w->parent)) w = s.get(w->parent);
  return w ? w->handle : nullptr;
}

bool isVisible(const State &s, HWND h) {
  for (const Window *w = s.get(h); w; w = w->isChild() ? s.get(w->parent) : nullptr)
    if (!w->visibleSelf()) return false;
  return s.get(h) != nullptr;
}

bool isEnabled(const State &s, HWND h) {
  for (const Window *w = s.get(h); w; w = w->isChild() ? s.get(w->parent) : nullptr)
    if (!w->enabledSelf()) return false;
  return s.get(h) != nullptr;
}

HWND createWindow(State &s, DWORD exStyle, LPCWSTR clsName, LPCWSTR name, DWORD style, int x, int y, int cx, int cy,
                  HWND parent, HMENU menu, HINSTANCE inst, LPVOID param) {
  auto cls = findClass(s, clsName, inst);
  if (!cls) return nullptr;
  Window *parentWin = s.get(parent);
  if ((style & WS_CHILD) && !parentWin) return nullptr;
  if (parent && !parentWin) return nullptr;

  auto w = std::make_unique<Window>();
  HWND h = reinterpret_cast<HWND>(s.newHandle());
  ++s.windowsCreated;
  w->handle = h;
  w->cls = cls;
  w->kind = cls->kind;
  w->proc = cls->wc.lpfnWndProc;
  w->style = style & ~WS_VISIBLE;
  w->exStyle = exStyle;
  if (x == CW_USEDEFAULT) x = 0, y = 0;
  if (cx == CW_USEDEFAULT) cx = 240, cy = 160;
  w->x = x, w->y = y, w->cx = std::max(cx, 0), w->cy = std::max(cy, 0);
  w->instance = inst;
  if (style & WS_CHILD) {
    w->parent = parent;
    w->id = reinterpret_cast<UINT_PTR>(menu);
  } else {
    // A top-level window's "parent" is its owner (the owner's top-level window).
    w->owner = parent ? topLevelOf(s, parent) : nullptr;
  }
  if (cls->wc.cbWndExtra > 0) w->extra.assign(static_cast<std::size_t>(cls->wc.cbWndExtra), 0);
  switch (w->kind) {
    case Kind::Button: w->control = ButtonData{}; break;
    case Kind::Edit: w->control = EditData{}; break;
    case Kind::Static: w->control = StaticData{}; break;
    case Kind::ComboBox: w->control = ComboData{}; break;
    case Kind::Progress: w->control = ProgressData{}; break;
    default: break;
  }
  if (w->kind == Kind::Dialog) w->dialog = std::make_unique<DialogData>();
  if (w->kind == Kind::Sheet) w->sheet = std::make_unique<SheetData>();
  s.windows.emplace(reinterpret_cast<std::uintptr_t>(h), std::move(w));
  if (style & WS_CHILD)
    parentWin->children.push_back(h);
  else
    s.topOrder.push_back(h);

  CREATESTRUCTW cs{};
  cs.lpCreateParams = param;
  cs.hInstance = inst;
  cs.hMenu = menu;
  cs.hwndParent = parent;
  cs.cx = cx, cs.cy = cy, cs.x = x, cs.y = y;
  cs.style = static_cast<LONG>(style);
  cs.lpszName = name;
  cs.lpszClass = clsName;
  cs.dwExStyle = exStyle;
  if (!send(s, h, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs))) {
    destroyWindow(s, h);
    return nullptr;
  }
  if (!s.get(h)) return nullptr;
  if (send(s, h, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
    destroyWindow(s, h);
    return nullptr;
  }
  Window *made = s.get(h);
  if (!made) return nullptr;
  if (!made->isChild()) publishWindow(s, *made);
  if (style & WS_VISIBLE) showWindow(s, h, SW_SHOW);
  return h;
}

bool destroyWindow(State &s, HWND h) {
  Window *w = s.get(h);
  if (!w) return false;
  if (w->destroying) return true;
  bool wasForeground = s.foreground == h;
  if (w->visibleSelf() && !w->isChild()) send(s, h, WM_SHOWWINDOW, FALSE, 0);
  ++s.depth;
  destroyTree(s, h);
  --s.depth;
  if (wasForeground || !s.foreground) pickForeground(s);
  freeGraveyard(s);
  return true;
}

void freeGraveyard(State &s) {
  if (s.depth == 0) s.graveyard.clear();
}

LRESULT send(State &s, HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  Window *w = s.get(h);
  if (!w || !w->proc) return 0;
  WNDPROC proc = w->proc;
  ++s.depth;
  LRESULT r = proc(h, msg, wp, lp);
  --s.depth;
  return r;
}

bool post(State &s, HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (h && !s.get(h)) return false;
  MSG m{};
  m.hwnd = h;
  m.message = msg;
  m.wParam = wp;
  m.lParam = lp;
  m.time = static_cast<DWORD>(s.loop.now() / 1000);
  s.queue.push_back(m);
  return true;
}

LRESULT dispatch(State &s, const MSG &m) {
  if (m.message == WM_TIMER && m.lParam) {
    // The timer's own routine runs instead of the window procedure.
    auto proc = reinterpret_cast<TIMERPROC>(m.lParam);
    ++s.depth;
    proc(m.hwnd, WM_TIMER, m.wParam, m.time);
    --s.depth;
    return 0;
  }
  if (!m.hwnd) return 0;
  return send(s, m.hwnd, m.message, m.wParam, m.lParam);
}

bool nextMessage(State &s, MSG &out, HWND filter, UINT lo, UINT hi, bool wait, bool remove) {
  for (;;) {
    freeGraveyard(s);
    for (auto it = s.queue.begin(); it != s.queue.end();) {
      if (it->hwnd && !s.get(it->hwnd)) {
        it = s.queue.erase(it);  // its window is gone
        continue;
      }
      if (matches(s, *it, filter, lo, hi)) {
        out = *it;
        if (remove) s.queue.erase(it);
        return true;
      }
      ++it;
    }
    if (s.quitPending) {
      out = MSG{};
      out.message = WM_QUIT;
      out.wParam = static_cast<WPARAM>(s.quitCode);
      out.time = static_cast<DWORD>(s.loop.now() / 1000);
      if (remove) s.quitPending = false;
      return true;
    }
    for (auto it = s.dueTimers.begin(); it != s.dueTimers.end(); ++it) {
      auto t = s.timers.find(*it);
      if (t == s.timers.end()) continue;
      MSG m{};
      m.hwnd = t->second.window;
      m.message = WM_TIMER;
      m.wParam = t->second.id;
      m.lParam = reinterpret_cast<LPARAM>(t->second.proc);
      m.time = static_cast<DWORD>(s.loop.now() / 1000);
      if (!matches(s, m, filter, lo, hi)) continue;
      out = m;
      if (remove) s.dueTimers.erase(it);
      return true;
    }
    std::erase_if(s.dueTimers, [&](const auto &k) { return !s.timers.count(k); });

    std::optional<Micros> next = s.loop.nextDue();
    Micros now = s.loop.now();
    if (next && *next <= now) {
      // Whatever is due now runs first (timers among it), in either clock mode.
      if (s.loop.mode() == EventLoop::Mode::Virtual)
        s.loop.runOne();
      else
        s.loop.runUntil(now);
      continue;
    }
    if (!wait) return false;
    if (s.loop.mode() == EventLoop::Mode::Virtual && s.advanceTo > now) {
      // An advance in progress: up to the next task or to its end, then the queue is looked at.
      if (next && *next <= s.advanceTo)
        s.loop.runOne();
      else
        s.loop.runUntil(s.advanceTo);
      continue;
    }

    // Nothing to do: the user's turn.
    if (!s.boxes.empty() && (s.inputEnded || !s.renderer)) {
      MessageBoxState *box = s.boxes.back();
      const auto &b = box->view.buttons;
      box->result = std::find(b.begin(), b.end(), IDCANCEL) != b.end() ? IDCANCEL
                                                                        : b[static_cast<std::size_t>(box->view.focus)];
      box->done = true;
      // The caller's modal loop checks `done` after each message; give it one to look at.
      out = MSG{};
      out.message = WM_NULL;
      return true;
    }
    if (s.quitRequested) {
      s.quitRequested = false;
      s.quitPending = true;
      s.quitCode = 0;
      continue;
    }
    if (s.inputEnded || !s.renderer) {
      s.session.userQuit();
      continue;
    }
    std::optional<Micros> timeout;
    if (s.loop.mode() == EventLoop::Mode::Wall && next) timeout = *next > now ? *next - now : 0;
    if (!s.renderer->waitInput(timeout)) s.inputEnded = true;
    if (!s.boxes.empty() && s.boxes.back()->done) {
      // The user answered the box: its modal loop must get control back to see that.
      out = MSG{};
      out.message = WM_NULL;
      return true;
    }
  }
}

bool showWindow(State &s, HWND h, int cmd) {
  Window *w = s.get(h);
  if (!w) return false;
  bool was = w->visibleSelf();
  bool show = cmd != SW_HIDE;
  if (show != was) {
    if (show)
      w->style |= WS_VISIBLE;
    else
      w->style &= ~WS_VISIBLE;
    send(s, h, WM_SHOWWINDOW, show, 0);
    w = s.get(h);
    if (!w) return was;
  }
  if (!w->isChild()) {
    if (show && cmd != SW_SHOWNA && cmd != SW_SHOWNOACTIVATE && cmd != SW_SHOWMINNOACTIVE) {
      setForeground(s, h);
    } else if (!show) {
      if (s.focus && topLevelOf(s, s.focus) == h) {
        w->lastFocus = s.focus;
        HWND old = s.focus;
        s.focus = nullptr;
        send(s, old, WM_KILLFOCUS, 0, 0);
      }
      pickForeground(s);
    }
  } else if (!show && s.focus && (s.focus == h)) {
    HWND old = s.focus;
    s.focus = nullptr;
    send(s, old, WM_KILLFOCUS, 0, 0);
  }
  return was;
}

bool setForeground(State &s, HWND h) {
  HWND top = topLevelOf(s, h);
  Window *w = s.get(top);
  if (!w) return false;
  std::erase(s.topOrder, top);
  s.topOrder.insert(s.topOrder.begin(), top);
  if (!w->visibleSelf()) return true;  // raised, but a hidden window doesn't take the input
  if (s.foreground == top && s.focus && topLevelOf(s, s.focus) == top) return true;
  s.foreground = top;
  HWND want = w->lastFocus;
  if (!want || !isVisible(s, want) || !isEnabled(s, want)) {
    std::vector<HWND> stops = tabStops(s, top);
    want = stops.empty() ? nullptr : stops.front();
  }
  if (want) setFocus(s, want);
  return true;
}

HWND setFocus(State &s, HWND h) {
  HWND old = s.focus;
  if (h == old) return old;
  if (h && (!s.get(h) || !isEnabled(s, h))) return nullptr;
  s.focus = h;
  if (old && s.get(old)) send(s, old, WM_KILLFOCUS, reinterpret_cast<WPARAM>(h), 0);
  if (h && s.get(h) && s.focus == h) {
    HWND top = topLevelOf(s, h);
    if (Window *t = s.get(top)) t->lastFocus = h;
    if (s.foreground != top && isVisible(s, top)) {
      std::erase(s.topOrder, top);
      s.topOrder.insert(s.topOrder.begin(), top);
      s.foreground = top;
    }
    send(s, h, WM_SETFOCUS, reinterpret_cast<WPARAM>(old), 0);
  }
  return old;
}

bool enableWindow(State &s, HWND h, bool enable) {
  Window *w = s.get(h);
  if (!w) return false;
  bool wasDisabled = !w->enabledSelf();
  if (enable == wasDisabled) {
    if (enable)
      w->style &= ~WS_DISABLED;
    else
      w->style |= WS_DISABLED;
    if (!enable && s.focus && !isEnabled(s, s.focus)) {
      // The focus moves on to the next control, as the dialog manager's Tab would take it.
      HWND old = s.focus;
      HWND top = topLevelOf(s, old);
      std::vector<HWND> order = tabStops(s, top, true);
      auto at = std::find(order.begin(), order.end(), old);
      HWND next = nullptr;
      for (std::size_t k = 1; k <= order.size() && at != order.end(); ++k) {
        HWND c = order[(static_cast<std::size_t>(at - order.begin()) + k) % order.size()];
        if (c != old && isEnabled(s, c) && isVisible(s, c)) {
          next = c;
          break;
        }
      }
      if (next) send(s, next, UIM_TABFOCUS, 0, 0);
      if (s.focus == old) {
        s.focus = nullptr;
        send(s, old, WM_KILLFOCUS, 0, 0);
      }
    }
    send(s, h, WM_ENABLE, enable, 0);
  }
  return wasDisabled;
}

void setText(State &s, HWND h, const std::u16string &text) {
  Window *w = s.get(h);
  if (!w) return;
  w->text = text;
  if (w->published) publishWindow(s, *w);
}

namespace {

// Cell where a window's children are placed: inside the frame of a top-level window.
std::pair<int, int> clientCell(const State &s, HWND h) {
  const Window *w = s.get(h);
  if (!w) return {0, 0};
  CellRect r = cellRect(s, h);
  if (w->isChild()) return {r.left, r.top};
  return {r.left + 1, r.top + 1};
}

}  // namespace

CellRect cellRect(const State &s, HWND h) {
  const Window *w = s.get(h);
  if (!w) return {};
  CellRect r;
  if (w->isChild()) {
    // Relative to the parent, so that every control of a dialog rounds alike whatever its depth.
    auto [px, py] = clientCell(s, w->parent);
    r = {px + unitsToCols(w->x), py + unitsToRows(w->y), px + unitsToCols(w->x + w->cx),
         py + unitsToRows(w->y + w->cy)};
  } else {
    r.left = unitsToCols(w->x);
    r.top = unitsToRows(w->y);
    r.right = r.left + unitsToCols(std::max(w->cx - kFrameUnitsX, 0)) + 2;
    r.bottom = r.top + unitsToRows(std::max(w->cy - kFrameUnitsY, 0)) + 2;
  }
  if (r.right <= r.left) r.right = r.left + 1;
  if (r.bottom <= r.top) r.bottom = r.top + 1;
  return r;
}

LRESULT defWindowProc(State &s, HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  Window *w = s.get(h);
  if (!w) return 0;
  switch (msg) {
    case WM_NCCREATE: {
      auto *cs = reinterpret_cast<const CREATESTRUCTW *>(lp);
      if (cs && cs->lpszName && !IS_INTRESOURCE(cs->lpszName) && cs->lpszName[0] != 0xFFFF)
        setText(s, h, cs->lpszName);
      return TRUE;
    }
    case WM_SETTEXT:
      setText(s, h, lp ? std::u16string(reinterpret_cast<LPCWSTR>(lp)) : std::u16string());
      return TRUE;
    case WM_GETTEXT: {
      if (!lp || wp == 0) return 0;
      auto *out = reinterpret_cast<LPWSTR>(lp);
      std::size_t n = std::min<std::size_t>(w->text.size(), wp - 1);
      std::copy_n(w->text.data(), n, out);
      out[n] = 0;
      return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(w->text.size());
    case WM_CLOSE:
      destroyWindow(s, h);
      return 0;
    case UIM_TABFOCUS:
      if (isEnabled(s, h) && isVisible(s, h)) setFocus(s, h);
      return 0;
    default:
      return 0;
  }
}

}  // namespace teskel::ui
