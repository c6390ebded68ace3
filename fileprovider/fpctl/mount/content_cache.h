// The mount's folder on disk: fetched contents, kept once per item and content
// version; working copies of files being written; the upload queue (queue/);
// and copies of files whose upload was refused for good (unsent/), so that no
// written data is thrown away.
#ifndef FPCTL_MOUNT_CONTENT_CACHE_H_
#define FPCTL_MOUNT_CONTENT_CACHE_H_

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/fpctl/mount/upload_queue.h"
#include "fileprovider/scoped_fd.h"

namespace fpctl::mount {

// A new, empty file opened for reading and writing.
struct WorkFile {
  std::filesystem::path path;
  fp::ScopedFD fd;
};

class ContentCache {
 public:
  // Uses `root` (created when missing) with the folders contents/, work/,
  // queue/ and unsent/ in it. Working copies an earlier run left behind that
  // had been changed (it was killed while a file was open for writing) are
  // moved to unsent/ with the reason; the others are removed. With
  // `removeOnClose`, `root` is removed again when the cache is destroyed,
  // unless the queue or unsent/ still hold something.
  static ErrnoOr<std::unique_ptr<ContentCache>> open(const std::filesystem::path& root,
                                                     bool removeOnClose);
  ~ContentCache();
  ContentCache(const ContentCache&) = delete;
  ContentCache& operator=(const ContentCache&) = delete;

  const std::filesystem::path& root() const { return root_; }
  UploadQueue& queue() { return *queue_; }

  // Notes on disk that the working copy at `workPath` (of the file `name`) has
  // been changed, so that a later run keeps it if this one dies. Returns the
  // note's path, to be removed with the working copy.
  std::filesystem::path markChanged(const std::filesystem::path& workPath, const std::string& name);

  // The cached contents of `identifier` at `contentVersion`, if present.
  std::optional<std::filesystem::path> find(const std::string& identifier,
                                            const std::string& contentVersion);
  // Copies `source` into the cache as the contents of `identifier` at
  // `contentVersion`, dropping older versions of the same item.
  // The source is copied with copyFetchedInto(), at most `limit` bytes.
  ErrnoOr<std::filesystem::path> store(const std::string& identifier,
                                       const std::string& contentVersion,
                                       const std::filesystem::path& source, std::int64_t limit);
  // Moves a working copy into the cache as the contents at `contentVersion`.
  void adopt(const std::string& identifier, const std::string& contentVersion,
             const std::filesystem::path& workPath);

  // Removes the cached contents of `identifier` (every version, also those an
  // earlier run left) and forgets them; a reader that has one open keeps its
  // data until it closes it.
  void drop(const std::string& identifier);

  ErrnoOr<WorkFile> newWorkFile();
  // Moves a file that could not be uploaded to unsent/, under a name made from
  // `name`, with `reason` beside it; returns where it went (empty when even
  // that failed).
  std::filesystem::path preserve(const std::filesystem::path& workPath, const std::string& name,
                                 const std::string& reason);

 private:
  ContentCache(std::filesystem::path root, bool removeOnClose, std::unique_ptr<UploadQueue> queue)
      : root_(std::move(root)), removeOnClose_(removeOnClose), queue_(std::move(queue)) {}
  std::filesystem::path pathFor(const std::string& identifier, const std::string& version) const;
  void remember(const std::string& identifier, const std::filesystem::path& path);

  std::filesystem::path root_;
  bool removeOnClose_;
  std::unique_ptr<UploadQueue> queue_;
  std::mutex mu_;
  std::map<std::string, std::filesystem::path> latest_;  // identifier -> its cached file
};

// Copies all of the file at `source` to `destination` (an open descriptor,
// written from offset 0). Returns 0 or an errno value.
[[nodiscard]] int copyFileInto(const std::filesystem::path& source, int destination);

// Copies a file the extension handed back into `destination`, trusting nothing
// about it: it is opened without blocking and must be a regular file (else
// EINVAL); at most `limit` bytes are copied (more: EFBIG); and the copy stops
// with ENOSPC while the file system of `destination` still keeps `reserve`
// bytes free. Returns 0 or an errno value.
[[nodiscard]] int copyFetchedInto(const std::filesystem::path& source, int destination,
                                  std::int64_t limit, std::int64_t reserve);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_CONTENT_CACHE_H_
