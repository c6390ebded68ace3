// What the mount's operations answer the FUSE front with.
#ifndef FPCTL_MOUNT_REPLIES_H_
#define FPCTL_MOUNT_REPLIES_H_

#include <sys/stat.h>

#include <cstdint>
#include <memory>
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

// The descriptor reads of an open file are served from, with what keeps it
// open: a release meanwhile closes it only once `holder` is let go.
struct ReadSource {
  int fd = -1;
  std::shared_ptr<const void> holder;
};

struct DirEntry {
  std::string name;
  Ino ino = 0;
  struct stat attr {};  // only st_ino and the type in st_mode when `held`
  // With attributes asked for (readdirplus), an entry whose node the kernel
  // holds already, with attributes the change check keeps current, is listed
  // without them: the kernel keeps what it has and counts no lookup. So is one
  // that left the folder since it was opened: the kernel looks it up if needed.
  bool held = false;
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_REPLIES_H_
