// The extension object driven through the platform's loader, as the platform
// drives it: lookups, contents, thumbnails, creation, modification, deletion.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "extension/bridge/host_bridge.h"
#include "extension/front/front_test_support.h"

namespace pellora::testing {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Code = fp::FileProviderErrorCode;
using std::chrono::milliseconds;

fp::Error fileProvider(Code code) { return fp::Error::fileProvider(code); }

class ExtensionTest : public FrontTest {
 protected:
  void SetUp() override {
    FrontTest::SetUp();
    container_.clearLog();  // drop the init line
  }
  // Docs/ (F1) holding Report.pdf (I1); top.txt (I2) at the top level.
  void addSampleTree() {
    index().addFolder("F1", "Docs", std::nullopt);
    index().addFile("I1", "Report.pdf", "F1", 10, 1700000000, 3);
    index().addFile("I2", "top.txt", std::nullopt, 5, 1700000000, 1);
  }
  // Checks an immediate refusal: noSuchItem, before returning, progress 1 of 1.
  static void expectRefusedAtOnce(const Outcome& o) {
    EXPECT_EQ(o.error, fileProvider(Code::kNoSuchItem));
    EXPECT_EQ(o.item, nullptr);
    EXPECT_EQ(o.calls, 1);
    EXPECT_TRUE(o.calledBeforeReturn);
    EXPECT_EQ(o.completedAtReturn, 1);
    EXPECT_EQ(o.progress->totalUnitCount(), 1);
  }
  // Checks a queued completion: once, on another thread, progress completed after it.
  static void expectQueued(const Outcome& o) {
    EXPECT_EQ(o.calls, 1);
    EXPECT_FALSE(o.onCallingThread);
    EXPECT_EQ(o.completedDuringHandler, 0);
    EXPECT_EQ(o.progress->completedUnitCount(), 1);
    EXPECT_EQ(o.progress->totalUnitCount(), 1);
  }
  static void expectChangeSuccess(const Outcome& o) {
    expectQueued(o);
    EXPECT_EQ(o.error, std::nullopt);
    EXPECT_EQ(o.remainingFields, 0u);
    EXPECT_FALSE(o.shouldFetchContent);
    ASSERT_NE(o.item, nullptr);
  }
  std::vector<std::string> extensionLog() const { return log("Extension"); }
};

// --- construction and lookup -------------------------------------------------

TEST_F(ExtensionTest, ConstructionLogsDomainAndIndexName) {
  auto perAccount = makeExtension("de.brightfold.pellora-connect-desktop.acct.alice");
  ASSERT_NE(perAccount, nullptr);
  EXPECT_EQ(extensionLog(), (std::vector<std::string>{
                                "info\tinit for domain de.brightfold.pellora-connect-desktop.acct."
                                "alice (index state-alice.db)"}));
  container_.clearLog();
  (void)makeExtension(kDefaultDomain);
  EXPECT_EQ(extensionLog(),
            (std::vector<std::string>{"info\tinit for domain de.brightfold.pellora-connect-desktop."
                                      "default (index state.db)"}));
}

TEST_F(ExtensionTest, RootIsFoundWithoutAnIndexAndNothingElseIs) {
  Outcome root = lookUp(kRoot);
  ASSERT_NE(root.item, nullptr);
  EXPECT_EQ(root.error, std::nullopt);
  EXPECT_EQ(root.item->itemIdentifier(), kRoot);
  EXPECT_EQ(root.item->filename(), "Pellora Connect");
  EXPECT_TRUE(root.calledBeforeReturn);
  EXPECT_EQ(root.completedAtReturn, 1);
  for (const char* id : {"f:F1", "i:I1"}) {
    SCOPED_TRACE(id);
    expectRefusedAtOnce(lookUp(id));
  }
  EXPECT_TRUE(extensionLog().empty());
}

TEST_F(ExtensionTest, PrefixDecidesWhichTableIsSearched) {
  addSampleTree();
  Outcome folder = lookUp("f:F1");
  ASSERT_NE(folder.item, nullptr);
  EXPECT_EQ(folder.item->itemIdentifier(), "f:F1");
  EXPECT_EQ(folder.item->filename(), "Docs");
  Outcome file = lookUp("i:I1");
  ASSERT_NE(file.item, nullptr);
  EXPECT_EQ(file.item->itemIdentifier(), "i:I1");
  EXPECT_EQ(file.item->parentItemIdentifier(), "f:F1");
  EXPECT_TRUE(file.calledBeforeReturn);
  EXPECT_EQ(file.completedAtReturn, 1);

  for (const char* id : {"f:I1", "i:F1", "F1", "x:I1", "I:I1", "f:", "", "f:NOPE"}) {
    SCOPED_TRACE(id);
    expectRefusedAtOnce(lookUp(id));
  }
  EXPECT_TRUE(extensionLog().empty());
}

TEST_F(ExtensionTest, TrashAndWorkingSetAreNoItemsButStillGetEnumerators) {
  addSampleTree();
  for (std::string_view id : {fp::kTrashContainer, fp::kWorkingSetContainer}) {
    SCOPED_TRACE(id);
    expectRefusedAtOnce(lookUp(id));
    EXPECT_NE(extension().enumerator(std::string(id), fp::Request{}), nullptr);
  }
}

// --- contents ------------------------------------------------------------------

TEST_F(ExtensionTest, FetchRefusesFoldersAndUnparsableIdentifiersWithoutAskingTheHost) {
  serveSuccess();
  for (std::string_view id : {std::string_view("f:F1"), std::string_view("F1"), kRoot}) {
    SCOPED_TRACE(id);
    Outcome o = fetch(id);
    expectRefusedAtOnce(o);
    EXPECT_EQ(o.url, std::nullopt);
  }
  EXPECT_EQ(host().connectionCount(), 0u);
}

TEST_F(ExtensionTest, FetchReturnsTheHostsPathAndTheCurrentItem) {
  addSampleTree();
  serveSuccess("NEW", "/data/cache/I1.pdf");
  Outcome o = fetch("i:I1");
  expectQueued(o);
  EXPECT_EQ(o.error, std::nullopt);
  EXPECT_EQ(o.url, fs::path("/data/cache/I1.pdf"));
  ASSERT_NE(o.item, nullptr);
  EXPECT_EQ(o.item->itemIdentifier(), "i:I1");
  EXPECT_EQ(o.item->filename(), "Report.pdf");
  EXPECT_EQ(o.item->itemVersion().contentVersion, "3");
  EXPECT_EQ(requests(),
            (std::vector<json>{{{"op", "fetch"}, {"account", "primary"}, {"ulid", "I1"}}}));
  EXPECT_TRUE(extensionLog().empty());
}

TEST_F(ExtensionTest, FetchWithoutAnIndexRowReturnsThePathAlone) {
  serveSuccess("NEW", "/data/x");
  Outcome noIndex = fetch("i:GONE");
  expectQueued(noIndex);
  EXPECT_EQ(noIndex.url, fs::path("/data/x"));
  EXPECT_EQ(noIndex.item, nullptr);
  EXPECT_EQ(noIndex.error, std::nullopt);

  addSampleTree();
  Outcome noRow = fetch("i:GONE");
  EXPECT_EQ(noRow.url, fs::path("/data/x"));
  EXPECT_EQ(noRow.item, nullptr);
  EXPECT_EQ(noRow.error, std::nullopt);
}

TEST_F(ExtensionTest, FetchFromAnUnreachableHostLogsInfoOnly) {
  Outcome o = fetch("i:I1");  // no socket at all
  expectQueued(o);
  EXPECT_EQ(o.error, fileProvider(Code::kServerUnreachable));
  EXPECT_EQ(o.url, std::nullopt);
  EXPECT_EQ(extensionLog(), (std::vector<std::string>{"info\thost app unreachable for I1"}));
}

TEST_F(ExtensionTest, FetchFailuresAreMappedAndLoggedWithTheUlid) {
  serveFailure("not_found", "no such file");
  Outcome o = fetch("i:I9");
  expectQueued(o);
  EXPECT_EQ(o.error, fileProvider(Code::kNoSuchItem));
  EXPECT_EQ(extensionLog(),
            (std::vector<std::string>{
                "error\t"
                R"(fetch failed for I9: remote(kind: "not_found", message: "no such file"))"}));
}

TEST_F(ExtensionTest, PerAccountDomainUsesItsAccountAndIndex) {
  TestIndex alice(container_.dir() / "state-alice.db");
  alice.addFile("A1", "alice.txt", std::nullopt);
  index().addFile("A1", "primary.txt", std::nullopt);
  serveSuccess();
  auto ext = makeExtension("de.brightfold.pellora-connect-desktop.acct.alice");
  Outcome o = fetch("i:A1", ext.get());
  ASSERT_NE(o.item, nullptr);
  EXPECT_EQ(o.item->filename(), "alice.txt");
  EXPECT_EQ(requests().at(0)["account"], "alice");
}

TEST_F(ExtensionTest, ManyConcurrentFetchesEachCompleteOnce) {
  constexpr int kRequests = 60;
  constexpr auto kDelay = milliseconds(400);
  serve(
      [](const json& request) {
        return json{{"ok", true}, {"path", "/c/" + request["ulid"].get<std::string>()}}.dump() +
               "\n";
      },
      kDelay);

  std::vector<std::atomic<int>> calls(kRequests);
  std::vector<std::string> paths(kRequests);
  std::vector<fp::ProgressPtr> progress;
  std::atomic<int> done{0};
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRequests; ++i) {
    progress.push_back(extension().fetchContents(
        "i:U" + std::to_string(i), std::nullopt, fp::Request{},
        [&, i](std::optional<fs::path> url, fp::ItemPtr, std::optional<fp::Error> error) {
          EXPECT_EQ(error, std::nullopt);
          paths[i] = url.value_or("").string();
          calls[i].fetch_add(1);
          done.fetch_add(1);
        }));
  }
  const auto deadline = start + kWaitLimit;
  auto allFinished = [&] {
    if (done.load() < kRequests) return false;
    for (const auto& p : progress) {
      if (!p->isFinished()) return false;
    }
    return true;
  };
  while (!allFinished() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(allFinished());
  ASSERT_TRUE(host().waitIdle());
  // Time for a second, late call of any handler to show in the counts.
  std::this_thread::sleep_for(kLateCallGrace);
  for (int i = 0; i < kRequests; ++i) {
    EXPECT_EQ(calls[i].load(), 1) << i;
    EXPECT_EQ(paths[i], "/c/U" + std::to_string(i));
  }
  // Served one after the other they would take kRequests * kDelay (24 s).
  EXPECT_LT(elapsed, kRequests * kDelay / 3);
}

TEST_F(ExtensionTest, QueuedRequestsOutliveTheExtensionObject) {
  addSampleTree();
  host().respond([](const json&) { return std::string(R"({"ok":true,"path":"/data/I1"})") + "\n"; },
                 milliseconds(200));
  std::promise<fp::ItemPtr> fetched;
  auto ext = makeExtension(kDefaultDomain);
  auto progress =
      ext->fetchContents("i:I1", std::nullopt, fp::Request{},
                         [&](std::optional<fs::path>, fp::ItemPtr item, std::optional<fp::Error>) {
                           fetched.set_value(std::move(item));
                         });
  ext.reset();  // the platform drops the extension while the fetch is in flight
  auto future = fetched.get_future();
  ASSERT_EQ(future.wait_for(kWaitLimit), std::future_status::ready);
  fp::ItemPtr item = future.get();
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->filename(), "Report.pdf");
}

