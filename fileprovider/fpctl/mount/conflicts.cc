#include "fileprovider/fpctl/mount/conflicts.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include <nlohmann/json.hpp>

#include "fileprovider/fpctl/mount/cache_folder.h"

namespace fpctl::mount {
namespace fs = std::filesystem;

namespace {
constexpr const char* kFile = "conflicts";
}

void WrittenVersions::note(const fp::ItemIdentifier& identifier, const fp::ItemVersion& version) {
  if (identifier.empty()) return;
  std::lock_guard lock(mu_);
  versions_[identifier] = version;
}

bool WrittenVersions::changedThere(const fp::ItemVersion& base,
                                   const fp::ItemIdentifier& identifier,
                                   const std::string& nowContentVersion) const {
  return otherEdit(base.contentVersion, nowContentVersion, identifier,
                   &fp::ItemVersion::contentVersion);
}

bool WrittenVersions::metadataChangedThere(const fp::ItemVersion& base,
                                           const fp::ItemIdentifier& identifier,
                                           const std::string& nowMetadataVersion) const {
  return otherEdit(base.metadataVersion, nowMetadataVersion, identifier,
                   &fp::ItemVersion::metadataVersion);
}

bool WrittenVersions::otherEdit(const std::string& base, const std::string& now,
                                const fp::ItemIdentifier& identifier,
                                std::string fp::ItemVersion::*part) const {
  if (base.empty() || now == base) return false;
  // A version this mount wrote (an older state of the same file sent after
  // this change was made, say) is no edit of another device.
  std::lock_guard lock(mu_);
  auto it = versions_.find(identifier);
  return it == versions_.end() || it->second.*part != now;
}

std::string conflictCopyName(const std::string& filename, std::time_t when) {
  std::tm local{};
  ::localtime_r(&when, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H%M%S", &local);
  const std::string tag = std::string(" (conflict ") + stamp + ")";
  const auto dot = filename.rfind('.');
  if (dot == std::string::npos || dot == 0) return filename + tag;
  return filename.substr(0, dot) + tag + filename.substr(dot);
}

ErrnoOr<void> noteConflict(const fs::path& cacheRoot, const ConflictRecord& record) {
  const std::string line = nlohmann::json{{"path", record.path},
                                          {"kind", record.kind},
                                          {"copy", record.copy},
                                          {"time", record.time}}
                               .dump() +
                           "\n";
  fp::ScopedFD fd = openInCache(cacheRoot / kFile, O_WRONLY | O_CREAT | O_APPEND);
  if (!fd) return fp::fail(Errno{errno});
  // One write: lines of two mounts never interleave (one mount per folder).
  ssize_t n = fp::retryOnEintr([&] { return ::write(fd.get(), line.data(), line.size()); });
  if (n < 0) return fp::fail(Errno{errno});
  if (static_cast<std::size_t>(n) != line.size()) return fp::fail(Errno{EIO});
  return fp::Ok{};
}

void noteConflictCase(const fp::Log& log, const fs::path& cacheRoot, ConflictRecord record,
                      const std::string& message) {
  record.time = static_cast<double>(std::time(nullptr));
  log.info("conflict: %{public}@", {message});
  if (auto noted = noteConflict(cacheRoot, record); !noted) {
    log.error("the conflict of %{public}@ could not be noted in the cache folder: %{public}@",
              {record.path, std::string(std::strerror(noted.error().value))});
  }
}

std::vector<ConflictRecord> readConflicts(const fs::path& cacheRoot) {
  std::vector<ConflictRecord> out;
  std::optional<std::string> all = readCacheFile(cacheRoot / kFile);
  if (!all) return out;
  std::istringstream lines(*all);
  for (std::string line; std::getline(lines, line);) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) continue;
    ConflictRecord r;
    r.path = j.value("path", "");
    r.kind = j.value("kind", "");
    r.copy = j.value("copy", "");
    r.time = j.value("time", 0.0);
    out.push_back(std::move(r));
  }
  return out;
}

}  // namespace fpctl::mount
