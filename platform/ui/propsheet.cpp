// The property sheet: tabs over pages made from dialog templates on first show, OK and Cancel
// reported to every page that exists, modal and modeless use.
#include <algorithm>
#include <cstring>

#include "state.h"

namespace teskel::ui {

namespace {

constexpr int kButtonWidth = 28;  // dialog units: ten cells

std::size_t hostPageSize(DWORD dwSize) {
  // The device's 40-byte record is this host's PROPSHEETPAGEW; larger records carry program data.
  if (dwSize == kDevicePropSheetPageSize) return sizeof(PROPSHEETPAGEW);
  return dwSize >= sizeof(PROPSHEETPAGEW) ? dwSize : 0;
}

std::u16string resourceString(State &s, HINSTANCE inst, LPCWSTR p) {
  if (!p) return {};
  if (!IS_INTRESOURCE(p)) return p;
  const Module *m = s.moduleOf(inst);
  auto str = m ? m->string(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p))) : std::nullopt;
  return str ? *str : std::u16string();
}

SheetData *sheetOf(State &s, HWND h) {
  Window *w = s.get(h);
  return w ? w->sheet.get() : nullptr;
}

LRESULT notifyPage(State &s, HWND sheet, HWND page, UINT code, LPARAM lParam) {
  PSHNOTIFY n{};
  n.hdr.hwndFrom = sheet;
  n.hdr.idFrom = 0;
  n.hdr.code = code;
  n.lParam = lParam;
  return send(s, page, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&n));
}

void createPage(State &s, HWND sheet, int index) {
  SheetData *sd = sheetOf(s, sheet);
  SheetPage &page = sd->pages[static_cast<std::size_t>(index)];
  PROPSHEETPAGEW *psp = page.psp();
  if ((psp->dwFlags & PSP_USECALLBACK) && psp->pfnCallback) {
    ++s.depth;
    UINT ok = psp->pfnCallback(nullptr, PSPCB_CREATE, psp);
    --s.depth;
    if (!ok) return;
    if (!(sd = sheetOf(s, sheet))) return;
  }
  DialogTemplate tmpl = sd->pages[static_cast<std::size_t>(index)].tmpl;
  HWND h = createDialog(s, tmpl, psp->hInstance, sheet, psp->pfnDlgProc, reinterpret_cast<LPARAM>(psp), true, 0, 8);
  if (!(sd = sheetOf(s, sheet))) return;
  sd->pages[static_cast<std::size_t>(index)].hwnd = h;
  // Every page fills the sheet's page area, which is as large as the largest page.
  if (Window *pw = s.get(h)) {
    pw->cx = sd->pageCx;
    pw->cy = sd->pageCy;
  }
}

bool selectPage(State &s, HWND sheet, int index) {
  SheetData *sd = sheetOf(s, sheet);
  if (!sd || index < 0 || index >= static_cast<int>(sd->pages.size())) return false;
  if (index == sd->current && sd->pages[static_cast<std::size_t>(index)].hwnd) return true;
  if (sd->current >= 0) {
    if (HWND old = sd->pages[static_cast<std::size_t>(sd->current)].hwnd) {
      // A page may refuse to be left (invalid input).
      if (notifyPage(s, sheet, old, PSN_KILLACTIVE, 0)) return false;
      showWindow(s, old, SW_HIDE);
      if (!(sd = sheetOf(s, sheet))) return false;
    }
  }
  sd->current = index;
  if (!sd->pages[static_cast<std::size_t>(index)].hwnd) createPage(s, sheet, index);
  if (!(sd = sheetOf(s, sheet))) return false;
  HWND page = sd->pages[static_cast<std::size_t>(index)].hwnd;
  if (!page) return true;  // the page callback refused: the tab stays, its area is empty
  notifyPage(s, sheet, page, PSN_SETACTIVE, 0);
  if (!s.get(page)) return true;
  showWindow(s, page, SW_SHOW);
  std::vector<HWND> stops = tabStops(s, page);
  Window *sw = s.get(sheet);
  if (!sw) return true;
  HWND first = stops.empty() ? (sw->sheet->ok) : stops.front();
  if (s.foreground == sheet)
    send(s, first, UIM_TABFOCUS, 0, 0);
  else
    sw->lastFocus = first;
  return true;
}

