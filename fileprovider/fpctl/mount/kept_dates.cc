#include "fileprovider/fpctl/mount/kept_dates.h"

#include <fcntl.h>
#include <unistd.h>

#include <sstream>
#include <string_view>
#include <system_error>

#include <nlohmann/json.hpp>

#include "fileprovider/fpctl/mount/cache_folder.h"
#include "fileprovider/fpctl/mount/hex_text.h"
#include "fileprovider/scoped_fd.h"

namespace fpctl::mount {

namespace {

using Json = nlohmann::json;

// One line of the file: {"id":HEX,"version":HEX,"sec":N,"nsec":N}.
std::string lineFor(const std::string& identifier, const std::string& version, timespec date) {
  Json j;
  j["id"] = hexOf(identifier);
  j["version"] = hexOf(version);
  j["sec"] = static_cast<long long>(date.tv_sec);
  j["nsec"] = static_cast<long long>(date.tv_nsec);
  return j.dump() + "\n";
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = fp::retryOnEintr([&] { return ::write(fd, data.data(), data.size()); });
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

KeptDates::KeptDates(std::filesystem::path file, timespec mountTime)
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
    long long nsec = j.value("nsec", -1LL);
    if (nsec < 0 || nsec >= 1000000000LL) continue;
    Kept kept;
    kept.contentVersion = std::move(*version);
    kept.date.tv_sec = static_cast<time_t>(j.value("sec", 0LL));
    kept.date.tv_nsec = static_cast<long>(nsec);
    byIdentifier_[*id] = std::move(kept);
  }
  if (!text) return;
  std::lock_guard lock(mu_);
  rewriteLocked();
}

void KeptDates::keep(const ItemState& item, timespec date) {
  if (item.identifier.empty()) return;
  std::lock_guard lock(mu_);
  Kept kept{item.version.contentVersion, date};
  byIdentifier_[item.identifier] = kept;
  appendLocked(item.identifier, kept);
}

std::optional<timespec> KeptDates::find(const ItemState& item) const {
  std::lock_guard lock(mu_);
  auto it = byIdentifier_.find(item.identifier);
  if (it == byIdentifier_.end()) return std::nullopt;
  // The item changed on the service: the date set for the old contents no
  // longer shows. It stays on record only until a new date replaces it, since
  // a listing made before the date was set may still show the older version.
  if (it->second.contentVersion != item.version.contentVersion) return std::nullopt;
  return it->second.date;
}

void KeptDates::apply(struct stat& st, const ItemState& item) const {
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

void KeptDates::appendLocked(const std::string& identifier, const Kept& kept) {
  fp::ScopedFD fd = openInCache(file_, O_WRONLY | O_APPEND | O_CREAT);
  if (!fd) return;
  // One write per line, so a crash leaves at most the last line incomplete.
  (void)writeAll(fd.get(), lineFor(identifier, kept.contentVersion, kept.date));
}

void KeptDates::rewriteLocked() {
  std::filesystem::path temp = file_;
  temp += ".new";
  fp::ScopedFD fd = openInCache(temp, O_WRONLY | O_CREAT | O_TRUNC);
  if (!fd) return;
  std::string all;
  for (const auto& [id, kept] : byIdentifier_) all += lineFor(id, kept.contentVersion, kept.date);
  bool ok = writeAll(fd.get(), all);
  fd.reset();
  std::error_code ec;
  if (ok) {
    std::filesystem::rename(temp, file_, ec);
  } else {
    std::filesystem::remove(temp, ec);
  }
}

}  // namespace fpctl::mount
