// The modification dates and modes programs set in the mount (touch -d, cp -p,
// tar -x, rsync -a, chmod +x). The service takes neither, so the mount keeps
// each one in its cache folder (kept-dates), per item and content version: it
// is shown while the item's content version is the one it was set for, and
// dropped once the item changes on the service. Kept across mounts of the
// same cache folder. A kept mode shows its permission bits, less the write
// bits of an item the service does not let this user write.
//
// Folders that carry no date of their own show the time the mount started,
// not the epoch.
#ifndef FPCTL_MOUNT_KEPT_ATTRIBUTES_H_
#define FPCTL_MOUNT_KEPT_ATTRIBUTES_H_

#include <sys/stat.h>
#include <time.h>

#include <sys/types.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "fileprovider/fpctl/mount/item_state.h"

namespace fpctl::mount {

// Shows the permission bits of `mode` in `st`, the attributes of `item`
// (less the write bits when the service does not let it be written).
void applyMode(struct stat& st, const ListedItem& item, mode_t mode);

class KeptAttributes {
 public:
  // Reads the dates kept in `file` (none when it does not exist yet) and
  // rewrites it with only the current entries; later dates are appended to it.
  // `mountTime` is what folders without a date show.
  KeptAttributes(std::filesystem::path file, timespec mountTime);
  KeptAttributes(const KeptAttributes&) = delete;
  KeptAttributes& operator=(const KeptAttributes&) = delete;

  // Keeps `date` for `item` as it is now (its identifier and content version).
  // An item with no identifier yet is not kept. Failing to write the file
  // leaves the date kept for this mount only.
  void keep(const ListedItem& item, timespec date);

  // Keeps the permission bits of `mode` for `item` as it is now, as keep().
  void keepMode(const ListedItem& item, mode_t mode);

  // The date kept for `item`'s identifier and current content version; none
  // when the date was kept for another content version.
  [[nodiscard]] std::optional<timespec> find(const ListedItem& item) const;

  // Shows the kept date and mode in `st` (the attributes made from `item`), or
  // the mount time for a folder without a date of its own.
  void apply(struct stat& st, const ListedItem& item) const;

 private:
  struct Kept {
    std::string contentVersion;
    std::optional<timespec> date;
    std::optional<mode_t> mode;
  };
  // The entry of `item` for its current version, made anew for another one.
  Kept& entryLocked(const ListedItem& item);
  void appendLocked(const std::string& identifier, const Kept& kept);
  void rewriteLocked();

  const std::filesystem::path file_;
  const timespec mountTime_;
  mutable std::mutex mu_;  // guards everything below
  std::map<std::string, Kept> byIdentifier_;
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_KEPT_ATTRIBUTES_H_
