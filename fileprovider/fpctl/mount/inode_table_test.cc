#include "fileprovider/fpctl/mount/inode_table.h"

#include <gtest/gtest.h>

namespace fpctl::mount {
namespace {

ItemState tableItem(const std::string& id, const std::string& name) {
  ItemState s;
  s.identifier = id;
  s.filename = name;
  return s;
}

// A table holding only the root (the table is not movable).
struct TableWithRoot : InodeTable {
  TableWithRoot() { addRoot(tableItem("root", "")); }
};

TEST(InodeTableTest, ForgettingTheLastLookupDropsTheNodeButKeepsItsNumber) {
  TableWithRoot t;
  Node& n = t.nodeForItem(kRootIno, "a", tableItem("id-a", "a"));
  n.lookups = 3;
  Ino ino = n.ino;
  t.forget(ino, 2);
  ASSERT_NE(t.find(ino), nullptr);
  EXPECT_EQ(t.find(ino)->lookups, 1u);
  t.forget(ino, 5);  // more than it holds: all of them
  EXPECT_EQ(t.find(ino), nullptr);
  EXPECT_EQ(t.findItem("id-a"), nullptr);

  // The item comes back under the number it had, as a fresh node.
  EXPECT_EQ(t.inoFor("id-a"), ino);
  Node& again = t.nodeForItem(kRootIno, "b", tableItem("id-a", "b"));
  EXPECT_EQ(again.ino, ino);
  EXPECT_EQ(again.lookups, 0u);
  EXPECT_EQ(again.name, "b");
  EXPECT_NE(t.inoFor("id-other"), ino);
}

TEST(InodeTableTest, ANodeSomethingStillNeedsOutlivesItsLookups) {
  struct Case {
    const char* what;
    void (*hold)(Node&);
    void (*let)(Node&);
  };
  const Case cases[] = {
      {"open handle", [](Node& n) { n.opens = 1; }, [](Node& n) { n.opens = 0; }},
      {"new local child", [](Node& n) { n.localChildren["x"] = 99; },
       [](Node& n) { n.localChildren.clear(); }},
      {"not on the service yet", [](Node& n) { n.local = true; }, [](Node& n) { n.local = false; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TableWithRoot t;
    Node& n = t.nodeForItem(kRootIno, "a", tableItem("id-a", "a"));
    n.lookups = 1;
    c.hold(n);
    Ino ino = n.ino;
    t.forget(ino, 1);
    ASSERT_NE(t.find(ino), nullptr);
    c.let(*t.find(ino));
    t.dropIfIdle(ino);
    EXPECT_EQ(t.find(ino), nullptr);
  }
}

TEST(InodeTableTest, TheRootIsNeverForgotten) {
  TableWithRoot t;
  t.forget(kRootIno, 10);
  t.dropIfIdle(kRootIno);
  ASSERT_NE(t.find(kRootIno), nullptr);
  EXPECT_EQ(t.find(kRootIno)->lookups, 1u);
  EXPECT_EQ(t.findItem("root"), t.find(kRootIno));
}

TEST(InodeTableTest, ALocalFileKeepsItsNumberOnceTheServiceMadeIt) {
  TableWithRoot t;
  Ino listed = t.nodeForItem(kRootIno, "a", tableItem("id-a", "a")).ino;
  Node& local = t.addLocal();
  local.item.filename = "new";
  EXPECT_TRUE(local.local);
  EXPECT_NE(local.ino, listed);
  EXPECT_NE(local.ino, kRootIno);
  Ino ino = local.ino;
  EXPECT_NE(t.addLocal().ino, ino);

  // While the file is still local, a listing that names the item does not
  // replace its state.
  t.bind("id-new", ino);
  EXPECT_EQ(t.findItem("id-new"), t.find(ino));
  EXPECT_EQ(t.inoFor("id-new"), ino);
  Node& listedAgain = t.nodeForItem(kRootIno, "new", tableItem("id-new", "server name"));
  EXPECT_EQ(&listedAgain, t.find(ino));
  EXPECT_EQ(listedAgain.item.filename, "new");
  local.local = false;
  t.nodeForItem(kRootIno, "new", tableItem("id-new", "server name"));
  EXPECT_EQ(t.find(ino)->item.filename, "server name");
}

// An item the kernel knows from a listing has no node until something more is
// asked of it; its folder stays while it holds such items.
TEST(InodeTableTest, AHeldItemBecomesANodeWithItsLookupsWhenAskedFor) {
  TableWithRoot t;
  ItemState folder = tableItem("id-d", "d");
  folder.isFolder = true;
  Node& dir = t.nodeForItem(kRootIno, "d", folder);
  dir.listing = std::make_unique<Listing>(
      buildListing({tableItem("id-a", "a"), tableItem("id-b", "b")}, nullptr));
  const Ino d = dir.ino, a = t.inoFor("id-a"), b = t.inoFor("id-b");
  auto entry = [&](const std::string& name) -> const Listing::Entry& {
    return *dir.listing->byName.find(name);
  };
  t.hold(d, entry("a"), a);
  t.hold(d, entry("a"), a);
  t.hold(d, entry("b"), b);
  EXPECT_EQ(t.peek(a), nullptr);
  ASSERT_NE(t.held(a), nullptr);
  EXPECT_EQ(t.held(a)->lookups, 2u);
  t.dropIfIdle(d);
  ASSERT_NE(t.peek(d), nullptr);  // it holds a and b

  Node* n = t.find(a);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->lookups, 2u);
  EXPECT_EQ(n->name, "a");
  EXPECT_EQ(n->parent, d);
  EXPECT_EQ(n->item.identifier, "id-a");
  EXPECT_EQ(t.held(a), nullptr);
  t.hold(d, entry("a"), a);  // counted on the node now
  EXPECT_EQ(n->lookups, 3u);

  // The last held item forgotten, the idle folder goes too.
  t.forget(a, 3);
  EXPECT_EQ(t.peek(a), nullptr);
  ASSERT_NE(t.peek(d), nullptr);
  t.forget(b, 1);
  EXPECT_EQ(t.held(b), nullptr);
  EXPECT_EQ(t.peek(d), nullptr);
}

}  // namespace
}  // namespace fpctl::mount
