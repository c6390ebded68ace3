#include "fileprovider/fpctl/mount/held_back.h"

#include <gtest/gtest.h>

namespace fpctl::mount {
namespace {

QueuedChange change(ChangeKind kind, const std::string& id, const std::string& parent,
                    const std::string& name, bool folder = false) {
  QueuedChange c;
  c.kind = kind;
  c.identifier = id;
  c.parent = parent;
  c.filename = name;
  c.item.identifier = id;
  c.item.parent = parent;
  c.item.filename = name;
  c.item.isFolder = folder;
  return c;
}

QueuedChange newFile(const std::string& parent, const std::string& name, std::string local = "") {
  QueuedChange c = change(ChangeKind::kState, "", parent, name);
  c.local = local.empty() ? name : std::move(local);
  return c;
}

ItemState at(const std::string& id, const std::string& parent, const std::string& name) {
  ItemState i;
  i.identifier = id;
  i.parent = parent;
  i.filename = name;
  return i;
}

TEST(HeldBackTest, WhatDependsOnAnEntryPassedOverWaitsBehindIt) {
  // Passed over: the move of item 7 from A/f5 into a folder not made yet, and
  // the first state of the new file "n1" in B.
  HeldBack held;
  EXPECT_FALSE(held.mustWait(newFile("A", "f5")));
  held.add(change(ChangeKind::kMove, "7", "local:D", "f5"), at("7", "A", "f5"));
  held.add(newFile("B", "new.txt", "n1"), std::nullopt);

  struct Case {
    const char* what;
    QueuedChange later;
    bool waits;
  };
  const Case cases[] = {
      {"a new file where the move frees the name", newFile("A", "f5"), true},
      {"a new folder there", change(ChangeKind::kMakeFolder, "local:E", "A", "f5", true), true},
      {"another item moved there", change(ChangeKind::kMove, "8", "A", "f5"), true},
      {"a new file where the move goes", newFile("local:D", "f5"), true},
      {"a later move of the same item", change(ChangeKind::kMove, "7", "C", "g"), true},
      {"a state of the same item", change(ChangeKind::kState, "7", "local:D", "f5"), true},
      {"its removal", change(ChangeKind::kRemove, "7", "local:D", "f5"), true},
      {"the removal of the folder it leaves", change(ChangeKind::kRemove, "A", "/", "A", true),
       true},
      {"a newer state of the passed-over new file", newFile("B", "renamed.txt", "n1"), true},
      {"another new file of that name", newFile("B", "new.txt"), true},
      {"a new file of another name", newFile("A", "f6"), false},
      {"a state of another item", change(ChangeKind::kState, "9", "A", "f5"), false},
      {"the removal of another folder", change(ChangeKind::kRemove, "C", "/", "C", true), false},
      {"a move of another item elsewhere", change(ChangeKind::kMove, "9", "C", "x"), false},
      {"a move into the item", change(ChangeKind::kMove, "9", "7", "x"), true},
      {"a new file in it", newFile("7", "y"), true},
  };
  for (const auto& c : cases) EXPECT_EQ(held.mustWait(c.later), c.waits) << c.what;
}

}  // namespace
}  // namespace fpctl::mount
