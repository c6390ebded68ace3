// The cache folder's unsent/: what the mount could not send and will not try
// again (a change the service refused for good, a working copy no state was
// taken from), each kept under a name of its own with the reason beside it
// (<name>.reason), until the user takes it. `fpctl status` lists them
// (cache_report.h).
//
// A change the service refused keeps, beside its contents (<name>, a state of
// a file only), its queue record (<name>.record, as the queue writes it) with
// the path the file had in the mount then ("shownPath"): what `fpctl retry`
// needs to queue it again. Entries kept by earlier versions have no record:
// they can be taken away, never sent again.
#ifndef FPCTL_MOUNT_UNSENT_FOLDER_H_
#define FPCTL_MOUNT_UNSENT_FOLDER_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "fileprovider/fpctl/mount/queued_change.h"

namespace fpctl::mount {

// Keeps `file` in `cacheRoot`/unsent with `reason` beside it; returns where it
// went (empty when it could not be kept).
std::filesystem::path keepUnsent(const std::filesystem::path& cacheRoot,
                                 const std::filesystem::path& file, const std::string& name,
                                 const std::string& reason);

// Keeps the refused change `change` in `cacheRoot`/unsent: its contents (a
// state: `change.data`, moved) and its record with `shownPath`, written
// durably, and `reason`. Returns the entry's name there (its contents' path;
// an edit has none); empty when nothing could be kept, and then the queue's
// files are where they were.
std::filesystem::path keepRefused(const std::filesystem::path& cacheRoot,
                                  const QueuedChange& change, const std::string& shownPath,
                                  const std::string& reason);

// One entry of unsent/.
struct UnsentEntry {
  std::filesystem::path base;  // <unsent>/<name>; the contents when there are
  bool hasContents = false;
  // The change to send again, read from <name>.record; none for an entry an
  // earlier version kept, or one that is no change (a working copy).
  std::optional<QueuedChange> change;
  std::string shownPath;  // where it was in the mount; empty when not known
  std::string reason;     // "could not be sent" when none was kept
  std::int64_t size = 0;  // of the contents

  // The files of the entry that exist: contents, record, reason.
  [[nodiscard]] std::vector<std::filesystem::path> files() const;
  // The one file that stands for it: its contents, else its record.
  [[nodiscard]] std::filesystem::path shown() const;
  // Whether it can be queued again: its record was read, and a state's
  // contents are there.
  [[nodiscard]] bool canRetry() const { return change && (change->isEdit() || hasContents); }
};

// The entries of `cacheRoot`/unsent, oldest first.
[[nodiscard]] std::vector<UnsentEntry> readUnsent(const std::filesystem::path& cacheRoot);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_UNSENT_FOLDER_H_
