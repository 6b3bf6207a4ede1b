// Internal state of the simulated MAC controller: one plain block of registers, buffers, records
// and memory, with the routines the register decoder dispatches to.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "teskel/controller.h"
#include "teskel/dcf.h"

namespace teskel::sim {

// Tokens of the frames whose fate the MAC follows; a data frame's carries its buffer and the
// generation it belongs to.
constexpr std::uint64_t kTokenLeave = 1, kTokenBeacon = 2, kTokenSleep = 3;
constexpr std::uint64_t kTokenData = 1ULL << 62;

struct RecordEntry {
  std::uint16_t length = 2;  // L: words after the length word, RID included
  bool readOnly = false;
  bool configuration = false;  // reset to its default by initialise
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> defaults;
  // The exchange area a path reaches through this RID: (L + 1) * 2 bytes.
  std::vector<std::uint8_t> exchange;
  bool staged = false;  // the exchange area holds path writes, not an access-read image
};

enum class BufferKind { Transmit, Receive, Info };
enum class TxState { Allocating, Held, InFlight };

struct Buffer {
  BufferKind kind = BufferKind::Transmit;
  std::vector<std::uint8_t> bytes;
  TxState tx = TxState::Held;
};

struct AccessPath {
  std::uint16_t select = 0;
  std::uint16_t offsetReg = 0;
  bool selected = false;    // a select was written
  bool positioned = false;  // an offset was written since the select
  bool isRecord = false;    // the id resolved to a record's exchange area (else a buffer)
  bool resolved = false;    // the id named something at seek time
  bool readbackDecided = false;  // the first read after the seek decided corruptReadback
  bool corruptReadback = false;
  Micros seekUntil = 0;
  std::uint32_t position = 0;
};

struct Controller::Impl {
  Impl(EventLoop &loop, ceddk::PortBus &bus, unsigned irqLine, ControllerOptions options);
  ~Impl();

  // --- register decode (controller.cpp) ---
  std::uint16_t read16(std::uint32_t offset);
  void write16(std::uint32_t offset, std::uint16_t value);
  std::uint8_t read8(std::uint32_t offset);
  void write8(std::uint32_t offset, std::uint8_t value);

  // --- events and interrupt line ---
  std::uint16_t eventStatus() const;
  void updateIrq();
  void acknowledge(std::uint16_t bits);
  void presentNextRx();

  // --- commands ---
  bool commandBusy() const;
  void writeCommand(std::uint16_t code);
  struct Outcome {
    std::uint16_t result = 0;
    std::array<std::uint16_t, 3> resp{};
  };
  Outcome execute(std::uint16_t code, const std::array<std::uint16_t, 3> &p);
  void complete(std::uint16_t code, const Outcome &o, bool statusZero);
  Outcome cmdAllocate(const std::array<std::uint16_t, 3> &p);
  Outcome cmdTransmit(const std::array<std::uint16_t, 3> &p);
  Outcome cmdInquire(const std::array<std::uint16_t, 3> &p);
  Outcome cmdAccessRead(const std::array<std::uint16_t, 3> &p);
  Outcome cmdAccessWrite(const std::array<std::uint16_t, 3> &p);
  Outcome cmdProgramBegin(const std::array<std::uint16_t, 3> &p);
  Outcome cmdProgramCommit();
  void initialize();

  // --- access paths ---
  void writeSelect(int path, std::uint16_t value);
  void writeOffset(int path, std::uint16_t value);
  std::uint16_t readOffset(int path);
  // Where a path's data accesses land; null (with a violation recorded) when nowhere.
  std::vector<std::uint8_t> *pathTarget(int path, const char *what);
  std::uint16_t dataRead16(int path);
  void dataWrite16(int path, std::uint16_t value);
  std::uint8_t dataRead8(int path);
  void dataWrite8(int path, std::uint8_t value);
  // The transmit or receive buffer a path's next data accesses would reach with nothing to
  // record on the way; null when any of them might record something or meet a record.
  Buffer *quietBuffer(int path);
  // Moves leading words of a string access at once; the number moved (the rest go one by one).
  std::size_t dataReadWords(int path, std::uint16_t *words, std::size_t count);
  std::size_t dataWriteWords(int path, const std::uint16_t *words, std::size_t count);
  bool seekStuck(int path) const;

  // --- buffers ---
  std::uint16_t newFid();
  std::size_t transmitBufferCount() const;
  std::size_t receiveBuffersHeld() const;
  void returnTransmitBuffer(std::uint16_t fid, bool ok);
  void pushInfo(std::uint16_t type, const std::vector<std::uint16_t> &words, bool reserved = false);

  // --- records (records.cpp) ---
  void buildRecords();
  void resetConfigurationRecords();
  void reloadFromProductionData();
  void refreshDynamicRecord(std::uint16_t rid);
  RecordEntry *findRecord(std::uint16_t rid);
  const RecordEntry *findRecord(std::uint16_t rid) const;
  std::uint16_t word(std::uint16_t rid, std::size_t index = 0) const;
  // The 40-bit WEP key of key record `keyId` (0 to 3).
  std::array<std::uint8_t, 5> wepKey(unsigned keyId) const;
  std::string describeConfiguration() const;

