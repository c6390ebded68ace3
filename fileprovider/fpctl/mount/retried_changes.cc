#include "fileprovider/fpctl/mount/retried_changes.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <system_error>

#include "fileprovider/fpctl/mount/cache_folder.h"
#include "fileprovider/fpctl/mount/upload_queue.h"

namespace fpctl::mount {
namespace fs = std::filesystem;
namespace {

// The number of a record named <n>.json; none for any other name.
std::optional<std::uint64_t> numberOf(const fs::path& path) {
  if (path.extension() != ".json") return std::nullopt;
  const std::string stem = path.stem().string();
  if (stem.empty() ||
      !std::all_of(stem.begin(), stem.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  try {
    return std::stoull(stem);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

Errno errnoFrom(const std::error_code& ec) { return Errno{ec.value() ? ec.value() : EIO}; }

}  // namespace

std::vector<HandedOver> retriedRecords(const fs::path& cacheRoot) {
  std::vector<std::pair<std::uint64_t, HandedOver>> found;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(cacheRoot / "retried", ec)) {
    auto n = numberOf(e.path());
    if (!n || !isOwnRegularFile(e.path())) continue;
    fs::path data = e.path();
    data.replace_extension(".data");
    found.push_back({*n, {e.path(), data}});
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<HandedOver> out;
  for (auto& [n, h] : found) out.push_back(std::move(h));
  return out;
}

ErrnoOr<void> handOver(const fs::path& cacheRoot, const UnsentEntry& entry) {
  if (!entry.canRetry()) return fp::fail(Errno{EINVAL});
  const fs::path folder = cacheRoot / "retried";
  if (std::error_code ec = createPrivateDirectories(folder)) return fp::fail(errnoFrom(ec));
  std::uint64_t next = 1;
  for (const auto& h : retriedRecords(cacheRoot)) {
    next = std::max<std::uint64_t>(next, std::stoull(h.record.stem().string()) + 1);
  }
  const fs::path record = folder / (std::to_string(next) + ".json");
  const fs::path data = folder / (std::to_string(next) + ".data");
  nlohmann::json j = recordOf(*entry.change);
  j["shownPath"] = entry.shownPath;
  if (auto written = writeDurably(record, j.dump()); !written) return written;
  std::error_code ec;
  if (!entry.change->isEdit()) {
    fs::rename(entry.base, data, ec);
    if (ec) {
      std::error_code ignored;
      fs::remove(record, ignored);
      return fp::fail(errnoFrom(ec));
    }
  }
  for (const char* suffix : {".record", ".reason"}) {
    fs::path sidecar = entry.base;
    sidecar += suffix;
    fs::remove(sidecar, ec);
  }
  return fp::Ok{};
}

}  // namespace fpctl::mount
