// Rename onto an existing item, on the service: the item to replace is moved
// aside, the source is moved into its place, then the replaced item is
// deleted. A failing step never loses both: the first changes nothing, after
// the second the replaced item is put back, after the third it stays under its
// aside name (".NAME.fpctl-replaced-XXXXXXXX").
#ifndef FPCTL_MOUNT_REPLACE_SEQUENCE_H_
#define FPCTL_MOUNT_REPLACE_SEQUENCE_H_

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "fileprovider/fpctl/mount/item_state.h"
#include "fileprovider/fpctl/mount/provider_client.h"

namespace fpctl::mount {

struct Replacement {
  int err = 0;                         // 0: the source took the target's place
  bool transient = false;              // the failure may pass by itself (fp::isTransient())
  std::optional<ItemState> moved;      // the source as it is now (when err is 0)
  std::optional<ItemState> leftAside;  // the target, left on the service under its aside name
  bool targetDeleted = false;
};

struct ReplaceRequest {
  ItemState source;
  fp::ItemFields fields = 0;  // what changes of the source: filename and/or parent
  fp::ItemIdentifier newParent;
  std::string newName;  // the source's new display name
  ItemState target;     // the item to replace
  std::string what;     // the source and the target as logs name them
  std::string targetWhat;
};

// How the caller logs a failure (returning the errno value for it), and how it
// reads an item back after a change (see MountFs::reread).
using FailureLogger =
    std::function<int(std::string_view op, const std::string& what, const fp::Error& error)>;
using ItemReader = std::function<ItemState(const ItemState& returned, ItemState expected)>;

[[nodiscard]] Replacement replaceItem(const ProviderClient& provider, const ReplaceRequest& r,
                                      const ItemReader& reread, const FailureLogger& logFailure);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_REPLACE_SEQUENCE_H_
