#include "fileprovider/run_loop.h"

#include <unistd.h>

#include "fileprovider/file_io.h"

namespace fp {
namespace {

void writeStream(int fd, std::string_view bytes) {
  // Nowhere to report a failure to write the standard streams.
  (void)writeAll(fd, bytes);
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
