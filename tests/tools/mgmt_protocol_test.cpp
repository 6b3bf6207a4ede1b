// The management channel's wire format and the OID tables the commands parse with: every message
// survives encoding, every malformed payload is refused with a reason, and the stream cutter copes
// with bytes arriving in any pieces.
#include <gtest/gtest.h>

#include "mgmt_protocol.h"
#include "oid_decode.h"
#include "oid_names.h"

namespace {

using namespace teskel::handheld;
using namespace teskel::handheld::mgmt;

std::span<const std::uint8_t> payloadOf(const std::vector<std::uint8_t> &message) {
  return std::span(message).subspan(4);
}

TEST(MgmtProtocol, EveryRequestAndAnswerSurvivesEncoding) {
  const std::vector<Request> requests = {
      QueryRequest{"Teskel1", 0x00010101, 248, {1, 2, 3}},
      QueryRequest{"", 0xFF010186, kMaxInformationBuffer, std::vector<std::uint8_t>(6, 0xAB)},
      SetRequest{"Teskel2", 0xFF01018C, std::vector<std::uint8_t>(kMaxInformationBuffer, 0x5A)},
      SetRequest{"", 0xFF010184, {}},
      CardRequest{CardAction::Eject},
      CardRequest{CardAction::Reinsert},
      StatusRequest{},
  };
  for (const auto &request : requests) {
    auto message = encode(request);
    auto parsed = parseRequest(payloadOf(message));
    ASSERT_TRUE(std::holds_alternative<Request>(parsed)) << std::get<Malformed>(parsed).why;
    EXPECT_EQ(encode(std::get<Request>(parsed)), message);
  }
  StatusAnswer status{true, 123456789012ull, {{"Teskel1", true, 0, 0x300, 15}, {"Teskel2", false, 0xC0000001, {}, {}}}, 300,
                      {{"Teskel1", 0xC000138B, {1, 2}, 77}}};
  const std::vector<Answer> answers = {
      InformationAnswer{"Teskel1", 0xC0010014, 0, 248, {}},
      InformationAnswer{"Teskel1", 0, 6, 0, {2, 0x54, 0x4B, 0, 0, 1}},
      CardAnswer{true, "card ejected: Teskel1 halted, nothing left held"},
      status,
      ErrorAnswer{"the card is out"},
  };
  for (const auto &answer : answers) {
    auto message = encode(answer);
    auto parsed = parseAnswer(payloadOf(message));
    ASSERT_TRUE(std::holds_alternative<Answer>(parsed)) << std::get<Malformed>(parsed).why;
    EXPECT_EQ(encode(std::get<Answer>(parsed)), message);
  }
}

TEST(MgmtProtocol, ASenderCannotEncodeWhatTheReceiverWouldRefuse) {
  EXPECT_THROW(encode(Request{QueryRequest{"", 1, kMaxInformationBuffer + 1, {}}}), std::length_error);
  EXPECT_THROW(encode(Request{QueryRequest{"", 1, 2, {1, 2, 3}}}), std::length_error);
  EXPECT_THROW(encode(Request{SetRequest{"", 1, std::vector<std::uint8_t>(kMaxInformationBuffer + 1)}}), std::length_error);
  EXPECT_THROW(encode(Request{SetRequest{std::string(kMaxText + 1, 'x'), 1, {}}}), std::length_error);
}

// A valid query with its fields patched: version, type, adapter name length, OID, length, byte count.
std::vector<std::uint8_t> query(std::uint8_t version, std::uint8_t type, std::uint32_t nameLength, std::uint32_t length,
                                std::uint32_t count, std::size_t actualBytes) {
  std::vector<std::uint8_t> p = {version, type};
  auto u32 = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  u32(nameLength);
  p.insert(p.end(), std::min<std::uint32_t>(nameLength, 8), 'T');
  u32(0x00010101);
  u32(length);
  u32(count);
  p.insert(p.end(), actualBytes, 0);
  return p;
}

TEST(MgmtProtocol, MalformedRequestsAreRefusedWithAReason) {
  struct Case {
    const char *name;
    std::vector<std::uint8_t> payload;
    const char *reason;
  } cases[] = {
      {"empty", {}, "ends in the middle"},
      {"other version", query(2, 1, 0, 4, 0, 0), "protocol version 2"},
      {"unknown type", query(1, 0x42, 0, 4, 0, 0), "request type 66"},
      {"answer type as request", query(1, 0x81, 0, 4, 0, 0), "request type 129"},
      {"name over its bound", query(1, 1, kMaxText + 1, 4, 0, 0), "claims 4097 bytes"},
      {"name longer than the message", query(1, 1, 100, 4, 0, 0), "ends in the middle"},
      {"buffer over 65535", query(1, 1, 0, 65536, 0, 0), "over 65535"},
      {"more first bytes than the buffer", query(1, 1, 0, 4, 5, 5), "claims 5 bytes, over 4"},
      {"first bytes missing", query(1, 1, 0, 8, 8, 7), "ends in the middle"},
      {"bytes left over", query(1, 1, 0, 8, 2, 3), "1 bytes left over"},
      {"card action 0", {1, 3, 0}, "card action 0"},
      {"card action 4", {1, 3, 4}, "card action 4"},
      {"status with a tail", {1, 4, 0}, "left over"},
  };
  for (const auto &c : cases) {
    auto parsed = parseRequest(c.payload);
    ASSERT_TRUE(std::holds_alternative<Malformed>(parsed)) << c.name;
    EXPECT_NE(std::get<Malformed>(parsed).why.find(c.reason), std::string::npos) << c.name << ": " << std::get<Malformed>(parsed).why;
  }
}

TEST(MgmtProtocol, EveryCutOfAValidMessageIsMalformedNeverACrash) {
  const std::vector<std::vector<std::uint8_t>> messages = {
      encode(Request{QueryRequest{"Teskel1", 0xFF010186, 14, {0, 0x10, 0x3E, 0, 8, 0}}}),
      encode(Answer{StatusAnswer{true, 5, {{"Teskel1", true, 0, 0x300, 15}}, 1, {{"Teskel1", 0xC000138B, {3}, 9}}}}),
  };
  for (const auto &message : messages) {
    auto payload = payloadOf(message);
    for (std::size_t cut = 0; cut < payload.size(); ++cut) {
      EXPECT_TRUE(std::holds_alternative<Malformed>(parseRequest(payload.first(cut)))) << cut;
      EXPECT_TRUE(std::holds_alternative<Malformed>(parseAnswer(payload.first(cut)))) << cut;
    }
  }
  // An answer may not claim more instances or log lines than the bounds, whatever follows.
  std::vector<std::uint8_t> flood = {1, 0x84, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_NE(std::get<Malformed>(parseAnswer(flood)).why.find("over 16"), std::string::npos);
}

TEST(MgmtProtocol, TheFrameReaderCutsAStreamFedInAnyPieces) {
  std::vector<std::uint8_t> stream;
  const std::vector<Request> requests = {StatusRequest{}, QueryRequest{"", 1, 300, std::vector<std::uint8_t>(300, 7)},
                                         CardRequest{CardAction::Insert}};
  for (const auto &r : requests) {
    auto m = encode(r);
    stream.insert(stream.end(), m.begin(), m.end());
  }
  for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{64}, stream.size()}) {
    FrameReader reader;
    std::vector<std::vector<std::uint8_t>> got;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      reader.feed(std::span(stream).subspan(at, std::min(piece, stream.size() - at)));
      while (auto payload = reader.next()) got.push_back(*payload);
    }
    ASSERT_EQ(got.size(), requests.size()) << piece;
    for (std::size_t i = 0; i < got.size(); ++i)
      EXPECT_EQ(encode(std::get<Request>(parseRequest(got[i]))), encode(requests[i])) << piece;
    EXPECT_EQ(reader.buffered(), 0u);
  }
  FrameReader reader;
  std::vector<std::uint8_t> huge = {0x01, 0x00, 0x02, 0x00};  // 128 KiB + 1
  reader.feed(huge);
  EXPECT_FALSE(reader.next());
  EXPECT_TRUE(reader.broken());
  reader.feed(encode(Request{StatusRequest{}}));
  EXPECT_FALSE(reader.next()) << "nothing after a broken length can be trusted";
}

