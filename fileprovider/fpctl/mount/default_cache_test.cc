#include "fileprovider/fpctl/mount/default_cache.h"

#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

namespace fpctl::mount {
namespace {

namespace fs = std::filesystem;

TEST(DefaultCacheTest, OneStableFolderPerDomainAndMountPoint) {
  const char* before = std::getenv("XDG_CACHE_HOME");
  const std::string saved = before ? before : "";
  ASSERT_EQ(::setenv("XDG_CACHE_HOME", "/x/cache", 1), 0);
  const fs::path home = defaultCacheFolder("d.one", "/home/u/Cloud Drive");
  EXPECT_EQ(home, defaultCacheFolder("d.one", "/home/u/Cloud Drive"));  // every time
  EXPECT_EQ(home.parent_path(), fs::path("/x/cache/fileprovider/d.one"));
  EXPECT_EQ(home.filename().string().rfind("CloudDrive-", 0), 0u) << home;
  EXPECT_NE(home, defaultCacheFolder("d.one", "/srv/u/Cloud Drive"));
  EXPECT_NE(home, defaultCacheFolder("d.two", "/home/u/Cloud Drive"));
  EXPECT_EQ(defaultCacheFolder("a/b", "/").parent_path().filename(), "a_b");
  EXPECT_EQ(defaultCacheFolder("..", "/").parent_path(),
            fs::path("/x/cache/fileprovider/domain.."));
  EXPECT_EQ(defaultCacheFolder("a/b", "/").filename().string().rfind("mount-", 0), 0u);
  if (before) {
    ::setenv("XDG_CACHE_HOME", saved.c_str(), 1);
  } else {
    ::unsetenv("XDG_CACHE_HOME");
  }
}

}  // namespace
}  // namespace fpctl::mount
