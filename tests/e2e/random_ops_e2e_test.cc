// Seeded random operations on the mount with plain system calls: several
// threads, each in a folder of its own, create, write at random offsets,
// truncate, rename, remove and read files and folders (see Open for more), and
// keep an in-memory model of their folder that follows every result. Every few
// operations a thread compares what the mount shows with its model; in the end
// the store must hold the same, byte for byte. The host is stopped and started
// again between rounds while the threads keep working.
// PELLORA_SEED replays a seed (the one used is in the trace of every failure);
// PELLORA_RANDOM_OPS sets the operations per thread and round,
// PELLORA_RANDOM_THREADS the threads, PELLORA_RANDOM_OPEN=1 the operations
// of Open too (or a list of its flags).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/harness.h"
#include "tests/e2e/mount_fixture.h"

namespace pellora::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kRounds = 3;       // the host is away during the middle one
constexpr int kCheckEvery = 15;  // operations between two comparisons with the mount
constexpr std::size_t kMaxOpen = 3;

unsigned long envNumber(const char* name, unsigned long fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtoul(v, nullptr, 10) : fallback;
}

// One thread's folder as it should be: files are nodes, so that a handle keeps
// writing to its file after a rename, or after the name is gone.
struct Model {
  std::map<std::string, int> names;  // relative path -> node
  std::map<int, std::string> bytes;  // node -> contents
  std::set<std::string> folders;     // relative paths; "" is the thread's folder
  std::map<int, int> open;           // descriptor -> node
  int nextNode = 0;

  bool isFile(const std::string& p) const { return names.count(p) > 0; }
  bool isFolder(const std::string& p) const { return folders.count(p) > 0; }
  bool exists(const std::string& p) const { return isFile(p) || isFolder(p); }
  bool hasChildren(const std::string& dir) const {
    const std::string prefix = dir + "/";
    auto under = [&](const std::string& p) { return p.starts_with(prefix); };
    return std::any_of(names.begin(), names.end(), [&](auto& n) { return under(n.first); }) ||
           std::any_of(folders.begin(), folders.end(), under);
  }
  // What tree() shows of the folder.
  std::map<std::string, std::string> tree() const {
    std::map<std::string, std::string> out;
    for (const auto& f : folders)
      if (!f.empty()) out[f + "/"] = "";
    for (const auto& [p, node] : names) out[p] = bytes.at(node);
    return out;
  }
};

// What the workers do beyond the default run; PELLORA_RANDOM_OPEN=1 turns it
// on.
struct Open {
  // Files and folders are renamed to names used before, over existing files
  // and folders too (otherwise only to new names). Off in the default run,
  // which keeps to what every seed has long passed.
  bool overwrite = false;
};

std::string errnoName(int e) { return e == 0 ? "ok" : std::string(strerrordesc_np(e)); }

// A call's return value and the errno it left.
struct Rc {
  long rc;
  int err;
};
Rc sys(long rc) { return {rc, rc < 0 ? errno : 0}; }

std::string firstDifference(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  return " (first difference at byte " + std::to_string(i) + ")";
}

// What differs between two trees, one line each; empty when they are equal.
std::string differences(const std::map<std::string, std::string>& shown,
                        const std::map<std::string, std::string>& want) {
  std::string out;
  for (const auto& [p, bytes] : shown) {
    auto it = want.find(p);
    if (it == want.end()) {
      out += "\n  only here: " + p;
    } else if (it->second != bytes) {
      out += "\n  differs: " + p + " " + std::to_string(bytes.size()) + " bytes, expected " +
             std::to_string(it->second.size()) + firstDifference(bytes, it->second);
    }
  }
  for (const auto& [p, bytes] : want)
    if (!shown.count(p)) out += "\n  missing: " + p;
  return out;
}

