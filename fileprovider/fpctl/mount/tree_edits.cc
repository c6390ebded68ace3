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

int TreeEdits::nameRefused(std::string_view op, const std::string& what,
                           const NameRefusal& refusal) {
  int err = s_.logFailure(op, what, refusal.error);
  if (!refusedAsTaken(s_.provider, refusal)) return err;
  changes_.checkForChanges();
  return EEXIST;
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
    return fp::fail(
        Errno{s_.logFailure("mkdir", what, EACCES, "the folder does not allow adding")});
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
    int e = nameRefused("mkdir", what, {created.error(), expected.parent, expected.filename, {}});
    if (isTransient(e) && !(cancel && cancel->isCancelled())) {
      return mkdirLocal(parent, name, expected, what);
    }
    return fp::fail(Errno{e});
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
  if (int e = queued_.journalEdit(EditSender::editOf(ChangeKind::kMakeFolder, expected), what)) {
    return fp::fail(Errno{e});
  }
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
    tree_.editListingLocked(*dir, [name = n->name, fresh](Listing& l) { l.show(name, fresh); });
  }
}

int TreeEdits::removeLocalFolderLocked(Node& dir, const std::string& name) {
  Node* c = s_.inodes.find(dir.localChildren.at(name));
  if (!c || !c->item.isFolder) return ENOTDIR;
  if (!c->localChildren.empty() || (c->listing && !c->listing->byName.empty())) return ENOTEMPTY;
  // Made here and not on the service yet: its making, its moves, and the
  // moves into it (each of those items left it again by a later move or
  // removal) are dropped.
  for (const auto& q : s_.cache.queue().pending()) {
    const bool into = q.kind == ChangeKind::kMove && q.parent == c->item.identifier;
    if (!q.isEdit() || (q.identifier != c->item.identifier && !into)) continue;
    if (!s_.cache.queue().tryHold(q.seq)) return EBUSY;  // being made now
    s_.cache.queue().letGo(q.seq);
    s_.cache.queue().erase(q.seq);
  }
  forgetLocalChildLocked(dir, name);
  return 0;
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
    int e = removeLocalFolderLocked(*dir, name);
    if (e == EBUSY) {
      // Its making is being sent: once it is on the service, it is removed
      // there like any folder.
      lock.unlock();
      if (!pauseUnlessCancelled(cancel)) return fp::fail(Errno{EINTR});
      return rmdir(parent, name, cancel);
    }
    return statusFor(e);
  }
  auto it = dir->listing->byName.find(name);
  if (it == dir->listing->byName.end()) return fp::fail(Errno{ENOENT});
  ItemState item = it->second;
  std::string what = describe(name, item.identifier);
  if (!item.isFolder) return fp::fail(Errno{ENOTDIR});
  if (!item.allows(fp::capability::kAllowsDeleting)) {
    return fp::fail(
        Errno{s_.logFailure("rmdir", what, EACCES, "the folder does not allow deleting")});
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

  if (int e = queued_.removeOrQueue("rmdir", item, what, cancel)) return fp::fail(Errno{e});

  lock.lock();
  if (Node* n = tree_.forgetRemovedLocked(parent, name, item.identifier)) {
    n->listing.reset();
    ++n->listingSerial;
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
  if (!before) return fp::fail(Errno{refusedForProof(op, what, before.error())});
  auto children = s_.provider.list(folder.identifier, cancel);
  if (!children) return fp::fail(Errno{s_.logFailure(op, what, children.error())});
  auto after = s_.provider.item(folder.identifier, cancel);
  if (!after) return fp::fail(Errno{refusedForProof(op, what, after.error())});
  // What waits to be removed or moved out is gone from it (it is sent first:
  // the queue keeps its order, and proves emptiness again before sending),
  // what waits to be moved in is there.
  if (!withPendingEdits(folder.identifier, std::move(*children), s_.cache.queue().pendingEdits())
           .empty()) {
    return fp::fail(Errno{ENOTEMPTY});
  }
  return fp::Ok{};
}

int TreeEdits::refusedForProof(std::string_view op, const std::string& what,
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
  ItemState item = it->second;
  std::string what = describe(name, item.identifier);
  if (item.isFolder) return fp::fail(Errno{EISDIR});
  if (!item.allows(fp::capability::kAllowsDeleting)) {
    return fp::fail(
        Errno{s_.logFailure("delete", what, EACCES, "the file does not allow deleting (locked)")});
  }
  // A state of the file sent meanwhile and refused because the removal got
  // there first is not a failure (Sender::removedHere()).
  auto removing = [&](bool on) {
    if (Node* n = s_.inodes.findItem(item.identifier)) n->removing = on;
  };
  removing(true);
  lock.unlock();

  int e = queued_.removeOrQueue("delete", item, what, cancel);
  lock.lock();
  removing(false);
  if (e) return fp::fail(Errno{e});
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
  return statusFor(renameAttempt(parent, std::string(name), newParent, std::string(newName), flags,
                                 true, cancel));
}

int TreeEdits::renameAttempt(Ino parent, const std::string& name, Ino newParent,
                             const std::string& newName, unsigned flags, bool mayUploadFirst,
                             const fp::Progress* cancel) {
  Rename r;
  r.parent = parent;
  r.name = name;
  r.newParent = newParent;
  r.newName = newName;
  r.flags = flags;
  r.mayUploadFirst = mayUploadFirst;
  r.cancel = cancel;
  Lock lock(s_.mu);
  if (std::optional<int> done = findRenameSidesLocked(lock, r)) return *done;
  if (std::optional<int> done = freeLocalTargetLocked(lock, r)) return *done;
  if (r.localSource) return renameLocalLocked(lock, r);
  return renameServiceItemLocked(lock, r);
}

std::optional<int> TreeEdits::findRenameSidesLocked(Lock& lock, Rename& r) {
  // Both listings must be at hand at once; reading one may drop the lock.
  constexpr int kReads = 3;
  for (int attempt = 0;; ++attempt) {
    if (auto listed = tree_.ensureListingLocked(lock, r.parent, r.cancel); !listed) {
      return listed.error().value;
    }
    if (auto listed = tree_.ensureListingLocked(lock, r.newParent, r.cancel); !listed) {
      return listed.error().value;
    }
    Node* p = s_.inodes.find(r.parent);
    if (!p) return ENOENT;
    if (p->listing) break;
    if (attempt == kReads) return EIO;
  }
  Node* from = s_.inodes.find(r.parent);
  Node* to = s_.inodes.find(r.newParent);
  if (r.parent == r.newParent && r.name == r.newName) return 0;

  // The item being renamed: a new local file, or an item of the listing.
  if (auto it = from->localChildren.find(r.name); it != from->localChildren.end()) {
    r.localSource = it->second;
    r.source = s_.inodes.find(r.localSource)->item;
  } else if (auto listed = from->listing->byName.find(r.name);
             listed != from->listing->byName.end()) {
    r.source = listed->second;
  } else {
    return ENOENT;
  }
  r.what = describe(r.name, r.source.identifier);
  if (auto it = to->localChildren.find(r.newName); it != to->localChildren.end()) {
    r.localTarget = it->second;
  } else if (auto listed = to->listing->byName.find(r.newName);
             listed != to->listing->byName.end()) {
    r.target = listed->second;
  }
  if ((r.localTarget || r.target) && (r.flags & RENAME_NOREPLACE)) return EEXIST;
  if (r.target && !r.localSource && r.target->identifier == r.source.identifier) return 0;
  if (r.target) {
    if (r.source.isFolder && !r.target->isFolder) return ENOTDIR;
    if (!r.source.isFolder && r.target->isFolder) return EISDIR;
  }
  if (r.parent != r.newParent && !to->item.allows(fp::capability::kAllowsAddingSubItems)) {
    return s_.logFailure("rename", r.what, EACCES, "the target folder does not allow adding");
  }
  r.newDisplay = displayName(r.newName);
  r.newParentId = to->item.identifier;
  return std::nullopt;
}

std::optional<int> TreeEdits::freeLocalTargetLocked(Lock& lock, Rename& r) {
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
    if (!lockUnlessCancelled(created, r.cancel)) return EINTR;
    created.unlock();
    return renameAttempt(r.parent, r.name, r.newParent, r.newName, r.flags, r.mayUploadFirst,
                         r.cancel);
  } else if (work) {
    work->uploadMutex.unlock();
  }
  if (t && t->item.isFolder) {
    // A folder made here is replaced only by a folder, and only when empty.
    if (!r.source.isFolder) return EISDIR;
    int e = removeLocalFolderLocked(*to, r.newName);
    if (e == EBUSY) {
      // Its making is being sent: then it is replaced like any folder.
      lock.unlock();
      if (!pauseUnlessCancelled(r.cancel)) return EINTR;
      return renameAttempt(r.parent, r.name, r.newParent, r.newName, r.flags, r.mayUploadFirst,
                           r.cancel);
    }
    if (e) return e;
  } else {
    if (r.source.isFolder) return ENOTDIR;
    // A new file that is still being written loses its name to the one moved here.
    forgetLocalChildLocked(*to, r.newName);
  }
  return std::nullopt;
}

