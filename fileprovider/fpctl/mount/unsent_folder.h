// The cache folder's unsent/: what the mount could not send and will not try
// again (a change the service refused for good, a working copy no state was
// taken from), each kept under a name of its own with the reason beside it
// (<name>.reason), until the user takes it. `fpctl status` lists them
// (cache_report.h).
#ifndef FPCTL_MOUNT_UNSENT_FOLDER_H_
#define FPCTL_MOUNT_UNSENT_FOLDER_H_

#include <filesystem>
#include <string>

namespace fpctl::mount {

// Keeps `file` in `cacheRoot`/unsent with `reason` beside it; returns where it
// went (empty when it could not be kept).
std::filesystem::path keepUnsent(const std::filesystem::path& cacheRoot,
                                 const std::filesystem::path& file, const std::string& name,
                                 const std::string& reason);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_UNSENT_FOLDER_H_
