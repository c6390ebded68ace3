// What a creation of a new file sent earlier made on the service, so that a
// later state of the same file is never sent as a second creation of its name.
//
// Two earlier creations are recognised. One that reached the host just before
// fpctl died is refused when its entry is sent again: the same bytes under the
// same name are that creation (sameCreation()). And one the upload queue sent
// while the file was written anew (a state a killed fpctl left queued, saved
// again at the next mount): the item it made is remembered, and the newer
// state changes it (OwnCreations).
#ifndef FPCTL_MOUNT_QUEUED_CREATION_H_
#define FPCTL_MOUNT_QUEUED_CREATION_H_

#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "fileprovider/fpctl/mount/item_state.h"
#include "fileprovider/fpctl/mount/provider_client.h"
#include "fileprovider/fpctl/mount/upload_queue.h"

namespace fpctl::mount {

// The file of `change`'s name and parent on the service that holds the same
// bytes as `change`; none when there is none or it cannot be told.
[[nodiscard]] std::optional<ItemState> sameCreation(ProviderClient& provider,
                                                    const QueuedChange& change);

// The items the creations this mount sent made, by the key of the new file
// (QueuedChange::placeKey()). Thread-safe; it never calls out with its lock held.
class OwnCreations {
 public:
  // A creation of `change`'s file made `identifier`.
  void note(const QueuedChange& change, const fp::ItemIdentifier& identifier);
  // The item a creation of `change`'s file made, as the service lists it now,
  // when it is still a file of that name in that folder; none otherwise.
  [[nodiscard]] std::optional<ItemState> stillThere(ProviderClient& provider,
                                                    const QueuedChange& change);

 private:
  std::mutex mu_;
  std::unordered_map<std::string, fp::ItemIdentifier> made_;
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_QUEUED_CREATION_H_
