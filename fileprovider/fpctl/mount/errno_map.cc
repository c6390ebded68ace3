#include "fileprovider/fpctl/mount/errno_map.h"

#include <cerrno>

namespace fpctl::mount {

int errnoFor(const fp::Error& error) {
  using Code = fp::FileProviderErrorCode;
  if (error.domain == fp::kFileProviderErrorDomain) {
    switch (static_cast<Code>(error.code)) {
      case Code::kNoSuchItem:
        return ENOENT;
      case Code::kNotAuthenticated:
        return EACCES;
      case Code::kInsufficientQuota:
        return EDQUOT;
      case Code::kFilenameCollision:
        return EEXIST;
      case Code::kDirectoryNotEmpty:
        return ENOTEMPTY;
      case Code::kDeletionRejected:
        return EPERM;
      default:
        return EIO;
    }
  }
  if (error.domain == fp::kCocoaErrorDomain) {
    switch (error.code) {
      case fp::kFileWriteOutOfSpaceError:
        return ENOSPC;
      case fp::kFileWriteInvalidFileNameError:
        return EINVAL;
      case fp::kFileNoSuchFileError:
      case fp::kFileReadNoSuchFileError:
        return ENOENT;
      case fp::kFileReadNoPermissionError:
      case fp::kFileWriteNoPermissionError:
        return EACCES;
      case fp::kFileWriteFileExistsError:
        return EEXIST;
      default:
        return EIO;
    }
  }
  if (error.domain == fp::kPOSIXErrorDomain && error.code > 0) return error.code;
  return EIO;
}

}  // namespace fpctl::mount
