// The mount's inode table: the node of every item the kernel holds a number
// for, the numbers of the items (stable for the mount's life), and the lookup
// counts that decide when a node may be dropped. Not thread-safe: MountFs
// guards it with its own mutex.
//
// Numbers
//   An item keeps the number it was first given for as long as the mount runs,
//   also after its node was dropped, so the kernel never sees one item under two
//   numbers. A file created here gets a fresh number before it has an
//   identifier; bind() gives it that number once the service made the item.
//
// Dropping
//   A node is dropped when nothing needs it any more: the kernel forgot every
//   lookup, no handle is open, it has no working copy, it is not a new local
//   file and (as a folder) holds no new local files and no held items. The root
//   is never dropped.
//
// HeldItem items
//   An item the kernel knows only by its name and attributes (a listing or a
//   look-up named it, and nothing more was asked of it) has no node: a held
//   entry counts its lookups, and its folder's listing describes it. So a large
//   folder costs its listing and a little per item, not a node per item. The
//   node is made when anything else is asked of the item (find()), and before
//   its listing entry changes or goes (NodeTree keeps to that), so a held
//   entry always names the entry of its item in its folder's listing.
#ifndef FPCTL_MOUNT_INODE_TABLE_H_
#define FPCTL_MOUNT_INODE_TABLE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fileprovider/fpctl/mount/item_state.h"
#include "fileprovider/fpctl/mount/listing.h"

namespace fpctl::mount {

using Ino = std::uint64_t;
inline constexpr Ino kRootIno = 1;  // FUSE's root node id

struct WorkingCopy;  // a file's local contents while it is written (open_files.h)

// What the mount knows of one item the kernel holds a number for.
struct Node {
  Ino ino = 0;
  ItemState item;
  bool local = false;  // created here and not on the service yet
  Ino parent = kRootIno;
  std::string name;  // the POSIX name under `parent` that the kernel knows
  std::uint64_t lookups = 0;
  std::uint64_t opens = 0;
  bool unlinked = false;
  // Its removal is being sent or journaled now (TreeEdits::unlink()).
  bool removing = false;
  bool attrStale = false;
  std::shared_ptr<WorkingCopy> work;
  std::optional<std::string> kernelContentVersion;  // what the kernel's page cache holds
  // Folders.
  std::unique_ptr<Listing> listing;
  std::uint64_t listingSerial = 0;           // bumped by every change of `listing`
  std::map<std::string, Ino> localChildren;  // new files not sent yet, by POSIX name
  // While a listing is being read (by `listingReaders` threads, started when
  // none was held): what this mount showed or hid in the folder meanwhile. The
  // listing read may predate those changes; they are applied to it when it is
  // installed (each is safe to apply twice).
  int listingReaders = 0;
  std::vector<std::function<void(Listing&)>> editsWhileRead;
  std::uint32_t heldChildren = 0;  // held items in this folder (see the top of this file)
};

// An item the kernel holds without a node: shown as `*name` in the folder
// `parent`, whose listing entry `name` is the key of (no copy of it per item).
struct HeldItem {
  Ino parent = kRootIno;
  std::uint64_t lookups = 0;
  const std::string* name = nullptr;
};

class InodeTable {
 public:
  using Nodes = std::unordered_map<Ino, std::unique_ptr<Node>>;

  // Puts the root folder `item` under kRootIno with one lookup the kernel never
  // forgets. Called once, before anything else.
  Node& addRoot(const ItemState& item);

  // The node numbered `ino`, made from its folder's listing when the item is
  // held; null when there is none (never made, or dropped).
  [[nodiscard]] Node* find(Ino ino);
  // The node of the item `identifier`, as find() does; null when it has none.
  [[nodiscard]] Node* findItem(const fp::ItemIdentifier& identifier);
  // As find() and findItem(), but a held item stays held (null).
  [[nodiscard]] Node* peek(Ino ino);
  [[nodiscard]] Node* peekItem(const fp::ItemIdentifier& identifier);

  // Counts one lookup of the item `ino`, shown by the entry `listed` of the
  // listing of `parent`: on its node when it has one, else on its held entry.
  void hold(Ino parent, const Listing::Entry& listed, Ino ino);
  // The held item `ino` is shown by `listed` of its folder's new listing.
  void relist(Ino ino, const Listing::Entry& listed);
  // The held entry of `ino`; null when it has none. Valid until the table changes.
  [[nodiscard]] const HeldItem* held(Ino ino) const;
  // The items held in the folder `parent` (a walk over every held item).
  [[nodiscard]] std::vector<Ino> heldIn(Ino parent) const;
  // The number of the item `identifier`: the one it was given before, else a
  // new one. Makes no node.
  [[nodiscard]] Ino inoFor(const fp::ItemIdentifier& identifier);

  // The node of `item`, shown as `name` in `parent`, made when missing. An
  // existing node takes `item` unless it is a new local file or has a working
  // copy (its own state is newer); its attributes count as fresh. Adds no lookup.
  Node& nodeForItem(Ino parent, const std::string& name, const ItemState& item);
  // A node with a fresh number for a file created here (`local` set, no item
  // identifier yet). Adds no lookup.
  Node& addLocal();
  // The new file `ino` became the item `identifier`: it keeps its number.
  void bind(const fp::ItemIdentifier& identifier, Ino ino);

  // The kernel forgot `count` lookups of `ino` (more than it holds: all of
  // them); the node is dropped when nothing else needs it. The root keeps its
  // lookups.
  void forget(Ino ino, std::uint64_t count);
  // Drops the node `ino` when nothing needs it (see the top of this file).
  void dropIfIdle(Ino ino);
  // The number of nodes dropped since the last call.
  [[nodiscard]] std::size_t takeDropped() { return std::exchange(dropped_, 0); }

  // Every node, by number, for walks over the whole table; held items are not
  // among them. Nodes must not be added or dropped while walking (find() may
  // add one).
  [[nodiscard]] Nodes& all() { return nodes_; }

 private:
  // Ends the held entry of `n`, its lookups going to the node.
  void absorbHeld(Node& n);
  // Drops the held entry `it`; its folder may be dropped then.
  void dropHeld(std::unordered_map<Ino, HeldItem>::iterator it);

  // A copy of `identifier` that lives as long as the table.
  std::string_view keep(const fp::ItemIdentifier& identifier);

  Nodes nodes_;
  std::unordered_map<Ino, HeldItem> held_;
  // Stable for the mount's life, so never erased: the identifiers' bytes are
  // kept together in large blocks rather than one allocation each.
  std::pmr::monotonic_buffer_resource identifiers_;
  std::unordered_map<std::string_view, Ino> inoById_;
  Ino nextIno_ = kRootIno + 1;
  std::size_t dropped_ = 0;
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_INODE_TABLE_H_
