// Telling the service manager how a service stands, by its notification
// protocol: a datagram such as "READY=1" sent to the Unix socket named by the
// environment variable NOTIFY_SOCKET. A name that starts with '@' is an
// abstract socket (the '@' stands for the leading zero byte); any other name is
// a path. Without the variable there is no service manager to tell.
#ifndef FPCTL_SERVICE_NOTIFY_H_
#define FPCTL_SERVICE_NOTIFY_H_

#include <optional>
#include <string>
#include <string_view>

namespace fpctl {

// The socket named by NOTIFY_SOCKET; none when it is unset or empty.
std::optional<std::string> notifySocketFromEnvironment();

// Sends `state` ("READY=1", "STOPPING=1", lines of KEY=VALUE) as one datagram
// to the socket `socketName` (a path, or '@' and an abstract name). Returns 0,
// or the errno value of what failed (EINVAL for a name that does not fit a
// socket address). Never blocks: a manager that does not read loses the datagram.
int notifyServiceAt(const std::string& socketName, std::string_view state);

// notifyServiceAt() the socket of NOTIFY_SOCKET; 0 without one.
int notifyService(std::string_view state);

}  // namespace fpctl

#endif  // FPCTL_SERVICE_NOTIFY_H_
