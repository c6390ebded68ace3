#include "fileprovider/file_manager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "fileprovider/private_path.h"
#include "fileprovider/scoped_fd.h"

namespace fp {
namespace {

namespace fs = std::filesystem;

// The application groups this process may use (its entitlements).
struct Entitlements {
  std::mutex mutex;
  std::set<std::string, std::less<>> groups;
};
Entitlements& entitlements() {
  static Entitlements* e = new Entitlements;  // never destroyed: used by detached workers
  return *e;
}

bool entitled(std::string_view group) {
  auto& e = entitlements();
  std::lock_guard lock(e.mutex);
  return e.groups.find(group) != e.groups.end();
}

// Where the containers persist: ${XDG_DATA_HOME:-$HOME/.local/share}/fileprovider/containers.
fs::path persistentContainersRoot() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
    return fs::path(xdg) / "fileprovider" / "containers";
  }
  const char* home = std::getenv("HOME");
  return fs::path(home && *home ? home : "/") / ".local" / "share" / "fileprovider" / "containers";
}

// The short folder through which containers are reached by default:
// $XDG_RUNTIME_DIR/fileprovider when that folder is short and this user's own
// (it is not after su or sudo), else /tmp/fileprovider-<uid>. Both stay short
// whatever the home folder, so a socket in a container keeps within the length
// a Unix socket address allows.
fs::path shortContainersRoot() {
  constexpr std::size_t kLongestRuntimeDir = 32;
  if (const char* run = std::getenv("XDG_RUNTIME_DIR");
      run && *run == '/' && std::strlen(run) <= kLongestRuntimeDir) {
    struct stat st {};
    if (::stat(run, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()) {
      return fs::path(run) / "fileprovider";
    }
  }
  return fs::path("/tmp") / ("fileprovider-" + std::to_string(::geteuid()));
}

// Makes `dir` an owner-only folder of this user, or says why not: a folder in
// a shared place such as /tmp may have been made by someone else (or be a link
// someone planted), and is then not used.
Status ownPrivateFolder(const fs::path& dir) {
  if (::mkdir(dir.c_str(), kPrivateFolderMode) != 0 && errno != EEXIST) {
    return fail(Error::fromErrno(errno, FileAccess::kWrite, "creating folder " + dir.string()));
  }
  struct stat st {};
  if (::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()) {
    if ((st.st_mode & 07777) == kPrivateFolderMode ||
        ::chmod(dir.c_str(), kPrivateFolderMode) == 0) {
      return Ok{};
    }
  }
  auto problem = checkPrivate(dir, "the containers folder");
  if (!problem.ok()) return problem;
  return fail(Error::cocoa(kFileReadNoPermissionError,
                           "refusing to use the containers folder " + dir.string() +
                               ": it is not a folder only you can use"));
}

// Makes `link` a symbolic link to `target`. A link to elsewhere is replaced in
// one rename, so concurrent callers never see it missing.
bool pointLinkAt(const fs::path& link, const fs::path& target) {
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(link, ec)) && fs::read_symlink(link, ec) == target) {
    return true;
  }
  fs::path temp = link;
  temp += ".link-" + std::to_string(::getpid()) + "-" +
          std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()));
  ::unlink(temp.c_str());
  if (::symlink(target.c_str(), temp.c_str()) != 0) return false;
  if (::rename(temp.c_str(), link.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

Error containerError(const fs::path& dir, const std::error_code& ec) {
  return Error::fromErrno(ec.value(), FileAccess::kWrite, "creating container " + dir.string());
}

// The container of `group` (a safe path component): under
// $FILEPROVIDER_CONTAINERS when set; otherwise the group's folder under the
// persistent root, reached through a symbolic link in the short root.
StatusOr<fs::path> makeContainer(const std::string& group) {
  if (const char* env = std::getenv("FILEPROVIDER_CONTAINERS"); env && *env) {
    fs::path dir = fs::path(env) / group;
    if (auto ec = createPrivateDirectories(dir)) return fail(containerError(dir, ec));
    return dir;
  }
  const fs::path stored = persistentContainersRoot() / group;
  if (auto ec = createPrivateDirectories(stored)) return fail(containerError(stored, ec));
  const fs::path shortRoot = shortContainersRoot();
  if (auto owned = ownPrivateFolder(shortRoot); !owned.ok()) return propagate(owned);
  const fs::path link = shortRoot / group;
  if (!pointLinkAt(link, stored)) {
    return fail(Error::fromErrno(errno, FileAccess::kWrite,
                                 "linking " + link.string() + " to " + stored.string()));
  }
  return link;
}

// A group identifier becomes one path component; anything that could leave the
// containers folder is refused.
bool safeComponent(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

Error fromErrorCode(const std::error_code& ec, std::string_view what, int cocoaCode) {
  return Error::fromErrno(
      ec.value(), cocoaCode == kFileReadUnknownError ? FileAccess::kRead : FileAccess::kWrite,
      what);
}

}  // namespace

void declareApplicationGroups(const std::vector<std::string>& groups) {
  auto& e = entitlements();
  std::lock_guard lock(e.mutex);
  for (const auto& g : groups) e.groups.insert(g);
}

FileManager& FileManager::defaultManager() {
  static FileManager* manager = new FileManager;  // never destroyed, like the platform's
  return *manager;
}

StatusOr<fs::path> applicationGroupContainer(std::string_view groupIdentifier) {
  if (!safeComponent(groupIdentifier)) {
    return fail(Error::cocoa(
        kFileWriteInvalidFileNameError,
        "\"" + std::string(groupIdentifier) + "\" cannot name an application group's folder"));
  }
  if (!entitled(groupIdentifier)) {
    return fail(Error::cocoa(kFileReadNoPermissionError,
                             "this program is not entitled to the application group \"" +
                                 std::string(groupIdentifier) + "\""));
  }
  return makeContainer(std::string(groupIdentifier));
}

std::optional<fs::path> FileManager::containerURL(std::string_view groupIdentifier) {
  auto container = applicationGroupContainer(groupIdentifier);
  if (!container.ok()) return std::nullopt;
  return std::move(container).value();
}

bool FileManager::fileExists(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

Status FileManager::createDirectory(const fs::path& path, bool withIntermediateDirectories) {
  std::error_code ec;
  if (withIntermediateDirectories) {
    ec = createPrivateDirectories(path);
  } else if (::mkdir(path.c_str(), kPrivateFolderMode) == 0) {
    if (::chmod(path.c_str(), kPrivateFolderMode) != 0)
      ec = std::error_code(errno, std::generic_category());
  } else if (errno != EEXIST) {
    ec = std::error_code(errno, std::generic_category());
  }
  if (ec)
    return fail(fromErrorCode(ec, "creating directory " + path.string(), kFileWriteUnknownError));
  if (!fs::is_directory(path, ec)) {
    return fail(fromErrorCode(std::make_error_code(std::errc::file_exists),
                              "creating directory " + path.string(), kFileWriteUnknownError));
  }
  return Ok{};
}

Status FileManager::copyItem(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  if (fs::exists(fs::symlink_status(to, ec))) {
    return fail(fromErrorCode(std::make_error_code(std::errc::file_exists),
                              "copying " + from.string() + " to " + to.string(),
                              kFileWriteUnknownError));
  }
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  if (ec) {
    return fail(fromErrorCode(ec, "copying " + from.string() + " to " + to.string(),
                              kFileWriteUnknownError));
  }
  return Ok{};
}

Status FileManager::removeItem(const fs::path& path) {
  std::error_code ec;
  auto n = fs::remove_all(path, ec);
  if (ec) return fail(fromErrorCode(ec, "removing " + path.string(), kFileWriteUnknownError));
  if (n == 0) {
    return fail(fromErrorCode(std::make_error_code(std::errc::no_such_file_or_directory),
                              "removing " + path.string(), kFileWriteUnknownError));
  }
  return Ok{};
}

StatusOr<std::string> FileManager::contentsOfFile(const fs::path& path, std::size_t maxBytes) {
  // O_NONBLOCK: opening a FIFO nobody writes to must not wait; only a regular
  // file is read, so a device such as /dev/zero cannot feed bytes without end.
  ScopedFD fd(retryOnEintr(
      [&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); }));
  if (!fd) {
    return fail(fromErrorCode(std::error_code(errno, std::generic_category()),
                              "reading " + path.string(), kFileReadUnknownError));
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return fail(Error{std::string(kCocoaErrorDomain), kFileReadUnknownError,
                      "reading " + path.string() + ": not a regular file"});
  }
  std::string data;
  char buf[65536];
  for (;;) {
    if (data.size() > maxBytes) {
      return fail(Error{
          std::string(kCocoaErrorDomain), kFileReadTooLargeError,
          "reading " + path.string() + ": larger than " + std::to_string(maxBytes) + " bytes"});
    }
    // One byte past the bound is asked for, to tell a file of exactly the bound
    // from a longer one.
    const std::size_t left = maxBytes - data.size();
    const std::size_t room = left >= sizeof buf ? sizeof buf : left + 1;
    ssize_t n = retryOnEintr([&] { return ::read(fd.get(), buf, room); });
    if (n < 0) {
      return fail(fromErrorCode(std::error_code(errno, std::generic_category()),
                                "reading " + path.string(), kFileReadUnknownError));
    }
    if (n == 0) break;
    data.append(buf, static_cast<std::size_t>(n));
  }
  return data;
}

}  // namespace fp
