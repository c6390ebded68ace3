// The tree edits: creating folders, removing and renaming items on the
// service, and what the tree shows after.
//
// A creation or a move the service refuses because the name is taken there is
// EEXIST (name_refusal.h), and then the changes are checked for at once, so
// that the item holding the name shows. A folder is removed, or replaced by a
// rename, only when it is proven empty on the service (provenEmpty()). A new
// file not on the service yet is removed or renamed here alone; replacing an
// item on the service with one, it is sent first (sender.h).
//
// A move, a removal or a new folder that must wait in the upload queue
// (edit_sender.h) is shown by the tree at once. A folder made so lives here
// under a local identifier until the queue makes it on the service
// (tookFolder()), and is removed here alone until then; renamed over an empty
// folder, it is made (or moved) there after that folder's removal. A new file
// whose creation waits in the queue is renamed or removed by changing its
// entry there (sender.h).
#ifndef FPCTL_MOUNT_TREE_EDITS_H_
#define FPCTL_MOUNT_TREE_EDITS_H_

#include <optional>
#include <string>
#include <string_view>

#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/fpctl/mount/inode_table.h"
#include "fileprovider/fpctl/mount/item_state.h"
#include "fileprovider/fpctl/mount/mount_state.h"
#include "fileprovider/fpctl/mount/name_refusal.h"
#include "fileprovider/fpctl/mount/replace_sequence.h"
#include "fileprovider/fpctl/mount/replies.h"
#include "fileprovider/progress.h"

namespace fpctl::mount {

class NodeTree;
class Sender;
class EditSender;
class ChangeChecker;

class TreeEdits {
 public:
  TreeEdits(MountState& state, NodeTree& tree, Sender& sending, EditSender& queued,
            ChangeChecker& changes)
      : s_(state), tree_(tree), sending_(sending), queued_(queued), changes_(changes) {}

  // The operations of MountFs of the same names.
  ErrnoOr<EntryReply> mkdir(Ino parent, std::string_view name, const fp::Progress* cancel);
  ErrnoOr<void> unlink(Ino parent, std::string_view name, const fp::Progress* cancel);
  ErrnoOr<void> rmdir(Ino parent, std::string_view name, const fp::Progress* cancel);
  ErrnoOr<void> rename(Ino parent, std::string_view name, Ino newParent, std::string_view newName,
                       unsigned flags, const fp::Progress* cancel);

  // A folder made here (`local`, its local identifier), or one made again after
  // it was removed on the service (conflicts.h), is `fresh` on the service:
  // its node, and the nodes in it, name the item from now on.
  void tookFolder(const fp::ItemIdentifier& local, const ItemState& fresh);
  // The item `item`, removed here, stays on the service (it changed there,
  // conflicts.h): its folder shows it again. Returns its path in the mount.
  std::string reappear(const ItemState& item);
  // The item `item`, moved here (shown as `shownAs` in the folder `shownIn`),
  // was moved on the service too and stays where the service has it
  // (conflicts.h): the tree shows it there. Returns its path in the mount.
  std::string keepServicePlace(const ItemState& item, const fp::ItemIdentifier& shownIn,
                               const std::string& shownAs);
  // Succeeds when `folder` has no children on the service, proven by a
  // listing read from a readable index; else ENOTEMPTY, or EIO when it cannot
  // be proven. `waitForSender`: false when called while the queue or the write-back
  // thread sends (it must not wait for itself).
  ErrnoOr<void> provenEmpty(std::string_view op, const ItemState& folder, const std::string& what,
                            const fp::Progress* cancel, bool waitForSender = true);

 private:
  // Forgets the new file or folder `name` of `dir`, not on the service yet,
  // with what of it waits in the queue.
  void forgetLocalChildLocked(Node& dir, const std::string& name);
  // Removes `name`, a folder made here that is not on the service yet, from
  // `dir` with what waits to be sent of it. Fails with ENOTDIR, ENOTEMPTY, or
  // EBUSY while its making is being sent.
  [[nodiscard]] ErrnoOr<void> removeLocalFolderLocked(Node& dir, const std::string& name);
  using Lock = MountState::Lock;

