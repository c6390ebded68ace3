// Small UTF-8 helpers shared by the name disambiguation and the index reader.
#ifndef PELLORA_MODEL_TEXT_H_
#define PELLORA_MODEL_TEXT_H_

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace pellora::text {

// True when every byte of `s` is below 0x80. Inline and eight bytes at a time:
// it runs on every text the index reader hands out.
inline bool isAscii(std::string_view s) {
  std::uint64_t any = 0;
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    any |= w;
  }
  for (; i < s.size(); ++i) any |= static_cast<unsigned char>(s[i]);
  return (any & 0x8080808080808080ull) == 0;
}

// `s` with each ill-formed UTF-8 sequence (each maximal subpart of one) replaced by
// U+FFFD, or none when `s` is already well-formed.
std::optional<std::string> repairedUtf8(std::string_view s);

}  // namespace pellora::text

#endif  // PELLORA_MODEL_TEXT_H_
