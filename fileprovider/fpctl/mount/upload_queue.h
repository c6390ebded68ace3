// The mount's upload queue: the closed states of files that are to reach the
// service, kept on disk in the cache folder (queue/) until they have been sent,
// so that neither a stopped host application nor the end of fpctl (kill -9
// included) loses them. A later mount with the same cache folder sends them.
//
// An entry is a copy of the file's contents (<seq>.data) and a record of where
// it goes (<seq>.json) with the copy's size and checksum; the record is written
// last and is what makes the entry exist. Entries are sent in the order they
// were put. A newer entry for the same file replaces the older ones once it is
// durable or sent: only the last closed state of a file is sent.
//
// An entry is staged (written, not synced) before its first sending; it is
// made durable only when that sending does not reach the service. A staged
// entry survives the end of fpctl (kill -9 included), since its bytes are in
// the kernel's page cache; after a crash of the whole system its copy may be
// incomplete, which the checksum reveals: such a copy is kept in unsent/ and
// never sent.
//
// An entry the queue cannot read when it is opened (a record left empty or
// damaged by a crash, a record whose contents are missing, contents without a
// record) is never sent and never deleted: what it holds moves to unsent/
// with the reason, and the fault is logged.
//
// An entry that its file's own close (or the write-back thread) is sending, or
// is about to send, is held (tryHold(), stage()) until that sending ends (letGo()): it is
// never replaced by a newer state of its file meanwhile, and sendQueue() of the
// mount leaves it alone, so one state is never sent twice at once nor removed
// under its sending.
//
// A change the service refused for a reason retrying cannot cure (invalid name,
// locked item, namesake) leaves the queue for unsent/, with the reason next to
// it (<name>.reason); `fpctl status` lists both folders.
//
// Besides the states of files, the queue keeps the moves and removals of items
// the service has that could not be sent when they were made (the host did
// not answer): edits, a record without contents (putEdit()). They are sent in
// the same order as the states, and what the folder shows applies them on top
// of the service's listings until then (pending_edits.h). Every move is sent,
// in order: a change queued between two moves of an item may rely on the name
// the first one frees or takes. A move or removal replaces the item's move
// just before it in the queue, and a removal replaces the item's states: the
// service needs nothing of the contents of an item that goes.
#ifndef FPCTL_MOUNT_UPLOAD_QUEUE_H_
#define FPCTL_MOUNT_UPLOAD_QUEUE_H_

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/fpctl/mount/queued_change.h"
#include "fileprovider/fpctl/mount/spare_files.h"
#include "fileprovider/item.h"

namespace fpctl::mount {

class UploadQueue {
 public:
  // Opens (creating when missing) `cacheRoot`/queue and reads the entries an
  // earlier run left; unreadable ones are set aside in unsent/ (see the top of
  // this file). With `readOnly` nothing is
  // created or dropped (a running mount may be writing an entry), and the
  // queue must not be changed. Entries' files are taken from and given back
  // to `spares` when there are (see spare_files.h); it must outlive the queue.
  [[nodiscard]] static ErrnoOr<std::unique_ptr<UploadQueue>> open(
      const std::filesystem::path& cacheRoot, bool readOnly = false, SpareFiles* spares = nullptr);

