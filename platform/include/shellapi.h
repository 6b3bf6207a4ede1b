// Shell notification area (the tray) of the handheld.
// The device's NOTIFYICONDATAW is the first version of the record: 152 bytes on the 32-bit device.
#pragma once

#include "winui.h"

#ifndef RC_INVOKED
typedef struct _NOTIFYICONDATAW {
  DWORD cbSize;
  HWND hWnd;
  UINT uID;
  UINT uFlags;
  UINT uCallbackMessage;
  HICON hIcon;
  WCHAR szTip[64];
} NOTIFYICONDATAW, *PNOTIFYICONDATAW;

#define NOTIFYICONDATAW_V1_SIZE sizeof(NOTIFYICONDATAW)

#endif  // RC_INVOKED

#define NIM_ADD 0x00000000
#define NIM_MODIFY 0x00000001
#define NIM_DELETE 0x00000002

#define NIF_MESSAGE 0x00000001
#define NIF_ICON 0x00000002
#define NIF_TIP 0x00000004

#ifndef RC_INVOKED
#ifdef __cplusplus
extern "C" {
#endif

BOOL WINAPI Shell_NotifyIcon(DWORD dwMessage, PNOTIFYICONDATAW lpData);
BOOL WINAPI Shell_NotifyIconW(DWORD dwMessage, PNOTIFYICONDATAW lpData);

#ifdef __cplusplus
}
#endif

typedef NOTIFYICONDATAW NOTIFYICONDATA;
typedef PNOTIFYICONDATAW PNOTIFYICONDATA;
#define NOTIFYICONDATA_V1_SIZE NOTIFYICONDATAW_V1_SIZE
#endif  // RC_INVOKED
