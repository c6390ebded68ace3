// IndexEntry: the value record of one folder or file row of the index.
#ifndef PELLORA_MODEL_INDEX_ENTRY_H_
#define PELLORA_MODEL_INDEX_ENTRY_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace pellora {

// Seconds since 1970-01-01 00:00:00 UTC, with fractions.
using TimePoint = std::chrono::time_point<std::chrono::system_clock, std::chrono::duration<double>>;

class IndexEntry {
 public:
  IndexEntry(std::string ulid, std::string name, std::optional<std::string> parentUlid,
             bool isFolder, std::int64_t size, TimePoint modified, std::int64_t versionNumber,
             std::optional<std::int64_t> lockedByUserId, std::string displayName);

  const std::string& ulid() const { return ulid_; }
  // The name exactly as stored in the index.
  const std::string& name() const { return name_; }
  // The parent folder's ulid (for a file, its folder's); none at the top level.
  const std::optional<std::string>& parentUlid() const { return parentUlid_; }
  bool isFolder() const { return isFolder_; }
  std::int64_t size() const { return size_; }
  TimePoint modified() const { return modified_; }
  std::int64_t versionNumber() const { return versionNumber_; }
  const std::optional<std::int64_t>& lockedByUserId() const { return lockedByUserId_; }
  // The name shown to the platform; only sibling disambiguation changes it.
  const std::string& displayName() const { return displayName_; }
  void setDisplayName(std::string displayName) { displayName_ = std::move(displayName); }

  // A copy with another display name; this entry is not changed.
  [[nodiscard]] IndexEntry withDisplayName(std::string displayName) const;

 private:
  std::string ulid_;
  std::string name_;
  std::optional<std::string> parentUlid_;
  bool isFolder_;
  std::int64_t size_;
  TimePoint modified_;
  std::int64_t versionNumber_;
  std::optional<std::int64_t> lockedByUserId_;
  std::string displayName_;
};

}  // namespace pellora

#endif  // PELLORA_MODEL_INDEX_ENTRY_H_
