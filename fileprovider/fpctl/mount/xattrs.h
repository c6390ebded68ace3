// The extended attributes of the mount's items, and the state a file manager
// shows (stateOf()).
//
// Extended attributes (read-only unless said otherwise)
//   user.fileprovider.state       cloud | local | pinned | uploading | unsent (stateOf())
//   user.fileprovider.identifier  the item's identifier (none for a new file not sent yet)
//   user.fileprovider.version     the item's content version (none when it has none)
//   user.fileprovider.pinned      1 when pinned, itself or through a folder, else 0;
//                                 writing 1 pins, 0 unpins, anything else is EINVAL
//   user.fileprovider.evict       write-only and not listed: 1 evicts (Residency::evict())
//   Writing a read-only one is EPERM; any other name is not kept (ENOTSUP), and
//   reading one the item does not have is ENODATA. Items have no access lists
//   and no security labels: reading system.posix_acl_* or security.* is ENOTSUP,
//   so that `ls -l` and the like ask once per mount, not once per item.
#ifndef FPCTL_MOUNT_XATTRS_H_
#define FPCTL_MOUNT_XATTRS_H_

#include <string>
#include <string_view>

#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/fpctl/mount/inode_table.h"
#include "fileprovider/fpctl/mount/mount_state.h"

namespace fpctl::mount {

class NodeTree;
class Residency;

class Xattrs {
 public:
  Xattrs(MountState& state, NodeTree& tree, Residency& residency)
      : s_(state), tree_(tree), residency_(residency) {}

  // The operations of MountFs of the same names.
  ErrnoOr<std::string> getxattr(Ino ino, std::string_view name);
  ErrnoOr<std::string> listxattr(Ino ino);
  ErrnoOr<void> setxattr(Ino ino, std::string_view name, std::string_view value);
  ErrnoOr<void> removexattr(Ino ino, std::string_view name);

  // The state a file manager shows, in this order of precedence:
  //   uploading  written here and not yet taken by the service (open with
  //              changes, being sent, or a new file not created yet)
  //   unsent     a state of it waits in the upload queue (the host did not answer)
  //   pinned     pinned, itself or through a pinned folder, and in the cache
  //   pinning    pinned, but its contents at the current version are not in
  //              the cache yet (fetched once the host answers)
  //   local      its contents at the current version are in the cache
  //   cloud      otherwise
  // A folder is "pinned" when it or a folder above it is pinned, else "local":
  // its listing is read from the index on this device and works offline.
  ErrnoOr<std::string> stateOf(Ino ino);

 private:
  MountState& s_;
  NodeTree& tree_;
  Residency& residency_;
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_XATTRS_H_
