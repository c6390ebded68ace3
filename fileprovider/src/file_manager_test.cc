#include "fileprovider/file_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_support.h"

namespace fp {
namespace {

namespace fs = std::filesystem;
using fp::testing::ScopedEnv;
using fp::testing::TempDir;
using ::testing::HasSubstr;

class FileManagerTest : public ::testing::Test {
 protected:
  FileManagerTest() : containers_("FILEPROVIDER_CONTAINERS", (tmp_ / "containers").string()) {}

  FileManager& files() { return FileManager::defaultManager(); }
  fs::path make(const std::string& relative, const std::string& contents = "data") {
    fs::path p = tmp_ / relative;
    fs::create_directories(p.parent_path());
    testing::writeFile(p, contents);
    return p;
  }
  static void expectCocoa(const Status& s, int code, const std::string& text) {
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().domain, kCocoaErrorDomain);
    EXPECT_EQ(s.error().code, code);
    EXPECT_THAT(s.error().message, HasSubstr(text));
  }

  TempDir tmp_;
  ScopedEnv containers_;
};

TEST_F(FileManagerTest, ContainerOnlyForEntitledGroupsAndCreatedOnFirstUse) {
  const std::string group = "TEAM.example.file-manager-test";
  EXPECT_FALSE(files().containerURL(group));
  EXPECT_FALSE(fs::exists(tmp_ / "containers"));

  declareApplicationGroups({group});
  auto dir = files().containerURL(group);
  ASSERT_TRUE(dir);
  EXPECT_EQ(*dir, tmp_ / "containers" / group);
  EXPECT_TRUE(fs::is_directory(*dir));
  EXPECT_FALSE(files().containerURL("TEAM.example.other"));
}

TEST_F(FileManagerTest, GroupNamesThatLeaveTheContainersFolderNeverResolve) {
  const std::vector<std::string> bad = {"", ".", "..", "a/b", "../x"};
  declareApplicationGroups(bad);
  for (const auto& g : bad) EXPECT_FALSE(files().containerURL(g)) << g;
}

TEST_F(FileManagerTest, ContainersDefaultToTheDataHome) {
  ScopedEnv noOverride("FILEPROVIDER_CONTAINERS", std::nullopt);
  ScopedEnv dataHome("XDG_DATA_HOME", (tmp_ / "data").string());
  declareApplicationGroups({"TEAM.example.g"});
  EXPECT_EQ(files().containerURL("TEAM.example.g"),
            tmp_ / "data" / "fileprovider" / "containers" / "TEAM.example.g");
}

TEST_F(FileManagerTest, ContainerThatCannotBeCreatedDoesNotResolve) {
  make("blocker");
  ScopedEnv containers("FILEPROVIDER_CONTAINERS", (tmp_ / "blocker").string());
  declareApplicationGroups({"TEAM.example.h"});
  EXPECT_FALSE(files().containerURL("TEAM.example.h"));
}

TEST_F(FileManagerTest, CreateDirectory) {
  EXPECT_TRUE(files().createDirectory(tmp_ / "a" / "b", true).ok());
  EXPECT_TRUE(fs::is_directory(tmp_ / "a" / "b"));
  EXPECT_TRUE(files().createDirectory(tmp_ / "a" / "b", false).ok());  // already there
  expectCocoa(files().createDirectory(tmp_ / "x" / "y", false), kFileNoSuchFileError,
              (tmp_ / "x" / "y").string());
  Status overFile = files().createDirectory(make("file"), true);
  ASSERT_FALSE(overFile.ok());
  EXPECT_THAT(overFile.error().message, HasSubstr((tmp_ / "file").string()));
  EXPECT_EQ(testing::readFile(tmp_ / "file"), "data");
}

// A refusal the kernel reports as EPERM or EROFS (sysfs refuses new
// directories, to root as well) is a permission error, not an unknown one.
TEST_F(FileManagerTest, RefusedDirectoryIsAPermissionError) {
  const fs::path refused = "/sys/pellora-file-manager-test";
  std::error_code ec;
  if (fs::create_directory(refused, ec) ||
      (ec != std::errc::operation_not_permitted && ec != std::errc::read_only_file_system)) {
    fs::remove(refused, ec);
    GTEST_SKIP() << "/sys does not refuse new directories here";
  }
  expectCocoa(files().createDirectory(refused, false), kFileWriteNoPermissionError,
              refused.string());
}

TEST_F(FileManagerTest, CopyFilesAndTrees) {
  fs::path file = make("src/one.txt", std::string("a\0b", 3));
  make("src/sub/two.txt", "two");
  ASSERT_TRUE(files().copyItem(file, tmp_ / "copy.txt").ok());
  EXPECT_EQ(testing::readFile(tmp_ / "copy.txt"), std::string("a\0b", 3));
  ASSERT_TRUE(files().copyItem(tmp_ / "src", tmp_ / "tree").ok());
  EXPECT_EQ(testing::readFile(tmp_ / "tree" / "sub" / "two.txt"), "two");

  make("existing", "keep");
  expectCocoa(files().copyItem(file, tmp_ / "existing"), kFileWriteFileExistsError, "existing");
  EXPECT_EQ(testing::readFile(tmp_ / "existing"), "keep");
  expectCocoa(files().copyItem(tmp_ / "absent", tmp_ / "to"), kFileNoSuchFileError, "absent");
}

TEST_F(FileManagerTest, RemoveFilesAndTrees) {
  make("tree/a/b.txt");
  fs::path file = make("single");
  EXPECT_TRUE(files().removeItem(tmp_ / "tree").ok());
  EXPECT_TRUE(files().removeItem(file).ok());
  EXPECT_FALSE(files().fileExists(tmp_ / "tree"));
  EXPECT_FALSE(files().fileExists(file));
  expectCocoa(files().removeItem(file), kFileNoSuchFileError, file.string());
}

TEST_F(FileManagerTest, ReadWholeFiles) {
  std::string big(300000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  fs::path file = make("big.bin", big);
  auto read = files().contentsOfFile(file);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(*read, big);

  auto empty = files().contentsOfFile(make("empty", ""));
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(*empty, "");

  auto missing = files().contentsOfFile(tmp_ / "missing");
  ASSERT_FALSE(missing.ok());
  EXPECT_THAT(missing.error().message, HasSubstr((tmp_ / "missing").string()));
  EXPECT_FALSE(files().contentsOfFile(tmp_.path()).ok());  // a directory
}

}  // namespace
}  // namespace fp
