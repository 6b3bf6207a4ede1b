// The network stack's requests at bind time, in the order it makes them, and the account of the
// driver's answers.
#include "bind_time.h"

#include <ndis.h>

#include <array>
#include <vector>

#include "oid_decode.h"
#include "oid_names.h"
#include "teskel/ndis_host.h"

namespace teskel::handheld {
namespace {

constexpr NDIS_OID kSupportedList = 0x00010101;
constexpr NDIS_OID kMaximumLookahead = 0x00010105;
constexpr NDIS_OID kMaximumFrameSize = 0x00010106;
constexpr NDIS_OID kPacketFilter = 0x0001010E;
constexpr NDIS_OID kCurrentLookahead = 0x0001010F;
constexpr NDIS_OID kMediaConnectStatus = 0x00010114;
constexpr NDIS_OID kPermanentAddress = 0x01010101;
constexpr NDIS_OID kCurrentAddress = 0x01010102;

// Directed, multicast and broadcast frames: what an IP stack receives.
constexpr std::uint32_t kStackFilter = 0x0000000B;
// The lookahead the stack asks for when the adapter does not say what it offers.
constexpr std::uint32_t kDefaultLookahead = 128;
// A supported list longer than this is not believed.
constexpr ULONG kMaxSupportedList = 4096;

std::uint32_t le32(const std::uint8_t *b) {
  return b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

class Account {
 public:
  void said(std::string text) { said_.push_back(std::move(text)); }
  void refused(const std::string &what, const std::string &why) {
    for (auto &group : refused_) {
      if (group.why != why) continue;
      group.what.push_back(what);
      return;
    }
    refused_.push_back({why, {what}});
  }
  // A successful answer shorter than the result: not believed either.
  bool check(const std::string &what, const ndis::InformationResult &r, ULONG size) {
    if (r.status != NDIS_STATUS_SUCCESS) {
      refused(what, describeStatus(r.status));
      return false;
    }
    if (r.bytesDone < size) {
      refused(what, "answered with " + std::to_string(r.bytesDone) + " of " + std::to_string(size) + " bytes");
      return false;
    }
    return true;
  }
  std::string text() const {
    std::string out;
    for (const auto &s : said_) out += ", " + s;
    for (const auto &group : refused_) {
      out += "; the driver refused ";
      for (std::size_t i = 0; i < group.what.size(); ++i) out += (i ? ", " : "") + group.what[i];
      out += " (" + group.why + ")";
    }
    return out;
  }

 private:
  struct Group {
    std::string why;
    std::vector<std::string> what;
  };
  std::vector<std::string> said_;
  std::vector<Group> refused_;
};

}  // namespace

std::string bindProtocol(ndis::Adapter &adapter) {
  Account account;

  // The stack learns the list's size from a first empty query, as it would for any list.
  std::vector<std::uint8_t> list;
  auto r = adapter.queryInformation(kSupportedList, list);
  if (r.status == NDIS_STATUS_INVALID_LENGTH && r.bytesNeeded > 0 && r.bytesNeeded <= kMaxSupportedList) {
    list.resize(r.bytesNeeded);
    r = adapter.queryInformation(kSupportedList, list);
  }
  std::string supported;
  if (account.check("the supported list", r, 4)) supported = std::to_string(r.bytesDone / 4) + " OIDs supported";

  std::array<std::uint8_t, 6> permanent{}, current{};
  r = adapter.queryInformation(kPermanentAddress, permanent);
  bool havePermanent = account.check("the permanent address", r, 6);
  r = adapter.queryInformation(kCurrentAddress, current);
  if (account.check("the station address", r, 6)) account.said("station address " + macText(current));
  if (havePermanent) account.said("permanent address " + macText(permanent));
  if (!supported.empty()) account.said(supported);

  std::array<std::uint8_t, 4> number{};
  r = adapter.queryInformation(kMaximumFrameSize, number);
  if (account.check("the maximum frame size", r, 4)) account.said("frame size " + std::to_string(le32(number.data())));
  std::uint32_t lookahead = kDefaultLookahead;
  r = adapter.queryInformation(kMaximumLookahead, number);
  if (account.check("the maximum lookahead", r, 4)) {
    lookahead = le32(number.data());
    account.said("lookahead up to " + std::to_string(lookahead));
  }

  auto set32 = [&](NDIS_OID oid, std::uint32_t value) {
    std::array<std::uint8_t, 4> bytes{};
    for (int i = 0; i < 4; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    return adapter.setInformation(oid, bytes);
  };
  r = set32(kPacketFilter, kStackFilter);
  if (account.check("the packet filter " + hex32(kStackFilter), r, 0)) account.said("packet filter " + hex32(kStackFilter) + " set");
  r = set32(kCurrentLookahead, lookahead);
  if (account.check("the lookahead " + std::to_string(lookahead), r, 0)) account.said("lookahead " + std::to_string(lookahead) + " set");

  r = adapter.queryInformation(kMediaConnectStatus, number);
  if (account.check("the media connect state", r, 4)) {
    std::uint32_t state = le32(number.data());
    account.said(state == 0 ? "media connected" : state == 1 ? "media disconnected" : "media state " + std::to_string(state));
  }
  return account.text();
}

}  // namespace teskel::handheld
