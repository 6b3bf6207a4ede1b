// The distributed coordination function of the 802.11 standard, as one station uses it: carrier
// sense with the NAV, DIFS and EIFS, a backoff frozen while the medium is busy, acknowledgements
// after SIFS, retries with the Retry bit and a doubling contention window, duplicate detection.
// Every station of the air (the card's controller, access points, peers, contenders) sends and
// hears through one of these.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "teskel/air.h"
#include "teskel/event_loop.h"

namespace teskel::sim::air {

enum class TxOutcome {
  Acknowledged,  // a unicast frame whose acknowledgement came
  Sent,          // a frame nobody acknowledges (group-addressed, or a control frame) left the air
  Dropped,       // no acknowledgement after the retry limit
  Flushed,       // taken off the queue before it was done (the station stopped)
};

struct TxReport {
  std::uint64_t token = 0;
  TxOutcome outcome = TxOutcome::Sent;
  unsigned attempts = 0;  // transmissions of the frame (the first included)
  bool deferred = false;  // its first attempt found the medium busy
  Micros start = 0, end = 0;  // the last attempt on the air
  // The frame as its last attempt went on the air; valid while the report is being read.
  const std::vector<std::uint8_t> *frame = nullptr;
};

struct SendOptions {
  // Ahead of the frames queued, with a backoff of its own (beacons, management answers).
  bool front = false;
  // Counts down this many slots instead of a drawn backoff (an ad hoc beacon's delay).
  std::optional<unsigned> backoffSlots;
  // Leaves SIFS after the frame now ending, without contention (an answer to a PS-Poll).
  bool immediate = false;

  static SendOptions ahead(std::optional<unsigned> slots = std::nullopt) {
    SendOptions o;
    o.front = true;
    o.backoffSlots = slots;
    return o;
  }
  static SendOptions afterSifs() {
    SendOptions o;
    o.immediate = true;
    return o;
  }
};

class Dcf final : public Radio {
 public:
  // The station above: what it hears and how its frames fared.
  class Owner {
   public:
    // An intact frame heard on the channel that is not an acknowledgement nor a duplicate: for
    // this station, for a group, or for another station (a station reads what it needs).
    virtual void received(const AirFrame &frame) = 0;
    virtual void heardDamaged() {}
    // Whether this station's radio misses an intact frame all the same (an injected fault): it
    // is then heard damaged, and not acknowledged.
    virtual bool misses(const AirFrame &frame) {
      (void)frame;
      return false;
    }
    // A retry of the last frame received from its transmitter: acknowledged, not passed on.
    virtual void duplicate(const AirFrame &frame) { (void)frame; }
    virtual void finished(const TxReport &report) = 0;
    // The frame's first attempt is about to leave: the last moment to write what depends on the
    // time it leaves (a beacon's timestamp). `start` is when its preamble starts.
    virtual void stamp(std::vector<std::uint8_t> &frame, Micros start) {
      (void)frame;
      (void)start;
    }
    // An attempt after the first is about to leave (the Retry bit is set): a station that
    // encrypts gives the same plaintext its next IV here.
    virtual void retrying(std::vector<std::uint8_t> &frame, std::uint64_t token) {
      (void)frame;
      (void)token;
    }

   protected:
    ~Owner() = default;
  };

  Dcf(EventLoop &loop, Medium &medium, Owner &owner, const Mac &address, std::uint64_t seed, int signal = 100);
  ~Dcf() override;
  Dcf(const Dcf &) = delete;
  Dcf &operator=(const Dcf &) = delete;

  const Mac &address() const { return address_; }
  // A station whose address changes answers to the new one at once.
  void setAddress(const Mac &address);
  // What the station above takes while this function has nothing to do (everything until it
  // says): it then hears only those frames and its own unicast ones, and reads the medium's
  // state when it next has something to send. While it has, it hears everything.
  void takes(const Interest &interest);
  // Puts the radio on a channel; 0 takes it off the air. Queued frames wait for a channel.
  void tune(int channel);
  int channel() const { return channel_; }

