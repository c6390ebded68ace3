#include "fileprovider/error.h"

#include <cerrno>
#include <cstring>
#include <iterator>

namespace fp {

Error Error::fileProvider(FileProviderErrorCode code) {
  return Error{std::string(kFileProviderErrorDomain), static_cast<int>(code), {}};
}

Error Error::cocoa(int code, std::string message) {
  return Error{std::string(kCocoaErrorDomain), code, std::move(message)};
}

Error Error::posix(int errnum, std::string_view context) {
  std::string message(context);
  if (!message.empty()) message += ": ";
  message += std::strerror(errnum);
  return Error{std::string(kPOSIXErrorDomain), errnum, std::move(message)};
}

Error Error::fromErrno(int errnum, FileAccess access, std::string_view context) {
  const bool reading = access == FileAccess::kRead;
  int code = reading ? kFileReadUnknownError : kFileWriteUnknownError;
  switch (errnum) {
    case ENOENT:
      code = kFileNoSuchFileError;
      break;
    case EEXIST:
      code = kFileWriteFileExistsError;
      break;
    case EACCES:
    case EPERM:
    case EROFS:
      code = reading ? kFileReadNoPermissionError : kFileWriteNoPermissionError;
      break;
    case ENOSPC:
    case EDQUOT:
      code = kFileWriteOutOfSpaceError;
      break;
    default:
      break;
  }
  Error e = posix(errnum, context);
  e.domain = std::string(kCocoaErrorDomain);
  e.code = code;
  return e;
}

std::string Error::description() const {
  std::string text = message;
  if (text.empty()) {
    text = "The operation couldn\u2019t be completed. (" + domain + " error " +
           std::to_string(code) + ".)";
  }
  return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + text + "\"";
}

namespace {

using Code = FileProviderErrorCode;

// Whether a failure of a kind may pass by itself (ErrorKind::transient).
enum Passing { kLasts, kMayPass };

constexpr ErrorKind fileProvider(Code code, std::string_view name, int errnum, Passing passing) {
  return {kFileProviderErrorDomain, static_cast<int>(code), name, errnum, passing == kMayPass};
}
constexpr ErrorKind cocoa(int code, std::string_view name, int errnum, Passing passing) {
  return {kCocoaErrorDomain, code, name, errnum, passing == kMayPass};
}

// The errno values are chosen so that ordinary tools print a sensible message.
// What may pass by itself: the host or its server not answering, a sync anchor
// that expired (a fresh enumeration gets a new one), a sync the host cannot do
// right now. A refusal of the request itself (a name, a permission, quota,
// space, an item or a domain that is not there) stays until something changes.
constexpr ErrorKind kErrorKinds[] = {
    fileProvider(Code::kNotAuthenticated, "not signed in", EACCES, kLasts),
    fileProvider(Code::kFilenameCollision, "an item with that name exists", EEXIST, kLasts),
    fileProvider(Code::kSyncAnchorExpired, "the sync anchor has expired", EIO, kMayPass),
    fileProvider(Code::kInsufficientQuota, "not enough quota", EDQUOT, kLasts),
    fileProvider(Code::kServerUnreachable, "the server cannot be reached", EIO, kMayPass),
    fileProvider(Code::kNoSuchItem, "no such item", ENOENT, kLasts),
    fileProvider(Code::kDeletionRejected, "the deletion was rejected", EPERM, kLasts),
    fileProvider(Code::kDirectoryNotEmpty, "the folder is not empty", ENOTEMPTY, kLasts),
    fileProvider(Code::kProviderNotFound, "no such domain", EIO, kLasts),
    fileProvider(Code::kCannotSynchronize, "cannot synchronize", EIO, kMayPass),
    cocoa(kFileNoSuchFileError, "no such file", ENOENT, kLasts),
    cocoa(kFileReadNoSuchFileError, "no such file", ENOENT, kLasts),
    cocoa(kFileReadNoPermissionError, "permission denied", EACCES, kLasts),
    cocoa(kFileWriteNoPermissionError, "permission denied", EACCES, kLasts),
    cocoa(kFileWriteInvalidFileNameError, "invalid file name", EINVAL, kLasts),
    cocoa(kFileWriteFileExistsError, "the file exists", EEXIST, kLasts),
    cocoa(kFileWriteOutOfSpaceError, "out of disk space", ENOSPC, kLasts),
};

}  // namespace

std::span<const ErrorKind> errorKinds() { return kErrorKinds; }

const ErrorKind* findErrorKind(const Error& error) {
  for (const ErrorKind& kind : kErrorKinds) {
    if (kind.code == error.code && kind.domain == error.domain) return &kind;
  }
  return nullptr;
}

std::string_view readableName(const Error& error) {
  const ErrorKind* kind = findErrorKind(error);
  return kind ? kind->name : std::string_view();
}

int errnoValue(const Error& error) {
  if (const ErrorKind* kind = findErrorKind(error)) return kind->errnum;
  if (error.domain == kPOSIXErrorDomain && error.code > 0) return error.code;
  return EIO;
}

bool isTransient(const Error& error) {
  if (const ErrorKind* kind = findErrorKind(error)) return kind->transient;
  if (error.domain == kPOSIXErrorDomain && error.code > 0) {
    const int e = error.code;
    return e == EIO || e == EINTR || e == EAGAIN || e == ETIMEDOUT || e == ENOTCONN ||
           e == ECONNREFUSED;
  }
  return true;
}

}  // namespace fp
