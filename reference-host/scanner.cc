#include "reference-host/scanner.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <system_error>
#include <thread>

namespace refhost {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                        IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_ONLYDIR |
                                        IN_DONT_FOLLOW | IN_EXCL_UNLINK;
constexpr std::uint32_t kMetaEvents =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_ONLYDIR | IN_DONT_FOLLOW;
constexpr std::string_view kLocksName = "locks.json";
// How long the second half of a rename may lag behind the first.
constexpr int kRenamePairMs = 10;
// When a periodic rescan was overtaken by the host's own writes; doubled for
// every further one in a row, up to the rescan interval.
constexpr std::chrono::milliseconds kRetryAfterInterrupted{2000};

}  // namespace

void IdlePriorityRunner::run(const std::function<void()>& work) {
  // The policy is set from here, before the work may start (it takes the lock
  // first), rather than by the worker itself, so that hurry() cannot come
  // between. Best effort: where the policy cannot be set, the work runs all the
  // same.
  std::unique_lock lock(mutex_);
  std::thread worker;
  try {
    worker = std::thread([&] {
      { std::lock_guard started(mutex_); }
      work();
    });
  } catch (const std::system_error&) {
    lock.unlock();
    work();  // no thread to be had: here, at the caller's priority
    return;
  }
  sched_param none{};
  if (!hurried_) (void)::pthread_setschedparam(worker.native_handle(), SCHED_IDLE, &none);
  running_ = worker.native_handle();
  lock.unlock();
  worker.join();
  lock.lock();
  running_.reset();
}

void IdlePriorityRunner::hurry() {
  std::lock_guard lock(mutex_);
  hurried_ = true;
  sched_param none{};
  if (running_) (void)::pthread_setschedparam(*running_, SCHED_OTHER, &none);
}

Scanner::Scanner(Host& host, fs::path root, LineLog log, std::chrono::milliseconds safetyInterval,
                 std::chrono::milliseconds fallbackInterval)
    : host_(host),
      root_(std::move(root)),
      log_(std::move(log)),
      safetyInterval_(safetyInterval),
      fallbackInterval_(fallbackInterval),
      inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
      stopping_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!inotify_) {
    log_(std::string("cannot watch the store, rescanning instead: ") + std::strerror(errno));
    complete_ = false;
  } else {
    watchTree("");
    metaWatch_ = ::inotify_add_watch(inotify_.get(), (root_ / std::string(kMetaFolderName)).c_str(),
                                     kMetaEvents);
    if (metaWatch_ < 0) complete_ = false;
  }
  // Whatever changed before the watches were in place.
  if (auto s = host_.rescan(); !s) firstRescan_ = fp::fail(s.error());
  thread_ = std::thread([this] { loop(); });
}

Scanner::~Scanner() {
  idle_.hurry();
  std::uint64_t one = 1;
  (void)::write(stopping_.get(), &one, sizeof one);
  thread_.join();
}

void Scanner::rescan() {
  // Failures are logged by the host and tried again on the next round.
  (void)host_.rescan();
}

void Scanner::watchFolder(const std::string& path) {
  if (!inotify_) return;
  fs::path folder = path.empty() ? root_ : root_ / path;
  int wd = ::inotify_add_watch(inotify_.get(), folder.c_str(), kFolderEvents);
  if (wd >= 0) {
    pathOfWatch_[wd] = path;
    return;
  }
  if (errno == ENOENT || errno == ENOTDIR) return;  // gone meanwhile
  if (complete_) {
    log_("cannot watch " + folder.string() + " (" + std::strerror(errno) + "); rescanning every " +
         std::to_string(fallbackInterval_.count()) + " ms instead");
  }
  complete_ = false;
}

void Scanner::watchTree(const std::string& path) {
  watchFolder(path);
  std::error_code ec;
  fs::path top = path.empty() ? root_ : root_ / path;
  fs::recursive_directory_iterator it(top, fs::directory_options::none, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    std::error_code kindError;
    if (!it->is_directory(kindError) || it->is_symlink(kindError)) {
      if (it->is_symlink(kindError)) it.disable_recursion_pending();
      continue;
    }
    std::string rel = it->path().lexically_relative(root_).generic_string();
    if (isWithin(rel, kMetaFolderName)) {
      it.disable_recursion_pending();
      continue;
    }
    watchFolder(rel);
  }
}

