// The management channel of a running handheld: a Unix socket in its root folder whose requests
// (information requests, card eject and insert, status) are carried out on the handheld's loop.
#pragma once

#include <sys/socket.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mgmt_protocol.h"
#include "teskel/pccard.h"

namespace teskel {
class EventLoop;
namespace ndis {
class Host;
}
}  // namespace teskel

namespace teskel::handheld::mgmt {

inline constexpr const char *kSocketFileName = "handheld.sock";
inline constexpr const char *kLockFileName = "handheld.lock";

// Runs `call` (bind or connect) with the address of the socket file `path` and returns what it
// returns, errno included. A path too long for a socket address is reached through a descriptor
// of its folder instead, so that any root folder works.
int withSocketAddress(const std::filesystem::path &path, const std::function<int(const sockaddr *, socklen_t)> &call);

class ManagementChannel {
 public:
  // Takes the root folder for this process and starts listening; requests are served from host
  // tasks of the host's loop, one at a time between everything else the loop runs. Throws
  // std::runtime_error when another live handheld owns the root (a socket left by a dead one is
  // taken over) or the socket cannot be made. `card` is what "card insert" puts into the socket.
  ManagementChannel(const std::filesystem::path &root, ndis::Host &host, pccard::Socket &socket, pccard::Card card);
  ~ManagementChannel();
  ManagementChannel(const ManagementChannel &) = delete;
  ManagementChannel &operator=(const ManagementChannel &) = delete;

  // What the socket reported of the card's first insertion (the run does that one itself).
  void inserted(const pccard::InsertReport &report);
  // Runs just before the card is taken out on request, while its controllers are still there.
  void setBeforeEject(std::function<void()> hook);
  // What went wrong in card changes made on request: things left held after an eject, a card
  // that did not come up again. The run fails on them as on its own removal.
  const std::vector<std::string> &problems() const;

  // One request, as the loop task carries it out; never throws (a failure is an ErrorAnswer).
  Answer serve(const Request &request);
  // One payload off the wire: parsed, served, answered.
  Answer serve(std::span<const std::uint8_t> payload);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace teskel::handheld::mgmt