// Runs the seeded operations of one thread in `root` (a folder of the mount).
class Worker {
 public:
  Worker(fs::path root, unsigned seed, Open open)
      : root_(std::move(root)), rng_(seed), open_(open) {
    model_.folders.insert("");
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;
  ~Worker() { closeAll(); }

  // `count` operations, then a comparison; false (with problem() set) at the
  // first difference from the model. `hostAway`: the host is stopped meanwhile.
  bool run(int count, bool hostAway) {
    log_.push_back(hostAway ? "(the host is away)" : "(the host runs)");
    for (int i = 0; i < count && problem_.empty(); ++i) {
      step();
      if (problem_.empty() && ++done_ % kCheckEvery == 0) check();
    }
    if (problem_.empty()) check();
    return problem_.empty();
  }

  void closeAll() {
    for (const auto& [fd, node] : model_.open) ::close(fd);
    model_.open.clear();
  }

  const Model& model() const { return model_; }
  // Every operation so far with its result, one a line.
  std::string history() const {
    std::string out;
    for (const auto& line : log_) out += "  " + line + "\n";
    return out;
  }
  // The difference found, with the last operations; empty while none.
  std::string problem() const {
    if (problem_.empty()) return "";
    std::string out = problem_ + "\nlast operations:\n";
    std::size_t from = log_.size() > 400 ? log_.size() - 400 : 0;
    for (std::size_t i = from; i < log_.size(); ++i) out += "  " + log_[i] + "\n";
    return out;
  }

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  template <class C>
  auto any(const C& c) {
    auto it = c.begin();
    std::advance(it, pick(static_cast<int>(c.size())));
    return *it;
  }
  std::string anyFolder() { return any(model_.folders); }
  std::string anyFile() { return any(model_.names).first; }
  std::string join(const std::string& dir, const std::string& name) const {
    return dir.empty() ? name : dir + "/" + name;
  }
  // A name in a random folder, often one that exists already.
  std::string anyPath(const char* stem) {
    return join(anyFolder(), stem + std::to_string(pick(6)));
  }
  // A name never used before in the folder of `path`.
  std::string freshName(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash);
    return join(model_.isFolder(dir) ? dir : "", "r" + std::to_string(fresh_++));
  }
  std::string abs(const std::string& rel) const { return (root_ / rel).string(); }

  // Records the operation and its result; a result other than `expected` is a problem.
  bool outcome(const std::string& what, Rc r, int expected) {
    const int got = r.err;
    log_.push_back(what + " -> " + errnoName(got));
    if (got != expected) {
      problem_ = what + ": " + errnoName(got) + ", expected " + errnoName(expected);
      return false;
    }
    return got == 0;
  }

  void step() {
    const int r = pick(100);
    if (r < 16) return create();
    if (r < 34) return write();
    if (r < 40) return truncate();
    if (r < 48) return closeOne();
    if (r < 60) return renameFile();
    if (r < 64) return renameFolder();
    if (r < 70) return unlinkOne();
    if (r < 78) return makeFolder();
    if (r < 84) return removeFolder();
    return read();
  }

  void create() {
    const std::string p = anyPath("f");
    const bool excl = pick(5) == 0, trunc = pick(3) == 0;
    const int expected = model_.isFolder(p)         ? (excl ? EEXIST : EISDIR)
                         : model_.isFile(p) && excl ? EEXIST
                                                    : 0;
    const Rc r = sys(
        ::open(abs(p).c_str(),
               O_CREAT | O_RDWR | O_CLOEXEC | (excl ? O_EXCL : 0) | (trunc ? O_TRUNC : 0), 0644));
    const int fd = static_cast<int>(r.rc);
    const std::string what = std::string("open ") + p + (excl ? " O_EXCL" : "") +
                             (trunc ? " O_TRUNC" : "") + " = " + std::to_string(fd);
    if (!outcome(what, r, expected)) return;
    if (!model_.isFile(p)) {
      model_.names[p] = model_.nextNode;
      model_.bytes[model_.nextNode++] = "";
    }
    if (trunc) model_.bytes[model_.names[p]].clear();
    model_.open[fd] = model_.names[p];
    if (model_.open.size() > kMaxOpen || pick(3) == 0) close(fd);
  }

  void write() {
    if (model_.open.empty()) return create();
    auto [fd, node] = any(model_.open);
    std::string& bytes = model_.bytes[node];
    const std::size_t len = pick(8) == 0 ? 1 + pick(200000) : 1 + pick(4096);
    const std::size_t off = pick(4) == 0 ? pick(300000) : pick(static_cast<int>(bytes.size()) + 1);
    const std::string data = randomBytes(len, static_cast<unsigned>(rng_()));
    const Rc r = sys(::pwrite(fd, data.data(), len, static_cast<off_t>(off)));
    const std::string what = "pwrite fd " + std::to_string(fd) + " " + std::to_string(len) +
                             " bytes at " + std::to_string(off);
    if (!outcome(what, r, 0)) return;
    if (static_cast<std::size_t>(r.rc) != len) {
      problem_ = what + ": wrote " + std::to_string(r.rc);
      return;
    }
    if (bytes.size() < off + len) bytes.resize(off + len, '\0');
    bytes.replace(off, len, data);
  }

  void truncate() {
    if (model_.open.empty()) return create();
    auto [fd, node] = any(model_.open);
    const std::size_t size = pick(300000);
    if (!outcome("ftruncate fd " + std::to_string(fd) + " to " + std::to_string(size),
                 sys(::ftruncate(fd, static_cast<off_t>(size))), 0))
      return;
    model_.bytes[node].resize(size, '\0');
  }

