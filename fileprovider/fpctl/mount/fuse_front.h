// The FUSE side of the mount: a low-level session whose operations call MountFs,
// a multithreaded loop, and the notifier that tells the kernel what to forget.
// Only this file and its .cc include FUSE.
#ifndef FPCTL_MOUNT_FUSE_FRONT_H_
#define FPCTL_MOUNT_FUSE_FRONT_H_

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <variant>

#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/fpctl/mount/mount_fs.h"
#include "fileprovider/progress.h"

struct fuse_session;

namespace fpctl::mount {

// Hands the kernel its notifications from a thread of its own: the kernel may
// hold locks that the request being answered needs, so a notification is never
// sent from inside a request.
class FuseNotifier final : public KernelNotifier {
 public:
  FuseNotifier() = default;
  ~FuseNotifier() override;
  FuseNotifier(const FuseNotifier&) = delete;
  FuseNotifier& operator=(const FuseNotifier&) = delete;

  // Starts sending to `session`; `expireOnly`: the kernel can mark entries for
  // revalidation instead of dropping them (a working directory stays valid).
  void start(fuse_session* session);
  void setExpireOnly(bool expireOnly) { expireOnly_.store(expireOnly); }
  // Stops and drops what is still queued; call before the session goes away.
  void stop();

  void forgetEntry(Ino parent, const std::string& name) override;
  void forgetInode(Ino ino, bool contents) override;

 private:
  struct Entry {
    Ino parent;
    std::string name;
  };
  struct Inode {
    Ino ino;
    bool contents;
  };
  void run();

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::variant<Entry, Inode>> queue_;
  fuse_session* session_ = nullptr;
  std::atomic<bool> expireOnly_{false};
  bool stopping_ = false;
  std::thread thread_;
};

struct FuseOptions {
  std::string fsName;  // shown in /proc/mounts
  unsigned maxThreads = 64;
  double cacheSeconds = 300;  // how long the kernel may trust entries and attributes
};

class FuseFront {
 public:
  // Creates the session and mounts it at `mountpoint`. Fails with a message.
  static fp::StatusOr<std::unique_ptr<FuseFront>> mount(MountFs& fs, FuseNotifier& notifier,
                                                        const std::filesystem::path& mountpoint,
                                                        const FuseOptions& options);
  ~FuseFront();  // unmounts (when still mounted) and destroys the session
  FuseFront(const FuseFront&) = delete;
  FuseFront& operator=(const FuseFront&) = delete;

  // Serves requests on several threads until the file system is unmounted or
  // exit() is called; requests being served are finished first. Returns 0, or a
  // negative errno value when the loop failed.
  int loop();
  // Makes loop() return (safe from any thread but the loop's own workers' callers).
  // Requests that wait on the extension are cancelled, so the loop ends soon
  // even while the host application does not answer.
  void exit();

  // Requests under way that can be cancelled: each registers its progress for
  // the time it waits (see Interruptible in the .cc).
  void track(fp::Progress* request);
  void untrack(fp::Progress* request);
  // Detaches the mount point so no new request arrives.
  void unmount();

  MountFs& fs() { return fs_; }
  FuseNotifier& notifier() { return notifier_; }
  double cacheSeconds() const { return options_.cacheSeconds; }

 private:
  FuseFront(MountFs& fs, FuseNotifier& notifier, FuseOptions options)
      : fs_(fs), notifier_(notifier), options_(std::move(options)) {}

  MountFs& fs_;
  FuseNotifier& notifier_;
  FuseOptions options_;
  fuse_session* session_ = nullptr;
  bool mounted_ = false;
  std::mutex requestsMu_;  // guards the two below
  std::set<fp::Progress*> requests_;
  bool cancelling_ = false;  // exit() was called: new requests start cancelled
  std::mutex loopMu_;        // orders exit()'s wake-ups against the end of loop()
  bool loopRunning_ = false;
  pthread_t loopThread_{};
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_FUSE_FRONT_H_
