#include "fileprovider/fpctl/mount/content_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fileprovider/src/test_support.h"

namespace fpctl::mount {
namespace {

namespace fs = std::filesystem;

// Copies of 40 KiB: whole blocks, so what they take on disk is their size.
constexpr std::int64_t kCopy = 40 << 10;

class ContentCacheTest : public ::testing::Test {
 protected:
  void TearDown() override { cache_.reset(); }

  void openCache(CacheBound bound) {
    cache_.reset();
    auto c = ContentCache::open(dir_ / "cache", false, bound);
    ASSERT_TRUE(c.ok());
    cache_ = std::move(*c);
  }
  // The fetched file for `id`: `bytes` bytes of the item's first letter.
  fs::path source(const std::string& id, std::int64_t bytes = kCopy) {
    fs::path p = dir_ / ("src-" + id);
    std::ofstream(p, std::ios::binary) << std::string(static_cast<std::size_t>(bytes), id[0]);
    return p;
  }
  ErrnoOr<fs::path> store(const std::string& id, const KeepPredicate& keep = {},
                          std::int64_t bytes = kCopy) {
    // The clock of file times is coarse: uses a few milliseconds apart are ordered.
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
    return cache_->store(id, "v1", source(id, bytes), bytes + 1, keep);
  }
  // The items that have a copy in the cache.
  std::set<std::string> held() {
    std::set<std::string> out;
    for (const char* id : {"a", "b", "c", "d", "e", "f"}) {
      if (cache_->find(id, "v1")) out.insert(id);
    }
    return out;
  }
  static KeepPredicate keeping(std::set<std::string> ids) {
    return [ids](const std::string& id) { return ids.count(id) > 0; };
  }

