// NSProgress: a thread-safe pair of unit counts with cancellation.
#ifndef FILEPROVIDER_PROGRESS_H_
#define FILEPROVIDER_PROGRESS_H_

#include <atomic>
#include <cstdint>
#include <memory>

namespace fp {

class Progress {
 public:
  explicit Progress(std::int64_t totalUnitCount) : total_(totalUnitCount) {}
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  std::int64_t totalUnitCount() const { return total_.load(); }
  void setTotalUnitCount(std::int64_t n) { total_.store(n); }
  std::int64_t completedUnitCount() const { return completed_.load(); }
  void setCompletedUnitCount(std::int64_t n) { completed_.store(n); }
  // Adds `n` to the completed count atomically.
  void addCompletedUnitCount(std::int64_t n) { completed_.fetch_add(n); }

  void cancel() { cancelled_.store(true); }
  bool isCancelled() const { return cancelled_.load(); }
  // True once total > 0 and completed >= total.
  bool isFinished() const {
    auto t = total_.load();
    return t > 0 && completed_.load() >= t;
  }

 private:
  std::atomic<std::int64_t> total_;
  std::atomic<std::int64_t> completed_{0};
  std::atomic<bool> cancelled_{false};
};

using ProgressPtr = std::shared_ptr<Progress>;

inline ProgressPtr makeProgress(std::int64_t totalUnitCount) {
  return std::make_shared<Progress>(totalUnitCount);
}

}  // namespace fp

#endif  // FILEPROVIDER_PROGRESS_H_
