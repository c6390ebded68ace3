#include "fileprovider/fpctl/mount/spare_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace fpctl::mount {
namespace fs = std::filesystem;

SpareFiles::SpareFiles(fs::path folder, std::size_t keep)
    : folder_(std::move(folder)), keep_(keep) {
  std::error_code ec;
  fs::create_directories(folder_, ec);
  for (const auto& entry : fs::directory_iterator(folder_, ec)) {
    struct stat st {};
    if (::lstat(entry.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    std::string name = entry.path().filename().string();
    if (name.starts_with("spare-")) {
      nextName_ = std::max(nextName_, std::strtoull(name.c_str() + 6, nullptr, 10) + 1);
    }
    if (free_.size() >= keep_ || st.st_size != 0) {
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
  return fp::ScopedFD(
      fp::retryOnEintr([&] { return ::open(path.c_str(), flags | O_CREAT | O_TRUNC, 0600); }));
}

bool SpareFiles::remove(const fs::path& path) {
  fs::path spare;
  {
    std::lock_guard lock(mu_);
    if (free_.size() < keep_) spare = folder_ / ("spare-" + std::to_string(nextName_++));
  }
  // Emptied first, so that nothing it held survives under another name.
  if (!spare.empty() && ::truncate(path.c_str(), 0) == 0 &&
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
