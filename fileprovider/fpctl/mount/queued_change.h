// One entry of the mount's upload queue (upload_queue.h): what it asks of the
// service, and its record on disk (<seq>.json), read back after any restart.
// Records of earlier versions, which know only states, are read as states.
#ifndef FPCTL_MOUNT_QUEUED_CHANGE_H_
#define FPCTL_MOUNT_QUEUED_CHANGE_H_

#include <cstdint>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "fileprovider/fpctl/mount/item_state.h"
#include "fileprovider/item.h"

namespace fpctl::mount {

// What a queue entry asks of the service.
enum class ChangeKind {
  kState,   // the contents of a file (a new one when `identifier` is empty)
  kMove,    // the item `identifier` goes to `parent` under `filename`
  kRemove,  // the item `identifier` is deleted
  // A folder made here: `identifier` is its local identifier (isLocalIdentifier())
  // until the service made it (UploadQueue::bind()).
  kMakeFolder,
};

// The identifier the mount gives a folder it made while the host was away,
// until the service made it; never one the service gives.
[[nodiscard]] fp::ItemIdentifier newLocalIdentifier();
[[nodiscard]] bool isLocalIdentifier(const fp::ItemIdentifier& identifier);

struct QueuedChange {
  ChangeKind kind = ChangeKind::kState;
  std::uint64_t seq = 0;          // order of sending; set by put()
  fp::ItemIdentifier identifier;  // empty: a new file, to be created
  fp::ItemIdentifier parent;      // the folder it is (to be) in
  std::string filename;           // its display name
  fp::ItemVersion baseVersion;    // the version the change was made to
  std::filesystem::path data;     // the contents; set by put()
  std::int64_t size = 0;          // of `data`
  std::uint64_t checksum = 0;     // of `data`'s bytes; set by stage()
  // Edits: the item as the folder shows it once the edit is made (kind, size,
  // date, capabilities, versions), and for a move what it changes
  // (fp::field::kFilename, kParentItemIdentifier).
  ItemState item;
  fp::ItemFields fields = 0;
  // A move: where the item was when it was moved (the folder and name it
  // frees); empty in records of earlier versions.
  fp::ItemIdentifier fromParent;
  std::string fromFilename;

  // A new file's own token (newLocalIdentifier()), the same for all its
  // states; empty in records of earlier versions, whose new files are told
  // apart by folder and name.
  std::string local;

  // Changes with the same key are states of one file.
  [[nodiscard]] std::string key() const;
  // Where a new file goes (its folder and name), whichever file it is: how a
  // creation of an earlier run is recognised (queued_creation.h).
  [[nodiscard]] std::string placeKey() const;
  [[nodiscard]] bool isEdit() const { return kind != ChangeKind::kState; }
};

// The word a record and `fpctl status` use for `kind`.
[[nodiscard]] const char* kindName(ChangeKind kind);
// The record of `change`: where it goes, and for an edit the item as it is shown.
[[nodiscard]] nlohmann::json recordOf(const QueuedChange& change);
// The change a record describes (`data` is not set); throws when it is damaged.
[[nodiscard]] QueuedChange changeFrom(const nlohmann::json& record);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_QUEUED_CHANGE_H_
