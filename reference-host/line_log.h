// Where the host writes its one-line messages for people (requests served,
// index updates, problems). A line is written whole, so concurrent writers
// never interleave.
#ifndef PELLORA_REFHOST_LINE_LOG_H_
#define PELLORA_REFHOST_LINE_LOG_H_

#include <functional>
#include <string_view>

namespace refhost {

using LineLog = std::function<void(std::string_view line)>;

// Writes "pell-refhost: <line>" to standard error.
[[nodiscard]] LineLog standardErrorLog();

// Drops every line.
[[nodiscard]] LineLog silentLog();

}  // namespace refhost

#endif  // PELLORA_REFHOST_LINE_LOG_H_
