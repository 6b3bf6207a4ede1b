// A registry store of its own for one test: a fresh folder with the store file, made the store
// that the Reg* calls use for the test's lifetime. The folder is the handheld's root folder: files
// the driver names without a folder (its log) land there too.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "teskel/coredll.h"
#include "teskel/registry_store.h"

namespace teskel::test {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "teskel-driver-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder &) = delete;
  TempFolder &operator=(const TempFolder &) = delete;
  const std::filesystem::path &path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class RegistrySandbox {
 public:
  RegistrySandbox() : store_(folder_.path() / registry::kStoreFileName) { registry::setCurrentStore(&store_); }
  ~RegistrySandbox() { registry::setCurrentStore(nullptr); }
  RegistrySandbox(const RegistrySandbox &) = delete;
  RegistrySandbox &operator=(const RegistrySandbox &) = delete;

  registry::Store &store() { return store_; }
  const std::filesystem::path &folder() const { return folder_.path(); }

 private:
  TempFolder folder_;
  registry::Store store_;
  coredll::ScopedObjectStoreRoot objectStore_{folder_.path()};
};

}  // namespace teskel::test