  // Copies the whole file at `contents` into a new entry for `change` and makes
  // it durable (data, record and folder synced) before returning; then drops
  // the older entries of the same file. Fails (ENOSPC, EIO, ...) without a
  // trace when the entry could not be made.
  [[nodiscard]] ErrnoOr<QueuedChange> put(QueuedChange change,
                                          const std::filesystem::path& contents);
  // Like put(), without syncing anything and without dropping older entries:
  // for a state that is sent at once. Once that sending has not reached the
  // service, makeDurable() must follow before the state is reported as kept.
  // With `held`, the entry is held (see tryHold()) from the moment it exists.
  [[nodiscard]] ErrnoOr<QueuedChange> stage(QueuedChange change,
                                            const std::filesystem::path& contents,
                                            bool held = false);
  // Holds the entry `seq` for a sending, when it is queued and nobody holds
  // it; false otherwise. A held entry is not dropped by a newer state of its
  // file. letGo() ends the hold (of tryHold() or of stage()).
  [[nodiscard]] bool tryHold(std::uint64_t seq);
  void letGo(std::uint64_t seq);
  // Appends the edit `change` (kMove or kRemove of an item the service has)
  // and makes it durable before returning; then drops what it replaces (see
  // the top of this file) unless it is being sent. Fails (ENOSPC, EIO, ...)
  // without a trace when the entry could not be made.
  [[nodiscard]] ErrnoOr<QueuedChange> putEdit(QueuedChange change);
  // Syncs the entry `seq` (data, record, folder) and drops the older entries
  // of the same file. Fails with errno (the entry then stays, possibly not
  // durable). Does nothing for an entry no longer queued.
  [[nodiscard]] ErrnoOr<void> makeDurable(std::uint64_t seq);
  // The entries waiting, oldest first.
  [[nodiscard]] std::vector<QueuedChange> pending() const;
  // The edits waiting, oldest first.
  [[nodiscard]] std::vector<QueuedChange> pendingEdits() const;
  [[nodiscard]] bool hasEdits() const;
  // Whether a move or removal of the item `identifier` waits.
  [[nodiscard]] bool hasEditOf(const fp::ItemIdentifier& identifier) const;
  // Whether an edit waits, or an entry of the item `identifier`.
  [[nodiscard]] bool hasEditsOrEntryOf(const fp::ItemIdentifier& identifier) const;
  // The entries an earlier run left that still wait, oldest first.
  [[nodiscard]] std::vector<QueuedChange> carriedOver() const;
  // Takes the changes `fpctl retry` handed over in `cacheRoot`/retried (see
  // retried_changes.h) into the queue, in the order they were handed over, as
  // new entries after every other (their contents moved, their records
  // written durably), and counts them among carriedOver(). A record whose
  // contents are not there yet is left for the next time. Returns how many
  // were taken; open() takes them too, unless read-only.
  std::size_t adoptNewRecords();
  // The folder made here as `local` is the item `identifier` on the service
  // now: the entries waiting that name it (their folder, or what they move)
  // are rewritten, durably, to name the item. Fails with the errno of the
  // first record that could not be rewritten.
  [[nodiscard]] ErrnoOr<void> bind(const fp::ItemIdentifier& local,
                                   const fp::ItemIdentifier& identifier);
  // A state of the item `fresh` reached the service: the moves of it that
  // wait show it with these attributes (versions, size, dates) from now on,
  // at the place each of them gives it.
  void refresh(const ItemState& fresh);
  // What `identifier` names: the item a local identifier was bound to in this
  // run, else `identifier` itself.
  [[nodiscard]] fp::ItemIdentifier resolve(const fp::ItemIdentifier& identifier) const;
  // The entry `seq` as it is now; none once it is gone.
  [[nodiscard]] std::optional<QueuedChange> entry(std::uint64_t seq) const;
  // Rewrites the entry `seq` (a kMakeFolder not being sent) in place, durably,
  // with a new folder and name. false when it is held or gone, or when a later
  // entry moves a folder into it or into a folder made in it (it must then be
  // moved after that).
  [[nodiscard]] bool retarget(std::uint64_t seq, const fp::ItemIdentifier& parent,
                              const std::string& filename);
  // The creation `seq` of a new file (not being sent) becomes, durably, a
  // change of `identifier`, at `version`: an older state's creation made that
  // item for the file. The entry as it is now; none when it is held or gone.
  [[nodiscard]] std::optional<QueuedChange> adopt(std::uint64_t seq,
                                                  const fp::ItemIdentifier& identifier,
                                                  const fp::ItemVersion& version);
  [[nodiscard]] bool contains(std::uint64_t seq) const;
  // The entries that create the new file whose token is `local`, oldest first.
  [[nodiscard]] std::vector<std::uint64_t> creationsOf(const std::string& local) const;
  // The entry was sent: forget it, and the older entries of the same file,
  // which its state replaces.
  void remove(std::uint64_t seq);
  // The entry will not be sent (its file is gone, or its state went into a
  // new entry): forget it alone and delete its files. Older entries of its
  // key stay: a new file's key is its folder and name, which another new file
  // may have taken since.
  void erase(std::uint64_t seq);
  // The entry was refused for good: move it to unsent/ (its contents and its
  // record, with `shownPath`, the path the file had in the mount, and
  // `reason` beside them; unsent_folder.h). Returns where it went (empty when
  // it could not be moved; it then stays in the queue).
  std::filesystem::path refuse(std::uint64_t seq, const std::string& reason,
                               const std::string& shownPath = {});

