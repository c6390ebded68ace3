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
  Catalog known = previous;
  for (const auto& [from, to] : hints.moves) applyMove(known, from, to);

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

const Entry* findByUlid(const Catalog& catalog, std::string_view ulid, bool isFolder) {
  for (const auto& [path, e] : catalog) {
    if (e.ulid == ulid && e.isFolder == isFolder) return &e;
  }
  return nullptr;
}

}  // namespace refhost
