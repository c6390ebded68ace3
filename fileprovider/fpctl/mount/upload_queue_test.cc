#include "fileprovider/fpctl/mount/upload_queue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fileprovider/fpctl/mount/cache_report.h"
#include "fileprovider/fpctl/mount/content_cache.h"
#include "fileprovider/src/test_support.h"

namespace fpctl::mount {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;

class UploadQueueTest : public ::testing::Test {
 protected:
  fs::path file(const std::string& name, const std::string& data) {
    fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << data;
    return p;
  }
  static QueuedChange change(const std::string& id, const std::string& name) {
    QueuedChange c;
    c.identifier = id;
    c.parent = "root";
    c.filename = name;
    c.baseVersion = {"c1", "m1"};
    return c;
  }
  fp::testing::TempDir tmp_;
  fs::path dir_ = tmp_.path();
};

TEST_F(UploadQueueTest, EntriesSurviveAReopenInOrderAndOnlyTheLastStateStays) {
  {
    auto q = UploadQueue::open(dir_ / "cache");
    ASSERT_TRUE(q.ok());
    ASSERT_TRUE((*q)->put(change("", "new.txt"), file("a", "first")).ok());
    ASSERT_TRUE((*q)->put(change("i:1", "old.txt"), file("b", "draft")).ok());
    ASSERT_TRUE((*q)->put(change("i:1", "old.txt"), file("c", "final")).ok());
  }
  // An entry whose record was never written, a half-written record, and a
  // damaged one whose identifier is not hex (never read as another item).
  std::ofstream(dir_ / "cache" / "queue" / "99.data") << "orphan";
  std::ofstream(dir_ / "cache" / "queue" / "98.json") << "{\"seq\":";
  std::ofstream(dir_ / "cache" / "queue" / "97.data") << "damaged";
  std::ofstream(dir_ / "cache" / "queue" / "97.json")
      << R"({"seq":97,"identifier":"zz","parent":"","filename":"6e","contentVersion":"",)"
      << R"("metadataVersion":""})";
  auto q = UploadQueue::open(dir_ / "cache");
  ASSERT_TRUE(q.ok());
  auto pending = (*q)->pending();
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0].filename, "new.txt");
  EXPECT_TRUE(pending[0].identifier.empty());
  EXPECT_EQ(fp::testing::readFile(pending[0].data), "first");
  EXPECT_EQ(pending[1].identifier, "i:1");
  EXPECT_EQ(pending[1].baseVersion.contentVersion, "c1");
  EXPECT_EQ(fp::testing::readFile(pending[1].data), "final");
  EXPECT_FALSE(fs::exists(dir_ / "cache" / "queue" / "99.data"));
  EXPECT_FALSE(fs::exists(dir_ / "cache" / "queue" / "98.json"));
  EXPECT_FALSE(fs::exists(dir_ / "cache" / "queue" / "97.json"));
  // Set aside with what they held, not deleted.
  std::vector<std::string> kept;
  for (const auto& r : readCache(dir_ / "cache").refused)
    kept.push_back(fp::testing::readFile(r.path));
  EXPECT_THAT(kept, UnorderedElementsAre("orphan", "{\"seq\":", "damaged"));

  // A later entry is numbered after the ones an earlier run left.
  auto next = (*q)->put(change("i:2", "x"), file("d", "x"));
  ASSERT_TRUE(next.ok());
  EXPECT_GT(next->seq, pending[1].seq);
}

TEST_F(UploadQueueTest, RefusedEntriesMoveToUnsentWithTheirReason) {
  auto q = UploadQueue::open(dir_ / "cache");
  ASSERT_TRUE(q.ok());
  auto put = (*q)->put(change("", "bad:name"), file("a", "precious"));
  ASSERT_TRUE(put.ok());
  fs::path kept = (*q)->refuse(put->seq, "invalid name");
  ASSERT_FALSE(kept.empty());
  EXPECT_TRUE((*q)->pending().empty());
  auto report = readCache(dir_ / "cache");
  EXPECT_TRUE(report.waiting.empty());
  ASSERT_EQ(report.refused.size(), 1u);
  EXPECT_EQ(fp::testing::readFile(report.refused[0].path), "precious");
  EXPECT_EQ(report.refused[0].reason, "invalid name");
  EXPECT_GE(report.bytes, 8);
}

