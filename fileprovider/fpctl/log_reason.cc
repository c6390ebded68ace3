#include "fileprovider/fpctl/log_reason.h"

#include <fcntl.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#include "fileprovider/scoped_fd.h"

namespace fpctl {

namespace {

constexpr std::string_view kOwnSubsystem = "fpctl";

std::vector<std::string_view> splitTabs(std::string_view line) {
  std::vector<std::string_view> fields;
  for (;;) {
    auto tab = line.find('\t');
    fields.push_back(line.substr(0, tab));
    if (tab == std::string_view::npos) return fields;
    line.remove_prefix(tab + 1);
  }
}

std::string unescape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    char next = s[++i];
    out += next == 't' ? '\t' : next == 'n' ? '\n' : next;
  }
  return out;
}

}  // namespace

std::uintmax_t logEnd(const std::filesystem::path& file) {
  std::error_code ec;
  std::uintmax_t size = std::filesystem::file_size(file, ec);
  return ec ? 0 : size;
}

std::optional<std::string> lastExtensionErrorIn(std::string_view text) {
  std::optional<std::string> last;
  while (!text.empty()) {
    auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    // <time> <level> <subsystem> <category> <message>; the message has no raw tab.
    auto fields = splitTabs(line);
    if (fields.size() != 5 || fields[1] != "error" || fields[2] == kOwnSubsystem) continue;
    last = unescape(fields[4]);
  }
  return last;
}

std::optional<std::string> lastExtensionError(const std::filesystem::path& file,
                                              std::uintmax_t from) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  in.seekg(static_cast<std::streamoff>(from));
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), {});
  return lastExtensionErrorIn(text);
}

std::unique_ptr<PrivateLog> PrivateLog::create(const std::filesystem::path& folder) {
  std::string pattern = (folder / "fpctl-log-XXXXXX").string();
  fp::ScopedFD fd(::mkostemp(pattern.data(), O_CLOEXEC));  // mode 0600
  if (!fd) return nullptr;
  return std::unique_ptr<PrivateLog>(new PrivateLog(pattern));
}

PrivateLog::~PrivateLog() {
  std::ifstream in(path_, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    auto fields = splitTabs(line);
    if (fields.size() != 5) continue;
    std::string subsystem(fields[2]), category(fields[3]), message = unescape(fields[4]);
    ::syslog(fields[1] == "error" ? LOG_ERR : LOG_INFO, "%s[%s] %s", subsystem.c_str(),
             category.c_str(), message.c_str());
  }
  std::error_code ec;
  std::filesystem::remove(path_, ec);
}

}  // namespace fpctl