  void close(int fd) {
    model_.open.erase(fd);
    outcome("close fd " + std::to_string(fd), sys(::close(fd)), 0);
  }
  void closeOne() {
    if (!model_.open.empty()) close(any(model_.open).first);
  }

  // Renames `from` to `to` in the model (a file, or a folder with all it holds).
  void renameInModel(const std::string& from, const std::string& to) {
    if (model_.isFile(from)) {
      model_.names[to] = model_.names[from];
      model_.names.erase(from);
      return;
    }
    auto moved = [&](const std::string& p) {
      return p == from ? to : p.starts_with(from + "/") ? to + p.substr(from.size()) : p;
    };
    std::map<std::string, int> names;
    for (const auto& [p, node] : model_.names) names[moved(p)] = node;
    std::set<std::string> folders;
    for (const auto& f : model_.folders) folders.insert(moved(f));
    model_.names = std::move(names);
    model_.folders = std::move(folders);
  }

  void renameFile() {
    if (model_.names.empty()) return create();
    const std::string from = anyFile();
    // Often over another file, sometimes onto a folder.
    const int how = pick(4);
    std::string to = how == 0 && model_.names.size() > 1     ? anyFile()
                     : how == 1 && model_.folders.size() > 1 ? anyFolder()
                                                             : anyPath("f");
    if (to.empty()) to = anyPath("f");
    if (!open_.overwrite) to = freshName(to);
    // A folder that holds the file is not empty, which the system finds first.
    const int expected = from.starts_with(to + "/") ? ENOTEMPTY : model_.isFolder(to) ? EISDIR : 0;
    if (!outcome("rename " + from + " " + to, sys(::rename(abs(from).c_str(), abs(to).c_str())),
                 expected) ||
        from == to)
      return;
    model_.names.erase(to);
    renameInModel(from, to);
  }

  void renameFolder() {
    if (model_.folders.size() < 2) return makeFolder();
    std::string from;
    while (from.empty()) from = anyFolder();
    std::string to = pick(3) == 0 ? anyFolder() : anyPath("d");
    if (to.empty()) to = anyPath("d");
    if (!open_.overwrite) to = freshName(to);
    int expected = 0;
    if (to.starts_with(from + "/")) {
      expected = EINVAL;
    } else if (model_.isFile(to)) {
      expected = ENOTDIR;
    } else if (model_.isFolder(to) && to != from && model_.hasChildren(to)) {
      expected = ENOTEMPTY;
    } else if (from.starts_with(to + "/")) {
      expected = ENOTEMPTY;  // `to` holds `from`
    }
    if (!outcome("rename folder " + from + " " + to,
                 sys(::rename(abs(from).c_str(), abs(to).c_str())), expected) ||
        from == to)
      return;
    model_.folders.erase(to);
    renameInModel(from, to);
  }

  void unlinkOne() {
    const bool folder = pick(8) == 0 && model_.folders.size() > 1;
    std::string p = folder ? anyFolder() : model_.names.empty() ? anyPath("f") : anyFile();
    if (p.empty()) return;
    const int expected = model_.isFolder(p) ? EISDIR : model_.isFile(p) ? 0 : ENOENT;
    if (outcome("unlink " + p, sys(::unlink(abs(p).c_str())), expected)) model_.names.erase(p);
  }

  void makeFolder() {
    const std::string p = anyPath("d");
    if (outcome("mkdir " + p, sys(::mkdir(abs(p).c_str(), 0755)), model_.exists(p) ? EEXIST : 0))
      model_.folders.insert(p);
  }

  void removeFolder() {
    if (model_.folders.size() < 2) return makeFolder();
    std::string p;
    while (p.empty()) p = anyFolder();
    if (outcome("rmdir " + p, sys(::rmdir(abs(p).c_str())), model_.hasChildren(p) ? ENOTEMPTY : 0))
      model_.folders.erase(p);
  }