TEST_F(UploadQueueTest, AStagedEntryOutlivesItsProgramAndACopyCutShortIsNeverSent) {
  fs::path queue = dir_ / "cache" / "queue";
  std::uint64_t whole = 0, cut = 0, empty = 0;
  {
    auto q = UploadQueue::open(dir_ / "cache");
    ASSERT_TRUE(q.ok());
    auto a = (*q)->stage(change("", "whole.txt"), file("a", "all of it"));
    auto b = (*q)->stage(change("i:7", "cut.txt"), file("b", std::string(200000, 'b')));
    auto c = (*q)->stage(change("i:8", "empty.txt"), file("c", ""));
    ASSERT_TRUE(a.ok() && b.ok() && c.ok());
    whole = a->seq;
    cut = b->seq;
    empty = c->seq;
  }
  // The program ends while sending (nothing was synced); then the system
  // crashes before the staged copies reach the disk: one keeps a shorter
  // copy, one a copy of the right size with other bytes.
  fs::path cutData = queue / (std::to_string(cut) + ".data");
  fs::resize_file(cutData, 100000);
  fs::path emptyData = queue / (std::to_string(empty) + ".data");
  std::ofstream(emptyData, std::ios::binary | std::ios::trunc) << "";
  {
    std::fstream f(queue / (std::to_string(whole) + ".data"),
                   std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(0);
    f << "ALL";
  }
  auto q = UploadQueue::open(dir_ / "cache");
  ASSERT_TRUE(q.ok());
  auto pending = (*q)->pending();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].seq, empty);  // an empty copy is whole
  auto report = readCache(dir_ / "cache");
  ASSERT_EQ(report.refused.size(), 2u);
  for (const auto& r : report.refused) {
    EXPECT_THAT(r.reason, HasSubstr("incomplete"));
  }
  EXPECT_FALSE(fs::exists(queue / (std::to_string(cut) + ".json")));
  EXPECT_FALSE(fs::exists(queue / (std::to_string(whole) + ".json")));
}

TEST_F(UploadQueueTest, OlderStatesGoOnlyOnceANewerOneIsDurableOrSent) {
  auto q = UploadQueue::open(dir_ / "cache");
  ASSERT_TRUE(q.ok());
  auto first = (*q)->put(change("i:1", "f.txt"), file("a", "first"));
  auto second = (*q)->stage(change("i:1", "f.txt"), file("b", "second"));
  ASSERT_TRUE(first.ok() && second.ok());
  // Until the newer state is durable, the older one is what a crash keeps.
  EXPECT_TRUE((*q)->contains(first->seq));
  EXPECT_TRUE((*q)->makeDurable(second->seq).ok());
  EXPECT_FALSE((*q)->contains(first->seq));
  EXPECT_FALSE(fs::exists(first->data));
  EXPECT_EQ(fp::testing::readFile(second->data), "second");

  // Sent at once: the older states of the file go with it, other files stay.
  auto third = (*q)->stage(change("i:1", "f.txt"), file("c", "third"));
  auto other = (*q)->put(change("i:2", "g.txt"), file("d", "other"));
  ASSERT_TRUE(third.ok() && other.ok());
  (*q)->remove(third->seq);
  auto pending = (*q)->pending();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].identifier, "i:2");
  EXPECT_TRUE((*q)->makeDurable(third->seq).ok());  // no longer queued: nothing to do
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir_ / "cache" / "queue")) {
    left.push_back(e.path().filename().string());
  }
  std::sort(left.begin(), left.end());
  EXPECT_THAT(left, ElementsAre(std::to_string(other->seq) + ".data",
                                std::to_string(other->seq) + ".json"));

  // A state being sent is never dropped under its sending, by a newer state
  // made durable or sent; it goes once its sending let go of it.
  auto sending = (*q)->stage(change("", "HEAD.lock"), file("e", "v1"), /*held=*/true);
  auto newer = (*q)->stage(change("", "HEAD.lock"), file("f", "v2"));
  ASSERT_TRUE(sending.ok() && newer.ok());
  EXPECT_FALSE((*q)->tryHold(sending->seq));  // held already
  EXPECT_TRUE((*q)->makeDurable(newer->seq).ok());
  EXPECT_TRUE((*q)->tryHold(newer->seq));
  (*q)->letGo(newer->seq);
  (*q)->remove(newer->seq);
  EXPECT_EQ(fp::testing::readFile(sending->data), "v1");
  (*q)->letGo(sending->seq);
  EXPECT_TRUE((*q)->tryHold(sending->seq));
  (*q)->letGo(sending->seq);
  (*q)->remove(sending->seq);
  EXPECT_FALSE((*q)->tryHold(sending->seq));  // not queued
}

