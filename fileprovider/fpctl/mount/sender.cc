#include "fileprovider/fpctl/mount/sender.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fileprovider/fpctl/mount/edit_sender.h"
#include "fileprovider/fpctl/mount/name_refusal.h"
#include "fileprovider/fpctl/mount/node_tree.h"
#include "fileprovider/fpctl/mount/open_files.h"
#include "fileprovider/fpctl/mount/residency.h"
#include "fileprovider/fpctl/mount/shown_path.h"
#include "fileprovider/fpctl/requests/template_item.h"

namespace fpctl::mount {
namespace fs = std::filesystem;

Sent Sender::sendChange(const QueuedChange& change, ItemState expected,
                        const fp::Progress* cancel) {
  if (change.isEdit()) return queued_.sendEdit(change, cancel);
  if (isLocalIdentifier(s_.cache.queue().resolve(change.parent))) {
    Sent sent;  // its folder is not on the service yet
    sent.queued = sent.blocked = true;
    return sent;
  }
  if (isLocalIdentifier(change.parent)) {
    QueuedChange resolved = change;
    resolved.parent = s_.cache.queue().resolve(change.parent);
    expected.parent = resolved.parent;
    return sendChange(resolved, std::move(expected), cancel);
  }
  std::string what = describe(change.filename, change.identifier);
  if (!change.identifier.empty()) {
    if (std::optional<Sent> kept = keepBothIfChangedThere(change, what, cancel)) return *kept;
  }
  fp::StatusOr<ItemState> result =
      change.identifier.empty()
          ? s_.provider.create(fpctl::TemplateItem::forNew(change.parent, change.filename, false),
                               change.data, cancel)
          : s_.provider.modify(
                fpctl::TemplateItem::named(change.identifier, change.parent, change.filename),
                change.baseVersion, fp::field::kContents, change.data, cancel);
  Sent sent;
  if (result) {
    expected.size = change.size;
    expected.modified = now();
    sent.item = change.identifier.empty() ? s_.createdItem(*result, expected)
                                          : s_.reread(*result, expected);
    s_.cache.queue().remove(change.seq);
    if (change.identifier.empty()) {
      created_.note(change, sent.item->identifier);
    } else {
      // A move of it that waits must not show it at the version before.
      s_.cache.queue().refresh(*sent.item);
    }
    return sent;
  }
  fp::Error failure = result.error();
  sent.err = s_.logFailure(change.identifier.empty() ? "create" : "write", what, failure).value;
  const bool gone = failure.isFileProvider(fp::FileProviderErrorCode::kNoSuchItem);
  if (change.identifier.empty() && !fp::isTransient(failure)) {
    // The host found no folder to create it in: removed on the service.
    if (gone) {
      if (std::optional<Sent> again = createInFolderAgain(change, expected, cancel)) return *again;
    }
    if (std::optional<Sent> earlier =
            takeEarlierCreation(change, expected, what, cancel, failure)) {
      return *earlier;
    }
    sent.err = errnoFor(failure);
  }
  if (fp::isTransient(failure)) return keepForLater(change, what);
  if (!change.identifier.empty() && sent.err == ENOENT && removedHere(change.identifier)) {
    // The file was removed here while this state of it was on its way, and
    // its removal reached the service first: nothing of it is wanted.
    s_.log.info("%{public}@ was removed; its last state is not sent", {what});
    s_.cache.queue().remove(change.seq);
    sent.err = 0;
    return sent;
  }
  // The host has no such item, and it was not removed here: removed on the
  // service while this state waited, it is made again (conflicts.h).
  if (!change.identifier.empty() && gone) return createAgain(change, what, cancel);
  return refuseChange(change, what, result.error(), sent.err);
}

std::optional<Sent> Sender::takeEarlierCreation(const QueuedChange& change,
                                                const ItemState& expected, const std::string& what,
                                                const fp::Progress* cancel, fp::Error& failure) {
  // A creation that reached the host just before fpctl died is refused when
  // it is sent again: the same bytes under the same name are that creation.
  // Not an item the mount moves or removes: that is another file, whose
  // new name or removal waits.
  Sent sent;
  auto there = sameCreation(s_.provider, change);
  if (there && !s_.cache.queue().hasEditOf(there->identifier)) {
    s_.log.info("%{public}@ is on the service already (%{public}@)", {what, there->identifier});
    s_.cache.queue().remove(change.seq);
    created_.note(change, there->identifier);
    sent.item = std::move(*there);
    return sent;
  }
  // The queue created it meanwhile from an older state: this state changes it.
  auto made = created_.stillThere(s_.provider, change);
  if (!made || s_.cache.queue().hasEditOf(made->identifier)) return std::nullopt;
  s_.log.info("%{public}@ was created from an older state; this one is sent as its change",
              {describe(change.filename, made->identifier)});
  auto r = s_.provider.modify(
      fpctl::TemplateItem::named(made->identifier, change.parent, change.filename), made->version,
      fp::field::kContents, change.data, cancel);
  if (!r) {
    s_.logFailure("write", describe(change.filename, made->identifier), r.error());
    failure = r.error();
    return std::nullopt;
  }
  s_.cache.queue().remove(change.seq);
  ItemState changed = expected;
  changed.identifier = made->identifier;
  changed.size = change.size;
  changed.modified = now();
  sent.item = s_.reread(*r, changed);
  return sent;
}

Sent Sender::keepForLater(const QueuedChange& change, const std::string& what) {
  Sent sent;
  fp::ScopedFD own(fp::retryOnEintr(
      [&] { return ::open(change.data.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW); }));
  if (!own) {
    // The mount's own queued copy is unreadable: a fault of the mount, not
    // a host that is away. The state cannot be sent.
    int e = errno;
    s_.log.error("the queued copy %{public}@ of %{public}@ cannot be read: %{public}@",
                 {change.data.string(), what, std::string(std::strerror(e))});
    s_.cache.queue().remove(change.seq);
    sent.err = EIO;
    return sent;
  }
  sent.queued = true;
  s_.log.info("%{public}@ is queued and will be sent when the host application answers", {what});
  return sent;
}

Sent Sender::refuseChange(const QueuedChange& change, const std::string& what,
                          const fp::Error& error, int err) {
  Sent sent;
  sent.err = err;
  bool taken = change.identifier.empty() &&
               refusedAsTaken(s_.provider, {error, change.parent, change.filename, {}});
  if (taken) sent.err = EEXIST;
  std::string reason = std::string(change.identifier.empty() ? "creating" : "writing") +
                       " was refused: " + std::strerror(sent.err) + " (" +
                       refusalWords(error, taken, change.filename) + ")";
  fs::path kept =
      s_.cache.queue().refuse(change.seq, reason, shownPathOf(s_, change.parent, change.filename));
  if (kept.empty()) {
    sent.queued = true;  // could not move it: it stays in the queue
  } else {
    s_.logFailure("upload", what, sent.err, "refused; the changes are kept in " + kept.string());
    if (s_.notices) s_.notices->refused(what, reason);
  }
  return sent;
}

void Sender::gaveUpWaiting() {
  interruptedUntil_.store(
      (std::chrono::steady_clock::now() + std::chrono::seconds(2)).time_since_epoch().count());
}

bool Sender::removedHere(const fp::ItemIdentifier& identifier) {
  std::lock_guard lock(s_.mu);
  const Node* n = s_.inodes.findItem(identifier);
  return n && (n->unlinked || n->removing);
}

ErrnoOr<void> Sender::uploadNode(Ino ino, bool handOff, const fp::Progress* cancel) {
  std::shared_ptr<WorkingCopy> work;
  {
    std::lock_guard lock(s_.mu);
    Node* n = s_.inodes.find(ino);
    if (!n || !n->work || n->unlinked) return fp::Ok{};
    work = n->work;
  }
  if (handOff && work->handing.load() && work->handedChanges.load() == work->changes.load()) {
    // The write-back thread has this state, and may be sending it now: a
    // release need not wait for that.
    return fp::Ok{};
  }
  std::lock_guard uploading(work->uploadMutex);
  StagedState staged;
  {
    std::lock_guard lock(s_.mu);
    Node* n = s_.inodes.find(ino);
    if (!n || n->unlinked || n->work != work) return fp::Ok{};
    staged.changes = work->changes.load();
    if (staged.changes == work->uploaded.load()) return fp::Ok{};
    if (work->cut.load()) return fp::fail(Errno{ENOSPC});  // dropped at its release
    staged.local = n->local;
    staged.item = n->item;
    staged.name = n->name;
  }
  if (work->handed && work->handed->changes == staged.changes) {
    // Closed and staged already; the write-back thread has not sent it yet.
    if (handOff) return fp::Ok{};
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
  if (staged.local) change.local = work->localToken;
  change.parent = staged.item.parent;
  change.filename = staged.item.filename;
  change.baseVersion = staged.item.version;
  {
    // An older state of this file that the queue is sending now goes first.
    Lock lock(s_.mu);
    s_.sent.wait(lock, [&] { return s_.sendingKey != change.key(); });
  }
  // Held until its sending ends: nothing else sends or drops it meanwhile.
  auto queued = s_.cache.queue().stage(change, work->path, /*held=*/true);
  if (!queued) {
    return fp::fail(s_.logFailure(
        "upload", what, queued.error().value,
        "cannot keep a copy in the cache: " + std::string(std::strerror(queued.error().value))));
  }
  staged.change = std::move(*queued);
  // What the copy holds is closed and staged now: if fpctl dies, the queue has it.
  files_.clearNote(*work, staged.changes);
  if (work->handed) {
    // An older closed state that was not sent yet: this one replaces it, also
    // when the file was renamed in between (its entry has another key).
    s_.cache.queue().letGo(work->handed->change.seq);
    s_.cache.queue().remove(work->handed->change.seq);
    work->handed.reset();
    work->handing.store(false);
  }
  if (handOff && writeBack_.load()) {
    work->handedChanges.store(staged.changes);
    work->handed = std::move(staged);
    work->handing.store(true);
    sender_->push(ino);
    return fp::Ok{};
  }
  return finishUpload(ino, *work, staged, cancel);
}

ErrnoOr<void> Sender::finishUpload(Ino ino, WorkingCopy& work, const StagedState& handed,
                                   const fp::Progress* cancel) {
  StagedState staged = handed;
  const bool local = staged.local;
  const ItemState& item = staged.item;
  const std::uint64_t changes = staged.changes;
  std::string what = describe(staged.name, item.identifier);
  bool renamed = false;  // since it was staged
  std::optional<CreationsInFlight::Mark> creating;
  bool gaveUp = false;       // the wait below was cancelled: the state stays queued
  bool behindEdits = false;  // or it waits behind moves and removals
  if (local) {
    Lock lock(s_.mu);
    for (;;) {
      // A new file of this folder being created now goes first: one of the
      // same name that was removed or renamed meanwhile frees its name only
      // once it is on the service and has been deleted or renamed there.
      gaveUp = !creating_.waitUntilFree(lock, item.parent, cancel);
      Node* n = s_.inodes.find(ino);
      if (!n || n->unlinked) {
        // Removed before it was sent: nothing of it needs to reach the service.
        s_.cache.queue().letGo(staged.change.seq);
        s_.cache.queue().erase(staged.change.seq);
        work.uploaded.store(changes);
        return fp::Ok{};
      }
      if (n->item.filename == item.filename && n->item.parent == item.parent) break;
      // Renamed or moved since it was staged: created where it is now, so
      // that its first name is never taken on the service, where another
      // file may have it by then; moved, it waits for that folder too.
      renamed = true;
      const bool moved = n->item.parent != item.parent;
      staged.name = n->name;
      staged.item.filename = staged.change.filename = n->item.filename;
      staged.item.parent = staged.change.parent = n->item.parent;
      if (!moved || gaveUp) break;
    }
    // Moves and removals kept in the queue go first (the name may be freed
    // only by them): the state waits behind them, and sendQueue() sends it.
    if (!gaveUp && s_.cache.queue().hasEdits()) gaveUp = behindEdits = true;
    if (!gaveUp) creating.emplace(creating_, s_.mu, item.parent);
  }
  Sent sent;
  sent.queued = gaveUp;
  if (!gaveUp) sent = sendChange(staged.change, item, cancel);
  if (sent.queued) {
    std::lock_guard lock(s_.mu);
    Node* n = s_.inodes.find(ino);
    if (local && (!n || n->unlinked)) {
      // Removed (or replaced) while its creation was tried: it is never sent.
      s_.cache.queue().letGo(staged.change.seq);
      s_.cache.queue().erase(staged.change.seq);
      work.uploaded.store(changes);
      return fp::Ok{};
    }
    markWaitingLocked(work, staged);
    work.behindEdits.store(behindEdits);
  }
  // Sent, refused, or left waiting: the queue may send what is left.
  s_.cache.queue().letGo(staged.change.seq);
  if (sent.queued && renamed) {
    // Its record still names the first place.
    Lock lock(s_.mu);
    requeueLocked(lock, ino);
  }
  if (sent.queued && cancel && cancel->isCancelled()) gaveUpWaiting();
  if (sent.queued) {
    // Not on the service: the state waits in the queue, durably, before the
    // close reports it as kept.
    if (auto durable = s_.cache.queue().makeDurable(staged.change.seq); !durable) {
      const int e = durable.error().value;
      return fp::fail(s_.logFailure(
          "upload", what, e, "cannot keep a copy in the cache: " + std::string(std::strerror(e))));
    }
  }
  if (sent.queued) return fp::Ok{};
  work.queuedOnly.store(!sent.item);
  work.waiting.store(false);
  work.uploaded.store(changes);  // sent, or kept in unsent/: this state is taken care of
  if (!sent.item) return statusFor(sent.err);
  return tookSent(ino, work, staged, *sent.item);
}

ErrnoOr<void> Sender::removeMade(Lock& lock, const std::string& name, const ItemState& made) {
  lock.unlock();
  removeMadeNow(name, made);
  return fp::Ok{};
}

void Sender::removeMadeNow(const std::string& name, const ItemState& made) {
  // Removed while it was being created (or while a move made meanwhile was
  // sent): it must not stay on the service. It goes at once, ahead of what
  // was queued meanwhile: a move queued to its name must find the name free.
  QueuedChange edit = EditSender::editOf(ChangeKind::kRemove, made);
  if (s_.cache.queue().hasEditOf(made.identifier)) {
    // A move of it waits in the queue (its folder was busy): the removal goes
    // after it, or the move would find nothing and be refused.
    (void)queued_.journalEdit(edit, describe(name, made.identifier));
    return;
  }
  if (auto removed = s_.provider.remove(made.identifier, made.version, false); !removed) {
    s_.logFailure("delete", describe(name, made.identifier), removed.error());
    if (fp::isTransient(removed.error())) {
      // A failure to keep it is logged; the file is gone here all the same.
      (void)queued_.journalEdit(edit, describe(name, made.identifier));
    }
  }
}

std::optional<ErrnoOr<void>> Sender::followMovesLocked(Lock& lock, Ino ino,
                                                       const StagedState& staged, ItemState& fresh,
                                                       std::list<CreationsInFlight::Mark>& into) {
  const std::string& name = staged.name;
  Node* n = s_.inodes.find(ino);
  // Where the service has it now.
  fp::ItemIdentifier sentParent = s_.cache.queue().resolve(staged.item.parent);
  std::string sentName = staged.item.filename;
  // Its folder now, as the service knows it (a folder made here may have
  // been made meanwhile).
  auto folderNow = [&] { return s_.cache.queue().resolve(n->item.parent); };
  while (n->item.filename != sentName || folderNow() != sentParent) {
    // Renamed or moved while it was being created (or while the last such
    // move was sent): send that too, or keep it in the queue when the host
    // does not take it now.
    const fp::ItemIdentifier folder = folderNow();
    fp::ItemFields fields = 0;
    if (n->item.filename != sentName) fields |= fp::field::kFilename;
    if (folder != sentParent) fields |= fp::field::kParentItemIdentifier;
    auto moved = fpctl::TemplateItem::named(fresh.identifier, folder, n->item.filename);
    ItemState expected = fresh;
    expected.parent = folder;
    expected.filename = n->item.filename;
    // A new file being created in the folder it goes to may hold its name
    // until the removal made of it meanwhile is through: the queue sends the
    // move once that creation has ended.
    const bool queueIt =
        s_.cache.queue().hasEdits() || (folder != staged.item.parent && creating_.busy(folder));
    // Sent now, it holds the name there like a creation in that folder until
    // it is through (a removal made meanwhile included): a new file of that
    // folder is created after it.
    if (!queueIt && folder != staged.item.parent) into.emplace_back(creating_, s_.mu, folder);
    lock.unlock();
    std::optional<fp::StatusOr<ItemState>> r;
    if (!queueIt) r = s_.provider.modify(moved, fresh.version, fields, std::nullopt);
    if (r && *r) {
      fresh = s_.reread(**r, expected);
    } else {
      // Not tried (edits wait in the queue), or the host may take it later:
      // it waits in the queue.
      if (r) {
        Errno e = s_.logFailure("rename", describe(name, fresh.identifier), r->error());
        if (!fp::isTransient(r->error())) return fp::fail(e);
      }
      QueuedChange edit = EditSender::editOf(ChangeKind::kMove, expected);
      edit.fields = fields;
      edit.fromParent = sentParent;
      edit.fromFilename = sentName;
      auto journaled = queued_.journalEdit(edit, describe(name, fresh.identifier));
      if (!journaled) return journaled;
      fresh = expected;
    }
    sentName = expected.filename;
    sentParent = expected.parent;
    lock.lock();
    n = s_.inodes.find(ino);
    if (!n) return fp::Ok{};
    if (n->unlinked) return removeMade(lock, name, fresh);
  }
  return std::nullopt;
}

ErrnoOr<void> Sender::tookSent(Ino ino, WorkingCopy& work, const StagedState& staged,
                               ItemState fresh) {
  const bool local = staged.local;
  const std::uint64_t changes = staged.changes;
  // The folders a move made meanwhile takes it to; ended after the lock.
  std::list<CreationsInFlight::Mark> into;
  Lock lock(s_.mu);
  Node* n = s_.inodes.find(ino);
  if (!n) return fp::Ok{};
  if (n->unlinked && local) return removeMade(lock, staged.name, fresh);
  // Removed while this state was sent: its removal is sent or waits in the
  // queue; the folder must not show it again.
  if (n->unlinked) return fp::Ok{};
  if (local) {
    if (std::optional<ErrnoOr<void>> done = followMovesLocked(lock, ino, staged, fresh, into)) {
      return *done;
    }
    n = s_.inodes.find(ino);
  } else {
    // A move of it made meanwhile may wait in the queue: it stays where it
    // was moved.
    fresh.parent = n->item.parent;
    fresh.filename = n->item.filename;
  }
  n->item = fresh;
  if (work.keptDate && work.keptDateChanges == changes) s_.dates.keep(fresh, *work.keptDate);
  if (work.keptMode) s_.dates.keepMode(fresh, *work.keptMode);
  // The kernel's cached data is what was just written, now under the new version.
  n->kernelContentVersion = fresh.version.contentVersion;
  Node* dir = s_.inodes.find(n->parent);
  if (local) {
    n->local = false;
    s_.inodes.bind(fresh.identifier, ino);
    if (dir) dir->localChildren.erase(n->name);
  }
  if (dir && dir->listing && local) {
    for (const auto& numbered : dir->listing->hideNumberedNamesOf(n->name, fresh.identifier)) {
      s_.notifier.forgetEntry(n->parent, numbered);
    }
  }
  if (dir) {
    // Without a listing, one being read now (perhaps from before the service
    // had this file) gets this when it is in; the kernel never saw its names.
    tree_.editListingLocked(*dir, [name = n->name, fresh, local](Listing& l) {
      if (local) l.hideNumberedNamesOf(name, fresh.identifier);
      l.show(name, fresh);
    });
  }
  return fp::Ok{};
}

void Sender::waitWhileSending(const fp::Progress* cancel) {
  if (sender_) sender_->waitWhileSending();
  Lock lock(s_.mu);
  (void)creating_.waitForThoseUnderWay(lock, cancel);
}

ErrnoOr<void> Sender::flush(std::uint64_t fh, pid_t closer, const fp::Progress* cancel) {
  Ino ino;
  {
    std::lock_guard lock(s_.mu);
    auto it = s_.handles.find(fh);
    if (it == s_.handles.end()) return fp::fail(Errno{EBADF});
    Handle& h = *it->second;
    Node* n = s_.inodes.find(h.ino);
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
  auto sent = uploadNode(ino, /*handOff=*/true, cancel);
  if (!sent || writeBack_.load()) return sent;
  return sendUpToWaitingState(ino, cancel);
}

ErrnoOr<void> Sender::fsync(std::uint64_t fh, const fp::Progress* cancel) {
  Ino ino;
  {
    std::lock_guard lock(s_.mu);
    auto it = s_.handles.find(fh);
    if (it == s_.handles.end()) return fp::fail(Errno{EBADF});
    if (!s_.inodes.find(it->second->ino)) return fp::Ok{};
    it->second->writers.clear();
    ino = it->second->ino;
  }
  auto sent = uploadNode(ino, false, cancel);
  if (!sent || writeBack_.load()) return sent;
  return sendUpToWaitingState(ino, cancel);
}

void Sender::release(std::uint64_t fh) {
  std::shared_ptr<Handle> h;
  bool last = false;
  {
    std::lock_guard lock(s_.mu);
    auto it = s_.handles.find(fh);
    if (it == s_.handles.end()) return;
    h = std::move(it->second);
    s_.handles.erase(it);
    Node* n = s_.inodes.find(h->ino);
    if (!n) return;
    if (n->opens > 0) --n->opens;
    last = n->opens == 0;
  }
  if (!last) return;
  // The last close: what a failed flush left unsent gets one more try.
  bool sendFailed = !uploadNode(h->ino, /*handOff=*/true);
  releaseWorkIfIdle(h->ino, sendFailed);
  // A copy kept beyond the bound while it was open may go now.
  if (s_.cache.overBound()) residency_.trimCache();
}

void Sender::releaseWorkIfIdle(Ino ino, bool sendFailed) {
  std::shared_ptr<WorkingCopy> work;
  std::string name;
  ItemState item;
  bool keep = false;
  bool adopting = false;
  std::optional<std::pair<Ino, std::string>> forgetName;
  {
    std::lock_guard lock(s_.mu);
    Node* n = s_.inodes.find(ino);
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
    adopting = !keep && !item.identifier.empty() && !item.version.contentVersion.empty() &&
               !work->dirty() && !work->queuedOnly.load();
    // Shown as cached from now on, not as in the cloud until it is moved.
    if (adopting) s_.cache.expect(item.identifier, item.version.contentVersion);
    if (n->local) {
      // A new file that never reached the service is not shown any longer, and
      // the kernel must forget its name, or the next open would reach this node.
      if (Node* dir = s_.inodes.find(n->parent)) dir->localChildren.erase(n->name);
      forgetName = {n->parent, n->name};
      n->unlinked = true;
      n->local = false;
    }
    s_.inodes.dropIfIdle(ino);
  }
  if (forgetName) s_.notifier.forgetEntry(forgetName->first, forgetName->second);
  if (work->cut.load() && work->dirty()) {
    // Kept, it would hold the disk full for every later save.
    s_.logFailure("write", describe(name, item.identifier), ENOSPC,
                  "the cache disk is full; the part written was dropped (the program was told)");
    s_.notifier.forgetInode(ino, true);
  }
  if (keep) {
    fs::path kept =
        s_.cache.preserve(work->path, item.filename, "could not be put into the upload queue");
    s_.logFailure("upload", describe(name, item.identifier), EIO,
                  kept.empty() ? std::string("the changes could not be kept")
                               : "the changes are kept in " + kept.string());
  } else if (adopting) {
    s_.cache.adopt(item.identifier, item.version.contentVersion, work->path);
    if (s_.cache.overBound()) residency_.trimCache();
  } else {
    s_.cache.dropWorkFile(work->path);
  }
}

void Sender::requeueLocked(Lock& lock, Ino ino) {
  Node* n = s_.inodes.find(ino);
  if (!n || !n->work) return;
  std::shared_ptr<WorkingCopy> work = n->work;
  std::uint64_t seq = work->queuedSeq;
  // Being sent now: its node's new name is sent after it (tookSent()).
  if (!s_.cache.queue().tryHold(seq)) return;
  QueuedChange change;
  for (const auto& c : s_.cache.queue().pending()) {
    if (c.seq == seq) change = c;
  }
  change.parent = n->item.parent;
  change.filename = n->item.filename;
  lock.unlock();
  auto moved = s_.cache.queue().put(change, change.data);
  s_.cache.queue().letGo(seq);
  if (moved) s_.cache.queue().erase(seq);
  lock.lock();
  if (!moved) {
    // The older entry stays: it is created under its old name, then renamed.
    s_.logFailure("rename", describe(change.filename, {}), moved.error().value,
                  "the new name is sent after the file is created");
    return;
  }
  if (work->queuedSeq == seq) {
    work->queuedSeq = moved->seq;
    work->queuedKey = moved->key();
  }
}

void Sender::markWaitingLocked(WorkingCopy& work, const StagedState& staged) {
  work.queuedKey = staged.change.key();
  work.queuedSeq = staged.change.seq;
  work.queuedOnly.store(true);
  work.waiting.store(true);
  work.uploaded.store(staged.changes);
}

void Sender::dropQueuedLocked(WorkingCopy& work) {
  auto drop = [&](std::uint64_t seq) {
    if (!s_.cache.queue().contains(seq)) {
      // Sent a moment ago: sendQueue() has yet to take the answer.
      droppedWhileSent_.insert(seq);
    } else if (s_.cache.queue().tryHold(seq)) {
      s_.cache.queue().letGo(seq);
      s_.cache.queue().erase(seq);
    } else {
      droppedWhileSent_.insert(seq);  // sendQueue() has it now
    }
  };
  if (work.waiting.load()) drop(work.queuedSeq);
  if (!work.localToken.empty()) {
    // An older state waits too when the newer one could not replace it (it
    // was being sent then): nothing of the file may be created any more.
    droppedFiles_.insert(work.localToken);
    for (std::uint64_t seq : s_.cache.queue().creationsOf(work.localToken)) drop(seq);
  }
  work.waiting.store(false);
}

void Sender::finishPendingUploads() {
  std::vector<Ino> withWork;
  {
    // The kernel has gone, and with it every open handle.
    std::lock_guard lock(s_.mu);
    s_.handles.clear();
    s_.dirHandles.clear();
    for (const auto& [ino, n] : s_.inodes.all()) {
      n->opens = 0;
      if (n->work) withWork.push_back(ino);
    }
  }
  for (Ino ino : withWork) {
    bool sendFailed = !uploadNode(ino);
    releaseWorkIfIdle(ino, sendFailed);
  }
}

}  // namespace fpctl::mount
