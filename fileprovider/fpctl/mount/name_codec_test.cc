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

TEST(NameCodecTest, LongNamesAreShortenedStablyAndDistinctly) {
  const std::string umlauts = [] {
    std::string s;
    for (int i = 0; i < 150; ++i) s += "\xc3\xa4";  // "ä", two bytes each
    return s;
  }();
  const std::string a = std::string(300, 'a') + ".txt";
  const std::string b = std::string(300, 'a') + "b.txt";
  struct Case {
    std::string name;
    std::string suffix;  // what the shortened name ends with
    bool twoByteCharacters = false;
  };
  const Case cases[] = {
      {a, ".txt"},
      {b, ".txt"},
      {std::string(4000, 'x'), ""},
      {umlauts + ".pdf", ".pdf", true},
  };
  for (const auto& c : cases) {
    std::string s = shortenedName(c.name);
    EXPECT_LE(s.size(), kMaxShownName);
    EXPECT_EQ(s, shortenedName(c.name));  // the same every time
    EXPECT_TRUE(s.ends_with(c.suffix)) << s;
    // Cut at a character boundary: the text before "~" is whole characters.
    if (c.twoByteCharacters) {
      EXPECT_EQ(s.substr(0, s.rfind('~')).size() % 2, 0u) << s;
    }
  }
  EXPECT_NE(shortenedName(a), shortenedName(b));
  EXPECT_EQ(shortenedName("short.txt"), "short.txt");
  EXPECT_EQ(shortenedName(std::string(kMaxShownName, 'k')), std::string(kMaxShownName, 'k'));
  // Every name the kernel takes is shown as it is; one byte more is shortened.
  EXPECT_EQ(shortenedName(std::string(kMaxName, 'k')), std::string(kMaxName, 'k'));
  EXPECT_LE(shortenedName(std::string(kMaxName + 1, 'k')).size(), kMaxShownName);
  EXPECT_TRUE(fitsKernel(std::string(kMaxName, 'k')));
  EXPECT_FALSE(fitsKernel(std::string(kMaxName + 1, 'k')));
}

TEST(NameCodecTest, NumberedNamesFitTheKernel) {
  EXPECT_EQ(numberedName("twin", 2), "twin (2)");
  EXPECT_EQ(numberedName(std::string(kMaxName - 4, 't'), 2),
            std::string(kMaxName - 4, 't') + " (2)");
  // A name the suffix would push over the limit is shortened first.
  const std::string a = numberedName(std::string(kMaxName - 3, 't'), 12);
  const std::string b = numberedName(std::string(kMaxName, 't'), 12);
  for (const auto& numbered : {a, b}) {
    EXPECT_LE(numbered.size(), kMaxName);
    EXPECT_TRUE(numbered.ends_with(" (12)")) << numbered;
  }
  EXPECT_NE(a, b);
}

}  // namespace
}  // namespace fpctl::mount
