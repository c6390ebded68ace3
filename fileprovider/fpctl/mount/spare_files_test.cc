#include "fileprovider/fpctl/mount/spare_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "fileprovider/src/test_support.h"

namespace fpctl::mount {
namespace {

namespace fs = std::filesystem;

class SpareFilesTest : public ::testing::Test {
 protected:
  ino_t inodeOf(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    return st.st_ino;
  }
  blkcnt_t blocksOf(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    return st.st_blocks;
  }
  void write(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }
  std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::size_t filesIn(const fs::path& folder) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(folder)) ++n;
    return n;
  }
  fp::testing::TempDir tmp_;
  fs::path dir_ = tmp_.path();
};

// A removed file comes back as the next file made: no inode is freed and none
// allocated, and neither is its data block (freeing one makes the file system
// wait for the disk where it discards freed blocks at once). Nothing it held
// survives, and past the limit files are removed for good.
TEST_F(SpareFilesTest, RemovedFilesAreMadeAgainZeroedUpToTheLimit) {
  SpareFiles spares(dir_ / "spare", 2);
  fp::ScopedFD fd = spares.create(dir_ / "a", O_WRONLY | O_CLOEXEC);
  ASSERT_TRUE(fd);
  ASSERT_EQ(::write(fd.get(), "secret", 6), 6);
  ASSERT_TRUE(SpareFiles::fit(fd.get(), 6).ok());
  fd.reset();
  const ino_t a = inodeOf(dir_ / "a");
  const blkcnt_t blocks = blocksOf(dir_ / "a");
  EXPECT_TRUE(spares.remove(dir_ / "a"));
  EXPECT_FALSE(fs::exists(dir_ / "a"));
  EXPECT_EQ(spares.kept(), 1u);
  const fs::path spare = *fs::directory_iterator(dir_ / "spare");
  EXPECT_EQ(read(spare), std::string(1, '\0'));
  if (blocks > 0) {
    EXPECT_GT(blocksOf(spare), 0) << "the spare's block was freed";
  }

  fd = spares.create(dir_ / "b", O_RDWR | O_CLOEXEC);
  ASSERT_TRUE(fd);
  EXPECT_EQ(inodeOf(dir_ / "b"), a);
  EXPECT_EQ(read(dir_ / "b"), std::string(1, '\0'));
  ASSERT_EQ(::write(fd.get(), "ab", 2), 2);
  ASSERT_TRUE(SpareFiles::fit(fd.get(), 2).ok());
  EXPECT_EQ(read(dir_ / "b"), "ab");
  EXPECT_EQ(spares.kept(), 0u);

  // An existing path is opened as it is, and the spare stays one.
  write(dir_ / "c", "older");
  EXPECT_TRUE(spares.remove(dir_ / "b"));
  const ino_t c = inodeOf(dir_ / "c");
  fd = spares.create(dir_ / "c", O_WRONLY | O_CLOEXEC);
  EXPECT_EQ(inodeOf(dir_ / "c"), c);
  ASSERT_EQ(::write(fd.get(), "new", 3), 3);
  ASSERT_TRUE(SpareFiles::fit(fd.get(), 3).ok());
  EXPECT_EQ(read(dir_ / "c"), "new");
  EXPECT_EQ(spares.kept(), 1u);

  for (const char* name : {"d", "e", "f"}) write(dir_ / name, "x");
  for (const char* name : {"c", "d", "e", "f"}) EXPECT_TRUE(spares.remove(dir_ / name));
  EXPECT_EQ(spares.kept(), 2u);
  EXPECT_EQ(filesIn(dir_ / "spare"), 2u);
  for (const char* name : {"c", "d", "e", "f"}) EXPECT_FALSE(fs::exists(dir_ / name)) << name;
  EXPECT_TRUE(spares.remove(dir_ / "never-there"));
}

// Spares for working copies come out empty and reuse the inode; a spare of
// the other kind left in their folder is not given out.
TEST_F(SpareFilesTest, EmptySparesComeOutEmpty) {
  fs::create_directories(dir_ / "spare");
  write(dir_ / "spare" / "spare-1", std::string(1, '\0'));
  SpareFiles spares(dir_ / "spare", 4, SpareFiles::Contents::kEmpty);
  EXPECT_EQ(spares.kept(), 0u);
  write(dir_ / "w", "what a program wrote");
  const ino_t w = inodeOf(dir_ / "w");
  ASSERT_TRUE(spares.remove(dir_ / "w"));
  fp::ScopedFD fd = spares.create(dir_ / "v", O_RDWR | O_CLOEXEC);
  ASSERT_TRUE(fd);
  EXPECT_EQ(inodeOf(dir_ / "v"), w);
  EXPECT_EQ(read(dir_ / "v"), "");
}

// Spares left by an earlier run are used again; one that holds anything but
// zeros (the run stopped between zeroing and keeping it) is removed, not
// reused.
TEST_F(SpareFilesTest, SparesOfAnEarlierRunAreUsedAgainWhenEmpty) {
  {
    SpareFiles spares(dir_ / "spare", 4);
    write(dir_ / "a", "x");
    ASSERT_TRUE(spares.remove(dir_ / "a"));
  }
  write(dir_ / "spare" / "stray", "left over");
  write(dir_ / "spare" / "stray-byte", "x");
  write(dir_ / "spare" / "spare-older", "");  // as spares used to be
  SpareFiles again(dir_ / "spare", 4);
  EXPECT_EQ(again.kept(), 2u);
  EXPECT_FALSE(fs::exists(dir_ / "spare" / "stray"));
  EXPECT_FALSE(fs::exists(dir_ / "spare" / "stray-byte"));
  write(dir_ / "b", "y");
  EXPECT_TRUE(again.remove(dir_ / "b"));  // its name does not clash with the old spare's
  EXPECT_EQ(again.kept(), 3u);
}

}  // namespace
}  // namespace fpctl::mount
