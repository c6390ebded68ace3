#include "fileprovider/fpctl/mount/residency.h"

#include <cerrno>
#include <deque>
#include <memory>
#include <optional>
#include <unordered_set>

#include "fileprovider/fpctl/mount/fetcher.h"
#include "fileprovider/fpctl/mount/node_tree.h"
#include "fileprovider/fpctl/mount/open_files.h"

namespace fpctl::mount {

Residency::Residency(MountState& state, NodeTree& tree, Fetcher& fetcher)
    : s_(state), tree_(tree), fetcher_(fetcher), pins_(state.cache.root() / "pinned.json") {
  if (pins_.damaged()) s_.log.error("%{public}@", {*pins_.damaged()});
}

namespace {

// The items whose cached copies are in use, at one moment.
using InUse = std::unordered_set<std::string>;

// How long a keepPinnedLocal() that could not fetch everything waits before it
// tries again without a change.
constexpr auto kPinRetry = std::chrono::seconds(30);

}  // namespace

KeepPredicate Residency::keepPredicate() {
  // The look at the mount is taken once, when the cache first asks, and only
  // when it asks at all (most stores drop nothing).
  auto inUse = std::make_shared<std::optional<InUse>>();
  return [this, inUse](const std::string& identifier) {
    if (!*inUse) {
      InUse ids;
      for (const auto& change : s_.cache.queue().pending()) {
        if (!change.identifier.empty()) ids.insert(change.identifier);
      }
      std::lock_guard lock(s_.mu);
      for (const auto& [ino, n] : s_.inodes.all()) {
        if ((n->opens > 0 || n->work) && !n->item.identifier.empty()) {
          ids.insert(n->item.identifier);
        }
      }
      *inUse = std::move(ids);
    }
    return (*inUse)->count(identifier) > 0 || isPinnedItem(0, identifier);
  };
}

bool Residency::keepsCopyOf(const std::string& identifier) { return keepPredicate()(identifier); }

std::int64_t Residency::trimCache() { return s_.cache.evictToBound(keepPredicate()); }

bool Residency::anyPinned(const std::vector<fp::ItemIdentifier>& chain) const {
  for (const auto& id : chain) {
    if (pins_.contains(id)) return true;
  }
  return false;
}

bool Residency::waitsInQueue(const fp::ItemIdentifier& identifier) const {
  if (identifier.empty()) return false;
  for (const auto& c : s_.cache.queue().pending()) {
    if (c.identifier == identifier) return true;
  }
  return false;
}

bool Residency::isPinnedItem(Ino ino, const fp::ItemIdentifier& identifier) {
  if (isPinned(identifier)) return true;
  std::vector<fp::ItemIdentifier> chain;
  {
    std::lock_guard lock(s_.mu);
    Node* n = ino ? s_.inodes.find(ino) : nullptr;
    if (!n) n = s_.inodes.findItem(identifier);
    if (!n) return false;
    chain = tree_.chainLocked(*n);
  }
  return anyPinned(chain);
}

bool Residency::isPinned(const fp::ItemIdentifier& identifier) const {
  if (pins_.contains(identifier)) return true;
  std::lock_guard lock(coveredMu_);
  return covered_.count(identifier) > 0;
}

ErrnoOr<void> Residency::pin(Ino ino) {
  PinnedItem item;
  {
    std::lock_guard lock(s_.mu);
    Node* n = s_.inodes.find(ino);
    if (!n || n->unlinked) return fp::fail(Errno{ENOENT});
    if (n->local || n->item.identifier.empty()) return fp::fail(Errno{EBUSY});
    item.identifier = n->item.identifier;
    item.path = tree_.pathLocked(*n);
    item.isFolder = n->item.isFolder;
  }
  auto added = pins_.add(item);
  if (!added) {
    return fp::fail(s_.logFailure("pin", describe(item.path, item.identifier), added.error().value,
                                  "cannot keep the set of pinned items"));
  }
  if (*added) s_.log.info("pinned %{public}@", {describe(item.path, item.identifier)});
  pinsChanged_.store(true);
  return fp::Ok{};
}

ErrnoOr<void> Residency::unpin(Ino ino) {
  fp::ItemIdentifier id;
  std::string what;
  {
    std::lock_guard lock(s_.mu);
    Node* n = s_.inodes.find(ino);
    if (!n || n->unlinked) return fp::fail(Errno{ENOENT});
    id = n->item.identifier;
    what = describe(tree_.pathLocked(*n), id);
  }
  if (id.empty()) return fp::Ok{};
  auto removed = pins_.remove(id);
  if (!removed) {
    return fp::fail(
        s_.logFailure("unpin", what, removed.error().value, "cannot keep the set of pinned items"));
  }
  if (*removed) {
    s_.log.info("unpinned %{public}@", {what});
    pinsChanged_.store(true);  // the trees still pinned are walked again
  }
  return fp::Ok{};
}

ErrnoOr<void> Residency::evict(Ino ino) {
  fp::ItemIdentifier id;
  std::vector<fp::ItemIdentifier> chain;
  std::string what;
  {
    std::lock_guard lock(s_.mu);
    Node* n = s_.inodes.find(ino);
    if (!n || n->unlinked) return fp::fail(Errno{ENOENT});
    if (n->item.isFolder) return fp::fail(Errno{EISDIR});
    if (n->local || n->work || s_.sendingKey == keyOf(*n)) return fp::fail(Errno{EBUSY});
    id = n->item.identifier;
    chain = tree_.chainLocked(*n);
    what = describe(tree_.pathLocked(*n), id);
  }
  // The node's own chain of folders decides, not the last walk's list of
  // covered items: that one may still hold a folder unpinned a moment ago.
  if (anyPinned(chain)) return fp::fail(Errno{EPERM});
  if (waitsInQueue(id)) return fp::fail(Errno{EBUSY});
  s_.cache.drop(id);
  {
    std::lock_guard lock(s_.mu);
    if (Node* n = s_.inodes.find(ino)) n->kernelContentVersion.reset();
  }
  s_.notifier.forgetInode(ino, true);  // the kernel's copy of the data goes too
  s_.log.info("evicted %{public}@", {what});
  return fp::Ok{};
}

void Residency::keepPinnedLocal() {
  std::lock_guard walking(pinWalkMu_);
  bool changed = pinsChanged_.exchange(false);
  if (!changed && !(pinRetry_ && std::chrono::steady_clock::now() >= nextPinRetry_)) return;
  pinRetry_ = false;
  const fp::Progress* cancel = &s_.background;

  // Every pinned item and, below pinned folders, every item of their trees.
  std::deque<ItemState> todo;
  bool incomplete = false;
  for (const auto& p : pins_.items()) {
    auto found = s_.provider.item(p.identifier, cancel);
    if (!found) {
      // An item the service no longer has stays pinned: nothing to fetch.
      if (!found.error().isFileProvider(fp::FileProviderErrorCode::kNoSuchItem)) {
        incomplete = true;
      }
      continue;
    }
    found->identifier = p.identifier;
    todo.push_back(std::move(*found));
  }
  std::set<fp::ItemIdentifier> covered;
  bool hostAway = false;
  while (!todo.empty() && !cancel->isCancelled()) {
    ItemState item = std::move(todo.front());
    todo.pop_front();
    if (!covered.insert(item.identifier).second) continue;
    if (item.isFolder) {
      auto children = s_.provider.list(item.identifier, cancel);
      if (!children) {
        s_.logFailure("keep pinned", describe(item.filename, item.identifier), children.error());
        incomplete = true;
        continue;
      }
      for (auto& child : *children) todo.push_back(std::move(child));
      continue;
    }
    if (hostAway || s_.cache.has(item.identifier, item.version.contentVersion)) continue;
    Ino ino = 0;
    {
      std::lock_guard lock(s_.mu);
      if (Node* n = s_.inodes.findItem(item.identifier)) {
        if (n->work) continue;  // being written: its own state follows
        ino = n->ino;
      }
    }
    auto fetched = fetcher_.contentsOfItem(ino, item, cancel);
    if (!fetched) {
      incomplete = true;
      // The host is away (or the mount is ending): the rest would fail alike.
      // The fetcher logged the extension's error and passes on its errno.
      if (isTransient(fetched.error().value)) hostAway = true;
    }
  }
  if (cancel->isCancelled()) return;
  {
    std::lock_guard lock(coveredMu_);
    covered_ = std::move(covered);
  }
  if (incomplete) {
    pinRetry_ = true;
    nextPinRetry_ = std::chrono::steady_clock::now() + kPinRetry;
  }
}

}  // namespace fpctl::mount
