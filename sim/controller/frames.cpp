// The controller's MAC frames: port state and link-status reports, the transmit pipeline (buffer
// -> 802.11 data frame -> coordination function -> buffer back), the receive pipeline (802.11
// data frame -> receive buffer), WEP.
#include <algorithm>

#include "controller_impl.h"

namespace teskel::sim {

using namespace hw;

namespace {

constexpr std::uint16_t kFcTypeMask = 0x000C;
constexpr std::uint16_t kFcTypeData = 0x0008;
constexpr std::uint16_t kFcSubtypeNoData = 0x0040;  // null-function style subtypes carry no body
constexpr std::uint16_t kFcToDs = 0x0100;
constexpr std::uint16_t kFcFromDs = 0x0200;
constexpr std::uint16_t kFcProtected = 0x4000;
constexpr std::size_t kHeader = 24;
constexpr std::uint16_t kFcPowerManagement = 0x1000;
constexpr std::uint8_t kRxRate = 20;          // 2 Mbit/s in units of 100 kbit/s

bool isConnectedStatus(std::uint16_t s) { return s == kPortAdHocJoined || s == kPortAssociated; }

const std::uint8_t kRfc1042[6] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00};
const std::uint8_t kTunnel[6] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0xF8};

}  // namespace

std::array<std::uint8_t, 5> Controller::Impl::wepKey(unsigned keyId) const {
  const auto &record = records.at(static_cast<std::uint16_t>(kRidWepKey1 + (keyId & 3))).data;
  std::array<std::uint8_t, 5> key{};
  std::copy_n(record.begin(), std::min(record.size(), key.size()), key.begin());
  return key;
}

void Controller::Impl::tally(unsigned index, std::uint32_t amount) {
  // 16-bit counters wrap; reports are what keeps them meaningful.
  talliesNow[index] = static_cast<std::uint16_t>(talliesNow[index] + amount);
}

bool Controller::Impl::connected() const { return enabled && isConnectedStatus(portStatusValue); }

// ---------------------------------------------------------------------------------------------
// Port state.

void Controller::Impl::setPortState(std::uint16_t st, const MacAddress &b, std::uint16_t channel, std::uint16_t q,
                                    std::uint16_t sig, std::uint16_t nse) {
  const std::uint16_t old = portStatusValue;
  portStatusValue = st;
  bssid = b;
  linkChannel = channel;
  quality = q;
  signal = sig;
  noise = nse;
  updateInterest();
  std::uint16_t code = 0;
  if (isConnectedStatus(st) && !isConnectedStatus(old))
    code = old == kPortOutOfRange ? kLinkBackInRange : kLinkConnected;
  else if (st == kPortOutOfRange && old != kPortOutOfRange)
    code = isConnectedStatus(old) ? kLinkOutOfRange : 0;
  else if (!isConnectedStatus(st) && st != kPortOutOfRange && (isConnectedStatus(old) || old == kPortOutOfRange))
    code = kLinkDisconnected;
  if (code && enabled) pushInfo(kInfoLinkStatus, {code});
}

// ---------------------------------------------------------------------------------------------
// Transmit.

Controller::Impl::Outcome Controller::Impl::cmdTransmit(const std::array<std::uint16_t, 3> &p) {
  const std::uint16_t fid = p[0];
  Outcome o;
  o.resp[0] = fid;
  auto it = buffers.find(fid);
  if (it == buffers.end() || it->second.kind != BufferKind::Transmit) {
    violate("transmit-bad-buffer", "transmit of 0x%04X, which is no transmit buffer", fid);
    o.result = kResultBadParameter;
    return o;
  }
  Buffer &b = it->second;
  if (b.tx != TxState::Held) {
    violate("transmit-bad-buffer", "transmit of buffer 0x%04X, which the controller still holds", fid);
    o.result = kResultBadParameter;
    return o;
  }
  b.tx = TxState::InFlight;
  const std::size_t length = b.bytes.size() >= kDescriptorSize ? be16(b.bytes, kDescLength8023) : 0;
  const bool fits = b.bytes.size() >= kDescriptorSize && kDescriptorSize + length <= b.bytes.size() &&
                    length <= kMaxBody;
  if (!fits || !connected() || !dcf) {
    // Dropped before the air; the buffer still comes back like any other.
    scheduleWork(kCommandUs, [this, fid] {
      tally(kTallyTxErrors);
      returnTransmitBuffer(fid, false);
    });
    return o;
  }
  // The buffer comes back when the frame was acknowledged (or, group-addressed, sent) or dropped
  // at the retry limit; the token names the buffer and the generation it belongs to.
  const std::uint64_t token = kTokenData | ((generation & 0xFFFFFFFFu) << 16) | fid;
  sendFrame(buildDataFrame(b.bytes, length), token);
  return o;
}