// --- thumbnails ----------------------------------------------------------------

TEST_F(ExtensionTest, ThumbnailsComeInListOrderWithoutErrors) {
  const fs::path image = writeFile("thumb.png", std::string("\x89PNG\r\n\0data", 11));
  serve([&](const json& request) {
    const std::string ulid = request["ulid"];
    if (ulid == "NOTHUMB") return std::string(R"({"ok":false,"kind":"not_found"})") + "\n";
    if (ulid == "UNREADABLE")
      return json{{"ok", true}, {"path", "/nonexistent/x.png"}}.dump() + "\n";
    return json{{"ok", true}, {"path", image.string()}}.dump() + "\n";
  });
  ThumbnailOutcome o =
      thumbnails({"f:F1", "i:NOTHUMB", "i:HAS", "junk", "i:UNREADABLE", std::string(kRoot)});
  ASSERT_EQ(o.thumbnails.size(), 6u);
  const std::vector<std::string> order = {"f:F1", "i:NOTHUMB",    "i:HAS",
                                          "junk", "i:UNREADABLE", std::string(kRoot)};
  for (size_t i = 0; i < order.size(); ++i) {
    SCOPED_TRACE(order[i]);
    EXPECT_EQ(o.thumbnails[i].identifier, order[i]);
    EXPECT_EQ(o.thumbnails[i].error, std::nullopt);
    EXPECT_EQ(o.thumbnails[i].data.has_value(), order[i] == "i:HAS");
  }
  EXPECT_EQ(o.thumbnails[2].data, std::string("\x89PNG\r\n\0data", 11));
  EXPECT_EQ(o.finalCalls, 1);
  EXPECT_EQ(o.finalError, std::nullopt);
  EXPECT_EQ(o.progress->totalUnitCount(), 6);
  EXPECT_EQ(o.progress->completedUnitCount(), 6);
  // Only file identifiers reach the host; failures are dropped silently.
  std::vector<std::string> asked;
  for (const auto& r : requests()) {
    EXPECT_EQ(r["op"], "thumbnail");
    asked.push_back(r["ulid"]);
  }
  EXPECT_EQ(asked, (std::vector<std::string>{"NOTHUMB", "HAS", "UNREADABLE"}));
  EXPECT_TRUE(extensionLog().empty());
}

