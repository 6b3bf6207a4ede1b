// Layouts of the platform records that the handheld's 32-bit operating system fixes: checked at
// compile time in the 32-bit build, where our declarations must match the device byte for byte.
#include <windows.h>
#include <commctrl.h>
#include <ndis.h>
#include <shellapi.h>

#include <cstddef>
#include <cstdint>

#if UINTPTR_MAX == 0xFFFFFFFF

// The miniport registers with exactly this many bytes, and NDIS reads the slots at these offsets.
static_assert(sizeof(NDIS40_MINIPORT_CHARACTERISTICS) == 72);
static_assert(offsetof(NDIS40_MINIPORT_CHARACTERISTICS, MajorNdisVersion) == 0);
static_assert(offsetof(NDIS40_MINIPORT_CHARACTERISTICS, MinorNdisVersion) == 1);
static_assert(offsetof(NDIS40_MINIPORT_CHARACTERISTICS, Reserved) == 4);
static_assert(offsetof(NDIS40_MINIPORT_CHARACTERISTICS, CheckForHangHandler) == 8);
static_assert(offsetof(NDIS40_MINIPORT_CHARACTERISTICS, HaltHandler) == 20);
static_assert(offsetof(NDIS40_MINIPORT_CHARACTERISTICS, InitializeHandler) == 28);
static_assert(offsetof(NDIS40_MINIPORT_CHARACTERISTICS, SendHandler) == 48);
static_assert(offsetof(NDIS40_MINIPORT_CHARACTERISTICS, TransferDataHandler) == 56);
static_assert(offsetof(NDIS40_MINIPORT_CHARACTERISTICS, AllocateCompleteHandler) == 68);

// The tray record: the shell takes its size from cbSize, so the device size must be the real one.
static_assert(sizeof(NOTIFYICONDATAW) == 152);
static_assert(sizeof(NOTIFYICONDATAW) == NOTIFYICONDATAW_DEVICE_SIZE);
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
static_assert(sizeof(PROPSHEETPAGEW) == PROPSHEETPAGEW_DEVICE_SIZE);
static_assert(offsetof(PROPSHEETPAGEW, pszTemplate) == 12);
static_assert(offsetof(PROPSHEETPAGEW, pszTitle) == 20);
static_assert(offsetof(PROPSHEETPAGEW, pfnDlgProc) == 24);
static_assert(offsetof(PROPSHEETPAGEW, lParam) == 28);

#endif

// Whatever the host, the platform's fixed-width types keep the device's widths: records that
// cross into the controller or the registry are built from them.
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(DWORD) == 4);
static_assert(sizeof(USHORT) == 2 && sizeof(WCHAR) == 2 && sizeof(UCHAR) == 1);
static_assert(sizeof(NDIS_STATUS) == 4);
