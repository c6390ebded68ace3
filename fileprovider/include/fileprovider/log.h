// The unified log: subsystem and category handles taking os_log format strings.
#ifndef FILEPROVIDER_LOG_H_
#define FILEPROVIDER_LOG_H_

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace fp {

// One argument of a log line: text (for "%{public}@" and "%{public}s") or an
// integer (for "%d").
class LogArg {
 public:
  LogArg(std::string_view s) : v_(std::string(s)) {}            // NOLINT: implicit on purpose
  LogArg(const std::string& s) : v_(s) {}                       // NOLINT
  LogArg(const char* s) : v_(std::string(s ? s : "(null)")) {}  // NOLINT
  LogArg(std::int64_t n) : v_(n) {}                             // NOLINT
  LogArg(int n) : v_(static_cast<std::int64_t>(n)) {}           // NOLINT
  LogArg(std::size_t n) : v_(static_cast<std::int64_t>(n)) {}   // NOLINT
  const std::variant<std::string, std::int64_t>& value() const { return v_; }

 private:
  std::variant<std::string, std::int64_t> v_;
};

enum class LogLevel { kInfo, kError };

// Formats an os_log format string: "%{public}@", "%{public}s", "%{private}@", "%@",
// "%s", "%d", "%ld", "%lld" and "%%" are understood; arguments are used in order.
std::string formatLogMessage(std::string_view format, std::initializer_list<LogArg> args);

class Log {
 public:
  Log(std::string subsystem, std::string category)
      : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

  void info(std::string_view format, std::initializer_list<LogArg> args = {}) const;
  void error(std::string_view format, std::initializer_list<LogArg> args = {}) const;

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

  // Sink: the file given here, else $FILEPROVIDER_LOG (read at each line), else
  // syslog. Each line is "<time>\t<level>\t<subsystem>\t<category>\t<message>\n",
  // time in UTC ISO 8601 with microseconds, level "info" or "error"; tabs, line
  // breaks and backslashes in the message are written as \t, \n and \\.
  static void setLogFile(std::optional<std::filesystem::path> file);

 private:
  void write(LogLevel level, std::string_view format, std::initializer_list<LogArg> args) const;
  std::string subsystem_;
  std::string category_;
};

}  // namespace fp

#endif  // FILEPROVIDER_LOG_H_
