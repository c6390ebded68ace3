// Listings and change tracking through enumerators made by the loaded bundle.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "extension/front/front_test_support.h"

namespace pellora::testing {
namespace {

namespace fs = std::filesystem;
using Code = fp::FileProviderErrorCode;

const std::string kVersionPrefix = std::string(PELLORA_PROJECT_VERSION) + "|";

class EnumeratorTest : public FrontTest {
 protected:
  void SetUp() override {
    FrontTest::SetUp();
    container_.clearLog();
  }
  void addSampleTree() {
    index().addFolder("F1", "Docs", std::nullopt);
    index().addFolder("F2", "Archive", "F1");
    index().addFile("I1", "Report.pdf", "F1");
    index().addFile("I2", "top.txt", std::nullopt);
  }
  static void expectEmptyListing(const Listing& l) {
    EXPECT_EQ(l.calls, (std::vector<std::string>{"items", "finish"}));
    EXPECT_TRUE(l.items.empty());
    EXPECT_EQ(l.nextPage, std::nullopt);
  }
  std::vector<std::string> enumeratorLog() const { return log("Enumerator"); }
};

TEST_F(EnumeratorTest, ListsTheTopLevelOfAnEmptyIndex) {
  index();
  Listing l = list(kRoot);
  expectEmptyListing(l);
  EXPECT_EQ(enumeratorLog(), (std::vector<std::string>{"info\tenumerated 0 children of <root>"}));
}

TEST_F(EnumeratorTest, ListsTheRootAndAFolderInOneBatch) {
  addSampleTree();
  Listing root = list(kRoot);
  EXPECT_EQ(root.calls, (std::vector<std::string>{"items", "finish"}));
  EXPECT_EQ(root.nextPage, std::nullopt);
  EXPECT_EQ(root.identifiers(), (std::vector<std::string>{"f:F1", "i:I2"}));

  Listing docs = list("f:F1");
  EXPECT_EQ(docs.identifiers(), (std::vector<std::string>{"f:F2", "i:I1"}));
  EXPECT_EQ(docs.items[1]->parentItemIdentifier(), "f:F1");
  EXPECT_EQ(enumeratorLog(), (std::vector<std::string>{"info\tenumerated 2 children of <root>",
                                                       "info\tenumerated 2 children of F1"}));
}

TEST_F(EnumeratorTest, EveryPageListsTheWholeContainer) {
  addSampleTree();
  const auto first = list(kRoot, fp::kInitialPageSortedByDate).identifiers();
  EXPECT_EQ(list(kRoot, "some page from earlier").identifiers(), first);
  EXPECT_EQ(list(kRoot, fp::kInitialPageSortedByName).identifiers(), first);
}

TEST_F(EnumeratorTest, OtherContainersListNothingAndEndNormally) {
  addSampleTree();
  for (std::string_view c : {std::string_view("i:I1"), fp::kWorkingSetContainer,
                             fp::kTrashContainer, std::string_view("F1"), std::string_view("")}) {
    SCOPED_TRACE(c);
    expectEmptyListing(list(c));
  }
  EXPECT_TRUE(enumeratorLog().empty());
}

TEST_F(EnumeratorTest, WithoutAnIndexListingsAreEmpty) {
  expectEmptyListing(list(kRoot));
  expectEmptyListing(list("f:F1"));
  EXPECT_TRUE(enumeratorLog().empty());
}

TEST_F(EnumeratorTest, AnchorIsVersionAndDataVersionAndStaysValidWhileUnchanged) {
  addSampleTree();
  const fp::SyncAnchor anchor = currentAnchor();
  ASSERT_EQ(anchor.rfind(kVersionPrefix, 0), 0u) << anchor;
  const std::string number = anchor.substr(kVersionPrefix.size());
  ASSERT_FALSE(number.empty());
  EXPECT_EQ(number.find_first_not_of("-0123456789"), std::string::npos) << anchor;
  // The same for every container of the domain.
  EXPECT_EQ(currentAnchor("f:F1"), anchor);
  EXPECT_EQ(currentAnchor(fp::kWorkingSetContainer), anchor);

  Changes c = changesSince(anchor, "f:F1");
  EXPECT_EQ(c.calls, (std::vector<std::string>{"finish"}));
  EXPECT_EQ(c.anchor, anchor);
  EXPECT_FALSE(c.moreComing);
  EXPECT_TRUE(enumeratorLog().empty());
}

TEST_F(EnumeratorTest, AnchorsDifferingInAnyWayExpire) {
  addSampleTree();
  const fp::SyncAnchor anchor = currentAnchor();
  for (const fp::SyncAnchor& old :
       {"0.9|" + anchor.substr(kVersionPrefix.size()), anchor + "0",
        anchor.substr(0, anchor.size() - 1), anchor + std::string(1, '\0'), fp::SyncAnchor()}) {
    SCOPED_TRACE(old);
    container_.clearLog();
    Changes c = changesSince(old);
    EXPECT_EQ(c.calls, (std::vector<std::string>{"error"}));
    EXPECT_EQ(c.error, fp::Error::fileProvider(Code::kSyncAnchorExpired));
    EXPECT_EQ(enumeratorLog(),
              (std::vector<std::string>{"info\tindex changed, forcing re-enumeration"}));
  }
}

TEST_F(EnumeratorTest, WithoutAnIndexTheAnchorEndsInZeroAndStaysValid) {
  const fp::SyncAnchor anchor = currentAnchor();
  EXPECT_EQ(anchor, kVersionPrefix + "0");
  EXPECT_EQ(currentAnchor("f:F1"), anchor);
  Changes c = changesSince(anchor);
  EXPECT_EQ(c.calls, (std::vector<std::string>{"finish"}));
  EXPECT_EQ(c.anchor, anchor);
}

class EnumeratorJournalTest : public EnumeratorTest,
                              public ::testing::WithParamInterface<JournalMode> {};

TEST_P(EnumeratorJournalTest, WriteByAnotherConnectionExpiresTheAnchor) {
  index(GetParam()).addFolder("F1", "Docs", std::nullopt);
  const fp::SyncAnchor before = currentAnchor();
  EXPECT_EQ(changesSince(before).anchor, before);

  index().addFile("I9", "new.txt", "F1");
  Changes c = changesSince(before, "f:F1");
  EXPECT_EQ(c.error, fp::Error::fileProvider(Code::kSyncAnchorExpired));
  EXPECT_EQ(enumeratorLog(),
            (std::vector<std::string>{"info\tindex changed, forcing re-enumeration"}));

  // The new anchor is valid until the next write, and the listing shows the change.
  const fp::SyncAnchor after = currentAnchor();
  EXPECT_NE(after, before);
  EXPECT_EQ(changesSince(after).anchor, after);
  EXPECT_EQ(list("f:F1").identifiers(), (std::vector<std::string>{"i:I9"}));
}

INSTANTIATE_TEST_SUITE_P(Journals, EnumeratorJournalTest,
                         ::testing::Values(JournalMode::kRollback, JournalMode::kWal),
                         [](const auto& info) {
                           return info.param == JournalMode::kWal ? "Wal" : "Rollback";
                         });

// A bundle whose Info.json has no version string. The version is fixed per
// process by the first bundle loaded, so this runs in a child process that
// loads only this bundle. The child ends with std::_Exit, which runs no
// destructors, so everything that owns files lives in the inner scope and is
// gone before the child exits.
int anchorCheckInFreshProcess() {
  TempContainer container;
  const fs::path bundle = container.root() / "Unversioned.appex";
  fs::create_directories(bundle);
  const fs::path source = fs::path(PELLORA_BUNDLE_DIR);
  std::string library;
  for (const auto& entry : fs::directory_iterator(source)) {
    if (entry.path().extension() == ".so") library = entry.path().filename().string();
  }
  fs::copy_file(source / library, bundle / library);
  nlohmann::json info = nlohmann::json::parse(std::ifstream(source / "Info.json"));
  info.erase(fp::kBundleShortVersionKey);
  std::ofstream(bundle / "Info.json") << info.dump();

  auto loaded = fp::ExtensionBundle::load(bundle);
  if (!loaded.ok()) return 2;
  auto ext = (*loaded)->makeExtension(fp::Domain{std::string(kDefaultDomain), "P", false});
  std::optional<fp::SyncAnchor> anchor;
  ext->enumerator(std::string(kRoot), fp::Request{})->currentSyncAnchor([&](auto a) {
    anchor = a;
  });
  return anchor == fp::SyncAnchor("0|0") ? 0 : 1;
}

// The child process of the test below makes its temporary files in a
// directory that the parent made for it and names in this variable.
constexpr const char* kChildTmpVariable = "PELLORA_DEATH_TEST_TMPDIR";

TEST(EnumeratorVersionTest, BundleWithoutVersionStringAnchorsBeginWithZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The child runs this test again from the start: only the parent makes the
  // directory, so that whatever the child leaves behind shows in it.
  std::optional<fs::path> childTmp;
  std::optional<std::string> oldTmp;
  if (!std::getenv(kChildTmpVariable)) {
    std::string tmpl = (fs::temp_directory_path() / "pellora-death-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    childTmp = tmpl;
    if (const char* old = std::getenv("TMPDIR")) oldTmp = old;
    ::setenv(kChildTmpVariable, tmpl.c_str(), 1);
    ::setenv("TMPDIR", tmpl.c_str(), 1);
  }
  EXPECT_EXIT(std::_Exit(anchorCheckInFreshProcess()), ::testing::ExitedWithCode(0), "");
  if (childTmp) {
    ::unsetenv(kChildTmpVariable);
    if (oldTmp) {
      ::setenv("TMPDIR", oldTmp->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(*childTmp)) {
      left.push_back(entry.path().filename().string());
    }
    fs::remove_all(*childTmp);
    EXPECT_EQ(left, std::vector<std::string>{}) << "the child left files behind";
  }
}

}  // namespace
}  // namespace pellora::testing
