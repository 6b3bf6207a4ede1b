// The management channel's server side: owning the root folder (lock file, socket only its owner
// may use), non-blocking connections polled from a host task, and the requests carried out there.
#include "mgmt_server.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "oid_names.h"
#include "teskel/event_loop.h"
#include "teskel/ndis_host.h"

namespace teskel::handheld::mgmt {
namespace {

namespace fs = std::filesystem;

// Often enough that a command does not noticeably wait, rarely enough to cost next to nothing.
constexpr Micros kPollInterval = 5000;
constexpr std::size_t kMaxConnections = 16;
// A client that does not read its answers is dropped rather than buffered for without end.
constexpr std::size_t kMaxOutbox = 4 * (kMaxPayload + 4);
// The commands send a request as soon as they are connected and the next one as soon as they
// have an answer: a connection whose request has not come whole this long after it was made (or
// after its last answer), or whose answer has not been taken, only keeps others out.
constexpr auto kRequestDeadline = std::chrono::seconds(3);

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd &operator=(Fd &&o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

std::string errorText() { return std::strerror(errno); }

struct Connection {
  Fd fd;
  FrameReader reader;
  std::vector<std::uint8_t> outbox;
  bool closing = false;  // answer what is there, then close
  // Since when the connection owes the handheld a whole request (or the taking of an answer).
  std::chrono::steady_clock::time_point waitingSince = std::chrono::steady_clock::now();
};

std::string joined(const std::vector<std::string> &words, const char *separator) {
  std::string out;
  for (const auto &w : words) out += (out.empty() ? "" : separator) + w;
  return out;
}

}  // namespace

int withSocketAddress(const fs::path &path, const std::function<int(const sockaddr *, socklen_t)> &call) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string text = path.string();
  Fd folder;
  if (text.size() >= sizeof address.sun_path) {
    folder = Fd(::open(path.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0) return -1;
    text = "/proc/self/fd/" + std::to_string(folder.get()) + "/" + path.filename().string();
    if (text.size() >= sizeof address.sun_path) {
      errno = ENAMETOOLONG;
      return -1;
    }
  }
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  int result = call(reinterpret_cast<const sockaddr *>(&address), sizeof address);
  int saved = errno;
  folder.reset();
  errno = saved;
  return result;
}

struct ManagementChannel::Impl {
  ndis::Host &host;
  pccard::Socket &socket;
  pccard::Card card;
  pccard::InsertReport lastInsert;
  std::function<void()> beforeEject;
  std::vector<std::string> problems;

  fs::path socketPath;
  Fd lock;
  Fd listener;
  std::vector<Connection> connections;
  EventLoop::TaskId pollTask = 0;
  std::chrono::steady_clock::time_point lastLook{};

  Impl(ndis::Host &h, pccard::Socket &s, pccard::Card c) : host(h), socket(s), card(std::move(c)) {}

  void own(const fs::path &root);
  void listen();
  void schedule() {
    pollTask = host.loop().after(kPollInterval, [this] {
      poll();
      schedule();
    });
  }
  void poll();
  bool pump(Connection &c);  // false when the connection is done with

  ndis::Adapter &adapterFor(const std::string &name) const;
  Answer query(const QueryRequest &q);
  Answer set(const SetRequest &s);
  Answer changeCard(CardAction action);
  Answer status() const;
  std::string eject(bool &ok);
  std::string insert(bool &ok);
  Answer serve(const Request &request);
  Answer serve(std::span<const std::uint8_t> payload);
};

void ManagementChannel::Impl::own(const fs::path &root) {
  const fs::path lockPath = root / kLockFileName;
  // Never through a link: whatever one points at would be truncated and written.
  lock = Fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600));
  if (lock.get() < 0 && errno == ELOOP)
    throw std::runtime_error(lockPath.string() + " is a symbolic link, not a handheld's lock: remove it");
  if (lock.get() < 0) throw std::runtime_error("cannot open " + lockPath.string() + ": " + errorText());
  struct stat st {};
  if (::fstat(lock.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
    throw std::runtime_error(lockPath.string() + " is not a lock file of this user: remove it");
  if ((st.st_mode & 0777) != 0600) ::fchmod(lock.get(), 0600);
  // The lock goes with the process, however it ends: a dead handheld's socket is stale at once.
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) throw std::runtime_error("cannot lock " + lockPath.string() + ": " + errorText());
    char pid[32] = {};
    ssize_t n = ::pread(lock.get(), pid, sizeof pid - 1, 0);
    std::string owner = n > 0 ? std::string(pid, static_cast<std::size_t>(n)) : std::string();
    while (!owner.empty() && (owner.back() == '\n' || owner.back() == ' ')) owner.pop_back();
    throw std::runtime_error("another handheld" + (owner.empty() ? std::string() : " (process " + owner + ")") +
                             " runs on " + root.string());
  }
  std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(lock.get(), 0) != 0 || ::pwrite(lock.get(), pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size()))
    throw std::runtime_error("cannot write " + lockPath.string() + ": " + errorText());
  socketPath = root / kSocketFileName;
}

