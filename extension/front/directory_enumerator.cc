#include "extension/front/directory_enumerator.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "extension/model/index.h"
#include "extension/model/item_id.h"
#include "extension/model/pellora_item.h"
#include "extension/platform/extension_version.h"
#include "extension/platform/logs.h"

namespace pellora {
namespace {

void finishEmpty(fp::EnumerationObserver& observer) {
  observer.didEnumerateItems({});
  observer.finishEnumeratingUpToPage(std::nullopt);
}

}  // namespace

DirectoryEnumerator::DirectoryEnumerator(fp::ItemIdentifier container, std::string databaseName)
    : container_(std::move(container)), databaseName_(std::move(databaseName)) {}

void DirectoryEnumerator::invalidate() {}

void DirectoryEnumerator::enumerateItems(std::shared_ptr<fp::EnumerationObserver> observer,
                                         const fp::Page& /*startingAt*/) {
  std::vector<IndexEntry> entries;
  {
    auto index = Index::open(Index::appGroup, databaseName_);
    if (!index) {
      finishEmpty(*observer);
      return;
    }

    // No folder ulid means the top level.
    std::optional<std::string> folder;
    if (container_ != fp::kRootContainer) {
      auto parsed = ItemID::parse(container_);
      if (!parsed || !parsed->isFolder) {
        finishEmpty(*observer);
        return;
      }
      folder = std::move(parsed->ulid);
    }

    entries = index->childrenOfFolder(folder);
    enumeratorLog().info("enumerated %d children of %{public}@",
                         {static_cast<std::int64_t>(entries.size()),
                          folder ? std::string_view(*folder) : std::string_view("<root>")});
  }  // The index is closed before the observer is called.

  std::vector<fp::ItemPtr> items;
  items.reserve(entries.size());
  for (auto& entry : entries) items.push_back(std::make_shared<PelloraItem>(std::move(entry)));
  observer->didEnumerateItems(std::move(items));
  observer->finishEnumeratingUpToPage(std::nullopt);
}

void DirectoryEnumerator::enumerateChanges(std::shared_ptr<fp::ChangeObserver> observer,
                                           const fp::SyncAnchor& fromAnchor) {
  fp::SyncAnchor current = anchor();
  if (fromAnchor == current) {
    observer->finishEnumeratingChangesUpToSyncAnchor(std::move(current), false);
    return;
  }
  enumeratorLog().info("index changed, forcing re-enumeration");
  observer->finishEnumeratingWithError(
      fp::Error::fileProvider(fp::FileProviderErrorCode::kSyncAnchorExpired));
}

void DirectoryEnumerator::currentSyncAnchor(
    std::function<void(std::optional<fp::SyncAnchor>)> completion) {
  completion(anchor());
}

fp::SyncAnchor DirectoryEnumerator::anchor() const {
  std::int64_t dataVersion = 0;
  if (auto index = Index::open(Index::appGroup, databaseName_)) dataVersion = index->dataVersion();
  return extensionVersion() + "|" + std::to_string(dataVersion);
}

}  // namespace pellora