TEST_F(ExtensionTest, ThumbnailProgressStepsAfterEachPerThumbnailHandler) {
  serveSuccess("NEW", "/tmp/contents", writeFile("t.png", "img"));
  std::vector<std::int64_t> completedInHandler;
  ThumbnailOutcome o = thumbnails({"i:A", "f:F", "i:C"}, [&](const fp::ProgressPtr& progress) {
    completedInHandler.push_back(progress->completedUnitCount());
  });
  EXPECT_EQ(completedInHandler, (std::vector<std::int64_t>{0, 1, 2}));
  EXPECT_EQ(o.progress->completedUnitCount(), 3);
}

TEST_F(ExtensionTest, ThumbnailPathsThatAreNoSmallRegularFileGiveNoData) {
  const fs::path fifo = container_.root() / "thumb.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Sparse files: their size costs no disk.
  auto sized = [&](const char* name, std::uintmax_t size) {
    fs::path p = writeFile(name, "");
    fs::resize_file(p, size);
    return p;
  };
  const fs::path exact = sized("exact.png", HostBridge::maxThumbnailBytes);
  const fs::path over = sized("over.png", HostBridge::maxThumbnailBytes + 1);
  const std::map<std::string, fs::path> paths = {
      {"ZERO", "/dev/zero"}, {"FIFO", fifo}, {"OVER", over}, {"EXACT", exact}};
  serve([&](const json& request) {
    return json{{"ok", true}, {"path", paths.at(request["ulid"].get<std::string>())}}.dump() + "\n";
  });
  const auto start = std::chrono::steady_clock::now();
  ThumbnailOutcome o = thumbnails({"i:ZERO", "i:FIFO", "i:OVER", "i:EXACT"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  ASSERT_EQ(o.thumbnails.size(), 4u);
  EXPECT_EQ(o.thumbnails[0].data, std::nullopt);
  EXPECT_EQ(o.thumbnails[1].data, std::nullopt);
  EXPECT_EQ(o.thumbnails[2].data, std::nullopt);
  ASSERT_TRUE(o.thumbnails[3].data.has_value());
  EXPECT_EQ(o.thumbnails[3].data->size(), HostBridge::maxThumbnailBytes);
  for (const auto& t : o.thumbnails) EXPECT_EQ(t.error, std::nullopt);
  const auto lines = extensionLog();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "error\tthumbnail of ZERO refused: reading /dev/zero: not a regular file");
  EXPECT_EQ(lines[1],
            "error\tthumbnail of FIFO refused: reading " + fifo.string() + ": not a regular file");
  EXPECT_EQ(lines[2], "error\tthumbnail of OVER refused: reading " + over.string() +
                          ": larger than 33554432 bytes");
}

TEST_F(ExtensionTest, EveryOperationWaitsLongerThanASecondForTheHost) {
  // The extension calls each operation with the operation's own default time-out;
  // a host that takes 1.2 s is still heard by every one of them.
  addSampleTree();
  const fs::path image = writeFile("t.png", "img");
  serve(
      [&](const json& request) {
        const std::string op = request["op"];
        json reply = {{"ok", true}};
        if (op == "fetch") reply["path"] = "/data/I1";
        if (op == "thumbnail") reply["path"] = image.string();
        if (op == "create") reply["ulid"] = "I2";
        return reply.dump() + "\n";
      },
      milliseconds(1200));
  auto fetched = std::async(std::launch::async, [&] { return fetch("i:I1"); });
  auto created = std::async(std::launch::async,
                            [&] { return create(TestItem("x", std::string(kRoot), "top.txt")); });
  auto modified = std::async(std::launch::async, [&] {
    return modify(TestItem("i:I2", std::string(kRoot), "renamed.txt"), fp::field::kFilename);
  });
  auto removed = std::async(std::launch::async, [&] { return remove("i:I2"); });
  ThumbnailOutcome thumbnail = thumbnails({"i:I1"});
  EXPECT_EQ(fetched.get().error, std::nullopt);
  EXPECT_EQ(created.get().error, std::nullopt);
  EXPECT_EQ(modified.get().error, std::nullopt);
  EXPECT_EQ(removed.get().error, std::nullopt);
  ASSERT_EQ(thumbnail.thumbnails.size(), 1u);
  EXPECT_EQ(thumbnail.thumbnails[0].data, "img");
}

TEST_F(ExtensionTest, ThumbnailsOfAnEmptyListOrFromAnUnreachableHost) {
  ThumbnailOutcome empty = thumbnails({});
  EXPECT_TRUE(empty.thumbnails.empty());
  EXPECT_EQ(empty.finalCalls, 1);
  EXPECT_EQ(empty.finalError, std::nullopt);
  EXPECT_EQ(empty.progress->totalUnitCount(), 0);

  ThumbnailOutcome unreachable = thumbnails({"i:A", "i:B"});
  ASSERT_EQ(unreachable.thumbnails.size(), 2u);
  for (const auto& t : unreachable.thumbnails) {
    EXPECT_EQ(t.data, std::nullopt);
    EXPECT_EQ(t.error, std::nullopt);
  }
  EXPECT_EQ(unreachable.finalError, std::nullopt);
  EXPECT_TRUE(extensionLog().empty());
}

TEST_F(ExtensionTest, CancelledThumbnailBatchStopsAtTheNextIdentifier) {
  serveSuccess("NEW", "/tmp/contents", writeFile("t.png", "img"));
  ThumbnailOutcome o = thumbnails({"i:A", "i:B", "i:C"},
                                  [](const fp::ProgressPtr& progress) { progress->cancel(); });
  ASSERT_EQ(o.thumbnails.size(), 1u);
  EXPECT_EQ(o.thumbnails[0].identifier, "i:A");
  EXPECT_EQ(o.thumbnails[0].data, "img");
  EXPECT_EQ(o.finalCalls, 1);
  EXPECT_EQ(o.finalError, std::nullopt);
  EXPECT_EQ(o.progress->completedUnitCount(), 1);
  EXPECT_EQ(requests().size(), 1u);
}

TEST_F(ExtensionTest, ThumbnailBatchCancelledRightAwayAsksTheHostAtMostOnce) {
  host().respond(
      [](const json&) { return std::string(R"({"ok":true,"path":"/nonexistent"})") + "\n"; },
      milliseconds(300));
  ThumbnailOutcome o = thumbnails({"i:A", "i:B", "i:C"}, {},
                                  [](const fp::ProgressPtr& progress) { progress->cancel(); });
  EXPECT_LE(o.thumbnails.size(), 1u);
  EXPECT_EQ(o.finalCalls, 1);
  EXPECT_EQ(o.finalError, std::nullopt);
  EXPECT_LE(requests().size(), 1u);
}

// --- creation ------------------------------------------------------------------

TEST_F(ExtensionTest, CreateSendsParentNameAndContentsByKind) {
  addSampleTree();
  const fs::path contents = writeFile("upload.bin", "hello");
  struct Case {
    const char* name;
    std::string parent;
    std::optional<fp::UTType> type;
    bool withContents;
    json expected;  // without "path"
    bool sendsPath;
  };
  const std::vector<Case> cases = {
      {"folder in root, contents ignored",
       std::string(kRoot),
       fp::UTType::folder(),
       true,
       {{"op", "create"}, {"account", "primary"}, {"name", "New"}},
       false},
      {"folder in folder",
       "f:F1",
       fp::UTType::folder(),
       false,
       {{"op", "create"}, {"account", "primary"}, {"name", "New"}, {"parent", "F1"}},
       false},
      {"file without type",
       "f:F1",
       std::nullopt,
       true,
       {{"op", "create"}, {"account", "primary"}, {"name", "New"}, {"parent", "F1"}},
       true},
      {"package is a file",
       std::string(kRoot),
       fp::UTType("com.apple.package"),
       true,
       {{"op", "create"}, {"account", "primary"}, {"name", "New"}},
       true},
      {"file under a file goes to the top",
       "i:I1",
       fp::UTType::data(),
       true,
       {{"op", "create"}, {"account", "primary"}, {"name", "New"}},
       true},
      {"unparsable parent goes to the top",
       "garbage",
       fp::UTType::data(),
       false,
       {{"op", "create"}, {"account", "primary"}, {"name", "New"}},
       false},
      {"trash parent goes to the top",
       std::string(fp::kTrashContainer),
       fp::UTType::data(),
       false,
       {{"op", "create"}, {"account", "primary"}, {"name", "New"}},
       false},
  };
  serveSuccess("I1");  // the host names an existing file as the new item
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = requests().size();
    Outcome o = create(TestItem("ignored", c.parent, "New", c.type),
                       c.withContents ? std::optional(contents) : std::nullopt);
    expectChangeSuccess(o);
    EXPECT_EQ(o.item->itemIdentifier(), "i:I1");
    auto sent = requests().at(before);
    ASSERT_EQ(sent.contains("path"), c.sendsPath);
    if (c.sendsPath) {
      // A staged copy in the container, not the platform's own file.
      fs::path staged = sent["path"].get<std::string>();
      EXPECT_EQ(staged.parent_path(), container_.dir() / "fp-upload");
      sent.erase("path");
    }
    EXPECT_EQ(sent, c.expected);
  }
}

