#include "extension/platform/app_group.h"

#include "fileprovider/file_manager.h"

namespace pellora {

std::optional<std::filesystem::path> appGroupContainer(std::string_view group) {
  return fp::FileManager::defaultManager().containerURL(group);
}

}  // namespace pellora
