// What a folder shows while moves and removals wait in the upload queue
// (upload_queue.h): the service's listing of the folder, with those edits
// applied on top in the order they were made, so that a program sees its own
// renames and removals at once and across a restart, whatever the host does.
#ifndef FPCTL_MOUNT_PENDING_EDITS_H_
#define FPCTL_MOUNT_PENDING_EDITS_H_

#include <functional>
#include <vector>

#include "fileprovider/fpctl/mount/item_state.h"
#include "fileprovider/fpctl/mount/upload_queue.h"

namespace fpctl::mount {

// What the mount knows of an item now (a state of it sent since its move was
// queued is newer than what the move kept); null when it knows nothing.
using KnownItem = std::function<const ItemState*(const fp::ItemIdentifier&)>;

// `items`, the service's children of `folder`, with `edits` (oldest first)
// applied: a removed item is left out; a moved one is left out of the folder it
// left and shown in the one it went to under its new name, with the
// attributes the service lists for it when it lists it, else those `known`
// gives, else those the edit kept.
[[nodiscard]] std::vector<ItemState> withPendingEdits(const fp::ItemIdentifier& folder,
                                                      std::vector<ItemState> items,
                                                      const std::vector<QueuedChange>& edits,
                                                      const KnownItem& known = nullptr);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_PENDING_EDITS_H_
