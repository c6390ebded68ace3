#include "fileprovider/fpctl/mount/unsent_folder.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <system_error>

#include "fileprovider/fpctl/mount/cache_folder.h"
#include "fileprovider/fpctl/mount/upload_queue.h"

namespace fpctl::mount {
namespace fs = std::filesystem;
namespace {

std::string safeName(const std::string& name) {
  std::string safe;
  for (char c : name) safe += (c == '/' || c == '\0') ? '_' : c;
  if (safe.size() > 200) safe.resize(200);
  return safe;
}

std::string uniqueStamp() {
  static std::atomic<unsigned> counter{0};
  auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()) + "-" +
         std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
}

}  // namespace

fs::path keepUnsent(const fs::path& cacheRoot, const fs::path& file, const std::string& name,
                    const std::string& reason) {
  fs::path target = cacheRoot / "unsent" / (uniqueStamp() + "-" + safeName(name));
  std::error_code ec = createPrivateDirectories(target.parent_path());
  fs::rename(file, target, ec);
  if (ec) {
    fs::copy_file(file, target, ec);
    if (ec) return {};
  }
  fs::path why = target;
  why += ".reason";
  if (!writeDurably(why, reason + "\n")) {
    // The contents are kept; only the reason is missing.
  }
  return target;
}

}  // namespace fpctl::mount