TEST_F(UploadQueueTest, FetchedFilesAreCopiedOnlyWhenRegularAndBounded) {
  fs::path out = dir_ / "out";
  fp::ScopedFD dest(::open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  ASSERT_TRUE(dest);
  fs::path fifo = dir_ / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    fs::path source;
    std::int64_t limit;
    int expected;
  };
  const Case cases[] = {
      {file("small", "12345"), 100, 0}, {fifo, 100, EINVAL},  // never waits for a writer
      {"/dev/zero", 100, EINVAL},       {file("large", std::string(1000, 'x')), 100, EFBIG},
      {dir_ / "missing", 100, ENOENT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source.string());
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(errnoOf(copyFetchedInto(c.source, dest.get(), c.limit, 0)), c.expected);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  }
  // A disk that would keep less than the reserve free is not filled.
  EXPECT_EQ(errnoOf(copyFetchedInto(file("any", "abc"), dest.get(), 100, INT64_MAX / 2)), ENOSPC);
}

// Moves and removals are kept durably in order with the states; a move or
// removal replaces the item's move just before it (never one with a change
// between them), a removal replaces the item's states, and a damaged edit
// record is set aside, never read as another change.
TEST_F(UploadQueueTest, EditsSurviveAReopenAndReplaceOnlyWhatTheyMakeNeedless) {
  auto edit = [](ChangeKind kind, const std::string& id, const std::string& parent,
                 const std::string& name) {
    QueuedChange c = change(id, name);
    c.kind = kind;
    c.parent = parent;
    c.fields = fp::field::kFilename;
    c.item.isFolder = true;
    c.item.size = 7;
    return c;
  };
  {
    auto q = UploadQueue::open(dir_ / "cache");
    ASSERT_TRUE(q.ok());
    ASSERT_TRUE((*q)->put(change("i:1", "a.txt"), file("a", "state of 1")).ok());
    ASSERT_TRUE((*q)->putEdit(edit(ChangeKind::kMove, "i:1", "f", "b.txt")).ok());
    ASSERT_TRUE((*q)->putEdit(edit(ChangeKind::kMove, "i:2", "root", "c")).ok());
    ASSERT_TRUE((*q)->putEdit(edit(ChangeKind::kMove, "i:2", "g", "d")).ok());
    ASSERT_TRUE((*q)->put(change("i:3", "e.txt"), file("b", "state of 3")).ok());
    ASSERT_TRUE((*q)->putEdit(edit(ChangeKind::kMove, "i:3", "root", "f.txt")).ok());
    ASSERT_TRUE((*q)->putEdit(edit(ChangeKind::kRemove, "i:3", "root", "f.txt")).ok());
    ASSERT_TRUE((*q)->putEdit(edit(ChangeKind::kMove, "i:4", "root", "x")).ok());
    ASSERT_TRUE((*q)->put(change("", "h.txt"), file("c", "a new file")).ok());
    ASSERT_TRUE((*q)->putEdit(edit(ChangeKind::kMove, "i:4", "root", "y")).ok());
    // A state of i:4 was sent meanwhile: its moves show what the service has now.
    ItemState fresh;
    fresh.identifier = "i:4";
    fresh.parent = "elsewhere";
    fresh.version = {"c9", "m9"};
    fresh.size = 9;
    (*q)->refresh(fresh);
  }
  std::ofstream(dir_ / "cache" / "queue" / "90.json")
      << R"({"seq":90,"identifier":"","parent":"","filename":"","contentVersion":"",)"
      << R"("metadataVersion":"","kind":"move"})";
  auto q = UploadQueue::open(dir_ / "cache");
  ASSERT_TRUE(q.ok());
  std::vector<std::string> seen;
  for (const auto& c : (*q)->pending()) {
    seen.push_back(std::to_string(static_cast<int>(c.kind)) + " " + c.identifier + " " + c.parent +
                   "/" + c.filename);
  }
  EXPECT_THAT(seen,
              ElementsAre("0 i:1 root/a.txt", "1 i:1 f/b.txt", "1 i:2 g/d", "2 i:3 root/f.txt",
                          "1 i:4 root/x", "0  root/h.txt", "1 i:4 root/y"));
  auto edits = (*q)->pendingEdits();
  ASSERT_EQ(edits.size(), 5u);
  for (const auto& e : {edits[3], edits[4]}) {
    EXPECT_EQ(e.item.version.contentVersion, "c9");
    EXPECT_EQ(e.item.size, 9);
    EXPECT_NE(e.item.parent, "elsewhere");
  }
  EXPECT_TRUE(edits[0].item.isFolder);
  EXPECT_EQ(edits[0].item.size, 7);
  EXPECT_EQ(edits[0].fields, fp::field::kFilename);
  EXPECT_TRUE(fs::is_empty(dir_ / "cache" / "queue") == false);
  EXPECT_FALSE(fs::exists(dir_ / "cache" / "queue" / "90.json"));
  bool keptAside = false;
  for (const auto& e : fs::directory_iterator(dir_ / "cache" / "unsent")) {
    keptAside |= e.path().filename().string().find("queue-entry-90") != std::string::npos;
  }
  EXPECT_TRUE(keptAside);
  // A refused edit leaves its record, with the reason, in unsent/.
  fs::path kept = (*q)->refuse(edits[1].seq, "moving was refused");
  ASSERT_FALSE(kept.empty());
  EXPECT_THAT(fp::testing::readFile(kept.string() + ".reason"), HasSubstr("moving was refused"));
  EXPECT_EQ((*q)->pendingEdits().size(), 4u);
}

