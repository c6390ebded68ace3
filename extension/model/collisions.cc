#include "extension/model/collisions.h"

#include <unicode/brkiter.h>
#include <unicode/bytestream.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/stringpiece.h>
#include <unicode/uchar.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <memory_resource>
#include <utility>
#include <vector>

#include "extension/model/text.h"

namespace pellora::Collisions {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

// Appends one code point as UTF-8.
void appendUtf8(std::string& out, UChar32 c) {
  char buf[U8_MAX_LENGTH];
  std::int32_t n = 0;
  U8_APPEND_UNSAFE(buf, n, c);
  out.append(buf, static_cast<std::size_t>(n));
}

// The full lower-case mapping of one scalar on its own: no neighbours are looked
// at and no locale applies (the root locale has no language rules), so a capital
// sigma always becomes a small sigma and U+0130 becomes "i" + U+0307. That is
// the simple mapping of every scalar but U+0130, the one unconditional special
// case: a table look-up instead of a call through ICU's string case mapper,
// which resolved the locale for every character and took about half of the
// time a Unicode listing spends on display names.
void appendLowerOfScalar(std::string& out, UChar32 c) {
  if (c == 0x0130) {
    out += "i\u0307";
    return;
  }
  appendUtf8(out, u_tolower(c));
}

// NFC of well-formed UTF-8; the input itself if ICU fails.
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

// The key of a name that holds a byte of 0x80 or above (ill-formed sequences
// count as U+FFFD, as the index reader shows them).
std::string nonAsciiKey(std::string_view name) {
  std::string lowered;
  lowered.reserve(name.size() + 4);
  const auto* p = reinterpret_cast<const std::uint8_t*>(name.data());
  const auto n = static_cast<std::int64_t>(name.size());
  for (std::int64_t i = 0; i < n;) {
    UChar32 c;
    U8_NEXT(p, i, n, c);
    if (c < 0) {
      lowered += kReplacement;
    } else if (c < 0x80) {
      lowered += asciiLower(static_cast<char>(c));
    } else {
      appendLowerOfScalar(lowered, c);
    }
  }
  return nfc(std::move(lowered));
}

// The text a ulid is ordered by: its NFC form, compared byte-wise (UTF-8 byte
// order is code point order).
std::string nonAsciiOrderKey(std::string_view ulid) {
  std::optional<std::string> repaired = text::repairedUtf8(ulid);
  return nfc(repaired ? std::move(*repaired) : std::string(ulid));
}

// Counts user-perceived characters (extended grapheme clusters). ASCII text is
// handled without ICU: there every byte is a character of its own except that CR
// followed by LF forms one. The ICU iterator is made on first need and reused.
class Characters {
 public:
  // Byte offset at which the last `count` characters of `s` start; 0 when `s`
  // has no more than `count`.
  std::size_t startOfLast(std::string_view s, int count) {
    if (text::isAscii(s)) {
      std::size_t i = s.size();
      for (int n = 0; n < count && i > 0; ++n) {
        i -= (i >= 2 && s[i - 1] == '\n' && s[i - 2] == '\r') ? 2 : 1;
      }
      return i;
    }
    icu::BreakIterator* it = iterate(s);
    if (it == nullptr) return startOfLastScalars(s, count);
    std::int32_t pos = it->last();
    for (int n = 0; n < count && pos > 0; ++n) {
      std::int32_t prev = it->previous();
      pos = prev == icu::BreakIterator::DONE ? 0 : prev;
    }
    return static_cast<std::size_t>(pos);
  }

  // Byte offset of the last character of `s` that is a full stop alone, or npos.
  // A full stop joined by a combining mark (or any other extender) is no dot.
  std::size_t lastDot(std::string_view s) {
    std::size_t dot = s.rfind('.');
    if (dot == std::string_view::npos || text::isAscii(s)) return dot;
    icu::BreakIterator* it = iterate(s);
    if (it == nullptr) return dot;
    for (;;) {
      auto at = static_cast<std::int32_t>(dot);
      if (it->isBoundary(at) && it->isBoundary(at + 1)) return dot;
      if (dot == 0) return std::string_view::npos;
      dot = s.rfind('.', dot - 1);
      if (dot == std::string_view::npos) return dot;
    }
  }

