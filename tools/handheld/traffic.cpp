// The traffic generator binding: ARP for the responder, ICMP echo at a rate, or UDP at full speed.
#include "traffic.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "commands.h"
#include "world_options.h"

namespace teskel::handheld {
namespace {

constexpr Micros kArpRetry = 1000000;
constexpr std::size_t kUdpWindow = 8;  // sends kept with the adapter at full speed
constexpr std::uint64_t kSteadyAfter = 2 * kUdpWindow;
constexpr std::uint16_t kDiscardPort = 9, kSourcePort = 40009;
constexpr std::size_t kEchoData = 56;

std::string ms(double micros) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", micros / 1000.0);
  return text;
}

std::string mbits(double bytes, Micros over) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f Mbit/s", over ? bytes * 8.0 / static_cast<double>(over) : 0.0);
  return text;
}

}  // namespace

TrafficConfig parseTraffic(const std::string &text) {
  TrafficConfig config;
  auto eq = text.find('=');
  std::string kind = text.substr(0, eq);
  std::string value = eq == std::string::npos ? "" : text.substr(eq + 1);
  char *end = nullptr;
  errno = 0;
  if (kind == "ping") {
    config.kind = TrafficConfig::Kind::Ping;
    if (eq != std::string::npos) {
      config.rate = std::strtod(value.c_str(), &end);
      if (value.empty() || *end || errno || !std::isfinite(config.rate) || config.rate < 0.01 || config.rate > 10000)
        throw UsageError("--traffic ping=RATE takes echo requests per second from 0.01 to 10000, not " + argText(value));
    }
  } else if (kind == "udp") {
    config.kind = TrafficConfig::Kind::Udp;
    if (eq != std::string::npos) {
      long size = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end || errno || size < 1 || size > 1472)
        throw UsageError("--traffic udp=SIZE takes a payload of 1 to 1472 bytes, not " + argText(value));
      config.size = static_cast<std::size_t>(size);
    }
  } else {
    throw UsageError("--traffic takes ping[=RATE] or udp[=SIZE], not " + argText(text));
  }
  return config;
}

TrafficGenerator::TrafficGenerator(EventLoop &loop, ndis::Adapter &adapter, eth::Mac station, TrafficConfig config)
    : loop_(loop),
      station_(station),
      config_(config),
      binding_(
          adapter, [this](std::span<const std::uint8_t> frame) { receive(frame); },
          [this](NDIS_STATUS status, std::size_t bytes) { completed(status, bytes); }),
      reportedAt_(loop.now()) {}

TrafficGenerator::~TrafficGenerator() { stop(); }

void TrafficGenerator::stop() {
  stopped_ = true;
  if (task_) loop_.cancel(task_);
  task_ = 0;
}

void TrafficGenerator::setTarget(std::optional<TrafficTarget> target) {
  if (target == target_ || stopped_) return;
  target_ = target;
  responderMac_.reset();
  forgetFrames();
  sentAt_.clear();
  nextArp_ = loop_.now();
  if (task_) loop_.cancel(task_);
  task_ = 0;
  if (target_) tick();
}

void TrafficGenerator::tick() {
  task_ = 0;
  if (stopped_ || !target_) return;
  if (!responderMac_) {
    if (loop_.now() >= nextArp_) {
      binding_.send(eth::arpRequest(station_, target_->own, target_->responder));
      ++stats_.arpRequests;
      nextArp_ = loop_.now() + kArpRetry;
    }
    task_ = loop_.at(nextArp_, [this] { tick(); });
    return;
  }
  if (config_.kind == TrafficConfig::Kind::Ping) {
    sendEcho();
    task_ = loop_.after(static_cast<Micros>(std::llround(1e6 / config_.rate)), [this] { tick(); });
  } else {
    fillUdp();
  }
}

void TrafficGenerator::forgetFrames() {
  udpFrame_.clear();
  echoFrame_.reset();
}

void TrafficGenerator::sendEcho() {
  std::uint16_t seq = ++sequence_;
  if (!echoFrame_) {
    std::vector<std::uint8_t> data(kEchoData);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    echoFrame_.emplace(station_, *responderMac_, target_->own, target_->responder, echoId_, data);
  }
  binding_.send(echoFrame_->with(seq, ++ipId_));
  sentAt_[seq] = loop_.now();
  ++stats_.requests;
  // Requests unanswered after a minute are given up (and stay counted as lost).
  while (!sentAt_.empty() && sentAt_.begin()->second + 60000000 < loop_.now()) sentAt_.erase(sentAt_.begin());
}

