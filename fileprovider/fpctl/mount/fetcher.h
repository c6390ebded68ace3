// The fetcher: opening a file for reading fetches its contents once per
// content version into the cache; reads are served from there. The cache
// keeps to its bound (content_cache.h): before a copy is stored, the least
// recently used copies go, save those that must stay (residency.h); a file the bound
// cannot hold even so is read from the file the extension handed back,
// without a copy. Several openers of one version share one fetch.
#ifndef FPCTL_MOUNT_FETCHER_H_
#define FPCTL_MOUNT_FETCHER_H_

#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <unordered_map>

#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/fpctl/mount/inode_table.h"
#include "fileprovider/fpctl/mount/item_state.h"
#include "fileprovider/fpctl/mount/mount_state.h"
#include "fileprovider/progress.h"
#include "fileprovider/scoped_fd.h"

namespace fpctl::mount {

class Residency;

class Fetcher {
 public:
  Fetcher(MountState& state, Residency& residency) : s_(state), residency_(residency) {}

  // The contents of `ino`'s item, open for reading: the cached copy, fetched
  // when missing. `cancel` ends the wait for the extension (EINTR).
  ErrnoOr<fp::ScopedFD> contentsOf(Ino ino, const fp::Progress* cancel);
  // The contents of `item` (shown as `ino`, 0 when it has no node), as
  // contentsOf().
  ErrnoOr<fp::ScopedFD> contentsOfItem(Ino ino, const ItemState& item, const fp::Progress* cancel);

 private:
  // What a fetch gave: the copy in the cache, or the extension's file itself,
  // open, when the cache cannot hold it.
  struct Fetched {
    std::filesystem::path cached;
    std::shared_ptr<fp::ScopedFD> direct;
  };
  ErrnoOr<Fetched> fetchContents(Ino ino, const ItemState& item, const fp::Progress* cancel);

  MountState& s_;
  Residency& residency_;
  // The fetches under way, by identifier and content version; guarded by the
  // tree lock.
  std::unordered_map<std::string, std::shared_future<ErrnoOr<Fetched>>> fetches_;
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_FETCHER_H_
