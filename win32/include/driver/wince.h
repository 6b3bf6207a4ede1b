// The CE compatibility header of the driver's Windows build: what the device has beside the
// desktop DDK's ndis.h. On the device a driver includes windows.h, ndis.h and ceddk.h together;
// on the desktop windows.h cannot be combined with the DDK and ceddk.h does not exist, so
// windows.h and ceddk.h in this folder both stand for this header. Everything else is the DDK's.
#pragma once

// ---- the DDK's ndis.h, for an NDIS 4.0 miniport ------------------------------------------------
#define NDIS40_MINIPORT 1      // the device's NDIS is 4.0: its characteristics table
#define NDIS_LEGACY_MINIPORT 1  // and its calls, which the DDK keeps for miniports before NDIS 6
// mingw-w64's DDK defines these two bit tests itself and its intrin.h defines them again: the
// DDK's own definitions are kept.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
// mingw-w64's ntddndis.h and ndis.h both define the request type: the ntddndis.h copy, read first
// here, is renamed out of the way.
#define _NDIS_REQUEST_TYPE _NDIS_REQUEST_TYPE_ntddndis
#define NDIS_REQUEST_TYPE NDIS_REQUEST_TYPE_ntddndis
#define PNDIS_REQUEST_TYPE PNDIS_REQUEST_TYPE_ntddndis
#define NdisRequestQueryInformation NdisRequestQueryInformation_ntddndis
#define NdisRequestSetInformation NdisRequestSetInformation_ntddndis
#define NdisRequestQueryStatistics NdisRequestQueryStatistics_ntddndis
#define NdisRequestOpen NdisRequestOpen_ntddndis
#define NdisRequestClose NdisRequestClose_ntddndis
#define NdisRequestSend NdisRequestSend_ntddndis
#define NdisRequestTransferData NdisRequestTransferData_ntddndis
#define NdisRequestReset NdisRequestReset_ntddndis
#define NdisRequestGeneric1 NdisRequestGeneric1_ntddndis
#define NdisRequestGeneric2 NdisRequestGeneric2_ntddndis
#define NdisRequestGeneric3 NdisRequestGeneric3_ntddndis
#define NdisRequestGeneric4 NdisRequestGeneric4_ntddndis
#include <ntddk.h>
#include <ntddndis.h>
#undef _NDIS_REQUEST_TYPE
#undef NDIS_REQUEST_TYPE
#undef PNDIS_REQUEST_TYPE
#undef NdisRequestQueryInformation
#undef NdisRequestSetInformation
#undef NdisRequestQueryStatistics
#undef NdisRequestOpen
#undef NdisRequestClose
#undef NdisRequestSend
#undef NdisRequestTransferData
#undef NdisRequestReset
#undef NdisRequestGeneric1
#undef NdisRequestGeneric2
#undef NdisRequestGeneric3
#undef NdisRequestGeneric4
// mingw-w64's ndis.h lacks a comma in the declaration of this WAN call, which a LAN miniport
// never makes: the broken declaration is set aside under another name.
#define NdisMWanIndicateReceiveComplete(Parameters) NdisMWanIndicateReceiveComplete_unused(VOID)
// The desktop's packet query is an inline function over the kernel's page arithmetic; the
// device's is a call of its NDIS (declared below).
#define NdisQueryPacket NdisQueryPacket_desktop
#include <ndis.h>
#undef NdisMWanIndicateReceiveComplete
#undef NdisQueryPacket

