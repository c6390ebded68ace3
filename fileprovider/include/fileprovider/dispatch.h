// Global concurrent queues by quality of service.
#ifndef FILEPROVIDER_DISPATCH_H_
#define FILEPROVIDER_DISPATCH_H_

#include <functional>
#include <memory>
#include <vector>

namespace fp {

enum class QoS { kUserInteractive, kUserInitiated, kDefault, kUtility, kBackground };

class DispatchQueue {
 public:
  virtual ~DispatchQueue();
  // Runs `work` on a worker thread. Workers are added while all are busy (work
  // that blocks does not hold up other work), up to a bound of several hundred;
  // idle workers end after a while.
  virtual void async(std::function<void()> work) = 0;
};

// The global concurrent queue of a class. Lives for the rest of the process.
DispatchQueue& globalQueue(QoS qos);

// While an object of this class lives on a thread, work that the thread
// submits to a queue of the platform (globalQueue()) may run on this thread:
// run() runs, in the order submitted, each such item that no worker has
// started yet. For a caller that would only wait for that work: running it
// itself saves two hand-offs between threads (to a worker and back), which
// cost tens of microseconds each on a busy machine. The work is queued all the
// same, so that a worker runs it when the caller does not come to it (an
// extension that waits for its own work before it returns, say); each item
// runs once. Work submitted while run() runs is only queued. Not movable;
// nested objects on one thread take what is submitted while they are the
// innermost.
class RunSubmittedWorkHere {
 public:
  RunSubmittedWorkHere();
  ~RunSubmittedWorkHere();
  RunSubmittedWorkHere(const RunSubmittedWorkHere&) = delete;
  RunSubmittedWorkHere& operator=(const RunSubmittedWorkHere&) = delete;

  // Stops taking work, and runs here what no worker has started. Once only.
  void run();

  // When an object of this class is active on the calling thread, makes
  // `work` one that runs once, here at run() or on a worker, whichever starts
  // it first. Called by the platform's queues before they queue `work`.
  static void offer(std::function<void()>& work);

 private:
  struct Shared;
  void stopTaking();

  std::vector<std::shared_ptr<Shared>> offered_;
  RunSubmittedWorkHere* outer_;
  bool active_ = true;
};

}  // namespace fp

#endif  // FILEPROVIDER_DISPATCH_H_
