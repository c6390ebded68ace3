// What the parts of the mount share (see mount_fs.h): the node tree with its
// lock, the open handles, the extension, the cache, and the one way a failure
// is logged. Each part (node_tree.h, fetcher.h, residency.h, open_files.h,
// sender.h, edit_sender.h, tree_edits.h, xattrs.h, change_checker.h) holds a
// reference to the one MountState of its mount.
#ifndef FPCTL_MOUNT_MOUNT_STATE_H_
#define FPCTL_MOUNT_MOUNT_STATE_H_

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "fileprovider/extension.h"
#include "fileprovider/fpctl/mount/conflicts.h"
#include "fileprovider/fpctl/mount/content_cache.h"
#include "fileprovider/fpctl/mount/desktop_notices.h"
#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/fpctl/mount/inode_table.h"
#include "fileprovider/fpctl/mount/item_state.h"
#include "fileprovider/fpctl/mount/kept_attributes.h"
#include "fileprovider/fpctl/mount/kernel_notifier.h"
#include "fileprovider/fpctl/mount/provider_client.h"
#include "fileprovider/log.h"
#include "fileprovider/progress.h"

namespace fpctl::mount {

struct Handle;     // an open file (open_files.h)
struct DirHandle;  // an open folder (node_tree.h)

// The capabilities a new item of this mount is shown with.
inline constexpr fp::ItemCapabilities kNewItemCapabilities =
    fp::capability::kAllowsReading | fp::capability::kAllowsWriting |
    fp::capability::kAllowsReparenting | fp::capability::kAllowsRenaming |
    fp::capability::kAllowsDeleting;

// The wall clock now, as the extension's dates count.
fp::Date now();
// "NAME (IDENTIFIER)", or NAME alone for an item without an identifier.
std::string describe(const std::string& name, const fp::ItemIdentifier& identifier);
// The upload queue's key for the file `n` (see QueuedChange::key()).
std::string keyOf(const Node& n);
// Whether the errno value `err` says the host is away for now (the state may
// be sent later). For where only an errno is left (a cancel's EINTR, a failure
// of the mount's own copy, what the fetcher passes on): where the extension's
// error is at hand, fp::isTransient() reads its kind from the error table.
bool isTransient(int err);
// Locks `lock` (not owned yet), giving up when `cancel` is cancelled first (a
// null `cancel` waits as long as it takes). Yields whether it owns the lock.
[[nodiscard]] bool lockUnlessCancelled(std::unique_lock<std::mutex>& lock,
                                       const fp::Progress* cancel);
// Waits a moment before something under way is looked at again; false when
// `cancel` is cancelled.
[[nodiscard]] bool pauseUnlessCancelled(const fp::Progress* cancel);

struct MountState {
  using Lock = std::unique_lock<std::mutex>;

  MountState(std::shared_ptr<fp::ReplicatedExtension> extension, ContentCache& contentCache,
             KernelNotifier& kernel, uid_t owner, gid_t group);

  // The one way a failure is logged ("OP failed for ITEM: WHY", subsystem
  // "fpctl", category "Mount"); returns the errno value the caller is told:
  // the one for `error`, or `err`.
  Errno logFailure(std::string_view op, const std::string& item, const fp::Error& error);
  Errno logFailure(std::string_view op, const std::string& item, int err, std::string_view why);
  // The item after a change, as the index shows it: `returned` carries
  // defaults until the index has it, so it is asked for again; failing that,
  // `expected` with the returned identifier.
  ItemState reread(const ItemState& returned, ItemState expected);
  // What a creation made: `returned` when it describes the item as asked for
  // (`expected`: parent, name, kind), else reread().
  ItemState createdItem(const ItemState& returned, ItemState expected);

  ProviderClient provider;
  ContentCache& cache;
  KeptAttributes dates;
  KernelNotifier& notifier;
  WrittenVersions written;  // thread-safe
  const uid_t uid;
  const gid_t gid;
  const fp::Log log{"fpctl", "Mount"};
  // Tells the desktop of refused changes and conflict copies; none: not told.
  // Set before the mount serves (MountFs::notifyDesktop()); outlives the mount.
  DesktopNotices* notices = nullptr;

  std::mutex mu;  // the tree lock: guards everything below
  InodeTable inodes;
  std::unordered_map<std::uint64_t, std::shared_ptr<Handle>> handles;
  std::unordered_map<std::uint64_t, std::shared_ptr<DirHandle>> dirHandles;
  std::uint64_t nextFh = 1;
  std::optional<std::string> sendingKey;  // the file the queue sends now (sender.h)
  std::condition_variable sent;           // with mu: sendingKey changed

  fp::Progress background{1};  // cancelled when the mount ends
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_MOUNT_STATE_H_
