// The mount's cache folder: made the owner's alone, checked, and locked for one
// mount at a time.
//
// The folder holds copies of the account's files and the changes that wait to
// be sent to it, so no other user may read or change anything in it: every
// folder the mount makes in it (or for it) is 0700 and every file 0600,
// whatever the umask; a folder that another user owns, that group or others
// can write, or that is a symbolic link is refused, not used; and nothing in
// it is opened through a symbolic link.
#ifndef FPCTL_MOUNT_CACHE_FOLDER_H_
#define FPCTL_MOUNT_CACHE_FOLDER_H_

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "fileprovider/error.h"
#include "fileprovider/private_path.h"
#include "fileprovider/result.h"
#include "fileprovider/scoped_fd.h"

namespace fpctl::mount {

// Folders are made and checked as for the rest of the user's state.
using fp::checkPrivate;
using fp::createPrivateDirectories;

// Whether `path` itself (never followed) is a regular file owned by geteuid().
[[nodiscard]] bool isOwnRegularFile(const std::filesystem::path& path);

// Opens a file in the cache folder: open(path, flags | O_NOFOLLOW | O_CLOEXEC,
// 0600), retried on EINTR, so a symbolic link fails (ELOOP). With O_CREAT, the
// file is given mode 0600 whatever the umask. Fails as open() does (errno set).
[[nodiscard]] fp::ScopedFD openInCache(const std::filesystem::path& path, int flags);

// All of the file at `path` in the cache folder (opened with openInCache());
// none when it cannot be read.
[[nodiscard]] std::optional<std::string> readCacheFile(const std::filesystem::path& path);

// The cache folder of one mount, held for the life of the object.
class CacheFolder {
 public:
  // Makes `root` ready for a mount: creates it and its missing parents
  // (createPrivateDirectories()); refuses it when checkPrivate() does, and
  // likewise each of the folders and files the mount keeps in it that exists
  // already; then takes an exclusive flock on its file `lock` (0600), which
  // holds the pid of the mount. Refused when another mount holds that lock.
  // The error is a line for the user naming the folder and what to do.
  [[nodiscard]] static fp::StatusOr<CacheFolder> take(const std::filesystem::path& root);

  CacheFolder(CacheFolder&&) = default;
  CacheFolder& operator=(CacheFolder&&) = default;

  // Writes this process's pid into the lock file, as after leaving the
  // foreground: the lock is shared with the process that took it.
  void notePid();

 private:
  explicit CacheFolder(fp::ScopedFD lock) : lock_(std::move(lock)) {}
  fp::ScopedFD lock_;
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_CACHE_FOLDER_H_
