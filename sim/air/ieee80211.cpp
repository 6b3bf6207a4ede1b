// 802.11 frames as the world's stations build and read them: headers, beacon bodies and their
// elements, WEP, and the LLC/SNAP encapsulation of Ethernet frames.
#include <algorithm>

#include "air_impl.h"

namespace teskel::sim::air {

namespace {

constexpr std::uint8_t kElemSsid = 0, kElemRates = 1, kElemDs = 3, kElemTim = 5, kElemIbss = 6;
const std::uint8_t kSnap[6] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00};

// Walks the information elements from `at`; calls fn(id, value) for each whole one.
template <typename F>
void elements(std::span<const std::uint8_t> body, std::size_t at, F fn) {
  while (at + 2 <= body.size()) {
    const std::size_t n = body[at + 1];
    if (at + 2 + n > body.size()) return;
    fn(body[at], body.subspan(at + 2, n));
    at += 2 + n;
  }
}

}  // namespace

Micros airtimeOf(std::size_t macBytes, int rate500k) {
  if (rate500k <= 0) rate500k = phy::kRate2M;
  // Bits at the rate, rounded up to the microsecond.
  const auto bits = static_cast<Micros>(macBytes + phy::kFcs) * 8;
  const auto halfMbit = static_cast<Micros>(rate500k);
  return phy::kPreamble + (bits * 2 + halfMbit - 1) / halfMbit;
}

Bytes header(std::uint16_t frameControl, const Mac &a1, const Mac &a2, const Mac &a3) {
  Bytes h;
  h.reserve(24);
  put16(h, frameControl);
  put16(h, 0);
  h.insert(h.end(), a1.begin(), a1.end());
  h.insert(h.end(), a2.begin(), a2.end());
  h.insert(h.end(), a3.begin(), a3.end());
  put16(h, 0);
  return h;
}

Bytes beaconBody(std::uint64_t timestamp, std::uint16_t capability, const std::string &ssid, int channel) {
  Bytes b;
  b.reserve(64);
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(timestamp >> (8 * i)));
  put16(b, 100);
  put16(b, capability);
  b.push_back(kElemSsid);
  b.push_back(static_cast<std::uint8_t>(std::min<std::size_t>(ssid.size(), 32)));
  b.insert(b.end(), ssid.begin(), ssid.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(ssid.size(), 32)));
  b.insert(b.end(), {kElemRates, 2, 0x82, 0x84, kElemDs, 1, static_cast<std::uint8_t>(channel)});
  return b;
}

void appendTim(Bytes &body, const std::vector<std::uint16_t> &aids, bool groupBuffered) {
  // The partial virtual bitmap from octet 0 (offset 0) to the octet of the highest id.
  std::uint16_t highest = 0;
  for (auto aid : aids) highest = std::max(highest, aid);
  const std::size_t octets = highest / 8u + 1u;
  body.push_back(kElemTim);
  body.push_back(static_cast<std::uint8_t>(3 + octets));
  body.push_back(0);  // DTIM count: every beacon is a DTIM beacon
  body.push_back(1);  // DTIM period
  body.push_back(groupBuffered ? 1 : 0);
  const std::size_t at = body.size();
  body.resize(at + octets, 0);
  for (auto aid : aids) body[at + aid / 8u] |= static_cast<std::uint8_t>(1u << (aid % 8u));
}

void appendIbssParameters(Bytes &body, std::uint16_t atimWindow) {
  body.push_back(kElemIbss);
  body.push_back(2);
  put16(body, atimWindow);
}

ManagementInfo parseBeaconBody(std::span<const std::uint8_t> body) {
  ManagementInfo info;
  if (body.size() < 12) return info;
  for (int i = 7; i >= 0; --i) info.timestamp = (info.timestamp << 8) | body[static_cast<std::size_t>(i)];
  info.capability = get16(body, 10);
  elements(body, 12, [&](std::uint8_t id, std::span<const std::uint8_t> v) {
    if (id == kElemSsid && !info.ssid) info.ssid = std::string(v.begin(), v.end());
    if (id == kElemDs && v.size() == 1) info.channel = v[0];
  });
  return info;
}

