#include "reference-host/line_log.h"

#include <unistd.h>

#include <string>

#include "fileprovider/file_io.h"

namespace refhost {

LineLog standardErrorLog() {
  return [](std::string_view line) {
    std::string text = "pell-refhost: ";
    text.append(line);
    text.push_back('\n');
    // One write per line: the kernel keeps writes of this size to a pipe or
    // terminal together.
    (void)fp::writeAll(STDERR_FILENO, text);
  };
}

LineLog silentLog() {
  return [](std::string_view) {};
}

}  // namespace refhost
