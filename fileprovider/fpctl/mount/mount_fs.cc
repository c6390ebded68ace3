#include "fileprovider/fpctl/mount/mount_fs.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include "fileprovider/fpctl/mount/name_codec.h"

namespace fpctl::mount {
namespace fs = std::filesystem;

KernelNotifier::~KernelNotifier() = default;

// A file's local contents while it is being written. The descriptor stays open as
// long as a handle or the node holds the copy, so moving the file never cuts off
// a reader.
struct MountFs::WorkingCopy {
  fs::path path;
  fp::ScopedFD fd;
  std::mutex uploadMutex;                  // one upload of this copy at a time
  std::atomic<std::uint64_t> changes{0};   // bumped by every write and truncation
  std::atomic<std::uint64_t> uploaded{0};  // `changes` as of the last upload that succeeded
  bool dirty() const { return changes.load() != uploaded.load(); }
};

struct MountFs::Listing {
  std::map<std::string, ItemState> byName;  // POSIX name -> item
};

struct MountFs::Node {
  Ino ino = 0;
  ItemState item;
  bool local = false;  // created here and not on the service yet
  Ino parent = kRootIno;
  std::string name;  // the POSIX name under `parent` that the kernel knows
  std::uint64_t lookups = 0;
  std::uint64_t opens = 0;
  bool unlinked = false;
  bool attrStale = false;
  std::shared_ptr<WorkingCopy> work;
  std::optional<std::string> kernelContentVersion;  // what the kernel's page cache holds
  // Folders.
  std::unique_ptr<Listing> listing;
  std::uint64_t listingSerial = 0;           // bumped by every change of `listing`
  std::map<std::string, Ino> localChildren;  // new files not sent yet, by POSIX name
};

struct MountFs::Handle {
  Ino ino = 0;
  bool writable = false;
  fp::ScopedFD readFd;  // read-only handles on fetched contents
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

// The name a replaced item is moved to until the item that replaces it is in place.
std::string asideName(const std::string& filename) {
  static thread_local std::mt19937 rng{std::random_device{}()};
  char tag[9];
  std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(rng()));
  return "." + filename.substr(0, 200) + ".fpctl-replaced-" + tag;
}

}  // namespace

MountFs::MountFs(std::shared_ptr<fp::ReplicatedExtension> extension, ContentCache& cache,
                 KernelNotifier& notifier, uid_t uid, gid_t gid)
    : provider_(std::move(extension)), cache_(cache), notifier_(notifier), uid_(uid), gid_(gid) {}

MountFs::~MountFs() = default;

fp::Status MountFs::start() {
  auto root = provider_.item(std::string(fp::kRootContainer));
  if (!root) return fp::fail(root.error());
  if (auto anchor = provider_.currentAnchor(std::string(fp::kWorkingSetContainer))) {
    std::lock_guard alock(anchorMu_);
    anchor_ = *anchor;
  }
  std::lock_guard lock(mu_);
  auto node = std::make_unique<Node>();
  node->ino = kRootIno;
  node->item = *root;
  node->item.identifier = std::string(fp::kRootContainer);
  node->item.isFolder = true;
  node->lookups = 1;  // the kernel never forgets the root
  inoById_[node->item.identifier] = kRootIno;
  nodes_[kRootIno] = std::move(node);
  return fp::Ok{};
}

// ---------------------------------------------------------------- helpers

MountFs::Node* MountFs::findNode(Ino ino) {
  auto it = nodes_.find(ino);
  return it == nodes_.end() ? nullptr : it->second.get();
}

Ino MountFs::inoFor(const fp::ItemIdentifier& identifier) {
  auto [it, inserted] = inoById_.try_emplace(identifier, nextIno_);
  if (inserted) ++nextIno_;
  return it->second;
}

MountFs::Node& MountFs::nodeForItemLocked(Ino parent, const std::string& name,
                                          const ItemState& item) {
  Ino ino = inoFor(item.identifier);
  auto& slot = nodes_[ino];
  if (!slot) {
    slot = std::make_unique<Node>();
    slot->ino = ino;
    slot->item = item;
  } else if (!slot->work && !slot->local) {
    slot->item = item;
  }
  slot->attrStale = false;
  slot->parent = parent;
  slot->name = name;
  return *slot;
}

