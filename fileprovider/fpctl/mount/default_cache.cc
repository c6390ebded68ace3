#include "fileprovider/fpctl/mount/default_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fileprovider/fpctl/mount/cache_folder.h"
#include "fileprovider/scoped_fd.h"

namespace fpctl::mount {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxReadable = 32;

bool isOwnFolder(const fs::path& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
}

bool holdsSomething(const fs::path& folder) {
  std::error_code ec;
  return fs::directory_iterator(folder, ec) != fs::directory_iterator();
}

}  // namespace

fs::path defaultCacheBase() {
  fs::path base;
  if (const char* x = std::getenv("XDG_CACHE_HOME"); x && *x) {
    base = x;
  } else if (const char* h = std::getenv("HOME"); h && *h) {
    base = fs::path(h) / ".cache";
  } else {
    base = fs::temp_directory_path();
  }
  return base / "fileprovider";
}

fs::path defaultCacheFolder(const std::string& domain, const fs::path& mountpoint) {
  std::string folderOfDomain = domain;
  for (char& c : folderOfDomain) {
    if (c == '/') c = '_';
  }
  // One component below the base, never the base itself or its parent.
  if (folderOfDomain.empty() || folderOfDomain == "." || folderOfDomain == "..") {
    folderOfDomain = "domain" + folderOfDomain;
  }
  const std::string whole = mountpoint.string();
  // FNV-1a over the whole path: stable across runs and versions.
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : whole) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  std::string readable;
  for (char c : mountpoint.filename().string()) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '-' || c == '_';
    if (plain && readable.size() < kMaxReadable) readable += c;
  }
  if (readable.empty() || readable.front() == '.') readable = "mount" + readable;
  char tag[18];
  std::snprintf(tag, sizeof tag, "-%016llx", static_cast<unsigned long long>(hash));
  return defaultCacheBase() / folderOfDomain / (readable + tag);
}

void noteMountPoint(const fs::path& folder, const fs::path& mountpoint) {
  fp::ScopedFD fd = openInCache(folder / "mountpoint", O_WRONLY | O_CREAT | O_TRUNC);
  if (!fd) return;
  std::string text = mountpoint.string() + "\n";
  [[maybe_unused]] ssize_t n =
      fp::retryOnEintr([&] { return ::write(fd.get(), text.data(), text.size()); });
}

std::vector<DefaultCache> defaultCachesHoldingChanges() {
  std::vector<DefaultCache> found;
  std::error_code ec;
  const fs::path base = defaultCacheBase();
  if (!isOwnFolder(base)) return found;
  for (const auto& domain : fs::directory_iterator(base, ec)) {
    if (!isOwnFolder(domain.path())) continue;
    std::error_code inner;
    for (const auto& folder : fs::directory_iterator(domain.path(), inner)) {
      const fs::path& p = folder.path();
      if (!isOwnFolder(p)) continue;
      if (!holdsSomething(p / "queue") && !holdsSomething(p / "unsent") &&
          !holdsSomething(p / "retried")) {
        continue;
      }
      std::string noted = readCacheFile(p / "mountpoint").value_or("");
      while (!noted.empty() && noted.back() == '\n') noted.pop_back();
      found.push_back({domain.path().filename().string(), p, noted});
    }
  }
  return found;
}

}  // namespace fpctl::mount