  [[nodiscard]] ErrnoOr<void> renameAttempt(Ino parent, const std::string& name, Ino newParent,
                                            const std::string& newName, unsigned flags,
                                            bool mayUploadFirst, const fp::Progress* cancel);
  // One rename, and what it works on, as found in both folders' listings.
  struct Rename {
    Ino parent = 0;
    std::string name;
    Ino newParent = 0;
    std::string newName;
    unsigned flags = 0;
    bool mayUploadFirst = true;
    const fp::Progress* cancel = nullptr;
    Ino localSource = 0;  // made here, not on the service yet
    ItemState source;
    std::string what;
    Ino localTarget = 0;              // made here, replaced
    std::optional<ItemState> target;  // of the service, replaced
    // The queue is creating the new file replaced here: the move goes into
    // the queue, behind that creation and the removal of what it makes.
    bool behindCreation = false;
    std::string newDisplay;
    fp::ItemIdentifier newParentId;
  };
  // The steps of renameAttempt(), called with the tree lock held; each that
  // yields an outcome ends the rename with it (none: the rename goes on).
  // Finds the source and the target in the listings (read when missing) and
  // checks what POSIX asks.
  [[nodiscard]] std::optional<ErrnoOr<void>> findRenameSidesLocked(Lock& lock, Rename& r);
  // Frees the name of a new file or folder made here that the rename replaces
  // (waiting first for a creation of it on its way, then trying again).
  [[nodiscard]] std::optional<ErrnoOr<void>> freeLocalTargetLocked(Lock& lock, Rename& r);
  // Renames a new file or folder made here: here alone, or by changing what
  // of it waits in the queue; over an item of the service, after that item's
  // removal (journaled) or after it is sent itself.
  [[nodiscard]] ErrnoOr<void> renameLocalLocked(Lock& lock, Rename& r);
  // Journals the removal of `r.target`, replaced by a new file whose creation
  // waits or (`byFolder`) by a folder made here, and hides it.
  [[nodiscard]] ErrnoOr<void> journalReplacedLocked(Lock& lock, const Rename& r, bool byFolder);
  // Renames an item of the service: sent at once, or journaled.
  [[nodiscard]] ErrnoOr<void> renameServiceItemLocked(Lock& lock, Rename& r);
  // Whether the service lets the source change `fields` and the target go:
  // fails with EACCES (logged) or ENOTEMPTY.
  // The item `expected` moves as the tree knows it now, at `expected`'s place.
  ItemState movedLocked(const ItemState& expected);
  [[nodiscard]] ErrnoOr<void> allowedLocked(const Rename& r, fp::ItemFields fields,
                                            const std::string& targetWhat);
  // Shows what a replacement of `r.target` by `r.source` did on the service
  // (replace_sequence.h); fails with its errno value.
  [[nodiscard]] ErrnoOr<void> showReplacementLocked(const Rename& r, const Replacement& done);
  void applyMoveLocked(Ino parent, const std::string& name, Ino newParent,
                       const std::string& newName, const ItemState& item);
  // Makes the folder `name` in `parent` here, to be made on the service by
  // sendQueue(): the host is away, or what it waits for is queued.
  ErrnoOr<EntryReply> mkdirLocal(Ino parent, const std::string& name, ItemState expected,
                                 const std::string& what);
  // Logs `error`, what a lookup that was to prove a folder empty failed with,
  // and returns EIO: emptiness is not proven, and nothing is deleted.
  [[nodiscard]] Errno refusedForProof(std::string_view op, const std::string& what,
                                      const fp::Error& error);
  // Logs the refusal of a name (a creation or a move) and returns its errno
  // value: EEXIST when the name is taken on the service (name_refusal.h), and
  // then the changes are checked for at once, so that the item holding the
  // name shows.
  [[nodiscard]] Errno nameRefused(std::string_view op, const std::string& what,
                                  const NameRefusal& refusal);

  MountState& s_;
  NodeTree& tree_;
  Sender& sending_;
  EditSender& queued_;
  ChangeChecker& changes_;
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_TREE_EDITS_H_
