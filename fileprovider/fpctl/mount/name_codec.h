// Display names of items and the names the mount shows for them.
//
// A display name may be any text; a POSIX file name may not contain "/" or NUL
// and may not be empty, "." or "..". The mount shows every item under a name
// made from its display name by a reversible substitution, so that no item is
// hidden and every name typed into the mount maps back to exactly one display
// name:
//
//   "/"  (U+002F)  is shown as "∕" (U+2215 DIVISION SLASH)
//   NUL  (U+0000)  is shown as "␀" (U+2400 SYMBOL FOR NULL)
//   a literal "∕" or "␀" in a display name is shown with "‛" (U+201B) before it
//   a run of "‛" that stands right before a shown "∕" or "␀" is doubled, so that
//     it is not read as the marker of a literal
//   the whole names ".", ".." and the empty name are shown as "．", "．．" and
//     "．．．" (U+FF0E FULLWIDTH FULL STOP); a name that consists of fullwidth full
//     stops alone is shown with three more of them
//
// Everything else is shown unchanged, byte for byte. The two functions are
// inverse to each other on all inputs: displayName(posixName(d)) == d for every
// display name d, and posixName(displayName(p)) == p for every valid POSIX name p.
#ifndef FPCTL_MOUNT_NAME_CODEC_H_
#define FPCTL_MOUNT_NAME_CODEC_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace fpctl::mount {

// The name under which an item with display name `displayName` is shown.
[[nodiscard]] std::string posixName(std::string_view displayName);

// The display name that a name shown in the mount (or typed into it) stands for.
[[nodiscard]] std::string displayName(std::string_view posixName);

// The longest name the kernel takes, in bytes. A longer name typed into the
// mount is refused with ENAMETOOLONG by every operation (fitsKernel()).
inline constexpr std::size_t kMaxName = 255;

// The longest shortened name (shortenedName()): the rest of kMaxName leaves
// room for the " (2)" of a namesake.
inline constexpr std::size_t kMaxShownName = 240;

// Whether the kernel takes `posix` as one name: at most kMaxName bytes.
[[nodiscard]] inline bool fitsKernel(std::string_view posix) { return posix.size() <= kMaxName; }

// `posix` itself when it has at most `room` bytes (kMaxName unless given);
// otherwise its start (cut at a character boundary), "~", eight hex digits of a
// hash of the whole name and its extension (when short), at most kMaxShownName
// bytes. So every name the kernel takes is shown as it is, and only a name the
// service holds that is too long for the kernel is shortened. The same name
// always gives the same result, and two long names the same shortened one only
// by a hash collision, which the listing resolves like namesakes. The mount
// maps a shortened name back through its listing.
[[nodiscard]] std::string shortenedName(std::string_view posix, std::size_t room = kMaxName);

// The name of the n-th (n >= 2) item shown under `shown`: "shown (n)", with
// `shown` shortened first when the whole would not fit kMaxName.
[[nodiscard]] std::string numberedName(std::string_view shown, int n);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_NAME_CODEC_H_
