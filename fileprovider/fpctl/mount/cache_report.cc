#include "fileprovider/fpctl/mount/cache_report.h"

#include <sys/stat.h>

#include <algorithm>
#include <system_error>

#include "fileprovider/fpctl/mount/cache_folder.h"
#include "fileprovider/fpctl/mount/upload_queue.h"

namespace fpctl::mount {
namespace fs = std::filesystem;
namespace {

std::int64_t fileSize(const fs::path& path) {
  std::error_code ec;
  auto n = fs::file_size(path, ec);
  return ec ? 0 : static_cast<std::int64_t>(n);
}

}  // namespace

CacheReport readCache(const fs::path& cacheRoot) {
  CacheReport r;
  std::error_code ec;
  if (auto q = UploadQueue::open(cacheRoot, /*readOnly=*/true)) {
    for (const auto& c : (*q)->pending()) {
      r.waiting.push_back({c.kind, c.filename, c.identifier, c.size});
    }
  }
  std::vector<fs::path> unsent;
  for (const auto& e : fs::directory_iterator(cacheRoot / "unsent", ec)) {
    if (e.path().extension() != ".reason") unsent.push_back(e.path());
  }
  std::sort(unsent.begin(), unsent.end());
  for (const auto& p : unsent) {
    fs::path why = p;
    why += ".reason";
    std::string reason = readCacheFile(why).value_or("");
    while (!reason.empty() && reason.back() == '\n') reason.pop_back();
    if (reason.empty()) reason = "could not be sent";
    r.refused.push_back({p, reason, fileSize(p)});
  }
  for (auto it = fs::recursive_directory_iterator(cacheRoot, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    // Space taken on disk, as the cache's bound counts its copies.
    struct stat st {};
    if (it->is_regular_file(ec) && ::lstat(it->path().c_str(), &st) == 0)
      r.bytes += static_cast<std::int64_t>(st.st_blocks) * 512;
  }
  return r;
}

}  // namespace fpctl::mount
