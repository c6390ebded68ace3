// fpctl mount: serves a domain as a folder through FUSE, calling the extension
// as the platform would.
#ifndef FPCTL_MOUNT_MOUNT_H_
#define FPCTL_MOUNT_MOUNT_H_

#include <filesystem>
#include <memory>
#include <optional>

#include "fileprovider/domain.h"
#include "fileprovider/extension.h"

namespace fpctl {

struct MountOptions {
  std::filesystem::path mountpoint;
  bool foreground = false;
  double pollSeconds = 2;
  // Where fetched contents and pending uploads live; none: a fresh folder under
  // $XDG_CACHE_HOME/fileprovider/<domain> (default ~/.cache/...).
  std::optional<std::filesystem::path> cacheDir;
  // Mount over a folder that holds files (they stay hidden while mounted).
  bool nonempty = false;
  // Report the outcome as one JSON object on standard output:
  // {"mounted":MOUNTPOINT,"pid":PID} or {"error":{"domain":"fpctl","code":1,...}}.
  bool json = false;
};

// Mounts `extension` (the principal object for `domain`) at the mount point and
// serves it until it is unmounted (fusermount3 -u) or interrupted; pending
// uploads finish before it returns. A mount point that does not exist, is no
// folder, or holds entries (unless `nonempty`) is refused. Returns the process exit status: 0 on a
// clean unmount, 1 when mounting failed (a message has gone to standard error).
int runMount(const fp::Domain& domain, std::shared_ptr<fp::ReplicatedExtension> extension,
             const MountOptions& options);

}  // namespace fpctl

#endif  // FPCTL_MOUNT_MOUNT_H_