std::optional<std::string> parseProbeSsid(std::span<const std::uint8_t> body) {
  std::optional<std::string> ssid;
  elements(body, 0, [&](std::uint8_t id, std::span<const std::uint8_t> v) {
    if (id == kElemSsid && !ssid) ssid = std::string(v.begin(), v.end());
  });
  return ssid;
}

std::uint32_t crc32(std::span<const std::uint8_t> data) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::uint8_t byte : data) {
    c ^= byte;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

void rc4(std::span<const std::uint8_t> key, std::span<std::uint8_t> data) {
  std::uint8_t s[256];
  for (int i = 0; i < 256; ++i) s[i] = static_cast<std::uint8_t>(i);
  for (std::size_t i = 0, j = 0; i < 256; ++i) {
    j = (j + s[i] + key[i % key.size()]) & 0xFF;
    std::swap(s[i], s[j]);
  }
  for (std::size_t k = 0, i = 0, j = 0; k < data.size(); ++k) {
    i = (i + 1) & 0xFF;
    j = (j + s[i]) & 0xFF;
    std::swap(s[i], s[j]);
    data[k] ^= s[(s[i] + s[j]) & 0xFF];
  }
}

Bytes wepEncrypt(const std::array<std::uint8_t, 5> &key, std::uint32_t iv, unsigned keyId,
                 std::span<const std::uint8_t> body) {
  std::uint8_t seed[8] = {static_cast<std::uint8_t>(iv >> 16), static_cast<std::uint8_t>(iv >> 8),
                          static_cast<std::uint8_t>(iv)};
  std::copy(key.begin(), key.end(), seed + 3);
  Bytes out(4 + body.size() + 4);
  std::copy(seed, seed + 3, out.begin());
  out[3] = static_cast<std::uint8_t>((keyId & 3) << 6);
  std::copy(body.begin(), body.end(), out.begin() + 4);
  out.resize(4 + body.size());
  const std::uint32_t icv = crc32(body);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(icv >> (8 * i)));
  rc4(seed, std::span<std::uint8_t>(out).subspan(4));
  return out;
}

std::optional<Bytes> wepDecrypt(const std::array<std::uint8_t, 5> &key, std::span<const std::uint8_t> body) {
  if (body.size() < 8) return std::nullopt;
  std::uint8_t seed[8] = {body[0], body[1], body[2]};
  std::copy(key.begin(), key.end(), seed + 3);
  Bytes plain(body.begin() + 4, body.end());
  rc4(seed, plain);
  const std::size_t n = plain.size() - 4;
  std::uint32_t icv = 0;
  for (int i = 0; i < 4; ++i) icv |= static_cast<std::uint32_t>(plain[n + static_cast<std::size_t>(i)]) << (8 * i);
  if (crc32(std::span<const std::uint8_t>(plain.data(), n)) != icv) return std::nullopt;
  plain.resize(n);
  return plain;
}

std::optional<EtherFrame> fromSnap(const Mac &destination, const Mac &source, std::span<const std::uint8_t> body) {
  if (body.size() < 8 || !std::equal(kSnap, kSnap + 6, body.begin())) return std::nullopt;
  EtherFrame f;
  f.destination = destination;
  f.source = source;
  f.type = static_cast<std::uint16_t>((body[6] << 8) | body[7]);
  f.payload.assign(body.begin() + 8, body.end());
  return f;
}

Bytes toSnap(const EtherFrame &frame) {
  Bytes b(kSnap, kSnap + 6);
  b.push_back(static_cast<std::uint8_t>(frame.type >> 8));
  b.push_back(static_cast<std::uint8_t>(frame.type));
  b.insert(b.end(), frame.payload.begin(), frame.payload.end());
  return b;
}

}  // namespace teskel::sim::air
