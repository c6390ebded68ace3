#include "extension/model/index_pool.h"

namespace pellora {

IndexPool::IndexPool(std::string appGroup, std::string databaseName,
                     std::chrono::milliseconds idleLife)
    : appGroup_(std::move(appGroup)), databaseName_(std::move(databaseName)), idleLife_(idleLife) {}

IndexPool::~IndexPool() { close(); }

std::optional<Index> IndexPool::take() {
  std::optional<Index> kept;
  {
    std::lock_guard lock(mutex_);
    if (!idle_.empty()) {
      kept.emplace(std::move(idle_.back().index));
      idle_.pop_back();
    }
  }
  // Checked outside the lock: it asks the file system. A connection to a file
  // that is no longer the index is closed here.
  if (kept && kept->opensSameFile(appGroup_, databaseName_)) return kept;
  kept.reset();
  return Index::open(appGroup_, databaseName_);
}

void IndexPool::giveBack(Index index) {
  std::lock_guard lock(mutex_);
  if (closed_ || idle_.size() >= maxIdle) return;  // closed as `index` goes
  idle_.push_back(Kept{std::move(index), Clock::now()});
  if (closing_) return;
  // A thread that ended by itself is joined before the next one starts; it
  // needs the lock no more.
  if (closer_.joinable()) closer_.join();
  closer_ = std::thread([this] { closeIdle(); });
  closing_ = true;
}

void IndexPool::closeIdle() {
  std::unique_lock lock(mutex_);
  while (!idle_.empty()) {
    // The oldest first: connections are given back in time order.
    const Clock::time_point due = idle_.front().since + idleLife_;
    if (Clock::now() >= due) {
      idle_.erase(idle_.begin());
    } else {
      changed_.wait_until(lock, due);
    }
  }
  closing_ = false;
}

void IndexPool::close() {
  std::thread closer;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    idle_.clear();
    closer.swap(closer_);
  }
  changed_.notify_all();
  if (closer.joinable()) closer.join();
}

}  // namespace pellora