TEST(OidNames, OidsByNameOrNumberAndHexBytes) {
  EXPECT_EQ(parseOid("OID_GEN_MEDIA_CONNECT_STATUS"), 0x00010114u);
  EXPECT_EQ(parseOid("oid_priv_tallies"), 0xFF02018Du);
  EXPECT_EQ(parseOid("0x00010101"), 0x00010101u);
  EXPECT_EQ(parseOid("65793"), 0x00010101u);
  for (const char *bad : {"OID_GEN_NOTHING", "", "0x", "0x1FFFFFFFF", "4294967296", "12abc", "-1", " 1"})
    EXPECT_FALSE(parseOid(bad)) << bad;
  for (const auto &info : oidTable()) EXPECT_EQ(parseOid(info.name), info.oid) << info.name;

  EXPECT_EQ(parseHex("00103E00 0800"), (std::vector<std::uint8_t>{0x00, 0x10, 0x3E, 0x00, 0x08, 0x00}));
  EXPECT_EQ(parseHex("02:54:4b"), (std::vector<std::uint8_t>{0x02, 0x54, 0x4B}));
  EXPECT_TRUE(parseHex("").empty());
  EXPECT_THROW(parseHex("abc"), std::invalid_argument);
  EXPECT_THROW(parseHex("0 1 2"), std::invalid_argument);
  EXPECT_THROW(parseHex("0x12"), std::invalid_argument);
  EXPECT_EQ(describeStatus(0xC0010014), "NDIS_STATUS_INVALID_LENGTH (0xC0010014)");
  EXPECT_EQ(describeStatus(0x12345678), "0x12345678");
}