TEST_F(ExtensionTest, CreatedItemIsReadBackFileTableFirstThenFolders) {
  addSampleTree();
  serveSuccess("F1");  // a folder the index already shows
  Outcome folder = create(TestItem("x", std::string(kRoot), "Docs", fp::UTType::folder()));
  expectChangeSuccess(folder);
  EXPECT_EQ(folder.item->itemIdentifier(), "f:F1");
  EXPECT_EQ(folder.item->filename(), "Docs");

  // A ulid in both tables: the file table answers first.
  index().addFolder("BOTH", "Both as folder", std::nullopt);
  index().addFile("BOTH", "both.txt", std::nullopt);
  serveSuccess("BOTH");
  Outcome file = create(TestItem("x", std::string(kRoot), "both.txt", fp::UTType::data()));
  expectChangeSuccess(file);
  EXPECT_EQ(file.item->itemIdentifier(), "i:BOTH");
  EXPECT_EQ(file.item->filename(), "both.txt");
}

TEST_F(ExtensionTest, CreatedItemNotYetIndexedGetsAnItemWithoutEntry) {
  serveSuccess("NEWULID");
  for (bool withIndex : {false, true}) {
    if (withIndex) addSampleTree();
    SCOPED_TRACE(withIndex);
    Outcome file = create(TestItem("x", std::string(kRoot), "a.txt", fp::UTType::data()));
    expectChangeSuccess(file);
    EXPECT_EQ(file.item->itemIdentifier(), "i:NEWULID");
    EXPECT_EQ(file.item->filename(), "Pellora Connect");
    EXPECT_EQ(file.item->parentItemIdentifier(), kRoot);
    Outcome folder = create(TestItem("x", std::string(kRoot), "d", fp::UTType::folder()));
    expectChangeSuccess(folder);
    EXPECT_EQ(folder.item->itemIdentifier(), "f:NEWULID");
  }
}

