// Layouts of the platform records that the handheld's 32-bit operating system fixes: checked at
// compile time in the 32-bit build, where our declarations must match the device byte for byte.
#include <windows.h>
#include <commctrl.h>
#include <ndis.h>
#include <shellapi.h>

#include <cstddef>
#include <type_traits>
#include <cstdint>

#if UINTPTR_MAX == 0xFFFFFFFF

// The miniport registers with exactly this many bytes, and NDIS reads the slots at these offsets.
static_assert(sizeof(NDIS_MINIPORT_CHARACTERISTICS) == 72);
static_assert(offsetof(NDIS_MINIPORT_CHARACTERISTICS, Ndis30Chars.MajorNdisVersion) == 0);
static_assert(offsetof(NDIS_MINIPORT_CHARACTERISTICS, Ndis30Chars.MinorNdisVersion) == 1);
static_assert(offsetof(NDIS_MINIPORT_CHARACTERISTICS, Ndis30Chars.Reserved) == 4);
static_assert(offsetof(NDIS_MINIPORT_CHARACTERISTICS, Ndis30Chars.CheckForHangHandler) == 8);
static_assert(offsetof(NDIS_MINIPORT_CHARACTERISTICS, Ndis30Chars.HaltHandler) == 20);
static_assert(offsetof(NDIS_MINIPORT_CHARACTERISTICS, Ndis30Chars.InitializeHandler) == 28);
static_assert(offsetof(NDIS_MINIPORT_CHARACTERISTICS, Ndis30Chars.SendHandler) == 48);
static_assert(offsetof(NDIS_MINIPORT_CHARACTERISTICS, Ndis30Chars.TransferDataHandler) == 56);
static_assert(offsetof(NDIS_MINIPORT_CHARACTERISTICS, AllocateCompleteHandler) == 68);

// The tray record: the shell takes its size from cbSize, so the device size must be the real one.
static_assert(sizeof(NOTIFYICONDATAW) == 152);
static_assert(offsetof(NOTIFYICONDATAW, uCallbackMessage) == 16);
static_assert(offsetof(NOTIFYICONDATAW, hIcon) == 20);
static_assert(offsetof(NOTIFYICONDATAW, szTip) == 24);

// Property sheet records, first versions.
static_assert(sizeof(PROPSHEETHEADERW) == 40);
static_assert(offsetof(PROPSHEETHEADERW, pszCaption) == 20);
static_assert(offsetof(PROPSHEETHEADERW, nPages) == 24);
static_assert(offsetof(PROPSHEETHEADERW, ppsp) == 32);
static_assert(offsetof(PROPSHEETHEADERW, pfnCallback) == 36);
static_assert(sizeof(PROPSHEETPAGEW) == 40);
static_assert(offsetof(PROPSHEETPAGEW, pszTemplate) == 12);
static_assert(offsetof(PROPSHEETPAGEW, pszTitle) == 20);
static_assert(offsetof(PROPSHEETPAGEW, pfnDlgProc) == 24);
static_assert(offsetof(PROPSHEETPAGEW, lParam) == 28);

// The device's ULONG and LONG are its long types, and UINT is its int: a PULONG passed where a
// PUINT is wanted compiles on a 64-bit host but not here, as on the device.
static_assert(std::is_same_v<ULONG, unsigned long> && std::is_same_v<LONG, long>);
static_assert(std::is_same_v<DWORD, unsigned long> && std::is_same_v<UINT, unsigned int>);
static_assert(!std::is_same_v<PULONG, PUINT>);

#endif

// Whatever the host, the platform's fixed-width types keep the device's widths: records that
// cross into the controller or the registry are built from them.
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(DWORD) == 4);
static_assert(sizeof(USHORT) == 2 && sizeof(WCHAR) == 2 && sizeof(UCHAR) == 1);
static_assert(sizeof(NDIS_STATUS) == 4);
