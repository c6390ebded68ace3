#include "reference-host/catalog.h"

#include <unordered_map>

namespace refhost {
namespace {

std::int64_t floorSeconds(std::int64_t ns) {
  std::int64_t s = ns / 1'000'000'000;
  if (ns % 1'000'000'000 < 0) --s;
  return s;
}

// `catalog` with every item at or below `from` re-keyed to lie at or below `to`.
void applyMove(Catalog& catalog, const std::string& from, const std::string& to) {
  std::vector<Entry> moved;
  for (auto it = catalog.lower_bound(from); it != catalog.end() && it->first.starts_with(from);) {
    if (isWithin(it->first, from)) {
      moved.push_back(std::move(it->second));
      it = catalog.erase(it);
    } else {
      ++it;
    }
  }
  for (Entry& e : moved) {
    e.path = to + e.path.substr(from.size());
    catalog[e.path] = std::move(e);
  }
}

}  // namespace

Catalog reconcile(const Catalog& previous, const std::vector<Observed>& observed,
                  const LockTable& locks, const Hints& hints,
                  const std::function<std::string()>& makeUlid) {
  // A copy only when the host's own moves re-key it.
  Catalog moved;
  if (!hints.moves.empty()) {
    moved = previous;
    for (const auto& [from, to] : hints.moves) applyMove(moved, from, to);
  }
  const Catalog& known = hints.moves.empty() ? previous : moved;

  std::unordered_map<std::string_view, const Observed*> seen;
  for (const Observed& o : observed) seen.emplace(o.path, &o);

  // Entries that are gone from their path, by inode, as candidates for renames
  // made directly in the store.
  std::unordered_multimap<std::uint64_t, const Entry*> vanished;
  for (const auto& [path, e] : known) {
    auto it = seen.find(path);
    if (it == seen.end() || it->second->isFolder != e.isFolder) vanished.emplace(e.inode, &e);
  }
  std::set<const Entry*> reused;

  Catalog result;
  for (const Observed& o : observed) {
    Entry e;
    auto it = known.find(o.path);
    if (it != known.end() && it->second.isFolder == o.isFolder) {
      e = it->second;
      bool changed =
          e.size != o.size || e.mtimeNs != o.mtimeNs || hints.contentReplaced.count(o.path) > 0;
      if (!o.isFolder && changed) ++e.version;
    } else {
      const Entry* match = nullptr;
      auto [lo, hi] = vanished.equal_range(o.inode);
      for (auto v = lo; v != hi; ++v) {
        const Entry* candidate = v->second;
        if (reused.count(candidate) || candidate->isFolder != o.isFolder) continue;
        if (!o.isFolder && (candidate->size != o.size || candidate->mtimeNs != o.mtimeNs)) {
          continue;
        }
        match = candidate;
        break;
      }
      if (match) {
        reused.insert(match);
        e = *match;
      } else {
        e.ulid = makeUlid();
        e.isFolder = o.isFolder;
        e.version = o.isFolder ? 0 : 1;
      }
    }
    e.path = o.path;
    e.name = std::string(baseName(o.path));
    e.inode = o.inode;
    if (o.isFolder) {
      e.size = e.mtimeNs = e.mtimeUnix = e.version = 0;
      e.lockedBy.reset();
    } else {
      e.size = o.size;
      e.mtimeNs = o.mtimeNs;
      e.mtimeUnix = floorSeconds(o.mtimeNs);
      auto lock = locks.find(o.path);
      e.lockedBy = lock == locks.end() ? std::nullopt : std::optional(lock->second);
    }
    result[o.path] = std::move(e);
  }

  for (auto& [path, e] : result) {
    std::string parent = parentPath(path);
    auto p = parent.empty() ? result.end() : result.find(parent);
    e.parentUlid = p == result.end() ? std::nullopt : std::optional(p->second.ulid);
  }
  return result;
}

Changes diff(const Catalog& before, const Catalog& after) {
  std::unordered_map<std::string_view, const Entry*> old;
  for (const auto& [path, e] : before) old.emplace(e.ulid, &e);
  Changes changes;
  for (const auto& [path, e] : after) {
    auto it = old.find(e.ulid);
    if (it == old.end()) {
      changes.upserts.push_back(e);
      continue;
    }
    if (it->second->isFolder != e.isFolder) changes.removals.push_back(*it->second);
    if (!(*it->second == e)) changes.upserts.push_back(e);
    old.erase(it);
  }
  for (const auto& [path, e] : before) {
    if (old.count(e.ulid)) changes.removals.push_back(e);
  }
  return changes;
}

namespace {

// Whether reconcile keeps the entry `e` at `path` as it is when the store
// shows `o` there (all but the parent, which agrees() checks).
bool keptAsItIs(const std::string& path, const Entry& e, const Observed& o,
                const LockTable& locks) {
  if (path != o.path || e.path != path || e.isFolder != o.isFolder || e.inode != o.inode ||
      e.name != baseName(path)) {
    return false;
  }
  if (e.isFolder) {
    return e.size == 0 && e.mtimeNs == 0 && e.mtimeUnix == 0 && e.version == 0 && !e.lockedBy;
  }
  auto lock = locks.find(path);
  const bool lockAgrees = lock == locks.end() ? !e.lockedBy : e.lockedBy == lock->second;
  return e.size == o.size && e.mtimeNs == o.mtimeNs && e.mtimeUnix == floorSeconds(o.mtimeNs) &&
         lockAgrees;
}

}  // namespace

bool agrees(const Catalog& catalog, const std::vector<Observed>& observed, const LockTable& locks) {
  if (catalog.size() != observed.size()) return false;
  // The items of a folder come one after another: its entry is looked up once.
  std::string_view lastParent;
  const Entry* parent = nullptr;
  auto o = observed.begin();
  for (const auto& [path, e] : catalog) {
    if (!keptAsItIs(path, e, *o++, locks)) return false;
    auto slash = path.rfind('/');
    std::string_view parentPath =
        slash == std::string::npos ? std::string_view() : std::string_view(path).substr(0, slash);
    if (parentPath.empty()) {
      parent = nullptr;
    } else if (parentPath != lastParent || !parent) {
      auto p = catalog.find(parentPath);
      parent = p == catalog.end() ? nullptr : &p->second;
    }
    lastParent = parentPath;
    if (parent ? e.parentUlid != parent->ulid : e.parentUlid.has_value()) return false;
  }
  return true;
}

const Entry* findByUlid(const Catalog& catalog, std::string_view ulid, bool isFolder) {
  for (const auto& [path, e] : catalog) {
    if (e.ulid == ulid && e.isFolder == isFolder) return &e;
  }
  return nullptr;
}

void UlidIndex::rebuild(const Catalog& catalog) {
  entries_.clear();
  entries_.reserve(catalog.size());
  for (const auto& [path, e] : catalog) put(e);
}

void UlidIndex::put(const Entry& entry) {
  auto [it, inserted] = entries_.insert(&entry);
  if (!inserted) {
    entries_.erase(it);
    entries_.insert(&entry);
  }
}

void UlidIndex::drop(const Entry& entry) {
  auto it = entries_.find(&entry);
  if (it != entries_.end() && *it == &entry) entries_.erase(it);
}

const Entry* UlidIndex::find(std::string_view ulid) const {
  auto it = entries_.find(ulid);
  return it == entries_.end() ? nullptr : *it;
}

std::size_t UlidIndex::ByUlid::operator()(std::string_view ulid) const noexcept {
  return std::hash<std::string_view>()(ulid);
}

}  // namespace refhost
