#include "fileprovider/fpctl/mount/tree_edits.h"

#include <linux/fs.h>

#include <cerrno>
#include <optional>

#include "fileprovider/fpctl/mount/change_checker.h"
#include "fileprovider/fpctl/mount/edit_sender.h"
#include "fileprovider/fpctl/mount/name_codec.h"
#include "fileprovider/fpctl/mount/node_tree.h"
#include "fileprovider/fpctl/mount/open_files.h"
#include "fileprovider/fpctl/mount/pending_edits.h"
#include "fileprovider/fpctl/mount/replace_sequence.h"
#include "fileprovider/fpctl/mount/sender.h"
#include "fileprovider/fpctl/mount/upload_queue.h"
#include "fileprovider/fpctl/requests/template_item.h"

namespace fpctl::mount {

Errno TreeEdits::nameRefused(std::string_view op, const std::string& what,
                             const NameRefusal& refusal) {
  Errno err = s_.logFailure(op, what, refusal.error);
  if (!refusedAsTaken(s_.provider, refusal)) return err;
  changes_.checkForChanges();
  return Errno{EEXIST};
}

ErrnoOr<EntryReply> TreeEdits::mkdir(Ino parent, std::string_view nameView,
                                     const fp::Progress* cancel) {
  std::string name(nameView);
  Lock lock(s_.mu);
  auto folder = tree_.folderForLocked(lock, parent, name, cancel);
  if (!folder) return fp::fail(folder.error());
  Node* dir = *folder;
  std::string what = describe(name, {});
  if (!dir->item.allows(fp::capability::kAllowsAddingSubItems)) {
    return fp::fail(s_.logFailure("mkdir", what, EACCES, "the folder does not allow adding"));
  }
  if (dir->listing->byName.count(name) || dir->localChildren.count(name)) {
    return fp::fail(Errno{EEXIST});
  }
  ItemState expected;
  expected.parent = dir->item.identifier;
  expected.filename = displayName(name);
  expected.isFolder = true;
  expected.capabilities = kNewItemCapabilities;
  lock.unlock();
  // Behind moves and removals kept in the queue (the name may be freed only
  // by them), and in a folder made here, the folder is made here first.
  if (s_.cache.queue().hasEdits() || isLocalIdentifier(expected.parent)) {
    return mkdirLocal(parent, name, expected, what);
  }

  auto created = s_.provider.create(
      fpctl::TemplateItem::forNew(expected.parent, expected.filename, true), std::nullopt, cancel);
  if (!created) {
    Errno e = nameRefused("mkdir", what, {created.error(), expected.parent, expected.filename, {}});
    if (fp::isTransient(created.error()) && !(cancel && cancel->isCancelled())) {
      return mkdirLocal(parent, name, expected, what);
    }
    return fp::fail(e);
  }
  ItemState fresh = s_.createdItem(*created, expected);

  lock.lock();
  dir = s_.inodes.find(parent);
  if (dir) tree_.editListingLocked(*dir, [name, fresh](Listing& l) { l.show(name, fresh); });
  Node& n = s_.inodes.nodeForItem(parent, name, fresh);
  ++n.lookups;
  return EntryReply{n.ino, tree_.attrOf(n)};
}

ErrnoOr<EntryReply> TreeEdits::mkdirLocal(Ino parent, const std::string& name, ItemState expected,
                                          const std::string& what) {
  expected.identifier = newLocalIdentifier();
  auto journaled = queued_.journalEdit(EditSender::editOf(ChangeKind::kMakeFolder, expected), what);
  if (!journaled) return fp::propagate(journaled);
  Lock lock(s_.mu);
  Node* dir = s_.inodes.find(parent);
  if (!dir) return fp::fail(Errno{ENOENT});
  Node& n = s_.inodes.nodeForItem(parent, name, expected);
  n.local = true;
  tree_.installListingLocked(n, tree_.listingFor(n, {}));
  dir->localChildren[name] = n.ino;
  ++n.lookups;
  return EntryReply{n.ino, tree_.attrOf(n)};
}

void TreeEdits::tookFolder(const fp::ItemIdentifier& local, const ItemState& fresh) {
  std::lock_guard lock(s_.mu);
  for (auto& [ino, n] : s_.inodes.all()) {
    if (n->item.parent == local) n->item.parent = fresh.identifier;
  }
  Node* n = s_.inodes.findItem(local);
  if (!n) return;
  n->item = fresh;
  n->local = false;
  s_.inodes.bind(fresh.identifier, n->ino);
  if (Node* dir = s_.inodes.find(n->parent)) {
    dir->localChildren.erase(n->name);
    // A listing read while it was being made shows it under a numbered name
    // too, its own being held by the local folder then.
    if (dir->listing) {
      for (const auto& numbered : dir->listing->hideNumberedNamesOf(n->name, fresh.identifier)) {
        s_.notifier.forgetEntry(n->parent, numbered);
      }
    }
    tree_.editListingLocked(*dir, [name = n->name, fresh](Listing& l) {
      l.hideNumberedNamesOf(name, fresh.identifier);
      l.show(name, fresh);
    });
  }
}

std::string TreeEdits::reappear(const ItemState& item) {
  const std::string name = posixName(item.filename);
  Ino parent = 0;
  std::string path = "/" + name;
  {
    std::lock_guard lock(s_.mu);
    if (Node* n = s_.inodes.findItem(item.identifier)) n->unlinked = false;
    Node* dir = s_.inodes.findItem(item.parent);
    if (!dir) return path;  // its folder is not shown: it shows when it is
    tree_.editListingLocked(*dir, [name, item](Listing& l) { l.show(name, item); });
    parent = dir->ino;
    path = dir->ino == kRootIno ? path : tree_.pathLocked(*dir) + path;
  }
  // The kernel may hold the name as absent.
  s_.notifier.forgetEntry(parent, name);
  return path;
}

std::string TreeEdits::keepServicePlace(const ItemState& item, const fp::ItemIdentifier& shownIn,
                                        const std::string& shownAs) {
  const std::string name = posixName(item.filename);
  const std::string left = posixName(shownAs);
  std::string path = "/" + name;
  Ino from = 0;
  {
    std::lock_guard lock(s_.mu);
    Node* dir = s_.inodes.findItem(shownIn);
    Node* to = s_.inodes.findItem(item.parent);
    from = dir ? dir->ino : 0;
    ItemState shown = item;
    Node* n = s_.inodes.findItem(item.identifier);
    if (n && n->work) shown.version = n->item.version;  // its own state is newer
    if (dir && to) {
      applyMoveLocked(dir->ino, left, to->ino, name, shown);
    } else if (dir) {
      // Its folder is not shown: it shows there once that folder is listed.
      tree_.forgetRemovedLocked(dir->ino, left, item.identifier);
    }
    if (to && to->ino != kRootIno) path = tree_.pathLocked(*to) + path;
  }
  if (from) s_.notifier.forgetEntry(from, left);
  return path;
}

ErrnoOr<void> TreeEdits::removeLocalFolderLocked(Node& dir, const std::string& name) {
  Node* c = s_.inodes.find(dir.localChildren.at(name));
  if (!c || !c->item.isFolder) return fp::fail(Errno{ENOTDIR});
  if (!c->localChildren.empty() || (c->listing && !c->listing->byName.empty())) {
    return fp::fail(Errno{ENOTEMPTY});
  }
  // Made here and not on the service yet: its making, its moves, and the
  // moves into it (each of those items left it again by a later move or
  // removal) are dropped.
  for (const auto& q : s_.cache.queue().pending()) {
    const bool into = q.kind == ChangeKind::kMove && q.parent == c->item.identifier;
    if (!q.isEdit() || (q.identifier != c->item.identifier && !into)) continue;
    if (!s_.cache.queue().tryHold(q.seq)) return fp::fail(Errno{EBUSY});  // being made now
    s_.cache.queue().letGo(q.seq);
    s_.cache.queue().erase(q.seq);
  }
  forgetLocalChildLocked(dir, name);
  return fp::Ok{};
}

void TreeEdits::forgetLocalChildLocked(Node& dir, const std::string& name) {
  auto it = dir.localChildren.find(name);
  if (it == dir.localChildren.end()) return;
  Ino child = it->second;
  if (Node* n = s_.inodes.find(child)) {
    n->unlinked = true;
    n->local = false;
    // Its creation, if it waits in the queue, is never sent.
    if (n->work) sending_.dropQueuedLocked(*n->work);
  }
  dir.localChildren.erase(it);
  s_.inodes.dropIfIdle(child);
}

ErrnoOr<void> TreeEdits::rmdir(Ino parent, std::string_view nameView, const fp::Progress* cancel) {
  std::string name(nameView);
  Lock lock(s_.mu);
  auto folder = tree_.folderForLocked(lock, parent, name, cancel);
  if (!folder) return fp::fail(folder.error());
  Node* dir = *folder;
  if (dir->localChildren.count(name)) {
    auto removed = removeLocalFolderLocked(*dir, name);
    if (!removed && removed.error().value == EBUSY) {
      // Its making is being sent: once it is on the service, it is removed
      // there like any folder.
      lock.unlock();
      if (!pauseUnlessCancelled(cancel)) return fp::fail(Errno{EINTR});
      return rmdir(parent, name, cancel);
    }
    return removed;
  }
  auto it = dir->listing->byName.find(name);
  if (it == dir->listing->byName.end()) return fp::fail(Errno{ENOENT});
  ItemState item = ItemState::in(it->second, dir->item.identifier);
  std::string what = describe(name, item.identifier);
  if (!item.isFolder) return fp::fail(Errno{ENOTDIR});
  if (!item.allows(fp::capability::kAllowsDeleting)) {
    return fp::fail(s_.logFailure("rmdir", what, EACCES, "the folder does not allow deleting"));
  }
  auto hasLocalChildren = [&] {
    Node* child = s_.inodes.findItem(item.identifier);
    return child && !child->localChildren.empty();
  };
  if (hasLocalChildren()) return fp::fail(Errno{ENOTEMPTY});
  lock.unlock();

  // Deleting a folder removes its whole tree on the service, so emptiness is
  // checked on a fresh listing, never on the cached one, and only trusted when
  // the index could be read (an unreadable index lists as empty).
  if (auto empty = provenEmpty("rmdir", item, what, cancel); !empty) {
    return fp::fail(empty.error());
  }
  lock.lock();
  if (hasLocalChildren()) return fp::fail(Errno{ENOTEMPTY});
  lock.unlock();

  if (auto removed = queued_.removeOrQueue("rmdir", item, what, cancel); !removed) return removed;

  lock.lock();
  if (Node* n = tree_.forgetRemovedLocked(parent, name, item.identifier)) {
    tree_.dropListingLocked(*n);
  }
  return fp::Ok{};
}

ErrnoOr<void> TreeEdits::provenEmpty(std::string_view op, const ItemState& folder,
                                     const std::string& what, const fp::Progress* cancel,
                                     bool waitForSender) {
  // A file created and removed (or moved into the folder and removed) while
  // it was being sent is on the service until that sending has ended and the
  // removal was applied to it. Those not taken yet are no concern: the folder
  // still shows them, or they were removed and will never be sent.
  if (waitForSender) sending_.waitWhileSending(cancel);
  // The extension answers a lookup only from a readable index, so the folder's
  // own lookup before and after its listing proves the listing was read too.
  auto before = s_.provider.item(folder.identifier, cancel);
  if (!before) return fp::fail(refusedForProof(op, what, before.error()));
  auto children = s_.provider.list(folder.identifier, cancel);
  if (!children) return fp::fail(s_.logFailure(op, what, children.error()));
  auto after = s_.provider.item(folder.identifier, cancel);
  if (!after) return fp::fail(refusedForProof(op, what, after.error()));
  // What waits to be removed or moved out is gone from it (it is sent first:
  // the queue keeps its order, and proves emptiness again before sending),
  // what waits to be moved in is there.
  if (!withPendingEdits(folder.identifier, std::move(*children), s_.cache.queue().pendingEdits())
           .empty()) {
    return fp::fail(Errno{ENOTEMPTY});
  }
  return fp::Ok{};
}

Errno TreeEdits::refusedForProof(std::string_view op, const std::string& what,
                                 const fp::Error& error) {
  s_.logFailure(op, what, error);
  // Whatever the lookup said, emptiness is not proven: nothing is deleted.
  return s_.logFailure(op, what, EIO, "the index could not be read; the folder is left as it is");
}

// ---------------------------------------------------------------- removal, renaming

ErrnoOr<void> TreeEdits::unlink(Ino parent, std::string_view nameView, const fp::Progress* cancel) {
  std::string name(nameView);
  Lock lock(s_.mu);
  auto folder = tree_.folderForLocked(lock, parent, name, cancel);
  if (!folder) return fp::fail(folder.error());
  Node* dir = *folder;
  if (auto it = dir->localChildren.find(name); it != dir->localChildren.end()) {
    // Not on the service yet: forgetting it locally is all there is to do,
    // with the state of it that waits in the queue.
    if (Node* n = s_.inodes.find(it->second); n && n->item.isFolder) {
      return fp::fail(Errno{EISDIR});
    }
    forgetLocalChildLocked(*dir, name);
    return fp::Ok{};
  }
  auto it = dir->listing->byName.find(name);
  if (it == dir->listing->byName.end()) return fp::fail(Errno{ENOENT});
  ItemState item = ItemState::in(it->second, dir->item.identifier);
  std::string what = describe(name, item.identifier);
  if (item.isFolder) return fp::fail(Errno{EISDIR});
  if (!item.allows(fp::capability::kAllowsDeleting)) {
    return fp::fail(
        s_.logFailure("delete", what, EACCES, "the file does not allow deleting (locked)"));
  }
  // A state of the file sent meanwhile and refused because the removal got
  // there first is not a failure (Sender::removedHere()).
  auto removing = [&](bool on) {
    if (Node* n = s_.inodes.findItem(item.identifier)) n->removing = on;
  };
  removing(true);
  lock.unlock();

  auto removed = queued_.removeOrQueue("delete", item, what, cancel);
  lock.lock();
  removing(false);
  if (!removed) return removed;
  tree_.forgetRemovedLocked(parent, name, item.identifier);
  return fp::Ok{};
}

void TreeEdits::applyMoveLocked(Ino parent, const std::string& name, Ino newParent,
                                const std::string& newName, const ItemState& item) {
  if (Node* from = s_.inodes.find(parent)) {
    tree_.editListingLocked(*from, [name](Listing& l) { l.hide(name); });
  }
  if (Node* to = s_.inodes.find(newParent)) {
    tree_.editListingLocked(*to, [newName, item](Listing& l) { l.show(newName, item); });
  }
  if (Node* n = s_.inodes.findItem(item.identifier)) {
    n->parent = newParent;
    n->name = newName;
    if (!n->work) {
      n->item = item;
    } else {
      n->item.parent = item.parent;
      n->item.filename = item.filename;
      n->item.version.metadataVersion = item.version.metadataVersion;
    }
  }
}

ErrnoOr<void> TreeEdits::rename(Ino parent, std::string_view name, Ino newParent,
                                std::string_view newName, unsigned flags,
                                const fp::Progress* cancel) {
  if (!fitsKernel(name) || !fitsKernel(newName)) return fp::fail(Errno{ENAMETOOLONG});
  if (flags & ~static_cast<unsigned>(RENAME_NOREPLACE)) return fp::fail(Errno{EINVAL});
  return renameAttempt(parent, std::string(name), newParent, std::string(newName), flags, true,
                       cancel);
}

ErrnoOr<void> TreeEdits::renameAttempt(Ino parent, const std::string& name, Ino newParent,
                                       const std::string& newName, unsigned flags,
                                       bool mayUploadFirst, const fp::Progress* cancel) {
  Rename r;
  r.parent = parent;
  r.name = name;
  r.newParent = newParent;
  r.newName = newName;
  r.flags = flags;
  r.mayUploadFirst = mayUploadFirst;
  r.cancel = cancel;
  Lock lock(s_.mu);
  if (std::optional<ErrnoOr<void>> done = findRenameSidesLocked(lock, r)) return *done;
  if (std::optional<ErrnoOr<void>> done = freeLocalTargetLocked(lock, r)) return *done;
  if (r.localSource) return renameLocalLocked(lock, r);
  return renameServiceItemLocked(lock, r);
}

std::optional<ErrnoOr<void>> TreeEdits::findRenameSidesLocked(Lock& lock, Rename& r) {
  // Both listings must be at hand at once; reading one may drop the lock.
  constexpr int kReads = 3;
  for (int attempt = 0;; ++attempt) {
    if (auto listed = tree_.ensureListingLocked(lock, r.parent, r.cancel); !listed) {
      return fp::propagate(listed);
    }
    if (auto listed = tree_.ensureListingLocked(lock, r.newParent, r.cancel); !listed) {
      return fp::propagate(listed);
    }
    Node* p = s_.inodes.find(r.parent);
    if (!p) return fp::fail(Errno{ENOENT});
    if (p->listing) break;
    if (attempt == kReads) return fp::fail(Errno{EIO});
  }
  Node* from = s_.inodes.find(r.parent);
  Node* to = s_.inodes.find(r.newParent);
  if (r.parent == r.newParent && r.name == r.newName) return fp::Ok{};

  // The item being renamed: a new local file, or an item of the listing.
  if (auto it = from->localChildren.find(r.name); it != from->localChildren.end()) {
    r.localSource = it->second;
    r.source = s_.inodes.find(r.localSource)->item;
  } else if (auto listed = from->listing->byName.find(r.name);
             listed != from->listing->byName.end()) {
    r.source = ItemState::in(listed->second, from->item.identifier);
  } else {
    return fp::fail(Errno{ENOENT});
  }
  r.what = describe(r.name, r.source.identifier);
  if (auto it = to->localChildren.find(r.newName); it != to->localChildren.end()) {
    r.localTarget = it->second;
  } else if (auto listed = to->listing->byName.find(r.newName);
             listed != to->listing->byName.end()) {
    r.target = ItemState::in(listed->second, to->item.identifier);
  }
  if ((r.localTarget || r.target) && (r.flags & RENAME_NOREPLACE)) return fp::fail(Errno{EEXIST});
  if (r.target && !r.localSource && r.target->identifier == r.source.identifier) return fp::Ok{};
  if (r.target) {
    if (r.source.isFolder && !r.target->isFolder) return fp::fail(Errno{ENOTDIR});
    if (!r.source.isFolder && r.target->isFolder) return fp::fail(Errno{EISDIR});
  }
  if (r.parent != r.newParent && !to->item.allows(fp::capability::kAllowsAddingSubItems)) {
    return fp::fail(
        s_.logFailure("rename", r.what, EACCES, "the target folder does not allow adding"));
  }
  r.newDisplay = displayName(r.newName);
  r.newParentId = to->item.identifier;
  return std::nullopt;
}

std::optional<ErrnoOr<void>> TreeEdits::freeLocalTargetLocked(Lock& lock, Rename& r) {
  if (!r.localTarget) return std::nullopt;
  Node* t = s_.inodes.find(r.localTarget);
  Node* to = s_.inodes.find(r.newParent);
  if (std::shared_ptr<WorkingCopy> work = t && !r.localSource ? t->work : nullptr;
      work && !work->uploadMutex.try_lock()) {
    // Its creation is on its way (its release or the write-back thread sends
    // it): the item moved here replaces what that makes, like any item of
    // the service. (A new file moved here is created after it: see
    // Sender::finishUpload().)
    lock.unlock();
    std::unique_lock created(work->uploadMutex, std::defer_lock);
    if (!lockUnlessCancelled(created, r.cancel)) return fp::fail(Errno{EINTR});
    created.unlock();
    return renameAttempt(r.parent, r.name, r.newParent, r.newName, r.flags, r.mayUploadFirst,
                         r.cancel);
  } else if (work) {
    work->uploadMutex.unlock();
  }
  if (t && t->item.isFolder) {
    // A folder made here is replaced only by a folder, and only when empty.
    if (!r.source.isFolder) return fp::fail(Errno{EISDIR});
    auto removed = removeLocalFolderLocked(*to, r.newName);
    if (!removed && removed.error().value == EBUSY) {
      // Its making is being sent: then it is replaced like any folder.
      lock.unlock();
      if (!pauseUnlessCancelled(r.cancel)) return fp::fail(Errno{EINTR});
      return renameAttempt(r.parent, r.name, r.newParent, r.newName, r.flags, r.mayUploadFirst,
                           r.cancel);
    }
    if (!removed) return removed;
  } else {
    if (r.source.isFolder) return fp::fail(Errno{ENOTDIR});
    // Sent now, a move would find the name still taken by what the queue
    // is creating (it is deleted once made).
    r.behindCreation = t && t->work && sending_.queueCreatingLocked(*t->work);
    // A new file that is still being written loses its name to the one moved here.
    forgetLocalChildLocked(*to, r.newName);
  }
  return std::nullopt;
}

ErrnoOr<void> TreeEdits::renameLocalLocked(Lock& lock, Rename& r) {
  Node* n = s_.inodes.find(r.localSource);
  // Its creation waits in the queue (the host did not take it): it is made
  // under the new name, after the removal of what it replaces.
  const bool waits = n->work && n->work->waiting.load() && !n->work->dirty();
  // A folder made here replaces an empty folder the same way: it is made
  // (or moved) there after the removal of what it replaces.
  const bool localFolder = n->item.isFolder;
  const bool replaces = r.target && (waits || localFolder);
  if (replaces) {
    if (auto journaled = journalReplacedLocked(lock, r, localFolder); !journaled) return journaled;
    n = s_.inodes.find(r.localSource);
    if (!n || n->unlinked) return fp::fail(Errno{ENOENT});
    if (const Node* from = s_.inodes.find(r.parent);
        !from || !from->localChildren.count(r.name) ||
        from->localChildren.at(r.name) != r.localSource) {
      // Its creation went through while the removal was journaled: it is an
      // item of the service now, and is moved as one (what it replaces is gone).
      lock.unlock();
      return renameAttempt(r.parent, r.name, r.newParent, r.newName, r.flags, r.mayUploadFirst,
                           r.cancel);
    }
  }
  if (r.target && !replaces) {
    if (!r.mayUploadFirst) return fp::fail(Errno{EIO});
    // Replacing an item on the service: send the new file first, then rename it.
    lock.unlock();
    if (auto sent = sending_.uploadNode(r.localSource); !sent) return sent;
    return renameAttempt(r.parent, r.name, r.newParent, r.newName, r.flags, false, r.cancel);
  }
  Node* from = s_.inodes.find(r.parent);
  Node* to = s_.inodes.find(r.newParent);
  if (!from || !to) return fp::fail(Errno{ENOENT});
  fp::ItemFields fields = 0;
  if (r.newDisplay != n->item.filename) fields |= fp::field::kFilename;
  if (r.parent != r.newParent) fields |= fp::field::kParentItemIdentifier;
  from->localChildren.erase(r.name);
  to->localChildren[r.newName] = r.localSource;
  const ItemState before = n->item;
  n->parent = r.newParent;
  n->name = r.newName;
  n->item.parent = r.newParentId;
  n->item.filename = r.newDisplay;
  if (waits) sending_.requeueLocked(lock, r.localSource);
  if (!n->item.isFolder) return fp::Ok{};
  // Made under its new name where it goes, while its making waits; made
  // under its first name, then moved there, once it is on its way (or when
  // the name is freed only by the removal just journaled).
  const fp::ItemIdentifier folder = n->item.identifier;
  QueuedChange edit = EditSender::editOf(ChangeKind::kMove, n->item);
  edit.fields = fields;
  edit.fromParent = before.parent;
  edit.fromFilename = before.filename;
  lock.unlock();
  for (const auto& q : replaces ? std::vector<QueuedChange>{} : s_.cache.queue().pending()) {
    if (q.kind == ChangeKind::kMakeFolder && q.identifier == folder &&
        s_.cache.queue().retarget(q.seq, r.newParentId, r.newDisplay)) {
      return fp::Ok{};
    }
  }
  return queued_.journalEdit(edit, r.what);
}

ErrnoOr<void> TreeEdits::journalReplacedLocked(Lock& lock, const Rename& r, bool byFolder) {
  const ItemState& target = *r.target;
  std::string targetWhat = describe(r.newName, target.identifier);
  if (!target.allows(fp::capability::kAllowsDeleting)) {
    return fp::fail(s_.logFailure("rename", targetWhat, EACCES, "the item to replace is locked"));
  }
  if (target.isFolder && !byFolder) return fp::fail(Errno{EISDIR});
  if (byFolder) {
    Node* t = s_.inodes.findItem(target.identifier);
    if (t && !t->localChildren.empty()) return fp::fail(Errno{ENOTEMPTY});
  }
  lock.unlock();
  if (byFolder) {
    if (auto empty = provenEmpty("rename", target, targetWhat, r.cancel); !empty) return empty;
  }
  auto journaled = queued_.journalEdit(EditSender::editOf(ChangeKind::kRemove, target), targetWhat);
  if (!journaled) return journaled;
  lock.lock();
  tree_.forgetRemovedLocked(r.newParent, r.newName, target.identifier);
  return fp::Ok{};
}

ErrnoOr<void> TreeEdits::renameServiceItemLocked(Lock& lock, Rename& r) {
  const ItemState& source = r.source;
  fp::ItemFields fields = 0;
  if (r.newDisplay != source.filename) fields |= fp::field::kFilename;
  if (r.parent != r.newParent) fields |= fp::field::kParentItemIdentifier;
  const std::optional<ItemState>& target = r.target;
  std::string targetWhat = target ? describe(r.newName, target->identifier) : std::string();
  if (auto allowed = allowedLocked(r, fields, targetWhat); !allowed) return allowed;
  lock.unlock();

  if (target && target->isFolder) {
    if (auto empty = provenEmpty("rename", *target, targetWhat, r.cancel); !empty) return empty;
  }

  ItemState expected = source;
  expected.parent = r.newParentId;
  expected.filename = r.newDisplay;
  // Behind edits that wait in the queue, or with the host away, the move is
  // kept in the queue and shown at once.
  auto queueMove = [&]() -> ErrnoOr<void> {
    if (target) {
      auto journaled =
          queued_.journalEdit(EditSender::editOf(ChangeKind::kRemove, *target), targetWhat);
      if (!journaled) return journaled;
    }
    QueuedChange edit = EditSender::editOf(ChangeKind::kMove, expected);
    edit.fields = fields;
    edit.fromParent = source.parent;
    edit.fromFilename = source.filename;
    if (auto journaled = queued_.journalEdit(edit, r.what); !journaled) return journaled;
    lock.lock();
    if (target) {
      if (Node* n = s_.inodes.findItem(target->identifier)) n->unlinked = true;
    }
    applyMoveLocked(r.parent, r.name, r.newParent, r.newName, movedLocked(expected));
    return fp::Ok{};
  };
  if (r.behindCreation || queued_.mustQueueEditOf(source.identifier)) return queueMove();
  if (!target) {
    auto moved = s_.provider.modify(
        fpctl::TemplateItem::named(source.identifier, r.newParentId, r.newDisplay), source.version,
        fields, std::nullopt, r.cancel);
    if (!moved) {
      Errno e = nameRefused("rename", r.what,
                            {moved.error(), r.newParentId, r.newDisplay, source.identifier});
      if (fp::isTransient(moved.error()) && !(r.cancel && r.cancel->isCancelled())) {
        return queueMove();
      }
      return fp::fail(e);
    }
    ItemState fresh = s_.reread(*moved, expected);
    lock.lock();
    applyMoveLocked(r.parent, r.name, r.newParent, r.newName, fresh);
    return fp::Ok{};
  }

  // Replacing an item: see replace_sequence.h.
  ReplaceRequest request{source, fields, r.newParentId, r.newDisplay, *target, r.what, targetWhat};
  Replacement done = replaceItem(
      s_.provider, request,
      [this](const ItemState& returned, ItemState wanted) {
        return s_.reread(returned, std::move(wanted));
      },
      [this](std::string_view op, const std::string& item, const fp::Error& error) {
        return s_.logFailure(op, item, error).value;
      });
  if (done.transient && !done.leftAside && !done.targetDeleted && !done.moved &&
      !(r.cancel && r.cancel->isCancelled())) {
    return queueMove();  // nothing was done on the service
  }
  lock.lock();
  return showReplacementLocked(r, done);
}

ItemState TreeEdits::movedLocked(const ItemState& expected) {
  // Moving changes its place alone: a state of it sent since the rename
  // looked at it (its close's sending, say) is newer than `expected`.
  const Node* n = s_.inodes.findItem(expected.identifier);
  if (!n) return expected;
  ItemState moved = n->item;
  moved.parent = expected.parent;
  moved.filename = expected.filename;
  return moved;
}

ErrnoOr<void> TreeEdits::allowedLocked(const Rename& r, fp::ItemFields fields,
                                       const std::string& targetWhat) {
  const ItemState& source = r.source;
  if ((fields & fp::field::kFilename) && !source.allows(fp::capability::kAllowsRenaming)) {
    return fp::fail(
        s_.logFailure("rename", r.what, EACCES, "the item does not allow renaming (locked)"));
  }
  if ((fields & fp::field::kParentItemIdentifier) &&
      !source.allows(fp::capability::kAllowsReparenting)) {
    return fp::fail(
        s_.logFailure("rename", r.what, EACCES, "the item does not allow moving (locked)"));
  }
  const std::optional<ItemState>& target = r.target;
  if (target &&
      !target->allows(fp::capability::kAllowsRenaming | fp::capability::kAllowsDeleting)) {
    return fp::fail(s_.logFailure("rename", targetWhat, EACCES, "the item to replace is locked"));
  }
  if (target && target->isFolder) {
    Node* t = s_.inodes.findItem(target->identifier);
    if (t && !t->localChildren.empty()) return fp::fail(Errno{ENOTEMPTY});
  }
  return fp::Ok{};
}

ErrnoOr<void> TreeEdits::showReplacementLocked(const Rename& r, const Replacement& done) {
  if (done.leftAside) {
    applyMoveLocked(r.newParent, r.newName, r.newParent, posixName(done.leftAside->filename),
                    *done.leftAside);
  }
  if (done.targetDeleted) {
    if (Node* n = s_.inodes.findItem(r.target->identifier)) n->unlinked = true;
  }
  if (done.err) return fp::fail(Errno{done.err});
  applyMoveLocked(r.parent, r.name, r.newParent, r.newName, *done.moved);
  return fp::Ok{};
}

}  // namespace fpctl::mount
