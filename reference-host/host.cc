#include "reference-host/host.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "fileprovider/file_manager.h"
#include "reference-host/access.h"
#include "reference-host/ulid.h"

namespace refhost {

namespace fs = std::filesystem;
using nlohmann::json;

// Rows of a change after which the memory its making took is given back.
constexpr std::size_t kLargeChange = 10'000;

fp::StatusOr<std::unique_ptr<Host>> Host::open(HostConfig config, LineLog log) {
  Store store(config.store);
  if (auto s = store.prepare(); !s) return fp::fail(s.error());

  fs::path lockPath = config.container / std::string(kLockFileName);
  fp::ScopedFD lock(fp::retryOnEintr(
      [&] { return ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kOwnerOnlyFileMode); }));
  if (!lock) return fp::fail(fp::Error::posix(errno, "opening " + lockPath.string()));
  if (fp::retryOnEintr([&] { return ::flock(lock.get(), LOCK_EX | LOCK_NB); }) != 0) {
    if (errno == EWOULDBLOCK) {
      return fp::fail(fp::Error::posix(
          EBUSY, "another pell-refhost already serves " + config.container.string()));
    }
    return fp::fail(fp::Error::posix(errno, "locking " + lockPath.string()));
  }

  std::error_code ec;
  fs::path cache = config.container / std::string(kCacheFolderName);
  fs::remove_all(cache, ec);
  // Folders in the container are owner-only: they hold copies of the account's files.
  auto& files = fp::FileManager::defaultManager();
  if (auto made = files.createDirectory(cache, true); !made) return fp::fail(made.error());
  fs::path uploads = config.container / std::string(kUploadFolderName);
  if (auto made = files.createDirectory(uploads, true); !made) return fp::fail(made.error());

  auto index = IndexWriter::open(config.container / databaseName(config.account));
  if (!index) return fp::fail(index.error());
  auto contents = index->load();
  if (!contents) return fp::fail(contents.error());

  std::unique_ptr<Host> host(
      new Host(std::move(config), std::move(log), std::move(*index), std::move(lock)));
  host->catalog_ = std::move(contents->catalog);
  host->byUlid_.rebuild(host->catalog_);
  host->strays_ = std::move(contents->strays);
  if (host->config_.scanAtOpen) {
    if (auto synced = host->rescan(); !synced) return fp::fail(synced.error());
  }
  ::malloc_trim(0);  // what reading the index took beyond the catalogue
  return host;
}

Host::Host(HostConfig config, LineLog log, IndexWriter index, fp::ScopedFD lock)
    : config_(std::move(config)),
      log_(std::move(log)),
      store_(config_.store),
      cacheFolder_(config_.container / std::string(kCacheFolderName)),
      uploadFolder_(config_.container / std::string(kUploadFolderName)),
      hostLock_(std::move(lock)),
      index_(std::move(index)) {}

fp::StatusOr<bool> Host::rescan(int attempts, bool* interrupted, const Runner& runUnlocked) {
  if (interrupted) *interrupted = false;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    // The scan runs without the lock, so that requests do not wait for the
    // file system; what it found is compared with the catalogue under the
    // lock, unless the catalogue changed meanwhile.
    std::uint64_t generation;
    LockTable locks;
    {
      std::lock_guard lock(mutex_);
      generation = generation_;
      locks = locks_;
    }
    // Stays a failure unless the scan runs.
    fp::StatusOr<std::vector<Observed>> observed =
        fp::fail(fp::Error::posix(ECANCELED, "scanning the store"));
    std::optional<std::string> problem;
    auto scan = [&] {
      observed = store_.scan();
      auto readLocks = store_.readLocks();
      if (!observed) {
        problem = "cannot scan the store: " + observed.error().message;
      } else if (readLocks) {
        locks = std::move(*readLocks);
      } else {
        // A lock file in the middle of being edited: keep the locks we had.
        problem = "keeping the previous locks: " + readLocks.error().message;
      }
    };
    if (runUnlocked) {
      runUnlocked(scan);
    } else {
      scan();
    }

    std::lock_guard lock(mutex_);
    if (problem && *problem != lastProblem_) log_(*problem);
    lastProblem_ = problem.value_or("");
    if (!observed) return fp::fail(observed.error());
    if (generation != generation_) continue;  // changed while scanning: scan again
    locks_ = std::move(locks);
    Changes changes = takeScanLocked(std::move(*observed));
    const bool written = !changes.empty() || !strays_.empty();
    const bool large = changes.upserts.size() + changes.removals.size() >= kLargeChange;
    if (auto s = commitLocked(std::move(changes)); !s) return fp::fail(s.error());
    // What building a large change took goes back to the system rather than
    // staying with the process.
    if (large) ::malloc_trim(0);
    return written;
  }
  if (interrupted) *interrupted = true;
  return false;
}

