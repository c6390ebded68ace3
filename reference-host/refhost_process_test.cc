// pell-refhost as a program: seeding, serving, restarts, changes made
// directly in the store, signals and the command line's exit statuses.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "reference-host/host.h"
#include "reference-host/png_writer.h"
#include "reference-host/seed.h"
#include "reference-host/test_support.h"
#include "reference-host/ulid.h"

namespace refhost {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::IndexReader;
using testing::Process;

class ProcessTest : public ::testing::Test {
 protected:
  ProcessTest() { ::setenv("FILEPROVIDER_CONTAINERS", (tmp_.path() / "c").c_str(), 1); }

  void seed() {
    Process p({"seed", "--store", store_});
    EXPECT_EQ(p.firstLine(), "seeded " + store_.string());
    ASSERT_EQ(p.wait(), 0) << p.standardError();
  }
  // Starts serving and waits for the ready line.
  std::unique_ptr<Process> serve(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"serve", "--store", store_};
    args.insert(args.end(), extra.begin(), extra.end());
    auto p = std::make_unique<Process>(args);
    auto line = p->firstLine();
    EXPECT_EQ(line, "serving " + store_.string() + " as account primary on " + socket_.string())
        << p->standardError();
    return p;
  }
  std::map<std::string, testing::Row> rows() { return IndexReader(database_).rows(); }

  // Every folder and file of the store has its row, with the store's facts.
  void expectIndexMatchesStore() {
    auto tree = testing::storeTree(store_);
    auto index = rows();
    ASSERT_EQ(index.size(), tree.size());
    for (const auto& [path, isFolder] : tree) {
      ASSERT_EQ(index.count(path), 1u) << path;
      const testing::Row& r = index.at(path);
      EXPECT_EQ(r.isFolder, isFolder) << path;
      EXPECT_TRUE(isUlid(r.ulid)) << r.ulid;
      if (isFolder) continue;
      struct stat st {};
      ASSERT_EQ(::stat((store_ / path).c_str(), &st), 0);
      EXPECT_EQ(r.size, st.st_size) << path;
      EXPECT_EQ(r.mtimeUnix, st.st_mtim.tv_sec) << path;
      EXPECT_GE(r.version, 1) << path;
    }
  }

  testing::TempDir tmp_;
  fs::path store_ = tmp_.path() / "store";
  fs::path container_ = tmp_.path() / "c" / std::string(kAppGroup);
  fs::path socket_ = container_ / "fp.sock";
  fs::path database_ = container_ / "state.db";
};

TEST_F(ProcessTest, SeedsAStoreAndServesItsIndex) {
  seed();
  auto tree = testing::storeTree(store_);
  EXPECT_TRUE(tree.count("Notes.txt") && tree.count("notes.txt"));
  EXPECT_TRUE(looksLikePng(testing::readFile(store_ / "Photos/sunset.png")));
  Process again({"seed", "--store", store_});
  EXPECT_EQ(again.firstLine(), "store " + store_.string() + " is not empty; left as it was");
  EXPECT_EQ(again.wait(), 0);
  EXPECT_EQ(testing::storeTree(store_), tree);

  auto host = serve();
  expectIndexMatchesStore();
  auto index = rows();
  for (const auto& [path, row] : index) {
    EXPECT_EQ(row.lockedBy.has_value(), path == kSampleLockedPath) << path;
  }
  EXPECT_EQ(index.at(std::string(kSampleLockedPath)).lockedBy, kSampleLockUser);

  json fetched = testing::call(
      socket_, {{"op", "fetch"}, {"account", "primary"}, {"ulid", index.at("Welcome.txt").ulid}});
  EXPECT_EQ(testing::readFile(fetched.value("path", "")),
            testing::readFile(store_ / "Welcome.txt"));

  EXPECT_EQ(host->wait(SIGTERM), 0) << host->standardError();
  EXPECT_FALSE(fs::exists(socket_));
}

TEST_F(ProcessTest, UlidsSurviveRestartsAndVersionsGrowWithContents) {
  seed();
  auto host = serve();
  auto first = rows();
  EXPECT_EQ(host->wait(SIGINT), 0);

  testing::writeFile(store_ / "Welcome.txt", "changed while the host was away");
  host = serve();
  auto second = rows();
  ASSERT_EQ(second.size(), first.size());
  for (const auto& [path, row] : first) {
    EXPECT_EQ(second.at(path).ulid, row.ulid) << path;
    EXPECT_EQ(second.at(path).version, row.version + (path == "Welcome.txt" ? 1 : 0)) << path;
  }
  EXPECT_EQ(host->wait(SIGTERM), 0);
}

