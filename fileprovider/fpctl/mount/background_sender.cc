#include "fileprovider/fpctl/mount/background_sender.h"

#include <utility>

namespace fpctl::mount {

BackgroundSender::BackgroundSender(std::function<void(Ino)> send)
    : send_(std::move(send)), thread_([this] { run(); }) {}

BackgroundSender::~BackgroundSender() { [[maybe_unused]] auto left = stop(); }

void BackgroundSender::push(Ino ino) {
  std::lock_guard lock(mu_);
  waiting_.push_back(ino);
  cv_.notify_all();
}

void BackgroundSender::waitUntilIdle() {
  std::unique_lock lock(mu_);
  cv_.wait(lock, [&] { return (waiting_.empty() || stopping_) && !busy_; });
}

std::vector<Ino> BackgroundSender::stop() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
    cv_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
  std::lock_guard lock(mu_);
  std::vector<Ino> left(waiting_.begin(), waiting_.end());
  waiting_.clear();
  return left;
}

void BackgroundSender::run() {
  std::unique_lock lock(mu_);
  for (;;) {
    cv_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
    if (stopping_) return;
    Ino ino = waiting_.front();
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
