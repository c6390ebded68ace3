// fpctl mount against a plain folder holding the same files, in one run:
//   - `ls -lR` of a 10,000-file tree (100 folders of 100 files): through a fresh
//     mount (the first listing: every folder enumerated, every item looked up),
//     through the mount again (what the mount and the kernel keep), and plain;
//   - reading a 50 MB file after its first fetch: with the kernel's page cache
//     (a file read again), with that cache dropped before each pass (every byte
//     through FUSE, from the mount's cache), and plain (from the page cache).
//   - what a small cache bound costs a read-heavy run: 1,000 small files read
//     twice per pass, and the 50 MB file read through FUSE, by the mount above
//     (no bound given: a tenth of the disk) and by a second mount of the same
//     domain whose cache is held to $BENCH_MOUNT_CACHE_BOUND (default 1M, which
//     holds about 250 of the small files' copies and not the 50 MB file).
// At the end it prints the two ratios the mount is held to: listing time through
// the mount / plain (target: at most 5), reading speed through the mount / plain
// (target: at least 0.5), and what the bound costs.
//
// It runs pell-refhost, pell-domain and fpctl from the build in a sandbox of its
// own under /tmp, and needs /dev/fuse (it says so and exits otherwise).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_support.h"

namespace {

namespace fs = std::filesystem;
using pellora::bench::isMountPoint;
using pellora::bench::waitUntil;
using pellora::bench::writeBigFile;

constexpr int kFolders = 100;
constexpr int kFilesPerFolder = 100;
constexpr std::size_t kBigFileBytes = 50u << 20;
constexpr const char* kAppGroup = "QZ3RMT5XK9.de.brightfold.pellora-connect-desktop";

// A private sandbox (store, containers, registry, log) with the tree in its store
// and in a plain folder, the host serving it, the domain registered, and (while
// mounted) fpctl mount.
class World {
 public:
  static World& get() {
    static World w;
    return w;
  }

  fs::path plain() const { return root_ / "plain"; }
  fs::path mnt() const { return root_ / "mnt"; }
  fs::path mntBounded() const { return root_ / "mnt-bounded"; }

  // The bound of the second mount's cache.
  static std::string cacheBound() {
    const char* b = std::getenv("BENCH_MOUNT_CACHE_BOUND");
    return b && *b ? b : "1M";
  }

  bool setUp() {
    std::string tmpl = "/tmp/pbench.XXXXXX";
    if (!mkdtemp(tmpl.data())) return false;
    root_ = tmpl;
    fs::path store = root_ / "store";
    std::string line(100, 'x');
    for (int d = 0; d < kFolders; ++d) {
      fs::path dir = store / "tree" / ("folder-" + std::to_string(d));
      fs::create_directories(dir);
      for (int f = 0; f < kFilesPerFolder; ++f) {
        std::ofstream(dir / ("file-" + std::to_string(f) + ".txt")) << line << d << "/" << f;
      }
    }
    fs::create_directories(plain());
    fs::copy(store / "tree", plain() / "tree", fs::copy_options::recursive);
    // The two copies of the big file are written alike, and the plain one's
    // pages are dropped, so that both end up in the page cache the same way:
    // by being read.
    writeBigFile(store / "big.bin", kBigFileBytes);
    writeBigFile(plain() / "big.bin", kBigFileBytes);
    fs::create_directories(mnt());
    fs::create_directories(mntBounded());
    fs::create_directories(root_ / "containers");
    fs::create_directories(root_ / "state");

    host_ = spawn({PELL_REFHOST_BIN, "serve", "--store", store.string()}, root_ / "host.out");
    fs::path socket = root_ / "containers" / kAppGroup / "fp.sock";
    if (host_ < 0 || !waitUntil([&] { return fs::exists(socket); })) {
      std::cerr << "mount benchmark: pell-refhost did not come up\n";
      return false;
    }
    if (wait(spawn({PELL_DOMAIN_BIN, "register"}, root_ / "domain.out")) != 0) {
      std::cerr << "mount benchmark: pell-domain register failed\n";
      return false;
    }
    if (!mount()) return false;
    bounded_ = spawn({FPCTL_BIN, "mount", mntBounded().string(), "--foreground", "--cache",
                      (root_ / "cache-bounded").string(), "--cache-max-size", cacheBound()},
                     root_ / "mount-bounded.out");
    if (bounded_ < 0 ||
        !waitUntil([&] { return isMountPoint(mntBounded()) || !running(bounded_); })) {
      std::cerr << "mount benchmark: the bounded mount did not come up\n";
      return false;
    }
    return isMountPoint(mntBounded());
  }

