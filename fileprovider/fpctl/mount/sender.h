// The sender: puts the closed states of working copies (open_files.h) into
// the upload queue (upload_queue.h) and sends them.
//
// A changed working copy is sent by the close of a process that wrote through
// the handle, by fsync, and by the release of its last handle (see flush()): a
// new file with createItem, an existing one with modifyItem and the contents
// bit. Every state is put into the upload queue before it is sent; a state the
// host did not take waits there and sendQueue() sends it later, one refused
// for good moves to unsent/. A new file whose older state's creation still
// waits in the queue is sent as one creation with the newer contents (the
// queue leaves entries of a file being written to its close); when the queue
// created it meanwhile, the newer state changes that item.
//
// A state is held in the queue while its close (or the write-back thread)
// sends it: sendQueue() leaves it alone and no newer state drops it then. A
// new file is created once: later states modify the item it made, and a
// rename or removal made while it was being created is applied to that item;
// the new files of one folder are created one at a time
// (creations_in_flight.h), so that a file made again under a name that
// another one just left never meets it on the service.
//
// A close or fsync interrupted while it sends a file's state ends its wait and
// succeeds: the state is in the upload queue before it is sent, stays there,
// and is sent later.
//
// Closed states wait behind the moves and removals kept in the queue
// (edit_sender.h): with such an edit waiting, a close puts its state into the
// queue without sending it, and sendQueue() sends everything in order. A new
// file whose creation waits in the queue keeps its working copy, and is shown
// from it, until the queue sends that state (tookQueued()); renamed
// meanwhile, its entry is put again under the new name; removed, its entry is
// dropped (or what the queue is creating from it now is removed again). A
// state whose folder was made here and not on the service yet waits until the
// queue makes that folder. What the sending of the queue passes over (a
// folder not made yet, a file being written or sent by its close) holds back
// the later entries that depend on it (held_back.h).
//
// The write-back thread's part (startWriteBack() and the sending of what the
// closes left to it) is in write_back.cc, the sending of the queue in
// queue_sending.cc.
#ifndef FPCTL_MOUNT_SENDER_H_
#define FPCTL_MOUNT_SENDER_H_

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "fileprovider/fpctl/mount/background_sender.h"
#include "fileprovider/fpctl/mount/creations_in_flight.h"
#include "fileprovider/fpctl/mount/edit_sender.h"
#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/fpctl/mount/inode_table.h"
#include "fileprovider/fpctl/mount/item_state.h"
#include "fileprovider/fpctl/mount/mount_state.h"
#include "fileprovider/fpctl/mount/queued_creation.h"
#include "fileprovider/fpctl/mount/upload_queue.h"
#include "fileprovider/progress.h"

namespace fpctl::mount {

class NodeTree;
class Residency;
class OpenFiles;
struct WorkingCopy;
struct StagedState;

class Sender {
 public:
  Sender(MountState& state, NodeTree& tree, Residency& residency, OpenFiles& files,
         EditSender& queued)
      : s_(state), tree_(tree), residency_(residency), files_(files), queued_(queued) {}

  // The operations of MountFs of the same names (see mount_fs.h).
  ErrnoOr<void> flush(std::uint64_t fh, pid_t closer, const fp::Progress* cancel);
  ErrnoOr<void> fsync(std::uint64_t fh, const fp::Progress* cancel);
  void release(std::uint64_t fh);
  void startWriteBack(std::chrono::milliseconds quiet, std::chrono::milliseconds longest);
  void stopWriteBack(std::chrono::milliseconds grace);
  void waitForWriteBack();
  void finishPendingUploads();
  std::size_t sendQueue(bool untilTheEnd);
  // Default close mode: a close whose state waits in the queue (behind moves
  // and removals made before it) sends the queue up to that state and reports
  // its refusal; the host away, or `cancel` cancelled (a signal), it leaves
  // the state waiting and succeeds.
  [[nodiscard]] ErrnoOr<void> sendUpToWaitingState(Ino ino, const fp::Progress* cancel);

