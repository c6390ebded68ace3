#include "reference-host/ulid.h"

#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <random>

namespace refhost {
namespace {

constexpr std::string_view kAlphabet = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

int digitValue(char c) {
  auto pos = kAlphabet.find(c);
  return pos == std::string_view::npos ? -1 : static_cast<int>(pos);
}

void fillRandom(std::array<std::uint8_t, 10>& out) {
  std::size_t got = 0;
  while (got < out.size()) {
    ssize_t n = ::getrandom(out.data() + got, out.size() - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  if (got < out.size()) {
    // getrandom is missing (very old kernel): the library's source is good enough
    // for identifiers that only need to be unique.
    std::random_device rd;
    for (auto& b : out) b = static_cast<std::uint8_t>(rd());
  }
}

}  // namespace

std::string encodeUlid(std::uint64_t unixMillis, const std::array<std::uint8_t, 10>& randomness) {
  // The 128-bit value, as 16 bytes, most significant first.
  std::array<std::uint8_t, 16> bytes{};
  for (int i = 0; i < 6; ++i) {
    bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(unixMillis >> (8 * (5 - i)));
  }
  for (std::size_t i = 0; i < randomness.size(); ++i) bytes[6 + i] = randomness[i];

  // 26 digits of 5 bits cover 130 bits: the value is read as if preceded by two
  // zero bits, so digit k holds bits [128 - 5*(25-k) - 5, ...) counted from the top.
  std::string text(kUlidLength, '0');
  for (std::size_t k = 0; k < kUlidLength; ++k) {
    int value = 0;
    for (int b = 0; b < 5; ++b) {
      int bit = static_cast<int>(k) * 5 + b - 2;  // index into the 128 bits, from the top
      int v = 0;
      if (bit >= 0) {
        v = (bytes[static_cast<std::size_t>(bit / 8)] >> (7 - bit % 8)) & 1;
      }
      value = (value << 1) | v;
    }
    text[k] = kAlphabet[static_cast<std::size_t>(value)];
  }
  return text;
}

std::string newUlid() {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
  std::array<std::uint8_t, 10> randomness{};
  fillRandom(randomness);
  return encodeUlid(static_cast<std::uint64_t>(millis), randomness);
}

bool isUlid(std::string_view text) {
  if (text.size() != kUlidLength) return false;
  if (digitValue(text[0]) < 0 || digitValue(text[0]) > 7) return false;
  for (char c : text) {
    if (digitValue(c) < 0) return false;
  }
  return true;
}

std::uint64_t ulidMillis(std::string_view text) {
  if (!isUlid(text)) return 0;
  // The first 10 digits hold 50 bits: two zero bits and the 48-bit timestamp.
  std::uint64_t value = 0;
  for (std::size_t k = 0; k < 10; ++k) {
    value = (value << 5) | static_cast<std::uint64_t>(digitValue(text[k]));
  }
  return value;
}

}  // namespace refhost
