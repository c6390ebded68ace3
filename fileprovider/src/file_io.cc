#include "fileprovider/file_io.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "fileprovider/scoped_fd.h"

namespace fp {
namespace fs = std::filesystem;
namespace {

constexpr mode_t kOwnerOnly = 0600;

// The temporary beside `path`, created and open for writing; none: errno tells why.
ScopedFD createTemporary(const fs::path& path, TemporaryName naming, fs::path& temporary) {
  if (naming == TemporaryName::kUnique) {
    std::string name = path.string() + ".tmp-XXXXXX";
    ScopedFD fd(::mkostemp(name.data(), O_CLOEXEC));  // 0600, never over an existing name
    if (fd) temporary = name;
    return fd;
  }
  temporary = path;
  temporary += ".tmp";
  return ScopedFD(retryOnEintr([&] {
    return ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                  kOwnerOnly);
  }));
}

Status fileFailure(int errnum, std::string_view step, const fs::path& file) {
  return fail(Error::posix(errnum, std::string(step) + " " + file.string()));
}

}  // namespace

Status writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = retryOnEintr([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (n < 0) return fail(Error::posix(errno, "write"));
    if (n == 0) return fail(Error::posix(EIO, "write"));
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return Ok{};
}

Status replaceDurably(const fs::path& path, std::string_view bytes, TemporaryName temporary) {
  fs::path temp;
  Status written = Ok{};
  {
    ScopedFD fd = createTemporary(path, temporary, temp);
    if (!fd) return fileFailure(errno, "creating", temp);
    // Only a umask that takes owner bits away leaves another mode.
    if (::fchmod(fd.get(), kOwnerOnly) != 0) {
      written = fileFailure(errno, "setting the mode of", temp);
    } else if (auto w = writeAll(fd.get(), bytes); !w) {
      written = fileFailure(w.error().code, "writing", temp);
    } else if (retryOnEintr([&] { return ::fsync(fd.get()); }) != 0) {
      written = fileFailure(errno, "syncing", temp);
    } else if (::close(fd.release()) != 0) {
      written = fileFailure(errno, "closing", temp);
    }
  }
  if (written && ::rename(temp.c_str(), path.c_str()) != 0) {
    written = fileFailure(errno, "renaming to " + path.string() + ":", temp);
  }
  if (!written) {
    ::unlink(temp.c_str());
    return written;
  }
  // The rename itself lasts once the folder is synced.
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  ScopedFD dir(
      retryOnEintr([&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!dir) return fileFailure(errno, "opening folder", folder);
  if (retryOnEintr([&] { return ::fsync(dir.get()); }) != 0) {
    return fileFailure(errno, "syncing folder", folder);
  }
  return Ok{};
}

}  // namespace fp
