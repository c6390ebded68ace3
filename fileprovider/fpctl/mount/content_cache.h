// The mount's folder on disk: fetched contents, kept once per item and content
// version; working copies of files being written; the upload queue (queue/);
// and copies of files whose upload was refused for good (unsent/), so that no
// written data is thrown away.
//
// The bound
//   The fetched copies (contents/) are held to a CacheBound: they may take at
//   most `maxBytes` together, and a copy unused for longer than `maxAge` goes.
//   What goes first is the least recently used copy (find() and markUsed() count
//   as a use; the time is also set as the file's access time, so a new run over
//   the same folder starts with the order the last one left). A copy is only
//   dropped when the caller's `keep` predicate says it may go: the mount keeps
//   copies that are open, being opened, written, waiting in the upload queue or
//   pinned, so the bound can be exceeded by exactly those. Working copies,
//   queue/ and unsent/ lie outside the bound and are never dropped: they hold
//   written data that exists nowhere else.
#ifndef FPCTL_MOUNT_CONTENT_CACHE_H_
#define FPCTL_MOUNT_CONTENT_CACHE_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fileprovider/fpctl/mount/cache_bound.h"
#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/fpctl/mount/fetched_copy.h"
#include "fileprovider/fpctl/mount/spare_files.h"
#include "fileprovider/fpctl/mount/upload_queue.h"
#include "fileprovider/scoped_fd.h"

namespace fpctl::mount {

// A new, empty file opened for reading and writing.
struct WorkFile {
  std::filesystem::path path;
  fp::ScopedFD fd;
};

// Whether the cached copy of an item must stay (true) or may be dropped.
// Called without the cache's lock held.
using KeepPredicate = std::function<bool(const std::string& identifier)>;

// What the fetched copies take, against their bound.
struct CacheUsage {
  std::int64_t bytes = 0;   // the copies in contents/ together
  std::int64_t copies = 0;  // how many there are
  CacheBound bound;
};

class ContentCache {
 public:
  // Uses `root` (created when missing) with the folders contents/, work/,
  // queue/ and unsent/ in it. Working copies an earlier run left behind that
  // had been changed (it was killed while a file was open for writing) are
  // moved to unsent/ with the reason; the others are removed. The copies in
  // contents/ are counted against `bound`, ordered by their access times. With
  // `removeOnClose`, `root` is removed again when the cache is destroyed,
  // unless the queue or unsent/ still hold something.
  static ErrnoOr<std::unique_ptr<ContentCache>> open(const std::filesystem::path& root,
                                                     bool removeOnClose, CacheBound bound = {});
  ~ContentCache();
  ContentCache(const ContentCache&) = delete;
  ContentCache& operator=(const ContentCache&) = delete;

  const std::filesystem::path& root() const { return root_; }
  UploadQueue& queue() { return *queue_; }

  // Notes on disk that the working copy at `workPath` (of the file `name`) has
  // been changed, so that a later run keeps it if this one dies. Returns the
  // note's path, to be removed with clearChanged() or with the working copy.
  std::filesystem::path markChanged(const std::filesystem::path& workPath, const std::string& name);
  void clearChanged(const std::filesystem::path& note);

  // The cached contents of `identifier` at `contentVersion`, if present; finding
  // it counts as a use (markUsed()).
  std::optional<std::filesystem::path> find(const std::string& identifier,
                                            const std::string& contentVersion);
  // Whether the contents of `identifier` at `contentVersion` are cached. Not a
  // use: asking for an item's state does not keep its copy.
  [[nodiscard]] bool has(const std::string& identifier, const std::string& contentVersion) const;
  // Copies `source` into the cache as the contents of `identifier` at
  // `contentVersion`, dropping older versions of the same item.
  // The source is copied with copyFetchedInto(), at most `limit` bytes. Room is
  // made first by dropping the least recently used copies that `keep` lets go
  // (not those of `identifier`); when the bound cannot hold the copy even so,
  // nothing is dropped or copied and the result is ENOSPC, as it is when the
  // disk fills up: the caller reads `source` directly instead. A `pinned`
  // item's copy is stored even when the bound cannot hold it (after dropping
  // what may go): pinned files stay local, over the bound if need be.
  ErrnoOr<std::filesystem::path> store(const std::string& identifier,
                                       const std::string& contentVersion,
                                       const std::filesystem::path& source, std::int64_t limit,
                                       const KeepPredicate& keep = {}, bool pinned = false);
  // Moves a working copy into the cache as the contents at `contentVersion`.
  // It counts against the bound like a fetched copy (see evictToBound()).
  // has() answers yes from expect() on, so that a file whose working copy is
  // on its way here never shows as not cached; adopt() ends that.
  void expect(const std::string& identifier, const std::string& contentVersion);
  void adopt(const std::string& identifier, const std::string& contentVersion,
             const std::filesystem::path& workPath);

