// The air: frames reach every other radio on their channel after their air time, damaged when they
// overlap and each reception lost with the world's seeded loss rate; the default world and the
// world that owns its stations.
#include <algorithm>
#include <array>
#include <deque>
#include <unordered_map>

#include "air_impl.h"

namespace teskel::sim::air {

namespace {

constexpr int kChannels = 14;

// splitmix64: the loss rate's draws, seeded, the same on every platform.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

 private:
  std::uint64_t state_;
};

// The air by channel. Each channel keeps its own list of the radios tuned to it, so a frame costs
// what its channel's listeners cost and nothing for the radios elsewhere.
class MediumImpl final : public Medium {
 public:
  MediumImpl(EventLoop &loop, double lossPercent, std::uint64_t seed)
      : loop_(loop), loss_(std::clamp(lossPercent, 0.0, 100.0) / 100.0), rng_(seed) {}
  ~MediumImpl() override {
    for (auto &t : inFlight_)
      if (t.endTask) loop_.cancel(t.endTask);
  }

  void tune(Radio &radio, int channel) override {
    if (channel < 0 || channel > kChannels) channel = 0;
    auto it = tuned_.find(&radio);
    const int old = it == tuned_.end() ? 0 : it->second;
    if (old == channel) return;
    if (old) remove(channels_[old], radio);
    if (channel) {
      channels_[channel].radios.push_back({&radio, loop_.now()});
      tuned_[&radio] = channel;
    } else {
      tuned_.erase(&radio);
      // A radio that leaves the air hears nothing more of what it sent.
      for (auto &t : inFlight_)
        if (t.from == &radio) t.from = nullptr;
    }
  }
  int channelOf(const Radio &radio) const override {
    auto it = tuned_.find(&radio);
    return it == tuned_.end() ? 0 : it->second;
  }
  bool busy(int channel) const override { return valid(channel) && !channels_[channel].active.empty(); }
  Micros idleSince(int channel) const override { return valid(channel) ? channels_[channel].idleSince : 0; }

  Micros send(Radio &from, AirFrame frame) override { return sendAt(from, std::move(frame), loop_.now()); }
  Micros sendAt(Radio &from, AirFrame frame, Micros start) override {
    const int channel = channelOf(from);
    if (!channel) return loop_.now();
    Channel &c = channels_[channel];
    frame.channel = channel;
    frame.start = std::min(start, loop_.now());
    frame.airtime = airtimeOf(frame.bytes.size(), frame.rate500k);
    frame.damaged = false;
    ++counters_.frames;
    counters_.bytes += frame.bytes.size();
    Transmission &t = inFlight_.emplace_back();
    t.from = &from;
    t.frame = std::move(frame);
    // Frames that overlap on one channel are lost to every receiver.
    for (Transmission *other : c.active) {
      other->frame.damaged = true;
      t.frame.damaged = true;
    }
    c.active.push_back(&t);
    Transmission *tp = &t;
    t.endTask = loop_.at(t.frame.start + t.frame.airtime, [this, tp] { end(*tp); }, EventLoop::Lane::Device);
    forEach(c, [&](Radio &r) { r.carrier(tp->frame); });
    return tp->frame.start;
  }

  void addObserver(Observer observer) override { observers_.push_back(std::move(observer)); }
  World::Counters &counters() { return counters_; }
  const World::Counters &counters() const { return counters_; }

 private:
  struct Transmission {
    Radio *from = nullptr;
    AirFrame frame;
    EventLoop::TaskId endTask = 0;
    bool ended = false;
  };
  struct Tuned {
    Radio *radio;
    Micros since;
  };
  struct Channel {
    std::vector<Tuned> radios;
    std::vector<Transmission *> active;
    Micros idleSince = 0;
    int walking = 0;      // nested walks over `radios`: removals wait for the last to finish
    bool holes = false;
  };

  static bool valid(int channel) { return channel > 0 && channel <= kChannels; }

  void remove(Channel &c, Radio &radio) {
    for (auto &entry : c.radios)
      if (entry.radio == &radio) entry.radio = nullptr;
    c.holes = true;
    compact(c);
  }
  void compact(Channel &c) {
    if (c.walking || !c.holes) return;
    std::erase_if(c.radios, [](const Tuned &t) { return t.radio == nullptr; });
    c.holes = false;
  }
  // Calls fn for each radio on the channel; the callbacks may tune radios meanwhile.
  template <typename F>
  void forEach(Channel &c, F fn) {
    ++c.walking;
    for (std::size_t i = 0; i < c.radios.size(); ++i)
      if (c.radios[i].radio) fn(*c.radios[i].radio);
    --c.walking;
    compact(c);
  }

  void end(Transmission &t) {
    t.endTask = 0;
    const int channel = t.frame.channel;
    Channel &c = channels_[channel];
    std::erase(c.active, &t);
    // The frame's own end, however late a wall clock runs this.
    if (c.active.empty()) c.idleSince = std::max(c.idleSince, t.frame.start + t.frame.airtime);
    if (t.frame.damaged) ++counters_.damaged;
    ++c.walking;
    for (std::size_t i = 0; i < c.radios.size(); ++i) {
      Tuned entry = c.radios[i];
      if (!entry.radio || entry.radio == t.from) continue;
      // A radio that came to the channel after the preamble cannot decode the frame.
      bool intact = !t.frame.damaged && entry.since <= t.frame.start;
      if (intact && loss_ > 0 && rng_.unit() < loss_) {
        intact = false;
        ++counters_.lost;
      }
      entry.radio->hear(t.frame, intact);
    }
    --c.walking;
    compact(c);
    if (t.from) t.from->sent(t.frame);
    t.ended = true;
    // Observers take frames in the order they started, each once its fate is known.
    while (!inFlight_.empty() && inFlight_.front().ended) {
      for (auto &observer : observers_) observer(inFlight_.front().frame);
      inFlight_.pop_front();
    }
  }

  EventLoop &loop_;
  double loss_;
  Rng rng_;
  std::array<Channel, kChannels + 1> channels_;
  std::unordered_map<const Radio *, int> tuned_;
  std::deque<Transmission> inFlight_;
  std::vector<Observer> observers_;
  World::Counters counters_;
};

class WorldImpl final : public World {
 public:
  WorldImpl(EventLoop &loop, WorldConfig config)
      : config_(std::move(config)), medium_(loop, config_.lossPercent, config_.seed), events_(loop) {
    std::uint64_t place = 0;
    auto context = [&] { return StationContext{loop, medium_, medium_.counters(), config_.seed * 1000003 + place++}; };
    for (auto &ap : config_.accessPoints) stations_.push_back(makeAccessPoint(context(), ap));
    for (auto &peer : config_.peers) stations_.push_back(makePeer(context(), peer));
    if (!config_.accessPoints.empty())
      for (unsigned n = 0; n < config_.contenders; ++n)
        stations_.push_back(makeContender(context(), config_.accessPoints.front(), n));
    for (auto &s : stations_) s->setOn(true);
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
