#include "fileprovider/bundle.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "fileprovider/file_manager.h"
#include "test_support.h"

namespace fp {
namespace {

namespace fs = std::filesystem;
using fp::testing::ScopedEnv;
using fp::testing::TempDir;
using ::testing::HasSubstr;

constexpr const char* kGroup = "TEAM.example.bundle-test-group";

class ExtensionBundleTest : public ::testing::Test {
 protected:
  ExtensionBundleTest() : containers_("FILEPROVIDER_CONTAINERS", (tmp_ / "containers").string()) {}

  // Makes `name`.appex with `info` as Info.json and, when given, a copy of
  // `library` under the name info["FPExtensionLibrary"].
  fs::path makeBundle(const std::string& name, const nlohmann::json& info,
                      const fs::path& library = FP_TEST_EXTENSION_LIBRARY) {
    fs::path dir = tmp_ / (name + ".appex");
    fs::create_directories(dir);
    testing::writeFile(dir / "Info.json", info.dump(2));
    if (!library.empty() && info.contains(kExecutableKey) && info[kExecutableKey].is_string()) {
      fs::path target = dir / info[kExecutableKey].get<std::string>();
      fs::create_directories(target.parent_path());
      fs::copy_file(library, target);
    }
    return dir;
  }

  static nlohmann::json validInfo() {
    return {{kBundleIdentifierKey, "com.example.test-extension"},
            {kBundleShortVersionKey, "1.2.3"},
            {kApplicationGroupsKey, {kGroup}},
            {kExecutableKey, "lib/libtest.so"}};
  }

  Error loadError(const fs::path& dir) {
    auto loaded = ExtensionBundle::load(dir);
    EXPECT_FALSE(loaded.ok());
    return loaded.ok() ? Error{} : loaded.error();
  }

