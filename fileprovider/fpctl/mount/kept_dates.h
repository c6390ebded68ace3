// The modification dates programs set in the mount (touch -d, cp -p, tar -x,
// rsync -a). The service takes no date, so the mount keeps each one in its
// cache folder, per item and content version: it is shown while the item's
// content version is the one it was set for, and dropped once the item changes
// on the service. Kept across mounts of the same cache folder.
//
// Folders that carry no date of their own show the time the mount started,
// not the epoch.
#ifndef FPCTL_MOUNT_KEPT_DATES_H_
#define FPCTL_MOUNT_KEPT_DATES_H_

#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "fileprovider/fpctl/mount/item_state.h"

namespace fpctl::mount {

class KeptDates {
 public:
  // Reads the dates kept in `file` (none when it does not exist yet) and
  // rewrites it with only the current entries; later dates are appended to it.
  // `mountTime` is what folders without a date show.
  KeptDates(std::filesystem::path file, timespec mountTime);
  KeptDates(const KeptDates&) = delete;
  KeptDates& operator=(const KeptDates&) = delete;

  // Keeps `date` for `item` as it is now (its identifier and content version).
  // An item with no identifier yet is not kept. Failing to write the file
  // leaves the date kept for this mount only.
  void keep(const ItemState& item, timespec date);

  // The date kept for `item`'s identifier and current content version; none
  // when the date was kept for another content version.
  [[nodiscard]] std::optional<timespec> find(const ItemState& item) const;

  // Shows the kept date in `st` (the attributes made from `item`), or the
  // mount time for a folder without a date of its own.
  void apply(struct stat& st, const ItemState& item) const;

 private:
  struct Kept {
    std::string contentVersion;
    timespec date{};
  };
  void appendLocked(const std::string& identifier, const Kept& kept);
  void rewriteLocked();

  const std::filesystem::path file_;
  const timespec mountTime_;
  mutable std::mutex mu_;  // guards everything below
  std::map<std::string, Kept> byIdentifier_;
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_KEPT_DATES_H_
