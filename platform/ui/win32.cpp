// The Win32 user-interface calls of the handheld, acting on the process's current UI session.
// Without a session every call fails the way the platform's calls fail (0, FALSE or NULL).
#include <algorithm>
#include <cstring>

#include "state.h"

using namespace teskel::ui;

namespace {

State *S() { return currentState(); }

Window *win(HWND h) {
  State *s = S();
  return s ? s->get(h) : nullptr;
}

// Dialog slots: the 32-bit calls use the device's numbering (DWL_MSGRESULT 0, DWL_DLGPROC 4,
// DWL_USER 8), the pointer-sized calls the DWLP_ offsets (0, one pointer, two pointers).
enum class Slot { None, Result, Proc, User };
Slot dialogSlot(int index, bool pointerCall) {
  if (!pointerCall) return index == 0 ? Slot::Result : index == 4 ? Slot::Proc : index == 8 ? Slot::User : Slot::None;
  if (index == DWLP_MSGRESULT) return Slot::Result;
  if (index == static_cast<int>(DWLP_DLGPROC)) return Slot::Proc;
  if (index == static_cast<int>(DWLP_USER)) return Slot::User;
  return Slot::None;
}

LONG_PTR getLong(HWND h, int index, bool pointerCall) {
  Window *w = win(h);
  if (!w) return 0;
  switch (index) {
    case GWL_STYLE: return static_cast<LONG>(w->style);
    case GWL_EXSTYLE: return static_cast<LONG>(w->exStyle);
    case GWL_ID: return static_cast<LONG_PTR>(w->id);
    case GWL_USERDATA: return w->userData;
    case GWL_WNDPROC: return reinterpret_cast<LONG_PTR>(w->proc);
    default: break;
  }
  if (w->dialog) {
    switch (dialogSlot(index, pointerCall)) {
      case Slot::Result: return w->dialog->msgResult;
      case Slot::Proc: return reinterpret_cast<LONG_PTR>(w->dialog->proc);
      case Slot::User: return w->dialog->user;
      case Slot::None: break;
    }
  }
  std::size_t size = pointerCall ? sizeof(LONG_PTR) : sizeof(LONG);
  if (index < 0 || static_cast<std::size_t>(index) + size > w->extra.size()) return 0;
  if (pointerCall) {
    LONG_PTR v;
    std::memcpy(&v, w->extra.data() + index, size);
    return v;
  }
  LONG v;
  std::memcpy(&v, w->extra.data() + index, size);
  return v;
}

LONG_PTR setLong(HWND h, int index, LONG_PTR value, bool pointerCall) {
  Window *w = win(h);
  if (!w) return 0;
  LONG_PTR old = getLong(h, index, pointerCall);
  switch (index) {
    case GWL_STYLE: w->style = static_cast<DWORD>(value); return old;
    case GWL_EXSTYLE: w->exStyle = static_cast<DWORD>(value); return old;
    case GWL_ID: w->id = static_cast<UINT_PTR>(value); return old;
    case GWL_USERDATA: w->userData = value; return old;
    case GWL_WNDPROC:
      if (!pointerCall && sizeof(LONG) < sizeof(void *)) return 0;  // a procedure doesn't fit in 32 bits here
      w->proc = reinterpret_cast<WNDPROC>(value);
      return old;
    default: break;
  }
  if (w->dialog) {
    switch (dialogSlot(index, pointerCall)) {
      case Slot::Result: w->dialog->msgResult = value; return old;
      case Slot::Proc:
        if (!pointerCall && sizeof(LONG) < sizeof(void *)) return 0;
        w->dialog->proc = reinterpret_cast<DLGPROC>(value);
        return old;
      case Slot::User: w->dialog->user = value; return old;
      case Slot::None: break;
    }
  }
  std::size_t size = pointerCall ? sizeof(LONG_PTR) : sizeof(LONG);
  if (index < 0 || static_cast<std::size_t>(index) + size > w->extra.size()) return 0;
  if (pointerCall) {
    std::memcpy(w->extra.data() + index, &value, size);
  } else {
    LONG v = static_cast<LONG>(value);
    std::memcpy(w->extra.data() + index, &v, size);
  }
  return old;
}

}  // namespace