 private:
  // Without ICU's break data, count code points instead.
  static std::size_t startOfLastScalars(std::string_view s, int count) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
    auto i = static_cast<std::int32_t>(s.size());
    for (int n = 0; n < count && i > 0; ++n) U8_BACK_1(p, 0, i);
    return static_cast<std::size_t>(i);
  }

  icu::BreakIterator* iterate(std::string_view s) {
    UErrorCode err = U_ZERO_ERROR;
    if (!iterator_) {
      if (failed_) return nullptr;
      iterator_.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), err));
      if (U_FAILURE(err) || !iterator_) {
        iterator_.reset();
        failed_ = true;
        return nullptr;
      }
    }
    UText* ut =
        utext_openUTF8(text_.getAlias(), s.data(), static_cast<std::int64_t>(s.size()), &err);
    if (U_FAILURE(err)) return nullptr;
    if (!text_.isValid()) text_.adoptInstead(ut);
    iterator_->setText(text_.getAlias(), err);
    return U_SUCCESS(err) ? iterator_.get() : nullptr;
  }

  std::unique_ptr<icu::BreakIterator> iterator_;
  icu::LocalUTextPointer text_;
  bool failed_ = false;
};

std::string mark(std::string_view name, std::string_view ulid, Characters& chars) {
  std::string_view tag = ulid.substr(chars.startOfLast(ulid, tagLength));
  std::size_t dot = chars.lastDot(name);
  std::string out;
  out.reserve(name.size() + tag.size() + 4);
  if (dot != std::string_view::npos && dot != 0) {
    out.append(name.substr(0, dot));
    out += " (";
    out.append(tag);
    out += ").";
    out.append(name.substr(dot + 1));
  } else {
    out.append(name);
    out += " (";
    out.append(tag);
    out += ')';
  }
  return out;
}

// A collision key by reference. An ASCII name is its own key once its capitals
// are lowered, which is done while hashing and comparing instead of on a copy;
// any other key is built (see nonAsciiKey) and is lower-case already.
struct Key {
  std::string_view text;
  bool asciiName = false;  // `text` is an ASCII name; the key is its lower-casing
};

constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

// Lowers the ASCII capitals among eight bytes; every other byte stays.
std::uint64_t lowerWord(std::uint64_t x) {
  std::uint64_t low7 = x & ~kHighBits;
  std::uint64_t atLeastA = low7 + 0x3F3F3F3F3F3F3F3Full;  // high bit: byte >= 'A'
  std::uint64_t aboveZ = low7 + 0x2525252525252525ull;    // high bit: byte > 'Z'
  std::uint64_t capitals = atLeastA & ~aboveZ & ~x & kHighBits;
  return x | (capitals >> 2);  // 0x80 >> 2 is the case bit 0x20
}

// Word `i` of `s`: eight bytes from byte 8 * i, zero-padded past the end.
// Little-endian on this platform's processors; either way, keys of one length
// always take the same branch, which is all hashing and comparing need.
std::uint64_t rawWord(std::string_view s, std::size_t i) {
  const std::size_t at = 8 * i;
  const std::size_t rest = s.size() - at;
  std::uint64_t w = 0;
  if (rest >= 8) {
    std::memcpy(&w, s.data() + at, 8);
  } else if (s.size() >= 8) {
    std::memcpy(&w, s.data() + s.size() - 8, 8);  // the last eight bytes
    w >>= 8 * (8 - rest);
  } else {
    for (std::size_t j = 0; j < rest; ++j) {
      w |= std::uint64_t{static_cast<unsigned char>(s[at + j])} << (8 * j);
    }
  }
  return w;
}

std::uint64_t keyWord(const Key& k, std::size_t i) {
  std::uint64_t w = rawWord(k.text, i);
  return k.asciiName ? lowerWord(w) : w;
}

