// Picks up changes made directly in the store while the host runs: rescans
// the store at a fixed interval on a thread of its own and lets the host write
// what changed into the index.
#ifndef PELLORA_REFHOST_SCANNER_H_
#define PELLORA_REFHOST_SCANNER_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "reference-host/host.h"

namespace refhost {

class Scanner {
 public:
  // Starts rescanning `host` every `interval`; `host` must outlive the scanner.
  Scanner(Host& host, std::chrono::milliseconds interval);
  // Stops and waits for a rescan in progress.
  ~Scanner();
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

 private:
  void loop();

  Host& host_;
  const std::chrono::milliseconds interval_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;  // last: started once everything above exists
};

}  // namespace refhost

#endif  // PELLORA_REFHOST_SCANNER_H_
