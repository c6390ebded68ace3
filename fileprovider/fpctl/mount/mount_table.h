// Reading the process's mount table.
#ifndef FPCTL_MOUNT_MOUNT_TABLE_H_
#define FPCTL_MOUNT_MOUNT_TABLE_H_

#include <filesystem>
#include <string>

namespace fpctl::mount {

// The mount at a path: its device ("0:42") and file system type ("fuse.fpctl").
struct MountEntry {
  std::string device;
  std::string type;
};

// The mount in use at `path` (the last one mounted there); empty strings when
// nothing is mounted there.
[[nodiscard]] MountEntry mountAt(const std::filesystem::path& path);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_MOUNT_TABLE_H_