  // Reads a file whole, through a handle of its own or one kept open.
  void read() {
    int fd = -1, node = -1;
    std::string what;
    if (!model_.open.empty() && pick(2) == 0) {
      std::tie(fd, node) = any(model_.open);
      what = "pread fd " + std::to_string(fd);
    } else {
      if (model_.names.empty()) return create();
      const std::string p = anyFile();
      node = model_.names[p];
      what = "read " + p;
      const Rc r = sys(::open(abs(p).c_str(), O_RDONLY | O_CLOEXEC));
      fd = static_cast<int>(r.rc);
      if (!outcome("open " + p + " O_RDONLY", r, 0)) return;
    }
    std::string got;
    char buf[65536];
    ssize_t n = 0;
    while ((n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(got.size()))) > 0) {
      got.append(buf, static_cast<std::size_t>(n));
    }
    const Rc r = sys(n);
    if (!model_.open.count(fd)) ::close(fd);
    if (!outcome(what, r, 0)) return;
    const std::string& want = model_.bytes[node];
    if (got != want) {
      problem_ = what + ": " + std::to_string(got.size()) + " bytes, expected " +
                 std::to_string(want.size()) + firstDifference(got, want);
    }
  }

  void check() {
    const std::string diff = differences(e2e::tree(root_), model_.tree());
    if (!diff.empty())
      problem_ = "the mount differs from the model after " + std::to_string(done_) + " ops:" + diff;
  }

  fs::path root_;
  std::mt19937 rng_;
  Open open_;
  int fresh_ = 0;
  Model model_;
  int done_ = 0;
  std::string problem_;
  std::vector<std::string> log_;
};

class RandomOpsTest : public MountTest {};

TEST_F(RandomOpsTest, ThreadsOfRandomOperationsEndAsTheirModels) {
  const unsigned seed = static_cast<unsigned>(envNumber("PELLORA_SEED", 20261209));
  const int ops = static_cast<int>(envNumber("PELLORA_RANDOM_OPS", 60));
  const int threadCount = static_cast<int>(envNumber("PELLORA_RANDOM_THREADS", 4));
  // "1" for all, or a list such as "overwrite".
  const char* openEnv = std::getenv("PELLORA_RANDOM_OPEN");
  const std::string openList = openEnv ? openEnv : "";
  auto opened = [&](const char* what) {
    return openList == "1" || openList.find(what) != std::string::npos;
  };
  Open open;
  open.overwrite = opened("overwrite");
  SCOPED_TRACE("PELLORA_SEED=" + std::to_string(seed));
  for (bool writeBack : {false, true}) {
    SCOPED_TRACE(writeBack ? "write-back" : "default");
    ASSERT_TRUE(remountIn(writeBack));
    const std::string top = writeBack ? "wb" : "def";
    std::vector<std::unique_ptr<Worker>> workers;
    for (int t = 0; t < threadCount; ++t) {
      const fs::path dir = mnt_ / top / ("t" + std::to_string(t));
      fs::create_directories(dir);
      workers.push_back(
          std::make_unique<Worker>(dir, seed * 31 + t + (writeBack ? 1000 : 0), open));
    }
    for (int round = 0; round < kRounds; ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      if (round == 1) {
        ASSERT_EQ(sandbox().stopHost(), 0);
      }
      if (round == 2) {
        ASSERT_TRUE(sandbox().startHost());
      }
      std::vector<std::thread> threads;
      for (auto& w : workers) threads.emplace_back([&w, ops, round] { w->run(ops, round == 1); });
      for (auto& th : threads) th.join();
      bool failed = false;
      for (int t = 0; t < threadCount; ++t) {
        EXPECT_EQ(workers[t]->problem(), "") << "thread " << t;
        failed = failed || !workers[t]->problem().empty();
      }
      if (failed) {
        if (!sandbox().hostRunning()) sandbox().startHost();
        return;
      }
    }
    for (auto& w : workers) w->closeAll();
    EXPECT_TRUE(waitUntil(
        [&] {
          auto st = cacheStatus(sandbox());
          return st.contains("waiting") && st["waiting"].empty();
        },
        std::chrono::seconds(60)))
        << cacheStatus(sandbox()).dump();
    for (int t = 0; t < threadCount; ++t) {
      SCOPED_TRACE("thread " + std::to_string(t));
      const std::string rel = top + "/t" + std::to_string(t);
      const auto want = workers[t]->model().tree();
      EXPECT_EQ(differences(tree(mnt_ / rel), want), "") << "the mount, after:\n"
                                                         << workers[t]->history();
      // A file removed while its creation was under way is deleted on the
      // service by that creation's end, outside the queue: the store may
      // take a moment longer.
      waitUntil([&] { return differences(tree(sandbox().store() / rel), want).empty(); },
                std::chrono::seconds(10));
      EXPECT_EQ(differences(tree(sandbox().store() / rel), want), "") << "the store, after:\n"
                                                                      << workers[t]->history();
    }
    auto st = cacheStatus(sandbox());
    for (const auto& r : st["refused"]) {
      ADD_FAILURE() << "refused: " << r.dump();
    }
  }
}

}  // namespace
}  // namespace pellora::e2e
