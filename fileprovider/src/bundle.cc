#include "fileprovider/bundle.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "fileprovider/file_manager.h"

namespace fp {
namespace {

namespace fs = std::filesystem;

constexpr const char* kInfoFileName = "Info.json";

// The main bundle of the process, once an extension bundle has been loaded.
// Set at most once and never freed, so references handed out stay valid.
std::atomic<const Bundle*>& loadedMainBundle() {
  static std::atomic<const Bundle*> bundle{nullptr};
  return bundle;
}

Error corruptInfo(const fs::path& file, std::string_view reason) {
  return Error::cocoa(kFileReadCorruptFileError,
                      "invalid " + file.string() + ": " + std::string(reason));
}

StatusOr<nlohmann::json> readInfo(const fs::path& file) {
  auto contents = FileManager::defaultManager().contentsOfFile(file);
  if (!contents.ok()) {
    // The message names the file and the reason ("reading /b/Info.json: ...").
    Error e = std::move(contents).error();
    if (e.code == kFileNoSuchFileError) e.code = kFileReadNoSuchFileError;
    return fail(std::move(e));
  }
  nlohmann::json info = nlohmann::json::parse(*contents, nullptr, /*allow_exceptions=*/false);
  if (info.is_discarded()) return fail(corruptInfo(file, "not valid JSON"));
  if (!info.is_object()) return fail(corruptInfo(file, "not a JSON object"));
  return info;
}

// The application groups listed in Info.json; a missing key lists none.
StatusOr<std::vector<std::string>> applicationGroups(const nlohmann::json& info,
                                                     const fs::path& file) {
  std::vector<std::string> groups;
  auto it = info.find(kApplicationGroupsKey);
  if (it == info.end()) return groups;
  if (!it->is_array()) {
    return fail(corruptInfo(file, std::string(kApplicationGroupsKey) + " is not a list"));
  }
  for (const auto& g : *it) {
    if (!g.is_string()) {
      return fail(corruptInfo(
          file, std::string(kApplicationGroupsKey) + " holds a value that is not text"));
    }
    groups.push_back(g.get<std::string>());
  }
  return groups;
}

// The shared object's path: relative to the bundle and inside it, so a copied
// bundle loads its own library and nothing outside it.
StatusOr<fs::path> libraryPath(const nlohmann::json& info, const fs::path& dir,
                               const fs::path& file) {
  auto it = info.find(kExecutableKey);
  if (it == info.end() || !it->is_string() || it->get<std::string>().empty()) {
    return fail(corruptInfo(file, std::string(kExecutableKey) + " is missing or not text"));
  }
  fs::path relative = it->get<std::string>();
  if (relative.is_absolute()) {
    return fail(corruptInfo(file, std::string(kExecutableKey) + " is not relative to the bundle"));
  }
  for (const auto& part : relative.lexically_normal()) {
    if (part == "..") {
      return fail(corruptInfo(file, std::string(kExecutableKey) + " leaves the bundle"));
    }
  }
  return dir / relative;
}

// The text entries of a parsed Info.json object.
InfoDictionary textEntries(const nlohmann::json& info) {
  std::map<std::string, std::string, std::less<>> texts;
  for (const auto& [key, value] : info.items()) {
    if (value.is_string()) texts.emplace(key, value.get<std::string>());
  }
  return InfoDictionary(std::move(texts));
}

fs::path absolutePath(const fs::path& p) {
  std::error_code ec;
  fs::path abs = fs::absolute(p, ec);
  return (ec ? p : abs).lexically_normal();
}

bool isDirectory(const fs::path& p) {
  std::error_code ec;
  return fs::is_directory(p, ec);
}

// The first "*.appex" directory in `dir`, by name.
std::optional<fs::path> firstBundleIn(const fs::path& dir) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) return std::nullopt;
  std::vector<fs::path> found;
  for (const auto& entry : it) {
    if (entry.path().extension() == ".appex" && isDirectory(entry.path())) {
      found.push_back(entry.path());
    }
  }
  if (found.empty()) return std::nullopt;
  return *std::min_element(found.begin(), found.end());
}

}  // namespace

