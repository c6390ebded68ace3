#include "fileprovider/fpctl/mount/creations_in_flight.h"

#include <chrono>
#include <utility>

namespace fpctl::mount {

CreationsInFlight::Mark::Mark(CreationsInFlight& set, std::mutex& mu, fp::ItemIdentifier folder)
    : set_(set), mu_(mu), folder_(std::move(folder)) {
  set_.folders_.insert(folder_);
}

CreationsInFlight::Mark::~Mark() {
  std::lock_guard lock(mu_);
  if (auto it = set_.folders_.find(folder_); it != set_.folders_.end()) set_.folders_.erase(it);
  set_.ended_.notify_all();
}

bool CreationsInFlight::waitUntilFree(std::unique_lock<std::mutex>& lock,
                                      const fp::ItemIdentifier& folder,
                                      const fp::Progress* cancel) {
  // A cancellation wakes nobody: it is looked at every 50 ms.
  while (busy(folder)) {
    if (cancel && cancel->isCancelled()) return false;
    ended_.wait_for(lock, std::chrono::milliseconds(50));
  }
  return true;
}

}  // namespace fpctl::mount
