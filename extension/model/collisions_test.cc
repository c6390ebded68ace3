#include "extension/model/collisions.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <random>

namespace pellora::Collisions {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Resolves (ulid, name) pairs against reserved names.
std::vector<std::string> resolveAll(std::vector<std::string> reserved,
                                    std::vector<std::pair<std::string, std::string>> files) {
  std::vector<NamedUlid> entries;
  for (const auto& [ulid, name] : files) entries.push_back({ulid, name});
  return resolve(reserved, entries);
}

TEST(MarkedNameTest, Table) {
  struct Case {
    std::string name;
    std::string ulid;
    std::string expected;
  };
  const Case cases[] = {
      {"Report.pdf", "01HXYZ7K2QZM", "Report (7K2QZM).pdf"},
      {"archive.tar.gz", "01HXYZ7K2QZM", "archive.tar (7K2QZM).gz"},
      {"Notes", "01HXYZ7K2QZM", "Notes (7K2QZM)"},
      {".env", "01HXYZ7K2QZM", ".env (7K2QZM)"},
      {"memo.", "01HXYZ7K2QZM", "memo (7K2QZM)."},
      {"..x", "01HXYZ7K2QZM", ". (7K2QZM).x"},
      {"", "01HXYZ7K2QZM", " (7K2QZM)"},
      {"Notes", "7K2QZM", "Notes (7K2QZM)"},
      {"Notes", "AB", "Notes (AB)"},
      {"Notes.txt", "", "Notes ().txt"},
      // A full stop joined by a combining mark, a ZWJ or a preceding prepend
      // character is no dot.
      {"a.\u0301b", "01HXYZ7K2QZM", "a.\u0301b (7K2QZM)"},
      {"x.y.\u0301z", "01HXYZ7K2QZM", "x (7K2QZM).y.\u0301z"},
      {"a.\u200Dtxt", "01HXYZ7K2QZM", "a.\u200Dtxt (7K2QZM)"},
      {"a\u0600.txt", "01HXYZ7K2QZM", "a\u0600.txt (7K2QZM)"},
      {"Über.txt", "01HXYZ7K2QZM", "Über (7K2QZM).txt"},
      // The tag counts user-perceived characters.
      {"n", "0123456e\u0301ABCDE", "n (e\u0301ABCDE)"},
      {"n", "XYZ\U0001F1E9\U0001F1EAABCDE", "n (\U0001F1E9\U0001F1EAABCDE)"},
      {"n", "0123\r\nABCDE", "n (\r\nABCDE)"},
      {"n", "0123\n\rABCD", "n (\n\rABCD)"},
      {"n", "e\u0301\u0301", "n (e\u0301\u0301)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(markedName(c.name, c.ulid), c.expected) << c.name << " / " << c.ulid;
  }
}

// Prefixing a non-ASCII character sends the text through ICU; the ASCII fast
// path must agree with it.
TEST(MarkedNameTest, AsciiFastPathAgreesWithIcu) {
  const std::string names[] = {"Report.pdf", "a.b.c", "noext", "trail.", "a\r\n.txt", "x\r.\ny"};
  const std::string ulids[] = {"01HXYZ7K2QZM", "ab\r\ncdefg", "\r\n\r\n\r\n\r\n\r\n\r\n",
                               "1234\r\r\n56", "a\n\r\n\rbcdef"};
  const std::string prefix = "\u00E9";
  for (const std::string& name : names) {
    for (const std::string& ulid : ulids) {
      std::string ascii = markedName(name, ulid);
      EXPECT_EQ(markedName(prefix + name, ulid), prefix + ascii) << name;
      EXPECT_EQ(markedName(name, prefix + ulid), ascii) << ulid;
    }
  }
}

TEST(CollisionKeyTest, Table) {
  struct Case {
    std::string name;
    std::string key;
  };
  const Case cases[] = {
      {"Report.PDF", "report.pdf"},
      {"Stra\u00DFe", "stra\u00DFe"},  // lower-casing, not case folding
      {"STRASSE", "strasse"},
      {"\u0130", "i\u0307"},  // full mapping of capital I with dot
      {"\u039F\u0394\u039F\u03A3", "\u03BF\u03B4\u03BF\u03C3"},  // no final-sigma context
      {"\u212A", "k"},                                           // Kelvin sign
      {"\u212B", "\u00E5"},                                      // Angstrom sign
      {"cafe\u0301", "caf\u00E9"},                               // canonical composition
      {"CAF\u00C9", "caf\u00E9"},
      {"A\xFF", "a\uFFFD"},  // ill-formed byte shown as U+FFFD
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(collisionKey(c.name), c.key) << c.name;
    EXPECT_TRUE(hasCollisionKey(c.name, c.key)) << c.name;
  }
  EXPECT_FALSE(hasCollisionKey("Straße", collisionKey("strasse")));
  EXPECT_FALSE(hasCollisionKey("ab", "abc"));
  EXPECT_TRUE(hasCollisionKey("\u212A", collisionKey("K")));
}

// The key of every scalar on its own is ICU's full lower-case mapping of it in
// the root locale, made NFC.
TEST(CollisionKeyTest, EveryScalarLowersAsIcuMapsItInTheRootLocale) {
  UErrorCode err = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(err);
  ASSERT_TRUE(U_SUCCESS(err));
  int checked = 0;
  for (UChar32 c = 0x80; c <= 0x10FFFF; ++c) {
    if (U_IS_SURROGATE(c)) continue;
    UChar src[2];
    std::int32_t srcLen = 0;
    U16_APPEND_UNSAFE(src, srcLen, c);
    UChar lowered[8];
    err = U_ZERO_ERROR;
    std::int32_t len = u_strToLower(lowered, 8, src, srcLen, "", &err);
    ASSERT_TRUE(U_SUCCESS(err)) << c;
    std::string expected;
    err = U_ZERO_ERROR;
    nfc->normalize(icu::UnicodeString(lowered, len), err).toUTF8String(expected);
    ASSERT_TRUE(U_SUCCESS(err)) << c;
    std::string name;
    icu::UnicodeString(c).toUTF8String(name);
    ASSERT_EQ(collisionKey(name), expected) << "U+" << std::hex << c;
    ++checked;
  }
  EXPECT_GT(checked, 1'000'000);
}

// The table of scalars that spell an ASCII character with or without marks
// holds every one of them: each scalar whose key, decomposed, starts with an
// ASCII character is listed under it with that decomposition, and nothing else.
TEST(AsciiBasedScalarsTest, ListEveryScalarWhoseDecomposedKeyStartsWithAscii) {
  UErrorCode err = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(err);
  ASSERT_TRUE(U_SUCCESS(err));
  std::map<std::string, std::string> listed;  // bytes -> decomposition
  for (int c = 0; c < 128; ++c) {
    for (const AsciiBasedScalar& s : asciiBasedScalars(static_cast<char>(c))) {
      EXPECT_EQ(s.decomposition[0], static_cast<char>(c)) << s.utf8;
      EXPECT_TRUE(listed.emplace(s.utf8, s.decomposition).second) << s.utf8;
    }
  }
  std::size_t found = 0;
  for (UChar32 c = 0x80; c <= 0x10FFFF; ++c) {
    if (U_IS_SURROGATE(c)) continue;
    std::string name;
    icu::UnicodeString(c).toUTF8String(name);
    std::string decomposed;
    err = U_ZERO_ERROR;
    nfd->normalize(icu::UnicodeString::fromUTF8(collisionKey(name)), err).toUTF8String(decomposed);
    ASSERT_TRUE(U_SUCCESS(err));
    if (static_cast<unsigned char>(decomposed[0]) >= 0x80) continue;
    ++found;
    auto it = listed.find(name);
    ASSERT_NE(it, listed.end()) << "U+" << std::hex << c;
    EXPECT_EQ(it->second, decomposed) << "U+" << std::hex << c;
  }
  EXPECT_EQ(found, listed.size());
  EXPECT_GT(found, 400u);
}

// Every name with a key passes that key's ASCII start-and-end check, and the
// check's start is what index readers narrow by: on random names built from
// pieces whose lower case or decomposition holds ASCII, whenever two names
// share a key, each passes the other's check.
TEST(AsciiLeadTest, NamesakesAlwaysPassTheCheck) {
  const std::vector<std::string> pieces = {
      "k",      "K",      "\u212A", "i",    "I",        "\u0130", "\u0307", "e",      "E",
      "\u00E9", "\u00C9", "\u0301", "s",    "S",        "\u00DF", "\u017F", "\u00C5", "\u212B",
      "a",      "\u03A3", "\u03C2", "\xFF", "\xE2\x84", "1",      ".",      " "};
  std::mt19937 random(7);
  std::map<std::string, std::vector<std::string>> byKey;
  for (int i = 0; i < 20000; ++i) {
    std::string name;
    for (std::size_t n = 1 + random() % 4; n > 0; --n) name += pieces[random() % pieces.size()];
    byKey[collisionKey(name)].push_back(name);
  }
  int checked = 0;
  for (const auto& [key, names] : byKey) {
    std::optional<AsciiLead> lead = asciiLeadOfKey(key);
    ASSERT_TRUE(lead.has_value());
    for (const std::string& name : names) {
      EXPECT_TRUE(mayHaveKey(name, *lead)) << name << " key " << key;
      ++checked;
    }
  }
  EXPECT_GT(byKey.size(), 1000u);
  EXPECT_EQ(checked, 20000);

  struct Case {
    const char* name;
    const char* key;
    bool may;
  } cases[] = {
      {"Caf\u00E9 1.txt", "caf\u00E9 1.txt", true},
      {"Caf\u00E9 2.txt", "caf\u00E9 1.txt", false},  // another ASCII end
      {"Cof\u00E9 1.txt", "caf\u00E9 1.txt", false},  // another ASCII start
      {"\u212Aelvin", "kelvin", true},                // lower case is ASCII
      {"CAFE\u0301", "caf\u00E9", true},              // decomposed
      {"\u0130x", "i\u0307x", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mayHaveKey(c.name, *asciiLeadOfKey(c.key)), c.may) << c.name;
  }
}

TEST(ResolveTest, NoEntriesGiveNoNames) {
  EXPECT_THAT(resolveAll({}, {}), IsEmpty());
  EXPECT_THAT(resolveAll({"Docs", "docs"}, {}), IsEmpty());
}

TEST(ResolveTest, DistinctNamesStayUnchanged) {
  EXPECT_THAT(resolveAll({}, {{"B", "b.txt"}, {"A", "a.txt"}, {"C", "C.TXT2"}}),
              ElementsAre("b.txt", "a.txt", "C.TXT2"));
}

TEST(ResolveTest, ReservedNameMarksTheOnlyFileOfItsKey) {
  EXPECT_THAT(resolveAll({"Docs"}, {{"01HXYZ7K2QZM", "docs"}, {"01HXYZ000001", "Docs.txt"}}),
              ElementsAre("docs (7K2QZM)", "Docs.txt"));
}

TEST(ResolveTest, SmallestUlidKeepsItsNameAndOrderIsKept) {
  EXPECT_THAT(resolveAll({}, {{"B00000000B", "a.txt"}, {"A00000000A", "A.TXT"}}),
              ElementsAre("a (00000B).txt", "A.TXT"));
}

TEST(ResolveTest, EqualUlidsKeepInputOrder) {
  EXPECT_THAT(resolveAll({}, {{"SAME01", "x"}, {"SAME01", "x"}}), ElementsAre("x", "x (SAME01)"));
}

TEST(ResolveTest, ThreeNamesakesMarkAllButTheSmallestUlid) {
  EXPECT_THAT(resolveAll({}, {{"U3xxxxxC", "f"}, {"U1xxxxxA", "F"}, {"U2xxxxxB", "f"}}),
              ElementsAre("f (xxxxxC)", "F", "f (xxxxxB)"));
}

TEST(ResolveTest, ReservedTwiceActsLikeOnce) {
  EXPECT_EQ(resolveAll({"Docs", "Docs"}, {{"U1", "docs"}, {"U2", "other"}}),
            resolveAll({"Docs"}, {{"U1", "docs"}, {"U2", "other"}}));
}

TEST(ResolveTest, CanonicalEquivalentsCollideSharpSDoesNot) {
  EXPECT_THAT(resolveAll({}, {{"U1", "Caf\u00E9"}, {"U2", "cafe\u0301"}}),
              ElementsAre("Caf\u00E9", "cafe\u0301 (U2)"));
  EXPECT_THAT(resolveAll({}, {{"U1", "Stra\u00DFe"}, {"U2", "strasse"}}),
              ElementsAre("Stra\u00DFe", "strasse"));
  EXPECT_THAT(resolveAll({"K"}, {{"U1", "\u212A"}}), ElementsAre("\u212A (U1)"));
}

TEST(ResolveTest, ShortAndEmptyUlidsGiveShortAndEmptyTags) {
  EXPECT_THAT(resolveAll({"a"}, {{"XY", "a.txt"}, {"", "A"}}), ElementsAre("a.txt", "A ()"));
  EXPECT_THAT(resolveAll({"a.txt"}, {{"XY", "a.txt"}}), ElementsAre("a (XY).txt"));
}

TEST(ResolveTest, UlidsAreOrderedByCodePointAfterNormalisation) {
  // Byte-wise, "e" + U+0301 sorts before "f"; as NFC text it is U+00E9, after it.
  EXPECT_THAT(resolveAll({}, {{"e\u0301", "a"}, {"f", "A"}}), ElementsAre("a (e\u0301)", "A"));
  // Canonically equal ulids are equal: the earlier entry wins.
  EXPECT_THAT(resolveAll({}, {{"e\u0301", "a"}, {"\u00E9", "A"}}), ElementsAre("a", "A (\u00E9)"));
  EXPECT_THAT(resolveAll({}, {{"\u00E9", "a"}, {"e\u0301", "A"}}), ElementsAre("a", "A (e\u0301)"));
}

TEST(ResolveTest, MarkedNamesAreFinal) {
  // "x (U2)" is a stored name and a marked name at once; nothing more happens.
  EXPECT_THAT(resolveAll({}, {{"U1", "x"}, {"U2", "x"}, {"U3", "x (U2)"}}),
              ElementsAre("x", "x (U2)", "x (U2)"));
}

TEST(ResolveTest, AddingALargerUlidLeavesExistingNamesakesAlone) {
  std::vector<std::pair<std::string, std::string>> files = {{"M", "n"}, {"K", "N"}, {"Z1", "o"}};
  std::vector<std::string> before = resolveAll({}, files);
  files.emplace_back("ZZ", "n");
  std::vector<std::string> after = resolveAll({}, files);
  ASSERT_EQ(after.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(after.begin(), after.begin() + 3), before);
  EXPECT_EQ(after[3], "n (ZZ)");
}

// The steps of the algorithm done literally: counts from the reserved names, one
// stable sort of all positions by ulid, one visit each. Ulids here are NFC, so
// byte order is the order of their normal forms.
std::vector<std::string> referenceResolve(const std::vector<std::string>& reserved,
                                          const std::vector<NamedUlid>& entries) {
  std::map<std::string, int> counts;
  for (const std::string& r : reserved) ++counts[collisionKey(r)];
  std::vector<std::string> result(entries.size());
  std::vector<std::size_t> order(entries.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return entries[a].ulid < entries[b].ulid; });
  for (std::size_t i : order) {
    int count = ++counts[collisionKey(entries[i].name)];
    result[i] =
        count == 1 ? std::string(entries[i].name) : markedName(entries[i].name, entries[i].ulid);
  }
  return result;
}

TEST(ResolveTest, AgreesWithTheLiteralAlgorithmOnRandomFolders) {
  const std::vector<std::string> names = {
      "a.txt",        "A.TXT",        "a.TXT",   "b",         "B",
      "Stra\u00DFe",  "STRASSE",      "strasse", "caf\u00E9", "cafe\u0301",
      "CAF\u00C9",    "\u212A",       "k",       "K",         "\u039F\u03A3",
      "\u03BF\u03C3", "\u03BF\u03C2", ".env",    "memo.",     ""};
  const std::vector<std::string> ulids = {"01A",     "01B",       "01C", "01D", "01E",
                                          "\u00E91", "zzzzzzzzz", "",    "01A"};
  std::mt19937 rng(20240611);
  for (int round = 0; round < 500; ++round) {
    std::uniform_int_distribution<std::size_t> pickName(0, names.size() - 1);
    std::uniform_int_distribution<std::size_t> pickUlid(0, ulids.size() - 1);
    std::uniform_int_distribution<int> count(0, 12);
    std::vector<std::string> reserved;
    for (int i = count(rng) / 4; i > 0; --i) reserved.push_back(names[pickName(rng)]);
    std::vector<NamedUlid> entries;
    for (int i = count(rng); i > 0; --i)
      entries.push_back({ulids[pickUlid(rng)], names[pickName(rng)]});
    ASSERT_EQ(resolve(reserved, entries), referenceResolve(reserved, entries)) << "round " << round;
  }
}

TEST(MarksTest, ListsOnlyMarkedPositionsInOrder) {
  std::vector<std::string_view> reserved = {"Docs"};
  std::vector<NamedUlid> entries = {
      {"U9", "docs"}, {"U2", "x"}, {"U3", "X"}, {"U1", "x"}, {"U5", "y"}};
  std::vector<Mark> m = marks(reserved, entries);
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0].position, 0u);
  EXPECT_EQ(m[0].displayName, "docs (U9)");
  EXPECT_EQ(m[1].position, 1u);
  EXPECT_EQ(m[1].displayName, "x (U2)");
  EXPECT_EQ(m[2].position, 2u);
  EXPECT_EQ(m[2].displayName, "X (U3)");
}

}  // namespace
}  // namespace pellora::Collisions
