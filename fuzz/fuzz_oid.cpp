// Fuzz target: information requests on a running adapter. Any OID of the supported list or outside
// it, any buffer length and content, queries and sets in any order, with virtual time between them.
#include <vector>

#include "support/fuzz_rig.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace teskel;
  FuzzedDataProvider in(data, size);
  auto rig = fuzz::runningRig();
  for (int request = 0; request < 12 && in.remaining_bytes() > 0; ++request) {
    const NDIS_OID oid = fuzz::pickOid(in);
    const bool set = in.ConsumeBool();
    const std::size_t length = fuzz::pickLength(in);
    // The buffer is exactly as long as the caller says, so a write or read past it is a report.
    std::vector<std::uint8_t> content = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, length));
    std::vector<std::uint8_t> buffer(length);
    std::copy(content.begin(), content.end(), buffer.begin());
    ndis::InformationResult result =
        set ? rig->adapter->setInformationInPlace(oid, buffer) : rig->adapter->queryInformation(oid, buffer);
    if (result.status == NDIS_STATUS_SUCCESS && result.bytesDone > length)
      fuzz::fail("request 0x" + std::to_string(oid) + " claims more bytes than its buffer");
    rig->settle(in.ConsumeIntegralInRange<Micros>(0, 3000000));
    if (rig->adapter->state() != ndis::Adapter::State::Running) return 0;
  }
  fuzz::haltAndCheck(*rig);
  return 0;
}
