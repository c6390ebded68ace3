#include "reference-host/store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "reference-host/test_support.h"

namespace refhost {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;

// A scan takes folders and regular files, at any depth, in path order, with
// what lstat says of each; links, other kinds of files and the hidden folder
// are no items. scanItem sees a part of the store as the scan sees it.
TEST(StoreTest, ScansFoldersAndRegularFilesOnly) {
  TempDir dir;
  const fs::path root = dir.path() / "store";
  Store store(root);
  fs::create_directories(root / "A" / "B");
  ASSERT_TRUE(store.prepare());
  writeFile(root / "A" / "B" / "deep.txt", "12345");
  writeFile(root / "top.txt", "x");
  writeFile(root / std::string(kMetaFolderName) / "locks.json", "{}");
  fs::create_symlink("top.txt", root / "A" / "link-to-file");
  fs::create_directory_symlink(root / "A" / "B", root / "link-to-folder");
  ASSERT_EQ(::mkfifo((root / "A" / "pipe").c_str(), 0600), 0);

  auto scanned = store.scan();
  ASSERT_TRUE(scanned);
  std::vector<std::string> paths;
  for (const Observed& o : *scanned) paths.push_back(o.path + (o.isFolder ? "/" : ""));
  EXPECT_EQ(paths, (std::vector<std::string>{"A/", "A/B/", "A/B/deep.txt", "top.txt"}));
  struct stat st {};
  ASSERT_EQ(::lstat((root / "A" / "B" / "deep.txt").c_str(), &st), 0);
  const Observed& deep = (*scanned)[2];
  EXPECT_EQ(deep.size, 5);
  EXPECT_EQ(deep.inode, st.st_ino);
  EXPECT_EQ(deep.mtimeNs, st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec);

  auto part = store.scanItem("A", true);
  ASSERT_TRUE(part);
  EXPECT_EQ(part->size(), 3u);
  EXPECT_EQ(part->back().path, "A/B/deep.txt");
  auto missing = store.scanItem("A/nothing", true);
  ASSERT_TRUE(missing);
  EXPECT_TRUE(missing->empty());
}

}  // namespace
}  // namespace refhost
