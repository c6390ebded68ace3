// The extension's own account of a failure: the extension maps many causes to
// one error code (a locked file and an unreachable host share one), but the
// error line it writes to the platform log names the cause. fpctl notes where
// the log ends before a request and, when the request fails, reads the last
// error line an extension wrote after that point.
#ifndef FPCTL_LOG_REASON_H_
#define FPCTL_LOG_REASON_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace fpctl {

// Where the log file ends now: its size, 0 when it does not exist yet.
[[nodiscard]] std::uintmax_t logEnd(const std::filesystem::path& file);

// The message of the last "error" line written to `file` from byte `from` on
// by another subsystem than fpctl's own, with the log's escapes (\t, \n, \\)
// undone; none when there is no such line or the file cannot be read.
[[nodiscard]] std::optional<std::string> lastExtensionError(const std::filesystem::path& file,
                                                            std::uintmax_t from);

// The same, read from log text (lines as fp::Log writes them).
[[nodiscard]] std::optional<std::string> lastExtensionErrorIn(std::string_view logText);

// A log file of fpctl's own for one run, for when the platform log would go to
// syslog: the extension's reason can then be read back from it. When the run
// ends the lines are passed on to syslog as they would have gone there, and the
// file is removed.
class PrivateLog {
 public:
  // Creates an owner-only file in `folder`; null when that fails.
  [[nodiscard]] static std::unique_ptr<PrivateLog> create(const std::filesystem::path& folder);
  ~PrivateLog();
  PrivateLog(const PrivateLog&) = delete;
  PrivateLog& operator=(const PrivateLog&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  explicit PrivateLog(std::filesystem::path path) : path_(std::move(path)) {}
  std::filesystem::path path_;
};

}  // namespace fpctl

#endif  // FPCTL_LOG_REASON_H_
