#include "reference-host/catalog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace refhost {
namespace {

Observed folder(std::string path, std::uint64_t inode) {
  return {std::move(path), true, 0, 0, inode};
}
Observed file(std::string path, std::uint64_t inode, std::int64_t size = 10,
              std::int64_t mtimeNs = 5'000'000'000) {
  return {std::move(path), false, size, mtimeNs, inode};
}

class CatalogTest : public ::testing::Test {
 protected:
  // Reconciles `observed` against the current catalog and keeps the result.
  Changes see(std::vector<Observed> observed, const Hints& hints = {},
              const LockTable& locks = {}) {
    std::sort(observed.begin(), observed.end(),
              [](const Observed& a, const Observed& b) { return a.path < b.path; });
    Catalog next = reconcile(catalog_, observed, locks, hints,
                             [this] { return "U" + std::to_string(++counter_); });
    Changes changes = diff(catalog_, next);
    catalog_ = std::move(next);
    return changes;
  }
  const Entry& at(const std::string& path) { return catalog_.at(path); }

  Catalog catalog_;
  int counter_ = 0;
};

TEST_F(CatalogTest, FirstScanNamesEverythingAndLinksParents) {
  Changes c = see({folder("A", 1), folder("A/B", 2), file("A/B/x.txt", 3, 10, 1'500'000'000),
                   file("top.txt", 4)});
  EXPECT_EQ(c.upserts.size(), 4u);
  EXPECT_TRUE(c.removals.empty());
  EXPECT_FALSE(at("A").parentUlid);
  EXPECT_EQ(at("A/B").parentUlid, at("A").ulid);
  EXPECT_EQ(at("A/B/x.txt").parentUlid, at("A/B").ulid);
  EXPECT_EQ(at("A/B/x.txt").name, "x.txt");
  EXPECT_EQ(at("A/B/x.txt").version, 1);
  EXPECT_EQ(at("A/B/x.txt").mtimeUnix, 1);
  EXPECT_FALSE(at("top.txt").parentUlid);
}

TEST_F(CatalogTest, AnUnchangedStoreChangesNothing) {
  std::vector<Observed> tree = {folder("A", 1), file("A/x", 2), file("y", 3)};
  (void)see(tree);
  EXPECT_TRUE(see(tree).empty());
}

TEST_F(CatalogTest, ContentChangesGrowTheVersion) {
  struct Case {
    const char* what;
    Observed after;
    bool replacedByHost;
    std::int64_t version;
  } cases[] = {
      {"size", file("f", 1, 11), false, 2},
      {"mtime", file("f", 1, 10, 6'000'000'000), false, 2},
      {"contents replaced by the host", file("f", 1), true, 2},
      {"inode only (a copy that kept size and time)", file("f", 9), false, 1},
  };
  for (const auto& c : cases) {
    catalog_.clear();
    (void)see({file("f", 1)});
    std::string ulid = at("f").ulid;
    Hints hints;
    if (c.replacedByHost) hints.contentReplaced.insert("f");
    Changes changes = see({c.after}, hints);
    EXPECT_EQ(at("f").ulid, ulid) << c.what;
    EXPECT_EQ(at("f").version, c.version) << c.what;
    EXPECT_EQ(changes.upserts.size(), 1u) << c.what;
  }
}

TEST_F(CatalogTest, RenamesInTheStoreKeepUlids) {
  (void)see({folder("A", 1), file("A/x", 2), file("y", 3)});
  std::string a = at("A").ulid, x = at("A/x").ulid, y = at("y").ulid;
  Changes c = see({folder("B", 1), file("B/x", 2), file("z", 3)});
  EXPECT_EQ(at("B").ulid, a);
  EXPECT_EQ(at("B/x").ulid, x);
  EXPECT_EQ(at("B/x").parentUlid, a);
  EXPECT_EQ(at("z").ulid, y);
  EXPECT_EQ(at("z").version, 1);
  EXPECT_EQ(c.upserts.size(), 3u);
  EXPECT_TRUE(c.removals.empty());
}

TEST_F(CatalogTest, NewItemsAreNotMistakenForRenames) {
  (void)see({file("old", 7, 10), folder("F", 8)});
  std::string old = at("old").ulid, f = at("F").ulid;
  // A reused inode with other contents, and a file where a folder was.
  Changes c = see({file("new", 7, 99), file("F", 8)});
  EXPECT_NE(at("new").ulid, old);
  EXPECT_NE(at("F").ulid, f);
  EXPECT_FALSE(at("F").isFolder);
  EXPECT_EQ(c.removals.size(), 2u);
}

TEST_F(CatalogTest, HostMovesCarryUlidsAndLocksFollowPaths) {
  (void)see({folder("A", 1), file("A/x", 2), folder("C", 3)});
  std::string a = at("A").ulid, x = at("A/x").ulid;
  Hints hints;
  hints.moves.emplace_back("A", "C/A2");
  // The host's move may even come with new inodes (another file system).
  Changes c = see({folder("C", 3), folder("C/A2", 11), file("C/A2/x", 12)}, hints,
                  {{"C/A2/x", 42}, {"C", 7}});
  EXPECT_EQ(at("C/A2").ulid, a);
  EXPECT_EQ(at("C/A2").parentUlid, at("C").ulid);
  EXPECT_EQ(at("C/A2/x").ulid, x);
  EXPECT_EQ(at("C/A2/x").lockedBy, 42);
  EXPECT_FALSE(at("C").lockedBy);  // folders carry no locks
  EXPECT_TRUE(c.removals.empty());
}

TEST_F(CatalogTest, RemovedItemsAreRemoved) {
  (void)see({folder("A", 1), file("A/x", 2), file("y", 3)});
  Changes c = see({file("y", 3)});
  EXPECT_EQ(c.removals.size(), 2u);
  EXPECT_TRUE(c.upserts.empty());
  EXPECT_EQ(catalog_.size(), 1u);
}

// agrees() stands in for a reconcile of the whole store when a rescan finds
// nothing new: it must say yes exactly when reconcile would change nothing,
// also for a catalogue read back from an index that a scan would correct.
TEST_F(CatalogTest, AgreesExactlyWhenReconcileChangesNothing) {
  const std::vector<Observed> tree = {folder("A", 1), file("A/x", 2), file("A/y", 3),
                                      folder("B", 4), file("B/z", 5)};
  struct Case {
    const char* what;
    std::function<void(std::vector<Observed>&, LockTable&, Catalog&)> change;
    bool agrees;
  } cases[] = {
      {"nothing", [](auto&, auto&, auto&) {}, true},
      {"size", [](auto& o, auto&, auto&) { o[2].size = 11; }, false},
      {"mtime", [](auto& o, auto&, auto&) { o[4].mtimeNs += 1; }, false},
      {"inode", [](auto& o, auto&, auto&) { o[0].inode = 9; }, false},
      {"kind", [](auto& o, auto&, auto&) { o[4] = folder("B/z", 5); }, false},
      {"an item more", [](auto& o, auto&, auto&) { o.push_back(file("C", 6)); }, false},
      {"an item less", [](auto& o, auto&, auto&) { o.pop_back(); }, false},
      {"a lock taken", [](auto&, auto& l, auto&) { l["A/x"] = 7; }, false},
      {"a lock on a folder", [](auto&, auto& l, auto&) { l["A"] = 7; }, true},
      {"a parent that is not the folder",
       [](auto&, auto&, auto& c) { c.at("B/z").parentUlid = c.at("A").ulid; }, false},
      {"a name that is not the path's", [](auto&, auto&, auto& c) { c.at("A/y").name = "q"; },
       false},
      {"whole seconds that are not the time's",
       [](auto&, auto&, auto& c) { c.at("A/x").mtimeUnix = 0; }, false},
  };
  for (const auto& c : cases) {
    catalog_.clear();
    (void)see(tree);
    std::vector<Observed> observed = tree;
    LockTable locks;
    c.change(observed, locks, catalog_);
    std::sort(observed.begin(), observed.end(),
              [](const Observed& a, const Observed& b) { return a.path < b.path; });
    Catalog next = reconcile(catalog_, observed, locks, {}, [] { return std::string("N"); });
    EXPECT_EQ(agrees(catalog_, observed, locks), c.agrees) << c.what;
    EXPECT_EQ(diff(catalog_, next).empty(), c.agrees) << c.what;
  }
}

// The index by ulid points into the catalogue's nodes; of two entries with one
// ulid, the one put last is found, and dropping the other leaves it.
TEST_F(CatalogTest, UlidIndexFindsWhatWasPutLastAndForgetsWhatIsDropped) {
  (void)see({file("a", 1), file("b", 2)});
  catalog_.at("b").ulid = at("a").ulid;
  UlidIndex index;
  index.rebuild(catalog_);
  EXPECT_EQ(index.find(at("a").ulid), &at("b"));
  index.drop(at("a"));
  EXPECT_EQ(index.find(at("a").ulid), &at("b"));
  index.put(at("a"));
  EXPECT_EQ(index.find(at("a").ulid), &at("a"));
  index.drop(at("a"));
  EXPECT_EQ(index.find(at("a").ulid), nullptr);
  EXPECT_EQ(index.find("unknown"), nullptr);
}

}  // namespace
}  // namespace refhost
