// Owning wrappers for file descriptors, and the one place that retries EINTR.
#ifndef FILEPROVIDER_SCOPED_FD_H_
#define FILEPROVIDER_SCOPED_FD_H_

#include <cerrno>
#include <utility>

namespace fp {

// Owns a file descriptor and closes it exactly once. Movable, not copyable.
class ScopedFD {
 public:
  ScopedFD() = default;
  explicit ScopedFD(int fd) : fd_(fd) {}
  ScopedFD(ScopedFD&& o) noexcept : fd_(o.release()) {}
  ScopedFD& operator=(ScopedFD&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  ScopedFD(const ScopedFD&) = delete;
  ScopedFD& operator=(const ScopedFD&) = delete;
  ~ScopedFD() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  // Gives up ownership without closing.
  int release() { return std::exchange(fd_, -1); }
  // Closes the held descriptor (never retried: the descriptor is gone after
  // close, whatever it returns) and takes `fd`.
  void reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

// Calls `f` again while it fails with EINTR; returns its last result.
template <class F>
auto retryOnEintr(F&& f) -> decltype(f()) {
  decltype(f()) r;
  do {
    r = f();
  } while (r == -1 && errno == EINTR);
  return r;
}

}  // namespace fp

#endif  // FILEPROVIDER_SCOPED_FD_H_
