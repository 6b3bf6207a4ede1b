// The management channel's wire format between the handheld commands and a running handheld:
// length-prefixed messages, encoded and parsed by pure functions (a fuzz target can feed them bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace teskel::handheld::mgmt {

// A message is a 4-byte little-endian payload length, then the payload: a version byte, a type
// byte and the type's fields (integers little-endian; texts and byte strings with a 32-bit length
// in front). Every length is bounded before anything is taken on trust.
inline constexpr std::uint8_t kVersion = 1;
inline constexpr std::size_t kMaxPayload = 128 * 1024;
inline constexpr std::uint32_t kMaxInformationBuffer = 65535;
inline constexpr std::size_t kMaxText = 4096;
inline constexpr std::size_t kMaxErrorLogLines = 256;
inline constexpr std::size_t kMaxInstances = 16;
inline constexpr std::size_t kMaxLogValues = 32;

// ---- requests -----------------------------------------------------------------------------------

// `adapter` names the instance; empty means the first one running.
struct QueryRequest {
  std::string adapter;
  std::uint32_t oid = 0;
  std::uint32_t length = 0;          // the information buffer's length, at most kMaxInformationBuffer
  std::vector<std::uint8_t> bytes;   // its first bytes (the rest are zero); no more than `length`
};
struct SetRequest {
  std::string adapter;
  std::uint32_t oid = 0;
  std::vector<std::uint8_t> bytes;   // the whole information buffer, at most kMaxInformationBuffer
};
enum class CardAction : std::uint8_t { Eject = 1, Insert = 2, Reinsert = 3 };
struct CardRequest {
  CardAction action = CardAction::Reinsert;
};
struct StatusRequest {};
using Request = std::variant<QueryRequest, SetRequest, CardRequest, StatusRequest>;

// ---- answers ------------------------------------------------------------------------------------

struct InformationAnswer {
  std::string adapter;               // the instance that answered
  std::uint32_t status = 0;
  std::uint32_t bytesDone = 0;       // BytesWritten of a query, BytesRead of a set
  std::uint32_t bytesNeeded = 0;
  std::vector<std::uint8_t> bytes;   // a query's buffer up to BytesWritten; a set's as the driver left it
};
struct CardAnswer {
  bool ok = false;
  std::string text;                  // one line: what happened, or why nothing did
};
struct InstanceState {
  std::string name;
  bool running = false;
  std::uint32_t initializeStatus = 0;  // what MiniportInitialize returned at the last insertion
  std::optional<std::uint32_t> ioBase;
  std::optional<std::uint32_t> interrupt;
};
struct ErrorLogLine {
  std::string adapter;
  std::uint32_t code = 0;
  std::vector<std::uint32_t> values;
  std::uint64_t time = 0;            // microseconds since boot
};
struct StatusAnswer {
  bool cardIn = false;
  std::uint64_t uptime = 0;          // microseconds since boot
  std::vector<InstanceState> instances;
  std::uint32_t errorLogTotal = 0;   // entries written so far; the last kMaxErrorLogLines follow
  std::vector<ErrorLogLine> errorLog;
};
struct ErrorAnswer {
  std::string message;
};
using Answer = std::variant<InformationAnswer, CardAnswer, StatusAnswer, ErrorAnswer>;

// ---- encoding and parsing -----------------------------------------------------------------------

// A whole message, length prefix included. Throws std::length_error when a field is over its bound
// (the sender's mistake, never sent).
std::vector<std::uint8_t> encode(const Request &request);
std::vector<std::uint8_t> encode(const Answer &answer);

// Parses one payload (the bytes after the length prefix). A malformed payload gives the reason.
struct Malformed {
  std::string why;
};
std::variant<Request, Malformed> parseRequest(std::span<const std::uint8_t> payload);
std::variant<Answer, Malformed> parseAnswer(std::span<const std::uint8_t> payload);

// Cuts a byte stream into payloads. A length prefix over kMaxPayload breaks the stream for good:
// nothing after it can be trusted to start a message.
class FrameReader {
 public:
  void feed(std::span<const std::uint8_t> bytes);
  std::optional<std::vector<std::uint8_t>> next();
  bool broken() const { return broken_; }
  std::size_t buffered() const { return buffer_.size() - start_; }

 private:
  std::vector<std::uint8_t> buffer_;
  std::size_t start_ = 0;
  bool broken_ = false;
};

}  // namespace teskel::handheld::mgmt