void pressOk(State &s, HWND sheet, bool end) {
  SheetData *sd = sheetOf(s, sheet);
  if (!sd) return;
  if (sd->current >= 0) {
    HWND cur = sd->pages[static_cast<std::size_t>(sd->current)].hwnd;
    if (cur && notifyPage(s, sheet, cur, PSN_KILLACTIVE, 0)) return;
  }
  if (!(sd = sheetOf(s, sheet))) return;
  std::vector<std::pair<int, HWND>> created;
  for (std::size_t i = 0; i < sd->pages.size(); ++i)
    if (sd->pages[i].hwnd) created.emplace_back(static_cast<int>(i), sd->pages[i].hwnd);
  for (auto [index, page] : created) {
    if (!sheetOf(s, sheet)) return;
    if (!s.get(page)) continue;
    LRESULT r = notifyPage(s, sheet, page, PSN_APPLY, end ? 1 : 0);
    if (r == PSNRET_INVALID || r == PSNRET_INVALID_NOCHANGEPAGE) {
      if (r == PSNRET_INVALID) selectPage(s, sheet, index);
      return;
    }
  }
  if (!end || !(sd = sheetOf(s, sheet))) return;
  sd->ended = true;
  sd->result = 1;
}

void pressCancel(State &s, HWND sheet) {
  SheetData *sd = sheetOf(s, sheet);
  if (!sd) return;
  if (sd->current >= 0) {
    HWND cur = sd->pages[static_cast<std::size_t>(sd->current)].hwnd;
    if (cur && notifyPage(s, sheet, cur, PSN_QUERYCANCEL, 0)) return;
  }
  if (!(sd = sheetOf(s, sheet))) return;
  std::vector<HWND> created;
  for (const SheetPage &p : sd->pages)
    if (p.hwnd) created.push_back(p.hwnd);
  for (HWND page : created) {
    if (!sheetOf(s, sheet)) return;
    if (s.get(page)) notifyPage(s, sheet, page, PSN_RESET, 0);
  }
  if (!(sd = sheetOf(s, sheet))) return;
  sd->ended = true;
  sd->result = 0;
}

}  // namespace

void releaseSheetPages(State &s, Window &w) {
  for (SheetPage &p : w.sheet->pages) {
    PROPSHEETPAGEW *psp = p.psp();
    if ((psp->dwFlags & PSP_USEREFPARENT) && psp->pcRefParent) --*psp->pcRefParent;
    if ((psp->dwFlags & PSP_USECALLBACK) && psp->pfnCallback) {
      ++s.depth;
      psp->pfnCallback(nullptr, PSPCB_RELEASE, psp);
      --s.depth;
    }
  }
  w.sheet->pages.clear();
}

LRESULT CALLBACK SheetProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  State *s = currentState();
  Window *w = s ? s->get(h) : nullptr;
  if (!w || !w->sheet) return s ? defWindowProc(*s, h, msg, wp, lp) : 0;
  SheetData *sd = w->sheet.get();
  switch (msg) {
    case WM_COMMAND:
      if (HIWORD(wp) == BN_CLICKED && LOWORD(wp) == IDOK) pressOk(*s, h, true);
      if (HIWORD(wp) == BN_CLICKED && LOWORD(wp) == IDCANCEL) pressCancel(*s, h);
      return 0;
    case WM_CLOSE:
      pressCancel(*s, h);
      return 0;
    case WM_SHOWWINDOW:
      if (wp) sd->ended = false;
      return 0;
    case PSM_SETCURSEL: {
      int index = static_cast<int>(static_cast<INT_PTR>(wp));
      if (lp) {
        index = -1;
        for (std::size_t i = 0; i < sd->pages.size(); ++i)
          if (reinterpret_cast<LPARAM>(sd->pages[i].hwnd) == lp) index = static_cast<int>(i);
      }
      return selectPage(*s, h, index);
    }
    case UIM_PAGE:
      if (isEnabled(*s, h)) selectPage(*s, h, static_cast<int>(wp));
      return 0;
    case PSM_GETCURRENTPAGEHWND:
      if (sd->ended || sd->current < 0) return 0;
      return reinterpret_cast<LRESULT>(sd->pages[static_cast<std::size_t>(sd->current)].hwnd);
    case PSM_PRESSBUTTON:
      if (wp == PSBTN_OK) pressOk(*s, h, true);
      if (wp == PSBTN_CANCEL) pressCancel(*s, h);
      if (wp == PSBTN_APPLYNOW) pressOk(*s, h, false);
      return 0;
    case PSM_CHANGED:
    case PSM_UNCHANGED:
    case PSM_CANCELTOCLOSE:
      return 0;
    case PSM_SETTITLEW: {
      std::u16string title = resourceString(*s, w->instance, reinterpret_cast<LPCWSTR>(lp));
      if (wp & PSH_PROPTITLE) title = u"Properties for " + title;
      setText(*s, h, title);
      return 0;
    }
    case PSM_ISDIALOGMESSAGE:
      // Keyboard navigation comes from the shell here, not from the program's loop.
      return FALSE;
    case PSM_GETTABCONTROL:
    case PSM_ADDPAGE:
    case PSM_REMOVEPAGE:
      return 0;
    case UIM_KEYNAV:
      if (wp == VK_TAB) {
        navigate(*s, h, tabStops(*s, h), lp != 0);
      } else if (wp == VK_RETURN) {
        Window *f = s->get(s->focus);
        if (f && isPushButton(*f) && topLevelOf(*s, s->focus) == h)
          send(*s, s->focus, BM_CLICK, 0, 0);
        else
          send(*s, sd->ok, BM_CLICK, 0, 0);
      } else if (wp == VK_ESCAPE) {
        send(*s, sd->cancel, BM_CLICK, 0, 0);
      }
      return 0;
    default:
      return defWindowProc(*s, h, msg, wp, lp);
  }
}

