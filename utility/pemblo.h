// Pemblo's process-wide state and the routines that the window, the sheet and the pages share.
// One thread runs everything from the message loop, so nothing here is locked.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include "resource.h"

// The key that the driver and Pemblo share, below HKEY_LOCAL_MACHINE.
#define PARMS_KEY TEXT("Comm\\Teskel1\\Parms")

// Tray icon: its identifier and the message the shell sends to the hidden window about it.
#define TRAY_ICON_ID 5000
#define WM_TRAY_NOTIFY 3025

// The Status page polls the driver's status values with this timer.
#define STATUS_TIMER_ID 1
#define STATUS_PERIOD_MS 1500
#define BAR_MAXIMUM 5000

// Resource strings are loaded into buffers of this many characters.
#define STRING_BUFFER_CHARS 100

// Room for the network name: 32 characters and a terminator are read and written.
#define SSID_BUFFER_CHARS 40
#define SSID_MAX_CHARS 32

#define KEY_MATERIAL_BYTES 20
#define KEY1_BYTES 5

// The list index a drop-down list reports when nothing is selected.
#define LIST_NO_SELECTION ((DWORD)CB_ERR)

struct SETTINGS_CACHE {
  WCHAR Ssid[SSID_BUFFER_CHARS];
  DWORD NetworkType;     // list index: 0 "Adhoc", 1 "Infrastructure"
  DWORD Encapsulation;   // list index; only 0 exists
  DWORD DSChannel;       // 1 to 12
  DWORD PSMode;          // 1 power saving, 0 not
  DWORD LinkState;       // last LinkState read
  DWORD BytesIn;
  DWORD BytesOut;
  DWORD PrevBytesIn;     // readings of the tick before
  DWORD PrevBytesOut;
  BOOL ConfigEditEnabled;
  DWORD WepReqCache;     // last WepReq read or written
  BYTE KeyBytes[KEY_MATERIAL_BYTES];  // bytes 0 to 4 are key 1
  BOOL WepToggle;        // the state the next press of "Enable" flips
};

extern HINSTANCE Instance;
extern HWND MainWindow;
extern HWND ConfigSheet;
extern BOOL SheetCreated;
extern SETTINGS_CACHE SettingsCache;

// Tray and sheet (winmain.cpp).
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL TrayNotify(DWORD operation, HWND window, UINT id, HICON icon);
HWND CreateConfigSheet(HWND parent);
// OK and Cancel of the sheet, handled alike by every page: TRUE when `message` was one of them,
// with the page procedure's result in *result.
BOOL HandleSheetButton(HWND page, UINT message, LPARAM lParam, INT_PTR *result);
// A resource string into `buffer` of STRING_BUFFER_CHARS characters.
LPWSTR LoadText(UINT id, LPWSTR buffer);

// Registry routines shared by the pages (settings.cpp).
BOOL ReadStatus(void);
BOOL AddKeyValue(LPCWSTR name, const void *data, DWORD size, DWORD type);
BOOL WriteConfig(void);

// Pages.
INT_PTR CALLBACK StatusDlgProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ConfigDlgProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AdvancedDlgProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK EncryptionDlgProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDlgProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

void ShowLinkState(HWND page);
void FillLists(HWND page);
void CollectConfig(HWND page);
void EnableConfigControls(HWND page, BOOL on);
void EnableKeyControls(HWND page, BOOL on);
