// The sending of the upload queue (sender.h): in order, holding back what
// depends on an entry it passes over (held_back.h), and giving what it sent
// to the file whose state it was.
#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

#include "fileprovider/fpctl/mount/held_back.h"
#include "fileprovider/fpctl/mount/open_files.h"
#include "fileprovider/fpctl/mount/sender.h"

namespace fpctl::mount {

std::size_t Sender::sendQueue(bool untilTheEnd) {
  return sendQueueUpTo(0, untilTheEnd ? &s_.background : nullptr);
}

ErrnoOr<void> Sender::sendUpToWaitingState(Ino ino, const fp::Progress* cancel) {
  std::shared_ptr<WorkingCopy> work;
  std::uint64_t seq = 0;
  {
    std::lock_guard lock(s_.mu);
    Node* n = s_.inodes.find(ino);
    if (!n || !n->work || !n->work->waiting.load() || !n->work->behindEdits.load()) {
      return fp::Ok{};
    }
    work = n->work;
    seq = work->queuedSeq;
    work->refusedWith.store(0);
  }
  if (seq == 0) return fp::Ok{};
  (void)sendQueueUpTo(seq, cancel);
  if (cancel && cancel->isCancelled()) gaveUpWaiting();
  return statusFor(work->refusedWith.exchange(0));
}

std::optional<bool> Sender::takeEntry(QueuedChange& change) {
  std::lock_guard lock(s_.mu);
  if (!s_.cache.queue().contains(change.seq)) return std::nullopt;
  // Looked at for each entry: a new file of the name of a queued creation
  // may have been made while the entries before it were sent, and a new
  // file renamed since its state was queued still owns that state.
  bool written = false;
  for (const auto& [ino, n] : s_.inodes.all()) {
    if (!change.isEdit() && n->work && n->work->dirty() &&
        (keyOf(*n) == change.key() || n->work->queuedKey == change.key())) {
      written = true;
    }
  }
  // An entry held is being sent by its file's close or the write-back thread.
  if (written || !s_.cache.queue().tryHold(change.seq)) return false;
  // As it is now that it is held (a folder's making may have been given
  // another place meanwhile).
  if (auto now = s_.cache.queue().entry(change.seq)) change = std::move(*now);
  s_.sendingKey = change.key();
  return true;
}

void Sender::afterSent(const QueuedChange& change, const Sent& sent) {
  // The file takes what was made, unless it was removed meanwhile (before
  // this, or while it is looked for: dropQueuedLocked()).
  if (!change.isEdit() && !sent.queued) tookQueued(change, sent);
  bool dropped = false;
  {
    std::lock_guard lock(s_.mu);
    dropped = droppedWhileSent_.erase(change.seq) > 0 ||
              (change.identifier.empty() && droppedFiles_.count(change.local) > 0);
  }
  if (dropped && sent.item) {
    removeMadeNow(change.filename, *sent.item);
  } else if (dropped && s_.cache.queue().tryHold(change.seq)) {
    // Removed while it was tried: it stays unsent.
    s_.cache.queue().letGo(change.seq);
    s_.cache.queue().erase(change.seq);
  }
}

bool Sender::queueCreatingLocked(const WorkingCopy& work) {
  if (!work.waiting.load()) return false;
  const std::uint64_t seq = work.queuedSeq;
  if (!s_.cache.queue().contains(seq)) return false;
  if (!s_.cache.queue().tryHold(seq)) return true;  // sendQueue() has it
  s_.cache.queue().letGo(seq);
  return false;
}

bool Sender::waitForCreationsAt(const QueuedChange& change, const fp::Progress* cancel) {
  // A new file being created where a move goes may hold the name until the
  // removal made of it meanwhile is through (followMovesLocked()).
  if (change.kind != ChangeKind::kMove) return true;
  Lock lock(s_.mu);
  return creating_.waitUntilFree(lock, s_.cache.queue().resolve(change.parent), cancel);
}

void Sender::backOff() {
  // Tried again later, and less often, up to a try every half minute.
  constexpr auto kFirst = std::chrono::milliseconds(500);
  constexpr auto kLongest = std::chrono::seconds(30);
  queueBackoff_ = std::min<std::chrono::milliseconds>(
      kLongest, std::max<std::chrono::milliseconds>(kFirst, queueBackoff_ * 2));
  nextQueueAttempt_ = std::chrono::steady_clock::now() + queueBackoff_;
}

void Sender::forgetFinishedDrops(const std::vector<QueuedChange>& pending) {
  // No sending of the queue is under way: a removed file no entry names any
  // more is done with.
  std::set<std::string> tokens;
  std::set<std::uint64_t> seqs;
  for (const auto& c : pending) {
    if (!c.local.empty()) tokens.insert(c.local);
    seqs.insert(c.seq);
  }
  std::lock_guard lock(s_.mu);
  std::erase_if(droppedFiles_, [&](const std::string& token) { return !tokens.count(token); });
  std::erase_if(droppedWhileSent_, [&](std::uint64_t seq) { return !seqs.count(seq); });
}

std::size_t Sender::sendQueueUpTo(std::uint64_t last, const fp::Progress* cancel) {
  // Another sending (the change poller's, another close's) may take long
  // while the host hangs: a close stops waiting for it once it is cancelled.
  std::unique_lock sending(queueMu_, std::defer_lock);
  if (!lockUnlessCancelled(sending, cancel)) return s_.cache.queue().pending().size();
  auto pending = s_.cache.queue().pending();
  forgetFinishedDrops(pending);
  if (pending.empty()) return 0;
  auto clock = std::chrono::steady_clock::now();
  if (clock < nextQueueAttempt_ || clock.time_since_epoch().count() < interruptedUntil_.load()) {
    return pending.size();
  }
  bool sentAny = false;
  HeldBack heldBack;  // what this sending passes over, and what waits behind it
  auto holdBack = [&](QueuedChange change) {
    change.parent = s_.cache.queue().resolve(change.parent);
    std::optional<ItemState> onService;
    if (change.isEdit() && !change.identifier.empty() && !isLocalIdentifier(change.identifier)) {
      if (auto item = s_.provider.item(change.identifier)) onService = std::move(*item);
    }
    heldBack.add(change, onService);
  };
  // A file being written sends its own state when it is closed; the queue
  // must not send an older one meanwhile. A close that starts while an entry
  // is sent waits for it (see uploadNode), so states arrive in order; a file
  // opened for writing after this look sends its state after the entry.
  for (QueuedChange change : pending) {
    if (last && change.seq > last) break;
    if (!heldBack.empty()) {
      QueuedChange resolved = change;
      resolved.parent = s_.cache.queue().resolve(change.parent);
      if (heldBack.mustWait(resolved)) {
        holdBack(change);
        continue;
      }
    }
    if (!waitForCreationsAt(change, cancel)) break;
    std::optional<bool> taken = takeEntry(change);
    if (!taken) continue;  // sent or dropped meanwhile
    const bool passed = !*taken;
    if (passed) {
      holdBack(change);
      continue;
    }
    ItemState expected;
    expected.identifier = change.identifier;
    expected.parent = change.parent;
    expected.filename = change.filename;
    Sent sent = sendChange(change, expected, cancel);
    s_.cache.queue().letGo(change.seq);
    {
      std::lock_guard lock(s_.mu);
      s_.sendingKey.reset();
      s_.sent.notify_all();
    }
    afterSent(change, sent);
    if (sent.blocked) {  // sent once its folder is made
      holdBack(change);
      continue;
    }
    if (sent.queued) {
      backOff();  // the host is still away
      break;
    }
    sentAny = true;
  }
  if (sentAny) {
    // What was sent shows up in the listings at the next change check.
    queueBackoff_ = std::chrono::milliseconds(0);
    nextQueueAttempt_ = {};
  }
  return s_.cache.queue().pending().size();
}

void Sender::adoptMade(Ino ino, WorkingCopy& work, const StagedState& staged,
                       const ItemState& made) {
  // The file is the item made from now on (or, removed meanwhile, the item is
  // deleted), and its waiting state a change of that item: never a second
  // creation, which a rename made meanwhile would not recognise as this one.
  if (!tookSent(ino, work, staged, made)) return;
  std::uint64_t seq = 0;
  ItemState item;
  {
    std::lock_guard lock(s_.mu);
    Node* n = s_.inodes.find(ino);
    if (!n || n->unlinked || n->local || n->work.get() != &work || !work.waiting.load()) return;
    seq = work.queuedSeq;
    item = n->item;
  }
  auto adopted = s_.cache.queue().adopt(seq, item.identifier, item.version);
  std::lock_guard lock(s_.mu);
  if (adopted && work.queuedSeq == seq) work.queuedKey = adopted->key();
}

void Sender::tookQueued(const QueuedChange& change, const Sent& sent) {
  // The file whose state this was keeps its copy, and is shown so, until
  // then (releaseWorkIfIdle()).
  Ino ino = 0;
  std::shared_ptr<WorkingCopy> work;
  StagedState staged;
  {
    std::lock_guard lock(s_.mu);
    for (const auto& [i, n] : s_.inodes.all()) {
      // A new file is found by its own token also when a newer state of it
      // was closed meanwhile (adoptMade()).
      const bool ownNewFile =
          n->local && !change.local.empty() && n->work && n->work->localToken == change.local;
      if (n->work &&
          ((n->work->waiting.load() && n->work->queuedSeq == change.seq) || ownNewFile)) {
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
    bool newer = false;
    {
      std::lock_guard lock(s_.mu);
      // The file was removed meanwhile: sendQueue() deletes what was made.
      if (droppedWhileSent_.count(change.seq)) return;
      newer = work->queuedSeq != change.seq;
      if (!newer) {
        work->queuedOnly.store(false);
        work->waiting.store(false);
        work->queuedKey.clear();
        work->queuedSeq = 0;
      }
    }
    if (newer) {
      // A newer state was closed meanwhile, and that one is the file's now.
      if (sent.item && staged.local) adoptMade(ino, *work, staged, *sent.item);
      return;
    }
    if (sent.item) {
      // What could not be taken is logged; the state was sent all the same.
      (void)tookSent(ino, *work, staged, *sent.item);
    } else {
      // Refused for good: kept in unsent/, and the file is no longer shown,
      // as after a refused close (one waiting for it reports it). Either way
      // its copy is not the item's contents: never kept as them.
      work->queuedOnly.store(true);
      work->refusedWith.store(sent.err);
      std::lock_guard lock(s_.mu);
      if (Node* n = s_.inodes.find(ino); n && n->local) {
        if (Node* dir = s_.inodes.find(n->parent)) dir->localChildren.erase(n->name);
        n->unlinked = true;
        n->local = false;
      }
    }
  }
  releaseWorkIfIdle(ino, false);
}

}  // namespace fpctl::mount
