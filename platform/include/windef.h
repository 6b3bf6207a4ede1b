// Base types of the handheld's platform, with the platform's own names and widths.
// ULONG and LONG are 32 bits whatever the host's long is; WCHAR is a 16-bit character.
#pragma once

#include <cstddef>
#include <cstdint>

typedef void VOID;
typedef void *PVOID, *LPVOID;
typedef const void *LPCVOID;
typedef char CHAR, *PCHAR, *LPSTR;
typedef const char *LPCSTR;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE, *LPBYTE;
typedef short SHORT;
typedef unsigned short USHORT, *PUSHORT, WORD, *PWORD;
typedef int INT, *PINT;
typedef unsigned int UINT, *PUINT;
typedef int32_t LONG, *PLONG;
typedef uint32_t ULONG, *PULONG, DWORD, *PDWORD, *LPDWORD;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef intptr_t INT_PTR, LONG_PTR;
typedef uintptr_t UINT_PTR, ULONG_PTR, DWORD_PTR;
typedef unsigned char BOOLEAN, *PBOOLEAN;
typedef int BOOL, *PBOOL;
typedef char16_t WCHAR, *PWCHAR, *PWSTR, *LPWSTR;
typedef const char16_t *PCWSTR, *LPCWSTR;
typedef void *HANDLE;
typedef LONG_PTR LRESULT;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK REGSAM;

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
#define _T(quote) u##quote

#define WINAPI
#define CALLBACK
#define APIENTRY

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

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