void TrafficGenerator::fillUdp() {
  // Every datagram is the same one (identification 0, as a sender that never fragments may use).
  if (udpFrame_.empty()) {
    std::vector<std::uint8_t> data(config_.size);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    auto udp = eth::udpDatagram(target_->own, target_->responder, kSourcePort, kDiscardPort, data);
    udpFrame_ = eth::ipv4Frame(station_, *responderMac_, target_->own, target_->responder, eth::kProtoUdp, 0, udp);
  }
  while (binding_.outstanding() < kUdpWindow) {
    binding_.send(udpFrame_);
  }
}

void TrafficGenerator::completed(NDIS_STATUS status, std::size_t) {
  if (status != NDIS_STATUS_SUCCESS) {
    ++stats_.sendFailures;
  } else if (config_.kind == TrafficConfig::Kind::Udp && responderMac_) {
    ++stats_.datagrams;
    stats_.payloadBytes += config_.size;
    stats_.lastCompletion = loop_.now();
    if (stats_.datagrams == kSteadyAfter) stats_.steadyFrom = loop_.now();
    else if (stats_.datagrams > kSteadyAfter) stats_.steadyBytes += config_.size;
  }
  if (config_.kind == TrafficConfig::Kind::Udp && responderMac_ && !stopped_ && target_ && !task_)
    task_ = loop_.after(0, [this] {
      task_ = 0;
      if (!stopped_ && target_ && responderMac_) fillUdp();
    });
}

void TrafficGenerator::receive(std::span<const std::uint8_t> frame) {
  if (!target_ || frame.size() < 14) return;
  if (!std::equal(station_.begin(), station_.end(), frame.begin())) return;  // not to us
  if (auto arp = eth::parseArpReply(frame)) {
    if (arp->senderIp == target_->responder && !responderMac_) {
      responderMac_ = arp->senderMac;
      forgetFrames();
      if (task_) loop_.cancel(task_);
      task_ = loop_.after(0, [this] { tick(); });
    }
    return;
  }
  if (auto echo = eth::parseEchoReply(frame)) {
    if (echo->from != target_->responder || echo->id != echoId_) return;
    auto it = sentAt_.find(echo->sequence);
    if (it == sentAt_.end()) return;  // a duplicate or one given up on
    Micros rtt = loop_.now() - it->second;
    sentAt_.erase(it);
    if (!stats_.replies || rtt < stats_.rttMin) stats_.rttMin = rtt;
    if (rtt > stats_.rttMax) stats_.rttMax = rtt;
    stats_.rttSum += rtt;
    ++stats_.replies;
  }
}

std::string TrafficGenerator::statusText() {
  std::string text;
  Micros now = loop_.now();
  if (!target_) {
    text = "traffic waiting for a network";
  } else if (!responderMac_) {
    text = "traffic resolving " + formatIp(target_->responder);
  } else if (config_.kind == TrafficConfig::Kind::Ping) {
    std::uint64_t replies = stats_.replies - reported_.replies;
    text = "echo " + std::to_string(stats_.requests - reported_.requests) + " sent, " + std::to_string(replies) +
           " replies";
    if (replies) text += ", rtt " + ms(static_cast<double>(stats_.rttSum - reported_.rttSum) / static_cast<double>(replies));
  } else {
    text = "udp " + std::to_string(stats_.datagrams - reported_.datagrams) + " datagrams, " +
           mbits(static_cast<double>(stats_.payloadBytes - reported_.payloadBytes), now - reportedAt_);
  }
  reported_ = stats_;
  reportedAt_ = now;
  return text;
}

std::string TrafficGenerator::summaryText() const {
  if (config_.kind == TrafficConfig::Kind::Ping) {
    std::string text = "echo: " + std::to_string(stats_.requests) + " requests, " + std::to_string(stats_.replies) +
                       " replies received";
    if (stats_.requests) {
      char loss[32];
      std::snprintf(loss, sizeof loss, ", %.0f%% lost",
                    100.0 * static_cast<double>(stats_.requests - std::min(stats_.replies, stats_.requests)) /
                        static_cast<double>(stats_.requests));
      text += loss;
    }
    if (stats_.replies)
      text += ", rtt min/avg/max " + ms(static_cast<double>(stats_.rttMin)) + " / " +
              ms(static_cast<double>(stats_.rttSum) / static_cast<double>(stats_.replies)) + " / " +
              ms(static_cast<double>(stats_.rttMax));
    if (!stats_.requests && stats_.arpRequests) text += " (the responder never answered ARP)";
    return text;
  }
  std::string text = "udp: " + std::to_string(stats_.datagrams) + " datagrams of " + std::to_string(config_.size) +
                     " bytes, " + std::to_string(stats_.payloadBytes) + " payload bytes";
  if (stats_.datagrams > kSteadyAfter)
    text += ", " + mbits(static_cast<double>(stats_.steadyBytes), stats_.lastCompletion - stats_.steadyFrom);
  if (!stats_.datagrams && stats_.arpRequests) text += " (the responder never answered ARP)";
  return text;
}

}  // namespace teskel::handheld
