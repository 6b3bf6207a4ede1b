// The simulated controller as the card the PC Card socket receives: a controller in each slot
// the socket places it in, on the handheld's loop and port bus.
#pragma once

#include <string_view>

#include "teskel/controller.h"
#include "teskel/pccard.h"

namespace teskel::sim {

// A card whose function in each slot is a controller with `options`, driving the slot's
// interrupt line: its non-volatile memory lives in the slot's file, and its serial number is
// `options.serial` plus the slot's index (a second instance is a second card of the same make).
// The loop, the bus and the options' medium must outlive the card's controllers.
pccard::Card controllerCard(EventLoop &loop, ceddk::PortBus &bus, ControllerOptions options = {});

// The controller the socket holds for an instance; null when it holds none there.
Controller *controllerIn(const pccard::Socket &socket, std::string_view instance);

}  // namespace teskel::sim
