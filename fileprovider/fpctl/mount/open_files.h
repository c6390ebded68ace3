// The open files: handles, and the working copies of files being written.
//
// Opening a file for reading serves it from the fetched contents (fetcher.h).
// Opening it for writing makes a working copy (empty when truncated, else the
// current contents); a new file lives only in its working copy. A new name
// that is a namesake of a child the folder lists (namesake_key.h) is refused
// with EEXIST by create(). A write that finds the cache disk full fails with
// ENOSPC, and the state of that working copy is then never sent nor kept: its
// last release drops it, so the disk is not held full. What a working copy
// holds is sent by the sender (sender.h).
//
// Changes of mode, owner and times are accepted and not sent: the service
// decides them. Only a size change (setattr()) is acted on; a date or mode a
// program sets is kept for the item's content version and shown
// (kept_attributes.h); the owner stays the mount's user.
#ifndef FPCTL_MOUNT_OPEN_FILES_H_
#define FPCTL_MOUNT_OPEN_FILES_H_

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/fpctl/mount/inode_table.h"
#include "fileprovider/fpctl/mount/item_state.h"
#include "fileprovider/fpctl/mount/mount_state.h"
#include "fileprovider/fpctl/mount/replies.h"
#include "fileprovider/fpctl/mount/upload_queue.h"
#include "fileprovider/progress.h"
#include "fileprovider/scoped_fd.h"

namespace fpctl::mount {

class NodeTree;
class Fetcher;
class Sender;

// A closed state of a working copy, staged in the upload queue (sender.h).
struct StagedState {
  QueuedChange change;  // as the queue holds it
  ItemState item;       // the node's item when it was staged
  std::string name;     // the node's name then
  bool local = false;   // a new file, not on the service then
  std::uint64_t changes = 0;
};

// A file's local contents while it is being written. The descriptor stays open as
// long as a handle or the node holds the copy, so moving the file never cuts off
// a reader.
struct WorkingCopy {
  std::filesystem::path path;
  fp::ScopedFD fd;
  std::mutex uploadMutex;  // one upload of this copy at a time
  // Write-back: a closed state the write-back thread is to send (guarded by
  // uploadMutex), and whether there is one (read without it).
  std::optional<StagedState> handed;
  std::atomic<bool> handing{false};
  std::atomic<std::uint64_t> handedChanges{0};  // `changes` of that state
  std::atomic<std::uint64_t> changes{0};        // bumped by every write and truncation
  std::atomic<std::uint64_t> uploaded{0};       // `changes` as of the last upload that succeeded
  std::atomic<bool> queuedOnly{false};          // its last state went to the queue, not the service
  std::atomic<bool> waiting{false};             // and waits there to be sent (not refused)
  // The close left that state waiting behind moves and removals, not for an
  // absent host.
  std::atomic<bool> behindEdits{false};
  std::atomic<int> refusedWith{0};  // the queue's sending of that state was refused: why
  // Guarded by the tree lock: the queue's key of that state (see
  // sendQueue()), and its entry.
  std::string queuedKey;
  // A new file's own token in the queue's keys (QueuedChange::local).
  std::string localToken;
  std::uint64_t queuedSeq = 0;
  std::mutex noteMu;           // guards the note
  std::filesystem::path note;  // the cache's note that this copy holds changes nobody closed yet
  // A date a program set while the copy was open (guarded by the tree lock),
  // valid for the state with `keptDateChanges` changes.
  std::optional<timespec> keptDate;
  std::uint64_t keptDateChanges = 0;
  // A mode a program set while the copy lives (guarded by the tree lock):
  // shown from the copy, and kept for the version its upload makes.
  std::optional<mode_t> keptMode;
  // A write found the cache disk full: the copy holds part of what the
  // program wrote, and the program was told. It is never sent nor kept.
  std::atomic<bool> cut{false};
  bool dirty() const { return changes.load() != uploaded.load(); }
  ~WorkingCopy() {
    std::error_code ec;
    if (!note.empty()) std::filesystem::remove(note, ec);
  }
};

// An open file.
struct Handle {
  Ino ino = 0;
  bool writable = false;
  std::vector<pid_t> writers;  // processes that wrote through it since its last send
  fp::ScopedFD readFd;         // read-only handles on fetched contents
  std::shared_ptr<WorkingCopy> work;
};

class OpenFiles {
 public:
  OpenFiles(MountState& state, NodeTree& tree, Fetcher& fetcher, Sender& sending)
      : s_(state), tree_(tree), fetcher_(fetcher), sending_(sending) {}

  // The operations of MountFs of the same names.
  ErrnoOr<OpenReply> open(Ino ino, int flags, const fp::Progress* cancel);
  ErrnoOr<std::pair<EntryReply, OpenReply>> create(Ino parent, std::string_view name, int flags,
                                                   const fp::Progress* cancel);
  ErrnoOr<ReadSource> readSource(std::uint64_t fh);
  ErrnoOr<std::size_t> read(std::uint64_t fh, char* buf, std::size_t size, off_t offset);
  ErrnoOr<std::size_t> write(std::uint64_t fh, const char* data, std::size_t size, off_t offset,
                             pid_t writer);
  ErrnoOr<struct stat> setattr(Ino ino, std::optional<off_t> size, std::optional<std::uint64_t> fh,
                               const fp::Progress* cancel);
  ErrnoOr<void> keepDate(Ino ino, timespec date);
  // A program set the mode (chmod): its permission bits are kept as dates are
  // (kept_attributes.h), never sent.
  ErrnoOr<void> keepMode(Ino ino, mode_t mode);

  // Keeps on disk that `work` holds changes not closed yet (kept after a crash),
  // and drops that note once those changes are in the upload queue.
  void noteChanged(WorkingCopy& work, const std::string& name);
  void clearNote(WorkingCopy& work, std::uint64_t changesQueued);

 private:
  using Lock = MountState::Lock;

  ErrnoOr<std::shared_ptr<WorkingCopy>> newWorkingCopy(Ino ino, bool empty,
                                                       const fp::Progress* cancel);

  MountState& s_;
  NodeTree& tree_;
  Fetcher& fetcher_;
  Sender& sending_;
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_OPEN_FILES_H_
