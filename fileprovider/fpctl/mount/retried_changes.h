// The cache folder's retried/: refused changes `fpctl retry` takes out of
// unsent/ (unsent_folder.h) for the queue. Whoever holds the cache folder's
// lock moves them into the queue (UploadQueue::adoptNewRecords()): a running
// mount when told so (SIGUSR1), else `fpctl retry` itself or the next mount.
// The queue's numbers are the running mount's to give: a change waits here
// under a number of its own until it is taken.
//
// A change is <n>.json (its queue record) and, for a state of a file, <n>.data
// (its contents); n grows in the order they were handed over. The record is
// written (durably) before the contents are moved in, and a record is taken
// only once its contents are there: nothing is taken half, nor lost.
#ifndef FPCTL_MOUNT_RETRIED_CHANGES_H_
#define FPCTL_MOUNT_RETRIED_CHANGES_H_

#include <filesystem>
#include <vector>

#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/fpctl/mount/unsent_folder.h"

namespace fpctl::mount {

struct HandedOver {
  std::filesystem::path record;  // <n>.json
  std::filesystem::path data;    // <n>.data (a state's; may not be there yet)
};

// The changes waiting in `cacheRoot`/retried, in the order they were handed over.
[[nodiscard]] std::vector<HandedOver> retriedRecords(const std::filesystem::path& cacheRoot);

// Moves the refused change `entry` (canRetry()) from unsent/ to
// `cacheRoot`/retried: its record, then its contents; its reason goes last.
// Fails with errno, and then the entry stays in unsent/ as it was (a record
// written for it is removed again).
[[nodiscard]] ErrnoOr<void> handOver(const std::filesystem::path& cacheRoot,
                                     const UnsentEntry& entry);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_RETRIED_CHANGES_H_
