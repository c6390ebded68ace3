#include "fileprovider/fpctl/mount/change_checker.h"

#include <string>
#include <utility>
#include <vector>

#include "fileprovider/fpctl/mount/node_tree.h"
#include "fileprovider/fpctl/mount/residency.h"

namespace fpctl::mount {

void ChangeChecker::readFirstAnchor() {
  if (auto anchor = s_.provider.currentAnchor(std::string(fp::kWorkingSetContainer))) {
    std::lock_guard alock(anchorMu_);
    anchor_ = *anchor;
  }
}

// ---------------------------------------------------------------- change tracking

void ChangeChecker::checkForChanges() {
  std::lock_guard checking(anchorMu_);
  const std::string workingSet(fp::kWorkingSetContainer);
  if (!anchor_) {
    auto anchor = s_.provider.currentAnchor(workingSet);
    if (anchor) anchor_ = *anchor;
    return;
  }
  ChangeCheck check = s_.provider.changes(workingSet, *anchor_);
  switch (check.kind) {
    case ChangeCheck::Kind::kUnchanged:
      anchor_ = std::move(check.anchor);
      return;
    case ChangeCheck::Kind::kChanged:
      anchor_ = std::move(check.anchor);
      break;
    case ChangeCheck::Kind::kExpired: {
      // The new anchor is taken before anything is read again, so a change made
      // while refreshing is found by the next check.
      auto anchor = s_.provider.currentAnchor(workingSet);
      if (anchor) anchor_ = *anchor;
      break;
    }
    case ChangeCheck::Kind::kFailed:
      s_.logFailure("change check", workingSet, *check.error);
      return;
  }
  refresh();
  residency_.indexChanged();  // a pinned file may have a new version now
}

void ChangeChecker::refresh() {
  struct Dir {
    Ino ino;
    fp::ItemIdentifier identifier;
    std::uint64_t serial;
  };
  std::vector<Dir> dirs;
  {
    std::lock_guard lock(s_.mu);
    std::vector<Ino> unused;  // listings the kernel no longer uses
    for (auto& [ino, n] : s_.inodes.all()) {
      if (n->listing) {
        if (n->lookups > 0 || ino == kRootIno) {
          dirs.push_back({ino, n->item.identifier, n->listingSerial});
        } else {
          unused.push_back(ino);
        }
      }
      if (!n->local && !n->work && ino != kRootIno) n->attrStale = true;
    }
    // After the walk: dropping one may make nodes for items still held in it.
    for (Ino ino : unused) {
      if (Node* n = s_.inodes.peek(ino)) tree_.dropListingLocked(*n);
    }
  }

  std::vector<std::pair<Ino, std::string>> entries;
  std::vector<std::pair<Ino, bool>> inodes;
  for (const Dir& d : dirs) {
    const std::vector<QueuedChange> editsBefore = s_.cache.queue().pendingEdits();
    auto items = s_.provider.list(d.identifier);
    std::lock_guard lock(s_.mu);
    Node* dir = s_.inodes.find(d.ino);
    if (!dir || !dir->listing) continue;
    if (!items || dir->listingSerial != d.serial) {
      // Cannot compare: drop the listing and have the kernel ask for every name.
      for (const auto& [name, item] : dir->listing->byName) entries.emplace_back(d.ino, name);
      tree_.dropListingLocked(*dir);
      inodes.emplace_back(d.ino, true);
      continue;
    }
    auto fresh = tree_.listingFor(*dir, std::move(*items), editsBefore);
    ListingDiff diff = diffListings(*dir->listing, *fresh);
    for (auto& name : diff.forgotten) entries.emplace_back(d.ino, std::move(name));
    for (const auto& [name, item] : fresh->byName) {
      Node* n = s_.inodes.peekItem(item.identifier);
      if (!n || n->local) continue;
      n->attrStale = false;
      if (n->work) continue;
      if (n->item.parent == dir->item.identifier && n->item.ListedItem::sameAttributes(item)) {
        continue;
      }
      bool contents = n->item.version.contentVersion != item.version.contentVersion;
      n->item = ItemState::in(item, dir->item.identifier);
      inodes.emplace_back(n->ino, contents && !n->item.isFolder);
    }
    if (diff.namesChanged) inodes.emplace_back(d.ino, true);
    tree_.replaceListingLocked(*dir, std::move(fresh));
  }
  {
    // What no listing vouched for is asked for again when the kernel next wants it.
    std::lock_guard lock(s_.mu);
    for (auto& [ino, n] : s_.inodes.all()) {
      if (n->attrStale && n->lookups > 0) inodes.emplace_back(ino, false);
    }
  }
  for (const auto& [parent, name] : entries) s_.notifier.forgetEntry(parent, name);
  for (const auto& [ino, contents] : inodes) s_.notifier.forgetInode(ino, contents);
}

}  // namespace fpctl::mount