extern "C" {

ATOM RegisterClassW(const WNDCLASSW *wc) {
  State *s = S();
  if (!s || !wc || !wc->lpszClassName || IS_INTRESOURCE(wc->lpszClassName) || !wc->lpfnWndProc) return 0;
  if (wc->cbClsExtra < 0 || wc->cbWndExtra < 0) return 0;
  std::u16string name = wc->lpszClassName;
  if (name.empty()) return 0;
  auto existing = findClass(*s, wc->lpszClassName, wc->hInstance);
  if (existing && !existing->system && existing->wc.hInstance == wc->hInstance) return 0;
  auto c = std::make_shared<WindowClass>();
  c->name = name;
  c->wc = *wc;
  c->wc.lpszClassName = nullptr;  // the program's buffer may go away; the name is kept above
  c->wc.lpszMenuName = nullptr;
  c->atom = s->nextAtom++;
  s->classes.push_back(c);
  return c->atom;
}

BOOL UnregisterClassW(LPCWSTR name, HINSTANCE inst) {
  State *s = S();
  if (!s || !name) return FALSE;
  auto c = findClass(*s, name, inst);
  if (!c || c->system || c->wc.hInstance != inst) return FALSE;
  for (auto &[k, w] : s->windows)
    if (w->cls == c) return FALSE;  // still in use
  std::erase(s->classes, c);
  return TRUE;
}

HWND CreateWindowExW(DWORD exStyle, LPCWSTR cls, LPCWSTR name, DWORD style, int x, int y, int w, int h, HWND parent,
                     HMENU menu, HINSTANCE inst, LPVOID param) {
  State *s = S();
  return s ? createWindow(*s, exStyle, cls, name, style, x, y, w, h, parent, menu, inst, param) : nullptr;
}

BOOL DestroyWindow(HWND h) {
  State *s = S();
  return s && destroyWindow(*s, h);
}

BOOL IsWindow(HWND h) {
  State *s = S();
  if (!s) return FALSE;
  if (s->get(h)) return TRUE;
  auto it = s->foreign.find(reinterpret_cast<std::uintptr_t>(h));
  return it != s->foreign.end() && std::filesystem::exists(s->windowsDir / it->second.second);
}

LRESULT DefWindowProcW(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  State *s = S();
  return s ? defWindowProc(*s, h, msg, wp, lp) : 0;
}

BOOL ShowWindow(HWND h, int cmd) {
  State *s = S();
  return s && showWindow(*s, h, cmd);
}

BOOL UpdateWindow(HWND h) { return win(h) != nullptr; }

BOOL IsWindowVisible(HWND h) {
  State *s = S();
  return s && isVisible(*s, h);
}

BOOL SetForegroundWindow(HWND h) {
  State *s = S();
  return s && setForeground(*s, h);
}

HWND GetForegroundWindow(void) {
  State *s = S();
  return s ? s->foreground : nullptr;
}

HWND FindWindowW(LPCWSTR cls, LPCWSTR title) {
  State *s = S();
  return s ? findWindow(*s, cls, title) : nullptr;
}

HWND GetParent(HWND h) {
  Window *w = win(h);
  if (!w) return nullptr;
  return w->isChild() ? w->parent : w->owner;
}

HWND SetFocus(HWND h) {
  State *s = S();
  if (!s) return nullptr;
  if (h && !s->get(h)) return nullptr;
  return setFocus(*s, h);
}

HWND GetFocus(void) {
  State *s = S();
  return s ? s->focus : nullptr;
}

BOOL EnableWindow(HWND h, BOOL enable) {
  State *s = S();
  return s && enableWindow(*s, h, enable != FALSE);
}

BOOL IsWindowEnabled(HWND h) {
  Window *w = win(h);
  return w && w->enabledSelf();
}

BOOL SetWindowTextW(HWND h, LPCWSTR text) {
  State *s = S();
  if (!s || !s->get(h)) return FALSE;
  return send(*s, h, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) ? TRUE : FALSE;
}

int GetWindowTextW(HWND h, LPWSTR buffer, int max) {
  State *s = S();
  if (!s || !s->get(h) || !buffer || max <= 0) return 0;
  buffer[0] = 0;
  return static_cast<int>(send(*s, h, WM_GETTEXT, static_cast<WPARAM>(max), reinterpret_cast<LPARAM>(buffer)));
}

int GetWindowTextLengthW(HWND h) {
  State *s = S();
  return s && s->get(h) ? static_cast<int>(send(*s, h, WM_GETTEXTLENGTH, 0, 0)) : 0;
}

LONG GetWindowLongW(HWND h, int index) { return static_cast<LONG>(getLong(h, index, false)); }
LONG SetWindowLongW(HWND h, int index, LONG value) { return static_cast<LONG>(setLong(h, index, value, false)); }
LONG_PTR GetWindowLongPtrW(HWND h, int index) { return getLong(h, index, true); }
LONG_PTR SetWindowLongPtrW(HWND h, int index, LONG_PTR value) { return setLong(h, index, value, true); }

BOOL GetMessageW(LPMSG msg, HWND h, UINT lo, UINT hi) {
  State *s = S();
  if (!s || !msg) return -1;
  if (h && h != reinterpret_cast<HWND>(-1) && !s->get(h)) return -1;
  nextMessage(*s, *msg, h, lo, hi, true, true);
  return msg->message != WM_QUIT;
}

BOOL PeekMessageW(LPMSG msg, HWND h, UINT lo, UINT hi, UINT remove) {
  State *s = S();
  if (!s || !msg) return FALSE;
  return nextMessage(*s, *msg, h, lo, hi, false, (remove & PM_REMOVE) != 0);
}

// The shell already delivers typed characters as WM_CHAR next to the key messages, so there is
// nothing left to translate.
BOOL TranslateMessage(const MSG *) { return FALSE; }

LRESULT DispatchMessageW(const MSG *msg) {
  State *s = S();
  return s && msg ? dispatch(*s, *msg) : 0;
}

BOOL PostMessageW(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  State *s = S();
  return s && post(*s, h, msg, wp, lp);
}

LRESULT SendMessageW(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  State *s = S();
  return s ? send(*s, h, msg, wp, lp) : 0;
}

VOID PostQuitMessage(int code) {
  State *s = S();
  if (!s) return;
  s->quitPending = true;
  s->quitCode = code;
}

UINT_PTR SetTimer(HWND h, UINT_PTR id, UINT ms, TIMERPROC proc) {
  State *s = S();
  return s ? setTimer(*s, h, id, ms, proc) : 0;
}

BOOL KillTimer(HWND h, UINT_PTR id) {
  State *s = S();
  return s && killTimer(*s, h, id);
}

int LoadStringW(HINSTANCE inst, UINT id, LPWSTR buffer, int max) {
  State *s = S();
  const Module *m = s ? s->moduleOf(inst) : nullptr;
  if (!buffer) return 0;
  auto str = m ? m->string(id) : std::nullopt;
  if (max == 0) {
    // A zero-sized buffer asks for a pointer to the resource text itself.
    const std::u16string *kept = m ? m->stringRef(id) : nullptr;
    if (!kept) return 0;
    LPCWSTR text = kept->c_str();
    std::memcpy(buffer, &text, sizeof text);  // the buffer argument is really an LPCWSTR variable
    return static_cast<int>(kept->size());
  }
  if (max < 0) return 0;
  if (!str) {
    buffer[0] = 0;
    return 0;
  }
  std::size_t n = std::min<std::size_t>(str->size(), static_cast<std::size_t>(max) - 1);
  std::copy_n(str->data(), n, buffer);
  buffer[n] = 0;
  return static_cast<int>(n);
}

HICON LoadIconW(HINSTANCE inst, LPCWSTR name) {
  State *s = S();
  return s ? loadIcon(*s, inst, name) : nullptr;
}

HBITMAP LoadBitmapW(HINSTANCE inst, LPCWSTR name) {
  State *s = S();
  return s ? loadBitmap(*s, inst, name) : nullptr;
}

HGDIOBJ GetStockObject(int i) {
  State *s = S();
  if (!s) return nullptr;
  GdiKind kind;
  if (i >= WHITE_BRUSH && i <= NULL_BRUSH)
    kind = GdiKind::StockBrush;
  else if (i >= WHITE_PEN && i <= NULL_PEN)
    kind = GdiKind::StockPen;
  else if (i >= 10 && i <= DEFAULT_GUI_FONT)
    kind = GdiKind::StockFont;
  else
    return nullptr;
  for (auto &[h, obj] : s->gdi)
    if (obj.kind == kind && obj.stock == i) return reinterpret_cast<HGDIOBJ>(h);
  GdiObject obj;
  obj.kind = kind;
  obj.stock = i;
  std::uintptr_t h = s->newHandle();
  s->gdi.emplace(h, obj);
  return reinterpret_cast<HGDIOBJ>(h);
}

HWND CreateDialogParamW(HINSTANCE inst, LPCWSTR name, HWND parent, DLGPROC proc, LPARAM param) {
  State *s = S();
  const Module *m = s ? s->moduleOf(inst) : nullptr;
  auto id = resIdFromPointer(name);
  if (!m || !id || !m->hasDialog(*id)) return nullptr;
  DialogTemplate t = m->dialog(*id);
  return createDialog(*s, t, inst, parent, proc, param, false, 0, 0);
}

HWND GetDlgItem(HWND dlg, int id) {
  State *s = S();
  return s ? findControl(*s, dlg, id) : nullptr;
}

int GetDlgCtrlID(HWND h) {
  Window *w = win(h);
  return w && w->isChild() ? static_cast<int>(w->id) : 0;
}

LRESULT SendDlgItemMessageW(HWND dlg, int id, UINT msg, WPARAM wp, LPARAM lp) {
  State *s = S();
  HWND c = s ? findControl(*s, dlg, id) : nullptr;
  return c ? send(*s, c, msg, wp, lp) : 0;
}

BOOL SetDlgItemTextW(HWND dlg, int id, LPCWSTR text) {
  State *s = S();
  HWND c = s ? findControl(*s, dlg, id) : nullptr;
  return c ? SetWindowTextW(c, text) : FALSE;
}

UINT GetDlgItemTextW(HWND dlg, int id, LPWSTR buffer, int max) {
  State *s = S();
  HWND c = s ? findControl(*s, dlg, id) : nullptr;
  if (!c) {
    if (buffer && max > 0) buffer[0] = 0;
    return 0;
  }
  return static_cast<UINT>(GetWindowTextW(c, buffer, max));
}

BOOL SetDlgItemInt(HWND dlg, int id, UINT value, BOOL isSigned) {
  std::string digits = isSigned ? std::to_string(static_cast<int>(value)) : std::to_string(value);
  std::u16string text(digits.begin(), digits.end());
  return SetDlgItemTextW(dlg, id, text.c_str());
}

UINT GetDlgItemInt(HWND dlg, int id, BOOL *translated, BOOL isSigned) {
  if (translated) *translated = FALSE;
  WCHAR buf[64];
  if (!GetDlgItemTextW(dlg, id, buf, 64) && !win(GetDlgItem(dlg, id))) return 0;
  const WCHAR *p = buf;
  while (*p == u' ') ++p;
  bool negative = false;
  if (isSigned && *p == u'-') negative = true, ++p;
  if (*p < u'0' || *p > u'9') return 0;
  unsigned long long v = 0;
  for (; *p >= u'0' && *p <= u'9'; ++p) {
    v = v * 10 + static_cast<unsigned>(*p - u'0');
    if (v > 0xFFFFFFFFull) return 0;
  }
  while (*p == u' ') ++p;
  if (*p) return 0;
  if (isSigned && v > (negative ? 0x80000000ull : 0x7FFFFFFFull)) return 0;
  if (translated) *translated = TRUE;
  return negative ? static_cast<UINT>(-static_cast<long long>(v)) : static_cast<UINT>(v);
}

BOOL CheckDlgButton(HWND dlg, int id, UINT check) {
  State *s = S();
  HWND c = s ? findControl(*s, dlg, id) : nullptr;
  if (!c) return FALSE;
  send(*s, c, BM_SETCHECK, check, 0);
  return TRUE;
}

UINT IsDlgButtonChecked(HWND dlg, int id) {
  State *s = S();
  HWND c = s ? findControl(*s, dlg, id) : nullptr;
  return c ? static_cast<UINT>(send(*s, c, BM_GETCHECK, 0, 0)) : 0;
}

BOOL CheckRadioButton(HWND dlg, int first, int last, int check) {
  State *s = S();
  if (!s || !s->get(dlg) || first > last) return FALSE;
  for (int id = first; id <= last; ++id)
    if (HWND c = findControl(*s, dlg, id)) send(*s, c, BM_SETCHECK, id == check ? BST_CHECKED : BST_UNCHECKED, 0);
  return TRUE;
}

VOID InitCommonControls(void) {}
BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX *icc) {
  return icc && icc->dwSize == sizeof(INITCOMMONCONTROLSEX);
}

