#include "fileprovider/private_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

namespace fp {

namespace fs = std::filesystem;

std::error_code createPrivateDirectories(const fs::path& path) {
  std::vector<fs::path> missing;
  for (fs::path p = path; !p.empty(); p = p.parent_path()) {
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0) break;
    if (errno != ENOENT) return {errno, std::generic_category()};
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), kPrivateFolderMode) == 0) {
      // The umask may have taken bits away; the mode is set in full.
      if (::chmod(it->c_str(), kPrivateFolderMode) != 0) return {errno, std::generic_category()};
    } else if (errno != EEXIST) {
      return {errno, std::generic_category()};
    }
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {errno, std::generic_category()};
  if (!S_ISDIR(st.st_mode)) return {ENOTDIR, std::generic_category()};
  return {};
}

Status checkPrivate(const fs::path& path, std::string_view what) {
  const std::string subject = "refusing to use " + std::string(what) + " " + path.string() + ": ";
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    const int errnum = errno;
    return fail(Error::cocoa(errnum == ENOENT ? kFileReadNoSuchFileError : kFileReadUnknownError,
                             subject + std::generic_category().message(errnum)));
  }
  if (S_ISLNK(st.st_mode)) {
    return fail(Error::cocoa(kFileReadNoPermissionError,
                             subject + "it is a symbolic link; use the real path"));
  }
  if (st.st_uid != ::geteuid()) {
    return fail(Error::cocoa(kFileReadNoPermissionError,
                             subject + "it belongs to uid " + std::to_string(st.st_uid) +
                                 ", not to you (uid " + std::to_string(::geteuid()) + ")"));
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return fail(Error::cocoa(kFileReadNoPermissionError,
                             subject + "it is writable by group or others (mode " + mode +
                                 "); only its owner may write it (chmod go-w " + path.string() +
                                 ")"));
  }
  return Ok{};
}

}  // namespace fp