// Hashes the words of a text, lowered where `lower` is set; `anyHigh` gathers
// their high bits, so that the same pass tells whether the text is ASCII.
std::uint64_t hashWords(std::string_view s, bool lower, std::uint64_t& anyHigh) {
  std::uint64_t h = 0x9E3779B97F4A7C15ull ^ s.size();
  for (std::size_t i = 0, n = (s.size() + 7) / 8; i < n; ++i) {
    std::uint64_t w = rawWord(s, i);
    anyHigh |= w;
    h = (h ^ (lower ? lowerWord(w) : w)) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 29;
  }
  h *= 0x94D049BB133111EBull;
  return h ^ (h >> 32);
}

std::uint64_t hashKey(const Key& k) {
  std::uint64_t ignored = 0;
  return hashWords(k.text, k.asciiName, ignored);
}

bool sameKey(const Key& a, const Key& b) {
  if (a.text.size() != b.text.size()) return false;
  if (!a.asciiName && !b.asciiName) return a.text == b.text;
  for (std::size_t i = 0, n = (a.text.size() + 7) / 8; i < n; ++i) {
    if (keyWord(a, i) != keyWord(b, i)) return false;
  }
  return true;
}

// Makes collision keys and ulid order keys. Keys that are not views of their
// source text live in the arena, so nothing is freed one by one.
class KeyMaker {
 public:
  explicit KeyMaker(std::pmr::memory_resource* arena) : arena_(arena) {}

  Key key(std::string_view name) {
    if (text::isAscii(name)) return Key{name, true};
    return Key{keep(nonAsciiKey(name)), false};
  }

  // key(name) and its hash, in one pass over an ASCII name.
  Key key(std::string_view name, std::uint64_t& hash) {
    std::uint64_t anyHigh = 0;
    hash = hashWords(name, true, anyHigh);
    if ((anyHigh & kHighBits) == 0) return Key{name, true};
    Key k{keep(nonAsciiKey(name)), false};
    hash = hashKey(k);
    return k;
  }

  std::string_view orderKey(std::string_view ulid) {
    return text::isAscii(ulid) ? ulid : keep(nonAsciiOrderKey(ulid));
  }

 private:
  std::string_view keep(const std::string& s) {
    char* out = static_cast<char*>(arena_->allocate(s.empty() ? 1 : s.size(), 1));
    std::copy(s.begin(), s.end(), out);
    return {out, s.size()};
  }
  std::pmr::memory_resource* arena_;
};

// The names sharing one collision key.
struct Group {
  Key key;
  std::uint32_t reserved = 0;  // reserved names with this key
  std::uint32_t entries = 0;   // entries with this key
  std::uint32_t seen = 0;      // entries visited so far, in ulid order
};

// Groups by key: open addressing with linear probing over a power-of-two slot
// array at most half full. Sized once for the number of names, it never grows.
// A slot holds the upper half of the hash, so a probe rarely reads a group.
class GroupTable {
 public:
  GroupTable(std::size_t capacity, std::pmr::memory_resource* arena)
      : slots_(slotCount(capacity), Slot{}, arena), groups_(arena) {
    groups_.reserve(capacity);
  }

  // The index of the group of `key`, added when new. `hash` is hashKey(key).
  std::uint32_t index(const Key& key) { return index(key, hashKey(key)); }
  std::uint32_t index(const Key& key, std::uint64_t hash) {
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (slot.group == 0) {
        groups_.push_back(Group{key});
        slot = Slot{tag, static_cast<std::uint32_t>(groups_.size())};
        return slot.group - 1;
      }
      if (slot.tag == tag && sameKey(groups_[slot.group - 1].key, key)) return slot.group - 1;
    }
  }
  Group& operator[](std::uint32_t i) { return groups_[i]; }

  // Starts loading the first slot that a lookup of `hash` reads. The slots are
  // read in random order; fetching ahead hides most of the cache misses.
  void prefetch(std::uint64_t hash) const {
    __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
  }

 private:
  struct Slot {
    std::uint32_t tag = 0;
    std::uint32_t group = 0;  // index + 1; 0 marks a free slot
  };
  static std::size_t slotCount(std::size_t capacity) {
    std::size_t n = 16;
    while (n < 2 * capacity) n *= 2;
    return n;
  }
  std::pmr::vector<Slot> slots_;
  std::pmr::vector<Group> groups_;
};

}  // namespace

