// The About page, and the procedure of the sheet's third entry, whose layout is not among the
// resources so that the sheet never makes a page for it.
#include "pemblo.h"

INT_PTR CALLBACK AboutDlgProc(HWND page, UINT message, WPARAM, LPARAM lParam) {
  INT_PTR result;
  if (HandleSheetButton(page, message, lParam, &result)) return result;
  if (message == WM_INITDIALOG) {
    SetForegroundWindow(page);
    return TRUE;
  }
  return FALSE;
}

INT_PTR CALLBACK AdvancedDlgProc(HWND page, UINT message, WPARAM, LPARAM lParam) {
  INT_PTR result;
  if (HandleSheetButton(page, message, lParam, &result)) return result;
  return message == WM_INITDIALOG ? TRUE : FALSE;
}
