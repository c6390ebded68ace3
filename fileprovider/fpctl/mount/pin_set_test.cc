#include "fileprovider/fpctl/mount/pin_set.h"

#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#include "fileprovider/src/test_support.h"

namespace fpctl::mount {
namespace {

namespace fs = std::filesystem;

class PinSetTest : public ::testing::Test {
 protected:
  fs::path file() const { return dir_ / "pinned.json"; }
  fp::testing::TempDir tmp_;
  fs::path dir_ = tmp_.path();
};

TEST_F(PinSetTest, PinsSurviveReopeningWithAnyBytesInTheIdentifier) {
  const std::string odd("i:\0\n\xff\"x", 7);
  {
    PinSet pins(file());
    EXPECT_TRUE(pins.empty());
    EXPECT_TRUE(*pins.add({odd, "/a\nb", false}));
    EXPECT_TRUE(*pins.add({"f:FOLDER", "/Docs", true}));
    EXPECT_FALSE(*pins.add({"f:FOLDER", "/Docs", true}));  // nothing new
    EXPECT_TRUE(*pins.remove("f:FOLDER"));
    EXPECT_FALSE(*pins.remove("f:FOLDER"));
    EXPECT_TRUE(*pins.add({"f:OTHER", "/Other", true}));
  }
  PinSet again(file());
  EXPECT_FALSE(again.damaged());
  EXPECT_TRUE(again.contains(odd));
  EXPECT_FALSE(again.contains("f:FOLDER"));
  EXPECT_TRUE(again.contains("f:OTHER"));
  auto items = PinSet::read(file());
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[1].identifier, odd);
  EXPECT_EQ(items[1].path, "/a\nb");
  EXPECT_FALSE(fs::exists(dir_ / "pinned.json.tmp"));
  struct stat st {};
  ASSERT_EQ(::stat(file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(PinSetTest, AFailedWriteLeavesTheSetAsItWas) {
  PinSet pins(file());
  ASSERT_TRUE(*pins.add({"i:A", "/a", false}));
  // The temporary file cannot be made: a folder holds its name.
  fs::create_directory(dir_ / "pinned.json.tmp");
  auto added = pins.add({"i:B", "/b", false});
  ASSERT_FALSE(added.ok());
  EXPECT_FALSE(pins.contains("i:B"));
  auto removed = pins.remove("i:A");
  ASSERT_FALSE(removed.ok());
  EXPECT_TRUE(pins.contains("i:A"));
  EXPECT_EQ(PinSet::read(file()).size(), 1u);
}

TEST_F(PinSetTest, DamagedFilesAreSetAsideNotReadAsAnotherSet) {
  for (const std::string text : {"not json", "{\"pinned\":[{\"identifier\":\"6\"}]}",
                                 "{\"pinned\":[{\"identifier\":\"zz\",\"path\":\"/\","
                                 "\"folder\":false}]}",
                                 "{}"}) {
    std::ofstream(file()) << text;
    EXPECT_TRUE(PinSet::read(file()).empty()) << text;
    PinSet pins(file());
    EXPECT_TRUE(pins.damaged()) << text;
    EXPECT_TRUE(pins.empty());
    EXPECT_FALSE(fs::exists(file()));
    EXPECT_TRUE(fs::exists(dir_ / "pinned.json.damaged"));
  }
}

}  // namespace
}  // namespace fpctl::mount
