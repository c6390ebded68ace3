// Writing files whole: every byte of a buffer to a descriptor, and replacing a
// file durably. EINTR is retried here (through retryOnEintr) and nowhere else.
#ifndef FILEPROVIDER_FILE_IO_H_
#define FILEPROVIDER_FILE_IO_H_

#include <filesystem>
#include <string_view>

#include "fileprovider/error.h"

namespace fp {

// Writes all of `bytes` to `fd`, writing again after a short write. Fails
// with a POSIX error whose code is the errno value of the failed write (EIO
// for a write that wrote nothing); part of `bytes` may have been written then.
[[nodiscard]] Status writeAll(int fd, std::string_view bytes);

// How replaceDurably() names the temporary file it writes beside the target.
enum class TemporaryName {
  // `<path>.tmp`: one name, reused, so a temporary that a crash left is
  // overwritten by the next replace. Writers of the same path must take turns.
  kFixed,
  // `<path>.tmp-XXXXXX`, made anew each time (mkostemp).
  kUnique,
};

// Replaces the file at `path` with one holding `bytes`, owner-only (0600):
// writes a temporary file beside it, syncs it, renames it over `path` and syncs
// the folder. Readers see the old file or the new one, never a part of it. The
// temporary is never followed if it is a link. On failure the old file is left
// as it was and the temporary is removed; the error is a POSIX error whose code
// is the errno value of the step that failed. A failure to sync the folder
// comes after the rename: the new file is in place then, but may not survive a
// crash.
[[nodiscard]] Status replaceDurably(const std::filesystem::path& path, std::string_view bytes,
                                    TemporaryName temporary = TemporaryName::kFixed);

}  // namespace fp

#endif  // FILEPROVIDER_FILE_IO_H_
