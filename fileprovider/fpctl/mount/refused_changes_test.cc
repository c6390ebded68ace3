#include "fileprovider/fpctl/mount/refused_changes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fileprovider/fpctl/mount/cache_folder.h"
#include "fileprovider/fpctl/mount/cache_report.h"
#include "fileprovider/fpctl/mount/content_cache.h"
#include "fileprovider/fpctl/mount/unsent_folder.h"
#include "fileprovider/fpctl/mount/upload_queue.h"
#include "fileprovider/src/test_support.h"

namespace fpctl::mount {
namespace {

namespace fs = std::filesystem;
using fp::testing::readFile;

class RefusedChangesTest : public ::testing::Test {
 protected:
  // Queues a new file `name` in the folder "docs" with `bytes`, and has the
  // service refuse it; returns the queue's number for it.
  std::uint64_t refuseNew(const std::string& name, const std::string& bytes) {
    std::ofstream(tmp_.path() / "src", std::ios::binary) << bytes;
    QueuedChange c;
    c.parent = "docs";
    c.filename = name;
    auto q = UploadQueue::open(cache_);
    auto put = (*q)->put(c, tmp_.path() / "src");
    EXPECT_FALSE(
        (*q)->refuse(put->seq, "creating was refused: File exists", "/Docs/" + name).empty());
    return put->seq;
  }
  fp::testing::TempDir tmp_;
  fs::path cache_ = tmp_.path() / "cache";
  fp::testing::ScopedEnv data_{"XDG_DATA_HOME", (tmp_.path() / "data").string()};
};

TEST_F(RefusedChangesTest, ARefusedChangeKeepsItsRecordAndIsQueuedAgainAfterEveryEntry) {
  refuseNew("report.txt", "my bytes");
  auto refused = refusedChanges(cache_);
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0].shownPath, "/Docs/report.txt");
  EXPECT_EQ(refused[0].reason, "creating was refused: File exists");
  EXPECT_TRUE(refused[0].canRetry);
  EXPECT_TRUE(names(refused[0], "/mnt/Docs/report.txt", "/mnt"));
  EXPECT_FALSE(names(refused[0], "/Docs/other.txt", "/mnt"));
  {
    // Something else waits meanwhile: the retried change comes after it.
    auto q = UploadQueue::open(cache_);
    QueuedChange later;
    later.identifier = "i:9";
    later.kind = ChangeKind::kRemove;
    later.filename = "old.txt";
    ASSERT_TRUE((*q)->putEdit(later).ok());
  }
  ASSERT_TRUE(retry(cache_, refused[0]).ok());
  EXPECT_EQ(queueRetried(cache_), QueuedBy::kThisProcess);
  EXPECT_TRUE(refusedChanges(cache_).empty());
  auto q = UploadQueue::open(cache_, /*readOnly=*/true);
  auto pending = (*q)->pending();
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0].filename, "old.txt");
  EXPECT_EQ(pending[1].filename, "report.txt");
  EXPECT_EQ(pending[1].parent, "docs");
  EXPECT_EQ(readFile(pending[1].data), "my bytes");
  EXPECT_TRUE(fs::is_empty(cache_ / "retried"));
}

TEST_F(RefusedChangesTest, ARefusedMoveKeepsItsRecordAndIsQueuedAgainAsTheSameMove) {
  {
    auto q = UploadQueue::open(cache_);
    QueuedChange move;
    move.kind = ChangeKind::kMove;
    move.identifier = "i:7";
    move.parent = "docs";
    move.filename = "new name.txt";
    move.fromParent = "docs";
    move.fromFilename = "old.txt";
    move.fields = fp::field::kFilename;
    auto put = (*q)->putEdit(move);
    ASSERT_TRUE(put.ok());
    EXPECT_FALSE((*q)->refuse(put->seq, "moving was refused", "/Docs/new name.txt").empty());
  }
  auto refused = refusedChanges(cache_);
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_TRUE(refused[0].canRetry);
  ASSERT_TRUE(retry(cache_, refused[0]).ok());
  EXPECT_EQ(queueRetried(cache_), QueuedBy::kThisProcess);
  auto pending = (*UploadQueue::open(cache_, /*readOnly=*/true))->pending();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].kind, ChangeKind::kMove);
  EXPECT_EQ(pending[0].identifier, "i:7");
  EXPECT_EQ(pending[0].fromFilename, "old.txt");
  EXPECT_EQ(pending[0].filename, "new name.txt");
}

