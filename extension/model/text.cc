#include "extension/model/text.h"

#include <unicode/utf8.h>

#include <cstdint>

namespace pellora::text {

std::optional<std::string> repairedUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
  const auto n = static_cast<std::int64_t>(s.size());
  std::int64_t i = 0;
  // Find the first ill-formed sequence; most texts have none.
  for (;;) {
    if (i == n) return std::nullopt;
    std::int64_t at = i;
    UChar32 c;
    U8_NEXT(p, i, n, c);
    if (c < 0) {
      i = at;
      break;
    }
  }
  std::string out(s.substr(0, static_cast<std::size_t>(i)));
  out.reserve(s.size() + 8);
  while (i < n) {
    std::int64_t at = i;
    UChar32 c;
    // U8_NEXT consumes one maximal subpart of an ill-formed sequence.
    U8_NEXT(p, i, n, c);
    if (c < 0) {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(s.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(i - at)));
    }
  }
  return out;
}

}  // namespace pellora::text
