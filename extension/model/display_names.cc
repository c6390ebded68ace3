#include "extension/model/display_names.h"

#include <string_view>

#include "extension/model/collisions.h"

namespace pellora::index_detail {

void applyDisplayNames(std::vector<IndexEntry>& entries, std::size_t firstFile,
                       std::span<const IndexEntry> subfolders) {
  std::vector<std::string_view> reserved;
  reserved.reserve(subfolders.size());
  for (const IndexEntry& f : subfolders) reserved.push_back(f.name());
  std::vector<Collisions::NamedUlid> named;
  named.reserve(entries.size() - firstFile);
  for (std::size_t i = firstFile; i < entries.size(); ++i) {
    named.push_back({entries[i].ulid(), entries[i].name()});
  }
  for (Collisions::Mark& m : Collisions::marks(reserved, named)) {
    entries[firstFile + m.position].setDisplayName(std::move(m.displayName));
  }
}

std::string displayNameAmong(const std::vector<std::pair<std::string, std::string>>& namesakes,
                             std::size_t requested, const std::vector<std::string>& reserved) {
  std::vector<std::string_view> reservedNames(reserved.begin(), reserved.end());
  std::vector<Collisions::NamedUlid> named;
  named.reserve(namesakes.size());
  for (const auto& [u, n] : namesakes) named.push_back({u, n});
  std::string displayName = namesakes[requested].second;
  for (Collisions::Mark& m : Collisions::marks(reservedNames, named)) {
    if (m.position == requested) displayName = std::move(m.displayName);
  }
  return displayName;
}

}  // namespace pellora::index_detail
