// What the mount tells the kernel to forget (implemented by the FUSE front).
#ifndef FPCTL_MOUNT_KERNEL_NOTIFIER_H_
#define FPCTL_MOUNT_KERNEL_NOTIFIER_H_

#include <string>

#include "fileprovider/fpctl/mount/inode_table.h"

namespace fpctl::mount {

// What the mount tells the kernel to forget. Implementations must not call back
// into the MountFs, and the FUSE one defers the work to its own thread, since the
// kernel may hold locks that the request being answered also needs.
class KernelNotifier {
 public:
  virtual ~KernelNotifier();
  // The kernel looks `name` in `parent` up again before it next uses it.
  virtual void forgetEntry(Ino parent, const std::string& name) = 0;
  // The kernel asks for the attributes of `ino` again, and with `contents` also
  // drops the data (or listing) it has cached for it.
  virtual void forgetInode(Ino ino, bool contents) = 0;
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_KERNEL_NOTIFIER_H_