std::string markedName(std::string_view name, std::string_view ulid) {
  Characters chars;
  return mark(name, ulid, chars);
}

std::string collisionKey(std::string_view name) {
  if (!text::isAscii(name)) return nonAsciiKey(name);
  std::string key(name);
  for (char& c : key) c = asciiLower(c);
  return key;
}

bool hasCollisionKey(std::string_view name, std::string_view key) {
  if (!text::isAscii(name)) return nonAsciiKey(name) == key;
  if (name.size() != key.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (asciiLower(name[i]) != key[i]) return false;
  }
  return true;
}

std::optional<AsciiLead> asciiLeadOfKey(std::string_view key) {
  if (text::isAscii(key)) {
    return AsciiLead{std::string(key), std::string(key), true, std::string(key)};
  }
  // The decomposition of a character never starts with an ASCII character
  // unless the character decomposes into it plus marks, and reordering never
  // moves a starter, so the ASCII prefix of the decomposition is what every
  // canonically equivalent spelling starts with.
  UErrorCode err = U_ZERO_ERROR;
  const icu::Normalizer2* normalizer = icu::Normalizer2::getNFDInstance(err);
  if (U_FAILURE(err)) return std::nullopt;
  std::string decomposed;
  icu::StringByteSink<std::string> sink(&decomposed, static_cast<std::int32_t>(key.size()));
  normalizer->normalizeUTF8(0, icu::StringPiece(key.data(), static_cast<std::int32_t>(key.size())),
                            sink, nullptr, err);
  if (U_FAILURE(err)) return std::nullopt;
  std::size_t n = 0;
  while (n < decomposed.size() && static_cast<unsigned char>(decomposed[n]) < 0x80) ++n;
  std::size_t t = decomposed.size();
  while (t > n && static_cast<unsigned char>(decomposed[t - 1]) < 0x80) --t;
  return AsciiLead{decomposed.substr(0, n), decomposed.substr(t), false, decomposed};
}

const std::vector<AsciiBasedScalar>& asciiBasedScalars(char c) {
  static const std::array<std::vector<AsciiBasedScalar>, 128> table = [] {
    std::array<std::vector<AsciiBasedScalar>, 128> t;
    UErrorCode err = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(err);
    icu::UnicodeSet candidates(
        icu::UnicodeString::fromUTF8("[[:NFD_Quick_Check=No:][:Changes_When_Lowercased:]]"), err);
    if (U_FAILURE(err)) return t;
    for (std::int32_t r = 0; r < candidates.getRangeCount(); ++r) {
      for (UChar32 x = std::max<UChar32>(candidates.getRangeStart(r), 0x80);
           x <= candidates.getRangeEnd(r); ++x) {
        if (x >= 0xAC00 && x <= 0xD7A3) continue;  // Hangul syllables decompose into jamo
        std::string lowered;
        appendLowerOfScalar(lowered, x);
        std::string decomposed;
        icu::StringByteSink<std::string> sink(&decomposed);
        UErrorCode e = U_ZERO_ERROR;
        nfd->normalizeUTF8(
            0, icu::StringPiece(lowered.data(), static_cast<std::int32_t>(lowered.size())), sink,
            nullptr, e);
        if (U_FAILURE(e) || decomposed.empty()) continue;
        auto first = static_cast<unsigned char>(decomposed[0]);
        if (first >= 0x80) continue;
        std::string bytes;
        appendUtf8(bytes, x);
        t[first].push_back({std::move(bytes), std::move(decomposed)});
      }
    }
    return t;
  }();
  return table[static_cast<unsigned char>(c) & 0x7F];
}