  // Stages the node's working copy in the queue, unless that state is staged
  // already, and sends it; with `handOff`, leaves the sending to the
  // write-back thread. Fails with the errno value the close reports. `cancel`
  // ends the wait for the host (see finishUpload()).
  [[nodiscard]] ErrnoOr<void> uploadNode(Ino ino, bool handOff = false,
                                         const fp::Progress* cancel = nullptr);
  // Lets go of the node's working copy once no handle holds it and nobody
  // sends it (`sendFailed`: the last try to send it failed).
  void releaseWorkIfIdle(Ino ino, bool sendFailed);
  // Waits while the write-back thread sends a state, and while new files are
  // being created (with the rename or removal made meanwhile applied after),
  // or until `cancel` is cancelled.
  void waitWhileSending(const fp::Progress* cancel);
  // The new file `ino` was renamed while its creation waits in the queue: the
  // entry is put again under its new name (and after what was queued since).
  void requeueLocked(MountState::Lock& lock, Ino ino);
  // Whether the queue is sending the creation of the new file `work` now.
  [[nodiscard]] bool queueCreatingLocked(const WorkingCopy& work);
  // Drops the states of the removed new file `work` from the queue, the
  // older ones under its token too (or has sendQueue() remove what one of
  // them creates, when it sends it now or has just sent it).
  void dropQueuedLocked(WorkingCopy& work);

 private:
  using Lock = MountState::Lock;
  // `staged` stays in the queue: it is `work`'s waiting state from now on.
  // Called before the entry is let go, so that tookQueued() finds the file
  // whenever sendQueue() sends it.
  static void markWaitingLocked(WorkingCopy& work, const StagedState& staged);

  // Sends `staged`, a state of `work` (held with its uploadMutex), and takes
  // the outcome into the node. A sending stopped by `cancel` leaves the state
  // waiting in the queue, as one the host did not answer.
  [[nodiscard]] ErrnoOr<void> finishUpload(Ino ino, WorkingCopy& work, const StagedState& staged,
                                           const fp::Progress* cancel = nullptr);
  // The write-back thread's part: sends, parks or drops what a close of `ino`
  // left to it, then lets go of the working copy if nobody holds it.
  void sendHanded(Ino ino);
  // sendQueue(), stopping after the entry `last` (0: at the end).
  std::size_t sendQueueUpTo(std::uint64_t last, const fp::Progress* cancel);
  // The steps of sendQueueUpTo(). Holds the entry `change` for sending (and
  // reads it again as it is now): true; false when it is passed over (being
  // written, or held by another sending); none when it is gone.
  std::optional<bool> takeEntry(QueuedChange& change);
  // What follows the sending of `change`: the file takes what was made, or
  // what a file removed meanwhile made is removed.
  void afterSent(const QueuedChange& change, const Sent& sent);
  // Waits until no new file is being created where the move `change` goes;
  // false when `cancel` ended the wait.
  bool waitForCreationsAt(const QueuedChange& change, const fp::Progress* cancel);
  // The host did not answer: the next sending waits longer.
  void backOff();
  // Sends one queued change; forgets it when sent, moves it to unsent/ when it
  // is refused for good.
  Sent sendChange(const QueuedChange& change, ItemState expected,
                  const fp::Progress* cancel = nullptr);
  // The steps of sendChange() after a failure. The creation `change` was
  // refused: what an earlier creation of the same file made, taken as this
  // one (and changed to this state); none when there is none, with `failure`
  // set to that change's failure when it was tried.
  std::optional<Sent> takeEarlierCreation(const QueuedChange& change, const ItemState& expected,
                                          const std::string& what, const fp::Progress* cancel,
                                          fp::Error& failure);
  // The steps of sendChange() for a state of an existing item, made before it
  // is sent (conflicts.h, sender_conflicts.cc). What was done when the item
  // changed or went on the service meanwhile; none when it did not.
  std::optional<Sent> keepBothIfChangedThere(const QueuedChange& change, const std::string& what,
                                             const fp::Progress* cancel);
  // This device's state is created beside `now` under a conflict name, and the
  // file shows the service's version.
  Sent keepBoth(const QueuedChange& change, const ItemState& now, const std::string& what,
                const fp::Progress* cancel);
  // The item was removed on the service: this device's state is created again
  // where it was (its folders made again as needed), and the node names it.
  Sent createAgain(const QueuedChange& change, const std::string& what, const fp::Progress* cancel);
  // `folder` when it is on the service; else it is made again (and its own
  // folders before it) under the name the tree knows, and what waits in it
  // goes there.
  fp::StatusOr<fp::ItemIdentifier> folderAgain(const fp::ItemIdentifier& folder,
                                               const fp::Progress* cancel);
  // The new file `change` was refused because its folder was removed on the
  // service: it is created in that folder made again; none when its folder is
  // there (or cannot be made again).
  std::optional<Sent> createInFolderAgain(const QueuedChange& change, const ItemState& expected,
                                          const fp::Progress* cancel);
  // The node of `now` shows the service's version (the kernel forgets its data).
  void showServiceVersion(const ItemState& now);
  // Logs `message` and notes the case of the item `identifier` (`copy`: the
  // conflict copy made, if any) in the cache folder.
  void noteConflictCase(const fp::ItemIdentifier& identifier, const std::string& kind,
                        const std::string& copy, const std::string& message);
  // The host did not answer: `change` waits in the queue, unless the mount
  // cannot read its own copy of it.
  Sent keepForLater(const QueuedChange& change, const std::string& what);
  // Refused for good with `error` (`err`): moved to unsent/ with the reason.
  Sent refuseChange(const QueuedChange& change, const std::string& what, const fp::Error& error,
                    int err);
  // A close gave up its wait for the host (a signal, the end of the mount):
  // the queue does not try again at once.
  void gaveUpWaiting();
  // Whether the mount shows the item `identifier` as removed by a program here.
  bool removedHere(const fp::ItemIdentifier& identifier);
  // Takes what the queue's sending of `change` gave into the file whose state
  // it was, when the mount still shows it from its working copy.
  void tookQueued(const QueuedChange& change, const Sent& sent);
  // `made`, what the queue's sending of the older state `staged` of the new
  // file `ino` created while a newer state of it was closed and waits: the
  // file takes it (tookSent()), and that state becomes a change of it.
  void adoptMade(Ino ino, WorkingCopy& work, const StagedState& staged, const ItemState& made);
  // Takes `fresh`, what the service made of `staged`, into the node `ino`
  // (its working copy `work`): binds a new file, sends (or queues) a rename
  // or removal made meanwhile, and shows it.
  [[nodiscard]] ErrnoOr<void> tookSent(Ino ino, WorkingCopy& work, const StagedState& staged,
                                       ItemState fresh);
  // The steps of tookSent(). Deletes `made` (of the new file `name`, removed
  // here meanwhile) on the service, or queues that; drops the lock. Succeeds
  // (a failure is logged).
  [[nodiscard]] ErrnoOr<void> removeMade(Lock& lock, const std::string& name,
                                         const ItemState& made);
  // The same without the lock held: deletes `made` at once, ahead of the
  // queue, unless a move of it waits there (then the removal is queued after
  // it); queued also when the host does not answer.
  void removeMadeNow(const std::string& name, const ItemState& made);
  // Sends (or queues) the renames and moves made of the new file `ino` while
  // its creation `staged` was sent, updating `fresh`; an outcome when
  // tookSent() is to return it (the file went meanwhile, or a move was
  // refused), none when it goes on.
  // A move sent into another folder marks it in `into` (creations_in_flight.h).
  [[nodiscard]] std::optional<ErrnoOr<void>> followMovesLocked(
      Lock& lock, Ino ino, const StagedState& staged, ItemState& fresh,
      std::list<CreationsInFlight::Mark>& into);

