#include "fileprovider/fpctl/mount/content_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <system_error>
#include <vector>

#include "fileprovider/fpctl/mount/cache_folder.h"
#include "fileprovider/fpctl/mount/hex_text.h"
#include "fileprovider/fpctl/mount/unsent_folder.h"

namespace fpctl::mount {
namespace fs = std::filesystem;
namespace {

// What a fetched copy leaves free on the cache's file system.
constexpr std::int64_t kReserve = 64 << 20;
// Spare files kept for notes and queue entries: enough for the two files of
// each of the thousand or so entries a write-back mount holds while a large
// copy goes on (at most 8 MiB of one-block files).
constexpr std::size_t kSpareFiles = 2048;

int errnoOf(const std::error_code& ec) { return ec.value() ? ec.value() : EIO; }

}  // namespace

ErrnoOr<void> copyFileInto(const fs::path& source, int destination) {
  fp::ScopedFD in(fp::retryOnEintr([&] { return ::open(source.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!in) return fp::fail(Errno{errno});
  return copyDescriptorInto(in.get(), destination);
}

ErrnoOr<void> copyDescriptorInto(int source, int destination) {
  if (ftruncate(destination, 0) != 0) return fp::fail(Errno{errno});
  loff_t inOff = 0;
  loff_t outOff = 0;
  bool rangeCopy = true;
  char buf[1 << 16];
  for (;;) {
    if (rangeCopy) {
      ssize_t n = fp::retryOnEintr(
          [&] { return copy_file_range(source, &inOff, destination, &outOff, 1 << 30, 0); });
      if (n == 0) return fp::Ok{};
      if (n > 0) continue;
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        return fp::fail(Errno{errno});
      }
      rangeCopy = false;  // not between these files: fall back to plain copying
    }
    ssize_t n = fp::retryOnEintr([&] { return pread(source, buf, sizeof buf, inOff); });
    if (n < 0) return fp::fail(Errno{errno});
    if (n == 0) return fp::Ok{};
    ssize_t done = 0;
    while (done < n) {
      ssize_t w = fp::retryOnEintr(
          [&] { return pwrite(destination, buf + done, static_cast<size_t>(n - done), outOff); });
      if (w < 0) return fp::fail(Errno{errno});
      done += w;
      outOff += w;
    }
    inOff += n;
  }
}

ErrnoOr<std::unique_ptr<ContentCache>> ContentCache::open(const fs::path& root, bool removeOnClose,
                                                          CacheBound bound) {
  std::error_code ec;
  for (const char* sub : {"contents", "work", "unsent"}) {
    ec = createPrivateDirectories(root / sub);
    if (ec) return fp::fail(Errno{errnoOf(ec)});
  }
  auto spares = std::make_unique<SpareFiles>(root / "spare", kSpareFiles);
  auto queue = UploadQueue::open(root, /*readOnly=*/false, spares.get());
  if (!queue) return fp::fail(queue.error());
  // Working copies of an earlier run belong to no open file any more. One that
  // was changed holds what a program wrote but never closed: not a state to
  // send, but not to be thrown away either.
  std::vector<fs::path> work;
  // What another user left there is not this mount's to keep or remove.
  for (const auto& entry : fs::directory_iterator(root / "work", ec)) {
    if (isOwnRegularFile(entry.path())) work.push_back(entry.path());
  }
  for (const auto& p : work) {
    if (p.extension() == ".changed") continue;
    fs::path note = p;
    note += ".changed";
    if (isOwnRegularFile(note)) {
      std::string name = readCacheFile(note).value_or("");
      name = name.substr(0, name.find('\n'));
      // A note cut short by the end of fpctl may still hold a spare's zero.
      if (auto zero = name.find('\0'); zero != std::string::npos) name.resize(zero);
      keepUnsent(root, p, name.empty() ? "file" : name,
                 "fpctl stopped while the file was open for writing; this is what had been "
                 "written, never closed and not sent");
    }
  }
  for (const auto& p : work) {
    std::error_code ignored;
    fs::remove_all(p, ignored);
  }
  std::unique_ptr<ContentCache> cache(
      new ContentCache(root, removeOnClose, std::move(spares), std::move(*queue), bound));
  cache->scan();
  return cache;
}

void ContentCache::scan() {
  std::error_code ec;
  std::lock_guard lock(mu_);
  for (const auto& entry : fs::directory_iterator(root_ / "contents", ec)) {
    struct stat st {};
    if (::lstat(entry.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (st.st_uid != ::geteuid()) continue;  // never shown as the account's contents
    Copy copy;
    // "<hex identifier>.<hex version>"; anything else is counted, and may go, too.
    std::string name = entry.path().filename().string();
    if (auto dot = name.find('.'); dot != std::string::npos) {
      copy.identifier = bytesOfHex(name.substr(0, dot)).value_or("");
    }
    copy.bytes = static_cast<std::int64_t>(st.st_blocks) * 512;
    auto seconds = std::max(st.st_atim, st.st_mtim, [](const timespec& a, const timespec& b) {
      return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
    });
    copy.used = Clock::time_point(std::chrono::duration_cast<Clock::duration>(
        std::chrono::seconds(seconds.tv_sec) + std::chrono::nanoseconds(seconds.tv_nsec)));
    bytes_ += copy.bytes;
    byItem_[copy.identifier].insert(entry.path());
    copies_[entry.path()] = std::move(copy);
  }
}

ContentCache::~ContentCache() {
  if (!removeOnClose_) return;
  std::error_code ec;
  // Files that could not be sent stay where the log said they are, and queued
  // ones wait for the next mount of this folder, as do those fpctl retry
  // handed over too late for this one.
  const bool nothingRetried =
      !fs::exists(root_ / "retried", ec) || fs::is_empty(root_ / "retried", ec);
  if (fs::is_empty(root_ / "unsent", ec) && queue_->pending().empty() && nothingRetried) {
    fs::remove_all(root_, ec);
  } else {
    fs::remove_all(root_ / "contents", ec);
    fs::remove_all(root_ / "work", ec);
  }
}

fs::path ContentCache::pathFor(const std::string& identifier, const std::string& version) const {
  return root_ / "contents" / (hexOf(identifier) + "." + hexOf(version));
}

namespace {

// The space a file takes on disk (what the bound is about), 0 when it is gone.
std::int64_t diskBytes(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return static_cast<std::int64_t>(st.st_blocks) * 512;
}

// Notes the use on the file itself, for the order of a later run. Explicitly
// set access times are kept whatever the file system's atime options.
void stampUse(const fs::path& path) {
  timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_OMIT}};
  [[maybe_unused]] int rc = ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

}  // namespace

void ContentCache::forgetLocked(const fs::path& path) {
  auto it = copies_.find(path);
  if (it == copies_.end()) return;
  bytes_ -= it->second.bytes;
  if (auto item = byItem_.find(it->second.identifier); item != byItem_.end()) {
    item->second.erase(path);
    if (item->second.empty()) byItem_.erase(item);
  }
  copies_.erase(it);
}

void ContentCache::remember(const std::string& identifier, const fs::path& path,
                            std::int64_t bytes) {
  std::vector<fs::path> old;
  {
    std::lock_guard lock(mu_);
    auto [it, inserted] = copies_.try_emplace(path);
    if (!inserted) {
      bytes_ -= it->second.bytes;
      if (it->second.identifier != identifier) {
        if (auto was = byItem_.find(it->second.identifier); was != byItem_.end()) {
          was->second.erase(path);
          if (was->second.empty()) byItem_.erase(was);
        }
      }
    }
    it->second = Copy{identifier, bytes, Clock::now()};
    bytes_ += bytes;
    // Only the newest version of an item is kept.
    std::set<fs::path>& mine = byItem_[identifier];
    for (const auto& p : mine) {
      if (p != path) old.push_back(p);
    }
    mine.insert(path);
    for (const auto& p : old) forgetLocked(p);
  }
  for (const auto& p : old) {
    std::error_code ec;
    fs::remove(p, ec);  // a reader that still has it open keeps its data
  }
}

std::optional<fs::path> ContentCache::find(const std::string& identifier,
                                           const std::string& contentVersion) {
  fs::path p = pathFor(identifier, contentVersion);
  std::int64_t bytes = diskBytes(p);
  if (!isOwnRegularFile(p)) {
    std::lock_guard lock(mu_);
    forgetLocked(p);  // removed behind the cache's back
    return std::nullopt;
  }
  remember(identifier, p, bytes);
  stampUse(p);
  return p;
}

bool ContentCache::has(const std::string& identifier, const std::string& contentVersion) const {
  const fs::path p = pathFor(identifier, contentVersion);
  {
    // Asked first: adopt() forgets it only once the copy is in place.
    std::lock_guard lock(mu_);
    if (arriving_.count(p)) return true;
  }
  return isOwnRegularFile(p);
}

void ContentCache::markUsed(const std::string& identifier) {
  std::vector<fs::path> used;
  {
    std::lock_guard lock(mu_);
    auto now = Clock::now();
    if (auto item = byItem_.find(identifier); item != byItem_.end()) {
      for (const auto& p : item->second) {
        copies_[p].used = now;
        used.push_back(p);
      }
    }
  }
  for (const auto& p : used) stampUse(p);
}

ContentCache::Picked ContentCache::victims(std::int64_t extra, const KeepPredicate& keep,
                                           const std::string& spare, bool byAge) {
  std::vector<Candidate> byUse;
  std::int64_t total;
  {
    std::lock_guard lock(mu_);
    total = bytes_ + reserved_;
    // The common case costs no walk: everything fits and age does not count.
    if ((!byAge || !bound_.maxAge) && total + extra <= bound_.maxBytes) return {{}, true};
    for (const auto& [p, copy] : copies_) {
      if (!spare.empty() && copy.identifier == spare) continue;
      byUse.push_back({p, copy});
    }
  }
  std::sort(byUse.begin(), byUse.end(),
            [](const Candidate& a, const Candidate& b) { return a.copy.used < b.copy.used; });
  std::optional<Clock::time_point> tooOld;
  if (byAge && bound_.maxAge) tooOld = Clock::now() - *bound_.maxAge;
  Picked out;
  for (auto& c : byUse) {
    // Oldest first: once a copy is young enough and the rest fits, all others stay.
    bool old = tooOld && c.copy.used < *tooOld;
    if (!old && total + extra <= bound_.maxBytes) break;
    if (keep && !c.copy.identifier.empty() && keep(c.copy.identifier)) continue;
    total -= c.copy.bytes;
    out.drop.push_back(std::move(c));
  }
  out.fits = total + extra <= bound_.maxBytes;
  return out;
}

std::int64_t ContentCache::dropCandidates(const std::vector<Candidate>& candidates) {
  std::vector<fs::path> gone;
  std::int64_t dropped = 0;
  {
    std::lock_guard lock(mu_);
    for (const auto& c : candidates) {
      auto it = copies_.find(c.path);
      // Used again since it was picked: it stays.
      if (it == copies_.end() || it->second.used != c.copy.used) continue;
      dropped += it->second.bytes;
      forgetLocked(c.path);
      gone.push_back(c.path);
    }
  }
  for (const auto& p : gone) {
    std::error_code ec;
    fs::remove(p, ec);
  }
  return dropped;
}

std::int64_t ContentCache::evictToBound(const KeepPredicate& keep) {
  // When the bound cannot be met, what may go goes all the same.
  return dropCandidates(victims(0, keep, "", /*byAge=*/true).drop);
}

std::int64_t ContentCache::drop(const std::string& identifier) {
  std::vector<Candidate> mine;
  {
    std::lock_guard lock(mu_);
    if (auto item = byItem_.find(identifier); item != byItem_.end()) {
      for (const auto& p : item->second) mine.push_back({p, copies_[p]});
    }
  }
  return dropCandidates(mine);
}

CacheUsage ContentCache::usage() const {
  std::lock_guard lock(mu_);
  return {bytes_, static_cast<std::int64_t>(copies_.size()), bound_};
}

bool ContentCache::overBound() const {
  std::lock_guard lock(mu_);
  return bytes_ + reserved_ > bound_.maxBytes;
}

ErrnoOr<fs::path> ContentCache::store(const std::string& identifier,
                                      const std::string& contentVersion, const fs::path& source,
                                      std::int64_t limit, const KeepPredicate& keep, bool pinned) {
  // What the copy will take: the file's size now, rounded up to whole blocks.
  struct stat st {};
  std::int64_t expected = ::stat(source.c_str(), &st) == 0 && S_ISREG(st.st_mode)
                              ? ((static_cast<std::int64_t>(st.st_size) + 4095) / 4096) * 4096
                              : 0;
  if (expected > bound_.maxBytes && !pinned) return fp::fail(Errno{ENOSPC});
  // Room is made, then taken under the lock; a store at the same time may have
  // taken it first, and then room is made again. A pinned copy takes what room
  // there is.
  for (int attempt = 0;; ++attempt) {
    Picked picked = victims(expected, keep, identifier, /*byAge=*/false);
    if (!pinned && (!picked.fits || attempt == 4)) return fp::fail(Errno{ENOSPC});
    dropCandidates(picked.drop);
    std::lock_guard lock(mu_);
    if (pinned || bytes_ + reserved_ + expected <= bound_.maxBytes) {
      reserved_ += expected;
      break;
    }
  }
  struct Unreserve {
    ContentCache& cache;
    std::int64_t bytes;
    ~Unreserve() {
      std::lock_guard lock(cache.mu_);
      cache.reserved_ -= bytes;
    }
  } unreserve{*this, expected};

  auto tmp = newWorkFile();
  if (!tmp) return fp::fail(tmp.error());
  if (auto copied = copyFetchedInto(source, tmp->fd.get(), limit, kReserve); !copied) {
    std::error_code ec;
    fs::remove(tmp->path, ec);
    return fp::propagate(copied);
  }
  fs::path target = pathFor(identifier, contentVersion);
  if (::rename(tmp->path.c_str(), target.c_str()) != 0) {
    int e = errno;
    std::error_code ec;
    fs::remove(tmp->path, ec);
    return fp::fail(Errno{e});
  }
  remember(identifier, target, diskBytes(target));
  return target;
}

void ContentCache::expect(const std::string& identifier, const std::string& contentVersion) {
  std::lock_guard lock(mu_);
  arriving_.insert(pathFor(identifier, contentVersion));
}

void ContentCache::adopt(const std::string& identifier, const std::string& contentVersion,
                         const fs::path& workPath) {
  fs::path target = pathFor(identifier, contentVersion);
  if (::rename(workPath.c_str(), target.c_str()) == 0) {
    remember(identifier, target, diskBytes(target));
  } else {
    std::error_code ec;
    fs::remove(workPath, ec);
  }
  std::lock_guard lock(mu_);
  arriving_.erase(target);
}

fs::path ContentCache::markChanged(const fs::path& workPath, const std::string& name) {
  fs::path note = workPath;
  note += ".changed";
  std::string line = name.substr(0, std::min<std::size_t>(name.find('\n'), 200));
  fp::ScopedFD fd = spares_->create(note, O_WRONLY | O_CLOEXEC);
  if (fd) {
    ssize_t n = ::write(fd.get(), line.data(), line.size());
    // The note marks the copy as changed by being there; its text is a help.
    (void)SpareFiles::fit(fd.get(), n > 0 ? n : 0);
  }
  return note;
}

void ContentCache::clearChanged(const fs::path& note) { spares_->remove(note); }

std::string ContentCache::uniquePrefix() {
  std::random_device random;
  char text[32];
  std::snprintf(text, sizeof text, "w-%08x%08x-", random(), random());
  return text;
}

ErrnoOr<WorkFile> ContentCache::newWorkFile() {
  // A name no other working copy has had, given a spare's inode when one is kept.
  fs::path path = root_ / "work" / (workPrefix_ + std::to_string(nextWork_.fetch_add(1)));
  fp::ScopedFD fd = workSpares_->create(path, O_RDWR | O_CLOEXEC);
  if (!fd) return fp::fail(Errno{errno});
  return WorkFile{std::move(path), std::move(fd)};
}

void ContentCache::dropWorkFile(const fs::path& path) { workSpares_->remove(path); }

fs::path ContentCache::preserve(const fs::path& workPath, const std::string& name,
                                const std::string& reason) {
  return keepUnsent(root_, workPath, name, reason);
}

}  // namespace fpctl::mount
