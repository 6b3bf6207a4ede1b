// Fuzz target: the registry contents Pemblo reads, of any type and size (or missing), when it
// starts, as each page of its sheet is created, and at the Status page's timer.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <string>

#include "in_process.h"
#include "registry_sandbox.h"

namespace {

constexpr const char *kParms = "Comm\\Teskel1\\Parms";
constexpr const char *kNames[] = {"DSChannel", "PSMode",  "NetworkType", "Encapsulation", "SSID",
                                  "WepReq",    "DefaultKeys", "LinkState", "bytein",      "byteout"};

// One store for the whole run, in a folder removed at exit; each input starts from an empty key.
struct Root {
  teskel::test::TempFolder folder;
  teskel::registry::Store store{folder.path() / teskel::registry::kStoreFileName};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static auto *root = new Root;  // outlives every input; its folder goes in the atexit below
  static const int registered = std::atexit([] { delete root; });
  (void)registered;
  FuzzedDataProvider in(data, size);
  root->store.deleteKey(kParms);
  root->store.createKey(kParms);
  for (const char *name : kNames) {
    if (in.ConsumeIntegralInRange<int>(0, 5) == 0) continue;
    const std::uint32_t type = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, 8)
                                                : in.ConsumeIntegral<std::uint32_t>();
    const std::size_t length = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::size_t>(0, 8)
                                                : in.ConsumeIntegralInRange<std::size_t>(0, 300);
    root->store.setValue(kParms, name, type, in.ConsumeBytes<std::uint8_t>(length));
  }
  // Every page created, the Status page's timer run, message boxes answered.
  const std::string script =
      "answer OK\nadvance 1500\nanswer OK\npage 1\nanswer OK\npage 2\nanswer OK\npage 3\npage 0\n"
      "advance 1500\nanswer OK\nadvance 1500\nanswer OK\n";
  pemblo_test::runInProcess(root->store, root->folder.path(), script);
  return 0;
}
