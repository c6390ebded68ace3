// What programs really do, in sequence, in a mount served by pell-refhost: git
// clones, rsync twice, tar then rm -rf, sed -i, an editor's save through a
// temporary file, sqlite inserts, and lock files renamed over the real ones.
// The same commands run in a local folder make the reference the store must
// equal once everything is sent. PELLORA_WORKLOAD=full runs it at full size.
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e/harness.h"
#include "tests/e2e/mount_fixture.h"

namespace pellora::e2e {
namespace {

namespace fs = std::filesystem;

struct Scale {
  int clones;     // git clones of the repository
  int repoFiles;  // files in the repository (and in the tree rsync copies)
  int tarFiles;   // files in the archive extracted and removed again
  int waiting;    // files that wait to be sent when the workload starts
};

Scale scale() {
  const char* size = std::getenv("PELLORA_WORKLOAD");
  if (size && std::string(size) == "full") return {10, 2000, 2000, 300};
  return {3, 80, 150, 30};
}

struct Case {
  bool writeBack;
  bool hostStoppedInTheMiddle;  // and files wait to be sent at the start
  // Still fails: runs only when PELLORA_WORKLOAD_CASE names it.
  bool open = false;
};

// Parts of a git repository that hold dates and inode numbers: they differ
// between any two clones, so only their names are compared.
bool comparable(const std::string& rel) {
  return rel.find(".git/index") == std::string::npos && rel.find(".git/logs/") == std::string::npos;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    out.push_back(text.substr(start, end - start));
  }
  return out;
}

class WorkloadTest : public MountTest {
 protected:
  void SetUp() override {
    MountTest::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;
    if (auto missing = missingProgram(
            {{"git", "git"}, {"rsync", "rsync"}, {"tar", "tar"}, {"sqlite3", "sqlite3"}})) {
      GTEST_FAIL() << *missing;
    }
    const Scale s = scale();
    // A repository of small files in folders, and an archive of another tree.
    repo_ = scratch("repo");
    for (int i = 0; i < s.repoFiles; ++i) {
      spit(repo_ / ("d" + std::to_string(i % 17)) / ("f" + std::to_string(i) + ".txt"),
           "line " + std::to_string(i) + "\n" + randomBytes(i % 5 == 0 ? 9000 : 40, i));
    }
    shOk("cd '" + repo_.string() +
         "' && git init -q -b main . && git add -A && git -c user.name=t -c user.email=t@t "
         "commit -qm one");
    fs::path tarTree = scratch("tartree");
    for (int i = 0; i < s.tarFiles; ++i) {
      spit(tarTree / ("t" + std::to_string(i % 9)) / ("x" + std::to_string(i)), randomBytes(64, i));
    }
    tarball_ = scratch("tree.tar");
    shOk("tar -cf '" + tarball_.string() + "' -C '" + tarTree.string() + "' .");
  }

  // The workload in three parts, each a shell script working in "$T".
  std::vector<std::string> parts() const {
    const Scale s = scale();
    const std::string repo = "'" + repo_.string() + "'";
    auto clones = [&](int from, int to) {
      std::string out;
      for (int i = from; i < to; ++i) {
        out += "git clone -q " + repo + " \"$T/clone" + std::to_string(i) + "\" && ";
      }
      return out;
    };
    const int third = (s.clones + 2) / 3;
    return {
        clones(0, third) + "mkdir -p \"$T/rs\" && rsync -a " + repo + "/ \"$T/rs/\" && " +
            "for n in HEAD config index packed-refs; do echo v1 > \"$T/$n.lock\" && "
            "mv \"$T/$n.lock\" \"$T/$n\" && echo v2 > \"$T/$n.lock\" && "
            "mv \"$T/$n.lock\" \"$T/$n\"; done",
        clones(third, 2 * third) + "mkdir \"$T/tar\" && tar -xf '" + tarball_.string() +
            "' -C \"$T/tar\" && rm -rf \"$T/tar\" && "
            "mkdir \"$T/edit\" && cp " +
            repo + "/d1/f1.txt " + repo +
            "/d2/f2.txt \"$T/edit/\" && "
            "sed -i s/line/LINE/ \"$T/edit/f1.txt\" && "
            // An editor's save: a temporary file, synced, renamed over the file.
            "printf 'saved\\n' > \"$T/edit/.f2.txt.swp\" && sync \"$T/edit/.f2.txt.swp\" && "
            "mv \"$T/edit/.f2.txt.swp\" \"$T/edit/f2.txt\" && "
            "sqlite3 \"$T/db.sqlite\" 'create table t(a)' && "
            "for i in $(seq 20); do sqlite3 \"$T/db.sqlite\" \"insert into t values($i)\"; done",
        clones(2 * third, s.clones) + "rsync -a --checksum --itemize-changes " + repo +
            "/ \"$T/rs/\" > \"$T/" +
            "rsync-second.txt\" && for i in $(seq 21 30); do "
            "sqlite3 \"$T/db.sqlite\" \"insert into t values($i)\"; done",
    };
  }

  void run(const fs::path& target, const std::string& part) {
    shOk("T='" + target.string() + "'; " + part);
  }

