// A plain copy of what the mount needs of an item.
#ifndef FPCTL_MOUNT_ITEM_STATE_H_
#define FPCTL_MOUNT_ITEM_STATE_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "fileprovider/item.h"

namespace fpctl::mount {

// The attributes of one item, copied out of an fp::Item when it arrives, so the
// mount never keeps the extension's objects.
struct ItemState {
  fp::ItemIdentifier identifier;
  fp::ItemIdentifier parent;
  std::string filename;  // the display name
  bool isFolder = false;
  fp::ItemCapabilities capabilities = 0;
  std::optional<std::int64_t> size;
  std::optional<fp::Date> modified;
  fp::ItemVersion version;

  bool allows(fp::ItemCapabilities c) const { return (capabilities & c) == c; }
  // Same attributes as `o` as far as the kernel can see (identity aside).
  bool sameAttributes(const ItemState& o) const;

  static ItemState from(const fp::Item& item);
};

// The attributes the kernel is shown for an item: folders 0755, files 0644, and
// without the writing capability 0555 and 0444; owned by `uid`/`gid`; size and
// modification time from the item (epoch when it has none).
[[nodiscard]] struct stat statFor(const ItemState& item, std::uint64_t ino, uid_t uid, gid_t gid);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_ITEM_STATE_H_
