#include "fileprovider/fpctl/mount/content_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <fstream>
#include <memory>
#include <system_error>
#include <vector>

#include "fileprovider/fpctl/mount/hex_text.h"

namespace fpctl::mount {
namespace fs = std::filesystem;
namespace {

// What a fetched copy leaves free on the cache's file system.
constexpr std::int64_t kReserve = 64 << 20;

int errnoOf(const std::error_code& ec) { return ec.value() ? ec.value() : EIO; }

}  // namespace

int copyFileInto(const fs::path& source, int destination) {
  fp::ScopedFD in(fp::retryOnEintr([&] { return ::open(source.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!in) return errno;
  if (ftruncate(destination, 0) != 0) return errno;
  loff_t inOff = 0;
  loff_t outOff = 0;
  bool rangeCopy = true;
  char buf[1 << 16];
  for (;;) {
    if (rangeCopy) {
      ssize_t n = fp::retryOnEintr(
          [&] { return copy_file_range(in.get(), &inOff, destination, &outOff, 1 << 30, 0); });
      if (n == 0) return 0;
      if (n > 0) continue;
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        return errno;
      }
      rangeCopy = false;  // not between these files: fall back to plain copying
    }
    ssize_t n = fp::retryOnEintr([&] { return pread(in.get(), buf, sizeof buf, inOff); });
    if (n < 0) return errno;
    if (n == 0) return 0;
    ssize_t done = 0;
    while (done < n) {
      ssize_t w = fp::retryOnEintr(
          [&] { return pwrite(destination, buf + done, static_cast<size_t>(n - done), outOff); });
      if (w < 0) return errno;
      done += w;
      outOff += w;
    }
    inOff += n;
  }
}

int copyFetchedInto(const fs::path& source, int destination, std::int64_t limit,
                    std::int64_t reserve) {
  // O_NONBLOCK: a FIFO or device must not keep the open waiting.
  fp::ScopedFD in(fp::retryOnEintr(
      [&] { return ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY); }));
  if (!in) return errno;
  struct stat st {};
  if (fstat(in.get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  if (st.st_size > limit) return EFBIG;
  if (ftruncate(destination, 0) != 0) return errno;
  auto roomLeft = [&]() -> std::int64_t {
    struct statvfs vfs {};
    if (fstatvfs(destination, &vfs) != 0) return INT64_MAX;
    return static_cast<std::int64_t>(vfs.f_bavail) * static_cast<std::int64_t>(vfs.f_frsize);
  };
  if (roomLeft() - st.st_size < reserve) return ENOSPC;
  char buf[1 << 16];
  std::int64_t copied = 0;
  for (;;) {
    ssize_t n = fp::retryOnEintr([&] { return ::read(in.get(), buf, sizeof buf); });
    if (n < 0) return errno == EAGAIN ? EIO : errno;
    if (n == 0) return 0;
    copied += n;
    // A file that grows while it is copied is cut off, as is a disk filling up.
    if (copied > limit) return EFBIG;
    if ((copied & ((1 << 24) - 1)) < n && roomLeft() < reserve) return ENOSPC;
    ssize_t done = 0;
    while (done < n) {
      ssize_t w = fp::retryOnEintr([&] {
        return ::pwrite(destination, buf + done, static_cast<size_t>(n - done),
                        static_cast<off_t>(copied - n + done));
      });
      if (w < 0) return errno;
      done += w;
    }
  }
}

ErrnoOr<std::unique_ptr<ContentCache>> ContentCache::open(const fs::path& root,
                                                          bool removeOnClose) {
  std::error_code ec;
  for (const char* sub : {"contents", "work", "unsent"}) {
    fs::create_directories(root / sub, ec);
    if (ec) return fp::fail(Errno{errnoOf(ec)});
  }
  auto queue = UploadQueue::open(root);
  if (!queue) return fp::fail(queue.error());
  // Working copies of an earlier run belong to no open file any more. One that
  // was changed holds what a program wrote but never closed: not a state to
  // send, but not to be thrown away either.
  std::vector<fs::path> work;
  for (const auto& entry : fs::directory_iterator(root / "work", ec)) work.push_back(entry.path());
  for (const auto& p : work) {
    if (p.extension() == ".changed") continue;
    fs::path note = p;
    note += ".changed";
    std::error_code missing;
    if (fs::exists(note, missing)) {
      std::ifstream in(note);
      std::string name;
      std::getline(in, name);
      keepUnsent(root, p, name.empty() ? "file" : name,
                 "fpctl stopped while the file was open for writing; this is what had been "
                 "written, never closed and not sent");
    }
  }
  for (const auto& p : work) {
    std::error_code ignored;
    fs::remove_all(p, ignored);
  }
  return std::unique_ptr<ContentCache>(new ContentCache(root, removeOnClose, std::move(*queue)));
}

ContentCache::~ContentCache() {
  if (!removeOnClose_) return;
  std::error_code ec;
  // Files that could not be sent stay where the log said they are, and queued
  // ones wait for the next mount of this folder.
  if (fs::is_empty(root_ / "unsent", ec) && queue_->pending().empty()) {
    fs::remove_all(root_, ec);
  } else {
    fs::remove_all(root_ / "contents", ec);
    fs::remove_all(root_ / "work", ec);
  }
}

fs::path ContentCache::pathFor(const std::string& identifier, const std::string& version) const {
  return root_ / "contents" / (hexOf(identifier) + "." + hexOf(version));
}

void ContentCache::remember(const std::string& identifier, const fs::path& path) {
  fs::path old;
  {
    std::lock_guard lock(mu_);
    auto& slot = latest_[identifier];
    if (slot != path) old = std::exchange(slot, path);
  }
  if (!old.empty()) {
    std::error_code ec;
    fs::remove(old, ec);  // a reader that still has it open keeps its data
  }
}

std::optional<fs::path> ContentCache::find(const std::string& identifier,
                                           const std::string& contentVersion) {
  fs::path p = pathFor(identifier, contentVersion);
  std::error_code ec;
  if (!fs::is_regular_file(p, ec)) return std::nullopt;
  remember(identifier, p);
  return p;
}

ErrnoOr<fs::path> ContentCache::store(const std::string& identifier,
                                      const std::string& contentVersion, const fs::path& source,
                                      std::int64_t limit) {
  auto tmp = newWorkFile();
  if (!tmp) return fp::fail(tmp.error());
  if (int e = copyFetchedInto(source, tmp->fd.get(), limit, kReserve); e != 0) {
    std::error_code ec;
    fs::remove(tmp->path, ec);
    return fp::fail(Errno{e});
  }
  fs::path target = pathFor(identifier, contentVersion);
  if (::rename(tmp->path.c_str(), target.c_str()) != 0) {
    int e = errno;
    std::error_code ec;
    fs::remove(tmp->path, ec);
    return fp::fail(Errno{e});
  }
  remember(identifier, target);
  return target;
}

void ContentCache::adopt(const std::string& identifier, const std::string& contentVersion,
                         const fs::path& workPath) {
  fs::path target = pathFor(identifier, contentVersion);
  if (::rename(workPath.c_str(), target.c_str()) == 0) {
    remember(identifier, target);
  } else {
    std::error_code ec;
    fs::remove(workPath, ec);
  }
}

void ContentCache::drop(const std::string& identifier) {
  {
    std::lock_guard lock(mu_);
    latest_.erase(identifier);
  }
  // Cached files are named HEX(identifier).HEX(version); hex has no dot, so
  // the prefix names this item's files and no other's.
  const std::string prefix = hexOf(identifier) + ".";
  std::vector<fs::path> doomed;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(root_ / "contents", ec)) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) doomed.push_back(entry.path());
  }
  for (const auto& p : doomed) fs::remove(p, ec);
}

fs::path ContentCache::markChanged(const fs::path& workPath, const std::string& name) {
  fs::path note = workPath;
  note += ".changed";
  std::string line = name.substr(0, std::min<std::size_t>(name.find('\n'), 200));
  fp::ScopedFD fd(fp::retryOnEintr(
      [&] { return ::open(note.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600); }));
  if (fd) {
    [[maybe_unused]] ssize_t n = ::write(fd.get(), line.data(), line.size());
  }
  return note;
}

ErrnoOr<WorkFile> ContentCache::newWorkFile() {
  std::string pattern = (root_ / "work" / "w-XXXXXX").string();
  int fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return fp::fail(Errno{errno});
  return WorkFile{fs::path(pattern), fp::ScopedFD(fd)};
}

fs::path ContentCache::preserve(const fs::path& workPath, const std::string& name,
                                const std::string& reason) {
  return keepUnsent(root_, workPath, name, reason);
}

}  // namespace fpctl::mount