TEST_F(ExtensionTest, FailedCreationIsMappedAndLoggedAsWrite) {
  serveFailure("invalid_name", "bad / name");
  Outcome o = create(TestItem("x", std::string(kRoot), "a/b"));
  expectQueued(o);
  EXPECT_EQ(o.item, nullptr);
  EXPECT_EQ(o.remainingFields, 0u);
  EXPECT_FALSE(o.shouldFetchContent);
  EXPECT_EQ(o.error, (fp::Error{std::string(fp::kCocoaErrorDomain), 514, ""}));
  EXPECT_EQ(extensionLog(),
            (std::vector<std::string>{
                "error\t"
                R"(write failed for : remote(kind: "invalid_name", message: "bad / name"))"}));
}

TEST_F(ExtensionTest, CreationWithUnstageableContentsFailsWithoutAskingTheHost) {
  serveSuccess();
  Outcome o = create(TestItem("x", std::string(kRoot), "a.txt"), fs::path("/nonexistent/src"));
  expectQueued(o);
  EXPECT_EQ(o.error, fileProvider(Code::kCannotSynchronize));
  EXPECT_EQ(host().connectionCount(), 0u);
  ASSERT_EQ(extensionLog().size(), 1u);
  EXPECT_EQ(extensionLog()[0].rfind("error\twrite failed for : ", 0), 0u) << extensionLog()[0];
}

