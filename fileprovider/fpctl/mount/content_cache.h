// The mount's folder on disk: fetched contents, kept once per item and content
// version; working copies of files being written; and copies of files whose
// upload failed for good, so that no written data is thrown away.
#ifndef FPCTL_MOUNT_CONTENT_CACHE_H_
#define FPCTL_MOUNT_CONTENT_CACHE_H_

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/scoped_fd.h"

namespace fpctl::mount {

// A new, empty file opened for reading and writing.
struct WorkFile {
  std::filesystem::path path;
  fp::ScopedFD fd;
};

class ContentCache {
 public:
  // Uses `root` (created when missing) with the folders contents/, work/ and
  // unsent/ in it; work/ is emptied. With `removeOnClose`, `root` is removed
  // again when the cache is destroyed.
  static ErrnoOr<std::unique_ptr<ContentCache>> open(const std::filesystem::path& root,
                                                     bool removeOnClose);
  ~ContentCache();
  ContentCache(const ContentCache&) = delete;
  ContentCache& operator=(const ContentCache&) = delete;

  const std::filesystem::path& root() const { return root_; }

  // The cached contents of `identifier` at `contentVersion`, if present.
  std::optional<std::filesystem::path> find(const std::string& identifier,
                                            const std::string& contentVersion);
  // Copies `source` into the cache as the contents of `identifier` at
  // `contentVersion`, dropping older versions of the same item.
  ErrnoOr<std::filesystem::path> store(const std::string& identifier,
                                       const std::string& contentVersion,
                                       const std::filesystem::path& source);
  // Moves a working copy into the cache as the contents at `contentVersion`.
  void adopt(const std::string& identifier, const std::string& contentVersion,
             const std::filesystem::path& workPath);

  ErrnoOr<WorkFile> newWorkFile();
  // Moves a file that could not be uploaded to unsent/, under a name made from
  // `name`; returns where it went (empty when even that failed).
  std::filesystem::path preserve(const std::filesystem::path& workPath, const std::string& name);

 private:
  ContentCache(std::filesystem::path root, bool removeOnClose)
      : root_(std::move(root)), removeOnClose_(removeOnClose) {}
  std::filesystem::path pathFor(const std::string& identifier, const std::string& version) const;
  void remember(const std::string& identifier, const std::filesystem::path& path);

  std::filesystem::path root_;
  bool removeOnClose_;
  std::mutex mu_;
  std::map<std::string, std::filesystem::path> latest_;  // identifier -> its cached file
};

// Copies all of the file at `source` to `destination` (an open descriptor,
// written from offset 0). Returns 0 or an errno value.
int copyFileInto(const std::filesystem::path& source, int destination);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_CONTENT_CACHE_H_