  // --- the MAC: frames (frames.cpp) ---
  bool connected() const;
  void setPortState(std::uint16_t status, const MacAddress &bssid, std::uint16_t channel, std::uint16_t quality,
                    std::uint16_t signal, std::uint16_t noise);
  MacAddress stationAddress() const;
  std::vector<std::uint8_t> buildDataFrame(const std::vector<std::uint8_t> &buffer, std::size_t bodyLength);
  // A retry of a protected data frame: its buffer's body encrypted again with the next IV.
  void reencrypt(std::vector<std::uint8_t> &frame, std::uint64_t token);
  ReceiveResult receive(const std::vector<std::uint8_t> &frame, int frameSignal);
  // The rx-drop fault: whether it takes this data frame (lost on the air: never acknowledged).
  bool rxDropped(const std::vector<std::uint8_t> &frame);
  void tally(unsigned index, std::uint32_t amount = 1);
  void transmitDone(std::uint16_t fid, const air::TxReport &report);

  // --- the MAC: radio side (radio.cpp) ---
  enum class Phase { Off, Scanning, Authenticating, Associating, Associated, OutOfRange, Ibss, NoAssociation };
  struct AirPort;
  void enablePort();
  void startPort();
  void disablePort();
  // Hands a frame to the radio's coordination function (nothing without an air).
  void sendFrame(std::vector<std::uint8_t> frame, std::uint64_t token = 0, air::SendOptions options = {});
  void tuneRadio(int channel);
  void airFinished(const air::TxReport &report);
  void syncAddress();
  // Tells the coordination function what the MAC takes from the air in its present state.
  void updateInterest();
  // Leaves the network the MAC is in: what waits to be sent is dropped, and an association is
  // ended with a disassociation when `farewell`. The radio goes off once that has left.
  void leaveNetwork(bool farewell);
  ReceiveResult hear(const std::vector<std::uint8_t> &frame, int frameSignal, Micros start);
  void macTimer(Micros delay, std::function<void()> fn);  // dropped at the MAC's next change of phase
  void enterPhase(Phase next);
  void startScan(int fromChannel = 1);
  void scanChannel(int channel);
  void join(const MacAddress &network, int channel, int signalLevel, const std::string &ssid);
  void joinFailed();
  void associated();
  void watchBeacons();
  void startIbss(const std::optional<MacAddress> &network, int channel, int signalLevel);
  void ibssBeaconTimes();
  void stampFrame(std::vector<std::uint8_t> &frame, Micros start);
  void handleManagement(const std::vector<std::uint8_t> &frame, int frameSignal, Micros start);
  std::string desiredSsid() const;
  bool privacyMatches(std::uint16_t capability) const;
  std::vector<std::uint8_t> managementFrame(std::uint16_t kind, const MacAddress &to, const MacAddress &network,
                                            const std::vector<std::uint8_t> &body);
  std::vector<std::uint8_t> announcementBody(std::uint16_t capability) const;
  std::uint64_t tsf(Micros at) const { return tsfBase + (at - tsfAt); }
  void setTsf(std::uint64_t value, Micros at);
  // Power saving (RID_PS_MODE 1) while associated.
  bool powerSaving() const;
  void powerSaveChanged();
  void announcePowerSave(bool asleep);
  void maybeDoze();
  void wakeForBeacon();
  void wakeUp();
  void beaconHeard(const std::vector<std::uint8_t> &frame, Micros start);
  void sendPsPoll();

  // --- auxiliary port and memory (memory.cpp) ---
  void settleControl();
  void writeControl(std::uint16_t value);
  std::uint16_t auxRead();
  void auxWrite(std::uint16_t value);
  std::uint8_t auxRead8();
  void auxWrite8(std::uint8_t value);
  std::uint8_t memoryByte(std::uint32_t address) const;
  void initNonVolatile();
  void saveNonVolatile();

