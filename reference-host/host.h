// The host: one account served from one store. It keeps the account's index in
// the app-group container in line with the store and answers the five bridge
// operations ("fetch", "thumbnail", "create", "modify", "delete"). Every change
// reaches the store and the index before the reply is built.
//
// The catalogue follows the host's own changes item by item and the changes
// others make in the store through refresh() and moved() (which a file-system
// watcher calls); rescan() compares the whole store as a safety net. A request
// therefore costs the same whatever the size of the store.
//
// Thread safety: all methods may be called from any thread. One mutex guards
// the catalogue and the index writer; it is held for look-ups, for single
// lstat() calls of the items a change touched and for index writes, never for
// changes of the store, copies, or scans of more than one item, so that
// requests do not queue behind each other's file-system work.
#ifndef PELLORA_REFHOST_HOST_H_
#define PELLORA_REFHOST_HOST_H_

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "fileprovider/error.h"
#include "fileprovider/scoped_fd.h"
#include "reference-host/catalog.h"
#include "reference-host/index_writer.h"
#include "reference-host/line_log.h"
#include "reference-host/request_failure.h"
#include "reference-host/store.h"

namespace refhost {

inline constexpr std::string_view kAppGroup = "QZ3RMT5XK9.de.brightfold.pellora-connect-desktop";
inline constexpr std::string_view kSocketName = "fp.sock";
// Where the extension stages new contents; the only place "path" may point to.
inline constexpr std::string_view kUploadFolderName = "fp-upload";
// The host's private copies for fetches and thumbnails (emptied at start).
inline constexpr std::string_view kCacheFolderName = "refhost-cache";
// Held (flock) while a host serves the container.
inline constexpr std::string_view kLockFileName = "refhost.lock";

// A staged copy handed over by the extension. It belongs to the host from then
// on: it is removed unless it was taken over into the store.
class StagedCopy {
 public:
  explicit StagedCopy(std::filesystem::path path) : path_(std::move(path)) {}
  StagedCopy(const StagedCopy&) = delete;
  StagedCopy& operator=(const StagedCopy&) = delete;
  ~StagedCopy();
  const std::filesystem::path& path() const { return path_; }
  void takenOver() { path_.clear(); }

 private:
  std::filesystem::path path_;
};

struct HostConfig {
  std::filesystem::path store;
  std::filesystem::path container;
  std::string account = "primary";
  // False: open() reads the index but leaves comparing it with the store to
  // the caller's first rescan() (the scanner's, once its watches are in place,
  // so that a large store is not scanned twice at start).
  bool scanAtOpen = true;
};

class Host {
 public:
  // Takes the container's host lock, opens (or creates) the index, and brings
  // it in line with the store (see HostConfig::scanAtOpen). Fails when the store is no folder,
  // another host serves the container, or the index cannot be opened or written.
  [[nodiscard]] static fp::StatusOr<std::unique_ptr<Host>> open(HostConfig config, LineLog log);

  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Scans the store and writes what changed into the index, in one
  // transaction. Yields whether anything was written (an unchanged store
  // writes nothing). The scan runs without the catalogue's lock; when the
  // catalogue changed meanwhile, the scan is taken again, up to `attempts`
  // scans in all; then it gives up for this round, yields false and sets
  // `*interrupted` (when given). The scan is then compared with the catalogue
  // under the lock, in place: an unchanged store is a single pass over both,
  // and a changed one builds the new catalogue beside the current one.
  // `runUnlocked`, when given, runs each scan (the part without the lock) and
  // returns once it is done; the periodic safety net runs it at idle priority.
  using Runner = std::function<void(const std::function<void()>&)>;
  [[nodiscard]] fp::StatusOr<bool> rescan(int attempts = 4, bool* interrupted = nullptr,
                                          const Runner& runUnlocked = {});

  // Brings the catalogue and the index in line with the item at `path` (a
  // relative store path), which may have appeared, changed, or gone; a folder
  // is taken in with everything inside it (scanned without the lock).
  [[nodiscard]] fp::Status refresh(std::string_view path);
  // Records that the item at `from` was moved to `to` in the store (keeping
  // the ulids of it and of everything inside), when the store and the
  // catalogue still show it so; otherwise refreshes both paths.
  [[nodiscard]] fp::Status moved(std::string_view from, std::string_view to);
  // Reads the lock table again and writes the locks that changed.
  [[nodiscard]] fp::Status reloadLocks();

  // Answers one request object with one reply object: {"ok":true, ...} or
  // {"ok":false,"error":TEXT[,"kind":KIND]}. Never throws for any JSON value.
  [[nodiscard]] nlohmann::json handle(const nlohmann::json& request);

