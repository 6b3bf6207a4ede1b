// COREDLL base services: local memory, 16-bit string helpers, debug output, the program entry.
// The runtime library's 16-bit string, number and stream functions that COREDLL carries are
// declared here for WCHAR, since the host's own wide functions take its 32-bit wchar_t.
#pragma once

// The real windows.h brings the C library's string and number headers along (not its streams); the
// wide forms below are overloads of the same names, declared after the C library's own so that
// std:: keeps those alone. <cwchar> also names FILE, for _wfopen.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes);
HLOCAL WINAPI LocalFree(HLOCAL hMem);

int WINAPI lstrlenW(LPCWSTR lpString);
LPWSTR WINAPI lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2);
LPWSTR WINAPI lstrcatW(LPWSTR lpString1, LPCWSTR lpString2);
int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);

VOID WINAPI OutputDebugStringW(LPCWSTR lpOutputString);

#define CP_ACP 0
int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar);
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar);

// The program's entry point. The device's is the wide one under the plain name.
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd);

#ifdef __cplusplus
}

size_t wcslen(const WCHAR *s);
WCHAR *wcscpy(WCHAR *dst, const WCHAR *src);
WCHAR *wcscat(WCHAR *dst, const WCHAR *src);
WCHAR *wcsncpy(WCHAR *dst, const WCHAR *src, size_t n);
int wcscmp(const WCHAR *a, const WCHAR *b);
unsigned long wcstoul(const WCHAR *s, WCHAR **end, int base);
long wcstol(const WCHAR *s, WCHAR **end, int base);
long _wtol(const WCHAR *s);
WCHAR *_itow(int value, WCHAR *buffer, int radix);
WCHAR *_ultow(unsigned long value, WCHAR *buffer, int radix);
// Stream opening with a 16-bit name and mode ("r", "w", "a", "a+" ...); the streams it opens are
// read, written, flushed and closed with the ordinary stream calls. The device has no current
// directory: a file named without a folder lives in the root of its object store.
FILE *_wfopen(const WCHAR *Name, const WCHAR *Mode);
#endif
