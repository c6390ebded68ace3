// What each running mount (or one cache folder) still has to send, what the
// service refused and why, and how much the cache holds: the data `fpctl
// status` shows.
//
// Every running mount leaves a record (its domain, mount point, cache folder,
// the bound of its cache and process id) in the "mounts" folder of the platform's state directory
// ($FILEPROVIDER_STATE, else $XDG_STATE_HOME/fileprovider, else
// ~/.local/state/fileprovider) for as long as it runs.
#ifndef FPCTL_MOUNT_STATUS_H_
#define FPCTL_MOUNT_STATUS_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace fpctl {

// Notes a running mount for `fpctl status`; the record is removed again when
// the object is destroyed.
class MountRecord {
 public:
  // `cacheMaxBytes` and `cacheMaxAge`: the bound its fetched copies are held to.
  MountRecord(const std::string& domain, const std::filesystem::path& mountpoint,
              const std::filesystem::path& cacheRoot, std::int64_t cacheMaxBytes,
              std::optional<std::chrono::seconds> cacheMaxAge);
  ~MountRecord();
  MountRecord(const MountRecord&) = delete;
  MountRecord& operator=(const MountRecord&) = delete;

 private:
  std::filesystem::path path_;
};

// The mount point of a running mount of `domain` (one of them when there are
// several); none when the domain is not mounted.
[[nodiscard]] std::optional<std::filesystem::path> runningMountOf(const std::string& domain);

// What the cache folder `cacheDir` still holds, or, when none is given, what
// every running mount and every default cache folder (default_cache.h) that no
// mount uses and where changes wait holds (its mount point as noted there, and
// "mounted" false): an array with one object per folder, keys sorted,
// {"domain","mountpoint","cache","hostAnswers","waiting":[{"name",
// "identifier","size","change"}],"refused":[{"path","reason","size",
// "shownPath","canRetry"}],"conflicts":[{"path","kind","copy","time"}],
// "cacheBytes","copiesBytes",
// "bound":{"maxBytes","maxAgeSeconds"},"pinned":[{"path","identifier",
// "folder"}],"mounted"}. "cacheBytes" is all the folder holds, "copiesBytes"
// what its fetched copies take on disk, which the bound is about; the bound is
// that of the running mount using the folder (its values are null when none
// runs, "maxAgeSeconds" also when copies may be of any age); "pinned" the items
// kept on this device, with the path each had in the mount when it was pinned;
// "change" one of "move", "remove", "new folder", "new file", "changed file";
// "conflicts" the files edited here and on the service at once (conflicts.h);
// "hostAnswers" whether the domain's host application takes a connection now
// (null when the folder's domain is not known; host_answers.h); a refused
// change's "path" the file kept for it in unsent/, "shownPath" where it was in
// the mount ("" when not known), "canRetry" false for one an earlier version
// kept without what `fpctl retry` needs.
// None when `cacheDir` is not a cache folder.
[[nodiscard]] std::optional<nlohmann::json> readMountsStatus(
    const std::optional<std::filesystem::path>& cacheDir);

}  // namespace fpctl

#endif  // FPCTL_MOUNT_STATUS_H_
