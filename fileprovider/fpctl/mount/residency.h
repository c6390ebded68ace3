// The residency rules: which copies stay on this device.
//
// Pinned items (pin_set.h, kept in the cache folder) stay local: after every
// change check that found the index changed, and after a pin,
// keepPinnedLocal() fetches what a pinned file or the tree of a pinned folder
// lacks in the cache (a new content version, a new file), on the caller's
// thread (the poller's own thread for it, change_poller.h). evict() drops the
// cached copy of a file that is neither pinned nor holds unsent changes.
//
// The cache keeps to its bound (content_cache.h): the copies it may drop are
// those neither open, nor written, nor waiting in the upload queue, nor pinned
// (keepsCopyOf()).
#ifndef FPCTL_MOUNT_RESIDENCY_H_
#define FPCTL_MOUNT_RESIDENCY_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "fileprovider/fpctl/mount/content_cache.h"
#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/fpctl/mount/inode_table.h"
#include "fileprovider/fpctl/mount/mount_state.h"
#include "fileprovider/fpctl/mount/pin_set.h"

namespace fpctl::mount {

class NodeTree;
class Fetcher;

class Residency {
 public:
  Residency(MountState& state, NodeTree& tree, Fetcher& fetcher);

  // Whether the cached copy of `identifier` must stay because it is in use: a
  // handle of the item is open, it is being written, a change of it waits in
  // the upload queue, or it is pinned.
  [[nodiscard]] bool keepsCopyOf(const std::string& identifier);
  // Drops the cached copies the bound has no room for or that were not used for
  // longer than its age, unless they must stay (keepsCopyOf()). Returns the
  // bytes dropped.
  std::int64_t trimCache();
  // The cache's keep predicate: keepsCopyOf() over one look at the mount's
  // state, taken at its first call.
  KeepPredicate keepPredicate();

  // Pins `ino` (a file or folder): it is added to the kept set, and the next
  // keepPinnedLocal() fetches what it lacks. EBUSY for a new file that is not on
  // the service yet; the errno value of a failed write of the set.
  ErrnoOr<void> pin(Ino ino);
  // Unpins `ino`; its cached copies stay until evicted. Items pinned through a
  // pinned folder stay pinned.
  ErrnoOr<void> unpin(Ino ino);
  // Drops the cached contents of the file `ino`, so that its next open fetches
  // them again. EISDIR for a folder, EPERM when it is pinned (itself or through
  // a folder), EBUSY when it holds changes the service does not have yet (open
  // for writing, being sent, or waiting in the upload queue).
  ErrnoOr<void> evict(Ino ino);
  // Whether the item `identifier` is pinned itself, or was found in the tree of
  // a pinned folder by the last keepPinnedLocal(). Takes no lock but its own
  // small one.
  [[nodiscard]] bool isPinned(const fp::ItemIdentifier& identifier) const;
  // isPinned(), or pinned through the folders above its node (`ino`, else the
  // node of `identifier`), which the walk of the pinned trees may not have
  // reached yet. Takes the tree lock: not to be called with it held.
  bool isPinnedItem(Ino ino, const fp::ItemIdentifier& identifier);
  // Whether one of `chain` (see NodeTree::chainLocked()) is pinned.
  bool anyPinned(const std::vector<fp::ItemIdentifier>& chain) const;
  // Whether a state of `identifier` waits in the upload queue.
  bool waitsInQueue(const fp::ItemIdentifier& identifier) const;
  [[nodiscard]] std::vector<PinnedItem> pinned() const { return pins_.items(); }
  // Fetches the contents pinned files lack, when the pinned set or the index
  // changed since the last run, or a run could not fetch everything (then again
  // 30 s later). Stops fetching at the first failure that says the host is away.
  void keepPinnedLocal();
  // The index changed: a pinned file may have a new version now.
  void indexChanged() { pinsChanged_.store(true); }

 private:
  MountState& s_;
  NodeTree& tree_;
  Fetcher& fetcher_;

  PinSet pins_;                          // thread-safe; never called back
  std::mutex pinWalkMu_;                 // one keepPinnedLocal() at a time (lock order: mount_fs.h)
  std::atomic<bool> pinsChanged_{true};  // the set or the index changed since the last walk
  std::chrono::steady_clock::time_point nextPinRetry_{};  // guarded by pinWalkMu_
  bool pinRetry_ = false;                                 // guarded by pinWalkMu_
  mutable std::mutex coveredMu_;                          // guards covered_ alone
  std::set<fp::ItemIdentifier> covered_;                  // items in the trees of pinned folders
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_RESIDENCY_H_
