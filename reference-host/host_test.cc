#include "reference-host/host.h"

#include <sched.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "reference-host/png_writer.h"
#include "reference-host/scanner.h"
#include "reference-host/seed.h"
#include "reference-host/test_support.h"
#include "reference-host/ulid.h"

namespace refhost {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::IndexReader;
using testing::readFile;
using testing::writeFile;

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = tmp_.path() / "store";
    container_ = tmp_.path() / "c" / std::string(kAppGroup);
    fs::create_directories(container_);
    ASSERT_TRUE(seedStore(store_));
    auto host = Host::open({store_, container_, "primary"}, silentLog());
    ASSERT_TRUE(host) << host.error().message;
    host_ = std::move(*host);
  }

  // One request for the primary account.
  json ask(json request) {
    request["account"] = "primary";
    return host_->handle(request);
  }
  std::map<std::string, testing::Row> rows() { return IndexReader(host_->databasePath()).rows(); }
  std::string ulidOf(const std::string& path) { return rows().at(path).ulid; }
  // A file in the staging folder, as the extension leaves it.
  std::string stage(const std::string& contents) {
    fs::path p = container_ / std::string(kUploadFolderName) / newUlid();
    writeFile(p, contents);
    return p.string();
  }

  testing::TempDir tmp_;
  fs::path store_, container_;
  std::unique_ptr<Host> host_;
};

void expectOk(const json& reply) { EXPECT_EQ(reply.value("ok", false), true) << reply.dump(); }

TEST_F(HostTest, CreatesFoldersAndFilesInStoreAndIndex) {
  json folder = ask({{"op", "create"}, {"name", "Reports"}});
  expectOk(folder);
  ASSERT_TRUE(isUlid(folder.value("ulid", "")));
  EXPECT_TRUE(fs::is_directory(store_ / "Reports"));
  EXPECT_EQ(rows().at("Reports").ulid, folder["ulid"]);

  std::string staged = stage("quarterly numbers");
  json file =
      ask({{"op", "create"}, {"name", "Q1.txt"}, {"parent", folder["ulid"]}, {"path", staged}});
  expectOk(file);
  EXPECT_EQ(readFile(store_ / "Reports/Q1.txt"), "quarterly numbers");
  EXPECT_FALSE(fs::exists(staged)) << "the staged copy is taken over";
  testing::Row row = rows().at("Reports/Q1.txt");
  EXPECT_EQ(row.ulid, file["ulid"]);
  EXPECT_EQ(row.parent, folder["ulid"]);
  EXPECT_EQ(row.size, 17);
  EXPECT_EQ(row.version, 1);
  EXPECT_FALSE(row.lockedBy);

  // Named through a link to the staging folder, a staged copy is taken all the same.
  fs::path link = tmp_.path() / "upload-link";
  fs::create_directory_symlink(container_ / std::string(kUploadFolderName), link);
  std::string linked = (link / fs::path(stage("through a link")).filename()).string();
  expectOk(
      ask({{"op", "create"}, {"name", "Q2.txt"}, {"parent", folder["ulid"]}, {"path", linked}}));
  EXPECT_EQ(readFile(store_ / "Reports/Q2.txt"), "through a link");
}

