#include "fileprovider/fpctl/mount/namesake_key.h"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/stringpiece.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <cstdint>

namespace fpctl::mount {
namespace {

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

void appendUtf8(std::string& out, UChar32 c) {
  char buf[U8_MAX_LENGTH];
  std::int32_t n = 0;
  U8_APPEND_UNSAFE(buf, n, c);
  out.append(buf, static_cast<std::size_t>(n));
}

// The full lower-case mapping of `c` on its own. The root locale ("") has no
// language rules, and a single scalar has no neighbours for context rules.
void appendLowerOfScalar(std::string& out, UChar32 c) {
  UChar src[2];
  std::int32_t srcLen = 0;
  U16_APPEND_UNSAFE(src, srcLen, c);
  UChar dst[8];
  UErrorCode err = U_ZERO_ERROR;
  std::int32_t len = u_strToLower(dst, 8, src, srcLen, "", &err);
  if (U_FAILURE(err) || len > 8) {
    appendUtf8(out, c);
    return;
  }
  for (std::int32_t i = 0; i < len;) {
    UChar32 l;
    U16_NEXT(dst, i, len, l);
    appendUtf8(out, l);
  }
}

// NFC of well-formed UTF-8; the text itself when ICU cannot normalise.
std::string nfc(std::string s) {
  UErrorCode err = U_ZERO_ERROR;
  const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(err);
  if (U_FAILURE(err)) return s;
  icu::StringPiece piece(s.data(), static_cast<std::int32_t>(s.size()));
  if (normalizer->isNormalizedUTF8(piece, err) && U_SUCCESS(err)) return s;
  err = U_ZERO_ERROR;
  std::string out;
  icu::StringByteSink<std::string> sink(&out, static_cast<std::int32_t>(s.size()));
  normalizer->normalizeUTF8(0, piece, sink, nullptr, err);
  return U_SUCCESS(err) ? out : s;
}

}  // namespace

std::string namesakeKey(std::string_view name) {
  std::string lowered;
  lowered.reserve(name.size());
  bool ascii = true;
  const auto* p = reinterpret_cast<const std::uint8_t*>(name.data());
  const auto n = static_cast<std::int64_t>(name.size());
  for (std::int64_t i = 0; i < n;) {
    UChar32 c;
    U8_NEXT(p, i, n, c);
    if (c < 0) {
      ascii = false;
      appendUtf8(lowered, 0xFFFD);
    } else if (c < 0x80) {
      lowered += asciiLower(static_cast<char>(c));
    } else {
      ascii = false;
      appendLowerOfScalar(lowered, c);
    }
  }
  return ascii ? lowered : nfc(std::move(lowered));
}

}  // namespace fpctl::mount
