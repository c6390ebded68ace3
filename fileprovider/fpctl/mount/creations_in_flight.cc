#include "fileprovider/fpctl/mount/creations_in_flight.h"

#include <chrono>
#include <utility>

namespace fpctl::mount {

CreationsInFlight::Mark::Mark(CreationsInFlight& set, std::mutex& mu, fp::ItemIdentifier folder)
    : set_(set), mu_(mu), folder_(std::move(folder)), ticket_(set.nextTicket_++) {
  set_.folders_.insert(folder_);
  set_.tickets_.insert(ticket_);
}

CreationsInFlight::Mark::~Mark() {
  std::lock_guard lock(mu_);
  if (auto it = set_.folders_.find(folder_); it != set_.folders_.end()) set_.folders_.erase(it);
  set_.tickets_.erase(ticket_);
  set_.ended_.notify_all();
}

bool CreationsInFlight::waitForThoseUnderWay(std::unique_lock<std::mutex>& lock,
                                             const fp::Progress* cancel) {
  const std::uint64_t now = nextTicket_;
  while (!tickets_.empty() && *tickets_.begin() < now) {
    if (cancel && cancel->isCancelled()) return false;
    ended_.wait_for(lock, std::chrono::milliseconds(50));
  }
  return true;
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
