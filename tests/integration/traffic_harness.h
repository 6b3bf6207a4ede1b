// Traffic on a rig's adapter for the long tests: a protocol binding that counts every completion
// per packet and fetches every indicated frame whole, a loop runner with a bound on the tasks it
// runs, and a watchdog that stops a run whose entry point spins on the virtual clock.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>

#include "driver_fixture.h"
#include "teskel.h"

namespace teskel::test {

constexpr Micros kSecond = 1000000;

// Runs the loop for `duration`, but never more than `maxTasks` tasks: a task that keeps posting
// itself at the same instant would otherwise keep a virtual clock from ever moving on. False
// (and a test failure) when the bound was hit.
inline bool runBounded(EventLoop &loop, Micros duration, std::size_t maxTasks) {
  const Micros end = loop.now() + duration;
  for (std::size_t ran = 0;; ++ran) {
    auto next = loop.nextDue();
    if (!next || *next > end) break;
    if (ran == maxTasks) {
      ADD_FAILURE() << "more than " << maxTasks << " tasks in " << duration << " us: the handheld never settles";
      return false;
    }
    loop.runOne();
  }
  loop.runUntil(end);
  return true;
}

// A device task once a virtual second. Device tasks run inside stalls, so one that finds the
// same adapter inside its entry points `limit` times in a row has found a wait without end:
// the run stops there with the entry point's name rather than spinning until CTest's timeout.
class Watchdog {
 public:
  Watchdog(EventLoop &loop, unsigned limit = 60) : loop_(loop), limit_(limit) { arm(); }
  ~Watchdog() { loop_.cancel(task_); }
  Watchdog(const Watchdog &) = delete;
  Watchdog &operator=(const Watchdog &) = delete;
  void watch(ndis::Adapter *adapter) { adapter_ = adapter; }

 private:
  void arm() {
    task_ = loop_.after(
        kSecond,
        [this] {
          const char *inside = adapter_ ? adapter_->activeEntryPoint() : nullptr;
          busy_ = inside ? busy_ + 1 : 0;
          if (busy_ >= limit_) {
            std::fprintf(stderr, "hang: %s has run for %u virtual seconds without returning\n", inside, busy_);
            std::abort();
          }
          arm();
        },
        EventLoop::Lane::Device);
  }
  EventLoop &loop_;
  unsigned limit_;
  unsigned busy_ = 0;
  ndis::Adapter *adapter_ = nullptr;
  EventLoop::TaskId task_ = 0;
};

// The protocol side of the adapter: what it sent, what came back and what it received.
struct Traffic {
  explicit Traffic(DriverRig &rig) : rig(rig) {}

  void bind() {
    ndis::Binding b;
    b.sendComplete = [this](NDIS_PACKET *packet, NDIS_STATUS status) {
      auto it = sent.find(packet);
      if (it == sent.end()) {
        ++strangers;
        return;
      }
      if (++it->second.completions > 1) ++doubles;
      it->second.status = status;
      ++byStatus[status];
    };
    b.receive = [this](ndis::Adapter &a, const ndis::ReceiveIndication &indication) {
      ++indicated;
      if (watch) watch(indication);
      indicatedBytes += indication.header.size() + indication.packetSize;
      if (indication.packetSize == 0) return;
      if (beforeTransfer) std::exchange(beforeTransfer, nullptr)();
      auto target = ndis::Packet::withBuffers({indication.packetSize});
      ndis::TransferResult r = a.transferData(target->ndis(), 0, indication.packetSize);
      if (r.status == NDIS_STATUS_SUCCESS && r.bytesTransferred == indication.packetSize)
        ++transfers;
      else if (r.status == NDIS_STATUS_SUCCESS)
        ++shortTransfers;
      else
        ++failedTransfers;
    };
    rig.binding = rig.adapter->bind(std::move(b));
  }

  NDIS_PACKET *send(const Bytes &frame, std::vector<std::size_t> cuts = {}) {
    NDIS_PACKET *p = rig.send(frame, std::move(cuts));
    sent[p].size = frame.size();
    return p;
  }

  std::size_t uncompleted() const {
    std::size_t n = 0;
    for (auto &[p, s] : sent) n += s.completions == 0;
    return n;
  }

  struct Sent {
    std::size_t size = 0;
    unsigned completions = 0;
    NDIS_STATUS status = 0;
  };
  DriverRig &rig;
  std::function<void(const ndis::ReceiveIndication &)> watch;  // sees every indication first
  std::function<void()> beforeTransfer;  // runs once, between the next indication and its transfer
  std::map<NDIS_PACKET *, Sent> sent;
  std::map<NDIS_STATUS, std::size_t> byStatus;
  std::size_t doubles = 0, strangers = 0;
  std::size_t indicated = 0, indicatedBytes = 0, transfers = 0, shortTransfers = 0, failedTransfers = 0;
};

// An ARP request from `self` for `to`, broadcast.
inline Bytes arpRequest(const sim::MacAddress &self, std::array<std::uint8_t, 4> from, std::array<std::uint8_t, 4> to) {
  Bytes p(28, 0);
  const std::uint8_t kHead[] = {0, 1, 8, 0, 6, 4, 0, 1};
  std::copy(std::begin(kHead), std::end(kHead), p.begin());
  std::copy(self.begin(), self.end(), p.begin() + 8);
  std::copy(from.begin(), from.end(), p.begin() + 14);
  std::copy(to.begin(), to.end(), p.begin() + 24);
  return ethernetFrame({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, self, 0x0806, p);
}

// A body as the access point bridges it: RFC 1042 SNAP header, IPv4 type, payload.
inline Bytes snapBody(const Bytes &payload) {
  static const std::uint8_t kSnap[] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00};
  Bytes body(sizeof kSnap + payload.size());
  std::copy(std::begin(kSnap), std::end(kSnap), body.begin());
  std::copy(payload.begin(), payload.end(), body.begin() + sizeof kSnap);
  return body;
}

}  // namespace teskel::test