  // Queues an 802.11 frame (no FCS). The frame's duration, sequence number and Retry bit are
  // this function's to write; `token` comes back in the report.
  void send(std::vector<std::uint8_t> frame, std::uint64_t token, SendOptions options = {});
  // Takes a frame off the queue before its first attempt; false when it is too late.
  bool cancel(std::uint64_t token);
  // Every queued frame not in the middle of an exchange is reported Flushed.
  void flush();
  std::size_t queued() const { return queue_.size(); }
  // Nothing queued and no exchange under way (acknowledgements to send included).
  bool idle() const { return queue_.empty() && state_ == State::Ready && !ackTask_; }
  // The next sequence number this station will give a frame.
  std::uint16_t nextSequence() const { return sequence_; }

  // Radio.
  void carrier(const AirFrame &frame) override;
  void hear(const AirFrame &frame, bool intact) override;
  void sent(const AirFrame &frame) override;

 private:
  enum class State { Ready, Transmitting, AwaitingAck };
  struct Pending {
    std::vector<std::uint8_t> bytes;
    std::uint64_t token = 0;
    unsigned attempts = 0;
    bool deferred = false;
    bool acknowledged = false;  // unicast data or management
    std::optional<unsigned> backoffSlots;
    bool immediate = false;
    unsigned cw = phy::kCwMin;   // its contention window: doubled at each retry
  };
  struct LastFrom {
    Mac transmitter{};
    std::uint16_t sequenceControl = 0;
  };

  void freeze(Micros at);
  void resume();
  // Starts the backoff count when the medium is idle for this station; true when it did.
  bool startCounting();
  // Back to hearing everything, with what was missed meanwhile; and away from it, once there is
  // nothing left to do.
  void wake();
  void settle();
  Interest interest() const;
  void scheduleTransmit();
  // Now, or at `due` (a response) when a late wall clock has passed it.
  void transmit(std::optional<Micros> due = std::nullopt);
  void ackTimeout();
  void complete(TxOutcome outcome);
  void sendAck();
  void drawBackoff();
  void cancelTask(EventLoop::TaskId &task);
  bool isDuplicate(const Mac &from, std::uint16_t sequenceControl, bool retry);
  std::uint64_t random();

  EventLoop &loop_;
  Medium &medium_;
  Owner &owner_;
  Mac address_;
  int signal_;
  int channel_ = 0;
  std::uint64_t rng_;
  std::deque<Pending> queue_;
  State state_ = State::Ready;
  std::uint16_t sequence_ = 0;
  int backoff_ = -1;       // slots left; -1 when none is drawn
  bool counting_ = false;  // the medium is idle for this station and slots count from origin_
  Micros origin_ = 0;
  Micros notBefore_ = 0;   // no slot counts before this (the end of an exchange)
  Micros nav_ = 0;
  bool eifs_ = false;      // the last frame heard was damaged
  Interest takes_;
  bool awake_ = true;      // it hears everything (the medium's state is its own)
  Micros txAt_ = 0;
  Micros lastStart_ = 0;
  EventLoop::TaskId txTask_ = 0, ackWaitTask_ = 0, ackTask_ = 0, respondTask_ = 0;
  std::vector<LastFrom> lastFrom_;
  std::vector<std::uint8_t> lastFrame_;
  struct {
    Mac to{};
    int rate500k = phy::kRate2M;
    int channel = 0;
    Micros due = 0;
  } ack_;  // the acknowledgement to send next
};

// 802.11 frame control bits and fields the stations and the Dcf share.
namespace fc {
constexpr std::uint16_t kAssocRequest = 0x0000, kAssocResponse = 0x0010, kProbeRequest = 0x0040,
                        kProbeResponse = 0x0050, kBeacon = 0x0080, kDisassoc = 0x00A0, kAuth = 0x00B0,
                        kDeauth = 0x00C0, kPsPoll = 0x00A4, kAck = 0x00D4, kData = 0x0008;
constexpr std::uint16_t kTypeMask = 0x000C, kTypeSubtypeMask = 0x00FC, kTypeControl = 0x0004;
constexpr std::uint16_t kToDs = 0x0100, kFromDs = 0x0200, kRetry = 0x0800, kPowerManagement = 0x1000,
                        kMoreData = 0x2000, kProtected = 0x4000;
}  // namespace fc

// Duration of a unicast frame sent at `rate500k`: SIFS and its acknowledgement.
Micros ackDuration(int rate500k = phy::kRate2M);

}  // namespace teskel::sim::air