// A folder made here and renamed while its making waits is made at its new
// place, unless a later entry moves a folder into it (or into a folder made in
// it): made there in its old turn, the service would be asked to move that
// folder into itself. Nor when a later entry moves the folder itself (that
// move would then take it back), nor when a later removal may free its new
// name.
TEST_F(UploadQueueTest, AWaitingFolderIsMadeAtItsNewPlaceOnlyWhenNothingLaterMovesAFolderIntoIt) {
  auto q = UploadQueue::open(dir_ / "cache");
  ASSERT_TRUE(q.ok());
  auto edit = [&](ChangeKind kind, const std::string& id, const std::string& parent, bool folder) {
    QueuedChange c = change(id, "x");
    c.kind = kind;
    c.parent = parent;
    c.item.isFolder = folder;
    auto put = (*q)->putEdit(c);
    EXPECT_TRUE(put.ok());
    return put.ok() ? put->seq : 0;
  };
  const std::string a = newLocalIdentifier(), b = newLocalIdentifier(), c = newLocalIdentifier();
  const auto makeA = edit(ChangeKind::kMakeFolder, a, "root", true);
  edit(ChangeKind::kMakeFolder, b, a, true);
  edit(ChangeKind::kMove, "i:file", b, false);  // a file below it: no matter
  EXPECT_TRUE((*q)->retarget(makeA, "f:elsewhere", "a2"));
  const auto makeC = edit(ChangeKind::kMakeFolder, c, "root", true);
  edit(ChangeKind::kMakeFolder, newLocalIdentifier(), c, true);
  edit(ChangeKind::kMove, "f:folder", b, true);  // below a, not below c
  EXPECT_TRUE((*q)->retarget(makeC, "f:elsewhere", "c2"));
  EXPECT_FALSE((*q)->retarget(makeA, "f:folder", "a3"));
  EXPECT_EQ((*q)->entry(makeA)->filename, "a2");
  const auto makeD = edit(ChangeKind::kMakeFolder, newLocalIdentifier(), "root", true);
  edit(ChangeKind::kMove, (*q)->entry(makeD)->identifier, "f:elsewhere", true);
  EXPECT_FALSE((*q)->retarget(makeD, "f:third", "d2"));
  // Nor where a later removal or move frees the name.
  const auto makeE = edit(ChangeKind::kMakeFolder, newLocalIdentifier(), "root", true);
  edit(ChangeKind::kRemove, "f:old-x", "f:third", true);
  QueuedChange away = change("f:other", "y");
  away.kind = ChangeKind::kMove;
  away.item.isFolder = true;
  away.fromParent = "f:fourth";
  away.fromFilename = "x";
  ASSERT_TRUE((*q)->putEdit(away).ok());
  EXPECT_TRUE((*q)->retarget(makeE, "f:third", "free"));
  EXPECT_FALSE((*q)->retarget(makeE, "f:third", "x"));
  EXPECT_FALSE((*q)->retarget(makeE, "f:fourth", "x"));
  auto reopened = UploadQueue::open(dir_ / "cache", /*readOnly=*/true);
  ASSERT_TRUE(reopened.ok());
  EXPECT_EQ((*reopened)->pendingEdits().back().fromParent, "f:fourth");
}

}  // namespace
}  // namespace fpctl::mount
