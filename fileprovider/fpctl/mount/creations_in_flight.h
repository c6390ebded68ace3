// The folders in which a new file is being created on the service now. Until
// such a creation ended, and the rename or removal that happened to the file
// meanwhile was applied to the item it made, the names it touches are not
// free on the service: the next new file of the folder waits for it before it
// is created, so that a file made again under the same name (a lock file that
// was closed, removed and made anew at once) never collides with it. One
// creation per folder at a time.
//
// Not thread-safe itself: every call but ~Mark() is made with the lock of the
// MountFs that owns it (its mu_) held.
#ifndef FPCTL_MOUNT_CREATIONS_IN_FLIGHT_H_
#define FPCTL_MOUNT_CREATIONS_IN_FLIGHT_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>

#include "fileprovider/item.h"
#include "fileprovider/progress.h"

namespace fpctl::mount {

class CreationsInFlight {
 public:
  // A creation in `folder`, from its construction to its end of scope, where
  // it takes `mu` (not held then) and wakes the waiters.
  class Mark {
   public:
    Mark(CreationsInFlight& set, std::mutex& mu, fp::ItemIdentifier folder);
    ~Mark();
    Mark(const Mark&) = delete;
    Mark& operator=(const Mark&) = delete;

   private:
    CreationsInFlight& set_;
    std::mutex& mu_;
    fp::ItemIdentifier folder_;
    std::uint64_t ticket_;
  };

  [[nodiscard]] bool busy(const fp::ItemIdentifier& folder) const {
    return folders_.count(folder) > 0;
  }
  // Waits until no creation in `folder` is under way (true), or until
  // `cancel` is cancelled (false); `lock` (on the owner's mutex) is let go
  // meanwhile and held again on return.
  [[nodiscard]] bool waitUntilFree(std::unique_lock<std::mutex>& lock,
                                   const fp::ItemIdentifier& folder,
                                   const fp::Progress* cancel = nullptr);
  // The same for every folder, and for the creations under way now: later
  // ones are not waited for, so that a steady stream of them cannot keep the
  // caller waiting.
  [[nodiscard]] bool waitForThoseUnderWay(std::unique_lock<std::mutex>& lock,
                                          const fp::Progress* cancel = nullptr);

 private:
  std::multiset<fp::ItemIdentifier> folders_;
  std::set<std::uint64_t> tickets_;  // of the creations under way, in the order they started
  std::uint64_t nextTicket_ = 0;
  std::condition_variable ended_;
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_CREATIONS_IN_FLIGHT_H_
