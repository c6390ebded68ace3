#include "fileprovider/fpctl/mount/cache_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace fpctl::mount {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

class CacheFolderTest : public ::testing::Test {
 protected:
  static constexpr uid_t kOtherUser = 65534;

  void SetUp() override {
    char pattern[] = "/tmp/cache-folder-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
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

  fs::path dir_;
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
}

TEST_F(CacheFolderTest, CheckPrivateNamesThePathAndWhy) {
  struct Case {
    std::string name;
    std::function<void(const fs::path&)> make;
    std::string says;  // empty: private
  };
  const std::vector<Case> cases = {
      {"a folder of mode 0700",
       [](const fs::path& p) { ASSERT_FALSE(createPrivateDirectories(p)); }, ""},
      {"a file of mode 0600",
       [](const fs::path& p) { ::close(::open(p.c_str(), O_CREAT | O_WRONLY, 0600)); }, ""},
      {"writable by all",
       [](const fs::path& p) {
         fs::create_directory(p);
         ::chmod(p.c_str(), 0777);
       },
       " is writable by other users (mode 0777)"},
      {"writable by its group",
       [](const fs::path& p) {
         fs::create_directory(p);
         ::chmod(p.c_str(), 0770);
       },
       " is writable by other users (mode 0770)"},
      {"another user's",
       [](const fs::path& p) {
         fs::create_directory(p);
         ASSERT_EQ(::chown(p.c_str(), kOtherUser, kOtherUser), 0);
       },
       " is owned by another user (uid 65534)"},
      {"a symbolic link to a private folder",
       [this](const fs::path& p) { fs::create_directory_symlink(dir_, p); }, " is a symbolic link"},
      {"missing", [](const fs::path&) {}, " cannot be examined: No such file or directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path p = dir_ / ("case-" + std::to_string(&c - cases.data()));
    withOpenUmask([&] { c.make(p); });
    fp::Status checked = checkPrivate(p, "cache folder");
    if (c.says.empty()) {
      EXPECT_TRUE(checked.ok()) << checked.error().message;
    } else {
      ASSERT_FALSE(checked.ok());
      EXPECT_EQ(checked.error().message, "cache folder " + p.string() + c.says);
    }
  }
}

TEST_F(CacheFolderTest, OneMountAtATimeAndTheOtherIsNamed) {
  fs::path root = dir_ / "cache";
  {
    auto first = CacheFolder::take(root);
    ASSERT_TRUE(first.ok()) << first.error();
    EXPECT_EQ(modeOf(root / "lock"), 0600u);
    EXPECT_EQ(readCacheFile(root / "lock"), std::to_string(::getpid()) + "\n");
    auto second = CacheFolder::take(root);
    ASSERT_FALSE(second.ok());
    EXPECT_THAT(second.error(),
                HasSubstr("cache folder " + root.string() + " is in use by another mount (pid " +
                          std::to_string(::getpid()) + ")"));
  }
  EXPECT_TRUE(CacheFolder::take(root).ok());  // free once the first has ended
}

TEST_F(CacheFolderTest, WhatOthersPlantedInTheFolderIsRefused) {
  struct Case {
    std::string entry;
    std::function<void(const fs::path&)> plant;
    std::string says;
  };
  const std::vector<Case> cases = {
      {"queue",
       [](const fs::path& p) {
         fs::create_directory(p);
         ASSERT_EQ(::chown(p.c_str(), kOtherUser, kOtherUser), 0);
       },
       " is owned by another user (uid 65534); use a folder of your own"},
      {"contents", [this](const fs::path& p) { fs::create_directory_symlink(dir_, p); },
       " is a symbolic link; give the folder itself, not a link to it"},
      {"spare",
       [](const fs::path& p) {
         fs::create_directory(p);
         ::chmod(p.c_str(), 0777);
       },
       " is writable by other users (mode 0777); use a folder only you can write (chmod 700 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    fs::path root = dir_ / ("cache-" + c.entry);
    ASSERT_FALSE(createPrivateDirectories(root));
    c.plant(root / c.entry);
    auto taken = CacheFolder::take(root);
    ASSERT_FALSE(taken.ok());
    EXPECT_THAT(taken.error(), HasSubstr("cache folder " + (root / c.entry).string() + c.says));
  }
}

}  // namespace
}  // namespace fpctl::mount