void ManagementChannel::Impl::listen() {
  listener = Fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (listener.get() < 0) throw std::runtime_error("cannot make a socket: " + errorText());
  // Whatever is there belongs to a handheld that is gone: we hold the lock.
  if (::unlink(socketPath.c_str()) != 0 && errno != ENOENT)
    throw std::runtime_error("cannot remove the stale socket " + socketPath.string() + ": " + errorText());
  // Made owner-only from the start: there is no moment in which others could connect.
  mode_t previous = ::umask(0177);
  int bound = withSocketAddress(socketPath, [&](const sockaddr *address, socklen_t size) {
    return ::bind(listener.get(), address, size);
  });
  int bindErrno = errno;
  ::umask(previous);
  if (bound != 0) throw std::runtime_error("cannot listen on " + socketPath.string() + ": " + std::strerror(bindErrno));
  if (::chmod(socketPath.c_str(), 0600) != 0 || ::listen(listener.get(), 8) != 0)
    throw std::runtime_error("cannot listen on " + socketPath.string() + ": " + errorText());
}

void ManagementChannel::Impl::poll() {
  // On the virtual clock five milliseconds of handheld time pass in a few microseconds: the
  // socket is looked at once per kPollInterval of wall time, not of handheld time, or a run is
  // spent mostly in accept (each call makes and frees a socket in the kernel).
  if (host.loop().mode() == EventLoop::Mode::Virtual) {
    auto now = std::chrono::steady_clock::now();
    if (now - lastLook < std::chrono::microseconds(kPollInterval)) return;
    lastLook = now;
  }
  for (std::size_t i = 0; i < connections.size();) {
    if (pump(connections[i]))
      ++i;
    else
      connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i));
  }
  // Newcomers after the requests already there have been served: a client between two of its
  // requests has just been answered, and is the last one to give way.
  std::size_t served = connections.size();
  for (;;) {
    int fd = ::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) break;
    if (connections.size() >= kMaxConnections) {
      // The table is full: the connection that has kept the handheld waiting longest gives way.
      auto oldest = std::min_element(connections.begin(), connections.begin() + static_cast<std::ptrdiff_t>(served),
                                     [](const Connection &a, const Connection &b) { return a.waitingSince < b.waitingSince; });
      if (served == 0 || oldest == connections.begin() + static_cast<std::ptrdiff_t>(served)) {
        ::close(fd);
        continue;
      }
      connections.erase(oldest);
      --served;
    }
    connections.push_back(Connection{Fd(fd), {}, {}, false});
  }
}

