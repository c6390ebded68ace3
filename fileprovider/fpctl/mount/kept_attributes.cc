#include "fileprovider/fpctl/mount/kept_attributes.h"

#include <fcntl.h>
#include <unistd.h>

#include <sstream>
#include <string_view>
#include <system_error>

#include <nlohmann/json.hpp>

#include "fileprovider/file_io.h"
#include "fileprovider/fpctl/mount/cache_folder.h"
#include "fileprovider/fpctl/mount/hex_text.h"
#include "fileprovider/scoped_fd.h"

namespace fpctl::mount {

namespace {

using Json = nlohmann::json;

// One line of the file: {"id":HEX,"version":HEX,"sec":N,"nsec":N,"mode":N}
// (a date, a mode, or both).
std::string lineFor(const std::string& identifier, const std::string& version,
                    std::optional<timespec> date, std::optional<mode_t> mode) {
  Json j;
  j["id"] = hexOf(identifier);
  j["version"] = hexOf(version);
  if (date) {
    j["sec"] = static_cast<long long>(date->tv_sec);
    j["nsec"] = static_cast<long long>(date->tv_nsec);
  }
  if (mode) j["mode"] = static_cast<unsigned>(*mode);
  return j.dump() + "\n";
}

}  // namespace

void applyMode(struct stat& st, const ListedItem& item, mode_t mode) {
  mode_t bits = mode & 07777;
  if (!item.allows(fp::capability::kAllowsWriting)) bits &= ~static_cast<mode_t>(0222);
  st.st_mode = (st.st_mode & S_IFMT) | bits;
}

KeptAttributes::KeptAttributes(std::filesystem::path file, timespec mountTime)
    : file_(std::move(file)), mountTime_(mountTime) {
  std::optional<std::string> text = readCacheFile(file_);
  std::istringstream in(text.value_or(""));
  std::string line;
  while (std::getline(in, line)) {
    // A line cut short by a crash is skipped; the lines before it stand.
    Json j = Json::parse(line, nullptr, false);
    if (!j.is_object()) continue;
    auto id = bytesOfHex(j.value("id", std::string()));
    auto version = bytesOfHex(j.value("version", std::string()));
    if (!id || !version || id->empty()) continue;
    Kept kept;
    kept.contentVersion = std::move(*version);
    if (j.contains("nsec")) {
      long long nsec = j.value("nsec", -1LL);
      if (nsec < 0 || nsec >= 1000000000LL) continue;
      kept.date = timespec{static_cast<time_t>(j.value("sec", 0LL)), static_cast<long>(nsec)};
    }
    if (j.contains("mode")) {
      unsigned mode = j.value("mode", 0u);
      if (mode > 07777) continue;
      kept.mode = static_cast<mode_t>(mode);
    }
    if (!kept.date && !kept.mode) continue;
    byIdentifier_[*id] = std::move(kept);
  }
  if (!text) return;
  std::lock_guard lock(mu_);
  rewriteLocked();
}

KeptAttributes::Kept& KeptAttributes::entryLocked(const ListedItem& item) {
  Kept& kept = byIdentifier_[item.identifier];
  if (kept.contentVersion != item.version.contentVersion) {
    kept = Kept{item.version.contentVersion, std::nullopt, std::nullopt};
  }
  return kept;
}

void KeptAttributes::keep(const ListedItem& item, timespec date) {
  if (item.identifier.empty()) return;
  std::lock_guard lock(mu_);
  Kept& kept = entryLocked(item);
  kept.date = date;
  appendLocked(item.identifier, kept);
}

void KeptAttributes::keepMode(const ListedItem& item, mode_t mode) {
  if (item.identifier.empty()) return;
  std::lock_guard lock(mu_);
  Kept& kept = entryLocked(item);
  kept.mode = mode & 07777;
  appendLocked(item.identifier, kept);
}

std::optional<timespec> KeptAttributes::find(const ListedItem& item) const {
  std::lock_guard lock(mu_);
  auto it = byIdentifier_.find(item.identifier);
  if (it == byIdentifier_.end()) return std::nullopt;
  // The item changed on the service: the date set for the old contents no
  // longer shows. It stays on record only until a new date replaces it, since
  // a listing made before the date was set may still show the older version.
  if (it->second.contentVersion != item.version.contentVersion) return std::nullopt;
  return it->second.date;
}

void KeptAttributes::apply(struct stat& st, const ListedItem& item) const {
  std::optional<mode_t> mode;
  {
    std::lock_guard lock(mu_);
    auto it = byIdentifier_.find(item.identifier);
    if (it != byIdentifier_.end() && it->second.contentVersion == item.version.contentVersion) {
      mode = it->second.mode;
    }
  }
  if (mode) applyMode(st, item, *mode);
  if (auto date = find(item)) {
    st.st_mtim = *date;
    st.st_atim = *date;
    return;
  }
  if (item.isFolder && !item.modified) {
    st.st_mtim = mountTime_;
    st.st_atim = mountTime_;
    st.st_ctim = mountTime_;
  }
}

void KeptAttributes::appendLocked(const std::string& identifier, const Kept& kept) {
  fp::ScopedFD fd = openInCache(file_, O_WRONLY | O_APPEND | O_CREAT);
  if (!fd) return;
  // One write per line, so a crash leaves at most the last line incomplete.
  (void)fp::writeAll(fd.get(), lineFor(identifier, kept.contentVersion, kept.date, kept.mode));
}

void KeptAttributes::rewriteLocked() {
  std::filesystem::path temp = file_;
  temp += ".new";
  fp::ScopedFD fd = openInCache(temp, O_WRONLY | O_CREAT | O_TRUNC);
  if (!fd) return;
  std::string all;
  for (const auto& [id, kept] : byIdentifier_) {
    all += lineFor(id, kept.contentVersion, kept.date, kept.mode);
  }
  bool ok = fp::writeAll(fd.get(), all).ok();
  fd.reset();
  std::error_code ec;
  if (ok) {
    std::filesystem::rename(temp, file_, ec);
  } else {
    std::filesystem::remove(temp, ec);
  }
}

}  // namespace fpctl::mount
