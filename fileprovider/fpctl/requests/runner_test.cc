#include "fileprovider/fpctl/requests/runner.h"

#include <atomic>
#include <cerrno>
#include <thread>

#include <gtest/gtest.h>

#include "fileprovider/fpctl/requests/in_memory_extension_for_test.h"

namespace fpctl {
namespace {

using mount::testing::InMemoryExtension;
using mount::testing::makeItem;

using mount::testing::kRoot;

class RunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ext_ = std::make_shared<InMemoryExtension>();
    for (int i = 0; i < 5; ++i)
      ext_->add(makeItem("i:" + std::to_string(i), kRoot, "f" + std::to_string(i), false, i));
    runner_.emplace(ext_);
  }
  std::shared_ptr<InMemoryExtension> ext_;
  std::optional<Runner> runner_;
};

TEST_F(RunnerTest, ListAllFollowsEveryPageInOrder) {
  ext_->setPageSize(2);
  auto first = runner_->listPage(kRoot);
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(first->items.size(), 2u);
  EXPECT_EQ(first->nextPage, "2");

  auto all = runner_->listAll(kRoot);
  ASSERT_TRUE(all.ok());
  ASSERT_EQ(all->size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ((*all)[i]->filename(), "f" + std::to_string(i));
}

// An extension whose every page points back at the same page.
class LoopingExtension : public InMemoryExtension {
 public:
  std::unique_ptr<fp::Enumerator> enumerator(const fp::ItemIdentifier&,
                                             const fp::Request&) override {
    struct E : fp::Enumerator {
      void invalidate() override {}
      void enumerateItems(std::shared_ptr<fp::EnumerationObserver> o, const fp::Page&) override {
        o->didEnumerateItems({makeItem("i:x", "r", "x", false)});
        o->finishEnumeratingUpToPage(fp::Page("again"));
      }
      void enumerateChanges(std::shared_ptr<fp::ChangeObserver> o,
                            const fp::SyncAnchor& a) override {
        o->finishEnumeratingChangesUpToSyncAnchor(a, true);  // always "more coming"
      }
      void currentSyncAnchor(std::function<void(std::optional<fp::SyncAnchor>)> c) override {
        c(std::nullopt);
      }
    };
    return std::make_unique<E>();
  }
};

TEST(RunnerLoopTest, RepeatingExtensionCannotKeepUsListing) {
  Runner runner(std::make_shared<LoopingExtension>());
  auto all = runner.listAll(kRoot);
  ASSERT_TRUE(all.ok());
  EXPECT_EQ(all->size(), 2u);  // the initial page and "again", then the repeat ends it
  auto changes = runner.changes(kRoot, "a");
  ASSERT_TRUE(changes.ok());
  EXPECT_TRUE(changes->moreComing);
  auto anchor = runner.currentAnchor(kRoot);
  ASSERT_TRUE(anchor.ok());
  EXPECT_EQ(*anchor, std::nullopt);
}

TEST_F(RunnerTest, ChangesAcceptTheCurrentAnchorAndRefuseAStaleOne) {
  auto anchor = runner_->currentAnchor(kRoot);
  ASSERT_TRUE(anchor.ok());
  ASSERT_TRUE(anchor->has_value());
  auto same = runner_->changes(kRoot, **anchor);
  ASSERT_TRUE(same.ok());
  EXPECT_EQ(same->anchor, **anchor);
  EXPECT_FALSE(same->moreComing);
  EXPECT_TRUE(same->updated.empty());

  auto stale = runner_->changes(kRoot, "old");
  ASSERT_FALSE(stale.ok());
  EXPECT_TRUE(stale.error().isFileProvider(fp::FileProviderErrorCode::kSyncAnchorExpired));
}

TEST_F(RunnerTest, WaitsForLateCompletionsAndTicksMeanwhile) {
  ext_->setDelay(std::chrono::milliseconds(200));
  ext_->setFetchedFile("/tmp/contents");
  std::atomic<int> ticks{0};
  auto fetched = runner_->fetchContents(
      "i:1",
      [&](const fp::Progress& p, double) {
        EXPECT_EQ(p.totalUnitCount(), 1);
        ++ticks;
      },
      std::chrono::milliseconds(20));
  ASSERT_TRUE(fetched.ok());
  EXPECT_EQ(fetched->path, "/tmp/contents");
  EXPECT_EQ(fetched->item->itemIdentifier(), "i:1");
  EXPECT_GE(ticks.load(), 3);
}

TEST_F(RunnerTest, FetchErrorsArePassedOn) {
  auto fetched = runner_->fetchContents(kRoot);
  ASSERT_FALSE(fetched.ok());
  EXPECT_TRUE(fetched.error().isFileProvider(fp::FileProviderErrorCode::kNoSuchItem));
}

// An extension that calls the deletion handler twice, first with an error.
class TwiceExtension : public InMemoryExtension {
 public:
  fp::ProgressPtr deleteItem(const fp::ItemIdentifier&, const fp::ItemVersion&,
                             fp::DeleteItemOptions, const fp::Request&,
                             fp::ErrorHandler handler) override {
    handler(fp::Error::cocoa(640));
    handler(std::nullopt);
    return fp::makeProgress(1);
  }
};

TEST(RunnerTwiceTest, TheFirstCompletionCounts) {
  Runner runner(std::make_shared<TwiceExtension>());
  auto r = runner.deleteItem("i:1", {});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, 640);
}

