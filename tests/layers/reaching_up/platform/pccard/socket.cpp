// A platform source that reaches up into the simulator: the layer check must name this include.
#include <cstdint>

#include "teskel/controller.h"
