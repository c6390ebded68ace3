#include "fileprovider/file_manager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <system_error>

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

fs::path containersRoot() {
  if (const char* env = std::getenv("FILEPROVIDER_CONTAINERS"); env && *env) return env;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
    return fs::path(xdg) / "fileprovider" / "containers";
  }
  const char* home = std::getenv("HOME");
  return fs::path(home && *home ? home : "/") / ".local" / "share" / "fileprovider" / "containers";
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

std::optional<fs::path> FileManager::containerURL(std::string_view groupIdentifier) {
  if (!safeComponent(groupIdentifier) || !entitled(groupIdentifier)) return std::nullopt;
  fs::path dir = containersRoot() / std::string(groupIdentifier);
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir, ec)) return std::nullopt;
  return dir;
}

bool FileManager::fileExists(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

Status FileManager::createDirectory(const fs::path& path, bool withIntermediateDirectories) {
  std::error_code ec;
  if (withIntermediateDirectories) {
    fs::create_directories(path, ec);
  } else {
    fs::create_directory(path, ec);
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

StatusOr<std::string> FileManager::contentsOfFile(const fs::path& path) {
  ScopedFD fd(retryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!fd) {
    return fail(fromErrorCode(std::error_code(errno, std::generic_category()),
                              "reading " + path.string(), kFileReadUnknownError));
  }
  std::string data;
  char buf[65536];
  for (;;) {
    ssize_t n = retryOnEintr([&] { return ::read(fd.get(), buf, sizeof buf); });
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
