#include "fileprovider/dispatch.h"

#include <array>
#include <exception>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>

#include "concurrent_queue.h"
#include "fileprovider/log.h"

namespace fp {
namespace {

// Runs one work item. Whatever it throws is logged and goes no further: one
// faulty item must neither end the process nor take its worker with it.
void runGuarded(const std::function<void()>& work) noexcept {
  try {
    work();
  } catch (const std::exception& e) {
    Log("fileprovider", "dispatch").error("a queued work item failed: %{public}s", {e.what()});
  } catch (...) {
    Log("fileprovider", "dispatch").error("a queued work item failed with an unknown exception");
  }
}

// The innermost RunSubmittedWorkHere active on this thread.
thread_local RunSubmittedWorkHere* keeping = nullptr;

}  // namespace

RunSubmittedWorkHere::RunSubmittedWorkHere() : outer_(keeping) { keeping = this; }

RunSubmittedWorkHere::~RunSubmittedWorkHere() {
  stopKeeping();
  for (Kept& k : kept_) k.queue->async(std::move(k.work));
}

void RunSubmittedWorkHere::stopKeeping() {
  if (!active_) return;
  active_ = false;
  if (keeping == this) keeping = outer_;
}

void RunSubmittedWorkHere::run() {
  stopKeeping();
  std::vector<Kept> kept = std::move(kept_);
  kept_.clear();
  for (Kept& k : kept) {
    runGuarded(k.work);
    k.work = nullptr;  // what it captured goes now, not with the rest
  }
}

bool RunSubmittedWorkHere::keep(DispatchQueue& queue, std::function<void()>& work) {
  RunSubmittedWorkHere* here = keeping;
  if (!here) return false;
  here->kept_.push_back(Kept{&queue, std::move(work)});
  return true;
}

ConcurrentQueue::ConcurrentQueue(std::size_t maxWorkers, std::chrono::milliseconds idleTimeout)
    : maxWorkers_(maxWorkers == 0 ? 1 : maxWorkers), idleTimeout_(idleTimeout) {}

ConcurrentQueue::~ConcurrentQueue() {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  workAvailable_.notify_all();
  // Work that could not get a worker (thread creation refused) still has to run.
  while (!pending_.empty() && workers_ == 0) {
    auto work = std::move(pending_.front());
    pending_.pop_front();
    lock.unlock();
    runGuarded(work);
    work = nullptr;
    lock.lock();
  }
  workersGone_.wait(lock, [&] { return workers_ == 0; });
}

void ConcurrentQueue::async(std::function<void()> work) {
  if (!work) return;
  if (RunSubmittedWorkHere::keep(*this, work)) return;
  std::lock_guard lock(mutex_);
  pending_.push_back(std::move(work));
  // Every idle worker takes one pending item; only when the items outnumber the
  // idle workers does another worker start.
  if (pending_.size() > idle_ && workers_ < maxWorkers_) {
    if (startWorker()) return;
  }
  workAvailable_.notify_one();
}

bool ConcurrentQueue::startWorker() {
  // Called with mutex_ held; the new thread blocks on it until async returns.
  ++workers_;
  try {
    std::thread([this] { workerLoop(); }).detach();
  } catch (const std::system_error&) {
    --workers_;
    return false;
  }
  return true;
}

void ConcurrentQueue::workerLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (pending_.empty()) {
      ++idle_;
      bool woken = workAvailable_.wait_for(lock, idleTimeout_,
                                           [&] { return !pending_.empty() || stopping_; });
      --idle_;
      if (!woken || pending_.empty()) break;  // idle too long, or the queue is going away
    }
    auto work = std::move(pending_.front());
    pending_.pop_front();
    lock.unlock();
    runGuarded(work);
    work = nullptr;  // destroy captured state outside the lock
    lock.lock();
  }
  --workers_;
  if (workers_ == 0) workersGone_.notify_all();
}

std::size_t ConcurrentQueue::workerCount() const {
  std::lock_guard lock(mutex_);
  return workers_;
}

std::size_t ConcurrentQueue::idleCount() const {
  std::lock_guard lock(mutex_);
  return idle_;
}

DispatchQueue& globalQueue(QoS qos) {
  // One queue per class, created together and never destroyed: workers may still
  // be running when the process exits, so the queues must outlive static destruction.
  static const auto* queues = [] {
    constexpr std::size_t kMaxWorkers = 512;
    constexpr std::chrono::seconds kIdleTimeout{10};
    auto* all = new std::array<ConcurrentQueue*, 5>;
    for (auto& q : *all) q = new ConcurrentQueue(kMaxWorkers, kIdleTimeout);
    return all;
  }();
  auto index = static_cast<std::size_t>(qos);
  if (index >= queues->size()) index = static_cast<std::size_t>(QoS::kDefault);
  return *(*queues)[index];
}

}  // namespace fp
