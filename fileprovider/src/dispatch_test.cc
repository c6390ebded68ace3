#include "fileprovider/dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "concurrent_queue.h"
#include "test_support.h"

namespace fp {
namespace {

using namespace std::chrono_literals;

// Counts tasks that started and holds them until opened, like work blocked on a
// socket; tracks the largest number running at once.
class Gate {
 public:
  // Runs as a task: counts itself in, then blocks until the gate opens.
  void enterAndWait() {
    std::unique_lock lock(mutex_);
    ++running_;
    ++started_;
    maxRunning_ = std::max(maxRunning_, running_);
    changed_.notify_all();
    changed_.wait_for(lock, 60s, [&] { return open_; });
    --running_;
    ++finished_;
    changed_.notify_all();
  }
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  bool waitForStarted(int n, std::chrono::milliseconds limit = 30s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return started_ >= n; });
  }
  bool waitForFinished(int n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 30s, [&] { return finished_ >= n; });
  }
  int started() {
    std::lock_guard lock(mutex_);
    return started_;
  }
  int maxRunning() {
    std::lock_guard lock(mutex_);
    return maxRunning_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int running_ = 0, started_ = 0, finished_ = 0, maxRunning_ = 0;
  bool open_ = false;
};

// Signals once a task has run.
class Done {
 public:
  void mark() {
    std::lock_guard lock(mutex_);
    done_ = true;
    cv_.notify_all();
  }
  bool wait(std::chrono::milliseconds limit = 30s) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return done_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
};

TEST(GlobalQueueTest, OneQueuePerClassForTheWholeProcess) {
  EXPECT_EQ(&globalQueue(QoS::kUserInitiated), &globalQueue(QoS::kUserInitiated));
  EXPECT_EQ(&globalQueue(QoS::kUtility), &globalQueue(QoS::kUtility));
  EXPECT_NE(&globalQueue(QoS::kUserInitiated), &globalQueue(QoS::kUtility));
}

TEST(GlobalQueueTest, HundredBlockingTasksRunAtOnceAndOthersStillRun) {
  Gate gate;
  auto& queue = globalQueue(QoS::kUserInitiated);
  for (int i = 0; i < 100; ++i) queue.async([&] { gate.enterAndWait(); });
  // All hundred are blocked at the same time: none waits for another to finish.
  ASSERT_TRUE(gate.waitForStarted(100)) << gate.started() << " started";
  EXPECT_EQ(gate.maxRunning(), 100);

  // New work on the same queue does not wait behind the blocked tasks.
  Done quick;
  queue.async([&] { quick.mark(); });
  EXPECT_TRUE(quick.wait(10s));

  gate.open();
  EXPECT_TRUE(gate.waitForFinished(100));
}

TEST(GlobalQueueTest, WorkRunsOnAnotherThread) {
  Done done;
  std::thread::id ran;
  globalQueue(QoS::kUtility).async([&] {
    ran = std::this_thread::get_id();
    done.mark();
  });
  ASSERT_TRUE(done.wait());
  EXPECT_NE(ran, std::this_thread::get_id());
}

// Work submitted while a RunSubmittedWorkHere is active runs at its run(), on
// the submitting thread and in order, when no worker got to it first, and
// each item runs once. What that work submits runs on a worker; so does work
// whose submitter waits for it before run(), which would otherwise wait
// forever.
TEST(ConcurrentQueueTest, SubmittedWorkRunsHereWhenAskedTo) {
  const std::thread::id self = std::this_thread::get_id();
  std::atomic<int> runs{0};
  std::vector<std::string> order;
  Done nested;
  {
    ConcurrentQueue queue(1, 10s);
    Gate gate;
    queue.async([&] { gate.enterAndWait(); });  // keeps the only worker busy
    ASSERT_TRUE(gate.waitForStarted(1));
    RunSubmittedWorkHere here;
    for (const char* name : {"first", "second"}) {
      queue.async([&, name] {
        ++runs;
        order.push_back(std::string(name) + (std::this_thread::get_id() == self ? " here" : ""));
        if (order.size() == 1) queue.async([&] { nested.mark(); });
      });
    }
    here.run();
    EXPECT_EQ(order, (std::vector<std::string>{"first here", "second here"}));
    gate.open();
    ASSERT_TRUE(nested.wait());
  }  // the queue has run everything it holds: the items once, not again
  EXPECT_EQ(runs.load(), 2);

  Done awaited;
  std::thread::id awaitedRan;
  RunSubmittedWorkHere never;
  globalQueue(QoS::kUserInitiated).async([&] {
    awaitedRan = std::this_thread::get_id();
    awaited.mark();
  });
  ASSERT_TRUE(awaited.wait()) << "work that its submitter waits for never ran";
  EXPECT_NE(awaitedRan, self);
}