  // The copies of `identifier` were used now: they go after every copy used
  // longer ago.
  void markUsed(const std::string& identifier);
  // Drops copies until the bound holds: every copy unused for longer than
  // `maxAge`, then the least recently used ones while the copies take more than
  // `maxBytes`; a copy is dropped only when `keep` (if given) returns false for
  // its item. A reader that has a dropped copy open goes on reading it. Returns
  // the bytes dropped.
  std::int64_t evictToBound(const KeepPredicate& keep);
  // Drops every cached copy of `identifier`, whoever uses it (an open reader
  // keeps what it has open). Returns the bytes dropped (0: none was cached).
  std::int64_t drop(const std::string& identifier);
  [[nodiscard]] CacheUsage usage() const;
  // Whether the copies take more than the bound allows.
  [[nodiscard]] bool overBound() const;

  ErrnoOr<WorkFile> newWorkFile();
  // Removes a working copy nobody needs any more; its inode is kept as a spare
  // (spare_files.h), since creating a file after many were removed is slow.
  void dropWorkFile(const std::filesystem::path& path);
  // Moves a file that could not be uploaded to unsent/, under a name made from
  // `name`, with `reason` beside it; returns where it went (empty when even
  // that failed).
  std::filesystem::path preserve(const std::filesystem::path& workPath, const std::string& name,
                                 const std::string& reason);

 private:
  using Clock = std::chrono::system_clock;
  // One file in contents/.
  struct Copy {
    std::string identifier;  // empty: a file whose name is not one of ours
    std::int64_t bytes = 0;
    Clock::time_point used;
  };
  // A copy that may have to go, as it was when it was picked.
  struct Candidate {
    std::filesystem::path path;
    Copy copy;
  };

  ContentCache(std::filesystem::path root, bool removeOnClose, std::unique_ptr<SpareFiles> spares,
               std::unique_ptr<UploadQueue> queue, CacheBound bound)
      : root_(std::move(root)),
        removeOnClose_(removeOnClose),
        spares_(std::move(spares)),
        workSpares_(std::make_unique<SpareFiles>(root_ / "spare" / "work", kWorkSpares,
                                                 SpareFiles::Contents::kEmpty)),
        workPrefix_(uniquePrefix()),
        queue_(std::move(queue)),
        bound_(bound) {}
  // Working copies kept empty for reuse (see spare_files.h).
  static constexpr std::size_t kWorkSpares = 1024;
  static std::string uniquePrefix();
  std::filesystem::path pathFor(const std::string& identifier, const std::string& version) const;
  // Counts the copies an earlier run left in contents/.
  void scan();
  // `path` became the cached copy of `identifier` (of `bytes`, used now); the
  // item's other copies are dropped.
  void remember(const std::string& identifier, const std::filesystem::path& path,
                std::int64_t bytes);
  struct Picked {
    std::vector<Candidate> drop;  // least recently used first
    bool fits = false;            // dropping them makes the bound hold
  };
  // The copies to drop so that the copies and `extra` more bytes fit into the
  // bound, and (with `byAge`) none is older than allowed; the copies of `spare`
  // are not considered, and `keep` is asked without the lock. When they cannot
  // be made to fit, every copy that may go.
  Picked victims(std::int64_t extra, const KeepPredicate& keep, const std::string& spare,
                 bool byAge);
  // Drops the candidates that are still as they were picked; the bytes dropped.
  std::int64_t dropCandidates(const std::vector<Candidate>& candidates);
  void forgetLocked(const std::filesystem::path& path);

  std::filesystem::path root_;
  bool removeOnClose_;
  std::unique_ptr<SpareFiles> spares_;      // notes' and queue entries' files; outlives queue_
  std::unique_ptr<SpareFiles> workSpares_;  // empty files for working copies
  const std::string workPrefix_;            // of working copies' names: unique to this run
  std::atomic<std::uint64_t> nextWork_{0};  // the number in the next working copy's name
  std::unique_ptr<UploadQueue> queue_;
  const CacheBound bound_;
  mutable std::mutex mu_;                         // guards what follows
  std::map<std::filesystem::path, Copy> copies_;  // every file in contents/
  // identifier -> its files in copies_: finding an item's copies walks no
  // other item's, so storing a copy costs the same in a cache of any size.
  std::map<std::string, std::set<std::filesystem::path>> byItem_;
  std::int64_t bytes_ = 0;                    // of copies_ together
  std::int64_t reserved_ = 0;                 // for copies being stored
  std::set<std::filesystem::path> arriving_;  // expect()
};

// Copies all of the file at `source` to `destination` (an open descriptor,
// written from offset 0). Fails with errno.
[[nodiscard]] ErrnoOr<void> copyFileInto(const std::filesystem::path& source, int destination);
// The same from the open file `source`, read from offset 0 with pread.
[[nodiscard]] ErrnoOr<void> copyDescriptorInto(int source, int destination);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_CONTENT_CACHE_H_
