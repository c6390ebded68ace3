#include "fileprovider/fpctl/mount/pending_edits.h"

#include <algorithm>

namespace fpctl::mount {

std::vector<ItemState> withPendingEdits(const fp::ItemIdentifier& folder,
                                        std::vector<ItemState> items,
                                        const std::vector<QueuedChange>& edits,
                                        const KnownItem& known) {
  for (const QueuedChange& edit : edits) {
    if (!edit.isEdit()) continue;
    auto at = std::find_if(items.begin(), items.end(),
                           [&](const ItemState& i) { return i.identifier == edit.identifier; });
    std::optional<ItemState> listed;
    if (at != items.end()) {
      listed = std::move(*at);
      items.erase(at);
    }
    if (edit.kind != ChangeKind::kMove || edit.parent != folder) continue;
    const ItemState* now = listed || !known ? nullptr : known(edit.identifier);
    ItemState shown = listed ? std::move(*listed) : now ? *now : edit.item;
    shown.parent = edit.parent;
    shown.filename = edit.filename;
    items.push_back(std::move(shown));
  }
  return items;
}

}  // namespace fpctl::mount