  TempDir tmp_;
  ScopedEnv containers_;
};

TEST_F(ExtensionBundleTest, LoadsTheLibraryAndMakesTheExtensionForADomain) {
  constexpr const char* kOwnGroup = "TEAM.example.declared-by-load";
  EXPECT_FALSE(FileManager::defaultManager().containerURL(kOwnGroup));
  nlohmann::json info = validInfo();
  info[kApplicationGroupsKey] = {kOwnGroup};
  fs::path dir = makeBundle("Good", info);

  auto loaded = ExtensionBundle::load(dir);
  ASSERT_TRUE(loaded.ok()) << loaded.error().description();
  const auto& bundle = **loaded;
  EXPECT_EQ(bundle.path(), dir);
  EXPECT_EQ(bundle.info().text(kBundleShortVersionKey), "1.2.3");
  // The bundle's application groups are now the process's.
  EXPECT_EQ(FileManager::defaultManager().containerURL(kOwnGroup), tmp_ / "containers" / kOwnGroup);

  auto extension = bundle.makeExtension(Domain{"d.one", "Display", false});
  ASSERT_TRUE(extension);
  std::optional<Error> seen;
  (void)extension->item("x", Request{}, [&](ItemPtr, std::optional<Error> e) { seen = e; });
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->message, "domain d.one (Display)");
}

// Programs read the text entries of Info.json; a value of another kind reads
// as missing rather than as its JSON spelling.
TEST_F(ExtensionBundleTest, InfoDictionaryOffersItsTextEntries) {
  nlohmann::json info = validInfo();
  info[kBundleShortVersionKey] = 2;
  info["Extra"] = "value";
  auto loaded = ExtensionBundle::load(makeBundle("Texts", info));
  ASSERT_TRUE(loaded.ok()) << loaded.error().description();
  const InfoDictionary& read = (*loaded)->info();
  EXPECT_EQ(read.text(kBundleShortVersionKey), std::nullopt);
  EXPECT_EQ(read.text("Extra"), "value");
  EXPECT_EQ(read.text(kApplicationGroupsKey), std::nullopt);
  EXPECT_EQ(read.text("Missing"), std::nullopt);
  EXPECT_EQ(read.text(kExecutableKey), info[kExecutableKey].get<std::string>());
}

TEST_F(ExtensionBundleTest, FirstLoadedBundleIsTheMainBundleForGood) {
  const bool hadMain = Bundle::main().infoDictionary().has_value();
  fs::path first = makeBundle("First", validInfo());
  ASSERT_TRUE(ExtensionBundle::load(first).ok());
  if (!hadMain) {
    EXPECT_EQ(Bundle::main().bundlePath(), first);
  }
  ASSERT_TRUE(Bundle::main().infoDictionary());
  const fs::path mainPath = Bundle::main().bundlePath();

  nlohmann::json info = validInfo();
  info[kBundleShortVersionKey] = "9.9";
  ASSERT_TRUE(ExtensionBundle::load(makeBundle("Second", info)).ok());
  EXPECT_EQ(Bundle::main().bundlePath(), mainPath);
  EXPECT_NE(Bundle::main().infoDictionary()->text(kBundleShortVersionKey), "9.9");
}

TEST_F(ExtensionBundleTest, RelativeBundlePathIsMadeAbsolute) {
  fs::path dir = makeBundle("Relative", validInfo());
  fs::path cwd = fs::current_path();
  fs::current_path(tmp_.path());
  auto loaded = ExtensionBundle::load("Relative.appex");
  fs::current_path(cwd);
  ASSERT_TRUE(loaded.ok()) << loaded.error().description();
  EXPECT_EQ((*loaded)->path(), dir);
}

TEST_F(ExtensionBundleTest, BadBundlesFailWithAnErrorNamingWhatIsWrong) {
  auto info = [](auto change) {
    nlohmann::json j = validInfo();
    change(j);
    return j;
  };
  struct Case {
    std::string name;
    std::function<fs::path()> make;
    int code;
    std::string text;  // part of the message
  } cases[] = {
      {"no bundle", [&] { return tmp_ / "Nowhere.appex"; }, kFileReadNoSuchFileError,
       (tmp_ / "Nowhere.appex" / "Info.json").string()},
      {"not json",
       [&] {
         fs::path d = makeBundle("NotJson", validInfo());
         testing::writeFile(d / "Info.json", "{oops");
         return d;
       },
       kFileReadCorruptFileError,
       (tmp_ / "NotJson.appex" / "Info.json").string() + ": not valid JSON"},
      {"not an object", [&] { return makeBundle("List", nlohmann::json::array({1})); },
       kFileReadCorruptFileError, "not a JSON object"},
      {"no library key",
       [&] { return makeBundle("NoKey", info([](auto& j) { j.erase(kExecutableKey); })); },
       kFileReadCorruptFileError, "FPExtensionLibrary is missing"},
      {"absolute library",
       [&] {
         return makeBundle("Abs", info([](auto& j) { j[kExecutableKey] = "/usr/lib/x.so"; }), "");
       },
       kFileReadCorruptFileError, "not relative to the bundle"},
      {"library outside",
       [&] {
         return makeBundle("Out", info([](auto& j) { j[kExecutableKey] = "a/../../x.so"; }), "");
       },
       kFileReadCorruptFileError, "leaves the bundle"},
      {"groups not a list",
       [&] { return makeBundle("Groups", info([](auto& j) { j[kApplicationGroupsKey] = "g"; })); },
       kFileReadCorruptFileError, "ApplicationGroups is not a list"},
      {"library missing", [&] { return makeBundle("NoLib", validInfo(), ""); },
       kExecutableNotLoadableError, "cannot open shared object file"},
      {"library not loadable",
       [&] {
         fs::path d = makeBundle("Garbage", validInfo(), "");
         fs::create_directories(d / "lib");
         testing::writeFile(d / "lib" / "libtest.so", "not a library");
         return d;
       },
       kExecutableNotLoadableError,
       "cannot load " + (tmp_ / "Garbage.appex" / "lib" / "libtest.so").string()},
      {"no entry point",
       [&] { return makeBundle("NoEntry", validInfo(), FP_TEST_NO_ENTRY_LIBRARY); },
       kExecutableLinkError, "does not export fp_extension_create"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Error e = loadError(c.make());
    EXPECT_EQ(e.domain, kCocoaErrorDomain);
    EXPECT_EQ(e.code, c.code);
    EXPECT_THAT(e.message, HasSubstr(c.text));
  }
}

TEST(CallingProgramBundleTest, EnvironmentNamesTheBundle) {
  TempDir tmp;
  fs::create_directories(tmp / "X.appex");
  {
    ScopedEnv env("FILEPROVIDER_BUNDLE", (tmp / "X.appex").string());
    auto bundle = callingProgramBundle();
    ASSERT_TRUE(bundle.ok());
    EXPECT_EQ(*bundle, tmp / "X.appex");
  }
  {
    fs::path cwd = fs::current_path();
    fs::current_path(tmp.path());
    ScopedEnv env("FILEPROVIDER_BUNDLE", "./X.appex");
    auto bundle = callingProgramBundle();
    fs::current_path(cwd);
    ASSERT_TRUE(bundle.ok());
    EXPECT_EQ(*bundle, tmp / "X.appex");
  }
  {
    ScopedEnv env("FILEPROVIDER_BUNDLE", (tmp / "Y.appex").string());
    auto bundle = callingProgramBundle();
    ASSERT_FALSE(bundle.ok());
    EXPECT_THAT(bundle.error().message, HasSubstr("Y.appex, which is not a directory"));
  }
}

TEST(CallingProgramBundleTest, NoBundleBesideTheProgramIsAnError) {
  // The test program has no PlugIns folder beside it.
  ScopedEnv env("FILEPROVIDER_BUNDLE", std::nullopt);
  auto bundle = callingProgramBundle();
  ASSERT_FALSE(bundle.ok());
  EXPECT_TRUE(bundle.error().isFileProvider(FileProviderErrorCode::kProviderNotFound));
  EXPECT_THAT(bundle.error().message, HasSubstr("no extension bundle"));
  EXPECT_THAT(bundle.error().message, HasSubstr("PlugIns"));
}

}  // namespace
}  // namespace fp