TEST_F(ExtensionTest, CreationAgainstAnUnreachableHostLogsNothing) {
  Outcome o = create(TestItem("x", std::string(kRoot), "a.txt"));
  EXPECT_EQ(o.error, fileProvider(Code::kServerUnreachable));
  EXPECT_TRUE(extensionLog().empty());
}

// --- modification --------------------------------------------------------------

TEST_F(ExtensionTest, ModifySendsOnlyTheChangedFieldsItActsOn) {
  addSampleTree();
  const fs::path contents = writeFile("new.bin", "v2");
  const json base = {
      {"op", "modify"}, {"account", "primary"}, {"ulid", "I1"}, {"is_folder", false}};
  auto with = [&](json extra) {
    json j = base;
    j.update(extra);
    return j;
  };
  struct Case {
    const char* name;
    std::string parent;
    fp::ItemFields fields;
    bool withContents;
    json expected;  // without "path"
    bool sendsPath;
  };
  const std::vector<Case> cases = {
      {"only last-used date", "f:F1", fp::field::kLastUsedDate, true, base, false},
      {"no fields at all", "f:F1", 0, false, base, false},
      {"rename", "f:F1", fp::field::kFilename, false, with({{"name", "Renamed.pdf"}}), false},
      {"move to root", std::string(kRoot), fp::field::kParentItemIdentifier, false,
       with({{"parent", nullptr}}), false},
      {"move under a file", "i:I2", fp::field::kParentItemIdentifier, false,
       with({{"parent", nullptr}}), false},
      {"move under garbage", "zz", fp::field::kParentItemIdentifier, false,
       with({{"parent", nullptr}}), false},
      {"move into folder", "f:F9", fp::field::kParentItemIdentifier, false,
       with({{"parent", "F9"}}), false},
      {"contents", "f:F1", fp::field::kContents, true, base, true},
      {"contents bit without contents", "f:F1", fp::field::kContents, false, base, false},
      {"everything", std::string(kRoot),
       fp::field::kContents | fp::field::kFilename | fp::field::kParentItemIdentifier |
           fp::field::kTagData,
       true, with({{"name", "Renamed.pdf"}, {"parent", nullptr}}), true},
  };
  serveSuccess();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = requests().size();
    Outcome o = modify(TestItem("i:I1", c.parent, "Renamed.pdf"), c.fields,
                       c.withContents ? std::optional(contents) : std::nullopt);
    expectChangeSuccess(o);
    // The item as the index shows it now, not as the platform passed it.
    EXPECT_EQ(o.item->itemIdentifier(), "i:I1");
    EXPECT_EQ(o.item->filename(), "Report.pdf");
    auto sent = requests().at(before);
    ASSERT_EQ(sent.contains("path"), c.sendsPath);
    if (c.sendsPath) sent.erase("path");
    EXPECT_EQ(sent, c.expected);
  }
}

