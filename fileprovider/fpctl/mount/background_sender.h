// A thread that sends, one after the other and in the order they were closed,
// the states a write-back mount staged in its upload queue at close (see
// MountFs::startWriteBack()). It knows only the numbers of the nodes: `send`
// finds what waits for each, and does nothing when a close, fsync or rename
// sent it first.
//
// It starts sending once the closes pause for `quiet`, or once the oldest
// state has waited `longest`: a program writing many files is not slowed by
// the sending of the first ones, and a file it removes again soon after (a
// build's or an unpacker's temporary file, a copy removed at once) never
// reaches the service.
#ifndef FPCTL_MOUNT_BACKGROUND_SENDER_H_
#define FPCTL_MOUNT_BACKGROUND_SENDER_H_

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "fileprovider/fpctl/mount/inode_table.h"

namespace fpctl::mount {

class BackgroundSender {
 public:
  // Starts the thread; `send` is called on it, never with a lock of this class held.
  BackgroundSender(std::function<void(Ino)> send, std::chrono::milliseconds quiet,
                   std::chrono::milliseconds longest);
  // stop().
  ~BackgroundSender();
  BackgroundSender(const BackgroundSender&) = delete;
  BackgroundSender& operator=(const BackgroundSender&) = delete;

  // `ino` has a state to send; it is sent after those pushed before it.
  void push(Ino ino);
  // Waits until every number pushed so far has been through `send`.
  void waitUntilIdle();
  // Waits for the `send` under way, if any.
  void waitWhileSending();
  // Lets the `send` under way finish and ends the thread. Returns the numbers
  // pushed and not taken, oldest first; later pushes are returned by the next
  // stop(). When that `send` has not ended after `grace`, calls `overtime`
  // (which must make it end soon) once, then waits for it.
  std::vector<Ino> stop(std::chrono::milliseconds grace = std::chrono::milliseconds::max(),
                        const std::function<void()>& overtime = {});

 private:
  void run();

  using Clock = std::chrono::steady_clock;
  struct Waiting {
    Ino ino;
    Clock::time_point since;
  };

  const std::function<void(Ino)> send_;
  const std::chrono::milliseconds quiet_, longest_;
  std::mutex mu_;
  std::condition_variable cv_;  // work pushed, one taken through, or stopping
  std::deque<Waiting> waiting_;
  bool busy_ = false;  // a `send` runs now
  bool stopping_ = false;
  std::thread thread_;  // last: started once the rest is set up
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_BACKGROUND_SENDER_H_
