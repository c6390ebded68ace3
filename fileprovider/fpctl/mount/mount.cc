#include "fileprovider/fpctl/mount/mount.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "fileprovider/fpctl/mount/cache_bound.h"
#include "fileprovider/fpctl/mount/cache_folder.h"
#include "fileprovider/fpctl/mount/change_poller.h"
#include "fileprovider/fpctl/mount/content_cache.h"
#include "fileprovider/fpctl/mount/default_cache.h"
#include "fileprovider/fpctl/mount/desktop_notices.h"
#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/fpctl/mount/fuse_front.h"
#include "fileprovider/fpctl/mount/mount_fs.h"
#include "fileprovider/fpctl/mount/mount_table.h"
#include "fileprovider/fpctl/mount/status.h"
#include "fileprovider/log.h"
#include "fileprovider/scoped_fd.h"

namespace fpctl {
namespace fs = std::filesystem;
using namespace fpctl::mount;

namespace {

// SIGINT, SIGTERM and SIGHUP stop the mount. `fpctl retry` tells the mount
// that holds the cache folder to take the changes it handed over
// (retried_changes.h); the mount goes on.
constexpr int kTakeRetriedSignal = SIGUSR1;
constexpr int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP, kTakeRetriedSignal};

// Where the signal handler reports to. A handler has no other way to reach the
// mount, so this is the one process-wide value the mount keeps; -1 when no
// mount runs.
std::atomic<int> signalPipe{-1};

void onStopSignal(int signo) {
  int saved = errno;
  int fd = signalPipe.load();
  if (fd >= 0) {
    char c = static_cast<char>(signo);
    [[maybe_unused]] ssize_t n = ::write(fd, &c, 1);
  }
  errno = saved;
}

// Installs the handlers of kHandledSignals for the life of the object.
class StopSignals {
 public:
  StopSignals() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      read_.reset(fds[0]);
      write_.reset(fds[1]);
      signalPipe.store(fds[1]);
    }
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kHandledSignals); ++i) {
      sigaction(kHandledSignals[i], &sa, &previous_[i]);
    }
  }
  ~StopSignals() {
    for (std::size_t i = 0; i < std::size(kHandledSignals); ++i) {
      sigaction(kHandledSignals[i], &previous_[i], nullptr);
    }
    signalPipe.store(-1);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  int readFd() const { return read_.get(); }

 private:
  fp::ScopedFD read_;
  fp::ScopedFD write_;
  struct sigaction previous_[std::size(kHandledSignals)]{};
};

// Waits for a stop signal and ends the FUSE loop; stopped through its own pipe.
// After a stop signal the mount ends within moments: the requests that wait
// for the extension are cancelled. A close whose state is being sent is not
// (the state is in the upload queue first), so a host application that hangs
// would hold it, and fpctl, for the bridge's time-out of minutes. Once
// kStopGraceMs has passed, fpctl writes the cache folder out to disk and ends
// itself: the states being sent stay in the queue, as after kill -9, and the
// next mount with the same cache folder sends them. Ten seconds is far longer
// than a host that answers takes to take a state, and well within what a
// shutdown waits for a process before it kills it.
constexpr int kStopGraceMs = 10'000;

// The poll interval never rounds below a millisecond: a zero one would have the
// poller spin.
constexpr long long kShortestPollMs = 1;

