// Key paths inside the registry library: splitting, case folding, joining.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace teskel::registry {

// The components of a key path relative to HKEY_LOCAL_MACHINE (surrounding '\' ignored; the
// root has none). Throws Error when a component is empty.
std::vector<std::string> splitKeyPath(std::string_view key);
// Components joined with '\'; only the first `count` when given.
std::string joinPath(const std::vector<std::string> &components, std::size_t count = std::string::npos);
// The form names are compared in: UTF-8 with upper-case letters of the Latin, Greek and Cyrillic
// alphabets turned to lower case. Bytes that are not UTF-8 are kept as they are.
std::string foldCase(std::string_view text);

}  // namespace teskel::registry
