// What the mount's operations answer the FUSE front with.
#ifndef FPCTL_MOUNT_REPLIES_H_
#define FPCTL_MOUNT_REPLIES_H_

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "fileprovider/fpctl/mount/inode_table.h"

namespace fpctl::mount {

struct EntryReply {
  Ino ino = 0;
  struct stat attr {};
};

struct OpenReply {
  std::uint64_t fh = 0;
  bool keepCache = false;  // the kernel may keep the data it has cached
};

struct DirEntry {
  std::string name;
  Ino ino = 0;
  struct stat attr {};  // only st_ino and the type in st_mode when `held`
  // Listed with attributes (readdirplus) the kernel holds the node already, with
  // attributes the change check keeps current: it is listed without them, so
  // the kernel keeps what it has and counts no lookup.
  bool held = false;
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_REPLIES_H_
