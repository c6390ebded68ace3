#include "fileprovider/fpctl/mount/upload_queue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fileprovider/fpctl/mount/content_cache.h"

namespace fpctl::mount {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class UploadQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "queue-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
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
  fs::path dir_;
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
  EXPECT_EQ(slurp(pending[0].data), "first");
  EXPECT_EQ(pending[1].identifier, "i:1");
  EXPECT_EQ(pending[1].baseVersion.contentVersion, "c1");
  EXPECT_EQ(slurp(pending[1].data), "final");
  EXPECT_FALSE(fs::exists(dir_ / "cache" / "queue" / "99.data"));
  EXPECT_FALSE(fs::exists(dir_ / "cache" / "queue" / "98.json"));
  EXPECT_FALSE(fs::exists(dir_ / "cache" / "queue" / "97.json"));

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
  EXPECT_EQ(slurp(report.refused[0].path), "precious");
  EXPECT_EQ(report.refused[0].reason, "invalid name");
  EXPECT_GE(report.bytes, 8);
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
    EXPECT_EQ(copyFetchedInto(c.source, dest.get(), c.limit, 0), c.expected);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  }
  // A disk that would keep less than the reserve free is not filled.
  EXPECT_EQ(copyFetchedInto(file("any", "abc"), dest.get(), 100, INT64_MAX / 2), ENOSPC);
}

}  // namespace
}  // namespace fpctl::mount
