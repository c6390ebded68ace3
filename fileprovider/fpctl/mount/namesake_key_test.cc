#include "fileprovider/fpctl/mount/namesake_key.h"

#include <gtest/gtest.h>

#include "extension/model/collisions.h"

namespace fpctl::mount {
namespace {

// The mount refuses a new name only when the extension would mark it, so both
// must agree on which names are namesakes, key by key.
struct NamesakeCase {
  const char* a;
  const char* b;
  bool namesakes;
};

const NamesakeCase kNamesakeCases[] = {
    {"Dup.txt", "dup.txt", true},
    {"REPORT.PDF", "report.pdf", true},
    {"report.pdf", "report.pdf ", false},
    {"\xE2\x84\xAA.txt", "k.txt", true},  // Kelvin sign lowers to ASCII k
    {"\xE2\x84\xAA.txt", "K.txt", true},
    {"Caf\xC3\xA9", "cafe\xCC\x81", true},  // precomposed vs decomposed
    {"CAF\xC3\x89", "caf\xC3\xA9", true},
    {"Stra\xC3\x9F"
     "e",
     "strasse", false},                              // sharp s is not double s
    {"\xE1\xBA\x9E", "\xC3\x9F", true},              // capital sharp s lowers to sharp s
    {"\xCE\xA3\xCE\xA3", "\xCF\x83\xCF\x83", true},  // capital sigma: always small sigma
    {"\xCF\x82", "\xCF\x83", false},                 // final sigma stays distinct
    {"\xC4\xB0", "i\xCC\x87", true},                 // dotted capital I: i + dot above
    {"\xC4\xB0", "i", false},
    {"\xE2\x84\xA6", "\xCF\x89", true},    // Ohm sign
    {"\xEF\xAC\x80", "ff", false},         // ligature is not lowered apart
    {"bad\xFF", "BAD\xEF\xBF\xBD", true},  // ill-formed byte counts as U+FFFD
    {"", "", true},
};

TEST(NamesakeKeyTest, AgreesWithTheExtensionsCollisionKey) {
  for (const auto& c : kNamesakeCases) {
    SCOPED_TRACE(std::string(c.a) + " | " + c.b);
    EXPECT_EQ(namesakeKey(c.a), pellora::Collisions::collisionKey(c.a));
    EXPECT_EQ(namesakeKey(c.b), pellora::Collisions::collisionKey(c.b));
    EXPECT_EQ(namesakeKey(c.a) == namesakeKey(c.b), c.namesakes);
  }
}

TEST(NamesakeKeyTest, KeysOfAFolderFindEveryNamesake) {
  NamesakeKeys keys;
  keys.add("Dup.txt");
  keys.add("Caf\xC3\xA9");
  EXPECT_TRUE(keys.hasNamesake("DUP.TXT"));
  EXPECT_TRUE(keys.hasNamesake("cafe\xCC\x81"));
  EXPECT_FALSE(keys.hasNamesake("Dup.txt2"));
  EXPECT_FALSE(keys.hasNamesake("Cafe"));
}

}  // namespace
}  // namespace fpctl::mount
