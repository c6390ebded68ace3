#include "fileprovider/fpctl/identifiers.h"

#include <map>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fileprovider/fpctl/requests/in_memory_extension_for_test.h"

namespace fpctl {
namespace {

using mount::testing::makeItem;
using ::testing::HasSubstr;

using mount::testing::kRoot;

// A tree given as container -> children, listed by a lister that counts calls.
class IdentifiersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_[kRoot] = {
        makeItem("f:docs", kRoot, "Documents", true), makeItem("f:docs2", kRoot, "documents", true),
        makeItem("i:a", kRoot, "a.txt", false), makeItem("i:a-dup", kRoot, "a.txt", false)};
    tree_["f:docs"] = {makeItem("f:sub", "f:docs", "Sub Folder", true),
                       makeItem("i:r", "f:docs", "Report (7K2QZM).pdf", false)};
    tree_["f:sub"] = {makeItem("i:deep", "f:sub", "deep.txt", false)};
  }

  fp::StatusOr<fp::ItemIdentifier> resolve(std::string_view arg) {
    return resolveIdentifier(
        arg, [&](const fp::ItemIdentifier& c) -> fp::StatusOr<std::vector<fp::ItemPtr>> {
          ++listings_;
          if (failListing_) return fp::fail(*failListing_);
          return tree_[c];
        });
  }

  std::map<fp::ItemIdentifier, std::vector<fp::ItemPtr>> tree_;
  int listings_ = 0;
  std::optional<fp::Error> failListing_;
};

TEST_F(IdentifiersTest, AliasesAndRawIdentifiersNeedNoListing) {
  struct Case {
    std::string arg, id;
  } cases[] = {
      {"@root", kRoot},
      {"@workingset", std::string(fp::kWorkingSetContainer)},
      {"@trash", std::string(fp::kTrashContainer)},
      {"i:01HZX", "i:01HZX"},
      {"@Root", "@Root"},  // aliases are exact
      {"@other", "@other"},
      {"", ""},
      {kRoot, kRoot},
      {"relative/path", "relative/path"},  // only a leading "/" makes a path
  };
  for (const auto& c : cases) {
    auto r = resolve(c.arg);
    ASSERT_TRUE(r.ok()) << c.arg;
    EXPECT_EQ(*r, c.id) << c.arg;
  }
  EXPECT_EQ(listings_, 0);
}

TEST_F(IdentifiersTest, PathsAreResolvedByExactDisplayNames) {
  struct Case {
    std::string arg, id;
  } cases[] = {
      {"/", kRoot},
      {"/Documents", "f:docs"},
      {"/documents", "f:docs2"},  // case matters
      {"/Documents/", "f:docs"},
      {"//Documents//Sub Folder/deep.txt", "i:deep"},
      {"/Documents/Report (7K2QZM).pdf", "i:r"},  // marked names are names like any other
      {"/a.txt", "i:a"},                          // the first of two namesakes wins
  };
  for (const auto& c : cases) {
    auto r = resolve(c.arg);
    ASSERT_TRUE(r.ok()) << c.arg << ": " << r.error().description();
    EXPECT_EQ(*r, c.id) << c.arg;
  }
}

TEST_F(IdentifiersTest, MissingComponentIsNoSuchItemNamingIt) {
  auto r = resolve("/Documents/Nope/deep.txt");
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().isFileProvider(fp::FileProviderErrorCode::kNoSuchItem));
  EXPECT_THAT(r.error().message, HasSubstr("\"Nope\" in /Documents"));
  EXPECT_EQ(listings_, 2);  // stops at the first missing name

  auto top = resolve("/Missing");
  ASSERT_FALSE(top.ok());
  EXPECT_THAT(top.error().message, HasSubstr("\"Missing\" in /"));
}

TEST_F(IdentifiersTest, ListingFailureIsPassedOn) {
  failListing_ = fp::Error::fileProvider(fp::FileProviderErrorCode::kServerUnreachable);
  auto r = resolve("/Documents");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), *failListing_);
}

TEST(PathComponentsTest, SplitsOnSlashes) {
  EXPECT_EQ(pathComponents("/"), std::vector<std::string>{});
  EXPECT_EQ(pathComponents("/a//b/"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(pathComponents("/ a /b c"), (std::vector<std::string>{" a ", "b c"}));
}

}  // namespace
}  // namespace fpctl
