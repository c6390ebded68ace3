// Runs the mount's change check, a sending of its upload queue and a trimming
// of its cache to the bound at a fixed interval on a thread of its own, and on
// a second thread, at the same interval, the fetching of what pinned items lack
// (MountFs::keepPinnedLocal), so that fetching a large pinned file never holds
// up the queue or the checks.
//
// While programs write through the mount, the index changes with every file
// they write, and each check would read every listing the kernel uses again (a
// folder of 100,000 items costs about 0.4 s of work that the writes wait for).
// So the change check waits while the mount has written within the last
// interval, for at most `longestWait` since the last check; changes made
// elsewhere show up at most that late while the writing goes on, and within
// one interval once it pauses.
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
  // `longestWait`: see above (at least `interval`).
  ChangePoller(MountFs& fs, std::chrono::milliseconds interval,
               std::chrono::milliseconds longestWait = std::chrono::seconds(10));
  // Stops and waits for a check in progress.
  ~ChangePoller();
  ChangePoller(const ChangePoller&) = delete;
  ChangePoller& operator=(const ChangePoller&) = delete;

  // Stops and waits. A sending of the queue or a fetch of pinned contents
  // under way that has not ended within kGrace is cancelled.
  void stop();
  static constexpr std::chrono::milliseconds kGrace{2000};
  // Has the first thread check, send and trim now rather than at the end of
  // its interval: changes were put into the queue from outside (fpctl retry).
  void sendSoon();

 private:
  // Calls `work` every interval until stopped; at once when `soon` is set
  // (and then clears it).
  void run(const std::function<void()>& work, bool* soon = nullptr);

  MountFs& fs_;
  const std::chrono::milliseconds interval_;
  const std::chrono::milliseconds longestWait_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stopping_ = false;
  int busy_ = 0;       // threads in their work now
  bool soon_ = false;  // sendSoon()
  std::thread thread_;
  std::thread keeper_;
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_CHANGE_POLLER_H_
