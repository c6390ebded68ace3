// The extension's version string, as the sync anchor carries it.
#ifndef PELLORA_PLATFORM_EXTENSION_VERSION_H_
#define PELLORA_PLATFORM_EXTENSION_VERSION_H_

#include <optional>
#include <string>

#include "fileprovider/bundle.h"

namespace pellora {

// "CFBundleShortVersionString" of the main bundle's information dictionary when it
// is a string, else "0". Computed once per process, on first use.
const std::string& extensionVersion();

// The rule itself, for a given information dictionary.
[[nodiscard]] std::string versionFromInfo(const std::optional<fp::InfoDictionary>& info);

}  // namespace pellora

#endif  // PELLORA_PLATFORM_EXTENSION_VERSION_H_
