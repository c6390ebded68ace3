// Item identifiers: a kind prefix ("f:" folder, "i:" file) followed by the ulid.
#ifndef PELLORA_MODEL_ITEM_ID_H_
#define PELLORA_MODEL_ITEM_ID_H_

#include <optional>
#include <string>
#include <string_view>

namespace pellora {
namespace ItemID {

inline constexpr std::string_view folderPrefix = "f:";
inline constexpr std::string_view filePrefix = "i:";

struct Parsed {
  std::string ulid;
  bool isFolder = false;
  friend bool operator==(const Parsed&, const Parsed&) = default;
};

// "f:" + ulid and "i:" + ulid; any text is accepted, the empty text included.
std::string folder(std::string_view ulid);
std::string file(std::string_view ulid);

// The ulid and kind of an identifier, or none when it carries neither prefix.
// The folder prefix is tested first; the test is exact and case-sensitive, and
// the rest is returned unchanged (it may be empty or carry a prefix itself).
std::optional<Parsed> parse(std::string_view identifier);

}  // namespace ItemID
}  // namespace pellora

#endif  // PELLORA_MODEL_ITEM_ID_H_
