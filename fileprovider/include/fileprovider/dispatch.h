// Global concurrent queues by quality of service.
#ifndef FILEPROVIDER_DISPATCH_H_
#define FILEPROVIDER_DISPATCH_H_

#include <functional>

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

}  // namespace fp

#endif  // FILEPROVIDER_DISPATCH_H_
