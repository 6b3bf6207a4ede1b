// Fuzz target: received frames from a hostile controller. While a frame is taken in, the port bus
// answers the driver's reads of the data ports and the receive register with bytes of the input
// (descriptor and body alike), and the protocol asks for transfers of any offset, count and buffers.
#include <algorithm>
#include <numeric>

#include "support/fuzz_rig.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace teskel;
  FuzzedDataProvider in(data, size);
  bool hostile = false;  // outlives the rig, whose halt may still read ports
  auto rig = fuzz::runningRig();
  rig->tap->setReadHook([&](const test::PortTap::Read &read) -> std::uint16_t {
    if (!hostile || in.remaining_bytes() == 0) return read.value;
    if (read.path < 0 && read.offset != REG_RX_FID) return read.value;
    // Each read is the device's own answer or one the input makes up.
    return in.ConsumeBool() ? in.ConsumeIntegral<std::uint16_t>() : read.value;
  });
  for (int frame = 0; frame < 8 && in.remaining_bytes() > 0; ++frame) {
    test::TransferRequest transfer;
    transfer.offset = in.ConsumeBool() ? in.ConsumeIntegralInRange<UINT>(0, 3000) : in.ConsumeIntegral<UINT>();
    if (in.ConsumeBool()) transfer.count = in.ConsumeIntegralInRange<UINT>(0, 4000);
    for (int b = in.ConsumeIntegralInRange<int>(0, 3); b > 0; --b)
      transfer.bufferSizes.push_back(in.ConsumeIntegralInRange<std::size_t>(0, 1600));
    if (!transfer.bufferSizes.empty() && !transfer.count) transfer.count = in.ConsumeIntegralInRange<UINT>(0, 4000);
    rig->transferInIndication = transfer;
    const std::size_t bodySize = in.ConsumeIntegralInRange<std::size_t>(0, 2400);
    const std::size_t before = rig->indications.size();
    hostile = true;
    rig->receive(test::pattern(bodySize, static_cast<std::uint8_t>(frame)), {0x02, 0, 0, 0, 0, 0x42});
    rig->settle(in.ConsumeIntegralInRange<Micros>(1000, 200000));
    hostile = false;
    for (std::size_t i = before; i < rig->indications.size(); ++i) {
      const test::Indication &seen = rig->indications[i];
      if (!seen.transfer || seen.transfer->status != NDIS_STATUS_SUCCESS) continue;
      const std::size_t room = transfer.bufferSizes.empty()
                                   ? seen.transferred.size()
                                   : std::accumulate(transfer.bufferSizes.begin(), transfer.bufferSizes.end(),
                                                     std::size_t{0});
      if (seen.transfer->bytesTransferred > room)
        fuzz::fail("transfer-data copied more than the packet's buffers hold");
      if (transfer.count && seen.transfer->bytesTransferred > *transfer.count)
        fuzz::fail("transfer-data copied more than was asked");
      if (seen.transfer->bytesTransferred > seen.packetSize - std::min<UINT>(seen.packetSize, transfer.offset))
        fuzz::fail("transfer-data copied past the end of the indicated frame");
    }
    if (rig->adapter->state() != ndis::Adapter::State::Running) return 0;
  }
  rig->tap->setReadHook(nullptr);
  fuzz::haltAndCheck(*rig);
  return 0;
}