int TreeEdits::renameLocalLocked(Lock& lock, Rename& r) {
  Node* n = s_.inodes.find(r.localSource);
  // Its creation waits in the queue (the host did not take it): it is made
  // under the new name, after the removal of what it replaces.
  const bool waits = n->work && n->work->waiting.load() && !n->work->dirty();
  // A folder made here replaces an empty folder the same way: it is made
  // (or moved) there after the removal of what it replaces.
  const bool localFolder = n->item.isFolder;
  const bool replaces = r.target && (waits || localFolder);
  if (replaces) {
    if (int e = journalReplacedLocked(lock, r, localFolder)) return e;
    n = s_.inodes.find(r.localSource);
    if (!n || n->unlinked) return ENOENT;
  }
  if (r.target && !replaces) {
    if (!r.mayUploadFirst) return EIO;
    // Replacing an item on the service: send the new file first, then rename it.
    lock.unlock();
    if (int e = sending_.uploadNode(r.localSource)) return e;
    return renameAttempt(r.parent, r.name, r.newParent, r.newName, r.flags, false, r.cancel);
  }
  Node* from = s_.inodes.find(r.parent);
  Node* to = s_.inodes.find(r.newParent);
  if (!from || !to) return ENOENT;
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
  if (!n->item.isFolder) return 0;
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
      return 0;
    }
  }
  return queued_.journalEdit(edit, r.what);
}

