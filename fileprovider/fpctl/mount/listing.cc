#include "fileprovider/fpctl/mount/listing.h"

#include <iterator>

#include "fileprovider/fpctl/mount/name_codec.h"

namespace fpctl::mount {

Listing buildListing(std::vector<ItemState> items,
                     const std::function<bool(const std::string&)>& taken) {
  Listing listing;
  auto& byName = listing.byName;
  for (auto& item : items) {
    // A name longer than the kernel takes is shown shortened; the listing maps
    // it back to its item.
    const std::string name = shortenedName(posixName(item.filename));
    std::string shown = name;
    for (int n = 2;; shown = numberedName(name, n++)) {
      if (taken && taken(shown)) continue;
      // The service lists a folder in the order of its names, mostly that of
      // the names shown: those go at the end without a search.
      auto at = !byName.empty() && std::prev(byName.end())->first < shown
                    ? byName.end()
                    : byName.lower_bound(shown);
      if (at != byName.end() && at->first == shown) continue;
      byName.emplace_hint(at, std::move(shown), std::move(static_cast<ListedItem&>(item)));
      break;
    }
  }
  return listing;
}

void Listing::show(const std::string& shown, const ListedItem& item) {
  if (beforeChange && byName.count(shown)) beforeChange(shown);
  auto [it, added] = byName.try_emplace(shown, item);
  if (namesakes) {
    if (!added) namesakes->remove(it->second.filename);
    namesakes->add(item.filename);
  }
  if (!added) it->second = item;
}

void Listing::hide(const std::string& shown) {
  auto it = byName.find(shown);
  if (it == byName.end()) return;
  if (beforeChange) beforeChange(shown);
  if (namesakes) namesakes->remove(it->second.filename);
  byName.erase(it);
}

std::vector<std::string> Listing::hideNumberedNamesOf(const std::string& shown,
                                                      const fp::ItemIdentifier& identifier) {
  std::vector<std::string> hidden;
  for (int n = 2;; ++n) {
    std::string numbered = numberedName(shown, n);
    auto it = byName.find(numbered);
    if (it == byName.end()) break;
    if (it->second.identifier == identifier) hidden.push_back(std::move(numbered));
  }
  for (const auto& name : hidden) hide(name);
  return hidden;
}

const NamesakeKeys& Listing::namesakeKeys() {
  if (!namesakes) {
    NamesakeKeys keys;
    for (const auto& [shown, item] : byName) keys.add(item.filename);
    namesakes = std::move(keys);
  }
  return *namesakes;
}

ListingDiff diffListings(const Listing& before, const Listing& after) {
  ListingDiff diff;
  diff.namesChanged = before.byName.size() != after.byName.size();
  // Both are in the order of their names: one walk through each.
  auto it = after.byName.begin();
  for (const auto& [name, old] : before.byName) {
    while (it != after.byName.end() && it->first < name) ++it;
    if (it == after.byName.end() || it->first != name || it->second.identifier != old.identifier) {
      diff.forgotten.push_back(name);
      diff.namesChanged = true;
    }
  }
  return diff;
}

}  // namespace fpctl::mount
