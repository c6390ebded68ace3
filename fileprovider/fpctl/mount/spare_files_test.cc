#include "fileprovider/fpctl/mount/spare_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace fpctl::mount {
namespace {

namespace fs = std::filesystem;

class SpareFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/spares-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  ino_t inodeOf(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    return st.st_ino;
  }
  void write(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }
  std::size_t filesIn(const fs::path& folder) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(folder)) ++n;
    return n;
  }
  fs::path dir_;
};

// A removed file comes back, empty, as the next file made: no inode is freed
// and none allocated. Nothing it held survives, and past the limit files are
// removed for good.
TEST_F(SpareFilesTest, RemovedFilesAreMadeAgainEmptyUpToTheLimit) {
  SpareFiles spares(dir_ / "spare", 2);
  fp::ScopedFD fd = spares.create(dir_ / "a", O_WRONLY | O_CLOEXEC);
  ASSERT_TRUE(fd);
  ASSERT_EQ(::write(fd.get(), "secret", 6), 6);
  fd.reset();
  const ino_t a = inodeOf(dir_ / "a");
  EXPECT_TRUE(spares.remove(dir_ / "a"));
  EXPECT_FALSE(fs::exists(dir_ / "a"));
  EXPECT_EQ(spares.kept(), 1u);

  fd = spares.create(dir_ / "b", O_RDWR | O_CLOEXEC);
  ASSERT_TRUE(fd);
  EXPECT_EQ(inodeOf(dir_ / "b"), a);
  EXPECT_EQ(fs::file_size(dir_ / "b"), 0u);
  EXPECT_EQ(spares.kept(), 0u);

  // An existing path is opened as it is (truncated), and the spare stays one.
  write(dir_ / "c", "old");
  EXPECT_TRUE(spares.remove(dir_ / "b"));
  const ino_t c = inodeOf(dir_ / "c");
  fd = spares.create(dir_ / "c", O_WRONLY | O_CLOEXEC);
  EXPECT_EQ(inodeOf(dir_ / "c"), c);
  EXPECT_EQ(fs::file_size(dir_ / "c"), 0u);
  EXPECT_EQ(spares.kept(), 1u);

  for (const char* name : {"d", "e", "f"}) write(dir_ / name, "x");
  for (const char* name : {"c", "d", "e", "f"}) EXPECT_TRUE(spares.remove(dir_ / name));
  EXPECT_EQ(spares.kept(), 2u);
  EXPECT_EQ(filesIn(dir_ / "spare"), 2u);
  for (const char* name : {"c", "d", "e", "f"}) EXPECT_FALSE(fs::exists(dir_ / name)) << name;
  EXPECT_TRUE(spares.remove(dir_ / "never-there"));
}

// Spares left by an earlier run are used again; one that is not empty (the
// run stopped between emptying and keeping it) is removed, not reused.
TEST_F(SpareFilesTest, SparesOfAnEarlierRunAreUsedAgainWhenEmpty) {
  {
    SpareFiles spares(dir_ / "spare", 4);
    write(dir_ / "a", "x");
    ASSERT_TRUE(spares.remove(dir_ / "a"));
  }
  write(dir_ / "spare" / "stray", "left over");
  SpareFiles again(dir_ / "spare", 4);
  EXPECT_EQ(again.kept(), 1u);
  EXPECT_FALSE(fs::exists(dir_ / "spare" / "stray"));
  write(dir_ / "b", "y");
  EXPECT_TRUE(again.remove(dir_ / "b"));  // its name does not clash with the old spare's
  EXPECT_EQ(again.kept(), 2u);
}

}  // namespace
}  // namespace fpctl::mount
