// The pcap capture of the air: radiotap-headed 802.11 frames written through libpcap.
#include "teskel/capture.h"

#include <pcap/pcap.h>

#include <stdexcept>
#include <string>

namespace teskel::sim::air {
namespace {

// Radiotap present bits of the fields written, in the order the format lays them out.
constexpr std::uint32_t kFlags = 1u << 1, kRate = 1u << 2, kChannel = 1u << 3, kDbSignal = 1u << 12,
                        kDbNoise = 1u << 13;
constexpr std::uint8_t kFlagWep = 0x04, kFlagBadFcs = 0x40;
constexpr std::uint16_t kChannel2Ghz = 0x0080, kChannelCck = 0x0020;
constexpr std::uint8_t kProtectedBit = 0x40;  // in the second frame control byte
constexpr int kSnapLength = 65535;

void put16(std::vector<std::uint8_t> &out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

std::uint8_t level(int value) { return static_cast<std::uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value); }

}  // namespace

int channelFrequency(int channel) {
  if (channel == 14) return 2484;
  return 2407 + 5 * channel;
}

std::vector<std::uint8_t> radiotapHeader(const AirFrame &frame) {
  std::vector<std::uint8_t> h;
  h.reserve(16);
  h.push_back(0);  // version
  h.push_back(0);  // pad
  put16(h, 16);    // length, patched below should the layout change
  std::uint32_t present = kFlags | kRate | kChannel | kDbSignal | kDbNoise;
  for (int i = 0; i < 4; ++i) h.push_back(static_cast<std::uint8_t>(present >> (8 * i)));
  bool isProtected = frame.bytes.size() > 1 && (frame.bytes[1] & kProtectedBit);
  // No FCS-at-end flag: the frames carry none.
  h.push_back(static_cast<std::uint8_t>((isProtected ? kFlagWep : 0) | (frame.damaged ? kFlagBadFcs : 0)));
  h.push_back(level(frame.rate500k));
  put16(h, static_cast<std::uint16_t>(channelFrequency(frame.channel)));  // offset 10: aligned
  put16(h, kChannel2Ghz | kChannelCck);
  h.push_back(level(frame.signal));
  h.push_back(level(frame.noise));
  h[2] = static_cast<std::uint8_t>(h.size());
  h[3] = static_cast<std::uint8_t>(h.size() >> 8);
  return h;
}

struct Capture::Handles {
  pcap_t *pcap = nullptr;
  pcap_dumper_t *dumper = nullptr;
  ~Handles() {
    if (dumper) pcap_dump_close(dumper);
    if (pcap) pcap_close(pcap);
  }
};

Capture::Capture(const std::filesystem::path &path, std::uint64_t timeBase)
    : path_(path), handles_(std::make_unique<Handles>()), timeBase_(timeBase) {
  handles_->pcap = pcap_open_dead(DLT_IEEE802_11_RADIO, kSnapLength);
  if (!handles_->pcap) throw std::runtime_error("cannot start a capture for " + path.string());
  handles_->dumper = pcap_dump_open(handles_->pcap, path.c_str());
  if (!handles_->dumper)
    throw std::runtime_error("cannot write the capture " + path.string() + ": " + pcap_geterr(handles_->pcap));
}

Capture::~Capture() = default;

void Capture::write(const AirFrame &frame) {
  std::vector<std::uint8_t> record = radiotapHeader(frame);
  record.insert(record.end(), frame.bytes.begin(), frame.bytes.end());
  pcap_pkthdr header{};
  const std::uint64_t at = timeBase_ + frame.start;
  header.ts.tv_sec = static_cast<time_t>(at / 1000000);
  header.ts.tv_usec = static_cast<suseconds_t>(at % 1000000);
  header.caplen = header.len = static_cast<bpf_u_int32>(record.size());
  if (header.caplen > kSnapLength) header.caplen = kSnapLength;
  pcap_dump(reinterpret_cast<u_char *>(handles_->dumper), &header, record.data());
  ++frames_;
}

void Capture::flush() {
  if (pcap_dump_flush(handles_->dumper) != 0) throw std::runtime_error("cannot write the capture " + path_.string());
}

Medium::Observer Capture::observer() {
  return [this](const AirFrame &frame) { write(frame); };
}

}  // namespace teskel::sim::air
