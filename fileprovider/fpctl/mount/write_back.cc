// The write-back thread's part of the sender (sender.h): closes leave their
// states to it, and it sends them in the order they were closed.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "fileprovider/fpctl/mount/open_files.h"
#include "fileprovider/fpctl/mount/sender.h"

namespace fpctl::mount {

void Sender::startWriteBack(std::chrono::milliseconds quiet, std::chrono::milliseconds longest) {
  if (!sender_) {
    sender_ =
        std::make_unique<BackgroundSender>([this](Ino ino) { sendHanded(ino); }, quiet, longest);
  }
  writeBack_.store(true);
}

void Sender::stopWriteBack(std::chrono::milliseconds grace) {
  if (!sender_) return;
  // Closes from here on send themselves.
  writeBack_.store(false);
  for (Ino ino : sender_->stop(grace, [this] { s_.background.cancel(); })) sendHanded(ino);
  const auto clock = std::chrono::steady_clock::now();
  if (clock.time_since_epoch().count() < writeBackPausedUntil_.load()) {
    // The host did not answer just now: what waits is kept for the next
    // mount, without another wait for it.
    std::lock_guard sending(queueMu_);
    queueBackoff_ = std::max<std::chrono::milliseconds>(queueBackoff_, std::chrono::seconds(2));
    nextQueueAttempt_ = std::max(nextQueueAttempt_, clock + queueBackoff_);
  }
}

void Sender::waitForWriteBack() {
  if (sender_) sender_->waitUntilIdle();
}

void Sender::sendHanded(Ino ino) {
  std::shared_ptr<WorkingCopy> work;
  {
    std::lock_guard lock(s_.mu);
    Node* n = s_.inodes.find(ino);
    if (!n || !n->work) return;
    work = n->work;
  }
  bool sendFailed = false;
  {
    std::lock_guard uploading(work->uploadMutex);
    if (!work->handed) return;  // a close, fsync or rename sent it
    StagedState staged = std::move(*work->handed);
    work->handed.reset();
    bool removed;
    {
      std::lock_guard lock(s_.mu);
      Node* n = s_.inodes.find(ino);
      removed = !n || n->unlinked || n->work != work;
    }
    const auto clock = std::chrono::steady_clock::now();
    if (removed) {
      // Removed before it was sent: nothing of it needs to reach the service.
      s_.cache.queue().letGo(staged.change.seq);
      s_.cache.queue().erase(staged.change.seq);
      work->uploaded.store(staged.changes);
    } else if (clock.time_since_epoch().count() < writeBackPausedUntil_.load()) {
      // The host did not answer a moment ago: keep it for sendQueue().
      std::string what = describe(staged.name, staged.item.identifier);
      auto durable = s_.cache.queue().makeDurable(staged.change.seq);
      {
        std::lock_guard lock(s_.mu);
        markWaitingLocked(*work, staged);
      }
      s_.cache.queue().letGo(staged.change.seq);
      if (!durable) {
        const int e = durable.error().value;
        s_.logFailure("upload", what, e,
                      "cannot keep a copy in the cache: " + std::string(std::strerror(e)));
      } else {
        s_.log.info("%{public}@ is queued and will be sent when the host application answers",
                    {what});
      }
      {
        // Renamed since it was closed: its record names the first place.
        Lock lock(s_.mu);
        Node* n = s_.inodes.find(ino);
        if (staged.local && n && work->waiting.load() &&
            (n->item.filename != staged.item.filename || n->item.parent != staged.item.parent)) {
          requeueLocked(lock, ino);
        }
      }
    } else {
      // The end of the mount stops the wait for the host: the state is kept.
      sendFailed = !finishUpload(ino, *work, staged, &s_.background);
      if (!sendFailed && work->queuedOnly.load()) {
        writeBackPausedUntil_.store((std::chrono::steady_clock::now() + std::chrono::seconds(2))
                                        .time_since_epoch()
                                        .count());
      }
    }
    work->handing.store(false);
  }
  releaseWorkIfIdle(ino, sendFailed);
}

}  // namespace fpctl::mount
