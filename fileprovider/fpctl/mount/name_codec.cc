#include "fileprovider/fpctl/mount/name_codec.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace fpctl::mount {
namespace {

constexpr std::string_view kSlash = "\u2215";    // stands for "/"
constexpr std::string_view kNul = "\u2400";      // stands for NUL
constexpr std::string_view kMarker = "\u201B";   // marks a literal kSlash or kNul
constexpr std::string_view kWideDot = "\uFF0E";  // builds the names for ".", ".." and ""
constexpr std::size_t kWideDotShift = 3;         // ".", "..", "" take the first three

bool startsWithAt(std::string_view s, std::size_t at, std::string_view prefix) {
  return s.substr(at, prefix.size()) == prefix;
}

// The number of kWideDot a name consists of, or 0 when it holds anything else.
std::size_t wideDotCount(std::string_view s) {
  if (s.empty() || s.size() % kWideDot.size() != 0) return 0;
  for (std::size_t i = 0; i < s.size(); i += kWideDot.size()) {
    if (!startsWithAt(s, i, kWideDot)) return 0;
  }
  return s.size() / kWideDot.size();
}

std::string wideDots(std::size_t n) {
  std::string out;
  out.reserve(n * kWideDot.size());
  for (std::size_t i = 0; i < n; ++i) out += kWideDot;
  return out;
}

void appendMarkers(std::string& out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out += kMarker;
}

}  // namespace

std::string posixName(std::string_view name) {
  if (name == ".") return wideDots(1);
  if (name == "..") return wideDots(2);
  if (name.empty()) return wideDots(3);
  if (std::size_t n = wideDotCount(name); n > 0) return wideDots(n + kWideDotShift);

  std::string out;
  out.reserve(name.size() + 8);
  std::size_t i = 0;
  while (i < name.size()) {
    // A run of markers is copied as it is unless what follows would make a
    // reader take its last marker for the marker of a literal.
    std::size_t markers = 0;
    while (startsWithAt(name, i, kMarker)) {
      ++markers;
      i += kMarker.size();
    }
    if (i == name.size()) {
      appendMarkers(out, markers);
      break;
    }
    if (name[i] == '/' || name[i] == '\0') {
      appendMarkers(out, 2 * markers);
      out += name[i] == '/' ? kSlash : kNul;
      i += 1;
    } else if (startsWithAt(name, i, kSlash) || startsWithAt(name, i, kNul)) {
      appendMarkers(out, 2 * markers + 1);
      out += name.substr(i, kSlash.size());  // both are three bytes long
      i += kSlash.size();
    } else {
      appendMarkers(out, markers);
      out += name[i];
      i += 1;
    }
  }
  return out;
}

std::string displayName(std::string_view name) {
  if (std::size_t n = wideDotCount(name); n > 0) {
    if (n == 1) return ".";
    if (n == 2) return "..";
    if (n == 3) return "";
    return wideDots(n - kWideDotShift);
  }

  std::string out;
  out.reserve(name.size());
  std::size_t i = 0;
  while (i < name.size()) {
    std::size_t markers = 0;
    while (startsWithAt(name, i, kMarker)) {
      ++markers;
      i += kMarker.size();
    }
    bool slash = startsWithAt(name, i, kSlash);
    bool nul = !slash && startsWithAt(name, i, kNul);
    if (!slash && !nul) {
      appendMarkers(out, markers);
      if (i < name.size()) out += name[i++];
      continue;
    }
    appendMarkers(out, markers / 2);
    if (markers % 2 == 1) {
      out += slash ? kSlash : kNul;  // a literal
    } else {
      out += slash ? '/' : '\0';
    }
    i += kSlash.size();
  }
  return out;
}

std::string shortenedName(std::string_view posix, std::size_t room) {
  if (posix.size() <= room) return std::string(posix);
  // FNV-1a over the whole name: stable across runs, spread over 32 bits.
  std::uint32_t hash = 2166136261u;
  for (unsigned char c : posix) {
    hash ^= c;
    hash *= 16777619u;
  }
  char tag[10];
  std::snprintf(tag, sizeof tag, "~%08x", hash);
  std::string_view extension;
  if (auto dot = posix.rfind('.'); dot != std::string_view::npos && dot > 0 &&
                                   posix.size() - dot <= 16 &&
                                   posix.substr(dot).find('\0') == std::string_view::npos) {
    extension = posix.substr(dot);
  }
  std::size_t keep = kMaxShownName - extension.size() - (sizeof tag - 1);
  // Back up to the start of a UTF-8 character.
  while (keep > 0 && (static_cast<unsigned char>(posix[keep]) & 0xC0) == 0x80) --keep;
  std::string out(posix.substr(0, keep));
  out += tag;
  out += extension;
  return out;
}

std::string numberedName(std::string_view shown, int n) {
  std::string suffix = " (" + std::to_string(n) + ")";
  return shortenedName(shown, kMaxName - suffix.size()) + suffix;
}

}  // namespace fpctl::mount
