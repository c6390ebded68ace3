// The sender's side of conflicts (conflicts.h): a state of an existing item is
// compared with the item as the index shows it before it is sent.
#include <ctime>
#include <mutex>
#include <utility>

#include "fileprovider/fpctl/mount/conflicts.h"
#include "fileprovider/fpctl/mount/desktop_notices.h"
#include "fileprovider/fpctl/mount/node_tree.h"
#include "fileprovider/fpctl/mount/sender.h"
#include "fileprovider/fpctl/requests/template_item.h"

namespace fpctl::mount {

std::optional<Sent> Sender::keepBothIfChangedThere(const QueuedChange& change,
                                                   const std::string& what,
                                                   const fp::Progress* cancel) {
  if (change.baseVersion.contentVersion.empty()) return std::nullopt;
  auto now = s_.provider.item(change.identifier, cancel);
  // Not in the index: the host's answer to the change decides (sendChange()).
  if (!now) return std::nullopt;
  if (!s_.written.changedThere(change.baseVersion, now->identifier, now->version.contentVersion)) {
    return std::nullopt;
  }
  return keepBoth(change, *now, what, cancel);
}

Sent Sender::keepBoth(const QueuedChange& change, const ItemState& now, const std::string& what,
                      const fp::Progress* cancel) {
  const std::string copy = conflictCopyName(now.filename, std::time(nullptr));
  auto made =
      s_.provider.create(fpctl::TemplateItem::forNew(now.parent, copy, false), change.data, cancel);
  if (!made) {
    Errno e = s_.logFailure("create", describe(copy, {}), made.error());
    if (fp::isTransient(made.error())) return keepForLater(change, what);
    return refuseChange(change, what, made.error(), e.value);
  }
  s_.cache.queue().remove(change.seq);
  noteConflictCase(change.identifier, "changed here and there", copy,
                   what + " was changed on the service too; this device's version is kept as \"" +
                       copy + "\" beside it");
  showServiceVersion(now);
  return Sent{};  // the file shows the service's version; nothing of it is taken
}

Sent Sender::createAgain(const QueuedChange& change, const std::string& what,
                         const fp::Progress* cancel) {
  auto folder = folderAgain(change.parent, cancel);
  fp::StatusOr<ItemState> made =
      folder ? s_.provider.create(fpctl::TemplateItem::forNew(*folder, change.filename, false),
                                  change.data, cancel)
             : fp::StatusOr<ItemState>(fp::fail(folder.error()));
  if (!made) {
    Errno e = s_.logFailure("create", what, made.error());
    if (fp::isTransient(made.error())) return keepForLater(change, what);
    return refuseChange(change, what, made.error(), e.value);
  }
  s_.cache.queue().remove(change.seq);
  ItemState expected;
  expected.parent = *folder;
  expected.filename = change.filename;
  expected.size = change.size;
  expected.modified = now();
  ItemState fresh = s_.createdItem(*made, expected);
  // The node names the new item from now on.
  {
    std::lock_guard lock(s_.mu);
    if (Node* n = s_.inodes.findItem(change.identifier)) {
      fresh.parent = n->item.parent;
      fresh.filename = n->item.filename;
      n->item = fresh;
      s_.inodes.bind(fresh.identifier, n->ino);
    }
  }
  noteConflictCase(fresh.identifier, "changed here, removed there", "",
                   what + " was removed on the service and changed here; it is made again");
  Sent sent;
  sent.item = fresh;
  return sent;
}

fp::StatusOr<fp::ItemIdentifier> Sender::folderAgain(const fp::ItemIdentifier& folder,
                                                     const fp::Progress* cancel) {
  auto there = s_.provider.item(folder, cancel);
  if (there) return folder;
  if (!there.error().isFileProvider(fp::FileProviderErrorCode::kNoSuchItem)) {
    return fp::fail(there.error());
  }
  // Removed on the service: made again under its name, in its own folder
  // (made again first when that went too).
  ItemState was;
  {
    std::lock_guard lock(s_.mu);
    const Node* n = s_.inodes.findItem(folder);
    if (!n || n->ino == kRootIno) return fp::fail(there.error());
    was = n->item;
  }
  auto parent = folderAgain(was.parent, cancel);
  if (!parent) return parent;
  auto made = s_.provider.create(fpctl::TemplateItem::forNew(*parent, was.filename, true),
                                 std::nullopt, cancel);
  if (!made) return fp::fail(made.error());
  ItemState expected = was;
  expected.parent = *parent;
  ItemState fresh = s_.createdItem(*made, expected);
  // What waits in it, and the tree, go to the new folder.
  (void)s_.cache.queue().bind(folder, fresh.identifier);
  queued_.tookFolder(folder, fresh);
  s_.log.info("%{public}@ was removed on the service; it is made again for what was changed in it",
              {describe(was.filename, fresh.identifier)});
  return fresh.identifier;
}

std::optional<Sent> Sender::createInFolderAgain(const QueuedChange& change,
                                                const ItemState& expected,
                                                const fp::Progress* cancel) {
  auto there = s_.provider.item(change.parent, cancel);
  if (there || !there.error().isFileProvider(fp::FileProviderErrorCode::kNoSuchItem)) {
    return std::nullopt;
  }
  auto folder = folderAgain(change.parent, cancel);
  // Not made again (the index still has it): the refusal stands.
  if (!folder || *folder == change.parent) return std::nullopt;
  QueuedChange moved = change;
  moved.parent = *folder;
  ItemState into = expected;
  into.parent = *folder;
  noteConflictCase(*folder, "new here, folder removed there", "",
                   describe(change.filename, {}) +
                       " is new here and its folder was removed on the service; the folder is "
                       "made again");
  return sendChange(moved, std::move(into), cancel);
}

void Sender::showServiceVersion(const ItemState& now) {
  Ino ino = 0;
  {
    std::lock_guard lock(s_.mu);
    Node* n = s_.inodes.findItem(now.identifier);
    if (!n) return;
    ItemState shown = now;
    // A move of it made here that waits keeps its place here until it is sent.
    shown.parent = n->item.parent;
    shown.filename = n->item.filename;
    n->item = shown;
    n->kernelContentVersion.reset();
    ino = n->ino;
    if (Node* dir = s_.inodes.find(n->parent)) {
      tree_.editListingLocked(*dir, [name = n->name, shown](Listing& l) { l.show(name, shown); });
    }
  }
  s_.notifier.forgetInode(ino, true);
}

void Sender::noteConflictCase(const fp::ItemIdentifier& identifier, const std::string& kind,
                              const std::string& copy, const std::string& message) {
  ConflictRecord record;
  {
    std::lock_guard lock(s_.mu);
    const Node* n = s_.inodes.findItem(identifier);
    record.path = n ? tree_.pathLocked(*n) : describe(copy, identifier);
  }
  record.kind = kind;
  record.copy = copy;
  if (s_.notices) s_.notices->conflict(record.path, copy);
  mount::noteConflictCase(s_.log, s_.cache.root(), std::move(record), message);
}

}  // namespace fpctl::mount
