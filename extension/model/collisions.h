// Sibling name disambiguation: which name each file of a folder is shown under.
#ifndef PELLORA_MODEL_COLLISIONS_H_
#define PELLORA_MODEL_COLLISIONS_H_

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pellora {
namespace Collisions {

// Characters (user-perceived) taken from the end of the ulid for the tag.
inline constexpr int tagLength = 6;

struct NamedUlid {
  std::string_view ulid;
  std::string_view name;
};

// The name with " (" + tag + ")" inserted before its last extension:
// "Report.pdf" -> "Report (7K2QZM).pdf", "Notes" -> "Notes (7K2QZM)",
// ".env" -> ".env (7K2QZM)", "memo." -> "memo (7K2QZM).".
std::string markedName(std::string_view name, std::string_view ulid);

// One display name per entry, in the order of `entries`. A file keeps its name
// unless the name's collision key (full per-scalar lower-casing, compared under
// canonical equivalence) is taken by a reserved name or by a namesake with a
// smaller ulid (or an equal ulid earlier in the list); then it is marked.
std::vector<std::string> resolve(std::span<const std::string> reserved,
                                 std::span<const NamedUlid> entries);

// The collision key of a name (exposed for tests and the benchmark).
std::string collisionKey(std::string_view name);

// True when `name` has the collision key `key` (a result of collisionKey). An
// ASCII name is compared without building its key.
bool hasCollisionKey(std::string_view name, std::string_view key);

// What every name with the collision key `key` must start with, as far as
// ASCII goes. Take the canonical decomposition of the key and its longest
// prefix of ASCII characters, `asciiLead`. A name whose key is `key` then
// either consists of ASCII characters that lower to exactly the key (possible
// only when `wholeKey`, the lead being the whole key), or starts with ASCII
// characters that lower to a prefix of the lead, followed by a byte of 0x80 or
// above. Index readers use this to narrow the names worth decoding. None when
// the decomposition fails.
// `asciiTrail` is the longest suffix of ASCII characters of the decomposition:
// the ASCII characters after the last byte of 0x80 or above of such a name
// lower to a suffix of it.
struct AsciiLead {
  std::string asciiLead;
  std::string asciiTrail;
  bool wholeKey = false;
  std::string decomposition;  // the canonical decomposition of the key
};
std::optional<AsciiLead> asciiLeadOfKey(std::string_view key);

// A scalar of 0x80 or above whose lower case (as the key lowers it), decomposed,
// starts with an ASCII character: a spelling of that character, with or
// without marks, that an index reader cannot find by the ASCII lead alone.
struct AsciiBasedScalar {
  std::string utf8;           // the scalar's bytes
  std::string decomposition;  // its lower case, decomposed
};
// Every such scalar whose decomposition starts with `c` (ASCII). Made once, on
// first use, from the scalars that have a canonical decomposition or change
// when lowered (a few thousand); a test checks every scalar.
const std::vector<AsciiBasedScalar>& asciiBasedScalars(char c);

// False when `name` (not ASCII) cannot have the key whose AsciiLead is `lead`,
// judged by its ASCII start and end alone, without decoding it; true for
// ASCII names.
bool mayHaveKey(std::string_view name, const AsciiLead& lead);

// The entries that resolve() marks, by ascending position, with their marked
// names; every other entry keeps its stored name. This is resolve() without
// copying the names that stay unchanged.
struct Mark {
  std::size_t position;
  std::string displayName;
};
std::vector<Mark> marks(std::span<const std::string_view> reserved,
                        std::span<const NamedUlid> entries);

}  // namespace Collisions
}  // namespace pellora

#endif  // PELLORA_MODEL_COLLISIONS_H_
