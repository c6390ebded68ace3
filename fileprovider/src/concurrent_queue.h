// The concurrent queue behind fp::globalQueue: a pool of worker threads that
// grows with demand and shrinks when idle. Internal to the platform library.
#ifndef FILEPROVIDER_SRC_CONCURRENT_QUEUE_H_
#define FILEPROVIDER_SRC_CONCURRENT_QUEUE_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "fileprovider/dispatch.h"

namespace fp {

// Runs submitted work in submission order of start, each item on some worker
// thread. When work arrives and no worker is free to take it, a new worker is
// started, up to `maxWorkers`; beyond that the work waits for a worker. So work
// that blocks for a long time never holds up other work while the bound is not
// reached. A worker that has had nothing to do for `idleTimeout` ends.
//
// Workers are detached threads. The global queues live for the whole process;
// a queue destroyed earlier (in tests) first waits until every submitted item
// has run and every worker has ended.
class ConcurrentQueue final : public DispatchQueue {
 public:
  ConcurrentQueue(std::size_t maxWorkers, std::chrono::milliseconds idleTimeout);
  ~ConcurrentQueue() override;
  ConcurrentQueue(const ConcurrentQueue&) = delete;
  ConcurrentQueue& operator=(const ConcurrentQueue&) = delete;

  void async(std::function<void()> work) override;

  // Workers alive now (busy or idle).
  std::size_t workerCount() const;
  // Workers waiting for work now.
  std::size_t idleCount() const;

 private:
  void workerLoop();
  // Starts one worker; false when the system refuses another thread.
  bool startWorker();

  const std::size_t maxWorkers_;
  const std::chrono::milliseconds idleTimeout_;

  mutable std::mutex mutex_;
  std::condition_variable workAvailable_;
  std::condition_variable workersGone_;  // signalled when the last worker ends
  std::deque<std::function<void()>> pending_;
  std::size_t workers_ = 0;
  std::size_t idle_ = 0;  // workers waiting for work
  bool stopping_ = false;
};

}  // namespace fp

#endif  // FILEPROVIDER_SRC_CONCURRENT_QUEUE_H_
