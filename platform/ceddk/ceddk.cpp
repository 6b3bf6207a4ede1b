// The CEDDK port calls, routed over the current thread's port bus.
// A buffer at an odd address is moved byte by byte (and noted: the handheld cannot do that).
#include <ceddk.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "teskel/port_bus.h"

using teskel::ceddk::PortBus;

namespace {

PortBus &bus() {
  PortBus *b = teskel::ceddk::currentBus();
  if (!b) {
    std::fprintf(stderr, "ceddk: port access with no port bus on this thread\n");
    std::abort();
  }
  return *b;
}

std::uint32_t portNumber(const void *p) { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p)); }

bool oddAddress(const void *p) { return (reinterpret_cast<std::uintptr_t>(p) & 1) != 0; }

constexpr bool littleEndian = std::endian::native == std::endian::little;

}  // namespace

extern "C" {

USHORT READ_PORT_USHORT(PUSHORT Port) { return bus().read16(portNumber(Port)); }

VOID WRITE_PORT_USHORT(PUSHORT Port, USHORT Value) { bus().write16(portNumber(Port), Value); }

VOID READ_PORT_BUFFER_USHORT(PUSHORT Port, PUSHORT Buffer, ULONG Count) {
  if (Count == 0) return;
  PortBus &b = bus();
  if (!oddAddress(Buffer) && littleEndian) {
    // The words land in the caller's buffer as they come: this host stores them low byte first.
    b.readString16(portNumber(Port), Buffer, Count);
    return;
  }
  if (oddAddress(Buffer)) b.noteMisalignedString(false);
  std::vector<std::uint16_t> words(Count);
  b.readString16(portNumber(Port), words.data(), Count);
  auto *out = reinterpret_cast<unsigned char *>(Buffer);
  for (ULONG i = 0; i < Count; ++i) {
    out[2 * i] = static_cast<unsigned char>(words[i] & 0xFF);
    out[2 * i + 1] = static_cast<unsigned char>(words[i] >> 8);
  }
}

VOID WRITE_PORT_BUFFER_USHORT(PUSHORT Port, PUSHORT Buffer, ULONG Count) {
  if (Count == 0) return;
  PortBus &b = bus();
  if (!oddAddress(Buffer) && littleEndian) {
    b.writeString16(portNumber(Port), Buffer, Count);
    return;
  }
  if (oddAddress(Buffer)) b.noteMisalignedString(true);
  std::vector<std::uint16_t> words(Count);
  const auto *in = reinterpret_cast<const unsigned char *>(Buffer);
  for (ULONG i = 0; i < Count; ++i) words[i] = static_cast<std::uint16_t>(in[2 * i] | (in[2 * i + 1] << 8));
  b.writeString16(portNumber(Port), words.data(), Count);
}

UCHAR READ_PORT_UCHAR(PUCHAR Port) { return bus().read8(portNumber(Port)); }

VOID WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) { bus().write8(portNumber(Port), Value); }

}  // extern "C"
