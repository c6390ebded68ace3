// Copies of what the extension hands back as fetched contents, trusting nothing
// about the file: not its type, not its size, not that it stops growing.
#ifndef FPCTL_MOUNT_FETCHED_COPY_H_
#define FPCTL_MOUNT_FETCHED_COPY_H_

#include <cstdint>
#include <filesystem>

#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/scoped_fd.h"

namespace fpctl::mount {

// Opens a file the extension handed back for reading it directly (it is not
// kept in the cache), trusting nothing about it: opened without blocking, it
// must be a regular file (else EINVAL) of at most `limit` bytes (else EFBIG).
[[nodiscard]] ErrnoOr<fp::ScopedFD> openFetched(const std::filesystem::path& source,
                                                std::int64_t limit);

// The most bytes a copy of fetched contents may take, for an item that claims
// `claimedSize` bytes: the claim plus an eighth, plus 1 MiB, a margin for a file
// that changed meanwhile. A host handing back an endless file cannot fill a disk.
[[nodiscard]] std::int64_t fetchedCopyLimit(std::int64_t claimedSize);

// Copies a file the extension handed back into `destination`, trusting nothing
// about it: it is opened without blocking and must be a regular file (else
// EINVAL); at most `limit` bytes are copied (more: EFBIG); and the copy stops
// with ENOSPC while the file system of `destination` still keeps `reserve`
// bytes free. Fails with errno.
[[nodiscard]] ErrnoOr<void> copyFetchedInto(const std::filesystem::path& source, int destination,
                                            std::int64_t limit, std::int64_t reserve);
// The same from `source`, a file openFetched() gave.
[[nodiscard]] ErrnoOr<void> copyOpenedFetchedInto(int source, int destination, std::int64_t limit,
                                                  std::int64_t reserve);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_FETCHED_COPY_H_
