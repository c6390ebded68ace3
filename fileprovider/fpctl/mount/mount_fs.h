// The file system the mount serves, apart from FUSE itself. Every operation
// that can fail returns an ErrnoOr: its result, or the errno value the kernel
// is to be told; the FUSE front only translates. Thread-safe: the FUSE loop
// calls it from many threads.
//
// MountFs is the face of the mount's parts, each in the file named after it,
// where the rules it keeps are written down:
//   node_tree.h     the inode table over the extension's items, the folders'
//                   listings, lookups, attributes and open folders
//   fetcher.h       contents fetched once per content version into the cache
//   residency.h     pinned items, eviction, and which copies the cache keeps
//   open_files.h    handles and working copies: open, create, read, write,
//                   and size, mode, owner and date changes
//   sender.h        closed states staged in the upload queue and sent, now or
//                   by the write-back thread (write_back.cc)
//   edit_sender.h   moves, removals and new folders kept in the upload queue
//                   while the host is away, and their sending
//   tree_edits.h    mkdir, rmdir, unlink and rename, and what the tree shows
//   xattrs.h        extended attributes and the state a file manager shows
//   change_checker.h  the change check that keeps what is cached current
// They share one MountState (mount_state.h): the node tree, its lock, the open
// handles, the extension and the cache.
//
// Interruption: an operation given `cancel` stops waiting for the extension once
// it is cancelled (the FUSE front cancels it when the kernel interrupts the
// request) and fails with EINTR; closes are the exception (sender.h).
//
// Failures of the extension are logged (subsystem "fpctl", category "Mount")
// with the operation and the item, and reach the caller through errnoFor().
//
// Lock order: a lock is taken only while none of those after it is held.
//   1. ChangeChecker::anchorMu_ (one change check), Residency::pinWalkMu_ (one
//      walk of the pinned items): neither is taken inside another lock
//   2. Sender::queueMu_ (one sending of the queue)
//   3. WorkingCopy::uploadMutex (one upload of a copy): inside queueMu_ only
//      where the queue gives what it sent to the file whose state it was
//      (Sender::tookQueued())
//   4. MountState::mu, the tree lock: never held across a call to the
//      extension or other I/O; waits on it (MountState::sent, creations in
//      flight) release it
//   5. leaves, taken inside the tree lock or alone and never around another:
//      WorkingCopy::noteMu, Residency::coveredMu_, the locks of the content
//      cache, the upload queue, the pinned set and the notifier
#ifndef FPCTL_MOUNT_MOUNT_FS_H_
#define FPCTL_MOUNT_MOUNT_FS_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fileprovider/extension.h"
#include "fileprovider/fpctl/mount/change_checker.h"
#include "fileprovider/fpctl/mount/content_cache.h"
#include "fileprovider/fpctl/mount/edit_sender.h"
#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/fpctl/mount/fetcher.h"
#include "fileprovider/fpctl/mount/inode_table.h"
#include "fileprovider/fpctl/mount/kernel_notifier.h"
#include "fileprovider/fpctl/mount/mount_state.h"
#include "fileprovider/fpctl/mount/node_tree.h"
#include "fileprovider/fpctl/mount/open_files.h"
#include "fileprovider/fpctl/mount/pin_set.h"
#include "fileprovider/fpctl/mount/replies.h"
#include "fileprovider/fpctl/mount/residency.h"
#include "fileprovider/fpctl/mount/sender.h"
#include "fileprovider/fpctl/mount/tree_edits.h"
#include "fileprovider/fpctl/mount/xattrs.h"
#include "fileprovider/progress.h"

namespace fpctl::mount {

class MountFs {
 public:
  MountFs(std::shared_ptr<fp::ReplicatedExtension> extension, ContentCache& cache,
          KernelNotifier& notifier, uid_t uid, gid_t gid);
  ~MountFs();
  MountFs(const MountFs&) = delete;
  MountFs& operator=(const MountFs&) = delete;

  // Reads the root item and the first sync anchor; fails when the extension
  // cannot describe its root.
  fp::Status start();

  // Whether the cached copy of `identifier` must stay because it is in use: a
  // handle of the item is open, it is being written, a change of it waits in
  // the upload queue, or it is pinned.
  [[nodiscard]] bool keepsCopyOf(const std::string& identifier);
  // Drops the cached copies the bound has no room for or that were not used for
  // longer than its age, unless they must stay (keepsCopyOf()). Returns the
  // bytes dropped. The change poller calls it after every change check.
  std::int64_t trimCache();

