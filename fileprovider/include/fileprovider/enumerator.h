// The enumerator and observer protocols, sync anchors and pages.
#ifndef FILEPROVIDER_ENUMERATOR_H_
#define FILEPROVIDER_ENUMERATOR_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fileprovider/error.h"
#include "fileprovider/item.h"

namespace fp {

// Opaque byte strings handed out by the extension and handed back by the platform.
using SyncAnchor = std::string;
using Page = std::string;

// The initial pages the platform passes to the first enumerateItems call.
inline const Page kInitialPageSortedByDate = std::string(8, '\0');
inline const Page kInitialPageSortedByName = std::string(8, '\xff');

class EnumerationObserver {
 public:
  virtual ~EnumerationObserver();
  virtual void didEnumerateItems(std::vector<ItemPtr> items) = 0;
  // `nextPage` absent: the listing is complete.
  virtual void finishEnumeratingUpToPage(std::optional<Page> nextPage) = 0;
  virtual void finishEnumeratingWithError(Error error) = 0;
};

class ChangeObserver {
 public:
  virtual ~ChangeObserver();
  virtual void didUpdateItems(std::vector<ItemPtr> items) = 0;
  virtual void didDeleteItemsWithIdentifiers(std::vector<ItemIdentifier> identifiers) = 0;
  virtual void finishEnumeratingChangesUpToSyncAnchor(SyncAnchor anchor, bool moreComing) = 0;
  virtual void finishEnumeratingWithError(Error error) = 0;
};

class Enumerator {
 public:
  virtual ~Enumerator();
  virtual void invalidate() = 0;
  virtual void enumerateItems(std::shared_ptr<EnumerationObserver> observer,
                              const Page& startingAt) = 0;
  virtual void enumerateChanges(std::shared_ptr<ChangeObserver> observer,
                                const SyncAnchor& fromAnchor) = 0;
  // Calls `completion` with the current anchor, or none when the extension has none.
  virtual void currentSyncAnchor(std::function<void(std::optional<SyncAnchor>)> completion) = 0;
};

}  // namespace fp

#endif  // FILEPROVIDER_ENUMERATOR_H_
