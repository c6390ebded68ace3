#include "fileprovider/fpctl/mount/mount_fs.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>

#include "fileprovider/fpctl/mount/cache_folder.h"
#include "fileprovider/fpctl/mount/name_codec.h"
#include "fileprovider/fpctl/mount/namesake_key.h"
#include "fileprovider/fpctl/mount/pending_edits.h"
#include "fileprovider/fpctl/mount/replace_sequence.h"
#include "fileprovider/fpctl/template_item.h"

namespace fpctl::mount {
namespace fs = std::filesystem;

KernelNotifier::~KernelNotifier() = default;

// A file's local contents while it is being written. The descriptor stays open as
// long as a handle or the node holds the copy, so moving the file never cuts off
// a reader.
struct StagedState {
  QueuedChange change;  // as the queue holds it
  ItemState item;       // the node's item when it was staged
  std::string name;     // the node's name then
  bool local = false;   // a new file, not on the service then
  std::uint64_t changes = 0;
};

struct WorkingCopy {
  fs::path path;
  fp::ScopedFD fd;
  std::mutex uploadMutex;  // one upload of this copy at a time
  // Write-back: a closed state the write-back thread is to send (guarded by
  // uploadMutex), and whether there is one (read without it).
  std::optional<StagedState> handed;
  std::atomic<bool> handing{false};
  std::atomic<std::uint64_t> handedChanges{0};  // `changes` of that state
  std::atomic<std::uint64_t> changes{0};        // bumped by every write and truncation
  std::atomic<std::uint64_t> uploaded{0};       // `changes` as of the last upload that succeeded
  std::atomic<bool> queuedOnly{false};          // its last state went to the queue, not the service
  std::atomic<bool> waiting{false};             // and waits there to be sent (not refused)
  std::string queuedKey;        // guarded by mu_: the queue's key of that state (see sendQueue())
  std::uint64_t queuedSeq = 0;  // guarded by mu_: and its entry
  std::mutex noteMu;            // guards the note
  fs::path note;                // the cache's note that this copy holds changes nobody closed yet
  // A date a program set while the copy was open (guarded by mu_), valid for
  // the state with `keptDateChanges` changes.
  std::optional<timespec> keptDate;
  std::uint64_t keptDateChanges = 0;
  // A write found the cache disk full: the copy holds part of what the
  // program wrote, and the program was told. It is never sent nor kept.
  std::atomic<bool> cut{false};
  bool dirty() const { return changes.load() != uploaded.load(); }
  ~WorkingCopy() {
    std::error_code ec;
    if (!note.empty()) fs::remove(note, ec);
  }
};

struct MountFs::Handle {
  Ino ino = 0;
  bool writable = false;
  std::vector<pid_t> writers;  // processes that wrote through it since its last send
  fp::ScopedFD readFd;         // read-only handles on fetched contents
  std::shared_ptr<WorkingCopy> work;
};

struct MountFs::DirHandle {
  struct Entry {
    std::string name;
    std::optional<ItemState> item;  // none: "." and "..", or a new local file
    Ino ino = 0;                    // "." and ".." and local files
  };
  Ino ino = 0;
  std::vector<Entry> entries;
};

namespace {

timespec wallClockNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

constexpr fp::ItemCapabilities kNewItemCapabilities =
    fp::capability::kAllowsReading | fp::capability::kAllowsWriting |
    fp::capability::kAllowsReparenting | fp::capability::kAllowsRenaming |
    fp::capability::kAllowsDeleting;

fp::Date now() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string describe(const std::string& name, const fp::ItemIdentifier& identifier) {
  if (identifier.empty()) return name;
  return name + " (" + identifier + ")";
}

}  // namespace

MountFs::MountFs(std::shared_ptr<fp::ReplicatedExtension> extension, ContentCache& cache,
                 KernelNotifier& notifier, uid_t uid, gid_t gid)
    : provider_(std::move(extension)),
      cache_(cache),
      dates_(cache.root() / "kept-dates", wallClockNow()),
      notifier_(notifier),
      uid_(uid),
      gid_(gid),
      pins_(cache.root() / "pinned.json") {
  if (pins_.damaged()) log_.error("%{public}@", {*pins_.damaged()});
}

MountFs::~MountFs() = default;

namespace {

// The items whose cached copies are in use, at one moment.
using InUse = std::unordered_set<std::string>;

}  // namespace

KeepPredicate MountFs::keepPredicate() {
  // The look at the mount is taken once, when the cache first asks, and only
  // when it asks at all (most stores drop nothing).
  auto inUse = std::make_shared<std::optional<InUse>>();
  return [this, inUse](const std::string& identifier) {
    if (!*inUse) {
      InUse ids;
      for (const auto& change : cache_.queue().pending()) {
        if (!change.identifier.empty()) ids.insert(change.identifier);
      }
      std::lock_guard lock(mu_);
      for (const auto& [ino, n] : inodes_.all()) {
        if ((n->opens > 0 || n->work) && !n->item.identifier.empty()) {
          ids.insert(n->item.identifier);
        }
      }
      *inUse = std::move(ids);
    }
    return (*inUse)->count(identifier) > 0 || isPinnedItem(0, identifier);
  };
}

bool MountFs::keepsCopyOf(const std::string& identifier) { return keepPredicate()(identifier); }

std::int64_t MountFs::trimCache() { return cache_.evictToBound(keepPredicate()); }

fp::Status MountFs::start() {
  auto root = provider_.item(std::string(fp::kRootContainer));
  if (!root) return fp::fail(root.error());
  if (auto anchor = provider_.currentAnchor(std::string(fp::kWorkingSetContainer))) {
    std::lock_guard alock(anchorMu_);
    anchor_ = *anchor;
  }
  std::lock_guard lock(mu_);
  ItemState item = *root;
  item.identifier = std::string(fp::kRootContainer);
  item.isFolder = true;
  inodes_.addRoot(item);
  return fp::Ok{};
}

// ---------------------------------------------------------------- helpers

struct stat MountFs::attrOf(const Node& node) const {
  struct stat st = statFor(node.item, node.ino, uid_, gid_);
  dates_.apply(st, node.item);
  if (node.work) {
    struct stat ws {};
    if (fstat(node.work->fd.get(), &ws) == 0) {
      st.st_size = ws.st_size;
      st.st_blocks = (ws.st_size + 511) / 512;
      st.st_mtim = ws.st_mtim;
      st.st_ctim = ws.st_mtim;
    }
  }
  return st;
}

std::unique_ptr<Listing> MountFs::listingFor(const Node& dir,
                                             const std::vector<ItemState>& items) const {
  return std::make_unique<Listing>(
      buildListing(withPendingEdits(dir.item.identifier, items, cache_.queue().pendingEdits()),
                   [&](const std::string& name) { return dir.localChildren.count(name) > 0; }));
}

void MountFs::editListingLocked(Node& dir, const std::function<void(Listing&)>& edit) {
  if (dir.listing) edit(*dir.listing);
  // Also when a listing is held: it may be dropped before a read under way
  // (which may predate this edit) is installed.
  if (dir.listingReaders > 0) dir.editsWhileRead.push_back(edit);
  ++dir.listingSerial;
}

void MountFs::installListingLocked(Node& dir, std::unique_ptr<Listing> listing) {
  for (const auto& edit : dir.editsWhileRead) edit(*listing);
  for (const auto& [name, item] : listing->byName) {
    Node* n = inodes_.findItem(item.identifier);
    if (!n || n->local) continue;
    if (!n->work) n->item = item;
    n->attrStale = false;
  }
  dir.listing = std::move(listing);
  ++dir.listingSerial;
}

int MountFs::ensureListingLocked(Lock& lock, Ino dir, const fp::Progress* cancel) {
  Node* n = inodes_.find(dir);
  if (!n) return ENOENT;
  if (!n->item.isFolder) return ENOTDIR;
  if (n->listing) return 0;
  fp::ItemIdentifier id = n->item.identifier;
  if (isLocalIdentifier(id)) {
    // Made here, not on the service yet: what it holds is what was put in it.
    installListingLocked(*n, listingFor(*n, {}));
    return 0;
  }
  std::string what = describe(n->name, id);
  // What this mount changes in the folder while it is read is recorded, and
  // applied to what was read (see Node::editsWhileRead).
  ++n->listingReaders;
  lock.unlock();
  auto items = provider_.list(id, cancel);
  lock.lock();
  n = inodes_.find(dir);
  if (!n) return ENOENT;
  if (items && !n->listing) installListingLocked(*n, listingFor(*n, *items));
  if (--n->listingReaders == 0) n->editsWhileRead.clear();
  if (!items) return logFailure("list", what, items.error());
  return 0;
}

int MountFs::logFailure(std::string_view op, const std::string& item, const fp::Error& error) {
  log_.error("%{public}@ failed for %{public}@: %{public}@", {op, item, error.description()});
  return errnoFor(error);
}

int MountFs::nameRefused(std::string_view op, const std::string& what, const NameRefusal& refusal) {
  int err = logFailure(op, what, refusal.error);
  if (!refusedAsTaken(provider_, refusal)) return err;
  checkForChanges();
  return EEXIST;
}

int MountFs::logFailure(std::string_view op, const std::string& item, int err,
                        std::string_view why) {
  log_.error("%{public}@ failed for %{public}@: %{public}@", {op, item, why});
  return err;
}

ItemState MountFs::createdItem(const ItemState& returned, ItemState expected) {
  // The item a creation returns was read from the index when it sits where it
  // was made, under the name asked for: a default item carries neither, so
  // only then is the index asked again.
  if (!returned.identifier.empty() && returned.parent == expected.parent &&
      returned.filename == expected.filename && returned.isFolder == expected.isFolder &&
      !returned.version.contentVersion.empty()) {
    return returned;
  }
  return reread(returned, std::move(expected));
}

ItemState MountFs::reread(const ItemState& returned, ItemState expected) {
  // The extension describes the result from its index; until the index shows
  // the item, what it returns carries defaults, so ask again and otherwise keep
  // what was asked for.
  auto again = provider_.item(returned.identifier);
  if (again) return *again;
  expected.identifier = returned.identifier;
  return expected;
}

// ---------------------------------------------------------------- lookups

ErrnoOr<EntryReply> MountFs::lookup(Ino parent, std::string_view nameView,
                                    const fp::Progress* cancel) {
  if (!fitsKernel(nameView)) return fp::fail(Errno{ENAMETOOLONG});
  std::string name(nameView);
  Lock lock(mu_);
  if (int e = ensureListingLocked(lock, parent, cancel)) return fp::fail(Errno{e});
  Node& dir = *inodes_.find(parent);
  if (auto it = dir.localChildren.find(name); it != dir.localChildren.end()) {
    if (Node* n = inodes_.find(it->second)) {
      ++n->lookups;
      return EntryReply{n->ino, attrOf(*n)};
    }
  }
  auto it = dir.listing->byName.find(name);
  if (it == dir.listing->byName.end()) return fp::fail(Errno{ENOENT});
  Node& n = inodes_.nodeForItem(parent, name, it->second);
  ++n.lookups;
  return EntryReply{n.ino, attrOf(n)};
}

void MountFs::forget(Ino ino, std::uint64_t count) {
  std::lock_guard lock(mu_);
  inodes_.forget(ino, count);
}

ErrnoOr<struct stat> MountFs::getattr(Ino ino, const fp::Progress* cancel) {
  Lock lock(mu_);
  Node* n = inodes_.find(ino);
  if (!n) return fp::fail(Errno{ENOENT});
  if (n->attrStale && !n->local && !n->work) {
    fp::ItemIdentifier id = n->item.identifier;
    lock.unlock();
    auto fresh = provider_.item(id, cancel);
    lock.lock();
    n = inodes_.find(ino);
    if (!n) return fp::fail(Errno{ENOENT});
    if (fresh) {
      if (!n->work) n->item = *fresh;
      n->attrStale = false;
    } else if (fresh.error().isFileProvider(fp::FileProviderErrorCode::kNoSuchItem) &&
               n->opens == 0) {
      return fp::fail(Errno{ENOENT});
    }
  }
  return attrOf(*n);
}

ErrnoOr<void> MountFs::access(Ino ino, int mask) {
  std::lock_guard lock(mu_);
  Node* n = inodes_.find(ino);
  if (!n) return fp::fail(Errno{ENOENT});
  if ((mask & W_OK) && !n->item.allows(fp::capability::kAllowsWriting))
    return fp::fail(Errno{EACCES});
  return fp::Ok{};
}

// ---------------------------------------------------------------- folders

ErrnoOr<std::uint64_t> MountFs::opendir(Ino ino, const fp::Progress* cancel) {
  Lock lock(mu_);
  if (int e = ensureListingLocked(lock, ino, cancel)) return fp::fail(Errno{e});
  Node& dir = *inodes_.find(ino);
  auto h = std::make_shared<DirHandle>();
  h->ino = ino;
  h->entries.reserve(dir.listing->byName.size() + dir.localChildren.size() + 2);
  h->entries.push_back({".", std::nullopt, ino});
  h->entries.push_back({"..", std::nullopt, ino == kRootIno ? kRootIno : dir.parent});
  for (const auto& [name, item] : dir.listing->byName) h->entries.push_back({name, item, 0});
  for (const auto& [name, child] : dir.localChildren) {
    if (!dir.listing->byName.count(name)) h->entries.push_back({name, std::nullopt, child});
  }
  std::uint64_t dh = nextFh_++;
  dirHandles_[dh] = std::move(h);
  return dh;
}

ErrnoOr<void> MountFs::readdir(std::uint64_t dh, off_t offset, bool plus,
                               const std::function<bool(const DirEntry&, off_t)>& emit) {
  std::lock_guard lock(mu_);
  auto it = dirHandles_.find(dh);
  if (it == dirHandles_.end()) return fp::fail(Errno{EBADF});
  const DirHandle& h = *it->second;
  for (auto i = static_cast<std::size_t>(std::max<off_t>(offset, 0)); i < h.entries.size(); ++i) {
    const auto& e = h.entries[i];
    DirEntry out;
    out.name = e.name;
    if (!e.item) {
      Node* n = inodes_.find(e.ino);
      if (!n) continue;  // a new file that went away since the folder was opened
      out.ino = n->ino;
      out.attr = attrOf(*n);
      bool dot = i < 2;
      if (!emit(out, static_cast<off_t>(i + 1))) break;
      if (plus && !dot) ++n->lookups;
      continue;
    }
    Ino ino = inodes_.inoFor(e.item->identifier);
    Node* n = inodes_.find(ino);
    out.ino = ino;
    if (n) {
      out.attr = attrOf(*n);
    } else {
      out.attr = statFor(*e.item, ino, uid_, gid_);
      dates_.apply(out.attr, *e.item);
    }
    if (!emit(out, static_cast<off_t>(i + 1))) break;
    if (!plus) continue;
    if (n) {
      ++n->lookups;  // what it knows may be newer than the folder's snapshot
    } else {
      ++inodes_.nodeForItem(h.ino, e.name, *e.item).lookups;
    }
  }
  return fp::Ok{};
}

void MountFs::releasedir(std::uint64_t dh) {
  std::shared_ptr<DirHandle> h;  // destroyed outside the lock
  std::lock_guard lock(mu_);
  if (auto it = dirHandles_.find(dh); it != dirHandles_.end()) {
    h = std::move(it->second);
    dirHandles_.erase(it);
  }
}

ErrnoOr<EntryReply> MountFs::mkdir(Ino parent, std::string_view nameView,
                                   const fp::Progress* cancel) {
  if (!fitsKernel(nameView)) return fp::fail(Errno{ENAMETOOLONG});
  std::string name(nameView);
  Lock lock(mu_);
  if (int e = ensureListingLocked(lock, parent, cancel)) return fp::fail(Errno{e});
  Node* dir = inodes_.find(parent);
  std::string what = describe(name, {});
  if (!dir->item.allows(fp::capability::kAllowsAddingSubItems)) {
    return fp::fail(Errno{logFailure("mkdir", what, EACCES, "the folder does not allow adding")});
  }
  if (dir->listing->byName.count(name) || dir->localChildren.count(name)) {
    return fp::fail(Errno{EEXIST});
  }
  ItemState expected;
  expected.parent = dir->item.identifier;
  expected.filename = displayName(name);
  expected.isFolder = true;
  expected.capabilities = kNewItemCapabilities;
  lock.unlock();
  if (!cache_.queue().pendingEdits().empty()) {
    // Moves and removals kept in the queue go first: the name may be freed
    // only by them.
    sendQueue();
  }
  if (!cache_.queue().pendingEdits().empty() || isLocalIdentifier(expected.parent)) {
    return mkdirLocal(parent, name, expected, what);
  }

  auto created = provider_.create(
      fpctl::TemplateItem::forNew(expected.parent, expected.filename, true), std::nullopt, cancel);
  if (!created) {
    int e = nameRefused("mkdir", what, {created.error(), expected.parent, expected.filename, {}});
    if (isTransient(e) && !(cancel && cancel->isCancelled())) {
      return mkdirLocal(parent, name, expected, what);
    }
    return fp::fail(Errno{e});
  }
  ItemState fresh = createdItem(*created, expected);

  lock.lock();
  dir = inodes_.find(parent);
  if (dir) editListingLocked(*dir, [name, fresh](Listing& l) { l.show(name, fresh); });
  Node& n = inodes_.nodeForItem(parent, name, fresh);
  ++n.lookups;
  return EntryReply{n.ino, attrOf(n)};
}

ErrnoOr<EntryReply> MountFs::mkdirLocal(Ino parent, const std::string& name, ItemState expected,
                                        const std::string& what) {
  expected.identifier = newLocalIdentifier();
  if (int e = journalEdit(editOf(ChangeKind::kMakeFolder, expected), what)) {
    return fp::fail(Errno{e});
  }
  Lock lock(mu_);
  Node* dir = inodes_.find(parent);
  if (!dir) return fp::fail(Errno{ENOENT});
  Node& n = inodes_.nodeForItem(parent, name, expected);
  n.local = true;
  installListingLocked(n, listingFor(n, {}));
  dir->localChildren[name] = n.ino;
  ++n.lookups;
  return EntryReply{n.ino, attrOf(n)};
}

void MountFs::tookFolder(const fp::ItemIdentifier& local, const ItemState& fresh) {
  std::lock_guard lock(mu_);
  for (auto& [ino, n] : inodes_.all()) {
    if (n->item.parent == local) n->item.parent = fresh.identifier;
  }
  Node* n = inodes_.findItem(local);
  if (!n) return;
  n->item = fresh;
  n->local = false;
  inodes_.bind(fresh.identifier, n->ino);
  if (Node* dir = inodes_.find(n->parent)) {
    dir->localChildren.erase(n->name);
    editListingLocked(*dir, [name = n->name, fresh](Listing& l) { l.show(name, fresh); });
  }
}

Node* MountFs::forgetRemovedLocked(Ino parent, const std::string& name,
                                   const fp::ItemIdentifier& identifier) {
  if (Node* dir = inodes_.find(parent)) {
    editListingLocked(*dir, [name, identifier](Listing& l) {
      auto at = l.byName.find(name);
      if (at != l.byName.end() && at->second.identifier == identifier) l.hide(name);
    });
  }
  Node* n = inodes_.findItem(identifier);
  if (n) n->unlinked = true;
  return n;
}

ErrnoOr<void> MountFs::rmdir(Ino parent, std::string_view nameView, const fp::Progress* cancel) {
  if (!fitsKernel(nameView)) return fp::fail(Errno{ENAMETOOLONG});
  std::string name(nameView);
  Lock lock(mu_);
  if (int e = ensureListingLocked(lock, parent, cancel)) return fp::fail(Errno{e});
  Node* dir = inodes_.find(parent);
  if (auto local = dir->localChildren.find(name); local != dir->localChildren.end()) {
    Node* c = inodes_.find(local->second);
    if (!c || !c->item.isFolder) return fp::fail(Errno{ENOTDIR});
    if (!c->localChildren.empty() || (c->listing && !c->listing->byName.empty())) {
      return fp::fail(Errno{ENOTEMPTY});
    }
    // Made here and not on the service yet: its making is dropped.
    for (const auto& q : cache_.queue().pending()) {
      if (q.kind != ChangeKind::kMakeFolder || q.identifier != c->item.identifier) continue;
      if (!cache_.queue().tryHold(q.seq)) return fp::fail(Errno{EBUSY});  // being made now
      cache_.queue().letGo(q.seq);
      cache_.queue().remove(q.seq);
    }
    c->unlinked = true;
    c->local = false;
    Ino child = local->second;
    dir->localChildren.erase(local);
    inodes_.dropIfIdle(child);
    return fp::Ok{};
  }
  auto it = dir->listing->byName.find(name);
  if (it == dir->listing->byName.end()) return fp::fail(Errno{ENOENT});
  ItemState item = it->second;
  std::string what = describe(name, item.identifier);
  if (!item.isFolder) return fp::fail(Errno{ENOTDIR});
  if (!item.allows(fp::capability::kAllowsDeleting)) {
    return fp::fail(Errno{logFailure("rmdir", what, EACCES, "the folder does not allow deleting")});
  }
  auto hasLocalChildren = [&] {
    Node* child = inodes_.findItem(item.identifier);
    return child && !child->localChildren.empty();
  };
  if (hasLocalChildren()) return fp::fail(Errno{ENOTEMPTY});
  lock.unlock();

  // Deleting a folder removes its whole tree on the service, so emptiness is
  // checked on a fresh listing, never on the cached one, and only trusted when
  // the index could be read (an unreadable index lists as empty).
  if (int e = provenEmpty("rmdir", item, what, cancel)) return fp::fail(Errno{e});
  lock.lock();
  if (hasLocalChildren()) return fp::fail(Errno{ENOTEMPTY});
  lock.unlock();

  if (int e = removeOrQueue("rmdir", item, what, cancel)) return fp::fail(Errno{e});

  lock.lock();
  if (Node* n = forgetRemovedLocked(parent, name, item.identifier)) {
    n->listing.reset();
    ++n->listingSerial;
  }
  return fp::Ok{};
}

int MountFs::provenEmpty(std::string_view op, const ItemState& folder, const std::string& what,
                         const fp::Progress* cancel, bool waitForSender) {
  // A file created and removed in the folder while the write-back thread sent
  // it is on the service until that sending has ended (and it is deleted).
  // Those it has not taken yet are no concern: the folder still shows them,
  // or they were removed and will never be sent.
  if (sender_ && waitForSender) sender_->waitWhileSending();
  // The extension answers a lookup only from a readable index, so the folder's
  // own lookup before and after its listing proves the listing was read too.
  auto before = provider_.item(folder.identifier, cancel);
  if (!before) return refusedForProof(op, what, before.error());
  auto children = provider_.list(folder.identifier, cancel);
  if (!children) return logFailure(op, what, children.error());
  auto after = provider_.item(folder.identifier, cancel);
  if (!after) return refusedForProof(op, what, after.error());
  return children->empty() ? 0 : ENOTEMPTY;
}

int MountFs::refusedForProof(std::string_view op, const std::string& what, const fp::Error& error) {
  logFailure(op, what, error);
  // Whatever the lookup said, emptiness is not proven: nothing is deleted.
  return logFailure(op, what, EIO, "the index could not be read; the folder is left as it is");
}

// ---------------------------------------------------------------- contents

ErrnoOr<MountFs::Fetched> MountFs::fetchContents(Ino ino, const ItemState& item,
                                                 const fp::Progress* cancel) {
  std::string what = describe(item.filename, item.identifier);
  auto fetched = provider_.fetch(item.identifier, item.version, cancel);
  if (!fetched) return fp::fail(Errno{logFailure("fetch", what, fetched.error())});
  std::string version =
      fetched->item ? fetched->item->version.contentVersion : item.version.contentVersion;
  // The copy is bounded by the size the item claims: a host handing back an
  // endless file cannot fill the cache's disk.
  std::int64_t claimed = std::max<std::int64_t>(
      item.size.value_or(0), fetched->item ? fetched->item->size.value_or(0) : 0);
  std::int64_t limit = fetchedCopyLimit(claimed);
  Fetched result;
  auto stored = cache_.store(item.identifier, version, fetched->path, limit, keepPredicate(),
                             isPinnedItem(ino, item.identifier));
  if (stored) {
    result.cached = *stored;
  } else if (stored.error().value == ENOSPC) {
    // The bound (or the disk) has no room for it: read the extension's file
    // itself, as long as it is open.
    auto direct = openFetched(fetched->path, limit);
    if (!direct) {
      return fp::fail(Errno{logFailure("fetch", what, direct.error().value,
                                       "cannot read the fetched contents: " +
                                           std::string(std::strerror(direct.error().value)))});
    }
    log_.info("%{public}@ is read without a copy in the cache: the cache's bound has no room",
              {what});
    result.direct = std::make_shared<fp::ScopedFD>(std::move(*direct));
  } else {
    return fp::fail(Errno{logFailure("fetch", what, stored.error().value,
                                     "cannot copy the contents into the cache: " +
                                         std::string(std::strerror(stored.error().value)))});
  }
  if (fetched->item) {
    bool changed = false;
    {
      std::lock_guard lock(mu_);
      Node* n = inodes_.find(ino);
      if (n && !n->work && !n->local && !n->item.sameAttributes(*fetched->item)) {
        n->item = *fetched->item;
        changed = true;
      }
    }
    if (changed) notifier_.forgetInode(ino, false);
  }
  return result;
}

ErrnoOr<fp::ScopedFD> MountFs::contentsOf(Ino ino, const fp::Progress* cancel) {
  ItemState item;
  {
    std::lock_guard lock(mu_);
    Node* n = inodes_.find(ino);
    if (!n) return fp::fail(Errno{ENOENT});
    item = n->item;
  }
  return contentsOfItem(ino, item, cancel);
}

ErrnoOr<fp::ScopedFD> MountFs::contentsOfItem(Ino ino, const ItemState& item,
                                              const fp::Progress* cancel) {
  auto openCopy = [](const fs::path& p) { return openInCache(p, O_RDONLY); };
  if (auto hit = cache_.find(item.identifier, item.version.contentVersion)) {
    // Opened at once: a copy dropped from now on stays readable through it.
    if (fp::ScopedFD fd = openCopy(*hit)) return fd;
  }

  // Several openers of one version share one fetch.
  std::string key = item.identifier + '\0' + item.version.contentVersion;
  for (int attempts = 0;;) {
    std::promise<ErrnoOr<Fetched>> promise;
    std::shared_future<ErrnoOr<Fetched>> result;
    bool mine = false;
    {
      std::lock_guard lock(mu_);
      auto [it, inserted] = fetches_.try_emplace(key);
      if (inserted) {
        it->second = promise.get_future().share();
        mine = true;
      }
      result = it->second;
    }
    if (mine) {
      promise.set_value(fetchContents(ino, item, cancel));
      std::lock_guard lock(mu_);
      fetches_.erase(key);
    }
    // Waiting for another opener's fetch can be interrupted too.
    while (result.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
      if (cancel && cancel->isCancelled()) return fp::fail(Errno{EINTR});
    }
    const ErrnoOr<Fetched>& outcome = result.get();
    // The opener that fetched was interrupted, this one was not: fetch again.
    if (!mine && !outcome && outcome.error().value == EINTR && !(cancel && cancel->isCancelled())) {
      continue;
    }
    if (!outcome) return fp::fail(outcome.error());
    if (outcome->direct) {
      // Every opener reads through a descriptor of its own.
      fp::ScopedFD fd(::fcntl(outcome->direct->get(), F_DUPFD_CLOEXEC, 0));
      if (!fd) return fp::fail(Errno{errno});
      return fd;
    }
    if (fp::ScopedFD fd = openCopy(outcome->cached)) return fd;
    // Dropped before it could be opened (the bound is tight and everything
    // else is in use): fetch again.
    int e = errno;
    if (++attempts >= 3) {
      return fp::fail(Errno{logFailure("open", describe(item.filename, item.identifier), e,
                                       "cached contents are gone")});
    }
  }
}

ErrnoOr<std::shared_ptr<WorkingCopy>> MountFs::newWorkingCopy(Ino ino, bool empty,
                                                              const fp::Progress* cancel) {
  auto file = cache_.newWorkFile();
  if (!file) return fp::fail(file.error());
  auto copy = std::make_shared<WorkingCopy>();
  copy->path = std::move(file->path);
  copy->fd = std::move(file->fd);
  if (!empty) {
    auto contents = contentsOf(ino, cancel);
    int e = contents ? copyDescriptorInto(contents->get(), copy->fd.get()) : contents.error().value;
    if (e != 0) {
      std::error_code ec;
      fs::remove(copy->path, ec);
      return fp::fail(Errno{e});
    }
  }
  return copy;
}

ErrnoOr<OpenReply> MountFs::open(Ino ino, int flags, const fp::Progress* cancel) {
  bool writable = (flags & O_ACCMODE) != O_RDONLY;
  bool truncate = writable && (flags & O_TRUNC);
  Lock lock(mu_);
  Node* n = inodes_.find(ino);
  // An unlinked node is reached only through a name the kernel still caches;
  // whatever is written to it would go nowhere.
  if (!n || n->unlinked) return fp::fail(Errno{ENOENT});
  if (n->item.isFolder) return fp::fail(Errno{EISDIR});
  std::string what = describe(n->name, n->item.identifier);
  if (writable && !n->item.allows(fp::capability::kAllowsWriting)) {
    return fp::fail(Errno{logFailure("write", what, EACCES, "the file is read-only (locked)")});
  }

  auto h = std::make_shared<Handle>();
  h->ino = ino;
  h->writable = writable;
  if (!n->work && writable) {
    lock.unlock();
    auto copy = newWorkingCopy(ino, truncate, cancel);
    if (!copy) {
      return fp::fail(Errno{logFailure("open", what, copy.error().value, "no working copy")});
    }
    lock.lock();
    n = inodes_.find(ino);
    if (!n) return fp::fail(Errno{ENOENT});
    if (!n->work) {
      n->work = std::move(*copy);
      if (truncate) {
        n->work->changes.store(1);
        noteChanged(*n->work, n->item.filename);
      }
      truncate = false;
    } else {
      std::error_code ec;
      fs::remove((*copy)->path, ec);  // someone else opened it for writing meanwhile
    }
  } else if (!n->work) {
    lock.unlock();
    auto contents = contentsOf(ino, cancel);
    if (!contents) return fp::fail(contents.error());
    fp::ScopedFD fd = std::move(*contents);
    lock.lock();
    n = inodes_.find(ino);
    if (!n) return fp::fail(Errno{ENOENT});
    if (n->work) {
      h->work = n->work;
    } else {
      h->readFd = std::move(fd);
    }
  }
  if (n->work) {
    h->work = n->work;
    if (truncate) {
      if (ftruncate(n->work->fd.get(), 0) != 0) return fp::fail(Errno{errno});
      n->work->changes.fetch_add(1);
      noteChanged(*n->work, n->item.filename);
    }
  }

  OpenReply reply;
  const std::string& version = n->item.version.contentVersion;
  reply.keepCache = n->kernelContentVersion == version && !(flags & O_TRUNC);
  n->kernelContentVersion = version;
  ++n->opens;
  reply.fh = nextFh_++;
  handles_[reply.fh] = std::move(h);
  return reply;
}

bool MountFs::hasNamesakeLocked(Node& dir, const std::string& name) {
  std::string display = displayName(name);
  if (dir.listing->namesakeKeys().hasNamesake(display)) return true;
  if (dir.localChildren.empty()) return false;
  std::string key = namesakeKey(display);
  for (const auto& [local, ino] : dir.localChildren) {
    if (localNamesakeKeyLocked(local) == key) return true;
  }
  return false;
}

const std::string& MountFs::localNamesakeKeyLocked(const std::string& name) {
  // A write-back mount may hold a thousand new files in one folder that are
  // not sent yet; each create compares its name with all of them.
  if (localKeys_.size() > 4096) localKeys_.clear();
  auto [it, added] = localKeys_.try_emplace(name);
  if (added) it->second = namesakeKey(displayName(name));
  return it->second;
}

ErrnoOr<std::pair<EntryReply, OpenReply>> MountFs::create(Ino parent, std::string_view nameView,
                                                          int flags, const fp::Progress* cancel) {
  if (!fitsKernel(nameView)) return fp::fail(Errno{ENAMETOOLONG});
  std::string name(nameView);
  Lock lock(mu_);
  if (int e = ensureListingLocked(lock, parent, cancel)) return fp::fail(Errno{e});
  Node* dir = inodes_.find(parent);
  if (!dir->item.allows(fp::capability::kAllowsAddingSubItems)) {
    return fp::fail(Errno{
        logFailure("create", describe(name, {}), EACCES, "the folder does not allow adding")});
  }
  lock.unlock();
  auto file = cache_.newWorkFile();
  if (!file) return fp::fail(file.error());
  auto copy = std::make_shared<WorkingCopy>();
  copy->path = std::move(file->path);
  copy->fd = std::move(file->fd);
  copy->changes.store(1);  // even an empty new file is to be created

  lock.lock();
  if (int e = ensureListingLocked(lock, parent, cancel)) {
    std::error_code ec;
    fs::remove(copy->path, ec);
    return fp::fail(Errno{e});
  }
  dir = inodes_.find(parent);
  if (dir->listing->byName.count(name) || dir->localChildren.count(name)) {
    std::error_code ec;
    fs::remove(copy->path, ec);
    return fp::fail(Errno{EEXIST});
  }
  if (hasNamesakeLocked(*dir, name)) {
    std::error_code ec;
    fs::remove(copy->path, ec);
    return fp::fail(Errno{logFailure("create", describe(name, {}), EEXIST,
                                     "a sibling has the same name apart from letter case, so "
                                     "the service would show the new file under another name")});
  }
  Node* node = &inodes_.addLocal();
  node->parent = parent;
  node->name = name;
  node->item.parent = dir->item.identifier;
  node->item.filename = displayName(name);
  node->item.capabilities = kNewItemCapabilities;
  node->item.size = 0;
  node->item.modified = now();
  node->work = copy;
  node->lookups = 1;
  node->opens = 1;
  Ino ino = node->ino;
  dir->localChildren[name] = ino;
  auto h = std::make_shared<Handle>();
  h->ino = ino;
  h->writable = (flags & O_ACCMODE) != O_RDONLY;
  h->work = copy;
  EntryReply entry{ino, attrOf(*node)};
  OpenReply reply;
  reply.fh = nextFh_++;
  handles_[reply.fh] = std::move(h);
  return std::make_pair(entry, reply);
}

ErrnoOr<int> MountFs::readDescriptor(std::uint64_t fh) {
  std::lock_guard lock(mu_);
  auto it = handles_.find(fh);
  if (it == handles_.end()) return fp::fail(Errno{EBADF});
  const Handle& h = *it->second;
  return h.work ? h.work->fd.get() : h.readFd.get();
}

ErrnoOr<std::size_t> MountFs::read(std::uint64_t fh, char* buf, std::size_t size, off_t offset) {
  auto fd = readDescriptor(fh);
  if (!fd) return fp::fail(fd.error());
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = fp::retryOnEintr(
        [&] { return pread(*fd, buf + done, size - done, offset + static_cast<off_t>(done)); });
    if (n < 0) return fp::fail(Errno{errno});
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

ErrnoOr<std::size_t> MountFs::write(std::uint64_t fh, const char* data, std::size_t size,
                                    off_t offset, pid_t writer) {
  std::shared_ptr<WorkingCopy> work;
  std::string name;
  {
    std::lock_guard lock(mu_);
    auto it = handles_.find(fh);
    if (it == handles_.end() || !it->second->writable || !it->second->work) {
      return fp::fail(Errno{EBADF});
    }
    Handle& h = *it->second;
    work = h.work;
    if (std::find(h.writers.begin(), h.writers.end(), writer) == h.writers.end()) {
      h.writers.push_back(writer);
    }
    if (Node* n = inodes_.find(h.ino)) name = n->item.filename;
  }
  noteChanged(*work, name);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = fp::retryOnEintr([&] {
      return pwrite(work->fd.get(), data + done, size - done, offset + static_cast<off_t>(done));
    });
    if (n < 0) {
      int e = errno;
      if (e == ENOSPC || e == EDQUOT) {
        work->cut.store(true);
        work->changes.fetch_add(1);
      }
      return fp::fail(Errno{e});
    }
    done += static_cast<std::size_t>(n);
  }
  work->changes.fetch_add(1);
  return done;
}

std::string MountFs::keyOf(const Node& n) {
  QueuedChange c;
  if (!n.local) c.identifier = n.item.identifier;
  c.parent = n.item.parent;
  c.filename = n.item.filename;
  return c.key();
}

void MountFs::noteChanged(WorkingCopy& work, const std::string& name) {
  std::lock_guard lock(work.noteMu);
  if (work.note.empty()) work.note = cache_.markChanged(work.path, name);
}

void MountFs::clearNote(WorkingCopy& work, std::uint64_t changesQueued) {
  std::lock_guard lock(work.noteMu);
  // A write since the state was queued keeps the note: that one is not closed.
  if (work.note.empty() || work.changes.load() != changesQueued) return;
  cache_.clearChanged(work.note);
  work.note.clear();
}

QueuedChange MountFs::editOf(ChangeKind kind, const ItemState& item) {
  QueuedChange edit;
  edit.kind = kind;
  edit.identifier = item.identifier;
  edit.parent = item.parent;
  edit.filename = item.filename;
  edit.baseVersion = item.version;
  edit.item = item;
  return edit;
}

int MountFs::journalEdit(const QueuedChange& edit, const std::string& what) {
  auto put = cache_.queue().putEdit(edit);
  if (!put) {
    int e = put.error().value;
    return logFailure(edit.kind == ChangeKind::kMove ? "rename" : "delete", what, e,
                      "cannot keep it in the cache: " + std::string(std::strerror(e)));
  }
  const char* change = edit.kind == ChangeKind::kMove         ? "the move"
                       : edit.kind == ChangeKind::kMakeFolder ? "the making"
                                                              : "the removal";
  log_.info("%{public}@ of %{public}@ is queued and will be sent when the host application answers",
            {std::string(change), what});
  return 0;
}

MountFs::Sent MountFs::sendEdit(const QueuedChange& queued, const fp::Progress* cancel) {
  QueuedChange edit = queued;
  edit.parent = cache_.queue().resolve(edit.parent);
  edit.item.parent = edit.parent;
  Sent sent;
  if (isLocalIdentifier(edit.parent) ||
      (edit.kind != ChangeKind::kMakeFolder && isLocalIdentifier(edit.identifier))) {
    // Its folder (or the folder it moves) is not on the service yet.
    sent.queued = sent.blocked = true;
    return sent;
  }
  std::string what = describe(edit.filename, edit.identifier);
  const bool move = edit.kind == ChangeKind::kMove;
  int err = 0;
  std::optional<fp::Error> error;
  if (edit.kind == ChangeKind::kMakeFolder) {
    ItemState expected = edit.item;
    expected.identifier.clear();
    auto r = provider_.create(fpctl::TemplateItem::forNew(edit.parent, edit.filename, true),
                              std::nullopt, cancel);
    if (r) {
      ItemState fresh = createdItem(*r, expected);
      cache_.queue().remove(edit.seq);
      if (int e = cache_.queue().bind(edit.identifier, fresh.identifier)) {
        logFailure("mkdir", what, e, "what waits in it may be sent again after a restart");
      }
      tookFolder(edit.identifier, fresh);
      sent.item = fresh;
      return sent;
    }
    error = r.error();
  } else if (move) {
    auto r =
        provider_.modify(fpctl::TemplateItem::named(edit.identifier, edit.parent, edit.filename),
                         edit.baseVersion, edit.fields, std::nullopt, cancel);
    if (r) {
      sent.item = reread(*r, edit.item);
    } else {
      error = r.error();
    }
  } else {
    // A folder goes with its whole tree on the service: only when it is still
    // proven empty there.
    if (edit.item.isFolder) err = provenEmpty("rmdir", edit.item, what, cancel, false);
    if (err == 0) {
      auto r = provider_.remove(edit.identifier, edit.baseVersion, false, cancel);
      if (r || errnoFor(r.error()) == ENOENT) {
        sent.item = edit.item;
      } else {
        error = r.error();
      }
    }
  }
  if (sent.item) {
    cache_.queue().remove(edit.seq);
    return sent;
  }
  const char* op = move ? "rename" : edit.kind == ChangeKind::kMakeFolder ? "mkdir" : "delete";
  if (error) err = logFailure(op, what, *error);
  if (isTransient(err)) {
    sent.queued = true;
    return sent;
  }
  bool taken = (move || edit.kind == ChangeKind::kMakeFolder) && error &&
               refusedAsTaken(provider_, {*error, edit.parent, edit.filename,
                                          move ? edit.identifier : fp::ItemIdentifier()});
  if (taken) err = EEXIST;
  std::string reason =
      std::string(move                                   ? "moving or renaming to " + edit.filename
                  : edit.kind == ChangeKind::kMakeFolder ? "making the folder " + edit.filename
                                                         : "removing " + edit.filename) +
      " was refused: " + std::strerror(err) +
      (error ? " (" + refusalWords(*error, taken, edit.filename) + ")" : std::string());
  fs::path kept = cache_.queue().refuse(edit.seq, reason);
  if (kept.empty()) {
    sent.queued = true;
  } else {
    logFailure(op, what, err,
               "refused; the item stays as the service has it (" + kept.string() + ")");
    sent.err = err;
  }
  return sent;
}

MountFs::Sent MountFs::sendChange(const QueuedChange& change, ItemState expected,
                                  const fp::Progress* cancel) {
  if (change.isEdit()) return sendEdit(change, cancel);
  if (isLocalIdentifier(cache_.queue().resolve(change.parent))) {
    Sent sent;  // its folder is not on the service yet
    sent.queued = sent.blocked = true;
    return sent;
  }
  if (isLocalIdentifier(change.parent)) {
    QueuedChange resolved = change;
    resolved.parent = cache_.queue().resolve(change.parent);
    expected.parent = resolved.parent;
    return sendChange(resolved, std::move(expected), cancel);
  }
  std::string what = describe(change.filename, change.identifier);
  fp::StatusOr<ItemState> result =
      change.identifier.empty()
          ? provider_.create(fpctl::TemplateItem::forNew(change.parent, change.filename, false),
                             change.data, cancel)
          : provider_.modify(
                fpctl::TemplateItem::named(change.identifier, change.parent, change.filename),
                change.baseVersion, fp::field::kContents, change.data, cancel);
  Sent sent;
  if (result) {
    expected.size = change.size;
    expected.modified = now();
    sent.item =
        change.identifier.empty() ? createdItem(*result, expected) : reread(*result, expected);
    cache_.queue().remove(change.seq);
    if (change.identifier.empty()) created_.note(change, sent.item->identifier);
    return sent;
  }
  sent.err = logFailure(change.identifier.empty() ? "create" : "write", what, result.error());
  if (change.identifier.empty() && !isTransient(sent.err)) {
    // A creation that reached the host just before fpctl died is refused when
    // it is sent again: the same bytes under the same name are that creation.
    if (auto there = sameCreation(provider_, change)) {
      log_.info("%{public}@ is on the service already (%{public}@)", {what, there->identifier});
      cache_.queue().remove(change.seq);
      created_.note(change, there->identifier);
      sent.item = std::move(*there);
      sent.err = 0;
      return sent;
    }
    // The queue created it meanwhile from an older state: this state changes it.
    if (auto made = created_.stillThere(provider_, change)) {
      log_.info("%{public}@ was created from an older state; this one is sent as its change",
                {describe(change.filename, made->identifier)});
      auto r = provider_.modify(
          fpctl::TemplateItem::named(made->identifier, change.parent, change.filename),
          made->version, fp::field::kContents, change.data, cancel);
      if (r) {
        cache_.queue().remove(change.seq);
        expected.identifier = made->identifier;
        expected.size = change.size;
        expected.modified = now();
        sent.item = reread(*r, expected);
        sent.err = 0;
        return sent;
      }
      sent.err = logFailure("write", describe(change.filename, made->identifier), r.error());
    }
  }
  if (isTransient(sent.err)) {
    fp::ScopedFD own(fp::retryOnEintr(
        [&] { return ::open(change.data.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW); }));
    if (!own) {
      // The mount's own queued copy is unreadable: a fault of the mount, not
      // a host that is away. The state cannot be sent.
      int e = errno;
      log_.error("the queued copy %{public}@ of %{public}@ cannot be read: %{public}@",
                 {change.data.string(), what, std::string(std::strerror(e))});
      cache_.queue().remove(change.seq);
      sent.err = EIO;
      return sent;
    }
    sent.queued = true;
    log_.info("%{public}@ is queued and will be sent when the host application answers", {what});
    return sent;
  }
  bool taken = change.identifier.empty() &&
               refusedAsTaken(provider_, {result.error(), change.parent, change.filename, {}});
  if (taken) sent.err = EEXIST;
  std::string reason = std::string(change.identifier.empty() ? "creating" : "writing") +
                       " was refused: " + std::strerror(sent.err) + " (" +
                       refusalWords(result.error(), taken, change.filename) + ")";
  fs::path kept = cache_.queue().refuse(change.seq, reason);
  if (kept.empty()) {
    sent.queued = true;  // could not move it: it stays in the queue
  } else {
    logFailure("upload", what, sent.err, "refused; the changes are kept in " + kept.string());
  }
  return sent;
}

bool MountFs::isTransient(int err) {
  return err == EIO || err == EINTR || err == ETIMEDOUT || err == EAGAIN || err == ENOTCONN ||
         err == ECONNREFUSED;
}

int MountFs::uploadNode(Ino ino, bool handOff, const fp::Progress* cancel) {
  std::shared_ptr<WorkingCopy> work;
  {
    std::lock_guard lock(mu_);
    Node* n = inodes_.find(ino);
    if (!n || !n->work || n->unlinked) return 0;
    work = n->work;
  }
  if (handOff && work->handing.load() && work->handedChanges.load() == work->changes.load()) {
    // The write-back thread has this state, and may be sending it now: a
    // release need not wait for that.
    return 0;
  }
  std::lock_guard uploading(work->uploadMutex);
  StagedState staged;
  {
    std::lock_guard lock(mu_);
    Node* n = inodes_.find(ino);
    if (!n || n->unlinked || n->work != work) return 0;
    staged.changes = work->changes.load();
    if (staged.changes == work->uploaded.load()) return 0;
    if (work->cut.load()) return ENOSPC;  // dropped at its release
    staged.local = n->local;
    staged.item = n->item;
    staged.name = n->name;
  }
  if (work->handed && work->handed->changes == staged.changes) {
    // Closed and staged already; the write-back thread has not sent it yet.
    if (handOff) return 0;
    StagedState handed = std::move(*work->handed);
    work->handed.reset();
    work->handing.store(false);
    return finishUpload(ino, *work, handed, cancel);
  }
  std::string what = describe(staged.name, staged.item.identifier);

  // The state being sent is first staged in the queue: from here on it reaches
  // the service even if the host is away or fpctl dies. It is synced only when
  // the sending below does not reach the service: a state on the service needs
  // no copy that would outlive a crash of the system.
  QueuedChange change;
  if (!staged.local) change.identifier = staged.item.identifier;
  change.parent = staged.item.parent;
  change.filename = staged.item.filename;
  change.baseVersion = staged.item.version;
  {
    // An older state of this file that the queue is sending now goes first.
    Lock lock(mu_);
    sent_.wait(lock, [&] { return sendingKey_ != change.key(); });
  }
  // Held until its sending ends: nothing else sends or drops it meanwhile.
  auto queued = cache_.queue().stage(change, work->path, /*held=*/true);
  if (!queued) {
    return logFailure(
        "upload", what, queued.error().value,
        "cannot keep a copy in the cache: " + std::string(std::strerror(queued.error().value)));
  }
  staged.change = std::move(*queued);
  // What the copy holds is closed and staged now: if fpctl dies, the queue has it.
  clearNote(*work, staged.changes);
  if (work->handed) {
    // An older closed state that was not sent yet: this one replaces it, also
    // when the file was renamed in between (its entry has another key).
    cache_.queue().letGo(work->handed->change.seq);
    cache_.queue().remove(work->handed->change.seq);
    work->handed.reset();
    work->handing.store(false);
  }
  if (handOff && writeBack_.load()) {
    work->handedChanges.store(staged.changes);
    work->handed = std::move(staged);
    work->handing.store(true);
    sender_->push(ino);
    return 0;
  }
  return finishUpload(ino, *work, staged, cancel);
}

int MountFs::finishUpload(Ino ino, WorkingCopy& work, const StagedState& staged,
                          const fp::Progress* cancel) {
  const bool local = staged.local;
  const ItemState& item = staged.item;
  const std::string& name = staged.name;
  const std::uint64_t changes = staged.changes;
  std::string what = describe(name, item.identifier);
  std::optional<CreationsInFlight::Mark> creating;
  bool gaveUp = false;  // the wait below was cancelled: the state stays queued
  if (local) {
    Lock lock(mu_);
    // A new file of this folder being created now goes first: one of the same
    // name that was removed or renamed meanwhile frees its name only once it
    // is on the service and has been deleted or renamed there.
    gaveUp = !creating_.waitUntilFree(lock, item.parent, cancel);
    Node* n = inodes_.find(ino);
    if (!n || n->unlinked) {
      // Removed before it was sent: nothing of it needs to reach the service.
      cache_.queue().letGo(staged.change.seq);
      cache_.queue().remove(staged.change.seq);
      work.uploaded.store(changes);
      return 0;
    }
    // Moves and removals kept in the queue go first (the name may be freed
    // only by them): the state waits behind them, and sendQueue() sends it.
    if (!gaveUp && !cache_.queue().pendingEdits().empty()) gaveUp = true;
    if (!gaveUp) creating.emplace(creating_, mu_, item.parent);
  }
  Sent sent;
  sent.queued = gaveUp;
  if (!gaveUp) sent = sendChange(staged.change, item, cancel);
  if (sent.queued) {
    std::lock_guard lock(mu_);
    work.queuedKey = staged.change.key();
    work.queuedSeq = staged.change.seq;
  }
  // Sent, refused, or left waiting: the queue may send what is left.
  cache_.queue().letGo(staged.change.seq);
  if (sent.queued && cancel && cancel->isCancelled()) {
    // The wait for the host was given up (a signal, the end of the mount):
    // the queue does not wait for it again at once.
    interruptedUntil_.store(
        (std::chrono::steady_clock::now() + std::chrono::seconds(2)).time_since_epoch().count());
  }
  if (sent.queued) {
    // Not on the service: the state waits in the queue, durably, before the
    // close reports it as kept.
    if (int e = cache_.queue().makeDurable(staged.change.seq)) {
      return logFailure("upload", what, e,
                        "cannot keep a copy in the cache: " + std::string(std::strerror(e)));
    }
  }
  work.queuedOnly.store(!sent.item);
  work.waiting.store(sent.queued);
  work.uploaded.store(changes);  // sent, queued or kept in unsent/: this state is taken care of
  if (!sent.item) return sent.queued ? 0 : sent.err;
  return tookSent(ino, work, staged, *sent.item);
}

int MountFs::tookSent(Ino ino, WorkingCopy& work, const StagedState& staged, ItemState fresh) {
  const bool local = staged.local;
  const ItemState& item = staged.item;
  const std::string& name = staged.name;
  const std::uint64_t changes = staged.changes;
  Lock lock(mu_);
  Node* n = inodes_.find(ino);
  if (!n) return 0;
  if (n->unlinked && local) {
    // Removed while it was being created: it must not stay on the service.
    lock.unlock();
    if (auto removed = provider_.remove(fresh.identifier, fresh.version, false); !removed) {
      int e = logFailure("delete", describe(name, fresh.identifier), removed.error());
      if (isTransient(e)) {
        QueuedChange edit = editOf(ChangeKind::kRemove, fresh);
        journalEdit(edit, describe(name, fresh.identifier));
      }
    }
    return 0;
  }
  const fp::ItemIdentifier sentParent = cache_.queue().resolve(item.parent);
  if (local && (n->item.filename != item.filename || n->item.parent != sentParent)) {
    // Renamed or moved while it was being created: send that too, or keep it
    // in the queue when the host does not take it now.
    fp::ItemFields fields = 0;
    if (n->item.filename != item.filename) fields |= fp::field::kFilename;
    if (n->item.parent != sentParent) fields |= fp::field::kParentItemIdentifier;
    auto moved = fpctl::TemplateItem::named(fresh.identifier, n->item.parent, n->item.filename);
    ItemState expected = fresh;
    expected.parent = n->item.parent;
    expected.filename = n->item.filename;
    bool queueIt = !cache_.queue().pendingEdits().empty();
    lock.unlock();
    std::optional<fp::StatusOr<ItemState>> r;
    if (!queueIt) r = provider_.modify(moved, fresh.version, fields, std::nullopt);
    if (r && *r) {
      fresh = reread(**r, expected);
    } else {
      int e = r ? logFailure("rename", describe(name, fresh.identifier), r->error()) : EIO;
      if (!isTransient(e)) return e;
      QueuedChange edit = editOf(ChangeKind::kMove, expected);
      edit.fields = fields;
      if (int j = journalEdit(edit, describe(name, fresh.identifier))) return j;
      fresh = expected;
    }
    lock.lock();
    n = inodes_.find(ino);
    if (!n) return 0;
  }
  n->item = fresh;
  if (work.keptDate && work.keptDateChanges == changes) dates_.keep(fresh, *work.keptDate);
  // The kernel's cached data is what was just written, now under the new version.
  n->kernelContentVersion = fresh.version.contentVersion;
  Node* dir = inodes_.find(n->parent);
  if (local) {
    n->local = false;
    inodes_.bind(fresh.identifier, ino);
    if (dir) dir->localChildren.erase(n->name);
  }
  if (dir && dir->listing && local) {
    for (const auto& numbered : dir->listing->hideNumberedNamesOf(n->name, fresh.identifier)) {
      notifier_.forgetEntry(n->parent, numbered);
    }
  }
  if (dir) {
    // Without a listing, one being read now (perhaps from before the service
    // had this file) gets this when it is in; the kernel never saw its names.
    editListingLocked(*dir, [name = n->name, fresh, local](Listing& l) {
      if (local) l.hideNumberedNamesOf(name, fresh.identifier);
      l.show(name, fresh);
    });
  }
  return 0;
}

// ---------------------------------------------------------------- write-back

void MountFs::startWriteBack(std::chrono::milliseconds quiet, std::chrono::milliseconds longest) {
  if (!sender_) {
    sender_ =
        std::make_unique<BackgroundSender>([this](Ino ino) { sendHanded(ino); }, quiet, longest);
  }
  writeBack_.store(true);
}

void MountFs::stopWriteBack(std::chrono::milliseconds grace) {
  if (!sender_) return;
  // Closes from here on send themselves.
  writeBack_.store(false);
  for (Ino ino : sender_->stop(grace, [this] { cancelBackgroundWork(); })) sendHanded(ino);
  const auto clock = std::chrono::steady_clock::now();
  if (clock.time_since_epoch().count() < writeBackPausedUntil_.load()) {
    // The host did not answer just now: what waits is kept for the next
    // mount, without another wait for it.
    std::lock_guard sending(queueMu_);
    queueBackoff_ = std::max<std::chrono::milliseconds>(queueBackoff_, std::chrono::seconds(2));
    nextQueueAttempt_ = std::max(nextQueueAttempt_, clock + queueBackoff_);
  }
}

void MountFs::waitForWriteBack() {
  if (sender_) sender_->waitUntilIdle();
}

void MountFs::sendHanded(Ino ino) {
  std::shared_ptr<WorkingCopy> work;
  {
    std::lock_guard lock(mu_);
    Node* n = inodes_.find(ino);
    if (!n || !n->work) return;
    work = n->work;
  }
  int err = 0;
  {
    std::lock_guard uploading(work->uploadMutex);
    if (!work->handed) return;  // a close, fsync or rename sent it
    StagedState staged = std::move(*work->handed);
    work->handed.reset();
    bool removed;
    {
      std::lock_guard lock(mu_);
      Node* n = inodes_.find(ino);
      removed = !n || n->unlinked || n->work != work;
    }
    const auto clock = std::chrono::steady_clock::now();
    if (removed) {
      // Removed before it was sent: nothing of it needs to reach the service.
      cache_.queue().letGo(staged.change.seq);
      cache_.queue().remove(staged.change.seq);
      work->uploaded.store(staged.changes);
    } else if (clock.time_since_epoch().count() < writeBackPausedUntil_.load()) {
      // The host did not answer a moment ago: keep it for sendQueue().
      std::string what = describe(staged.name, staged.item.identifier);
      int e = cache_.queue().makeDurable(staged.change.seq);
      cache_.queue().letGo(staged.change.seq);
      if (e) {
        logFailure("upload", what, e,
                   "cannot keep a copy in the cache: " + std::string(std::strerror(e)));
      } else {
        log_.info("%{public}@ is queued and will be sent when the host application answers",
                  {what});
      }
      {
        std::lock_guard lock(mu_);
        work->queuedKey = staged.change.key();
        work->queuedSeq = staged.change.seq;
      }
      work->queuedOnly.store(true);
      work->waiting.store(true);
      work->uploaded.store(staged.changes);
    } else {
      // The end of the mount stops the wait for the host: the state is kept.
      err = finishUpload(ino, *work, staged, &background_);
      if (err == 0 && work->queuedOnly.load()) {
        writeBackPausedUntil_.store((std::chrono::steady_clock::now() + std::chrono::seconds(2))
                                        .time_since_epoch()
                                        .count());
      }
    }
    work->handing.store(false);
  }
  releaseWorkIfIdle(ino, err != 0);
}

ErrnoOr<void> MountFs::flush(std::uint64_t fh, pid_t closer, const fp::Progress* cancel) {
  Ino ino;
  {
    std::lock_guard lock(mu_);
    auto it = handles_.find(fh);
    if (it == handles_.end()) return fp::fail(Errno{EBADF});
    Handle& h = *it->second;
    Node* n = inodes_.find(h.ino);
    if (!n) return fp::Ok{};
    if (!h.writable && !n->local) return fp::Ok{};
    // The close rule: a close sends the file's state only when the closing
    // process wrote through this open file since its last send. Another
    // holder of a shared descriptor closing (a shell's child before the
    // writing starts, say) sends nothing: that state is not final. What is
    // left is sent at the last close of the open file (release).
    bool wrote = closer == 0
                     ? !h.writers.empty()
                     : std::find(h.writers.begin(), h.writers.end(), closer) != h.writers.end();
    if (!wrote) return fp::Ok{};
    h.writers.clear();
    ino = n->ino;
  }
  return statusFor(uploadNode(ino, /*handOff=*/true, cancel));
}

ErrnoOr<void> MountFs::fsync(std::uint64_t fh, const fp::Progress* cancel) {
  Ino ino;
  {
    std::lock_guard lock(mu_);
    auto it = handles_.find(fh);
    if (it == handles_.end()) return fp::fail(Errno{EBADF});
    if (!inodes_.find(it->second->ino)) return fp::Ok{};
    it->second->writers.clear();
    ino = it->second->ino;
  }
  return statusFor(uploadNode(ino, false, cancel));
}

void MountFs::release(std::uint64_t fh) {
  std::shared_ptr<Handle> h;
  bool last = false;
  {
    std::lock_guard lock(mu_);
    auto it = handles_.find(fh);
    if (it == handles_.end()) return;
    h = std::move(it->second);
    handles_.erase(it);
    Node* n = inodes_.find(h->ino);
    if (!n) return;
    if (n->opens > 0) --n->opens;
    last = n->opens == 0;
  }
  if (!last) return;
  // The last close: what a failed flush left unsent gets one more try.
  bool sendFailed = uploadNode(h->ino, /*handOff=*/true) != 0;
  releaseWorkIfIdle(h->ino, sendFailed);
  // A copy kept beyond the bound while it was open may go now.
  if (cache_.overBound()) trimCache();
}

void MountFs::releaseWorkIfIdle(Ino ino, bool sendFailed) {
  std::shared_ptr<WorkingCopy> work;
  std::string name;
  ItemState item;
  bool keep = false;
  std::optional<std::pair<Ino, std::string>> forgetName;
  {
    std::lock_guard lock(mu_);
    Node* n = inodes_.find(ino);
    if (!n || n->opens > 0 || !n->work) return;
    if (n->work->dirty() && !n->unlinked && !sendFailed) return;  // someone is sending it
    if (n->work->handing.load()) return;  // the write-back thread lets go of it
    // Its last state waits in the queue: the file is shown as it was written
    // until that state is sent (tookQueued()).
    if (n->work->waiting.load() && !n->work->dirty() && !n->unlinked && !sendFailed) return;
    work = std::move(n->work);
    name = n->name;
    item = n->item;
    keep = work->dirty() && !n->unlinked && !work->cut.load();
    if (n->local) {
      // A new file that never reached the service is not shown any longer, and
      // the kernel must forget its name, or the next open would reach this node.
      if (Node* dir = inodes_.find(n->parent)) dir->localChildren.erase(n->name);
      forgetName = {n->parent, n->name};
      n->unlinked = true;
      n->local = false;
    }
    inodes_.dropIfIdle(ino);
  }
  if (forgetName) notifier_.forgetEntry(forgetName->first, forgetName->second);
  if (work->cut.load() && work->dirty()) {
    // Kept, it would hold the disk full for every later save.
    logFailure("write", describe(name, item.identifier), ENOSPC,
               "the cache disk is full; the part written was dropped (the program was told)");
    notifier_.forgetInode(ino, true);
  }
  if (keep) {
    fs::path kept =
        cache_.preserve(work->path, item.filename, "could not be put into the upload queue");
    logFailure("upload", describe(name, item.identifier), EIO,
               kept.empty() ? std::string("the changes could not be kept")
                            : "the changes are kept in " + kept.string());
  } else if (!item.identifier.empty() && !item.version.contentVersion.empty() && !work->dirty() &&
             !work->queuedOnly.load()) {
    cache_.adopt(item.identifier, item.version.contentVersion, work->path);
    if (cache_.overBound()) trimCache();
  } else {
    cache_.dropWorkFile(work->path);
  }
}

ErrnoOr<struct stat> MountFs::setattr(Ino ino, std::optional<off_t> size,
                                      std::optional<std::uint64_t> fh, const fp::Progress* cancel) {
  if (!size) return getattr(ino, cancel);  // mode, owner and times: the service decides them
  if (*size < 0) return fp::fail(Errno{EINVAL});
  Lock lock(mu_);
  Node* n = inodes_.find(ino);
  if (!n) return fp::fail(Errno{ENOENT});
  if (n->item.isFolder) return fp::fail(Errno{EISDIR});
  std::string what = describe(n->name, n->item.identifier);
  if (!n->item.allows(fp::capability::kAllowsWriting)) {
    return fp::fail(Errno{logFailure("truncate", what, EACCES, "the file is read-only (locked)")});
  }
  std::shared_ptr<WorkingCopy> work = n->work;
  if (fh) {
    if (auto it = handles_.find(*fh); it != handles_.end() && it->second->work) {
      work = it->second->work;
    }
  }
  bool sendNow = false;
  if (!work) {
    // Truncation of a file nobody has open: make a working copy, send it, done.
    lock.unlock();
    auto copy = newWorkingCopy(ino, *size == 0, cancel);
    if (!copy) return fp::fail(copy.error());
    lock.lock();
    n = inodes_.find(ino);
    if (!n) return fp::fail(Errno{ENOENT});
    if (n->work) {
      std::error_code ec;
      fs::remove((*copy)->path, ec);
    } else {
      n->work = std::move(*copy);
      sendNow = true;
    }
    work = n->work;
  }
  if (ftruncate(work->fd.get(), *size) != 0) return fp::fail(Errno{errno});
  work->changes.fetch_add(1);
  noteChanged(*work, n->item.filename);
  if (!sendNow) return attrOf(*n);
  lock.unlock();
  int e = uploadNode(ino);
  releaseWorkIfIdle(ino, e != 0);
  if (e != 0) return fp::fail(Errno{e});
  return getattr(ino);
}

const fs::path& MountFs::cacheRoot() const { return cache_.root(); }

ErrnoOr<void> MountFs::keepDate(Ino ino, timespec date) {
  Lock lock(mu_);
  Node* n = inodes_.find(ino);
  if (!n) return fp::fail(Errno{ENOENT});
  if (std::shared_ptr<WorkingCopy> work = n->work) {
    // Shown from the copy while it lives; kept for the version its upload makes.
    const timespec times[2] = {date, date};
    if (futimens(work->fd.get(), times) != 0) return fp::fail(Errno{errno});
    work->keptDate = date;
    work->keptDateChanges = work->changes.load();
    if (work->dirty() || n->local) return fp::Ok{};
  }
  if (!n->local) dates_.keep(n->item, date);
  return fp::Ok{};
}

// ---------------------------------------------------------------- removal, renaming

ErrnoOr<void> MountFs::unlink(Ino parent, std::string_view nameView, const fp::Progress* cancel) {
  if (!fitsKernel(nameView)) return fp::fail(Errno{ENAMETOOLONG});
  std::string name(nameView);
  Lock lock(mu_);
  if (int e = ensureListingLocked(lock, parent, cancel)) return fp::fail(Errno{e});
  Node* dir = inodes_.find(parent);
  if (auto it = dir->localChildren.find(name); it != dir->localChildren.end()) {
    // Not on the service yet: forgetting it locally is all there is to do,
    // with the state of it that waits in the queue.
    if (Node* n = inodes_.find(it->second); n && n->item.isFolder) return fp::fail(Errno{EISDIR});
    if (Node* n = inodes_.find(it->second)) {
      n->unlinked = true;
      n->local = false;
      if (n->work && n->work->waiting.load()) dropQueuedLocked(*n->work);
    }
    Ino child = it->second;
    dir->localChildren.erase(it);
    inodes_.dropIfIdle(child);
    return fp::Ok{};
  }
  auto it = dir->listing->byName.find(name);
  if (it == dir->listing->byName.end()) return fp::fail(Errno{ENOENT});
  ItemState item = it->second;
  std::string what = describe(name, item.identifier);
  if (item.isFolder) return fp::fail(Errno{EISDIR});
  if (!item.allows(fp::capability::kAllowsDeleting)) {
    return fp::fail(
        Errno{logFailure("delete", what, EACCES, "the file does not allow deleting (locked)")});
  }
  lock.unlock();

  if (int e = removeOrQueue("delete", item, what, cancel)) return fp::fail(Errno{e});
  lock.lock();
  forgetRemovedLocked(parent, name, item.identifier);
  return fp::Ok{};
}

void MountFs::requeueLocked(Lock& lock, Ino ino) {
  Node* n = inodes_.find(ino);
  if (!n || !n->work) return;
  std::shared_ptr<WorkingCopy> work = n->work;
  std::uint64_t seq = work->queuedSeq;
  // Being sent now: its node's new name is sent after it (tookSent()).
  if (!cache_.queue().tryHold(seq)) return;
  QueuedChange change;
  for (const auto& c : cache_.queue().pending()) {
    if (c.seq == seq) change = c;
  }
  change.parent = n->item.parent;
  change.filename = n->item.filename;
  lock.unlock();
  auto moved = cache_.queue().put(change, change.data);
  cache_.queue().letGo(seq);
  if (moved) cache_.queue().remove(seq);
  lock.lock();
  if (!moved) {
    // The older entry stays: it is created under its old name, then renamed.
    logFailure("rename", describe(change.filename, {}), moved.error().value,
               "the new name is sent after the file is created");
    return;
  }
  if (work->queuedSeq == seq) {
    work->queuedSeq = moved->seq;
    work->queuedKey = moved->key();
  }
}

void MountFs::dropQueuedLocked(WorkingCopy& work) {
  if (cache_.queue().tryHold(work.queuedSeq)) {
    cache_.queue().letGo(work.queuedSeq);
    cache_.queue().remove(work.queuedSeq);
  } else {
    droppedWhileSent_.insert(work.queuedSeq);  // sendQueue() has it now
  }
  work.waiting.store(false);
}

bool MountFs::mustQueueEditOf(const fp::ItemIdentifier& identifier) const {
  for (const auto& c : cache_.queue().pending()) {
    if (c.isEdit() || c.identifier == identifier) return true;
  }
  return false;
}

int MountFs::removeOrQueue(std::string_view op, const ItemState& item, const std::string& what,
                           const fp::Progress* cancel) {
  if (!mustQueueEditOf(item.identifier)) {
    auto removed = provider_.remove(item.identifier, item.version, false, cancel);
    if (removed) return 0;
    int e = logFailure(op, what, removed.error());
    if (!isTransient(e) || (cancel && cancel->isCancelled())) return e;
  }
  return journalEdit(editOf(ChangeKind::kRemove, item), what);
}

void MountFs::applyMoveLocked(Ino parent, const std::string& name, Ino newParent,
                              const std::string& newName, const ItemState& item) {
  if (Node* from = inodes_.find(parent)) {
    editListingLocked(*from, [name](Listing& l) { l.hide(name); });
  }
  if (Node* to = inodes_.find(newParent)) {
    editListingLocked(*to, [newName, item](Listing& l) { l.show(newName, item); });
  }
  if (Node* n = inodes_.findItem(item.identifier)) {
    n->parent = newParent;
    n->name = newName;
    if (!n->work) {
      n->item = item;
    } else {
      n->item.parent = item.parent;
      n->item.filename = item.filename;
      n->item.version.metadataVersion = item.version.metadataVersion;
    }
  }
}

ErrnoOr<void> MountFs::rename(Ino parent, std::string_view name, Ino newParent,
                              std::string_view newName, unsigned flags,
                              const fp::Progress* cancel) {
  if (!fitsKernel(name) || !fitsKernel(newName)) return fp::fail(Errno{ENAMETOOLONG});
  if (flags & ~static_cast<unsigned>(RENAME_NOREPLACE)) return fp::fail(Errno{EINVAL});
  return statusFor(renameAttempt(parent, std::string(name), newParent, std::string(newName), flags,
                                 true, cancel));
}

int MountFs::renameAttempt(Ino parent, const std::string& name, Ino newParent,
                           const std::string& newName, unsigned flags, bool mayUploadFirst,
                           const fp::Progress* cancel) {
  Lock lock(mu_);
  // Both listings must be at hand at once; reading one may drop the lock.
  for (int attempt = 0;; ++attempt) {
    if (int e = ensureListingLocked(lock, parent, cancel)) return e;
    if (int e = ensureListingLocked(lock, newParent, cancel)) return e;
    Node* p = inodes_.find(parent);
    if (!p) return ENOENT;
    if (p->listing) break;
    if (attempt == 3) return EIO;
  }
  Node* from = inodes_.find(parent);
  Node* to = inodes_.find(newParent);
  if (parent == newParent && name == newName) return 0;

  // The item being renamed: a new local file, or an item of the listing.
  Ino localSource = 0;
  ItemState source;
  if (auto it = from->localChildren.find(name); it != from->localChildren.end()) {
    localSource = it->second;
    source = inodes_.find(localSource)->item;
  } else if (auto listed = from->listing->byName.find(name);
             listed != from->listing->byName.end()) {
    source = listed->second;
  } else {
    return ENOENT;
  }
  std::string what = describe(name, source.identifier);

  Ino localTarget = 0;
  std::optional<ItemState> target;
  if (auto it = to->localChildren.find(newName); it != to->localChildren.end()) {
    localTarget = it->second;
  } else if (auto listed = to->listing->byName.find(newName); listed != to->listing->byName.end()) {
    target = listed->second;
  }
  if ((localTarget || target) && (flags & RENAME_NOREPLACE)) return EEXIST;
  if (target && !localSource && target->identifier == source.identifier) return 0;
  if (target) {
    if (source.isFolder && !target->isFolder) return ENOTDIR;
    if (!source.isFolder && target->isFolder) return EISDIR;
  }
  if (parent != newParent && !to->item.allows(fp::capability::kAllowsAddingSubItems)) {
    return logFailure("rename", what, EACCES, "the target folder does not allow adding");
  }
  std::string newDisplay = displayName(newName);
  fp::ItemIdentifier newParentId = to->item.identifier;

  if (localTarget) {
    // A new file that is still being written loses its name to the one moved here.
    if (Node* t = inodes_.find(localTarget)) {
      t->unlinked = true;
      t->local = false;
    }
    to->localChildren.erase(newName);
    inodes_.dropIfIdle(localTarget);
  }
  if (localSource) {
    Node* n = inodes_.find(localSource);
    // Its creation waits in the queue (the host did not take it): it is made
    // under the new name, after the removal of what it replaces.
    const bool waits = n->work && n->work->waiting.load() && !n->work->dirty();
    if (target && waits) {
      std::string targetWhat = describe(newName, target->identifier);
      if (!target->allows(fp::capability::kAllowsDeleting)) {
        return logFailure("rename", targetWhat, EACCES, "the item to replace is locked");
      }
      if (target->isFolder) return EISDIR;
      lock.unlock();
      if (int e = journalEdit(editOf(ChangeKind::kRemove, *target), targetWhat)) return e;
      lock.lock();
      forgetRemovedLocked(newParent, newName, target->identifier);
      n = inodes_.find(localSource);
      if (!n || n->unlinked) return ENOENT;
      from = inodes_.find(parent);
      to = inodes_.find(newParent);
      if (!from || !to) return ENOENT;
    }
    if (n->item.isFolder && target) return EXDEV;  // made here: copied over, not renamed
    if (!target || waits) {
      fp::ItemFields fields = 0;
      if (newDisplay != n->item.filename) fields |= fp::field::kFilename;
      if (parent != newParent) fields |= fp::field::kParentItemIdentifier;
      from->localChildren.erase(name);
      to->localChildren[newName] = localSource;
      n->parent = newParent;
      n->name = newName;
      n->item.parent = newParentId;
      n->item.filename = newDisplay;
      if (waits) requeueLocked(lock, localSource);
      if (n->item.isFolder) {
        // Made on the service under its first name, then moved there.
        QueuedChange edit = editOf(ChangeKind::kMove, n->item);
        edit.fields = fields;
        lock.unlock();
        return journalEdit(edit, what);
      }
      return 0;
    }
    if (!mayUploadFirst) return EIO;
    // Replacing an item on the service: send the new file first, then rename it.
    lock.unlock();
    if (int e = uploadNode(localSource)) return e;
    return renameAttempt(parent, name, newParent, newName, flags, false, cancel);
  }

  fp::ItemFields fields = 0;
  if (newDisplay != source.filename) fields |= fp::field::kFilename;
  if (parent != newParent) fields |= fp::field::kParentItemIdentifier;
  if ((fields & fp::field::kFilename) && !source.allows(fp::capability::kAllowsRenaming)) {
    return logFailure("rename", what, EACCES, "the item does not allow renaming (locked)");
  }
  if ((fields & fp::field::kParentItemIdentifier) &&
      !source.allows(fp::capability::kAllowsReparenting)) {
    return logFailure("rename", what, EACCES, "the item does not allow moving (locked)");
  }
  std::string targetWhat = target ? describe(newName, target->identifier) : std::string();
  if (target &&
      !target->allows(fp::capability::kAllowsRenaming | fp::capability::kAllowsDeleting)) {
    return logFailure("rename", targetWhat, EACCES, "the item to replace is locked");
  }
  if (target && target->isFolder) {
    Node* t = inodes_.findItem(target->identifier);
    if (t && !t->localChildren.empty()) return ENOTEMPTY;
  }
  lock.unlock();

  if (target && target->isFolder) {
    if (int e = provenEmpty("rename", *target, targetWhat, cancel)) return e;
  }

  ItemState expected = source;
  expected.parent = newParentId;
  expected.filename = newDisplay;
  // Behind edits that wait in the queue, or with the host away, the move is
  // kept in the queue and shown at once.
  auto queueMove = [&]() -> int {
    if (target) {
      if (int e = journalEdit(editOf(ChangeKind::kRemove, *target), targetWhat)) return e;
    }
    QueuedChange edit = editOf(ChangeKind::kMove, expected);
    edit.fields = fields;
    if (int e = journalEdit(edit, what)) return e;
    lock.lock();
    if (target) {
      if (Node* n = inodes_.findItem(target->identifier)) n->unlinked = true;
    }
    applyMoveLocked(parent, name, newParent, newName, expected);
    return 0;
  };
  if (mustQueueEditOf(source.identifier)) return queueMove();
  if (!target) {
    auto moved =
        provider_.modify(fpctl::TemplateItem::named(source.identifier, newParentId, newDisplay),
                         source.version, fields, std::nullopt, cancel);
    if (!moved) {
      int e =
          nameRefused("rename", what, {moved.error(), newParentId, newDisplay, source.identifier});
      if (isTransient(e) && !(cancel && cancel->isCancelled())) return queueMove();
      return e;
    }
    ItemState fresh = reread(*moved, expected);
    lock.lock();
    applyMoveLocked(parent, name, newParent, newName, fresh);
    return 0;
  }

  // Replacing an item: see replace_sequence.h.
  ReplaceRequest request{source, fields, newParentId, newDisplay, *target, what, targetWhat};
  Replacement r = replaceItem(
      provider_, request,
      [this](const ItemState& returned, ItemState wanted) {
        return reread(returned, std::move(wanted));
      },
      [this](std::string_view op, const std::string& item, const fp::Error& error) {
        return logFailure(op, item, error);
      });
  if (isTransient(r.err) && !r.leftAside && !r.targetDeleted && !r.moved &&
      !(cancel && cancel->isCancelled())) {
    return queueMove();  // nothing was done on the service
  }
  lock.lock();
  if (r.leftAside) {
    applyMoveLocked(newParent, newName, newParent, posixName(r.leftAside->filename), *r.leftAside);
  }
  if (r.targetDeleted) {
    if (Node* n = inodes_.findItem(target->identifier)) n->unlinked = true;
  }
  if (r.err) return r.err;
  applyMoveLocked(parent, name, newParent, newName, *r.moved);
  return 0;
}

// ---------------------------------------------------------------- change tracking

void MountFs::checkForChanges() {
  std::lock_guard checking(anchorMu_);
  const std::string workingSet(fp::kWorkingSetContainer);
  if (!anchor_) {
    auto anchor = provider_.currentAnchor(workingSet);
    if (anchor) anchor_ = *anchor;
    return;
  }
  ChangeCheck check = provider_.changes(workingSet, *anchor_);
  switch (check.kind) {
    case ChangeCheck::Kind::kUnchanged:
      anchor_ = std::move(check.anchor);
      return;
    case ChangeCheck::Kind::kChanged:
      anchor_ = std::move(check.anchor);
      break;
    case ChangeCheck::Kind::kExpired: {
      // The new anchor is taken before anything is read again, so a change made
      // while refreshing is found by the next check.
      auto anchor = provider_.currentAnchor(workingSet);
      if (anchor) anchor_ = *anchor;
      break;
    }
    case ChangeCheck::Kind::kFailed:
      logFailure("change check", workingSet, *check.error);
      return;
  }
  refresh();
  pinsChanged_.store(true);  // a pinned file may have a new version now
}

void MountFs::refresh() {
  struct Dir {
    Ino ino;
    fp::ItemIdentifier identifier;
    std::uint64_t serial;
  };
  std::vector<Dir> dirs;
  {
    std::lock_guard lock(mu_);
    for (auto& [ino, n] : inodes_.all()) {
      if (n->listing) {
        if (n->lookups > 0 || ino == kRootIno) {
          dirs.push_back({ino, n->item.identifier, n->listingSerial});
        } else {
          n->listing.reset();
          ++n->listingSerial;
        }
      }
      if (!n->local && !n->work && ino != kRootIno) n->attrStale = true;
    }
  }

  std::vector<std::pair<Ino, std::string>> entries;
  std::vector<std::pair<Ino, bool>> inodes;
  for (const Dir& d : dirs) {
    auto items = provider_.list(d.identifier);
    std::lock_guard lock(mu_);
    Node* dir = inodes_.find(d.ino);
    if (!dir || !dir->listing) continue;
    if (!items || dir->listingSerial != d.serial) {
      // Cannot compare: drop the listing and have the kernel ask for every name.
      for (const auto& [name, item] : dir->listing->byName) entries.emplace_back(d.ino, name);
      dir->listing.reset();
      ++dir->listingSerial;
      inodes.emplace_back(d.ino, true);
      continue;
    }
    auto fresh = listingFor(*dir, *items);
    ListingDiff diff = diffListings(*dir->listing, *fresh);
    for (auto& name : diff.forgotten) entries.emplace_back(d.ino, std::move(name));
    for (const auto& [name, item] : fresh->byName) {
      Node* n = inodes_.findItem(item.identifier);
      if (!n || n->local) continue;
      n->attrStale = false;
      if (n->work || n->item.sameAttributes(item)) continue;
      bool contents = n->item.version.contentVersion != item.version.contentVersion;
      n->item = item;
      inodes.emplace_back(n->ino, contents && !n->item.isFolder);
    }
    if (diff.namesChanged) inodes.emplace_back(d.ino, true);
    dir->listing = std::move(fresh);
    ++dir->listingSerial;
  }
  {
    // What no listing vouched for is asked for again when the kernel next wants it.
    std::lock_guard lock(mu_);
    for (auto& [ino, n] : inodes_.all()) {
      if (n->attrStale && n->lookups > 0) inodes.emplace_back(ino, false);
    }
  }
  for (const auto& [parent, name] : entries) notifier_.forgetEntry(parent, name);
  for (const auto& [ino, contents] : inodes) notifier_.forgetInode(ino, contents);
}

std::size_t MountFs::sendQueue(bool untilTheEnd) {
  std::lock_guard sending(queueMu_);
  auto pending = cache_.queue().pending();
  if (pending.empty()) return 0;
  auto clock = std::chrono::steady_clock::now();
  if (clock < nextQueueAttempt_ || clock.time_since_epoch().count() < interruptedUntil_.load()) {
    return pending.size();
  }
  bool sentAny = false;
  // A file being written sends its own state when it is closed; the queue
  // must not send an older one meanwhile. A close that starts while an entry
  // is sent waits for it (see uploadNode), so states arrive in order; a file
  // opened for writing after this look sends its state after the entry.
  for (const auto& change : pending) {
    {
      std::lock_guard lock(mu_);
      if (!cache_.queue().contains(change.seq)) continue;
      // Looked at for each entry: a new file of the name of a queued creation
      // may have been made while the entries before it were sent, and a new
      // file renamed since its state was queued still owns that state.
      bool written = false;
      for (const auto& [ino, n] : inodes_.all()) {
        if (!change.isEdit() && n->work && n->work->dirty() &&
            (keyOf(*n) == change.key() || n->work->queuedKey == change.key())) {
          written = true;
        }
      }
      // An entry held is being sent by its file's close or the write-back thread.
      if (written || !cache_.queue().tryHold(change.seq)) continue;
      sendingKey_ = change.key();
    }
    ItemState expected;
    expected.identifier = change.identifier;
    expected.parent = change.parent;
    expected.filename = change.filename;
    Sent sent = sendChange(change, expected, untilTheEnd ? &background_ : nullptr);
    cache_.queue().letGo(change.seq);
    {
      std::lock_guard lock(mu_);
      sendingKey_.reset();
      sent_.notify_all();
    }
    bool dropped = false;
    {
      std::lock_guard lock(mu_);
      dropped = droppedWhileSent_.erase(change.seq) > 0;
    }
    if (dropped && sent.item) {
      // Removed while it was being created: it must not stay on the service.
      if (int e = removeOrQueue("delete", *sent.item,
                                describe(change.filename, sent.item->identifier), nullptr)) {
        (void)e;  // logged
      }
    } else if (!change.isEdit() && !sent.queued) {
      tookQueued(change, sent);
    }
    if (sent.blocked) continue;  // sent once its folder is made
    if (sent.queued) {
      // The host is still away: try again later, and less often.
      queueBackoff_ = std::min<std::chrono::milliseconds>(
          std::chrono::seconds(30),
          std::max<std::chrono::milliseconds>(std::chrono::milliseconds(500), queueBackoff_ * 2));
      nextQueueAttempt_ = std::chrono::steady_clock::now() + queueBackoff_;
      break;
    }
    sentAny = true;
  }
  if (sentAny) {
    // What was sent shows up in the listings at the next change check.
    queueBackoff_ = std::chrono::milliseconds(0);
    nextQueueAttempt_ = {};
  }
  return cache_.queue().pending().size();
}

void MountFs::tookQueued(const QueuedChange& change, const Sent& sent) {
  // The file whose state this was keeps its copy, and is shown so, until
  // then (releaseWorkIfIdle()).
  Ino ino = 0;
  std::shared_ptr<WorkingCopy> work;
  StagedState staged;
  {
    std::lock_guard lock(mu_);
    for (const auto& [i, n] : inodes_.all()) {
      if (n->work && n->work->waiting.load() && n->work->queuedSeq == change.seq) {
        ino = i;
        work = n->work;
        staged.local = n->local;
        staged.item = n->item;
        staged.item.parent = change.parent;
        staged.item.filename = change.filename;
        staged.name = n->name;
        staged.changes = work->uploaded.load();
        staged.change = change;
        break;
      }
    }
  }
  if (!work) return;
  {
    std::lock_guard uploading(work->uploadMutex);
    {
      std::lock_guard lock(mu_);
      // A newer state was closed meanwhile: that one is the file's now.
      if (work->queuedSeq != change.seq) return;
      work->queuedOnly.store(false);
      work->waiting.store(false);
      work->queuedKey.clear();
      work->queuedSeq = 0;
    }
    if (sent.item) {
      tookSent(ino, *work, staged, *sent.item);
    } else {
      // Refused for good: kept in unsent/, and the file is no longer shown,
      // as after a refused close.
      std::lock_guard lock(mu_);
      if (Node* n = inodes_.find(ino); n && n->local) {
        if (Node* dir = inodes_.find(n->parent)) dir->localChildren.erase(n->name);
        n->unlinked = true;
        n->local = false;
      }
    }
  }
  releaseWorkIfIdle(ino, false);
}

void MountFs::finishPendingUploads() {
  std::vector<Ino> withWork;
  {
    // The kernel has gone, and with it every open handle.
    std::lock_guard lock(mu_);
    handles_.clear();
    dirHandles_.clear();
    for (const auto& [ino, n] : inodes_.all()) {
      n->opens = 0;
      if (n->work) withWork.push_back(ino);
    }
  }
  for (Ino ino : withWork) {
    bool sendFailed = uploadNode(ino) != 0;
    releaseWorkIfIdle(ino, sendFailed);
  }
}

// ---------------------------------------------------------------- pinned items, attributes

namespace {

constexpr std::string_view kXattrState = "user.fileprovider.state";
constexpr std::string_view kXattrIdentifier = "user.fileprovider.identifier";
constexpr std::string_view kXattrVersion = "user.fileprovider.version";
constexpr std::string_view kXattrPinned = "user.fileprovider.pinned";
constexpr std::string_view kXattrEvict = "user.fileprovider.evict";

// How long a keepPinnedLocal() that could not fetch everything waits before it
// tries again without a change.
constexpr auto kPinRetry = std::chrono::seconds(30);

}  // namespace

std::vector<fp::ItemIdentifier> MountFs::chainLocked(const Node& n) {
  std::vector<fp::ItemIdentifier> chain;
  const Node* at = &n;
  // Bounded: a table damaged into a loop must not hang the caller.
  for (int depth = 0; at && depth < 4096; ++depth) {
    if (!at->item.identifier.empty()) chain.push_back(at->item.identifier);
    if (at->ino == kRootIno) break;
    at = inodes_.find(at->parent);
  }
  return chain;
}

std::string MountFs::pathLocked(const Node& n) {
  std::vector<std::string> names;
  const Node* at = &n;
  for (int depth = 0; at && at->ino != kRootIno && depth < 4096; ++depth) {
    names.push_back(at->name);
    at = inodes_.find(at->parent);
  }
  std::string path;
  for (auto it = names.rbegin(); it != names.rend(); ++it) path += "/" + *it;
  return path.empty() ? "/" : path;
}

bool MountFs::anyPinned(const std::vector<fp::ItemIdentifier>& chain) const {
  for (const auto& id : chain) {
    if (pins_.contains(id)) return true;
  }
  return false;
}

bool MountFs::waitsInQueue(const fp::ItemIdentifier& identifier) const {
  if (identifier.empty()) return false;
  for (const auto& c : cache_.queue().pending()) {
    if (c.identifier == identifier) return true;
  }
  return false;
}

bool MountFs::isPinnedItem(Ino ino, const fp::ItemIdentifier& identifier) {
  if (isPinned(identifier)) return true;
  std::vector<fp::ItemIdentifier> chain;
  {
    std::lock_guard lock(mu_);
    Node* n = ino ? inodes_.find(ino) : nullptr;
    if (!n) n = inodes_.findItem(identifier);
    if (!n) return false;
    chain = chainLocked(*n);
  }
  return anyPinned(chain);
}

bool MountFs::isPinned(const fp::ItemIdentifier& identifier) const {
  if (pins_.contains(identifier)) return true;
  std::lock_guard lock(coveredMu_);
  return covered_.count(identifier) > 0;
}

ErrnoOr<void> MountFs::pin(Ino ino) {
  PinnedItem item;
  {
    std::lock_guard lock(mu_);
    Node* n = inodes_.find(ino);
    if (!n || n->unlinked) return fp::fail(Errno{ENOENT});
    if (n->local || n->item.identifier.empty()) return fp::fail(Errno{EBUSY});
    item.identifier = n->item.identifier;
    item.path = pathLocked(*n);
    item.isFolder = n->item.isFolder;
  }
  auto added = pins_.add(item);
  if (!added) {
    return fp::fail(Errno{logFailure("pin", describe(item.path, item.identifier),
                                     added.error().value, "cannot keep the set of pinned items")});
  }
  if (*added) log_.info("pinned %{public}@", {describe(item.path, item.identifier)});
  pinsChanged_.store(true);
  return fp::Ok{};
}

ErrnoOr<void> MountFs::unpin(Ino ino) {
  fp::ItemIdentifier id;
  std::string what;
  {
    std::lock_guard lock(mu_);
    Node* n = inodes_.find(ino);
    if (!n || n->unlinked) return fp::fail(Errno{ENOENT});
    id = n->item.identifier;
    what = describe(pathLocked(*n), id);
  }
  if (id.empty()) return fp::Ok{};
  auto removed = pins_.remove(id);
  if (!removed) {
    return fp::fail(Errno{
        logFailure("unpin", what, removed.error().value, "cannot keep the set of pinned items")});
  }
  if (*removed) {
    log_.info("unpinned %{public}@", {what});
    pinsChanged_.store(true);  // the trees still pinned are walked again
  }
  return fp::Ok{};
}

ErrnoOr<void> MountFs::evict(Ino ino) {
  fp::ItemIdentifier id;
  std::vector<fp::ItemIdentifier> chain;
  std::string what;
  {
    std::lock_guard lock(mu_);
    Node* n = inodes_.find(ino);
    if (!n || n->unlinked) return fp::fail(Errno{ENOENT});
    if (n->item.isFolder) return fp::fail(Errno{EISDIR});
    if (n->local || n->work || sendingKey_ == keyOf(*n)) return fp::fail(Errno{EBUSY});
    id = n->item.identifier;
    chain = chainLocked(*n);
    what = describe(pathLocked(*n), id);
  }
  // The node's own chain of folders decides, not the last walk's list of
  // covered items: that one may still hold a folder unpinned a moment ago.
  if (anyPinned(chain)) return fp::fail(Errno{EPERM});
  if (waitsInQueue(id)) return fp::fail(Errno{EBUSY});
  cache_.drop(id);
  {
    std::lock_guard lock(mu_);
    if (Node* n = inodes_.find(ino)) n->kernelContentVersion.reset();
  }
  notifier_.forgetInode(ino, true);  // the kernel's copy of the data goes too
  log_.info("evicted %{public}@", {what});
  return fp::Ok{};
}

ErrnoOr<std::string> MountFs::stateOf(Ino ino) {
  ItemState item;
  std::vector<fp::ItemIdentifier> chain;
  bool hasWork = false;
  {
    std::lock_guard lock(mu_);
    Node* n = inodes_.find(ino);
    if (!n) return fp::fail(Errno{ENOENT});
    item = n->item;
    chain = chainLocked(*n);
    if (!item.isFolder) {
      if (n->local || (n->work && n->work->dirty()) || sendingKey_ == keyOf(*n)) {
        return std::string("uploading");
      }
      if (n->work && n->work->queuedOnly.load()) return std::string("unsent");
      hasWork = n->work != nullptr;
    }
  }
  if (item.isFolder) return std::string(anyPinned(chain) ? "pinned" : "local");
  if (waitsInQueue(item.identifier)) return std::string("unsent");
  if (anyPinned(chain)) return std::string("pinned");
  if (hasWork || cache_.has(item.identifier, item.version.contentVersion)) {
    return std::string("local");
  }
  return std::string("cloud");
}

void MountFs::keepPinnedLocal() {
  std::lock_guard walking(pinWalkMu_);
  bool changed = pinsChanged_.exchange(false);
  if (!changed && !(pinRetry_ && std::chrono::steady_clock::now() >= nextPinRetry_)) return;
  pinRetry_ = false;
  const fp::Progress* cancel = &background_;

  // Every pinned item and, below pinned folders, every item of their trees.
  std::deque<ItemState> todo;
  bool incomplete = false;
  for (const auto& p : pins_.items()) {
    auto found = provider_.item(p.identifier, cancel);
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
      auto children = provider_.list(item.identifier, cancel);
      if (!children) {
        logFailure("keep pinned", describe(item.filename, item.identifier), children.error());
        incomplete = true;
        continue;
      }
      for (auto& child : *children) todo.push_back(std::move(child));
      continue;
    }
    if (hostAway || cache_.has(item.identifier, item.version.contentVersion)) continue;
    Ino ino = 0;
    {
      std::lock_guard lock(mu_);
      if (Node* n = inodes_.findItem(item.identifier)) {
        if (n->work) continue;  // being written: its own state follows
        ino = n->ino;
      }
    }
    auto fetched = contentsOfItem(ino, item, cancel);
    if (!fetched) {
      incomplete = true;
      // The host is away (or the mount is ending): the rest would fail alike.
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

ErrnoOr<std::string> MountFs::getxattr(Ino ino, std::string_view name) {
  if (name == kXattrState) return stateOf(ino);
  if (name != kXattrIdentifier && name != kXattrVersion && name != kXattrPinned) {
    return fp::fail(Errno{ENODATA});
  }
  ItemState item;
  std::vector<fp::ItemIdentifier> chain;
  {
    std::lock_guard lock(mu_);
    Node* n = inodes_.find(ino);
    if (!n) return fp::fail(Errno{ENOENT});
    item = n->item;
    chain = chainLocked(*n);
  }
  if (name == kXattrPinned) return std::string(anyPinned(chain) ? "1" : "0");
  const std::string& value =
      name == kXattrIdentifier ? item.identifier : item.version.contentVersion;
  if (value.empty()) return fp::fail(Errno{ENODATA});
  return value;
}

ErrnoOr<std::string> MountFs::listxattr(Ino ino) {
  ItemState item;
  {
    std::lock_guard lock(mu_);
    Node* n = inodes_.find(ino);
    if (!n) return fp::fail(Errno{ENOENT});
    item = n->item;
  }
  std::string names;
  auto add = [&](std::string_view name) {
    names += name;
    names += '\0';
  };
  add(kXattrState);
  if (!item.identifier.empty()) add(kXattrIdentifier);
  if (!item.version.contentVersion.empty()) add(kXattrVersion);
  add(kXattrPinned);
  return names;
}

ErrnoOr<void> MountFs::setxattr(Ino ino, std::string_view name, std::string_view value) {
  if (name == kXattrPinned) {
    if (value == "1") return pin(ino);
    if (value == "0") return unpin(ino);
    return fp::fail(Errno{EINVAL});
  }
  if (name == kXattrEvict) {
    if (value == "1") return evict(ino);
    return fp::fail(Errno{EINVAL});
  }
  if (name == kXattrState || name == kXattrIdentifier || name == kXattrVersion) {
    return fp::fail(Errno{EPERM});
  }
  return fp::fail(Errno{ENOTSUP});
}

ErrnoOr<void> MountFs::removexattr(Ino ino, std::string_view name) {
  if (name == kXattrPinned) return unpin(ino);
  if (name == kXattrState || name == kXattrIdentifier || name == kXattrVersion) {
    return fp::fail(Errno{EPERM});
  }
  return fp::fail(Errno{ENODATA});
}

}  // namespace fpctl::mount