TEST_F(RunnerTest, ChangeRequestsCarryWhatTheyAreGiven) {
  TemplateItem t = TemplateItem::forCreation(kRoot, "n", "public.folder", std::nullopt);
  auto created = runner_->createItem(t, 6, std::nullopt);
  ASSERT_TRUE(created.ok());
  EXPECT_EQ(created->item->itemIdentifier(), ext_->childNamed(kRoot, "n"));
  EXPECT_EQ(created->remainingFields, 0u);
  ASSERT_EQ(ext_->calls("create").size(), 1u);
  EXPECT_EQ(ext_->calls("create")[0].fields, 6u);
  EXPECT_EQ(ext_->calls("create")[0].contentType, fp::UTType::folder());

  ext_->setFailure([](const InMemoryExtension::Call&) { return fp::Error::cocoa(514); });
  auto refused = runner_->modifyItem(t, {"1", "1-n"}, 2, std::nullopt);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().code, 514);
  EXPECT_EQ(ext_->calls("modify")[0].baseVersion.contentVersion, "1");
}

TEST_F(RunnerTest, ThumbnailsComeInOrderWithTheFinalProgress) {
  auto t = runner_->fetchThumbnails({"i:1", kRoot, "i:3"});
  ASSERT_TRUE(t.ok());
  ASSERT_EQ(t->thumbnails.size(), 3u);
  EXPECT_TRUE(t->thumbnails[0].data.has_value());
  EXPECT_FALSE(t->thumbnails[1].data.has_value());
  EXPECT_EQ(t->thumbnails[2].identifier, "i:3");
  EXPECT_EQ(t->total, 3);
  EXPECT_EQ(t->completed, 3);
}

// An extension without thumbnails.
class PlainExtension : public fp::ReplicatedExtension {
 public:
  void invalidate() override {}
  fp::ProgressPtr item(const fp::ItemIdentifier&, const fp::Request&, fp::ItemHandler h) override {
    h(nullptr, std::nullopt);  // neither an item nor an error
    return fp::makeProgress(1);
  }
  std::unique_ptr<fp::Enumerator> enumerator(const fp::ItemIdentifier&,
                                             const fp::Request&) override {
    return nullptr;
  }
  fp::ProgressPtr fetchContents(const fp::ItemIdentifier&, const std::optional<fp::ItemVersion>&,
                                const fp::Request&, fp::FetchContentsHandler h) override {
    h(std::nullopt, nullptr, std::nullopt);  // neither a file nor an error
    return nullptr;
  }
  fp::ProgressPtr createItem(const fp::Item&, fp::ItemFields,
                             const std::optional<std::filesystem::path>&, fp::CreateItemOptions,
                             const fp::Request&, fp::ItemChangeHandler) override {
    return nullptr;
  }
  fp::ProgressPtr modifyItem(const fp::Item&, const fp::ItemVersion&, fp::ItemFields,
                             const std::optional<std::filesystem::path>&, fp::ModifyItemOptions,
                             const fp::Request&, fp::ItemChangeHandler) override {
    return nullptr;
  }
  fp::ProgressPtr deleteItem(const fp::ItemIdentifier&, const fp::ItemVersion&,
                             fp::DeleteItemOptions, const fp::Request&, fp::ErrorHandler) override {
    return nullptr;
  }
};

