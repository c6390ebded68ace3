// How much the mount's cache of fetched contents may hold, and the words people
// use for it: sizes ("500M", "2G", "1.5GiB", "123456") and durations ("30m",
// "12h", "7d").
#ifndef FPCTL_MOUNT_CACHE_BOUND_H_
#define FPCTL_MOUNT_CACHE_BOUND_H_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace fpctl::mount {

// The most the largest default bound may be.
inline constexpr std::int64_t kDefaultBoundCeiling = std::int64_t{10} << 30;

struct CacheBound {
  // The bytes the fetched copies may take together.
  std::int64_t maxBytes = INT64_MAX;
  // Copies not used for longer than this are dropped; none: kept however old.
  std::optional<std::chrono::seconds> maxAge;
};

// A size in bytes: a number (fractions allowed) with an optional unit. K, M, G
// and T (also written KiB, MiB, GiB, TiB, or with a B: KB, MB, ...) are powers
// of 1024; B or no unit means bytes. Letters are read in any case. None when
// the text is no such size, is negative or does not fit in 63 bits.
[[nodiscard]] std::optional<std::int64_t> parseSize(std::string_view text);

// A duration: a number (fractions allowed) with the unit s, m, h, d or w; a
// plain number is seconds. None when the text is no such duration, is not
// positive, or is longer than a hundred years.
[[nodiscard]] std::optional<std::chrono::seconds> parseDuration(std::string_view text);

// The bound used when none is given: a tenth of the size of the file system
// that holds `folder`, at most kDefaultBoundCeiling. The ceiling when the file
// system cannot be asked.
[[nodiscard]] std::int64_t defaultMaxBytes(const std::filesystem::path& folder);

// "90s", "30m", "12h", "7d": the largest unit that divides the duration.
[[nodiscard]] std::string durationText(std::chrono::seconds duration);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_CACHE_BOUND_H_