bool mayHaveKey(std::string_view name, const AsciiLead& lead) {
  auto ascii = [](char c) { return static_cast<unsigned char>(c) < 0x80; };
  std::size_t i = 0;
  for (; i < name.size() && ascii(name[i]); ++i) {
    if (i >= lead.asciiLead.size() || asciiLower(name[i]) != lead.asciiLead[i]) return false;
  }
  if (i == name.size()) return true;
  // ASCII characters stay as they are in the decomposition and are never
  // reordered, so the name's ASCII end is the end of the key's decomposition.
  std::size_t j = name.size();
  while (ascii(name[j - 1])) --j;
  const std::size_t tail = name.size() - j;
  if (tail > lead.asciiTrail.size()) return false;
  const std::size_t at = lead.asciiTrail.size() - tail;
  for (std::size_t k = 0; k < tail; ++k) {
    if (asciiLower(name[j + k]) != lead.asciiTrail[at + k]) return false;
  }
  return true;
}

std::vector<Mark> marks(std::span<const std::string_view> reserved,
                        std::span<const NamedUlid> entries) {
  std::vector<Mark> result;
  if (entries.empty()) return result;

  // Everything temporary lives in one arena and goes at once.
  std::pmr::monotonic_buffer_resource arena;
  KeyMaker keys(&arena);
  GroupTable groups(reserved.size() + entries.size(), &arena);

  for (std::string_view name : reserved) ++groups[groups.index(keys.key(name))].reserved;
  // Block by block: keys and hashes first, then the table lookups, which fetch
  // their slots ahead.
  constexpr std::size_t kBlock = 64;
  constexpr std::size_t kAhead = 8;
  std::array<Key, kBlock> blockKeys;
  std::array<std::uint64_t, kBlock> blockHashes;
  std::pmr::vector<std::uint32_t> groupOf(entries.size(), &arena);
  for (std::size_t start = 0; start < entries.size(); start += kBlock) {
    const std::size_t n = std::min(kBlock, entries.size() - start);
    for (std::size_t j = 0; j < n; ++j) {
      blockKeys[j] = keys.key(entries[start + j].name, blockHashes[j]);
    }
    for (std::size_t j = 0; j < std::min(kAhead, n); ++j) groups.prefetch(blockHashes[j]);
    for (std::size_t j = 0; j < n; ++j) {
      if (j + kAhead < n) groups.prefetch(blockHashes[j + kAhead]);
      std::uint32_t g = groups.index(blockKeys[j], blockHashes[j]);
      ++groups[g].entries;
      groupOf[start + j] = g;
    }
  }

  // An entry whose key a reserved name holds is always marked; one alone with its
  // key never is. Only the entries of shared, unreserved keys need the ulid order:
  // the first of each such group in that order keeps its name.
  std::vector<std::size_t> marked;
  std::pmr::vector<std::pair<std::string_view, std::size_t>> contested(&arena);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Group& g = groups[groupOf[i]];
    if (g.reserved > 0) {
      marked.push_back(i);
    } else if (g.entries > 1) {
      contested.emplace_back(keys.orderKey(entries[i].ulid), i);
    }
  }
  if (!contested.empty()) {
    // Stable: entries with equal ulids keep their input order.
    std::stable_sort(contested.begin(), contested.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [ulid, i] : contested) {
      if (++groups[groupOf[i]].seen > 1) marked.push_back(i);
    }
    std::sort(marked.begin(), marked.end());
  }

  Characters chars;
  result.reserve(marked.size());
  for (std::size_t i : marked) result.push_back({i, mark(entries[i].name, entries[i].ulid, chars)});
  return result;
}

std::vector<std::string> resolve(std::span<const std::string> reserved,
                                 std::span<const NamedUlid> entries) {
  std::vector<std::string_view> reservedNames(reserved.begin(), reserved.end());
  std::vector<std::string> names;
  names.reserve(entries.size());
  for (const NamedUlid& e : entries) names.emplace_back(e.name);
  for (Mark& m : marks(reservedNames, entries)) names[m.position] = std::move(m.displayName);
  return names;
}

}  // namespace pellora::Collisions
