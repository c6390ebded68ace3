// What `fpctl retry` and `fpctl discard` do with a cache folder's changes: a
// change the service refused (kept in unsent/ with its reason) is queued again
// or moved to a recovery folder; a change that waits in the queue may be moved
// there too while no mount holds the folder. Nothing is ever deleted: what is
// taken out of the cache folder is in the recovery folder, whole.
#ifndef FPCTL_MOUNT_REFUSED_CHANGES_H_
#define FPCTL_MOUNT_REFUSED_CHANGES_H_

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "fileprovider/fpctl/mount/errno_map.h"

namespace fpctl::mount {

// A change kept in a cache folder, as the commands name it.
struct KeptChange {
  std::filesystem::path kept;  // the file that stands for it (contents, else record)
  std::string shownPath;       // where it was in the mount; empty when not known
  std::string name;            // its display name (a refused one's, when known)
  std::string reason;          // why it was refused; empty for a waiting one
  bool waiting = false;        // in the queue, not refused
  bool canRetry = false;       // refused, with the record needed to send it again
};

// The refused changes of `cacheRoot`, oldest first.
[[nodiscard]] std::vector<KeptChange> refusedChanges(const std::filesystem::path& cacheRoot);
// The changes waiting in the queue of `cacheRoot`, in the order they are sent.
[[nodiscard]] std::vector<KeptChange> waitingChanges(const std::filesystem::path& cacheRoot);

// Whether `what`, as the user typed it, names `change`: its path in the mount
// (also below `mountpoint`, when given), the file kept for it, that file's
// name, or, for a change whose path is not known, its display name.
[[nodiscard]] bool names(const KeptChange& change, const std::string& what,
                         const std::filesystem::path& mountpoint);

// The process that holds the cache folder's lock (a running mount): the pid
// it noted; none when nothing holds it.
[[nodiscard]] std::optional<pid_t> holderOf(const std::filesystem::path& cacheRoot);

// Takes the refused change `change` (canRetry) out of unsent/ for the queue
// (retried_changes.h). Fails with errno; the change then stays refused.
[[nodiscard]] ErrnoOr<void> retry(const std::filesystem::path& cacheRoot, const KeptChange& change);

// How the changes retry() took were queued.
enum class QueuedBy {
  kThisProcess,  // no mount held the folder: they are in its queue now
  kMount,        // the mount holding the folder was told to take them
  kNextMount,    // the holder could not be told: the next mount takes them
};
// Has the changes retry() took put into the queue of `cacheRoot`: by this
// process when nothing holds the folder, else by the mount that holds it
// (SIGUSR1 to the pid in its lock).
[[nodiscard]] QueuedBy queueRetried(const std::filesystem::path& cacheRoot);

// A new folder under the recovery folder ($XDG_DATA_HOME/fileprovider/
// recovered, by default ~/.local/share/fileprovider/recovered), named after
// the time, owner-only. Fails with a line for the user.
[[nodiscard]] fp::Result<std::filesystem::path, std::string> newRecoveryFolder();

// Moves the files of `change` from `cacheRoot` into `into` (contents, record
// and reason; a waiting change's queue entry). Returns where its file that
// stands for it went. A waiting change is moved only while nothing holds the
// folder (EBUSY otherwise); the folder is held meanwhile. Fails with errno;
// a file moved to another file system is copied and synced before it goes.
[[nodiscard]] ErrnoOr<std::filesystem::path> discard(const std::filesystem::path& cacheRoot,
                                                     const KeptChange& change,
                                                     const std::filesystem::path& into);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_REFUSED_CHANGES_H_