void Controller::Impl::transmitDone(std::uint16_t fid, const air::TxReport &report) {
  auto it = buffers.find(fid);
  if (it == buffers.end() || it->second.kind != BufferKind::Transmit) return;
  const std::vector<std::uint8_t> &b = it->second.bytes;
  const std::size_t length = be16(b, kDescLength8023);
  const bool group = (b[kDescDestination] & 1) != 0;
  if (report.deferred) tally(kTallyTxDeferred);
  const bool delivered = report.outcome == air::TxOutcome::Acknowledged || report.outcome == air::TxOutcome::Sent;
  if (!delivered || !connected()) {
    if (report.outcome == air::TxOutcome::Dropped) tally(kTallyTxRetryLimit);
    tally(kTallyTxErrors);
    returnTransmitBuffer(fid, false);
    return;
  }
  tally(group ? kTallyTxMulticastFrames : kTallyTxUnicastFrames);
  tally(group ? kTallyTxMulticastOctets : kTallyTxUnicastOctets, static_cast<std::uint32_t>(length));
  if (report.attempts == 2) tally(kTallyTxOneRetry);
  if (report.attempts > 2) tally(kTallyTxMultipleRetries);
  if (txListener) {
    TransmittedFrame tf;
    tf.fid = fid;
    tf.buffer.assign(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(kDescriptorSize + length));
    if (report.frame) tf.frame = *report.frame;
    tf.channel = static_cast<std::uint16_t>(linkChannel);
    tf.start = report.start;
    tf.end = report.end;
    tf.attempts = report.attempts;
    txListener(tf);
  }
  returnTransmitBuffer(fid, true);
}

std::vector<std::uint8_t> Controller::Impl::buildDataFrame(const std::vector<std::uint8_t> &buf, std::size_t length) {
  const std::uint16_t type = word(kRidPortType);
  const bool infrastructure = type != 0 && type != 3;
  const MacAddress self = stationAddress();
  const std::uint8_t *da = &buf[kDescDestination];
  std::vector<std::uint8_t> f(kHeader, 0);
  f.reserve(kHeader + length + 8);
  // Duration and sequence number are written as the frame leaves.
  std::uint16_t fc = kFcTypeData | (infrastructure ? kFcToDs : 0) | (powerSaving() ? kFcPowerManagement : 0);
  const std::uint8_t *a1 = infrastructure ? bssid.data() : da;
  const std::uint8_t *a3 = infrastructure ? da : bssid.data();
  std::copy(a1, a1 + 6, f.begin() + 4);
  std::copy(self.begin(), self.end(), f.begin() + 10);
  std::copy(a3, a3 + 6, f.begin() + 16);

  std::vector<std::uint8_t> body(buf.begin() + kDescriptorSize,
                                 buf.begin() + static_cast<std::ptrdiff_t>(kDescriptorSize + length));
  const std::uint16_t flags = word(kRidWepFlags);
  if (flags & 1) {
    const std::uint16_t keyId = word(kRidWepDefaultKeyId) & 3;
    body = air::wepEncrypt(wepKey(keyId), wepIv++ & 0xFFFFFF, keyId, body);
    fc |= kFcProtected;
  }
  putLe16(f, 0, fc);
  f.insert(f.end(), body.begin(), body.end());
  return f;
}

// The controller reads the body from the transmit buffer again for every attempt, so a retry
// carries the same plaintext under the next IV, with the key id its first attempt named.
void Controller::Impl::reencrypt(std::vector<std::uint8_t> &frame, std::uint64_t token) {
  if (frame.size() < kHeader + 4 || !(le16(frame, 0) & kFcProtected) || !(token & kTokenData) ||
      ((token >> 16) & 0xFFFFFFFFu) != (generation & 0xFFFFFFFFu))
    return;
  auto it = buffers.find(static_cast<std::uint16_t>(token & 0xFFFF));
  if (it == buffers.end() || it->second.kind != BufferKind::Transmit || it->second.tx != TxState::InFlight) return;
  const std::vector<std::uint8_t> &b = it->second.bytes;
  const std::size_t length = be16(b, kDescLength8023);
  if (kDescriptorSize + length > b.size()) return;
  const unsigned keyId = (frame[kHeader + 3] >> 6) & 3;
  const std::span<const std::uint8_t> body(b.data() + kDescriptorSize, length);
  const auto encrypted = air::wepEncrypt(wepKey(keyId), wepIv++ & 0xFFFFFF, keyId, body);
  frame.resize(kHeader);
  frame.insert(frame.end(), encrypted.begin(), encrypted.end());
}

// ---------------------------------------------------------------------------------------------
// Receive.

bool Controller::Impl::rxDropped(const std::vector<std::uint8_t> &frame) {
  const Fault *f = fault(Fault::Kind::RxDrop);
  if (!f || !f->count || frame.size() < 2 || (le16(frame, 0) & kFcTypeMask) != kFcTypeData) return false;
  rng = rng * 6364136223846793005ULL + 1442695040888963407ULL;
  return (rng >> 33) % 100 < *f->count;
}