mode_t modeOf(const fs::path& p) {
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

TEST_F(HostTest, StoreFilesKeepTheirModeAndNewOnesFollowTheUmask) {
  // Staged copies are the extension's private files (0600); that mode must not
  // reach the store.
  auto privateStage = [&](const std::string& contents) {
    std::string p = stage(contents);
    fs::permissions(p, fs::perms(0600));
    return p;
  };
  struct Case {
    const char* name;
    mode_t umask;
    std::optional<mode_t> existing;  // the mode of the file replaced, if any
    mode_t expected;
  };
  const Case cases[] = {
      {"new file, umask 022", 022, std::nullopt, 0644},
      {"new file, umask 027", 027, std::nullopt, 0640},
      {"new file, umask 000", 0, std::nullopt, 0644},
      {"replaced file keeps 0640", 022, 0640, 0640},
      {"replaced file keeps 0755", 077, 0755, 0755},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const mode_t previous = ::umask(c.umask);
    const std::string name = "mode-" + std::to_string(n++) + ".txt";
    if (c.existing) {
      expectOk(ask({{"op", "create"}, {"name", name}, {"path", privateStage("old")}}));
      fs::permissions(store_ / name, fs::perms(*c.existing));
      ASSERT_TRUE(host_->rescan());
      expectOk(ask({{"op", "modify"},
                    {"ulid", ulidOf(name)},
                    {"is_folder", false},
                    {"path", privateStage("new")}}));
      EXPECT_EQ(readFile(store_ / name), "new");
    } else {
      expectOk(ask({{"op", "create"}, {"name", name}, {"path", privateStage("new")}}));
    }
    ::umask(previous);
    EXPECT_EQ(modeOf(store_ / name), c.expected);
  }
}

TEST_F(HostTest, WhatTheHostKeepsInTheContainerIsTheOwnersAlone) {
  // A host opened under umask 000 still makes everything owner-only.
  host_.reset();
  fs::remove_all(container_);
  fs::create_directories(container_);
  const mode_t previous = ::umask(0);
  auto host = Host::open({store_, container_, "primary"}, silentLog());
  ASSERT_TRUE(host) << host.error().message;
  host_ = std::move(*host);
  json fetched = ask({{"op", "fetch"}, {"ulid", ulidOf("Welcome.txt")}});
  json thumb = ask({{"op", "thumbnail"}, {"ulid", ulidOf("Projects/Designs/logo.png")}});
  ::umask(previous);
  expectOk(fetched);
  expectOk(thumb);
  EXPECT_EQ(modeOf(container_ / std::string(kCacheFolderName)), 0700u);
  EXPECT_EQ(modeOf(container_ / std::string(kUploadFolderName)), 0700u);
  EXPECT_EQ(modeOf(host_->databasePath()), 0600u);
  EXPECT_EQ(modeOf(fetched.value("path", "")), 0600u);
  EXPECT_EQ(modeOf(thumb.value("path", "")), 0600u);
  for (const auto& entry : fs::directory_iterator(container_)) {
    if (entry.is_regular_file()) {
      EXPECT_EQ(modeOf(entry.path()) & 077, 0u) << entry.path();
    }
  }
}

TEST_F(HostTest, ModifyRenamesMovesAndReplacesContents) {
  std::string welcome = ulidOf("Welcome.txt");
  std::string projects = ulidOf("Projects");
  expectOk(ask({{"op", "modify"}, {"ulid", welcome}, {"is_folder", false}, {"name", "Hello.txt"}}));
  EXPECT_EQ(ulidOf("Hello.txt"), welcome);
  EXPECT_FALSE(fs::exists(store_ / "Welcome.txt"));

  expectOk(ask({{"op", "modify"}, {"ulid", welcome}, {"is_folder", false}, {"parent", projects}}));
  EXPECT_EQ(rows().at("Projects/Hello.txt").parent, projects);
  expectOk(ask({{"op", "modify"}, {"ulid", welcome}, {"is_folder", false}, {"parent", nullptr}}));
  EXPECT_FALSE(rows().at("Hello.txt").parent);

  std::int64_t before = rows().at("Hello.txt").version;
  std::string staged = stage("new words");
  expectOk(ask({{"op", "modify"}, {"ulid", welcome}, {"is_folder", false}, {"path", staged}}));
  EXPECT_EQ(readFile(store_ / "Hello.txt"), "new words");
  EXPECT_FALSE(fs::exists(staged));
  EXPECT_EQ(rows().at("Hello.txt").version, before + 1);
  EXPECT_EQ(rows().at("Hello.txt").size, 9);

  // A folder keeps its ulid and its contents, and a lock inside moves along.
  std::string budget = ulidOf("Projects/Budget.csv");
  expectOk(ask({{"op", "modify"}, {"ulid", projects}, {"is_folder", true}, {"name", "Work"}}));
  auto after = rows();
  EXPECT_EQ(after.at("Work").ulid, projects);
  EXPECT_EQ(after.at("Work/Budget.csv").ulid, budget);
  EXPECT_EQ(after.at("Work/Budget.csv").lockedBy, kSampleLockUser);
  EXPECT_EQ(after.count("Projects"), 0u);
}

TEST_F(HostTest, DeleteRemovesFilesAndWholeFolders) {
  expectOk(ask({{"op", "delete"}, {"ulid", ulidOf("notes.txt")}, {"is_folder", false}}));
  expectOk(ask({{"op", "delete"}, {"ulid", ulidOf("Photos")}, {"is_folder", true}}));
  auto after = rows();
  EXPECT_EQ(after.count("notes.txt") + after.count("Photos") + after.count("Photos/sunset.png"),
            0u);
  EXPECT_EQ(after.count("Notes.txt"), 1u);
  EXPECT_FALSE(fs::exists(store_ / "Photos"));
  EXPECT_FALSE(fs::exists(store_ / "notes.txt"));
}

TEST_F(HostTest, RefusesWhatItMustNotDo) {
  std::string notes = ulidOf("Notes.txt"), budget = ulidOf("Projects/Budget.csv");
  std::string projects = ulidOf("Projects"), designs = ulidOf("Projects/Designs");
  std::string outside = (tmp_.path() / "elsewhere.txt").string();
  writeFile(outside, "not staged");
  fs::create_directories(container_ / std::string(kUploadFolderName) / "inner");
  std::string below = (container_ / std::string(kUploadFolderName) / "inner" / "x").string();
  writeFile(below, "one folder too deep");
  std::string unknown = newUlid();
  struct Case {
    json request;
    const char* kind;  // nullptr: a failure without a kind
  } cases[] = {
      {{{"op", "create"}, {"name", ""}}, "invalid_name"},
      {{{"op", "create"}, {"name", "."}}, "invalid_name"},
      {{{"op", "create"}, {"name", ".."}}, "invalid_name"},
      {{{"op", "create"}, {"name", "a/b"}}, "invalid_name"},
      {{{"op", "create"}, {"name", std::string("a\0b", 3)}}, "invalid_name"},
      {{{"op", "create"}, {"name", ".refhost"}}, "invalid_name"},
      {{{"op", "create"}, {"name", std::string(300, 'x')}}, "invalid_name"},
      {{{"op", "create"}, {"name", "Notes.txt"}}, "invalid_name"},  // taken
      {{{"op", "create"}, {"name", "x"}, {"parent", unknown}}, "not_found"},
      {{{"op", "create"}, {"name", "x"}, {"parent", notes}}, "not_found"},  // a file
      {{{"op", "create"}, {"name", "x"}, {"path", outside}}, nullptr},
      {{{"op", "create"}, {"name", "x"}, {"path", below}}, nullptr},
      {{{"op", "modify"}, {"ulid", unknown}, {"is_folder", false}}, "not_found"},
      {{{"op", "modify"}, {"ulid", notes}, {"is_folder", true}}, "not_found"},
      {{{"op", "modify"}, {"ulid", notes}, {"is_folder", false}, {"name", "notes.txt"}},
       "invalid_name"},
      {{{"op", "modify"}, {"ulid", notes}, {"is_folder", false}, {"name", ".."}}, "invalid_name"},
      {{{"op", "modify"}, {"ulid", budget}, {"is_folder", false}, {"name", "B.csv"}}, "locked"},
      {{{"op", "modify"}, {"ulid", projects}, {"is_folder", true}, {"parent", designs}}, nullptr},
      {{{"op", "delete"}, {"ulid", budget}, {"is_folder", false}}, "locked"},
      {{{"op", "delete"}, {"ulid", projects}, {"is_folder", true}}, "locked"},
      {{{"op", "delete"}, {"ulid", unknown}, {"is_folder", true}}, "not_found"},
      {{{"op", "fetch"}, {"ulid", projects}}, "not_found"},
      {{{"op", "thumbnail"}, {"ulid", notes}}, "not_found"},
  };
  auto treeBefore = testing::storeTree(store_);
  auto rowsBefore = rows();
  for (const auto& c : cases) {
    json reply = ask(c.request);
    EXPECT_EQ(reply.value("ok", true), false) << c.request.dump();
    EXPECT_TRUE(reply.value("error", json()).is_string()) << reply.dump();
    if (c.kind) {
      EXPECT_EQ(reply.value("kind", ""), c.kind) << c.request.dump() << " -> " << reply.dump();
    } else {
      EXPECT_FALSE(reply.contains("kind")) << c.request.dump() << " -> " << reply.dump();
    }
  }
  EXPECT_EQ(testing::storeTree(store_), treeBefore);
  EXPECT_EQ(rows().size(), rowsBefore.size());
  EXPECT_EQ(readFile(outside), "not staged") << "a file outside the staging folder is left alone";

  // A refused request still disposes of the staged copy it handed over.
  std::string staged = stage("x");
  EXPECT_EQ(ask({{"op", "create"}, {"name", ".."}, {"path", staged}}).value("kind", ""),
            "invalid_name");
  EXPECT_FALSE(fs::exists(staged));

  json other = host_->handle({{"op", "fetch"}, {"account", "acme"}, {"ulid", notes}});
  EXPECT_EQ(other.value("kind", ""), "unauthorized");
}

TEST_F(HostTest, FetchAndThumbnailAnswerWithPrivateCopies) {
  json fetched = ask({{"op", "fetch"}, {"ulid", ulidOf("Welcome.txt")}});
  expectOk(fetched);
  fs::path copy = fetched.value("path", "");
  EXPECT_EQ(copy.parent_path(), container_ / std::string(kCacheFolderName));
  EXPECT_EQ(readFile(copy), readFile(store_ / "Welcome.txt"));
  writeFile(copy, "scribbled on");
  EXPECT_NE(readFile(store_ / "Welcome.txt"), "scribbled on");

  json png = ask({{"op", "thumbnail"}, {"ulid", ulidOf("Projects/Designs/logo.png")}});
  expectOk(png);
  EXPECT_EQ(readFile(png.value("path", "")), readFile(store_ / "Projects/Designs/logo.png"));

  writeFile(store_ / "photo.jpg", "\xFF\xD8\xFF\xE0 not really a jpeg");
  ASSERT_TRUE(host_->rescan());
  json jpeg = ask({{"op", "thumbnail"}, {"ulid", ulidOf("photo.jpg")}});
  expectOk(jpeg);
  EXPECT_TRUE(looksLikePng(readFile(jpeg.value("path", ""))));
}

TEST_F(HostTest, MalformedRequestsGetFailureReplies) {
  const json requests[] = {
      nullptr,
      1,
      "fetch",
      json::array(),
      json::object(),
      {{"op", 1}},
      {{"op", "list"}},
      {{"op", "fetch"}},
      {{"op", "fetch"}, {"account", 7}},
      {{"op", "fetch"}, {"account", "primary"}},
      {{"op", "fetch"}, {"account", "primary"}, {"ulid", json::array()}},
      {{"op", "create"}, {"account", "primary"}, {"name", {"x"}}},
      {{"op", "create"}, {"account", "primary"}, {"name", "x"}, {"parent", 5}},
      {{"op", "create"}, {"account", "primary"}, {"name", "x"}, {"path", 7}},
      {{"op", "create"}, {"account", "primary"}, {"name", "x"}, {"path", "relative/file"}},
      {{"op", "modify"}, {"account", "primary"}, {"ulid", "x"}, {"is_folder", "yes"}},
      {{"op", "modify"},
       {"account", "primary"},
       {"ulid", "x"},
       {"is_folder", false},
       {"parent", 1}},
      {{"op", "delete"}, {"account", "primary"}, {"ulid", "x"}},
  };
  for (const json& r : requests) {
    json reply = host_->handle(r);
    EXPECT_EQ(reply.value("ok", true), false) << r.dump();
    EXPECT_TRUE(reply.value("error", json()).is_string()) << r.dump();
  }
}

TEST_F(HostTest, AnIndexOfAnotherSchemaIsLeftAlone) {
  testing::TempDir other;
  fs::path container = other.path() / "c";
  fs::create_directories(container);
  {
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(nullptr, &sqlite3_close);
    sqlite3* raw = nullptr;
    sqlite3_open((container / "state.db").c_str(), &raw);
    db.reset(raw);
    sqlite3_exec(raw, "CREATE TABLE folders(ulid TEXT)", nullptr, nullptr, nullptr);
  }
  auto host = Host::open({store_, container, "primary"}, silentLog());
  ASSERT_FALSE(host);
  EXPECT_NE(host.error().message.find("did not write"), std::string::npos) << host.error().message;
}

// Changes made directly in the store reach the index through the watcher,
// with the safety-net rescan far away: new files and folders (with what they
// hold), renames that keep ulids, content changes, locks and removals.
TEST_F(HostTest, WatcherCarriesStoreChangesIntoTheIndexWithoutRescans) {
  Scanner scanner(*host_, store_, silentLog(), std::chrono::hours(1), std::chrono::hours(1));
  ASSERT_TRUE(scanner.watchesEverything());
  const std::string welcome = ulidOf("Welcome.txt");
  const std::string photos = ulidOf("Photos");
  const std::string sunset = ulidOf("Photos/sunset.png");
  const std::int64_t notesVersion = rows().at("Notes.txt").version;

  writeFile(store_ / "fresh.txt", "fresh");
  fs::create_directories(tmp_.path() / "outside/deep");
  writeFile(tmp_.path() / "outside/deep/inner.txt", "inner");
  fs::rename(tmp_.path() / "outside", store_ / "Inbox");  // moved in whole
  fs::rename(store_ / "Welcome.txt", store_ / "Hello.txt");
  fs::rename(store_ / "Photos", store_ / "Archive/Photos");
  writeFile(store_ / "Notes.txt", "other notes, longer than before");
  fs::remove(store_ / "notes.txt");
  writeFile(store_ / ".refhost/locks.json", "{\"fresh.txt\": 7}");

  ASSERT_TRUE(testing::eventually([&] {
    auto r = rows();
    return r.count("fresh.txt") && r.at("fresh.txt").lockedBy == 7 &&
           r.count("Inbox/deep/inner.txt") && r.count("Hello.txt") &&
           r.count("Archive/Photos/sunset.png") && !r.count("notes.txt") &&
           r.at("Notes.txt").version > notesVersion;
  })) << "the index did not follow the store";
  auto r = rows();
  EXPECT_EQ(r.at("Hello.txt").ulid, welcome);
  EXPECT_EQ(r.at("Archive/Photos").ulid, photos);
  EXPECT_EQ(r.at("Archive/Photos").parent, ulidOf("Archive"));
  EXPECT_EQ(r.at("Archive/Photos/sunset.png").ulid, sunset);
  EXPECT_EQ(r.at("Inbox/deep/inner.txt").parent, r.at("Inbox/deep").ulid);
  EXPECT_EQ(r.count("Welcome.txt") + r.count("Photos") + r.count("Photos/sunset.png"), 0u);
  EXPECT_FALSE(r.at(std::string(kSampleLockedPath)).lockedBy) << "the lock table was replaced";

  // A file created inside a folder that was moved in is seen too.
  writeFile(store_ / "Inbox/deep/later.txt", "later");
  // Its contents, not only its name: the rescan below must not race the
  // watcher's events for the write that follows the creation.
  EXPECT_TRUE(testing::eventually([&] {
    auto now = rows();
    return now.count("Inbox/deep/later.txt") > 0 && now.at("Inbox/deep/later.txt").size == 5;
  }));
  // Nothing is left for a full rescan to put right.
  auto rescanned = host_->rescan();
  ASSERT_TRUE(rescanned);
  EXPECT_FALSE(*rescanned);
}

// One refresh of a path brings in whatever happened there since the catalogue
// last looked, as when a watcher's events for it come in one batch: a folder
// removed and made anew under the same name loses what it held and shows what
// it holds now.
TEST_F(HostTest, RefreshOfAFolderMadeAnewTakesItAfresh) {
  const std::string photos = ulidOf("Photos");
  fs::remove_all(store_ / "Photos");
  fs::create_directory(store_ / "Photos");
  writeFile(store_ / "Photos/other.png", "other");
  ASSERT_TRUE(host_->refresh("Photos"));
  auto r = rows();
  EXPECT_EQ(r.count("Photos/sunset.png"), 0u);
  EXPECT_EQ(r.count("Photos/other.png"), 1u);
  EXPECT_EQ(r.at("Photos").ulid, photos) << "same path, same kind";
}

// A refresh of a folder scans it without the lock; files that requests create
// in it meanwhile keep the ulids their creation answered with (a scan older
// than a creation used to take the new file out, and a later look at it gave
// it a new ulid, so the extension's item no longer existed).
TEST_F(HostTest, AFolderScannedWhileFilesAreCreatedInItKeepsTheirUlids) {
  json folder = ask({{"op", "create"}, {"name", "Burst"}});
  expectOk(folder);
  for (int i = 0; i < 300; ++i) writeFile(store_ / "Burst" / ("old-" + std::to_string(i)), "o");
  ASSERT_TRUE(host_->refresh("Burst"));
  std::atomic<bool> creating{true};
  std::thread refresher([&] {
    while (creating) (void)host_->refresh("Burst");
  });
  std::map<std::string, std::string> created;  // path -> ulid
  for (int i = 0; i < 300; ++i) {
    std::string name = "new-" + std::to_string(i);
    json reply =
        ask({{"op", "create"}, {"name", name}, {"parent", folder["ulid"]}, {"path", stage("n")}});
    expectOk(reply);
    created["Burst/" + name] = reply.value("ulid", "");
  }
  creating = false;
  refresher.join();
  auto r = rows();
  int changed = 0;
  for (const auto& [path, ulid] : created) {
    if (!r.count(path) || r.at(path).ulid != ulid) ++changed;
  }
  EXPECT_EQ(changed, 0);
}

// Requests name items by ulid: one into a folder, or on a file inside it, holds
// while another request moves that folder (the path it stands for changes).
TEST_F(HostTest, RequestsInAFolderHoldWhileTheFolderMoves) {
  json folder = ask({{"op", "create"}, {"name", "Moving"}});
  expectOk(folder);
  json inside =
      ask({{"op", "create"}, {"name", "in.txt"}, {"parent", folder["ulid"]}, {"path", stage("i")}});
  expectOk(inside);
  std::atomic<bool> working{true};
  std::thread mover([&] {
    for (int i = 0; working; ++i) {
      expectOk(ask({{"op", "modify"},
                    {"ulid", folder["ulid"]},
                    {"is_folder", true},
                    {"name", "Moving" + std::to_string(i % 2)}}));
    }
  });
  for (int i = 0; i < 200; ++i) {
    expectOk(ask({{"op", "create"},
                  {"name", "new-" + std::to_string(i)},
                  {"parent", folder["ulid"]},
                  {"path", stage("n")}}));
    expectOk(ask({{"op", "fetch"}, {"ulid", inside["ulid"]}}));
  }
  working = false;
  mover.join();
}

// A request looks at the catalogue, not at the store: a change made directly in
// the store, with no watcher running, stays unseen until a rescan, however
// many requests come (each used to rescan the whole store).
TEST_F(HostTest, RequestsDoNotRescanTheStore) {
  writeFile(store_ / "unseen.txt", "x");
  expectOk(ask({{"op", "fetch"}, {"ulid", ulidOf("Welcome.txt")}}));
  expectOk(ask({{"op", "create"}, {"name", "Made"}}));
  auto r = rows();
  EXPECT_EQ(r.count("unseen.txt"), 0u);
  EXPECT_EQ(r.count("Made"), 1u);
  ASSERT_TRUE(host_->rescan());
  EXPECT_EQ(rows().count("unseen.txt"), 1u);
}

// A change does not checkpoint the index's WAL itself (that put two syncs into
// every few hundredth request); a thread of the writer's does, so the pages
// still reach the database file.
TEST_F(HostTest, TheIndexIsCheckpointedInTheBackground) {
  const fs::path db = host_->databasePath();
  const auto before = fs::file_size(db);
  for (int i = 0; i < 400; ++i) {
    expectOk(ask({{"op", "create"}, {"name", "Folder " + std::to_string(i)}}));
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (fs::file_size(db) <= before && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GT(fs::file_size(db), before) << "the WAL was never checkpointed";
}

// The safety net's scan runs outside the catalogue's lock, on the runner it
// is given: a request is answered while it scans (it would wait for the whole
// scan of a large store otherwise), and the scan, overtaken, writes nothing.
// The periodic one is run at idle priority.
TEST_F(HostTest, ARescanScansOutsideTheLockOnItsRunner) {
  writeFile(store_ / "unseen.txt", "x");
  bool answered = false;
  bool interrupted = false;
  std::future<json> request;  // outlives the rescan, which would hold it up if it held the lock
  auto rescanned = host_->rescan(1, &interrupted, [&](const std::function<void()>& scan) {
    request = std::async(std::launch::async, [&] {
      return ask({{"op", "create"}, {"name", "Made"}});
    });
    answered = request.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    scan();
  });
  expectOk(request.get());
  ASSERT_TRUE(answered) << "the request waited for the rescan";
  ASSERT_TRUE(rescanned);
  EXPECT_FALSE(*rescanned);
  EXPECT_TRUE(interrupted);
  EXPECT_EQ(rows().count("unseen.txt"), 0u);
  EXPECT_EQ(rows().count("Made"), 1u);

  IdlePriorityRunner idle;
  int policy = -1;
  std::thread::id worker;
  idle.run([&] {
    policy = ::sched_getscheduler(0);
    worker = std::this_thread::get_id();
  });
  EXPECT_EQ(policy, SCHED_IDLE);
  EXPECT_NE(worker, std::this_thread::get_id());
  EXPECT_NE(::sched_getscheduler(0), SCHED_IDLE);
}

// On a busy machine an idle-priority scan may get no processor at all; a stop
// must not wait for it (the host did not stop within 10 s of SIGTERM).
TEST(IdlePriorityRunnerTest, HurryPutsTheWorkInProgressAndLaterWorkAtNormalPriority) {
  IdlePriorityRunner idle;
  std::promise<void> started;
  std::atomic<bool> hurried{false};
  std::vector<int> policies;
  std::thread scan([&] {
    idle.run([&] {
      policies.push_back(::sched_getscheduler(0));
      started.set_value();
      while (!hurried) std::this_thread::yield();
      policies.push_back(::sched_getscheduler(0));
    });
  });
  started.get_future().wait();
  idle.hurry();
  hurried = true;
  scan.join();
  idle.run([&] { policies.push_back(::sched_getscheduler(0)); });
  EXPECT_EQ(policies, (std::vector<int>{SCHED_IDLE, SCHED_OTHER, SCHED_OTHER}));
}

}  // namespace
}  // namespace refhost
