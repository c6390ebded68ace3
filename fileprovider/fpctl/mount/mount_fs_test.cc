#include "fileprovider/fpctl/mount/mount_fs.h"

#include <fcntl.h>
#include <linux/fs.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fileprovider/fpctl/mount/cache_report.h"
#include "fileprovider/fpctl/mount/change_poller.h"
#include "fileprovider/fpctl/mount/conflicts.h"
#include "fileprovider/fpctl/mount/name_codec.h"
#include "fileprovider/fpctl/requests/in_memory_extension_for_test.h"
#include "fileprovider/log.h"
#include "fileprovider/src/test_support.h"

namespace fpctl::mount {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::InMemoryExtension;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::UnorderedElementsAre;

const std::string kRoot(fp::kRootContainer);

class RecordingNotifier final : public KernelNotifier {
 public:
  void forgetEntry(Ino parent, const std::string& name) override {
    std::lock_guard lock(mu_);
    entries.emplace_back(parent, name);
  }
  void forgetInode(Ino ino, bool contents) override {
    std::lock_guard lock(mu_);
    inodes.emplace_back(ino, contents);
  }
  void clear() {
    std::lock_guard lock(mu_);
    entries.clear();
    inodes.clear();
  }
  std::mutex mu_;
  std::vector<std::pair<Ino, std::string>> entries;
  std::vector<std::pair<Ino, bool>> inodes;
};

class MountFsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fp::Log::setLogFile(dir_ / "log");
    ext_ = std::make_shared<InMemoryExtension>(dir_ / "host");
    docs_ = ext_->addFolder(kRoot, "Docs");
    notes_ = ext_->addFile(docs_, "notes.txt", "hello");
    locked_ = ext_->addFile(docs_, "locked.csv", "a,b", /*locked=*/true);
    auto cache = ContentCache::open(dir_ / "cache", false);
    ASSERT_TRUE(cache.ok());
    cache_ = std::move(*cache);
    fs_ = std::make_unique<MountFs>(ext_, *cache_, notifier_, 1000, 1000);
    ASSERT_TRUE(fs_->start().ok());
  }
  void TearDown() override {
    fs_.reset();
    cache_.reset();
    ext_.reset();
    fp::Log::setLogFile(std::nullopt);
  }

  // ---- verbs ----
  Ino lookup(const std::string& path) {
    Ino ino = kRootIno;
    std::stringstream parts(path);
    for (std::string part; std::getline(parts, part, '/');) {
      auto e = fs_->lookup(ino, part);
      if (!e) return 0;
      ino = e->ino;
    }
    return ino;
  }
  struct stat attr(const std::string& path) {
    auto a = fs_->getattr(lookup(path));
    EXPECT_TRUE(a.ok()) << path;
    if (!a.ok()) return {};
    return *a;
  }
  std::vector<std::string> names(const std::string& path = "") {
    auto dh = fs_->opendir(path.empty() ? kRootIno : lookup(path));
    EXPECT_TRUE(dh.ok());
    std::vector<std::string> out;
    if (!dh.ok()) return out;
    EXPECT_EQ(errnoOf(fs_->readdir(*dh, 0, false,
                                   [&](const DirEntry& e, off_t) {
                                     if (e.name != "." && e.name != "..") out.push_back(e.name);
                                     return true;
                                   })),
              0);
    fs_->releasedir(*dh);
    return out;
  }
  ErrnoOr<std::string> read(const std::string& path) {
    auto h = fs_->open(lookup(path), O_RDONLY);
    if (!h) return fp::fail(h.error());
    std::string out(1 << 16, '\0');
    auto n = fs_->read(h->fh, out.data(), out.size(), 0);
    fs_->release(h->fh);
    if (!n) return fp::fail(n.error());
    out.resize(*n);
    return out;
  }
  // From now on the extension's writes fail as with an absent host while
  // away_ is set (reads work, from its index), and as `also` says otherwise.
  void awayWhileSet(InMemoryExtension::Failure also = nullptr) {
    ext_->setFailure([this, also](const InMemoryExtension::Call& c) -> std::optional<fp::Error> {
      if (also) {
        if (auto e = also(c)) return e;
      }
      if (!away_ || c.op == "fetch" || c.op == "list" || c.op == "item") return std::nullopt;
      return fp::Error::fileProvider(fp::FileProviderErrorCode::kServerUnreachable);
    });
  }
  // Sends the queue until it is empty, trying for 5 s at most.
  void drainQueue() {
    for (int i = 0; i < 100 && fs_->sendQueue() > 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  // Creates `name` in `folder` with `data` and closes it; the result of the close.
  int writeNew(const std::string& folder, const std::string& name, const std::string& data) {
    auto c = fs_->create(folder.empty() ? kRootIno : lookup(folder), name, O_WRONLY | O_CREAT);
    if (!c) return c.error().value;
    auto w = fs_->write(c->second.fh, data.data(), data.size(), 0);
    EXPECT_TRUE(w.ok());
    int e = errnoOf(fs_->flush(c->second.fh));
    fs_->release(c->second.fh);
    return e;
  }
  int overwrite(const std::string& path, const std::string& data, int flags) {
    auto h = fs_->open(lookup(path), flags);
    if (!h) return h.error().value;
    EXPECT_TRUE(fs_->write(h->fh, data.data(), data.size(), 0).ok());
    int e = errnoOf(fs_->flush(h->fh));
    fs_->release(h->fh);
    return e;
  }
  int rename(const std::string& from, const std::string& to, unsigned flags = 0) {
    auto split = [&](const std::string& p) {
      auto slash = p.rfind('/');
      if (slash == std::string::npos) return std::pair(kRootIno, p);
      return std::pair(lookup(p.substr(0, slash)), p.substr(slash + 1));
    };
    auto [fp, fn] = split(from);
    auto [tp, tn] = split(to);
    return errnoOf(fs_->rename(fp, fn, tp, tn, flags));
  }
  std::string log() { return fp::testing::readFile(dir_ / "log"); }
  // A new MountFs over the same cache folder, held to `bound`.
  void remount(CacheBound bound) {
    fs_.reset();
    cache_.reset();
    auto cache = ContentCache::open(dir_ / "cache", false, bound);
    ASSERT_TRUE(cache.ok());
    cache_ = std::move(*cache);
    fs_ = std::make_unique<MountFs>(ext_, *cache_, notifier_, 1000, 1000);
    ASSERT_TRUE(fs_->start().ok());
  }
  // Reads all of an open file through the mount, in pieces as FUSE asks.
  std::string readAll(std::uint64_t fh) {
    std::string out;
    std::vector<char> buf(128 << 10);
    for (;;) {
      auto n = fs_->read(fh, buf.data(), buf.size(), static_cast<off_t>(out.size()));
      EXPECT_TRUE(n.ok());
      if (!n || *n == 0) return out;
      out.append(buf.data(), *n);
    }
  }
  static bool waitFor(const std::function<bool()>& condition) {
    for (int i = 0; i < 500; ++i) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  int changeCalls() {
    return static_cast<int>(ext_->calls("create").size() + ext_->calls("modify").size() +
                            ext_->calls("delete").size());
  }

  fp::testing::TempDir tmp_;
  fs::path dir_ = tmp_.path();
  std::atomic<bool> away_{false};  // see awayWhileSet(); outlives the extension's use of it
  std::shared_ptr<InMemoryExtension> ext_;
  RecordingNotifier notifier_;
  std::unique_ptr<ContentCache> cache_;
  std::unique_ptr<MountFs> fs_;
  fp::ItemIdentifier docs_, notes_, locked_;
};

// ---------------------------------------------------------------- reading

TEST_F(MountFsTest, AttributesComeFromTheItems) {
  struct stat root = *fs_->getattr(kRootIno);
  EXPECT_EQ(root.st_mode, S_IFDIR | 0755u);
  struct stat docs = attr("Docs");
  EXPECT_EQ(docs.st_mode, S_IFDIR | 0755u);
  EXPECT_EQ(docs.st_uid, 1000u);
  struct stat notes = attr("Docs/notes.txt");
  EXPECT_EQ(notes.st_mode, S_IFREG | 0644u);
  EXPECT_EQ(notes.st_size, 5);
  EXPECT_EQ(notes.st_mtim.tv_sec, 1700000001);
  EXPECT_EQ(attr("Docs/locked.csv").st_mode, S_IFREG | 0444u);
  EXPECT_THAT(names("Docs"), ElementsAre("locked.csv", "notes.txt"));
  EXPECT_EQ(fs_->lookup(lookup("Docs"), "missing").error().value, ENOENT);
  EXPECT_EQ(fs_->lookup(lookup("Docs/notes.txt"), "x").error().value, ENOTDIR);
}

TEST_F(MountFsTest, NamesThatCannotBeFileNamesAreShownUnderTheirSubstitute) {
  auto slash = ext_->addFile(kRoot, "a/b", "slash");
  auto dot = ext_->addFile(kRoot, ".", "dot");
  auto dotdot = ext_->addFolder(kRoot, "..");
  ext_->addFile(kRoot, "twin", "first");
  ext_->addFile(kRoot, "twin", "second");
  std::set<std::string> shown;
  for (const auto& n : names()) shown.insert(n);
  EXPECT_TRUE(shown.count(posixName("a/b"))) << posixName("a/b");
  EXPECT_TRUE(shown.count(posixName(".")));
  EXPECT_TRUE(shown.count(posixName("..")));
  // Two items of one name: both shown, the second with a number.
  EXPECT_TRUE(shown.count("twin"));
  EXPECT_TRUE(shown.count("twin (2)"));
  EXPECT_EQ(*read(posixName("a/b")), "slash");
  EXPECT_EQ(*read(posixName(".")), "dot");
  EXPECT_EQ(attr(posixName("..")).st_mode & S_IFMT, static_cast<mode_t>(S_IFDIR));
  // A name typed into the mount reaches the extension as the display name.
  ASSERT_EQ(writeNew("", posixName("x/y"), "new"), 0);
  EXPECT_EQ(ext_->calls("create").back().filename, "x/y");
  (void)slash, (void)dot, (void)dotdot;
}

TEST_F(MountFsTest, LongNamesAreShownShortenedAndHideNothing) {
  auto folder = ext_->addFolder(kRoot, "Long");
  const std::string longName = std::string(300, 'l') + ".txt";
  const std::string hugeName = std::string(4000, 'h');
  ext_->addFile(folder, "a.txt", "first");
  ext_->addFile(folder, longName, "long");
  ext_->addFile(folder, hugeName, "huge");
  ext_->addFile(folder, "z.txt", "last");
  auto shown = names("Long");
  ASSERT_EQ(shown.size(), 4u);
  for (const auto& n : shown) EXPECT_LE(n.size(), kMaxShownName) << n;
  EXPECT_THAT(shown, ::testing::Contains("a.txt"));
  EXPECT_THAT(shown, ::testing::Contains("z.txt"));
  EXPECT_EQ(*read("Long/" + shortenedName(longName)), "long");
  EXPECT_EQ(*read("Long/" + shortenedName(hugeName)), "huge");
  // Deleting through the shortened name deletes that item.
  EXPECT_EQ(errnoOf(fs_->unlink(lookup("Long"), shortenedName(longName))), 0);
  EXPECT_EQ(ext_->childNamed(folder, longName), "");
}

TEST_F(MountFsTest, NamesLongerThanTheKernelTakesAreTooLongForEveryOperation) {
  const std::string tooLong(256, 'n');  // one byte more than the kernel takes
  const Ino docs = lookup("Docs");
  auto err = [](const auto& result) { return result ? 0 : result.error().value; };
  const std::vector<std::pair<std::string, int>> results = {
      {"lookup", err(fs_->lookup(docs, tooLong))},
      {"create", err(fs_->create(docs, tooLong, O_WRONLY | O_CREAT))},
      {"mkdir", err(fs_->mkdir(docs, tooLong))},
      {"unlink", errnoOf(fs_->unlink(docs, tooLong))},
      {"rmdir", errnoOf(fs_->rmdir(docs, tooLong))},
      {"rename to", errnoOf(fs_->rename(docs, "notes.txt", docs, tooLong, 0))},
      {"rename from", errnoOf(fs_->rename(docs, tooLong, docs, "other", 0))},
  };
  for (const auto& [op, err] : results) EXPECT_EQ(err, ENAMETOOLONG) << op;
  EXPECT_TRUE(ext_->calls("create").empty());
  EXPECT_TRUE(ext_->calls("modify").empty());
  EXPECT_THAT(names("Docs"), ::testing::Contains("notes.txt"));  // the rename did nothing
}

TEST_F(MountFsTest, ListingsAreCachedUntilTheIndexChanges) {
  names("Docs");
  lookup("Docs/notes.txt");
  names("Docs");
  EXPECT_EQ(ext_->listings(docs_), 1);

  fs_->checkForChanges();  // nothing changed
  names("Docs");
  EXPECT_EQ(ext_->listings(docs_), 1);
  EXPECT_THAT(notifier_.entries, IsEmpty());

  Ino notes = lookup("Docs/notes.txt");
  ext_->hostWrite(notes_, "hello, world");
  ext_->hostRemove(locked_);
  ext_->addFile(docs_, "new.txt", "n");
  fs_->checkForChanges();
  EXPECT_EQ(ext_->listings(docs_), 2);  // read again at once: the kernel still uses it
  EXPECT_THAT(notifier_.entries, ElementsAre(std::pair(lookup("Docs"), std::string("locked.csv"))));
  EXPECT_THAT(notifier_.inodes, ::testing::Contains(std::pair(notes, true)));
  EXPECT_THAT(names("Docs"), ElementsAre("new.txt", "notes.txt"));
  EXPECT_EQ(attr("Docs/notes.txt").st_size, 12);

  // The new anchor was taken: the next check finds nothing.
  notifier_.clear();
  fs_->checkForChanges();
  EXPECT_EQ(ext_->listings(docs_), 2);
  EXPECT_THAT(notifier_.inodes, IsEmpty());
}

TEST_F(MountFsTest, TheChangeCheckWaitsWhileTheMountWritesButNotForever) {
  using std::chrono::milliseconds;
  auto docs = [&] {
    auto all = names("Docs");
    return std::set<std::string>(all.begin(), all.end());
  };
  docs();
  const int before = ext_->listings(docs_);
  ChangePoller poller(*fs_, milliseconds(50), milliseconds(400));
  // Each file written changes the index; checked every 50 ms, the folder
  // would be listed again about 24 times while this goes on.
  auto start = std::chrono::steady_clock::now();
  for (int n = 0; std::chrono::steady_clock::now() - start < milliseconds(1200); ++n) {
    ASSERT_EQ(writeNew("Docs", "burst-" + std::to_string(n) + ".txt", "x"), 0);
    std::this_thread::sleep_for(milliseconds(2));
  }
  const int during = ext_->listings(docs_) - before;
  EXPECT_GE(during, 1);  // the wait has an end
  EXPECT_LE(during, 8);

  // The writing paused: a change made elsewhere shows within a few intervals.
  ext_->addFile(docs_, "elsewhere.txt", "e");
  auto shown = std::chrono::steady_clock::now() + milliseconds(1000);
  while (!docs().count("elsewhere.txt") && std::chrono::steady_clock::now() < shown) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  EXPECT_TRUE(docs().count("elsewhere.txt"));
  poller.stop();
}

TEST_F(MountFsTest, ContentsAreFetchedOncePerVersion) {
  Ino notes = lookup("Docs/notes.txt");
  auto first = fs_->open(notes, O_RDONLY);
  ASSERT_TRUE(first.ok());
  EXPECT_FALSE(first->keepCache);
  fs_->release(first->fh);
  EXPECT_EQ(*read("Docs/notes.txt"), "hello");
  auto again = fs_->open(notes, O_RDONLY);
  EXPECT_TRUE(again->keepCache);
  fs_->release(again->fh);
  EXPECT_EQ(ext_->calls("fetch").size(), 1u);

  ext_->hostWrite(notes_, "v2");
  fs_->checkForChanges();
  auto fresh = fs_->open(notes, O_RDONLY);
  EXPECT_FALSE(fresh->keepCache);
  fs_->release(fresh->fh);
  EXPECT_EQ(*read("Docs/notes.txt"), "v2");
  EXPECT_EQ(ext_->calls("fetch").size(), 2u);
}

TEST_F(MountFsTest, ConcurrentOpenersShareOneFetch) {
  Ino notes = lookup("Docs/notes.txt");
  ext_->closeGate("fetch");
  std::vector<std::thread> readers;
  std::atomic<int> ok{0};
  for (int i = 0; i < 8; ++i) {
    readers.emplace_back([&] {
      auto h = fs_->open(notes, O_RDONLY);
      if (!h) return;
      char buf[16];
      auto n = fs_->read(h->fh, buf, sizeof buf, 0);
      if (n && std::string(buf, *n) == "hello") ++ok;
      fs_->release(h->fh);
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ext_->openGate();
  for (auto& t : readers) t.join();
  EXPECT_EQ(ok.load(), 8);
  EXPECT_EQ(ext_->calls("fetch").size(), 1u);
}

TEST_F(MountFsTest, InterruptedRequestsStopWaitingForTheExtension) {
  // A host that never answers a fetch: both the opener that fetches and one
  // that waits for the same fetch end with EINTR once interrupted.
  Ino notes = lookup("Docs/notes.txt");
  ext_->closeGate("fetch");
  fp::Progress first(1), second(1);
  std::atomic<int> firstResult{0}, secondResult{0};
  std::thread a([&] {
    auto h = fs_->open(notes, O_RDONLY, &first);
    firstResult = h ? 0 : h.error().value;
    if (h) fs_->release(h->fh);
  });
  ASSERT_TRUE(waitFor([&] { return ext_->waiting() == 1; }));
  std::thread b([&] {
    auto h = fs_->open(notes, O_RDONLY, &second);
    secondResult = h ? 0 : h.error().value;
    if (h) fs_->release(h->fh);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  second.cancel();
  b.join();
  EXPECT_EQ(secondResult, EINTR);
  first.cancel();
  a.join();
  EXPECT_EQ(firstResult, EINTR);
  ext_->openGate();
  EXPECT_EQ(*read("Docs/notes.txt"), "hello");  // nothing stuck behind them
}

TEST_F(MountFsTest, HostUnreachableFailsTheFetchButNotTheListing) {
  ext_->setFailure([](const InMemoryExtension::Call& c) -> std::optional<fp::Error> {
    if (c.op != "fetch") return std::nullopt;
    return fp::Error::fileProvider(fp::FileProviderErrorCode::kServerUnreachable);
  });
  EXPECT_EQ(read("Docs/notes.txt").error().value, EIO);
  EXPECT_THAT(names("Docs"), ElementsAre("locked.csv", "notes.txt"));
  EXPECT_THAT(log(), HasSubstr("fetch failed for notes.txt (" + notes_ + ")"));
}

// ---------------------------------------------------------------- writing

TEST_F(MountFsTest, NewFileIsCreatedWithItsContentsWhenClosed) {
  auto c = fs_->create(lookup("Docs"), "report.txt", O_WRONLY | O_CREAT);
  ASSERT_TRUE(c.ok());
  ASSERT_TRUE(fs_->write(c->second.fh, "abc", 3, 0).ok());
  ASSERT_TRUE(fs_->write(c->second.fh, "def", 3, 3).ok());
  EXPECT_THAT(names("Docs"), ElementsAre("locked.csv", "notes.txt", "report.txt"));
  EXPECT_EQ(attr("Docs/report.txt").st_size, 6);
  EXPECT_TRUE(ext_->calls("create").empty());  // nothing is sent before the close

  EXPECT_EQ(errnoOf(fs_->flush(c->second.fh)), 0);
  fs_->release(c->second.fh);
  auto created = ext_->calls("create");
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(created[0].parent, docs_);
  EXPECT_EQ(created[0].filename, "report.txt");
  EXPECT_FALSE(created[0].folder);
  EXPECT_EQ(created[0].contents, "abcdef");
  EXPECT_TRUE(ext_->calls("modify").empty());
  EXPECT_EQ(*read("Docs/report.txt"), "abcdef");
  EXPECT_TRUE(ext_->calls("fetch").empty());  // the sent copy serves reads

  // An empty new file is created too (touch).
  ASSERT_EQ(writeNew("Docs", "empty", ""), 0);
  EXPECT_EQ(ext_->calls("create").back().contents, "");
}

TEST_F(MountFsTest, ExistingFileOpenedForWritingStartsFromItsContents) {
  ASSERT_EQ(overwrite("Docs/notes.txt", "J", O_WRONLY), 0);
  ASSERT_EQ(ext_->calls("modify").size(), 1u);
  EXPECT_EQ(ext_->calls("modify")[0].fields, fp::field::kContents);
  EXPECT_EQ(ext_->calls("modify")[0].contents, "Jello");

  ASSERT_EQ(overwrite("Docs/notes.txt", "new", O_WRONLY | O_TRUNC), 0);
  EXPECT_EQ(ext_->calls("modify").back().contents, "new");
  EXPECT_EQ(ext_->entry(notes_)->data, "new");

  // Opened for writing and closed unchanged: nothing to send.
  auto h = fs_->open(lookup("Docs/notes.txt"), O_RDWR);
  EXPECT_EQ(errnoOf(fs_->flush(h->fh)), 0);
  fs_->release(h->fh);
  EXPECT_EQ(ext_->calls("modify").size(), 2u);
}

TEST_F(MountFsTest, LockedFileRefusesEveryChange) {
  Ino locked = lookup("Docs/locked.csv");
  EXPECT_EQ(fs_->open(locked, O_WRONLY).error().value, EACCES);
  EXPECT_EQ(fs_->open(locked, O_RDWR | O_TRUNC).error().value, EACCES);
  EXPECT_EQ(fs_->setattr(locked, 0, std::nullopt).error().value, EACCES);
  EXPECT_EQ(errnoOf(fs_->access(locked, W_OK)), EACCES);
  EXPECT_EQ(errnoOf(fs_->unlink(lookup("Docs"), "locked.csv")), EACCES);
  EXPECT_EQ(rename("Docs/locked.csv", "Docs/other.csv"), EACCES);
  EXPECT_EQ(rename("Docs/notes.txt", "Docs/locked.csv"), EACCES);
  EXPECT_EQ(changeCalls(), 0);
  EXPECT_EQ(*read("Docs/locked.csv"), "a,b");
  EXPECT_THAT(log(), HasSubstr("write failed for locked.csv (" + locked_ + ")"));
}

TEST_F(MountFsTest, ModeOwnerAndTimesAreAcceptedAndNotSent) {
  auto a = fs_->setattr(lookup("Docs/notes.txt"), std::nullopt, std::nullopt);
  ASSERT_TRUE(a.ok());
  EXPECT_EQ(a->st_mode, S_IFREG | 0644u);
  EXPECT_EQ(changeCalls(), 0);
}

TEST_F(MountFsTest, TruncatingAClosedFileSendsItAtOnce) {
  auto a = fs_->setattr(lookup("Docs/notes.txt"), 2, std::nullopt);
  ASSERT_TRUE(a.ok());
  EXPECT_EQ(a->st_size, 2);
  EXPECT_EQ(ext_->entry(notes_)->data, "he");
}

TEST_F(MountFsTest, MkdirCreatesAFolder) {
  auto e = fs_->mkdir(kRootIno, "Music");
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(e->attr.st_mode & S_IFMT, static_cast<mode_t>(S_IFDIR));
  auto c = ext_->calls("create");
  ASSERT_EQ(c.size(), 1u);
  EXPECT_TRUE(c[0].folder);
  EXPECT_EQ(c[0].parent, kRoot);
  EXPECT_EQ(fs_->mkdir(kRootIno, "Music").error().value, EEXIST);
  ASSERT_EQ(writeNew("Music", "a.txt", "x"), 0);
  EXPECT_EQ(ext_->childNames(ext_->childNamed(kRoot, "Music")), std::vector<std::string>{"a.txt"});
}

TEST_F(MountFsTest, AnswerBeforeTheIndexShowsTheItemKeepsWhatWasAsked) {
  // The extension answers with its defaults (the root's name and kind) until its
  // index shows the new item; the mount must not take those for the item's.
  ext_->setAnswerWithoutEntry(true);
  auto e = fs_->mkdir(lookup("Docs"), "Sub");
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(e->attr.st_mode & S_IFMT, static_cast<mode_t>(S_IFDIR));
  ASSERT_EQ(writeNew("Docs", "f.txt", "12345"), 0);
  EXPECT_EQ(attr("Docs/f.txt").st_mode, S_IFREG | 0644u);
  EXPECT_EQ(attr("Docs/f.txt").st_size, 5);
}

TEST_F(MountFsTest, UnlinkedOpenFileIsNotSent) {
  auto c = fs_->create(lookup("Docs"), "tmp", O_WRONLY | O_CREAT);
  ASSERT_TRUE(fs_->write(c->second.fh, "x", 1, 0).ok());
  EXPECT_EQ(errnoOf(fs_->unlink(lookup("Docs"), "tmp")), 0);
  EXPECT_EQ(errnoOf(fs_->flush(c->second.fh)), 0);
  fs_->release(c->second.fh);
  EXPECT_EQ(changeCalls(), 0);
  EXPECT_THAT(names("Docs"), ElementsAre("locked.csv", "notes.txt"));
}

TEST_F(MountFsTest, RenameOrUnlinkWhileANewFileIsBeingCreated) {
  // The close of a new file waits for the extension; meanwhile another program
  // renames one new file and removes another. The service ends up with the same.
  for (const bool remove : {false, true}) {
    SCOPED_TRACE(remove ? "unlink" : "rename");
    std::string name = remove ? "gone.txt" : "draft.txt";
    auto c = fs_->create(lookup("Docs"), name, O_WRONLY | O_CREAT);
    ASSERT_TRUE(fs_->write(c->second.fh, "text", 4, 0).ok());
    ext_->closeGate("create");
    std::thread closer([&] {
      EXPECT_EQ(errnoOf(fs_->flush(c->second.fh)), 0);
      fs_->release(c->second.fh);
    });
    ASSERT_TRUE(waitFor([&] { return ext_->waiting() == 1; }));
    if (remove) {
      EXPECT_EQ(errnoOf(fs_->unlink(lookup("Docs"), name)), 0);
    } else {
      EXPECT_EQ(rename("Docs/draft.txt", "final.txt"), 0);
    }
    ext_->openGate();
    closer.join();
  }
  EXPECT_EQ(ext_->childNamed(docs_, "gone.txt"), "");
  EXPECT_EQ(ext_->childNamed(docs_, "draft.txt"), "");
  auto final = ext_->childNamed(kRoot, "final.txt");
  ASSERT_NE(final, "");
  EXPECT_EQ(ext_->entry(final)->data, "text");
  EXPECT_EQ(*read("final.txt"), "text");
  EXPECT_THAT(names("Docs"), ElementsAre("locked.csv", "notes.txt"));
}

// A new file whose sending ends while its folder is being listed again, with
// what the service had before it: the listing keeps the file, and the next
// listing shows it too.
TEST_F(MountFsTest, AFileSentWhileItsFolderIsReadAgainStaysListed) {
  names("Docs");
  auto c = fs_->create(lookup("Docs"), "new.txt", O_WRONLY | O_CREAT);
  ASSERT_TRUE(c.ok());
  ASSERT_TRUE(fs_->write(c->second.fh, "text", 4, 0).ok());

  // A change check that meets a change in Docs while reading drops its listing.
  ext_->hostWrite(notes_, "hello again");
  ext_->closeGate("list");
  std::thread check([&] { fs_->checkForChanges(); });
  ASSERT_TRUE(waitFor([&] { return ext_->waiting() == 1; }));
  ASSERT_TRUE(fs_->mkdir(lookup("Docs"), "sub").ok());
  ext_->openGate();
  check.join();

  // Docs is read again; the file reaches the service meanwhile.
  ext_->closeGate("list");
  std::vector<std::string> listed;
  std::thread reader([&] { listed = names("Docs"); });
  ASSERT_TRUE(waitFor([&] { return ext_->waiting() == 1; }));
  EXPECT_EQ(errnoOf(fs_->flush(c->second.fh)), 0);
  fs_->release(c->second.fh);
  ext_->openGate();
  reader.join();
  EXPECT_THAT(listed, ElementsAre("locked.csv", "new.txt", "notes.txt", "sub"));
  EXPECT_THAT(names("Docs"), ElementsAre("locked.csv", "new.txt", "notes.txt", "sub"));
}

std::vector<std::string> filesIn(const fs::path& dir,
                                 const std::string& skipExtension = ".reason") {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& f : fs::directory_iterator(dir, ec)) {
    // A refused change's record is beside its contents.
    if (f.path().extension() != skipExtension && f.path().extension() != ".record") {
      out.push_back(fp::testing::readFile(f.path()));
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST_F(MountFsTest, ChangesForAnAbsentHostWaitInTheQueueAndAreSentLater) {
  std::atomic<bool> away{true};
  ext_->setFailure([&](const InMemoryExtension::Call& c) -> std::optional<fp::Error> {
    if (!away || c.op == "fetch") return std::nullopt;
    return fp::Error::fileProvider(fp::FileProviderErrorCode::kServerUnreachable);
  });
  // The close succeeds: the contents are on disk in the queue.
  EXPECT_EQ(writeNew("Docs", "queued.txt", "precious"), 0);
  EXPECT_EQ(overwrite("Docs/notes.txt", "first", O_WRONLY | O_TRUNC), 0);
  EXPECT_EQ(overwrite("Docs/notes.txt", "second", O_WRONLY | O_TRUNC), 0);
  EXPECT_THAT(filesIn(dir_ / "cache" / "queue", ".json"), ElementsAre("precious", "second"));
  EXPECT_EQ(fs_->sendQueue(), 2u);  // still away

  // A later mount of the same cache folder sends them, the last state only.
  fs_.reset();
  cache_.reset();
  auto cache = ContentCache::open(dir_ / "cache", false);
  ASSERT_TRUE(cache.ok());
  cache_ = std::move(*cache);
  fs_ = std::make_unique<MountFs>(ext_, *cache_, notifier_, 1000, 1000);
  ASSERT_TRUE(fs_->start().ok());
  away = false;
  auto modifiesBefore = ext_->calls("modify").size();
  EXPECT_EQ(fs_->sendQueue(), 0u);
  EXPECT_EQ(ext_->entry(ext_->childNamed(docs_, "queued.txt"))->data, "precious");
  EXPECT_EQ(ext_->entry(notes_)->data, "second");
  EXPECT_EQ(ext_->calls("modify").size(), modifiesBefore + 1);
  EXPECT_THAT(filesIn(dir_ / "cache" / "queue"), IsEmpty());
}

// A folder made here and not sent yet is replaced by a rename only as a
// folder on POSIX would be: by a folder, and only when empty (its contents
// were forgotten).
TEST_F(MountFsTest, AFolderMadeHereIsReplacedOnlyWhenEmptyAndByAFolder) {
  auto old = ext_->addFolder(docs_, "old");
  fs_->checkForChanges();
  away_ = true;
  awayWhileSet();
  for (const char* f : {"full", "empty", "src", "new"}) {
    ASSERT_TRUE(fs_->mkdir(lookup("Docs"), f).ok());
  }
  EXPECT_EQ(writeNew("Docs/full", "kept.txt", "kept"), 0);
  EXPECT_EQ(rename("Docs/src", "Docs/full"), ENOTEMPTY);
  EXPECT_EQ(rename("Docs/notes.txt", "Docs/empty"), EISDIR);
  EXPECT_EQ(rename("Docs/src", "Docs/empty"), 0);
  EXPECT_EQ(*read("Docs/full/kept.txt"), "kept");
  // Over an empty folder of the service: made there once that one is removed.
  EXPECT_EQ(writeNew("Docs/new", "in.txt", "in"), 0);
  EXPECT_EQ(rename("Docs/new", "Docs/old"), 0);
  EXPECT_EQ(*read("Docs/old/in.txt"), "in");
  away_ = false;
  drainQueue();
  EXPECT_FALSE(ext_->entry(old).has_value());
  EXPECT_EQ(ext_->entry(ext_->childNamed(ext_->childNamed(docs_, "old"), "in.txt"))->data, "in");
  EXPECT_EQ(ext_->childNamed(docs_, "new"), "");
  EXPECT_EQ(ext_->entry(ext_->childNamed(ext_->childNamed(docs_, "full"), "kept.txt"))->data,
            "kept");
  EXPECT_NE(ext_->childNamed(docs_, "empty"), "");
  EXPECT_EQ(ext_->childNamed(docs_, "src"), "");
}

// rmdir of a folder made here while its making is being sent waits for it,
// then removes the folder made (it used to fail with EBUSY).
TEST_F(MountFsTest, AFolderRemovedWhileItsMakingIsSentIsRemovedOnceMade) {
  away_ = true;
  awayWhileSet();
  ASSERT_TRUE(fs_->mkdir(lookup("Docs"), "brief").ok());
  away_ = false;
  ext_->closeGate("create");
  std::thread queue([&] { (void)fs_->sendQueue(); });
  ASSERT_TRUE(waitFor([&] { return ext_->waitingAt("create") == 1; }));
  std::thread remover([&] { EXPECT_EQ(errnoOf(fs_->rmdir(lookup("Docs"), "brief")), 0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ext_->openGate();
  queue.join();
  remover.join();
  drainQueue();
  EXPECT_EQ(ext_->childNamed(docs_, "brief"), "");
  EXPECT_THAT(names("Docs"), UnorderedElementsAre("locked.csv", "notes.txt"));
}

// A close whose new file waits behind a move (made while the host was away)
// sends the queue up to its state, so that it is on the service when the
// close returns, and reports its refusal.
TEST_F(MountFsTest, ACloseBehindWaitingMovesSendsUpToItsStateAndReportsARefusal) {
  awayWhileSet([](const InMemoryExtension::Call& c) -> std::optional<fp::Error> {
    if (c.op != "create" || c.filename != "taken.txt") return std::nullopt;
    return fp::Error::cocoa(fp::kFileWriteInvalidFileNameError, "exists");
  });
  auto moveWhileAway = [&](const std::string& from, const std::string& to) {
    away_ = true;
    EXPECT_EQ(rename(from, to), 0);
    away_ = false;
  };
  moveWhileAway("Docs/notes.txt", "Docs/moved.txt");
  EXPECT_EQ(writeNew("Docs", "fresh.txt", "new"), 0);
  EXPECT_EQ(ext_->entry(notes_)->name, "moved.txt");
  EXPECT_EQ(ext_->entry(ext_->childNamed(docs_, "fresh.txt"))->data, "new");

  // Another device made "taken.txt" meanwhile.
  ext_->addFile(docs_, "taken.txt", "theirs");
  moveWhileAway("Docs/moved.txt", "Docs/moved2.txt");
  EXPECT_EQ(writeNew("Docs", "taken.txt", "mine"), EEXIST);
  EXPECT_EQ(fs_->sendQueue(), 0u);

  // Folders made behind a waiting move are made by the close of a file in them.
  moveWhileAway("Docs/moved2.txt", "Docs/moved3.txt");
  ASSERT_TRUE(fs_->mkdir(lookup("Docs"), "d").ok());
  ASSERT_TRUE(fs_->mkdir(lookup("Docs/d"), "e").ok());
  EXPECT_EQ(writeNew("Docs/d/e", "f1", "in"), 0);
  EXPECT_EQ(rename("Docs/d", "Docs/d2"), 0);
  EXPECT_EQ(*read("Docs/d2/e/f1"), "in");
  fs_->checkForChanges();
  EXPECT_EQ(*read("Docs/d2/e/f1"), "in");

  // While another sending of the queue hangs on the host, such a close ends
  // when it is interrupted; its state stays queued.
  moveWhileAway("Docs/moved3.txt", "Docs/moved4.txt");
  ext_->closeGate("modify");
  std::thread poller([&] { (void)fs_->sendQueue(); });
  ASSERT_TRUE(waitFor([&] { return ext_->waiting() == 1; }));
  auto late = fs_->create(lookup("Docs"), "late.txt", O_WRONLY | O_CREAT);
  ASSERT_TRUE(late.ok());
  ASSERT_TRUE(fs_->write(late->second.fh, "x", 1, 0).ok());
  fp::Progress interrupted(1);
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    EXPECT_EQ(errnoOf(fs_->flush(late->second.fh, 0, &interrupted)), 0);
    closed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(closed);
  interrupted.cancel();
  EXPECT_TRUE(waitFor([&] { return closed.load(); }));
  ext_->openGate();
  poller.join();
  closer.join();
  fs_->release(late->second.fh);
  drainQueue();
  EXPECT_EQ(ext_->entry(ext_->childNamed(docs_, "late.txt"))->data, "x");
}

// A new file closed without a write is created by its release, after the
// close returned: a rename over it, or of it over a file of the service, made
// meanwhile, waits for that creation and then replaces what it made.
TEST_F(MountFsTest, ARenameOverOrOfANewFileBeingCreatedWaitsForTheCreation) {
  ext_->setRefuseTakenNames(true);
  for (const bool over : {true, false}) {
    SCOPED_TRACE(over ? "over the new file" : "the new file over another");
    const std::string name = over ? "target.lock" : "source.lock";
    auto made = fs_->create(lookup("Docs"), name, O_WRONLY | O_CREAT);
    ASSERT_TRUE(made.ok());
    ext_->closeGate("answer create");
    std::thread releaser([&] { fs_->release(made->second.fh); });
    ASSERT_TRUE(waitFor([&] { return ext_->waiting() == 1; }));
    std::thread renamer([&] {
      EXPECT_EQ(over ? rename("Docs/notes.txt", "Docs/target.lock")
                     : rename("Docs/source.lock", "Docs/notes.txt"),
                0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ext_->openGate();
    releaser.join();
    renamer.join();
    const std::string shown = over ? "target.lock" : "notes.txt";
    EXPECT_THAT(names("Docs"), UnorderedElementsAre("locked.csv", shown));
    EXPECT_THAT(ext_->childNames(docs_), UnorderedElementsAre("locked.csv", shown));
    EXPECT_EQ(*read("Docs/" + shown), over ? "hello" : "");
    if (!over) break;
    ASSERT_EQ(rename("Docs/target.lock", "Docs/notes.txt"), 0);
  }
  // A new file staged in one folder and moved over it meanwhile is created
  // once that creation, and the removal of what it made, are done (it was
  // refused as existing, and the file was gone).
  auto made = fs_->create(lookup("Docs"), "target.lock", O_WRONLY | O_CREAT);
  auto first = fs_->create(kRootIno, "first.lock", O_WRONLY | O_CREAT);
  auto other = fs_->create(kRootIno, "other.lock", O_WRONLY | O_CREAT);
  ASSERT_TRUE(made.ok() && first.ok() && other.ok());
  ASSERT_TRUE(fs_->write(other->second.fh, "o", 1, 0).ok());
  ext_->closeGate("answer create");
  std::vector<std::thread> releasers;
  for (auto fh : {made->second.fh, first->second.fh}) {
    releasers.emplace_back([this, fh] { fs_->release(fh); });
  }
  ASSERT_TRUE(waitFor([&] { return ext_->waiting() == 2; }));
  releasers.emplace_back([&] { fs_->release(other->second.fh); });  // waits for first.lock
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(rename("other.lock", "Docs/target.lock"), 0);
  ext_->closeGate("delete");  // the creations are answered; the removal waits
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ext_->openGate();
  for (auto& t : releasers) t.join();
  drainQueue();
  auto target = ext_->childNamed(docs_, "target.lock");
  ASSERT_NE(target, "");
  EXPECT_EQ(ext_->entry(target)->data, "o");
  EXPECT_THAT(readCache(dir_ / "cache").refused, IsEmpty());

  // Two new files of two folders being created at once, one moved over the
  // other: its move waits for the other's removal (it was refused as
  // existing, and the file was shown under a name the service did not have).
  auto over = fs_->create(kRootIno, "over.lock", O_WRONLY | O_CREAT);
  auto mover = fs_->create(lookup("Docs"), "mover.lock", O_WRONLY | O_CREAT);
  ASSERT_TRUE(over.ok() && mover.ok());
  ASSERT_TRUE(fs_->write(mover->second.fh, "m", 1, 0).ok());
  ext_->closeGate("answer create");
  releasers.clear();
  for (auto fh : {over->second.fh, mover->second.fh}) {
    releasers.emplace_back([this, fh] { fs_->release(fh); });
  }
  ASSERT_TRUE(waitFor([&] { return ext_->waiting() == 2; }));
  ASSERT_EQ(rename("Docs/mover.lock", "over.lock"), 0);
  ext_->closeGate("delete");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ext_->openGate();
  for (auto& t : releasers) t.join();
  drainQueue();
  auto moved = ext_->childNamed(kRoot, "over.lock");
  ASSERT_NE(moved, "");
  EXPECT_EQ(ext_->entry(moved)->data, "m");
  EXPECT_EQ(ext_->childNamed(docs_, "mover.lock"), "");
  EXPECT_THAT(readCache(dir_ / "cache").refused, IsEmpty());
}

// A file edited here while the host is away and on the service meanwhile:
// neither edit is lost, and each case is noted for `fpctl status`.
TEST_F(MountFsTest, EditsMadeHereAndOnTheServiceMeanwhileAreBothKept) {
  struct Case {
    const char* kind;
    std::function<int()> here;
    std::function<void()> there;
    std::function<void()> check;
  };
  const std::vector<Case> cases = {
      {"changed here and there",
       [&] { return overwrite("Docs/notes.txt", "mine", O_WRONLY | O_TRUNC); },
       [&] { ext_->hostWrite(notes_, "theirs"); },
       [&] {
         EXPECT_EQ(ext_->entry(notes_)->data, "theirs");
         EXPECT_EQ(*read("Docs/notes.txt"), "theirs");
         std::vector<std::string> copies;
         for (const auto& n : ext_->childNames(docs_)) {
           if (n.starts_with("notes (conflict ") && n.ends_with(").txt")) copies.push_back(n);
         }
         ASSERT_EQ(copies.size(), 1u);
         EXPECT_EQ(ext_->entry(ext_->childNamed(docs_, copies[0]))->data, "mine");
       }},
      {"removed here, changed there",
       [&] { return errnoOf(fs_->unlink(lookup("Docs"), "notes.txt")); },
       [&] { ext_->hostWrite(notes_, "theirs"); },
       [&] {
         EXPECT_EQ(ext_->entry(notes_)->data, "theirs");
         EXPECT_EQ(*read("Docs/notes.txt"), "theirs");
       }},
      {"changed here, removed there",
       [&] { return overwrite("Docs/notes.txt", "mine", O_WRONLY | O_TRUNC); },
       [&] { ext_->hostRemove(docs_); },  // the folder with it
       [&] {
         auto docs = ext_->childNamed(kRoot, "Docs");
         ASSERT_NE(docs, "");
         EXPECT_EQ(ext_->entry(ext_->childNamed(docs, "notes.txt"))->data, "mine");
       }},
      {"moved here and there", [&] { return rename("Docs/notes.txt", "Docs/mine.txt"); },
       [&] { ext_->hostMove(notes_, kRoot, "theirs.txt"); },
       [&] {
         EXPECT_EQ(ext_->entry(notes_)->name, "theirs.txt");
         EXPECT_THAT(names(""), Contains("theirs.txt"));
         EXPECT_THAT(names("Docs"), Not(Contains("mine.txt")));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    TearDown();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    SetUp();
    away_ = true;
    awayWhileSet();
    ASSERT_EQ(c.here(), 0);
    c.there();
    away_ = false;
    drainQueue();
    c.check();
    auto noted = readConflicts(dir_ / "cache");
    ASSERT_EQ(noted.size(), 1u);
    EXPECT_EQ(noted[0].kind, c.kind);
  }
}

// A new file moved to another folder while it was being created holds its
// name there until it is removed: a new file renamed over it meanwhile is
// created after that removal (it was refused as existing and kept unsent).
TEST_F(MountFsTest, ANewFileMovedWhileItWasCreatedHoldsItsNewNameUntilItIsRemoved) {
  ext_->setRefuseTakenNames(true);
  auto first = fs_->create(lookup("Docs"), "a.lock", O_WRONLY | O_CREAT);
  ASSERT_TRUE(first.ok());
  ASSERT_TRUE(fs_->write(first->second.fh, "a", 1, 0).ok());
  ext_->closeGate("answer create");
  std::thread firstRelease([&] { fs_->release(first->second.fh); });
  ASSERT_TRUE(waitFor([&] { return ext_->waiting() == 1; }));
  ASSERT_EQ(rename("Docs/a.lock", "x.lock"), 0);
  ext_->closeGate("modify");  // its move to the root
  ASSERT_TRUE(waitFor([&] { return ext_->waitingAt("modify") == 1; }));
  auto second = fs_->create(kRootIno, "b.lock", O_WRONLY | O_CREAT);
  ASSERT_TRUE(second.ok());
  ASSERT_TRUE(fs_->write(second->second.fh, "b", 1, 0).ok());
  ASSERT_EQ(rename("b.lock", "x.lock"), 0);
  ext_->closeGate("delete");  // the move is answered; the removal waits
  ASSERT_TRUE(waitFor([&] { return ext_->waitingAt("delete") == 1; }));
  std::thread secondRelease([&] { fs_->release(second->second.fh); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ext_->openGate();
  firstRelease.join();
  secondRelease.join();
  drainQueue();
  auto x = ext_->childNamed(kRoot, "x.lock");
  ASSERT_NE(x, "");
  EXPECT_EQ(ext_->entry(x)->data, "b");
  EXPECT_THAT(readCache(dir_ / "cache").refused, IsEmpty());
}

// A file renamed while its new state is on its way keeps its new name when
// that state is answered, and its old name is free for a new file.
TEST_F(MountFsTest, AFileRenamedWhileItsStateIsSentFreesItsOldName) {
  ext_->closeGate("modify");
  std::thread saver([&] { EXPECT_EQ(overwrite("Docs/notes.txt", "new", O_WRONLY | O_TRUNC), 0); });
  ASSERT_TRUE(waitFor([&] { return ext_->waitingAt("modify") == 1; }));
  std::thread renamer([&] { EXPECT_EQ(rename("Docs/notes.txt", "Docs/moved.txt"), 0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ext_->openGate();
  saver.join();
  renamer.join();
  EXPECT_EQ(writeNew("Docs", "notes.txt", "again"), 0);
  drainQueue();
  EXPECT_THAT(names("Docs"), UnorderedElementsAre("locked.csv", "moved.txt", "notes.txt"));
  EXPECT_EQ(ext_->entry(ext_->childNamed(docs_, "moved.txt"))->data, "new");
}

// A listing read while a folder made offline is being made shows the made
// item under a numbered name beside the local folder: once made, it shows once.
TEST_F(MountFsTest, AFolderMadeOfflineShowsOnceWhenItIsMade) {
  away_ = true;
  awayWhileSet();
  ASSERT_TRUE(fs_->mkdir(lookup("Docs"), "made").ok());
  away_ = false;
  ext_->closeGate("answer create");
  std::thread sender([&] { drainQueue(); });
  ASSERT_TRUE(waitFor([&] { return ext_->waitingAt("answer create") == 1; }));
  fs_->checkForChanges();  // the index changed: the listing is read again
  EXPECT_THAT(names("Docs"), UnorderedElementsAre("locked.csv", "made", "made (2)", "notes.txt"));
  ext_->openGate();
  sender.join();
  EXPECT_THAT(names("Docs"), UnorderedElementsAre("locked.csv", "made", "notes.txt"));
}

// A listing read while a waiting rename is sent may predate it: the item must
// not show under its old name again.
TEST_F(MountFsTest, AListingReadWhileAWaitingRenameIsSentShowsTheNewName) {
  away_ = true;
  awayWhileSet();
  ASSERT_EQ(rename("Docs/notes.txt", "Docs/renamed.txt"), 0);
  away_ = false;
  ext_->addFile(docs_, "other.txt", "o");  // the index changed: the listings are read again
  ext_->closeGate("list");
  std::thread checker([&] { fs_->checkForChanges(); });
  ASSERT_TRUE(waitFor([&] { return ext_->waitingAt("list") > 0; }));
  EXPECT_EQ(fs_->sendQueue(), 0u);
  ext_->openGate();
  checker.join();
  EXPECT_THAT(names("Docs"), UnorderedElementsAre("locked.csv", "other.txt", "renamed.txt"));
}

// A lock file closed without a write is created by its release while the
// program has already removed it and made it again: the new one is created
// once the old one's creation and removal are done, never beside it. A close
// that waits behind such a creation ends when it is interrupted; its state
// stays queued.
TEST_F(MountFsTest, AFileMadeAgainUnderTheNameOfOneBeingCreatedWaitsForIt) {
  auto first = fs_->create(lookup("Docs"), "config.lock", O_WRONLY | O_CREAT);
  ASSERT_TRUE(first.ok());
  ext_->closeGate("create");
  std::thread releaser([&] { fs_->release(first->second.fh); });  // sends the empty file
  ASSERT_TRUE(waitFor([&] { return ext_->waiting() == 1; }));
  EXPECT_EQ(errnoOf(fs_->unlink(lookup("Docs"), "config.lock")), 0);
  std::thread again([&] { EXPECT_EQ(writeNew("Docs", "config.lock", "[core]"), 0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(ext_->waiting(), 1);  // the second creation has not started

  fp::Progress interrupted(1);
  interrupted.cancel();
  auto third = fs_->create(lookup("Docs"), "other.txt", O_WRONLY | O_CREAT);
  ASSERT_TRUE(third.ok());
  ASSERT_TRUE(fs_->write(third->second.fh, "x", 1, 0).ok());
  EXPECT_EQ(errnoOf(fs_->flush(third->second.fh, 0, &interrupted)), 0);  // kept in the queue
  EXPECT_THAT(filesIn(dir_ / "cache" / "queue", ".json"), ::testing::Contains("x"));

  ext_->openGate();
  releaser.join();
  again.join();
  fs_->release(third->second.fh);
  auto lock = ext_->childNamed(docs_, "config.lock");
  ASSERT_NE(lock, "");
  EXPECT_EQ(ext_->entry(lock)->data, "[core]");
  EXPECT_EQ(ext_->calls("create").size(), 2u);
}

TEST_F(MountFsTest, ACreationSentTwiceAfterACrashIsNotRefused) {
  // fpctl died after the host created the file but before it heard so: the
  // queued creation is refused as a namesake when sent again.
  ext_->addFile(docs_, "made.txt", "same bytes");
  ext_->addFile(docs_, "other.txt", "their bytes");
  ext_->setFailure([](const InMemoryExtension::Call& c) -> std::optional<fp::Error> {
    if (c.op != "create") return std::nullopt;
    return fp::Error::cocoa(fp::kFileWriteInvalidFileNameError, "exists");
  });
  auto queue = [&](const std::string& name, const std::string& data) {
    std::ofstream(dir_ / name, std::ios::binary) << data;
    QueuedChange c;
    c.parent = docs_;
    c.filename = name;
    ASSERT_TRUE(cache_->queue().put(c, dir_ / name).ok());
  };
  queue("made.txt", "same bytes");
  queue("other.txt", "my bytes");
  EXPECT_EQ(fs_->sendQueue(), 0u);
  auto report = readCache(dir_ / "cache");
  ASSERT_EQ(report.refused.size(), 1u);  // only the one whose bytes differ
  EXPECT_EQ(fp::testing::readFile(report.refused[0].path), "my bytes");
  EXPECT_EQ(report.refused[0].reason,
            "creating was refused: File exists (an item named \"other.txt\" already exists there)");
}

TEST_F(MountFsTest, ANewerStateOfAFileTheQueueCreatedMeanwhileChangesThatItem) {
  // An older state left queued by a killed fpctl is created by the queue
  // while the folder's listing here does not show it yet; the file is saved
  // again, and the host refuses a second item of that name.
  std::atomic<int> creates{0};
  ext_->setFailure([&](const InMemoryExtension::Call& c) -> std::optional<fp::Error> {
    if (c.op != "create" || c.filename != "late.txt" || creates++ == 0) return std::nullopt;
    return fp::Error::cocoa(fp::kFileWriteInvalidFileNameError, "exists");
  });
  EXPECT_THAT(names("Docs"), ::testing::Not(::testing::Contains("late.txt")));
  std::ofstream(dir_ / "older", std::ios::binary) << "older";
  QueuedChange older;
  older.parent = docs_;
  older.filename = "late.txt";
  ASSERT_TRUE(cache_->queue().put(older, dir_ / "older").ok());
  EXPECT_EQ(fs_->sendQueue(), 0u);
  EXPECT_EQ(writeNew("Docs", "late.txt", "newer"), 0);
  EXPECT_EQ(ext_->entry(ext_->childNamed(docs_, "late.txt"))->data, "newer");
  EXPECT_EQ(creates.load(), 2);
  EXPECT_EQ(readCache(dir_ / "cache").refused.size(), 0u);
}

TEST_F(MountFsTest, RefusedChangesAreReportedAndKeptWithTheReason) {
  ext_->setFailure([](const InMemoryExtension::Call& c) -> std::optional<fp::Error> {
    if (c.op != "create") return std::nullopt;
    return fp::Error::cocoa(fp::kFileWriteInvalidFileNameError, "invalid name");
  });
  EXPECT_EQ(writeNew("Docs", "bad.txt", "precious"), EINVAL);
  EXPECT_EQ(ext_->calls("create").size(), 1u);  // a refusal is not retried
  EXPECT_THAT(names("Docs"), ElementsAre("locked.csv", "notes.txt"));
  EXPECT_THAT(filesIn(dir_ / "cache" / "unsent"), ElementsAre("precious"));
  auto report = readCache(dir_ / "cache");
  ASSERT_EQ(report.refused.size(), 1u);
  EXPECT_THAT(report.refused[0].reason, HasSubstr("invalid name"));
  EXPECT_THAT(report.waiting, IsEmpty());
}

// git's way of writing HEAD twice (a lock file renamed over the name, the
// second time over the first one), in both close modes, with the host going
// away at each step: the service ends with the last contents under the name.
TEST_F(MountFsTest, LockFilesRenamedOverEachOtherEndAsTheLastOneWhenTheHostComesBack) {
  for (bool writeBack : {false, true}) {
    for (int awayFrom = 0; awayFrom <= 4; ++awayFrom) {
      SCOPED_TRACE(std::string(writeBack ? "write-back" : "default") + ", away from step " +
                   std::to_string(awayFrom));
      const std::string name = "HEAD" + std::to_string(awayFrom) + (writeBack ? "wb" : "");
      if (writeBack) fs_->startWriteBack(std::chrono::milliseconds(0));
      std::atomic<bool> away{false};
      ext_->setFailure([&](const InMemoryExtension::Call& c) -> std::optional<fp::Error> {
        if (!away || c.op == "fetch") return std::nullopt;
        return fp::Error::fileProvider(fp::FileProviderErrorCode::kServerUnreachable);
      });
      int step = 0;
      auto next = [&] {
        if (++step == awayFrom) away = true;
      };
      next();
      EXPECT_EQ(writeNew("Docs", name + ".lock", "v1"), 0);
      next();
      EXPECT_EQ(rename("Docs/" + name + ".lock", "Docs/" + name), 0);
      next();
      EXPECT_EQ(writeNew("Docs", name + ".lock", "v2"), 0);
      next();
      EXPECT_EQ(rename("Docs/" + name + ".lock", "Docs/" + name), 0);
      if (writeBack) fs_->waitForWriteBack();
      EXPECT_EQ(*read("Docs/" + name), "v2");
      away = false;
      for (int i = 0; i < 100 && fs_->sendQueue() > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (writeBack) fs_->stopWriteBack();
      auto id = ext_->childNamed(docs_, name);
      ASSERT_FALSE(id.empty());
      EXPECT_EQ(ext_->entry(id)->data, "v2");
      EXPECT_EQ(ext_->childNamed(docs_, name + ".lock"), "");
      EXPECT_THAT(readCache(dir_ / "cache").refused, IsEmpty());
    }
  }
}

// Write-back, as git writes HEAD while the host stops: the first lock file is
// being sent when the second one replaces it and a third one is taken and
// dropped unchanged. The third one's state, dropped with its file, must not
// take along the waiting state of the second one, queued under the same name
// before that file was renamed.
TEST_F(MountFsTest, AStateDroppedWithItsFileLeavesTheOtherFilesOfItsName) {
  fs_->startWriteBack(std::chrono::milliseconds(0));
  std::mutex mu;
  std::condition_variable cv;
  bool sending = false, hung = true;
  ext_->setFailure([&](const InMemoryExtension::Call& c) -> std::optional<fp::Error> {
    if (c.op == "fetch") return std::nullopt;
    std::unique_lock lock(mu);
    sending = true;
    cv.notify_all();
    cv.wait(lock, [&] { return !hung; });  // the host hangs, then is away
    return fp::Error::fileProvider(fp::FileProviderErrorCode::kServerUnreachable);
  });
  EXPECT_EQ(writeNew("Docs", "HEAD.lock", "v1"), 0);
  {
    std::unique_lock lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return sending; }));
  }
  EXPECT_EQ(rename("Docs/HEAD.lock", "Docs/HEAD"), 0);
  EXPECT_EQ(writeNew("Docs", "HEAD.lock", "v2"), 0);
  EXPECT_EQ(rename("Docs/HEAD.lock", "Docs/HEAD"), 0);
  EXPECT_EQ(writeNew("Docs", "HEAD.lock", ""), 0);
  EXPECT_EQ(errnoOf(fs_->unlink(lookup("Docs"), "HEAD.lock")), 0);
  {
    std::lock_guard lock(mu);
    hung = false;
  }
  cv.notify_all();
  fs_->waitForWriteBack();
  ext_->setFailure(nullptr);
  for (int i = 0; i < 100 && fs_->sendQueue() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  fs_->stopWriteBack();
  EXPECT_EQ(*read("Docs/HEAD"), "v2");
  auto id = ext_->childNamed(docs_, "HEAD");
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(ext_->entry(id)->data, "v2");
  EXPECT_EQ(ext_->childNamed(docs_, "HEAD.lock"), "");
  EXPECT_THAT(readCache(dir_ / "cache").waiting, IsEmpty());
}

// Two new files that had one name (a lock file renamed away while its
// creation was under way, and the next lock file) are two files in the queue:
// the newer one's state never replaces the older one's.
TEST_F(MountFsTest, NewFilesThatHadOneNameNeverReplaceEachOthersWaitingStates) {
  fs_->startWriteBack(std::chrono::milliseconds(0));
  std::atomic<bool> away{false};
  ext_->setFailure([&](const InMemoryExtension::Call& c) -> std::optional<fp::Error> {
    if (!away || c.op == "fetch") return std::nullopt;
    return fp::Error::fileProvider(fp::FileProviderErrorCode::kServerUnreachable);
  });
  ext_->closeGate("create");
  EXPECT_EQ(writeNew("Docs", "x.lock", "A"), 0);
  ASSERT_TRUE(waitFor([&] { return ext_->waiting() == 1; }));  // its creation is under way
  EXPECT_EQ(rename("Docs/x.lock", "Docs/x"), 0);
  away = true;
  ext_->openGate();  // the creation fails: it waits in the queue, still as x.lock
  fs_->waitForWriteBack();
  EXPECT_EQ(writeNew("Docs", "x.lock", "B"), 0);
  fs_->waitForWriteBack();
  away = false;
  for (int i = 0; i < 100 && fs_->sendQueue() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  fs_->stopWriteBack();
  ASSERT_NE(ext_->childNamed(docs_, "x"), "");
  EXPECT_EQ(ext_->entry(ext_->childNamed(docs_, "x"))->data, "A");
  ASSERT_NE(ext_->childNamed(docs_, "x.lock"), "");
  EXPECT_EQ(ext_->entry(ext_->childNamed(docs_, "x.lock"))->data, "B");
}

// Write-back: the close answers before the extension has the file, which is
// shown meanwhile; the states are sent in the order of the closes; one whose
// file is removed first is never sent; fsync still waits for the service.
TEST_F(MountFsTest, WriteBackAnswersTheCloseAndSendsInTheBackground) {
  fs_->startWriteBack(std::chrono::milliseconds(0));
  ext_->closeGate("create");
  EXPECT_EQ(writeNew("Docs", "a.txt", "alpha"), 0);
  ASSERT_TRUE(waitFor([&] { return ext_->waiting() == 1; }));
  EXPECT_EQ(writeNew("Docs", "b.txt", "beta"), 0);
  EXPECT_EQ(writeNew("Docs", "c.txt", "gamma"), 0);
  EXPECT_THAT(names("Docs"),
              UnorderedElementsAre("a.txt", "b.txt", "c.txt", "locked.csv", "notes.txt"));
  EXPECT_EQ(*read("Docs/b.txt"), "beta");
  EXPECT_EQ(errnoOf(fs_->unlink(lookup("Docs"), "b.txt")), 0);
  EXPECT_EQ(rename("Docs/c.txt", "Docs/c2.txt"), 0);
  ext_->openGate();
  fs_->waitForWriteBack();

  auto created = ext_->calls("create");
  ASSERT_EQ(created.size(), 2u);
  EXPECT_EQ(created[0].filename, "a.txt");
  // Renamed before it was sent: created under its last name, which frees the
  // first one at once for another file.
  EXPECT_EQ(created[1].filename, "c2.txt");
  EXPECT_EQ(ext_->childNamed(docs_, "b.txt"), "");
  EXPECT_EQ(ext_->entry(ext_->childNamed(docs_, "c2.txt"))->data, "gamma");
  EXPECT_EQ(ext_->entry(ext_->childNamed(docs_, "a.txt"))->data, "alpha");
  EXPECT_THAT(names("Docs"), UnorderedElementsAre("a.txt", "c2.txt", "locked.csv", "notes.txt"));
  EXPECT_THAT(filesIn(dir_ / "cache" / "queue"), IsEmpty());

  // fsync waits for the service, also for a state a close handed over.
  const auto modifies = ext_->calls("modify").size();
  ext_->closeGate("modify");
  auto h = fs_->open(lookup("Docs/notes.txt"), O_WRONLY | O_TRUNC);
  ASSERT_TRUE(h.ok());
  ASSERT_TRUE(fs_->write(h->fh, "synced", 6, 0).ok());
  EXPECT_EQ(errnoOf(fs_->flush(h->fh)), 0);
  ASSERT_TRUE(waitFor([&] { return ext_->waiting() == 1; }));
  std::thread opener([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ext_->openGate();
  });
  EXPECT_EQ(errnoOf(fs_->fsync(h->fh)), 0);
  EXPECT_EQ(ext_->entry(notes_)->data, "synced");
  opener.join();
  fs_->release(h->fh);
  fs_->waitForWriteBack();
  EXPECT_EQ(ext_->calls("modify").size(), modifies + 1);
}

// The sending waits for the closes to pause, and a file removed meanwhile is
// never sent; the longest wait bounds it while the closes go on.
TEST_F(MountFsTest, WriteBackSendsOnceTheClosesPause) {
  fs_->startWriteBack(std::chrono::milliseconds(300), std::chrono::milliseconds(1500));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(writeNew("", "temp.o", "scratch"), 0);
  EXPECT_EQ(errnoOf(fs_->unlink(kRootIno, "temp.o")), 0);
  int closes = 0;
  while (ext_->calls("create").empty()) {
    ASSERT_EQ(writeNew("", "f" + std::to_string(closes++), "x"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  fs_->waitForWriteBack();
  EXPECT_EQ(ext_->calls("create").size(), static_cast<std::size_t>(closes));
  EXPECT_EQ(ext_->childNamed(kRoot, "temp.o"), "");
}

// Write-back cannot report a refusal at the close: the state goes to unsent/
// with its reason as after a refused close. While the host does not answer,
// the closes after the first failed sending go to the queue without a try.
TEST_F(MountFsTest, WriteBackKeepsRefusedAndUnsentStates) {
  std::atomic<bool> away{false};
  ext_->setFailure([&](const InMemoryExtension::Call& c) -> std::optional<fp::Error> {
    if (c.op == "create" && c.filename == "bad.txt") {
      return fp::Error::cocoa(fp::kFileWriteInvalidFileNameError, "invalid name");
    }
    if (away && c.op != "fetch") {
      return fp::Error::fileProvider(fp::FileProviderErrorCode::kServerUnreachable);
    }
    return std::nullopt;
  });
  fs_->startWriteBack(std::chrono::milliseconds(0));
  EXPECT_EQ(writeNew("Docs", "bad.txt", "refused"), 0);
  fs_->waitForWriteBack();
  EXPECT_THAT(filesIn(dir_ / "cache" / "unsent"), ElementsAre("refused"));
  EXPECT_THAT(names("Docs"), ElementsAre("locked.csv", "notes.txt"));

  away = true;
  for (const char* name : {"q1.txt", "q2.txt", "q3.txt"}) EXPECT_EQ(writeNew("", name, name), 0);
  fs_->waitForWriteBack();
  EXPECT_EQ(ext_->calls("create").size(), 2u);  // bad.txt, then q1.txt once
  EXPECT_THAT(filesIn(dir_ / "cache" / "queue", ".json"),
              ElementsAre("q1.txt", "q2.txt", "q3.txt"));
  away = false;
  EXPECT_EQ(fs_->sendQueue(), 0u);
  for (const char* name : {"q1.txt", "q2.txt", "q3.txt"}) {
    EXPECT_EQ(ext_->entry(ext_->childNamed(kRoot, name))->data, name);
  }
}

TEST_F(MountFsTest, AFailedCreateLeavesNoNameBehind) {
  // The kernel may still hold the name of the refused file; writing through it
  // must fail visibly, not vanish.
  ext_->setFailure([](const InMemoryExtension::Call& c) -> std::optional<fp::Error> {
    if (c.op != "create") return std::nullopt;
    return fp::Error::cocoa(fp::kFileWriteInvalidFileNameError, "namesake");
  });
  auto c = fs_->create(lookup("Docs"), "dup.txt", O_WRONLY | O_CREAT);
  ASSERT_TRUE(c.ok());
  Ino stale = c->first.ino;
  ASSERT_TRUE(fs_->write(c->second.fh, "x", 1, 0).ok());
  EXPECT_EQ(errnoOf(fs_->flush(c->second.fh)), EINVAL);
  fs_->release(c->second.fh);
  EXPECT_THAT(notifier_.entries,
              ::testing::Contains(std::pair(lookup("Docs"), std::string("dup.txt"))));
  EXPECT_EQ(fs_->open(stale, O_WRONLY | O_TRUNC).error().value, ENOENT);

  ext_->setFailure(nullptr);
  EXPECT_EQ(writeNew("Docs", "dup.txt", "important"), 0);
  EXPECT_EQ(ext_->entry(ext_->childNamed(docs_, "dup.txt"))->data, "important");
}

TEST_F(MountFsTest, ANamesakeOfASiblingIsRefusedAtCreate) {
  // The service would show such a file under a marked name; the program is
  // told at open(O_CREAT), before it writes anything.
  ext_->addFile(docs_, "k.txt", "k");
  ext_->addFolder(docs_, "Photos");
  ASSERT_EQ(writeNew("Docs", "local.txt", "l"), 0);
  struct Case {
    const char* name;
    int err;
  } cases[] = {
      {"NOTES.TXT", EEXIST}, {"\xE2\x84\xAA.txt", EEXIST},  // Kelvin sign
      {"photos", EEXIST},    {"Local.TXT", EEXIST},        {"notes.txt2", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = fs_->create(lookup("Docs"), c.name, O_WRONLY | O_CREAT);
    if (c.err == 0) {
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(errnoOf(fs_->flush(r->second.fh)), 0);
      fs_->release(r->second.fh);
    } else {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().value, c.err);
    }
  }
  EXPECT_EQ(ext_->calls("create").size(), 2u);
  EXPECT_THAT(fp::testing::readFile(dir_ / "log"), HasSubstr("same name apart from letter case"));
}

TEST_F(MountFsTest, OnlyTheWritersCloseSendsTheState) {
  // `(sleep 3; echo data) > notes.txt`: the shell's child closes the truncated
  // file before anything is written; that empty state must not be sent.
  auto h = fs_->open(lookup("Docs/notes.txt"), O_WRONLY | O_TRUNC);
  ASSERT_TRUE(h.ok());
  EXPECT_EQ(errnoOf(fs_->flush(h->fh, /*closer=*/111)), 0);
  EXPECT_TRUE(ext_->calls("modify").empty());
  ASSERT_TRUE(fs_->write(h->fh, "data", 4, 0, /*writer=*/222).ok());
  EXPECT_EQ(errnoOf(fs_->flush(h->fh, 111)), 0);
  EXPECT_TRUE(ext_->calls("modify").empty());
  EXPECT_EQ(errnoOf(fs_->flush(h->fh, 222)), 0);
  ASSERT_EQ(ext_->calls("modify").size(), 1u);
  EXPECT_EQ(ext_->entry(notes_)->data, "data");
  fs_->release(h->fh);
  EXPECT_EQ(ext_->calls("modify").size(), 1u);

  // Truncation alone is sent at the last close.
  auto t = fs_->open(lookup("Docs/notes.txt"), O_WRONLY | O_TRUNC);
  EXPECT_EQ(errnoOf(fs_->flush(t->fh, 111)), 0);
  fs_->release(t->fh);
  EXPECT_EQ(ext_->entry(notes_)->data, "");
}

TEST_F(MountFsTest, AWriteNeverClosedSurvivesAKilledMountInUnsent) {
  auto h = fs_->open(lookup("Docs/notes.txt"), O_WRONLY | O_TRUNC);
  ASSERT_TRUE(fs_->write(h->fh, "half", 4, 0, 222).ok());
  // Another file is still open too, but what it holds was closed and sent.
  auto c = fs_->create(lookup("Docs"), "sent.txt", O_WRONLY | O_CREAT);
  ASSERT_TRUE(fs_->write(c->second.fh, "whole", 5, 0, 333).ok());
  ASSERT_EQ(errnoOf(fs_->flush(c->second.fh, 333)), 0);
  // fpctl dies here: nothing is released; the next run finds the working copies.
  auto again = ContentCache::open(dir_ / "cache", false);
  ASSERT_TRUE(again.ok());
  auto report = readCache(dir_ / "cache");
  ASSERT_EQ(report.refused.size(), 1u);
  EXPECT_EQ(fp::testing::readFile(report.refused[0].path), "half");
  EXPECT_THAT(report.refused[0].reason, HasSubstr("never closed"));
  EXPECT_EQ(ext_->entry(notes_)->data, "hello");  // the service keeps the last closed state
  EXPECT_EQ(ext_->entry(ext_->childNamed(docs_, "sent.txt"))->data, "whole");
  fs_->release(h->fh);
  fs_->release(c->second.fh);
}

TEST_F(MountFsTest, FolderIsDeletedOnlyWhenTheIndexProvesItEmpty) {
  auto photos = ext_->addFolder(kRoot, "Photos");
  ext_->addFile(photos, "a.jpg", "jpeg");
  auto target = ext_->addFolder(kRoot, "Target");
  ext_->addFile(target, "keep.txt", "kept");
  names();
  ext_->setIndexUnreadable(true);
  EXPECT_EQ(errnoOf(fs_->rmdir(kRootIno, "Photos")), EIO);
  EXPECT_EQ(rename("Docs", "Target"), EIO);
  EXPECT_TRUE(ext_->calls("delete").empty());
  EXPECT_TRUE(ext_->calls("modify").empty());
  ext_->setIndexUnreadable(false);
  EXPECT_EQ(errnoOf(fs_->rmdir(kRootIno, "Photos")), ENOTEMPTY);
  EXPECT_TRUE(ext_->entry(photos).has_value());
  EXPECT_TRUE(ext_->entry(target).has_value());
}

TEST_F(MountFsTest, FilesStillOpenAtTheEndAreSent) {
  auto c = fs_->create(kRootIno, "open.txt", O_WRONLY | O_CREAT);
  ASSERT_TRUE(fs_->write(c->second.fh, "unclosed", 8, 0).ok());
  auto h = fs_->open(lookup("Docs/notes.txt"), O_WRONLY | O_TRUNC);
  ASSERT_TRUE(fs_->write(h->fh, "edited", 6, 0).ok());
  fs_->finishPendingUploads();
  EXPECT_EQ(ext_->entry(ext_->childNamed(kRoot, "open.txt"))->data, "unclosed");
  EXPECT_EQ(ext_->entry(notes_)->data, "edited");
}

struct ErrnoCase {
  fp::Error error;
  int expected;
};

TEST_F(MountFsTest, ExtensionErrorsReachTheCallerAsErrno) {
  const ErrnoCase cases[] = {
      {fp::Error::fileProvider(fp::FileProviderErrorCode::kNoSuchItem), ENOENT},
      {fp::Error::fileProvider(fp::FileProviderErrorCode::kNotAuthenticated), EACCES},
      {fp::Error::fileProvider(fp::FileProviderErrorCode::kInsufficientQuota), EDQUOT},
      {fp::Error::cocoa(fp::kFileWriteOutOfSpaceError), ENOSPC},
      {fp::Error::cocoa(fp::kFileWriteInvalidFileNameError), EINVAL},
      {fp::Error::fileProvider(fp::FileProviderErrorCode::kServerUnreachable), EIO},
      {fp::Error::fileProvider(fp::FileProviderErrorCode::kCannotSynchronize), EIO},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error.description());
    ext_->setFailure([&](const InMemoryExtension::Call&) { return std::optional(c.error); });
    // A change the host did not take waits in the queue: its close, removal
    // and rename succeed (shown at once, sent later).
    const bool away = c.expected == EIO;
    EXPECT_EQ(overwrite("Docs/notes.txt", "x", O_WRONLY | O_TRUNC), away ? 0 : c.expected);
    if (away) {
      EXPECT_TRUE(fs_->mkdir(kRootIno, "away " + c.error.description()).ok());
      continue;
    }
    EXPECT_EQ(fs_->mkdir(kRootIno, "d").error().value, c.expected);
    EXPECT_EQ(errnoOf(fs_->unlink(lookup("Docs"), "notes.txt")), c.expected);
    EXPECT_EQ(rename("Docs/notes.txt", "Docs/n2.txt"), c.expected);
  }
  std::string text = log();
  EXPECT_THAT(text, HasSubstr("write failed for notes.txt (" + notes_ + "): "));
  EXPECT_THAT(text, HasSubstr("delete failed for notes.txt (" + notes_ + "): "));
  EXPECT_THAT(text, HasSubstr("mkdir failed for d: "));
  EXPECT_THAT(text, HasSubstr("rename failed for notes.txt (" + notes_ + "): "));
}

TEST_F(MountFsTest, RenamesAndRemovalsWithTheHostAwayShowAtOnceAndAreSentInOrder) {
  auto other = ext_->addFile(docs_, "other.txt", "other");
  auto moving = ext_->addFile(docs_, "moving.txt", "m");
  auto doomed = ext_->addFile(kRoot, "doomed.txt", "d");
  fs_->checkForChanges();
  ext_->setFailure([](const InMemoryExtension::Call& c) -> std::optional<fp::Error> {
    if (c.op == "fetch" || c.op == "list" || c.op == "item") return std::nullopt;
    return fp::Error::fileProvider(fp::FileProviderErrorCode::kServerUnreachable);
  });
  EXPECT_EQ(rename("Docs/notes.txt", "n2.txt"), 0);
  EXPECT_EQ(errnoOf(fs_->unlink(lookup("Docs"), "other.txt")), 0);
  EXPECT_EQ(writeNew("Docs", "fresh.txt", "new"), 0);
  EXPECT_EQ(rename("Docs/fresh.txt", "Docs/final.txt"), 0);
  EXPECT_EQ(writeNew("Docs", "t.tmp", "replacing"), 0);
  EXPECT_EQ(rename("Docs/t.tmp", "n2.txt"), 0);  // over the moved file
  ASSERT_TRUE(fs_->mkdir(lookup("Docs"), "made").ok());
  ASSERT_TRUE(fs_->mkdir(lookup("Docs/made"), "deeper").ok());
  EXPECT_EQ(writeNew("Docs/made/deeper", "inner.txt", "in"), 0);
  EXPECT_EQ(rename("Docs/made", "Docs/made2"), 0);  // made under its last name
  ASSERT_TRUE(fs_->mkdir(lookup("Docs"), "made").ok());
  EXPECT_EQ(rename("Docs/moving.txt", "moving.txt"), 0);  // moved, then renamed there
  EXPECT_EQ(rename("moving.txt", "moved.txt"), 0);
  // Made, moved and removed again: nothing of it waits.
  ASSERT_TRUE(fs_->mkdir(lookup("Docs"), "brief").ok());
  EXPECT_EQ(rename("Docs/brief", "brief2"), 0);
  EXPECT_EQ(errnoOf(fs_->rmdir(kRootIno, "brief2")), 0);
  // Moved into a folder made here, removed there, then the folder removed:
  // the removal is still sent, though the folder never reaches the service.
  ASSERT_TRUE(fs_->mkdir(kRootIno, "passing").ok());
  EXPECT_EQ(rename("doomed.txt", "passing/doomed.txt"), 0);
  EXPECT_EQ(errnoOf(fs_->unlink(lookup("passing"), "doomed.txt")), 0);
  EXPECT_EQ(errnoOf(fs_->rmdir(kRootIno, "passing")), 0);
  fs_->checkForChanges();
  EXPECT_THAT(names("Docs"), UnorderedElementsAre("final.txt", "locked.csv", "made", "made2"));
  EXPECT_EQ(*read("Docs/made2/deeper/inner.txt"), "in");
  EXPECT_EQ(*read("n2.txt"), "replacing");
  EXPECT_EQ(*read("Docs/final.txt"), "new");
  EXPECT_EQ(ext_->entry(notes_)->name, "notes.txt");  // nothing reached the service

  const std::size_t triedWhileAway = ext_->calls("modify").size();
  ext_->setFailure(nullptr);
  // The queue tries again once its back-off (after the tries while away) is over.
  for (int i = 0; i < 100 && fs_->sendQueue() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(fs_->sendQueue(), 0u);
  fs_->checkForChanges();
  EXPECT_FALSE(ext_->entry(other).has_value());
  EXPECT_FALSE(ext_->entry(doomed).has_value());
  EXPECT_EQ(ext_->childNamed(kRoot, "moved.txt"), moving);
  EXPECT_FALSE(ext_->entry(notes_).has_value());  // moved, then replaced
  EXPECT_EQ(ext_->entry(ext_->childNamed(kRoot, "n2.txt"))->data, "replacing");
  EXPECT_EQ(ext_->entry(ext_->childNamed(docs_, "final.txt"))->data, "new");
  EXPECT_EQ(ext_->childNamed(docs_, "fresh.txt"), "");
  EXPECT_THAT(names("Docs"), UnorderedElementsAre("final.txt", "locked.csv", "made", "made2"));
  EXPECT_FALSE(ext_->childNamed(docs_, "made").empty());
  const auto moves = ext_->calls("modify");
  for (auto c = moves.begin() + static_cast<std::ptrdiff_t>(triedWhileAway); c != moves.end();
       ++c) {
    EXPECT_NE(c->filename, "made2") << "made under its first name, then moved";
  }
  auto made = ext_->childNamed(docs_, "made2");
  ASSERT_FALSE(made.empty());
  EXPECT_EQ(ext_->entry(ext_->childNamed(ext_->childNamed(made, "deeper"), "inner.txt"))->data,
            "in");
  EXPECT_EQ(*read("Docs/made2/deeper/inner.txt"), "in");
  EXPECT_THAT(readCache(dir_ / "cache").refused, IsEmpty());  // two tried while away, two sent
}

// ---------------------------------------------------------------- removing, renaming

TEST_F(MountFsTest, RmdirOfANonEmptyFolderNeverReachesTheExtension) {
  auto empty = ext_->addFolder(docs_, "Empty");
  EXPECT_EQ(errnoOf(fs_->rmdir(kRootIno, "Docs")), ENOTEMPTY);
  names("Docs/Empty");                                    // cached while empty...
  ext_->addFile(empty, "late.txt", "added by the host");  // ...then filled
  EXPECT_EQ(errnoOf(fs_->rmdir(lookup("Docs"), "Empty")), ENOTEMPTY);
  EXPECT_TRUE(ext_->calls("delete").empty());
  EXPECT_TRUE(ext_->entry(empty).has_value());

  ext_->hostRemove(ext_->childNamed(empty, "late.txt"));
  EXPECT_EQ(errnoOf(fs_->rmdir(lookup("Docs"), "Empty")), 0);
  EXPECT_EQ(errnoOf(fs_->unlink(lookup("Docs"), "notes.txt")), 0);
  EXPECT_EQ(ext_->calls("delete").size(), 2u);
  EXPECT_THAT(names("Docs"), ElementsAre("locked.csv"));
  EXPECT_EQ(errnoOf(fs_->rmdir(lookup("Docs"), "locked.csv")), ENOTDIR);
  EXPECT_EQ(errnoOf(fs_->unlink(kRootIno, "Docs")), EISDIR);
}

struct RenameCase {
  std::string from, to;
  fp::ItemFields fields;
};

TEST_F(MountFsTest, RenameSendsANewNameAndOrANewParent) {
  auto other = ext_->addFolder(kRoot, "Other");
  const RenameCase cases[] = {
      {"Docs/notes.txt", "Docs/renamed.txt", fp::field::kFilename},
      {"Docs/renamed.txt", "Other/renamed.txt", fp::field::kParentItemIdentifier},
      {"Other/renamed.txt", "Docs/notes.txt",
       fp::field::kFilename | fp::field::kParentItemIdentifier},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from + " -> " + c.to);
    ASSERT_EQ(rename(c.from, c.to), 0);
    EXPECT_EQ(ext_->calls("modify").back().fields, c.fields);
    EXPECT_EQ(lookup(c.from), 0u);
    EXPECT_EQ(*read(c.to), "hello");
  }
  EXPECT_EQ(ext_->entry(notes_)->parent, docs_);
  EXPECT_EQ(rename("Docs/notes.txt", "Docs/locked.csv", RENAME_NOREPLACE), EEXIST);
  EXPECT_EQ(rename("Docs/notes.txt", "Docs/x", RENAME_EXCHANGE), EINVAL);
  ext_->addFile(other, "keep.txt", "k");
  EXPECT_EQ(rename("Docs", "Other"), ENOTEMPTY);
  EXPECT_TRUE(ext_->entry(other).has_value());
}

TEST_F(MountFsTest, RenameOntoAFileReplacesIt) {
  auto old = ext_->addFile(docs_, "target.txt", "old");
  ASSERT_EQ(rename("Docs/notes.txt", "Docs/target.txt"), 0);
  EXPECT_EQ(*read("Docs/target.txt"), "hello");
  EXPECT_FALSE(ext_->entry(old).has_value());
  EXPECT_EQ(ext_->entry(notes_)->name, "target.txt");
  EXPECT_THAT(ext_->childNames(docs_), ElementsAre("locked.csv", "target.txt"));
  // Aside, in, then the old one deleted.
  auto calls = ext_->calls();
  std::vector<std::string> order;
  for (const auto& c : calls) {
    if (c.op != "fetch") order.push_back(c.op + " " + c.identifier);
  }
  EXPECT_THAT(order, ElementsAre("modify " + old, "modify " + notes_, "delete " + old));
}

TEST_F(MountFsTest, NewFileRenamedOntoAFileReplacesIt) {
  // The way rsync and editors save: write a temporary file, rename it over.
  auto old = ext_->addFile(docs_, "doc.txt", "old");
  auto c = fs_->create(lookup("Docs"), ".doc.txt.tmp", O_WRONLY | O_CREAT);
  ASSERT_TRUE(fs_->write(c->second.fh, "fresh", 5, 0).ok());
  ASSERT_EQ(rename("Docs/.doc.txt.tmp", "Docs/doc.txt"), 0);
  EXPECT_EQ(errnoOf(fs_->flush(c->second.fh)), 0);
  fs_->release(c->second.fh);
  EXPECT_FALSE(ext_->entry(old).has_value());
  auto now = ext_->childNamed(docs_, "doc.txt");
  EXPECT_EQ(ext_->entry(now)->data, "fresh");
  EXPECT_EQ(*read("Docs/doc.txt"), "fresh");
}

TEST_F(MountFsTest, ReplacingNeverLosesBothFilesWhenAStepFails) {
  // Step 1 moves the old file aside, step 2 moves the new one in, step 3 deletes
  // the old one. Whichever fails, both contents are still on the service.
  for (int failing = 1; failing <= 3; ++failing) {
    SCOPED_TRACE("failing step " + std::to_string(failing));
    auto from = ext_->addFile(kRoot, "from-" + std::to_string(failing), "new data");
    auto to = ext_->addFile(kRoot, "to-" + std::to_string(failing), "old data");
    fs_->checkForChanges();
    ext_->setFailure(
        [&, step = 0](const InMemoryExtension::Call& c) mutable -> std::optional<fp::Error> {
          if (c.op == "fetch") return std::nullopt;
          if (++step != failing) return std::nullopt;
          // A refusal: with the host away, nothing is tried but kept in the queue.
          return fp::Error::fileProvider(fp::FileProviderErrorCode::kNotAuthenticated);
        });
    int e = rename("from-" + std::to_string(failing), "to-" + std::to_string(failing));
    ext_->setFailure(nullptr);
    ASSERT_TRUE(ext_->entry(from).has_value());
    ASSERT_TRUE(ext_->entry(to).has_value());
    EXPECT_EQ(ext_->entry(from)->data, "new data");
    EXPECT_EQ(ext_->entry(to)->data, "old data");
    if (failing == 3) {
      EXPECT_EQ(e, 0);  // the rename happened; the old file is left under its aside name
      EXPECT_EQ(ext_->entry(from)->name, "to-3");
      EXPECT_THAT(ext_->entry(to)->name, HasSubstr(".fpctl-replaced-"));
    } else {
      EXPECT_EQ(e, EACCES);
      EXPECT_EQ(ext_->entry(from)->name, "from-" + std::to_string(failing));
      EXPECT_EQ(ext_->entry(to)->name, "to-" + std::to_string(failing));  // put back
    }
  }
}

// ---------------------------------------------------------------- pinning, eviction, attributes

namespace xattr {
constexpr std::string_view kState = "user.fileprovider.state";
constexpr std::string_view kPinned = "user.fileprovider.pinned";
constexpr std::string_view kEvict = "user.fileprovider.evict";
}  // namespace xattr

class PinTest : public MountFsTest {
 protected:
  std::string state(const std::string& path) {
    auto s = fs_->getxattr(lookup(path), xattr::kState);
    return s ? *s : "error " + std::to_string(s.error().value);
  }
  int setAttr(const std::string& path, std::string_view name, std::string_view value) {
    return errnoOf(fs_->setxattr(path.empty() ? kRootIno : lookup(path), name, value));
  }
  void hostAway(bool away) {
    away_ = away;
    ext_->setFailure([this](const InMemoryExtension::Call& c) -> std::optional<fp::Error> {
      if (!away_) return std::nullopt;
      (void)c;
      return fp::Error::fileProvider(fp::FileProviderErrorCode::kServerUnreachable);
    });
  }
  std::atomic<bool> away_{false};
};

TEST_F(PinTest, APinnedFolderKeepsItsTreeLocalAndFollowsNewVersions) {
  ASSERT_EQ(setAttr("Docs", xattr::kPinned, "1"), 0);
  fs_->keepPinnedLocal();
  EXPECT_EQ(ext_->calls("fetch").size(), 2u);  // notes.txt and locked.csv
  EXPECT_TRUE(fs_->isPinned(notes_));
  EXPECT_EQ(state("Docs/notes.txt"), "pinned");
  EXPECT_EQ(state("Docs"), "pinned");
  EXPECT_EQ(state(""), "local");

  // A new version on the service, and a new file in the folder, are fetched
  // in the background after the change check; reading needs no fetch then.
  ext_->hostWrite(notes_, "v2");
  fp::ItemIdentifier added = ext_->addFile(docs_, "added.txt", "new");
  fs_->checkForChanges();
  fs_->keepPinnedLocal();
  EXPECT_EQ(ext_->calls("fetch").size(), 4u);
  EXPECT_TRUE(fs_->isPinned(added));
  EXPECT_EQ(*read("Docs/notes.txt"), "v2");
  EXPECT_EQ(*read("Docs/added.txt"), "new");
  EXPECT_EQ(ext_->calls("fetch").size(), 4u);

  // Nothing changed: nothing is fetched or listed again.
  int listed = ext_->listings(docs_);
  fs_->keepPinnedLocal();
  EXPECT_EQ(ext_->listings(docs_), listed);
}

TEST_F(PinTest, PinsAreKeptInTheCacheFolderAcrossMounts) {
  ASSERT_EQ(setAttr("Docs/notes.txt", xattr::kPinned, "1"), 0);
  fs_.reset();
  fs_ = std::make_unique<MountFs>(ext_, *cache_, notifier_, 1000, 1000);
  ASSERT_TRUE(fs_->start().ok());
  EXPECT_TRUE(fs_->isPinned(notes_));
  EXPECT_EQ(*fs_->getxattr(lookup("Docs/notes.txt"), xattr::kPinned), "1");
  ASSERT_EQ(fs_->pinned().size(), 1u);
  EXPECT_EQ(fs_->pinned()[0].path, "/Docs/notes.txt");
  ASSERT_EQ(setAttr("Docs/notes.txt", xattr::kPinned, "0"), 0);
  EXPECT_TRUE(PinSet::read(dir_ / "cache" / "pinned.json").empty());
}

TEST_F(PinTest, ADamagedPinFileIsMovedAsideAndNothingIsPinned) {
  fs_.reset();
  std::ofstream(dir_ / "cache" / "pinned.json") << "{\"pinned\":[{\"identifier\":\"zz\"";
  fs_ = std::make_unique<MountFs>(ext_, *cache_, notifier_, 1000, 1000);
  ASSERT_TRUE(fs_->start().ok());
  EXPECT_TRUE(fs_->pinned().empty());
  EXPECT_TRUE(fs::exists(dir_ / "cache" / "pinned.json.damaged"));
  EXPECT_THAT(log(), HasSubstr("pinned.json could not be read"));
}

TEST_F(PinTest, AttributesAnswerAndRefuseAsDocumented) {
  Ino notes = lookup("Docs/notes.txt");
  EXPECT_EQ(*fs_->getxattr(notes, "user.fileprovider.identifier"), notes_);
  EXPECT_FALSE(fs_->getxattr(notes, "user.fileprovider.version")->empty());
  EXPECT_EQ(*fs_->getxattr(notes, xattr::kPinned), "0");
  using namespace std::string_literals;
  EXPECT_EQ(*fs_->listxattr(notes),
            "user.fileprovider.state\0user.fileprovider.identifier\0"
            "user.fileprovider.version\0user.fileprovider.pinned\0"s);
  struct Case {
    std::string_view name, value;
    int err;
  };
  for (const Case& c :
       {Case{xattr::kPinned, "yes", EINVAL}, Case{xattr::kPinned, "", EINVAL},
        Case{xattr::kEvict, "0", EINVAL}, Case{xattr::kState, "local", EPERM},
        Case{"user.fileprovider.identifier", "i:x", EPERM},
        Case{"user.fileprovider.version", "1", EPERM}, Case{"user.comment", "hi", ENOTSUP}}) {
    EXPECT_EQ(errnoOf(fs_->setxattr(notes, c.name, c.value)), c.err) << c.name << "=" << c.value;
  }
  // No access lists and no labels: a program that reads them learns once that
  // the mount has none (ENOTSUP), rather than asking again for every item.
  for (auto name : {"security.selinux", "system.posix_acl_access", "system.posix_acl_default"}) {
    EXPECT_EQ(fs_->getxattr(notes, name).error().value, ENOTSUP) << name;
  }
  EXPECT_EQ(fs_->getxattr(notes, "user.comment").error().value, ENODATA);
  EXPECT_EQ(errnoOf(fs_->removexattr(notes, xattr::kState)), EPERM);

  // A new file not created on the service yet has no identifier to pin.
  auto c = fs_->create(lookup("Docs"), "draft.txt", O_WRONLY | O_CREAT);
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(*fs_->getxattr(c->first.ino, xattr::kState), "uploading");
  EXPECT_EQ(fs_->getxattr(c->first.ino, "user.fileprovider.identifier").error().value, ENODATA);
  EXPECT_EQ(errnoOf(fs_->setxattr(c->first.ino, xattr::kPinned, "1")), EBUSY);
  EXPECT_EQ(errnoOf(fs_->evict(c->first.ino)), EBUSY);
  fs_->release(c->second.fh);
  EXPECT_EQ(*fs_->getxattr(notes, xattr::kPinned), "0");  // nothing above changed it
}

TEST_F(PinTest, StateFollowsAFileThroughFetchWriteAndSend) {
  EXPECT_EQ(state("Docs/notes.txt"), "cloud");
  EXPECT_EQ(*read("Docs/notes.txt"), "hello");
  EXPECT_EQ(state("Docs/notes.txt"), "local");

  auto h = fs_->open(lookup("Docs/notes.txt"), O_WRONLY | O_TRUNC);
  ASSERT_TRUE(h.ok());
  ASSERT_TRUE(fs_->write(h->fh, "edited", 6, 0).ok());
  EXPECT_EQ(state("Docs/notes.txt"), "uploading");
  EXPECT_EQ(fs_->evict(lookup("Docs/notes.txt")).error().value, EBUSY);
  EXPECT_EQ(errnoOf(fs_->flush(h->fh)), 0);
  fs_->release(h->fh);
  EXPECT_EQ(state("Docs/notes.txt"), "local");  // the written copy is the new version

  // The host away: the closed state waits in the queue.
  hostAway(true);
  EXPECT_EQ(overwrite("Docs/notes.txt", "offline", O_WRONLY | O_TRUNC), 0);
  EXPECT_EQ(state("Docs/notes.txt"), "unsent");
  EXPECT_EQ(fs_->evict(lookup("Docs/notes.txt")).error().value, EBUSY);
  hostAway(false);
  EXPECT_EQ(fs_->sendQueue(), 0u);
  EXPECT_NE(state("Docs/notes.txt"), "unsent");
}

TEST_F(PinTest, EvictDropsTheCopyAndTheNextReadFetchesAgain) {
  EXPECT_EQ(*read("Docs/notes.txt"), "hello");
  ASSERT_EQ(ext_->calls("fetch").size(), 1u);
  notifier_.clear();
  ASSERT_EQ(setAttr("Docs/notes.txt", xattr::kEvict, "1"), 0);
  EXPECT_EQ(state("Docs/notes.txt"), "cloud");
  // The kernel drops its copy of the data too.
  EXPECT_THAT(notifier_.inodes, ::testing::Contains(std::pair(lookup("Docs/notes.txt"), true)));
  EXPECT_THAT(filesIn(dir_ / "cache" / "contents"), IsEmpty());
  EXPECT_EQ(*read("Docs/notes.txt"), "hello");
  EXPECT_EQ(ext_->calls("fetch").size(), 2u);

  EXPECT_EQ(setAttr("Docs", xattr::kEvict, "1"), EISDIR);
  ASSERT_EQ(setAttr("Docs", xattr::kPinned, "1"), 0);
  EXPECT_EQ(setAttr("Docs/notes.txt", xattr::kEvict, "1"), EPERM);  // pinned through Docs
  EXPECT_EQ(state("Docs/notes.txt"), "pinned");
  // Unpinned, it can go at once, before the next walk of the pinned trees.
  fs_->keepPinnedLocal();
  ASSERT_EQ(setAttr("Docs", xattr::kPinned, "0"), 0);
  EXPECT_EQ(setAttr("Docs/notes.txt", xattr::kEvict, "1"), 0);
}

TEST_F(PinTest, OfflinePinnedFilesReadAndOthersFailAtOnce) {
  ext_->addFile(kRoot, "loose.txt", "not pinned");
  ASSERT_EQ(setAttr("Docs", xattr::kPinned, "1"), 0);
  fs_->keepPinnedLocal();
  hostAway(true);
  EXPECT_EQ(*read("Docs/notes.txt"), "hello");
  EXPECT_EQ(*read("Docs/locked.csv"), "a,b");
  EXPECT_EQ(read("loose.txt").error().value, EIO);
  // A pinned file that changed while the host was away is fetched once it is back.
  ext_->hostWrite(notes_, "later");
  fs_->checkForChanges();
  fs_->keepPinnedLocal();
  EXPECT_EQ(state("Docs/notes.txt"), "pinning");  // its new version is not here yet
  hostAway(false);
  fs_->checkForChanges();
  auto fetches = ext_->calls("fetch").size();
  ext_->hostWrite(locked_, "a,b,c");  // one more change makes the next check walk again
  fs_->checkForChanges();
  fs_->keepPinnedLocal();
  EXPECT_EQ(ext_->calls("fetch").size(), fetches + 2);
}

// ---------------------------------------------------------------- the bound

std::string patterned(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7) >> 3);
  return s;
}

TEST_F(MountFsTest, AFileLargerThanTheBoundIsReadWithoutACopy) {
  std::string big = patterned(600 << 10, 1);
  auto id = ext_->addFile(docs_, "big.bin", big);
  remount({.maxBytes = 256 << 10, .maxAge = std::nullopt});
  auto h = fs_->open(lookup("Docs/big.bin"), O_RDONLY);
  ASSERT_TRUE(h.ok());
  // A second reader shares the one fetch.
  auto h2 = fs_->open(lookup("Docs/big.bin"), O_RDONLY);
  ASSERT_TRUE(h2.ok());
  EXPECT_TRUE(readAll(h->fh) == big);
  EXPECT_TRUE(readAll(h2->fh) == big);
  EXPECT_EQ(cache_->usage().copies, 0);
  EXPECT_THAT(filesIn(dir_ / "cache" / "contents"), IsEmpty());
  EXPECT_THAT(log(), HasSubstr("big.bin (" + id + ") is read without a copy in the cache"));
  fs_->release(h->fh);
  fs_->release(h2->fh);

  // Written to: the working copy starts from the fetched file.
  auto w = fs_->open(lookup("Docs/big.bin"), O_RDWR);
  ASSERT_TRUE(w.ok());
  EXPECT_TRUE(readAll(w->fh) == big);
  fs_->release(w->fh);
  // A file that fits is kept as before.
  EXPECT_EQ(*read("Docs/notes.txt"), "hello");
  EXPECT_EQ(cache_->usage().copies, 1);
}

TEST_F(MountFsTest, TheBoundDropsTheOldestCopyButNoneThatIsOpenQueuedOrPinned) {
  constexpr std::size_t kSize = 40 << 10;
  std::map<std::string, fp::ItemIdentifier> ids;
  unsigned seed = 0;
  for (const char* name : {"old", "pinned", "open", "queued", "fresh", "fresher"}) {
    ids[name] = ext_->addFile(docs_, name, patterned(kSize, ++seed));
  }
  remount({.maxBytes = 4 * kSize + kSize / 2, .maxAge = std::nullopt});
  ASSERT_EQ(errnoOf(fs_->pin(lookup("Docs/pinned"))), 0);
  auto content = [&](const std::string& name) { return ext_->entry(ids[name])->data; };
  auto cached = [&](const std::string& name) {
    std::set<std::string> names;
    for (const auto& f : filesIn(dir_ / "cache" / "contents")) names.insert(f);
    return names.count(content(name)) > 0;
  };
  for (const char* name : {"old", "pinned", "open", "queued"}) {
    ASSERT_TRUE(read("Docs/" + std::string(name)).ok()) << name;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  auto open = fs_->open(lookup("Docs/open"), O_RDONLY);
  ASSERT_TRUE(open.ok());
  // The host is away: the change of "queued" waits in the queue.
  ext_->setFailure([](const InMemoryExtension::Call& c) -> std::optional<fp::Error> {
    if (c.op == "fetch") return std::nullopt;
    return fp::Error::fileProvider(fp::FileProviderErrorCode::kServerUnreachable);
  });
  auto w = fs_->open(lookup("Docs/queued"), O_WRONLY);
  ASSERT_TRUE(w.ok());
  ASSERT_TRUE(fs_->write(w->fh, "Q", 1, 0).ok());
  EXPECT_EQ(errnoOf(fs_->flush(w->fh)), 0);
  fs_->release(w->fh);
  ASSERT_EQ(cache_->queue().pending().size(), 1u);

  // Each new copy needs room: the least recently used copy that may go goes,
  // "old" first and then "fresh", though "pinned", "open" and "queued" are older.
  EXPECT_TRUE(fs_->keepsCopyOf(ids["pinned"]));
  EXPECT_FALSE(fs_->keepsCopyOf(ids["old"]));
  ASSERT_TRUE(read("Docs/fresh").ok());
  EXPECT_FALSE(cached("old"));
  ASSERT_TRUE(read("Docs/fresher").ok());
  EXPECT_FALSE(cached("fresh"));
  for (const char* name : {"pinned", "open", "queued", "fresher"})
    EXPECT_TRUE(cached(name)) << name;
  EXPECT_LE(cache_->usage().bytes, cache_->usage().bound.maxBytes);
  EXPECT_TRUE(readAll(open->fh) == content("open"));
  fs_->release(open->fh);

  // A dropped copy is fetched again when it is read.
  auto fetches = ext_->calls("fetch").size();
  EXPECT_TRUE(*read("Docs/old") == content("old"));
  EXPECT_EQ(ext_->calls("fetch").size(), fetches + 1);
}

TEST_F(MountFsTest, APinnedFileStaysLocalEvenWhenTheBoundCannotHoldIt) {
  // Pinned through its folder, read before any walk of the pinned trees.
  fp::ItemIdentifier big = ext_->addFile(docs_, "big.bin", patterned(48 << 10, 7));
  const std::string data = ext_->entry(big)->data;
  remount({.maxBytes = 16 << 10, .maxAge = std::nullopt});
  ASSERT_EQ(errnoOf(fs_->pin(lookup("Docs"))), 0);
  EXPECT_TRUE(*read("Docs/big.bin") == data);
  EXPECT_THAT(filesIn(dir_ / "cache" / "contents"), ::testing::Contains(data));
  EXPECT_EQ(*fs_->getxattr(lookup("Docs/big.bin"), "user.fileprovider.state"), "pinned");
  // Other copies come and go; the pinned one stays and is not fetched again.
  EXPECT_EQ(*read("Docs/notes.txt"), "hello");
  fs_->trimCache();
  auto fetches = ext_->calls("fetch").size();
  EXPECT_TRUE(*read("Docs/big.bin") == data);
  EXPECT_EQ(ext_->calls("fetch").size(), fetches);
}

// A new file renamed again while the rename made during its creation is sent
// ends under its last name (the service kept the one before).
TEST_F(MountFsTest, ANewFileRenamedWhileItsFirstRenameIsSentEndsUnderItsLastName) {
  // Renamed again, or removed (it stayed on the service, and its folder could
  // not be removed), while that rename is sent.
  for (bool remove : {false, true}) {
    SCOPED_TRACE(remove ? "removed" : "renamed again");
    const std::string a = remove ? "ra.txt" : "a.txt", b = remove ? "rb.txt" : "b.txt";
    const std::size_t created = ext_->calls("create").size();
    ext_->closeGate("create");
    std::thread writer([&] { EXPECT_EQ(writeNew("Docs", a, "x"), 0); });
    ASSERT_TRUE(waitFor([&] { return ext_->waiting() == 1; }));
    EXPECT_EQ(rename("Docs/" + a, "Docs/" + b), 0);
    ext_->closeGate("modify");
    ASSERT_TRUE(waitFor(
        [&] { return ext_->calls("create").size() == created + 1 && ext_->waiting() == 1; }));
    if (remove) {
      EXPECT_EQ(errnoOf(fs_->unlink(lookup("Docs"), b)), 0);
    } else {
      EXPECT_EQ(rename("Docs/b.txt", "Docs/c.txt"), 0);
    }
    ext_->openGate();
    writer.join();
  }
  fs_->checkForChanges();
  EXPECT_THAT(names("Docs"), UnorderedElementsAre("c.txt", "locked.csv", "notes.txt"));
  EXPECT_EQ(ext_->entry(ext_->childNamed(docs_, "c.txt"))->data, "x");
  EXPECT_EQ(ext_->childNamed(docs_, "rb.txt"), "");
}

// A new file removed while the queue tries its creation with the host away is
// never created later (it stayed in the store).
TEST_F(MountFsTest, ANewFileRemovedWhileTheQueueTriesItIsNeverSent) {
  away_ = true;
  awayWhileSet();
  EXPECT_EQ(writeNew("Docs", "f5", "x"), 0);
  ext_->closeGate("create");
  std::thread queue([&] { (void)fs_->sendQueue(); });
  ASSERT_TRUE(waitFor([&] { return ext_->waiting() == 1; }));
  EXPECT_EQ(errnoOf(fs_->unlink(lookup("Docs"), "f5")), 0);
  ext_->openGate();
  queue.join();
  away_ = false;
  drainQueue();
  EXPECT_EQ(fs_->sendQueue(), 0u);
  EXPECT_EQ(ext_->childNamed(docs_, "f5"), "");
}

// A file saved again while the queue creates its older state, behind a move
// that waits: the file is what that creation made, and its newer state a
// change of it. Removed (before or after the creation is answered) or
// renamed then, nothing of it stays behind.
TEST_F(MountFsTest, ANewFileSavedAgainWhileTheQueueCreatesItIsThatItem) {
  ext_->setRefuseTakenNames(true);
  struct Case {
    const char* what;
    bool remove;
    bool beforeAnswer;
  };
  int round = 0;
  for (const Case c : {Case{"removed", true, false}, Case{"renamed", false, false},
                       Case{"removed before the creation is answered", true, true}}) {
    SCOPED_TRACE(c.what);
    const std::string name = std::string(c.remove ? "gone" : "kept") + (c.beforeAnswer ? "2" : "");
    away_ = true;
    awayWhileSet();
    ASSERT_EQ(writeNew("Docs", name, "old"), 0);
    const bool out = round++ % 2 == 0;  // a move that waits: notes.txt out of Docs and back
    ASSERT_EQ(rename(out ? "Docs/notes.txt" : "n.txt", out ? "n.txt" : "Docs/notes.txt"), 0);
    away_ = false;
    ext_->closeGate("answer create");
    std::thread queue([&] { (void)fs_->sendQueue(); });
    ASSERT_TRUE(waitFor([&] { return ext_->waiting() == 1; }));
    std::thread saver([&] { EXPECT_EQ(overwrite("Docs/" + name, "new", O_WRONLY | O_TRUNC), 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!c.beforeAnswer) {
      ext_->closeGate("modify");  // the creation is answered; the move waits
      ASSERT_TRUE(waitFor([&] { return ext_->waitingAt("modify") == 1; }));
    }
    if (c.remove) {
      EXPECT_EQ(errnoOf(fs_->unlink(lookup("Docs"), name)), 0);
    } else {
      EXPECT_EQ(rename("Docs/" + name, "Docs/renamed.txt"), 0);
    }
    ext_->openGate();
    queue.join();
    saver.join();
    drainQueue();
    EXPECT_EQ(ext_->childNamed(docs_, name), "");
    if (!c.remove) {
      auto renamed = ext_->childNamed(docs_, "renamed.txt");
      ASSERT_NE(renamed, "");
      EXPECT_EQ(ext_->entry(renamed)->data, "new");
    }
  }
  EXPECT_THAT(readCache(dir_ / "cache").refused, IsEmpty());
}

// A new file replaced by a rename while the queue creates it is deleted at
// once, before the move queued after its creation: that move takes its name.
// With nothing else queued, the move goes into the queue too: sent at once, it
// would find the name still taken by what is being made.
TEST_F(MountFsTest, ANewFileReplacedWhileTheQueueCreatesItLeavesItsNameToTheMove) {
  ext_->setRefuseTakenNames(true);
  awayWhileSet();
  for (bool moveWaits : {true, false}) {
    SCOPED_TRACE(moveWaits ? "behind a queued move" : "nothing else queued");
    const std::string name = moveWaits ? "draft.txt" : "draft2.txt";
    std::string source = moveWaits ? "Docs/notes.txt" : "Docs/draft.txt";
    away_ = true;
    ASSERT_EQ(writeNew("Docs", name, "draft"), 0);
    if (moveWaits) {
      ASSERT_EQ(rename(source, "n.txt"), 0);  // a move waits behind the creation
      source = "n.txt";
    }
    away_ = false;
    ext_->closeGate("answer create");
    std::thread queue([&] { (void)fs_->sendQueue(); });
    ASSERT_TRUE(waitFor([&] { return ext_->waiting() == 1; }));
    EXPECT_EQ(rename(source, "Docs/" + name), 0);
    ext_->openGate();
    queue.join();
    drainQueue();
    EXPECT_EQ(ext_->childNamed(docs_, name), notes_);
    EXPECT_EQ(ext_->entry(notes_)->data, "hello");
    EXPECT_THAT(readCache(dir_ / "cache").refused, IsEmpty());
  }
}

// A listing with attributes hands what the kernel holds already without them
// (no lookup counted); what it forgot comes with them again.
TEST_F(MountFsTest, ListingWithAttributesLeavesOutWhatTheKernelHolds) {
  Ino docs = lookup("Docs");
  auto heldByName = [&] {
    std::map<std::string, std::pair<Ino, bool>> out;
    auto dh = fs_->opendir(docs);
    EXPECT_TRUE(dh.ok());
    EXPECT_EQ(errnoOf(fs_->readdir(*dh, 0, true,
                                   [&](const DirEntry& e, off_t) {
                                     out[e.name] = {e.ino, e.held};
                                     return true;
                                   })),
              0);
    fs_->releasedir(*dh);
    return out;
  };
  auto first = heldByName();
  EXPECT_FALSE(first["notes.txt"].second);
  EXPECT_TRUE(heldByName()["notes.txt"].second);
  fs_->forget(first["notes.txt"].first, 1);  // the one lookup counted
  auto third = heldByName();
  EXPECT_FALSE(third["notes.txt"].second);
  EXPECT_TRUE(third["locked.csv"].second);
}

// An item the kernel knows only from a listing keeps answering by its number
// when it is changed, moved or removed, here or elsewhere.
TEST_F(MountFsTest, AnItemTheKernelKnowsFromAListingFollowsItsChanges) {
  auto extra = ext_->addFile(docs_, "b.txt", "bee");
  Ino docs = lookup("Docs");
  Ino notes = lookup("Docs/notes.txt"), b = lookup("Docs/b.txt");
  EXPECT_EQ(fs_->getattr(notes)->st_size, 5);

  ext_->hostWrite(notes_, "hello, world");
  fs_->checkForChanges();
  EXPECT_THAT(notifier_.inodes, ::testing::Contains(std::pair(notes, true)));
  EXPECT_EQ(fs_->getattr(notes)->st_size, 12);

  auto other = ext_->addFolder(kRoot, "Other");
  ext_->hostMove(notes_, other, "moved.txt");
  fs_->checkForChanges();
  EXPECT_THAT(names("Docs"), ElementsAre("b.txt", "locked.csv"));
  auto h = fs_->open(notes, O_RDONLY);
  ASSERT_TRUE(h.ok());
  std::string data(64, '\0');
  auto n = fs_->read(h->fh, data.data(), data.size(), 0);
  fs_->release(h->fh);
  ASSERT_TRUE(n.ok());
  EXPECT_EQ(data.substr(0, *n), "hello, world");

  EXPECT_EQ(errnoOf(fs_->unlink(docs, "b.txt")), 0);
  EXPECT_THAT(names("Docs"), ElementsAre("locked.csv"));
  EXPECT_EQ(ext_->childNamed(docs_, "b.txt"), "");
  EXPECT_FALSE(ext_->entry(extra).has_value());
  fs_->forget(b, 1);
  fs_->forget(notes, 1);
}

// An open folder keeps the names it had; one whose item left the listing since
// is listed without attributes, and no node is made for it.
TEST_F(MountFsTest, AnOpenFolderListsWhatLeftItSinceWithoutAttributes) {
  auto dh = fs_->opendir(lookup("Docs"));
  ASSERT_TRUE(dh.ok());
  ext_->hostRemove(notes_);
  fs_->checkForChanges();
  std::map<std::string, bool> held;
  EXPECT_EQ(errnoOf(fs_->readdir(*dh, 2, true,
                                 [&](const DirEntry& e, off_t) {
                                   held[e.name] = e.held;
                                   return true;
                                 })),
            0);
  fs_->releasedir(*dh);
  EXPECT_THAT(held, ElementsAre(std::pair("locked.csv", false), std::pair("notes.txt", true)));
  EXPECT_EQ(lookup("Docs/notes.txt"), 0u);
}

TEST_F(MountFsTest, AListingChangedHereHasTheKernelDropTheNamesItKept) {
  Ino docs = lookup("Docs");
  names("Docs");
  notifier_.clear();
  EXPECT_EQ(errnoOf(fs_->unlink(docs, "notes.txt")), 0);
  EXPECT_THAT(notifier_.inodes, ::testing::Contains(std::pair(docs, true)));
}

}  // namespace
}  // namespace fpctl::mount
