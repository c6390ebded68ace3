// A folder's listing as the mount shows it: every child under the name the
// kernel sees, and the pure comparison of two listings that decides what the
// kernel must forget when a folder was read again.
#ifndef FPCTL_MOUNT_LISTING_H_
#define FPCTL_MOUNT_LISTING_H_

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fileprovider/fpctl/mount/item_state.h"
#include "fileprovider/fpctl/mount/namesake_key.h"

namespace fpctl::mount {

struct Listing {
  using Entry = std::map<std::string, ListedItem>::value_type;
  std::map<std::string, ListedItem> byName;  // shown name -> item
  // The namesake keys of the items' display names; built by the first create
  // in the folder (namesakeKeys()), then kept current by show() and hide().
  std::optional<NamesakeKeys> namesakes;
  // Called with a shown name before its entry is replaced or dropped by show()
  // or hide() (the listing is as it was then); set by the folder's owner.
  std::function<void(const std::string&)> beforeChange;

  // Shows `item` as `shown`, in place of what was shown so.
  void show(const std::string& shown, const ListedItem& item);
  // Drops what is shown as `shown`, if anything.
  void hide(const std::string& shown);
  // Drops the names `shown (2)`, `shown (3)`, ... that show `identifier`: a
  // listing read while a new file was being created shows the created item
  // under such a name, since its own name was still held by the local file.
  // Returns the names dropped.
  std::vector<std::string> hideNumberedNamesOf(const std::string& shown,
                                               const fp::ItemIdentifier& identifier);
  // The keys of what the listing shows.
  [[nodiscard]] const NamesakeKeys& namesakeKeys();
};

// The listing of `items`: each under posixName() of its display name, shortened
// when too long (shortenedName()); a name already shown, or one for which
// `taken` is true (a new local file), gets " (2)", " (3)", ... appended
// (numberedName()).
[[nodiscard]] Listing buildListing(std::vector<ItemState> items,
                                   const std::function<bool(const std::string&)>& taken);

struct ListingDiff {
  // Names of `before` that are gone from `after` or now name another item.
  std::vector<std::string> forgotten;
  // Whether the set of names changed at all (the folder's own cached listing
  // is stale then).
  bool namesChanged = false;
};

// What changed between two listings of one folder, by name and identity.
[[nodiscard]] ListingDiff diffListings(const Listing& before, const Listing& after);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_LISTING_H_
