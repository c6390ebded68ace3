#include "reference-host/access.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

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
  // Linux shows the mask in /proc/self/status ("Umask:\t0022").
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) {
      try {
        return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8)) & 0777;
      } catch (const std::exception&) {
        break;
      }
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