TEST(OidDecode, ReadingsOfTheMaintenanceAnswers) {
  // Production data: format word, station address, serial number, hardware version, domain.
  std::vector<std::uint8_t> production = {1, 0, 2, 0x54, 0x4B, 0, 0, 7, 'T', 'K', '0', '0', '0', '0',
                                          '0', '0', '0', '0', '0', '7', 2, 1, 0x10, 0};
  production.resize(1024, 0xFF);
  EXPECT_EQ(jsonFields(decode(Reading::ProductionData, production)),
            "{\"format\":1,\"station address\":\"02:54:4B:00:00:07\",\"serial number\":\"TK0000000007\","
            "\"hardware version\":\"0x0102\",\"regulatory domain\":\"0x0010\"}");
  // A memory request whose count claims more than came back shows what is there.
  EXPECT_EQ(jsonFields(decode(Reading::MemoryRequest, std::vector<std::uint8_t>{0, 0x10, 0x3E, 0, 8, 0, 1, 2})),
            "{\"address\":\"0x003E1000\",\"byte count\":8,\"data\":\"01 02\"}");
  // A MIB record of the desired SSID, read by its attribute.
  std::vector<std::uint8_t> mib = {0x09, 0x01, 0x01, 0x01, 0, 0, 0, 0, 3, 0, 0, 0, 'L', 'a', 'b', 0};
  EXPECT_EQ(jsonFields(decode(Reading::MibRecord, mib)),
            "{\"identifier\":\"0x01010109\",\"attribute\":\"dot11DesiredSSID\",\"record status\":0,\"data length\":3,"
            "\"data\":\"4C 61 62\",\"value\":\"Lab\"}");
  // The supported list may name an OID twice: entries are keyed by position, never by OID.
  std::vector<std::uint8_t> list = {0x81, 0x01, 0x01, 0xFF, 0x81, 0x01, 0x01, 0xFF};
  EXPECT_EQ(jsonFields(decode(Reading::OidList, list)),
            "{\"count\":2,\"oids\":{\"0\":\"0xFF010181 OID_PRIV_RECORD\",\"1\":\"0xFF010181 OID_PRIV_RECORD\"}}");
  // Too few bytes for a reading give nothing rather than a read past the answer.
  // (0xEE as a length or count claims far more than the bytes hold.)
  for (std::size_t size : {3, 13})
    for (Reading r : {Reading::Number, Reading::Address, Reading::Tallies, Reading::Registers, Reading::ProductionData,
                      Reading::MemoryRequest, Reading::Record, Reading::MibRecord})
      EXPECT_NO_THROW(decode(r, std::vector<std::uint8_t>(size, 0xEE)));
  EXPECT_EQ(jsonString("a\"b\\\n\x01"), "\"a\\\"b\\\\\\n\\u0001\"");
}

}  // namespace
