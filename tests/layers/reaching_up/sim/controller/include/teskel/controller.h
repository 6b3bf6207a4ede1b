// A header of the simulator, as the layer check learns its name.
#pragma once