Changes Host::takeScanLocked(std::vector<Observed> observed) {
  if (agrees(catalog_, observed, locks_)) return {};
  Catalog after = reconcile(catalog_, observed, locks_, {}, [] { return newUlid(); });
  Changes changes = diff(catalog_, after);
  if (!changes.empty()) {
    catalog_ = std::move(after);
    byUlid_.rebuild(catalog_);
  }
  return changes;
}

const Entry* Host::findLocked(std::string_view ulid, bool isFolder) const {
  const Entry* e = byUlid_.find(ulid);
  return e && e->isFolder == isFolder ? e : nullptr;
}

void Host::replaceLocked(std::string_view path, const std::vector<Observed>& observed,
                         const Hints& hints, Changes& changes) {
  Catalog before;
  for (auto it = catalog_.lower_bound(path); it != catalog_.end() && it->first.starts_with(path);) {
    if (isWithin(it->first, path)) {
      byUlid_.drop(it->second);
      before.insert(catalog_.extract(it++));
    } else {
      ++it;
    }
  }
  Catalog after = reconcile(before, observed, locks_, hints, [] { return newUlid(); });
  // The part's top item hangs below a folder outside the part.
  auto top = after.find(path);
  if (top != after.end()) {
    std::string parent = parentPath(path);
    auto p = parent.empty() ? catalog_.end() : catalog_.find(parent);
    top->second.parentUlid = p == catalog_.end() ? std::nullopt : std::optional(p->second.ulid);
  }
  Changes changed = diff(before, after);
  for (Entry& e : changed.upserts) changes.upserts.push_back(std::move(e));
  for (Entry& e : changed.removals) changes.removals.push_back(std::move(e));
  while (!after.empty()) {
    auto placed = catalog_.insert(after.extract(after.begin()));
    if (placed.inserted) byUlid_.put(placed.position->second);
  }
}

void Host::moveLocked(const std::string& from, const std::string& to, Changes& changes) {
  std::vector<Entry> moved;
  for (auto it = catalog_.lower_bound(from); it != catalog_.end() && it->first.starts_with(from);) {
    if (isWithin(it->first, from)) {
      byUlid_.drop(it->second);
      moved.push_back(std::move(catalog_.extract(it++).mapped()));
    } else {
      ++it;
    }
  }
  std::string parent = parentPath(to);
  auto p = parent.empty() ? catalog_.end() : catalog_.find(parent);
  for (Entry& e : moved) {
    if (e.path == from) {
      e.name = std::string(baseName(to));
      e.parentUlid = p == catalog_.end() ? std::nullopt : std::optional(p->second.ulid);
    }
    e.path = to + e.path.substr(from.size());
    if (!e.isFolder) {
      auto lock = locks_.find(e.path);
      e.lockedBy = lock == locks_.end() ? std::nullopt : std::optional(lock->second);
    }
    changes.upserts.push_back(e);
    auto there = catalog_.find(e.path);
    if (there != catalog_.end()) byUlid_.drop(there->second);
    Entry& placed = catalog_[e.path];
    placed = std::move(e);
    byUlid_.put(placed);
  }
}

void Host::setLocksLocked(LockTable locks, Changes& changes) {
  std::set<std::string, std::less<>> touched;
  for (const auto& [path, user] : locks_) {
    auto it = locks.find(path);
    if (it == locks.end() || it->second != user) touched.insert(path);
  }
  for (const auto& [path, user] : locks) {
    if (!locks_.count(path)) touched.insert(path);
  }
  locks_ = std::move(locks);
  for (const std::string& path : touched) {
    auto it = catalog_.find(path);
    if (it == catalog_.end() || it->second.isFolder) continue;
    auto lock = locks_.find(path);
    std::optional<std::int64_t> lockedBy =
        lock == locks_.end() ? std::nullopt : std::optional(lock->second);
    if (it->second.lockedBy == lockedBy) continue;
    it->second.lockedBy = lockedBy;
    changes.upserts.push_back(it->second);
  }
}

