// Common controls of the handheld: the property sheet and the progress bar.
// The record layouts are the platform's first versions (40 bytes each on the 32-bit device).
#pragma once

#include "winui.h"

#ifndef RC_INVOKED
struct _PSP;
typedef struct _PSP *HPROPSHEETPAGE;

struct _PROPSHEETPAGEW;
typedef UINT(CALLBACK *LPFNPSPCALLBACKW)(HWND hwnd, UINT uMsg, struct _PROPSHEETPAGEW *ppsp);
typedef int(CALLBACK *PFNPROPSHEETCALLBACK)(HWND hwnd, UINT uMsg, LPARAM lParam);

typedef struct _PROPSHEETPAGEW {
  DWORD dwSize;
  DWORD dwFlags;
  HINSTANCE hInstance;
  union {
    LPCWSTR pszTemplate;
    LPCDLGTEMPLATEW pResource;
  };
  union {
    HICON hIcon;
    LPCWSTR pszIcon;
  };
  LPCWSTR pszTitle;
  DLGPROC pfnDlgProc;
  LPARAM lParam;
  LPFNPSPCALLBACKW pfnCallback;
  UINT *pcRefParent;
} PROPSHEETPAGEW, *LPPROPSHEETPAGEW;
typedef const PROPSHEETPAGEW *LPCPROPSHEETPAGEW;

typedef struct _PROPSHEETHEADERW {
  DWORD dwSize;
  DWORD dwFlags;
  HWND hwndParent;
  HINSTANCE hInstance;
  union {
    HICON hIcon;
    LPCWSTR pszIcon;
  };
  LPCWSTR pszCaption;
  UINT nPages;
  union {
    UINT nStartPage;
    LPCWSTR pStartPage;
  };
  union {
    LPCPROPSHEETPAGEW ppsp;
    HPROPSHEETPAGE *phpage;
  };
  PFNPROPSHEETCALLBACK pfnCallback;
} PROPSHEETHEADERW, *LPPROPSHEETHEADERW;
typedef const PROPSHEETHEADERW *LPCPROPSHEETHEADERW;

// The device's records are the first versions, so their sizes are the first versions' sizes.
#define PROPSHEETPAGEW_V1_SIZE sizeof(PROPSHEETPAGEW)
#define PROPSHEETHEADERW_V1_SIZE sizeof(PROPSHEETHEADERW)

#endif  // RC_INVOKED

#define PSH_DEFAULT 0x00000000
#define PSH_PROPTITLE 0x00000001
#define PSH_USEHICON 0x00000002
#define PSH_USEICONID 0x00000004
#define PSH_PROPSHEETPAGE 0x00000008
#define PSH_WIZARD 0x00000020
#define PSH_USEPSTARTPAGE 0x00000040
#define PSH_NOAPPLYNOW 0x00000080
#define PSH_USECALLBACK 0x00000100
#define PSH_HASHELP 0x00000200
#define PSH_MODELESS 0x00000400

#define PSP_DEFAULT 0x00000000
#define PSP_DLGINDIRECT 0x00000001
#define PSP_USEHICON 0x00000002
#define PSP_USEICONID 0x00000004
#define PSP_USETITLE 0x00000008
#define PSP_RTLREADING 0x00000010
#define PSP_HASHELP 0x00000020
#define PSP_USEREFPARENT 0x00000040
#define PSP_USECALLBACK 0x00000080

#define PSPCB_RELEASE 1
#define PSPCB_CREATE 2

#define PSCB_INITIALIZED 1
#define PSCB_PRECREATE 2

#define PSN_FIRST (0U - 200U)
#define PSN_LAST (0U - 299U)
#define PSN_SETACTIVE (PSN_FIRST - 0)
#define PSN_KILLACTIVE (PSN_FIRST - 1)
#define PSN_APPLY (PSN_FIRST - 2)
#define PSN_RESET (PSN_FIRST - 3)
#define PSN_HELP (PSN_FIRST - 5)
#define PSN_QUERYCANCEL (PSN_FIRST - 9)

#define PSNRET_NOERROR 0
#define PSNRET_INVALID 1
#define PSNRET_INVALID_NOCHANGEPAGE 2

#ifndef RC_INVOKED
typedef struct _PSHNOTIFY {
  NMHDR hdr;
  LPARAM lParam;
} PSHNOTIFY, *LPPSHNOTIFY;
#endif  // RC_INVOKED

#define PSM_SETCURSEL (WM_USER + 101)
#define PSM_REMOVEPAGE (WM_USER + 102)
#define PSM_ADDPAGE (WM_USER + 103)
#define PSM_CHANGED (WM_USER + 104)
#define PSM_CANCELTOCLOSE (WM_USER + 107)
#define PSM_UNCHANGED (WM_USER + 109)
#define PSM_APPLY (WM_USER + 110)
#define PSM_PRESSBUTTON (WM_USER + 113)
#define PSM_GETTABCONTROL (WM_USER + 116)
#define PSM_ISDIALOGMESSAGE (WM_USER + 117)
#define PSM_GETCURRENTPAGEHWND (WM_USER + 118)
#define PSM_SETTITLEW (WM_USER + 120)

