// The protocol binding the handheld's network stack makes as an adapter comes up: what it asks the
// driver and sets, told as the "adapter up" line tells it.
#pragma once

#include <string>

namespace teskel::ndis {
class Adapter;
}

namespace teskel::handheld {

// Queries the supported list, the permanent and current address, the maximum frame size and
// lookahead, sets the packet filter and lookahead, and reads the media connect state. Returns what
// the driver answered, for the "adapter up" line: ", station address ..., ..." with every request
// the driver refused named with its status.
std::string bindProtocol(ndis::Adapter &adapter);

}  // namespace teskel::handheld
