// The CE compatibility header of Pemblo's Windows build, read before each of its sources: what the
// device's windows.h has that the desktop's spells differently or lacks.
#pragma once

#include <windows.h>

// The device's program entry is the wide one under the plain name; the desktop calls it wWinMain.
#define WinMain wWinMain
// The device's extended style that switches off a window's opening animation; desktop windows
// have no such animation and no such style.
#define WS_EX_NOANIMATION 0L
