// The handheld's root folder: where it is, how it is made (its user's alone), and what a folder
// must be before anything of the handheld's (registry, keys, socket) is kept in it.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "teskel/registry_store.h"

namespace teskel::registry {
namespace {

namespace fs = std::filesystem;

std::string env(const char *name) {
  const char *v = std::getenv(name);
  return v ? v : "";
}

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Makes `dir` and the folders above it that are missing, each its user's alone whatever the umask.
void makeFolders(const fs::path &dir) {
  std::error_code ec;
  fs::path made;
  for (const auto &part : dir) {
    made /= part;
    if (made == made.root_path() || fs::is_directory(made, ec)) continue;
    if (::mkdir(made.c_str(), 0700) == 0) {
      ::chmod(made.c_str(), 0700);
    } else if (errno != EEXIST) {
      throw Error("cannot create the root folder " + dir.string() + ": " + std::strerror(errno));
    }
  }
}

}  // namespace

fs::path rootFolderPath(const std::optional<std::string> &explicitRoot) {
  if (explicitRoot && !explicitRoot->empty()) return *explicitRoot;
  if (!env("TESKEL_ROOT").empty()) return env("TESKEL_ROOT");
  // A relative XDG_STATE_HOME is invalid and ignored, as the base directory rules say.
  fs::path state = env("XDG_STATE_HOME");
  if (state.empty() || state.is_relative()) {
    if (env("HOME").empty()) throw Error("cannot find the root folder: neither TESKEL_ROOT nor HOME is set");
    state = fs::path(env("HOME")) / ".local" / "state";
  }
  return state / "teskel";
}

void checkRootFolder(const fs::path &root) {
  struct stat st {};
  if (::stat(root.c_str(), &st) != 0) {
    if (errno == ENOENT) throw Error("the root folder " + root.string() + " does not exist");
    throw Error("cannot look at the root folder " + root.string() + ": " + std::strerror(errno));
  }
  if (!S_ISDIR(st.st_mode)) throw Error("the root folder " + root.string() + " is not a folder");
  // Its files hold the WEP keys and take commands (the socket): whoever may change the folder may
  // put a link where the handheld writes, or read what it keeps.
  if (st.st_uid != ::geteuid())
    throw Error("the root folder " + root.string() + " belongs to another user (uid " + std::to_string(st.st_uid) +
                "): use a root folder of your own (--root DIR or TESKEL_ROOT)");
  if (st.st_mode & (S_IWGRP | S_IWOTH))
    throw Error("the root folder " + root.string() + " may be changed by other users (mode " + octal(st.st_mode) +
                "): make it yours alone with chmod 700 " + root.string());
}

fs::path resolveRoot(const std::optional<std::string> &explicitRoot) {
  fs::path root = rootFolderPath(explicitRoot);
  std::error_code ec;
  if (!fs::exists(root, ec)) makeFolders(root);
  checkRootFolder(root);
  return fs::absolute(root, ec);
}

std::optional<fs::path> existingRoot(const std::optional<std::string> &explicitRoot) {
  fs::path root = rootFolderPath(explicitRoot);
  std::error_code ec;
  if (!fs::exists(root, ec)) return std::nullopt;
  checkRootFolder(root);
  return fs::absolute(root, ec);
}

}  // namespace teskel::registry
