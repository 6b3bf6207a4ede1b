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

PublishedStatus::PublishedStatus(registry::Store &store, std::vector<std::string> instances, Say say)
    : store_(store), instances_(std::move(instances)), say_(std::move(say)) {
  for (const auto &instance : instances_) linkState_[instance] = read(instance, "LinkState");
}

std::optional<std::uint32_t> PublishedStatus::read(const std::string &instance, const char *name) const {
  // The driver writes whole 4-byte values; anything else is not something it published.
  auto value = store_.getValue("Comm\\" + instance + "\\Parms", name);
  if (!value || value->data.size() != 4) return std::nullopt;
  const auto &d = value->data;
  return d[0] | d[1] << 8 | d[2] << 16 | static_cast<std::uint32_t>(d[3]) << 24;
}

void PublishedStatus::poll() {
  for (const auto &instance : instances_) {
    auto state = read(instance, "LinkState");
    if (state == linkState_[instance]) continue;
    linkState_[instance] = state;
    say_("link state: " + instance + " " + linkStateText(state));
  }
}

void PublishedStatus::sayFinal() {
  for (const auto &instance : instances_) {
    say_("status values: " + instance + " LinkState " + linkStateText(read(instance, "LinkState")) + ", bytein " +
         numberText(read(instance, "bytein")) + ", byteout " + numberText(read(instance, "byteout")));
  }
}

}  // namespace teskel::handheld