#define PSBTN_BACK 0
#define PSBTN_NEXT 1
#define PSBTN_FINISH 2
#define PSBTN_OK 3
#define PSBTN_APPLYNOW 4
#define PSBTN_CANCEL 5
#define PSBTN_HELP 6

#ifndef RC_INVOKED
#define PropSheet_SetCurSel(hDlg, hpage, index) \
  SendMessageW(hDlg, PSM_SETCURSEL, (WPARAM)(index), (LPARAM)(hpage))
#define PropSheet_Changed(hDlg, hwnd) SendMessageW(hDlg, PSM_CHANGED, (WPARAM)(hwnd), 0L)
#define PropSheet_UnChanged(hDlg, hwnd) SendMessageW(hDlg, PSM_UNCHANGED, (WPARAM)(hwnd), 0L)
#define PropSheet_PressButton(hDlg, iButton) SendMessageW(hDlg, PSM_PRESSBUTTON, (WPARAM)(iButton), 0)
#define PropSheet_GetCurrentPageHwnd(hDlg) ((HWND)SendMessageW(hDlg, PSM_GETCURRENTPAGEHWND, 0, 0L))
#define PropSheet_IsDialogMessage(hDlg, pMsg) \
  ((BOOL)SendMessageW(hDlg, PSM_ISDIALOGMESSAGE, 0, (LPARAM)(pMsg)))
#define PropSheet_SetTitle(hDlg, wStyle, lpszText) \
  SendMessageW(hDlg, PSM_SETTITLEW, (WPARAM)(wStyle), (LPARAM)(lpszText))

#endif  // RC_INVOKED

// ---- progress bar ----
#ifdef RC_INVOKED
#define PROGRESS_CLASSW "msctls_progress32"
#else
#define PROGRESS_CLASSW u"msctls_progress32"
#endif
#define PROGRESS_CLASS PROGRESS_CLASSW

#define PBS_SMOOTH 0x01
#define PBS_VERTICAL 0x04

#define PBM_SETRANGE (WM_USER + 1)
#define PBM_SETPOS (WM_USER + 2)
#define PBM_DELTAPOS (WM_USER + 3)
#define PBM_SETSTEP (WM_USER + 4)
#define PBM_STEPIT (WM_USER + 5)
#define PBM_SETRANGE32 (WM_USER + 6)
#define PBM_GETRANGE (WM_USER + 7)
#define PBM_GETPOS (WM_USER + 8)

#ifndef RC_INVOKED
typedef struct {
  int iLow;
  int iHigh;
} PBRANGE, *PPBRANGE;
#endif  // RC_INVOKED

// ---- initialisation ----
#ifndef RC_INVOKED
typedef struct tagINITCOMMONCONTROLSEX {
  DWORD dwSize;
  DWORD dwICC;
} INITCOMMONCONTROLSEX, *LPINITCOMMONCONTROLSEX;
#endif  // RC_INVOKED

#define ICC_LISTVIEW_CLASSES 0x00000001
#define ICC_TREEVIEW_CLASSES 0x00000002
#define ICC_BAR_CLASSES 0x00000004
#define ICC_TAB_CLASSES 0x00000008
#define ICC_UPDOWN_CLASS 0x00000010
#define ICC_PROGRESS_CLASS 0x00000020

#ifndef RC_INVOKED
#ifdef __cplusplus
extern "C" {
#endif

VOID WINAPI InitCommonControls(void);
BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX *picce);

// With PSH_MODELESS the result is the sheet's window; otherwise the sheet runs modally and the
// result is 1 after OK and 0 after Cancel. -1 on failure.
INT_PTR WINAPI PropertySheetW(LPCPROPSHEETHEADERW lppsph);
HPROPSHEETPAGE WINAPI CreatePropertySheetPageW(LPCPROPSHEETPAGEW lppsp);
BOOL WINAPI DestroyPropertySheetPage(HPROPSHEETPAGE hPSPage);

#ifdef __cplusplus
}
#endif

typedef PROPSHEETPAGEW PROPSHEETPAGE;
typedef LPPROPSHEETPAGEW LPPROPSHEETPAGE;
typedef LPCPROPSHEETPAGEW LPCPROPSHEETPAGE;
typedef PROPSHEETHEADERW PROPSHEETHEADER;
typedef LPPROPSHEETHEADERW LPPROPSHEETHEADER;
typedef LPCPROPSHEETHEADERW LPCPROPSHEETHEADER;
typedef LPFNPSPCALLBACKW LPFNPSPCALLBACK;
#define PropertySheet PropertySheetW
#define CreatePropertySheetPage CreatePropertySheetPageW
#define PROPSHEETPAGE_V1_SIZE PROPSHEETPAGEW_V1_SIZE
#define PROPSHEETHEADER_V1_SIZE PROPSHEETHEADERW_V1_SIZE
#endif  // RC_INVOKED
