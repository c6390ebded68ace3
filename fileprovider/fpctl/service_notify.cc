#include "fileprovider/fpctl/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "fileprovider/scoped_fd.h"

namespace fpctl {

std::optional<std::string> notifySocketFromEnvironment() {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (!name || !*name) return std::nullopt;
  return std::string(name);
}

int notifyServiceAt(const std::string& socketName, std::string_view state) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketName.empty() || socketName.size() >= sizeof address.sun_path) return EINVAL;
  // An abstract name is as long as it is; a path ends with its zero byte.
  bool abstract = socketName.front() == '@';
  std::memcpy(address.sun_path, socketName.data(), socketName.size());
  if (abstract) address.sun_path[0] = '\0';
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketName.size() +
                                            (abstract ? 0 : 1));
  fp::ScopedFD fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return errno;
  ssize_t sent = fp::retryOnEintr([&] {
    return ::sendto(fd.get(), state.data(), state.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address), length);
  });
  if (sent < 0) return errno;
  return static_cast<std::size_t>(sent) == state.size() ? 0 : EMSGSIZE;
}

int notifyService(std::string_view state) {
  auto name = notifySocketFromEnvironment();
  return name ? notifyServiceAt(*name, state) : 0;
}

}  // namespace fpctl
