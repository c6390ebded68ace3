#include "fileprovider/fpctl/mount/open_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "fileprovider/fpctl/mount/cache_folder.h"
#include "fileprovider/fpctl/mount/fetcher.h"
#include "fileprovider/fpctl/mount/name_codec.h"
#include "fileprovider/fpctl/mount/node_tree.h"
#include "fileprovider/fpctl/mount/sender.h"

namespace fpctl::mount {
namespace fs = std::filesystem;

ErrnoOr<std::shared_ptr<WorkingCopy>> OpenFiles::newWorkingCopy(Ino ino, bool empty,
                                                                const fp::Progress* cancel) {
  auto file = s_.cache.newWorkFile();
  if (!file) return fp::fail(file.error());
  auto copy = std::make_shared<WorkingCopy>();
  copy->path = std::move(file->path);
  copy->fd = std::move(file->fd);
  if (!empty) {
    auto contents = fetcher_.contentsOf(ino, cancel);
    ErrnoOr<void> copied =
        contents ? copyDescriptorInto(contents->get(), copy->fd.get()) : fp::propagate(contents);
    if (!copied) {
      std::error_code ec;
      fs::remove(copy->path, ec);
      return fp::propagate(copied);
    }
  }
  return copy;
}

ErrnoOr<OpenReply> OpenFiles::open(Ino ino, int flags, const fp::Progress* cancel) {
  bool writable = (flags & O_ACCMODE) != O_RDONLY;
  bool truncate = writable && (flags & O_TRUNC);
  Lock lock(s_.mu);
  Node* n = s_.inodes.find(ino);
  // An unlinked node is reached only through a name the kernel still caches;
  // whatever is written to it would go nowhere.
  if (!n || n->unlinked) return fp::fail(Errno{ENOENT});
  if (n->item.isFolder) return fp::fail(Errno{EISDIR});
  std::string what = describe(n->name, n->item.identifier);
  if (writable && !n->item.allows(fp::capability::kAllowsWriting)) {
    return fp::fail(s_.logFailure("write", what, EACCES, "the file is read-only (locked)"));
  }

  auto h = std::make_shared<Handle>();
  h->ino = ino;
  h->writable = writable;
  if (!n->work && writable) {
    lock.unlock();
    auto copy = newWorkingCopy(ino, truncate, cancel);
    if (!copy) {
      return fp::fail(s_.logFailure("open", what, copy.error().value, "no working copy"));
    }
    lock.lock();
    n = s_.inodes.find(ino);
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
    auto contents = fetcher_.contentsOf(ino, cancel);
    if (!contents) return fp::fail(contents.error());
    fp::ScopedFD fd = std::move(*contents);
    lock.lock();
    n = s_.inodes.find(ino);
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
  reply.fh = s_.nextFh++;
  s_.handles[reply.fh] = std::move(h);
  return reply;
}

ErrnoOr<std::pair<EntryReply, OpenReply>> OpenFiles::create(Ino parent, std::string_view nameView,
                                                            int flags, const fp::Progress* cancel) {
  std::string name(nameView);
  Lock lock(s_.mu);
  auto folder = tree_.folderForLocked(lock, parent, name, cancel);
  if (!folder) return fp::fail(folder.error());
  Node* dir = *folder;
  if (!dir->item.allows(fp::capability::kAllowsAddingSubItems)) {
    return fp::fail(
        s_.logFailure("create", describe(name, {}), EACCES, "the folder does not allow adding"));
  }
  lock.unlock();
  auto file = s_.cache.newWorkFile();
  if (!file) return fp::fail(file.error());
  auto copy = std::make_shared<WorkingCopy>();
  copy->path = std::move(file->path);
  copy->fd = std::move(file->fd);
  copy->changes.store(1);  // even an empty new file is to be created
  copy->localToken = newLocalIdentifier();

  lock.lock();
  if (auto listed = tree_.ensureListingLocked(lock, parent, cancel); !listed) {
    std::error_code ec;
    fs::remove(copy->path, ec);
    return fp::fail(listed.error());
  }
  dir = s_.inodes.find(parent);
  if (dir->listing->byName.count(name) || dir->localChildren.count(name)) {
    std::error_code ec;
    fs::remove(copy->path, ec);
    return fp::fail(Errno{EEXIST});
  }
  if (tree_.hasNamesakeLocked(*dir, name)) {
    std::error_code ec;
    fs::remove(copy->path, ec);
    return fp::fail(s_.logFailure("create", describe(name, {}), EEXIST,
                                  "a sibling has the same name apart from letter case, so "
                                  "the service would show the new file under another name"));
  }
  Node* node = &s_.inodes.addLocal();
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
  EntryReply entry{ino, tree_.attrOf(*node)};
  OpenReply reply;
  reply.fh = s_.nextFh++;
  s_.handles[reply.fh] = std::move(h);
  return std::make_pair(entry, reply);
}

ErrnoOr<ReadSource> OpenFiles::readSource(std::uint64_t fh) {
  std::lock_guard lock(s_.mu);
  auto it = s_.handles.find(fh);
  if (it == s_.handles.end()) return fp::fail(Errno{EBADF});
  const std::shared_ptr<Handle>& h = it->second;
  if (h->work) return ReadSource{h->work->fd.get(), h->work};
  return ReadSource{h->readFd.get(), h};
}

ErrnoOr<std::size_t> OpenFiles::read(std::uint64_t fh, char* buf, std::size_t size, off_t offset) {
  auto from = readSource(fh);
  if (!from) return fp::fail(from.error());
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = fp::retryOnEintr([&] {
      return pread(from->fd, buf + done, size - done, offset + static_cast<off_t>(done));
    });
    if (n < 0) return fp::fail(Errno{errno});
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

ErrnoOr<std::size_t> OpenFiles::write(std::uint64_t fh, const char* data, std::size_t size,
                                      off_t offset, pid_t writer) {
  std::shared_ptr<WorkingCopy> work;
  std::string name;
  {
    std::lock_guard lock(s_.mu);
    auto it = s_.handles.find(fh);
    if (it == s_.handles.end() || !it->second->writable || !it->second->work) {
      return fp::fail(Errno{EBADF});
    }
    Handle& h = *it->second;
    work = h.work;
    if (std::find(h.writers.begin(), h.writers.end(), writer) == h.writers.end()) {
      h.writers.push_back(writer);
    }
    if (Node* n = s_.inodes.find(h.ino)) name = n->item.filename;
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

void OpenFiles::noteChanged(WorkingCopy& work, const std::string& name) {
  std::lock_guard lock(work.noteMu);
  if (work.note.empty()) work.note = s_.cache.markChanged(work.path, name);
}

void OpenFiles::clearNote(WorkingCopy& work, std::uint64_t changesQueued) {
  std::lock_guard lock(work.noteMu);
  // A write since the state was queued keeps the note: that one is not closed.
  if (work.note.empty() || work.changes.load() != changesQueued) return;
  s_.cache.clearChanged(work.note);
  work.note.clear();
}

ErrnoOr<struct stat> OpenFiles::setattr(Ino ino, std::optional<off_t> size,
                                        std::optional<std::uint64_t> fh,
                                        const fp::Progress* cancel) {
  if (!size) return tree_.getattr(ino, cancel);  // mode, owner and times: the service decides them
  if (*size < 0) return fp::fail(Errno{EINVAL});
  Lock lock(s_.mu);
  Node* n = s_.inodes.find(ino);
  if (!n) return fp::fail(Errno{ENOENT});
  if (n->item.isFolder) return fp::fail(Errno{EISDIR});
  std::string what = describe(n->name, n->item.identifier);
  if (!n->item.allows(fp::capability::kAllowsWriting)) {
    return fp::fail(s_.logFailure("truncate", what, EACCES, "the file is read-only (locked)"));
  }
  std::shared_ptr<WorkingCopy> work = n->work;
  if (fh) {
    if (auto it = s_.handles.find(*fh); it != s_.handles.end() && it->second->work) {
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
    n = s_.inodes.find(ino);
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
  if (!sendNow) return tree_.attrOf(*n);
  lock.unlock();
  auto sent = sending_.uploadNode(ino);
  sending_.releaseWorkIfIdle(ino, !sent);
  if (!sent) return fp::propagate(sent);
  return tree_.getattr(ino);
}

ErrnoOr<void> OpenFiles::keepMode(Ino ino, mode_t mode) {
  Lock lock(s_.mu);
  Node* n = s_.inodes.find(ino);
  if (!n) return fp::fail(Errno{ENOENT});
  if (n->work) {
    n->work->keptMode = mode & 07777;
    if (n->work->dirty() || n->local) return fp::Ok{};
  }
  if (!n->local) s_.dates.keepMode(n->item, mode);
  return fp::Ok{};
}

ErrnoOr<void> OpenFiles::keepDate(Ino ino, timespec date) {
  Lock lock(s_.mu);
  Node* n = s_.inodes.find(ino);
  if (!n) return fp::fail(Errno{ENOENT});
  if (std::shared_ptr<WorkingCopy> work = n->work) {
    // Shown from the copy while it lives; kept for the version its upload makes.
    const timespec times[2] = {date, date};
    if (futimens(work->fd.get(), times) != 0) return fp::fail(Errno{errno});
    work->keptDate = date;
    work->keptDateChanges = work->changes.load();
    if (work->dirty() || n->local) return fp::Ok{};
  }
  if (!n->local) s_.dates.keep(n->item, date);
  return fp::Ok{};
}

}  // namespace fpctl::mount
