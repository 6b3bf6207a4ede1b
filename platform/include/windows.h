// Umbrella header of the handheld's Win32 subset. Like the platform's, it brings the shell's
// declarations along but not the common controls: those come from commctrl.h.
#pragma once

// Resource scripts get the constants only.
#ifdef RC_INVOKED
#include "winresrc.h"
#else
#include "windef.h"
#include "winbase.h"
#include "winreg.h"
#include "winuser.h"
#include "winui.h"
#endif
