#include "fileprovider/file_manager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>

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

// The mode bits of `p` itself (a link is not followed).
mode_t modeOf(const fs::path& p) {
  struct stat st {};
  if (::lstat(p.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

// Sets the umask for the life of the object.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t old_;
};

struct DefaultRootCase {
  const char* name;
  enum { kUnset, kShort, kMissing } runtimeDir;  // XDG_RUNTIME_DIR
  bool dataHome;                                 // XDG_DATA_HOME set or the home folder's default
};

TEST_F(FileManagerTest, DefaultContainersPersistAndKeepASocketPathShort) {
  // The longest home folder that must work: 64 bytes.
  const std::string base = (tmp_ / "h").string();
  ASSERT_LT(base.size(), 63u);
  const fs::path home = base + std::string(64 - base.size(), 'x');
  ASSERT_EQ(home.native().size(), 64u);
  fs::create_directories(home);
  // A real group name of the length the extension uses (48 bytes).
  const std::string group = "QZ3RMT5XK9.de.example.file-manager-default-test";
  declareApplicationGroups({group});
  TempDir runtime;  // stands in for /run/user/<uid>, kept short by TMPDIR
  // Without a runtime folder the short folder is /tmp/fileprovider-<uid>; the
  // test removes it again when it made it.
  const fs::path tmpShortRoot = "/tmp/fileprovider-" + std::to_string(::geteuid());
  const bool tmpShortRootExisted = fs::exists(tmpShortRoot);

  const DefaultRootCase cases[] = {
      {"runtime folder, data in the home folder", DefaultRootCase::kShort, false},
      {"no runtime folder, data in the home folder", DefaultRootCase::kUnset, false},
      {"runtime folder that does not exist", DefaultRootCase::kMissing, false},
      {"runtime folder, XDG_DATA_HOME", DefaultRootCase::kShort, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedEnv noOverride("FILEPROVIDER_CONTAINERS", std::nullopt);
    ScopedEnv homeEnv("HOME", home.string());
    ScopedEnv dataEnv("XDG_DATA_HOME", c.dataHome
                                           ? std::optional<std::string>((home / "data").string())
                                           : std::nullopt);
    std::optional<std::string> runtimeValue;
    if (c.runtimeDir == DefaultRootCase::kShort) runtimeValue = runtime.path().string();
    if (c.runtimeDir == DefaultRootCase::kMissing) runtimeValue = (runtime / "gone").string();
    ScopedEnv runtimeEnv("XDG_RUNTIME_DIR", runtimeValue);
    const fs::path stored = (c.dataHome ? home / "data" : home / ".local" / "share") /
                            "fileprovider" / "containers" / group;
    ScopedUmask anyMask(0);  // what is made must not depend on the umask

    auto dir = files().containerURL(group);
    ASSERT_TRUE(dir);
    EXPECT_LE((*dir / "fp.sock").native().size(), 103u) << *dir;
    // The short path leads to the persistent folder, and both are the owner's alone.
    EXPECT_EQ(fs::canonical(*dir), fs::canonical(stored));
    EXPECT_EQ(modeOf(stored), 0700u);
    EXPECT_EQ(modeOf(dir->parent_path()), 0700u);
    testing::writeFile(*dir / "state.db", "index");
    EXPECT_EQ(testing::readFile(stored / "state.db"), "index");
    // Asking again gives the same path.
    EXPECT_EQ(files().containerURL(group), dir);

    std::error_code ec;
    fs::remove(*dir, ec);  // the link, so the next case starts afresh
    if (!tmpShortRootExisted) fs::remove(tmpShortRoot, ec);  // only when empty
    fs::remove_all(home / ".local", ec);
    fs::remove_all(home / "data", ec);
  }
}

TEST_F(FileManagerTest, ShortFolderOfAnotherUserOrALinkIsNotUsedAndTheReasonNamesIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
  ScopedEnv noOverride("FILEPROVIDER_CONTAINERS", std::nullopt);
  ScopedEnv homeEnv("HOME", (tmp_ / "home").string());
  ScopedEnv runtimeEnv("XDG_RUNTIME_DIR", tmp_.path().string());
  const fs::path shortRoot = tmp_ / "fileprovider";
  struct Case {
    const char* name;
    std::function<void()> plant;
    const char* reason;
  } cases[] = {
      {"another user's folder",
       [&] {
         fs::create_directories(shortRoot);
         ASSERT_EQ(::chown(shortRoot.c_str(), 65534, 65534), 0);
       },
       "it belongs to uid 65534, not to you (uid 0)"},
      {"a link to elsewhere",
       [&] {
         fs::create_directories(tmp_ / "elsewhere");
         fs::create_symlink(tmp_ / "elsewhere", shortRoot);
       },
       "it is a symbolic link; use the real path"},
  };
  declareApplicationGroups({"TEAM.example.squatted"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(shortRoot);
    c.plant();
    EXPECT_FALSE(files().containerURL("TEAM.example.squatted"));
    auto refused = applicationGroupContainer("TEAM.example.squatted");
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message,
              "refusing to use the containers folder " + shortRoot.string() + ": " + c.reason);
    EXPECT_FALSE(fs::exists(shortRoot / "TEAM.example.squatted"));
    EXPECT_FALSE(fs::exists(tmp_ / "elsewhere" / "TEAM.example.squatted"));
  }
}

TEST_F(FileManagerTest, FoldersAreMadeOwnerOnlyWhateverTheUmask) {
  ScopedUmask anyMask(0);
  declareApplicationGroups({"TEAM.example.modes"});
  auto dir = files().containerURL("TEAM.example.modes");
  ASSERT_TRUE(dir);
  EXPECT_EQ(modeOf(tmp_ / "containers"), 0700u);
  EXPECT_EQ(modeOf(*dir), 0700u);
  ASSERT_TRUE(files().createDirectory(tmp_ / "a" / "b", true).ok());
  EXPECT_EQ(modeOf(tmp_ / "a"), 0700u);
  EXPECT_EQ(modeOf(tmp_ / "a" / "b"), 0700u);
  ASSERT_TRUE(files().createDirectory(tmp_ / "single", false).ok());
  EXPECT_EQ(modeOf(tmp_ / "single"), 0700u);
  // A folder that exists already keeps its mode.
  fs::create_directories(tmp_ / "kept");
  fs::permissions(tmp_ / "kept", fs::perms(0755));
  ASSERT_TRUE(files().createDirectory(tmp_ / "kept", true).ok());
  EXPECT_EQ(modeOf(tmp_ / "kept"), 0755u);
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

struct HostileFileCase {
  const char* name;
  std::function<fs::path(const TempDir&)> make;
  std::size_t maxBytes;
  std::optional<std::string> expected;  // the contents, or none for a failure
  std::string message;                  // part of the failure's message
};

TEST_F(FileManagerTest, ReadsOnlyRegularFilesAndNoMoreThanTheBound) {
  const HostileFileCase cases[] = {
      {"a FIFO nobody writes to",
       [](const TempDir& t) {
         fs::path p = t / "fifo";
         if (::mkfifo(p.c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
         return p;
       },
       1024, std::nullopt, "not a regular file"},
      {"an endless device", [](const TempDir&) { return fs::path("/dev/zero"); }, 1024,
       std::nullopt, "not a regular file"},
      {"a file of exactly the bound",
       [](const TempDir& t) {
         testing::writeFile(t / "exact", std::string(70000, 'e'));
         return t / "exact";
       },
       70000, std::string(70000, 'e'), ""},
      {"a file one byte over the bound",
       [](const TempDir& t) {
         testing::writeFile(t / "over", std::string(70001, 'o'));
         return t / "over";
       },
       70000, std::nullopt, "larger than 70000 bytes"},
      {"an empty file with a bound of zero",
       [](const TempDir& t) {
         testing::writeFile(t / "empty", "");
         return t / "empty";
       },
       0, std::string(), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = c.make(tmp_);
    const auto start = std::chrono::steady_clock::now();
    auto read = files().contentsOfFile(path, c.maxBytes);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    if (c.expected) {
      ASSERT_TRUE(read.ok()) << read.error().description();
      EXPECT_EQ(*read, *c.expected);
    } else {
      ASSERT_FALSE(read.ok());
      EXPECT_EQ(read.error().domain, kCocoaErrorDomain);
      EXPECT_THAT(read.error().message, HasSubstr(c.message));
      EXPECT_THAT(read.error().message, HasSubstr(path.string()));
    }
  }
  auto over = files().contentsOfFile(tmp_ / "over", 70000);
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error().code, kFileReadTooLargeError);
}

}  // namespace
}  // namespace fp
