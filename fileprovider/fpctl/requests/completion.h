// Completion: hands the outcome of one completion handler, called on whatever
// thread the extension chooses, to the thread that waits for it.
#ifndef FPCTL_REQUESTS_COMPLETION_H_
#define FPCTL_REQUESTS_COMPLETION_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "fileprovider/progress.h"

namespace fpctl {

// The first value set wins; later ones are ignored (a handler is called exactly
// once, but the platform does not rely on it). Handlers hold a Completion by
// shared pointer, so a late call never touches freed memory.
template <class T>
class Completion {
 public:
  void set(T value) {
    std::lock_guard lock(mu_);
    if (value_) return;
    value_.emplace(std::move(value));
    cv_.notify_all();
  }

  // Waits without a time limit: a handler that never comes is the extension's fault.
  T wait() {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return value_.has_value(); });
    return std::move(*value_);
  }

  // Waits until the value is there or `cancel` (if any) is cancelled; none in
  // the latter case. Cancellation is noticed within about 20 ms.
  std::optional<T> waitUnless(const fp::Progress* cancel) {
    std::unique_lock lock(mu_);
    if (!cancel) {
      cv_.wait(lock, [&] { return value_.has_value(); });
      return std::move(*value_);
    }
    while (!cv_.wait_for(lock, std::chrono::milliseconds(20), [&] { return value_.has_value(); })) {
      if (cancel->isCancelled()) return std::nullopt;
    }
    return std::move(*value_);
  }

  // Waits, calling `tick` every `interval` until the value is there.
  T wait(const std::function<void()>& tick, std::chrono::milliseconds interval) {
    std::unique_lock lock(mu_);
    while (!cv_.wait_for(lock, interval, [&] { return value_.has_value(); })) {
      lock.unlock();
      tick();
      lock.lock();
    }
    return std::move(*value_);
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::optional<T> value_;
};

template <class T>
std::shared_ptr<Completion<T>> makeCompletion() {
  return std::make_shared<Completion<T>>();
}

}  // namespace fpctl

#endif  // FPCTL_REQUESTS_COMPLETION_H_
