// The controller's memory: RAM with the download buffer, non-volatile memory kept in a file,
// production data, the key-guarded auxiliary port and the program cycle.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "controller_impl.h"

namespace teskel::sim {

using namespace hw;

namespace {
constexpr std::uint16_t kHardwareVersion = 0x0102;
constexpr std::uint16_t kRegulatoryDomain = 0x0010;

bool inRam(std::uint32_t a) { return a >= kRamBase && a < kRamBase + kRamSize; }
bool inNv(std::uint32_t a) { return a >= kNvBase && a < kNvBase + kNvSize; }
}  // namespace

// ---------------------------------------------------------------------------------------------
// Non-volatile memory.

void Controller::Impl::initNonVolatile() {
  nv.assign(kNvSize, 0xFF);
  if (!options.nvPath.empty()) {
    std::ifstream in(options.nvPath, std::ios::binary);
    if (in) {
      in.read(reinterpret_cast<char *>(nv.data()), static_cast<std::streamsize>(nv.size()));
      const auto got = in.gcount();
      const bool longer = in.peek() != std::char_traits<char>::eof();
      if (got != static_cast<std::streamsize>(kNvSize) || longer)
        throw std::runtime_error("controller memory file " + options.nvPath + " is not " + std::to_string(kNvSize) +
                                 " bytes long; remove it to start with fresh production data");
      return;
    }
  }
  // A new card: erased memory with its production data.
  MacAddress mac = options.stationAddress.value_or(
      MacAddress{0x02, 0x54, 0x4B, static_cast<std::uint8_t>(options.serial >> 16),
                 static_cast<std::uint8_t>(options.serial >> 8), static_cast<std::uint8_t>(options.serial)});
  const std::size_t pd = kProductionData - kNvBase;
  putLe16(nv, pd, 1);
  std::copy(mac.begin(), mac.end(), nv.begin() + pd + 2);
  char serial[16];
  std::snprintf(serial, sizeof serial, "TK%010u", options.serial % 1000000000u);
  std::memcpy(&nv[pd + 8], serial, 12);
  putLe16(nv, pd + 20, kHardwareVersion);
  putLe16(nv, pd + 22, kRegulatoryDomain);
  if (!options.nvPath.empty()) saveNonVolatile();
}

void Controller::Impl::saveNonVolatile() {
  if (options.nvPath.empty()) return;
  // Write beside the file and rename, so a crash never leaves half a memory image.
  const std::string tmp = options.nvPath + ".new";
  {
    // The card's memory file is its user's alone, like everything in the handheld's root folder.
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot write controller memory file " + tmp + ": " + std::strerror(errno));
    std::size_t done = 0;
    while (done < nv.size()) {
      ssize_t n = ::write(fd, nv.data() + done, nv.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    int saved = errno;
    ::close(fd);
    if (done != nv.size())
      throw std::runtime_error("cannot write controller memory file " + tmp + ": " + std::strerror(saved ? saved : EIO));
  }
  if (std::rename(tmp.c_str(), options.nvPath.c_str()) != 0)
    throw std::runtime_error("cannot replace controller memory file " + options.nvPath + ": " + std::strerror(errno));
}

std::uint8_t Controller::Impl::memoryByte(std::uint32_t a) const {
  if (inRam(a)) return ram[a - kRamBase];
  if (inNv(a)) return nv[a - kNvBase];
  return 0xFF;
}

// ---------------------------------------------------------------------------------------------
// Auxiliary port.

void Controller::Impl::settleControl() {
  if ((control == kControlEnable || control == kControlDisable) && loop.now() >= controlAt &&
      !fault(Fault::Kind::AuxStuck))
    control = controlTarget;
}

void Controller::Impl::writeControl(std::uint16_t value) {
  if (param[0] != kAuxKey0 || param[1] != kAuxKey1 || param[2] != kAuxKey2) {
    violate("aux-no-key", "control write 0x%04X without the key in the parameter registers", value);
    return;
  }
  settleControl();
  if (value == kControlEnable) {
    controlTarget = kControlEnabled;
  } else if (value == kControlDisable) {
    controlTarget = kControlDisabled;
  } else {
    violate("control-bad-value", "control write 0x%04X is neither enable nor disable", value);
    return;
  }
  control = value;
  controlAt = loop.now() + kControlChangeUs;
}

std::uint16_t Controller::Impl::auxRead() {
  settleControl();
  if (control != kControlEnabled) return 0xFFFF;
  std::uint16_t v = static_cast<std::uint16_t>(memoryByte(auxAddress) | (memoryByte(auxAddress + 1) << 8));
  auxAddress += 2;
  return v;
}

void Controller::Impl::auxWrite(std::uint16_t value) {
  settleControl();
  if (control != kControlEnabled) return;
  // Only RAM takes direct writes; non-volatile memory changes through a program cycle.
  for (std::uint32_t i = 0; i < 2; ++i) {
    const std::uint32_t a = auxAddress + i;
    if (inRam(a)) ram[a - kRamBase] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  auxAddress += 2;
}

std::uint8_t Controller::Impl::auxRead8() {
  settleControl();
  if (control != kControlEnabled) return 0xFF;
  return memoryByte(auxAddress++);
}

void Controller::Impl::auxWrite8(std::uint8_t value) {
  settleControl();
  if (control != kControlEnabled) return;
  if (inRam(auxAddress)) ram[auxAddress - kRamBase] = value;
  ++auxAddress;
}

// ---------------------------------------------------------------------------------------------
// Program cycle.

Controller::Impl::Outcome Controller::Impl::cmdProgramBegin(const std::array<std::uint16_t, 3> &p) {
  const std::uint32_t address = p[0] | (static_cast<std::uint32_t>(p[1]) << 16);
  const std::uint32_t length = p[2];
  Outcome o;
  o.resp = p;
  if (length == 0 || length > kDownloadBufferSize || !inNv(address) || !inNv(address + length - 1)) {
    programArmed.reset();
    o.result = kResultBadParameter;
    return o;
  }
  programArmed = std::make_pair(address, length);
  return o;
}

Controller::Impl::Outcome Controller::Impl::cmdProgramCommit() {
  Outcome o;
  if (!programArmed) {
    o.result = kResultBadParameter;
    return o;
  }
  auto [address, length] = *programArmed;
  programArmed.reset();
  const std::vector<std::uint8_t> before = nv;
  std::copy(ram.begin() + (kDownloadBuffer - kRamBase), ram.begin() + (kDownloadBuffer - kRamBase) + length,
            nv.begin() + (address - kNvBase));
  try {
    saveNonVolatile();
  } catch (const std::exception &e) {
    // A program cycle that cannot reach the memory fails as the hardware would, and says why.
    std::fprintf(stderr, "controller: program cycle failed: %s\n", e.what());
    nv = before;
    o.result = kResultBadParameter;
  }
  return o;
}

}  // namespace teskel::sim