  // --- time and faults ---
  void schedule(Micros delay, std::function<void()> fn);
  // Dropped when an initialise completes before it is due.
  void scheduleWork(Micros delay, std::function<void()> fn);
  void scheduleWorkAt(Micros when, std::function<void()> fn);
  const Fault *fault(Fault::Kind kind) const;
  const Fault *commandFault(Fault::Kind kind, std::uint16_t code) const;
  // Consumes one use of a counted fault; false when the fault is spent.
  bool useFault(Fault::Kind kind, const std::function<bool(const Fault &)> &match);
  void violate(const char *kind, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

  EventLoop &loop;
  ceddk::PortBus &bus;
  unsigned irqLine;
  ControllerOptions options;
  std::vector<Fault> faults;

  // Registers.
  std::array<std::uint16_t, 3> param{};
  std::uint16_t status = 0;
  std::array<std::uint16_t, 3> resp{};
  std::uint16_t lastCommand = 0;
  Micros commandBusyUntil = 0;
  bool executing = false;
  std::uint16_t executingCode = 0;
  std::uint16_t intEnable = 0;
  bool cmdDone = false;
  bool txDone = false;
  bool txError = false;
  std::uint16_t infoFid = 0;
  std::uint16_t rxFid = 0;
  std::uint16_t allocFid = 0;
  std::array<AccessPath, 2> paths{};
  bool irq = false;

  // Auxiliary port.
  std::uint16_t control = hw::kControlDisabled;
  std::uint16_t controlTarget = hw::kControlDisabled;
  Micros controlAt = 0;
  std::uint16_t auxPage = 0;
  std::uint16_t auxOffset = 0;
  std::uint32_t auxAddress = 0;

  // Memory.
  std::vector<std::uint8_t> ram;
  std::vector<std::uint8_t> nv;
  std::optional<std::pair<std::uint32_t, std::uint32_t>> programArmed;  // address, length

  // Records.
  std::map<std::uint16_t, RecordEntry> records;

  // Buffers and event queues.
  std::map<std::uint16_t, Buffer> buffers;
  std::uint16_t nextFid = hw::kFidFirst;
  std::deque<std::uint16_t> allocQueue;
  std::deque<std::uint16_t> infoQueue;
  std::deque<std::uint16_t> rxWaiting;
  std::optional<std::uint16_t> rxPresented;  // shown with EV_RX, not yet acknowledged
  std::optional<std::uint16_t> rxRetained;   // acknowledged, readable until the next is presented
  unsigned infoReserved = 0;                 // inquiries whose report is still to come

  // The MAC.
  bool enabled = false;
  std::uint16_t portStatusValue = hw::kPortDisabled;
  MacAddress bssid{};
  std::uint16_t linkChannel = 0;
  std::uint16_t quality = 0, signal = 0, noise = 0;
  Phase phase = Phase::Off;
  int listenChannel = 0;           // the channel the radio is on
  std::uint64_t macEpoch = 0;      // MAC timers of older phases are dropped
  MacAddress candidate{};          // the network being joined
  int candidateChannel = 0, candidateSignal = 0;
  std::string candidateSsid;
  Micros lastBeacon = 0;
  std::unique_ptr<AirPort> airPort;
  std::unique_ptr<air::Dcf> dcf;
  std::array<std::uint16_t, hw::kTallyCount> talliesNow{};
  std::uint32_t wepIv = 0;
  // Time: the MAC's TSF, its own until it joins an ad hoc network, and the access point's as
  // its beacons tell it.
  std::uint64_t tsfBase = 0;
  Micros tsfAt = 0;
  std::uint64_t apTsfBase = 0;
  Micros apTsfAt = 0;
  bool farewellPending = false;      // a disassociation is still to leave
  bool startAfterFarewell = false;   // enabled meanwhile: the port starts once it has
  // Power saving.
  std::uint16_t aid = 0;
  bool psAnnounced = false;  // the access point was told the station sleeps
  bool dozing = false;
  bool awaitingBeacon = false;
  bool awaitingPoll = false;
  Micros groupUntil = 0;
  std::uint32_t allocationsAnswered = 0;
  std::uint64_t rng = 0x5EEDF00DULL;
  std::uint64_t random();
  std::function<void(const TransmittedFrame &)> txListener;

  // Bookkeeping.
  std::vector<std::string> violations;
  std::uint64_t violationsDropped = 0;
  std::uint64_t generation = 0;
  std::uint64_t nextToken = 1;
  // Pending device work by token, to be cancelled when the controller goes: a few at a time.
  std::vector<std::pair<std::uint64_t, EventLoop::TaskId>> tasks;
  void forgetTask(std::uint64_t token);
};

// The controller's side of its coordination function: what the radio hears and how its frames fared.
struct Controller::Impl::AirPort final : air::Dcf::Owner {
  explicit AirPort(Impl &owner) : impl(owner) {}
  void received(const air::AirFrame &frame) override { impl.hear(frame.bytes, frame.signal, frame.start); }
  void heardDamaged() override {
    if (impl.enabled) impl.tally(hw::kTallyRxErrors);
  }
  bool misses(const air::AirFrame &frame) override { return impl.enabled && impl.rxDropped(frame.bytes); }
  void duplicate(const air::AirFrame &) override {
    if (impl.enabled) impl.tally(hw::kTallyRxDuplicates);
  }
  void finished(const air::TxReport &report) override { impl.airFinished(report); }
  void stamp(std::vector<std::uint8_t> &frame, Micros start) override { impl.stampFrame(frame, start); }
  void retrying(std::vector<std::uint8_t> &frame, std::uint64_t token) override { impl.reencrypt(frame, token); }
  Impl &impl;
};

// Little-endian and big-endian helpers over byte vectors.
inline std::uint16_t le16(const std::vector<std::uint8_t> &b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
inline void putLe16(std::vector<std::uint8_t> &b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline std::uint16_t be16(const std::vector<std::uint8_t> &b, std::size_t at) {
  return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}
inline void putBe16(std::vector<std::uint8_t> &b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v >> 8);
  b[at + 1] = static_cast<std::uint8_t>(v);
}

}  // namespace teskel::sim
