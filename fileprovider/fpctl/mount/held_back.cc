#include "fileprovider/fpctl/mount/held_back.h"

namespace fpctl::mount {

std::optional<HeldBack::Place> HeldBack::takes(const QueuedChange& change) {
  // A state of an existing item changes its contents only.
  if (change.kind == ChangeKind::kRemove) return std::nullopt;
  if (change.kind == ChangeKind::kState && !change.identifier.empty()) return std::nullopt;
  return Place{change.parent, change.filename};
}

void HeldBack::add(const QueuedChange& change, const std::optional<ItemState>& onService) {
  keys_.insert(change.key());
  if (!change.identifier.empty()) items_.insert(change.identifier);
  if (auto place = takes(change)) places_.insert(*place);
  if (change.kind == ChangeKind::kRemove) places_.insert({change.parent, change.filename});
  if (onService && change.isEdit()) {
    places_.insert({onService->parent, onService->filename});
    leftFolders_.insert(onService->parent);
  }
}

bool HeldBack::mustWait(const QueuedChange& change) const {
  if (keys_.empty()) return false;
  if (keys_.count(change.key())) return true;
  if (!change.identifier.empty() && items_.count(change.identifier)) return true;
  // Into an item that waits to be moved, too: never into what is still below it.
  if (auto place = takes(change); place && (places_.count(*place) || items_.count(place->first))) {
    return true;
  }
  return change.kind == ChangeKind::kRemove && change.item.isFolder &&
         leftFolders_.count(change.identifier) > 0;
}

}  // namespace fpctl::mount
