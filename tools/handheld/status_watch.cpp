// handheld run's view of the status values the driver publishes every second.
#include "status_watch.h"

namespace teskel::handheld {
namespace {

std::string linkStateText(const std::optional<std::uint32_t> &state) {
  if (!state) return "(none)";
  std::string text = std::to_string(*state);
  switch (*state) {
    case 1: return text + " (connected)";
    case 4: return text + " (searching)";
    case 6: return text + " (not connected)";
    case 7: return text + " (unreadable)";
    default: return text;
  }
}

std::string numberText(const std::optional<std::uint32_t> &value) {
  return value ? std::to_string(*value) : "(none)";
}

}  // namespace

PublishedStatus::PublishedStatus(registry::Store &store, std::vector<std::string> instances, Published published, Say say)
    : store_(store), instances_(std::move(instances)), published_(std::move(published)), say_(std::move(say)) {}

std::optional<std::uint32_t> PublishedStatus::read(const std::string &instance, const char *name) const {
  // The driver writes whole 4-byte values; anything else is not something it published.
  auto value = store_.getValue("Comm\\" + instance + "\\Parms", name);
  if (!value || value->data.size() != 4) return std::nullopt;
  const auto &d = value->data;
  return d[0] | d[1] << 8 | d[2] << 16 | static_cast<std::uint32_t>(d[3]) << 24;
}

void PublishedStatus::poll() {
  // Like the driver's own calls: a store another process keeps busy is read at the next poll.
  registry::CallGroup reads(store_);
  for (const auto &instance : instances_) {
    auto &said = linkState_[instance];
    if (!published_(instance)) {
      said.reset();
      continue;
    }
    std::optional<std::uint32_t> state;
    try {
      state = read(instance, "LinkState");
    } catch (const registry::Error &) {
      continue;
    }
    // A tick that could not have the store published nothing; the next one will.
    if (!said && !state) continue;
    if (said && *said == state) continue;
    said = state;
    say_("link state: " + instance + " " + linkStateText(state));
  }
}

void PublishedStatus::sayFinal() {
  for (const auto &instance : instances_) {
    std::optional<std::uint32_t> state, in, out;
    store_.snapshot([&] {
      state = read(instance, "LinkState");
      in = read(instance, "bytein");
      out = read(instance, "byteout");
    });
    say_("status values: " + instance + " LinkState " + linkStateText(state) + ", bytein " + numberText(in) +
         ", byteout " + numberText(out));
  }
}

}  // namespace teskel::handheld
