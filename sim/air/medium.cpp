// The air: frames reach every other radio on their channel after their air time, each lost with
// the world's seeded loss rate; the default world and the world that owns its stations.
#include <algorithm>
#include <random>

#include "air_impl.h"

namespace teskel::sim::air {

namespace {

class MediumImpl final : public Medium {
 public:
  MediumImpl(EventLoop &loop, double lossPercent, std::uint64_t seed)
      : timers_(loop), loss_(std::clamp(lossPercent, 0.0, 100.0) / 100.0), rng_(seed) {}

  void attach(Radio &radio) override {
    if (std::find(radios_.begin(), radios_.end(), &radio) == radios_.end()) radios_.push_back(&radio);
  }
  void detach(Radio &radio) override { std::erase(radios_, &radio); }

  void send(Radio &from, AirFrame frame) override {
    frame.start = timers_.loop().now();
    frame.airtime = airtimeOf(frame.bytes.size());
    ++counters_.frames;
    counters_.bytes += frame.bytes.size();
    for (auto &observer : observers_) observer(frame);
    Radio *sender = &from;
    timers_.at(frame.start + frame.airtime, [this, sender, frame = std::move(frame)] {
      // Radios are looked up now: one that left or changed channel meanwhile hears nothing.
      const std::vector<Radio *> now = radios_;
      for (Radio *r : now) {
        if (r == sender || r->channel() != frame.channel) continue;
        if (std::find(radios_.begin(), radios_.end(), r) == radios_.end()) continue;
        if (loss_ > 0 && std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < loss_) {
          ++counters_.lost;
          continue;
        }
        r->hear(frame);
      }
    });
  }

  void addObserver(Observer observer) override { observers_.push_back(std::move(observer)); }
  World::Counters counters() const { return counters_; }

 private:
  Timers timers_;
  double loss_;
  std::mt19937_64 rng_;
  std::vector<Radio *> radios_;
  std::vector<Observer> observers_;
  World::Counters counters_;
};

class WorldImpl final : public World {
 public:
  WorldImpl(EventLoop &loop, WorldConfig config)
      : config_(std::move(config)), medium_(loop, config_.lossPercent, config_.seed), events_(loop) {
    // Beacons are staggered so that stations of one world never start on the same microsecond.
    Micros first = loop.now() + 1000;
    for (auto &ap : config_.accessPoints) {
      stations_.push_back(makeAccessPoint(loop, medium_, ap, first));
      first += 1700;
    }
    for (auto &peer : config_.peers) {
      stations_.push_back(makePeer(loop, medium_, peer, first));
      first += 1700;
    }
    for (auto &e : config_.events) {
      Station *target = nullptr;
      for (auto &s : stations_)
        if (s->name() == e.name) {
          target = s.get();
          break;
        }
      if (!target) continue;
      events_.at(std::max(e.at, loop.now()), [target, on = e.on] { target->setOn(on); });
    }
  }
  ~WorldImpl() override {
    events_.cancelAll();
    stations_.clear();  // they detach from the medium before it goes
  }

  Medium &medium() override { return medium_; }
  const WorldConfig &config() const override { return config_; }
  Counters counters() const override { return medium_.counters(); }

 private:
  WorldConfig config_;
  MediumImpl medium_;
  Timers events_;
  std::vector<std::unique_ptr<Station>> stations_;
};

}  // namespace

WorldConfig WorldConfig::defaults() {
  WorldConfig w;
  AccessPointConfig harbor;
  harbor.ssid = "Harbor";
  harbor.bssid = {0x02, 0x48, 0x41, 0x52, 0x42, 0x01};
  harbor.channel = 6;
  harbor.signal = 100;
  harbor.responder = {{0x02, 0x48, 0x41, 0x52, 0x42, 0xFE}, {192, 168, 77, 1}, 24};
  AccessPointConfig vault;
  vault.ssid = "Vault";
  vault.bssid = {0x02, 0x56, 0x41, 0x55, 0x4C, 0x01};
  vault.channel = 11;
  vault.signal = 80;
  vault.wepKey = std::array<std::uint8_t, 5>{0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  vault.responder = {{0x02, 0x56, 0x41, 0x55, 0x4C, 0xFE}, {192, 168, 78, 1}, 24};
  w.accessPoints = {harbor, vault};
  return w;
}

std::unique_ptr<World> makeWorld(EventLoop &loop, WorldConfig config) {
  return std::make_unique<WorldImpl>(loop, std::move(config));
}

}  // namespace teskel::sim::air
