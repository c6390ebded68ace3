// Runs the mount's change check, a sending of its upload queue and a trimming
// of its cache to the bound at a fixed interval on a thread of its own, and on
// a second thread, at the same interval, the fetching of what pinned items lack
// (MountFs::keepPinnedLocal), so that fetching a large pinned file never holds
// up the queue or the checks.
#ifndef FPCTL_MOUNT_CHANGE_POLLER_H_
#define FPCTL_MOUNT_CHANGE_POLLER_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "fileprovider/fpctl/mount/mount_fs.h"

namespace fpctl::mount {

class ChangePoller {
 public:
  // Starts checking `fs` every `interval`; `fs` must outlive the poller.
  ChangePoller(MountFs& fs, std::chrono::milliseconds interval);
  // Stops and waits for a check in progress.
  ~ChangePoller();
  ChangePoller(const ChangePoller&) = delete;
  ChangePoller& operator=(const ChangePoller&) = delete;

  // Stops (cancelling a fetch of pinned contents under way) and waits.
  void stop();

 private:
  // Calls `work` every interval until stopped.
  void run(const std::function<void()>& work);

  MountFs& fs_;
  const std::chrono::milliseconds interval_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stopping_ = false;
  std::thread thread_;
  std::thread keeper_;
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_CHANGE_POLLER_H_
