// Encoding and parsing of the management channel's messages; nothing here trusts a length it has
// not checked against the bytes at hand and the field's bound.
#include "mgmt_protocol.h"

#include <stdexcept>

namespace teskel::handheld::mgmt {
namespace {

enum Type : std::uint8_t {
  kQuery = 0x01,
  kSet = 0x02,
  kCard = 0x03,
  kStatus = 0x04,
  kInformation = 0x81,
  kCardDone = 0x83,
  kStatusDone = 0x84,
  kError = 0xFF,
};

class Writer {
 public:
  explicit Writer(Type type) : out_(4, 0) {
    u8(kVersion);
    u8(type);
  }
  void u8(std::uint8_t v) { out_.push_back(v); }
  void u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void u64(std::uint64_t v) {
    u32(static_cast<std::uint32_t>(v));
    u32(static_cast<std::uint32_t>(v >> 32));
  }
  void bytes(std::span<const std::uint8_t> b, std::size_t bound) {
    if (b.size() > bound) throw std::length_error("a byte string over " + std::to_string(bound) + " bytes");
    u32(static_cast<std::uint32_t>(b.size()));
    out_.insert(out_.end(), b.begin(), b.end());
  }
  void text(const std::string &s) {
    bytes(std::span(reinterpret_cast<const std::uint8_t *>(s.data()), s.size()), kMaxText);
  }
  void optional32(const std::optional<std::uint32_t> &v) {
    u8(v ? 1 : 0);
    u32(v.value_or(0));
  }
  std::vector<std::uint8_t> finish() {
    std::size_t payload = out_.size() - 4;
    if (payload > kMaxPayload) throw std::length_error("a message over " + std::to_string(kMaxPayload) + " bytes");
    for (int i = 0; i < 4; ++i) out_[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(payload >> (8 * i));
    return std::move(out_);
  }

 private:
  std::vector<std::uint8_t> out_;
};

struct Bad {
  std::string why;
};

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> in) : in_(in) {}
  std::uint8_t u8() { return take(1)[0]; }
  std::uint32_t u32() {
    auto b = take(4);
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
  }
  std::uint64_t u64() {
    std::uint64_t low = u32();
    return low | static_cast<std::uint64_t>(u32()) << 32;
  }
  bool flag() {
    std::uint8_t v = u8();
    if (v > 1) throw Bad{"a flag byte is neither 0 nor 1"};
    return v == 1;
  }
  std::vector<std::uint8_t> bytes(std::size_t bound, const char *what) {
    std::uint32_t n = u32();
    if (n > bound) throw Bad{std::string(what) + " claims " + std::to_string(n) + " bytes, over " + std::to_string(bound)};
    auto b = take(n);
    return {b.begin(), b.end()};
  }
  std::string text(const char *what) {
    auto b = bytes(kMaxText, what);
    return {b.begin(), b.end()};
  }
  std::optional<std::uint32_t> optional32() {
    bool present = flag();
    std::uint32_t v = u32();
    return present ? std::optional(v) : std::nullopt;
  }
  std::size_t count(std::size_t bound, const char *what) {
    std::uint32_t n = u32();
    if (n > bound) throw Bad{std::string(what) + ": " + std::to_string(n) + " entries, over " + std::to_string(bound)};
    return n;
  }
  void end() const {
    if (pos_ != in_.size()) throw Bad{std::to_string(in_.size() - pos_) + " bytes left over after the message"};
  }

 private:
  std::span<const std::uint8_t> take(std::size_t n) {
    if (in_.size() - pos_ < n) throw Bad{"the message ends in the middle of a field"};
    auto b = in_.subspan(pos_, n);
    pos_ += n;
    return b;
  }
  std::span<const std::uint8_t> in_;
  std::size_t pos_ = 0;
};

std::uint8_t header(Reader &r) {
  std::uint8_t version = r.u8();
  if (version != kVersion)
    throw Bad{"protocol version " + std::to_string(version) + " (this handheld speaks " + std::to_string(kVersion) + ")"};
  return r.u8();
}

}  // namespace

std::vector<std::uint8_t> encode(const Request &request) {
  return std::visit(
      [](const auto &m) {
        using T = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<T, QueryRequest>) {
          if (m.length > kMaxInformationBuffer || m.bytes.size() > m.length)
            throw std::length_error("a query buffer over its bounds");
          Writer w(kQuery);
          w.text(m.adapter);
          w.u32(m.oid);
          w.u32(m.length);
          w.bytes(m.bytes, m.length);
          return w.finish();
        } else if constexpr (std::is_same_v<T, SetRequest>) {
          Writer w(kSet);
          w.text(m.adapter);
          w.u32(m.oid);
          w.bytes(m.bytes, kMaxInformationBuffer);
          return w.finish();
        } else if constexpr (std::is_same_v<T, CardRequest>) {
          Writer w(kCard);
          w.u8(static_cast<std::uint8_t>(m.action));
          return w.finish();
        } else {
          Writer w(kStatus);
          return w.finish();
        }
      },
      request);
}

