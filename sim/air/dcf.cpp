// One station's distributed coordination function. Nothing here runs per slot: a backoff is
// counted arithmetically from the moment the medium last went idle for this station, one event
// is scheduled for the slot in which it ends, and a frame that starts on the channel freezes the
// count (cancelling that event) until the medium is idle again. A station with nothing to do and
// no backoff left to count does not follow the air at all: it hears what its station takes, and
// reads from the medium what it missed (the NAV, a damaged last frame) when it next has to send.
#include "teskel/dcf.h"

#include <algorithm>

#include "air_impl.h"

namespace teskel::sim::air {

using namespace phy;

namespace {

Micros ackAirtime(int rate500k) { return airtimeOf(kAckBytes, rate500k); }

bool isControl(std::uint16_t frameControl) { return (frameControl & fc::kTypeMask) == fc::kTypeControl; }

}  // namespace

Micros ackDuration(int rate500k) { return kSifs + ackAirtime(rate500k); }

Dcf::Dcf(EventLoop &loop, Medium &medium, Owner &owner, const Mac &address, std::uint64_t seed, int signal)
    : loop_(loop), medium_(medium), owner_(owner), address_(address), signal_(signal),
      rng_(seed ^ 0x6A09E667F3BCC909ULL) {}

Dcf::~Dcf() {
  cancelTask(txTask_);
  cancelTask(ackWaitTask_);
  cancelTask(ackTask_);
  cancelTask(respondTask_);
  medium_.tune(*this, 0);
}

std::uint64_t Dcf::random() {
  // splitmix64: small, seeded, and the same on every platform.
  std::uint64_t z = (rng_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

void Dcf::cancelTask(EventLoop::TaskId &task) {
  if (task) loop_.cancel(task);
  task = 0;
}

void Dcf::drawBackoff() {
  const unsigned cw = queue_.empty() ? kCwMin : queue_.front().cw;
  backoff_ = static_cast<int>(random() % (cw + 1));
}

void Dcf::tune(int channel) {
  if (channel == channel_) return;
  // An exchange under way on the old channel is abandoned; its frame is tried again on the new one.
  cancelTask(txTask_);
  cancelTask(ackWaitTask_);
  cancelTask(ackTask_);
  cancelTask(respondTask_);
  state_ = State::Ready;
  channel_ = channel;
  nav_ = 0;
  eifs_ = false;
  counting_ = false;
  notBefore_ = loop_.now();
  for (auto &p : queue_) p.immediate = false;
  medium_.tune(*this, channel);
  // New to the channel, it knows nothing of what went before and has nothing to catch up on.
  awake_ = true;
  if (channel_) medium_.listen(*this, interest());
  resume();
}

void Dcf::setAddress(const Mac &address) {
  address_ = address;
  if (channel_) medium_.listen(*this, interest());
}

void Dcf::takes(const Interest &wanted) {
  if (takes_ == wanted) return;
  takes_ = wanted;
  if (takes_.everything) wake();
  if (channel_) medium_.listen(*this, interest());
  settle();
}

Interest Dcf::interest() const {
  Interest i = takes_;
  i.address = address_;  // its own frames are acknowledged whatever the station takes
  i.everything = awake_ || takes_.everything;
  return i;
}

void Dcf::wake() {
  if (awake_) return;
  awake_ = true;
  if (!channel_) return;
  const Medium::Missed missed = medium_.catchUp(*this);
  nav_ = std::max(nav_, missed.nav);
  if (missed.damaged) eifs_ = *missed.damaged;
  medium_.listen(*this, interest());
  counting_ = false;
  startCounting();
}

void Dcf::settle() {
  if (!awake_ || !channel_ || takes_.everything || !queue_.empty() || state_ != State::Ready || txTask_ ||
      respondTask_)
    return;
  if (backoff_ > 0) {
    if (!counting_ || loop_.now() < origin_ + static_cast<Micros>(backoff_) * kSlot) return;
    backoff_ = 0;  // counted out in the idle time that has passed
  }
  awake_ = false;
  counting_ = false;
  medium_.listen(*this, interest());
}

void Dcf::send(std::vector<std::uint8_t> frame, std::uint64_t token, SendOptions options) {
  Pending p;
  const std::uint16_t control = frame.size() >= 2 ? get16(frame, 0) : 0;
  p.acknowledged = frame.size() >= 10 && !isControl(control) && !isGroup(macAt(frame, 4));
  p.bytes = std::move(frame);
  p.token = token;
  p.backoffSlots = options.backoffSlots;
  const bool inExchange = state_ != State::Ready;
  const bool wasEmpty = queue_.empty();
  if (options.front && !options.backoffSlots) {
    // A frame sent ahead of the others contends as a new frame does, whatever window the frame
    // it passes had come to.
    p.backoffSlots = static_cast<unsigned>(random() % (kCwMin + 1));
  }
  if ((options.front || options.immediate) && !queue_.empty()) {
    // Ahead of everything but an exchange under way, which finishes first; a frame it passes
    // keeps its retries' count and window.
    auto at = queue_.begin();
    if (inExchange) ++at;
    if (at == queue_.begin()) cancelTask(txTask_);
    p.immediate = options.immediate && at == queue_.begin() && !inExchange;
    queue_.insert(at, std::move(p));
  } else {
    p.immediate = options.immediate && !inExchange;
    queue_.push_back(std::move(p));
  }
  wake();
  Pending &head = queue_.front();
  if (head.immediate && !respondTask_ && channel_) {
    const Micros due = medium_.idleSince(channel_) + kSifs;
    respondTask_ = loop_.at(std::max(due, loop_.now()), [this, due] {
      respondTask_ = 0;
      if (!queue_.empty() && queue_.front().immediate && state_ == State::Ready) {
        cancelTask(txTask_);
        transmit(due);
      } else {
        resume();
      }
    }, EventLoop::Lane::Device);
    return;
  }
  if (wasEmpty && head.attempts == 0 && (medium_.busy(channel_) || nav_ > loop_.now())) head.deferred = true;
  scheduleTransmit();
}

bool Dcf::cancel(std::uint64_t token) {
  for (auto it = queue_.begin(); it != queue_.end(); ++it) {
    if (it->token != token) continue;
    if (it->attempts > 0 || (it == queue_.begin() && state_ != State::Ready)) return false;
    const bool head = it == queue_.begin();
    queue_.erase(it);
    if (head) {
      cancelTask(txTask_);
      scheduleTransmit();
    }
    settle();
    return true;
  }
  return false;
}

void Dcf::flush() {
  std::vector<TxReport> flushed;
  const bool keepHead = state_ != State::Ready;
  while (queue_.size() > (keepHead ? 1u : 0u)) {
    Pending &p = queue_.back();
    flushed.push_back({p.token, TxOutcome::Flushed, p.attempts, p.deferred, 0, 0, nullptr});
    queue_.pop_back();
  }
  if (!keepHead) cancelTask(txTask_);
  if (!keepHead) cancelTask(respondTask_);
  for (auto it = flushed.rbegin(); it != flushed.rend(); ++it) owner_.finished(*it);
  settle();
}

// ---------------------------------------------------------------------------------------------
// Carrier sense and the backoff count.

void Dcf::freeze(Micros at) {
  // A backoff that ends in this very slot is not stopped: the station sends too, and the two
  // frames collide.
  if (txTask_ && txAt_ == at) return;
  if (counting_) {
    if (backoff_ > 0 && at > origin_) {
      const auto elapsed = static_cast<int>(std::min<Micros>((at - origin_) / kSlot, static_cast<Micros>(backoff_)));
      backoff_ -= elapsed;
    }
    counting_ = false;
  }
  cancelTask(txTask_);
  if (!queue_.empty() && queue_.front().attempts == 0 && state_ == State::Ready) queue_.front().deferred = true;
  settle();
}

bool Dcf::startCounting() {
  if (!channel_ || state_ != State::Ready || counting_ || ackTask_ || respondTask_) return false;
  if (medium_.busy(channel_)) return false;
  const Micros idle = std::max(medium_.idleSince(channel_), nav_);
  origin_ = std::max(idle + (eifs_ ? kEifs : kDifs), notBefore_);
  counting_ = true;
  return true;
}

void Dcf::resume() {
  if (!awake_) return;  // it catches up when it wakes
  if (startCounting()) scheduleTransmit();
  settle();
}

void Dcf::scheduleTransmit() {
  if (queue_.empty() || state_ != State::Ready || !counting_ || txTask_ || respondTask_ || !channel_) return;
  Pending &head = queue_.front();
  if (head.backoffSlots) {
    // The delay replaces what is left of the count, from now.
    origin_ = std::max(origin_, loop_.now());
    backoff_ = static_cast<int>(*head.backoffSlots);
    head.backoffSlots.reset();
  }
  if (backoff_ < 0) drawBackoff();
  txAt_ = std::max(origin_ + static_cast<Micros>(backoff_) * kSlot, loop_.now());
  txTask_ = loop_.at(txAt_, [this] {
    txTask_ = 0;
    transmit();
  }, EventLoop::Lane::Device);
}

// ---------------------------------------------------------------------------------------------
// Sending.

void Dcf::transmit(std::optional<Micros> due) {
  if (queue_.empty() || !channel_) return;
  Pending &p = queue_.front();
  const Micros now = due ? std::min(*due, loop_.now()) : loop_.now();
  const std::uint16_t control = get16(p.bytes, 0);
  if (p.attempts == 0) {
    if (!isControl(control)) {
      if (p.bytes.size() >= 4) put16At(p.bytes, 2, static_cast<std::uint16_t>(p.acknowledged ? ackDuration() : 0));
      if (p.bytes.size() >= 24) {
        put16At(p.bytes, 22, static_cast<std::uint16_t>(sequence_ << 4));
        sequence_ = static_cast<std::uint16_t>((sequence_ + 1) & 0x0FFF);
      }
    }
    owner_.stamp(p.bytes, now);
  } else {
    put16At(p.bytes, 0, static_cast<std::uint16_t>(control | fc::kRetry));
    owner_.retrying(p.bytes, p.token);
  }
  p.immediate = false;
  ++p.attempts;
  counting_ = false;
  backoff_ = -1;  // spent: a new one is drawn when the exchange is over
  state_ = State::Transmitting;
  AirFrame f;
  f.bytes = p.bytes;
  f.rate500k = kRate2M;
  f.signal = signal_;
  lastStart_ = medium_.sendAt(*this, std::move(f), now);
}

void Dcf::sent(const AirFrame &frame) {
  if (state_ == State::Transmitting && frame.start == lastStart_ && !queue_.empty()) {
    if (!queue_.front().acknowledged) return complete(TxOutcome::Sent);
    state_ = State::AwaitingAck;
    ackWaitTask_ = loop_.at(frame.start + frame.airtime + kSifs + ackAirtime(frame.rate500k) + kSlot, [this] {
      ackWaitTask_ = 0;
      ackTimeout();
    }, EventLoop::Lane::Device);
    return;
  }
  resume();
}

void Dcf::ackTimeout() {
  state_ = State::Ready;
  if (queue_.empty()) return resume();
  Pending &p = queue_.front();
  if (p.attempts >= kRetryLimit) return complete(TxOutcome::Dropped);
  p.cw = std::min(2 * p.cw + 1, kCwMax);
  drawBackoff();
  notBefore_ = loop_.now();
  resume();
}

void Dcf::complete(TxOutcome outcome) {
  Pending &p = queue_.front();
  TxReport report{p.token, outcome, p.attempts, p.deferred, lastStart_, lastStart_ + airtimeOf(p.bytes.size()), nullptr};
  lastFrame_ = std::move(p.bytes);
  report.frame = &lastFrame_;
  queue_.pop_front();
  state_ = State::Ready;
  drawBackoff();  // spaces this station's next frame too, from the window that frame has come to
  notBefore_ = loop_.now();
  counting_ = false;
  if (!queue_.empty() && (medium_.busy(channel_) || nav_ > loop_.now())) queue_.front().deferred = true;
  owner_.finished(report);
  resume();
}

void Dcf::sendAck() {
  if (channel_ != ack_.channel) return resume();
  AirFrame f;
  f.bytes.reserve(kAckBytes);
  put16(f.bytes, fc::kAck);
  put16(f.bytes, 0);
  f.bytes.insert(f.bytes.end(), ack_.to.begin(), ack_.to.end());
  f.rate500k = ack_.rate500k;
  f.signal = signal_;
  medium_.sendAt(*this, std::move(f), ack_.due);
}

// ---------------------------------------------------------------------------------------------
// Hearing.

void Dcf::carrier(const AirFrame &frame) { freeze(frame.start); }

bool Dcf::isDuplicate(const Mac &from, std::uint16_t sequenceControl, bool retry) {
  for (auto &last : lastFrom_) {
    if (last.transmitter != from) continue;
    const bool duplicate = retry && last.sequenceControl == sequenceControl;
    last.sequenceControl = sequenceControl;
    return duplicate;
  }
  lastFrom_.push_back({from, sequenceControl});
  return false;
}

void Dcf::hear(const AirFrame &frame, bool intact) {
  if (!intact || owner_.misses(frame)) {
    eifs_ = true;
    owner_.heardDamaged();
    return resume();
  }
  eifs_ = false;
  const auto &b = frame.bytes;
  if (b.size() < 10) {
    owner_.received(frame);
    return resume();
  }
  const std::uint16_t control = get16(b, 0);
  const bool toMe = macAt(b, 4) == address_;
  if ((control & fc::kTypeSubtypeMask) == fc::kAck) {
    if (toMe && state_ == State::AwaitingAck) {
      cancelTask(ackWaitTask_);
      return complete(TxOutcome::Acknowledged);
    }
    return resume();
  }
  if (!toMe) {
    const std::uint16_t duration = get16(b, 2);
    if (!(duration & 0x8000)) nav_ = std::max(nav_, frame.start + frame.airtime + duration);
    owner_.received(frame);
    return resume();
  }
  if (isControl(control) || b.size() < 24) {
    owner_.received(frame);
    return resume();
  }
  // Acknowledged whatever becomes of it above: the MAC answers for the frame it heard.
  cancelTask(ackTask_);
  ack_ = {macAt(b, 10), frame.rate500k, channel_, frame.start + frame.airtime + kSifs};
  ackTask_ = loop_.at(ack_.due, [this] {
    ackTask_ = 0;
    sendAck();
  }, EventLoop::Lane::Device);
  if (isDuplicate(macAt(b, 10), get16(b, 22), control & fc::kRetry)) {
    owner_.duplicate(frame);
    return;
  }
  owner_.received(frame);
}

}  // namespace teskel::sim::air
