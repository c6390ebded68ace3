#include "fileprovider/dispatch.h"

#include <array>
#include <atomic>
#include <exception>
#include <functional>
#include <memory>
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
thread_local RunSubmittedWorkHere* taking = nullptr;

}  // namespace

// One offered item: whoever takes it first runs it.
struct RunSubmittedWorkHere::Shared {
  std::atomic<bool> taken{false};
  std::function<void()> work;

  void runIfFirst() {
    if (taken.exchange(true)) return;
    runGuarded(work);
    work = nullptr;  // what it captured goes now
  }
};

RunSubmittedWorkHere::RunSubmittedWorkHere() : outer_(taking) { taking = this; }

RunSubmittedWorkHere::~RunSubmittedWorkHere() { stopTaking(); }

void RunSubmittedWorkHere::stopTaking() {
  if (!active_) return;
  active_ = false;
  if (taking == this) taking = outer_;
}

void RunSubmittedWorkHere::run() {
  stopTaking();
  std::vector<std::shared_ptr<Shared>> offered = std::move(offered_);
  offered_.clear();
  for (const auto& item : offered) item->runIfFirst();
}

void RunSubmittedWorkHere::offer(std::function<void()>& work) {
  RunSubmittedWorkHere* here = taking;
  if (!here) return;
  auto item = std::make_shared<Shared>();
  item->work = std::move(work);
  here->offered_.push_back(item);
  work = [item] { item->runIfFirst(); };
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
  RunSubmittedWorkHere::offer(work);
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
