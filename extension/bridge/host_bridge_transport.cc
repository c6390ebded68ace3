// The socket side of HostBridge: where the socket is, one request/reply
// exchange over it, and the success test of a reply.
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "extension/bridge/host_bridge_transport.h"
#include "extension/platform/app_group.h"
#include "fileprovider/file_manager.h"
#include "fileprovider/scoped_fd.h"

namespace pellora::HostBridge {
namespace {

constexpr std::string_view kNoReply = "no reply from host app";
constexpr std::size_t kReceiveChunk = 4096;

fp::Failure<HostBridgeError> hostUnreachable() { return fp::fail(HostBridgeError::unreachable()); }
fp::Failure<HostBridgeError> exchangeFailed(std::string message) {
  return fp::fail(HostBridgeError::failed(std::move(message)));
}

using Clock = std::chrono::steady_clock;

// The end of an exchange that starts now and may last `timeout` seconds,
// truncated toward zero to whole seconds. A negative, NaN or sub-second value
// gives none (the exchange has no time limit); a value beyond what the clock
// can hold is capped at about a century.
std::optional<Clock::time_point> deadlineFor(double timeout) {
  if (!(timeout >= 1)) return std::nullopt;
  constexpr double kCapSeconds = 100.0 * 365 * 24 * 3600;
  const auto seconds = std::chrono::seconds(
      static_cast<std::int64_t>(std::trunc(timeout < kCapSeconds ? timeout : kCapSeconds)));
  return Clock::now() + seconds;
}

// Milliseconds left until `deadline` (rounded up), for poll: -1 (wait without
// limit) when there is none, 0 once it has passed.
int millisLeft(const std::optional<Clock::time_point>& deadline) {
  if (!deadline) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                : static_cast<int>(left);
}

// Waits until `fd` shows `events` or `deadline` passes; false on expiry or error.
bool waitFor(int fd, short events, const std::optional<Clock::time_point>& deadline) {
  pollfd p{fd, events, 0};
  const int n = fp::retryOnEintr([&] { return ::poll(&p, 1, millisLeft(deadline)); });
  return n > 0;
}

// Connects `fd` (a blocking socket) to `address` within `deadline`. The kernel
// answers a non-blocking connect to a Unix socket whose listen backlog is full
// with EAGAIN and offers nothing to poll for, so the wait for room in the
// backlog is bounded by the send time-out, which a blocking connect honours.
// An interrupted connect is not retried: the connection may already be under
// way, and a second connect would not tell.
bool connectWithin(int fd, const sockaddr_un& address,
                   const std::optional<Clock::time_point>& deadline) {
  if (deadline) {
    const int left = millisLeft(deadline);
    if (left == 0) return false;
    timeval limit{};
    limit.tv_sec = left / 1000;
    limit.tv_usec = (left % 1000) * 1000;
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) return false;
  }
  return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// The failure for a socket path of `bytes` bytes, longer than a socket path may
// be here. The text is exactly this: the error mapping searches it, and callers
// match it (they add the limit and what to change on a line of their own). The
// path itself stays out, as a folder's name could read as a transient failure.
std::string socketPathTooLong(std::size_t bytes) {
  return "socket path too long: " + std::to_string(bytes) + " bytes";
}

// The request as one compact JSON line ended by LF, or the serialiser's error
// (a string that is not valid UTF-8, for example).
BridgeResult<std::string> serialise(const Request& request) {
  try {
    std::string text = request.dump();
    text += '\n';
    return text;
  } catch (const nlohmann::json::exception& e) {
    return fp::fail(fp::Error{std::string(fp::kCocoaErrorDomain),
                              fp::kPropertyListWriteInvalidError, e.what()});
  }
}

}  // namespace

BridgeResult<std::filesystem::path> socketURL() {
  auto container = appGroupContainer(appGroupName);
  if (!container) return hostUnreachable();
  return *container / std::string(socketName);
}

BridgeResult<Reply> roundTrip(const Request& request, double timeout) {
  auto url = socketURL();
  if (!url.ok()) return fp::propagate(url);
  const std::string& path = url->native();
  if (!fp::FileManager::defaultManager().fileExists(path)) return hostUnreachable();

  fp::ScopedFD socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) return hostUnreachable();

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  static_assert(sizeof(address.sun_path) > maxSocketPathBytes);
  if (path.size() > maxSocketPathBytes) {
    return exchangeFailed(socketPathTooLong(path.size()));
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  // Connecting, sending and receiving together end by the deadline, so a host
  // that is alive but does not accept, read or answer in full cannot hold the
  // caller longer than the operation's time-out.
  const auto deadline = deadlineFor(timeout);
  if (!connectWithin(socket.get(), address, deadline)) return hostUnreachable();

  auto text = serialise(request);
  if (!text.ok()) return fp::propagate(text);

  // A peer that has gone makes send fail with EPIPE instead of raising SIGPIPE.
  // A signal that interrupts a call is no failure of the host application, so
  // EINTR is retried; reaching the deadline before all is sent ends the
  // exchange as unreachable.
  const std::string& out = *text;
  std::size_t sent = 0;
  while (sent < out.size()) {
    const ssize_t n = fp::retryOnEintr([&] {
      return ::send(socket.get(), out.data() + sent, out.size() - sent,
                    MSG_NOSIGNAL | MSG_DONTWAIT);
    });
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
        waitFor(socket.get(), POLLOUT, deadline)) {
      continue;
    }
    return hostUnreachable();
  }

  // The reply ends when the last byte read so far is LF, or at the end of the
  // stream, an error or the deadline.
  std::string reply;
  char buffer[kReceiveChunk];
  for (;;) {
    if (deadline && Clock::now() >= *deadline) break;
    const ssize_t n =
        fp::retryOnEintr([&] { return ::recv(socket.get(), buffer, sizeof buffer, MSG_DONTWAIT); });
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitFor(socket.get(), POLLIN, deadline)) break;
      continue;
    }
    if (n <= 0) break;
    reply.append(buffer, static_cast<std::size_t>(n));
    // A bound on what a faulty host application can make the extension hold.
    if (reply.size() > maxReplyBytes) return exchangeFailed("reply from host app too large");
    if (reply.back() == '\n') break;
  }
  socket.reset();

  if (reply.empty()) return exchangeFailed(std::string(kNoReply));
  Reply parsed = Reply::parse(reply, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_object()) return exchangeFailed(std::string(kNoReply));
  return parsed;
}

BridgeResult<Reply> succeed(Reply reply) {
  bool ok = false;
  if (auto it = reply.find("ok"); it != reply.end()) {
    if (it->is_boolean()) {
      ok = it->get<bool>();
    } else if (it->is_number_unsigned()) {
      ok = it->get<std::uint64_t>() == 1;
    } else if (it->is_number_integer()) {
      ok = it->get<std::int64_t>() == 1;
    } else if (it->is_number_float()) {
      ok = it->get<double>() == 1.0;
    }
  }
  if (ok) return reply;

  std::string message = "unknown error";
  if (auto it = reply.find("error"); it != reply.end() && it->is_string()) {
    message = it->get<std::string>();
  }
  if (auto it = reply.find("kind"); it != reply.end() && it->is_string()) {
    return fp::fail(HostBridgeError::remote(it->get<std::string>(), std::move(message)));
  }
  return exchangeFailed(std::move(message));
}

}  // namespace pellora::HostBridge
