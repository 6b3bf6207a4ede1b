// The simulated 802.11 MAC controller behind the card's 64 I/O ports: registers, commands,
// records, buffers, events and interrupt line, auxiliary memory, and fault injection.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "teskel/air.h"
#include "teskel/controller_defs.h"
#include "teskel/event_loop.h"
#include "teskel/port_bus.h"

namespace teskel::sim {

using MacAddress = std::array<std::uint8_t, 6>;

// One injected fault, as `handheld run --fault NAME[=ARG]` names it.
struct Fault {
  enum class Kind {
    CommandBusy,     // the command register's busy bit never clears
    CommandTimeout,  // the command (any, or `command`) never raises EV_CMD and does nothing
    CommandError,    // `command` completes with `result` and does nothing
    StatusZero,      // `command` runs but its status word reads 0
    RidUnreadable,   // access read of `rid` fails with result 2
    RidReadback,     // the staged image of `rid` reads back wrong `count` times (always if unset)
    AllocLimit,      // only `count` allocations are ever answered with EV_ALLOC
    SeekBusy,        // the offset register of `path` (both if unset) stays busy
    AuxStuck,        // REG_CONTROL stays in its changing state
    TagMismatch,     // the next `count` trailer read-backs return a wrong word
    RxDrop,          // `count` percent of received frames are lost on the air
  };
  Kind kind = Kind::CommandBusy;
  std::optional<std::uint16_t> command;
  std::uint16_t result = 1;
  std::uint16_t rid = 0;
  // RidReadback, TagMismatch: uses left (unset: every time); AllocLimit: allocations answered;
  // RxDrop: the percentage lost.
  std::optional<std::uint32_t> count;
  std::optional<int> path;  // SeekBusy: 0 or 1 (unset: both)

  std::string text;  // the canonical NAME[=ARG] form
};

// Parses NAME[=ARG]; throws std::invalid_argument with a message that says what is wrong.
Fault parseFault(std::string_view given);

struct FaultHelp {
  std::string syntax;
  std::string description;
};
// Every fault name with its argument syntax and a one-line description.
const std::vector<FaultHelp> &faultCatalogue();
// The catalogue as indented lines, for a program's --help.
std::string faultHelpText();

struct ControllerOptions {
  // Seeds the production data written when the non-volatile memory is first created: the last
  // three bytes of the station address 02:54:4B:xx:xx:xx and the serial number.
  std::uint32_t serial = 1;
  // Overrides the seeded station address of new production data.
  std::optional<MacAddress> stationAddress;
  // File that keeps the non-volatile memory; empty keeps it in memory only. An existing file
  // wins over `serial` and `stationAddress`: the card's identity lives in its memory.
  std::string nvPath;
  std::vector<Fault> faults;
  // The air the card's radio is on (it attaches for its lifetime, so the medium must outlive
  // the controller). Without one the radio hears nothing: a port that scans keeps searching.
  air::Medium *medium = nullptr;
};

// A frame that left the air: what the controller read from the buffer and what it sent.
struct TransmittedFrame {
  std::uint16_t fid = 0;
  std::vector<std::uint8_t> buffer;    // the 60-byte descriptor and the 802.3 frame behind it
  std::vector<std::uint8_t> frame;     // the 802.11 data frame built from it
  std::uint16_t channel = 0;
  Micros start = 0;                    // when its last attempt went on the air
  Micros end = 0;                      // when that attempt had left the air
  unsigned attempts = 0;               // transmissions it took, the first included
};

enum class ReceiveResult {
  Delivered,     // in a receive buffer, EV_RX raised (now or when the host takes the next one)
  Lost,          // lost on the air (rx-drop fault)
  NotConnected,  // the port is not connected
  NotForUs,      // another station's or another network's frame
  NotData,       // not a data frame: the MAC keeps management and control frames to itself
  Malformed,     // too short or too long; counted as a receive error
  Undecryptable, // protected frame that cannot be decrypted; counted
  Excluded,      // unencrypted while WEP flags exclude unencrypted frames
  NoBuffer,      // every receive buffer busy; counted
};
const char *toString(ReceiveResult r);

class Controller : public ceddk::PortDevice {
 public:
  Controller(EventLoop &loop, ceddk::PortBus &bus, unsigned irqLine, ControllerOptions options = {});
  ~Controller() override;
  Controller(const Controller &) = delete;
  Controller &operator=(const Controller &) = delete;

  // Port interface (offsets inside the window).
  std::uint16_t readPort16(std::uint32_t offset) override;
  void writePort16(std::uint32_t offset, std::uint16_t value) override;
  std::uint8_t readPort8(std::uint32_t offset) override;
  void writePort8(std::uint32_t offset, std::uint8_t value) override;
  // A string access to a data port moves the words of a buffer at once where no single one of
  // them could turn out differently (a misuse, a fault, the buffer's end); the rest go one by one.
  void readPort16String(std::uint32_t offset, std::uint16_t *words, std::size_t count) override;
  void writePort16String(std::uint32_t offset, const std::uint16_t *words, std::size_t count) override;

  // --- The seam to the radio world (the medium in the options is the air itself) ---
  // Hands the controller an 802.11 frame (no FCS) as if heard on the channel its radio is on,
  // at the signal level of the current link. Management frames go to the MAC (NotData).
  ReceiveResult receiveFrame(const std::vector<std::uint8_t> &frame80211);
  // Called when a transmitted data frame was acknowledged (or, group-addressed, has left the air).
  void onTransmit(std::function<void(const TransmittedFrame &)> listener);
  // Raises a link-status information frame with this code (for example association failed).
  void reportLinkStatus(std::uint16_t code);
  // The channel the radio listens on now (0 while the port is disabled).
  int radioChannel() const;

  // --- Faults ---
  void addFault(const Fault &fault);
  void clearFaults();

  // --- Observation for tests and tools ---
  // Protocol misuse, each entry "kind: details (at T us)"; kinds are listed in controller.cpp.
  // The first 1000 are kept.
  const std::vector<std::string> &violations() const;
  void clearViolations();

  bool irqLevel() const;
  std::uint16_t eventStatus() const;
  std::uint16_t portStatus() const;
  bool portEnabled() const;
  bool auxEnabled() const;
  MacAddress stationAddress() const;
  // A record's data words (without length and RID), as the store holds them now.
  std::optional<std::vector<std::uint8_t>> record(std::uint16_t rid) const;
  std::optional<std::uint16_t> recordWord(std::uint16_t rid, std::size_t index = 0) const;
  // Counts since the last tally report.
  std::array<std::uint16_t, hw::kTallyCount> tallies() const;
  // Transmit buffers that exist (allocated and not freed by initialise), and those the
  // controller holds for transmission right now.
  std::vector<std::uint16_t> transmitBuffers() const;
  std::size_t transmitBuffersInFlight() const;
  std::size_t receiveBuffersHeld() const;
  std::size_t infoBuffersHeld() const;
  // Bytes of controller memory at `address` (RAM and non-volatile memory; 0xFF elsewhere).
  std::vector<std::uint8_t> memory(std::uint32_t address, std::size_t length) const;
  // Readable dump of the configuration records, for `handheld run --show-controller`.
  std::string describeConfiguration() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace teskel::sim
