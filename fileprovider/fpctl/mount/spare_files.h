// Empty files kept in one folder of the cache for reuse. A file that lives for
// a moment (a working copy's note, an upload queue entry) is taken from here
// and given back instead of being created and removed. The reason is ext4
// without a journal: allocating an inode passes over every inode of the group
// freed in the last minutes (five seconds, or five minutes while the inode
// table is not yet written back), so one create-and-remove per copied file made
// copying n files cost n² and, at a thousand files, most of fpctl's time.
// Renaming a file in and out costs no allocation on any file system.
//
// A spare holds one zero byte. Its data block stays allocated: freeing a block
// costs more than allocating one where the file system discards freed blocks
// at once (ext4 mounted with `discard` and without a journal waits for the
// disk to discard each one), and emptying the note and the queue files of
// every copied file had put three such waits into each close. So a file is
// cut to one byte and that byte zeroed before it becomes a spare, and a taken
// spare is written over from its start and then cut to the length written
// (fit()). A crash at any point leaves zeros, never old contents, under a new
// name.
//
// Spares for working copies (Contents::kEmpty) hold nothing: a working copy
// starts empty, and cutting a spare to nothing as it is taken would free its
// block while a program waits for its open(). They are emptied when given
// back instead, which is not waited for. Thread-safe.
#ifndef FPCTL_MOUNT_SPARE_FILES_H_
#define FPCTL_MOUNT_SPARE_FILES_H_

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <vector>

#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/scoped_fd.h"

namespace fpctl::mount {

class SpareFiles {
 public:
  enum class Contents { kOneZeroByte, kEmpty };
  // Keeps at most `keep` spares in `folder` (created when missing); spares an
  // earlier run left there are used again.
  SpareFiles(std::filesystem::path folder, std::size_t keep,
             Contents contents = Contents::kOneZeroByte);
  SpareFiles(const SpareFiles&) = delete;
  SpareFiles& operator=(const SpareFiles&) = delete;

  // Opens `path` as open(path, flags | O_CREAT, 0600) does, giving it a
  // spare's inode when one is kept and `path` does not exist. What the file
  // held (a spare's zero byte, or an existing file's contents) stays beyond
  // what is written until fit() sets its length. Fails as open() does (errno
  // set).
  [[nodiscard]] fp::ScopedFD create(const std::filesystem::path& path, int flags);
  // Sets the length of a file opened by create() to `length`; fails with errno.
  [[nodiscard]] static ErrnoOr<void> fit(int fd, off_t length);
  // Removes `path`: keeps it as a spare, or unlinks it when enough are kept
  // or it cannot be kept. False when `path` could not be removed.
  bool remove(const std::filesystem::path& path);

  std::size_t kept() const;

 private:
  const std::filesystem::path folder_;
  const std::size_t keep_;
  const Contents contents_;
  mutable std::mutex mu_;  // guards what follows
  std::vector<std::filesystem::path> free_;
  unsigned long long nextName_ = 0;  // the number of the next spare's name
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_SPARE_FILES_H_
