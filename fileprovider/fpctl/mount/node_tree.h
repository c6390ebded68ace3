// The node tree: the inode table (inode_table.h) over the extension's items,
// the folders' listings, lookups, attributes and open folders. Its lock is
// MountState::mu; it is never held across a call to the extension or other
// I/O (a listing being read drops it, see ensureListingLocked()).
//
// A folder's listing comes from the extension's enumerator and is kept until a
// change check says the index changed (change_checker.h). The moves and
// removals that wait in the upload queue (edit_sender.h) are shown on top of
// every listing read (pending_edits.h); a folder made here and not on the
// service yet is a local child of its folder, like a new file, and lists only
// what was put in it.
//
// Items are shown under posixName() of their display name; a name that two
// items of one folder share is shown once as it is and then with " (2)",
// " (3)", ... appended. A name the kernel takes (at most kMaxName bytes) is
// shown as it is; only one the service holds that is longer is shown shortened
// (name_codec.h). A longer name given by a program is refused with
// ENAMETOOLONG by every operation.
#ifndef FPCTL_MOUNT_NODE_TREE_H_
#define FPCTL_MOUNT_NODE_TREE_H_

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/fpctl/mount/inode_table.h"
#include "fileprovider/fpctl/mount/listing.h"
#include "fileprovider/fpctl/mount/mount_state.h"
#include "fileprovider/fpctl/mount/queued_change.h"
#include "fileprovider/fpctl/mount/replies.h"
#include "fileprovider/progress.h"

namespace fpctl::mount {

// An open folder: the names and numbers of its entries as they were when it
// was opened. A listed item's attributes are taken from its node, else from
// the folder's listing when the entry is read.
struct DirHandle {
  struct Entry {
    std::string name;
    Ino ino = 0;
    bool listed = false;  // an item of the listing; else ".", ".." or a new local file
    bool folder = false;  // of a listed item
  };
  Ino ino = 0;
  std::vector<Entry> entries;
};

class NodeTree {
 public:
  using Lock = MountState::Lock;

  explicit NodeTree(MountState& state) : s_(state) {}

  // The root node, for the item the extension describes as its root.
  void addRoot(const ItemState& root);

  // The operations of MountFs of the same names.
  ErrnoOr<EntryReply> lookup(Ino parent, std::string_view name, const fp::Progress* cancel);
  void forget(Ino ino, std::uint64_t count);
  ErrnoOr<struct stat> getattr(Ino ino, const fp::Progress* cancel = nullptr);
  ErrnoOr<void> access(Ino ino, int mask);
  ErrnoOr<std::uint64_t> opendir(Ino ino, const fp::Progress* cancel);
  ErrnoOr<void> readdir(std::uint64_t dh, off_t offset, bool plus,
                        const std::function<bool(const DirEntry&, off_t)>& emit);
  void releasedir(std::uint64_t dh);

  // The rest is called with the tree lock held.
  struct stat attrOf(const Node& node) const;
  // Makes sure `dir` has a listing, reading it when it has none (the lock is
  // dropped meanwhile, and `dir` may be gone after).
  // The folder `parent` with its listing at hand (ensureListingLocked()),
  // for an operation on its child `name`: ENAMETOOLONG for a name longer than
  // the kernel takes.
  ErrnoOr<Node*> folderForLocked(Lock& lock, Ino parent, std::string_view name,
                                 const fp::Progress* cancel);
  ErrnoOr<void> ensureListingLocked(Lock& lock, Ino dir, const fp::Progress* cancel = nullptr);
  // The listing of `items` in `dir`, avoiding the names of its new local files,
  // with the moves and removals that wait applied on top, and those of
  // `editsBefore` (what waited when `items` was read): one sent meanwhile may
  // or may not be in `items` yet, and applying one twice changes nothing.
  std::unique_ptr<Listing> listingFor(const Node& dir, std::vector<ItemState> items,
                                      const std::vector<QueuedChange>& editsBefore = {}) const;
  // Applies `edit` to the folder's listing, if any, and records it for a
  // listing being read (Node::editsWhileRead); bumps the listing's serial and
  // has the kernel drop the names it kept of the folder.
  void editListingLocked(Node& dir, const std::function<void(Listing&)>& edit);
  void installListingLocked(Node& dir, std::unique_ptr<Listing> listing);
  // Puts `fresh` in place of the folder's listing (a change check read it
  // again): an item the kernel holds keeps its held entry where `fresh` shows
  // it under the same name, and the kernel is told when its attributes
  // changed; any other gets its node, made from the listing it leaves.
  void replaceListingLocked(Node& dir, std::unique_ptr<Listing> fresh);
  // Drops the folder's listing; the items the kernel holds in it get nodes.
  void dropListingLocked(Node& dir);
  // The attributes of the listed `item` numbered `ino`, as a node would show them.
  struct stat listedAttrOf(const ListedItem& item, Ino ino) const;
  // After the extension deleted `identifier` (shown as `name` in `parent`):
  // drops it from the parent's listing and marks its node unlinked. Returns
  // the node, if the item had one.
  Node* forgetRemovedLocked(Ino parent, const std::string& name,
                            const fp::ItemIdentifier& identifier);
  // The identifiers of `n` and of the folders above it, up to the root.
  std::vector<fp::ItemIdentifier> chainLocked(const Node& n);
  // "/Projects/plan.txt": the path of `n` in the mount.
  std::string pathLocked(const Node& n);
  // Whether a new file `name` in `dir` would be a namesake of a child (same name
  // apart from letter case or canonical equivalence): the service would show it
  // under a marked name, so creating it is refused with EEXIST.
  bool hasNamesakeLocked(Node& dir, const std::string& name);

 private:
  // The namesake key of the POSIX name of a new local file (remembered).
  const std::string& localNamesakeKeyLocked(const std::string& name);
  // Shows again in the folder `dir`, whose listing was just installed, what
  // the upload queue holds for it from an earlier run (fpctl was restarted
  // with changes waiting): new files and folders, and the newer states of
  // files it lists, each with a working copy of its queued contents, so that
  // they read back as written until they are sent (Sender::tookQueued()).
  // Drops the lock while it copies.
  void restoreWaitingLocked(Lock& lock, Ino dir);
  // The entries an earlier run left in the folder `folder` that are not
  // shown yet (new folders, and states no node of this run owns); each is
  // marked as shown.
  std::vector<QueuedChange> waitingInLocked(const fp::ItemIdentifier& folder);
  // A working copy of the queued contents of `state`, marked as queued and
  // waiting; none (logged) when they cannot be copied. Takes no lock.
  std::shared_ptr<WorkingCopy> workingCopyOf(const QueuedChange& state);
  // Shows the entry `change` in the folder `d` (inode `dir`): a node for a new
  // folder, or `copy` (when there is one) as the working copy of the file it
  // is a state of. A copy that finds no place for it is dropped.
  void placeWaitingLocked(Ino dir, Node& d, const QueuedChange& change,
                          std::shared_ptr<WorkingCopy>& copy);

  MountState& s_;
  std::unordered_map<std::string, std::string> localKeys_;  // guarded by the tree lock
  std::set<std::uint64_t> restored_;  // guarded by the tree lock: entries shown again
  // Reading a listing this large, or dropping as many nodes, gives the freed
  // memory back to the system.
  static constexpr std::size_t kLargeListing = 4096;
  std::size_t droppedSinceTrim_ = 0;  // guarded by the tree lock
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_NODE_TREE_H_
