#include "fileprovider/fpctl/mount/errno_map.h"

#include <utility>

namespace fpctl::mount {

int errnoFor(const fp::Error& error) { return fp::errnoValue(error); }

fp::Error posixFailure(int errnum, std::string message) {
  return fp::Error{std::string(fp::kPOSIXErrorDomain), errnum, std::move(message)};
}

ErrnoOr<void> statusFor(int err) {
  if (err == 0) return fp::Ok{};
  return fp::fail(Errno{err});
}

int errnoOf(const ErrnoOr<void>& status) { return status ? 0 : status.error().value; }

}  // namespace fpctl::mount
