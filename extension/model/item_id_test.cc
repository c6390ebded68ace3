#include "extension/model/item_id.h"

#include <gtest/gtest.h>

#include <chrono>

#include "extension/model/index_entry.h"
#include "fileprovider/item.h"

namespace pellora {
namespace {

using ItemID::Parsed;

TEST(ItemIDTest, FormsIdentifiersByPlainConcatenation) {
  EXPECT_EQ(ItemID::folder("01HX"), "f:01HX");
  EXPECT_EQ(ItemID::file("01HX"), "i:01HX");
  EXPECT_EQ(ItemID::folder(""), "f:");
  EXPECT_EQ(ItemID::file(""), "i:");
}

TEST(ItemIDTest, ParseInvertsFolderAndFile) {
  for (std::string ulid : {"", "01HXYZ7K2QZM", "i:x", "f:", " spaced ", "Ünïcødé"}) {
    EXPECT_EQ(ItemID::parse(ItemID::folder(ulid)), (Parsed{ulid, true})) << ulid;
    EXPECT_EQ(ItemID::parse(ItemID::file(ulid)), (Parsed{ulid, false})) << ulid;
  }
}

TEST(ItemIDTest, ParseTable) {
  struct Case {
    std::string identifier;
    std::optional<Parsed> expected;
  };
  const Case cases[] = {
      {"f:", Parsed{"", true}},
      {"i:", Parsed{"", false}},
      {"f:i:x", Parsed{"i:x", true}},
      {"i:f:x", Parsed{"f:x", false}},
      {"F:x", std::nullopt},
      {"I:x", std::nullopt},
      {"fx", std::nullopt},
      {"f", std::nullopt},
      {"", std::nullopt},
      {" f:x", std::nullopt},
      {std::string(fp::kRootContainer), std::nullopt},
      {std::string(fp::kTrashContainer), std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ItemID::parse(c.identifier), c.expected) << "identifier: '" << c.identifier << "'";
  }
}

TEST(IndexEntryTest, WithDisplayNameCopiesEverythingElseAndLeavesTheSource) {
  const TimePoint modified{std::chrono::duration<double>(1700000000.0)};
  const IndexEntry source("U1", "a.txt", std::string("P"), false, 42, modified, 7, 0, "a.txt");
  IndexEntry copy = source.withDisplayName("a (ZZZZZZ).txt");

  EXPECT_EQ(source.displayName(), "a.txt");
  EXPECT_EQ(copy.displayName(), "a (ZZZZZZ).txt");
  EXPECT_EQ(copy.ulid(), "U1");
  EXPECT_EQ(copy.name(), "a.txt");
  EXPECT_EQ(copy.parentUlid(), std::optional<std::string>("P"));
  EXPECT_FALSE(copy.isFolder());
  EXPECT_EQ(copy.size(), 42);
  EXPECT_EQ(copy.modified(), modified);
  EXPECT_EQ(copy.versionNumber(), 7);
  EXPECT_EQ(copy.lockedByUserId(), std::optional<std::int64_t>(0));
}

}  // namespace
}  // namespace pellora
