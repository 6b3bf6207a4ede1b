// COREDLL base services: local memory, 16-bit string helpers, debug output.
#pragma once

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef HANDLE HLOCAL;

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

HLOCAL LocalAlloc(UINT uFlags, UINT uBytes);
HLOCAL LocalFree(HLOCAL hMem);

int lstrlenW(LPCWSTR lpString);
LPWSTR lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2);
LPWSTR lstrcatW(LPWSTR lpString1, LPCWSTR lpString2);
int lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);

VOID OutputDebugStringW(LPCWSTR lpOutputString);

#define CP_ACP 0
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar);
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, BOOL *lpUsedDefaultChar);

#ifdef __cplusplus
}

// The runtime library's 16-bit string functions (wchar_t is 16 bits on the handheld).
size_t wcslen(const WCHAR *s);
WCHAR *wcscpy(WCHAR *dst, const WCHAR *src);
WCHAR *wcscat(WCHAR *dst, const WCHAR *src);
WCHAR *wcsncpy(WCHAR *dst, const WCHAR *src, size_t n);
int wcscmp(const WCHAR *a, const WCHAR *b);
// Text to integer. Named apart from the C library's wchar_t forms, whose addresses the C++ library takes.
unsigned long _wcstoul(const WCHAR *s, WCHAR **end, int base);
long _wcstol(const WCHAR *s, WCHAR **end, int base);
long _wtol(const WCHAR *s);
WCHAR *_itow(int value, WCHAR *buffer, int radix);
WCHAR *_ultow(unsigned long value, WCHAR *buffer, int radix);
#endif
