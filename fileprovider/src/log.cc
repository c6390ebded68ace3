#include "fileprovider/log.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "fileprovider/file_io.h"
#include "fileprovider/private_path.h"
#include "fileprovider/scoped_fd.h"

namespace fp {
namespace {

// The file set with Log::setLogFile; guarded because fpctl sets it while
// extension threads may be logging.
std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}
std::optional<std::filesystem::path>& sinkOverride() {
  static std::optional<std::filesystem::path> file;
  return file;
}

void appendArg(std::string& out, const LogArg& arg) {
  if (const auto* s = std::get_if<std::string>(&arg.value())) {
    out += *s;
  } else {
    out += std::to_string(std::get<std::int64_t>(arg.value()));
  }
}

std::string escapeMessage(std::string_view message) {
  std::string out;
  out.reserve(message.size());
  for (char c : message) {
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string timestamp() {
  using namespace std::chrono;
  auto now = system_clock::now();
  auto secs = time_point_cast<seconds>(now);
  auto micros = duration_cast<microseconds>(now - secs).count();
  std::time_t t = system_clock::to_time_t(secs);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<long long>(micros));
  return buf;
}

}  // namespace

std::string formatLogMessage(std::string_view format, std::initializer_list<LogArg> args) {
  std::string out;
  auto next = args.begin();
  auto take = [&](std::string& o) {
    if (next != args.end()) {
      appendArg(o, *next);
      ++next;
    } else {
      o += "<missing>";
    }
  };
  std::size_t i = 0;
  while (i < format.size()) {
    char c = format[i];
    if (c != '%') {
      out += c;
      ++i;
      continue;
    }
    std::string_view rest = format.substr(i + 1);
    if (rest.starts_with("%")) {
      out += '%';
      i += 2;
      continue;
    }
    std::size_t skip = 1;
    if (rest.starts_with("{")) {  // privacy modifier: {public}, {private}
      auto close = rest.find('}');
      if (close == std::string_view::npos) {
        out += c;
        ++i;
        continue;
      }
      skip += close + 1;
      rest = rest.substr(close + 1);
    }
    std::size_t len = 0;
    while (len < rest.size() && rest[len] == 'l') ++len;
    if (len < rest.size() && (rest[len] == '@' || rest[len] == 's' || rest[len] == 'd' ||
                              rest[len] == 'u' || rest[len] == 'i')) {
      take(out);
      i += skip + len + 1;
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

void Log::setLogFile(std::optional<std::filesystem::path> file) {
  std::lock_guard lock(sinkMutex());
  sinkOverride() = std::move(file);
}

void Log::info(std::string_view format, std::initializer_list<LogArg> args) const {
  write(LogLevel::kInfo, format, args);
}

void Log::error(std::string_view format, std::initializer_list<LogArg> args) const {
  write(LogLevel::kError, format, args);
}

void Log::write(LogLevel level, std::string_view format, std::initializer_list<LogArg> args) const {
  const std::string message = formatLogMessage(format, args);
  const char* levelText = level == LogLevel::kInfo ? "info" : "error";

  std::optional<std::filesystem::path> file;
  {
    std::lock_guard lock(sinkMutex());
    file = sinkOverride();
  }
  if (!file) {
    if (const char* env = std::getenv("FILEPROVIDER_LOG"); env && *env) file = env;
  }
  if (!file) {
    ::syslog(level == LogLevel::kInfo ? LOG_INFO : LOG_ERR, "%s[%s] %s", subsystem_.c_str(),
             category_.c_str(), message.c_str());
    return;
  }
  std::string line = timestamp() + "\t" + levelText + "\t" + subsystem_ + "\t" + category_ + "\t" +
                     escapeMessage(message) + "\n";
  ScopedFD fd(retryOnEintr([&] {
    return ::open(file->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kPrivateFileMode);
  }));
  if (!fd) return;
  // One write per line: O_APPEND keeps lines of concurrent writers whole.
  (void)writeAll(fd.get(), line);
}

}  // namespace fp
