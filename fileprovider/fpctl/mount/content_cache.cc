#include "fileprovider/fpctl/mount/content_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <system_error>

namespace fpctl::mount {
namespace fs = std::filesystem;
namespace {

std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

int errnoOf(const std::error_code& ec) { return ec.value() ? ec.value() : EIO; }

// A name for unsent/ that keeps the item's name readable and cannot collide.
std::string uniqueSuffix() {
  static std::atomic<unsigned> counter{0};
  auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()) + "-" +
         std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
}

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

ErrnoOr<std::unique_ptr<ContentCache>> ContentCache::open(const fs::path& root,
                                                          bool removeOnClose) {
  std::error_code ec;
  for (const char* sub : {"contents", "work", "unsent"}) {
    fs::create_directories(root / sub, ec);
    if (ec) return fp::fail(Errno{errnoOf(ec)});
  }
  // Working copies of an earlier run belong to no open file any more.
  for (const auto& entry : fs::directory_iterator(root / "work", ec)) {
    std::error_code ignored;
    fs::remove_all(entry.path(), ignored);
  }
  return std::unique_ptr<ContentCache>(new ContentCache(root, removeOnClose));
}

ContentCache::~ContentCache() {
  if (!removeOnClose_) return;
  std::error_code ec;
  // Files that could not be sent stay where the log said they are.
  if (fs::is_empty(root_ / "unsent", ec)) {
    fs::remove_all(root_, ec);
  } else {
    fs::remove_all(root_ / "contents", ec);
    fs::remove_all(root_ / "work", ec);
  }
}

fs::path ContentCache::pathFor(const std::string& identifier, const std::string& version) const {
  return root_ / "contents" / (hex(identifier) + "." + hex(version));
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
                                      const std::string& contentVersion, const fs::path& source) {
  auto tmp = newWorkFile();
  if (!tmp) return fp::fail(tmp.error());
  if (int e = copyFileInto(source, tmp->fd.get()); e != 0) {
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

ErrnoOr<WorkFile> ContentCache::newWorkFile() {
  std::string pattern = (root_ / "work" / "w-XXXXXX").string();
  int fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return fp::fail(Errno{errno});
  return WorkFile{fs::path(pattern), fp::ScopedFD(fd)};
}

fs::path ContentCache::preserve(const fs::path& workPath, const std::string& name) {
  std::string safe;
  for (char c : name) safe += (c == '/' || c == '\0') ? '_' : c;
  fs::path target = root_ / "unsent" / (uniqueSuffix() + "-" + safe);
  std::error_code ec;
  fs::rename(workPath, target, ec);
  if (ec) {
    fs::copy_file(workPath, target, ec);
    if (ec) return {};
  }
  return target;
}

}  // namespace fpctl::mount