  const std::filesystem::path& databasePath() const { return index_.path(); }
  const std::string& account() const { return config_.account; }

 private:
  Host(HostConfig config, LineLog log, IndexWriter index, fp::ScopedFD lock);

  // The changes below collect index rows in `changes`; commitLocked writes
  // them. All need mutex_.
  const Entry* findLocked(std::string_view ulid, bool isFolder) const;
  // Brings the catalogue in line with `observed`, a scan of the whole store,
  // and the lock table locks_.
  Changes takeScanLocked(std::vector<Observed> observed);
  // Replaces what the catalogue holds at and below the item `path` by
  // `observed`, a scan of that part.
  void replaceLocked(std::string_view path, const std::vector<Observed>& observed,
                     const Hints& hints, Changes& changes);
  // Moves the catalogue's entries at and below `from` to `to`.
  void moveLocked(const std::string& from, const std::string& to, Changes& changes);
  void setLocksLocked(LockTable locks, Changes& changes);
  // Writes `changes` (and pending strays) in one transaction. On failure the
  // catalogue is read back from the index, so both stay in line.
  fp::Status commitLocked(Changes changes);
  // refresh(), with the hint that the host replaced the contents at `path`,
  // or that a folder there with the inode the catalogue knows was just moved
  // there (so what it holds needs no new scan).
  fp::Status refreshItem(std::string_view path, bool contentsReplaced, bool movedHere);
  // Whether `folder` is the staging folder, reached by whatever path.
  bool isUploadFolder(const std::filesystem::path& folder) const;
  // The request's operation, once the request is an object naming a known
  // operation and the served account.
  RequestResult<std::string> operationOf(const nlohmann::json& request) const;
  // Checks the request's "path" and, when there is one, puts it into `staged`.
  RequestStatus takeStaged(const nlohmann::json& request, std::optional<StagedCopy>& staged) const;
  // The file a fetch or thumbnail request names, opened for reading, with a
  // copy of its catalogue entry.
  struct OpenedFile {
    fp::ScopedFD fd;
    Entry entry;
  };
  RequestResult<OpenedFile> openRequestedFile(const nlohmann::json& request);
  // A copy of the entry of `ulid`, or a "not_found" failure. Needs mutex_.
  RequestResult<Entry> currentEntryLocked(const std::string& ulid, bool isFolder);
  // The operations: each yields its success reply.
  RequestResult<nlohmann::json> fetch(const nlohmann::json& request);
  RequestResult<nlohmann::json> thumbnail(const nlohmann::json& request);
  RequestResult<nlohmann::json> create(const nlohmann::json& request);
  RequestResult<nlohmann::json> modify(const nlohmann::json& request);
  // The steps of modify(). The item to change, a copy of the entry of `ulid`
  // when it is not locked, and the path of the folder it is to be in: the
  // folder `parentField` names (null: the top level), or its own when there is
  // no such field. Needs mutex_.
  struct ModifiedItem {
    Entry item;
    std::string parent;
  };
  RequestResult<ModifiedItem> modifiedItemLocked(const std::string& ulid, bool isFolder,
                                                 const nlohmann::json* parentField);
  // Replaces the contents of the file at `path` by the staged copy and
  // refreshes its entry.
  RequestStatus replaceContents(const std::string& path, StagedCopy& staged);
  // Moves the item at `from` to `to` in the store, and its entries (and, for a
  // folder, the locks of the files inside) along in the catalogue.
  RequestStatus moveItem(const std::string& from, const std::string& to, bool isFolder);
  RequestResult<nlohmann::json> remove(const nlohmann::json& request);

  const HostConfig config_;
  const LineLog log_;
  const Store store_;
  const std::filesystem::path cacheFolder_;
  const std::filesystem::path uploadFolder_;
  const fp::ScopedFD hostLock_;

  // Held by each request while it works on store paths: exclusively by one
  // that may move a folder, shared by all others (see handle()). Taken before
  // mutex_.
  std::shared_mutex places_;
  std::mutex mutex_;  // guards everything below
  IndexWriter index_;
  Catalog catalog_;
  UlidIndex byUlid_;  // the catalogue's entries by ulid
  // Grows with every change of the catalogue: a scan that started before a
  // change must not be applied after it.
  std::uint64_t generation_ = 0;
  std::vector<Entry> strays_;
  LockTable locks_;
  std::string lastProblem_;
};

}  // namespace refhost

#endif  // PELLORA_REFHOST_HOST_H_
