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

registry::Store &Context::store() {
  if (!store_) {
    store_ = std::make_unique<registry::Store>(root() / registry::kStoreFileName);
    registry::setCurrentStore(store_.get());
  }
  return *store_;
}

}  // namespace teskel::handheld
