#include "extension/platform/extension_version.h"

#include "fileprovider/bundle.h"

namespace pellora {

std::string versionFromInfo(const std::optional<nlohmann::json>& info) {
  if (info && info->is_object()) {
    auto it = info->find(fp::kBundleShortVersionKey);
    if (it != info->end() && it->is_string()) return it->get<std::string>();
  }
  return "0";
}

const std::string& extensionVersion() {
  static const std::string version = versionFromInfo(fp::Bundle::main().infoDictionary());
  return version;
}

}  // namespace pellora
