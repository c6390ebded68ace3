// Who may talk to pell-refhost, and the modes of what it writes: the socket
// serves only processes of the user that runs the host, and files written into
// the store keep the mode a user expects of their own files.
#ifndef PELLORA_REFHOST_ACCESS_H_
#define PELLORA_REFHOST_ACCESS_H_

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace refhost {

// The longest socket path the extension connects to, in bytes.
inline constexpr std::size_t kMaxSocketPathBytes = 103;

// Files the host keeps for the account in the app-group container (fetched
// copies, thumbnails) are readable by their owner alone.
inline constexpr mode_t kOwnerOnlyFileMode = 0600;

// The effective uid of the process at the other end of the connected Unix
// socket `fd` (SO_PEERCRED), or none when the kernel does not tell.
[[nodiscard]] std::optional<uid_t> peerUid(int fd);

// True when the peer of `fd` runs as this process's effective user. A peer
// whose uid cannot be read is refused as well.
[[nodiscard]] bool peerIsOwner(int fd);

// The process's file mode creation mask, read without changing it (changing it
// to read it would race with other threads creating files).
[[nodiscard]] mode_t currentUmask();

// The permission bits a file written to `target` gets: those of the file there
// now, or 0644 less the umask for a new file.
[[nodiscard]] mode_t storeFileMode(const std::filesystem::path& target);

// When `socket` is longer than the extension accepts: the failure in the
// extension's own words ("socket path too long: " and the count, then " bytes"),
// and a line of advice naming the path, the limit and the variable to set.
struct SocketPathProblem {
  std::string failure;
  std::string advice;
};
// None when it fits.
[[nodiscard]] std::optional<SocketPathProblem> socketPathProblem(
    const std::filesystem::path& socket);

}  // namespace refhost

#endif  // PELLORA_REFHOST_ACCESS_H_
