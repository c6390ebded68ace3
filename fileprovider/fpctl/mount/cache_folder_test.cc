#include "fileprovider/fpctl/mount/cache_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fileprovider/src/test_support.h"

namespace fpctl::mount {
namespace {

namespace fs = std::filesystem;

class CacheFolderTest : public ::testing::Test {
 protected:
  static mode_t modeOf(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
  }
  // Runs `f` with the umask 000 that made the cache readable by everyone.
  static void withOpenUmask(const std::function<void()>& f) {
    mode_t old = ::umask(0);
    f();
    ::umask(old);
  }

  fp::testing::TempDir tmp_;
  fs::path dir_ = tmp_.path();
};

TEST_F(CacheFolderTest, FoldersAndFilesAreTheOwnersAloneWhateverTheUmask) {
  fs::create_directories(dir_ / "kept");
  ASSERT_EQ(::chmod((dir_ / "kept").c_str(), 0755), 0);
  withOpenUmask([&] {
    EXPECT_FALSE(createPrivateDirectories(dir_ / "kept" / "a" / "b"));
    EXPECT_TRUE(openInCache(dir_ / "kept" / "a" / "file", O_WRONLY | O_CREAT));
  });
  EXPECT_EQ(modeOf(dir_ / "kept"), 0755u);  // an existing folder keeps its mode
  EXPECT_EQ(modeOf(dir_ / "kept" / "a"), 0700u);
  EXPECT_EQ(modeOf(dir_ / "kept" / "a" / "b"), 0700u);
  EXPECT_EQ(modeOf(dir_ / "kept" / "a" / "file"), 0600u);
  fs::create_symlink(dir_ / "kept" / "a" / "file", dir_ / "link");
  errno = 0;
  EXPECT_FALSE(openInCache(dir_ / "link", O_RDONLY));
  EXPECT_EQ(errno, ELOOP);
  EXPECT_FALSE(readCacheFile(dir_ / "link"));
  EXPECT_FALSE(isOwnRegularFile(dir_ / "link"));
  ASSERT_EQ(::chmod((dir_ / "kept").c_str(), 0770), 0);
  fp::Status shared = checkPrivate(dir_ / "kept", "the cache folder");
  ASSERT_FALSE(shared.ok());
  EXPECT_THAT(shared.error().message,
              ::testing::HasSubstr("it is writable by group or others (mode 0770)"));
}

}  // namespace
}  // namespace fpctl::mount
