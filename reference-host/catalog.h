// The catalog: what the host knows about every item of the store, keyed by
// relative path. It is exactly what the index holds; `reconcile` brings it in
// line with a fresh scan of the store and `diff` says which index rows that
// changes.
//
// Identity: an item keeps its ulid while it stays at its path with the same
// kind. The host's own renames and moves carry ulids along explicitly (Hints);
// a change made directly in the store is recognised as a rename when a path
// disappears and another appears with the same inode (and, for files, the same
// size and modification time). Everything else that appears gets a new ulid.
//
// Versions: a file's version starts at 1 and grows by one whenever its size or
// modification time changes, or when the host replaced its contents.
#ifndef PELLORA_REFHOST_CATALOG_H_
#define PELLORA_REFHOST_CATALOG_H_

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "reference-host/store.h"

namespace refhost {

struct Entry {
  std::string ulid;
  bool isFolder = false;
  std::string path;                       // relative path in the store
  std::string name;                       // last component of `path`
  std::optional<std::string> parentUlid;  // none at the top level
  std::int64_t size = 0;                  // files only
  std::int64_t mtimeNs = 0;               // files only
  std::int64_t mtimeUnix = 0;             // files only: whole seconds, rounded down
  std::int64_t version = 0;               // files only; starts at 1
  std::optional<std::int64_t> lockedBy;   // files only
  std::uint64_t inode = 0;

  friend bool operator==(const Entry&, const Entry&) = default;
};

using Catalog = std::map<std::string, Entry, std::less<>>;

// What the host itself just did, which a scan alone cannot tell.
struct Hints {
  // Items moved or renamed from the first path to the second, with whatever
  // lies inside them; applied in order.
  std::vector<std::pair<std::string, std::string>> moves;
  // Paths (after the moves) of files whose contents were replaced.
  std::set<std::string> contentReplaced;
};

// The catalog after the store was seen as `observed` (ordered by path, every
// folder before what it holds), with the lock table `locks`. `makeUlid` names
// new items.
[[nodiscard]] Catalog reconcile(const Catalog& previous, const std::vector<Observed>& observed,
                                const LockTable& locks, const Hints& hints,
                                const std::function<std::string()>& makeUlid);

// True when reconcile(catalog, observed, locks, {}, ...) would yield `catalog`
// itself: the store was seen as the catalog holds it. Only reads, so that an
// unchanged store (the common case of a rescan) costs no second catalog.
[[nodiscard]] bool agrees(const Catalog& catalog, const std::vector<Observed>& observed,
                          const LockTable& locks);

// Index rows to write so that an index holding `before` holds `after`.
struct Changes {
  std::vector<Entry> upserts;   // new or changed rows
  std::vector<Entry> removals;  // rows to delete (by ulid and kind)
  bool empty() const { return upserts.empty() && removals.empty(); }
};
[[nodiscard]] Changes diff(const Catalog& before, const Catalog& after);

// The entry with `ulid` of the given kind, or none.
[[nodiscard]] const Entry* findByUlid(const Catalog& catalog, std::string_view ulid, bool isFolder);

// The entries of a catalog by ulid. It points into the catalog's nodes, which
// stay where they are while the map changes around them: an entry must be
// dropped before it is erased, overwritten or moved out, and put again once it
// is in place. Where two entries share a ulid, the one put last is found.
class UlidIndex {
 public:
  // Indexes every entry of `catalog` (in path order, as put() one by one).
  void rebuild(const Catalog& catalog);
  void put(const Entry& entry);
  // Forgets `entry` when it is the one found for its ulid.
  void drop(const Entry& entry);
  [[nodiscard]] const Entry* find(std::string_view ulid) const;

 private:
  struct ByUlid {
    using is_transparent = void;
    std::size_t operator()(std::string_view ulid) const noexcept;
    std::size_t operator()(const Entry* e) const noexcept { return (*this)(e->ulid); }
    bool operator()(const Entry* a, const Entry* b) const noexcept { return a->ulid == b->ulid; }
    bool operator()(std::string_view a, const Entry* b) const noexcept { return a == b->ulid; }
    bool operator()(const Entry* a, std::string_view b) const noexcept { return a->ulid == b; }
  };
  std::unordered_set<const Entry*, ByUlid, ByUlid> entries_;
};

}  // namespace refhost

#endif  // PELLORA_REFHOST_CATALOG_H_
