#include "extension/platform/extension_version.h"

namespace pellora {

std::string versionFromInfo(const std::optional<fp::InfoDictionary>& info) {
  if (info) {
    if (auto version = info->text(fp::kBundleShortVersionKey)) return *std::move(version);
  }
  return "0";
}

const std::string& extensionVersion() {
  static const std::string version = versionFromInfo(fp::Bundle::main().infoDictionary());
  return version;
}

}  // namespace pellora
