// Input as the shell delivers it: keys to the focus or to the dialog manager of the window in
// front, the OK and Cancel buttons, and page switches of a property sheet.
#include "state.h"

namespace teskel::ui {

HWND Session::frontDialog() const {
  const State &s = *state_;
  for (HWND t : s.topOrder) {
    const Window *w = s.get(t);
    if (w && isVisible(s, t) && (w->sheet || w->dialog)) return t;
  }
  return nullptr;
}

bool Session::pressKey(UINT vk, char16_t ch, bool shift) {
  State &s = *state_;
  Window *f = s.get(s.focus);
  bool droppedList = f && f->as<ComboData>() && f->as<ComboData>()->dropped;
  bool nav = vk == VK_TAB || ((vk == VK_RETURN || vk == VK_ESCAPE) && !droppedList);
  if (nav) {
    HWND top = s.focus ? topLevelOf(s, s.focus) : s.foreground;
    if (!top) top = frontDialog();
    if (!top) return false;
    return post(s, top, UIM_KEYNAV, vk, shift ? 1 : 0);
  }
  if (!s.focus) return false;
  if (vk) post(s, s.focus, WM_KEYDOWN, vk, 1);
  if (ch) post(s, s.focus, WM_CHAR, ch, 1);
  if (vk) post(s, s.focus, WM_KEYUP, vk, static_cast<LPARAM>(0xC0000001u));
  return true;
}

bool Session::pressDialogButton(int id) {
  State &s = *state_;
  HWND top = frontDialog();
  Window *w = s.get(top);
  if (!w) return false;
  HWND button = w->sheet ? (id == IDOK ? w->sheet->ok : w->sheet->cancel) : findControl(s, top, id);
  setForeground(s, top);
  if (button) {
    if (!isEnabled(s, button)) return false;
    post(s, button, WM_LBUTTONDOWN, 1, 0);
    return post(s, button, WM_LBUTTONUP, 0, 0);
  }
  return post(s, top, WM_COMMAND, MAKELONG(static_cast<WORD>(id), BN_CLICKED), 0);
}

bool Session::switchPage(int index, bool relative) {
  State &s = *state_;
  HWND top = frontDialog();
  Window *w = s.get(top);
  if (!w || !w->sheet || w->sheet->pages.empty()) return false;
  int n = static_cast<int>(w->sheet->pages.size());
  if (relative) index = ((w->sheet->current + index) % n + n) % n;
  if (index < 0 || index >= n) return false;
  setForeground(s, top);
  return post(s, top, UIM_PAGE, static_cast<WPARAM>(index), 0);
}

}  // namespace teskel::ui