INT_PTR PropertySheetW(LPCPROPSHEETHEADERW header) {
  State *s = S();
  return s ? propertySheet(*s, header) : -1;
}

HPROPSHEETPAGE CreatePropertySheetPageW(LPCPROPSHEETPAGEW psp) {
  State *s = S();
  if (!s || !psp) return nullptr;
  std::size_t size = psp->dwSize == teskel::ui::kDevicePropSheetPageSize ? sizeof(PROPSHEETPAGEW) : psp->dwSize;
  if (size < sizeof(PROPSHEETPAGEW)) return nullptr;
  std::vector<std::max_align_t> copy((size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
  std::memcpy(copy.data(), psp, size);
  std::uintptr_t h = s->newHandle();
  s->pageHandles.emplace(h, std::move(copy));
  return reinterpret_cast<HPROPSHEETPAGE>(h);
}

BOOL DestroyPropertySheetPage(HPROPSHEETPAGE page) {
  State *s = S();
  return s && s->pageHandles.erase(reinterpret_cast<std::uintptr_t>(page)) ? TRUE : FALSE;
}

BOOL Shell_NotifyIcon(DWORD op, PNOTIFYICONDATAW data) {
  State *s = S();
  return s && notifyIcon(*s, op, data);
}

BOOL Shell_NotifyIconW(DWORD op, PNOTIFYICONDATAW data) { return Shell_NotifyIcon(op, data); }

}  // extern "C"
