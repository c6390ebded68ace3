// Picks up changes made directly in the store while the host runs. Every
// folder of the store is watched with inotify; each change is passed to the
// host item by item (Host::refresh, Host::moved, Host::reloadLocks), so that it
// reaches the index within milliseconds at a cost that does not depend on the
// size of the store. A full rescan runs as a safety net every
// `safetyInterval`, at once when the kernel's event queue overflowed, and
// every `fallbackInterval` while some folder could not be watched (for
// example when the watch limit of the user is reached).
#ifndef PELLORA_REFHOST_SCANNER_H_
#define PELLORA_REFHOST_SCANNER_H_

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "fileprovider/error.h"
#include "fileprovider/scoped_fd.h"
#include "reference-host/host.h"
#include "reference-host/line_log.h"

namespace refhost {

// Runs work at idle priority (SCHED_IDLE, where the system allows it), so that
// it takes only the processor time nothing else wants. On a busy machine such
// work may get none at all: hurry() puts the work in progress, and all work
// run after it, back at the normal priority, so that a stop never waits for it.
class IdlePriorityRunner {
 public:
  // Runs `work` on a thread of its own and returns once it is done; on the
  // calling thread when no thread can be started.
  void run(const std::function<void()>& work);
  void hurry();

 private:
  std::mutex mutex_;
  bool hurried_ = false;
  std::optional<pthread_t> running_;  // the thread of the work in progress
};

class Scanner {
 public:
  // Watches the store at `root`, which `host` serves, and rescans it once
  // the watches are in place, so that nothing changed before is missed. Then
  // follows the store on a thread of its own. `host` must outlive the scanner.
  Scanner(Host& host, std::filesystem::path root, LineLog log,
          std::chrono::milliseconds safetyInterval, std::chrono::milliseconds fallbackInterval);
  // Stops and waits for the change in progress (a rescan is hurried).
  ~Scanner();
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

  // How the rescan at the start went: a failure when the store could not be
  // scanned or the index not written.
  [[nodiscard]] const fp::Status& firstRescan() const { return firstRescan_; }

  // True when every folder of the store is watched (changes then arrive
  // without waiting for a rescan).
  [[nodiscard]] bool watchesEverything() const { return complete_; }

 private:
  struct Event {
    std::uint32_t mask;
    std::uint32_t cookie;
    std::string path;  // relative to the store
  };

  void loop();
  // Watches the folder `path` ("" for the top) and every folder inside it.
  void watchTree(const std::string& path);
  void watchFolder(const std::string& path);
  // Reads the events at hand; false when nothing could be read.
  bool readEvents(std::vector<Event>& events, bool& overflow);
  void apply(const std::vector<Event>& events);
  void rescan();

  Host& host_;
  const std::filesystem::path root_;
  const LineLog log_;
  const std::chrono::milliseconds safetyInterval_;
  const std::chrono::milliseconds fallbackInterval_;
  fp::ScopedFD inotify_;
  fp::ScopedFD stopping_;  // an eventfd, readable once the scanner stops
  int metaWatch_ = -1;     // the watch on the store's hidden folder
  // Touched by the constructor, then only by the thread.
  std::unordered_map<int, std::string> pathOfWatch_;
  std::atomic<bool> complete_{true};
  fp::Status firstRescan_ = fp::Ok{};
  IdlePriorityRunner idle_;  // runs the periodic rescans
  std::thread thread_;       // last: started once everything above exists
};

}  // namespace refhost

#endif  // PELLORA_REFHOST_SCANNER_H_
