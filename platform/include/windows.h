// Umbrella header of the handheld's Win32 subset.
#pragma once

// Resource scripts get the constants only.
#ifdef RC_INVOKED
#include "winresrc.h"
#else
#include "windef.h"
#include "winbase.h"
#include "winreg.h"
#include "winuser.h"
#if __has_include("winui.h")
#include "winui.h"
#endif
#endif
