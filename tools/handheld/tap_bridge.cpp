// The TAP bridge: frames between a Linux TAP device and the adapter; the carrier by media state.
#include "tap_bridge.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace teskel::handheld {
namespace {

// The general request a protocol asks for the link (NDIS_MEDIA_STATE in 4 bytes).
constexpr NDIS_OID kOidGenMediaConnectStatus = 0x00010114;
constexpr Micros kPollInterval = 1000;
constexpr Micros kMediaInterval = 200000;
// More frames than this with the adapter and the kernel's next ones are dropped, as a NIC's
// full transmit ring drops them; the kernel's stack copes.
constexpr std::size_t kMaxOutstanding = 64;
constexpr std::size_t kMaxFrame = 1514;

std::string hex32(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

}  // namespace

TapBridge::TapBridge(EventLoop &loop, ndis::Adapter &adapter, const std::string &name, const sim::air::Mac &station,
                     std::function<void(const std::string &)> say)
    : loop_(loop), name_(name), say_(std::move(say)) {
  if (loop_.mode() != EventLoop::Mode::Wall) throw std::runtime_error("--tap needs the wall clock (leave out --virtual)");
  if (name.empty() || name.size() >= IFNAMSIZ)
    throw std::runtime_error("--tap " + name + ": a device name has 1 to " + std::to_string(IFNAMSIZ - 1) + " characters");
  fd_ = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    int e = errno;
    if (e == ENOENT || e == ENODEV || e == ENXIO)
      throw std::runtime_error("--tap " + name + ": /dev/net/tun is missing (no TUN/TAP support here)");
    if (e == EACCES || e == EPERM)
      throw std::runtime_error("--tap " + name + ": no permission to open /dev/net/tun (run inside `unshare -rn` or as root)");
    throw std::runtime_error("--tap " + name + ": cannot open /dev/net/tun: " + std::strerror(e));
  }
  ifreq request{};
  request.ifr_flags = IFF_TAP | IFF_NO_PI;
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  ifreq address{};
  address.ifr_hwaddr.sa_family = 1;  // ARPHRD_ETHER
  std::memcpy(address.ifr_hwaddr.sa_data, station.data(), station.size());
  int carrierOff = 0;
  const char *step = nullptr;
  if (::ioctl(fd_, TUNSETIFF, &request) < 0) step = "create the TAP device";
  // The kernel must send from the card's own address: the access point answers only that one.
  else if (::ioctl(fd_, SIOCSIFHWADDR, &address) < 0) step = "give the TAP device the card's address";
  else if (::ioctl(fd_, TUNSETCARRIER, &carrierOff) < 0) step = "set the TAP device's carrier";
  if (step) {
    int e = errno;
    ::close(fd_);
    if (e == EPERM || e == EACCES)
      throw std::runtime_error("--tap " + name + ": no permission to " + step +
                               " (needs CAP_NET_ADMIN: run inside `unshare -rn` or as root)");
    throw std::runtime_error("--tap " + name + ": cannot " + step + ": " + std::strerror(e));
  }
  name_ = request.ifr_name;
  binding_ = std::make_unique<FrameBinding>(
      adapter,
      [this](std::span<const std::uint8_t> frame) {
        if (stopped_ || fd_ < 0) return;
        if (::write(fd_, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size())) ++counters_.fromAdapter;
        else ++counters_.dropped;
      },
      [this](NDIS_STATUS status, std::size_t) {
        if (status != NDIS_STATUS_SUCCESS) ++counters_.dropped;
      });
  say_("tap: " + name_ + " bridged to " + adapter.name());
  checkMedia();
  poll();
}

TapBridge::~TapBridge() {
  stop();
  binding_.reset();
  if (fd_ >= 0) ::close(fd_);
}

void TapBridge::stop() {
  if (stopped_) return;
  stopped_ = true;
  if (pollTask_) loop_.cancel(pollTask_);
  if (mediaTask_) loop_.cancel(mediaTask_);
  pollTask_ = mediaTask_ = 0;
  setCarrier(false);
  // The device goes with the descriptor, so that a bridge to the next card can take the name.
  ::close(fd_);
  fd_ = -1;
}

void TapBridge::setCarrier(bool on) {
  if (on == carrier_ || fd_ < 0) return;
  int value = on ? 1 : 0;
  if (::ioctl(fd_, TUNSETCARRIER, &value) == 0) {
    carrier_ = on;
    if (!stopped_) say_("tap: " + name_ + " carrier " + (on ? "on" : "off"));
  }
}

// Asked as a protocol asks: OID_GEN_MEDIA_CONNECT_STATUS, every 200 ms.
void TapBridge::checkMedia() {
  mediaTask_ = 0;
  if (stopped_) return;
  std::array<std::uint8_t, 4> state{};
  ndis::InformationResult r = binding_->adapter().queryInformation(kOidGenMediaConnectStatus, state);
  if (r.status == NDIS_STATUS_SUCCESS && r.bytesDone >= 4) {
    std::uint32_t value = state[0] | state[1] << 8 | state[2] << 16 | static_cast<std::uint32_t>(state[3]) << 24;
    setCarrier(value == NdisMediaStateConnected);
  } else {
    // An adapter that cannot say is taken as connected, so that the kernel sends at all.
    if (!mediaUnknownSaid_) {
      say_("tap: " + binding_->adapter().name() + " does not report its media state (OID_GEN_MEDIA_CONNECT_STATUS: " +
           hex32(r.status) + "); carrier on, connection unknown");
      mediaUnknownSaid_ = true;
    }
    setCarrier(true);
  }
  mediaTask_ = loop_.after(kMediaInterval, [this] { checkMedia(); });
}

void TapBridge::poll() {
  pollTask_ = 0;
  if (stopped_) return;
  std::uint8_t frame[2048];
  for (;;) {
    ssize_t n = ::read(fd_, frame, sizeof frame);
    if (n < 0) break;  // EAGAIN: nothing more now
    if (n < 14 || static_cast<std::size_t>(n) > kMaxFrame || binding_->outstanding() >= kMaxOutstanding) {
      ++counters_.dropped;
      continue;
    }
    binding_->send(std::span<const std::uint8_t>(frame, static_cast<std::size_t>(n)));
    ++counters_.toAdapter;
  }
  pollTask_ = loop_.after(kPollInterval, [this] { poll(); });
}

}  // namespace teskel::handheld