TEST_F(RefusedChangesTest, AMountHoldingTheFolderTakesRetriedChangesWhenTold) {
  refuseNew("a.txt", "a");
  EXPECT_EQ(holderOf(cache_), std::nullopt);
  // As a running mount holds it.
  auto folder = CacheFolder::take(cache_);
  ASSERT_TRUE(folder.ok());
  EXPECT_EQ(holderOf(cache_), ::getpid());
  auto mount = UploadQueue::open(cache_);
  ASSERT_TRUE(retry(cache_, refusedChanges(cache_)[0]).ok());
  EXPECT_TRUE((*mount)->pending().empty());
  EXPECT_EQ((*mount)->adoptNewRecords(), 1u);  // what SIGUSR1 has it do
  ASSERT_EQ((*mount)->carriedOver().size(), 1u);
  EXPECT_EQ(readFile((*mount)->carriedOver()[0].data), "a");
}

TEST_F(RefusedChangesTest, AChangeHandedOverAsTheMountEndsIsShownAndItsFolderKept) {
  refuseNew("late.txt", "late bytes");
  {
    // A default cache folder, removed at the end when nothing waits in it.
    auto mount = ContentCache::open(cache_, /*removeOnClose=*/true);
    ASSERT_TRUE(mount.ok());
    ASSERT_TRUE(retry(cache_, refusedChanges(cache_)[0]).ok());
    auto report = readCache(cache_);
    ASSERT_EQ(report.waiting.size(), 1u);
    EXPECT_EQ(report.waiting[0].name, "late.txt");
  }
  auto pending = (*UploadQueue::open(cache_))->pending();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(readFile(pending[0].data), "late bytes");
}

TEST_F(RefusedChangesTest, DiscardKeepsTheBytesInAnOwnerOnlyRecoveryFolder) {
  refuseNew("report.txt", "my bytes");
  auto into = newRecoveryFolder();
  ASSERT_TRUE(into.ok()) << into.error();
  struct stat st {};
  ASSERT_EQ(::stat((tmp_.path() / "data" / "fileprovider" / "recovered").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  auto moved = discard(cache_, refusedChanges(cache_)[0], *into);
  ASSERT_TRUE(moved.ok());
  EXPECT_EQ(moved->parent_path(), *into);
  EXPECT_EQ(readFile(*moved), "my bytes");
  EXPECT_EQ(std::distance(fs::directory_iterator(*into), fs::directory_iterator()), 3);
  EXPECT_TRUE(refusedChanges(cache_).empty());
}

TEST_F(RefusedChangesTest, AnEntryKeptWithoutItsRecordCanBeDiscardedButNotRetried) {
  // As earlier versions kept a refused state: its contents and reason alone.
  fs::create_directories(cache_ / "unsent");
  std::ofstream(cache_ / "unsent" / "1-2-0-notes.txt") << "old bytes";
  std::ofstream(cache_ / "unsent" / "1-2-0-notes.txt.reason") << "writing was refused\n";
  auto refused = refusedChanges(cache_);
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_FALSE(refused[0].canRetry);
  EXPECT_TRUE(names(refused[0], "/Docs/notes.txt", "/mnt"));  // by its name alone
  EXPECT_FALSE(retry(cache_, refused[0]).ok());
  auto into = newRecoveryFolder();
  ASSERT_TRUE(into.ok());
  auto moved = discard(cache_, refused[0], *into);
  ASSERT_TRUE(moved.ok());
  EXPECT_EQ(readFile(*moved), "old bytes");
}

TEST_F(RefusedChangesTest, AWaitingChangeIsDiscardedWhole) {
  std::ofstream(tmp_.path() / "src") << "waiting bytes";
  {
    QueuedChange c;
    c.parent = "docs";
    c.filename = "w.txt";
    ASSERT_TRUE((*UploadQueue::open(cache_))->put(c, tmp_.path() / "src").ok());
  }
  auto waiting = waitingChanges(cache_);
  ASSERT_EQ(waiting.size(), 1u);
  auto into = newRecoveryFolder();
  ASSERT_TRUE(into.ok());
  auto moved = discard(cache_, waiting[0], *into);
  ASSERT_TRUE(moved.ok());
  EXPECT_EQ(readFile(*moved), "waiting bytes");
  EXPECT_TRUE(waitingChanges(cache_).empty());
  EXPECT_TRUE(fs::is_empty(cache_ / "queue"));
}

}  // namespace
}  // namespace fpctl::mount