TEST_F(ProcessTest, PicksUpChangesInTheStoreAndWritesNothingOtherwise) {
  seed();
  auto host = serve();
  IndexReader reader(database_);
  auto before = reader.rows();
  std::int64_t version = reader.dataVersion();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(reader.dataVersion(), version) << "an unchanged store must not write the index";

  fs::create_directory(store_ / "Inbox");
  testing::writeFile(store_ / "Inbox/new.txt", "hello");
  fs::rename(store_ / "Projects/Roadmap.md", store_ / "Roadmap.md");
  fs::remove_all(store_ / "Archive");
  const std::string notes = "longer notes than before, for sure";
  testing::writeFile(store_ / "Notes.txt", notes);
  ASSERT_TRUE(testing::eventually([&] { return reader.rows().count("Inbox/new.txt") > 0; },
                                  std::chrono::milliseconds(2500)));
  // A rescan may catch the file between truncation and writing, which is a
  // content change of its own: the version grows at least once.
  ASSERT_TRUE(testing::eventually([&] {
    return reader.rows().at("Notes.txt").size == static_cast<std::int64_t>(notes.size());
  }));
  // A rescan that walked part of the tree before the changes above is put right
  // by the next one (every 500 ms).
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  expectIndexMatchesStore();
  auto after = reader.rows();
  EXPECT_EQ(after.at("Roadmap.md").ulid, before.at("Projects/Roadmap.md").ulid);
  EXPECT_GT(after.at("Notes.txt").version, before.at("Notes.txt").version);
  EXPECT_EQ(after.count("Archive"), 0u);
  EXPECT_NE(reader.dataVersion(), version);
  EXPECT_EQ(host->wait(SIGTERM), 0);
}

TEST_F(ProcessTest, InjectsFaultsOnRequest) {
  seed();
  auto host = serve({"--fail", "fetch=network", "--no-reply", "thumbnail", "--delay-ms", "200"});
  std::string ulid = rows().at("Photos/sunset.png").ulid;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(testing::call(socket_, {{"op", "fetch"}, {"account", "primary"}, {"ulid", ulid}}),
            (json{{"ok", false}, {"kind", "network"}, {"error", "injected failure"}}));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
  EXPECT_EQ(
      testing::sendLine(
          socket_, json{{"op", "thumbnail"}, {"account", "primary"}, {"ulid", ulid}}.dump() + "\n"),
      "");
  EXPECT_EQ(testing::call(socket_, {{"op", "create"}, {"account", "primary"}, {"name", "D"}})
                .value("ok", false),
            true);
  EXPECT_EQ(host->wait(SIGTERM), 0);
}

TEST_F(ProcessTest, ConcurrentChangesAllLand) {
  seed();
  auto host = serve();
  std::string inbox =
      testing::call(socket_, {{"op", "create"}, {"account", "primary"}, {"name", "Inbox"}})
          .value("ulid", "");
  std::vector<std::thread> clients;
  std::vector<std::string> ulids(16);
  for (int i = 0; i < 16; ++i) {
    clients.emplace_back([&, i] {
      fs::path staged = container_ / "fp-upload" / ("staged-" + std::to_string(i));
      testing::writeFile(staged, std::string(static_cast<std::size_t>(i), 'x'));
      ulids[i] = testing::call(socket_, {{"op", "create"},
                                         {"account", "primary"},
                                         {"name", "f" + std::to_string(i)},
                                         {"parent", inbox},
                                         {"path", staged.string()}})
                     .value("ulid", "");
    });
  }
  for (auto& c : clients) c.join();
  auto index = rows();
  for (int i = 0; i < 16; ++i) {
    std::string path = "Inbox/f" + std::to_string(i);
    ASSERT_EQ(index.count(path), 1u) << path;
    EXPECT_EQ(index.at(path).ulid, ulids[i]);
    EXPECT_EQ(index.at(path).size, i);
  }
  expectIndexMatchesStore();
  EXPECT_EQ(host->wait(SIGTERM), 0);
}

