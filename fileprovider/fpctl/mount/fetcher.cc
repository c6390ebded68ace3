#include "fileprovider/fpctl/mount/fetcher.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "fileprovider/fpctl/mount/cache_folder.h"
#include "fileprovider/fpctl/mount/residency.h"

namespace fpctl::mount {
namespace fs = std::filesystem;

ErrnoOr<Fetcher::Fetched> Fetcher::fetchContents(Ino ino, const ItemState& item,
                                                 const fp::Progress* cancel) {
  std::string what = describe(item.filename, item.identifier);
  auto fetched = s_.provider.fetch(item.identifier, item.version, cancel);
  if (!fetched) return fp::fail(s_.logFailure("fetch", what, fetched.error()));
  std::string version =
      fetched->item ? fetched->item->version.contentVersion : item.version.contentVersion;
  // The copy is bounded by the size the item claims: a host handing back an
  // endless file cannot fill the cache's disk.
  std::int64_t claimed = std::max<std::int64_t>(
      item.size.value_or(0), fetched->item ? fetched->item->size.value_or(0) : 0);
  std::int64_t limit = fetchedCopyLimit(claimed);
  Fetched result;
  auto stored =
      s_.cache.store(item.identifier, version, fetched->path, limit, residency_.keepPredicate(),
                     residency_.isPinnedItem(ino, item.identifier));
  if (stored) {
    result.cached = *stored;
  } else if (stored.error().value == ENOSPC) {
    // The bound (or the disk) has no room for it: read the extension's file
    // itself, as long as it is open.
    auto direct = openFetched(fetched->path, limit);
    if (!direct) {
      return fp::fail(s_.logFailure(
          "fetch", what, direct.error().value,
          "cannot read the fetched contents: " + std::string(std::strerror(direct.error().value))));
    }
    s_.log.info("%{public}@ is read without a copy in the cache: the cache's bound has no room",
                {what});
    result.direct = std::make_shared<fp::ScopedFD>(std::move(*direct));
  } else {
    return fp::fail(s_.logFailure("fetch", what, stored.error().value,
                                  "cannot copy the contents into the cache: " +
                                      std::string(std::strerror(stored.error().value))));
  }
  if (fetched->item) {
    bool changed = false;
    {
      std::lock_guard lock(s_.mu);
      Node* n = s_.inodes.find(ino);
      if (n && !n->work && !n->local && !n->item.sameAttributes(*fetched->item)) {
        n->item = *fetched->item;
        changed = true;
      }
    }
    if (changed) s_.notifier.forgetInode(ino, false);
  }
  return result;
}

ErrnoOr<fp::ScopedFD> Fetcher::contentsOf(Ino ino, const fp::Progress* cancel) {
  ItemState item;
  {
    std::lock_guard lock(s_.mu);
    Node* n = s_.inodes.find(ino);
    if (!n) return fp::fail(Errno{ENOENT});
    item = n->item;
  }
  return contentsOfItem(ino, item, cancel);
}

ErrnoOr<fp::ScopedFD> Fetcher::contentsOfItem(Ino ino, const ItemState& item,
                                              const fp::Progress* cancel) {
  auto openCopy = [](const fs::path& p) { return openInCache(p, O_RDONLY); };
  if (auto hit = s_.cache.find(item.identifier, item.version.contentVersion)) {
    // Opened at once: a copy dropped from now on stays readable through it.
    if (fp::ScopedFD fd = openCopy(*hit)) return fd;
  }

  // Several openers of one version share one fetch.
  std::string key = item.identifier + '\0' + item.version.contentVersion;
  for (int attempts = 0;;) {
    std::promise<ErrnoOr<Fetched>> promise;
    std::shared_future<ErrnoOr<Fetched>> result;
    bool mine = false;
    {
      std::lock_guard lock(s_.mu);
      auto [it, inserted] = fetches_.try_emplace(key);
      if (inserted) {
        it->second = promise.get_future().share();
        mine = true;
      }
      result = it->second;
    }
    if (mine) {
      promise.set_value(fetchContents(ino, item, cancel));
      std::lock_guard lock(s_.mu);
      fetches_.erase(key);
    }
    // Waiting for another opener's fetch can be interrupted too.
    while (result.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
      if (cancel && cancel->isCancelled()) return fp::fail(Errno{EINTR});
    }
    const ErrnoOr<Fetched>& outcome = result.get();
    // The opener that fetched was interrupted, this one was not: fetch again.
    if (!mine && !outcome && outcome.error().value == EINTR && !(cancel && cancel->isCancelled())) {
      continue;
    }
    if (!outcome) return fp::fail(outcome.error());
    if (outcome->direct) {
      // Every opener reads through a descriptor of its own.
      fp::ScopedFD fd(::fcntl(outcome->direct->get(), F_DUPFD_CLOEXEC, 0));
      if (!fd) return fp::fail(Errno{errno});
      return fd;
    }
    if (fp::ScopedFD fd = openCopy(outcome->cached)) return fd;
    // Dropped before it could be opened (the bound is tight and everything
    // else is in use): fetch again.
    int e = errno;
    if (++attempts >= 3) {
      return fp::fail(s_.logFailure("open", describe(item.filename, item.identifier), e,
                                    "cached contents are gone"));
    }
  }
}

}  // namespace fpctl::mount
