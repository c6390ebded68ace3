#include "fileprovider/fpctl/mount/pending_edits.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace fpctl::mount {
namespace {

ItemState item(const std::string& id, const std::string& parent, const std::string& name,
               std::int64_t size = 1) {
  ItemState i;
  i.identifier = id;
  i.parent = parent;
  i.filename = name;
  i.size = size;
  return i;
}

QueuedChange edit(ChangeKind kind, const ItemState& shown) {
  QueuedChange c;
  c.kind = kind;
  c.identifier = shown.identifier;
  c.parent = shown.parent;
  c.filename = shown.filename;
  c.item = shown;
  return c;
}

std::vector<std::string> names(const std::vector<ItemState>& items) {
  std::vector<std::string> out;
  for (const auto& i : items) {
    out.push_back(i.identifier + ":" + i.filename + ":" + std::to_string(i.size.value_or(-1)));
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST(PendingEditsTest, FoldersShowTheirMovesAndRemovalsInOrder) {
  const std::vector<ItemState> a = {item("1", "A", "one", 5), item("2", "A", "two")};
  const std::vector<ItemState> b = {item("3", "B", "three")};
  struct Case {
    std::string what;
    std::vector<QueuedChange> edits;
    std::vector<std::string> a, b;
    std::vector<ItemState> known = {};  // what the mount knows of items now
  };
  const Case cases[] = {
      {"nothing waits", {}, {"1:one:5", "2:two:1"}, {"3:three:1"}},
      {"a rename keeps the service's attributes",
       {edit(ChangeKind::kMove, item("1", "A", "uno", 9))},
       {"1:uno:5", "2:two:1"},
       {"3:three:1"}},
      {"a move leaves one folder and shows in the other with the kept attributes",
       {edit(ChangeKind::kMove, item("1", "B", "one", 9))},
       {"2:two:1"},
       {"1:one:9", "3:three:1"}},
      {"moved away and back",
       {edit(ChangeKind::kMove, item("3", "A", "x")), edit(ChangeKind::kMove, item("3", "B", "y"))},
       {"1:one:5", "2:two:1"},
       {"3:y:1"}},
      {"a removal after a move",
       {edit(ChangeKind::kMove, item("2", "B", "two")),
        edit(ChangeKind::kRemove, item("2", "B", "two"))},
       {"1:one:5"},
       {"3:three:1"}},
      {"a move shows in the other folder what the mount knows now, not what it kept",
       {edit(ChangeKind::kMove, item("1", "B", "one", 9))},
       {"2:two:1"},
       {"1:one:7", "3:three:1"},
       {item("1", "A", "old place", 7)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const KnownItem known = [&](const fp::ItemIdentifier& id) -> const ItemState* {
      for (const auto& k : c.known) {
        if (k.identifier == id) return &k;
      }
      return nullptr;
    };
    EXPECT_EQ(names(withPendingEdits("A", a, c.edits, known)), c.a);
    EXPECT_EQ(names(withPendingEdits("B", b, c.edits, known)), c.b);
  }
}

}  // namespace
}  // namespace fpctl::mount
