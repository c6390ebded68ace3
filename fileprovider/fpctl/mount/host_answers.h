// Whether the host application of a domain answers: what `fpctl status` tells
// so that the user knows whether changes can reach the service now.
#ifndef FPCTL_MOUNT_HOST_ANSWERS_H_
#define FPCTL_MOUNT_HOST_ANSWERS_H_

#include <optional>
#include <string>

namespace fpctl::mount {

// Connects to the socket the extension of `domain` reaches its host
// application on (fp.sock in each application group folder its bundle's
// Info.json lists) and closes it again: true when one takes the connection,
// false when none does; none when the domain or its bundle's groups are not
// known (an empty `domain` included).
[[nodiscard]] std::optional<bool> hostAnswers(const std::string& domain);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_HOST_ANSWERS_H_
