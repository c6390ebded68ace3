#include "fileprovider/fpctl/mount/node_tree.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "fileprovider/fpctl/mount/cache_folder.h"
#include "fileprovider/fpctl/mount/name_codec.h"
#include "fileprovider/fpctl/mount/namesake_key.h"
#include "fileprovider/fpctl/mount/open_files.h"
#include "fileprovider/fpctl/mount/pending_edits.h"
#include "fileprovider/fpctl/mount/upload_queue.h"

namespace fpctl::mount {

void NodeTree::addRoot(const ItemState& root) {
  std::lock_guard lock(s_.mu);
  ItemState item = root;
  item.identifier = std::string(fp::kRootContainer);
  item.isFolder = true;
  s_.inodes.addRoot(item);
}

struct stat NodeTree::attrOf(const Node& node) const {
  struct stat st = statFor(node.item, node.ino, s_.uid, s_.gid);
  s_.dates.apply(st, node.item);
  if (node.work) {
    struct stat ws {};
    if (fstat(node.work->fd.get(), &ws) == 0) {
      st.st_size = ws.st_size;
      st.st_blocks = (ws.st_size + 511) / 512;
      st.st_mtim = ws.st_mtim;
      st.st_ctim = ws.st_mtim;
    }
    if (node.work->keptMode) applyMode(st, node.item, *node.work->keptMode);
  }
  return st;
}

std::unique_ptr<Listing> NodeTree::listingFor(const Node& dir, std::vector<ItemState> items,
                                              const std::vector<QueuedChange>& editsBefore) const {
  std::map<std::uint64_t, QueuedChange> edits;
  for (const auto& e : editsBefore) edits.emplace(e.seq, e);
  for (auto& e : s_.cache.queue().pendingEdits()) edits.insert_or_assign(e.seq, std::move(e));
  std::vector<QueuedChange> inOrder;
  for (auto& [seq, e] : edits) inOrder.push_back(std::move(e));
  return std::make_unique<Listing>(
      buildListing(withPendingEdits(dir.item.identifier, std::move(items), inOrder,
                                    [this](const fp::ItemIdentifier& identifier) {
                                      const Node* n = s_.inodes.findItem(identifier);
                                      return n && !n->local ? &n->item : nullptr;
                                    }),
                   [&](const std::string& name) { return dir.localChildren.count(name) > 0; }));
}

void NodeTree::editListingLocked(Node& dir, const std::function<void(Listing&)>& edit) {
  if (dir.listing) edit(*dir.listing);
  // Also when a listing is held: it may be dropped before a read under way
  // (which may predate this edit) is installed.
  if (dir.listingReaders > 0) dir.editsWhileRead.push_back(edit);
  ++dir.listingSerial;
  s_.notifier.forgetInode(dir.ino, true);  // the names the kernel kept of the folder
}

void NodeTree::installListingLocked(Node& dir, std::unique_ptr<Listing> listing) {
  for (const auto& edit : dir.editsWhileRead) edit(*listing);
  for (const auto& [name, item] : listing->byName) {
    Node* n = s_.inodes.peekItem(item.identifier);
    if (!n || n->local) continue;
    if (!n->work) n->item = ItemState::in(item, dir.item.identifier);
    n->attrStale = false;
  }
  // An entry the kernel holds gets its node before the entry changes.
  listing->beforeChange = [this, ino = dir.ino](const std::string& name) {
    Node* d = s_.inodes.peek(ino);
    if (!d || !d->listing || d->heldChildren == 0) return;
    auto at = d->listing->byName.find(name);
    if (at == d->listing->byName.end()) return;
    const Ino item = s_.inodes.inoFor(at->second.identifier);
    const HeldItem* h = s_.inodes.held(item);
    if (h && h->parent == ino && h->name == &at->first) (void)s_.inodes.find(item);
  };
  dir.listing = std::move(listing);
  ++dir.listingSerial;
}

void NodeTree::replaceListingLocked(Node& dir, std::unique_ptr<Listing> fresh) {
  if (dir.heldChildren > 0 && dir.listing) {
    for (Ino ino : s_.inodes.heldIn(dir.ino)) {
      const HeldItem* h = s_.inodes.held(ino);
      auto was = dir.listing->byName.find(*h->name);
      auto now = fresh->byName.find(*h->name);
      if (now != fresh->byName.end() && was != dir.listing->byName.end() &&
          s_.inodes.inoFor(now->second.identifier) == ino) {
        if (!was->second.sameAttributes(now->second)) {
          const bool contents =
              was->second.version.contentVersion != now->second.version.contentVersion;
          s_.notifier.forgetInode(ino, contents && !now->second.isFolder);
        }
        s_.inodes.relist(ino, *now);
        continue;
      }
      // Gone from here, or another item has the name now: what the kernel
      // holds is the item as it was.
      if (Node* n = s_.inodes.find(ino)) n->attrStale = true;
    }
  }
  if (dir.listing) fresh->beforeChange = std::move(dir.listing->beforeChange);
  dir.listing = std::move(fresh);
  ++dir.listingSerial;
}

void NodeTree::dropListingLocked(Node& dir) {
  if (dir.heldChildren > 0 && dir.listing) {
    for (Ino ino : s_.inodes.heldIn(dir.ino)) {
      if (Node* n = s_.inodes.find(ino)) n->attrStale = true;
    }
  }
  dir.listing.reset();
  ++dir.listingSerial;
}

struct stat NodeTree::listedAttrOf(const ListedItem& item, Ino ino) const {
  struct stat st = statFor(item, ino, s_.uid, s_.gid);
  s_.dates.apply(st, item);
  return st;
}

ErrnoOr<Node*> NodeTree::folderForLocked(Lock& lock, Ino parent, std::string_view name,
                                         const fp::Progress* cancel) {
  if (!fitsKernel(name)) return fp::fail(Errno{ENAMETOOLONG});
  if (auto listed = ensureListingLocked(lock, parent, cancel); !listed) {
    return fp::fail(listed.error());
  }
  return s_.inodes.find(parent);
}

ErrnoOr<void> NodeTree::ensureListingLocked(Lock& lock, Ino dir, const fp::Progress* cancel) {
  Node* n = s_.inodes.find(dir);
  if (!n) return fp::fail(Errno{ENOENT});
  if (!n->item.isFolder) return fp::fail(Errno{ENOTDIR});
  if (n->listing) return fp::Ok{};
  fp::ItemIdentifier id = n->item.identifier;
  if (isLocalIdentifier(id)) {
    // Made here, not on the service yet: what it holds is what was put in it.
    installListingLocked(*n, listingFor(*n, {}));
    restoreWaitingLocked(lock, dir);
    return fp::Ok{};
  }
  std::string what = describe(n->name, id);
  // What this mount changes in the folder while it is read is recorded, and
  // applied to what was read (see Node::editsWhileRead).
  ++n->listingReaders;
  const std::vector<QueuedChange> editsBefore = s_.cache.queue().pendingEdits();
  lock.unlock();
  auto items = s_.provider.list(id, cancel);
  lock.lock();
  n = s_.inodes.find(dir);
  if (!n) return fp::fail(Errno{ENOENT});
  const bool large = items && items->size() >= kLargeListing;
  if (items && !n->listing) {
    installListingLocked(*n, listingFor(*n, std::move(*items), editsBefore));
  }
  if (--n->listingReaders == 0) n->editsWhileRead.clear();
  if (!items) return fp::fail(s_.logFailure("list", what, items.error()));
  if (large) {
    // What reading it took (the extension's items, their copies) is freed
    // amid what stays: it goes back to the system.
    lock.unlock();
    ::malloc_trim(0);
    lock.lock();
  }
  restoreWaitingLocked(lock, dir);
  return fp::Ok{};
}

void NodeTree::restoreWaitingLocked(Lock& lock, Ino dir) {
  Node* d = s_.inodes.find(dir);
  if (!d || !d->listing) return;
  std::vector<QueuedChange> mine = waitingInLocked(d->item.identifier);
  if (mine.empty()) return;
  // Working copies of the queued contents, made without the lock.
  std::vector<std::shared_ptr<WorkingCopy>> copies(mine.size());
  lock.unlock();
  for (std::size_t i = 0; i < mine.size(); ++i) {
    if (mine[i].kind == ChangeKind::kState) copies[i] = workingCopyOf(mine[i]);
  }
  lock.lock();
  d = s_.inodes.find(dir);
  if (!d) {
    for (auto& copy : copies) {
      if (copy) s_.cache.dropWorkFile(copy->path);
    }
    return;
  }
  for (std::size_t i = 0; i < mine.size(); ++i) placeWaitingLocked(dir, *d, mine[i], copies[i]);
}

std::vector<QueuedChange> NodeTree::waitingInLocked(const fp::ItemIdentifier& folder) {
  std::vector<QueuedChange> mine;
  for (auto& c : s_.cache.queue().carriedOver()) {
    if (restored_.count(c.seq) || s_.cache.queue().resolve(c.parent) != folder) continue;
    const bool newFolder = c.kind == ChangeKind::kMakeFolder;
    if (c.isEdit() && !newFolder) continue;
    restored_.insert(c.seq);
    if (newFolder && s_.inodes.findItem(c.identifier)) continue;  // made in this run
    if (!newFolder) {
      // A state closed in this run belongs to its file's node already.
      bool owned = false;
      for (const auto& [ino, n] : s_.inodes.all()) {
        owned |= n->work && n->work->queuedSeq == c.seq;
      }
      if (owned) continue;
    }
    mine.push_back(std::move(c));
  }
  return mine;
}

std::shared_ptr<WorkingCopy> NodeTree::workingCopyOf(const QueuedChange& state) {
  auto file = s_.cache.newWorkFile();
  fp::ScopedFD in = openInCache(state.data, O_RDONLY);
  if (!file || !in || !copyDescriptorInto(in.get(), file->fd.get())) {
    if (file) s_.cache.dropWorkFile(file->path);
    s_.log.error("the queued state %{public}@ of %{public}@ cannot be shown: %{public}@",
                 {state.data.string(), state.filename, std::string(std::strerror(errno))});
    return nullptr;
  }
  auto copy = std::make_shared<WorkingCopy>();
  copy->path = std::move(file->path);
  copy->fd = std::move(file->fd);
  copy->changes.store(1);
  copy->uploaded.store(1);
  copy->queuedOnly.store(true);
  copy->waiting.store(true);
  copy->queuedSeq = state.seq;
  copy->queuedKey = state.key();
  copy->localToken = state.local;
  return copy;
}

void NodeTree::placeWaitingLocked(Ino dir, Node& d, const QueuedChange& c,
                                  std::shared_ptr<WorkingCopy>& copy) {
  const std::string name = posixName(c.filename);
  if (c.kind == ChangeKind::kMakeFolder) {
    Node& n = s_.inodes.nodeForItem(dir, name, c.item);
    n.local = true;
    d.localChildren[name] = n.ino;
    return;
  }
  if (!copy) return;
  Node* n = nullptr;
  if (!c.identifier.empty()) {
    // A newer state of a file the folder lists.
    auto listed = std::find_if(d.listing->byName.begin(), d.listing->byName.end(),
                               [&](const auto& e) { return e.second.identifier == c.identifier; });
    if (listed == d.listing->byName.end()) {
      s_.cache.dropWorkFile(copy->path);
      return;
    }
    n = &s_.inodes.nodeForItem(dir, listed->first,
                               ItemState::in(listed->second, d.item.identifier));
    if (n->work) {
      s_.cache.dropWorkFile(copy->path);
      return;
    }
  } else {
    n = &s_.inodes.addLocal();
    n->parent = dir;
    n->name = name;
    n->item.parent = c.parent;
    n->item.filename = c.filename;
    n->item.capabilities = kNewItemCapabilities;
    d.localChildren[name] = n->ino;
  }
  n->item.size = c.size;
  n->work = std::move(copy);
}

ErrnoOr<EntryReply> NodeTree::lookup(Ino parent, std::string_view nameView,
                                     const fp::Progress* cancel) {
  if (!fitsKernel(nameView)) return fp::fail(Errno{ENAMETOOLONG});
  std::string name(nameView);
  Lock lock(s_.mu);
  if (auto listed = ensureListingLocked(lock, parent, cancel); !listed) {
    return fp::fail(listed.error());
  }
  Node& dir = *s_.inodes.find(parent);
  if (auto it = dir.localChildren.find(name); it != dir.localChildren.end()) {
    if (Node* n = s_.inodes.find(it->second)) {
      ++n->lookups;
      return EntryReply{n->ino, attrOf(*n)};
    }
  }
  auto it = dir.listing->byName.find(name);
  if (it == dir.listing->byName.end()) return fp::fail(Errno{ENOENT});
  const Ino ino = s_.inodes.inoFor(it->second.identifier);
  if (!s_.inodes.peek(ino)) {
    // Its name and attributes are all the kernel asks for now: no node.
    s_.inodes.hold(parent, *it, ino);
    return EntryReply{ino, listedAttrOf(it->second, ino)};
  }
  Node& n = s_.inodes.nodeForItem(parent, name, ItemState::in(it->second, dir.item.identifier));
  ++n.lookups;
  return EntryReply{n.ino, attrOf(n)};
}

void NodeTree::forget(Ino ino, std::uint64_t count) {
  // Once the kernel let go of many items (a large folder it no longer holds),
  // the memory of their nodes goes back to the system: freed memory amid the
  // heap otherwise stays with the process.
  {
    std::lock_guard lock(s_.mu);
    s_.inodes.forget(ino, count);
    droppedSinceTrim_ += s_.inodes.takeDropped();
    if (droppedSinceTrim_ < kLargeListing) return;
    droppedSinceTrim_ = 0;
  }
  ::malloc_trim(0);
}

ErrnoOr<struct stat> NodeTree::getattr(Ino ino, const fp::Progress* cancel) {
  Lock lock(s_.mu);
  if (const HeldItem* h = s_.inodes.held(ino)) {
    // Described by its folder's listing, which the change check keeps current.
    const Node* dir = s_.inodes.peek(h->parent);
    if (dir && dir->listing) {
      auto at = dir->listing->byName.find(*h->name);
      if (at != dir->listing->byName.end() && s_.inodes.inoFor(at->second.identifier) == ino) {
        return listedAttrOf(at->second, ino);
      }
    }
  }
  Node* n = s_.inodes.find(ino);
  if (!n) return fp::fail(Errno{ENOENT});
  if (n->attrStale && !n->local && !n->work) {
    fp::ItemIdentifier id = n->item.identifier;
    lock.unlock();
    auto fresh = s_.provider.item(id, cancel);
    lock.lock();
    n = s_.inodes.find(ino);
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

ErrnoOr<void> NodeTree::access(Ino ino, int mask) {
  std::lock_guard lock(s_.mu);
  Node* n = s_.inodes.find(ino);
  if (!n) return fp::fail(Errno{ENOENT});
  if ((mask & W_OK) && !n->item.allows(fp::capability::kAllowsWriting))
    return fp::fail(Errno{EACCES});
  return fp::Ok{};
}

// ---------------------------------------------------------------- folders

ErrnoOr<std::uint64_t> NodeTree::opendir(Ino ino, const fp::Progress* cancel) {
  Lock lock(s_.mu);
  if (auto listed = ensureListingLocked(lock, ino, cancel); !listed) {
    return fp::fail(listed.error());
  }
  Node& dir = *s_.inodes.find(ino);
  auto h = std::make_shared<DirHandle>();
  h->ino = ino;
  h->entries.reserve(dir.listing->byName.size() + dir.localChildren.size() + 2);
  h->entries.push_back({".", ino});
  h->entries.push_back({"..", ino == kRootIno ? kRootIno : dir.parent});
  for (const auto& [name, item] : dir.listing->byName) {
    h->entries.push_back({name, s_.inodes.inoFor(item.identifier), true, item.isFolder});
  }
  for (const auto& [name, child] : dir.localChildren) {
    if (!dir.listing->byName.count(name)) h->entries.push_back({name, child});
  }
  std::uint64_t dh = s_.nextFh++;
  s_.dirHandles[dh] = std::move(h);
  return dh;
}

ErrnoOr<void> NodeTree::readdir(std::uint64_t dh, off_t offset, bool plus,
                                const std::function<bool(const DirEntry&, off_t)>& emit) {
  std::lock_guard lock(s_.mu);
  auto it = s_.dirHandles.find(dh);
  if (it == s_.dirHandles.end()) return fp::fail(Errno{EBADF});
  const DirHandle& h = *it->second;
  const Node* dir = s_.inodes.find(h.ino);
  for (auto i = static_cast<std::size_t>(std::max<off_t>(offset, 0)); i < h.entries.size(); ++i) {
    const auto& e = h.entries[i];
    DirEntry out;
    out.name = e.name;
    if (!e.listed) {
      Node* n = s_.inodes.peek(e.ino);
      if (!n) continue;  // a new file that went away since the folder was opened
      out.ino = n->ino;
      out.attr = attrOf(*n);
      bool dot = i < 2;
      if (!emit(out, static_cast<off_t>(i + 1))) break;
      if (plus && !dot) ++n->lookups;
      continue;
    }
    Node* n = s_.inodes.peek(e.ino);
    out.ino = e.ino;
    // Without a node, the item as the listing shows it now; none when it left
    // the listing since the folder was opened.
    const Listing::Entry* listed = nullptr;
    if (!n && dir && dir->listing) {
      auto at = dir->listing->byName.find(e.name);
      if (at != dir->listing->byName.end() && s_.inodes.inoFor(at->second.identifier) == e.ino) {
        listed = &*at;
      }
    }
    if (plus && ((n && n->lookups > 0 && !n->work && !n->local && !n->attrStale) ||
                 (!n && (!listed || s_.inodes.held(e.ino))))) {
      // The kernel has what it needs, or looks the name up when it does.
      out.held = true;
      out.attr.st_ino = e.ino;
      out.attr.st_mode = e.folder ? S_IFDIR : S_IFREG;
      if (!emit(out, static_cast<off_t>(i + 1))) break;
      continue;
    }
    if (n) {
      out.attr = attrOf(*n);
    } else if (listed) {
      out.attr = listedAttrOf(listed->second, e.ino);
    } else {
      out.attr.st_ino = e.ino;
      out.attr.st_mode = e.folder ? S_IFDIR : S_IFREG;
    }
    if (!emit(out, static_cast<off_t>(i + 1))) break;
    if (!plus) continue;
    if (n) {
      ++n->lookups;  // what it knows may be newer than the folder's snapshot
    } else if (listed) {
      s_.inodes.hold(h.ino, *listed, e.ino);
    }
  }
  return fp::Ok{};
}

void NodeTree::releasedir(std::uint64_t dh) {
  std::shared_ptr<DirHandle> h;  // destroyed outside the lock
  {
    std::lock_guard lock(s_.mu);
    if (auto it = s_.dirHandles.find(dh); it != s_.dirHandles.end()) {
      h = std::move(it->second);
      s_.dirHandles.erase(it);
    }
  }
  if (h && h->entries.size() >= kLargeListing && h.use_count() == 1) {
    h.reset();
    ::malloc_trim(0);  // the names it kept lay amid what stays
  }
}
Node* NodeTree::forgetRemovedLocked(Ino parent, const std::string& name,
                                    const fp::ItemIdentifier& identifier) {
  if (Node* dir = s_.inodes.find(parent)) {
    editListingLocked(*dir, [name, identifier](Listing& l) {
      auto at = l.byName.find(name);
      if (at != l.byName.end() && at->second.identifier == identifier) l.hide(name);
    });
  }
  Node* n = s_.inodes.findItem(identifier);
  if (n) n->unlinked = true;
  return n;
}

bool NodeTree::hasNamesakeLocked(Node& dir, const std::string& name) {
  std::string display = displayName(name);
  if (dir.listing->namesakeKeys().hasNamesake(display)) return true;
  if (dir.localChildren.empty()) return false;
  std::string key = namesakeKey(display);
  for (const auto& [local, ino] : dir.localChildren) {
    if (localNamesakeKeyLocked(local) == key) return true;
  }
  return false;
}

const std::string& NodeTree::localNamesakeKeyLocked(const std::string& name) {
  // A write-back mount may hold a thousand new files in one folder that are
  // not sent yet; each create compares its name with all of them.
  if (localKeys_.size() > 4096) localKeys_.clear();
  auto [it, added] = localKeys_.try_emplace(name);
  if (added) it->second = namesakeKey(displayName(name));
  return it->second;
}

std::vector<fp::ItemIdentifier> NodeTree::chainLocked(const Node& n) {
  std::vector<fp::ItemIdentifier> chain;
  const Node* at = &n;
  // Bounded: a table damaged into a loop must not hang the caller.
  for (int depth = 0; at && depth < 4096; ++depth) {
    if (!at->item.identifier.empty()) chain.push_back(at->item.identifier);
    if (at->ino == kRootIno) break;
    at = s_.inodes.find(at->parent);
  }
  return chain;
}

std::string NodeTree::pathLocked(const Node& n) {
  std::vector<std::string> names;
  const Node* at = &n;
  for (int depth = 0; at && at->ino != kRootIno && depth < 4096; ++depth) {
    names.push_back(at->name);
    at = s_.inodes.find(at->parent);
  }
  std::string path;
  for (auto it = names.rbegin(); it != names.rend(); ++it) path += "/" + *it;
  return path.empty() ? "/" : path;
}

}  // namespace fpctl::mount
