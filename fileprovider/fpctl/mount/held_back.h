// The queue entries one sending of the queue passes over (their folder is not
// made yet, their file is being written or sent by its close) and what must
// wait behind them. Entries are otherwise sent in order, but an entry passed
// over must not be overtaken by a later one that depends on it:
//   - a later change of the same file or item;
//   - a later change that takes a name the entry frees or takes (a new file
//     made where a waiting move or removal frees the name, which the service
//     would refuse while the old item is still there);
//   - the later removal of a folder that a waiting move takes an item out of
//     (on the service the folder is not empty yet);
//   - a later change into a folder that waits to be moved (or made): on the
//     service it may still be below what goes into it.
// Changes of other items in other places go ahead. Used by one sending at a
// time; not thread-safe.
#ifndef FPCTL_MOUNT_HELD_BACK_H_
#define FPCTL_MOUNT_HELD_BACK_H_

#include <optional>
#include <set>
#include <string>
#include <utility>

#include "fileprovider/fpctl/mount/item_state.h"
#include "fileprovider/fpctl/mount/queued_change.h"

namespace fpctl::mount {

class HeldBack {
 public:
  // `change` (its folder resolved, UploadQueue::resolve()) is not sent now;
  // `onService` is where its item is on the service, when it is there.
  void add(const QueuedChange& change, const std::optional<ItemState>& onService);
  // Whether `change` (its folder resolved) must wait behind what was added.
  [[nodiscard]] bool mustWait(const QueuedChange& change) const;
  [[nodiscard]] bool empty() const { return keys_.empty(); }

 private:
  using Place = std::pair<fp::ItemIdentifier, std::string>;  // folder, name
  // The place `change` takes, when it takes one.
  static std::optional<Place> takes(const QueuedChange& change);

  std::set<std::string> keys_;                // QueuedChange::key()
  std::set<fp::ItemIdentifier> items_;        // the items they change
  std::set<Place> places_;                    // the names they free or take
  std::set<fp::ItemIdentifier> leftFolders_;  // folders they take items out of
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_HELD_BACK_H_
