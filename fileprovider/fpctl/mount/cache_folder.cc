#include "fileprovider/fpctl/mount/cache_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace fpctl::mount {
namespace fs = std::filesystem;
namespace {

// What the mount keeps in its cache folder, checked before it is used.
constexpr const char* kCacheEntries[] = {"contents", "work",       "queue",      "unsent",
                                         "spare",    "spare/work", "kept-dates", "pinned.json"};

fp::Error privacyError(std::string message) {
  return fp::Error{std::string(fp::kPOSIXErrorDomain), EACCES, std::move(message)};
}

// What the user can do about a folder checkPrivate() refused.
std::string remedyFor(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    return "give the folder itself, not a link to it";
  }
  if (::lstat(path.c_str(), &st) == 0 && st.st_uid != ::geteuid()) {
    return "use a folder of your own";
  }
  return "use a folder only you can write (chmod 700 " + path.string() + ")";
}

}  // namespace

std::error_code createPrivateDirectories(const fs::path& path) {
  std::error_code ec;
  std::vector<fs::path> missing;
  for (fs::path p = path; !p.empty(); p = p.parent_path()) {
    if (fs::exists(fs::symlink_status(p, ec))) break;
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0700) == 0) {
      // The umask may have taken owner bits away; the mode is set in full.
      if (::chmod(it->c_str(), 0700) != 0) return {errno, std::generic_category()};
    } else if (errno != EEXIST) {
      return {errno, std::generic_category()};
    }
  }
  if (!fs::is_directory(path, ec))
    return ec ? ec : std::make_error_code(std::errc::not_a_directory);
  return {};
}

fp::Status checkPrivate(const fs::path& path, std::string_view what) {
  std::string named = std::string(what) + " " + path.string();
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    return fp::fail(privacyError(named + " cannot be examined: " + std::strerror(errno)));
  }
  if (S_ISLNK(st.st_mode)) return fp::fail(privacyError(named + " is a symbolic link"));
  if (st.st_uid != ::geteuid()) {
    return fp::fail(
        privacyError(named + " is owned by another user (uid " + std::to_string(st.st_uid) + ")"));
  }
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return fp::fail(privacyError(named + " is writable by other users (mode " + mode + ")"));
  }
  return fp::Ok{};
}

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

fp::Result<CacheFolder, std::string> CacheFolder::take(const fs::path& root) {
  if (std::error_code ec = createPrivateDirectories(root)) {
    return fp::fail("cannot create the cache folder " + root.string() + ": " + ec.message());
  }
  std::vector<fs::path> checked = {root};
  for (const char* entry : kCacheEntries) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(root / entry, ec))) checked.push_back(root / entry);
  }
  for (const auto& p : checked) {
    if (auto ok = checkPrivate(p, "cache folder"); !ok) {
      return fp::fail(ok.error().message + "; " + remedyFor(p));
    }
  }
  fs::path lockPath = root / "lock";
  fp::ScopedFD lock = openInCache(lockPath, O_RDWR | O_CREAT);
  if (!lock) {
    return fp::fail("cannot lock the cache folder " + root.string() + ": " +
                    (errno == ELOOP ? "its lock file is a symbolic link" : std::strerror(errno)));
  }
  if (auto ok = checkPrivate(lockPath, "cache folder lock"); !ok) {
    return fp::fail(ok.error().message + "; remove it, or use another cache folder");
  }
  if (fp::retryOnEintr([&] { return ::flock(lock.get(), LOCK_EX | LOCK_NB); }) != 0) {
    if (errno != EWOULDBLOCK) {
      return fp::fail("cannot lock the cache folder " + root.string() + ": " +
                      std::strerror(errno));
    }
    char text[32] = {};
    ssize_t n = fp::retryOnEintr([&] { return ::pread(lock.get(), text, sizeof text - 1, 0); });
    std::string pid = n > 0 ? std::string(text, static_cast<std::size_t>(n)) : "";
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == '\0')) pid.pop_back();
    return fp::fail("cache folder " + root.string() + " is in use by another mount (pid " +
                    (pid.empty() ? "unknown" : pid) + "); unmount it first, or use another " +
                    "cache folder");
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