std::vector<std::uint8_t> encode(const Answer &answer) {
  return std::visit(
      [](const auto &m) {
        using T = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<T, InformationAnswer>) {
          Writer w(kInformation);
          w.text(m.adapter);
          w.u32(m.status);
          w.u32(m.bytesDone);
          w.u32(m.bytesNeeded);
          w.bytes(m.bytes, kMaxInformationBuffer);
          return w.finish();
        } else if constexpr (std::is_same_v<T, CardAnswer>) {
          Writer w(kCardDone);
          w.u8(m.ok ? 1 : 0);
          w.text(m.text);
          return w.finish();
        } else if constexpr (std::is_same_v<T, StatusAnswer>) {
          if (m.instances.size() > kMaxInstances || m.errorLog.size() > kMaxErrorLogLines)
            throw std::length_error("a status over its bounds");
          Writer w(kStatusDone);
          w.u8(m.cardIn ? 1 : 0);
          w.u64(m.uptime);
          w.u32(static_cast<std::uint32_t>(m.instances.size()));
          for (const auto &i : m.instances) {
            w.text(i.name);
            w.u8(i.running ? 1 : 0);
            w.u32(i.initializeStatus);
            w.optional32(i.ioBase);
            w.optional32(i.interrupt);
          }
          w.u32(m.errorLogTotal);
          w.u32(static_cast<std::uint32_t>(m.errorLog.size()));
          for (const auto &e : m.errorLog) {
            if (e.values.size() > kMaxLogValues) throw std::length_error("an error-log entry over its bounds");
            w.text(e.adapter);
            w.u32(e.code);
            w.u64(e.time);
            w.u32(static_cast<std::uint32_t>(e.values.size()));
            for (auto v : e.values) w.u32(v);
          }
          return w.finish();
        } else {
          Writer w(kError);
          w.text(m.message.size() > kMaxText ? m.message.substr(0, kMaxText) : m.message);
          return w.finish();
        }
      },
      answer);
}

std::variant<Request, Malformed> parseRequest(std::span<const std::uint8_t> payload) {
  try {
    Reader r(payload);
    Request request;
    switch (std::uint8_t type = header(r)) {
      case kQuery: {
        QueryRequest q;
        q.adapter = r.text("the adapter name");
        q.oid = r.u32();
        q.length = r.u32();
        if (q.length > kMaxInformationBuffer)
          throw Bad{"a query buffer of " + std::to_string(q.length) + " bytes, over " + std::to_string(kMaxInformationBuffer)};
        q.bytes = r.bytes(q.length, "the query's first bytes");
        request = std::move(q);
        break;
      }
      case kSet: {
        SetRequest s;
        s.adapter = r.text("the adapter name");
        s.oid = r.u32();
        s.bytes = r.bytes(kMaxInformationBuffer, "the set's buffer");
        request = std::move(s);
        break;
      }
      case kCard: {
        std::uint8_t action = r.u8();
        if (action < 1 || action > 3) throw Bad{"card action " + std::to_string(action) + " is none of eject, insert, reinsert"};
        request = CardRequest{static_cast<CardAction>(action)};
        break;
      }
      case kStatus: request = StatusRequest{}; break;
      default: throw Bad{"request type " + std::to_string(type) + " is unknown"};
    }
    r.end();
    return request;
  } catch (const Bad &bad) {
    return Malformed{bad.why};
  }
}

std::variant<Answer, Malformed> parseAnswer(std::span<const std::uint8_t> payload) {
  try {
    Reader r(payload);
    Answer answer;
    switch (std::uint8_t type = header(r)) {
      case kInformation: {
        InformationAnswer a;
        a.adapter = r.text("the adapter name");
        a.status = r.u32();
        a.bytesDone = r.u32();
        a.bytesNeeded = r.u32();
        a.bytes = r.bytes(kMaxInformationBuffer, "the answer's bytes");
        answer = std::move(a);
        break;
      }
      case kCardDone: {
        CardAnswer a;
        a.ok = r.flag();
        a.text = r.text("the card answer");
        answer = std::move(a);
        break;
      }
      case kStatusDone: {
        StatusAnswer a;
        a.cardIn = r.flag();
        a.uptime = r.u64();
        for (std::size_t n = r.count(kMaxInstances, "instances"); n > 0; --n) {
          InstanceState i;
          i.name = r.text("an instance name");
          i.running = r.flag();
          i.initializeStatus = r.u32();
          i.ioBase = r.optional32();
          i.interrupt = r.optional32();
          a.instances.push_back(std::move(i));
        }
        a.errorLogTotal = r.u32();
        for (std::size_t n = r.count(kMaxErrorLogLines, "error-log entries"); n > 0; --n) {
          ErrorLogLine e;
          e.adapter = r.text("an error-log adapter");
          e.code = r.u32();
          e.time = r.u64();
          for (std::size_t v = r.count(kMaxLogValues, "error-log values"); v > 0; --v) e.values.push_back(r.u32());
          a.errorLog.push_back(std::move(e));
        }
        answer = std::move(a);
        break;
      }
      case kError: answer = ErrorAnswer{r.text("the error message")}; break;
      default: throw Bad{"answer type " + std::to_string(type) + " is unknown"};
    }
    r.end();
    return answer;
  } catch (const Bad &bad) {
    return Malformed{bad.why};
  }
}

void FrameReader::feed(std::span<const std::uint8_t> bytes) {
  if (broken_) return;
  if (start_ > 0 && start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<std::vector<std::uint8_t>> FrameReader::next() {
  if (broken_ || buffered() < 4) return std::nullopt;
  const std::uint8_t *p = buffer_.data() + start_;
  std::uint32_t length = p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
  if (length > kMaxPayload) {
    broken_ = true;
    buffer_.clear();
    start_ = 0;
    return std::nullopt;
  }
  if (buffered() - 4 < length) return std::nullopt;
  std::vector<std::uint8_t> payload(p + 4, p + 4 + length);
  start_ += 4 + length;
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ > kMaxPayload) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  return payload;
}

}  // namespace teskel::handheld::mgmt
