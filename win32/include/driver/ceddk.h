// Stands for the device's ceddk.h in the driver's Windows build: see wince.h.
#include "wince.h"
