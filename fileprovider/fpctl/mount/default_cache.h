// The cache folder a mount uses when none is given (no --cache): one per domain
// and mount point,
//   ${XDG_CACHE_HOME:-$HOME/.cache}/fileprovider/<domain>/<name>-<hash>
// where <name> is the mount point's last component (letters, digits, ".", "-"
// and "_" only, at most 32 of them) and <hash> sixteen hex digits of a hash of
// the whole absolute mount point. So a plain `fpctl mount` at the same place
// takes up the folder an earlier mount left changes in and sends them, and
// `fpctl status` finds such folders while nothing is mounted. Each folder notes
// the mount point it belongs to in its file "mountpoint".
#ifndef FPCTL_MOUNT_DEFAULT_CACHE_H_
#define FPCTL_MOUNT_DEFAULT_CACHE_H_

#include <filesystem>
#include <string>
#include <vector>

namespace fpctl::mount {

// ${XDG_CACHE_HOME:-$HOME/.cache}/fileprovider; the temporary folder's
// "fileprovider" when neither variable is set.
[[nodiscard]] std::filesystem::path defaultCacheBase();

// The default cache folder of `domain` mounted at `mountpoint` (absolute and
// normal); the same for the same two every time.
[[nodiscard]] std::filesystem::path defaultCacheFolder(const std::string& domain,
                                                       const std::filesystem::path& mountpoint);

// Notes `mountpoint` in `folder` (owner-only, see cache_folder.h).
void noteMountPoint(const std::filesystem::path& folder, const std::filesystem::path& mountpoint);

struct DefaultCache {
  std::string domain;  // as its folder is named
  std::filesystem::path folder;
  std::string mountpoint;  // as noted; empty when the note is missing
};

// Every default cache folder, of any domain, whose "queue" or "unsent" folder
// holds something; only folders of this user.
[[nodiscard]] std::vector<DefaultCache> defaultCachesHoldingChanges();

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_DEFAULT_CACHE_H_
