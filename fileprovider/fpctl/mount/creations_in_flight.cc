#include "fileprovider/fpctl/mount/creations_in_flight.h"

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

void CreationsInFlight::waitUntilFree(std::unique_lock<std::mutex>& lock,
                                      const fp::ItemIdentifier& folder) {
  ended_.wait(lock, [&] { return !busy(folder); });
}

}  // namespace fpctl::mount
