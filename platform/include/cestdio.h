// The runtime library's stream opening as the handheld's COREDLL provides it. The device has no
// current directory: a file named without a folder lives in the root of its object store.
#pragma once

#include <stdarg.h>
#include <stdio.h>

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

// fopen with 16-bit name and mode ("r", "w", "a", "a+" ...). Streams it opens are read, written,
// flushed and closed with the ordinary stream calls.
FILE *_wfopen(LPCWSTR Name, LPCWSTR Mode);

#ifdef __cplusplus
}
#endif
