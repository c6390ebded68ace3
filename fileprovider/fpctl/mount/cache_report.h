// What a cache folder holds, for `fpctl status`: the changes waiting in its
// upload queue (upload_queue.h), in the order they will be sent, and what was
// refused for good (unsent/) with the reason kept beside it.
#ifndef FPCTL_MOUNT_CACHE_REPORT_H_
#define FPCTL_MOUNT_CACHE_REPORT_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "fileprovider/fpctl/mount/queued_change.h"
#include "fileprovider/item.h"

namespace fpctl::mount {

struct CacheReport {
  struct Waiting {
    ChangeKind kind = ChangeKind::kState;
    std::string name;               // a move: the new name
    fp::ItemIdentifier identifier;  // empty: a new file
    std::int64_t size = 0;
  };
  struct Refused {
    std::filesystem::path path;  // in unsent/: its contents, else its record
    std::string reason;
    std::int64_t size = 0;
    std::string shownPath;  // where it was in the mount; empty when not known
    bool canRetry = false;  // false: kept by an earlier version without its record
  };
  std::vector<Waiting> waiting;  // in the order they will be sent
  std::vector<Refused> refused;
  std::int64_t bytes = 0;  // the space everything in the folder takes on disk
};
[[nodiscard]] CacheReport readCache(const std::filesystem::path& cacheRoot);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_CACHE_REPORT_H_
