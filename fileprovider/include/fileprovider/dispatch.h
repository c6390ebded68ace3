// Global concurrent queues by quality of service.
#ifndef FILEPROVIDER_DISPATCH_H_
#define FILEPROVIDER_DISPATCH_H_

#include <functional>
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

// While an object of this class lives on a thread, work that the thread submits
// to a queue of the platform (globalQueue()) is kept instead of queued, and run() runs it on this
// thread, in the order submitted. For a caller that would only wait for that
// work: running it itself saves two hand-offs between threads (to a worker and
// back), which cost tens of microseconds each on a busy machine. Work that the
// kept work submits in turn is queued as usual. Whatever is still kept when
// the object ends goes to its queue. Not movable; one per thread at a time
// (nested ones keep what is submitted while they are the innermost).
class RunSubmittedWorkHere {
 public:
  RunSubmittedWorkHere();
  ~RunSubmittedWorkHere();
  RunSubmittedWorkHere(const RunSubmittedWorkHere&) = delete;
  RunSubmittedWorkHere& operator=(const RunSubmittedWorkHere&) = delete;

  // Stops keeping work and runs what was kept, here. Once only.
  void run();

  // Keeps `work` for `queue` when an object of this class is active on the
  // calling thread; false otherwise. Called by the platform's queues.
  static bool keep(DispatchQueue& queue, std::function<void()>& work);

 private:
  struct Kept {
    DispatchQueue* queue;
    std::function<void()> work;
  };
  void stopKeeping();

  std::vector<Kept> kept_;
  RunSubmittedWorkHere* outer_;
  bool active_ = true;
};

}  // namespace fp

#endif  // FILEPROVIDER_DISPATCH_H_