ReceiveResult Controller::Impl::receive(const std::vector<std::uint8_t> &frame, int frameSignal) {
  if (!connected()) return ReceiveResult::NotConnected;
  if (frame.size() < kHeader) {
    tally(kTallyRxErrors);
    return ReceiveResult::Malformed;
  }
  const std::uint16_t fc = le16(frame, 0);
  if ((fc & kFcTypeMask) != kFcTypeData || (fc & kFcSubtypeNoData)) return ReceiveResult::NotData;
  const bool toDs = fc & kFcToDs, fromDs = fc & kFcFromDs;
  if (toDs) return ReceiveResult::NotForUs;  // addressed to a distribution system, not a station
  const std::uint8_t *da = &frame[4];
  const std::uint8_t *sa = fromDs ? &frame[16] : &frame[10];
  const std::uint8_t *frameBssid = fromDs ? &frame[10] : &frame[16];
  const bool promiscuous = word(kRidPromiscuous) != 0;
  const MacAddress self = stationAddress();
  const bool group = (da[0] & 1) != 0;
  if (!promiscuous) {
    const bool anyNetwork = word(kRidPortType) == 3;
    if (!anyNetwork && !std::equal(bssid.begin(), bssid.end(), frameBssid)) return ReceiveResult::NotForUs;
    if (!group && !std::equal(self.begin(), self.end(), da)) return ReceiveResult::NotForUs;
  }

  std::vector<std::uint8_t> body(frame.begin() + kHeader, frame.end());
  if (fc & kFcProtected) {
    // IV (3), key id byte, then RC4 over body and ICV.
    auto plain = body.size() < 4 ? std::nullopt : air::wepDecrypt(wepKey(body[3] >> 6), body);
    if (!plain) {
      tally(kTallyRxWepUndecryptable);
      return ReceiveResult::Undecryptable;
    }
    body = std::move(*plain);
  } else if (word(kRidWepFlags) & 2) {
    return ReceiveResult::Excluded;
  }
  if (body.size() > kMaxBody) {
    tally(kTallyRxErrors);
    return ReceiveResult::Malformed;
  }
  if (receiveBuffersHeld() >= kRxBufferCount) {
    tally(kTallyRxNoBuffer);
    return ReceiveResult::NoBuffer;
  }

  Buffer b;
  b.kind = BufferKind::Receive;
  b.bytes.assign(kRxBufferSize, 0);
  auto &d = b.bytes;
  std::uint16_t st = 0;
  if (body.size() >= 8 && std::equal(kRfc1042, kRfc1042 + 6, body.begin())) st |= kRxStatusRfc1042;
  if (body.size() >= 8 && std::equal(kTunnel, kTunnel + 6, body.begin())) st |= kRxStatusTunnel;
  putLe16(d, kDescStatus, st);
  const std::uint32_t t = static_cast<std::uint32_t>(loop.now());
  putLe16(d, 2, static_cast<std::uint16_t>(t));
  putLe16(d, 4, static_cast<std::uint16_t>(t >> 16));
  d[6] = static_cast<std::uint8_t>(noise);
  d[7] = static_cast<std::uint8_t>(frameSignal);
  d[8] = kRxRate;
  // Bytes 14..43: the 802.11 header as received (frame control to sequence control; no fourth
  // address since frames between distribution systems are not taken).
  std::copy(frame.begin(), frame.begin() + kHeader, d.begin() + kDescFrameControl);
  putLe16(d, kDescBodyLength, static_cast<std::uint16_t>(body.size()));
  std::copy(da, da + 6, d.begin() + kDescDestination);
  std::copy(sa, sa + 6, d.begin() + kDescSource);
  putBe16(d, kDescLength8023, static_cast<std::uint16_t>(body.size()));
  std::copy(body.begin(), body.end(), d.begin() + kDescriptorSize);

  tally(group ? kTallyRxMulticastFrames : kTallyRxUnicastFrames);
  tally(group ? kTallyRxMulticastOctets : kTallyRxUnicastOctets, static_cast<std::uint32_t>(body.size()));
  const std::uint16_t fid = newFid();
  buffers[fid] = std::move(b);
  rxWaiting.push_back(fid);
  presentNextRx();
  updateIrq();
  return ReceiveResult::Delivered;
}

const char *toString(ReceiveResult r) {
  switch (r) {
    case ReceiveResult::Delivered: return "delivered";
    case ReceiveResult::Lost: return "lost on the air";
    case ReceiveResult::NotConnected: return "port not connected";
    case ReceiveResult::NotForUs: return "not for this station";
    case ReceiveResult::NotData: return "not a data frame";
    case ReceiveResult::Malformed: return "malformed";
    case ReceiveResult::Undecryptable: return "undecryptable";
    case ReceiveResult::Excluded: return "unencrypted frame excluded";
    case ReceiveResult::NoBuffer: return "no receive buffer";
  }
  return "?";
}

}  // namespace teskel::sim
