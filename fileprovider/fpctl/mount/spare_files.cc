#include "fileprovider/fpctl/mount/spare_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "fileprovider/fpctl/mount/cache_folder.h"

namespace fpctl::mount {
namespace fs = std::filesystem;
namespace {

// True when the file at `path` is a spare: one zero byte (or none, as spares
// of earlier versions were), or none when `empty`.
bool isSpare(const fs::path& path, const struct stat& st, bool empty) {
  if (st.st_size == 0) return true;
  if (empty) return false;
  if (st.st_size != 1) return false;
  fp::ScopedFD fd = openInCache(path, O_RDONLY | O_NONBLOCK);
  char byte = 1;
  return fd && fp::retryOnEintr([&] { return ::pread(fd.get(), &byte, 1, 0); }) == 1 && byte == 0;
}

// Cuts the file at `path` to one zero byte, or to nothing when `empty`;
// false when it cannot be.
bool makeSpare(const fs::path& path, bool empty) {
  fp::ScopedFD fd = openInCache(path, O_WRONLY | O_NONBLOCK);
  if (!fd) return false;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const char zero = 0;
  if (empty) return fp::retryOnEintr([&] { return ::ftruncate(fd.get(), 0); }) == 0;
  return fp::retryOnEintr([&] { return ::ftruncate(fd.get(), 1); }) == 0 &&
         fp::retryOnEintr([&] { return ::pwrite(fd.get(), &zero, 1, 0); }) == 1;
}

}  // namespace

SpareFiles::SpareFiles(fs::path folder, std::size_t keep, Contents contents)
    : folder_(std::move(folder)), keep_(keep), contents_(contents) {
  std::error_code ec = createPrivateDirectories(folder_);
  for (const auto& entry : fs::directory_iterator(folder_, ec)) {
    struct stat st {};
    if (::lstat(entry.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    // Another user's file is never given a mount's contents.
    if (st.st_uid != ::geteuid()) continue;
    std::string name = entry.path().filename().string();
    if (name.starts_with("spare-")) {
      nextName_ = std::max(nextName_, std::strtoull(name.c_str() + 6, nullptr, 10) + 1);
    }
    if (free_.size() >= keep_ || !isSpare(entry.path(), st, contents_ == Contents::kEmpty)) {
      fs::remove(entry.path(), ec);
      continue;
    }
    free_.push_back(entry.path());
  }
}

fp::ScopedFD SpareFiles::create(const fs::path& path, int flags) {
  fs::path spare;
  {
    std::lock_guard lock(mu_);
    if (!free_.empty()) {
      spare = std::move(free_.back());
      free_.pop_back();
    }
  }
  if (!spare.empty() &&
      ::renameat2(AT_FDCWD, spare.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
    // `path` exists, or the file system cannot rename without replacing: the
    // spare stays one, and `path` is opened as it is.
    if (errno == EEXIST) {
      std::lock_guard lock(mu_);
      free_.push_back(std::move(spare));
    } else {
      std::error_code ec;
      fs::remove(spare, ec);
    }
  }
  return openInCache(path, flags | O_CREAT);
}

ErrnoOr<void> SpareFiles::fit(int fd, off_t length) {
  if (fp::retryOnEintr([&] { return ::ftruncate(fd, length); }) == 0) return fp::Ok{};
  return fp::fail(Errno{errno});
}

bool SpareFiles::remove(const fs::path& path) {
  fs::path spare;
  {
    std::lock_guard lock(mu_);
    if (free_.size() < keep_) spare = folder_ / ("spare-" + std::to_string(nextName_++));
  }
  // Zeroed first, so that nothing it held survives under another name.
  if (!spare.empty() && makeSpare(path, contents_ == Contents::kEmpty) &&
      ::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, spare.c_str(), RENAME_NOREPLACE) == 0) {
    std::lock_guard lock(mu_);
    free_.push_back(std::move(spare));
    return true;
  }
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

std::size_t SpareFiles::kept() const {
  std::lock_guard lock(mu_);
  return free_.size();
}

}  // namespace fpctl::mount
