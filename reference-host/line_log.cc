#include "reference-host/line_log.h"

#include <unistd.h>

#include <string>

#include "fileprovider/scoped_fd.h"

namespace refhost {

LineLog standardErrorLog() {
  return [](std::string_view line) {
    std::string text = "pell-refhost: ";
    text.append(line);
    text.push_back('\n');
    // One write per line: the kernel keeps writes of this size to a pipe or
    // terminal together.
    std::size_t done = 0;
    while (done < text.size()) {
      ssize_t n = fp::retryOnEintr(
          [&] { return ::write(STDERR_FILENO, text.data() + done, text.size() - done); });
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  };
}

LineLog silentLog() {
  return [](std::string_view) {};
}

}  // namespace refhost
