// Bundles: the main bundle's information dictionary, and loading extension bundles.
#ifndef FILEPROVIDER_BUNDLE_H_
#define FILEPROVIDER_BUNDLE_H_

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fileprovider/domain.h"
#include "fileprovider/error.h"
#include "fileprovider/extension.h"

namespace fp {

// Keys of Info.json.
inline constexpr const char* kBundleIdentifierKey = "CFBundleIdentifier";
inline constexpr const char* kBundleShortVersionKey = "CFBundleShortVersionString";
inline constexpr const char* kApplicationGroupsKey = "ApplicationGroups";
inline constexpr const char* kExecutableKey = "FPExtensionLibrary";

// What a program reads of Info.json: its top-level entries whose value is text.
// Lists and other values are read by the bundle loader only.
class InfoDictionary {
 public:
  InfoDictionary() = default;
  explicit InfoDictionary(std::map<std::string, std::string, std::less<>> texts)
      : texts_(std::move(texts)) {}

  // The value of `key` when it is text; none when the key is missing or holds
  // another kind of value.
  [[nodiscard]] std::optional<std::string> text(std::string_view key) const;

 private:
  std::map<std::string, std::string, std::less<>> texts_;
};

class Bundle {
 public:
  // The main bundle: for a loaded extension, the extension's bundle (set by
  // ExtensionBundle::load); otherwise a bundle without an information dictionary.
  static const Bundle& main();

  // Info.json as read, or none.
  const std::optional<InfoDictionary>& infoDictionary() const { return info_; }
  const std::filesystem::path& bundlePath() const { return path_; }

  Bundle() = default;
  Bundle(std::filesystem::path path, std::optional<InfoDictionary> info)
      : path_(std::move(path)), info_(std::move(info)) {}

 private:
  std::filesystem::path path_;
  std::optional<InfoDictionary> info_;
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
  const InfoDictionary& info() const { return info_; }
  // The application groups Info.json lists (declared for the process by load).
  const std::vector<std::string>& declaredGroups() const { return groups_; }

  ExtensionBundle(std::filesystem::path path, InfoDictionary info, fp_extension_create_fn entry,
                  std::vector<std::string> groups = {})
      : path_(std::move(path)), info_(std::move(info)), entry_(entry), groups_(std::move(groups)) {}

 private:
  std::filesystem::path path_;
  InfoDictionary info_;
  fp_extension_create_fn entry_;
  std::vector<std::string> groups_;
};

// The extension bundle that belongs to the calling program: $FILEPROVIDER_BUNDLE
// when set; otherwise the first "*.appex" directory in <exe dir>/PlugIns (build
// tree) or <exe dir>/../lib/fileprovider/PlugIns (installed layout).
StatusOr<std::filesystem::path> callingProgramBundle();

}  // namespace fp

#endif  // FILEPROVIDER_BUNDLE_H_
