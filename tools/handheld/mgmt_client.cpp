// Connecting to a running handheld's management socket and exchanging one message for another.
#include "mgmt_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "commands.h"
#include "mgmt_server.h"

namespace teskel::handheld::mgmt {
namespace {

// A request may hold the loop for a while (a card brought up again stalls for the controller), but
// a handheld that says nothing for this long is stuck.
constexpr auto kAnswerLimit = std::chrono::seconds(60);

}  // namespace

Client::Client(const std::filesystem::path &root) {
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error(std::string("cannot make a socket: ") + std::strerror(errno));
  int connected = withSocketAddress(root / kSocketFileName, [this](const sockaddr *address, socklen_t size) {
    return ::connect(fd_, address, size);
  });
  if (connected != 0) {
    int error = errno;
    ::close(fd_);
    fd_ = -1;
    // No socket, or one left by a handheld that is gone.
    if (error == ENOENT || error == ECONNREFUSED) throw NoHandheldError("no handheld runs on " + root.string());
    throw std::runtime_error("cannot reach the handheld on " + root.string() + ": " + std::strerror(error));
  }
}

Client::~Client() {
  if (fd_ >= 0) ::close(fd_);
}

Answer Client::exchange(const Request &request) {
  std::vector<std::uint8_t> message = encode(request);
  std::size_t sent = 0;
  while (sent < message.size()) {
    ssize_t n = ::send(fd_, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error(std::string("the handheld closed the channel: ") + std::strerror(errno));
    sent += static_cast<std::size_t>(n);
  }
  const auto deadline = std::chrono::steady_clock::now() + kAnswerLimit;
  for (;;) {
    if (auto payload = reader_.next()) {
      auto parsed = parseAnswer(*payload);
      if (auto *bad = std::get_if<Malformed>(&parsed)) throw std::runtime_error("the handheld's answer is malformed: " + bad->why);
      return std::get<Answer>(std::move(parsed));
    }
    if (reader_.broken()) throw std::runtime_error("the handheld's answer claims more bytes than a message may hold");
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) throw std::runtime_error("the handheld did not answer within 60 seconds");
    pollfd p{fd_, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) throw std::runtime_error(std::string("cannot wait for the handheld: ") + std::strerror(errno));
    if (ready == 0) continue;
    std::uint8_t buffer[16384];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("the handheld closed the channel before it answered");
    reader_.feed(std::span(buffer, static_cast<std::size_t>(n)));
  }
}

}  // namespace teskel::handheld::mgmt
