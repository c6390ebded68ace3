#include "fileprovider/fpctl/mount/change_poller.h"

#include <algorithm>

namespace fpctl::mount {

ChangePoller::ChangePoller(MountFs& fs, std::chrono::milliseconds interval,
                           std::chrono::milliseconds longestWait)
    : fs_(fs),
      interval_(interval),
      longestWait_(std::max(interval, longestWait)),
      thread_([this] {
        auto lastCheck = std::chrono::steady_clock::now();
        run(
            [this, &lastCheck] {
              [[maybe_unused]] std::size_t waiting = fs_.sendQueue(/*untilTheEnd=*/true);
              auto now = std::chrono::steady_clock::now();
              bool writing = now - fs_.lastWrite() < interval_;
              if (!writing || now - lastCheck >= longestWait_) {
                fs_.checkForChanges();
                lastCheck = std::chrono::steady_clock::now();
              }
              // The age bound needs a clock, not an event.
              [[maybe_unused]] std::int64_t dropped = fs_.trimCache();
            },
            &soon_);
      }),
      keeper_([this] { run([this] { fs_.keepPinnedLocal(); }); }) {}

ChangePoller::~ChangePoller() { stop(); }

void ChangePoller::stop() {
  {
    std::unique_lock lock(mu_);
    stopping_ = true;
    cv_.notify_all();
    // A sending or fetch under way gets a moment to end on its own; then the
    // wait for the host is stopped (what was being sent stays queued).
    cv_.wait_for(lock, kGrace, [&] { return busy_ == 0; });
  }
  fs_.cancelBackgroundWork();
  if (thread_.joinable()) thread_.join();
  if (keeper_.joinable()) keeper_.join();
}

void ChangePoller::sendSoon() {
  std::lock_guard lock(mu_);
  soon_ = true;
  cv_.notify_all();
}

void ChangePoller::run(const std::function<void()>& work, bool* soon) {
  std::unique_lock lock(mu_);
  for (;;) {
    cv_.wait_for(lock, interval_, [&] { return stopping_ || (soon && *soon); });
    if (stopping_) return;
    if (soon) *soon = false;
    ++busy_;
    lock.unlock();
    work();
    lock.lock();
    --busy_;
    cv_.notify_all();
  }
}

}  // namespace fpctl::mount