  ErrnoOr<EntryReply> lookup(Ino parent, std::string_view name,
                             const fp::Progress* cancel = nullptr);
  void forget(Ino ino, std::uint64_t count);
  ErrnoOr<struct stat> getattr(Ino ino, const fp::Progress* cancel = nullptr);
  // Only a size change is acted on; `fh` is the handle it came through, if any.
  ErrnoOr<struct stat> setattr(Ino ino, std::optional<off_t> size, std::optional<std::uint64_t> fh,
                               const fp::Progress* cancel = nullptr);
  ErrnoOr<void> access(Ino ino, int mask);
  // A program set the modification date (utimensat, futimens): it is kept for
  // the item's content version (see kept_attributes.h); for a file being written,
  // for the version its upload makes.
  ErrnoOr<void> keepDate(Ino ino, timespec date);
  // A program set the mode (chmod): kept and shown, never sent (open_files.h).
  ErrnoOr<void> keepMode(Ino ino, mode_t mode);
  // The cache folder (fetched contents, files being written): `df` on the mount
  // reports its file system.
  const std::filesystem::path& cacheRoot() const;

  ErrnoOr<std::uint64_t> opendir(Ino ino, const fp::Progress* cancel = nullptr);
  // Hands out the entries of an open folder from position `offset` on ("." and
  // ".." first). `emit(entry, nextOffset)` returns false once the reply is full.
  // With `plus` every entry emitted counts as a lookup the kernel will forget,
  // but for one the kernel holds already (DirEntry::held).
  ErrnoOr<void> readdir(std::uint64_t dh, off_t offset, bool plus,
                        const std::function<bool(const DirEntry&, off_t)>& emit);
  void releasedir(std::uint64_t dh);

  ErrnoOr<OpenReply> open(Ino ino, int flags, const fp::Progress* cancel = nullptr);
  ErrnoOr<std::pair<EntryReply, OpenReply>> create(Ino parent, std::string_view name, int flags,
                                                   const fp::Progress* cancel = nullptr);
  // The descriptor reads of `fh` are served from, open while the result is held.
  ErrnoOr<ReadSource> readSource(std::uint64_t fh);
  ErrnoOr<std::size_t> read(std::uint64_t fh, char* buf, std::size_t size, off_t offset);
  // `writer`: the process that writes (0: unknown); see flush().
  ErrnoOr<std::size_t> write(std::uint64_t fh, const char* data, std::size_t size, off_t offset,
                             pid_t writer = 0);
  // A close() of a descriptor of `fh` by the process `closer` (0: unknown).
  // When that process wrote through `fh` since its last send, the file's state
  // is put into the upload queue and sent; success means it reached the
  // service or waits durably in the queue (the host application did not
  // answer); an errno value means the state was refused (kept in unsent/) or
  // could not be kept. Other closes send nothing; release() sends what is left.
  // In write-back (startWriteBack()), success means the state is staged.
  // Once `cancel` is cancelled (the closing program got a signal), the wait
  // for the host ends and the state stays durably in the queue: success.
  ErrnoOr<void> flush(std::uint64_t fh, pid_t closer = 0, const fp::Progress* cancel = nullptr);
  // Sends the file's state like a close by its writer, whoever calls; in
  // write-back too. `cancel` as for flush().
  ErrnoOr<void> fsync(std::uint64_t fh, const fp::Progress* cancel = nullptr);
  void release(std::uint64_t fh);

  // Write-back: from now on a close (flush(), release()) answers once the
  // file's state is staged in the upload queue, and a thread of the mount sends
  // the states in the order they were closed; the file is shown as it was
  // written meanwhile. fsync() still waits for the service (or for a durable
  // place in the queue). The close cannot report a refusal: the sending finds
  // it, the state moves to unsent/ with its reason and the file is no longer
  // shown, as after a refused close. A state that was not sent yet when its
  // file was removed is never sent. While the host application does not
  // answer, closed states go durably into the queue without being tried, and
  // sendQueue() sends them. The thread starts sending once the closes pause
  // for `quiet`, or once the oldest state waited `longest` (see
  // background_sender.h).
  void startWriteBack(std::chrono::milliseconds quiet = std::chrono::milliseconds(500),
                      std::chrono::milliseconds longest = std::chrono::seconds(5));
  // Ends the write-back thread (before cancelBackgroundWork() and
  // finishPendingUploads()); what it had not sent is sent now, or kept durably
  // in the queue once the host does not answer. A sending under way gets
  // `grace` to end; then it is stopped (cancelBackgroundWork()), and its state
  // stays queued.
  void stopWriteBack(std::chrono::milliseconds grace = std::chrono::seconds(2));
  // Waits until the write-back thread has sent what was closed so far.
  void waitForWriteBack();
  // From now on a change the service refuses (and a conflict copy) is told to
  // the desktop through `notices`; null: not told. Called before the mount
  // serves; `notices` outlives the MountFs.
  void notifyDesktop(DesktopNotices* notices) { state_.notices = notices; }