TEST(ConcurrentQueueTest, WorkBeyondTheBoundWaitsForAWorker) {
  Gate gate;
  {
    ConcurrentQueue queue(4, 10s);
    for (int i = 0; i < 10; ++i) queue.async([&] { gate.enterAndWait(); });
    ASSERT_TRUE(gate.waitForStarted(4));
    EXPECT_FALSE(gate.waitForStarted(5, 200ms));
    EXPECT_EQ(queue.workerCount(), 4u);
    gate.open();
    EXPECT_TRUE(gate.waitForFinished(10));
  }  // the destructor waits for the workers
  EXPECT_EQ(gate.maxRunning(), 4);
}

TEST(ConcurrentQueueTest, IdleWorkersEndAndNewOnesStartOnDemand) {
  ConcurrentQueue queue(8, 50ms);
  Gate gate;
  for (int i = 0; i < 3; ++i) queue.async([&] { gate.enterAndWait(); });
  ASSERT_TRUE(gate.waitForStarted(3));
  EXPECT_EQ(queue.workerCount(), 3u);
  gate.open();
  ASSERT_TRUE(gate.waitForFinished(3));

  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (queue.workerCount() > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(queue.workerCount(), 0u);

  Done again;
  queue.async([&] { again.mark(); });
  EXPECT_TRUE(again.wait());
}

TEST(ConcurrentQueueTest, AnIdleWorkerTakesNewWorkInsteadOfANewThread) {
  ConcurrentQueue queue(8, 10s);
  for (int i = 0; i < 20; ++i) {
    Done done;
    queue.async([&] { done.mark(); });
    ASSERT_TRUE(done.wait());
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (queue.idleCount() < queue.workerCount() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
  }
  EXPECT_EQ(queue.workerCount(), 1u);
}

TEST(ConcurrentQueueTest, DestructionRunsEverySubmittedItem) {
  std::atomic<int> ran{0};
  {
    ConcurrentQueue queue(2, 10s);
    for (int i = 0; i < 50; ++i) {
      queue.async([&] {
        std::this_thread::sleep_for(1ms);
        ++ran;
      });
    }
  }
  EXPECT_EQ(ran.load(), 50);
}

TEST(ConcurrentQueueTest, WorkMaySubmitMoreWork) {
  ConcurrentQueue queue(4, 10s);
  Done done;
  queue.async([&] { queue.async([&] { done.mark(); }); });
  EXPECT_TRUE(done.wait());
}

TEST(ConcurrentQueueTest, WorkThatThrowsIsLoggedAndTheQueueGoesOn) {
  testing::TempDir tmp;
  testing::ScopedEnv log("FILEPROVIDER_LOG", (tmp / "log").string());
  {
    // One worker: the item after the throwing ones must run on the same thread.
    ConcurrentQueue queue(1, 10s);
    queue.async([] { throw std::runtime_error("broken item"); });
    queue.async([] { throw 42; });
    Done after;
    queue.async([&] { after.mark(); });
    EXPECT_TRUE(after.wait());
  }
  const std::string text = testing::readFile(tmp / "log");
  EXPECT_NE(text.find("error\tfileprovider\tdispatch\ta queued work item failed: broken item"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("a queued work item failed with an unknown exception"), std::string::npos)
      << text;
}

}  // namespace
}  // namespace fp
