// Edits made on this device and on the service to the same item at once.
//
// Every change the mount sends carries the version of the item it was made to
// (its base). Before a change of an existing item is sent, the item as the
// index shows it now is compared with that base (the extension does not look
// at it), and a difference the mount did not make itself is a conflict, where
// neither side's edit is lost:
//   - changed here and there: the service's version keeps the name; this
//     device's is created beside it as conflictCopyName();
//   - removed here, changed there: the removal is not sent, and the file shows
//     again with the service's version;
//   - changed here, removed there: this device's version is created again where
//     the file was, with the folders on the way made again as needed (as for a
//     new file whose folder was removed on the service);
//   - moved or renamed here and there: the service's place wins; contents
//     changed here still arrive.
// Each case is logged and kept in the cache folder's file "conflicts", which
// `fpctl status` lists.
#ifndef FPCTL_MOUNT_CONFLICTS_H_
#define FPCTL_MOUNT_CONFLICTS_H_

#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/item.h"
#include "fileprovider/log.h"

namespace fpctl::mount {

// The versions of items this mount wrote itself (the last, by item): a
// version of its own is no edit of another device. Thread-safe (a leaf lock).
class WrittenVersions {
 public:
  void note(const fp::ItemIdentifier& identifier, const fp::ItemVersion& version);
  // Whether the item's contents as the index shows them now (`now`) differ
  // from `base` by an edit this mount did not make. An empty base is never a
  // conflict.
  [[nodiscard]] bool changedThere(const fp::ItemVersion& base, const fp::ItemIdentifier& identifier,
                                  const std::string& nowContentVersion) const;
  // The same for its metadata (place and name among them).
  [[nodiscard]] bool metadataChangedThere(const fp::ItemVersion& base,
                                          const fp::ItemIdentifier& identifier,
                                          const std::string& nowMetadataVersion) const;

 private:
  // `now` differs from `base` (never when it is empty) and from the `part` of
  // the version this mount last wrote of `identifier`.
  bool otherEdit(const std::string& base, const std::string& now,
                 const fp::ItemIdentifier& identifier, std::string fp::ItemVersion::*part) const;

  mutable std::mutex mu_;
  std::map<fp::ItemIdentifier, fp::ItemVersion> versions_;
};

// "NAME (conflict YYYY-MM-DD HHMMSS).EXT" at `when`, local time: EXT is what
// follows the last dot of `filename`, unless the name starts with that dot or
// has none ("NAME (conflict ...)" then).
[[nodiscard]] std::string conflictCopyName(const std::string& filename, std::time_t when);

// One case, as `fpctl status` lists it.
struct ConflictRecord {
  std::string path;  // the file as the folder shows it
  std::string kind;  // "changed here and there", "removed here, changed there", ...
  std::string copy;  // the name of this device's conflict copy; empty when none was made
  double time = 0;   // seconds since 1970
};

// Logs `message` ("conflict: ...") and notes `record` (stamped now) in
// `cacheRoot`; a failure to note it is logged.
void noteConflictCase(const fp::Log& log, const std::filesystem::path& cacheRoot,
                      ConflictRecord record, const std::string& message);

// The cases noted in `cacheRoot`'s file "conflicts" (0600, one JSON object per
// line). note() appends one; a failure to note is returned (the case is logged
// all the same). read() skips lines it cannot read.
[[nodiscard]] ErrnoOr<void> noteConflict(const std::filesystem::path& cacheRoot,
                                         const ConflictRecord& record);
[[nodiscard]] std::vector<ConflictRecord> readConflicts(const std::filesystem::path& cacheRoot);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_CONFLICTS_H_
