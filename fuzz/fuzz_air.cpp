// Fuzz target: hostile 802.11 frames on the air, heard by the card's controller while the driver
// runs on it: any frame, management frames included, data frames with any WEP header and ICV,
// joined to the open network or to the WEP one.
#include <array>

#include "support/fuzz_rig.h"
#include "teskel/air.h"

namespace {

using namespace teskel;

constexpr sim::air::Mac kHarbor = {0x02, 0x48, 0x41, 0x52, 0x42, 0x01};
constexpr sim::air::Mac kVault = {0x02, 0x56, 0x41, 0x55, 0x4C, 0x01};
constexpr std::array<std::uint8_t, 5> kVaultKey = {0x1A, 0x2B, 0x3C, 0x4D, 0x5E};

class HostileRadio : public sim::air::Radio {
 public:
  void hear(const sim::air::AirFrame &, bool) override {}
};

void put(std::vector<std::uint8_t> &frame, std::size_t at, const sim::air::Mac &mac) {
  std::copy(mac.begin(), mac.end(), frame.begin() + static_cast<std::ptrdiff_t>(at));
}

// A frame: raw bytes, or a header the card will look at (addressed to it or to everyone, from
// the access point) with the frame control, sequence and body from the input.
std::vector<std::uint8_t> makeFrame(FuzzedDataProvider &in, const sim::air::Mac &station, const sim::air::Mac &bssid,
                                    bool wep) {
  const int kind = in.ConsumeIntegralInRange<int>(0, 3);
  if (kind == 0) return in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 2400));
  std::vector<std::uint8_t> frame(24, 0);
  frame[0] = in.ConsumeIntegral<std::uint8_t>();
  frame[1] = in.ConsumeIntegral<std::uint8_t>();
  if (kind >= 2) frame[1] = static_cast<std::uint8_t>((frame[1] & ~0x03) | 0x02);  // from the access point
  put(frame, 4, in.ConsumeBool() ? station : sim::air::Mac{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  put(frame, 10, bssid);
  put(frame, 16, in.ConsumeBool() ? bssid : sim::air::Mac{0x02, 0, 0, 0, 0, 0x42});
  frame[22] = in.ConsumeIntegral<std::uint8_t>();
  frame[23] = in.ConsumeIntegral<std::uint8_t>();
  std::vector<std::uint8_t> body = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 2400));
  if (kind == 3 && wep) {
    // Properly protected with the network's key (a true ICV) or with any other key id and IV.
    frame[1] |= 0x40;
    const std::uint32_t iv = in.ConsumeIntegral<std::uint32_t>() & 0xFFFFFF;
    body = sim::air::wepEncrypt(kVaultKey, iv, in.ConsumeIntegralInRange<unsigned>(0, 3), body);
  }
  frame.insert(frame.end(), body.begin(), body.end());
  return frame;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool wep = in.ConsumeBool();
  auto rig = fuzz::runningRig([wep](test::DriverRig &r) {
    if (!wep) return;
    r.setParm("SSID", u"Vault");
    r.setParm("WepReq", 1);
    r.setParmBinary("DefaultKeys", {kVaultKey.begin(), kVaultKey.end()});
  });
  const sim::air::Mac station = rig->stationAddress();
  const sim::air::Mac bssid = wep ? kVault : kHarbor;
  HostileRadio radio;
  sim::air::Medium &medium = rig->world->medium();
  medium.tune(radio, wep ? 11 : 6);
  for (int n = 0; n < 16 && in.remaining_bytes() > 0; ++n) {
    sim::air::AirFrame frame;
    frame.bytes = makeFrame(in, station, bssid, wep);
    frame.rate500k = in.PickValueInArray({2, 4, 11, 22});
    frame.signal = in.ConsumeIntegralInRange<int>(0, 200);
    medium.send(radio, std::move(frame));
    rig->settle(in.ConsumeIntegralInRange<Micros>(100, 300000));
    if (rig->adapter->state() != ndis::Adapter::State::Running) break;
  }
  fuzz::haltAndCheck(*rig);
  medium.detach(radio);
  return 0;
}