bool ManagementChannel::Impl::pump(Connection &c) {
  const auto now = std::chrono::steady_clock::now();
  bool peerDone = false;
  // Read no further ahead than one message while answers wait to be written.
  while (!c.closing && c.reader.buffered() < kMaxPayload + 4 && c.outbox.size() < kMaxOutbox) {
    std::uint8_t buffer[16384];
    ssize_t n = ::recv(c.fd.get(), buffer, sizeof buffer, 0);
    if (n > 0) {
      // Bytes alone do not count: a request trickled in a byte at a time still has its deadline.
      c.reader.feed(std::span(buffer, static_cast<std::size_t>(n)));
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) peerDone = true;
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  while (!c.closing && c.outbox.size() < kMaxOutbox) {
    auto payload = c.reader.next();
    if (!payload) break;
    auto message = encode(serve(*payload));
    c.outbox.insert(c.outbox.end(), message.begin(), message.end());
    c.waitingSince = now;
  }
  if (c.reader.broken() && !c.closing) {
    auto message = encode(Answer{ErrorAnswer{"malformed request: a message claims more than " +
                                             std::to_string(kMaxPayload) + " bytes; the connection is closed"}});
    c.outbox.insert(c.outbox.end(), message.begin(), message.end());
    c.closing = true;
  }
  while (!c.outbox.empty()) {
    ssize_t n = ::send(c.fd.get(), c.outbox.data(), c.outbox.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c.outbox.erase(c.outbox.begin(), c.outbox.begin() + n);
      c.waitingSince = now;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    return false;  // the peer is gone
  }
  if (c.outbox.empty() && (c.closing || peerDone)) return false;
  return now - c.waitingSince < kRequestDeadline;
}

ndis::Adapter &ManagementChannel::Impl::adapterFor(const std::string &name) const {
  if (!socket.occupied()) throw std::runtime_error("the card is out: no adapter runs (handheld card insert puts it back)");
  auto instances = socket.instances();
  for (const auto &instance : instances) {
    if (!name.empty() && instance != name) continue;
    if (ndis::Adapter *adapter = socket.adapter(instance)) return *adapter;
    if (!name.empty()) throw std::runtime_error(instance + " is not running");
  }
  if (!name.empty()) throw std::runtime_error("the card has no adapter " + name + " (it has " + joined(instances, ", ") + ")");
  throw std::runtime_error("no adapter of the card is running");
}

Answer ManagementChannel::Impl::query(const QueryRequest &q) {
  ndis::Adapter &adapter = adapterFor(q.adapter);
  std::vector<std::uint8_t> buffer(q.length, 0);
  std::copy(q.bytes.begin(), q.bytes.end(), buffer.begin());
  auto r = adapter.queryInformation(q.oid, buffer);
  buffer.resize(std::min<std::size_t>(r.bytesDone, buffer.size()));
  return InformationAnswer{adapter.name(), static_cast<std::uint32_t>(r.status), r.bytesDone, r.bytesNeeded, std::move(buffer)};
}

Answer ManagementChannel::Impl::set(const SetRequest &s) {
  ndis::Adapter &adapter = adapterFor(s.adapter);
  // The driver works on the request's own buffer; what it writes back (a command's status and
  // responses, a MIB record's status) goes back to the caller with the answer.
  std::vector<std::uint8_t> buffer = s.bytes;
  auto r = adapter.setInformationInPlace(s.oid, buffer);
  return InformationAnswer{adapter.name(), static_cast<std::uint32_t>(r.status), r.bytesDone, r.bytesNeeded,
                           std::move(buffer)};
}

std::string ManagementChannel::Impl::eject(bool &ok) {
  if (beforeEject) beforeEject();
  pccard::RemoveReport removed = socket.remove();
  for (const auto &left : removed.leftovers) problems.push_back("after an eject: " + left);
  ok = removed.clean();
  std::string text = "card ejected";
  if (!removed.halted.empty()) text += ": " + joined(removed.halted, ", ") + " halted";
  return text + (removed.clean() ? ", nothing left held" : "; still held: " + joined(removed.leftovers, "; "));
}

std::string ManagementChannel::Impl::insert(bool &ok) {
  lastInsert = socket.insert(card);
  ok = lastInsert.ok();
  std::vector<std::string> parts;
  for (const auto &instance : lastInsert.instances) {
    if (instance.status == NDIS_STATUS_SUCCESS)
      parts.push_back(instance.name + " up");
    else if (instance.initialized)
      parts.push_back(instance.name + " did not come up (MiniportInitialize returned " + hex32(instance.status) + ")");
    else
      parts.push_back(instance.name + " was not started");
  }
  for (const auto &error : lastInsert.errors) parts.push_back(error);
  std::string text = "card inserted" + (parts.empty() ? std::string() : ": " + joined(parts, "; "));
  if (!ok) problems.push_back("a card inserted on request did not come up: " + joined(parts, "; "));
  return text;
}

Answer ManagementChannel::Impl::changeCard(CardAction action) {
  bool ok = true;
  std::string text;
  if (action == CardAction::Eject || action == CardAction::Reinsert) {
    if (socket.occupied()) {
      text = eject(ok);
    } else if (action == CardAction::Eject) {
      return CardAnswer{false, "the card is out already"};
    }
  }
  if (action == CardAction::Insert || action == CardAction::Reinsert) {
    if (socket.occupied()) return CardAnswer{false, "a card is in the socket already (handheld card reinsert)"};
    bool inserted = false;
    std::string more = insert(inserted);
    text += (text.empty() ? "" : "; ") + more;
    ok = ok && inserted;
  }
  return CardAnswer{ok, text};
}

Answer ManagementChannel::Impl::status() const {
  StatusAnswer a;
  a.cardIn = socket.occupied();
  a.uptime = host.loop().now();
  for (const auto &name : socket.instances()) {
    if (a.instances.size() == kMaxInstances) break;
    InstanceState state;
    state.name = name;
    state.running = socket.adapter(name) != nullptr;
    for (const auto &report : lastInsert.instances) {
      if (report.name != name) continue;
      state.initializeStatus = report.status;
      state.ioBase = report.ioBase;
      state.interrupt = report.interrupt;
    }
    a.instances.push_back(std::move(state));
  }
  const auto &log = host.errorLog();
  a.errorLogTotal = static_cast<std::uint32_t>(log.size());
  for (std::size_t i = log.size() > kMaxErrorLogLines ? log.size() - kMaxErrorLogLines : 0; i < log.size(); ++i) {
    ErrorLogLine line{log[i].adapter, log[i].code, {}, log[i].time};
    for (std::size_t v = 0; v < log[i].values.size() && v < kMaxLogValues; ++v) line.values.push_back(log[i].values[v]);
    a.errorLog.push_back(std::move(line));
  }
  return a;
}

Answer ManagementChannel::Impl::serve(const Request &request) {
  try {
    return std::visit(
        [this](const auto &r) -> Answer {
          using T = std::decay_t<decltype(r)>;
          if constexpr (std::is_same_v<T, QueryRequest>) return query(r);
          else if constexpr (std::is_same_v<T, SetRequest>) return set(r);
          else if constexpr (std::is_same_v<T, CardRequest>) return changeCard(r.action);
          else return status();
        },
        request);
  } catch (const std::exception &e) {
    return ErrorAnswer{e.what()};
  }
}

Answer ManagementChannel::Impl::serve(std::span<const std::uint8_t> payload) {
  auto parsed = parseRequest(payload);
  if (auto *bad = std::get_if<Malformed>(&parsed)) return ErrorAnswer{"malformed request: " + bad->why};
  return serve(std::get<Request>(parsed));
}

ManagementChannel::ManagementChannel(const fs::path &root, ndis::Host &host, pccard::Socket &socket, pccard::Card card)
    : impl_(std::make_unique<Impl>(host, socket, std::move(card))) {
  impl_->own(root);
  impl_->listen();
  impl_->schedule();
}

ManagementChannel::~ManagementChannel() {
  impl_->host.loop().cancel(impl_->pollTask);
  impl_->connections.clear();
  impl_->listener.reset();
  ::unlink(impl_->socketPath.c_str());
}

void ManagementChannel::inserted(const pccard::InsertReport &report) { impl_->lastInsert = report; }
void ManagementChannel::setBeforeEject(std::function<void()> hook) { impl_->beforeEject = std::move(hook); }
const std::vector<std::string> &ManagementChannel::problems() const { return impl_->problems; }

Answer ManagementChannel::serve(const Request &request) { return impl_->serve(request); }
Answer ManagementChannel::serve(std::span<const std::uint8_t> payload) { return impl_->serve(payload); }

}  // namespace teskel::handheld::mgmt
