// The upload queue's side of refused changes (upload_queue.h): moving one to
// unsent/, and taking back into the queue what `fpctl retry` handed over
// (retried_changes.h).
#include <stdexcept>
#include <system_error>

#include <nlohmann/json.hpp>

#include "fileprovider/fpctl/mount/cache_folder.h"
#include "fileprovider/fpctl/mount/retried_changes.h"
#include "fileprovider/fpctl/mount/unsent_folder.h"
#include "fileprovider/fpctl/mount/upload_queue.h"
#include "fileprovider/log.h"

namespace fpctl::mount {
namespace fs = std::filesystem;

fs::path UploadQueue::refuse(std::uint64_t seq, const std::string& reason,
                             const std::string& shownPath) {
  QueuedChange c;
  {
    std::lock_guard lock(mu_);
    auto it = entries_.find(seq);
    if (it == entries_.end()) return {};
    c = it->second;
  }
  // A staged entry's copy is synced only now that it is kept.
  if (!c.isEdit()) (void)syncPath(c.data, false);
  fs::path kept = keepRefused(root_, c, shownPath, reason);
  if (kept.empty()) return {};
  if (!c.isEdit()) {
    remove(seq);
    return kept;
  }
  erase(seq);
  return kept;
}

std::size_t UploadQueue::adoptNewRecords() {
  std::size_t taken = 0;
  for (const auto& handed : retriedRecords(root_)) {
    QueuedChange c;
    nlohmann::json j;
    try {
      j = nlohmann::json::parse(readCacheFile(handed.record).value_or(""));
      c = changeFrom(j);
    } catch (const std::exception&) {
      fp::Log("fpctl", "Mount")
          .error("%{public}@ could not be read; it is not sent", {handed.record.string()});
      continue;
    }
    {
      std::lock_guard lock(mu_);
      c.seq = nextSeq_++;
    }
    const fs::path record = dir() / (std::to_string(c.seq) + ".json");
    std::error_code ec;
    if (!c.isEdit()) {
      c.data = dir() / (std::to_string(c.seq) + ".data");
      c.size = j.value("size", std::int64_t{0});
      c.checksum = j.value("checksum", std::uint64_t{0});
      // Contents not there yet (retry moves them after the record) wait for
      // the next time.
      fs::rename(handed.data, c.data, ec);
      if (ec) continue;
    }
    if (!writeDurably(record, recordOf(c).dump())) {
      if (!c.isEdit()) fs::rename(c.data, handed.data, ec);
      continue;
    }
    (void)syncPath(dir(), true);
    fs::remove(handed.record, ec);
    {
      std::lock_guard lock(mu_);
      entries_[c.seq] = c;
      carried_.insert(c.seq);
    }
    fp::Log("fpctl", "Mount").info("%{public}@ is queued again to be sent", {c.filename});
    ++taken;
  }
  return taken;
}

}  // namespace fpctl::mount
