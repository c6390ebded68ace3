#include "fileprovider/fpctl/mount/name_codec.h"

#include <random>

#include <gtest/gtest.h>

namespace fpctl::mount {
namespace {

using namespace std::string_literals;

struct Case {
  std::string display;
  std::string shown;
};

TEST(NameCodecTest, SubstitutesWhatCannotBeAFileName) {
  const Case cases[] = {
      {"Report.pdf", "Report.pdf"},
      {"Café ☕", "Café ☕"},
      {"a/b", "a∕b"},
      {"/", "∕"},
      {"a\0b"s, "a␀b"},
      {".", "．"},
      {"..", "．．"},
      {"", "．．．"},
      {"...", "..."},
      {".hidden", ".hidden"},
      // Literal substitutes are marked, and markers before them doubled.
      {"a∕b", "a‛∕b"},
      {"x␀", "x‛␀"},
      {"‛", "‛"},
      {"‛x", "‛x"},
      {"‛/", "‛‛∕"},
      {"‛∕", "‛‛‛∕"},
      {"．", "．．．．"},
      {"．．", "．．．．．"},
      {"a．", "a．"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(posixName(c.display), c.shown) << c.display;
    EXPECT_EQ(displayName(c.shown), c.display) << c.shown;
  }
}

TEST(NameCodecTest, ShownNamesAreAlwaysValidFileNames) {
  for (const std::string& d : {""s, "."s, ".."s, "/"s, "//"s, "\0"s, "a/."s}) {
    std::string p = posixName(d);
    EXPECT_FALSE(p.empty());
    EXPECT_NE(p, ".");
    EXPECT_NE(p, "..");
    EXPECT_EQ(p.find('/'), std::string::npos);
    EXPECT_EQ(p.find('\0'), std::string::npos);
  }
}

// Random names built from the characters that matter: both directions are
// inverse to each other.
TEST(NameCodecTest, RoundTripsBothWays) {
  const std::string alphabet[] = {"a", "/", "\0"s, "∕", "␀", "‛", ".", "．", "\xE2", "\x80"};
  std::mt19937 rng(7);
  for (int i = 0; i < 20000; ++i) {
    std::string s;
    int len = static_cast<int>(rng() % 7);
    for (int k = 0; k < len; ++k) s += alphabet[rng() % std::size(alphabet)];
    ASSERT_EQ(displayName(posixName(s)), s) << "display " << s;
    bool validPosix = !s.empty() && s != "." && s != ".." && s.find('/') == std::string::npos &&
                      s.find('\0') == std::string::npos;
    if (validPosix) {
      ASSERT_EQ(posixName(displayName(s)), s) << "shown " << s;
    }
  }
}

}  // namespace
}  // namespace fpctl::mount
