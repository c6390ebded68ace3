#include "fileprovider/fpctl/mount/background_sender.h"

#include <algorithm>
#include <utility>

namespace fpctl::mount {

BackgroundSender::BackgroundSender(std::function<void(Ino)> send, std::chrono::milliseconds quiet,
                                   std::chrono::milliseconds longest)
    : send_(std::move(send)), quiet_(quiet), longest_(longest), thread_([this] { run(); }) {}

BackgroundSender::~BackgroundSender() { [[maybe_unused]] auto left = stop(); }

void BackgroundSender::push(Ino ino) {
  std::lock_guard lock(mu_);
  waiting_.push_back({ino, Clock::now()});
  cv_.notify_all();
}

void BackgroundSender::waitUntilIdle() {
  std::unique_lock lock(mu_);
  cv_.wait(lock, [&] { return (waiting_.empty() || stopping_) && !busy_; });
}

void BackgroundSender::waitWhileSending() {
  std::unique_lock lock(mu_);
  cv_.wait(lock, [&] { return !busy_; });
}

std::vector<Ino> BackgroundSender::stop(std::chrono::milliseconds grace,
                                        const std::function<void()>& overtime) {
  {
    std::unique_lock lock(mu_);
    stopping_ = true;
    cv_.notify_all();
    const bool ended = grace == std::chrono::milliseconds::max()
                           ? (cv_.wait(lock, [&] { return !busy_; }), true)
                           : cv_.wait_for(lock, grace, [&] { return !busy_; });
    if (!ended && overtime) {
      lock.unlock();
      overtime();
    }
  }
  if (thread_.joinable()) thread_.join();
  std::lock_guard lock(mu_);
  std::vector<Ino> left;
  for (const Waiting& w : waiting_) left.push_back(w.ino);
  waiting_.clear();
  return left;
}

void BackgroundSender::run() {
  std::unique_lock lock(mu_);
  for (;;) {
    cv_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
    if (stopping_) return;
    // The closes pause, or the oldest has waited long enough.
    const Clock::time_point due =
        std::min(waiting_.back().since + quiet_, waiting_.front().since + longest_);
    if (Clock::now() < due) {
      cv_.wait_until(lock, due, [&] { return stopping_; });
      continue;
    }
    Ino ino = waiting_.front().ino;
    waiting_.pop_front();
    busy_ = true;
    lock.unlock();
    send_(ino);
    lock.lock();
    busy_ = false;
    cv_.notify_all();
  }
}

}  // namespace fpctl::mount