TEST_F(ProcessTest, ShutsDownPromptlyWhilePeersIdle) {
  seed();
  auto host = serve();
  fp::ScopedFD idle(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket_.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::connect(idle.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  // A peer that vanishes mid-reply must not kill the host either.
  for (int i = 0; i < 20; ++i) {
    fp::ScopedFD gone(::socket(AF_UNIX, SOCK_STREAM, 0));
    ASSERT_EQ(::connect(gone.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    std::string request = "{\"op\":\"fetch\",\"account\":\"primary\",\"ulid\":\"x\"}\n";
    (void)::send(gone.get(), request.data(), request.size(), MSG_NOSIGNAL);
  }
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(host->wait(SIGTERM), 0) << host->standardError();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  EXPECT_FALSE(fs::exists(socket_));
}

TEST_F(ProcessTest, ExitStatusesOfTheCommandLine) {
  struct Case {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{}, 2},
      {{"serve"}, 2},
      {{"serve", "--store", store_, "--fail", "fetch"}, 2},
      {{"launch", "--store", store_}, 2},
      {{"serve", "--store", tmp_.path() / "missing"}, 1},
      {{"seed", "--store", "/proc/version"}, 1},
  };
  for (const auto& c : cases) {
    Process p(c.args);
    EXPECT_EQ(p.wait(), c.status) << (c.args.empty() ? "" : c.args[0]) << ": " << p.standardError();
  }

  seed();
  auto host = serve();
  Process second({"serve", "--store", store_});
  EXPECT_EQ(second.wait(), 1);
  EXPECT_NE(second.standardError().find("already serves"), std::string::npos)
      << second.standardError();
  EXPECT_EQ(host->wait(SIGTERM), 0);
}

TEST_F(ProcessTest, RefusesASocketPathTheExtensionCannotReach) {
  seed();
  // The containers root is long enough to push the socket path past 103 bytes.
  const fs::path root = tmp_.path() / std::string(60, 'c');
  ::setenv("FILEPROVIDER_CONTAINERS", root.c_str(), 1);
  const fs::path socket = root / std::string(kAppGroup) / "fp.sock";
  ASSERT_GT(socket.native().size(), 103u);
  Process p({"serve", "--store", store_});
  EXPECT_EQ(p.wait(), 1);
  EXPECT_EQ(p.standardError(), "pell-refhost: cannot serve: socket path too long: " +
                                   std::to_string(socket.native().size()) +
                                   " bytes\npell-refhost: the socket path " + socket.string() +
                                   " may be at most 103 bytes, as the extension accepts; set "
                                   "FILEPROVIDER_CONTAINERS to a shorter folder\n");
  EXPECT_FALSE(fs::exists(socket));
}

TEST_F(ProcessTest, AnotherUserCanNeitherReadNorUseTheAccount) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user (nobody)";
  // Everything above the container is open to all, and the host runs under
  // umask 000: what keeps nobody out must be the host's own modes and checks.
  ASSERT_EQ(::chmod(tmp_.path().c_str(), 0755), 0);
  seed();
  const mode_t previous = ::umask(0);
  auto host = serve();
  ::umask(previous);
  const std::string welcome = rows().at("Welcome.txt").ulid;
  const json fetched =
      testing::call(socket_, {{"op", "fetch"}, {"account", "primary"}, {"ulid", welcome}});
  ASSERT_EQ(fetched.value("ok", false), true) << fetched.dump();
  const fs::path copy = fetched.value("path", "");

  struct Probe {
    const char* what;
    std::function<bool()> succeeds;  // run as nobody
  };
  const std::vector<Probe> probes = {
      {"list the container", [&] { return ::opendir(container_.c_str()) != nullptr; }},
      {"read the index", [&] { return ::open(database_.c_str(), O_RDONLY | O_CLOEXEC) >= 0; }},
      {"read a fetched copy", [&] { return ::open(copy.c_str(), O_RDONLY | O_CLOEXEC) >= 0; }},
      {"talk to the host",
       [&] {
         const json reply = testing::call(
             socket_,
             {{"op", "delete"}, {"account", "primary"}, {"ulid", welcome}, {"is_folder", false}});
         return !reply.is_null();
       }},
  };
  for (const auto& probe : probes) {
    EXPECT_EQ(testing::runAsOtherUser([&] { return probe.succeeds() ? 1 : 0; }), 0)
        << "nobody could " << probe.what;
  }
  EXPECT_TRUE(fs::exists(store_ / "Welcome.txt"));
  EXPECT_EQ(host->wait(SIGTERM), 0);
}

}  // namespace
}  // namespace refhost
