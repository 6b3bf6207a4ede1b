// The air's pcap capture read back through libpcap: link type, radiotap fields at their offsets,
// frames byte for byte as sent, wall-clock time stamps, and a file that cannot be written.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <stdlib.h>

#include <filesystem>

#include "teskel/capture.h"

namespace {

namespace fs = std::filesystem;
using teskel::sim::air::AirFrame;
using teskel::sim::air::Capture;

struct Record {
  teskel::Micros time = 0;
  std::vector<std::uint8_t> bytes;
  std::uint32_t wireLength = 0;
};

std::vector<Record> readBack(const fs::path &path, int *linkType) {
  char error[PCAP_ERRBUF_SIZE];
  pcap_t *p = pcap_open_offline(path.c_str(), error);
  if (!p) throw std::runtime_error(error);
  *linkType = pcap_datalink(p);
  std::vector<Record> out;
  pcap_pkthdr *h = nullptr;
  const u_char *data = nullptr;
  while (pcap_next_ex(p, &h, &data) == 1)
    out.push_back({static_cast<teskel::Micros>(h->ts.tv_sec) * 1000000 + static_cast<teskel::Micros>(h->ts.tv_usec),
                   std::vector<std::uint8_t>(data, data + h->caplen), h->len});
  pcap_close(p);
  return out;
}

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "teskel-capture-XXXXXX").string();
    ASSERT_TRUE(mkdtemp(pattern.data()));
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(CaptureTest, FramesComeBackBehindRadiotapWithRateChannelAndSignal) {
  struct Case {
    int channel, frequency, signal;
    std::vector<std::uint8_t> frame;
    bool damaged;
    std::uint8_t flags;
    teskel::Micros start;
  };
  // A beacon-like management frame, a protected data frame (frame control 0x08 0x41), and a
  // frame that collided.
  const std::vector<Case> cases = {
      {6, 2437, 100, {0x80, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 5, 6}, false, 0x00, 1234567},
      {14, 2484, 80, {0x08, 0x41, 0x02, 0x01, 9, 9, 9, 9, 9, 9, 7, 7, 7, 7, 7, 7, 0xAA}, false, 0x04, 3000001},
      {1, 2412, 250, {0xC0, 0x00}, false, 0x00, 3000002},
      {1, 2412, 90, {0x08, 0x41, 0, 0}, true, 0x44, 3000003},
  };
  // Records are stamped in wall-clock time: the run's start plus the handheld's time.
  const teskel::Micros base = 1'780'000'000'000'000;
  const fs::path path = dir_ / "air.pcap";
  {
    Capture capture(path, base);
    auto observe = capture.observer();
    for (const auto &c : cases) {
      AirFrame f;
      f.bytes = c.frame;
      f.channel = c.channel;
      f.signal = c.signal;
      f.start = c.start;
      f.damaged = c.damaged;
      observe(f);
    }
    EXPECT_EQ(capture.frames(), cases.size());
  }
  int linkType = 0;
  auto records = readBack(path, &linkType);
  EXPECT_EQ(linkType, 127);
  ASSERT_EQ(records.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto &r = records[i].bytes;
    const auto &c = cases[i];
    SCOPED_TRACE(i);
    ASSERT_GE(r.size(), 16u);
    std::size_t length = r[2] | r[3] << 8;
    ASSERT_EQ(length, 16u);
    EXPECT_EQ(r[0], 0);
    std::uint32_t present = r[4] | r[5] << 8 | r[6] << 16 | static_cast<std::uint32_t>(r[7]) << 24;
    EXPECT_EQ(present, 0x300Eu);  // flags, rate, channel, dB signal, dB noise
    EXPECT_EQ(r[8], c.flags);     // WEP for the protected frame, a failed FCS for the damaged one
    EXPECT_EQ(r[9], 4);           // 2 Mbit/s in 500 kbit/s units
    EXPECT_EQ(r[10] | r[11] << 8, c.frequency);
    EXPECT_EQ(r[12] | r[13] << 8, 0x00A0);
    EXPECT_EQ(r[14], std::min(c.signal, 255));
    EXPECT_EQ(r[15], 10);
    EXPECT_EQ(std::vector<std::uint8_t>(r.begin() + 16, r.end()), c.frame);
    EXPECT_EQ(records[i].wireLength, r.size());
    EXPECT_EQ(records[i].time, base + c.start);
  }
}

TEST_F(CaptureTest, FlushedFramesAreReadableWhileTheCaptureRuns) {
  const fs::path path = dir_ / "live.pcap";
  Capture capture(path);
  AirFrame f;
  f.bytes = {0x40, 0x00};
  f.channel = 3;
  capture.write(f);
  capture.flush();
  int linkType = 0;
  EXPECT_EQ(readBack(path, &linkType).size(), 1u);
}

TEST_F(CaptureTest, UnwritableFileIsReportedWithItsName) {
  const fs::path path = dir_ / "missing" / "air.pcap";
  try {
    Capture capture(path);
    FAIL() << "no error";
  } catch (const std::runtime_error &e) {
    EXPECT_NE(std::string(e.what()).find(path.string()), std::string::npos) << e.what();
  }
}

}  // namespace
