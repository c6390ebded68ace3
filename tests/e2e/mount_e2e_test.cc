// `fpctl mount` end to end: the seeded store served by pell-refhost, the domain
// mounted through FUSE, and ordinary programs working in the folder.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "extension/testing/test_host.h"
#include "fileprovider/fpctl/mount/mount_table.h"
#include "fileprovider/scoped_fd.h"
#include "tests/e2e/harness.h"
#include "tests/e2e/mount_fixture.h"

namespace pellora::e2e {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

TEST_F(MountTest, OrdinaryToolsReadTheFolder) {
  RunResult ls = shOk("ls -la " + q());
  EXPECT_THAT(ls.out, HasSubstr("Welcome.txt"));
  EXPECT_THAT(ls.out, HasSubstr("Projects"));

  // find sees every file of the store (two of its names differ only in case, so
  // the extension shows one of them under a marked name).
  RunResult found = shOk("cd " + q() + " && find . -type f");
  std::size_t files = 0;
  for (const auto& [rel, bytes] : tree(sandbox().store())) files += rel.back() != '/';
  EXPECT_EQ(static_cast<std::size_t>(std::count(found.out.begin(), found.out.end(), '\n')), files);
  EXPECT_THAT(found.out, HasSubstr("./Projects/Designs/Drafts/draft-1.txt\n"));
  EXPECT_THAT(shOk("cd " + q() + " && find . -type d").out, HasSubstr("./Archive\n"));

  EXPECT_EQ(shOk("cat " + q("Welcome.txt")).out, sandbox().readStore("Welcome.txt"));
  EXPECT_EQ(shOk("cat " + q("Projects/Roadmap.md")).out,
            sandbox().readStore("Projects/Roadmap.md"));
  EXPECT_EQ(shOk("stat -c '%a %s' " + q("Welcome.txt")).out,
            "644 " + std::to_string(sandbox().readStore("Welcome.txt").size()) + "\n");
  EXPECT_EQ(shOk("stat -c '%a %F' " + q("Projects")).out, "755 directory\n");
  EXPECT_EQ(shOk("stat -c '%a' " + q("Projects/Budget.csv")).out, "444\n");  // locked
  EXPECT_EQ(sh("cat " + q("Nothing.txt")).status, 1);
}

TEST_F(MountTest, CopiedTreeArrivesInTheStoreByteForByte) {
  fs::path src = makeTree("tree");
  shOk("cp -r '" + src.string() + "' " + q());
  EXPECT_EQ(tree(sandbox().store() / "tree"), tree(src));
  // And reads back the same through the mount.
  EXPECT_EQ(tree(mnt_ / "tree"), tree(src));
}

TEST_F(MountTest, RsyncInAndBackOutIsIdentical) {
  if (auto missing = missingProgram({{"rsync", "rsync"}})) GTEST_FAIL() << *missing;
  fs::path src = makeTree("rs");
  shOk("rsync -a '" + src.string() + "/' " + q("rs") + "/");
  EXPECT_EQ(tree(sandbox().store() / "rs"), tree(src));
  // A changed file is sent again: rsync writes a temporary file and renames it
  // over the old one.
  spit(src / "a.txt", "alpha, second edition\n");
  shOk("rsync -a '" + src.string() + "/' " + q("rs") + "/");
  fs::path back = scratch("back");
  shOk("rsync -a " + q("rs") + "/ '" + back.string() + "/'");
  EXPECT_EQ(tree(back), tree(src));
  EXPECT_EQ(tree(sandbox().store() / "rs"), tree(src));
}

TEST_F(MountTest, TarExtractsIntoTheMount) {
  if (auto missing = missingProgram({{"tar", "tar"}})) GTEST_FAIL() << *missing;
  fs::path src = makeTree("tarred");
  fs::path archive = scratch("t.tar");
  shOk("tar -C '" + src.string() + "' -cf '" + archive.string() + "' .");
  shOk("mkdir " + q("x") + " && tar -C " + q("x") + " -xf '" + archive.string() + "'");
  EXPECT_EQ(tree(sandbox().store() / "x"), tree(src));
}

TEST_F(MountTest, MoveWithinAndAcrossFolders) {
  std::string welcome = sandbox().readStore("Welcome.txt");
  shOk("mv " + q("Welcome.txt") + " " + q("Renamed.txt"));
  shOk("mv " + q("Renamed.txt") + " " + q("Projects/Moved.txt"));
  shOk("mv " + q("Photos") + " " + q("Projects/Pictures"));
  EXPECT_FALSE(sandbox().storeHas("Welcome.txt"));
  EXPECT_EQ(sandbox().readStore("Projects/Moved.txt"), welcome);
  EXPECT_TRUE(sandbox().storeIsFolder("Projects/Pictures"));
  EXPECT_FALSE(sandbox().storeHas("Photos"));
  EXPECT_EQ(shOk("cat " + q("Projects/Moved.txt")).out, welcome);
  EXPECT_EQ(shOk("ls " + q("Projects/Pictures")).out, "sunset.png\n");
  // mv onto an existing file replaces it.
  std::string menu = sandbox().readStore("Café menu.txt");
  shOk("mv -f " + q("Café menu.txt") + " " + q("Projects/Moved.txt"));
  EXPECT_EQ(sandbox().readStore("Projects/Moved.txt"), menu);
  EXPECT_FALSE(sandbox().storeHas("Café menu.txt"));
  EXPECT_EQ(shOk("cat " + q("Projects/Moved.txt")).out, menu);
}

// With the host stopped, a folder whose last file is removed is empty: it can
// be removed too, and both are gone from the store once the host is back.
TEST_F(MountTest, AFolderEmptiedWhileTheHostIsAwayCanBeRemoved) {
  shOk("mkdir " + q("d") + " && echo x > " + q("d/f"));
  ASSERT_TRUE(waitUntil([&] { return sandbox().storeHas("d/f"); }));
  ASSERT_EQ(sandbox().stopHost(), 0);
  ASSERT_EQ(::unlink(m("d/f").c_str()), 0) << std::strerror(errno);
  EXPECT_EQ(shOk("ls -A " + q("d")).out, "");
  EXPECT_EQ(::rmdir(m("d").c_str()), 0) << std::strerror(errno);
  ASSERT_TRUE(sandbox().startHost());
  EXPECT_TRUE(waitUntil([&] { return !sandbox().storeHas("d"); }));
}

TEST_F(MountTest, RemoveRecursively) {
  fs::path src = makeTree("doomed");
  shOk("cp -r '" + src.string() + "' " + q());
  ASSERT_TRUE(sandbox().storeIsFolder("doomed/sub/deeper"));
  shOk("rm -r " + q("doomed") + " " + q("Photos"));
  EXPECT_FALSE(sandbox().storeHas("doomed"));
  EXPECT_FALSE(sandbox().storeHas("Photos"));
  EXPECT_THAT(shOk("ls " + q()).out, ::testing::Not(HasSubstr("doomed")));
  // A folder with something in it is not removed by rmdir.
  RunResult r = sh("rmdir " + q("Projects"));
  EXPECT_NE(r.status, 0);
  EXPECT_THAT(r.err, HasSubstr("not empty"));
  EXPECT_TRUE(sandbox().storeIsFolder("Projects"));
}

TEST_F(MountTest, SeveralReadersOfOneFileAtOnce) {
  std::string big = randomBytes(8 << 20, 3);
  fs::path src = scratch("big.bin");
  spit(src, big);
  shOk("cp '" + src.string() + "' " + q("big.bin"));
  // Drop what the mount fetched on its own behalf: the readers start from cold.
  unmount();
  fs::remove_all(sandbox().root() / "cache");
  ASSERT_TRUE(mount());
  std::string cmd;
  for (int i = 0; i < 6; ++i) {
    cmd += "cat " + q("big.bin") + " > '" + scratch("r" + std::to_string(i)).string() + "' & ";
  }
  shOk(cmd + "wait");
  for (int i = 0; i < 6; ++i) {
    EXPECT_TRUE(slurp(scratch("r" + std::to_string(i))) == big) << "reader " << i;
  }
}

TEST_F(MountTest, HostChangesShowWithinThePollInterval) {
  shOk("ls -la " + q() + " " + q("Projects") + " && cat " + q("Welcome.txt"));
  auto start = Clock::now();
  sandbox().writeStore("Projects/from-host.txt", "written by the host\n");
  sandbox().writeStore("Welcome.txt", "changed by the host\n");
  sandbox().removeStore("Café menu.txt");
  // The host rescans every second and the mount checks every second.
  bool seen = waitUntil(
      [&] {
        return fs::exists(mnt_ / "Projects" / "from-host.txt") &&
               !fs::exists(mnt_ / "Café menu.txt") &&
               slurp(mnt_ / "Welcome.txt") == "changed by the host\n";
      },
      std::chrono::seconds(10));
  ASSERT_TRUE(seen);
  // One rescan and one poll interval, with room for a busy machine.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(shOk("cat " + q("Projects/from-host.txt")).out, "written by the host\n");
}

TEST_F(MountTest, WritingALockedFileIsRefused) {
  std::string before = sandbox().readStore("Projects/Budget.csv");
  RunResult r = sh("echo more >> " + q("Projects/Budget.csv"));
  EXPECT_NE(r.status, 0);
  EXPECT_THAT(r.err, HasSubstr("Permission denied"));
  r = sh("rm -f " + q("Projects/Budget.csv"));
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(sandbox().readStore("Projects/Budget.csv"), before);
  EXPECT_EQ(shOk("cat " + q("Projects/Budget.csv")).out, before);  // reading is fine
  EXPECT_THAT(sandbox().log(), HasSubstr("write failed for Budget.csv"));
}

TEST_F(MountTest, HostStoppedFetchingFailsButListingWorks) {
  shOk("ls " + q());
  ASSERT_EQ(sandbox().stopHost(), 0);
  RunResult r = sh("cat " + q("Café menu.txt"));
  EXPECT_NE(r.status, 0);
  EXPECT_THAT(r.err, HasSubstr("Input/output error"));
  RunResult ls = shOk("ls " + q("Projects"));
  EXPECT_THAT(ls.out, HasSubstr("Roadmap.md"));
  EXPECT_THAT(sandbox().log(), HasSubstr("fetch failed for Café menu.txt"));
  ASSERT_TRUE(sandbox().startHost());
  EXPECT_EQ(shOk("cat " + q("Café menu.txt")).out, sandbox().readStore("Café menu.txt"));
}

TEST_F(MountTest, StoppingWithAnUploadUnderWayLosesNothing) {
  // A slow host: every request takes two seconds.
  unmount();
  ASSERT_TRUE(sandbox().restartHost({"--delay-ms", "2000"}));
  ASSERT_TRUE(mount());
  std::string data = randomBytes(2 << 20, 4);
  fs::path src = scratch("pending.bin");
  spit(src, data);
  // cp is started in the background; fpctl is told to stop while it uploads.
  fs::path done = scratch("cp.status");
  RunResult bg = sh("(cp '" + src.string() + "' " + q("pending.bin") + "; echo $? > '" +
                    done.string() + "') > /dev/null 2>&1 &");
  ASSERT_EQ(bg.status, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_TRUE(running());
  ::kill(pid_, SIGTERM);
  EXPECT_EQ(waitForExit(), 0) << mountOutput();
  EXPECT_FALSE(isMountPoint(mnt_));
  ASSERT_TRUE(waitUntil([&] { return fs::exists(done) && !slurp(done).empty(); }));
  EXPECT_EQ(slurp(done), "0\n");
  EXPECT_TRUE(sandbox().readStore("pending.bin") == data);
}

TEST_F(MountTest, UnmountedCleanlyWithFusermount) {
  shOk("cat " + q("Welcome.txt") + " > /dev/null");
  RunResult u = sandbox().run({"/bin/fusermount3", "-u", m()});
  EXPECT_EQ(u.status, 0) << u.describe();
  EXPECT_EQ(waitForExit(), 0);
  EXPECT_THAT(mountOutput(), HasSubstr("unmount with: fusermount3 -u " + m()));
}

// ---------------------------------------------------------------- keeping files local

// The value of the item's extended attribute `name`; "errno N" when it has none.
std::string attrOf(const fs::path& path, const char* name) {
  char buf[512];
  ssize_t n = ::getxattr(path.c_str(), name, buf, sizeof buf);
  if (n < 0) return "errno " + std::to_string(errno);
  return std::string(buf, static_cast<std::size_t>(n));
}

class KeepLocalTest : public MountTest {
 protected:
  std::string state(const std::string& rel) {
    return attrOf(mnt_ / rel, "user.fileprovider.state");
  }
  // Waits until the cache folder holds a fetched copy with `bytes`.
  bool cacheHolds(const std::string& bytes) {
    return waitUntil([&] {
      std::error_code ec;
      for (const auto& e : fs::directory_iterator(sandbox().root() / "cache" / "contents", ec)) {
        if (slurp(e.path()) == bytes) return true;
      }
      return false;
    });
  }
};

TEST_F(KeepLocalTest, APinnedFolderReadsAndListsWithTheHostStopped) {
  RunResult pinned = sandbox().fpctl({"pin", m("Projects")});
  ASSERT_EQ(pinned.status, 0) << pinned.describe();
  EXPECT_EQ(pinned.json["pinned"], nlohmann::json::array({m("Projects")}));
  EXPECT_EQ(pinned.json["files"], 4);  // Roadmap.md, Budget.csv, logo.png, draft-1.txt
  EXPECT_TRUE(pinned.json["error"].is_null());
  EXPECT_EQ(state("Projects/Designs/Drafts/draft-1.txt"), "pinned");
  EXPECT_EQ(state("Projects"), "pinned");
  EXPECT_EQ(state("Welcome.txt"), "cloud");
  RunResult text = sandbox().fpctlText({"pin", m("Projects/Roadmap.md")});
  EXPECT_EQ(text.status, 0) << text.describe();
  EXPECT_THAT(text.out, HasSubstr("pinned 1 item: 1 file ("));

  // A file below a pinned folder stays pinned: one line says so and names the folder.
  RunResult below = sandbox().fpctlText({"unpin", m("Projects/Designs/Drafts/draft-1.txt")});
  EXPECT_EQ(below.status, 0) << below.describe();
  EXPECT_EQ(below.out, "unpinned 0 items (their local copies stay until evicted); " +
                           m("Projects/Designs/Drafts/draft-1.txt") + " stays pinned: the folder " +
                           m("Projects") + " is pinned (unpin that folder to let it go)\n");
  EXPECT_EQ(below.err, "");
  // Evicting a pinned folder is one summary, not a line per file.
  RunResult keep = sandbox().fpctlText({"evict", m("Projects")});
  EXPECT_EQ(keep.status, 0) << keep.describe();
  EXPECT_EQ(keep.out,
            "evicted 0 files (0 B); 4 kept because pinned (fpctl unpin to let them go)\n");
  EXPECT_EQ(keep.err, "");
  // A path inside the mount is taken as such whatever --domain says.
  RunResult byPath =
      sandbox().fpctl({"--domain", std::string(kDefaultDomain), "pin", m("Projects/Roadmap.md")});
  EXPECT_EQ(byPath.status, 0) << byPath.describe();

  // Offline, and a new mount of the same cache: nothing is in the kernel's
  // caches, every read comes from the mount's copies.
  ASSERT_EQ(sandbox().stopHost(), 0);
  unmount();
  ASSERT_TRUE(mount());
  EXPECT_EQ(tree(mnt_ / "Projects"), tree(sandbox().store() / "Projects"));
  EXPECT_THAT(shOk("ls " + q()).out, HasSubstr("Welcome.txt"));

  // A file that is neither pinned nor cached fails at once: no socket, no wait.
  auto start = Clock::now();
  RunResult cat = sh("cat " + q("Welcome.txt"));
  auto took = Clock::now() - start;
  EXPECT_NE(cat.status, 0);
  EXPECT_THAT(cat.err, HasSubstr("Input/output error"));
  EXPECT_LT(took, std::chrono::seconds(1));

  // Writes wait in the queue; status shows them and the pinned set.
  fs::path data = scratch("offline.txt");
  spit(data, "written offline\n");
  shOk("cp '" + data.string() + "' " + q("Projects/offline.txt"));
  RunResult status = sandbox().fpctl({"status"});
  ASSERT_EQ(status.status, 0) << status.describe();
  const auto& mounted = status.json["mounts"][0];
  ASSERT_EQ(mounted["waiting"].size(), 1u) << status.out;
  EXPECT_EQ(mounted["waiting"][0]["name"], "offline.txt");
  std::vector<std::string> paths;
  for (const auto& p : mounted["pinned"]) paths.push_back(p["path"]);
  EXPECT_THAT(paths, ::testing::UnorderedElementsAre("/Projects", "/Projects/Roadmap.md"));
  EXPECT_THAT(sandbox().fpctlText({"status"}).out,
              HasSubstr("pinned (kept on this device): 2\n    /Projects/ (folder)\n"));

  // Pinning needs the host to fetch: the pin is kept, the command fails.
  RunResult offlinePin = sandbox().fpctlText({"pin", m("Welcome.txt")});
  EXPECT_EQ(offlinePin.status, 1) << offlinePin.describe();
  EXPECT_THAT(offlinePin.err, HasSubstr("(is the host application running?)"));
  EXPECT_EQ(state("Welcome.txt"), "pinning");  // pinned, its contents not here yet

  ASSERT_TRUE(sandbox().startHost());
  EXPECT_TRUE(waitUntil([&] { return sandbox().storeHas("Projects/offline.txt"); }));
  EXPECT_EQ(sandbox().readStore("Projects/offline.txt"), "written offline\n");
  // Back, the host's change to the index lets the mount fetch what the pin lacks.
  EXPECT_TRUE(cacheHolds(sandbox().readStore("Welcome.txt")));
}

TEST_F(KeepLocalTest, EvictDropsTheCopyButNeverUnsentChangesOrPinnedFiles) {
  std::string welcome = sandbox().readStore("Welcome.txt");
  EXPECT_EQ(shOk("cat " + q("Welcome.txt")).out, welcome);
  EXPECT_EQ(state("Welcome.txt"), "local");
  RunResult evicted = sandbox().fpctl({"evict", m("Welcome.txt")});
  ASSERT_EQ(evicted.status, 0) << evicted.describe();
  EXPECT_EQ(evicted.json["evicted"], nlohmann::json::array({m("Welcome.txt")}));
  EXPECT_EQ(state("Welcome.txt"), "cloud");
  // Not local any more: with the host away it cannot be read; back, it is fetched.
  ASSERT_EQ(sandbox().stopHost(), 0);
  EXPECT_NE(sh("cat " + q("Welcome.txt")).status, 0);
  ASSERT_TRUE(sandbox().startHost());
  EXPECT_EQ(shOk("cat " + q("Welcome.txt")).out, welcome);
  EXPECT_EQ(state("Welcome.txt"), "local");

  // A change the service does not have yet keeps its file; a pinned one stays.
  shOk("cat " + q("Projects/Roadmap.md") + " " + q("Café menu.txt") + " > /dev/null");
  ASSERT_EQ(sandbox().fpctl({"pin", m("Projects/Roadmap.md")}).status, 0);
  ASSERT_EQ(sandbox().stopHost(), 0);
  shOk("echo 'more' >> " + q("Café menu.txt"));
  EXPECT_EQ(state("Café menu.txt"), "unsent");
  RunResult refused = sandbox().fpctl({"evict", m("Café menu.txt"), m("Projects")});
  EXPECT_EQ(refused.status, 1) << refused.describe();
  EXPECT_EQ(refused.json["unsent"], nlohmann::json::array({m("Café menu.txt")}));
  EXPECT_EQ(refused.json["pinned"], nlohmann::json::array({m("Projects/Roadmap.md")}));
  EXPECT_EQ(refused.json["error"]["code"], EBUSY);
  EXPECT_EQ(state("Projects/Roadmap.md"), "pinned");
  RunResult text = sandbox().fpctlText({"evict", m("Café menu.txt")});
  EXPECT_EQ(text.status, 1);
  EXPECT_THAT(text.err, HasSubstr("has changes that are not on the service yet"));
  ASSERT_TRUE(sandbox().startHost());
  EXPECT_TRUE(waitUntil([&] { return sandbox().readStore("Café menu.txt").ends_with("more\n"); }));

  RunResult outside = sandbox().fpctl({"evict", sandbox().root().string()});
  EXPECT_EQ(outside.status, 1);
  EXPECT_THAT(outside.err, HasSubstr("is not inside a mount of fpctl"));
  EXPECT_EQ(outside.json["error"]["domain"], "fpctl");
}

TEST_F(KeepLocalTest, AttributesFollowAFileFromCloudToLocalToUploadingAndBack) {
  if (auto missing = missingProgram({{"getfattr", "attr"}, {"setfattr", "attr"}})) {
    GTEST_FAIL() << *missing;
  }
  RunResult dump = shOk("getfattr -d " + q("Welcome.txt"));
  EXPECT_THAT(dump.out, HasSubstr("user.fileprovider.state=\"cloud\""));
  EXPECT_THAT(dump.out, HasSubstr("user.fileprovider.identifier=\"i:"));
  EXPECT_THAT(dump.out, HasSubstr("user.fileprovider.version="));
  EXPECT_THAT(dump.out, HasSubstr("user.fileprovider.pinned=\"0\""));
  std::string version = attrOf(mnt_ / "Welcome.txt", "user.fileprovider.version");

  shOk("cat " + q("Welcome.txt") + " > /dev/null");
  EXPECT_EQ(state("Welcome.txt"), "local");
  // Open for writing with a change not closed yet, then closed and sent.
  {
    int fd = ::open(m("Welcome.txt").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(::write(fd, "more\n", 5), 5);
    EXPECT_EQ(state("Welcome.txt"), "uploading");
    EXPECT_EQ(::close(fd), 0);
  }
  EXPECT_EQ(state("Welcome.txt"), "local");
  EXPECT_NE(attrOf(mnt_ / "Welcome.txt", "user.fileprovider.version"), version);
  EXPECT_THAT(sandbox().readStore("Welcome.txt"), ::testing::EndsWith("more\n"));

  // The attributes are read-only, but for pinning.
  RunResult setState = sh("setfattr -n user.fileprovider.state -v local " + q("Welcome.txt"));
  EXPECT_NE(setState.status, 0);
  EXPECT_THAT(setState.err, HasSubstr("Operation not permitted"));
  RunResult badPin = sh("setfattr -n user.fileprovider.pinned -v yes " + q("Welcome.txt"));
  EXPECT_THAT(badPin.err, HasSubstr("Invalid argument"));
  shOk("setfattr -n user.fileprovider.pinned -v 1 " + q("Archive"));
  EXPECT_EQ(state("Archive"), "pinned");
  shOk("setfattr -n user.fileprovider.pinned -v 0 " + q("Archive"));
  EXPECT_EQ(state("Archive"), "local");
}

TEST_F(KeepLocalTest, APinnedFileIsFetchedAgainWhenItChangesOnTheService) {
  // By its path of display names in the domain's running mount.
  RunResult pinned =
      sandbox().fpctl({"--domain", std::string(kDefaultDomain), "pin", "/Café menu.txt"});
  ASSERT_EQ(pinned.status, 0) << pinned.describe();
  EXPECT_EQ(state("Café menu.txt"), "pinned");
  sandbox().writeStore("Café menu.txt", "Tea 1.80\n");
  // Fetched in the background: the copy arrives without anyone reading.
  ASSERT_TRUE(cacheHolds("Tea 1.80\n"));
  ASSERT_EQ(sandbox().stopHost(), 0);
  EXPECT_EQ(shOk("cat " + q("Café menu.txt")).out, "Tea 1.80\n");

  RunResult unpinned =
      sandbox().fpctl({"--domain", std::string(kDefaultDomain), "unpin", "/Café menu.txt"});
  EXPECT_EQ(unpinned.status, 0) << unpinned.describe();
  EXPECT_EQ(state("Café menu.txt"), "local");
  RunResult nowhere = sandbox().fpctl({"--domain", "no.such.domain", "pin", "/Welcome.txt"});
  EXPECT_EQ(nowhere.status, 1);
  EXPECT_THAT(nowhere.err, HasSubstr("is not mounted"));
}

// Under a service manager (NOTIFY_SOCKET) a mount in the foreground says
// READY=1 once it is mounted, and STOPPING=1 when SIGTERM ends it cleanly.
TEST_F(MountTest, AServiceManagerHearsReadyOnceMountedAndStoppingAtSigterm) {
  unmount();
  const fs::path socketPath = sandbox().root() / "notify";
  fp::ScopedFD manager(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(manager.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
      << std::strerror(errno);
  auto receive = [&] {
    pollfd p{manager.get(), POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return std::string("(nothing within 10 s)");
    char buf[512];
    ssize_t n = ::recv(manager.get(), buf, sizeof buf, 0);
    return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
  };
  mountEnv_ = {{"NOTIFY_SOCKET", socketPath.string()}};
  ASSERT_TRUE(mount());
  EXPECT_EQ(receive(), "READY=1\nSTATUS=mounted at " + m());
  // Ready means usable: the folder lists, and fpctl status knows the mount.
  EXPECT_TRUE(fs::exists(mnt_ / "Welcome.txt"));
  EXPECT_EQ(sandbox().fpctl({"status"}).json["mounts"].size(), 1u);

  ASSERT_EQ(::kill(pid_, SIGTERM), 0);
  EXPECT_EQ(receive(), "STOPPING=1");
  EXPECT_EQ(waitForExit(), 0) << mountOutput();
  EXPECT_FALSE(isMountPoint(mnt_));
}

// ---------------------------------------------------------------- faults

// What `fpctl status --cache` reports for the test's cache folder.
TEST_F(MountTest, StatusShowsTheRunningMountAndWhatWaits) {
  RunResult r = sandbox().fpctl({"status"});
  ASSERT_EQ(r.status, 0) << r.describe();
  ASSERT_TRUE(r.isJson) << r.describe();
  ASSERT_EQ(r.json["mounts"].size(), 1u) << r.json.dump();
  const auto& mount = r.json["mounts"][0];
  EXPECT_EQ(mount["mountpoint"], m());
  EXPECT_EQ(mount["cache"], (sandbox().root() / "cache").string());
  EXPECT_EQ(mount["domain"], std::string(kDefaultDomain));
  EXPECT_TRUE(mount["waiting"].empty());

  // With the host away, a written file waits, and the text says so.
  ASSERT_EQ(sandbox().stopHost(), 0);
  fs::path data = scratch("waiting.txt");
  spit(data, "later");
  shOk("cp '" + data.string() + "' " + q("waiting.txt"));
  RunResult text = sandbox().fpctlText({"status"});
  EXPECT_EQ(text.status, 0) << text.describe();
  EXPECT_THAT(text.out, HasSubstr("waiting to be sent: 1"));
  EXPECT_THAT(text.out, HasSubstr("waiting.txt (5 B, new file)"));
  ASSERT_TRUE(sandbox().startHost());
  EXPECT_TRUE(waitUntil([&] { return sandbox().storeHas("waiting.txt"); }));
  EXPECT_EQ(sandbox().readStore("waiting.txt"), "later");
}

TEST_F(MountTest, FolderIsNotDeletedWhenTheIndexCannotBeRead) {
  shOk("ls " + q() + " " + q("Projects"));
  auto before = tree(sandbox().store() / "Projects");
  fs::path db = sandbox().container() / "state.db";
  fs::path away = sandbox().container() / "state.db.away";
  ASSERT_TRUE(fs::exists(db));
  fs::rename(db, away);
  RunResult rm = sh("rmdir " + q("Projects"));
  RunResult mv = sh("mkdir -p " + q("Empty") + " && mv -T " + q("Empty") + " " + q("Projects"));
  fs::rename(away, db);
  EXPECT_NE(rm.status, 0);
  EXPECT_NE(mv.status, 0);
  EXPECT_EQ(tree(sandbox().store() / "Projects"), before);
}

TEST_F(MountTest, AWriteAfterARefusedCreateIsNeverLostSilently) {
  shOk("ls " + q());
  unmount();
  ASSERT_TRUE(sandbox().restartHost({"--fail", "create=invalid_name"}));
  ASSERT_TRUE(mount());
  // cp reports what close says (a shell's redirection does not).
  fs::path firstData = scratch("first");
  fs::path secondData = scratch("second");
  spit(firstData, "first");
  spit(secondData, "important");
  RunResult first = sh("cp '" + firstData.string() + "' " + q("refused.txt"));
  EXPECT_NE(first.status, 0) << first.describe();
  // Through the name the kernel may still hold: either a visible failure or
  // the data kept, never a silent success with the data gone.
  RunResult second = sh("cp '" + secondData.string() + "' " + q("refused.txt"));
  auto kept = refusedContents(cacheStatus(sandbox()));
  EXPECT_THAT(kept, ::testing::Contains("first"));
  if (second.status == 0) {
    EXPECT_THAT(kept, ::testing::Contains("important"));
  }
  EXPECT_FALSE(sandbox().storeHas("refused.txt"));

  unmount();
  ASSERT_TRUE(sandbox().restartHost());
  ASSERT_TRUE(mount());
  shOk("printf again > " + q("refused.txt"));
  EXPECT_EQ(sandbox().readStore("refused.txt"), "again");
}

TEST_F(MountTest, ANamesakeOfASiblingIsRefusedAtOpen) {
  // The service would show these under a marked name: the program learns it
  // at open(O_CREAT), before any data is written, and nothing is kept.
  sandbox().writeStore("Projects/Kelvin.txt", "k");
  ASSERT_TRUE(waitUntil([&] { return fs::exists(mnt_ / "Projects" / "Kelvin.txt"); },
                        std::chrono::seconds(10)));
  for (const std::string name : {"welcome.TXT", "Projects/kelvin.txt",
                                 "Projects/\xE2\x84\xAA"
                                 "elvin.txt",
                                 "projects"}) {
    SCOPED_TRACE(name);
    RunResult r = sh("printf data > " + q(name));
    EXPECT_NE(r.status, 0) << r.describe();
    EXPECT_THAT(r.err, HasSubstr("File exists"));
  }
  EXPECT_FALSE(sandbox().storeHas("welcome.TXT"));
  EXPECT_FALSE(sandbox().storeHas("Projects/kelvin.txt"));
  EXPECT_TRUE(refusedContents(cacheStatus(sandbox())).empty());
  shOk("printf data > " + q("Projects/Kelvin2.txt"));
  EXPECT_EQ(sandbox().readStore("Projects/Kelvin2.txt"), "data");
}

// Names taken on the service behind this mount's back (as by another mount):
// the service refuses them, and programs are told "File exists", not "Invalid
// argument"; fpctl status gives the reason a refused file is kept in words.
TEST_F(MountTest, ANameTakenOnTheServiceMeanwhileIsFileExists) {
  for (bool writeBack : {false, true}) {
    SCOPED_TRACE(writeBack ? "write-back" : "default");
    unmount();
    mode_ = writeBack ? std::vector<std::string>{"--write-back"} : std::vector<std::string>{};
    // Changes are not looked for: the mount learns of the names from the refusals alone.
    ASSERT_TRUE(mount({"--poll", "3600"}));
    const std::string top = writeBack ? "wb" : "default";
    shOk("mkdir " + q(top) + " && printf mine > " + q(top + "/mine") + " && ls " + q(top));
    ASSERT_TRUE(waitUntil([&] { return sandbox().storeHas(top + "/mine"); }));
    auto takeOnService = [&](const std::string& name, bool folder) {
      sandbox().writeStore(top + "/" + name + (folder ? "/inside" : ""), "theirs");
      return waitUntil([&] {
        return sandbox().fpctlText({"ls", "/" + top}).out.find(name) != std::string::npos;
      });
    };

    ASSERT_TRUE(takeOnService("made", true));
    RunResult mk = sh("mkdir " + q(top + "/made"));
    EXPECT_NE(mk.status, 0);
    EXPECT_THAT(mk.err, HasSubstr("File exists"));
    EXPECT_TRUE(fs::is_directory(mnt_ / top / "made"));  // shown once refused

    ASSERT_TRUE(takeOnService("taken", false));
    // rename(2) itself: mv would go on to replace the name it learns exists.
    RunResult mv = sh("perl -e 'rename($ARGV[0], $ARGV[1]) or die \"$!\\n\"' " + q(top + "/mine") +
                      " " + q(top + "/taken"));
    EXPECT_NE(mv.status, 0);
    EXPECT_THAT(mv.err, HasSubstr("File exists"));
    EXPECT_EQ(sandbox().readStore(top + "/mine"), "mine");
    EXPECT_EQ(sandbox().readStore(top + "/taken"), "theirs");

    ASSERT_TRUE(takeOnService("config.lock", false));
    fs::path ours = scratch("ours");
    spit(ours, "ours " + top);
    RunResult cp = sh("cp '" + ours.string() + "' " + q(top + "/config.lock"));
    if (!writeBack) {
      EXPECT_NE(cp.status, 0);
      EXPECT_THAT(cp.err, HasSubstr("File exists"));
    }
    const std::string reason =
        "creating was refused: File exists (an item named \"config.lock\" already exists there)";
    EXPECT_TRUE(waitUntil([&] {
      return refusedWithReasons(cacheStatus(sandbox()))["ours " + top] == reason;
    })) << cacheStatus(sandbox()).dump();
    EXPECT_THAT(sandbox().fpctlText({"status"}).out, HasSubstr("config.lock: " + reason));
    EXPECT_EQ(sandbox().readStore(top + "/config.lock"), "theirs");
  }
}

TEST_F(MountTest, ARefusedChangeIsShownWhereItWasAndIsSentAgainOrSetAsideKept) {
  unmount();
  // Changes are not looked for: the mount learns of the names from the refusals alone.
  ASSERT_TRUE(mount({"--poll", "3600"}));
  shOk("ls " + q());
  auto refuseNamesake = [&](const std::string& name, const std::string& bytes) {
    sandbox().writeStore(name, "theirs");
    ASSERT_TRUE(waitUntil([&] {
      return sandbox().fpctlText({"ls", "/"}).out.find(name) != std::string::npos;
    }));
    fs::path ours = scratch(name);
    spit(ours, bytes);
    EXPECT_NE(sh("cp '" + ours.string() + "' " + q(name)).status, 0);
  };
  refuseNamesake("taken.txt", "ours");
  nlohmann::json status = cacheStatus(sandbox());
  ASSERT_EQ(status["refused"].size(), 1u) << status.dump();
  EXPECT_EQ(status["refused"][0]["shownPath"], "/taken.txt");
  EXPECT_THAT(status["refused"][0]["reason"].get<std::string>(), HasSubstr("File exists"));
  EXPECT_EQ(status["hostAnswers"], true);
  std::string text = sandbox().fpctlText({"status"}).out;
  EXPECT_THAT(text, HasSubstr("host application: answers"));
  EXPECT_THAT(text, HasSubstr("fpctl retry /taken.txt"));

  // The user gives the name free on the service, and sends the change again.
  sandbox().renameStore("taken.txt", "theirs.txt");
  ASSERT_TRUE(waitUntil([&] {
    return sandbox().fpctlText({"ls", "/"}).out.find("theirs.txt") != std::string::npos;
  }));
  RunResult retried = sandbox().fpctlText({"retry", "/taken.txt"});
  EXPECT_EQ(retried.status, 0) << retried.describe();
  EXPECT_THAT(retried.out, HasSubstr("sends it now"));
  EXPECT_TRUE(waitUntil([&] {
    return sandbox().storeHas("taken.txt") && sandbox().readStore("taken.txt") == "ours";
  })) << sandbox().log();
  EXPECT_TRUE(cacheStatus(sandbox())["refused"].empty());
  EXPECT_EQ(sandbox().fpctlText({"retry", "/taken.txt"}).status, 1);  // nothing refused is named so

  // Set aside instead: the bytes are kept in the recovery folder.
  refuseNamesake("other.txt", "my other bytes");
  const fs::path data = sandbox().root() / "data";
  RunOptions withData;
  withData.env = {{"XDG_DATA_HOME", data.string()}};
  RunResult discarded = sandbox().fpctl({"discard", (mnt_ / "other.txt").string()}, withData);
  ASSERT_EQ(discarded.status, 0) << discarded.describe();
  ASSERT_EQ(discarded.json["discarded"].size(), 1u);
  const fs::path moved = discarded.json["discarded"][0]["movedTo"].get<std::string>();
  EXPECT_EQ(moved.parent_path().parent_path(), data / "fileprovider" / "recovered");
  EXPECT_EQ(slurp(moved), "my other bytes");
  EXPECT_TRUE(cacheStatus(sandbox())["refused"].empty());
  EXPECT_EQ(sandbox().readStore("other.txt"), "theirs");

  // A file locked on the service while an edit of it waited: a lock passes
  // (the extension tells it as a host that does not answer), so the edit
  // waits, is listed as waiting, and arrives by itself once the lock is gone.
  unmount();
  ASSERT_TRUE(mount());
  shOk("cat " + q("Projects/Roadmap.md") + " > /dev/null");  // kept here to be changed offline
  ASSERT_EQ(sandbox().stopHost(), 0);
  shOk("echo more >> " + q("Projects/Roadmap.md"));
  const std::string before = sandbox().readStore("Projects/Roadmap.md");
  sandbox().writeStore(".refhost/locks.json", R"({"Projects/Roadmap.md": 4711})");
  ASSERT_TRUE(sandbox().startHost());
  ASSERT_TRUE(waitUntil(
      [&] { return sandbox().log().find("is locked by user 4711") != std::string::npos; }));
  status = cacheStatus(sandbox());
  EXPECT_TRUE(status["refused"].empty()) << status.dump();
  ASSERT_EQ(status["waiting"].size(), 1u) << status.dump();
  EXPECT_EQ(status["waiting"][0]["name"], "Roadmap.md");
  sandbox().writeStore(".refhost/locks.json", "{}");
  EXPECT_TRUE(
      waitUntil([&] { return sandbox().readStore("Projects/Roadmap.md") == before + "more\n"; },
                std::chrono::seconds(45)))
      << sandbox().log();

  sandbox().stopHost();
  EXPECT_EQ(cacheStatus(sandbox())["hostAnswers"], false);
}

TEST_F(MountTest, ReadersOfAHangingHostCanBeKilledAndUnmountingEnds) {
  // The host takes every request and answers after ten minutes.
  shOk("ls " + q());
  unmount();
  ASSERT_TRUE(sandbox().restartHost({"--delay-ms", "600000"}));
  ASSERT_TRUE(mount());
  auto startCat = [&](const std::string& rel) {
    fs::path pidFile = scratch("cat-" + rel.substr(0, 3) + ".pid");
    fs::create_directories(pidFile.parent_path());
    RunResult r = sh("cat " + q(rel) + " > /dev/null 2>&1 & echo $! > '" + pidFile.string() + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(waitUntil([&] { return !slurp(pidFile).empty(); }));
    std::string pid = slurp(pidFile);
    return pid.empty() ? pid_t{-1} : static_cast<pid_t>(std::stoi(pid));
  };
  auto gone = [](pid_t pid) { return ::kill(pid, 0) != 0; };

  pid_t reader = startCat("Welcome.txt");
  ASSERT_GT(reader, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_FALSE(gone(reader));  // it waits for the host
  ::kill(reader, SIGKILL);
  EXPECT_TRUE(waitUntil([&] { return gone(reader); }, std::chrono::seconds(3)))
      << "a reader waiting on the host could not be killed";

  // SIGTERM ends the mount while another reader still waits on the host.
  pid_t second = startCat("Café menu.txt");
  ASSERT_GT(second, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto start = Clock::now();
  ::kill(pid_, SIGTERM);
  EXPECT_GE(waitForExit(std::chrono::seconds(10)), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(waitUntil([&] { return gone(second); }, std::chrono::seconds(5)));
}

TEST_F(MountTest, ReadersOfAHostileHostEndAndUnmountingWorks) {
  // In place of the host application, a host that trickles its answer to a
  // fetch a byte every half second, or hands back a FIFO as the fetched file.
  shOk("ls " + q());
  ASSERT_GE(sandbox().stopHost(), 0);
  fs::path fifo = scratch("fetched.fifo");
  fs::create_directories(fifo.parent_path());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::atomic<bool> trickle{true};
  pellora::testing::TestHost host(sandbox().socketPath());
  host.respondWithScript([&](const nlohmann::json& request) {
    using pellora::testing::Script;
    std::string reply = nlohmann::json{{"ok", true}, {"path", fifo.string()}}.dump() + "\n";
    if (request.value("op", "") != "fetch" || !trickle) return Script::reply(reply);
    std::vector<std::string> bytes;
    for (char c : reply) bytes.emplace_back(1, c);
    return Script::pieces(std::move(bytes), std::chrono::milliseconds(500));
  });
  auto gone = [](pid_t pid) { return ::kill(pid, 0) != 0; };
  fs::path pidFile = scratch("cat.pid");
  RunResult started =
      sh("cat " + q("Welcome.txt") + " > /dev/null 2>&1 & echo $! > '" + pidFile.string() + "'");
  ASSERT_EQ(started.status, 0);
  ASSERT_TRUE(waitUntil([&] { return !slurp(pidFile).empty(); }));
  auto reader = static_cast<pid_t>(std::stoi(slurp(pidFile)));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_FALSE(gone(reader));  // still receiving the trickle
  ::kill(reader, SIGKILL);
  EXPECT_TRUE(waitUntil([&] { return gone(reader); }, std::chrono::seconds(3)))
      << "a reader of a trickling host could not be killed";

  trickle = false;
  auto start = Clock::now();
  RunResult fifoRead = sh("cat " + q("Café menu.txt"), std::chrono::seconds(20));
  EXPECT_FALSE(fifoRead.timedOut);
  EXPECT_NE(fifoRead.status, 0) << fifoRead.describe();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));

  auto requests = host.parsedRequests();
  EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                          [](const nlohmann::json& r) { return r.value("op", "") == "fetch"; }),
            2);

  start = Clock::now();
  RunResult u = sandbox().run({"/bin/fusermount3", "-u", mnt_.string()});
  EXPECT_EQ(u.status, 0) << u.describe();
  EXPECT_GE(waitForExit(std::chrono::seconds(10)), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

enum class Fault { kHostStopped, kHostRefusing, kFpctlKilled, kUnmountedMidWrite };
enum class Op { kNewFile, kOverwrite, kRedirect, kRenameOver };

struct MatrixCase {
  Fault fault;
  Op op;
  bool writeBack = false;  // mounted with --write-back
};

std::string nameOf(Fault f) {
  switch (f) {
    case Fault::kHostStopped:
      return "host stopped";
    case Fault::kHostRefusing:
      return "host refusing";
    case Fault::kFpctlKilled:
      return "fpctl killed";
    case Fault::kUnmountedMidWrite:
      return "unmounted mid-write";
  }
  return "";
}

std::string nameOf(Op o) {
  switch (o) {
    case Op::kNewFile:
      return "new file";
    case Op::kOverwrite:
      return "overwrite";
    case Op::kRedirect:
      return "> over a file";
    case Op::kRenameOver:
      return "rename over a file";
  }
  return "";
}

// With --write-back a copy is shown at once and reaches the store byte for
// byte; a tree removed right after its copy leaves nothing on the service.
TEST_F(MountTest, WriteBackCopiesAndRemovesWithoutWaitingForTheHost) {
  unmount();
  mode_ = {"--write-back"};
  ASSERT_TRUE(mount());
  fs::path src = makeTree("wb");
  shOk("cp -r '" + src.string() + "' " + q());
  EXPECT_EQ(tree(mnt_ / "wb"), tree(src));
  EXPECT_TRUE(waitUntil([&] { return tree(sandbox().store() / "wb") == tree(src); }));
  shOk("cp -r '" + src.string() + "' " + q("gone") + " && rm -r " + q("gone"));
  EXPECT_TRUE(waitUntil([&] {
    auto st = cacheStatus(sandbox());
    return st.contains("waiting") && st["waiting"].empty();
  }));
  EXPECT_FALSE(sandbox().storeHas("gone"));
  EXPECT_THAT(shOk("ls " + q()).out, ::testing::Not(HasSubstr("gone")));
}

// Saves through a temporary name renamed over the real one (lock files), after
// many new files and twice in a row: the store ends with every real name
// holding the last contents, no temporary name, nothing refused or waiting.
// Files renamed one at a time with pauses keep their new names and contents.
TEST_F(MountTest, SavesThroughATemporaryNameKeepTheFinalNames) {
  for (bool writeBack : {false, true}) {
    SCOPED_TRACE(writeBack ? "write-back" : "default");
    ASSERT_TRUE(remountIn(writeBack));
    const std::string t = writeBack ? "t-wb" : "t";
    const std::string d = m(t);
    shOk("mkdir -p '" + d + "/objs' && cd '" + d +
         "' && for i in $(seq 300); do echo $i > objs/o$i; done && "
         "for n in HEAD config index packed-refs; do echo v1 > $n.lock && mv $n.lock $n && "
         "echo v2 > $n.lock && mv $n.lock $n; done && "
         "for i in 1 2 3 4; do echo c$i > src$i; done && "
         "for i in 1 2 3 4; do mv src$i dst$i; sleep 1.5; done");
    std::map<std::string, std::string> expected;
    for (std::string n : {"HEAD", "config", "index", "packed-refs"}) expected[n] = "v2\n";
    for (int i = 1; i <= 4; ++i)
      expected["dst" + std::to_string(i)] = "c" + std::to_string(i) + "\n";
    expected["objs/"] = "";
    for (int i = 1; i <= 300; ++i)
      expected["objs/o" + std::to_string(i)] = std::to_string(i) + "\n";
    EXPECT_TRUE(waitUntil([&] { return tree(sandbox().store() / t) == expected; },
                          std::chrono::seconds(30)));
    auto actual = tree(sandbox().store() / t);
    for (const auto& [name, bytes] : actual) {
      if (!expected.count(name)) ADD_FAILURE() << "the store also has " << name;
    }
    for (const auto& [name, bytes] : expected) {
      if (!name.starts_with("objs/") && actual[name] != bytes) {
        ADD_FAILURE() << name << " holds '" << actual[name] << "'";
      }
    }
    auto st = cacheStatus(sandbox());
    EXPECT_TRUE(st["waiting"].empty()) << st.dump();
    EXPECT_TRUE(refusedContents(st).empty()) << st.dump();
    EXPECT_THAT(mountOutput(),
                ::testing::Not(HasSubstr("will be sent when the host application answers")));
  }
}

// With the host stopped, what programs do in the folder works locally and shows
// at once; once the host is back, the store ends up as the folder showed it,
// and no temporary name ever reaches it. Then the same with the host stopped
// while the lock/rename saves are still being sent.
TEST_F(MountTest, OfflineWorkShowsAtOnceAndArrivesLater) {
  for (bool writeBack : {false, true}) {
    SCOPED_TRACE(writeBack ? "write-back" : "default");
    ASSERT_TRUE(remountIn(writeBack));
    const std::string t = writeBack ? "off-wb" : "off";
    const std::string d = m(t);
    shOk("mkdir '" + d + "' && cd '" + d +
         "' && echo one > keep.txt && echo old > edit.txt && echo gone > gone.txt && "
         "echo a > moved.txt && mkdir empty");
    ASSERT_TRUE(waitUntil([&] { return sandbox().readStore(t + "/moved.txt") == "a\n"; }));
    shOk("cat '" + d + "/edit.txt' > /dev/null");  // fetched while the host answers
    ASSERT_EQ(sandbox().stopHost(), 0);
    shOk("cd '" + d +
         "' && echo new > new.txt && echo more >> edit.txt && sed -i s/one/ONE/ keep.txt && "
         "rm gone.txt && mv moved.txt renamed.txt && mkdir made && echo in > made/inner.txt && "
         "rmdir empty");
    std::map<std::string, std::string> expected = {
        {"new.txt", "new\n"},  {"edit.txt", "old\nmore\n"},
        {"keep.txt", "ONE\n"}, {"renamed.txt", "a\n"},
        {"made/", ""},         {"made/inner.txt", "in\n"}};
    EXPECT_EQ(tree(mnt_ / t), expected);
    // fpctl restarted meanwhile shows the same.
    ASSERT_TRUE(remountIn(writeBack));
    EXPECT_EQ(tree(mnt_ / t), expected);
    ASSERT_TRUE(sandbox().startHost());
    EXPECT_TRUE(waitUntil([&] { return tree(sandbox().store() / t) == expected; },
                          std::chrono::seconds(30)))
        << ::testing::PrintToString(tree(sandbox().store() / t));
    EXPECT_EQ(tree(mnt_ / t), expected);

    // Saves through lock files, and the host stops while they are sent.
    shOk("cd '" + d +
         "' && for n in HEAD config index packed-refs; do echo v1 > $n.lock && mv $n.lock $n && "
         "echo v2 > $n.lock && mv $n.lock $n; done");
    ASSERT_EQ(sandbox().stopHost(), 0);
    for (std::string n : {"HEAD", "config", "index", "packed-refs"}) expected[n] = "v2\n";
    EXPECT_EQ(tree(mnt_ / t), expected);
    ASSERT_TRUE(sandbox().startHost());
    EXPECT_TRUE(waitUntil([&] { return tree(sandbox().store() / t) == expected; },
                          std::chrono::seconds(30)))
        << ::testing::PrintToString(tree(sandbox().store() / t));
    auto st = cacheStatus(sandbox());
    EXPECT_TRUE(refusedContents(st).empty()) << st.dump();
  }
}

// Another device edits the same files while the host is away: when it is back,
// neither side's edit is lost, and `fpctl status` lists each case.
TEST_F(MountTest, EditsOfAnotherDeviceMeanwhileAreKeptBesideOurs) {
  for (bool writeBack : {false, true}) {
    SCOPED_TRACE(writeBack ? "write-back" : "default");
    ASSERT_TRUE(remountIn(writeBack));
    const std::string t = writeBack ? "both-wb" : "both";
    const std::string d = m(t);
    shOk("mkdir '" + d + "' && cd '" + d +
         "' && for f in both gone-there gone-here moved; do echo base > $f.txt; done && mkdir sub "
         "&& "
         "echo base > sub/old.txt");
    const fs::path store = sandbox().store() / t;
    // Everything reaches the store before the host stops; with write-back the
    // last creations may still be queued after the first files arrived.
    ASSERT_TRUE(waitUntil([&] {
      auto files = tree(store);
      return files.size() == 6 && files["sub/old.txt"] == "base\n" &&
             files["moved.txt"] == "base\n" && files["gone-here.txt"] == "base\n";
    }));
    shOk("cat '" + d + "'/*.txt > /dev/null");  // seen here at the base version
    ASSERT_EQ(sandbox().stopHost(), 0);
    shOk("cd '" + d +
         "' && echo mine >> both.txt && echo mine >> gone-there.txt && rm gone-here.txt && "
         "mv moved.txt mine.txt && echo new > sub/new.txt");
    shOk("cd '" + store.string() +
         "' && echo theirs >> both.txt && rm gone-there.txt && echo theirs >> gone-here.txt && "
         "mv moved.txt theirs.txt && rm -r sub");
    ASSERT_TRUE(sandbox().startHost());
    auto settled = [&] {
      auto files = tree(store);
      return files.size() == 7 && files["sub/new.txt"] == "new\n" &&
             files["both.txt"] == "base\ntheirs\n" && files["theirs.txt"] == "base\n" &&
             files["gone-there.txt"] == "base\nmine\n" &&
             files["gone-here.txt"] == "base\ntheirs\n";
    };
    EXPECT_TRUE(waitUntil(settled, std::chrono::seconds(30)))
        << ::testing::PrintToString(tree(store));
    std::string copy;
    for (const auto& [name, bytes] : tree(store)) {
      if (name.starts_with("both (conflict ")) {
        copy = name;
        EXPECT_EQ(bytes, "base\nmine\n");
      }
    }
    EXPECT_TRUE(copy.ends_with(").txt")) << copy;
    auto st = cacheStatus(sandbox());
    std::set<std::string> kinds;
    for (const auto& c : st["conflicts"]) {
      if (c["path"].get<std::string>().starts_with("/" + t + "/")) {
        kinds.insert(c["kind"].get<std::string>());
      }
    }
    EXPECT_EQ(kinds, (std::set<std::string>{"changed here and there", "changed here, removed there",
                                            "removed here, changed there", "moved here and there",
                                            "new here, folder removed there"}))
        << st.dump();
    EXPECT_TRUE(waitUntil([&] { return tree(mnt_ / t) == tree(store); }))
        << ::testing::PrintToString(tree(mnt_ / t));
  }
}

// git's own way of saving (lock files renamed over the real ones) survives a
// clone into the mount: fsck and status are clean, and the store holds the
// repository's config and HEAD.
TEST_F(MountTest, GitClonesIntoTheMountAreWhole) {
  if (auto missing = missingProgram({{"git", "git"}})) GTEST_FAIL() << *missing;
  fs::path origin = scratch("origin");
  fs::create_directories(origin);
  const std::string git =
      "git -c user.name=t -c user.email=t@example.org -c init.defaultBranch=main";
  std::string make = "cd '" + origin.string() + "' && " + git + " init -q . && for c in 1 2 3; do ";
  make += "for i in $(seq 17); do mkdir -p d$i && echo $c.$i > d$i/f$c-$i; done && " + git +
          " add -A && " + git + " commit -qm c$c; done";
  shOk(make);
  for (bool writeBack : {false, true}) {
    SCOPED_TRACE(writeBack ? "write-back" : "default");
    ASSERT_TRUE(remountIn(writeBack));
    for (int i = 1; i <= 3; ++i) {
      const std::string name = (writeBack ? "wb-clone" : "clone") + std::to_string(i);
      SCOPED_TRACE(name);
      RunResult clone = shOk("git clone -q '" + origin.string() + "' " + q(name) + " 2>&1");
      EXPECT_THAT(clone.out + clone.err, ::testing::Not(HasSubstr("error")));
      shOk("cd " + q(name) + " && git fsck --no-progress 2>&1");
      EXPECT_EQ(shOk("cd " + q(name) + " && git status --porcelain").out, "");
      EXPECT_THAT(shOk("cd " + q(name) + " && git config branch.main.merge").out,
                  HasSubstr("refs/heads/main"));
      EXPECT_TRUE(waitUntil([&] {
        return sandbox().storeHas(name + "/.git/config") && sandbox().storeHas(name + "/.git/HEAD");
      }));
    }
  }
}

// A host that hangs holds neither the end of the mount nor the file: SIGTERM
// ends fpctl within seconds, and the next mount sends the file. With
// --write-back the close does not wait for the host; without it, the close
// waits, and fpctl ends itself once a grace has passed, keeping the file.
TEST_F(MountTest, AHangingHostHoldsNeitherTheEndOfTheMountNorTheFile) {
  for (bool writeBack : {true, false}) {
    SCOPED_TRACE(writeBack ? "write-back" : "default");
    unmount();
    ASSERT_TRUE(sandbox().restartHost({"--delay-ms", "600000"}));
    mode_ = writeBack ? std::vector<std::string>{"--write-back"} : std::vector<std::string>{};
    ASSERT_TRUE(mount());
    const std::string name = writeBack ? "kept-wb.txt" : "kept.txt";
    fs::path data = scratch(name);
    spit(data, "kept while the host hung\n");
    fs::path done = scratch(name + ".status");
    ASSERT_EQ(sh("(cat '" + data.string() + "' > " + q(name) + "; echo $? > '" + done.string() +
                 "') > /dev/null 2>&1 &")
                  .status,
              0);
    if (writeBack) {
      EXPECT_TRUE(waitUntil([&] { return fs::exists(done) && !slurp(done).empty(); },
                            std::chrono::seconds(2)))
          << "the close waited for the host";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the sending has begun
    auto start = Clock::now();
    ::kill(pid_, SIGTERM);
    EXPECT_GE(waitForExit(std::chrono::seconds(30)), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(writeBack ? 8 : 16));
    sandbox().run({"/bin/fusermount3", "-u", "-z", m()});
    EXPECT_THAT(mountOutput(), ::testing::AnyOf(HasSubstr("could not be sent yet"),
                                                HasSubstr("still being sent")));

    ASSERT_TRUE(sandbox().restartHost());
    ASSERT_TRUE(mount());
    EXPECT_TRUE(waitUntil([&] {
      return sandbox().storeHas(name) && sandbox().readStore(name) == "kept while the host hung\n";
    }));
  }
}

// A host that takes a creation and does not answer does not hold the closing
// program: a signal ends its close at once, and the file, kept in the queue,
// reaches the service once the host answers again.
TEST_F(MountTest, ASignalEndsACloseThatWaitsForTheHost) {
  unmount();
  ASSERT_TRUE(sandbox().restartHost({"--delay-ms", "600000"}));
  ASSERT_TRUE(mount());
  fs::path pidFile = scratch("writer.pid");
  fs::create_directories(pidFile.parent_path());
  ASSERT_EQ(
      sh("(echo x > " + q("new.txt") + ") > /dev/null 2>&1 & echo $! > '" + pidFile.string() + "'")
          .status,
      0);
  ASSERT_TRUE(waitUntil([&] { return !slurp(pidFile).empty(); }));
  const pid_t writer = std::stoi(slurp(pidFile));
  // Running or waiting: neither gone nor a zombie (nobody may reap it here).
  auto alive = [&] {
    std::string stat = slurp("/proc/" + std::to_string(writer) + "/stat");
    auto paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
  };
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the close waits now
  ASSERT_TRUE(alive()) << "the close did not wait for the host";
  auto start = Clock::now();
  ::kill(writer, SIGKILL);
  EXPECT_TRUE(waitUntil([&] { return !alive(); }, std::chrono::seconds(5)))
      << "the close went on waiting after SIGKILL";
  std::cout << "[ measured ] the killed close ended after "
            << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()
            << " ms\n";
  unmount();
  ASSERT_TRUE(sandbox().restartHost());
  ASSERT_TRUE(mount());
  EXPECT_TRUE(waitUntil([&] { return sandbox().storeHas("new.txt"); }, std::chrono::seconds(20)));
  EXPECT_EQ(sandbox().readStore("new.txt"), "x\n");
}

// Every fault against every way of writing: after the host is back and the
// mount restarted on the same cache folder, the last closed contents are on
// the service, or `fpctl status` lists them as refused with the reason.
// With --write-back the program is told of success before the host has the
// file; the same holds of what reaches the service.
TEST_F(MountTest, FaultMatrixLosesNothing) {
  std::vector<MatrixCase> cases;
  for (bool writeBack : {false, true}) {
    for (Fault f : {Fault::kHostStopped, Fault::kHostRefusing, Fault::kFpctlKilled,
                    Fault::kUnmountedMidWrite}) {
      for (Op o : {Op::kNewFile, Op::kOverwrite, Op::kRedirect, Op::kRenameOver}) {
        cases.push_back({f, o, writeBack});
      }
    }
  }
  int n = 0;
  for (const auto& c : cases) {
    if (c.writeBack != !mode_.empty()) {
      unmount();
      mode_ = c.writeBack ? std::vector<std::string>{"--write-back"} : std::vector<std::string>{};
      ASSERT_TRUE(mount());
    }
    std::string label =
        (c.writeBack ? "write-back: " : "") + nameOf(c.fault) + " x " + nameOf(c.op);
    SCOPED_TRACE(label);
    ++n;
    std::string target = "matrix-" + std::to_string(n) + ".txt";
    std::string source = "matrix-" + std::to_string(n) + "-src.txt";
    std::string old = "old contents " + std::to_string(n) + "\n";
    std::string fresh = "NEW " + std::to_string(n) + " " + randomBytes(64, n) + "\n";
    std::string expected = fresh;
    if (c.op != Op::kNewFile) {
      fs::path before = scratch("old-" + std::to_string(n));
      spit(before, old);
      shOk("cat '" + before.string() + "' > " + q(target));
      ASSERT_TRUE(waitUntil([&] { return sandbox().storeHas(target); }));
      ASSERT_EQ(sandbox().readStore(target), old);
      shOk("cat " + q(target) + " > /dev/null");  // cached: an overwrite starts from it
    } else {
      old.clear();
    }

    // The write itself, as a shell command.
    std::string write;
    fs::path data = scratch("data-" + std::to_string(n));
    spit(data, fresh);
    std::string cat = "cat '" + data.string() + "'";
    switch (c.op) {
      case Op::kNewFile:
      case Op::kRedirect:
        write = cat + " > " + q(target);
        break;
      case Op::kOverwrite:
        write = cat + " 1<> " + q(target);
        break;
      case Op::kRenameOver:
        write = cat + " > " + q(source) + " && mv " + q(source) + " " + q(target);
        break;
    }

    RunResult result;
    switch (c.fault) {
      case Fault::kHostStopped:
        ASSERT_EQ(sandbox().stopHost(), 0);
        result = sh(write, std::chrono::seconds(20));
        unmount();
        if (result.status == 0) {
          // Unmounting with writes in the queue says so, and keeps them.
          EXPECT_THAT(mountOutput(), HasSubstr("could not be sent yet"));
        }
        break;
      case Fault::kHostRefusing:
        ASSERT_TRUE(sandbox().restartHost(
            {"--fail", "create=invalid_name", "--fail", "modify=invalid_name"}));
        result = sh(write, std::chrono::seconds(20));
        unmount();
        break;
      case Fault::kFpctlKilled: {
        ASSERT_TRUE(sandbox().restartHost({"--delay-ms", "1500"}));
        fs::path done = scratch("done-" + std::to_string(n));
        ASSERT_EQ(
            sh("(" + write + "; echo $? > '" + done.string() + "') > /dev/null 2>&1 &").status, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        ASSERT_TRUE(running());
        ::kill(pid_, SIGKILL);
        waitForExit(std::chrono::seconds(5));
        sandbox().run({"/bin/fusermount3", "-u", "-z", m()});
        ASSERT_TRUE(waitUntil([&] { return fs::exists(done) && !slurp(done).empty(); }));
        result.status = std::stoi(slurp(done));
        break;
      }
      case Fault::kUnmountedMidWrite: {
        fs::path done = scratch("done-" + std::to_string(n));
        std::string held = c.op == Op::kOverwrite ? "<>" : ">";
        std::string path = c.op == Op::kRenameOver ? q(source) : q(target);
        // The file stays open while fpctl is told to stop.
        std::string slow = "(exec 3" + held + " " + path + "; " + cat + " >&3; sleep 1; exec 3>&-";
        if (c.op == Op::kRenameOver) slow += "; mv " + q(source) + " " + q(target);
        slow += "; echo $? > '" + done.string() + "') > /dev/null 2>&1 &";
        ASSERT_EQ(sh(slow).status, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        ::kill(pid_, SIGTERM);
        EXPECT_GE(waitForExit(std::chrono::seconds(15)), 0);
        ASSERT_TRUE(waitUntil([&] { return fs::exists(done) && !slurp(done).empty(); }));
        result.status = std::stoi(slurp(done));
        unmount();
        break;
      }
    }

    // The host is back; a new mount of the same cache sends what waits.
    ASSERT_TRUE(sandbox().restartHost());
    ASSERT_TRUE(mount());
    ASSERT_TRUE(waitUntil(
        [&] {
          auto st = cacheStatus(sandbox());
          return st.contains("waiting") && st["waiting"].empty();
        },
        std::chrono::seconds(20)))
        << cacheStatus(sandbox()).dump();
    auto refused = refusedWithReasons(cacheStatus(sandbox()));
    bool isRefused = refused.count(fresh) > 0;
    std::string onService = sandbox().storeHas(target) ? sandbox().readStore(target) : "";
    std::string atSource = sandbox().storeHas(source) ? sandbox().readStore(source) : "";
    std::cout << "[ matrix   ] " << label << ": the program "
              << (result.status == 0 ? "succeeded" : "failed") << "; the service has "
              << (onService == expected ? "the new contents"
                  : onService == old    ? (old.empty() ? "no file" : "the old contents")
                                        : "something else")
              << (atSource == fresh ? ", the new contents under the source name" : "")
              << (isRefused ? "; status lists the new contents as refused (" + refused[fresh] + ")"
                            : "")
              << "\n";
    if (result.status == 0) {
      // Told it succeeded: on the service, byte for byte, or listed as refused.
      EXPECT_TRUE(onService == expected || isRefused) << label << ": " << onService;
    } else {
      // Told it failed: the old contents are intact and the new ones not gone.
      EXPECT_TRUE(onService == old || onService == expected) << label << ": " << onService;
      EXPECT_TRUE(onService == expected || atSource == fresh || isRefused)
          << label << ": service " << onService << ", source " << atSource;
    }
  }
}

// States closed just before fpctl was killed wait in the queue as creations;
// the next mount sends them while the same files are saved again. Only the
// newer contents reach the service, and nothing is refused as a second
// creation of the same name.
TEST_F(MountTest, NewerSavesOfFilesWhoseCreationsStillWaitWin) {
  for (bool writeBack : {false, true}) {
    SCOPED_TRACE(writeBack ? "write-back" : "default");
    const std::string folder = writeBack ? "again-wb" : "again";
    unmount();
    mode_ = {"--write-back"};
    ASSERT_TRUE(mount());
    shOk("mkdir " + q(folder));
    std::string older, newer;
    for (int i = 0; i < 10; ++i) {
      older += "printf 'older " + std::to_string(i) + "' > " +
               q(folder + "/f" + std::to_string(i)) + "; ";
      // cp reports what close says.
      fs::path data = scratch(folder + "-newer-" + std::to_string(i));
      spit(data, "newer " + std::to_string(i));
      newer += "(cp '" + data.string() + "' " + q(folder + "/f" + std::to_string(i)) +
               " || echo failed) & ";
    }
    shOk(older);
    ::kill(pid_, SIGKILL);
    waitForExit(std::chrono::seconds(5));
    sandbox().run({"/bin/fusermount3", "-u", "-z", m()});

    // A slow host: the saves come while the queue is being sent.
    ASSERT_TRUE(sandbox().restartHost({"--delay-ms", "300"}));
    mode_ = writeBack ? std::vector<std::string>{"--write-back"} : std::vector<std::string>{};
    ASSERT_TRUE(mount());
    ASSERT_TRUE(waitUntil([&] { return cacheStatus(sandbox())["waiting"].size() < 10; }));
    EXPECT_THAT(shOk(newer + "wait").out, ::testing::Not(HasSubstr("failed")));
    ASSERT_TRUE(waitUntil(
        [&] {
          auto st = cacheStatus(sandbox());
          return st.contains("waiting") && st["waiting"].empty();
        },
        std::chrono::seconds(30)));
    EXPECT_TRUE(refusedWithReasons(cacheStatus(sandbox())).empty())
        << cacheStatus(sandbox()).dump();
    for (int i = 0; i < 10; ++i) {
      std::string name = folder + "/f" + std::to_string(i);
      EXPECT_TRUE(waitUntil([&] {
        return sandbox().storeHas(name) &&
               sandbox().readStore(name) == "newer " + std::to_string(i);
      })) << name
          << ": " << (sandbox().storeHas(name) ? sandbox().readStore(name) : "missing");
      EXPECT_EQ(slurp(m(name)), "newer " + std::to_string(i)) << name;
    }
    ASSERT_TRUE(sandbox().restartHost());
  }
}

// ---------------------------------------------------------------- dates, df, mount points

// The modification time `stat` shows for a path (seconds), -1 when it fails.
long long mtimeOf(const fs::path& p) {
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0) return -1;
  return static_cast<long long>(st.st_mtim.tv_sec);
}

TEST_F(MountTest, DatesProgramsSetAreKeptSoRsyncCopiesNothingTwice) {
  fs::path src = makeTree("dated");
  shOk("chmod -R u=rwX,go=rX '" + src.string() + "' && find '" + src.string() +
       "' -exec touch -d '2020-01-02 03:04:05.123456789' {} +");
  shOk("rsync -a '" + src.string() + "/' " + q("dst") + "/");
  EXPECT_EQ(tree(sandbox().store() / "dst"), tree(src));
  EXPECT_EQ(mtimeOf(mnt_ / "dst" / "sub" / "b.bin"), mtimeOf(src / "sub" / "b.bin"));
  EXPECT_EQ(shOk("rsync -ai '" + src.string() + "/' " + q("dst") + "/").out, "");

  // touch -d and cp -p on files of the mount.
  shOk("touch -d '2001-02-03 04:05:06' " + q("Welcome.txt"));
  shOk("cp -p '" + (src / "a.txt").string() + "' " + q("copied.txt"));
  long long welcome = mtimeOf(mnt_ / "Welcome.txt");
  EXPECT_EQ(std::to_string(welcome) + "\n", shOk("date -d '2001-02-03 04:05:06' +%s").out);
  EXPECT_EQ(mtimeOf(mnt_ / "copied.txt"), mtimeOf(src / "a.txt"));

  // A script made executable in the mount runs, and a mode rsync sets is kept.
  shOk("printf '#!/bin/sh\\necho ran\\n' > " + q("run.sh") + " && chmod +x " + q("run.sh"));
  EXPECT_EQ(shOk(q("run.sh")).out, "ran\n");
  shOk("chmod 0700 '" + (src / "a.txt").string() + "' && rsync -a '" + src.string() + "/' " +
       q("dst") + "/");

  // A new mount of the same cache folder shows the same dates and modes.
  unmount();
  ASSERT_TRUE(mount());
  EXPECT_EQ(shOk("rsync -ai '" + src.string() + "/' " + q("dst") + "/").out, "");
  EXPECT_EQ(mtimeOf(mnt_ / "Welcome.txt"), welcome);
  EXPECT_EQ(shOk(q("run.sh")).out, "ran\n");

  // Changed on the service: the kept date goes.
  sandbox().writeStore("Welcome.txt", "rewritten behind the mount's back\n");
  EXPECT_TRUE(waitUntil([&] { return mtimeOf(mnt_ / "Welcome.txt") != welcome; }));

  // Folders carry a date, not the epoch.
  EXPECT_GT(mtimeOf(mnt_ / "Projects"), 1000000000);
  EXPECT_GT(mtimeOf(mnt_), 1000000000);
}

TEST_F(MountTest, DfReportsTheCacheFoldersFileSystem) {
  RunResult mounted = shOk("stat -f -c '%b %S' " + q());
  RunResult cache = shOk("stat -f -c '%b %S' '" + (sandbox().root() / "cache").string() + "'");
  EXPECT_EQ(mounted.out, cache.out);
}

TEST_F(MountTest, MountPointsThatAreMissingFullOrMountedJson) {
  fs::path full = scratch("full");
  spit(full / "kept.txt", "mine\n");
  RunResult refused = sandbox().fpctlText({"mount", full.string(), "--foreground"});
  EXPECT_EQ(refused.status, 1) << refused.describe();
  EXPECT_THAT(refused.err, HasSubstr("is not empty"));
  EXPECT_THAT(refused.err, HasSubstr("--nonempty"));
  EXPECT_FALSE(isMountPoint(full));

  RunResult missing = sandbox().fpctlText({"mount", scratch("nothing").string()});
  EXPECT_EQ(missing.status, 1);
  EXPECT_THAT(missing.err, HasSubstr("does not exist"));

  // In the background with --json: one object with the mount point and pid.
  RunResult over = sandbox().fpctl(
      {"mount", full.string(), "--nonempty", "--cache", (sandbox().root() / "cache2").string()});
  ASSERT_EQ(over.status, 0) << over.describe();
  ASSERT_TRUE(over.isJson) << over.describe();
  EXPECT_EQ(over.json["mounted"], full.string());
  EXPECT_GT(over.json["pid"].get<long long>(), 0);
  EXPECT_TRUE(isMountPoint(full));
  EXPECT_FALSE(fs::exists(full / "kept.txt"));
  EXPECT_EQ(sandbox().run({"/bin/fusermount3", "-u", full.string()}).status, 0);
  EXPECT_TRUE(waitUntil([&] { return ::kill(over.json["pid"].get<pid_t>(), 0) != 0; }));
  EXPECT_EQ(slurp(full / "kept.txt"), "mine\n");
}

// ---------------------------------------------------------------- the cache's bound

// What the files under `folder` take on disk.
long long diskUse(const fs::path& folder) {
  long long total = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) total += st.st_blocks * 512;
  }
  return total;
}

// The files the cache holds copies of, by their contents.
std::vector<std::string> copiesIn(const fs::path& cache) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(cache / "contents", ec)) {
    out.push_back(slurp(e.path()));
  }
  return out;
}

bool holds(const std::vector<std::string>& copies, const std::string& bytes) {
  return std::find(copies.begin(), copies.end(), bytes) != copies.end();
}

TEST_F(MountTest, AFileLargerThanTheCacheBoundIsReadWhileTheBoundHolds) {
  std::string big = randomBytes(20 << 20, 7);
  sandbox().writeStore("big.bin", big);
  ASSERT_TRUE(waitUntil([&] { return fs::exists(mnt_ / "big.bin"); }));
  unmount();
  fs::path cache = sandbox().root() / "cache";
  fs::remove_all(cache);
  constexpr long long kBound = 8 << 20;
  ASSERT_TRUE(mount({"--cache-max-size", "8M"}));

  // The cache folder is watched while the file is read, twice at once.
  fs::create_directories(scratch(""));
  std::atomic<bool> reading{true};
  std::atomic<long long> most{0};
  std::thread watcher([&] {
    while (reading) {
      most = std::max(most.load(), diskUse(cache));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  shOk("cat " + q("big.bin") + " > '" + scratch("r1").string() + "' & cat " + q("big.bin") +
       " > '" + scratch("r2").string() + "'; wait");
  shOk("cat " + q("Welcome.txt") + " > /dev/null");
  reading = false;
  watcher.join();
  EXPECT_TRUE(slurp(scratch("r1")) == big);
  EXPECT_TRUE(slurp(scratch("r2")) == big);
  // Beyond the copies, the folder holds only the mount's small records.
  EXPECT_LE(most.load(), kBound + (64 << 10));
  EXPECT_FALSE(holds(copiesIn(cache), big));
  EXPECT_THAT(sandbox().log(), HasSubstr("big.bin"));
  EXPECT_THAT(sandbox().log(), HasSubstr("is read without a copy in the cache"));
  EXPECT_TRUE(holds(copiesIn(cache), sandbox().readStore("Welcome.txt")));

  // fpctl status shows the use against the bound.
  RunResult status = sandbox().fpctl({"status"});
  ASSERT_TRUE(status.isJson) << status.describe();
  ASSERT_EQ(status.json["mounts"].size(), 1u);
  const auto& m = status.json["mounts"][0];
  EXPECT_EQ(m["bound"]["maxBytes"], kBound);
  EXPECT_TRUE(m["bound"]["maxAgeSeconds"].is_null());
  EXPECT_GT(m["copiesBytes"].get<long long>(), 0);
  EXPECT_LE(m["copiesBytes"].get<long long>(), kBound);
  RunResult text = sandbox().fpctlText({"status"});
  EXPECT_THAT(text.out, HasSubstr(" of at most 8.0 MiB\n"));
  // The folder alone: its bound is known while a mount uses it.
  EXPECT_EQ(cacheStatus(sandbox())["bound"]["maxBytes"], kBound);
  unmount();
  EXPECT_TRUE(cacheStatus(sandbox())["bound"]["maxBytes"].is_null());
  text = sandbox().fpctlText({"status", "--cache", cache.string()});
  EXPECT_THAT(text.out, HasSubstr("its bound is not known"));
}

TEST_F(MountTest, AFullCacheDropsTheOldestCopyButNotAnOpenOrAQueuedOne) {
  // Room for three copies. The queue is sent only at the unmount: with a poll
  // this long, the queued change waits while the host is back.
  fs::path cache;
  auto files =
      remountOverEmptyCache({"old.bin", "open.bin", "queued.bin", "fresh.bin", "fresher.bin"}, 10,
                            {"--cache-max-size", "1M", "--poll", "600"}, &cache);
  ASSERT_FALSE(HasFailure());
  auto read = [&](const std::string& name) {
    EXPECT_TRUE(shOk("cat " + q(name)).out == files[name]) << name;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  };
  read("old.bin");
  fp::ScopedFD open(::open(m("open.bin").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(open);
  char first = 0;
  ASSERT_EQ(::pread(open.get(), &first, 1, 0), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  read("queued.bin");
  ASSERT_EQ(sandbox().stopHost(), 0);
  shOk("echo more >> " + q("queued.bin"));
  EXPECT_EQ(cacheStatus(sandbox())["waiting"].size(), 1u);
  ASSERT_TRUE(sandbox().startHost());

  // Each new copy makes room: "old.bin" goes, then "fresh.bin", though the open
  // and the queued file were used before either.
  read("fresh.bin");
  EXPECT_FALSE(holds(copiesIn(cache), files["old.bin"]));
  read("fresher.bin");
  auto copies = copiesIn(cache);
  EXPECT_FALSE(holds(copies, files["fresh.bin"]));
  EXPECT_TRUE(holds(copies, files["open.bin"]));
  EXPECT_TRUE(holds(copies, files["queued.bin"]));
  EXPECT_TRUE(holds(copies, files["fresher.bin"]));
  EXPECT_LE(diskUse(cache / "contents"), 1 << 20);
  std::string rest(files["open.bin"].size(), '\0');
  ASSERT_EQ(::pread(open.get(), rest.data(), rest.size(), 0), static_cast<ssize_t>(rest.size()));
  EXPECT_TRUE(rest == files["open.bin"]);
  open.reset();

  // A dropped copy is fetched again; the queued change reaches the host at the end.
  read("old.bin");
  unmount();
  EXPECT_EQ(sandbox().readStore("queued.bin"), files["queued.bin"] + "more\n");
}

// A cache disk that a write filled is not left full: the part of the file
// that fit is dropped at once (the program was told), and the next save fits.
TEST_F(MountTest, AWriteThatFillsTheCacheDiskLeavesRoomForTheNext) {
  unmount();
  fs::path cache = sandbox().root() / "cache";
  fs::remove_all(cache);
  fs::create_directories(cache);
  if (sh("mount -t tmpfs -o size=20m,mode=0700 tmpfs '" + cache.string() + "'").status != 0) {
    GTEST_SKIP() << "a small tmpfs cannot be mounted here (needs root): not tested";
  }
  struct AtEnd {
    std::function<void()> run;
    ~AtEnd() { run(); }
  } umountCache{[&] {
    unmount();
    sh("umount '" + cache.string() + "'");
  }};
  ASSERT_TRUE(mount());
  fs::path big = scratch("big.bin");
  spit(big, randomBytes(30 << 20, 3));
  RunResult full = sh("cp '" + big.string() + "' " + q("big.bin"));
  EXPECT_NE(full.status, 0) << full.describe();
  EXPECT_THAT(full.err, HasSubstr("No space left on device"));
  EXPECT_TRUE(waitUntil([&] { return diskUse(cache) < (1 << 20); })) << diskUse(cache);
  EXPECT_TRUE(refusedWithReasons(cacheStatus(sandbox())).empty());
  EXPECT_THAT(sandbox().log(), HasSubstr("the cache disk is full"));

  fs::path next = scratch("next.bin");
  spit(next, randomBytes(4 << 20, 4));
  shOk("cp '" + next.string() + "' " + q("next.bin"));
  EXPECT_TRUE(waitUntil([&] { return sandbox().storeHas("next.bin"); }));
  EXPECT_TRUE(sandbox().readStore("next.bin") == slurp(next));
  EXPECT_FALSE(sandbox().storeHas("big.bin"));
}

TEST_F(MountTest, CopiesUnusedForLongerThanTheMaxAgeGoWhileAnOpenOneStays) {
  unmount();
  fs::path cache = sandbox().root() / "cache";
  fs::remove_all(cache);
  ASSERT_TRUE(mount({"--cache-max-age", "2s"}));
  std::string welcome = sandbox().readStore("Welcome.txt");
  EXPECT_EQ(shOk("cat " + q("Welcome.txt")).out, welcome);
  fp::ScopedFD open(::open(m("Café menu.txt").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(open);
  ASSERT_TRUE(holds(copiesIn(cache), welcome));
  // The poll (every second) drops what was not used for two seconds.
  EXPECT_TRUE(waitUntil([&] { return !holds(copiesIn(cache), welcome); }));
  EXPECT_TRUE(holds(copiesIn(cache), sandbox().readStore("Café menu.txt")));
  open.reset();
  EXPECT_TRUE(waitUntil([&] { return copiesIn(cache).empty(); }));
  EXPECT_EQ(cacheStatus(sandbox())["bound"]["maxAgeSeconds"], 2);
  EXPECT_EQ(shOk("cat " + q("Welcome.txt")).out, welcome);
}

TEST_F(KeepLocalTest, AFullCacheDropsTheOldestCopyButNeverAPinnedOne) {
  fs::path cache;  // room for three copies
  auto files = remountOverEmptyCache({"pinned.bin", "old.bin", "fresh.bin", "fresher.bin"}, 40,
                                     {"--cache-max-size", "1M"}, &cache);
  ASSERT_FALSE(HasFailure());
  RunResult pinned = sandbox().fpctl({"pin", m("pinned.bin")});
  ASSERT_EQ(pinned.status, 0) << pinned.describe();
  for (const char* name : {"old.bin", "fresh.bin", "fresher.bin"}) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(shOk("cat " + q(name)).out == files[name]) << name;
  }
  // The pinned copy is the oldest, and stays; the oldest of the others goes.
  auto copies = copiesIn(cache);
  EXPECT_TRUE(holds(copies, files["pinned.bin"]));
  EXPECT_FALSE(holds(copies, files["old.bin"]));
  EXPECT_TRUE(holds(copies, files["fresher.bin"]));
  EXPECT_EQ(state("pinned.bin"), "pinned");
  EXPECT_EQ(state("old.bin"), "cloud");
  ASSERT_EQ(sandbox().stopHost(), 0);
  EXPECT_TRUE(shOk("cat " + q("pinned.bin")).out == files["pinned.bin"]);
}

// ---- owner-only state ----

// Everything the four programs make for the user is the user's alone, whatever
// the umask: another user can neither read the account's copies nor plant what
// the mount would send or fpctl would load.
class OwnerOnlyStateTest : public MountTest {
 protected:
  void SetUp() override {
    oldMask_ = ::umask(0);
    MountTest::SetUp();
  }
  void TearDown() override {
    MountTest::TearDown();
    ::umask(oldMask_);
  }

 private:
  mode_t oldMask_ = 022;
};

// The permission bits of `p` itself (a link is not followed).
unsigned modeOf(const fs::path& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

TEST_F(OwnerOnlyStateTest, EverythingTheProgramsMakeIsTheOwnersAloneUnderUmask000) {
  RunResult fetched = sandbox().fpctl({"fetch", "/Welcome.txt"});
  ASSERT_EQ(fetched.status, 0) << fetched.describe();
  RunResult thumbnail = sandbox().fpctl(
      {"thumbnails", "/Photos/sunset.png", "--out-dir", scratch("thumbs").string()});
  ASSERT_EQ(thumbnail.status, 0) << thumbnail.describe();
  spit(scratch("new.txt"), "new\n");
  RunResult created = sandbox().fpctl(
      {"create", "@root", "Created.txt", "--contents", scratch("new.txt").string()});
  ASSERT_EQ(created.status, 0) << created.describe();
  shOk("echo written > " + q("Written.txt") + " && touch -d @1000000000 " + q("Written.txt") +
       " && cat " + q("Welcome.txt") + " > /dev/null");
  ASSERT_TRUE(waitUntil([&] { return sandbox().storeHas("Written.txt"); }));

  const fs::path container = sandbox().container();
  const fs::path hostCopies = container / "refhost-cache";
  fs::path thumbnailFile;
  for (const auto& e : fs::directory_iterator(hostCopies)) {
    if (e.path().string().ends_with("-thumbnail.png")) thumbnailFile = e.path();
  }
  const fs::path cache = sandbox().root() / "cache";
  const struct {
    const char* what;
    fs::path path;
  } made[] = {
      {"the domain registry", sandbox().state() / "domains.json"},
      {"the registry's lock", sandbox().state() / "domains.json.lock"},
      {"the app-group container", container},
      {"the staging folder", container / "fp-upload"},
      {"the socket", sandbox().socketPath()},
      {"the index", container / "state.db"},
      {"the host's copies", hostCopies},
      {"a fetched copy", fetched.json["path"].get<std::string>()},
      {"a thumbnail", thumbnailFile},
      {"the store", sandbox().store()},
      {"the log", sandbox().logFile()},
      {"the mount's cache", cache},
      {"its queue", cache / "queue"},
      {"its working copies", cache / "work"},
      {"its unsent states", cache / "unsent"},
      {"its fetched contents", cache / "contents"},
      {"its spare files", cache / "spare"},
  };
  for (const auto& m : made) {
    SCOPED_TRACE(std::string(m.what) + " " + m.path.string());
    EXPECT_EQ(modeOf(m.path) & 077, 0u) << std::oct << modeOf(m.path);
  }
  // Nor is anything else they made there open to others.
  for (const fs::path& top : {sandbox().containers(), sandbox().state(), cache}) {
    for (auto it = fs::recursive_directory_iterator(top); it != fs::recursive_directory_iterator();
         ++it) {
      EXPECT_EQ(modeOf(it->path()) & 077, 0u)
          << it->path() << " " << std::oct << modeOf(it->path());
    }
  }
}

// ---------------------------------------------------------------- the cache folder's privacy

constexpr uid_t kNobody = 65534;

std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 0xf];
  }
  return out;
}

// Puts an upload queue entry for a new file `name` in the root into `queue`,
// owned by `owner`.
void plantQueueEntry(const fs::path& queue, int seq, const std::string& name,
                     const std::string& bytes, uid_t owner) {
  nlohmann::json record = {{"seq", seq},
                           {"identifier", ""},
                           {"parent", hex(kRootId)},
                           {"filename", hex(name)},
                           {"contentVersion", ""},
                           {"metadataVersion", ""}};
  fs::path data = queue / (std::to_string(seq) + ".data");
  fs::path json = queue / (std::to_string(seq) + ".json");
  spit(data, bytes);
  spit(json, record.dump());
  ASSERT_EQ(::chown(data.c_str(), owner, owner), 0);
  ASSERT_EQ(::chown(json.c_str(), owner, owner), 0);
}

// `fpctl mount TARGET --cache CACHE` in the foreground, expected to be refused;
// a mount it made all the same is taken down.
RunResult mountRefused(Sandbox& sandbox, const fs::path& target, const fs::path& cache) {
  fs::create_directories(target);
  RunOptions o;
  o.timeout = std::chrono::seconds(10);
  RunResult r =
      sandbox.fpctlText({"mount", target.string(), "--foreground", "--cache", cache.string()}, o);
  EXPECT_EQ(r.status, 1) << r.describe();
  if (isMountPoint(target)) {
    ADD_FAILURE() << "mounted at " << target;
    sandbox.run({"/bin/fusermount3", "-u", "-z", target.string()});
  }
  return r;
}

TEST_F(MountTest, ACacheFolderOthersCouldChangeIsRefused) {
  struct Case {
    std::string name;
    std::function<void(const fs::path&)> make;
    std::string says;
  };
  const std::vector<Case> cases = {
      {"writable by all",
       [](const fs::path& d) {
         fs::create_directories(d);
         ::chmod(d.c_str(), 0777);
       },
       ": it is writable by group or others (mode 0777); only its owner may write it (chmod "
       "go-w "},
      {"owned by nobody",
       [](const fs::path& d) {
         fs::create_directories(d);
         ::chmod(d.c_str(), 0700);
         ASSERT_EQ(::chown(d.c_str(), kNobody, kNobody), 0);
       },
       ": it belongs to uid 65534, not to you (uid 0)"},
      {"a symbolic link",
       [this](const fs::path& d) {
         fs::create_directories(scratch("real-cache"));
         fs::create_directory_symlink(scratch("real-cache"), d);
       },
       ": it is a symbolic link"},
      {"a queue planted by nobody",
       [](const fs::path& d) {
         fs::create_directories(d / "queue");
         ASSERT_EQ(::chown((d / "queue").c_str(), kNobody, kNobody), 0);
       },
       "/queue: it belongs to uid 65534"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path dir = scratch("cache-" + std::to_string(&c - cases.data()));
    c.make(dir);
    RunResult r = mountRefused(sandbox(), scratch("mnt2"), dir);
    EXPECT_THAT(r.err,
                HasSubstr("fpctl: refusing to use the cache folder " + dir.string() + c.says));
  }
}

TEST_F(MountTest, AQueueEntryOfAnotherUserIsNeverSent) {
  unmount();
  fs::path queue = sandbox().root() / "cache" / "queue";
  plantQueueEntry(queue, 50, "planted-by-nobody.txt", "not yours\n", kNobody);
  plantQueueEntry(queue, 51, "left-by-me.txt", "mine\n", ::geteuid());
  ASSERT_TRUE(mount());
  // The mount's own entry is sent, the other user's is not and stays as it was.
  EXPECT_TRUE(waitUntil([&] { return sandbox().storeHas("left-by-me.txt"); }));
  EXPECT_FALSE(sandbox().storeHas("planted-by-nobody.txt"));
  EXPECT_TRUE(fs::exists(queue / "50.json"));
  EXPECT_TRUE(fs::exists(queue / "50.data"));
  EXPECT_THAT(sandbox().log(), HasSubstr("50.json"));
}

// A queue entry the mount cannot read is set aside with what it holds, listed
// by `fpctl status` and logged; its bytes are never deleted.
TEST_F(MountTest, ADamagedQueueEntryIsSetAsideNeverDeleted) {
  unmount();
  fs::path queue = sandbox().root() / "cache" / "queue";
  struct Case {
    std::string what;
    int seq;
    std::string kept;  // what status must list as kept
    std::function<void(const fs::path& json, const fs::path& data)> damage;
  };
  const std::vector<Case> cases = {
      {"empty record", 60, "intact after an empty record\n",
       [](const fs::path& json, const fs::path&) { fs::resize_file(json, 0); }},
      {"garbage record", 61, "intact after a garbage record\n",
       [](const fs::path& json, const fs::path&) { spit(json, "\x01{garbage"); }},
      {"record without data", 62, "",
       [](const fs::path&, const fs::path& data) { fs::remove(data); }},
      {"data without record", 63, "intact without a record\n",
       [](const fs::path& json, const fs::path&) { fs::remove(json); }},
  };
  for (const auto& c : cases) {
    const fs::path json = queue / (std::to_string(c.seq) + ".json");
    const fs::path data = queue / (std::to_string(c.seq) + ".data");
    plantQueueEntry(queue, c.seq, "damaged-" + std::to_string(c.seq) + ".txt", c.kept, ::geteuid());
    c.damage(json, data);
  }
  ASSERT_TRUE(mount());
  auto status = cacheStatus(sandbox());
  auto refused = refusedWithReasons(status);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(fs::exists(queue / (std::to_string(c.seq) + ".json")));
    EXPECT_FALSE(fs::exists(queue / (std::to_string(c.seq) + ".data")));
    EXPECT_THAT(sandbox().log(), HasSubstr("queue entry " + std::to_string(c.seq)));
    if (!c.kept.empty()) {
      ASSERT_EQ(refused.count(c.kept), 1u) << status.dump();
      EXPECT_THAT(refused[c.kept], HasSubstr("could not be read"));
    }
    EXPECT_FALSE(sandbox().storeHas("damaged-" + std::to_string(c.seq) + ".txt"));
  }
  // The record whose contents are gone still says which file's state was lost.
  EXPECT_THAT(status.dump(), HasSubstr("damaged-62.txt"));
  EXPECT_EQ(refused.size(), cases.size()) << status.dump();
}

std::string repeated(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// A name the kernel takes (up to 255 bytes) keeps resolving as it was written,
// also once the folder was read again from the service; a longer one is too
// long for every operation. In both close modes.
TEST_F(MountTest, NamesUpToTheKernelsLimitResolveAsWrittenLongerOnesAreTooLong) {
  const std::string ae = "\xC3\xA4";        // two bytes
  const std::string euro = "\xE2\x82\xAC";  // three bytes
  struct Case {
    std::string label;
    std::string name;
  };
  const std::vector<Case> fitting = {
      {"241 bytes", std::string(237, 'a') + ".txt"},
      {"255 bytes", std::string(251, 'b') + ".txt"},
      {"255 bytes, two-byte characters", repeated(ae, 127) + "c"},
      {"255 bytes, three-byte characters", repeated(euro, 85)},
  };
  const std::vector<Case> tooLong = {
      {"256 bytes", std::string(252, 'd') + ".txt"},
      {"256 bytes, two-byte characters", repeated(ae, 128)},
      {"256 bytes, three-byte characters", repeated(euro, 85) + "e"},
  };
  for (bool writeBack : {false, true}) {
    SCOPED_TRACE(writeBack ? "write-back" : "default");
    ASSERT_TRUE(remountIn(writeBack));
    const std::string top = writeBack ? "wb" : "default";
    shOk("mkdir " + q(top) + " " + q(top + "/files") + " " + q(top + "/folders") + " " +
         q(top + "/moved") + " && printf plain > " + q(top + "/plain"));
    for (const auto& c : fitting) {
      shOk("printf '" + c.label + "' > " + q(top + "/files/" + c.name));
      shOk("mkdir " + q(top + "/folders/" + c.name));
    }
    for (const auto& c : fitting) {
      EXPECT_TRUE(waitUntil([&] {
        return sandbox().storeHas(top + "/files/" + c.name) &&
               sandbox().storeHas(top + "/folders/" + c.name);
      })) << c.label;
    }
    // The folders are read again after the next change checks.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    std::string listed = shOk("ls " + q(top + "/files") + " " + q(top + "/folders")).out;
    for (const auto& c : fitting) {
      SCOPED_TRACE(c.label);
      EXPECT_THAT(listed, HasSubstr("\n" + c.name + "\n"));
      EXPECT_EQ(shOk("cat " + q(top + "/files/" + c.name)).out, c.label);
      shOk("stat " + q(top + "/folders/" + c.name));
      shOk("mv " + q(top + "/files/" + c.name) + " " + q(top + "/moved/" + c.name));
    }
    for (const auto& c : fitting) {
      EXPECT_TRUE(waitUntil([&] { return sandbox().storeHas(top + "/moved/" + c.name); }))
          << c.label;
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
    for (const auto& c : fitting) {
      SCOPED_TRACE(c.label);
      shOk("rm " + q(top + "/moved/" + c.name) + " && rmdir " + q(top + "/folders/" + c.name));
      EXPECT_TRUE(waitUntil([&] {
        return !sandbox().storeHas(top + "/moved/" + c.name) &&
               !sandbox().storeHas(top + "/folders/" + c.name);
      }));
    }

    for (const auto& c : tooLong) {
      SCOPED_TRACE(c.label);
      const std::string at = q(top + "/" + c.name);
      const std::string plain = q(top + "/plain");
      for (const std::string& command :
           {"stat " + at, "cat " + at, "printf x > " + at, "touch " + at, "mkdir " + at,
            "mv " + plain + " " + at, "mv -T " + q(top + "/files") + " " + at,
            "ln " + plain + " " + at, "ln -s plain " + at, "rm " + at, "rmdir " + at}) {
        RunResult r = sh(command);
        EXPECT_NE(r.status, 0) << command;
        EXPECT_THAT(r.err, HasSubstr("File name too long")) << command;
      }
    }
    EXPECT_EQ(shOk("cat " + q(top + "/plain")).out, "plain");
    EXPECT_TRUE(fs::is_directory(mnt_ / top / "files"));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_TRUE(sandbox().storeHas(top + "/plain"));
    EXPECT_EQ(sandbox().storeChildren(top),
              (std::vector<std::string>{"files", "folders", "moved", "plain"}));
    EXPECT_TRUE(refusedContents(cacheStatus(sandbox())).empty());
  }
}

// Without --cache the cache folder is the same for the same domain and mount
// point: what waits when one mount ends is listed by fpctl status while nothing
// is mounted, and a plain mount at the same place sends it.
TEST_F(MountTest, TheDefaultCacheFolderKeepsWhatWaitsForTheNextMountAtThatPlace) {
  unmount();
  const fs::path xdg = sandbox().root() / "xdg-cache";  // the sandbox's XDG_CACHE_HOME
  defaultCache_ = true;
  ASSERT_TRUE(mount());
  ASSERT_EQ(sandbox().stopHost(), 0);
  fs::path data = scratch("later.txt");
  spit(data, "later");
  shOk("cp '" + data.string() + "' " + q("later.txt"));
  unmount();

  RunResult text = sandbox().fpctlText({"status"});
  EXPECT_THAT(text.out, HasSubstr(std::string(kDefaultDomain) + " at " + m() + " (not mounted)"));
  EXPECT_THAT(text.out, HasSubstr("cache: " + (xdg / "fileprovider").string()));
  EXPECT_THAT(text.out, HasSubstr("waiting to be sent: 1"));
  EXPECT_THAT(text.out, HasSubstr("later.txt (5 B, new file)"));

  ASSERT_TRUE(sandbox().startHost());
  ASSERT_TRUE(mount());
  EXPECT_TRUE(waitUntil([&] { return sandbox().storeHas("later.txt"); }));
  EXPECT_EQ(sandbox().readStore("later.txt"), "later");
  unmount();
  // Nothing waits: the folder went at the end, and status lists nothing.
  EXPECT_THAT(sandbox().fpctlText({"status"}).out, HasSubstr("no domain is mounted"));
  EXPECT_TRUE(fs::is_empty(xdg / "fileprovider" / kDefaultDomain));
}

TEST_F(MountTest, ASecondMountOfTheSameCacheIsRefused) {
  fs::path cache = sandbox().root() / "cache";
  RunResult r = mountRefused(sandbox(), scratch("mnt2"), cache);
  EXPECT_THAT(r.err, HasSubstr("fpctl: cache folder " + cache.string() +
                               " is in use by another mount (pid " + std::to_string(pid_) + ")"));
  EXPECT_TRUE(fs::exists(m("Welcome.txt")));  // the first one goes on
}

}  // namespace
}  // namespace pellora::e2e
