// The simulated controller handed to the PC Card socket as a card: one per slot.
#include "teskel/controller_card.h"

namespace teskel::sim {

pccard::Card controllerCard(EventLoop &loop, ceddk::PortBus &bus, ControllerOptions options) {
  pccard::Card card;
  card.powerUp = [&loop, &bus, options = std::move(options)](const pccard::Slot &slot) {
    ControllerOptions o = options;
    o.nvPath = slot.memoryFile.string();
    o.serial = options.serial + static_cast<std::uint32_t>(slot.index);
    auto controller = std::make_unique<Controller>(loop, bus, slot.interruptLine, std::move(o));
    const Controller *self = controller.get();
    pccard::CardFunction function;
    function.stationAddress = [self]() -> std::optional<pccard::StationAddress> { return self->stationAddress(); };
    function.device = std::move(controller);
    return function;
  };
  return card;
}

Controller *controllerIn(const pccard::Socket &socket, std::string_view instance) {
  return dynamic_cast<Controller *>(socket.device(instance));
}

}  // namespace teskel::sim
