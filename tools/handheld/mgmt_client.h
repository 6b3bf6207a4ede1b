// The commands' end of the management channel: one connection to the handheld running on a root
// folder, over which requests go one at a time.
#pragma once

#include <filesystem>

#include "mgmt_protocol.h"

namespace teskel::handheld::mgmt {

class Client {
 public:
  // Connects to the handheld running on `root`; throws NoHandheldError (commands.h) when none does.
  explicit Client(const std::filesystem::path &root);
  ~Client();
  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;

  // Sends the request and waits for its answer. Throws std::runtime_error when the channel breaks
  // or the handheld does not answer in time.
  Answer exchange(const Request &request);

 private:
  int fd_ = -1;
  FrameReader reader_;
};

}  // namespace teskel::handheld::mgmt
