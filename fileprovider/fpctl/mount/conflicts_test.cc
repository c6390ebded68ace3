#include "fileprovider/fpctl/mount/conflicts.h"

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "fileprovider/src/test_support.h"

namespace fpctl::mount {
namespace {

TEST(ConflictCopyNameTest, GoesBeforeTheLastExtension) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  const std::time_t when = 1796894446;  // 2026-12-10 09:20:46 UTC
  const struct {
    const char* name;
    const char* copy;
  } cases[] = {
      {"Welcome.txt", "Welcome (conflict 2026-12-10 092046).txt"},
      {"archive.tar.gz", "archive.tar (conflict 2026-12-10 092046).gz"},
      {"Makefile", "Makefile (conflict 2026-12-10 092046)"},
      {".bashrc", ".bashrc (conflict 2026-12-10 092046)"},
  };
  for (const auto& c : cases) EXPECT_EQ(conflictCopyName(c.name, when), c.copy) << c.name;
}

TEST(ConflictLogTest, NotedCasesAreReadBackAndBrokenLinesSkipped) {
  fp::testing::TempDir tmp;
  ASSERT_TRUE(noteConflict(tmp.path(), {"/a.txt", "changed here and there", "a (c).txt", 1}).ok());
  std::ofstream(tmp.path() / "conflicts", std::ios::app) << "{\"path\": \n";  // a torn line
  ASSERT_TRUE(noteConflict(tmp.path(), {"/b", "moved here and there", "", 2}).ok());
  auto noted = readConflicts(tmp.path());
  ASSERT_EQ(noted.size(), 2u);
  EXPECT_EQ(noted[0].copy, "a (c).txt");
  EXPECT_EQ(noted[1].path, "/b");
}

}  // namespace
}  // namespace fpctl::mount
