#include "fileprovider/fpctl/mount/mount_state.h"

#include <time.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "fileprovider/fpctl/mount/open_files.h"
#include "fileprovider/fpctl/mount/upload_queue.h"

namespace fpctl::mount {

namespace {

timespec wallClockNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

}  // namespace

fp::Date now() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string describe(const std::string& name, const fp::ItemIdentifier& identifier) {
  if (identifier.empty()) return name;
  return name + " (" + identifier + ")";
}

std::string keyOf(const Node& n) {
  QueuedChange c;
  if (!n.local) c.identifier = n.item.identifier;
  if (n.local && n.work) c.local = n.work->localToken;
  c.parent = n.item.parent;
  c.filename = n.item.filename;
  return c.key();
}

bool isTransient(int err) {
  // Judged as the POSIX error it is, so that one rule decides for errno values
  // as for the extension's errors.
  return err > 0 && fp::isTransient(posixFailure(err, {}));
}

namespace {
// How often a wait that cannot be woken looks again.
constexpr auto kPoll = std::chrono::milliseconds(20);
}  // namespace

bool lockUnlessCancelled(std::unique_lock<std::mutex>& lock, const fp::Progress* cancel) {
  if (!cancel) {
    lock.lock();
    return true;
  }
  // A mutex cannot be waited on and cancelled at once: the wait polls.
  while (!lock.try_lock()) {
    if (cancel->isCancelled()) return false;
    std::this_thread::sleep_for(kPoll);
  }
  return true;
}

bool pauseUnlessCancelled(const fp::Progress* cancel) {
  if (cancel && cancel->isCancelled()) return false;
  std::this_thread::sleep_for(kPoll);
  return true;
}

MountState::MountState(std::shared_ptr<fp::ReplicatedExtension> extension,
                       ContentCache& contentCache, KernelNotifier& kernel, uid_t owner, gid_t group)
    : provider(std::move(extension)),
      cache(contentCache),
      dates(contentCache.root() / "kept-dates", wallClockNow()),
      notifier(kernel),
      uid(owner),
      gid(group) {}

Errno MountState::logFailure(std::string_view op, const std::string& item, const fp::Error& error) {
  log.error("%{public}@ failed for %{public}@: %{public}@", {op, item, error.description()});
  return Errno{errnoFor(error)};
}

Errno MountState::logFailure(std::string_view op, const std::string& item, int err,
                             std::string_view why) {
  log.error("%{public}@ failed for %{public}@: %{public}@", {op, item, why});
  return Errno{err};
}

ItemState MountState::createdItem(const ItemState& returned, ItemState expected) {
  // The item a creation returns was read from the index when it sits where it
  // was made, under the name asked for: a default item carries neither, so
  // only then is the index asked again.
  if (!returned.identifier.empty() && returned.parent == expected.parent &&
      returned.filename == expected.filename && returned.isFolder == expected.isFolder &&
      !returned.version.contentVersion.empty()) {
    written.note(returned.identifier, returned.version);
    return returned;
  }
  return reread(returned, std::move(expected));
}

ItemState MountState::reread(const ItemState& returned, ItemState expected) {
  // The extension describes the result from its index; until the index shows
  // the item, what it returns carries defaults, so ask again and otherwise keep
  // what was asked for.
  auto again = provider.item(returned.identifier);
  if (again) {
    written.note(again->identifier, again->version);
    return *again;
  }
  expected.identifier = returned.identifier;
  return expected;
}

}  // namespace fpctl::mount
