// The app-group container, through the platform's file manager.
#ifndef PELLORA_PLATFORM_APP_GROUP_H_
#define PELLORA_PLATFORM_APP_GROUP_H_

#include <filesystem>
#include <optional>
#include <string_view>

namespace pellora {

// The container directory of `group`, or none when it does not resolve.
std::optional<std::filesystem::path> appGroupContainer(std::string_view group);

}  // namespace pellora

#endif  // PELLORA_PLATFORM_APP_GROUP_H_
