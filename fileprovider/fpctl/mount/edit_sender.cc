#include "fileprovider/fpctl/mount/edit_sender.h"

#include "fileprovider/fpctl/mount/conflicts.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "fileprovider/fpctl/mount/conflicts.h"
#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/fpctl/mount/name_refusal.h"
#include "fileprovider/fpctl/mount/shown_path.h"
#include "fileprovider/fpctl/mount/tree_edits.h"
#include "fileprovider/fpctl/requests/template_item.h"

namespace fpctl::mount {
namespace fs = std::filesystem;

QueuedChange EditSender::editOf(ChangeKind kind, const ItemState& item) {
  QueuedChange edit;
  edit.kind = kind;
  edit.identifier = item.identifier;
  edit.parent = item.parent;
  edit.filename = item.filename;
  edit.baseVersion = item.version;
  edit.item = item;
  return edit;
}

ErrnoOr<void> EditSender::journalEdit(const QueuedChange& edit, const std::string& what) {
  auto put = s_.cache.queue().putEdit(edit);
  if (!put) {
    int e = put.error().value;
    return fp::fail(s_.logFailure(edit.kind == ChangeKind::kMove ? "rename" : "delete", what, e,
                                  "cannot keep it in the cache: " + std::string(std::strerror(e))));
  }
  const char* change = edit.kind == ChangeKind::kMove         ? "the move"
                       : edit.kind == ChangeKind::kMakeFolder ? "the making"
                                                              : "the removal";
  s_.log.info(
      "%{public}@ of %{public}@ is queued and will be sent when the host application answers",
      {std::string(change), what});
  return fp::Ok{};
}

Sent EditSender::sendEdit(const QueuedChange& queued, const fp::Progress* cancel) {
  QueuedChange edit = queued;
  edit.parent = s_.cache.queue().resolve(edit.parent);
  edit.item.parent = edit.parent;
  if (edit.kind != ChangeKind::kMakeFolder) {
    // A folder made here may have been moved or removed by a program between
    // its making and the moment its node learned the service's identifier.
    edit.identifier = edit.item.identifier = s_.cache.queue().resolve(edit.identifier);
  }
  Sent sent;
  // A removal goes by the item alone: its folder may be one made here that was
  // removed again before it reached the service.
  const bool needsFolder = edit.kind != ChangeKind::kRemove;
  if ((needsFolder && isLocalIdentifier(edit.parent)) ||
      (edit.kind != ChangeKind::kMakeFolder && isLocalIdentifier(edit.identifier))) {
    // Its folder (or the item it moves or removes) is not on the service yet.
    sent.queued = sent.blocked = true;
    return sent;
  }
  const std::string what = describe(edit.filename, edit.identifier);
  if (edit.kind == ChangeKind::kMakeFolder) {
    EditAttempt made = sendMakeFolder(edit, what, cancel);
    if (!made.item) return refused(edit, what, made);
    sent.item = made.item;
    return sent;
  }
  EditAttempt attempt =
      edit.kind == ChangeKind::kMove ? sendMove(edit, cancel) : sendRemoval(edit, what, cancel);
  if (!attempt.item) return refused(edit, what, attempt);
  s_.cache.queue().remove(edit.seq);
  sent.item = attempt.item;
  return sent;
}

EditSender::EditAttempt EditSender::sendMakeFolder(const QueuedChange& edit,
                                                   const std::string& what,
                                                   const fp::Progress* cancel) {
  ItemState expected = edit.item;
  expected.identifier.clear();
  auto r = s_.provider.create(fpctl::TemplateItem::forNew(edit.parent, edit.filename, true),
                              std::nullopt, cancel);
  if (!r) return {.error = r.error()};
  ItemState fresh = s_.createdItem(*r, expected);
  if (auto bound = s_.cache.queue().bind(edit.identifier, fresh.identifier); !bound) {
    s_.logFailure("mkdir", what, bound.error().value,
                  "what waits in it may be sent again after a restart");
  }
  // Its node learns the service's folder while the making is still held in
  // the queue: a removal of it meanwhile waits for that (it would otherwise
  // find nothing to drop and take the folder for one never made).
  tookFolder(edit.identifier, fresh);
  s_.cache.queue().remove(edit.seq);
  return {.item = fresh};
}

void EditSender::tookFolder(const fp::ItemIdentifier& was, const ItemState& fresh) {
  edits_.tookFolder(was, fresh);
}

EditSender::EditAttempt EditSender::sendMove(QueuedChange& edit, const fp::Progress* cancel) {
  // What changes is read off the item as the service has it now: an older
  // move of it that was dropped (its folder made here was removed again)
  // may have changed what this one leaves as it is.
  if (auto there = s_.provider.item(edit.identifier, cancel)) {
    const bool movedThere = !edit.fromFilename.empty() &&
                            (there->parent != s_.cache.queue().resolve(edit.fromParent) ||
                             there->filename != edit.fromFilename) &&
                            !(there->parent == edit.parent && there->filename == edit.filename) &&
                            s_.written.metadataChangedThere(edit.baseVersion, there->identifier,
                                                            there->version.metadataVersion);
    if (movedThere) {
      // Moved or renamed on the service too since this device saw it: the
      // service's place wins.
      const std::string path = edits_.keepServicePlace(*there, edit.parent, edit.filename);
      if (s_.notices) s_.notices->conflict(path, "");
      noteConflictCase(s_.log, s_.cache.root(), {path, "moved here and there", ""},
                       describe(edit.filename, edit.identifier) +
                           " was moved or renamed on the service too; it stays at " + path);
      return {.item = *there};
    }
    edit.fields = 0;
    if (there->parent != edit.parent) edit.fields |= fp::field::kParentItemIdentifier;
    if (there->filename != edit.filename) edit.fields |= fp::field::kFilename;
  }
  auto r =
      s_.provider.modify(fpctl::TemplateItem::named(edit.identifier, edit.parent, edit.filename),
                         edit.baseVersion, edit.fields, std::nullopt, cancel);
  if (!r) return {.error = r.error()};
  return {.item = s_.reread(*r, edit.item)};
}

EditSender::EditAttempt EditSender::sendRemoval(const QueuedChange& edit, const std::string& what,
                                                const fp::Progress* cancel) {
  // A folder goes with its whole tree on the service: only when it is still
  // proven empty there.
  if (edit.item.isFolder) {
    int err = errnoOf(edits_.provenEmpty("rmdir", edit.item, what, cancel, false));
    if (err != 0) return {.err = err};
  }
  if (!edit.item.isFolder) {
    auto there = s_.provider.item(edit.identifier, cancel);
    if (there && s_.written.changedThere(edit.baseVersion, there->identifier,
                                         there->version.contentVersion)) {
      // Changed on the service since this device saw it: that edit stays, and
      // the file shows again.
      const std::string path = edits_.reappear(*there);
      if (s_.notices) s_.notices->conflict(path, "");
      noteConflictCase(s_.log, s_.cache.root(), {path, "removed here, changed there", ""},
                       what + " was changed on the service; it is not removed, and shows again");
      return {.item = *there};
    }
  }
  auto r = s_.provider.remove(edit.identifier, edit.baseVersion, false, cancel);
  if (r || errnoFor(r.error()) == ENOENT) return {.item = edit.item};
  return {.error = r.error()};
}

Sent EditSender::refused(const QueuedChange& edit, const std::string& what,
                         const EditAttempt& attempt) {
  Sent sent;
  const bool move = edit.kind == ChangeKind::kMove;
  const std::optional<fp::Error>& error = attempt.error;
  int err = attempt.err;
  const char* op = move ? "rename" : edit.kind == ChangeKind::kMakeFolder ? "mkdir" : "delete";
  if (error) err = s_.logFailure(op, what, *error).value;
  // Without the service's error, the errno found before asking it decides (a
  // folder whose emptiness could not be proven, a cancel).
  if (error ? fp::isTransient(*error) : isTransient(err)) {
    sent.queued = true;
    return sent;
  }
  bool taken = (move || edit.kind == ChangeKind::kMakeFolder) && error &&
               refusedAsTaken(s_.provider, {*error, edit.parent, edit.filename,
                                            move ? edit.identifier : fp::ItemIdentifier()});
  if (taken) err = EEXIST;
  std::string reason =
      std::string(move                                   ? "moving or renaming to " + edit.filename
                  : edit.kind == ChangeKind::kMakeFolder ? "making the folder " + edit.filename
                                                         : "removing " + edit.filename) +
      " was refused: " + std::strerror(err) +
      (error ? " (" + refusalWords(*error, taken, edit.filename) + ")" : std::string());
  fs::path kept =
      s_.cache.queue().refuse(edit.seq, reason, shownPathOf(s_, edit.parent, edit.filename));
  if (kept.empty()) {
    sent.queued = true;
  } else {
    s_.logFailure(op, what, err,
                  "refused; the item stays as the service has it (" + kept.string() + ")");
    if (s_.notices) s_.notices->refused(what, reason);
    sent.err = err;
  }
  return sent;
}

bool EditSender::mustQueueEditOf(const fp::ItemIdentifier& identifier) const {
  return s_.cache.queue().hasEditsOrEntryOf(identifier);
}

ErrnoOr<void> EditSender::removeOrQueue(std::string_view op, const ItemState& item,
                                        const std::string& what, const fp::Progress* cancel) {
  if (!mustQueueEditOf(item.identifier)) {
    auto removed = s_.provider.remove(item.identifier, item.version, false, cancel);
    if (removed) return fp::Ok{};
    Errno e = s_.logFailure(op, what, removed.error());
    if (!fp::isTransient(removed.error()) || (cancel && cancel->isCancelled())) {
      return fp::fail(e);
    }
  }
  return journalEdit(editOf(ChangeKind::kRemove, item), what);
}

}  // namespace fpctl::mount