 private:
  UploadQueue(std::filesystem::path root, SpareFiles* spares)
      : root_(std::move(root)), spares_(spares) {}
  std::filesystem::path dir() const { return root_ / "queue"; }
  // An entry's file, created empty, and removed.
  fp::ScopedFD createFile(const std::filesystem::path& path, int flags);
  void removeFile(const std::filesystem::path& path);
  // Writes the record of `change`, an entry that is queued, durably again;
  // removes it once more when the entry was sent or dropped meanwhile.
  // Fails with errno.
  [[nodiscard]] ErrnoOr<void> rewriteRecord(const QueuedChange& change);
  // Forgets the entries of `change`'s file older than it.
  void dropOlder(const QueuedChange& change);

  // What open() gathers while it reads the entries an earlier run left.
  struct Leftovers {
    bool readOnly = false;
    std::vector<std::filesystem::path> strays;  // removed once everything is read
    std::set<std::uint64_t> held;  // neither read nor set aside: left where they are, unsent
  };
  // Whether `path` is not a regular file of this user (logged unless
  // `readOnly`): this user's mount did not put it, so it is neither sent nor
  // removed.
  bool isForeign(const std::filesystem::path& path, bool readOnly) const;
  // Moves `file` of the unreadable entry `entry` to unsent/ as `name`, with
  // `why` beside it, and logs it. false when `readOnly` or when it could not
  // be moved (then logged as left in the queue).
  bool setAside(const std::string& entry, const std::filesystem::path& file,
                const std::string& name, const std::string& why, bool readOnly) const;
  // Takes the entry whose record is `record` into the queue, or sets it
  // aside (a damaged record, missing or incomplete contents).
  void readRecord(const std::filesystem::path& record, Leftovers& left);
  // Checks the contents of the state `change` read from `json`, and fills in
  // its file, size and checksum. false when they are missing, foreign or cut
  // short: the entry is then set aside or held, and not queued. Throws when
  // `json` lacks what it needs.
  bool readState(QueuedChange& change, const nlohmann::json& json,
                 const std::filesystem::path& record, Leftovers& left);
  // The record `record` cannot be parsed: sets aside its contents (or the
  // record itself when they are missing), unless `left` is read-only.
  void setAsideDamaged(const std::filesystem::path& record, Leftovers& left);
  // Sets aside the contents that have no record and were not read.
  void setAsideOrphans(const Leftovers& left);

  const std::filesystem::path root_;
  SpareFiles* const spares_;  // or none
  mutable std::mutex mu_;
  std::map<std::uint64_t, QueuedChange> entries_;
  std::set<std::uint64_t> held_;
  std::set<std::uint64_t> carried_;  // read by open(): left by an earlier run
  std::map<fp::ItemIdentifier, fp::ItemIdentifier> bound_;  // bind()
  std::uint64_t nextSeq_ = 1;
};

// Syncs the file or folder at `path` (in the cache folder). Fails with errno.
[[nodiscard]] ErrnoOr<void> syncPath(const std::filesystem::path& path, bool folder);

// Writes `text` to `path` through a temporary file beside it (mode 0600) that
// is synced and renamed over `path`, then syncs the folder: a crash leaves the
// old contents or the new, never a mix. Fails with errno.
[[nodiscard]] ErrnoOr<void> writeDurably(const std::filesystem::path& path,
                                         const std::string& text);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_UPLOAD_QUEUE_H_
