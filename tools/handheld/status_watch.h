// What the driver publishes for the utility while `handheld run` runs: a line whenever an
// instance's LinkState changes, and its three status values at the end of the run.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "teskel/registry_store.h"

namespace teskel::handheld {

class PublishedStatus {
 public:
  using Say = std::function<void(const std::string &)>;
  // Watches Comm\<instance>\Parms of each instance; what it holds now is the starting point.
  PublishedStatus(registry::Store &store, std::vector<std::string> instances, Say say);

  // Says "link state: Teskel1 1 (connected)" for each instance whose LinkState changed.
  void poll();
  // Says "status values: Teskel1 LinkState 1 (connected), bytein 1234, byteout 5678".
  void sayFinal();

 private:
  std::optional<std::uint32_t> read(const std::string &instance, const char *name) const;

  registry::Store &store_;
  std::vector<std::string> instances_;
  Say say_;
  std::map<std::string, std::optional<std::uint32_t>> linkState_;
};

}  // namespace teskel::handheld
