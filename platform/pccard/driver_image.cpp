// Driver images on the host: where the socket looks for them and which file a registry image name
// such as "Teskel.dll" stands for.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <system_error>

#include "teskel/pccard.h"

namespace teskel::pccard {

namespace fs = std::filesystem;

namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

std::vector<fs::path> defaultDriverPath() {
  std::vector<fs::path> dirs;
  std::error_code ec;
  // Programs and libraries of a build land in <build>/bin and <build>/lib.
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec && exe.has_parent_path()) dirs.push_back(exe.parent_path().parent_path() / "lib");
#ifdef TESKEL_DRIVER_DIR
  fs::path configured = TESKEL_DRIVER_DIR;
  if (std::find(dirs.begin(), dirs.end(), configured) == dirs.end()) dirs.push_back(configured);
#endif
  return dirs;
}

std::vector<std::string> imageCandidates(std::string_view imageName) {
  // The handheld names images with its own path separator; only the file name matters here.
  std::size_t cut = imageName.find_last_of("\\/");
  std::string_view name = cut == std::string_view::npos ? imageName : imageName.substr(cut + 1);
  if (name.empty()) return {};
  std::string_view stem = name;
  std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0 && (lower(name.substr(dot)) == ".dll" || lower(name.substr(dot)) == ".so"))
    stem = name.substr(0, dot);
  std::vector<std::string> out = {"lib" + std::string(stem) + ".so", std::string(stem) + ".so"};
  if (name != out[1]) out.emplace_back(name);
  return out;
}

std::optional<fs::path> findDriverImage(std::string_view imageName, const std::vector<fs::path> &searchPath) {
  std::vector<std::string> wanted;
  for (const auto &c : imageCandidates(imageName)) wanted.push_back(lower(c));
  if (wanted.empty()) return std::nullopt;
  for (const auto &dir : searchPath) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) continue;
    // The best candidate of this folder wins; an earlier folder wins over a later one.
    std::optional<fs::path> best;
    std::size_t bestRank = wanted.size();
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      if (ec) break;
      std::error_code typeError;
      if (!it->is_regular_file(typeError)) continue;
      auto rank = std::find(wanted.begin(), wanted.end(), lower(it->path().filename().string())) - wanted.begin();
      if (static_cast<std::size_t>(rank) < bestRank) {
        bestRank = static_cast<std::size_t>(rank);
        best = it->path();
      }
    }
    if (best) return best;
  }
  return std::nullopt;
}

}  // namespace teskel::pccard
