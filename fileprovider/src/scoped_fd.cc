#include "fileprovider/scoped_fd.h"

#include <unistd.h>

namespace fp {

void ScopedFD::reset(int fd) noexcept {
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
}

}  // namespace fp
