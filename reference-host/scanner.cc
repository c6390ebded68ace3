#include "reference-host/scanner.h"

namespace refhost {

Scanner::Scanner(Host& host, std::chrono::milliseconds interval)
    : host_(host), interval_(interval), thread_([this] { loop(); }) {}

Scanner::~Scanner() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void Scanner::loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (wake_.wait_for(lock, interval_, [this] { return stopping_; })) return;
    lock.unlock();
    // Failures are logged by the host and tried again on the next round.
    (void)host_.rescan();
    lock.lock();
  }
}

}  // namespace refhost
