// The air: frames reach the radios on their channel that take them after their air time, damaged
// when they overlap and each reception lost with the world's seeded loss rate; the default world
// and the world that owns its stations.
#include <algorithm>
#include <array>
#include <deque>
#include <unordered_map>

#include "air_impl.h"

namespace teskel::sim::air {

namespace {

constexpr int kChannels = 14;

std::uint64_t mix(std::uint64_t z) {
  // splitmix64's finaliser: the loss rate's draws, seeded, the same on every platform.
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::uint64_t packMac(const std::uint8_t *m) {
  std::uint64_t v = 0;
  for (int i = 0; i < 6; ++i) v = (v << 8) | m[i];
  return v;
}

// The air by channel. Each channel keeps its own lists of the radios tuned to it, by what they
// take, so a frame costs what its interested listeners cost: those that hear everything (the
// stations contending for the air), the one it is addressed to, or those that take its kind.
// A radio that does not hear a frame can still learn what it would have made of it: the channel
// keeps the last frame that ended and those whose NAV still runs, and whether a reception is
// lost is a function of the frame and the radio, whenever it is asked.
class MediumImpl final : public Medium {
 public:
  MediumImpl(EventLoop &loop, double lossPercent, std::uint64_t seed)
      : loop_(loop), loss_(std::clamp(lossPercent, 0.0, 100.0) / 100.0), seed_(mix(seed ^ 0x5DEECE66DULL)) {}
  ~MediumImpl() override {
    for (auto &t : inFlight_)
      if (t.endTask) loop_.cancel(t.endTask);
  }

  void tune(Radio &radio, int channel) override {
    if (channel < 0 || channel > kChannels) channel = 0;
    auto it = tunings_.find(&radio);
    Tuning *t = it == tunings_.end() ? nullptr : it->second.get();
    const int old = t ? t->channel : 0;
    if (old == channel) return;
    if (t) delist(*t);
    if (channel) {
      if (!t) {
        auto fresh = std::make_unique<Tuning>();
        fresh->radio = &radio;
        fresh->id = ++radioCount_;
        t = fresh.get();
        tunings_.emplace(&radio, std::move(fresh));
      }
      Channel &c = channels_[channel];
      t->channel = channel;
      t->since = loop_.now();
      t->lastSeen = c.ended;
      t->navOwed = 0;
      t->damagedOwed.reset();
      enlist(*t);
    } else {
      // A radio that leaves the air hears nothing more of what it sent.
      for (auto &f : inFlight_)
        if (f.from == &radio) f.from = nullptr;
      t->channel = 0;
      retired_.push_back(std::move(it->second));
      tunings_.erase(it);
      tidy();
    }
  }
  int channelOf(const Radio &radio) const override {
    auto it = tunings_.find(&radio);
    return it == tunings_.end() ? 0 : it->second->channel;
  }

  void listen(Radio &radio, const Interest &interest) override {
    auto it = tunings_.find(&radio);
    if (it == tunings_.end()) return;
    Tuning &t = *it->second;
    if (t.interest == interest) return;
    Interest same = t.interest;
    same.everything = interest.everything;
    if (same == interest) {
      // Only whether it hears everything changes: the lists by kind stay as they are.
      Channel &c = channels_[t.channel];
      if (interest.everything) c.everyone.push_back(&t);
      else drop(c.everyone, t);
      t.interest = interest;
      return;
    }
    delist(t);
    t.interest = interest;
    enlist(t);
  }

  Missed catchUp(Radio &radio) override {
    auto it = tunings_.find(&radio);
    if (it == tunings_.end()) return {};
    Tuning &t = *it->second;
    fold(t, channels_[t.channel]);
    Missed m{t.navOwed, t.damagedOwed};
    t.navOwed = 0;
    t.damagedOwed.reset();
    return m;
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
    Transmission &t = inFlight_.emplace_back();
    t.from = &from;
    t.serial = ++counters_.frames;
    counters_.bytes += frame.bytes.size();
    t.frame = std::move(frame);
    // Frames that overlap on one channel are lost to every receiver.
    for (Transmission *other : c.active) {
      other->frame.damaged = true;
      t.frame.damaged = true;
    }
    c.active.push_back(&t);
    Transmission *tp = &t;
    t.endTask = loop_.at(t.frame.start + t.frame.airtime, [this, tp] { end(*tp); }, EventLoop::Lane::Device);
    ++walking_;
    for (std::size_t i = 0; i < c.everyone.size(); ++i)
      if (Tuning *r = c.everyone[i]) r->radio->carrier(tp->frame);
    --walking_;
    tidy();
    return tp->frame.start;
  }

  void addObserver(Observer observer) override { observers_.push_back(std::move(observer)); }
  World::Counters &counters() { return counters_; }
  const World::Counters &counters() const { return counters_; }

 private:
  struct Tuning;
  using List = std::vector<Tuning *>;
  struct Tuning {
    Radio *radio = nullptr;
    std::uint64_t id = 0;  // its own, for the loss rate's draws
    int channel = 0;
    Micros since = 0;
    Interest interest;
    std::uint64_t lastSeen = 0;  // the channel's count of ended frames when it last heard one or caught up
    Micros navOwed = 0;          // what it missed since: the NAV of frames it would have heard
    std::optional<bool> damagedOwed;
  };
  struct Transmission {
    Radio *from = nullptr;
    std::uint64_t serial = 0;
    AirFrame frame;
    EventLoop::TaskId endTask = 0;
    bool ended = false;
  };
  // What a frame that ended tells a radio that did not hear it.
  struct Ended {
    std::uint64_t order = 0;   // among the frames ended on the channel
    std::uint64_t serial = 0;  // the frame's number on the air
    std::uint64_t from = 0;    // the sender's tuning id
    Micros start = 0;
    Micros nav = 0;            // the end of the NAV it sets for stations it is not addressed to
    std::uint64_t to = 0;      // the addressee, packed
    bool damaged = false;
  };
  struct Channel {
    std::vector<Transmission *> active;
    Micros idleSince = 0;
    std::uint64_t ended = 0;
    Ended last;
    std::vector<Ended> navs;  // frames whose NAV runs past the time the channel went idle
    List everyone, beacons, probes, groupData, otherGroup, others, damaged;
    std::unordered_map<std::uint64_t, List> byAddress;
  };

  static bool valid(int channel) { return channel > 0 && channel <= kChannels; }

  // The lists a radio is on, by its interest.
  template <typename F>
  void lists(Tuning &t, F fn) {
    Channel &c = channels_[t.channel];
    const Interest &i = t.interest;
    if (i.everything) fn(c.everyone);
    if (i.address) fn(c.byAddress[packMac(i.address->data())]);
    if (i.groups & Interest::kBeacons) fn(c.beacons);
    if (i.groups & Interest::kProbeRequests) fn(c.probes);
    if (i.groups & Interest::kGroupData) fn(c.groupData);
    if (i.groups & Interest::kOtherGroup) fn(c.otherGroup);
    if (i.others) fn(c.others);
    if (i.damaged) fn(c.damaged);
  }
  void enlist(Tuning &t) {
    lists(t, [&](List &l) { l.push_back(&t); });
  }
  void delist(Tuning &t) {
    lists(t, [&](List &l) { drop(l, t); });
  }
  // Takes a radio off a list; during a walk over the lists it leaves a hole, closed afterwards.
  void drop(List &l, Tuning &t) {
    auto it = std::find(l.begin(), l.end(), &t);
    if (it == l.end()) return;
    if (walking_) {
      *it = nullptr;
      if (std::find(holed_.begin(), holed_.end(), &l) == holed_.end()) holed_.push_back(&l);
    } else {
      l.erase(it);
    }
  }
  // Closes the holes walks left, in the lists that have them alone: a list is never freed
  // (an address's list stays, empty, for the next radio of that address).
  void tidy() {
    if (walking_) return;
    for (List *l : holed_) std::erase(*l, nullptr);
    holed_.clear();
    retired_.clear();
  }

  bool lost(std::uint64_t serial, const Tuning &t) const {
    if (loss_ <= 0) return false;
    const std::uint64_t draw = mix(seed_ ^ mix(serial * 0x9E3779B97F4A7C15ULL + t.id));
    return static_cast<double>(draw >> 11) * 0x1.0p-53 < loss_;
  }
  // Whether the radio heard the frame intact: it did not collide, the radio was on the channel
  // for its preamble, and the loss rate spared this reception.
  bool intact(const Tuning &t, const Ended &e) const { return !e.damaged && t.since <= e.start && !lost(e.serial, t); }
  void owe(Tuning &t, const Channel &c, std::uint64_t upTo) {
    for (const Ended &n : c.navs)
      if (n.order > t.lastSeen && n.order <= upTo && n.from != t.id &&
          !(t.interest.address && n.to == packMac(t.interest.address->data())) && intact(t, n))
        t.navOwed = std::max(t.navOwed, n.nav);
  }
  // Accounts the frames a radio missed, up to the last that ended on its channel.
  void fold(Tuning &t, const Channel &c) {
    if (t.lastSeen >= c.ended) return;
    owe(t, c, c.ended);
    if (c.last.from != t.id) t.damagedOwed = !intact(t, c.last);
    t.lastSeen = c.ended;
  }

  void hearOne(Tuning &t, const Channel &c, const Ended &e, const AirFrame &frame, bool heard) {
    if (t.lastSeen + 1 < e.order) owe(t, c, e.order - 1);
    t.damagedOwed.reset();
    t.lastSeen = e.order;
    if (!heard && !e.damaged && t.since <= e.start) ++counters_.lost;
    t.radio->hear(frame, heard);
  }

  void end(Transmission &t) {
    t.endTask = 0;
    const int channel = t.frame.channel;
    Channel &c = channels_[channel];
    const AirFrame &f = t.frame;
    std::erase(c.active, &t);
    // The frame's own end, however late a wall clock runs this.
    if (c.active.empty()) c.idleSince = std::max(c.idleSince, f.start + f.airtime);
    if (f.damaged) ++counters_.damaged;

    // The sender hears nothing of its own frame; what it missed before it stays its due.
    Tuning *sender = nullptr;
    if (t.from) {
      auto it = tunings_.find(t.from);
      if (it != tunings_.end() && it->second->channel == channel) sender = it->second.get();
    }
    if (sender) fold(*sender, c);

    Ended e;
    e.order = ++c.ended;
    e.serial = t.serial;
    e.from = sender ? sender->id : 0;
    e.start = f.start;
    e.damaged = f.damaged;
    e.nav = f.start + f.airtime;
    const auto &b = f.bytes;
    const bool addressed = b.size() >= 10;
    if (addressed) e.to = packMac(&b[4]);
    if (addressed && !f.damaged && (get16(b, 0) & fc::kTypeSubtypeMask) != fc::kAck && !(get16(b, 2) & 0x8000))
      e.nav += get16(b, 2);
    c.last = e;
    // A NAV that ends before the channel went idle holds nobody back: the idle time does.
    std::erase_if(c.navs, [&](const Ended &n) { return n.nav <= c.idleSince; });
    if (e.nav > f.start + f.airtime && e.nav > c.idleSince) c.navs.push_back(e);
    if (sender) sender->lastSeen = e.order;

    ++walking_;
    for (std::size_t i = 0; i < c.everyone.size(); ++i) {
      Tuning *r = c.everyone[i];
      if (r && r != sender && r->lastSeen != e.order) hearOne(*r, c, e, f, intact(*r, e));
    }
    if (!f.damaged) {
      // The radios that take it.
      auto offer = [&](List &l, bool beacon) {
        for (std::size_t i = 0; i < l.size(); ++i) {
          Tuning *r = l[i];
          if (!r || r == sender || r->lastSeen == e.order) continue;
          if (beacon && r->interest.network && b.size() >= 22 && packMac(&b[16]) != packMac(r->interest.network->data()))
            continue;
          const bool heard = intact(*r, e);
          if (heard || r->interest.damaged) hearOne(*r, c, e, f, heard);
        }
      };
      if (!addressed) {
        offer(c.otherGroup, false);
      } else if (!(b[4] & 1)) {
        if (auto it = c.byAddress.find(e.to); it != c.byAddress.end()) offer(it->second, false);
        offer(c.others, false);
      } else {
        const std::uint16_t control = get16(b, 0);
        const std::uint16_t kind = control & fc::kTypeSubtypeMask;
        if (kind == fc::kBeacon) offer(c.beacons, true);
        else if (kind == fc::kProbeRequest) offer(c.probes, false);
        else if ((control & fc::kTypeMask) == fc::kData) offer(c.groupData, false);
        else offer(c.otherGroup, false);
      }
    }
    // Those that count what they hear damaged.
    for (std::size_t i = 0; i < c.damaged.size(); ++i) {
      Tuning *r = c.damaged[i];
      if (r && r != sender && r->lastSeen != e.order && !intact(*r, e)) hearOne(*r, c, e, f, false);
    }
    --walking_;
    tidy();
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
  std::uint64_t seed_;
  std::array<Channel, kChannels + 1> channels_;
  std::unordered_map<const Radio *, std::unique_ptr<Tuning>> tunings_;
  std::vector<std::unique_ptr<Tuning>> retired_;  // gone during a walk: freed after it
  std::uint64_t radioCount_ = 0;
  std::vector<List *> holed_;  // lists with entries taken out during a walk
  int walking_ = 0;  // walks over the lists under way (their callbacks may tune and listen)
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
