#include "fileprovider/fpctl/mount/listing.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace fpctl::mount {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

ItemState item(const std::string& id, const std::string& name) {
  ItemState s;
  s.identifier = id;
  s.filename = name;
  return s;
}

std::vector<std::string> names(const Listing& l) {
  std::vector<std::string> out;
  for (const auto& [name, i] : l.byName) out.push_back(name);
  return out;
}

TEST(ListingTest, NamesAreUniqueAndAvoidLocalFiles) {
  Listing l =
      buildListing({item("1", "a.txt"), item("2", "a.txt"), item("3", "b/c"), item("4", "new.txt")},
                   [](const std::string& n) { return n == "new.txt"; });
  EXPECT_THAT(names(l), ElementsAre("a.txt", "a.txt (2)", "b∕c", "new.txt (2)"));
  EXPECT_EQ(l.byName.at("a.txt (2)").identifier, "2");
}

TEST(ListingTest, NamesakeKeysFollowWhatIsShown) {
  Listing l = buildListing({item("1", "Dup.txt"), item("2", "other")}, nullptr);
  EXPECT_TRUE(l.namesakeKeys().hasNamesake("DUP.TXT"));
  l.show("new.txt", item("3", "new.txt"));
  EXPECT_TRUE(l.namesakeKeys().hasNamesake("NEW.txt"));
  l.show("new.txt", item("3", "renamed.txt"));  // the same name now shows another item
  EXPECT_FALSE(l.namesakeKeys().hasNamesake("new.txt"));
  EXPECT_TRUE(l.namesakeKeys().hasNamesake("Renamed.txt"));
  l.hide("Dup.txt");
  l.hide("absent");
  EXPECT_FALSE(l.namesakeKeys().hasNamesake("dup.txt"));
  EXPECT_TRUE(l.namesakeKeys().hasNamesake("OTHER"));
}

TEST(ListingTest, ACreatedFileIsShownOnceUnderItsOwnName) {
  // Read while new.txt was still a local file: the created item came out as
  // "new.txt (2)"; once the creation returns, only "new.txt" shows it.
  Listing l = buildListing({item("1", "new.txt"), item("2", "new.txt (3)")},
                           [](const std::string& n) { return n == "new.txt"; });
  ASSERT_THAT(names(l), ElementsAre("new.txt (2)", "new.txt (3)"));
  EXPECT_THAT(l.hideNumberedNamesOf("new.txt", "1"), ElementsAre("new.txt (2)"));
  l.show("new.txt", item("1", "new.txt"));
  EXPECT_THAT(names(l), ElementsAre("new.txt", "new.txt (3)"));
  EXPECT_THAT(l.hideNumberedNamesOf("new.txt", "1"), ::testing::IsEmpty());
}

struct DiffCase {
  std::string what;
  std::vector<ItemState> before, after;
  std::vector<std::string> forgotten;
  bool namesChanged;
};

TEST(ListingTest, DiffForgetsExactlyTheNamesThatChanged) {
  const DiffCase cases[] = {
      {"nothing changed",
       {item("1", "a"), item("2", "b")},
       {item("1", "a"), item("2", "b")},
       {},
       false},
      {"an item was added", {item("1", "a")}, {item("1", "a"), item("2", "b")}, {}, true},
      {"an item was removed", {item("1", "a"), item("2", "b")}, {item("1", "a")}, {"b"}, true},
      {"an item was renamed", {item("1", "a")}, {item("1", "z")}, {"a"}, true},
      {"a name now means another item", {item("1", "a")}, {item("9", "a")}, {"a"}, true},
      {"two items swapped names",
       {item("1", "a"), item("2", "b")},
       {item("2", "a"), item("1", "b")},
       {"a", "b"},
       true},
      {"names came and went between the ones kept",
       {item("1", "a"), item("3", "c"), item("5", "e")},
       {item("2", "b"), item("3", "c"), item("4", "d"), item("6", "f")},
       {"a", "e"},
       true},
      {"listed in another order",
       {item("2", "b"), item("1", "a")},
       {item("1", "a"), item("2", "b")},
       {},
       false},
      {"namesakes listed in another order",
       {item("1", "a"), item("2", "a")},
       {item("2", "a"), item("1", "a")},
       {"a", "a (2)"},
       true},
      {"only attributes changed",
       {item("1", "a")},
       {[] {
         ItemState s = item("1", "a");
         s.size = 99;
         return s;
       }()},
       {},
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ListingDiff d = diffListings(buildListing(c.before, {}), buildListing(c.after, {}));
    EXPECT_THAT(d.forgotten, ElementsAreArray(c.forgotten));
    EXPECT_EQ(d.namesChanged, c.namesChanged);
  }
}

}  // namespace
}  // namespace fpctl::mount
