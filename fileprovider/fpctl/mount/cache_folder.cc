#include "fileprovider/fpctl/mount/cache_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "fileprovider/fpctl/mount/errno_map.h"

namespace fpctl::mount {
namespace fs = std::filesystem;
namespace {

// What the mount keeps in its cache folder, checked before it is used.
constexpr const char* kCacheEntries[] = {"contents",   "work",       "queue",
                                         "unsent",     "retried",    "spare",
                                         "spare/work", "kept-dates", "pinned.json"};

}  // namespace

bool isOwnRegularFile(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
}

fp::ScopedFD openInCache(const fs::path& path, int flags) {
  fp::ScopedFD fd(
      fp::retryOnEintr([&] { return ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0600); }));
  if (fd && (flags & O_CREAT)) {
    // Only a umask that takes owner bits away leaves another mode.
    struct stat st {};
    if (::fstat(fd.get(), &st) == 0 && (st.st_mode & 07777) != 0600) {
      int saved = errno;
      [[maybe_unused]] int rc = ::fchmod(fd.get(), 0600);
      errno = saved;
    }
  }
  return fd;
}

std::optional<std::string> readCacheFile(const fs::path& path) {
  fp::ScopedFD fd = openInCache(path, O_RDONLY | O_NONBLOCK);
  if (!fd) return std::nullopt;
  std::string text;
  char buf[1 << 14];
  for (;;) {
    ssize_t n = fp::retryOnEintr([&] { return ::read(fd.get(), buf, sizeof buf); });
    if (n < 0) return std::nullopt;
    if (n == 0) return text;
    text.append(buf, static_cast<std::size_t>(n));
  }
}

fp::StatusOr<CacheFolder> CacheFolder::take(const fs::path& root) {
  if (std::error_code ec = createPrivateDirectories(root)) {
    return fp::fail(posixFailure(
        ec.value(), "cannot create the cache folder " + root.string() + ": " + ec.message()));
  }
  std::vector<fs::path> checked = {root};
  for (const char* entry : kCacheEntries) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(root / entry, ec))) checked.push_back(root / entry);
  }
  for (const auto& p : checked) {
    if (auto ok = checkPrivate(p, "the cache folder"); !ok) return fp::fail(ok.error());
  }
  fs::path lockPath = root / "lock";
  fp::ScopedFD lock = openInCache(lockPath, O_RDWR | O_CREAT);
  if (!lock) {
    const int e = errno;
    return fp::fail(
        posixFailure(e, "cannot lock the cache folder " + root.string() + ": " +
                            (e == ELOOP ? "its lock file is a symbolic link" : std::strerror(e))));
  }
  if (auto ok = checkPrivate(lockPath, "the cache folder's lock"); !ok) {
    fp::Error why = ok.error();
    why.message += "; remove it, or use another cache folder";
    return fp::fail(std::move(why));
  }
  if (fp::retryOnEintr([&] { return ::flock(lock.get(), LOCK_EX | LOCK_NB); }) != 0) {
    if (const int e = errno; e != EWOULDBLOCK) {
      return fp::fail(posixFailure(
          e, "cannot lock the cache folder " + root.string() + ": " + std::strerror(e)));
    }
    char text[32] = {};
    ssize_t n = fp::retryOnEintr([&] { return ::pread(lock.get(), text, sizeof text - 1, 0); });
    std::string pid = n > 0 ? std::string(text, static_cast<std::size_t>(n)) : "";
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == '\0')) pid.pop_back();
    return fp::fail(posixFailure(EBUSY, "cache folder " + root.string() +
                                            " is in use by another mount (pid " +
                                            (pid.empty() ? "unknown" : pid) +
                                            "); unmount it first, or use another cache folder"));
  }
  CacheFolder folder(std::move(lock));
  folder.notePid();
  return folder;
}

void CacheFolder::notePid() {
  std::string text = std::to_string(::getpid()) + "\n";
  if (fp::retryOnEintr([&] { return ::ftruncate(lock_.get(), 0); }) != 0) return;
  [[maybe_unused]] ssize_t n =
      fp::retryOnEintr([&] { return ::pwrite(lock_.get(), text.data(), text.size(), 0); });
}

}  // namespace fpctl::mount
