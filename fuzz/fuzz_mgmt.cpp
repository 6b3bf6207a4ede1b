// Fuzz target: the management channel's parsers on any payload and its frame reader on any stream.
// A payload that parses encodes again, and that encoding parses back to the same encoding.
#include <cstdio>
#include <cstdlib>
#include <span>

#include "mgmt_protocol.h"

namespace {

using namespace teskel::handheld::mgmt;

[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "fuzz finding: %s\n", what);
  std::abort();
}

template <typename Parsed, typename Parse>
void roundTrip(std::span<const std::uint8_t> payload, Parse parse) {
  auto first = parse(payload);
  if (!std::holds_alternative<Parsed>(first)) return;
  const std::vector<std::uint8_t> encoded = encode(std::get<Parsed>(first));
  if (encoded.size() < 4) fail("an encoding without its length prefix");
  auto again = parse(std::span<const std::uint8_t>(encoded).subspan(4));
  if (!std::holds_alternative<Parsed>(again)) fail("an encoded message does not parse");
  if (encode(std::get<Parsed>(again)) != encoded) fail("a message parsed again encodes differently");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::span<const std::uint8_t> payload(data, size);
  roundTrip<Request>(payload, [](auto p) { return parseRequest(p); });
  roundTrip<Answer>(payload, [](auto p) { return parseAnswer(p); });
  // The same bytes as a stream in two pieces, each message it yields parsed.
  FrameReader reader;
  const std::size_t cut = size / 2;
  reader.feed(payload.first(cut));
  reader.feed(payload.subspan(cut));
  while (auto message = reader.next()) {
    (void)parseRequest(*message);
    (void)parseAnswer(*message);
  }
  return 0;
}
