// The change check: asks the working set for changes since the held sync
// anchor and, when the index changed, refreshes what the tree caches. Every
// listing the kernel still uses is read again and compared, and the kernel is
// told to forget exactly the names and attributes that changed.
#ifndef FPCTL_MOUNT_CHANGE_CHECKER_H_
#define FPCTL_MOUNT_CHANGE_CHECKER_H_

#include <mutex>
#include <optional>

#include "fileprovider/extension.h"
#include "fileprovider/fpctl/mount/mount_state.h"

namespace fpctl::mount {

class NodeTree;
class Residency;

class ChangeChecker {
 public:
  ChangeChecker(MountState& state, NodeTree& tree, Residency& residency)
      : s_(state), tree_(tree), residency_(residency) {}

  // Takes the first sync anchor, if the extension gives one.
  void readFirstAnchor();
  // One change check (MountFs::checkForChanges()).
  void checkForChanges();

 private:
  void refresh();

  MountState& s_;
  NodeTree& tree_;
  Residency& residency_;

  std::mutex anchorMu_;  // one change check at a time (lock order: mount_fs.h)
  std::optional<fp::SyncAnchor> anchor_;
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_CHANGE_CHECKER_H_
