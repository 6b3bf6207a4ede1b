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
  // Whether the driver of an instance has published since its adapter came up (its status timer
  // has run): before that, the key holds what an earlier run left.
  using Published = std::function<bool(const std::string &instance)>;
  // Watches Comm\<instance>\Parms of each instance.
  PublishedStatus(registry::Store &store, std::vector<std::string> instances, Published published, Say say);

  // Says "link state: Teskel1 1 (connected)" for the first LinkState an adapter publishes and for
  // each change after it. Reads the store once per call, waiting for no other process.
  void poll();
  // Says "status values: Teskel1 LinkState 1 (connected), bytein 1234, byteout 5678".
  void sayFinal();

 private:
  std::optional<std::uint32_t> read(const std::string &instance, const char *name) const;

  registry::Store &store_;
  std::vector<std::string> instances_;
  Published published_;
  Say say_;
  // The last LinkState said for each instance, while its adapter has been publishing.
  std::map<std::string, std::optional<std::optional<std::uint32_t>>> linkState_;
};

}  // namespace teskel::handheld