  fp::testing::TempDir tmp_;
  fs::path dir_ = tmp_.path();
  std::unique_ptr<ContentCache> cache_;
};

using Held = std::set<std::string>;

TEST_F(ContentCacheTest, TheLeastRecentlyUsedCopyThatMayGoGoesFirst) {
  openCache({.maxBytes = 2 * kCopy + kCopy / 2, .maxAge = std::nullopt});
  ASSERT_TRUE(store("a").ok());
  ASSERT_TRUE(store("b").ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(15));
  cache_->markUsed("a");  // b is now the least recently used
  ASSERT_TRUE(store("c").ok());
  EXPECT_EQ(cache_->usage().copies, 2);
  EXPECT_FALSE(cache_->find("b", "v1"));
  EXPECT_TRUE(cache_->find("a", "v1"));  // and a is used again, after c

  // c is the oldest now, but it is kept: a goes instead.
  ASSERT_TRUE(store("d", keeping({"c"})).ok());
  EXPECT_EQ(held(), (Held{"c", "d"}));
  EXPECT_EQ(cache_->usage().bytes, 2 * kCopy);
}

TEST_F(ContentCacheTest, WhatTheBoundCannotHoldIsRefusedWithoutDroppingAnything) {
  openCache({.maxBytes = 2 * kCopy, .maxAge = std::nullopt});
  ASSERT_TRUE(store("a").ok());
  ASSERT_TRUE(store("b").ok());
  struct Case {
    const char* id;
    std::int64_t bytes;
    KeepPredicate keep;
  };
  const Case cases[] = {
      {"c", 3 * kCopy, {}},               // larger than the bound itself
      {"d", kCopy, keeping({"a", "b"})},  // everything else must stay
      {"e", 2 * kCopy, keeping({"a"})},   // what may go is not enough
  };
  for (const auto& c : cases) {
    auto stored = store(c.id, c.keep, c.bytes);
    ASSERT_FALSE(stored.ok()) << c.id;
    EXPECT_EQ(stored.error().value, ENOSPC) << c.id;
    EXPECT_EQ(held(), (Held{"a", "b"})) << c.id;
  }
  EXPECT_TRUE(fs::is_empty(dir_ / "cache" / "work"));
}

TEST_F(ContentCacheTest, ANewRunKeepsTheOrderOfUse) {
  openCache({});
  ASSERT_TRUE(store("a").ok());
  ASSERT_TRUE(store("b").ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(15));
  ASSERT_TRUE(cache_->find("a", "v1"));  // a use, noted on the file

  openCache({.maxBytes = 2 * kCopy + kCopy / 2, .maxAge = std::nullopt});
  EXPECT_EQ(cache_->usage().bytes, 2 * kCopy);  // what the last run left counts
  ASSERT_TRUE(store("c").ok());
  EXPECT_EQ(held(), (Held{"a", "c"}));

  // A smaller bound for the next run is met by evictToBound.
  openCache({.maxBytes = kCopy, .maxAge = std::nullopt});
  EXPECT_EQ(cache_->evictToBound({}), kCopy);
  EXPECT_EQ(cache_->usage().copies, 1);
}

TEST_F(ContentCacheTest, CopiesUnusedForLongerThanTheAgeGo) {
  openCache({});
  ASSERT_TRUE(store("a").ok());
  ASSERT_TRUE(store("b").ok());
  ASSERT_TRUE(store("c").ok());
  // a and c were last used two hours ago.
  timespec past[2] = {{time(nullptr) - 7200, 0}, {time(nullptr) - 7200, 0}};
  for (const char* id : {"a", "c"}) {
    auto p = cache_->find(id, "v1");
    ASSERT_TRUE(p);
    ASSERT_EQ(utimensat(AT_FDCWD, p->c_str(), past, 0), 0);
  }
  openCache({.maxBytes = INT64_MAX, .maxAge = std::chrono::hours(1)});
  EXPECT_EQ(cache_->evictToBound(keeping({"c"})), kCopy);
  EXPECT_EQ(held(), (Held{"b", "c"}));
}

TEST_F(ContentCacheTest, DropRemovesOneItemAndAnOpenReaderKeepsReading) {
  openCache({});
  auto a = store("a");
  ASSERT_TRUE(a.ok());
  ASSERT_TRUE(store("b").ok());
  fp::ScopedFD reader(::open(a->c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(reader);
  EXPECT_EQ(cache_->drop("a"), kCopy);
  EXPECT_EQ(cache_->drop("a"), 0);
  EXPECT_EQ(held(), (Held{"b"}));
  EXPECT_EQ(cache_->usage().bytes, kCopy);
  char c = 0;
  EXPECT_EQ(pread(reader.get(), &c, 1, kCopy - 1), 1);
  EXPECT_EQ(c, 'a');
}

TEST_F(ContentCacheTest, ANewVersionReplacesTheOldOneInTheCount) {
  openCache({});
  ASSERT_TRUE(store("a").ok());
  ASSERT_TRUE(cache_->store("a", "v2", source("a", 2 * kCopy), 3 * kCopy).ok());
  EXPECT_EQ(cache_->usage().copies, 1);
  EXPECT_EQ(cache_->usage().bytes, 2 * kCopy);
  EXPECT_FALSE(cache_->find("a", "v1"));
  // A copy removed behind the cache's back is no longer counted once looked for.
  fs::remove(*cache_->find("a", "v2"));
  EXPECT_FALSE(cache_->find("a", "v2"));
  EXPECT_EQ(cache_->usage().bytes, 0);
  // A working copy on its way in is held from the moment it is expected
  // (a file's state read "cloud" right after its close).
  cache_->expect("a", "v3");
  EXPECT_TRUE(cache_->has("a", "v3"));
  cache_->adopt("a", "v3", source("a"));
  EXPECT_TRUE(cache_->has("a", "v3"));
  EXPECT_EQ(cache_->usage().copies, 1);
}

TEST_F(ContentCacheTest, StoresAtTheSameTimeMakeRoomForEachOther) {
  openCache({.maxBytes = 3 * kCopy, .maxAge = std::nullopt});
  std::vector<std::thread> storers;
  std::atomic<int> stored{0}, refused{0};
  for (int i = 0; i < 8; ++i) {
    std::string id = std::string(1, static_cast<char>('g' + i));
    fs::path src = source(id);
    storers.emplace_back([&, id, src] {
      auto r = cache_->store(id, "v1", src, kCopy + 1);
      if (r.ok()) {
        ++stored;
      } else if (r.error().value == ENOSPC) {
        ++refused;  // the others' room was taken at that moment: read without a copy
      }
    });
  }
  for (auto& t : storers) t.join();
  EXPECT_GE(stored.load(), 3);
  EXPECT_EQ(stored.load() + refused.load(), 8);
  EXPECT_LE(cache_->usage().bytes, 3 * kCopy);
  std::int64_t onDisk = 0;
  for (const auto& e : fs::directory_iterator(dir_ / "cache" / "contents")) {
    struct stat st {};
    ASSERT_EQ(::stat(e.path().c_str(), &st), 0);
    onDisk += st.st_blocks * 512;
  }
  EXPECT_EQ(onDisk, cache_->usage().bytes);
}

}  // namespace
}  // namespace fpctl::mount
