// Fuzz target: the .reg importer on any bytes (REGEDIT4, Version 5.00 in UTF-8 or UTF-16LE, or
// anything else). What imports cleanly exports, and the export imports again to the same export.
#include <cstdlib>
#include <string>
#include <string_view>

#include "registry_sandbox.h"

namespace {

using teskel::registry::Store;

struct Stores {
  teskel::test::TempFolder folder;
  Store first{folder.path() / "first.db"};
  Store second{folder.path() / "second.db"};
};

void clear(Store &store) {
  for (const std::string &key : store.subkeys("")) store.deleteKey(key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static auto *stores = new Stores;  // one pair for the run; the folder goes at exit
  static const int registered = std::atexit([] { delete stores; });
  (void)registered;
  clear(stores->first);
  clear(stores->second);
  try {
    teskel::registry::importReg(stores->first, std::string_view(reinterpret_cast<const char *>(data), size));
  } catch (const teskel::registry::Error &) {
    return 0;
  }
  const std::string exported = teskel::registry::exportReg(stores->first);
  try {
    teskel::registry::importReg(stores->second, exported);
  } catch (const teskel::registry::Error &e) {
    std::fprintf(stderr, "fuzz finding: the export does not import again: %s\n%s", e.what(), exported.c_str());
    std::abort();
  }
  if (teskel::registry::exportReg(stores->second) != exported) {
    std::fprintf(stderr, "fuzz finding: an export imported again exports differently:\n%s", exported.c_str());
    std::abort();
  }
  return 0;
}
