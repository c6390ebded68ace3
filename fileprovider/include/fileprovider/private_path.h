// Owner-only state: the folders and files that hold a user's state (the domain
// registry, the containers, a mount's cache, the logs) are this user's alone,
// whatever the umask, and state that someone else could have written is not trusted.
#ifndef FILEPROVIDER_PRIVATE_PATH_H_
#define FILEPROVIDER_PRIVATE_PATH_H_

#include <sys/types.h>

#include <filesystem>
#include <string_view>
#include <system_error>

#include "fileprovider/error.h"

namespace fp {

inline constexpr mode_t kPrivateFolderMode = 0700;
inline constexpr mode_t kPrivateFileMode = 0600;

// Creates `path` and whichever of its parents are missing, each new folder
// 0700 whatever the umask. Folders that exist already keep their mode: an
// existing folder is never loosened. Fails with the errno of the level that
// could not be made, or ENOTDIR when something other than a folder stands at `path`.
[[nodiscard]] std::error_code createPrivateDirectories(const std::filesystem::path& path);

// Checks that `path` may be trusted with this user's state, as ssh checks its
// keys: it is not a symbolic link, this user (the effective uid) owns it, and
// neither group nor others may write to it. The error (Cocoa domain,
// kFileReadNoPermissionError) names `what` and the path, says what is wrong
// and how to mend it, for example
//   "refusing to use the domain registry /x/domains.json: it is writable by
//    group or others (mode 0666); only its owner may write it (chmod go-w /x/domains.json)".
// A missing path is kFileReadNoSuchFileError.
[[nodiscard]] Status checkPrivate(const std::filesystem::path& path, std::string_view what);

}  // namespace fp

#endif  // FILEPROVIDER_PRIVATE_PATH_H_
