#include "fileprovider/fpctl/mount/refused_changes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <system_error>

#include "fileprovider/fpctl/mount/cache_folder.h"
#include "fileprovider/fpctl/mount/name_codec.h"
#include "fileprovider/fpctl/mount/retried_changes.h"
#include "fileprovider/fpctl/mount/unsent_folder.h"
#include "fileprovider/fpctl/mount/upload_queue.h"

namespace fpctl::mount {
namespace fs = std::filesystem;
namespace {

Errno errnoOfCode(const std::error_code& ec) { return Errno{ec.value() ? ec.value() : EIO}; }

// The pid noted in the lock file `lock`; 0 when none is.
pid_t notedPid(int lock) {
  char text[32] = {};
  ssize_t n = fp::retryOnEintr([&] { return ::pread(lock, text, sizeof text - 1, 0); });
  return n > 0 ? static_cast<pid_t>(std::atol(text)) : 0;
}

// The cache folder's lock, taken by this process; or, when another holds it,
// none and `holder` set to its pid (0: not noted).
fp::ScopedFD takeLock(const fs::path& cacheRoot, std::optional<pid_t>& holder, bool create) {
  fp::ScopedFD lock = openInCache(cacheRoot / "lock", create ? O_RDWR | O_CREAT : O_RDONLY);
  if (!lock) return {};
  if (fp::retryOnEintr([&] { return ::flock(lock.get(), LOCK_EX | LOCK_NB); }) == 0) return lock;
  if (errno == EWOULDBLOCK) holder = notedPid(lock.get());
  return {};
}

// Moves `from` to `to`; across file systems, a copy is synced before `from` goes.
ErrnoOr<void> moveFile(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::rename(from, to, ec);
  if (!ec) return fp::Ok{};
  if (ec != std::errc::cross_device_link) return fp::fail(errnoOfCode(ec));
  if (!fs::copy_file(from, to, ec)) return fp::fail(errnoOfCode(ec));
  fp::ScopedFD copy = openInCache(to, O_RDONLY);
  if (!copy || ::fsync(copy.get()) != 0) {
    const int e = errno;
    fs::remove(to, ec);
    return fp::fail(Errno{e});
  }
  fs::remove(from, ec);
  return fp::Ok{};
}

// The display name a path typed for a change ends in.
std::string lastName(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name an entry of unsent/ was kept under, without the stamp before it
// ("<ms>-<pid>-<n>-").
std::string keptName(const std::string& file) {
  std::size_t at = 0;
  for (int part = 0; part < 3; ++part) {
    std::size_t dash = file.find('-', at);
    if (dash == std::string::npos || dash == at ||
        file.find_first_not_of("0123456789", at) != dash) {
      return file;
    }
    at = dash + 1;
  }
  return file.substr(at);
}

}  // namespace

std::vector<KeptChange> refusedChanges(const fs::path& cacheRoot) {
  std::vector<KeptChange> out;
  for (const auto& e : readUnsent(cacheRoot)) {
    KeptChange c;
    c.kept = e.shown();
    c.shownPath = e.shownPath;
    c.name = e.change ? e.change->filename : keptName(e.base.filename().string());
    c.reason = e.reason;
    c.canRetry = e.canRetry();
    out.push_back(std::move(c));
  }
  return out;
}

std::vector<KeptChange> waitingChanges(const fs::path& cacheRoot) {
  std::vector<KeptChange> out;
  auto q = UploadQueue::open(cacheRoot, /*readOnly=*/true);
  if (!q) return out;
  for (const auto& c : (*q)->pending()) {
    KeptChange k;
    k.kept = c.isEdit() ? cacheRoot / "queue" / (std::to_string(c.seq) + ".json") : c.data;
    k.name = c.filename;
    k.waiting = true;
    out.push_back(std::move(k));
  }
  return out;
}

bool names(const KeptChange& change, const std::string& what, const fs::path& mountpoint) {
  if (what.empty()) return false;
  if (what == change.kept.string() || what == change.kept.filename().string()) return true;
  if (change.shownPath.empty()) {
    const std::string last = lastName(what);
    return last == change.name || last == posixName(change.name);
  }
  if (what == change.shownPath) return true;
  if (mountpoint.empty()) return false;
  return fs::path(what).lexically_normal() == (mountpoint / change.shownPath.substr(1));
}

std::optional<pid_t> holderOf(const fs::path& cacheRoot) {
  std::optional<pid_t> holder;
  fp::ScopedFD lock = takeLock(cacheRoot, holder, /*create=*/false);
  return holder;
}

ErrnoOr<void> retry(const fs::path& cacheRoot, const KeptChange& change) {
  for (const auto& e : readUnsent(cacheRoot)) {
    if (e.shown() == change.kept) return handOver(cacheRoot, e);
  }
  return fp::fail(Errno{ENOENT});
}

QueuedBy queueRetried(const fs::path& cacheRoot) {
  std::optional<pid_t> holder;
  if (fp::ScopedFD lock = takeLock(cacheRoot, holder, /*create=*/true)) {
    // Held here: no mount can start meanwhile, and opening the queue takes them.
    if (UploadQueue::open(cacheRoot)) return QueuedBy::kThisProcess;
    return QueuedBy::kNextMount;
  }
  if (holder && *holder > 0 && ::kill(*holder, SIGUSR1) == 0) return QueuedBy::kMount;
  return QueuedBy::kNextMount;
}

fp::Result<fs::path, std::string> newRecoveryFolder() {
  fs::path root;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
    root = fs::path(xdg) / "fileprovider" / "recovered";
  } else {
    const char* home = std::getenv("HOME");
    root = fs::path(home && *home ? home : "/") / ".local" / "share" / "fileprovider" / "recovered";
  }
  if (std::error_code ec = createPrivateDirectories(root)) {
    return fp::fail("cannot create the recovery folder " + root.string() + ": " + ec.message());
  }
  if (auto ok = checkPrivate(root, "the recovery folder"); !ok) return fp::fail(ok.error().message);
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H-%M-%SZ", &utc);
  for (int n = 1; n < 1000; ++n) {
    fs::path folder = root / (n == 1 ? std::string(stamp) : stamp + ("-" + std::to_string(n)));
    if (::mkdir(folder.c_str(), fp::kPrivateFolderMode) == 0) return folder;
    if (errno != EEXIST) {
      return fp::fail("cannot create " + folder.string() + ": " + std::strerror(errno));
    }
  }
  return fp::fail("cannot create a folder in " + root.string() + ": too many of this time");
}

ErrnoOr<fs::path> discard(const fs::path& cacheRoot, const KeptChange& change,
                          const fs::path& into) {
  std::vector<fs::path> files;
  fp::ScopedFD lock;
  if (change.waiting) {
    std::optional<pid_t> holder;
    lock = takeLock(cacheRoot, holder, /*create=*/true);
    if (!lock) return fp::fail(Errno{holder ? EBUSY : errno});
    // The record first: the contents alone would not be sent.
    fs::path record = change.kept;
    record.replace_extension(".json");
    files.push_back(record);
    if (change.kept != record) files.push_back(change.kept);
  } else {
    bool found = false;
    for (const auto& e : readUnsent(cacheRoot)) {
      if (e.shown() != change.kept) continue;
      files = e.files();
      found = true;
    }
    if (!found) return fp::fail(Errno{ENOENT});
  }
  for (const auto& f : files) {
    if (auto moved = moveFile(f, into / f.filename()); !moved) return fp::propagate(moved);
  }
  return into / change.kept.filename();
}

}  // namespace fpctl::mount
