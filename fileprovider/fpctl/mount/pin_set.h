// The items the user asked to keep on this device (`fpctl pin`, or setting
// user.fileprovider.pinned to 1): a set of item identifiers, each with the
// path it had in the mount when it was pinned (for `fpctl status`).
//
// The set lives in one file of the cache folder (pinned.json), so it survives
// unmounting and a new mount with the same --cache keeps the same files local.
// Every change replaces the file atomically (a new file is written, synced and
// renamed over the old one), so a crash leaves the old set or the new one,
// never half of either. Thread-safe.
#ifndef FPCTL_MOUNT_PIN_SET_H_
#define FPCTL_MOUNT_PIN_SET_H_

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fileprovider/fpctl/mount/errno_map.h"

namespace fpctl::mount {

struct PinnedItem {
  std::string identifier;
  std::string path;  // in the mount when it was pinned ("/Projects/plan.txt")
  bool isFolder = false;
};

class PinSet {
 public:
  // Reads the set kept in `file` (none yet: empty). A file that cannot be
  // parsed is moved aside to `file`.damaged, so it is neither lost nor read as
  // another set, and the set starts empty; damaged() then says so.
  explicit PinSet(std::filesystem::path file);
  PinSet(const PinSet&) = delete;
  PinSet& operator=(const PinSet&) = delete;

  // Why the kept set could not be read when it was opened; none when it was.
  [[nodiscard]] const std::optional<std::string>& damaged() const { return damaged_; }

  [[nodiscard]] bool contains(const std::string& identifier) const;
  [[nodiscard]] std::vector<PinnedItem> items() const;
  [[nodiscard]] bool empty() const;

  // Adds (or updates) `item` and writes the set. Returns whether the set
  // changed, or the errno value of the failed write (the set is then as before).
  [[nodiscard]] ErrnoOr<bool> add(const PinnedItem& item);
  // Removes `identifier` and writes the set; as add().
  [[nodiscard]] ErrnoOr<bool> remove(const std::string& identifier);

  // The set kept in `file`, read without changing anything (for `fpctl
  // status` beside a running mount); empty when there is none or it is damaged.
  [[nodiscard]] static std::vector<PinnedItem> read(const std::filesystem::path& file);

 private:
  using Items = std::map<std::string, PinnedItem>;
  // Writes `items` to the file atomically; fails with errno.
  [[nodiscard]] ErrnoOr<void> write(const Items& items) const;

  const std::filesystem::path file_;
  std::optional<std::string> damaged_;
  mutable std::mutex mu_;  // guards items_, and orders writes of the file
  Items items_;
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_PIN_SET_H_
