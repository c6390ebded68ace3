// Bundles: the main bundle's information dictionary, and loading extension bundles.
#ifndef FILEPROVIDER_BUNDLE_H_
#define FILEPROVIDER_BUNDLE_H_

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "fileprovider/domain.h"
#include "fileprovider/error.h"
#include "fileprovider/extension.h"

namespace fp {

// Keys of Info.json.
inline constexpr const char* kBundleIdentifierKey = "CFBundleIdentifier";
inline constexpr const char* kBundleShortVersionKey = "CFBundleShortVersionString";
inline constexpr const char* kApplicationGroupsKey = "ApplicationGroups";
inline constexpr const char* kExecutableKey = "FPExtensionLibrary";

class Bundle {
 public:
  // The main bundle: for a loaded extension, the extension's bundle (set by
  // ExtensionBundle::load); otherwise a bundle without an information dictionary.
  static const Bundle& main();

  // Info.json as parsed, or none.
  const std::optional<nlohmann::json>& infoDictionary() const { return info_; }
  const std::filesystem::path& bundlePath() const { return path_; }

  Bundle() = default;
  Bundle(std::filesystem::path path, std::optional<nlohmann::json> info)
      : path_(std::move(path)), info_(std::move(info)) {}

 private:
  std::filesystem::path path_;
  std::optional<nlohmann::json> info_;
};

// A loaded extension bundle ("Name.appex/" with Info.json and the shared object).
// The shared object stays loaded for the life of the process.
class ExtensionBundle {
 public:
  // Reads Info.json, declares its application groups, loads the shared object and
  // finds its entry point. Makes this bundle the main bundle of the process.
  static StatusOr<std::shared_ptr<ExtensionBundle>> load(const std::filesystem::path& dir);

  // Constructs the principal object for `domain`.
  std::shared_ptr<ReplicatedExtension> makeExtension(const Domain& domain) const;

  const std::filesystem::path& path() const { return path_; }
  const nlohmann::json& info() const { return info_; }

  ExtensionBundle(std::filesystem::path path, nlohmann::json info, fp_extension_create_fn entry)
      : path_(std::move(path)), info_(std::move(info)), entry_(entry) {}

 private:
  std::filesystem::path path_;
  nlohmann::json info_;
  fp_extension_create_fn entry_;
};

// The extension bundle that belongs to the calling program: $FILEPROVIDER_BUNDLE
// when set; otherwise the first "*.appex" directory in <exe dir>/PlugIns (build
// tree) or <exe dir>/../lib/fileprovider/PlugIns (installed layout).
StatusOr<std::filesystem::path> callingProgramBundle();

}  // namespace fp

#endif  // FILEPROVIDER_BUNDLE_H_
