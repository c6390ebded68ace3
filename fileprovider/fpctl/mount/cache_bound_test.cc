#include "fileprovider/fpctl/mount/cache_bound.h"

#include <gtest/gtest.h>

namespace fpctl::mount {
namespace {

TEST(CacheBoundTest, SizesPeopleWrite) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> bytes;
  };
  const Case cases[] = {
      {"123456", 123456},      {"0", 0},
      {"512B", 512},           {"500M", 500LL << 20},
      {"500m", 500LL << 20},   {"2G", 2LL << 30},
      {"2GB", 2LL << 30},      {"1.5GiB", 3LL << 29},
      {"1.5gib", 3LL << 29},   {"64k", 64 << 10},
      {"64KiB", 64 << 10},     {"1T", 1LL << 40},
      {".5M", 1 << 19},        {"", std::nullopt},
      {"M", std::nullopt},     {"-5M", std::nullopt},
      {"5 M", 5LL << 20},      {"8.0 MiB", 8LL << 20},
      {"5  M", std::nullopt},  {"5 ", std::nullopt},
      {"5X", std::nullopt},    {"1.2.3G", std::nullopt},
      {"5MiBs", std::nullopt}, {"1e3", std::nullopt},
      {"nan", std::nullopt},   {"9000000T", std::nullopt},  // more than 63 bits
  };
  for (const auto& c : cases) EXPECT_EQ(parseSize(c.text), c.bytes) << '"' << c.text << '"';
}

TEST(CacheBoundTest, DurationsPeopleWrite) {
  using std::chrono::seconds;
  struct Case {
    const char* text;
    std::optional<seconds> duration;
  };
  const Case cases[] = {
      {"90", seconds(90)},      {"90s", seconds(90)},       {"30m", seconds(1800)},
      {"12h", seconds(43200)},  {"7d", seconds(604800)},    {"7D", seconds(604800)},
      {"2w", seconds(1209600)}, {"1.5h", seconds(5400)},    {"0", std::nullopt},
      {"0.2s", std::nullopt},  // less than a second
      {"", std::nullopt},       {"h", std::nullopt},        {"-1h", std::nullopt},
      {"3y", std::nullopt},     {"10 m", seconds(600)},     {"10  m", std::nullopt},
      {"10 ", std::nullopt},    {"1000000w", std::nullopt},  // longer than a hundred years
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseDuration(c.text), c.duration) << '"' << c.text << '"';
  }
}

TEST(CacheBoundTest, DefaultIsATenthOfTheDiskAtMostTenGiB) {
  std::int64_t bound = defaultMaxBytes("/tmp");
  EXPECT_GT(bound, 0);
  EXPECT_LE(bound, kDefaultBoundCeiling);
  EXPECT_EQ(defaultMaxBytes("/no/such/folder/anywhere"), kDefaultBoundCeiling);
}

}  // namespace
}  // namespace fpctl::mount
