#include "fileprovider/fpctl/mount/change_poller.h"

#include <algorithm>

namespace fpctl::mount {

ChangePoller::ChangePoller(MountFs& fs, std::chrono::milliseconds interval,
                           std::chrono::milliseconds longestWait)
    : fs_(fs),
      interval_(interval),
      longestWait_(std::max(interval, longestWait)),
      thread_([this] { run(); }) {}

ChangePoller::~ChangePoller() { stop(); }

void ChangePoller::stop() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
    cv_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

void ChangePoller::run() {
  using Clock = std::chrono::steady_clock;
  auto lastCheck = Clock::now();
  std::unique_lock lock(mu_);
  for (;;) {
    if (cv_.wait_for(lock, interval_, [&] { return stopping_; })) return;
    lock.unlock();
    [[maybe_unused]] std::size_t waiting = fs_.sendQueue();
    auto now = Clock::now();
    bool writing = now - fs_.lastWrite() < interval_;
    if (!writing || now - lastCheck >= longestWait_) {
      fs_.checkForChanges();
      lastCheck = Clock::now();
    }
    lock.lock();
  }
}

}  // namespace fpctl::mount