TEST_F(ExtensionTest, ModifyReadsTheTableTheIdentifierNames) {
  addSampleTree();
  serveSuccess();
  Outcome folder = modify(TestItem("f:F1", std::string(kRoot), "Docs2"), fp::field::kFilename);
  expectChangeSuccess(folder);
  EXPECT_EQ(folder.item->filename(), "Docs");
  EXPECT_EQ(requests().at(0)["is_folder"], true);
  // "i:F1" names a file that does not exist: the item keeps the identifier given.
  Outcome missing = modify(TestItem("i:F1", std::string(kRoot), "x"), fp::field::kFilename);
  expectChangeSuccess(missing);
  EXPECT_EQ(missing.item->itemIdentifier(), "i:F1");
  EXPECT_EQ(missing.item->filename(), "Pellora Connect");
}

TEST_F(ExtensionTest, ModifyOrDeleteOfTheRootIsRefusedAtOnce) {
  serveSuccess();
  for (std::string_view id : {kRoot, fp::kTrashContainer, std::string_view("nothing")}) {
    SCOPED_TRACE(id);
    Outcome m = modify(TestItem(std::string(id), std::string(kRoot), "x"), fp::field::kFilename);
    expectRefusedAtOnce(m);
    EXPECT_EQ(m.remainingFields, 0u);
    EXPECT_FALSE(m.shouldFetchContent);
    expectRefusedAtOnce(remove(id));
  }
  EXPECT_EQ(host().connectionCount(), 0u);
  EXPECT_TRUE(extensionLog().empty());
}