  MountState& s_;
  NodeTree& tree_;
  Residency& residency_;
  OpenFiles& files_;
  EditSender& queued_;

  // Guarded by the tree lock: new files being created on the service now.
  CreationsInFlight creating_;
  // Guarded by the tree lock: queue entries of new files removed while
  // sendQueue() sent them; what they created is removed again.
  std::set<std::uint64_t> droppedWhileSent_;
  // Guarded by the tree lock: the tokens of new files removed while a state
  // of theirs waited; a creation of one that sendQueue() sent meanwhile is
  // removed again. Kept while the queue holds an entry of the token.
  std::set<std::string> droppedFiles_;
  // Forgets the drops above that no entry of `pending` (the whole queue, read
  // while no sending of it is under way) names any more.
  void forgetFinishedDrops(const std::vector<QueuedChange>& pending);
  OwnCreations created_;  // thread-safe; never called back
  std::mutex queueMu_;    // one sending of the queue at a time (lock order: mount_fs.h)
  std::chrono::steady_clock::time_point nextQueueAttempt_{};
  std::chrono::milliseconds queueBackoff_{0};
  // Write-back: until then (steady clock), closed states are kept in the
  // queue without a try, since the host application did not answer.
  std::atomic<std::chrono::steady_clock::rep> writeBackPausedUntil_{0};
  // Until then (steady clock), sendQueue() tries nothing: a close gave up its
  // wait for the host (a signal, or the end of the mount).
  std::atomic<std::chrono::steady_clock::rep> interruptedUntil_{0};
  std::atomic<bool> writeBack_{false};  // closes leave the sending to sender_
  // Set before the mount serves; last, so that it stops before anything it uses goes.
  std::unique_ptr<BackgroundSender> sender_;
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_SENDER_H_