INT_PTR propertySheet(State &s, const PROPSHEETHEADERW *hdr) {
  if (!hdr || (hdr->dwSize != kDevicePropSheetHeaderSize && hdr->dwSize < sizeof(PROPSHEETHEADERW))) return -1;
  if (hdr->nPages == 0) return -1;
  if (!(hdr->dwFlags & PSH_PROPSHEETPAGE)) {
    if (!hdr->phpage) return -1;
  } else if (!hdr->ppsp) {
    return -1;
  }

  std::vector<SheetPage> pages;
  int start = 0;
  auto at = reinterpret_cast<std::uintptr_t>(hdr->ppsp);
  for (UINT i = 0; i < hdr->nPages; ++i) {
    const PROPSHEETPAGEW *psp;
    std::size_t size;
    if (hdr->dwFlags & PSH_PROPSHEETPAGE) {
      // Records follow each other by their own sizes; one that leaves the next misaligned is bad.
      if (at % alignof(PROPSHEETPAGEW)) return -1;
      psp = reinterpret_cast<const PROPSHEETPAGEW *>(at);
      size = hostPageSize(psp->dwSize);
      if (!size) return -1;
      at += size;
    } else {
      auto it = s.pageHandles.find(reinterpret_cast<std::uintptr_t>(hdr->phpage[i]));
      if (it == s.pageHandles.end()) return -1;
      psp = reinterpret_cast<const PROPSHEETPAGEW *>(it->second.data());
      size = it->second.size() * sizeof(std::max_align_t);
    }
    SheetPage page;
    page.storage.resize((size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    std::memcpy(page.storage.data(), psp, size);
    const Module *m = s.moduleOf(psp->hInstance);
    auto name = resIdFromPointer(psp->pszTemplate);
    bool usable = !(psp->dwFlags & PSP_DLGINDIRECT) && m && name && m->hasDialog(*name);
    if (static_cast<int>(i) == static_cast<int>(hdr->nStartPage) && !(hdr->dwFlags & PSH_USEPSTARTPAGE))
      start = static_cast<int>(pages.size());
    if (!usable) continue;  // no template: no page and no tab
    page.tmpl = m->dialog(*name);
    page.title = (psp->dwFlags & PSP_USETITLE) ? resourceString(s, psp->hInstance, psp->pszTitle) : page.tmpl.title;
    if ((hdr->dwFlags & PSH_USEPSTARTPAGE) && hdr->pStartPage &&
        page.title == resourceString(s, hdr->hInstance, hdr->pStartPage))
      start = static_cast<int>(pages.size());
    if ((psp->dwFlags & PSP_USEREFPARENT) && psp->pcRefParent) ++*psp->pcRefParent;
    pages.push_back(std::move(page));
  }
  if (!(hdr->dwFlags & PSH_PROPSHEETPAGE))
    for (UINT i = 0; i < hdr->nPages; ++i) s.pageHandles.erase(reinterpret_cast<std::uintptr_t>(hdr->phpage[i]));
  if (pages.empty()) return -1;
  if (start < 0 || start >= static_cast<int>(pages.size())) start = 0;

  int pageCx = 0, pageCy = 0;
  for (const SheetPage &p : pages) pageCx = std::max<int>(pageCx, p.tmpl.cx), pageCy = std::max<int>(pageCy, p.tmpl.cy);
  pageCx = std::max(pageCx, 2 * kButtonWidth + 8);
  int pageRows = (pageCy + 7) / 8;
  int clientCy = (1 + pageRows + 2) * 8;  // tabs, page, a blank row, the buttons

  if ((hdr->dwFlags & PSH_USECALLBACK) && hdr->pfnCallback) {
    DLGTEMPLATE t{};
    t.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    t.cx = static_cast<short>(pageCx);
    t.cy = static_cast<short>(clientCy);
    ++s.depth;
    hdr->pfnCallback(nullptr, PSCB_PRECREATE, reinterpret_cast<LPARAM>(&t));
    --s.depth;
  }
  std::u16string caption = resourceString(s, hdr->hInstance, hdr->pszCaption);
  if (hdr->dwFlags & PSH_PROPTITLE) caption = u"Properties for " + caption;
  HWND sheet = createWindow(s, 0, u"TeskelPropertySheet", caption.c_str(), WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 0,
                            pageCx + 8, clientCy + 16, hdr->hwndParent, nullptr, hdr->hInstance, nullptr);
  if (!sheet) return -1;
  SheetData *sd = sheetOf(s, sheet);
  sd->pages = std::move(pages);
  sd->modeless = (hdr->dwFlags & PSH_MODELESS) != 0;
  sd->flags = hdr->dwFlags;
  sd->callback = hdr->pfnCallback;
  sd->pageCx = pageCx;
  sd->pageCy = pageCy;
  int buttonY = (1 + pageRows + 1) * 8;
  sd->ok = createWindow(s, 0, u"BUTTON", u"OK", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                        pageCx - 2 * kButtonWidth - 4, buttonY, kButtonWidth, 8, sheet,
                        reinterpret_cast<HMENU>(static_cast<UINT_PTR>(IDOK)), nullptr, nullptr);
  if ((sd = sheetOf(s, sheet)))
    sd->cancel = createWindow(s, 0, u"BUTTON", u"Cancel", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                              pageCx - kButtonWidth, buttonY, kButtonWidth, 8, sheet,
                              reinterpret_cast<HMENU>(static_cast<UINT_PTR>(IDCANCEL)), nullptr, nullptr);
  if ((sd = sheetOf(s, sheet)) && (sd->flags & PSH_USECALLBACK) && sd->callback) {
    ++s.depth;
    sd->callback(sheet, PSCB_INITIALIZED, 0);
    --s.depth;
  }
  if (!sheetOf(s, sheet)) return -1;
  selectPage(s, sheet, start);
  if (!sheetOf(s, sheet)) return -1;
  HWND owner = s.get(sheet)->owner;
  showWindow(s, sheet, SW_SHOW);
  if (sheetOf(s, sheet) && sheetOf(s, sheet)->modeless) return reinterpret_cast<INT_PTR>(sheet);

  // Modal: the owner is disabled while the sheet runs its own loop.
  bool disabledOwner = owner && s.get(owner) && s.get(owner)->enabledSelf();
  if (disabledOwner) enableWindow(s, owner, false);
  int result = 0;
  for (;;) {
    SheetData *cur = sheetOf(s, sheet);
    if (!cur) break;
    if (cur->ended) {
      result = cur->result;
      break;
    }
    MSG m;
    nextMessage(s, m, nullptr, 0, 0, true, true);
    if (m.message == WM_QUIT) {
      s.quitPending = true;
      s.quitCode = static_cast<int>(m.wParam);
      break;
    }
    dispatch(s, m);
  }
  if (disabledOwner && s.get(owner)) enableWindow(s, owner, true);
  destroyWindow(s, sheet);
  return result;
}

}  // namespace teskel::ui
