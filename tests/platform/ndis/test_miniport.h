// A small miniport and the fake card it drives, used to exercise the NDIS host. The miniport is
// written the way a serialised NDIS 4.0 miniport is; tests steer it through `script` and read
// what it saw in `trace`.
#pragma once

#include <ndis.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "teskel/port_bus.h"

namespace ndistest {

// The card: 16 ports.
//   0x0 STATUS  read: pending event bits; write: clears the bits written as 1
//   0x2 ENABLE  interrupt enable mask; the line is up while STATUS & ENABLE is non-zero
//   0x4 OFFSET  write: byte offset into the received frame
//   0x6 DATA    read: the frame byte at OFFSET (0xFF past its end), then OFFSET advances
//   0x8 LENGTH  read: bytes in the received frame (14 header bytes and the body)
constexpr std::uint32_t kPortCount = 16;
constexpr std::uint16_t kRegStatus = 0x0, kRegEnable = 0x2, kRegOffset = 0x4, kRegData = 0x6, kRegLength = 0x8;
constexpr std::uint16_t kEvReceive = 0x0001, kEvSendDone = 0x0002, kEvOther = 0x0004;

class FakeCard : public teskel::ceddk::PortDevice {
 public:
  FakeCard(teskel::ceddk::PortBus &bus, unsigned line) : bus_(bus), line_(line) {}
  // Sets event bits, as the card's hardware would.
  void raise(std::uint16_t events) {
    status_ |= events;
    update();
  }
  std::uint16_t status() const { return status_; }
  std::uint16_t enable() const { return enable_; }
  std::vector<std::uint8_t> frame;  // the frame the next receive event delivers

  std::uint16_t readPort16(std::uint32_t offset) override;
  void writePort16(std::uint32_t offset, std::uint16_t value) override;

 private:
  void update() { bus_.setIrq(line_, (status_ & enable_) != 0); }
  teskel::ceddk::PortBus &bus_;
  unsigned line_;
  std::uint16_t status_ = 0, enable_ = 0, offset_ = 0;
};

// The miniport's adapter record (allocated with NdisAllocateMemory).
struct TestAdapter {
  NDIS_HANDLE Handle;
  PVOID PortBase;
  UINT IoBase;
  UINT Line;
  NDIS_MINIPORT_INTERRUPT Interrupt;
  NDIS_MINIPORT_TIMER TimerA;
  NDIS_MINIPORT_TIMER TimerB;
  PNDIS_PACKET Pending[16];  // sends not yet completed, oldest first
  UINT PendingCount;
  UINT BodySize;  // body bytes of the frame last indicated
  UCHAR Header[14];
  UCHAR Lookahead[64];
  ULONG LastSet;
};

// Steering of the miniport by a test. Reset before every test.
struct Script {
  NDIS_STATUS sendStatus = NDIS_STATUS_PENDING;  // PENDING: the send waits for a send-done event
  bool completeInSend = false;                   // NdisMSendComplete the packet inside MiniportSend
  bool requestIsr = false;
  bool registerInterrupt = true;
  UINT lookahead = 8;  // lookahead bytes indicated
  bool maskInDisable = true;       // MiniportDisableInterrupt clears the card's enable mask
  bool oneEventPerHandle = false;  // MiniportHandleInterrupt serves one event per call
  bool ackEvents = true;           // MiniportHandleInterrupt clears the events it serves
  // What MiniportHalt leaves behind, to provoke the verifier.
  bool leakMemory = false, keepPorts = false, keepInterrupt = false, keepTimer = false;
  // Called inside MiniportInitialize before the miniport reads its own configuration.
  std::function<void(NDIS_HANDLE configurationContext)> duringInitialize;
  // Called inside every entry point, after it is recorded in the trace.
  std::function<void(const std::string &entry, TestAdapter *adapter)> onEntry;
  // Called with every receive indication the miniport makes, before it indicates.
  std::function<void(TestAdapter *adapter)> beforeIndicate;
};

extern Script script;
extern std::vector<std::string> trace;
void resetScript();

NDIS_STATUS DriverEntry(PVOID DriverObject, PVOID RegistryPath);
// The table DriverEntry registers, for tests that register variations of it.
NDIS_MINIPORT_CHARACTERISTICS characteristics();

}  // namespace ndistest