int TreeEdits::journalReplacedLocked(Lock& lock, const Rename& r, bool byFolder) {
  const ItemState& target = *r.target;
  std::string targetWhat = describe(r.newName, target.identifier);
  if (!target.allows(fp::capability::kAllowsDeleting)) {
    return s_.logFailure("rename", targetWhat, EACCES, "the item to replace is locked");
  }
  if (target.isFolder && !byFolder) return EISDIR;
  if (byFolder) {
    Node* t = s_.inodes.findItem(target.identifier);
    if (t && !t->localChildren.empty()) return ENOTEMPTY;
  }
  lock.unlock();
  if (byFolder) {
    if (auto empty = provenEmpty("rename", target, targetWhat, r.cancel); !empty) {
      return empty.error().value;
    }
  }
  if (int e = queued_.journalEdit(EditSender::editOf(ChangeKind::kRemove, target), targetWhat)) {
    return e;
  }
  lock.lock();
  tree_.forgetRemovedLocked(r.newParent, r.newName, target.identifier);
  return 0;
}

int TreeEdits::renameServiceItemLocked(Lock& lock, Rename& r) {
  const ItemState& source = r.source;
  fp::ItemFields fields = 0;
  if (r.newDisplay != source.filename) fields |= fp::field::kFilename;
  if (r.parent != r.newParent) fields |= fp::field::kParentItemIdentifier;
  const std::optional<ItemState>& target = r.target;
  std::string targetWhat = target ? describe(r.newName, target->identifier) : std::string();
  if (int e = allowedLocked(r, fields, targetWhat)) return e;
  lock.unlock();

  if (target && target->isFolder) {
    if (auto empty = provenEmpty("rename", *target, targetWhat, r.cancel); !empty) {
      return empty.error().value;
    }
  }

  ItemState expected = source;
  expected.parent = r.newParentId;
  expected.filename = r.newDisplay;
  // Behind edits that wait in the queue, or with the host away, the move is
  // kept in the queue and shown at once.
  auto queueMove = [&]() -> int {
    if (target) {
      if (int e =
              queued_.journalEdit(EditSender::editOf(ChangeKind::kRemove, *target), targetWhat)) {
        return e;
      }
    }
    QueuedChange edit = EditSender::editOf(ChangeKind::kMove, expected);
    edit.fields = fields;
    edit.fromParent = source.parent;
    edit.fromFilename = source.filename;
    if (int e = queued_.journalEdit(edit, r.what)) return e;
    lock.lock();
    if (target) {
      if (Node* n = s_.inodes.findItem(target->identifier)) n->unlinked = true;
    }
    // Moving changes its place alone: a state of it sent since this rename
    // looked at it (its close's sending, say) is newer than `expected`.
    ItemState shown = expected;
    if (const Node* n = s_.inodes.findItem(source.identifier)) {
      shown = n->item;
      shown.parent = expected.parent;
      shown.filename = expected.filename;
    }
    applyMoveLocked(r.parent, r.name, r.newParent, r.newName, shown);
    return 0;
  };
  if (queued_.mustQueueEditOf(source.identifier)) return queueMove();
  if (!target) {
    auto moved = s_.provider.modify(
        fpctl::TemplateItem::named(source.identifier, r.newParentId, r.newDisplay), source.version,
        fields, std::nullopt, r.cancel);
    if (!moved) {
      int e = nameRefused("rename", r.what,
                          {moved.error(), r.newParentId, r.newDisplay, source.identifier});
      if (isTransient(e) && !(r.cancel && r.cancel->isCancelled())) return queueMove();
      return e;
    }
    ItemState fresh = s_.reread(*moved, expected);
    lock.lock();
    applyMoveLocked(r.parent, r.name, r.newParent, r.newName, fresh);
    return 0;
  }

  // Replacing an item: see replace_sequence.h.
  ReplaceRequest request{source, fields, r.newParentId, r.newDisplay, *target, r.what, targetWhat};
  Replacement done = replaceItem(
      s_.provider, request,
      [this](const ItemState& returned, ItemState wanted) {
        return s_.reread(returned, std::move(wanted));
      },
      [this](std::string_view op, const std::string& item, const fp::Error& error) {
        return s_.logFailure(op, item, error);
      });
  if (isTransient(done.err) && !done.leftAside && !done.targetDeleted && !done.moved &&
      !(r.cancel && r.cancel->isCancelled())) {
    return queueMove();  // nothing was done on the service
  }
  lock.lock();
  return showReplacementLocked(r, done);
}

