// The handheld program's shared state: root folder and registry store, opened when first asked for.
#include "commands.h"

namespace teskel::handheld {

Context::Context(std::optional<std::string> rootOption) : rootOption_(std::move(rootOption)) {}

Context::~Context() {
  if (store_ && registry::currentStore() == store_.get()) registry::setCurrentStore(nullptr);
}

const std::filesystem::path &Context::root() {
  if (!root_) root_ = registry::resolveRoot(rootOption_);
  return *root_;
}

const std::filesystem::path &Context::runningRoot() {
  if (!root_) {
    auto existing = registry::existingRoot(rootOption_);
    if (!existing)
      throw NoHandheldError("no handheld runs on " + registry::printable(registry::rootFolderPath(rootOption_).string()) +
                            " (the folder does not exist)");
    root_ = *existing;
  }
  return *root_;
}

registry::Store &Context::readStore() {
  if (!store_) {
    auto existing = root_ ? root_ : registry::existingRoot(rootOption_);
    std::error_code ec;
    if (existing && std::filesystem::exists(*existing / registry::kStoreFileName, ec)) {
      root_ = existing;
      return store();
    }
    store_ = std::make_unique<registry::Store>(registry::Store::Empty{});
  }
  return *store_;
}

registry::Store &Context::store() {
  if (!store_) {
    store_ = std::make_unique<registry::Store>(root() / registry::kStoreFileName);
    registry::setCurrentStore(store_.get());
  }
  return *store_;
}

}  // namespace teskel::handheld
