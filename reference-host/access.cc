#include "reference-host/access.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "fileprovider/scoped_fd.h"

namespace refhost {

std::optional<uid_t> peerUid(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
      size != sizeof credentials) {
    return std::nullopt;
  }
  return credentials.uid;
}

bool peerIsOwner(int fd) {
  auto uid = peerUid(fd);
  return uid && *uid == ::geteuid();
}

mode_t currentUmask() {
  // Linux shows the mask in /proc/self/status ("Umask:\t0022"). Read with
  // one read() into a buffer: this runs for every new file of the store.
  char text[8192];
  ssize_t n = -1;
  if (fp::ScopedFD status(
          fp::retryOnEintr([] { return ::open("/proc/self/status", O_RDONLY | O_CLOEXEC); }));
      status) {
    n = fp::retryOnEintr([&] { return ::read(status.get(), text, sizeof text - 1); });
  }
  if (n > 0) {
    text[n] = '\0';
    const char* line = std::strstr(text, "\nUmask:");
    char* end = nullptr;
    if (line) {
      unsigned long mask = std::strtoul(line + 7, &end, 8);
      if (end != line + 7) return static_cast<mode_t>(mask) & 0777;
    }
  }
  return 022;  // the usual mask, when the kernel does not show it
}

mode_t storeFileMode(const std::filesystem::path& target) {
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
  return 0644 & ~currentUmask();
}

std::optional<SocketPathProblem> socketPathProblem(const std::filesystem::path& socket) {
  const std::size_t size = socket.native().size();
  if (size <= kMaxSocketPathBytes) return std::nullopt;
  return SocketPathProblem{
      "socket path too long: " + std::to_string(size) + " bytes",
      "the socket path " + socket.string() + " may be at most " +
          std::to_string(kMaxSocketPathBytes) +
          " bytes, as the extension accepts; set FILEPROVIDER_CONTAINERS to a shorter folder"};
}

}  // namespace refhost
