#include "reference-host/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <system_error>

#include "fileprovider/file_io.h"
#include "fileprovider/private_path.h"
#include "reference-host/access.h"
#include "reference-host/ulid.h"

namespace refhost {
namespace {

namespace fs = std::filesystem;

fp::Error posixError(int errnum, std::string_view context) {
  return fp::Error::posix(errnum, context);
}

fp::Error posixError(const std::error_code& ec, std::string_view context) {
  return fp::Error::posix(ec.value(), context);
}

struct DirCloser {
  void operator()(DIR* d) const noexcept { ::closedir(d); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// The folder `fd` refers to, for reading its entries; it owns `fd` from here
// on, also when it cannot be had.
Dir openDir(fp::ScopedFD fd) {
  if (!fd) return nullptr;
  Dir dir(::fdopendir(fd.get()));
  if (dir) (void)fd.release();
  return dir;
}

// Walks the folder `fd` (at `dir`, relative path `rel`) and appends what it
// holds to `out`. Each entry is examined relative to its folder, not by a
// path from the top, so that a large store costs no walk of every path.
fp::Status scanFolder(fp::ScopedFD fd, const fs::path& dir, const std::string& rel, bool top,
                      std::vector<Observed>& out) {
  Dir d = openDir(std::move(fd));
  if (!d) return fp::fail(posixError(errno, "reading folder " + dir.string()));
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(d.get());
    if (!entry) break;
    const std::string_view name = entry->d_name;
    if (name == "." || name == ".." || (top && name == kMetaFolderName)) continue;
    struct stat st {};
    if (::fstatat(::dirfd(d.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // removed while we looked
      return fp::fail(posixError(errno, "examining " + (dir / entry->d_name).string()));
    }
    std::string childRel = joinPath(rel, name);
    if (S_ISDIR(st.st_mode)) {
      out.push_back({childRel, true, 0, 0, static_cast<std::uint64_t>(st.st_ino)});
      fp::ScopedFD child(fp::retryOnEintr([&] {
        return ::openat(::dirfd(d.get()), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      }));
      if (auto s = scanFolder(std::move(child), dir / entry->d_name, childRel, false, out); !s) {
        return s;
      }
    } else if (S_ISREG(st.st_mode)) {
      std::int64_t ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 +
                        static_cast<std::int64_t>(st.st_mtim.tv_nsec);
      out.push_back({std::move(childRel), false, static_cast<std::int64_t>(st.st_size), ns,
                     static_cast<std::uint64_t>(st.st_ino)});
    }
  }
  if (errno != 0) return fp::fail(posixError(errno, "reading folder " + dir.string()));
  return fp::Ok{};
}

// scanFolder() of the folder at `dir`.
fp::Status scanFolderAt(const fs::path& dir, const std::string& rel, bool top,
                        std::vector<Observed>& out) {
  fp::ScopedFD fd(
      fp::retryOnEintr([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  return scanFolder(std::move(fd), dir, rel, top, out);
}

fp::Status writeAll(int fd, std::string_view bytes, const fs::path& what) {
  if (auto written = fp::writeAll(fd, bytes); !written) {
    return fp::fail(posixError(written.error().code, "writing " + what.string()));
  }
  return fp::Ok{};
}

// Creates a new file beside `to`, lets `fill` write it, and renames it to `to`;
// nothing is left behind on failure. The file gets `mode`, or else the mode of
// the file it replaces (0644 less the umask when there is none).
template <class Fill>
fp::Status replaceThroughTemporary(const fs::path& to, Fill fill, std::optional<mode_t> mode) {
  fs::path temp = to;
  temp += ".part-" + newUlid();
  const mode_t bits = mode ? *mode : storeFileMode(to);
  fp::Status filled = fp::Ok{};
  {
    fp::ScopedFD out(fp::retryOnEintr(
        [&] { return ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); }));
    if (!out) return fp::fail(posixError(errno, "creating " + temp.string()));
    filled = fill(out.get());
    if (filled && ::fchmod(out.get(), bits) != 0) {
      filled = fp::fail(posixError(errno, "setting the mode of " + temp.string()));
    }
  }
  if (filled && ::rename(temp.c_str(), to.c_str()) != 0) {
    filled = fp::fail(posixError(errno, "renaming " + temp.string() + " to " + to.string()));
  }
  if (!filled) ::unlink(temp.c_str());
  return filled;
}

}  // namespace

std::string parentPath(std::string_view path) {
  auto slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash));
}

std::string_view baseName(std::string_view path) {
  auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string joinPath(std::string_view parent, std::string_view name) {
  if (parent.empty()) return std::string(name);
  std::string out(parent);
  out += '/';
  out += name;
  return out;
}

bool isWithin(std::string_view path, std::string_view folder) {
  if (folder.empty()) return true;
  return path == folder || (path.size() > folder.size() &&
                            path.substr(0, folder.size()) == folder && path[folder.size()] == '/');
}

bool isValidName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

Store::Store(fs::path root) : root_(std::move(root)) {}

fs::path Store::absolute(std::string_view relativePath) const {
  return relativePath.empty() ? root_ : root_ / fs::path(std::string(relativePath));
}

fs::path Store::lockFile() const { return root_ / std::string(kMetaFolderName) / "locks.json"; }

fs::path Store::scratchFolder() const { return root_ / std::string(kMetaFolderName) / "tmp"; }

fp::Status Store::prepare() const {
  struct stat st {};
  if (::stat(root_.c_str(), &st) != 0)
    return fp::fail(posixError(errno, "store " + root_.string()));
  if (!S_ISDIR(st.st_mode)) return fp::fail(posixError(ENOTDIR, "store " + root_.string()));
  if (std::error_code ec = fp::createPrivateDirectories(scratchFolder())) {
    return fp::fail(posixError(ec, "creating " + scratchFolder().string()));
  }
  return fp::Ok{};
}

fp::StatusOr<std::vector<Observed>> Store::scanItem(std::string_view path, bool deep) const {
  std::vector<Observed> out;
  if (path.empty() || isWithin(path, kMetaFolderName)) return out;
  const fs::path item = absolute(path);
  struct stat st {};
  if (::lstat(item.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return out;
    return fp::fail(posixError(errno, "examining " + item.string()));
  }
  std::string rel(path);
  if (S_ISDIR(st.st_mode)) {
    out.push_back({rel, true, 0, 0, static_cast<std::uint64_t>(st.st_ino)});
    if (deep) {
      if (auto s = scanFolderAt(item, rel, false, out); !s) return fp::fail(s.error());
      std::sort(out.begin(), out.end(),
                [](const Observed& a, const Observed& b) { return a.path < b.path; });
    }
  } else if (S_ISREG(st.st_mode)) {
    std::int64_t ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 +
                      static_cast<std::int64_t>(st.st_mtim.tv_nsec);
    out.push_back({rel, false, static_cast<std::int64_t>(st.st_size), ns,
                   static_cast<std::uint64_t>(st.st_ino)});
  }
  return out;
}

fp::StatusOr<std::vector<Observed>> Store::scan() const {
  std::vector<Observed> out;
  if (auto s = scanFolderAt(root_, "", true, out); !s) return fp::fail(s.error());
  std::sort(out.begin(), out.end(),
            [](const Observed& a, const Observed& b) { return a.path < b.path; });
  return out;
}

fp::StatusOr<LockTable> Store::readLocks() const {
  fs::path file = lockFile();
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0 && errno == ENOENT) return LockTable{};
  std::ifstream in(file, std::ios::binary);
  if (!in) return fp::fail(posixError(EIO, "reading " + file.string()));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto json = nlohmann::json::parse(text, nullptr, false);
  if (json.is_discarded() || !json.is_object()) {
    return fp::fail(fp::Error{std::string(fp::kCocoaErrorDomain), fp::kFileReadCorruptFileError,
                              file.string() + ": not a JSON object of paths and user ids"});
  }
  LockTable locks;
  for (const auto& [path, user] : json.items()) {
    if (!user.is_number_integer()) {
      return fp::fail(
          fp::Error{std::string(fp::kCocoaErrorDomain), fp::kFileReadCorruptFileError,
                    file.string() + ": the lock of \"" + path + "\" is not an integer user id"});
    }
    locks[path] = user.get<std::int64_t>();
  }
  return locks;
}

fp::Status Store::writeLocks(const LockTable& locks) const {
  nlohmann::json json = nlohmann::json::object();
  for (const auto& [path, user] : locks) json[path] = user;
  return writeNewFile(json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n",
                      lockFile());
}

fp::Status Store::makeFolder(std::string_view path) const {
  fs::path target = absolute(path);
  if (::mkdir(target.c_str(), 0755) != 0) {
    return fp::fail(posixError(errno, "creating folder " + target.string()));
  }
  return fp::Ok{};
}

fp::Status Store::takeOver(const fs::path& from, std::string_view path, bool replace) const {
  fs::path target = absolute(path);
  // Bring the file onto the store's file system under a private name first, so
  // that the final step is one rename that either happens whole or not at all.
  fs::path scratch = scratchFolder() / ("adopt-" + newUlid());
  if (::rename(from.c_str(), scratch.c_str()) != 0) {
    if (errno != EXDEV) return fp::fail(posixError(errno, "taking over " + from.string()));
    fp::ScopedFD in(
        fp::retryOnEintr([&] { return ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW); }));
    if (!in) return fp::fail(posixError(errno, "taking over " + from.string()));
    if (auto s = copyToNewFile(in.get(), scratch); !s) return s;
    ::unlink(from.c_str());
  }
  // The staged copy's own mode (often 0600) says nothing about the file in the
  // store: it keeps the mode of the file it replaces, or a new file's default.
  if (::chmod(scratch.c_str(), storeFileMode(target)) != 0) {
    int err = errno;
    ::unlink(scratch.c_str());
    return fp::fail(posixError(err, "setting the mode of " + scratch.string()));
  }
  int rc = ::renameat2(AT_FDCWD, scratch.c_str(), AT_FDCWD, target.c_str(),
                       replace ? 0u : RENAME_NOREPLACE);
  if (rc != 0) {
    int err = errno;
    ::unlink(scratch.c_str());
    return fp::fail(posixError(err, "storing " + target.string()));
  }
  return fp::Ok{};
}

fp::Status Store::move(std::string_view from, std::string_view to) const {
  fs::path source = absolute(from);
  fs::path target = absolute(to);
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
    return fp::fail(posixError(errno, "moving " + source.string() + " to " + target.string()));
  }
  return fp::Ok{};
}

fp::Status Store::removeItem(std::string_view path) const {
  fs::path target = absolute(path);
  std::error_code ec;
  auto removed = fs::remove_all(target, ec);
  if (ec) return fp::fail(posixError(ec, "removing " + target.string()));
  if (removed == 0) return fp::fail(posixError(ENOENT, "removing " + target.string()));
  return fp::Ok{};
}

fp::StatusOr<fp::ScopedFD> Store::openFile(std::string_view path) const {
  fs::path target = absolute(path);
  fp::ScopedFD fd(
      fp::retryOnEintr([&] { return ::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW); }));
  if (!fd) return fp::fail(posixError(errno, "opening " + target.string()));
  return fd;
}

bool Store::exists(std::string_view path) const {
  struct stat st {};
  return ::lstat(absolute(path).c_str(), &st) == 0;
}

fp::Status copyToNewFile(int fd, const fs::path& to, std::optional<mode_t> mode) {
  return replaceThroughTemporary(
      to,
      [fd, &to](int out) -> fp::Status {
        char buf[65536];
        for (;;) {
          ssize_t n = fp::retryOnEintr([&] { return ::read(fd, buf, sizeof buf); });
          if (n < 0) return fp::fail(posixError(errno, "reading the source of " + to.string()));
          if (n == 0) return fp::Ok{};
          if (auto s = writeAll(out, std::string_view(buf, static_cast<std::size_t>(n)), to); !s) {
            return s;
          }
        }
      },
      mode);
}

fp::Status writeNewFile(std::string_view bytes, const fs::path& to, std::optional<mode_t> mode) {
  return replaceThroughTemporary(
      to, [bytes, &to](int out) { return writeAll(out, bytes, to); }, mode);
}

}  // namespace refhost
