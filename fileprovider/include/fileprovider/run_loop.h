// The main run loop and the standard streams of a command-line program.
#ifndef FILEPROVIDER_RUN_LOOP_H_
#define FILEPROVIDER_RUN_LOOP_H_

#include <string_view>

namespace fp {

class RunLoop {
 public:
  static RunLoop& main();
  // Waits until the process exits (a completion handler calls exit). Never returns.
  [[noreturn]] void run();
};

// Writes all of `bytes` to standard error / standard output (retrying short
// writes and EINTR); failures are ignored.
void writeStandardError(std::string_view bytes);
void writeStandardOutput(std::string_view bytes);

}  // namespace fp

#endif  // FILEPROVIDER_RUN_LOOP_H_