bool Scanner::readEvents(std::vector<Event>& events, bool& overflow) {
  alignas(inotify_event) char buffer[64 * 1024];
  ssize_t n = fp::retryOnEintr([&] { return ::read(inotify_.get(), buffer, sizeof buffer); });
  if (n <= 0) return false;
  for (char* p = buffer; p < buffer + n;) {
    const auto* e = reinterpret_cast<const inotify_event*>(p);
    p += sizeof(inotify_event) + e->len;
    if (e->mask & IN_Q_OVERFLOW) {
      overflow = true;
      continue;
    }
    if (e->mask & IN_IGNORED) {
      pathOfWatch_.erase(e->wd);
      continue;
    }
    std::string_view name = e->len > 0 ? std::string_view(e->name) : std::string_view();
    if (e->wd == metaWatch_) {
      if (name == kLocksName) events.push_back({e->mask, 0, std::string(kMetaFolderName)});
      continue;
    }
    auto folder = pathOfWatch_.find(e->wd);
    if (folder == pathOfWatch_.end() || name.empty()) continue;
    if (folder->second.empty() && name == kMetaFolderName) continue;
    events.push_back({e->mask, e->cookie, joinPath(folder->second, name)});
  }
  return true;
}

void Scanner::apply(const std::vector<Event>& events) {
  // A rename within the store comes as a pair of events with one cookie.
  std::unordered_map<std::uint32_t, std::string> movedTo;
  std::set<std::uint32_t> movedFrom;
  for (const Event& e : events) {
    if (e.mask & IN_MOVED_TO) movedTo.emplace(e.cookie, e.path);
    if (e.mask & IN_MOVED_FROM) movedFrom.insert(e.cookie);
  }
  std::set<std::string> refreshed;  // since the last move
  bool locksChanged = false;
  for (const Event& e : events) {
    if (e.path == kMetaFolderName) {
      locksChanged = true;
      continue;
    }
    if (e.mask & IN_MOVED_FROM) {
      auto to = movedTo.find(e.cookie);
      if (to == movedTo.end()) {
        (void)host_.refresh(e.path);  // moved out of the store
        continue;
      }
      // Watches inside a moved folder move along.
      for (auto& [wd, path] : pathOfWatch_) {
        if (isWithin(path, e.path)) path = to->second + path.substr(e.path.size());
      }
      (void)host_.moved(e.path, to->second);
      refreshed.clear();
      continue;
    }
    if ((e.mask & IN_MOVED_TO) && movedFrom.count(e.cookie)) continue;  // done with its pair
    if ((e.mask & (IN_CREATE | IN_MOVED_TO)) && (e.mask & IN_ISDIR)) watchTree(e.path);
    if (refreshed.insert(e.path).second) (void)host_.refresh(e.path);
  }
  if (locksChanged) (void)host_.reloadLocks();
}

void Scanner::loop() {
  pollfd fds[2] = {{stopping_.get(), POLLIN, 0}, {inotify_.get(), POLLIN, 0}};
  const nfds_t count = inotify_ ? 2 : 1;
  auto nextRescan = Clock::now() + (complete_ ? safetyInterval_ : fallbackInterval_);
  auto retryAfter = kRetryAfterInterrupted;
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(nextRescan - Clock::now()).count();
    int n = ::poll(fds, count, left < 0 ? 0 : static_cast<int>(left));
    if (n < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) return;
    if (n > 0 && count > 1 && (fds[1].revents & POLLIN)) {
      std::vector<Event> events;
      bool overflow = false;
      (void)readEvents(events, overflow);
      // The second half of a rename may still be on its way.
      for (;;) {
        std::set<std::uint32_t> open;
        for (const Event& e : events) {
          if (e.mask & IN_MOVED_FROM) open.insert(e.cookie);
        }
        for (const Event& e : events) {
          if (e.mask & IN_MOVED_TO) open.erase(e.cookie);
        }
        pollfd more{inotify_.get(), POLLIN, 0};
        if (open.empty() ||
            fp::retryOnEintr([&] { return ::poll(&more, 1, kRenamePairMs); }) <= 0 ||
            !readEvents(events, overflow)) {
          break;
        }
      }
      if (overflow) {
        log_("too many changes at once in the store; rescanning it");
        watchTree("");
        rescan();
        nextRescan = Clock::now() + (complete_ ? safetyInterval_ : fallbackInterval_);
      } else {
        apply(events);
      }
    }
    if (Clock::now() >= nextRescan) {
      // One scan only: while requests keep changing the catalogue, a scan
      // taken again at once would only be overtaken again. A scan of a large
      // store costs a processor for a second or more, so the safety net runs
      // at idle priority, taking only what requests and other programs leave,
      // and is tried again after a pause that grows while it keeps being
      // overtaken. Where folders go unwatched, the rescans are how changes
      // arrive, and they keep their priority.
      bool interrupted = false;
      (void)host_.rescan(
          1, &interrupted,
          complete_ ? Host::Runner([this](const std::function<void()>& work) { idle_.run(work); })
                    : nullptr);
      auto wait = complete_ ? safetyInterval_ : fallbackInterval_;
      if (interrupted) {
        nextRescan = Clock::now() + std::min(wait, retryAfter);
        retryAfter = std::min(wait, retryAfter * 2);
      } else {
        nextRescan = Clock::now() + wait;
        retryAfter = kRetryAfterInterrupted;
      }
    }
  }
}

}  // namespace refhost
