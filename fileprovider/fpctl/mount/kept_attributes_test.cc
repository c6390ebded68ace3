#include "fileprovider/fpctl/mount/kept_attributes.h"

#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "fileprovider/src/test_support.h"

namespace fpctl::mount {
namespace {

namespace fs = std::filesystem;

ItemState keptDatesItem(std::string id, std::string contentVersion, bool folder = false) {
  ItemState s;
  s.identifier = std::move(id);
  s.version.contentVersion = std::move(contentVersion);
  s.isFolder = folder;
  return s;
}

class KeptAttributesTest : public ::testing::Test {
 protected:
  fs::path file() const { return dir_ / "kept-dates"; }
  fp::testing::TempDir tmp_;
  fs::path dir_ = tmp_.path();
  timespec mountTime_{1700000000, 5};
};

TEST_F(KeptAttributesTest, ShownForTheVersionItWasSetForAndKeptAcrossMounts) {
  const timespec date{1234567890, 123456789};
  // Identifiers and versions are bytes; any of them survives the file.
  const std::string id("01J\0\xff/x", 7);
  {
    KeptAttributes dates(file(), mountTime_);
    EXPECT_EQ(dates.find(keptDatesItem(id, "3")), std::nullopt);
    dates.keep(keptDatesItem(id, "3"), date);
    dates.keep(keptDatesItem("", "1"), date);  // no identifier yet: not kept
  }
  KeptAttributes again(file(), mountTime_);
  auto found = again.find(keptDatesItem(id, "3"));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->tv_sec, date.tv_sec);
  EXPECT_EQ(found->tv_nsec, date.tv_nsec);
  // Changed on the service: the date no longer shows.
  EXPECT_EQ(again.find(keptDatesItem(id, "4")), std::nullopt);
  EXPECT_EQ(again.find(keptDatesItem("", "1")), std::nullopt);

  struct stat st {};
  again.apply(st, keptDatesItem(id, "3"));
  EXPECT_EQ(st.st_mtim.tv_sec, date.tv_sec);
  EXPECT_EQ(st.st_mtim.tv_nsec, date.tv_nsec);

  // A mode is kept beside the date, for the same version, less the write bits
  // of an item the service does not let be written.
  ItemState writable = keptDatesItem(id, "3");
  writable.capabilities = fp::capability::kAllowsWriting;
  again.keepMode(writable, 0755);
  KeptAttributes third(file(), mountTime_);
  struct stat shown {};
  shown.st_mode = S_IFREG | 0644;
  third.apply(shown, writable);
  EXPECT_EQ(shown.st_mode, S_IFREG | 0755);
  EXPECT_EQ(third.find(writable)->tv_sec, date.tv_sec);
  shown.st_mode = S_IFREG | 0444;
  third.apply(shown, keptDatesItem(id, "3"));
  EXPECT_EQ(shown.st_mode, S_IFREG | 0555);
  shown.st_mode = S_IFREG | 0644;
  third.apply(shown, keptDatesItem(id, "4"));
  EXPECT_EQ(shown.st_mode, S_IFREG | 0644);
}

TEST_F(KeptAttributesTest, FoldersWithoutADateShowTheMountTime) {
  KeptAttributes dates(file(), mountTime_);
  struct stat folder {};
  dates.apply(folder, keptDatesItem("f", "1", true));
  EXPECT_EQ(folder.st_mtim.tv_sec, mountTime_.tv_sec);
  ItemState dated = keptDatesItem("f2", "1", true);
  dated.modified = 42;
  struct stat own {};
  own.st_mtim.tv_sec = 42;
  dates.apply(own, dated);
  EXPECT_EQ(own.st_mtim.tv_sec, 42);
}

TEST_F(KeptAttributesTest, ALineCutShortIsSkipped) {
  {
    KeptAttributes dates(file(), mountTime_);
    dates.keep(keptDatesItem("a", "1"), timespec{100, 0});
    dates.keep(keptDatesItem("b", "1"), timespec{200, 0});
  }
  std::ofstream(file(), std::ios::app) << "{\"id\":\"63\",\"vers";
  KeptAttributes again(file(), mountTime_);
  EXPECT_EQ(again.find(keptDatesItem("a", "1"))->tv_sec, 100);
  EXPECT_EQ(again.find(keptDatesItem("b", "1"))->tv_sec, 200);
  EXPECT_EQ(again.find(keptDatesItem("c", "1")), std::nullopt);
}

}  // namespace
}  // namespace fpctl::mount