TEST_F(ExtensionTest, FailedModificationIsMappedByItsText) {
  serveFailure(std::nullopt, "edit conflict on server");
  Outcome o = modify(TestItem("i:I1", std::string(kRoot), "x"), fp::field::kFilename);
  EXPECT_EQ(o.error, fileProvider(Code::kServerUnreachable));
  EXPECT_EQ(o.item, nullptr);
  EXPECT_EQ(extensionLog(),
            (std::vector<std::string>{"error\t"
                                      R"(write failed for : failed("edit conflict on server"))"}));
}

// --- deletion ------------------------------------------------------------------

TEST_F(ExtensionTest, DeleteSendsUlidAndKind) {
  serveSuccess();
  for (const auto& [id, isFolder] : {std::pair{"i:I1", false}, std::pair{"f:F1", true}}) {
    SCOPED_TRACE(id);
    Outcome o = remove(id);
    expectQueued(o);
    EXPECT_EQ(o.error, std::nullopt);
  }
  EXPECT_EQ(requests(),
            (std::vector<json>{
                {{"op", "delete"}, {"account", "primary"}, {"ulid", "I1"}, {"is_folder", false}},
                {{"op", "delete"}, {"account", "primary"}, {"ulid", "F1"}, {"is_folder", true}},
            }));
  EXPECT_TRUE(extensionLog().empty());
}

TEST_F(ExtensionTest, FailedDeletionIsMappedAndLoggedWithTheUlid) {
  serveFailure("locked", "in use");
  Outcome o = remove("i:I1");
  expectQueued(o);
  EXPECT_EQ(o.error, fileProvider(Code::kServerUnreachable));
  EXPECT_EQ(extensionLog(),
            (std::vector<std::string>{
                "error\t"
                R"(delete failed for I1: remote(kind: "locked", message: "in use"))"}));
}

TEST_F(ExtensionTest, DeletionAgainstAnUnreachableHostLogsNothing) {
  Outcome o = remove("f:F1");
  EXPECT_EQ(o.error, fileProvider(Code::kServerUnreachable));
  EXPECT_TRUE(extensionLog().empty());
}

}  // namespace
}  // namespace pellora::testing