std::optional<std::string> InfoDictionary::text(std::string_view key) const {
  auto it = texts_.find(key);
  if (it == texts_.end()) return std::nullopt;
  return it->second;
}

const Bundle& Bundle::main() {
  static const Bundle* const kEmpty = new Bundle;  // a program without a bundle of its own
  const Bundle* loaded = loadedMainBundle().load(std::memory_order_acquire);
  return loaded ? *loaded : *kEmpty;
}

StatusOr<std::shared_ptr<ExtensionBundle>> ExtensionBundle::load(const fs::path& dir) {
  const fs::path bundleDir = absolutePath(dir);
  const fs::path infoFile = bundleDir / kInfoFileName;

  auto info = readInfo(infoFile);
  if (!info.ok()) return propagate(info);
  auto groups = applicationGroups(*info, infoFile);
  if (!groups.ok()) return propagate(groups);
  auto library = libraryPath(*info, bundleDir, infoFile);
  if (!library.ok()) return propagate(library);

  // The extension may use its groups as soon as its code runs.
  declareApplicationGroups(*groups);

  // Never closed: the extension's code and objects stay valid for the whole process.
  void* handle = ::dlopen(library->c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = ::dlerror();
    return fail(
        Error::cocoa(kExecutableNotLoadableError,
                     "cannot load " + library->string() + ": " + (why ? why : "unknown error")));
  }
  ::dlerror();
  void* symbol = ::dlsym(handle, FP_EXTENSION_ENTRY_SYMBOL);
  if (!symbol) {
    return fail(Error::cocoa(kExecutableLinkError,
                             library->string() + " does not export " + FP_EXTENSION_ENTRY_SYMBOL));
  }
  auto entry = reinterpret_cast<fp_extension_create_fn>(symbol);

  // The first loaded bundle becomes the main bundle, for good.
  InfoDictionary texts = textEntries(*info);
  auto* mainBundle = new Bundle(bundleDir, texts);
  const Bundle* expected = nullptr;
  if (!loadedMainBundle().compare_exchange_strong(expected, mainBundle,
                                                  std::memory_order_acq_rel)) {
    delete mainBundle;
  }

  return std::make_shared<ExtensionBundle>(bundleDir, std::move(texts), entry, std::move(*groups));
}

std::shared_ptr<ReplicatedExtension> ExtensionBundle::makeExtension(const Domain& domain) const {
  return std::shared_ptr<ReplicatedExtension>(entry_(&domain));
}

StatusOr<fs::path> callingProgramBundle() {
  if (const char* env = std::getenv("FILEPROVIDER_BUNDLE"); env && *env) {
    fs::path bundle = absolutePath(env);
    if (!isDirectory(bundle)) {
      return fail(
          Error{std::string(kFileProviderErrorDomain),
                static_cast<int>(FileProviderErrorCode::kProviderNotFound),
                "FILEPROVIDER_BUNDLE names " + bundle.string() + ", which is not a directory"});
    }
    return bundle;
  }
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) {
    return fail(Error{std::string(kFileProviderErrorDomain),
                      static_cast<int>(FileProviderErrorCode::kProviderNotFound),
                      "cannot find the running program: " + ec.message()});
  }
  const fs::path exeDir = exe.parent_path();
  std::vector<fs::path> places{exeDir / "PlugIns"};
#ifdef FILEPROVIDER_PLUGINS_FROM_BINDIR
  places.push_back(exeDir / FILEPROVIDER_PLUGINS_FROM_BINDIR);
#endif
  places.push_back(exeDir / ".." / "lib" / "fileprovider" / "PlugIns");
  for (auto& place : places) place = absolutePath(place);
  places.erase(std::unique(places.begin(), places.end()), places.end());
  for (const auto& place : places) {
    if (auto bundle = firstBundleIn(place)) return absolutePath(*bundle);
  }
  std::string message = "no extension bundle (*.appex) found for " + exe.string() + " in ";
  for (std::size_t i = 0; i < places.size(); ++i) {
    if (i) message += i + 1 == places.size() ? " or " : ", ";
    message += places[i].string();
  }
  return fail(Error{std::string(kFileProviderErrorDomain),
                    static_cast<int>(FileProviderErrorCode::kProviderNotFound), message});
}

}  // namespace fp
