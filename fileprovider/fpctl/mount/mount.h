// fpctl mount: serves a domain as a folder through FUSE, calling the extension
// as the platform would.
#ifndef FPCTL_MOUNT_MOUNT_H_
#define FPCTL_MOUNT_MOUNT_H_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "fileprovider/domain.h"
#include "fileprovider/extension.h"

namespace fpctl {

struct MountOptions {
  std::filesystem::path mountpoint;
  bool foreground = false;
  double pollSeconds = 2;
  // Where fetched contents and pending uploads live; none: the folder of the
  // domain and mount point (default_cache.h), removed at the end when nothing
  // waits in it.
  std::optional<std::filesystem::path> cacheDir;
  // The most the fetched copies in the cache folder may take together; none: a
  // tenth of the cache folder's file system, at most 10 GiB. The least recently
  // used copies that are neither open, written, waiting to be sent nor pinned
  // go to keep it; a file larger than what can be freed is read without a copy.
  std::optional<std::int64_t> cacheMaxBytes;
  // Copies not used for this long are dropped (the same ones may go); none:
  // copies are kept however old.
  std::optional<std::chrono::seconds> cacheMaxAge;
  // Mount over a folder that holds files (they stay hidden while mounted).
  bool nonempty = false;
  // A close answers once the file's state is in the upload queue, which a
  // thread of the mount sends (MountFs::startWriteBack()); without it, a close
  // waits until the host application has the state.
  bool writeBack = false;
  // Show a desktop notification when the service refuses a change or a
  // conflict copy is made (when there is a session bus; see desktop_notices.h).
  bool notify = true;
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
