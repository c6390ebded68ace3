// The app-group container, through the platform's file manager.
#ifndef PELLORA_PLATFORM_APP_GROUP_H_
#define PELLORA_PLATFORM_APP_GROUP_H_

#include <filesystem>
#include <optional>
#include <string_view>

namespace pellora {

// The application group the extension shares with the host application; its
// container holds the index and the host's socket.
inline constexpr std::string_view appGroupName = "QZ3RMT5XK9.de.brightfold.pellora-connect-desktop";

// The container directory of `group`, or none when it does not resolve.
std::optional<std::filesystem::path> appGroupContainer(std::string_view group);

}  // namespace pellora

#endif  // PELLORA_PLATFORM_APP_GROUP_H_
