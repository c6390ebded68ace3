// Bytes as lower-case hex digits and back: identifiers, versions and names are
// byte strings, and the mount's files on disk (the upload queue's records, the
// cache's file names, the kept dates) hold them as hex so any byte survives.
#ifndef FPCTL_MOUNT_HEX_TEXT_H_
#define FPCTL_MOUNT_HEX_TEXT_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace fpctl::mount {

inline std::string hexOf(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 0xf];
  }
  return out;
}

// The bytes of `digits`; none when it is not an even number of lower-case hex
// digits (a damaged record is never read as some other identifier).
inline std::optional<std::string> bytesOfHex(std::string_view digits) {
  if (digits.size() % 2 != 0) return std::nullopt;
  auto value = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out;
  out.reserve(digits.size() / 2);
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    int hi = value(digits[i]), lo = value(digits[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
  }
  return out;
}

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_HEX_TEXT_H_
