#include "extension/model/index_entry.h"

#include <utility>

namespace pellora {

IndexEntry::IndexEntry(std::string ulid, std::string name, std::optional<std::string> parentUlid,
                       bool isFolder, std::int64_t size, TimePoint modified,
                       std::int64_t versionNumber, std::optional<std::int64_t> lockedByUserId,
                       std::string displayName)
    : ulid_(std::move(ulid)),
      name_(std::move(name)),
      parentUlid_(std::move(parentUlid)),
      isFolder_(isFolder),
      size_(size),
      modified_(modified),
      versionNumber_(versionNumber),
      lockedByUserId_(lockedByUserId),
      displayName_(std::move(displayName)) {}

IndexEntry IndexEntry::withDisplayName(std::string displayName) const {
  IndexEntry copy = *this;
  copy.displayName_ = std::move(displayName);
  return copy;
}

}  // namespace pellora