struct stat MountFs::attrOf(const Node& node) const {
  struct stat st = statFor(node.item, node.ino, uid_, gid_);
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

std::unique_ptr<MountFs::Listing> MountFs::buildListing(const Node& dir,
                                                        const std::vector<ItemState>& items) const {
  auto listing = std::make_unique<Listing>();
  for (const auto& item : items) {
    std::string name = posixName(item.filename);
    std::string shown = name;
    for (int n = 2; listing->byName.count(shown) || dir.localChildren.count(shown); ++n) {
      shown = name + " (" + std::to_string(n) + ")";
    }
    listing->byName.emplace(std::move(shown), item);
  }
  return listing;
}

void MountFs::installListingLocked(Node& dir, std::unique_ptr<Listing> listing) {
  for (const auto& [name, item] : listing->byName) {
    auto id = inoById_.find(item.identifier);
    if (id == inoById_.end()) continue;
    Node* n = findNode(id->second);
    if (!n || n->local) continue;
    if (!n->work) n->item = item;
    n->attrStale = false;
  }
  dir.listing = std::move(listing);
  ++dir.listingSerial;
}

int MountFs::ensureListingLocked(Lock& lock, Ino dir) {
  for (int attempt = 0;; ++attempt) {
    Node* n = findNode(dir);
    if (!n) return ENOENT;
    if (!n->item.isFolder) return ENOTDIR;
    if (n->listing) return 0;
    fp::ItemIdentifier id = n->item.identifier;
    std::string what = describe(n->name, id);
    std::uint64_t serial = n->listingSerial;
    lock.unlock();
    auto items = provider_.list(id);
    lock.lock();
    if (!items) return failed("list", what, items.error());
    n = findNode(dir);
    if (!n) return ENOENT;
    if (n->listing) return 0;
    // A change made here while the listing was read may be missing from it: read
    // it again, but not forever.
    if (n->listingSerial != serial && attempt < 3) continue;
    installListingLocked(*n, buildListing(*n, *items));
    return 0;
  }
}

void MountFs::maybeEraseLocked(Ino ino) {
  Node* n = findNode(ino);
  if (!n || ino == kRootIno) return;
  if (n->lookups > 0 || n->opens > 0 || n->work || n->local || !n->localChildren.empty()) return;
  nodes_.erase(ino);  // inoById_ keeps the number for the item
}

int MountFs::failed(std::string_view op, const std::string& item, const fp::Error& error) {
  log_.error("%{public}@ failed for %{public}@: %{public}@", {op, item, error.description()});
  return errnoFor(error);
}

int MountFs::refused(std::string_view op, const std::string& item, int err, std::string_view why) {
  log_.error("%{public}@ failed for %{public}@: %{public}@", {op, item, why});
  return err;
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

ErrnoOr<EntryReply> MountFs::lookup(Ino parent, std::string_view nameView) {
  std::string name(nameView);
  Lock lock(mu_);
  if (int e = ensureListingLocked(lock, parent)) return fp::fail(Errno{e});
  Node& dir = *findNode(parent);
  if (auto it = dir.localChildren.find(name); it != dir.localChildren.end()) {
    if (Node* n = findNode(it->second)) {
      ++n->lookups;
      return EntryReply{n->ino, attrOf(*n)};
    }
  }
  auto it = dir.listing->byName.find(name);
  if (it == dir.listing->byName.end()) return fp::fail(Errno{ENOENT});
  Node& n = nodeForItemLocked(parent, name, it->second);
  ++n.lookups;
  return EntryReply{n.ino, attrOf(n)};
}

void MountFs::forget(Ino ino, std::uint64_t count) {
  std::lock_guard lock(mu_);
  Node* n = findNode(ino);
  if (!n || ino == kRootIno) return;
  n->lookups -= std::min(count, n->lookups);
  maybeEraseLocked(ino);
}

ErrnoOr<struct stat> MountFs::getattr(Ino ino) {
  Lock lock(mu_);
  Node* n = findNode(ino);
  if (!n) return fp::fail(Errno{ENOENT});
  if (n->attrStale && !n->local && !n->work) {
    fp::ItemIdentifier id = n->item.identifier;
    lock.unlock();
    auto fresh = provider_.item(id);
    lock.lock();
    n = findNode(ino);
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

int MountFs::access(Ino ino, int mask) {
  std::lock_guard lock(mu_);
  Node* n = findNode(ino);
  if (!n) return ENOENT;
  if ((mask & W_OK) && !n->item.allows(fp::capability::kAllowsWriting)) return EACCES;
  return 0;
}

// ---------------------------------------------------------------- folders

ErrnoOr<std::uint64_t> MountFs::opendir(Ino ino) {
  Lock lock(mu_);
  if (int e = ensureListingLocked(lock, ino)) return fp::fail(Errno{e});
  Node& dir = *findNode(ino);
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

int MountFs::readdir(std::uint64_t dh, off_t offset, bool plus,
                     const std::function<bool(const DirEntry&, off_t)>& emit) {
  std::lock_guard lock(mu_);
  auto it = dirHandles_.find(dh);
  if (it == dirHandles_.end()) return EBADF;
  const DirHandle& h = *it->second;
  for (auto i = static_cast<std::size_t>(std::max<off_t>(offset, 0)); i < h.entries.size(); ++i) {
    const auto& e = h.entries[i];
    DirEntry out;
    out.name = e.name;
    if (!e.item) {
      Node* n = findNode(e.ino);
      if (!n) continue;  // a new file that went away since the folder was opened
      out.ino = n->ino;
      out.attr = attrOf(*n);
      bool dot = i < 2;
      if (!emit(out, static_cast<off_t>(i + 1))) break;
      if (plus && !dot) ++n->lookups;
      continue;
    }
    Ino ino = inoFor(e.item->identifier);
    Node* n = findNode(ino);
    out.ino = ino;
    out.attr = n ? attrOf(*n) : statFor(*e.item, ino, uid_, gid_);
    if (!emit(out, static_cast<off_t>(i + 1))) break;
    if (!plus) continue;
    if (n) {
      ++n->lookups;  // what it knows may be newer than the folder's snapshot
    } else {
      ++nodeForItemLocked(h.ino, e.name, *e.item).lookups;
    }
  }
  return 0;
}

void MountFs::releasedir(std::uint64_t dh) {
  std::shared_ptr<DirHandle> h;  // destroyed outside the lock
  std::lock_guard lock(mu_);
  if (auto it = dirHandles_.find(dh); it != dirHandles_.end()) {
    h = std::move(it->second);
    dirHandles_.erase(it);
  }
}

ErrnoOr<EntryReply> MountFs::mkdir(Ino parent, std::string_view nameView) {
  std::string name(nameView);
  Lock lock(mu_);
  if (int e = ensureListingLocked(lock, parent)) return fp::fail(Errno{e});
  Node* dir = findNode(parent);
  std::string what = describe(name, {});
  if (!dir->item.allows(fp::capability::kAllowsAddingSubItems)) {
    return fp::fail(Errno{refused("mkdir", what, EACCES, "the folder does not allow adding")});
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

  auto created = provider_.create(TemplateItem::forNew(expected.parent, expected.filename, true),
                                  std::nullopt);
  if (!created) return fp::fail(Errno{failed("mkdir", what, created.error())});
  ItemState fresh = reread(*created, expected);

  lock.lock();
  dir = findNode(parent);
  if (dir && dir->listing) {
    dir->listing->byName.insert_or_assign(name, fresh);
    ++dir->listingSerial;
  }
  Node& n = nodeForItemLocked(parent, name, fresh);
  ++n.lookups;
  return EntryReply{n.ino, attrOf(n)};
}

MountFs::Node* MountFs::forgetRemovedLocked(Ino parent, const std::string& name,
                                            const fp::ItemIdentifier& identifier) {
  if (Node* dir = findNode(parent); dir && dir->listing) {
    auto at = dir->listing->byName.find(name);
    if (at != dir->listing->byName.end() && at->second.identifier == identifier) {
      dir->listing->byName.erase(at);
    }
    ++dir->listingSerial;
  }
  auto id = inoById_.find(identifier);
  Node* n = id == inoById_.end() ? nullptr : findNode(id->second);
  if (n) n->unlinked = true;
  return n;
}

int MountFs::rmdir(Ino parent, std::string_view nameView) {
  std::string name(nameView);
  Lock lock(mu_);
  if (int e = ensureListingLocked(lock, parent)) return e;
  Node* dir = findNode(parent);
  if (dir->localChildren.count(name)) return ENOTDIR;
  auto it = dir->listing->byName.find(name);
  if (it == dir->listing->byName.end()) return ENOENT;
  ItemState item = it->second;
  std::string what = describe(name, item.identifier);
  if (!item.isFolder) return ENOTDIR;
  if (!item.allows(fp::capability::kAllowsDeleting)) {
    return refused("rmdir", what, EACCES, "the folder does not allow deleting");
  }
  auto hasLocalChildren = [&] {
    auto id = inoById_.find(item.identifier);
    Node* child = id == inoById_.end() ? nullptr : findNode(id->second);
    return child && !child->localChildren.empty();
  };
  if (hasLocalChildren()) return ENOTEMPTY;
  lock.unlock();

  // Deleting a folder removes its whole tree on the service, so emptiness is
  // checked on a fresh listing, never on the cached one.
  auto children = provider_.list(item.identifier);
  if (!children) return failed("rmdir", what, children.error());
  if (!children->empty()) return ENOTEMPTY;
  lock.lock();
  if (hasLocalChildren()) return ENOTEMPTY;
  lock.unlock();

  auto removed = provider_.remove(item.identifier, item.version, false);
  if (!removed) return failed("rmdir", what, removed.error());

  lock.lock();
  if (Node* n = forgetRemovedLocked(parent, name, item.identifier)) {
    n->listing.reset();
    ++n->listingSerial;
  }
  return 0;
}

// ---------------------------------------------------------------- contents

ErrnoOr<fs::path> MountFs::fetchContents(Ino ino, const ItemState& item) {
  std::string what = describe(item.filename, item.identifier);
  auto fetched = provider_.fetch(item.identifier, item.version);
  if (!fetched) return fp::fail(Errno{failed("fetch", what, fetched.error())});
  std::string version =
      fetched->item ? fetched->item->version.contentVersion : item.version.contentVersion;
  auto stored = cache_.store(item.identifier, version, fetched->path);
  if (!stored) {
    return fp::fail(Errno{refused("fetch", what, stored.error().value,
                                  "cannot copy the contents into the cache: " +
                                      std::string(std::strerror(stored.error().value)))});
  }
  if (fetched->item) {
    bool changed = false;
    {
      std::lock_guard lock(mu_);
      Node* n = findNode(ino);
      if (n && !n->work && !n->local && !n->item.sameAttributes(*fetched->item)) {
        n->item = *fetched->item;
        changed = true;
      }
    }
    if (changed) notifier_.forgetInode(ino, false);
  }
  return *stored;
}

ErrnoOr<fs::path> MountFs::contentsOf(Ino ino) {
  ItemState item;
  {
    std::lock_guard lock(mu_);
    Node* n = findNode(ino);
    if (!n) return fp::fail(Errno{ENOENT});
    item = n->item;
  }
  if (auto hit = cache_.find(item.identifier, item.version.contentVersion)) return *hit;

  // Several openers of one version share one fetch.
  std::string key = item.identifier + '\0' + item.version.contentVersion;
  std::promise<ErrnoOr<fs::path>> promise;
  std::shared_future<ErrnoOr<fs::path>> result;
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
    promise.set_value(fetchContents(ino, item));
    std::lock_guard lock(mu_);
    fetches_.erase(key);
  }
  return result.get();
}

ErrnoOr<std::shared_ptr<MountFs::WorkingCopy>> MountFs::newWorkingCopy(Ino ino, bool empty) {
  auto file = cache_.newWorkFile();
  if (!file) return fp::fail(file.error());
  auto copy = std::make_shared<WorkingCopy>();
  copy->path = std::move(file->path);
  copy->fd = std::move(file->fd);
  if (!empty) {
    auto contents = contentsOf(ino);
    int e = contents ? copyFileInto(*contents, copy->fd.get()) : contents.error().value;
    if (e != 0) {
      std::error_code ec;
      fs::remove(copy->path, ec);
      return fp::fail(Errno{e});
    }
  }
  return copy;
}

ErrnoOr<OpenReply> MountFs::open(Ino ino, int flags) {
  bool writable = (flags & O_ACCMODE) != O_RDONLY;
  bool truncate = writable && (flags & O_TRUNC);
  Lock lock(mu_);
  Node* n = findNode(ino);
  if (!n) return fp::fail(Errno{ENOENT});
  if (n->item.isFolder) return fp::fail(Errno{EISDIR});
  std::string what = describe(n->name, n->item.identifier);
  if (writable && !n->item.allows(fp::capability::kAllowsWriting)) {
    return fp::fail(Errno{refused("write", what, EACCES, "the file is read-only (locked)")});
  }

  auto h = std::make_shared<Handle>();
  h->ino = ino;
  h->writable = writable;
  if (!n->work && writable) {
    lock.unlock();
    auto copy = newWorkingCopy(ino, truncate);
    if (!copy) {
      return fp::fail(Errno{refused("open", what, copy.error().value, "no working copy")});
    }
    lock.lock();
    n = findNode(ino);
    if (!n) return fp::fail(Errno{ENOENT});
    if (!n->work) {
      n->work = std::move(*copy);
      if (truncate) n->work->changes.store(1);
      truncate = false;
    } else {
      std::error_code ec;
      fs::remove((*copy)->path, ec);  // someone else opened it for writing meanwhile
    }
  } else if (!n->work) {
    lock.unlock();
    auto contents = contentsOf(ino);
    if (!contents) return fp::fail(contents.error());
    fp::ScopedFD fd(
        fp::retryOnEintr([&] { return ::open(contents->c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!fd) return fp::fail(Errno{refused("open", what, errno, "cached contents are gone")});
    lock.lock();
    n = findNode(ino);
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

ErrnoOr<std::pair<EntryReply, OpenReply>> MountFs::create(Ino parent, std::string_view nameView,
                                                          int flags) {
  std::string name(nameView);
  Lock lock(mu_);
  if (int e = ensureListingLocked(lock, parent)) return fp::fail(Errno{e});
  Node* dir = findNode(parent);
  if (!dir->item.allows(fp::capability::kAllowsAddingSubItems)) {
    return fp::fail(
        Errno{refused("create", describe(name, {}), EACCES, "the folder does not allow adding")});
  }
  lock.unlock();
  auto file = cache_.newWorkFile();
  if (!file) return fp::fail(file.error());
  auto copy = std::make_shared<WorkingCopy>();
  copy->path = std::move(file->path);
  copy->fd = std::move(file->fd);
  copy->changes.store(1);  // even an empty new file is to be created

  lock.lock();
  if (int e = ensureListingLocked(lock, parent)) {
    std::error_code ec;
    fs::remove(copy->path, ec);
    return fp::fail(Errno{e});
  }
  dir = findNode(parent);
  if (dir->listing->byName.count(name) || dir->localChildren.count(name)) {
    std::error_code ec;
    fs::remove(copy->path, ec);
    return fp::fail(Errno{EEXIST});
  }
  auto node = std::make_unique<Node>();
  node->ino = nextIno_++;
  node->local = true;
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
  nodes_[ino] = std::move(node);
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
                                    off_t offset) {
  std::shared_ptr<WorkingCopy> work;
  {
    std::lock_guard lock(mu_);
    auto it = handles_.find(fh);
    if (it == handles_.end() || !it->second->writable || !it->second->work) {
      return fp::fail(Errno{EBADF});
    }
    work = it->second->work;
  }
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = fp::retryOnEintr([&] {
      return pwrite(work->fd.get(), data + done, size - done, offset + static_cast<off_t>(done));
    });
    if (n < 0) return fp::fail(Errno{errno});
    done += static_cast<std::size_t>(n);
  }
  work->changes.fetch_add(1);
  return done;
}

int MountFs::uploadNode(Ino ino) {
  std::shared_ptr<WorkingCopy> work;
  {
    std::lock_guard lock(mu_);
    Node* n = findNode(ino);
    if (!n || !n->work || n->unlinked) return 0;
    work = n->work;
  }
  std::lock_guard uploading(work->uploadMutex);
  bool local;
  ItemState item;
  std::string name;
  std::uint64_t changes;
  {
    std::lock_guard lock(mu_);
    Node* n = findNode(ino);
    if (!n || n->unlinked || n->work != work) return 0;
    changes = work->changes.load();
    if (changes == work->uploaded.load()) return 0;
    local = n->local;
    item = n->item;
    name = n->name;
  }
  std::string what = describe(name, item.identifier);
  struct stat ws {};
  if (fstat(work->fd.get(), &ws) != 0) return refused("upload", what, errno, "working copy lost");

  ItemState fresh;
  if (local) {
    auto created =
        provider_.create(TemplateItem::forNew(item.parent, item.filename, false), work->path);
    if (!created) return failed("create", what, created.error());
    ItemState expected = item;
    expected.size = ws.st_size;
    expected.modified = now();
    fresh = reread(*created, expected);
  } else {
    TemplateItem changed(item.identifier, item.parent, item.filename, std::nullopt);
    auto modified = provider_.modify(changed, item.version, fp::field::kContents, work->path);
    if (!modified) return failed("write", what, modified.error());
    ItemState expected = item;
    expected.size = ws.st_size;
    expected.modified = now();
    fresh = reread(*modified, expected);
  }

  Lock lock(mu_);
  work->uploaded.store(changes);
  Node* n = findNode(ino);
  if (!n) return 0;
  if (n->unlinked && local) {
    // Removed while it was being created: it must not stay on the service.
    lock.unlock();
    if (auto removed = provider_.remove(fresh.identifier, fresh.version, false); !removed) {
      failed("delete", describe(name, fresh.identifier), removed.error());
    }
    return 0;
  }
  if (local && (n->item.filename != item.filename || n->item.parent != item.parent)) {
    // Renamed or moved while it was being created: send that too.
    fp::ItemFields fields = 0;
    if (n->item.filename != item.filename) fields |= fp::field::kFilename;
    if (n->item.parent != item.parent) fields |= fp::field::kParentItemIdentifier;
    TemplateItem moved(fresh.identifier, n->item.parent, n->item.filename, std::nullopt);
    ItemState expected = fresh;
    expected.parent = n->item.parent;
    expected.filename = n->item.filename;
    lock.unlock();
    auto r = provider_.modify(moved, fresh.version, fields, std::nullopt);
    if (!r) return failed("rename", describe(name, fresh.identifier), r.error());
    fresh = reread(*r, expected);
    lock.lock();
    n = findNode(ino);
    if (!n) return 0;
  }
  n->item = fresh;
  // The kernel's cached data is what was just written, now under the new version.
  n->kernelContentVersion = fresh.version.contentVersion;
  Node* dir = findNode(n->parent);
  if (local) {
    n->local = false;
    inoById_[fresh.identifier] = ino;
    if (dir) dir->localChildren.erase(n->name);
  }
  if (dir && dir->listing) {
    dir->listing->byName.insert_or_assign(n->name, fresh);
    ++dir->listingSerial;
  }
  return 0;
}

int MountFs::flush(std::uint64_t fh) {
  Ino ino;
  {
    std::lock_guard lock(mu_);
    auto it = handles_.find(fh);
    if (it == handles_.end()) return EBADF;
    Node* n = findNode(it->second->ino);
    if (!n) return 0;
    if (!it->second->writable && !n->local) return 0;
    ino = n->ino;
  }
  return uploadNode(ino);
}

int MountFs::fsync(std::uint64_t fh) { return flush(fh); }

void MountFs::release(std::uint64_t fh) {
  std::shared_ptr<Handle> h;
  bool last = false;
  {
    std::lock_guard lock(mu_);
    auto it = handles_.find(fh);
    if (it == handles_.end()) return;
    h = std::move(it->second);
    handles_.erase(it);
    Node* n = findNode(h->ino);
    if (!n) return;
    if (n->opens > 0) --n->opens;
    last = n->opens == 0;
  }
  if (!last) return;
  // The last close: what a failed flush left unsent gets one more try.
  bool sendFailed = uploadNode(h->ino) != 0;
  releaseWorkIfIdle(h->ino, sendFailed);
}

void MountFs::releaseWorkIfIdle(Ino ino, bool sendFailed) {
  std::shared_ptr<WorkingCopy> work;
  std::string name;
  ItemState item;
  bool keep = false;
  {
    std::lock_guard lock(mu_);
    Node* n = findNode(ino);
    if (!n || n->opens > 0 || !n->work) return;
    if (n->work->dirty() && !n->unlinked && !sendFailed) return;  // someone is sending it
    work = std::move(n->work);
    name = n->name;
    item = n->item;
    keep = work->dirty() && !n->unlinked;
    if (n->local) {
      // A new file that never reached the service is not shown any longer.
      if (Node* dir = findNode(n->parent)) dir->localChildren.erase(n->name);
      n->unlinked = true;
      n->local = false;
    }
    maybeEraseLocked(ino);
  }
  if (keep) {
    fs::path kept = cache_.preserve(work->path, item.filename);
    log_.error("%{public}@ failed for %{public}@: %{public}@",
               {"upload", describe(name, item.identifier),
                kept.empty() ? std::string("the changes could not be kept")
                             : "the changes are kept in " + kept.string()});
  } else if (!item.identifier.empty() && !item.version.contentVersion.empty() && !work->dirty()) {
    cache_.adopt(item.identifier, item.version.contentVersion, work->path);
  } else {
    std::error_code ec;
    fs::remove(work->path, ec);
  }
}

ErrnoOr<struct stat> MountFs::setattr(Ino ino, std::optional<off_t> size,
                                      std::optional<std::uint64_t> fh) {
  if (!size) return getattr(ino);  // mode, owner and times: the service decides them
  if (*size < 0) return fp::fail(Errno{EINVAL});
  Lock lock(mu_);
  Node* n = findNode(ino);
  if (!n) return fp::fail(Errno{ENOENT});
  if (n->item.isFolder) return fp::fail(Errno{EISDIR});
  std::string what = describe(n->name, n->item.identifier);
  if (!n->item.allows(fp::capability::kAllowsWriting)) {
    return fp::fail(Errno{refused("truncate", what, EACCES, "the file is read-only (locked)")});
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
    auto copy = newWorkingCopy(ino, *size == 0);
    if (!copy) return fp::fail(copy.error());
    lock.lock();
    n = findNode(ino);
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
  if (!sendNow) return attrOf(*n);
  lock.unlock();
  int e = uploadNode(ino);
  releaseWorkIfIdle(ino, e != 0);
  if (e != 0) return fp::fail(Errno{e});
  return getattr(ino);
}

// ---------------------------------------------------------------- removal, renaming

int MountFs::unlink(Ino parent, std::string_view nameView) {
  std::string name(nameView);
  Lock lock(mu_);
  if (int e = ensureListingLocked(lock, parent)) return e;
  Node* dir = findNode(parent);
  if (auto it = dir->localChildren.find(name); it != dir->localChildren.end()) {
    // Not on the service yet: forgetting it locally is all there is to do.
    if (Node* n = findNode(it->second)) {
      n->unlinked = true;
      n->local = false;
    }
    Ino child = it->second;
    dir->localChildren.erase(it);
    maybeEraseLocked(child);
    return 0;
  }
  auto it = dir->listing->byName.find(name);
  if (it == dir->listing->byName.end()) return ENOENT;
  ItemState item = it->second;
  std::string what = describe(name, item.identifier);
  if (item.isFolder) return EISDIR;
  if (!item.allows(fp::capability::kAllowsDeleting)) {
    return refused("delete", what, EACCES, "the file does not allow deleting (locked)");
  }
  lock.unlock();

  auto removed = provider_.remove(item.identifier, item.version, false);
  if (!removed) return failed("delete", what, removed.error());

  lock.lock();
  forgetRemovedLocked(parent, name, item.identifier);
  return 0;
}

void MountFs::applyMoveLocked(Ino parent, const std::string& name, Ino newParent,
                              const std::string& newName, const ItemState& item) {
  if (Node* from = findNode(parent); from && from->listing) {
    from->listing->byName.erase(name);
    ++from->listingSerial;
  }
  if (Node* to = findNode(newParent); to && to->listing) {
    to->listing->byName.insert_or_assign(newName, item);
    ++to->listingSerial;
  }
  if (auto id = inoById_.find(item.identifier); id != inoById_.end()) {
    if (Node* n = findNode(id->second)) {
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
}

int MountFs::rename(Ino parent, std::string_view name, Ino newParent, std::string_view newName,
                    unsigned flags) {
  if (flags & ~static_cast<unsigned>(RENAME_NOREPLACE)) return EINVAL;
  return renameAttempt(parent, std::string(name), newParent, std::string(newName), flags, true);
}

int MountFs::renameAttempt(Ino parent, const std::string& name, Ino newParent,
                           const std::string& newName, unsigned flags, bool mayUploadFirst) {
  Lock lock(mu_);
  // Both listings must be at hand at once; reading one may drop the lock.
  for (int attempt = 0;; ++attempt) {
    if (int e = ensureListingLocked(lock, parent)) return e;
    if (int e = ensureListingLocked(lock, newParent)) return e;
    Node* p = findNode(parent);
    if (!p) return ENOENT;
    if (p->listing) break;
    if (attempt == 3) return EIO;
  }
  Node* from = findNode(parent);
  Node* to = findNode(newParent);
  if (parent == newParent && name == newName) return 0;

  // The item being renamed: a new local file, or an item of the listing.
  Ino localSource = 0;
  ItemState source;
  if (auto it = from->localChildren.find(name); it != from->localChildren.end()) {
    localSource = it->second;
    source = findNode(localSource)->item;
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
    return refused("rename", what, EACCES, "the target folder does not allow adding");
  }
  std::string newDisplay = displayName(newName);
  fp::ItemIdentifier newParentId = to->item.identifier;

  if (localTarget) {
    // A new file that is still being written loses its name to the one moved here.
    if (Node* t = findNode(localTarget)) {
      t->unlinked = true;
      t->local = false;
    }
    to->localChildren.erase(newName);
    maybeEraseLocked(localTarget);
  }
  if (localSource) {
    if (!target) {
      Node* n = findNode(localSource);
      from->localChildren.erase(name);
      to->localChildren[newName] = localSource;
      n->parent = newParent;
      n->name = newName;
      n->item.parent = newParentId;
      n->item.filename = newDisplay;
      return 0;
    }
    if (!mayUploadFirst) return EIO;
    // Replacing an item on the service: send the new file first, then rename it.
    lock.unlock();
    if (int e = uploadNode(localSource)) return e;
    return renameAttempt(parent, name, newParent, newName, flags, false);
  }

  fp::ItemFields fields = 0;
  if (newDisplay != source.filename) fields |= fp::field::kFilename;
  if (parent != newParent) fields |= fp::field::kParentItemIdentifier;
  if ((fields & fp::field::kFilename) && !source.allows(fp::capability::kAllowsRenaming)) {
    return refused("rename", what, EACCES, "the item does not allow renaming (locked)");
  }
  if ((fields & fp::field::kParentItemIdentifier) &&
      !source.allows(fp::capability::kAllowsReparenting)) {
    return refused("rename", what, EACCES, "the item does not allow moving (locked)");
  }
  std::string targetWhat = target ? describe(newName, target->identifier) : std::string();
  if (target &&
      !target->allows(fp::capability::kAllowsRenaming | fp::capability::kAllowsDeleting)) {
    return refused("rename", targetWhat, EACCES, "the item to replace is locked");
  }
  if (target && target->isFolder) {
    auto id = inoById_.find(target->identifier);
    Node* t = id == inoById_.end() ? nullptr : findNode(id->second);
    if (t && !t->localChildren.empty()) return ENOTEMPTY;
  }
  lock.unlock();

  if (target && target->isFolder) {
    auto children = provider_.list(target->identifier);
    if (!children) return failed("rename", targetWhat, children.error());
    if (!children->empty()) return ENOTEMPTY;
  }

  auto move = [&] {
    return provider_.modify(TemplateItem(source.identifier, newParentId, newDisplay, std::nullopt),
                            source.version, fields, std::nullopt);
  };
  ItemState expected = source;
  expected.parent = newParentId;
  expected.filename = newDisplay;

  if (!target) {
    auto moved = move();
    if (!moved) return failed("rename", what, moved.error());
    ItemState fresh = reread(*moved, expected);
    lock.lock();
    applyMoveLocked(parent, name, newParent, newName, fresh);
    return 0;
  }

  // Replacing an item: move it aside, move the source in, then delete it. A
  // failing step leaves both items on the service: the first changes nothing, the
  // second puts the replaced item back, the third leaves it under the aside name.
  std::string aside = asideName(target->filename);
  auto asideResult =
      provider_.modify(TemplateItem(target->identifier, target->parent, aside, std::nullopt),
                       target->version, fp::field::kFilename, std::nullopt);
  if (!asideResult) return failed("rename", targetWhat, asideResult.error());
  ItemState asideItem = *target;
  asideItem.filename = aside;
  asideItem = reread(*asideResult, asideItem);

  auto moved = move();
  if (!moved) {
    int e = failed("rename", what, moved.error());
    auto back = provider_.modify(
        TemplateItem(target->identifier, target->parent, target->filename, std::nullopt),
        asideItem.version, fp::field::kFilename, std::nullopt);
    if (!back) {
      failed("restore", targetWhat + " (now named " + aside + ")", back.error());
      lock.lock();
      applyMoveLocked(newParent, newName, newParent, posixName(aside), asideItem);
    }
    return e;
  }
  ItemState fresh = reread(*moved, expected);

  auto removed = provider_.remove(target->identifier, asideItem.version, target->isFolder);
  lock.lock();
  if (!removed) {
    failed("delete", targetWhat + " (replaced, left as " + aside + ")", removed.error());
    applyMoveLocked(newParent, newName, newParent, posixName(aside), asideItem);
  } else if (auto id = inoById_.find(target->identifier); id != inoById_.end()) {
    if (Node* n = findNode(id->second)) n->unlinked = true;
  }
  applyMoveLocked(parent, name, newParent, newName, fresh);
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
      log_.error("%{public}@ failed for %{public}@: %{public}@",
                 {"change check", workingSet, check.error->description()});
      return;
  }
  refresh();
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
    for (auto& [ino, n] : nodes_) {
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
    Node* dir = findNode(d.ino);
    if (!dir || !dir->listing) continue;
    if (!items || dir->listingSerial != d.serial) {
      // Cannot compare: drop the listing and have the kernel ask for every name.
      for (const auto& [name, item] : dir->listing->byName) entries.emplace_back(d.ino, name);
      dir->listing.reset();
      ++dir->listingSerial;
      inodes.emplace_back(d.ino, true);
      continue;
    }
    auto fresh = buildListing(*dir, *items);
    bool namesChanged = fresh->byName.size() != dir->listing->byName.size();
    for (const auto& [name, old] : dir->listing->byName) {
      auto it = fresh->byName.find(name);
      if (it == fresh->byName.end() || it->second.identifier != old.identifier) {
        entries.emplace_back(d.ino, name);
        namesChanged = true;
      }
    }
    for (const auto& [name, item] : fresh->byName) {
      auto id = inoById_.find(item.identifier);
      Node* n = id == inoById_.end() ? nullptr : findNode(id->second);
      if (!n || n->local) continue;
      n->attrStale = false;
      if (n->work || n->item.sameAttributes(item)) continue;
      bool contents = n->item.version.contentVersion != item.version.contentVersion;
      n->item = item;
      inodes.emplace_back(n->ino, contents && !n->item.isFolder);
    }
    if (namesChanged) inodes.emplace_back(d.ino, true);
    dir->listing = std::move(fresh);
    ++dir->listingSerial;
  }
  {
    // What no listing vouched for is asked for again when the kernel next wants it.
    std::lock_guard lock(mu_);
    for (auto& [ino, n] : nodes_) {
      if (n->attrStale && n->lookups > 0) inodes.emplace_back(ino, false);
    }
  }
  for (const auto& [parent, name] : entries) notifier_.forgetEntry(parent, name);
  for (const auto& [ino, contents] : inodes) notifier_.forgetInode(ino, contents);
}

void MountFs::finishPendingUploads() {
  std::vector<Ino> withWork;
  {
    // The kernel has gone, and with it every open handle.
    std::lock_guard lock(mu_);
    handles_.clear();
    dirHandles_.clear();
    for (const auto& [ino, n] : nodes_) {
      n->opens = 0;
      if (n->work) withWork.push_back(ino);
    }
  }
  for (Ino ino : withWork) {
    bool sendFailed = uploadNode(ino) != 0;
    releaseWorkIfIdle(ino, sendFailed);
  }
}

}  // namespace fpctl::mount