  ErrnoOr<EntryReply> mkdir(Ino parent, std::string_view name,
                            const fp::Progress* cancel = nullptr);
  ErrnoOr<void> unlink(Ino parent, std::string_view name, const fp::Progress* cancel = nullptr);
  ErrnoOr<void> rmdir(Ino parent, std::string_view name, const fp::Progress* cancel = nullptr);
  // `flags`: 0 or RENAME_NOREPLACE; RENAME_EXCHANGE is not supported (EINVAL).
  ErrnoOr<void> rename(Ino parent, std::string_view name, Ino newParent, std::string_view newName,
                       unsigned flags, const fp::Progress* cancel = nullptr);

  // When the mount last created, changed or deleted an item on the service
  // (sent or not); the clock's epoch when it never did.
  std::chrono::steady_clock::time_point lastWrite() const { return state_.provider.lastWrite(); }

  // One change check: asks the working set for changes since the held anchor;
  // when the index changed, takes the new anchor and refreshes what is cached.
  void checkForChanges();
  // Sends every working copy that still holds unsent changes (files written but
  // never closed). Called when the kernel has gone away.
  void finishPendingUploads();
  // Sends the upload queue in order, unless an earlier attempt failed less than
  // the current back-off ago (0.5 s, doubling up to 30 s), or a close gave
  // up its wait for the host less than 2 s ago. Entries of files that
  // are open for writing wait for their own close. Returns how many wait still.
  // With `untilTheEnd`, the end of the mount (cancelBackgroundWork()) stops a
  // wait for the host; the entry stays queued.
  std::size_t sendQueue(bool untilTheEnd = false);

  // ---- pinned items, eviction, extended attributes (residency.h, xattrs.h)

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
  // The state a file manager shows (Xattrs::stateOf(), xattrs.h).
  ErrnoOr<std::string> stateOf(Ino ino);
  // Whether the item `identifier` is pinned itself, or was found in the tree of
  // a pinned folder by the last keepPinnedLocal(). The cache's bound never
  // drops such copies (keepsCopyOf()). Takes no lock of the MountFs but its own
  // small one.
  [[nodiscard]] bool isPinned(const fp::ItemIdentifier& identifier) const;
  // What is pinned, for `fpctl status` (also read from the cache folder by it).
  [[nodiscard]] std::vector<PinnedItem> pinned() const { return residency_.pinned(); }
  // Fetches the contents pinned files lack, when the pinned set or the index
  // changed since the last run, or a run could not fetch everything (then again
  // 30 s later). Stops fetching at the first failure that says the host is away.
  void keepPinnedLocal();
  // Makes a keepPinnedLocal() under way stop soon (the mount is ending).
  void cancelBackgroundWork() { state_.background.cancel(); }

  ErrnoOr<std::string> getxattr(Ino ino, std::string_view name);
  // The names of the attributes `ino` has, each ended by a NUL byte.
  ErrnoOr<std::string> listxattr(Ino ino);
  ErrnoOr<void> setxattr(Ino ino, std::string_view name, std::string_view value);
  // Removing user.fileprovider.pinned unpins.
  ErrnoOr<void> removexattr(Ino ino, std::string_view name);

 private:
  // Declared in the order they are built; each holds references to the
  // others it calls (bound before they are built, used only after).
  MountState state_;
  NodeTree tree_{state_};
  Fetcher fetcher_{state_, residency_};
  Residency residency_{state_, tree_, fetcher_};
  OpenFiles files_{state_, tree_, fetcher_, sending_};
  ChangeChecker changes_{state_, tree_, residency_};
  TreeEdits edits_{state_, tree_, sending_, queued_, changes_};
  EditSender queued_{state_, edits_};
  Xattrs xattrs_{state_, tree_, residency_};
  // Last, so that its write-back thread stops before anything it uses goes.
  Sender sending_{state_, tree_, residency_, files_, queued_};
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_MOUNT_FS_H_