  // The tree under `root`, the bytes of what comparable() leaves out blanked.
  static std::map<std::string, std::string> comparableTree(const fs::path& root) {
    auto t = tree(root);
    for (auto& [rel, bytes] : t) {
      if (!comparable(rel)) bytes = "(differs between clones)";
      // git turns core.filemode and core.symlinks off where modes are not kept
      // and links cannot be made, as in the mount.
      if (rel.ends_with(".git/config")) {
        std::string kept;
        for (const auto& line : lines(bytes)) {
          if (line.find("filemode = ") == std::string::npos &&
              line.find("symlinks = ") == std::string::npos) {
            kept += line + "\n";
          }
        }
        bytes = kept;
      }
    }
    t.erase("rsync-second.txt");  // what rsync did, which differs by the modes
    return t;
  }

  fs::path repo_, tarball_;
};

// The first differences between two trees, one a line; empty when they are equal.
std::string differences(const std::map<std::string, std::string>& actual,
                        const std::map<std::string, std::string>& expected) {
  std::string out;
  int shown = 0;
  auto note = [&](const std::string& line) {
    if (++shown <= 12) out += line + "\n";
  };
  for (const auto& [rel, bytes] : actual) {
    auto it = expected.find(rel);
    if (it == expected.end()) {
      note("only here: " + rel);
    } else if (it->second != bytes) {
      note("differs: " + rel + " (" + std::to_string(bytes.size()) + " bytes, expected " +
           std::to_string(it->second.size()) + ")" +
           (bytes.size() < 400 ? "\n" + bytes + "--- expected:\n" + it->second : ""));
    }
  }
  for (const auto& [rel, bytes] : expected) {
    if (!actual.count(rel)) note("missing: " + rel);
  }
  if (shown > 12) out += "... " + std::to_string(shown - 12) + " more\n";
  return out;
}

TEST_F(WorkloadTest, ProgramsSequencesEndAsInALocalFolder) {
  const Scale s = scale();
  const Case cases[] = {{false, false}, {true, false}, {false, true}, {true, true}};
  for (const Case& c : cases) {
    const std::string name =
        std::string(c.writeBack ? "wb" : "def") + (c.hostStoppedInTheMiddle ? "-offline" : "");
    SCOPED_TRACE(name);
    // PELLORA_WORKLOAD_CASE=wb-offline (say) runs that case alone.
    const char* only = std::getenv("PELLORA_WORKLOAD_CASE");
    if (only ? name != only : c.open) continue;
    ASSERT_TRUE(remountIn(c.writeBack));
    const fs::path ref = scratch("ref-" + name);
    fs::create_directories(ref);
    const fs::path target = mnt_ / name;
    shOk("mkdir '" + target.string() + "'");
    if (c.hostStoppedInTheMiddle) {
      // Files that wait to be sent when the workload starts.
      ASSERT_EQ(sandbox().stopHost(), 0);
      const std::string waiting = "mkdir \"$T/waiting\" && for i in $(seq " +
                                  std::to_string(s.waiting) +
                                  "); do echo $i > \"$T/waiting/w$i\"; done";
      run(target, waiting);
      run(ref, waiting);
      ASSERT_TRUE(sandbox().startHost());
    }
    const auto work = parts();
    for (std::size_t i = 0; i < work.size(); ++i) {
      SCOPED_TRACE("part " + std::to_string(i + 1));
      if (c.hostStoppedInTheMiddle && i == 1) {
        ASSERT_EQ(sandbox().stopHost(), 0);
      }
      run(target, work[i]);
      run(ref, work[i]);
      if (c.hostStoppedInTheMiddle && i == 1) {
        // What was done meanwhile shows as done.
        EXPECT_EQ(differences(comparableTree(target), comparableTree(ref)), "");
        ASSERT_TRUE(sandbox().startHost());
      }
    }
    // The second rsync copies no contents. (It compares checksums: a kept date
    // is dropped when the host gives a file a new version, which the dates
    // test covers; rarely one of the clone's files gets one here.)
    for (const std::string& line : lines(slurp(target / "rsync-second.txt"))) {
      EXPECT_FALSE(line.starts_with(">")) << "the second rsync copied again: " << line;
    }
    EXPECT_EQ(
        shOk("sqlite3 '" + (target / "db.sqlite").string() + "' 'select count(*) from t'").out,
        "30\n");
    for (int i = 0; i < s.clones; ++i) {
      const std::string clone = (target / ("clone" + std::to_string(i))).string();
      shOk("git -C '" + clone +
           "' fsck --no-progress > /dev/null && test -z \"$(git --no-optional-locks -C '" + clone +
           "' status --porcelain)\"");
    }
    const fs::path stored = sandbox().store() / name;
    EXPECT_TRUE(waitUntil([&] { return comparableTree(stored) == comparableTree(ref); },
                          std::chrono::seconds(120)));
    EXPECT_EQ(differences(comparableTree(stored), comparableTree(ref)), "");
    EXPECT_EQ(differences(tree(stored), tree(target)), "") << "the store and the mount differ";
    const std::string storedClone = (stored / "clone0").string();
    shOk("git -C '" + storedClone +
         "' fsck --no-progress > /dev/null && test -z \"$(git --no-optional-locks -C '" +
         storedClone + "' status --porcelain)\"");
    auto st = cacheStatus(sandbox());
    EXPECT_TRUE(st["waiting"].empty()) << st.dump();
    EXPECT_TRUE(refusedContents(st).empty()) << st.dump();
  }
}

}  // namespace
}  // namespace pellora::e2e