class SignalWatcher {
 public:
  SignalWatcher(const StopSignals& signals, FuseFront& front, const fp::Log& log,
                const fs::path& cacheRoot, UploadQueue& queue, ChangePoller& poller) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
      stopRead_.reset(fds[0]);
      stopWrite_.reset(fds[1]);
    }
    thread_ = std::thread([this, &signals, &front, &log, cacheRoot, &queue, &poller] {
      pollfd p[2] = {{signals.readFd(), POLLIN, 0}, {stopRead_.get(), POLLIN, 0}};
      for (;;) {
        int n = fp::retryOnEintr([&] { return ::poll(p, 2, -1); });
        if (n < 0 || (p[1].revents & (POLLIN | POLLHUP))) return;
        if (p[0].revents & POLLIN) {
          char c = 0;
          [[maybe_unused]] ssize_t r = ::read(signals.readFd(), &c, 1);
          if (c == kTakeRetriedSignal) {
            // The change poller sends them in order with the rest, now.
            std::size_t taken = queue.adoptNewRecords();
            log.info("%d change(s) handed over by fpctl retry are queued",
                     {static_cast<int>(taken)});
            poller.sendSoon();
            continue;
          }
          log.info("signal %d: unmounting once pending requests are done", {int{c}});
          // exit() returns once the loop has ended, which a stuck sending holds.
          deadline_ = std::thread([this, &log, cacheRoot] { endAfterGrace(log, cacheRoot); });
          front.exit();
          return;
        }
      }
    });
  }
  ~SignalWatcher() {
    char c = 0;
    [[maybe_unused]] ssize_t n = ::write(stopWrite_.get(), &c, 1);
    if (thread_.joinable()) thread_.join();
    if (deadline_.joinable()) deadline_.join();
  }
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  // Ends the process when the mount has not ended kStopGraceMs after a stop
  // signal (see above).
  void endAfterGrace(const fp::Log& log, const fs::path& cacheRoot) {
    pollfd p{stopRead_.get(), POLLIN, 0};
    if (fp::retryOnEintr([&] { return ::poll(&p, 1, kStopGraceMs); }) != 0) {
      return;  // the mount ended, or polling failed
    }
    std::string message =
        "a file's state is still being sent to a host application that does not answer; it is "
        "kept in " +
        (cacheRoot / "queue").string() + "; mount again with --cache " + cacheRoot.string() +
        " to send it";
    log.error("%{public}@", {message});
    std::cerr << "fpctl: " << message << std::endl;
    fp::ScopedFD root(fp::retryOnEintr([&] {
      return ::open(cacheRoot.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }));
    if (root) ::syncfs(root.get());
    ::_exit(1);
  }

  fp::ScopedFD stopRead_;
  fp::ScopedFD stopWrite_;
  std::thread thread_;
  std::thread deadline_;  // started by thread_ on a stop signal
};

bool isInside(const fs::path& path, const fs::path& folder) {
  fs::path rel = path.lexically_normal().lexically_relative(folder.lexically_normal());
  return !rel.empty() && *rel.begin() != "..";
}

int threadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
  }
  return n;
}

// Detaches into the background. The parent waits for the child to report
// whether the mount came up and returns that outcome; the child returns none
// and goes on. `ready` is the child's end of the report pipe.
std::optional<int> daemonize(fp::ScopedFD& ready) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  fp::ScopedFD readEnd(fds[0]);
  fp::ScopedFD writeEnd(fds[1]);
  std::cout.flush();
  std::cerr.flush();
  pid_t pid = fork();
  if (pid < 0) return std::nullopt;  // stay in the foreground
  if (pid > 0) {
    writeEnd.reset();
    char status = 1;
    ssize_t n = fp::retryOnEintr([&] { return ::read(readEnd.get(), &status, 1); });
    if (n != 1) {
      int ws = 0;
      waitpid(pid, &ws, 0);
      return 1;
    }
    return status == 0 ? 0 : 1;
  }
  setsid();
  ready = std::move(writeEnd);
  return std::nullopt;
}

