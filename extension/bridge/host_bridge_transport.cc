// The socket side of HostBridge: where the socket is, one request/reply
// exchange over it, and the success test of a reply.
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
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

fp::Failure<HostBridgeError> unreachable() { return fp::fail(HostBridgeError::unreachable()); }
fp::Failure<HostBridgeError> failed(std::string message) {
  return fp::fail(HostBridgeError::failed(std::move(message)));
}

// Whole seconds of `timeout`, truncated toward zero. A negative or NaN value
// gives 0 and a value beyond the range of time_t gives its largest value; 0
// leaves the socket without a time-out.
timeval wholeSeconds(double timeout) {
  timeval tv{};
  if (!(timeout > 0)) return tv;
  constexpr auto kMax = std::numeric_limits<decltype(tv.tv_sec)>::max();
  if (timeout >= static_cast<double>(kMax)) {
    tv.tv_sec = kMax;
  } else {
    tv.tv_sec = static_cast<decltype(tv.tv_sec)>(std::trunc(timeout));
  }
  return tv;
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
  if (!container) return unreachable();
  return *container / std::string(socketName);
}

BridgeResult<Reply> roundTrip(const Request& request, double timeout) {
  auto url = socketURL();
  if (!url.ok()) return fp::propagate(url);
  const std::string& path = url->native();
  if (!fp::FileManager::defaultManager().fileExists(path)) return unreachable();

  fp::ScopedFD socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) return unreachable();

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  static_assert(sizeof(address.sun_path) > maxSocketPathBytes);
  if (path.size() > maxSocketPathBytes) {
    return failed("socket path too long: " + std::to_string(path.size()) + " bytes");
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  // One attempt, before any time-out applies. An interrupted connect is not
  // retried: the connection may already be under way, and a second connect
  // would not tell.
  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return unreachable();
  }

  const timeval limit = wholeSeconds(timeout);
  (void)::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  (void)::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);

  auto text = serialise(request);
  if (!text.ok()) return fp::propagate(text);

  // A peer that has gone makes send fail with EPIPE instead of raising SIGPIPE.
  // A signal that interrupts a call is no failure of the host application, so
  // EINTR is retried; an expired time-out (EAGAIN) ends the exchange.
  const std::string& out = *text;
  std::size_t sent = 0;
  while (sent < out.size()) {
    const ssize_t n = fp::retryOnEintr(
        [&] { return ::send(socket.get(), out.data() + sent, out.size() - sent, MSG_NOSIGNAL); });
    if (n < 1) return unreachable();
    sent += static_cast<std::size_t>(n);
  }

  // The reply ends when the last byte read so far is LF, or at the end of the
  // stream, an error or an expired time-out.
  std::string reply;
  char buffer[kReceiveChunk];
  for (;;) {
    const ssize_t n =
        fp::retryOnEintr([&] { return ::recv(socket.get(), buffer, sizeof buffer, 0); });
    if (n <= 0) break;
    reply.append(buffer, static_cast<std::size_t>(n));
    // A bound on what a faulty host application can make the extension hold.
    if (reply.size() > maxReplyBytes) return failed("reply from host app too large");
    if (reply.back() == '\n') break;
  }
  socket.reset();

  if (reply.empty()) return failed(std::string(kNoReply));
  Reply parsed = Reply::parse(reply, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_object()) return failed(std::string(kNoReply));
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
  return failed(std::move(message));
}

}  // namespace pellora::HostBridge
