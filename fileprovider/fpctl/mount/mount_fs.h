// The file system the mount serves, apart from FUSE itself: an inode table
// (inode_table.h) over the extension's items, cached listings, fetched contents
// and working copies of files being written, and the change check that keeps
// them current. Every operation that can fail returns an ErrnoOr: its result,
// or the errno value the kernel is to be told; the FUSE front only translates. Thread-safe: the
// FUSE loop calls it from many threads.
//
// Items and folders
//   A folder's listing comes from the extension's enumerator and is kept until a
//   change check says the index changed; then every listing the kernel still uses
//   is read again and compared, and the kernel is told to forget exactly the
//   names and attributes that changed. Items are shown under posixName() of their
//   display name; a name that two items of one folder share is shown once as it
//   is and then with " (2)", " (3)", ... appended. A name the kernel takes (at
//   most kMaxName bytes) is shown as it is; only one the service holds that is
//   longer is shown shortened (name_codec.h). A longer name given by a program is
//   refused with ENAMETOOLONG by every operation. A creation or a move the
//   service refuses because the name is taken there is EEXIST (name_refusal.h).
//
// Contents
//   Opening a file for reading fetches its contents once per content version into
//   the cache; reads are served from there. The cache keeps to its bound
//   (content_cache.h): before a copy is stored, the least recently used copies
//   go that are neither open, nor written, nor waiting in the upload queue, nor
//   pinned (isPinned()); a file the bound cannot hold even so is read from
//   the file the extension handed back, without a copy. Opening it for writing makes a working
//   copy (empty when truncated, else the current contents); a new file lives only
//   in its working copy. A new name that is a namesake of a child the folder
//   lists (namesake_key.h) is refused with EEXIST by create(). A changed working copy is sent by
//   the close of a process that wrote through the handle, by fsync, and by the release of its last
//   handle (see flush()): a new file with createItem, an existing one with
//   modifyItem and the contents bit. Every state is put into the upload queue
//   (upload_queue.h) before it is sent; a state the host did not take waits
//   there and sendQueue() sends it later, one refused for good moves to unsent/.
//   A write that finds the cache disk full fails with ENOSPC, and the state of
//   that working copy is then never sent nor kept: its last release drops it,
//   so the disk is not held full. A new file whose older state's creation
//   still waits in the queue is sent as one creation with the newer contents
//   (the queue leaves entries of a file being written to its close); when the
//   queue created it meanwhile, the newer state changes that item.
//   A state is held in the queue while its close (or the write-back thread)
//   sends it: sendQueue() leaves it alone and no newer state drops it then. A
//   new file is created once: later states modify the item it made, and a
//   rename or removal made while it was being created is applied to that
//   item; the new files of one folder are created one at a time
//   (creations_in_flight.h), so that a file made again under a name that
//   another one just left never meets it on the service.
//
// Interruption: an operation given `cancel` stops waiting for the extension once
// it is cancelled (the FUSE front cancels it when the kernel interrupts the
// request) and fails with EINTR. A close or fsync interrupted while it sends a
// file's state ends its wait and succeeds: the state is in the upload queue
// before it is sent, stays there, and is sent later.
//
// Keeping items on this device
//   Pinned items (pin_set.h, kept in the cache folder) stay local: after every
//   change check that found the index changed, and after a pin, keepPinnedLocal()
//   fetches what a pinned file or the tree of a pinned folder lacks in the cache
//   (a new content version, a new file), on the caller's thread (the poller's
//   own thread for it, change_poller.h). evict() drops
//   the cached copy of a file that is neither pinned nor holds unsent changes.
//
// Extended attributes (read-only unless said otherwise)
//   user.fileprovider.state       cloud | local | pinned | uploading | unsent (stateOf())
//   user.fileprovider.identifier  the item's identifier (none for a new file not sent yet)
//   user.fileprovider.version     the item's content version (none when it has none)
//   user.fileprovider.pinned      1 when pinned, itself or through a folder, else 0;
//                                 writing 1 pins, 0 unpins, anything else is EINVAL
//   user.fileprovider.evict       write-only and not listed: 1 evicts (evict())
//   Writing a read-only one is EPERM; any other name is not kept (ENOTSUP), and
//   reading one the item does not have is ENODATA.
//
// Changes of mode, owner and times are accepted and not sent: the service decides
// them. Failures of the extension are logged (subsystem "fpctl", category
// "Mount") with the operation and the item, and reach the caller through
// errnoFor().
#ifndef FPCTL_MOUNT_MOUNT_FS_H_
#define FPCTL_MOUNT_MOUNT_FS_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fileprovider/extension.h"
#include "fileprovider/fpctl/mount/background_sender.h"
#include "fileprovider/fpctl/mount/content_cache.h"
#include "fileprovider/fpctl/mount/creations_in_flight.h"
#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/fpctl/mount/inode_table.h"
#include "fileprovider/fpctl/mount/item_state.h"
#include "fileprovider/fpctl/mount/kept_dates.h"
#include "fileprovider/fpctl/mount/listing.h"
#include "fileprovider/fpctl/mount/name_refusal.h"
#include "fileprovider/fpctl/mount/pin_set.h"
#include "fileprovider/fpctl/mount/provider_client.h"
#include "fileprovider/fpctl/mount/queued_creation.h"
#include "fileprovider/fpctl/mount/upload_queue.h"
#include "fileprovider/log.h"
#include "fileprovider/progress.h"
#include "fileprovider/scoped_fd.h"

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

