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

// What a folder's listing keeps of a child: its attributes without its folder,
// which is the listing's own (a large folder would repeat it in every entry).
struct ListedItem {
  fp::ItemIdentifier identifier;
  std::string filename;  // the display name
  bool isFolder = false;
  fp::ItemCapabilities capabilities = 0;
  std::optional<std::int64_t> size;
  std::optional<fp::Date> modified;
  fp::ItemVersion version;

  bool allows(fp::ItemCapabilities c) const { return (capabilities & c) == c; }
  // Same attributes as `o` as far as the kernel can see (identity and folder aside).
  bool sameAttributes(const ListedItem& o) const;
};

// The attributes of one item, copied out of an fp::Item when it arrives, so the
// mount never keeps the extension's objects.
struct ItemState : ListedItem {
  fp::ItemIdentifier parent;

  // Same attributes and folder as `o` (identity aside).
  bool sameAttributes(const ItemState& o) const;

  static ItemState from(const fp::Item& item);
  // The item `listed` in the folder `parent`.
  static ItemState in(const ListedItem& listed, fp::ItemIdentifier parent);
};

// The attributes the kernel is shown for an item: folders 0755, files 0644, and
// without the writing capability 0555 and 0444; owned by `uid`/`gid`; size and
// modification time from the item (epoch when it has none).
[[nodiscard]] struct stat statFor(const ListedItem& item, std::uint64_t ino, uid_t uid, gid_t gid);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_ITEM_STATE_H_
