#include "fileprovider/fpctl/service_notify.h"

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "fileprovider/scoped_fd.h"

namespace fpctl {
namespace {

namespace fs = std::filesystem;

// A datagram socket bound to `name` (a path, or '@' and an abstract name), as
// the service manager holds one.
fp::ScopedFD bindDatagram(const std::string& name) {
  fp::ScopedFD fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, name.data(), name.size());
  bool abstract = name.front() == '@';
  if (abstract) address.sun_path[0] = '\0';
  auto length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (abstract ? 0 : 1));
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), length), 0)
      << std::strerror(errno);
  return fd;
}

std::string receive(int fd) {
  char buf[256];
  ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
  return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
}

TEST(ServiceNotifyTest, ReachesAPathAndAnAbstractSocket) {
  std::string tmpl = (fs::temp_directory_path() / "fpctl-notify-XXXXXX").string();
  ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
  const std::string names[] = {tmpl + "/notify",
                               "@fpctl-notify-test-" + std::to_string(::getpid())};
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    fp::ScopedFD manager = bindDatagram(name);
    EXPECT_EQ(notifyServiceAt(name, "READY=1"), 0);
    EXPECT_EQ(receive(manager.get()), "READY=1");
  }
  fs::remove_all(tmpl);
  // Nobody listens: the error, never a wait.
  EXPECT_EQ(notifyServiceAt(tmpl + "/notify", "READY=1"), ENOENT);
  EXPECT_EQ(notifyServiceAt("", "READY=1"), EINVAL);
  EXPECT_EQ(notifyServiceAt("/" + std::string(200, 'x'), "READY=1"), EINVAL);
}

}  // namespace
}  // namespace fpctl