  bool mount() {
    mount_ = spawn(
        {FPCTL_BIN, "mount", mnt().string(), "--foreground", "--cache", (root_ / "cache").string()},
        root_ / "mount.out");
    return mount_ > 0 && waitUntil([&] { return isMountPoint(mnt()); });
  }

  void unmount() {
    if (isMountPoint(mnt())) wait(spawn({"/bin/fusermount3", "-u", mnt().string()}, "/dev/null"));
    if (mount_ > 0) {
      int st = 0;
      if (!waitUntil([&] { return ::waitpid(mount_, &st, WNOHANG) == mount_; },
                     std::chrono::seconds(20))) {
        ::kill(mount_, SIGKILL);
        ::waitpid(mount_, &st, 0);
      }
      mount_ = -1;
    }
    if (isMountPoint(mnt())) {
      wait(spawn({"/bin/fusermount3", "-u", "-z", mnt().string()}, "/dev/null"));
    }
  }

  // Runs a shell command line to its end; true when it succeeded.
  bool sh(const std::string& command) {
    return wait(spawn({"/bin/sh", "-c", command}, root_ / "sh.out")) == 0;
  }

  ~World() {
    if (root_.empty()) return;
    unmount();
    if (isMountPoint(mntBounded())) {
      wait(spawn({"/bin/fusermount3", "-u", mntBounded().string()}, "/dev/null"));
    }
    if (bounded_ > 0) wait(bounded_);
    if (host_ > 0) {
      ::kill(host_, SIGTERM);
      wait(host_);
    }
    std::error_code ec;
    if (!isMountPoint(mnt()) && !isMountPoint(mntBounded())) fs::remove_all(root_, ec);
  }

 private:
  static bool running(pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) == 0; }
  pid_t spawn(const std::vector<std::string>& argv, const fs::path& output) {
    return pellora::bench::spawnIn(argv, root_, output);
  }

  static int wait(pid_t pid) { return pellora::bench::waitFor(pid); }

  fs::path root_;
  pid_t host_ = -1;
  pid_t mount_ = -1;
  pid_t bounded_ = -1;
};

void listTree(benchmark::State& state, const fs::path& root) {
  std::string cmd = "ls -lR '" + (root / "tree").string() + "' > /dev/null";
  for (auto _ : state) {
    if (!World::get().sh(cmd)) state.SkipWithError("ls -lR failed");
  }
  state.counters["files"] = kFolders * kFilesPerFolder;
}

void BM_ListPlain(benchmark::State& state) { listTree(state, World::get().plain()); }

void BM_ListMountFirst(benchmark::State& state) {
  World& w = World::get();
  for (auto _ : state) {
    state.PauseTiming();
    w.unmount();  // a new mount: nothing cached by the mount or the kernel
    if (!w.mount()) state.SkipWithError("cannot mount");
    state.ResumeTiming();
    if (!w.sh("ls -lR '" + (w.mnt() / "tree").string() + "' > /dev/null")) {
      state.SkipWithError("ls -lR failed");
    }
  }
}

void BM_ListMountAgain(benchmark::State& state) {
  World::get().sh("ls -lR '" + (World::get().mnt() / "tree").string() + "' > /dev/null");
  listTree(state, World::get().mnt());
}

// Reads the whole file in 1 MiB pieces; `dropCache` first drops the kernel's
// cached pages of it.
void readFile(benchmark::State& state, const fs::path& file, bool dropCache) {
  std::vector<char> buf(1 << 20);
  std::int64_t bytes = 0;
  for (auto _ : state) {
    int fd = ::open(file.c_str(), O_RDONLY);
    if (fd < 0) {
      state.SkipWithError("cannot open");
      break;
    }
    if (dropCache) {
      state.PauseTiming();
      posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
      state.ResumeTiming();
    }
    for (;;) {
      ssize_t n = ::read(fd, buf.data(), buf.size());
      if (n <= 0) break;
      bytes += n;
    }
    ::close(fd);
  }
  state.SetBytesProcessed(bytes);
}

