// Driver image names: which host file a registry image name stands for, how the search path is
// walked, and the default path that finds the build's own libTeskel.so.
#include <gtest/gtest.h>

#include <fstream>

#include "socket_fixture.h"

namespace teskel::test {
namespace {

namespace fs = std::filesystem;

struct CandidateCase {
  const char *image;
  std::vector<std::string> candidates;
};

class ImageCandidates : public ::testing::TestWithParam<CandidateCase> {};

TEST_P(ImageCandidates, FollowTheHostsNamingOfLibraries) {
  EXPECT_EQ(pccard::imageCandidates(GetParam().image), GetParam().candidates);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ImageCandidates,
    ::testing::Values(CandidateCase{"Teskel.dll", {"libTeskel.so", "Teskel.so", "Teskel.dll"}},
                      CandidateCase{"Teskel.DLL", {"libTeskel.so", "Teskel.so", "Teskel.DLL"}},
                      CandidateCase{"\\Windows\\Teskel.dll", {"libTeskel.so", "Teskel.so", "Teskel.dll"}},
                      CandidateCase{"drivers/Teskel.dll", {"libTeskel.so", "Teskel.so", "Teskel.dll"}},
                      CandidateCase{"Teskel", {"libTeskel.so", "Teskel.so", "Teskel"}},
                      CandidateCase{"Teskel.so", {"libTeskel.so", "Teskel.so"}},
                      CandidateCase{"net.card.dll", {"libnet.card.so", "net.card.so", "net.card.dll"}},
                      CandidateCase{".dll", {"lib.dll.so", ".dll.so", ".dll"}},
                      CandidateCase{"\\Windows\\", {}},
                      CandidateCase{"", {}}));

class SearchPath : public ::testing::Test {
 protected:
  void touch(const fs::path &dir, const std::string &name) {
    fs::create_directories(dir);
    std::ofstream(dir / name) << "x";
  }
  TempRoot folder;
};

TEST_F(SearchPath, FindsTheBestCandidateOfTheFirstFolderThatHasOne) {
  fs::path a = folder.path() / "a", b = folder.path() / "b", c = folder.path() / "c";
  touch(a, "unrelated.so");
  touch(b, "Teskel.dll");
  touch(b, "LIBTESKEL.SO");  // case does not matter, and lib*.so outranks the others
  touch(c, "libTeskel.so");
  fs::create_directories(b / "Teskel.so");  // a folder is no image
  EXPECT_EQ(pccard::findDriverImage("Teskel.dll", {a, b, c}), b / "LIBTESKEL.SO");
  EXPECT_EQ(pccard::findDriverImage("Teskel.dll", {a, c, b}), c / "libTeskel.so");
  EXPECT_EQ(pccard::findDriverImage("Teskel.dll", {folder.path() / "missing", a}), std::nullopt);
  EXPECT_EQ(pccard::findDriverImage("Teskel.dll", {}), std::nullopt);
  EXPECT_EQ(pccard::findDriverImage("", {a, b, c}), std::nullopt);
}

TEST(DefaultDriverPath, FindsTheBuiltDriverLibrary) {
  auto path = pccard::defaultDriverPath();
  ASSERT_FALSE(path.empty());
  auto image = pccard::findDriverImage("Teskel.dll", path);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->filename(), "libTeskel.so");
  EXPECT_TRUE(fs::equivalent(image->parent_path(), fs::path(TESKEL_BINARY_DIR) / "lib"));
}

}  // namespace
}  // namespace teskel::test
