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

InodeTable tableWithRoot() {
  InodeTable t;
  t.addRoot(tableItem("root", ""));
  return t;
}

TEST(InodeTableTest, ForgettingTheLastLookupDropsTheNodeButKeepsItsNumber) {
  InodeTable t = tableWithRoot();
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
    InodeTable t = tableWithRoot();
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
  InodeTable t = tableWithRoot();
  t.forget(kRootIno, 10);
  t.dropIfIdle(kRootIno);
  ASSERT_NE(t.find(kRootIno), nullptr);
  EXPECT_EQ(t.find(kRootIno)->lookups, 1u);
  EXPECT_EQ(t.findItem("root"), t.find(kRootIno));
}

TEST(InodeTableTest, ALocalFileKeepsItsNumberOnceTheServiceMadeIt) {
  InodeTable t = tableWithRoot();
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

}  // namespace
}  // namespace fpctl::mount
