// handheld status: what a running handheld's adapters are doing: adapter and link state, the values
// the driver publishes in the registry, its counters, and the error log so far.
#include <iostream>

#include "commands.h"
#include "mgmt_client.h"
#include "oid_decode.h"
#include "oid_names.h"

namespace teskel::handheld {
namespace {

constexpr std::uint32_t kMediaConnectStatus = 0x00010114;
constexpr std::uint32_t kLinkStatus = 0xFF010199;
constexpr std::uint32_t kTallies = 0xFF02018D;
constexpr const char *kPublished[] = {"LinkState", "bytein", "byteout"};

struct Asked {
  std::uint32_t status = 0;
  std::optional<std::string> refusal;  // the channel's own error, when the request did not reach the driver
  std::vector<std::uint8_t> bytes;
  bool ok() const { return !refusal && status == 0; }
  std::string why() const { return refusal ? *refusal : describeStatus(status); }
};

struct AdapterStatus {
  mgmt::InstanceState state;
  Asked media, link, tallies;
  std::vector<std::pair<std::string, std::optional<std::uint32_t>>> published;
};

Asked ask(mgmt::Client &client, const std::string &adapter, std::uint32_t oid, std::uint32_t length) {
  mgmt::Answer answer = client.exchange(mgmt::QueryRequest{adapter, oid, length, {}});
  Asked asked;
  if (auto *information = std::get_if<mgmt::InformationAnswer>(&answer)) {
    asked.status = information->status;
    asked.bytes = information->bytes;
  } else if (auto *error = std::get_if<mgmt::ErrorAnswer>(&answer)) {
    asked.refusal = error->message;
  } else {
    asked.refusal = "an answer of another kind";
  }
  return asked;
}

std::uint32_t le32(const std::vector<std::uint8_t> &b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

std::optional<std::uint32_t> dword(registry::Store &store, const std::string &key, const char *name) {
  auto v = store.getValue(key, name);
  if (!v || v->data.size() != 4) return std::nullopt;
  return le32(v->data, 0);
}

std::string seconds(std::uint64_t micros) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(micros) / 1e6);
  return text;
}

// Microseconds as a JSON number of milliseconds, every digit kept.
std::string milliseconds(std::uint64_t micros) {
  std::string text = std::to_string(micros / 1000);
  if (micros % 1000) {
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03u", static_cast<unsigned>(micros % 1000));
    text += fraction;
  }
  return text;
}

std::string where(const mgmt::InstanceState &s) {
  if (!s.ioBase || !s.interrupt) return "";
  char text[64];
  std::snprintf(text, sizeof text, " at ports 0x%X-0x%X interrupt %u", *s.ioBase, *s.ioBase + 63, *s.interrupt);
  return text;
}

std::string jsonAsked(const Asked &a, const Fields &decoded) {
  std::string out = "{\"status\":" + jsonString(a.refusal ? "" : std::string(statusName(a.status))) +
                    ",\"statusCode\":" + std::to_string(a.status);
  if (a.refusal) out += ",\"error\":" + jsonString(*a.refusal);
  return out + ",\"decoded\":" + jsonFields(decoded) + "}";
}

void printJson(const mgmt::StatusAnswer &s, const std::vector<AdapterStatus> &adapters) {
  std::string out = "{\"uptime_ms\":" + milliseconds(s.uptime) + ",\"cardIn\":" + (s.cardIn ? "true" : "false") +
                    ",\"adapters\":[";
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    const auto &a = adapters[i];
    out += std::string(i ? "," : "") + "{\"name\":" + jsonString(a.state.name) +
           ",\"running\":" + (a.state.running ? "true" : "false") +
           ",\"initializeStatus\":" + std::to_string(a.state.initializeStatus);
    if (a.state.ioBase) out += ",\"ioBase\":" + std::to_string(*a.state.ioBase);
    if (a.state.interrupt) out += ",\"interrupt\":" + std::to_string(*a.state.interrupt);
    out += ",\"published\":{";
    for (std::size_t p = 0; p < a.published.size(); ++p)
      out += std::string(p ? "," : "") + jsonString(a.published[p].first) + ":" +
             (a.published[p].second ? std::to_string(*a.published[p].second) : "null");
    out += "}";
    if (a.state.running) {
      out += ",\"media\":" + jsonAsked(a.media, a.media.ok() ? decode(Reading::MediaState, a.media.bytes) : Fields{});
      out += ",\"link\":" + jsonAsked(a.link, a.link.ok() ? decode(Reading::LinkStatus, a.link.bytes) : Fields{});
      out += ",\"tallies\":" + jsonAsked(a.tallies, {});
      if (a.tallies.ok()) {
        out.pop_back();
        out += ",\"counters\":[";
        for (std::size_t c = 0; c + 4 <= a.tallies.bytes.size(); c += 4) out += (c ? "," : "") + std::to_string(le32(a.tallies.bytes, c));
        out += "],\"named\":{";
        bool first = true;
        for (std::size_t c = 0; c < kTallyCount && 4 * c + 4 <= a.tallies.bytes.size(); ++c) {
          if (tallyName(c).empty()) continue;
          out += (first ? "" : ",") + jsonString(tallyKey(c)) + ":" + std::to_string(le32(a.tallies.bytes, 4 * c));
          first = false;
        }
        out += "}}";
      }
    }
    out += "}";
  }
  out += "],\"errorLogTotal\":" + std::to_string(s.errorLogTotal) + ",\"errorLog\":[";
  for (std::size_t i = 0; i < s.errorLog.size(); ++i) {
    const auto &e = s.errorLog[i];
    out += std::string(i ? "," : "") + "{\"adapter\":" + jsonString(e.adapter) + ",\"code\":" + jsonString(hex32(e.code)) +
           ",\"time_ms\":" + milliseconds(e.time) + ",\"values\":[";
    for (std::size_t v = 0; v < e.values.size(); ++v) out += (v ? "," : "") + std::to_string(e.values[v]);
    out += "]}";
  }
  std::cout << out << "]}\n";
}

