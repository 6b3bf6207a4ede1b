// Constants for resource scripts: window, dialog and control styles and the standard ids.
// A script includes this (or windows.h); the preprocessor runs with RC_INVOKED defined.
#pragma once

#ifndef RC_INVOKED
#define RC_INVOKED
#endif

#include "winui.h"

#ifndef IDOK
#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7
#endif
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
