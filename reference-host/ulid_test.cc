#include "reference-host/ulid.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>

namespace refhost {
namespace {

TEST(UlidTest, EncodesTimeAndRandomnessInCrockfordBase32) {
  std::array<std::uint8_t, 10> zero{}, ones{};
  ones.fill(0xFF);
  EXPECT_EQ(encodeUlid(0, zero), "00000000000000000000000000");
  EXPECT_EQ(encodeUlid(0xFFFFFFFFFFFFull, ones), "7ZZZZZZZZZZZZZZZZZZZZZZZZZ");
  EXPECT_EQ(encodeUlid(1, zero), "00000000010000000000000000");
  // A widely published example value and its timestamp.
  EXPECT_EQ(ulidMillis("01ARZ3NDEKTSV4RRFFQ69G5FAV"), 1469922850259u);
  EXPECT_EQ(encodeUlid(1469922850259u, zero).substr(0, 10), "01ARZ3NDEK");
}

TEST(UlidTest, NewUlidsAreValidUniqueAndCarryTheTime) {
  auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                 std::chrono::system_clock::now().time_since_epoch())
                 .count();
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string u = newUlid();
    ASSERT_TRUE(isUlid(u)) << u;
    EXPECT_TRUE(seen.insert(u).second) << u;
    EXPECT_NEAR(static_cast<double>(ulidMillis(u)), static_cast<double>(now), 60'000.0);
  }
}

TEST(UlidTest, RecognisesOnlyWellFormedText) {
  for (const char* bad : {"", "0000000000000000000000000", "000000000000000000000000000",
                          "8ZZZZZZZZZZZZZZZZZZZZZZZZZ", "0000000000000000000000000I",
                          "0000000000000000000000000u", "01arz3ndektsv4rrffq69g5fav"}) {
    EXPECT_FALSE(isUlid(bad)) << bad;
    EXPECT_EQ(ulidMillis(bad), 0u) << bad;
  }
}

}  // namespace
}  // namespace refhost
