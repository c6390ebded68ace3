#include "fileprovider/file_io.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>

#include "fileprovider/scoped_fd.h"
#include "test_support.h"

namespace fp {
namespace {

namespace fs = std::filesystem;

// Files bigger than `bytes` are refused for the rest of the scope: a write
// across the limit is cut short, the next one fails with EFBIG (SIGXFSZ is
// ignored meanwhile).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    oldHandler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    ::signal(SIGXFSZ, oldHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit old_{};
  sighandler_t oldHandler_ = SIG_DFL;
};

TEST(FileIoTest, WriteAllWritesEveryByteOrSaysWhyNot) {
  struct Case {
    const char* what;
    std::size_t size;
    int openFlags;
    rlim_t sizeLimit;  // 0: none
    int error;         // 0: written whole
    std::size_t onDisk;
  } cases[] = {
      {"nothing", 0, O_WRONLY, 0, 0, 0},
      {"several MiB", 3 << 20, O_WRONLY, 0, 0, 3 << 20},
      // The first write stops at the limit; the next one fails.
      {"a short write, then a failing one", 1500, O_WRONLY, 1000, EFBIG, 1000},
      {"a descriptor not open for writing", 10, O_RDONLY, 0, EBADF, 0},
  };
  testing::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path file = dir / "out";
    testing::writeFile(file, "");
    ScopedFD fd(::open(file.c_str(), c.openFlags | O_CLOEXEC));
    ASSERT_TRUE(fd);
    const std::string bytes(c.size, 'x');
    Status written = Ok{};
    if (c.sizeLimit) {
      FileSizeLimit limit(c.sizeLimit);
      written = writeAll(fd.get(), bytes);
    } else {
      written = writeAll(fd.get(), bytes);
    }
    EXPECT_EQ(written.ok() ? 0 : written.error().code, c.error);
    if (!written.ok()) {
      EXPECT_EQ(written.error().domain, kPOSIXErrorDomain);
    }
    EXPECT_EQ(fs::file_size(file), c.onDisk);
  }
}

TEST(FileIoTest, ReplaceDurablyReplacesWholeOrKeepsTheOldFile) {
  struct Case {
    const char* what;
    TemporaryName temporary;
    std::function<bool(const fs::path& folder)> prepare;  // false: skip the case
    int error;                                            // 0: replaced
  } cases[] = {
      {"fixed temporary", TemporaryName::kFixed, [](const fs::path&) { return true; }, 0},
      {"unique temporary", TemporaryName::kUnique, [](const fs::path&) { return true; }, 0},
      {"a stale temporary is overwritten", TemporaryName::kFixed,
       [](const fs::path& folder) {
         testing::writeFile(folder / "file.tmp", "stale and longer than the new contents");
         return true;
       },
       0},
      {"a folder holds the temporary's name", TemporaryName::kFixed,
       [](const fs::path& folder) {
         fs::create_directory(folder / "file.tmp");
         return true;
       },
       EISDIR},
      {"a link holds the temporary's name", TemporaryName::kFixed,
       [](const fs::path& folder) {
         fs::create_symlink(folder / "elsewhere", folder / "file.tmp");
         return true;
       },
       ELOOP},
      // Permissions do not hold root back: the case is left out for root.
      {"a read-only folder", TemporaryName::kUnique,
       [](const fs::path& folder) {
         fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
         return ::geteuid() != 0;
       },
       EACCES},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TempDir dir;
    const fs::path folder = dir / "folder";
    fs::create_directory(folder);
    testing::writeFile(folder / "file", "old");
    const bool run = c.prepare(folder);
    if (run) {
      Status replaced = replaceDurably(folder / "file", "new", c.temporary);
      EXPECT_EQ(replaced.ok() ? 0 : replaced.error().code, c.error);
      EXPECT_EQ(testing::readFile(folder / "file"), c.error ? "old" : "new");
      struct stat st {};
      ASSERT_EQ(::stat((folder / "file").c_str(), &st), 0);
      if (!c.error) {
        EXPECT_EQ(st.st_mode & 0777, 0600u);
      }
      // Nothing else is left beside the file than what was there.
      for (const auto& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        if (name == "file") continue;
        EXPECT_TRUE(name == "file.tmp" && c.error) << name;
      }
    }
    fs::permissions(folder, fs::perms::owner_all);
  }
}

}  // namespace
}  // namespace fp