void reportReady(fp::ScopedFD& ready, bool ok) {
  if (!ready) return;
  char status = ok ? 0 : 1;
  [[maybe_unused]] ssize_t n = ::write(ready.get(), &status, 1);
  ready.reset();
  if (!ok) return;
  // The parent has gone; nothing may wait on our output any more.
  fp::ScopedFD null(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (null) {
    dup2(null.get(), STDIN_FILENO);
    dup2(null.get(), STDOUT_FILENO);
    dup2(null.get(), STDERR_FILENO);
  }
  if (chdir("/") != 0) {
    // Keeping the old working folder is harmless.
  }
}

int fail(fp::ScopedFD& ready, bool json, const std::string& message) {
  if (json) {
    nlohmann::json j;
    j["error"] = {{"domain", "fpctl"}, {"code", 1}, {"description", message}};
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
  }
  std::cerr << "fpctl: " << message << "\n";
  std::cerr.flush();
  reportReady(ready, false);
  return 1;
}

// The mount point given, absolute and normal, when it is an existing folder
// that no fpctl serves already and that may be mounted over; else why not.
fp::StatusOr<fs::path> checkMountPoint(const MountOptions& options) {
  std::error_code ec;
  fs::path mountpoint = fs::absolute(options.mountpoint, ec).lexically_normal();
  if (!ec && !fs::exists(mountpoint, ec)) {
    return fp::fail(posixFailure(ENOENT, "mount point " + options.mountpoint.string() +
                                             " does not exist (create it first)"));
  }
  if (ec || !fs::is_directory(mountpoint, ec)) {
    return fp::fail(
        posixFailure(ENOTDIR, "mount point " + options.mountpoint.string() + " is not a folder"));
  }
  if (mountAt(mountpoint).type == "fuse.fpctl") {
    return fp::fail(posixFailure(
        EBUSY, mountpoint.string() + " is mounted already; unmount it first (fusermount3 -u " +
                   mountpoint.string() + ")"));
  }
  if (!options.nonempty && !fs::is_empty(mountpoint, ec) && !ec) {
    return fp::fail(posixFailure(ENOTEMPTY, "mount point " + options.mountpoint.string() +
                                                " is not empty; its entries would be hidden "
                                                "while mounted (use an empty folder, or "
                                                "--nonempty to mount over them)"));
  }
  return mountpoint;
}

// Why this process cannot mount at all; none when /dev/fuse is open to it.
std::optional<std::string> fuseUnavailable() {
  if (::access("/dev/fuse", R_OK | W_OK) == 0) return std::nullopt;
  return "cannot mount: /dev/fuse is not available (" + std::string(std::strerror(errno)) + ")";
}

// The cache folder of the mount: --cache, else the default one of the domain
// and mount point, whose parents are made and must be private; or why it cannot
// be used.
fp::StatusOr<fs::path> chooseCacheRoot(const fp::Domain& domain, const fs::path& mountpoint,
                                       const MountOptions& options) {
  fs::path cacheRoot;
  if (options.cacheDir) {
    std::error_code ec;
    cacheRoot = fs::absolute(*options.cacheDir, ec).lexically_normal();
  } else {
    cacheRoot = defaultCacheFolder(domain.identifier, mountpoint);
  }
  if (isInside(cacheRoot, mountpoint)) {
    return fp::fail(posixFailure(EINVAL, "the cache folder " + cacheRoot.string() +
                                             " must not lie inside the mount point (use --cache "
                                             "DIR)"));
  }
  // Cache folders are the user's alone (cache_folder.h): they hold copies of the
  // account's files and the changes that wait to be sent to it.
  if (!options.cacheDir) {
    // The default folder is made in these two, which must be as private.
    fs::path parent = cacheRoot.parent_path();
    if (std::error_code made = createPrivateDirectories(parent)) {
      return fp::fail(posixFailure(made.value(), "cannot create the cache folder " +
                                                     parent.string() + ": " + made.message()));
    }
    for (const fs::path& p : {parent.parent_path(), parent}) {
      if (auto ok = checkPrivate(p, "the cache folder"); !ok) {
        fp::Error why = ok.error();
        why.message += "; or choose one with --cache DIR";
        return fp::fail(std::move(why));
      }
    }
  }
  return cacheRoot;
}

// Goes to the background unless told to stay, or unless threads run already
// (a fork would keep only this one). In the parent, which waits for the mount
// to come up, the status to exit with; none in the process that serves it.
std::optional<int> detachUnlessForeground(const MountOptions& options, fp::ScopedFD& ready,
                                          CacheFolder& folder) {
  if (options.foreground) return std::nullopt;
  if (threadCount() > 1) {
    std::cerr << "fpctl: staying in the foreground (threads are already running)\n";
  } else if (auto parentStatus = daemonize(ready)) {
    return parentStatus;
  } else {
    folder.notePid();
  }
  return std::nullopt;
}

// Every open file in the mount holds a descriptor here: the soft limit goes up
// to the hard one.
void raiseOpenFileLimit() {
  if (rlimit files{}; getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
}

void announceMounted(const fp::Domain& domain, const fs::path& mountpoint, bool json) {
  if (json) {
    nlohmann::json j;
    j["mounted"] = mountpoint.string();
    j["pid"] = static_cast<long long>(::getpid());
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
  } else {
    std::cout << "mounted " << (domain.displayName.empty() ? domain.identifier : domain.displayName)
              << " at " << mountpoint.string() << "\n"
              << "unmount with: fusermount3 -u " << mountpoint.string() << std::endl;
  }
}

// Serves requests, and polls the extension for changes, until the mount is
// unmounted or a stop signal comes; then sends what the write-back thread
// holds. The FUSE loop's result.
int serveUntilStopped(FuseFront& front, MountFs& mfs, UploadQueue& queue, const fp::Log& log,
                      const fs::path& cacheRoot, double pollSeconds) {
  StopSignals signals;
  auto interval = std::chrono::milliseconds(
      std::max<long long>(kShortestPollMs, std::llround(pollSeconds * 1000)));
  ChangePoller poller(mfs, interval);
  SignalWatcher watcher(signals, front, log, cacheRoot, queue, poller);
  // Handed over while the mount started.
  if (queue.adoptNewRecords() > 0) poller.sendSoon();
  int loopResult = front.loop();
  // No request comes any more: what the write-back thread holds is sent
  // now, before the poller's end stops every wait for the host.
  mfs.stopWriteBack();
  poller.stop();
  return loopResult;
}

// Tells of the `waiting` changes that could not be sent before the end. Kept,
// never dropped: the next mount of this cache folder sends them.
void reportKeptChanges(std::size_t waiting, const fs::path& cacheRoot, const fs::path& mountpoint,
                       bool defaultCache, const fp::Log& log) {
  std::string message =
      std::to_string(waiting) + " change(s) could not be sent yet and are kept in " +
      (cacheRoot / "queue").string() + "; mount again " +
      (defaultCache ? "at " + mountpoint.string() : "with --cache " + cacheRoot.string()) +
      " to send them";
  log.error("%{public}@", {message});
  std::cerr << "fpctl: " << message << "\n";
}

}  // namespace

int runMount(const fp::Domain& domain, std::shared_ptr<fp::ReplicatedExtension> extension,
             const MountOptions& options) {
  const fp::Log log("fpctl", "Mount");
  fp::ScopedFD ready;
  if (!extension) return fail(ready, options.json, "no extension to mount");
  if (!(options.pollSeconds > 0) || !std::isfinite(options.pollSeconds)) {
    return fail(ready, options.json, "--poll must be a positive number of seconds");
  }
  auto checked = checkMountPoint(options);
  if (!checked) return fail(ready, options.json, checked.error().message);
  const fs::path mountpoint = std::move(checked).value();
  if (auto unavailable = fuseUnavailable()) return fail(ready, options.json, *unavailable);

  auto chosen = chooseCacheRoot(domain, mountpoint, options);
  if (!chosen) return fail(ready, options.json, chosen.error().message);
  const fs::path cacheRoot = std::move(chosen).value();
  // The default folder goes when nothing waits in it at the end.
  const bool defaultCache = !options.cacheDir;
  // A retry that finds this mount's pid in the lock before the mount listens
  // for it must not end it.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(kTakeRetriedSignal, &ignore, nullptr);
  // Held until the mount has ended, by the process that serves it.
  auto folder = CacheFolder::take(cacheRoot);
  if (!folder) return fail(ready, options.json, folder.error().message);
  if (defaultCache) noteMountPoint(cacheRoot, mountpoint);
  if (auto parentStatus = detachUnlessForeground(options, ready, *folder)) return *parentStatus;

  raiseOpenFileLimit();
  // A large folder's tables are made and looked up from many request threads:
  // with an arena per thread, what each freed stays its own and the tables'
  // pages are shared with it. Small blocks still come from each thread's cache.
  mallopt(M_ARENA_MAX, 2);
  CacheBound bound;
  bound.maxBytes = options.cacheMaxBytes.value_or(defaultMaxBytes(cacheRoot));
  bound.maxAge = options.cacheMaxAge;
  auto cache = ContentCache::open(cacheRoot, defaultCache, bound);
  if (!cache) {
    return fail(ready, options.json,
                "cannot use the cache folder " + cacheRoot.string() + ": " +
                    std::strerror(cache.error().value));
  }
  FuseNotifier notifier;
  // Its thread starts here, after the fork into the background.
  std::unique_ptr<DesktopNotices> notices;
  if (options.notify) notices = DesktopNotices::open();
  MountFs mfs(extension, **cache, notifier, getuid(), getgid());
  mfs.notifyDesktop(notices.get());
  if (auto started = mfs.start(); !started) {
    return fail(ready, options.json,
                "cannot read the root of domain " + domain.identifier + ": " +
                    started.error().description());
  }
  if (options.writeBack) mfs.startWriteBack();
  // An earlier run over this folder may have kept more, or older copies.
  [[maybe_unused]] std::int64_t trimmed = mfs.trimCache();
  FuseOptions fuseOptions;
  fuseOptions.fsName = "fpctl:" + domain.identifier;
  auto front = FuseFront::mount(mfs, notifier, mountpoint, fuseOptions);
  if (!front) return fail(ready, options.json, front.error().message);

  log.info("mounted %{public}@ at %{public}@", {domain.identifier, mountpoint.string()});
  announceMounted(domain, mountpoint, options.json);
  reportReady(ready, true);
  MountRecord record(domain.identifier, mountpoint, cacheRoot, bound.maxBytes, bound.maxAge);

  int loopResult =
      serveUntilStopped(**front, mfs, (*cache)->queue(), log, cacheRoot, options.pollSeconds);
  // Nothing new may arrive while the last changes are sent.
  (*front)->unmount();
  mfs.finishPendingUploads();
  front->reset();
  log.info("unmounted %{public}@", {mountpoint.string()});
  if (std::size_t waiting = mfs.sendQueue(); waiting > 0) {
    reportKeptChanges(waiting, cacheRoot, mountpoint, defaultCache, log);
  }
  if (loopResult < 0) {
    std::cerr << "fpctl: the mount ended with an error: " << std::strerror(-loopResult) << "\n";
    return 1;
  }
  return 0;
}

}  // namespace fpctl