void printText(const mgmt::StatusAnswer &s, const std::vector<AdapterStatus> &adapters) {
  std::cout << "handheld: up " << seconds(s.uptime) << ", card " << (s.cardIn ? "in" : "out") << "\n";
  for (const auto &a : adapters) {
    std::cout << a.state.name << ": "
              << (a.state.running ? "running"
                                  : "not running (MiniportInitialize returned " + describeStatus(a.state.initializeStatus) + ")")
              << where(a.state) << "\n";
    if (a.state.running) {
      if (a.link.ok() && a.link.bytes.size() >= 2) {
        Fields f = decode(Reading::LinkStatus, a.link.bytes);
        std::cout << "  link: " << std::get<std::string>(f[1].value) << " (link status " << std::get<std::uint64_t>(f[0].value) << ")\n";
      } else {
        std::cout << "  link: not reported (" << a.link.why() << ")\n";
      }
      if (a.media.ok() && a.media.bytes.size() >= 4)
        std::cout << "  media: " << std::get<std::string>(decode(Reading::MediaState, a.media.bytes)[1].value) << "\n";
      else
        std::cout << "  media: not reported (" << a.media.why() << ")\n";
    }
    std::cout << "  published:";
    for (const auto &[name, value] : a.published) std::cout << " " << name << " " << (value ? std::to_string(*value) : "(none)");
    std::cout << "\n";
    if (!a.state.running) continue;
    if (!a.tallies.ok()) {
      std::cout << "  counters: not reported (" << a.tallies.why() << ")\n";
      continue;
    }
    std::cout << "  counters:\n";
    for (std::size_t c = 0; c < kTallyCount && 4 * c + 4 <= a.tallies.bytes.size(); ++c) {
      std::uint32_t value = le32(a.tallies.bytes, 4 * c);
      std::string_view name = tallyName(c);
      if (name.empty() && value == 0) continue;
      std::cout << "    " << c << " " << (name.empty() ? "(unnamed)" : std::string(name)) << ": " << value << "\n";
    }
  }
  std::cout << "error log: " << s.errorLogTotal << (s.errorLogTotal == 1 ? " entry" : " entries") << "\n";
  for (const auto &e : s.errorLog) {
    std::cout << "  " << seconds(e.time) << " " << (e.adapter.empty() ? "?" : e.adapter) << ": error " << hex32(e.code);
    if (!e.values.empty()) {
      std::cout << " [";
      for (std::size_t v = 0; v < e.values.size(); ++v) std::cout << (v ? " " : "") << e.values[v];
      std::cout << "]";
    }
    std::cout << "\n";
  }
}

}  // namespace

int statusCommand(Context &context, const std::vector<std::string> &args) {
  bool json = false;
  for (const auto &arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::cout << "Usage: handheld [--root DIR] status [--json]\n"
                   "\n"
                   "Shows what the handheld running on the root folder is doing: whether the card is in,\n"
                   "each adapter's state, its link state and media connect state as the driver answers them,\n"
                   "the values it publishes in the registry (LinkState, bytein, byteout), its tally counters,\n"
                   "and the error-log entries written so far. --json prints one JSON object.\n"
                   "Exit status 0, or 2 when no handheld runs on the root folder.\n";
      return 0;
    }
    if (arg != "--json") throw UsageError("status: unexpected argument " + argText(arg));
    json = true;
  }
  mgmt::Client client(context.runningRoot());
  mgmt::Answer answer = client.exchange(mgmt::StatusRequest{});
  if (auto *error = std::get_if<mgmt::ErrorAnswer>(&answer)) throw std::runtime_error("status: " + error->message);
  auto *status = std::get_if<mgmt::StatusAnswer>(&answer);
  if (!status) throw std::runtime_error("the handheld answered a status request with something else");

  std::vector<AdapterStatus> adapters;
  for (const auto &instance : status->instances) {
    AdapterStatus a;
    a.state = instance;
    if (instance.running) {
      a.media = ask(client, instance.name, kMediaConnectStatus, 4);
      a.link = ask(client, instance.name, kLinkStatus, 2);
      a.tallies = ask(client, instance.name, kTallies, 4 * kTallyCount);
    }
    for (const char *name : kPublished) a.published.emplace_back(name, dword(context.readStore(), "Comm\\" + instance.name + "\\Parms", name));
    adapters.push_back(std::move(a));
  }
  if (json)
    printJson(*status, adapters);
  else
    printText(*status, adapters);
  return 0;
}

}  // namespace teskel::handheld
