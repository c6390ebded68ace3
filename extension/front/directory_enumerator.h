// DirectoryEnumerator: lists one container straight from the index and tells the
// platform, through a sync anchor, whether anything may have changed.
#ifndef PELLORA_FRONT_DIRECTORY_ENUMERATOR_H_
#define PELLORA_FRONT_DIRECTORY_ENUMERATOR_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "fileprovider/enumerator.h"
#include "fileprovider/item.h"

namespace pellora {

// Holds nothing open between calls: every call opens the index anew and closes it
// before returning, and calls its observer or handler on the calling thread.
// Both fields are fixed at construction, so calls may come from any thread.
class DirectoryEnumerator final : public fp::Enumerator {
 public:
  // `container` is any identifier (the root, a folder, a file, the working set,
  // the trash or text that names nothing); `databaseName` is the domain's index
  // file in the app-group container.
  DirectoryEnumerator(fp::ItemIdentifier container, std::string databaseName);

  const fp::ItemIdentifier& container() const { return container_; }
  const std::string& databaseName() const { return databaseName_; }

  // Does nothing: there is nothing to stop or release.
  void invalidate() override;

  // One didEnumerateItems with every child (subfolders, then files) and then
  // finishEnumeratingUpToPage(none). The root lists the top level, a folder
  // identifier that folder; any other container, or an index that cannot be
  // opened, gives an empty listing. `startingAt` is ignored: every call lists the
  // whole container.
  void enumerateItems(std::shared_ptr<fp::EnumerationObserver> observer,
                      const fp::Page& startingAt) override;

  // finishEnumeratingChangesUpToSyncAnchor(current, false) when `fromAnchor` equals
  // the current anchor byte for byte; otherwise logs and fails the query with
  // syncAnchorExpired (-1002), so the platform lists the container again.
  void enumerateChanges(std::shared_ptr<fp::ChangeObserver> observer,
                        const fp::SyncAnchor& fromAnchor) override;

  // Calls `completion` at once with the current anchor (never none).
  void currentSyncAnchor(std::function<void(std::optional<fp::SyncAnchor>)> completion) override;

 private:
  // The extension version, "|" and the index's data version read on a fresh
  // connection (0 when the index cannot be opened). The same for every container
  // of a domain at one moment.
  fp::SyncAnchor anchor() const;

  const fp::ItemIdentifier container_;
  const std::string databaseName_;
};

}  // namespace pellora

#endif  // PELLORA_FRONT_DIRECTORY_ENUMERATOR_H_
