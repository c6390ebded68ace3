// The platform's error value (the stand-in for NSError) and its domains and codes.
#ifndef FILEPROVIDER_ERROR_H_
#define FILEPROVIDER_ERROR_H_

#include <span>
#include <string>
#include <string_view>

#include "fileprovider/result.h"

namespace fp {

inline constexpr std::string_view kFileProviderErrorDomain = "NSFileProviderErrorDomain";
inline constexpr std::string_view kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr std::string_view kPOSIXErrorDomain = "NSPOSIXErrorDomain";

// Codes of kFileProviderErrorDomain, with the platform's values.
enum class FileProviderErrorCode : int {
  kNotAuthenticated = -1000,
  kFilenameCollision = -1001,
  kSyncAnchorExpired = -1002,
  kInsufficientQuota = -1003,
  kServerUnreachable = -1004,
  kNoSuchItem = -1005,
  kDeletionRejected = -1006,
  kDirectoryNotEmpty = -1007,
  kProviderNotFound = -2001,
  kProviderTranslocated = -2002,
  kOlderExtensionVersionRunning = -2003,
  kNewerExtensionVersionFound = -2004,
  kCannotSynchronize = -2005,
  kNonEvictableChildren = -2006,
  kUnsyncedEdits = -2007,
  kNonEvictable = -2008,
  kVersionNoLongerAvailable = -2009,
  kExcludedFromSync = -2010,
  kDomainDisabled = -2011,
};

// Codes of kCocoaErrorDomain that this platform produces.
inline constexpr int kFileNoSuchFileError = 4;
inline constexpr int kFileReadUnknownError = 256;
inline constexpr int kFileReadNoPermissionError = 257;
inline constexpr int kFileReadNoSuchFileError = 260;
inline constexpr int kFileReadCorruptFileError = 259;
inline constexpr int kFileReadTooLargeError = 263;
inline constexpr int kFileWriteUnknownError = 512;
inline constexpr int kFileWriteNoPermissionError = 513;
inline constexpr int kFileWriteInvalidFileNameError = 514;
inline constexpr int kFileWriteFileExistsError = 516;
inline constexpr int kFileWriteOutOfSpaceError = 640;
inline constexpr int kPropertyListWriteInvalidError = 3852;
inline constexpr int kExecutableNotLoadableError = 3584;  // a bundle's library cannot be loaded
inline constexpr int kExecutableLinkError = 3588;         // its entry point is missing
inline constexpr int kFeatureUnsupportedError = 3328;     // the receiver does not offer it

// Whether a failed file operation was reading or writing; the Cocoa domain has
// separate codes for the two.
enum class FileAccess { kRead, kWrite };

struct Error {
  std::string domain;
  int code = 0;
  // Human-readable text; may be empty (the platform's generic text is shown then).
  std::string message;

  // A file-provider error, built from its code alone.
  static Error fileProvider(FileProviderErrorCode code);
  // A Cocoa error with domain and code and no further information.
  static Error cocoa(int code, std::string message = {});
  // An error in the POSIX domain for errno value `errnum`; `context` names what failed
  // ("open /a/b"), and strerror's text follows it.
  static Error posix(int errnum, std::string_view context);
  // A Cocoa file error for a failed file operation that set errno `errnum`:
  // no such file, file exists, no permission (EACCES, EPERM, EROFS), out of
  // space (ENOSPC, EDQUOT), else the unknown read or write error. The message is
  // `context: <strerror text>`. The one conversion from errno in the platform.
  static Error fromErrno(int errnum, FileAccess access, std::string_view context);

  bool isFileProvider(FileProviderErrorCode c) const {
    return domain == kFileProviderErrorDomain && code == static_cast<int>(c);
  }

  // The text form, `Error Domain=D Code=N "message"`; with an empty message the
  // platform's generic "The operation couldn’t be completed. (D error N.)".
  std::string description() const;

  friend bool operator==(const Error&, const Error&) = default;
};

// One word of the error vocabulary: an error by domain and code, the phrase a
// person reads for it (empty when there is none better than the code), the
// errno value a program receives for it through the file system, and whether a
// failure of that kind may pass by itself (the host not answering for now), so
// that what failed is worth trying again later rather than refused for good.
struct ErrorKind {
  std::string_view domain;
  int code;
  std::string_view name;
  int errnum;
  bool transient;
};

// Every error the platform and its programs name, each once.
[[nodiscard]] std::span<const ErrorKind> errorKinds();

// The entry of errorKinds() for `error`'s domain and code, or null.
[[nodiscard]] const ErrorKind* findErrorKind(const Error& error);

// The readable phrase for `error` ("no such item"); empty when the table has
// none (POSIX errors and unknown codes: their message says enough).
[[nodiscard]] std::string_view readableName(const Error& error);

// The errno value for `error`: the table's value; a POSIX error its own code;
// EIO for everything else.
[[nodiscard]] int errnoValue(const Error& error);

// Whether a failure with `error` may pass by itself: the table's answer; for a
// POSIX error, whether its errno is one of a peer that does not answer now
// (EIO, EINTR, EAGAIN, ETIMEDOUT, ENOTCONN, ECONNREFUSED); for everything else,
// as for the EIO it becomes, yes (nothing says the failure lasts).
[[nodiscard]] bool isTransient(const Error& error);

template <class T>
using StatusOr = Result<T, Error>;
using Status = Result<void, Error>;

}  // namespace fp

#endif  // FILEPROVIDER_ERROR_H_