void BM_ReadPlain(benchmark::State& state) {
  World::get().sh("cat '" + (World::get().plain() / "big.bin").string() + "' > /dev/null");
  readFile(state, World::get().plain() / "big.bin", false);
}

void BM_ReadMount(benchmark::State& state) {
  World::get().sh("cat '" + (World::get().mnt() / "big.bin").string() + "' > /dev/null");
  readFile(state, World::get().mnt() / "big.bin", false);
}

void BM_ReadMountThroughFuse(benchmark::State& state) {
  World::get().sh("cat '" + (World::get().mnt() / "big.bin").string() + "' > /dev/null");
  readFile(state, World::get().mnt() / "big.bin", true);
}

// Reads the first ten folders' 1,000 files of the tree, twice, through `mnt`.
void readSmallFiles(benchmark::State& state, const fs::path& mnt) {
  std::string files = "'" + (mnt / "tree").string() + "'/folder-?/file-*.txt";
  std::string cmd = "cat " + files + " " + files + " > /dev/null";
  World::get().sh(cmd);  // the first fetch is not what is measured
  for (auto _ : state) {
    if (!World::get().sh(cmd)) state.SkipWithError("cat failed");
  }
  state.counters["files"] = 2 * 10 * kFilesPerFolder;
}

void BM_ReadFilesMount(benchmark::State& state) { readSmallFiles(state, World::get().mnt()); }

void BM_ReadFilesMountBounded(benchmark::State& state) {
  readSmallFiles(state, World::get().mntBounded());
}

void BM_ReadMountBoundedThroughFuse(benchmark::State& state) {
  World::get().sh("cat '" + (World::get().mntBounded() / "big.bin").string() + "' > /dev/null");
  readFile(state, World::get().mntBounded() / "big.bin", true);
}

BENCHMARK(BM_ListPlain)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_ListMountFirst)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_ListMountAgain)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_ReadPlain)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_ReadMount)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_ReadMountThroughFuse)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_ReadMountBoundedThroughFuse)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_ReadFilesMount)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_ReadFilesMountBounded)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

// Keeps each benchmark's real time per iteration, to print the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) {
      if (r.run_type == Run::RT_Iteration && r.iterations > 0 && !r.error_occurred) {
        std::string name = r.benchmark_name();
        name = name.substr(0, name.find('/'));
        seconds[name] = r.real_accumulated_time / static_cast<double>(r.iterations);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    std::cout << "mount benchmark skipped: /dev/fuse is not available\n";
    return 0;
  }
  if (!World::get().setUp()) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto& s = reporter.seconds;
  auto ratio = [&](const char* a, const char* b) -> std::optional<double> {
    if (!s.count(a) || !s.count(b) || s[b] <= 0) return std::nullopt;
    return s[a] / s[b];
  };
  auto show = [](const char* what, std::optional<double> r, const char* target) {
    std::printf("%-58s %s (target %s)\n", what,
                r ? (std::to_string(*r).substr(0, 5) + "x").c_str() : "n/a", target);
  };
  std::printf("\n");
  show("ls -lR time, first listing of a fresh mount / plain:",
       ratio("BM_ListMountFirst", "BM_ListPlain"), "<= 5x");
  show("ls -lR time, listed again / plain:", ratio("BM_ListMountAgain", "BM_ListPlain"), "<= 5x");
  // Reading speed is the inverse of the time per pass.
  show("read speed 50 MB, mount / plain:", ratio("BM_ReadPlain", "BM_ReadMount"), ">= 0.5x");
  show("read speed 50 MB, through FUSE (page cache dropped) / plain:",
       ratio("BM_ReadPlain", "BM_ReadMountThroughFuse"), ">= 0.5x");
  // What the bounded mount takes, against the mount without a bound given.
  auto relative = [&](const std::string& what, std::optional<double> r) {
    std::printf("%-58s %s\n", what.c_str(),
                r ? (std::to_string(*r).substr(0, 5) + "x the unbounded mount's").c_str() : "n/a");
  };
  std::string bound = World::cacheBound();
  relative("cache bound " + bound + ", 2 x 1,000 small files, time:",
           ratio("BM_ReadFilesMountBounded", "BM_ReadFilesMount"));
  relative("cache bound " + bound + ", 50 MB through FUSE, time:",
           ratio("BM_ReadMountBoundedThroughFuse", "BM_ReadMountThroughFuse"));
  benchmark::Shutdown();
  return 0;
}
