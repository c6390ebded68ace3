#include "fileprovider/fpctl/mount/unsent_folder.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
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

fs::path withSuffix(fs::path path, const char* suffix) {
  path += suffix;
  return path;
}

bool isThere(const fs::path& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

// Reads the record beside an entry into `entry`; leaves it without a change
// when there is none or it is damaged.
void readRecord(const fs::path& record, UnsentEntry& entry) {
  auto text = readCacheFile(record);
  if (!text) return;
  try {
    auto j = nlohmann::json::parse(*text);
    QueuedChange c = changeFrom(j);
    if (!c.isEdit()) {
      c.size = j.value("size", std::int64_t{0});
      c.checksum = j.value("checksum", std::uint64_t{0});
    }
    entry.shownPath = j.value("shownPath", std::string());
    entry.change = std::move(c);
  } catch (const std::exception&) {
  }
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
  if (!writeDurably(withSuffix(target, ".reason"), reason + "\n")) {
    // The contents are kept; only the reason is missing.
  }
  return target;
}

fs::path keepRefused(const fs::path& cacheRoot, const QueuedChange& change,
                     const std::string& shownPath, const std::string& reason) {
  const std::string name = change.isEdit()
                               ? std::string(kindName(change.kind)) + "-" + change.filename
                               : change.filename;
  fs::path base = cacheRoot / "unsent" / (uniqueStamp() + "-" + safeName(name));
  std::error_code ec = createPrivateDirectories(base.parent_path());
  nlohmann::json record = recordOf(change);
  record["shownPath"] = shownPath;
  // The record first: contents without it could not be sent again.
  if (!writeDurably(withSuffix(base, ".record"), record.dump())) return {};
  if (!change.isEdit()) {
    fs::rename(change.data, base, ec);
    if (ec) {
      fs::remove(withSuffix(base, ".record"), ec);
      return {};
    }
  }
  if (!writeDurably(withSuffix(base, ".reason"), reason + "\n")) {
    // The change is kept; only the reason is missing.
  }
  return base;
}

std::vector<fs::path> UnsentEntry::files() const {
  std::vector<fs::path> out;
  if (hasContents) out.push_back(base);
  for (const char* suffix : {".record", ".reason"}) {
    if (suffix == std::string_view(".record") && !change) continue;
    if (isThere(withSuffix(base, suffix))) out.push_back(withSuffix(base, suffix));
  }
  return out;
}

fs::path UnsentEntry::shown() const { return hasContents ? base : withSuffix(base, ".record"); }

std::vector<UnsentEntry> readUnsent(const fs::path& cacheRoot) {
  std::set<fs::path> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(cacheRoot / "unsent", ec)) {
    // A temporary file of a record or reason being written is no entry.
    const std::string name = e.path().filename().string();
    if (name.find(".record.tmp") == std::string::npos &&
        name.find(".reason.tmp") == std::string::npos) {
      names.insert(e.path());
    }
  }
  std::set<fs::path> claimed;
  std::vector<UnsentEntry> out;
  auto add = [&](const fs::path& base) {
    UnsentEntry entry;
    entry.base = base;
    entry.hasContents = names.count(base) > 0;
    fs::path record = withSuffix(base, ".record");
    if (names.count(record)) {
      readRecord(record, entry);
      if (entry.change) claimed.insert(record);
    }
    fs::path why = withSuffix(base, ".reason");
    entry.reason = readCacheFile(why).value_or("");
    while (!entry.reason.empty() && entry.reason.back() == '\n') entry.reason.pop_back();
    if (entry.reason.empty()) entry.reason = "could not be sent";
    if (entry.hasContents) {
      auto n = fs::file_size(base, ec);
      entry.size = ec ? 0 : static_cast<std::int64_t>(n);
    }
    claimed.insert(base);
    claimed.insert(why);
    out.push_back(std::move(entry));
  };
  // Every entry has its reason beside it; a file an earlier version kept
  // alone (a record included) stands for itself.
  for (const auto& p : names) {
    if (p.extension() == ".reason") add(p.parent_path() / p.stem());
  }
  for (const auto& p : names) {
    if (!claimed.count(p) && p.extension() != ".reason") {
      add(p);
      out.back().reason = "could not be sent";
    }
  }
  std::sort(out.begin(), out.end(),
            [](const UnsentEntry& a, const UnsentEntry& b) { return a.base < b.base; });
  return out;
}

}  // namespace fpctl::mount