int TreeEdits::allowedLocked(const Rename& r, fp::ItemFields fields,
                             const std::string& targetWhat) {
  const ItemState& source = r.source;
  if ((fields & fp::field::kFilename) && !source.allows(fp::capability::kAllowsRenaming)) {
    return s_.logFailure("rename", r.what, EACCES, "the item does not allow renaming (locked)");
  }
  if ((fields & fp::field::kParentItemIdentifier) &&
      !source.allows(fp::capability::kAllowsReparenting)) {
    return s_.logFailure("rename", r.what, EACCES, "the item does not allow moving (locked)");
  }
  const std::optional<ItemState>& target = r.target;
  if (target &&
      !target->allows(fp::capability::kAllowsRenaming | fp::capability::kAllowsDeleting)) {
    return s_.logFailure("rename", targetWhat, EACCES, "the item to replace is locked");
  }
  if (target && target->isFolder) {
    Node* t = s_.inodes.findItem(target->identifier);
    if (t && !t->localChildren.empty()) return ENOTEMPTY;
  }
  return 0;
}

int TreeEdits::showReplacementLocked(const Rename& r, const Replacement& done) {
  if (done.leftAside) {
    applyMoveLocked(r.newParent, r.newName, r.newParent, posixName(done.leftAside->filename),
                    *done.leftAside);
  }
  if (done.targetDeleted) {
    if (Node* n = s_.inodes.findItem(r.target->identifier)) n->unlinked = true;
  }
  if (done.err) return done.err;
  applyMoveLocked(r.parent, r.name, r.newParent, r.newName, *done.moved);
  return 0;
}

}  // namespace fpctl::mount
