// Fuzz target: the .res loader on any bytes: the file's entries, and a whole program's resources
// checked as a module (string tables, dialogs, icon groups, bitmaps), and the parts on their own.
#include <cstdint>
#include <span>

#include "teskel/ui_resources.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace teskel::ui;
  const std::span<const std::uint8_t> bytes(data, size);
  try {
    for (const Resource &r : parseResFile(bytes)) (void)r.data.size();
  } catch (const ResourceError &) {
  }
  try {
    Module module(bytes);
    (void)module.picturesDecoded();
  } catch (const ResourceError &) {
  }
  // The inner formats straight from the input too, as a resource's data would hand them over.
  try {
    (void)parseDialogTemplate(bytes);
  } catch (const ResourceError &) {
  }
  try {
    (void)parseIconGroup(bytes);
  } catch (const ResourceError &) {
  }
  for (bool masks : {false, true}) {
    try {
      (void)decodeDib(bytes, masks);
    } catch (const ResourceError &) {
    }
  }
  return 0;
}