// ---- NDIS as the device has it ----------------------------------------------------------------
// The device's ndis.h has the counted-string constant that mingw-w64's lacks.
#define NDIS_STRING_CONST(x) {sizeof(L##x) - sizeof(WCHAR), sizeof(L##x), (PWSTR)L##x}
// The device's NDIS has these as calls of its own, where the desktop's header makes them macros
// over the kernel (memory descriptors, the HAL's stall, the run-time library's conversion).
#undef NdisMSetAttributes
#undef NdisQueryBuffer
#undef NdisStallExecution
#undef NdisUnicodeStringToAnsiString
extern "C" {
NDISAPI VOID NTAPI NdisMSetAttributes(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                                     BOOLEAN BusMaster, NDIS_INTERFACE_TYPE AdapterType);
NDISAPI VOID NTAPI NdisQueryPacket(PNDIS_PACKET Packet, PUINT PhysicalBufferCount, PUINT BufferCount,
                                  PNDIS_BUFFER *FirstBuffer, PUINT TotalPacketLength);
NDISAPI VOID NTAPI NdisQueryBuffer(PNDIS_BUFFER Buffer, PVOID *VirtualAddress, PUINT Length);
NDISAPI VOID NTAPI NdisStallExecution(UINT MicrosecondsToStall);
NDISAPI NDIS_STATUS NTAPI NdisUnicodeStringToAnsiString(PNDIS_ANSI_STRING DestinationString, PNDIS_STRING SourceString);
// The Ethernet filter's receive indication, which the device's driver reaches through EthDB.
NDISAPI VOID NTAPI EthFilterDprIndicateReceive(PETH_FILTER Filter, NDIS_HANDLE MacReceiveContext, PCHAR Address,
                                              PVOID HeaderBuffer, UINT HeaderBufferSize, PVOID LookaheadBuffer,
                                              UINT LookaheadBufferSize, UINT PacketSize);
}

// ---- CEDDK ------------------------------------------------------------------------------------
// The port calls (READ_PORT_USHORT and the others) are declared by the DDK for the HAL, with the
// device's names and arguments; the build takes them from the CEDDK library (ceddk.def).

// ---- COREDLL: the part of the device's windows.h a driver uses --------------------------------
// Declared as the desktop's headers declare them; the desktop's DLLs export the same calls.
typedef unsigned long DWORD, *PDWORD, *LPDWORD;        // minwindef.h
typedef int BOOL;                                      // minwindef.h
typedef unsigned char BYTE, *LPBYTE;                   // minwindef.h
typedef void *LPVOID;                                  // minwindef.h
typedef WCHAR *LPWSTR;                                 // winnt.h
typedef const WCHAR *LPCWSTR;                          // winnt.h
typedef HANDLE HLOCAL;                                 // minwindef.h
typedef ACCESS_MASK REGSAM;                            // winreg.h
DECLARE_HANDLE(HKEY);                                  // minwindef.h
typedef HKEY *PHKEY;                                   // minwindef.h
DECLARE_HANDLE(HWND);                                  // windef.h
typedef struct _SECURITY_ATTRIBUTES {                  // minwinbase.h
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#define WINAPI __stdcall                               // minwindef.h
#define TEXT(quote) L##quote                           // winnt.h, for the device's Unicode build
#define ERROR_SUCCESS 0L                               // winerror.h
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))  // winreg.h
#define REG_SZ 1                                       // winnt.h
#define REG_BINARY 3                                   // winnt.h
#define REG_DWORD 4                                    // winnt.h
#define REG_MULTI_SZ 7                                 // winnt.h
#define LMEM_FIXED 0x0000                              // minwinbase.h
#define LMEM_ZEROINIT 0x0040                           // minwinbase.h
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)              // minwinbase.h
#define MB_OK 0x00000000L                              // winuser.h

extern "C" {
__declspec(dllimport) LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                                                  DWORD dwOptions, REGSAM samDesired,
                                                  LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                                  LPDWORD lpdwDisposition);  // winreg.h, advapi32
__declspec(dllimport) LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                                PHKEY phkResult);  // winreg.h, advapi32
__declspec(dllimport) LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                                   LPDWORD lpType, LPBYTE lpData,
                                                   LPDWORD lpcbData);  // winreg.h, advapi32
__declspec(dllimport) LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                                                 const BYTE *lpData, DWORD cbData);  // winreg.h, advapi32
__declspec(dllimport) LONG WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);     // winreg.h, advapi32
__declspec(dllimport) LONG WINAPI RegCloseKey(HKEY hKey);                          // winreg.h, advapi32
__declspec(dllimport) HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes);       // winbase.h, kernel32
__declspec(dllimport) HLOCAL WINAPI LocalFree(HLOCAL hMem);                        // winbase.h, kernel32
__declspec(dllimport) int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption,
                                             UINT uType);  // winuser.h, user32
}
// The run-time library's wide string and stream calls come from the C library's own headers.
#include <stdio.h>
#include <wchar.h>
