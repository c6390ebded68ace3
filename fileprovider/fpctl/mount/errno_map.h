// How the extension's error values reach programs as errno values.
#ifndef FPCTL_MOUNT_ERRNO_MAP_H_
#define FPCTL_MOUNT_ERRNO_MAP_H_

#include <string>

#include "fileprovider/error.h"
#include "fileprovider/result.h"

namespace fpctl::mount {

// An errno value (positive) as the failure side of a result.
struct Errno {
  int value = 0;
};

template <class T>
using ErrnoOr = fp::Result<T, Errno>;

// An errno-style code (0: success) as a result, and back: the kernel and the
// internals of the mount speak codes, the operations of MountFs results.
[[nodiscard]] ErrnoOr<void> statusFor(int err);
[[nodiscard]] int errnoOf(const ErrnoOr<void>& status);

// The errno value for an error of the extension, chosen so that ordinary tools
// print a sensible message:
//   no such item ENOENT, not authenticated EACCES, insufficient quota EDQUOT,
//   disk full (Cocoa 640) ENOSPC, invalid file name (Cocoa 514) EINVAL,
//   server unreachable and cannot synchronize EIO, filename collision EEXIST,
//   directory not empty ENOTEMPTY, deletion rejected EPERM, POSIX errors their own
//   code, everything else EIO.
[[nodiscard]] int errnoFor(const fp::Error& error);

// A failure of the POSIX domain whose `message` says all there is to say (the
// mount's own refusals: a mount point in use, a cache folder others may write).
[[nodiscard]] fp::Error posixFailure(int errnum, std::string message);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_ERRNO_MAP_H_