struct EntryReply {
  Ino ino = 0;
  struct stat attr {};
};

struct OpenReply {
  std::uint64_t fh = 0;
  bool keepCache = false;  // the kernel may keep the data it has cached
};

struct DirEntry {
  std::string name;
  Ino ino = 0;
  struct stat attr {};
};

// A closed state of a working copy, staged in the upload queue (mount_fs.cc).
struct StagedState;

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
  // the item's content version (see kept_dates.h); for a file being written,
  // for the version its upload makes.
  ErrnoOr<void> keepDate(Ino ino, timespec date);
  // The cache folder (fetched contents, files being written): `df` on the mount
  // reports its file system.
  const std::filesystem::path& cacheRoot() const;

  ErrnoOr<std::uint64_t> opendir(Ino ino, const fp::Progress* cancel = nullptr);
  // Hands out the entries of an open folder from position `offset` on ("." and
  // ".." first). `emit(entry, nextOffset)` returns false once the reply is full.
  // With `plus` every entry emitted counts as a lookup the kernel will forget.
  ErrnoOr<void> readdir(std::uint64_t dh, off_t offset, bool plus,
                        const std::function<bool(const DirEntry&, off_t)>& emit);
  void releasedir(std::uint64_t dh);

  ErrnoOr<OpenReply> open(Ino ino, int flags, const fp::Progress* cancel = nullptr);
  ErrnoOr<std::pair<EntryReply, OpenReply>> create(Ino parent, std::string_view name, int flags,
                                                   const fp::Progress* cancel = nullptr);
  // The descriptor reads of `fh` are served from; valid until `fh` is released.
  ErrnoOr<int> readDescriptor(std::uint64_t fh);
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

  ErrnoOr<EntryReply> mkdir(Ino parent, std::string_view name,
                            const fp::Progress* cancel = nullptr);
  ErrnoOr<void> unlink(Ino parent, std::string_view name, const fp::Progress* cancel = nullptr);
  ErrnoOr<void> rmdir(Ino parent, std::string_view name, const fp::Progress* cancel = nullptr);
  // `flags`: 0 or RENAME_NOREPLACE; RENAME_EXCHANGE is not supported (EINVAL).
  ErrnoOr<void> rename(Ino parent, std::string_view name, Ino newParent, std::string_view newName,
                       unsigned flags, const fp::Progress* cancel = nullptr);

  // When the mount last created, changed or deleted an item on the service
  // (sent or not); the clock's epoch when it never did.
  std::chrono::steady_clock::time_point lastWrite() const { return provider_.lastWrite(); }

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

  // ---- pinned items, eviction, extended attributes (see the top of this file)

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
  // The state a file manager shows, in this order of precedence:
  //   uploading  written here and not yet taken by the service (open with
  //              changes, being sent, or a new file not created yet)
  //   unsent     a state of it waits in the upload queue (the host did not answer)
  //   pinned     pinned, itself or through a pinned folder
  //   local      its contents at the current version are in the cache
  //   cloud      otherwise
  // A folder is "pinned" when it or a folder above it is pinned, else "local":
  // its listing is read from the index on this device and works offline.
  ErrnoOr<std::string> stateOf(Ino ino);
  // Whether the item `identifier` is pinned itself, or was found in the tree of
  // a pinned folder by the last keepPinnedLocal(). The cache's bound never
  // drops such copies (keepsCopyOf()). Takes no lock of the MountFs but its own
  // small one.
  [[nodiscard]] bool isPinned(const fp::ItemIdentifier& identifier) const;
  // What is pinned, for `fpctl status` (also read from the cache folder by it).
  [[nodiscard]] std::vector<PinnedItem> pinned() const { return pins_.items(); }
  // Fetches the contents pinned files lack, when the pinned set or the index
  // changed since the last run, or a run could not fetch everything (then again
  // 30 s later). Stops fetching at the first failure that says the host is away.
  void keepPinnedLocal();
  // Makes a keepPinnedLocal() under way stop soon (the mount is ending).
  void cancelBackgroundWork() { background_.cancel(); }

  ErrnoOr<std::string> getxattr(Ino ino, std::string_view name);
  // The names of the attributes `ino` has, each ended by a NUL byte.
  ErrnoOr<std::string> listxattr(Ino ino);
  ErrnoOr<void> setxattr(Ino ino, std::string_view name, std::string_view value);
  // Removing user.fileprovider.pinned unpins.
  ErrnoOr<void> removexattr(Ino ino, std::string_view name);

 private:
  struct Handle;
  struct DirHandle;
  using Lock = std::unique_lock<std::mutex>;

  struct stat attrOf(const Node& node) const;
  int ensureListingLocked(Lock& lock, Ino dir, const fp::Progress* cancel = nullptr);
  // The listing of `items` in `dir`, avoiding the names of its new local files.
  std::unique_ptr<Listing> listingFor(const Node& dir, const std::vector<ItemState>& items) const;
  // Applies `edit` to the folder's listing, if any, and records it for a
  // listing being read (Node::editsWhileRead); bumps the listing's serial.
  void editListingLocked(Node& dir, const std::function<void(Listing&)>& edit);
  void installListingLocked(Node& dir, std::unique_ptr<Listing> listing);
  // After the extension deleted `identifier` (shown as `name` in `parent`):
  // drops it from the parent's listing and marks its node unlinked. Returns
  // the node, if the item had one.
  Node* forgetRemovedLocked(Ino parent, const std::string& name,
                            const fp::ItemIdentifier& identifier);
  // What a fetch gave: the copy in the cache, or the extension's file itself,
  // open, when the cache cannot hold it.
  struct Fetched {
    std::filesystem::path cached;
    std::shared_ptr<fp::ScopedFD> direct;
  };
  // The contents of `ino`'s item, open for reading: the cached copy, fetched
  // when missing.
  ErrnoOr<fp::ScopedFD> contentsOf(Ino ino, const fp::Progress* cancel);
  ErrnoOr<Fetched> fetchContents(Ino ino, const ItemState& item, const fp::Progress* cancel);
  // The cache's keep predicate: keepsCopyOf() over one look at the mount's
  // state, taken at its first call.
  KeepPredicate keepPredicate();
  // The contents of `item` (shown as `ino`, 0 when it has no node), as
  // contentsOf().
  ErrnoOr<fp::ScopedFD> contentsOfItem(Ino ino, const ItemState& item, const fp::Progress* cancel);
  // The identifiers of `n` and of the folders above it, up to the root.
  std::vector<fp::ItemIdentifier> chainLocked(const Node& n);
  // "/Projects/plan.txt": the path of `n` in the mount.
  std::string pathLocked(const Node& n);
  bool anyPinned(const std::vector<fp::ItemIdentifier>& chain) const;
  // isPinned(), or pinned through the folders above its node (`ino`, else the
  // node of `identifier`), which the walk of the pinned trees may not have
  // reached yet. Takes mu_: not to be called with it held.
  bool isPinnedItem(Ino ino, const fp::ItemIdentifier& identifier);
  bool waitsInQueue(const fp::ItemIdentifier& identifier) const;
  ErrnoOr<std::shared_ptr<WorkingCopy>> newWorkingCopy(Ino ino, bool empty,
                                                       const fp::Progress* cancel);
  // Whether a new file `name` in `dir` would be a namesake of a child (same name
  // apart from letter case or canonical equivalence): the service would show it
  // under a marked name, so creating it is refused with EEXIST.
  bool hasNamesakeLocked(Node& dir, const std::string& name);
  // The namesake key of the POSIX name of a new local file (remembered).
  const std::string& localNamesakeKeyLocked(const std::string& name);
  // Stages the node's working copy in the queue, unless that state is staged
  // already, and sends it; with `handOff`, leaves the sending to the
  // write-back thread. 0, or the errno value the close reports. `cancel` ends
  // the wait for the host (see finishUpload()).
  int uploadNode(Ino ino, bool handOff = false, const fp::Progress* cancel = nullptr);
  // Sends `staged`, a state of `work` (held with its uploadMutex), and takes
  // the outcome into the node. A sending stopped by `cancel` leaves the state
  // waiting in the queue, as one the host did not answer.
  int finishUpload(Ino ino, WorkingCopy& work, const StagedState& staged,
                   const fp::Progress* cancel = nullptr);
  // The write-back thread's part: sends, parks or drops what a close of `ino`
  // left to it, then lets go of the working copy if nobody holds it.
  void sendHanded(Ino ino);
  void releaseWorkIfIdle(Ino ino, bool sendFailed);
  ItemState reread(const ItemState& returned, ItemState expected);
  // What a creation made: `returned` when it describes the item as asked for
  // (`expected`: parent, name, kind), else reread().
  ItemState createdItem(const ItemState& returned, ItemState expected);
  int renameAttempt(Ino parent, const std::string& name, Ino newParent, const std::string& newName,
                    unsigned flags, bool mayUploadFirst, const fp::Progress* cancel);
  void applyMoveLocked(Ino parent, const std::string& name, Ino newParent,
                       const std::string& newName, const ItemState& item);
  void refresh();
  struct Sent {
    std::optional<ItemState> item;  // sent: the item as it is now
    bool queued = false;            // not sent, waits in the queue
    bool blocked = false;           // and waits for the folder it goes to to be made
    int err = 0;                    // not sent: why
  };
  // Sends one queued change; forgets it when sent, moves it to unsent/ when it
  // is refused for good.
  Sent sendChange(const QueuedChange& change, ItemState expected,
                  const fp::Progress* cancel = nullptr);
  Sent sendEdit(const QueuedChange& edit, const fp::Progress* cancel);
  // The edit `kind` of `item` (its place and name after the edit).
  static QueuedChange editOf(ChangeKind kind, const ItemState& item);
  // Puts `edit` durably into the queue, to be sent in order by sendQueue();
  // 0, or the errno value the program is told (logged).
  int journalEdit(const QueuedChange& edit, const std::string& what);
  // The new file `ino` was renamed while its creation waits in the queue: the
  // entry is put again under its new name (and after what was queued since).
  void requeueLocked(Lock& lock, Ino ino);
  // A folder made here (`local`, its local identifier) was made on the service
  // as `fresh`: its node, and the nodes in it, name the item from now on.
  void tookFolder(const fp::ItemIdentifier& local, const ItemState& fresh);
  // Makes the folder `name` in `parent` here, to be made on the service by
  // sendQueue(): the host is away, or what it waits for is queued.
  ErrnoOr<EntryReply> mkdirLocal(Ino parent, const std::string& name, ItemState expected,
                                 const std::string& what);
  // Drops the state of the removed new file `work` from the queue (or has
  // sendQueue() remove what it creates from it, when it sends it now).
  void dropQueuedLocked(WorkingCopy& work);
  // Whether a move or removal of `identifier` must go into the queue rather
  // than to the service at once: edits wait there (they are sent in order),
  // or a state of the item does.
  bool mustQueueEditOf(const fp::ItemIdentifier& identifier) const;
  // Removes `item` on the service; with the host away, or when the removal
  // must wait (mustQueueEditOf()), keeps it in the queue. 0 or an errno value.
  int removeOrQueue(std::string_view op, const ItemState& item, const std::string& what,
                    const fp::Progress* cancel);
  // Takes what the queue's sending of `change` gave into the file whose state
  // it was, when the mount still shows it from its working copy.
  void tookQueued(const QueuedChange& change, const Sent& sent);
  // Takes `fresh`, what the service made of `staged`, into the node `ino`
  // (its working copy `work`): binds a new file, sends (or queues) a rename
  // or removal made meanwhile, and shows it.
  int tookSent(Ino ino, WorkingCopy& work, const StagedState& staged, ItemState fresh);
  static bool isTransient(int err);
  // 0 when `folder` has no children on the service, proven by a listing read
  // from a readable index; ENOTEMPTY, or EIO when it cannot be proven.
  // `waitForSender`: false when called while the queue or the write-back
  // thread sends (it must not wait for itself).
  int provenEmpty(std::string_view op, const ItemState& folder, const std::string& what,
                  const fp::Progress* cancel, bool waitForSender = true);
  int refusedForProof(std::string_view op, const std::string& what, const fp::Error& error);
  // Keeps on disk that `work` holds changes not closed yet (kept after a crash),
  // and drops that note once those changes are in the upload queue.
  void noteChanged(WorkingCopy& work, const std::string& name);
  // The upload queue's key for the file `n` (see QueuedChange::key()).
  static std::string keyOf(const Node& n);
  void clearNote(WorkingCopy& work, std::uint64_t changesQueued);
  // The one way a failure is logged ("OP failed for ITEM: WHY", subsystem
  // "fpctl", category "Mount"); returns the errno value the caller is told:
  // the one for `error`, or `err`.
  int logFailure(std::string_view op, const std::string& item, const fp::Error& error);
  // Logs the refusal of a name (a creation or a move) and returns its errno
  // value: EEXIST when the name is taken on the service (name_refusal.h), and
  // then the changes are checked for at once, so that the item holding the
  // name shows.
  int nameRefused(std::string_view op, const std::string& what, const NameRefusal& refusal);
  int logFailure(std::string_view op, const std::string& item, int err, std::string_view why);

  ProviderClient provider_;
  ContentCache& cache_;
  KeptDates dates_;
  KernelNotifier& notifier_;
  const uid_t uid_;
  const gid_t gid_;
  const fp::Log log_{"fpctl", "Mount"};

  std::mutex mu_;  // guards everything below
  InodeTable inodes_;
  std::unordered_map<std::uint64_t, std::shared_ptr<Handle>> handles_;
  std::unordered_map<std::uint64_t, std::shared_ptr<DirHandle>> dirHandles_;
  std::uint64_t nextFh_ = 1;
  std::unordered_map<std::string, std::shared_future<ErrnoOr<Fetched>>> fetches_;
  std::unordered_map<std::string, std::string> localKeys_;  // localNamesakeKeyLocked()
  CreationsInFlight creating_;  // new files being created on the service now

  std::optional<std::string> sendingKey_;  // guarded by mu_: the file the queue sends now
  // Guarded by mu_: queue entries of new files removed while sendQueue() sent
  // them; what they created is removed again.
  std::set<std::uint64_t> droppedWhileSent_;
  OwnCreations created_;          // thread-safe; never called back
  std::condition_variable sent_;  // with mu_: sendingKey_ changed
  std::mutex queueMu_;            // one sending of the queue at a time; taken before mu_
  std::chrono::steady_clock::time_point nextQueueAttempt_{};
  std::chrono::milliseconds queueBackoff_{0};

  std::mutex anchorMu_;  // one change check at a time; taken before mu_, never inside it
  std::optional<fp::SyncAnchor> anchor_;

  PinSet pins_;                          // thread-safe; never called back
  std::mutex pinWalkMu_;                 // one keepPinnedLocal() at a time; taken before mu_
  std::atomic<bool> pinsChanged_{true};  // the set or the index changed since the last walk
  std::chrono::steady_clock::time_point nextPinRetry_{};  // guarded by pinWalkMu_
  bool pinRetry_ = false;                                 // guarded by pinWalkMu_
  mutable std::mutex coveredMu_;                          // guards covered_ alone
  std::set<fp::ItemIdentifier> covered_;                  // items in the trees of pinned folders
  fp::Progress background_{1};                            // cancelled when the mount ends
  // Write-back: until then (steady clock), closed states are kept in the
  // queue without a try, since the host application did not answer.
  std::atomic<std::chrono::steady_clock::rep> writeBackPausedUntil_{0};
  // Until then (steady clock), sendQueue() tries nothing: a close gave up its
  // wait for the host (a signal, or the end of the mount).
  std::atomic<std::chrono::steady_clock::rep> interruptedUntil_{0};
  std::atomic<bool> writeBack_{false};  // closes leave the sending to sender_
  // Set before the mount serves; last, so that it stops before anything it uses goes.
  std::unique_ptr<BackgroundSender> sender_;
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_MOUNT_FS_H_
