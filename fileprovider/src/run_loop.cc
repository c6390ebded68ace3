#include "fileprovider/run_loop.h"

#include <unistd.h>

#include "fileprovider/scoped_fd.h"

namespace fp {
namespace {

void writeStream(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = retryOnEintr([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (n <= 0) return;  // nowhere to report a failure to write the standard streams
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

RunLoop& RunLoop::main() {
  static RunLoop* const loop = new RunLoop;  // never destroyed: other threads end the process
  return *loop;
}

void RunLoop::run() {
  // Nothing is scheduled on this run loop; it only keeps the thread (and so the
  // process) alive until some thread calls exit. pause() returns after each
  // caught signal, hence the loop.
  for (;;) ::pause();
}

void writeStandardError(std::string_view bytes) { writeStream(STDERR_FILENO, bytes); }

void writeStandardOutput(std::string_view bytes) { writeStream(STDOUT_FILENO, bytes); }

}  // namespace fp