TEST(RunnerPlainTest, MissingAnswersBecomeErrors) {
  Runner runner(std::make_shared<PlainExtension>());
  auto thumbs = runner.fetchThumbnails({"i:1"});
  ASSERT_FALSE(thumbs.ok());
  EXPECT_EQ(thumbs.error().code, 3328);
  EXPECT_FALSE(runner.item("i:1").ok());
  auto listed = runner.listPage(kRoot);
  ASSERT_FALSE(listed.ok());
  EXPECT_TRUE(listed.error().isFileProvider(fp::FileProviderErrorCode::kNoSuchItem));
  auto fetched = runner.fetchContents("i:1", [](const fp::Progress&, double) {});
  EXPECT_FALSE(fetched.ok());
}

// Pages A, B, A, B, ...: only remembering every token ends the listing.
class AlternatingExtension : public InMemoryExtension {
 public:
  std::unique_ptr<fp::Enumerator> enumerator(const fp::ItemIdentifier&,
                                             const fp::Request&) override {
    struct E : fp::Enumerator {
      void invalidate() override {}
      void enumerateItems(std::shared_ptr<fp::EnumerationObserver> o,
                          const fp::Page& page) override {
        o->didEnumerateItems({makeItem("i:" + page, "r", page, false)});
        o->finishEnumeratingUpToPage(fp::Page(page == "A" ? "B" : "A"));
      }
      void enumerateChanges(std::shared_ptr<fp::ChangeObserver> o,
                            const fp::SyncAnchor& a) override {
        o->finishEnumeratingChangesUpToSyncAnchor(a, false);
      }
      void currentSyncAnchor(std::function<void(std::optional<fp::SyncAnchor>)> c) override {
        c(std::nullopt);
      }
    };
    return std::make_unique<E>();
  }
};

TEST(RunnerLoopTest, AlternatingPageTokensEndTheListing) {
  Runner runner(std::make_shared<AlternatingExtension>());
  auto all = runner.listAll(kRoot);
  ASSERT_TRUE(all.ok());
  EXPECT_EQ(all->size(), 3u);  // the initial page, A and B; the second A ends it
}

// An extension that takes every request and never answers.
class SilentExtension : public InMemoryExtension {
 public:
  fp::ProgressPtr item(const fp::ItemIdentifier&, const fp::Request&, fp::ItemHandler) override {
    last = fp::makeProgress(1);
    return last;
  }
  fp::ProgressPtr deleteItem(const fp::ItemIdentifier&, const fp::ItemVersion&,
                             fp::DeleteItemOptions, const fp::Request&, fp::ErrorHandler) override {
    last = fp::makeProgress(1);
    return last;
  }
  fp::ProgressPtr last;
};

TEST(RunnerCancelTest, CancellingEndsAWaitingRequestWithEintr) {
  auto ext = std::make_shared<SilentExtension>();
  Runner runner(ext);
  for (const bool remove : {false, true}) {
    SCOPED_TRACE(remove ? "delete" : "item");
    auto cancel = fp::makeProgress(1);
    std::thread canceller([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      cancel->cancel();
    });
    auto start = std::chrono::steady_clock::now();
    std::optional<fp::Error> error;
    if (remove) {
      auto r = runner.deleteItem("i:1", {}, 0, cancel.get());
      if (!r) error = r.error();
    } else {
      auto r = runner.item("i:1", cancel.get());
      if (!r) error = r.error();
    }
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, fp::kPOSIXErrorDomain);
    EXPECT_EQ(error->code, EINTR);
    ASSERT_TRUE(ext->last);
    EXPECT_TRUE(ext->last->isCancelled());  // the extension is told to stop too
  }
}

}  // namespace
}  // namespace fpctl
