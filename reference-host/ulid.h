// ULIDs: 128-bit identifiers written as 26 characters of Crockford's base32,
// a 48-bit millisecond timestamp followed by 80 random bits, so they sort by
// creation time and never repeat in practice.
#ifndef PELLORA_REFHOST_ULID_H_
#define PELLORA_REFHOST_ULID_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace refhost {

inline constexpr std::size_t kUlidLength = 26;

// The text of the ULID with timestamp `unixMillis` (only its low 48 bits are
// used) and the 80 random bits `randomness`, most significant byte first.
[[nodiscard]] std::string encodeUlid(std::uint64_t unixMillis,
                                     const std::array<std::uint8_t, 10>& randomness);

// A new ULID for the current time with randomness from the kernel.
[[nodiscard]] std::string newUlid();

// True for 26 characters of Crockford's base32 alphabet in upper case whose
// first character is at most '7' (the value fits in 128 bits).
[[nodiscard]] bool isUlid(std::string_view text);

// The timestamp of a ULID, in milliseconds since 1970; 0 for text that is no ULID.
[[nodiscard]] std::uint64_t ulidMillis(std::string_view text);

}  // namespace refhost

#endif  // PELLORA_REFHOST_ULID_H_
