#include "fileprovider/fpctl/mount/errno_map.h"

namespace fpctl::mount {

int errnoFor(const fp::Error& error) { return fp::errnoValue(error); }

ErrnoOr<void> statusFor(int err) {
  if (err == 0) return fp::Ok{};
  return fp::fail(Errno{err});
}

int errnoOf(const ErrnoOr<void>& status) { return status ? 0 : status.error().value; }

}  // namespace fpctl::mount
