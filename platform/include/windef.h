// Base types of the handheld's platform, with the platform's own names, widths and spellings.
// ULONG, LONG and DWORD are 32 bits: `unsigned long` and `long` where long has 32 bits (the
// device, and every 32-bit build here), the 32-bit int types on a 64-bit host. WCHAR is a 16-bit
// character. The calling-convention macros are empty: the device's ARM compiler has one
// convention, and so does every host build.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

#define NTAPI
#define WINAPI
#define CALLBACK
#define APIENTRY WINAPI

#define VOID void
typedef void *PVOID, *LPVOID;
typedef const void *LPCVOID;
typedef char CHAR, *PCHAR, *LPSTR;
typedef const char *LPCSTR, *LPCCH;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE, *LPBYTE;
typedef short SHORT;
typedef unsigned short USHORT, *PUSHORT, WORD, *PWORD, *LPWORD;
typedef int INT, *PINT, *LPINT;
typedef unsigned int UINT, *PUINT;
#if ULONG_MAX == 0xFFFFFFFFUL
typedef long LONG, *PLONG;
typedef unsigned long ULONG, *PULONG, DWORD, *PDWORD, *LPDWORD;
typedef int INT_PTR;
typedef unsigned int UINT_PTR;
typedef long LONG_PTR;
typedef unsigned long ULONG_PTR, DWORD_PTR;
#else
typedef int LONG, *PLONG;
typedef unsigned int ULONG, *PULONG, DWORD, *PDWORD, *LPDWORD;
typedef long INT_PTR, LONG_PTR;
typedef unsigned long UINT_PTR, ULONG_PTR, DWORD_PTR;
#endif
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4 && sizeof(DWORD) == 4, "32-bit LONG, ULONG and DWORD");
static_assert(sizeof(ULONG_PTR) == sizeof(void *), "pointer-sized integers");
typedef ULONG_PTR SIZE_T;
typedef LONG_PTR SSIZE_T;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef unsigned char BOOLEAN, *PBOOLEAN;
typedef int BOOL, *PBOOL, *LPBOOL;
typedef char16_t WCHAR, *PWCHAR, *PWSTR, *LPWSTR;
typedef const char16_t *PCWSTR, *LPCWSTR, *LPCWCH;
typedef void *HANDLE;
typedef LONG_PTR LRESULT;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK REGSAM;

// Handles are pointers to distinct structures, so that one kind is never passed for another. The
// structures stay incomplete: what a handle stands for belongs to the part of the platform that
// hands it out.
#define DECLARE_HANDLE(name) \
  struct name##__;           \
  typedef struct name##__ *name
DECLARE_HANDLE(HWND);
DECLARE_HANDLE(HKEY);
DECLARE_HANDLE(HINSTANCE);
DECLARE_HANDLE(HICON);
DECLARE_HANDLE(HBRUSH);
DECLARE_HANDLE(HMENU);
DECLARE_HANDLE(HBITMAP);
DECLARE_HANDLE(HFONT);
DECLARE_HANDLE(HDC);
typedef HKEY *PHKEY;
typedef HINSTANCE HMODULE;
typedef HICON HCURSOR;
typedef void *HGDIOBJ;
typedef HANDLE HLOCAL;
typedef WORD ATOM;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#ifndef NULL
#define NULL nullptr
#endif

#ifndef IN
#define IN
#define OUT
#define OPTIONAL
#endif

// Wide literals are 16-bit on the handheld: TEXT("x") gives a WCHAR string here too.
#define TEXT(quote) u##quote

#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define LOBYTE(w) ((BYTE)(((DWORD_PTR)(w)) & 0xff))
#define HIBYTE(w) ((BYTE)((((DWORD_PTR)(w)) >> 8) & 0xff))
#define MAKELONG(a, b) ((LONG)(((WORD)(((DWORD_PTR)(a)) & 0xffff)) | ((DWORD)((WORD)(((DWORD_PTR)(b)) & 0xffff))) << 16))

// Error codes the registry and window calls return.
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_CANTWRITE 1013L
#define ERROR_CANTREAD 1012L
#define ERROR_BADDB 1009L
#define ERROR_KEY_DELETED 1018L

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
