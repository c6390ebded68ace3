// The edits kept in the upload queue: moves, removals and new folders made
// while the host application is away, or behind such ones, wait there as
// edits (upload_queue.h) and are sent in order with the closed states of
// files (sender.h). The tree shows them at once (tree_edits.h, node_tree.h).
//
// Once an edit waits in the queue, every later move or removal waits behind
// it, as does one of an item a state of which waits there: the service gets
// them in the order they were made. An edit whose folder (or the folder it
// moves) was made here and not on the service yet waits until the queue
// makes that folder. A folder's removal is sent only once the folder is
// proven empty again (tree_edits.h). An edit the service refuses for
// good moves to unsent/ with its reason; the item stays as the service has it.
#ifndef FPCTL_MOUNT_EDIT_SENDER_H_
#define FPCTL_MOUNT_EDIT_SENDER_H_

#include <optional>
#include <string>
#include <string_view>

#include "fileprovider/fpctl/mount/item_state.h"
#include "fileprovider/fpctl/mount/mount_state.h"
#include "fileprovider/fpctl/mount/upload_queue.h"
#include "fileprovider/progress.h"

namespace fpctl::mount {

class TreeEdits;

// What the sending of one queued change came to.
struct Sent {
  std::optional<ItemState> item;  // sent: the item as it is now
  bool queued = false;            // not sent, waits in the queue
  bool blocked = false;           // and waits for the folder it goes to to be made
  int err = 0;                    // not sent: why
};

class EditSender {
 public:
  EditSender(MountState& state, TreeEdits& edits) : s_(state), edits_(edits) {}

  // The edit `kind` of `item` (its place and name after the edit).
  static QueuedChange editOf(ChangeKind kind, const ItemState& item);
  // Puts `edit` durably into the queue, to be sent in order by sendQueue();
  // fails with the errno value the program is told (logged).
  [[nodiscard]] ErrnoOr<void> journalEdit(const QueuedChange& edit, const std::string& what);
  // Sends one queued edit; forgets it when sent, moves it to unsent/ when it
  // is refused for good. Called by the sending of the queue alone.
  Sent sendEdit(const QueuedChange& edit, const fp::Progress* cancel);
  // The folder `was` is `fresh` on the service now (made there from the
  // queue, or made again): the tree names it so (TreeEdits::tookFolder()).
  void tookFolder(const fp::ItemIdentifier& was, const ItemState& fresh);
  // Whether a move or removal of `identifier` must go into the queue rather
  // than to the service at once: edits wait there (they are sent in order),
  // or a state of the item does.
  bool mustQueueEditOf(const fp::ItemIdentifier& identifier) const;
  // Removes `item` on the service; with the host away, or when the removal
  // must wait (mustQueueEditOf()), keeps it in the queue. Fails with errno
  // (logged).
  [[nodiscard]] ErrnoOr<void> removeOrQueue(std::string_view op, const ItemState& item,
                                            const std::string& what, const fp::Progress* cancel);

 private:
  // What one attempt at sending an edit came to: the item as it is now, or
  // the service's error, or an errno value found before asking it.
  struct EditAttempt {
    std::optional<ItemState> item = std::nullopt;
    std::optional<fp::Error> error = std::nullopt;
    int err = 0;
  };
  // Makes the new folder `edit` on the service; once made, forgets the entry,
  // binds what waits in it to the new item and tells the tree.
  EditAttempt sendMakeFolder(const QueuedChange& edit, const std::string& what,
                             const fp::Progress* cancel);
  // Sends the move `edit`, first narrowing its fields to what differs from
  // the item as the service has it now.
  EditAttempt sendMove(QueuedChange& edit, const fp::Progress* cancel);
  // Sends the removal `edit`; a folder only while it is proven empty. An item
  // already gone counts as removed.
  EditAttempt sendRemoval(const QueuedChange& edit, const std::string& what,
                          const fp::Progress* cancel);
  // The edit `edit` was not sent (`attempt`): it stays queued when the fault
  // may pass, else it moves to unsent/ with the reason.
  Sent refused(const QueuedChange& edit, const std::string& what, const EditAttempt& attempt);

  MountState& s_;
  TreeEdits& edits_;
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_EDIT_SENDER_H_
