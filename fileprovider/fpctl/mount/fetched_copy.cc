#include "fileprovider/fpctl/mount/fetched_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace fpctl::mount {
namespace fs = std::filesystem;

std::int64_t fetchedCopyLimit(std::int64_t claimedSize) {
  constexpr std::int64_t kMargin = std::int64_t{1} << 20;
  const std::int64_t claimed = std::max<std::int64_t>(claimedSize, 0);
  const std::int64_t eighth = claimed / 8;
  if (claimed > INT64_MAX - eighth - kMargin) return INT64_MAX;
  return claimed + eighth + kMargin;
}

ErrnoOr<void> copyFetchedInto(const fs::path& source, int destination, std::int64_t limit,
                              std::int64_t reserve) {
  auto in = openFetched(source, limit);
  if (!in) return fp::propagate(in);
  return copyOpenedFetchedInto(in->get(), destination, limit, reserve);
}

ErrnoOr<void> copyOpenedFetchedInto(int source, int destination, std::int64_t limit,
                                    std::int64_t reserve) {
  struct stat st {};
  if (fstat(source, &st) != 0) return fp::fail(Errno{errno});
  if (!S_ISREG(st.st_mode)) return fp::fail(Errno{EINVAL});
  if (st.st_size > limit) return fp::fail(Errno{EFBIG});
  if (ftruncate(destination, 0) != 0) return fp::fail(Errno{errno});
  auto roomLeft = [&]() -> std::int64_t {
    struct statvfs vfs {};
    if (fstatvfs(destination, &vfs) != 0) return INT64_MAX;
    return static_cast<std::int64_t>(vfs.f_bavail) * static_cast<std::int64_t>(vfs.f_frsize);
  };
  if (roomLeft() - st.st_size < reserve) return fp::fail(Errno{ENOSPC});
  char buf[1 << 16];
  std::int64_t copied = 0;
  for (;;) {
    ssize_t n = fp::retryOnEintr([&] { return ::read(source, buf, sizeof buf); });
    if (n < 0) return fp::fail(Errno{errno == EAGAIN ? EIO : errno});
    if (n == 0) return fp::Ok{};
    copied += n;
    // A file that grows while it is copied is cut off, as is a disk filling up.
    if (copied > limit) return fp::fail(Errno{EFBIG});
    if ((copied & ((1 << 24) - 1)) < n && roomLeft() < reserve) return fp::fail(Errno{ENOSPC});
    ssize_t done = 0;
    while (done < n) {
      ssize_t w = fp::retryOnEintr([&] {
        return ::pwrite(destination, buf + done, static_cast<size_t>(n - done),
                        static_cast<off_t>(copied - n + done));
      });
      if (w < 0) return fp::fail(Errno{errno});
      done += w;
    }
  }
}

ErrnoOr<fp::ScopedFD> openFetched(const fs::path& source, std::int64_t limit) {
  fp::ScopedFD in(fp::retryOnEintr(
      [&] { return ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY); }));
  if (!in) return fp::fail(Errno{errno});
  struct stat st {};
  if (fstat(in.get(), &st) != 0) return fp::fail(Errno{errno});
  if (!S_ISREG(st.st_mode)) return fp::fail(Errno{EINVAL});
  if (st.st_size > limit) return fp::fail(Errno{EFBIG});
  return in;
}

}  // namespace fpctl::mount
