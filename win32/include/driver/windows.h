// Stands for the device's windows.h in the driver's Windows build: see wince.h.
#include "wince.h"
