#include "fileprovider/fpctl/mount/cache_bound.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <utility>

namespace fpctl::mount {
namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Splits "1.5GiB" (or "1.5 GiB") into 1.5 and "gib"; none when no number leads or it is not
// finite. The number is read in the C locale's notation only.
std::optional<std::pair<double, std::string>> numberAndUnit(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.')) {
    ++i;
  }
  std::string number(text.substr(0, i));
  if (number.empty() || std::count(number.begin(), number.end(), '.') > 1 || number == ".") {
    return std::nullopt;
  }
  char* end = nullptr;
  double v = std::strtod(number.c_str(), &end);
  if (end != number.c_str() + number.size() || !std::isfinite(v)) return std::nullopt;
  // One space may stand between the number and its unit ("8.0 MiB", as fpctl
  // prints sizes), but not end the text.
  if (i + 1 < text.size() && text[i] == ' ') ++i;
  return std::make_pair(v, lower(text.substr(i)));
}

}  // namespace

std::optional<std::int64_t> parseSize(std::string_view text) {
  auto parsed = numberAndUnit(text);
  if (!parsed) return std::nullopt;
  auto [v, unit] = *parsed;
  static const std::pair<const char*, int> kUnits[] = {
      {"", 0},    {"b", 0}, {"k", 1},  {"kb", 1},  {"kib", 1}, {"m", 2},  {"mb", 2},
      {"mib", 2}, {"g", 3}, {"gb", 3}, {"gib", 3}, {"t", 4},   {"tb", 4}, {"tib", 4}};
  for (const auto& [name, power] : kUnits) {
    if (unit != name) continue;
    double bytes = std::ldexp(v, 10 * power);
    // 2^63 itself does not fit.
    if (!(bytes < 9223372036854775808.0)) return std::nullopt;
    return static_cast<std::int64_t>(std::llround(bytes));
  }
  return std::nullopt;
}

std::optional<std::chrono::seconds> parseDuration(std::string_view text) {
  auto parsed = numberAndUnit(text);
  if (!parsed) return std::nullopt;
  auto [v, unit] = *parsed;
  static const std::pair<const char*, double> kUnits[] = {{"", 1},     {"s", 1},     {"m", 60},
                                                          {"h", 3600}, {"d", 86400}, {"w", 604800}};
  for (const auto& [name, factor] : kUnits) {
    if (unit != name) continue;
    double seconds = v * factor;
    if (!(seconds >= 1) || seconds > 100.0 * 366 * 86400) return std::nullopt;
    return std::chrono::seconds(std::llround(seconds));
  }
  return std::nullopt;
}

std::int64_t defaultMaxBytes(const std::filesystem::path& folder) {
  struct statvfs vfs {};
  if (::statvfs(folder.c_str(), &vfs) != 0) return kDefaultBoundCeiling;
  double total = static_cast<double>(vfs.f_blocks) * static_cast<double>(vfs.f_frsize);
  return std::min<std::int64_t>(kDefaultBoundCeiling, static_cast<std::int64_t>(total / 10));
}

std::string durationText(std::chrono::seconds duration) {
  static const std::pair<const char*, long long> kUnits[] = {
      {"w", 604800}, {"d", 86400}, {"h", 3600}, {"m", 60}};
  long long s = duration.count();
  for (const auto& [name, factor] : kUnits) {
    if (s > 0 && s % factor == 0) return std::to_string(s / factor) + name;
  }
  return std::to_string(s) + "s";
}

}  // namespace fpctl::mount
