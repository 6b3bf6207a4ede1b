// A capture of everything on the air into a pcap file: 802.11 frames behind a radiotap header
// (link type 127) with flags, rate, channel frequency and signal, frames as sent, FCS not included.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "teskel/air.h"

namespace teskel::sim::air {

// The channel's centre frequency in MHz (2412 for channel 1 ... 2472 for 13, 2484 for 14).
int channelFrequency(int channel);

// The radiotap header the capture puts before a frame: flags (WEP when the frame is protected, a
// failed FCS when it was damaged on the air; the FCS itself is not included), rate, channel
// frequency and flags (2 GHz), and the signal and noise levels as dB above an arbitrary
// reference, which is what the air's 0-to-200 levels are.
std::vector<std::uint8_t> radiotapHeader(const AirFrame &frame);

class Capture {
 public:
  // Creates (or truncates) the file. Records are stamped `timeBase` plus the frame's start on the
  // air, both in microseconds: the run's start in Unix time less the handheld's time then makes
  // wall-clock stamps on either clock. Throws std::runtime_error naming the file and the reason.
  explicit Capture(const std::filesystem::path &path, std::uint64_t timeBase = 0);
  ~Capture();
  Capture(const Capture &) = delete;
  Capture &operator=(const Capture &) = delete;

  // Appends one frame, stamped with the start of its preamble on the air.
  void write(const AirFrame &frame);
  // Writes what is buffered, so that a reader of a running capture sees every frame so far.
  void flush();
  // An observer for Medium::addObserver; the capture must outlive the medium's use of it.
  Medium::Observer observer();

  std::uint64_t frames() const { return frames_; }
  const std::filesystem::path &path() const { return path_; }

 private:
  struct Handles;
  std::filesystem::path path_;
  std::unique_ptr<Handles> handles_;
  std::uint64_t timeBase_;
  std::uint64_t frames_ = 0;
};

}  // namespace teskel::sim::air