fp::Status Host::commitLocked(Changes changes) {
  changes.removals.insert(changes.removals.end(), strays_.begin(), strays_.end());
  if (changes.empty()) return fp::Ok{};
  ++generation_;
  if (auto s = index_.apply(changes); !s) {
    log_("cannot update the index: " + s.error().message);
    // The transaction was rolled back: the index still holds what it held.
    if (auto contents = index_.load(); contents) {
      catalog_ = std::move(contents->catalog);
      strays_ = std::move(contents->strays);
      byUlid_.rebuild(catalog_);
    }
    return s;
  }
  log_("index updated: " + std::to_string(changes.upserts.size()) + " written, " +
       std::to_string(changes.removals.size()) + " removed");
  strays_.clear();
  return fp::Ok{};
}

fp::Status Host::refresh(std::string_view path) { return refreshItem(path, false, false); }

fp::Status Host::refreshItem(std::string_view path, bool contentsReplaced, bool movedHere) {
  if (path.empty()) return fp::Ok{};  // the top level is no item; rescan() covers it
  // What is scanned without the lock is applied only when the catalogue did
  // not change meanwhile: a scan of a folder older than a file a request
  // created in it would take that file out again (and give it a new ulid
  // when it is seen next). After a few collisions the scan is made holding
  // the lock.
  constexpr int kAttempts = 8;
  for (int attempt = 1;; ++attempt) {
    const bool locked = attempt == kAttempts;
    std::unique_lock lock(mutex_);
    const std::uint64_t generation = generation_;
    if (!locked) lock.unlock();
    auto item = store_.scanItem(path, false);
    if (!item) return fp::fail(item.error());
    if (!locked) lock.lock();
    if (generation_ != generation) continue;
    auto known = catalog_.find(path);
    bool knownFolder = known != catalog_.end() && known->second.isFolder;
    // A folder that just arrived by a move the catalogue followed keeps what
    // it holds. Any other folder is scanned again with what it holds below:
    // it may have been removed and made anew (perhaps with the same inode).
    if (!item->empty() && item->front().isFolder && knownFolder && movedHere &&
        known->second.inode == item->front().inode) {
      return fp::Ok{};
    }
    if (item->empty() || !item->front().isFolder) {
      Hints hints;
      // Only when the catalogue has not seen this very file yet: a watcher
      // may have picked it up already.
      if (contentsReplaced && !item->empty() && known != catalog_.end() &&
          known->second.inode != item->front().inode) {
        hints.contentReplaced.insert(std::string(path));
      }
      Changes changes;
      replaceLocked(path, *item, hints, changes);
      return commitLocked(std::move(changes));
    }
    // A folder new to the catalogue: taken in with what it holds.
    if (!locked) lock.unlock();
    auto tree = store_.scanItem(path, true);
    if (!tree) return fp::fail(tree.error());
    if (!locked) lock.lock();
    if (generation_ != generation) continue;
    Changes changes;
    replaceLocked(path, *tree, {}, changes);
    return commitLocked(std::move(changes));
  }
}

fp::Status Host::moved(std::string_view from, std::string_view to) {
  auto item = store_.scanItem(to, false);
  if (!item) return fp::fail(item.error());
  {
    std::lock_guard lock(mutex_);
    auto known = catalog_.find(from);
    if (!item->empty() && known != catalog_.end() && !catalog_.count(to) && !store_.exists(from) &&
        known->second.inode == item->front().inode &&
        known->second.isFolder == item->front().isFolder) {
      Changes changes;
      moveLocked(std::string(from), std::string(to), changes);
      if (auto s = commitLocked(std::move(changes)); !s) return s;
    }
  }
  if (auto s = refresh(from); !s) return s;
  return refreshItem(to, false, true);
}

fp::Status Host::reloadLocks() {
  auto locks = store_.readLocks();
  std::lock_guard lock(mutex_);
  if (!locks) {
    if (locks.error().message != lastProblem_) {
      lastProblem_ = locks.error().message;
      log_("keeping the previous locks: " + lastProblem_);
    }
    return fp::fail(locks.error());
  }
  Changes changes;
  setLocksLocked(std::move(*locks), changes);
  return commitLocked(std::move(changes));
}

}  // namespace refhost
