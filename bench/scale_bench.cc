// The system at the size of a real account, side by side in one run: an
// account of 100 files and one of 100,000 files (all in one folder), each with
// its own pell-refhost, and prints every ratio with its target:
//   - a fetch and a create through the bridge socket at 100,000 files / at 100
//     (target <= 1.5: a request costs the same whatever the size of the store);
//   - the display name of one file without namesakes in the folder of 100,000:
//     the sibling scan (the index without its case-folded indexes) / the
//     narrowed entryForFile (target >= 10);
//   - through fpctl mount of the large account: `cp -r` of 1,000 small files
//     into it and `rm -r` of them, against a plain folder and, where rclone is
//     installed, an rclone mount (--vfs-cache-mode full) of a plain folder of
//     100,000 files (target: mount with --write-back <= rclone; the mount
//     without it is shown beside), medians of three passes taking turns, once
//     the disk has written back what building the accounts left;
//   - reading a 50 MB file through the mount, read again and with its pages
//     dropped, / plain (targets >= 0.5 and >= 0.3);
//   - `ls -l` of the folder of 100,000 through the mount, the first time and
//     again (median of three), / plain (targets <= 3 and <= 2), and the
//     resident memory of fpctl and pell-refhost after it, per listed entry.
// `--only copy` runs the `cp -r` and `rm -r` passes alone, `--only list` the
// `ls -l` passes alone (the requests, the look-ups and the reads are skipped):
// the account of 100,000 files is built all the same.
// Everything lives in a sandbox under $TMPDIR (or /tmp) that is removed at the
// end, mounts included. Needs /dev/fuse for the mount part (skipped otherwise).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bench_support.h"
#include "extension/model/index.h"
#include "fileprovider/file_manager.h"

namespace {

namespace fs = std::filesystem;
using pellora::bench::isMountPoint;
using pellora::bench::spawnIn;
using pellora::bench::waitFor;
using pellora::bench::waitUntil;
using pellora::bench::writeBigFile;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr const char* kAppGroup = "QZ3RMT5XK9.de.brightfold.pellora-connect-desktop";
constexpr int kSmallFiles = 100;
constexpr int kLargeFiles = 100'000;
constexpr int kRequests = 200;
constexpr int kCopiedFiles = 1'000;
constexpr int kCopyPasses = 3;  // of cp -r and rm -r, each way
constexpr std::size_t kBigFileBytes = 50u << 20;

double secondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Runs `command`; when it fails, prints it with the end of what it wrote.
bool sh(const std::string& command, const fs::path& home) {
  if (waitFor(spawnIn({"/bin/sh", "-c", command}, home, home / "sh.out")) == 0) return true;
  std::ifstream in(home / "sh.out");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.size() > 2000) text = "..." + text.substr(text.size() - 2000);
  std::printf("  failed: %s\n%s\n", command.c_str(), text.c_str());
  return false;
}

void fillFolder(const fs::path& dir, int files) {
  fs::create_directories(dir);
  for (int i = 0; i < files; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "Document %06d.txt", i);
    std::ofstream(dir / name) << "file " << i << "\n";
  }
}

// One request on a connection of its own, as the extension sends it.
json call(const fs::path& socket, const json& request) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    std::string line = request.dump() + "\n";
    if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
      char buf[4096];
      ssize_t n;
      while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return json::parse(reply, nullptr, false);
}

// An account: a store, the platform's folders, and pell-refhost serving it.
class Account {
 public:
  Account(fs::path home, int files) : home_(std::move(home)), files_(files) {}
  ~Account() { stop(); }

  bool start() {
    fillFolder(home_ / "store" / "Files", files_);
    fs::create_directories(home_ / "containers");
    fs::create_directories(home_ / "state");
    host_ = spawnIn({PELL_REFHOST_BIN, "serve", "--store", (home_ / "store").string()}, home_,
                    home_ / "host.out");
    // Ready once it says so: the index is in line with the store then.
    return host_ > 0 && waitUntil([&] {
             std::ifstream out(home_ / "host.out");
             std::string text((std::istreambuf_iterator<char>(out)), {});
             return text.find("serving ") != std::string::npos;
           });
  }
  void stop() {
    if (host_ > 0) {
      ::kill(host_, SIGTERM);
      waitFor(host_);
      host_ = -1;
    }
  }

  const fs::path& home() const { return home_; }
  fs::path container() const { return home_ / "containers" / kAppGroup; }
  fs::path socket() const { return container() / "fp.sock"; }
  fs::path database() const { return container() / "state.db"; }
  int files() const { return files_; }
  pid_t pid() const { return host_; }

  // The ulids of the folder "Files" and of its file `name`, from the index.
  std::optional<std::pair<std::string, std::string>> ulids(const std::string& name) const {
    sqlite3* db = nullptr;
    std::string uri = "file:" + database().string() + "?mode=ro";
    std::optional<std::pair<std::string, std::string>> found;
    if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) ==
        SQLITE_OK) {
      sqlite3_stmt* st = nullptr;
      if (sqlite3_prepare_v2(db,
                             "SELECT f.ulid, i.ulid FROM folders f JOIN items i"
                             " ON i.folder_ulid = f.ulid WHERE f.name = 'Files' AND i.name = ?",
                             -1, &st, nullptr) == SQLITE_OK) {
        sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(st) == SQLITE_ROW) {
          found.emplace(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                        reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
        }
      }
      sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return found;
  }

 private:
  fs::path home_;
  int files_;
  pid_t host_ = -1;
};

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The medians of the copy times and of the removal times; none without passes.
std::optional<std::pair<double, double>> medians(const std::vector<std::pair<double, double>>& v) {
  if (v.empty()) return std::nullopt;
  std::vector<double> copy, remove;
  for (const auto& [c, r] : v) {
    copy.push_back(c);
    remove.push_back(r);
  }
  return std::pair(median(copy), median(remove));
}

// Median seconds of `fetch` and `create` requests for the two accounts,
// which take turns request by request, so that the load of the machine at
// any moment weighs on both alike.
struct RequestTimes {
  double fetch = 0;
  double create = 0;
};

std::optional<std::pair<RequestTimes, RequestTimes>> timeRequests(Account& small, Account& large) {
  std::vector<std::pair<std::string, std::string>> ids;  // (folder, file) per account
  for (Account* a : {&small, &large}) {
    auto found = a->ulids("Document 000042.txt");
    if (!found) return std::nullopt;
    ids.push_back(*found);
  }
  std::vector<double> fetches[2], creates[2];
  Account* accounts[2] = {&small, &large};
  for (int i = 0; i < kRequests; ++i) {
    for (int k = 0; k < 2; ++k) {
      auto t0 = Clock::now();
      json r = call(accounts[k]->socket(),
                    {{"op", "fetch"}, {"account", "primary"}, {"ulid", ids[k].second}});
      fetches[k].push_back(secondsSince(t0));
      if (r.value("ok", false) != true) return std::nullopt;
    }
  }
  for (int i = 0; i < kRequests; ++i) {
    for (int k = 0; k < 2; ++k) {
      fs::path staged = accounts[k]->container() / "fp-upload" / ("staged-" + std::to_string(i));
      std::ofstream(staged) << "new " << i << "\n";
      auto t0 = Clock::now();
      json r = call(accounts[k]->socket(), {{"op", "create"},
                                            {"account", "primary"},
                                            {"parent", ids[k].first},
                                            {"name", "New " + std::to_string(i)},
                                            {"path", staged.string()}});
      creates[k].push_back(secondsSince(t0));
      if (r.value("ok", false) != true) return std::nullopt;
    }
  }
  return std::pair(RequestTimes{median(fetches[0]), median(creates[0])},
                   RequestTimes{median(fetches[1]), median(creates[1])});
}

// Mean seconds of entryForFile for `ulid` in the index of the container root
// `containers`.
std::optional<double> timeEntryForFile(const fs::path& containers, const std::string& ulid,
                                       int times) {
  ::setenv("FILEPROVIDER_CONTAINERS", containers.c_str(), 1);
  std::optional<pellora::Index> index = pellora::Index::open();
  if (!index) return std::nullopt;
  auto t0 = Clock::now();
  for (int i = 0; i < times; ++i) {
    if (!index->entryForFile(ulid)) return std::nullopt;
  }
  return secondsSince(t0) / times;
}

// The index as a reader without the case-folded indexes sees it: a copy
// without them, in a container root of its own.
bool copyWithoutFoldedIndexes(const Account& a, const fs::path& containers) {
  fs::path target = containers / kAppGroup / "state.db";
  fs::create_directories(target.parent_path());
  sqlite3* db = nullptr;
  bool ok = sqlite3_open(a.database().c_str(), &db) == SQLITE_OK &&
            sqlite3_exec(db, ("VACUUM INTO '" + target.string() + "'").c_str(), nullptr, nullptr,
                         nullptr) == SQLITE_OK;
  sqlite3_close(db);
  db = nullptr;
  ok = ok && sqlite3_open(target.c_str(), &db) == SQLITE_OK &&
       sqlite3_exec(db, "DROP INDEX folders_by_parent_folded; DROP INDEX items_by_folder_folded;",
                    nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

void show(const char* what, std::optional<double> ratio, const char* target) {
  if (ratio) {
    std::printf("  %-66s %7.2fx (target %s)\n", what, *ratio, target);
  } else {
    std::printf("  %-66s     n/a (target %s)\n", what, target);
  }
}

// A FUSE mount run by a child process, unmounted and reaped on destruction.
class MountProcess {
 public:
  MountProcess(std::vector<std::string> argv, fs::path home, fs::path point)
      : home_(std::move(home)), point_(std::move(point)) {
    fs::create_directories(point_);
    pid_ = spawnIn(argv, home_, home_ / (point_.filename().string() + ".out"));
    up_ = pid_ > 0 && waitUntil([&] { return isMountPoint(point_); });
  }
  ~MountProcess() {
    if (isMountPoint(point_)) {
      waitFor(spawnIn({"fusermount3", "-u", point_.string()}, home_, "/dev/null"));
    }
    if (pid_ > 0) {
      int st = 0;
      if (!waitUntil([&] { return ::waitpid(pid_, &st, WNOHANG) == pid_; },
                     std::chrono::seconds(20))) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &st, 0);
      }
    }
    if (isMountPoint(point_)) {
      waitFor(spawnIn({"fusermount3", "-u", "-z", point_.string()}, home_, "/dev/null"));
    }
  }
  bool up() const { return up_; }
  pid_t pid() const { return pid_; }
  const fs::path& point() const { return point_; }

 private:
  fs::path home_, point_;
  pid_t pid_ = -1;
  bool up_ = false;
};

// Seconds of `cp -r` of the source folder into `target`, and of `rm -r` of it.
std::optional<std::pair<double, double>> copyAndRemove(const fs::path& source,
                                                       const fs::path& target,
                                                       const fs::path& home) {
  auto t0 = Clock::now();
  if (!sh("cp -r '" + source.string() + "' '" + target.string() + "/'", home)) return std::nullopt;
  double copy = secondsSince(t0);
  t0 = Clock::now();
  if (!sh("rm -r '" + (target / source.filename()).string() + "'", home)) return std::nullopt;
  return std::pair(copy, secondsSince(t0));
}

// Seconds reading `file` whole in 1 MiB pieces; `dropCache` drops the
// file's pages first. Negative when it cannot be read.
double readSeconds(const fs::path& file, bool dropCache) {
  std::vector<char> buf(1 << 20);
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  if (dropCache) posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  auto t0 = Clock::now();
  while (::read(fd, buf.data(), buf.size()) > 0) {
  }
  double s = secondsSince(t0);
  ::close(fd);
  return s;
}

// The resident memory of the process `pid` in bytes (VmRSS); 0 when unknown.
double residentBytes(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) * 1024;
  }
  return 0;
}

// Seconds of `ls -l` of `dir`, its output thrown away; none when it fails.
std::optional<double> listSeconds(const fs::path& dir, const fs::path& home) {
  auto t0 = Clock::now();
  if (!sh("ls -l '" + dir.string() + "' > /dev/null", home)) return std::nullopt;
  return secondsSince(t0);
}

// `ls -l` of the folder of 100,000 through the mount, the first time and again,
// against the plain folder (warm, as the mount is the second time), and the
// resident memory of the mount and of its host after it.
void timeListing(const MountProcess& mount, const Account& account, const fs::path& plain,
                 const fs::path& home) {
  constexpr int kAgain = 3;
  const fs::path folder = mount.point() / "Files";
  const double mountBefore = residentBytes(mount.pid());
  const double hostBefore = residentBytes(account.pid());
  std::optional<double> first = listSeconds(folder, home);
  std::vector<double> again, plainTimes;
  listSeconds(plain, home);  // its inodes and names in the kernel's caches, as the mount's are
  for (int pass = 0; pass < kAgain; ++pass) {
    if (auto t = listSeconds(folder, home)) again.push_back(*t);
    if (auto t = listSeconds(plain, home)) plainTimes.push_back(*t);
  }
  const double mountAfter = residentBytes(mount.pid());
  const double hostAfter = residentBytes(account.pid());
  std::optional<double> plainTime;
  if (!plainTimes.empty()) plainTime = median(plainTimes);
  std::printf(
      "  ls -l of the folder of %d: first %.3f s, again %.3f s (median of %d), plain %.3f s\n",
      kLargeFiles, first.value_or(0), median(again), kAgain, plainTime.value_or(0));
  show("ls -l of 100,000 files, the first time, fpctl mount / plain:",
       first && plainTime ? std::optional(*first / *plainTime) : std::nullopt, "<= 3");
  show("ls -l of 100,000 files, again, fpctl mount / plain:",
       !again.empty() && plainTime ? std::optional(median(again) / *plainTime) : std::nullopt,
       "<= 2");
  const double entries = kLargeFiles;
  std::printf(
      "  resident after it: fpctl %.1f MB (%.0f bytes per entry; %.1f MB before),"
      " pell-refhost %.1f MB (%.0f bytes per item; %.1f MB before)\n",
      mountAfter / 1e6, mountAfter / entries, mountBefore / 1e6, hostAfter / 1e6,
      hostAfter / entries, hostBefore / 1e6);
}

bool haveProgram(const char* name) {
  return std::system((std::string("command -v ") + name + " > /dev/null 2>&1").c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows as it comes
  bool onlyCopy = false, onlyList = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc &&
        std::strcmp(argv[i + 1], "copy") == 0) {
      onlyCopy = true;
      ++i;
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc &&
               std::strcmp(argv[i + 1], "list") == 0) {
      onlyList = true;
      ++i;
    } else {
      std::fprintf(stderr, "usage: %s [--only copy|list]\n", argv[0]);
      return 2;
    }
  }
  // Each part left out of a run of one part alone.
  const bool skipRest = onlyCopy || onlyList;
  const char* tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/pscale.XXXXXX";
  if (!mkdtemp(tmpl.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path root = tmpl;
  int status = 0;
  // This process reads the index as the extension does.
  fp::declareApplicationGroups({kAppGroup});
  {
    std::printf("building the accounts of %d and %d files in %s\n", kSmallFiles, kLargeFiles,
                root.c_str());
    std::fflush(stdout);
    Account small(root / "small", kSmallFiles), large(root / "large", kLargeFiles);
    if (!small.start() || !large.start()) {
      std::fprintf(stderr, "scale benchmark: pell-refhost did not come up\n");
      return 1;
    }

    // Building the accounts leaves hundreds of megabytes to write back, which
    // weighs on the large account's requests more than on the small one's.
    ::sync();
    auto times = skipRest ? std::nullopt : timeRequests(small, large);
    const bool requestsOk = times.has_value();
    RequestTimes bestSmall, bestLarge;
    if (times) std::tie(bestSmall, bestLarge) = *times;

    // Display name of one file without namesakes in the folder of 100,000.
    std::optional<double> narrowed, scanned;
    auto ids = skipRest ? std::nullopt : large.ulids("Document 012345.txt");
    if (ids) {
      narrowed = timeEntryForFile(large.home() / "containers", ids->second, 200);
      if (copyWithoutFoldedIndexes(large, root / "scan-containers")) {
        scanned = timeEntryForFile(root / "scan-containers", ids->second, 20);
      }
    }

    if (requestsOk) {
      std::printf("\npell-refhost, median of %d requests, the accounts taking turns:\n", kRequests);
      std::printf("  fetch:  %.3f ms at %d files, %.3f ms at %d files\n", bestSmall.fetch * 1e3,
                  kSmallFiles, bestLarge.fetch * 1e3, kLargeFiles);
      std::printf("  create: %.3f ms at %d files, %.3f ms at %d files\n", bestSmall.create * 1e3,
                  kSmallFiles, bestLarge.create * 1e3, kLargeFiles);
    }
    if (!skipRest) {
      show("fetch at 100,000 files / at 100:",
           requestsOk ? std::optional(bestLarge.fetch / bestSmall.fetch) : std::nullopt, "<= 1.5");
      show("create at 100,000 files / at 100:",
           requestsOk ? std::optional(bestLarge.create / bestSmall.create) : std::nullopt,
           "<= 1.5");
      std::printf("\nentryForFile, a file without namesakes in a folder of %d files:\n",
                  kLargeFiles);
      if (narrowed && scanned) {
        std::printf("  narrowed %.3f ms, sibling scan %.3f ms\n", *narrowed * 1e3, *scanned * 1e3);
      }
      show("sibling scan / narrowed look-up:",
           narrowed && scanned ? std::optional(*scanned / *narrowed) : std::nullopt, ">= 10");
    }

    // Through the mount of the large account.
    std::printf("\nthrough fpctl mount of the account of %d files:\n", kLargeFiles);
    if (!fs::exists("/dev/fuse")) {
      std::printf("  skipped: no /dev/fuse\n");
    } else if (waitFor(spawnIn({PELL_DOMAIN_BIN, "register"}, large.home(),
                               large.home() / "domain.out")) != 0) {
      std::printf("  skipped: pell-domain register failed\n");
      status = 1;
    } else {
      fillFolder(root / "source" / "small-files", kCopiedFiles);
      fs::path plain = root / "plain";
      fillFolder(plain / "Files", kLargeFiles);
      writeBigFile(plain / "big.bin", kBigFileBytes);
      writeBigFile(large.home() / "store" / "big.bin", kBigFileBytes);
      {
        MountProcess ours({FPCTL_BIN, "mount", (root / "mnt").string(), "--foreground", "--cache",
                           (root / "cache").string()},
                          large.home(), root / "mnt");
        // The same account mounted with --write-back: a close answers once the
        // file is in the upload queue, as rclone's full cache mode answers once
        // the file is in its cache.
        std::optional<MountProcess> oursWriteBack;
        if (!onlyList) {
          oursWriteBack.emplace(
              std::vector<std::string>{FPCTL_BIN, "mount", (root / "wmnt").string(), "--foreground",
                                       "--cache", (root / "wcache").string(), "--write-back"},
              large.home(), root / "wmnt");
        }
        // rclone's mount of the plain folder runs beside ours, so that the
        // copies can take turns.
        std::optional<MountProcess> rclone;
        if (!onlyList && haveProgram("rclone")) {
          rclone.emplace(
              std::vector<std::string>{"rclone", "mount", plain.string(), (root / "rmnt").string(),
                                       "--vfs-cache-mode", "full", "--cache-dir",
                                       (root / "rclone-cache").string(), "--config", "/dev/null"},
              root, root / "rmnt");
          if (!rclone->up()) std::printf("  the rclone mount did not come up\n");
        }
        std::optional<std::pair<double, double>> viaMount, viaWriteBack, viaPlain, viaRclone;
        double warm = 0, dropped = 0, plainSpeed = 0, rcloneDropped = 0;
        if (ours.up() && waitUntil([&] { return fs::exists(ours.point() / "big.bin"); })) {
          // Building the accounts leaves hundreds of megabytes to write back,
          // which would slow whichever copy ran first: the disk catches up
          // before the copies start. Then the three ways take turns; medians of
          // three passes each.
          ::sync();
          // The listing first: the folder of 100,000 has not been read yet.
          if (!onlyCopy) timeListing(ours, large, plain / "Files", large.home());
          const fs::path source = root / "source" / "small-files";
          std::vector<std::pair<double, double>> mountPasses, writeBackPasses, plainPasses,
              rclonePasses;
          // After a pass through a mount of ours, both look at the changed
          // index again (reading the folder of 100,000 anew) within their poll
          // interval of 2 s: the next pass waits for that, whichever way it is.
          auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(3500)); };
          for (int pass = 0; pass < (onlyList ? 0 : kCopyPasses); ++pass) {
            if (auto t = copyAndRemove(source, ours.point() / "Files", large.home())) {
              mountPasses.push_back(*t);
            }
            settle();
            if (oursWriteBack && oursWriteBack->up()) {
              if (auto t = copyAndRemove(source, oursWriteBack->point() / "Files", large.home())) {
                writeBackPasses.push_back(*t);
              }
              settle();
            }
            if (auto t = copyAndRemove(source, plain / "Files", root)) plainPasses.push_back(*t);
            if (rclone && rclone->up()) {
              if (auto t = copyAndRemove(source, rclone->point() / "Files", root)) {
                rclonePasses.push_back(*t);
              }
            }
          }
          viaMount = medians(mountPasses);
          viaWriteBack = medians(writeBackPasses);
          viaPlain = medians(plainPasses);
          viaRclone = medians(rclonePasses);
          if (!skipRest) {
            sh("cat '" + (ours.point() / "big.bin").string() + "' > /dev/null", large.home());
            sh("cat '" + (plain / "big.bin").string() + "' > /dev/null", large.home());
            const bool rcloneReads = rclone && rclone->up();
            if (rcloneReads) {
              sh("cat '" + (rclone->point() / "big.bin").string() + "' > /dev/null", root);
            }
            // The ways take turns; medians of 15 passes each. rclone's mount,
            // read with its pages dropped from a full cache, shows what the
            // kernel's FUSE path allows another file system on this machine now.
            std::vector<double> w, d, p, r;
            for (int pass = 0; pass < 15; ++pass) {
              w.push_back(readSeconds(ours.point() / "big.bin", false));
              d.push_back(readSeconds(ours.point() / "big.bin", true));
              p.push_back(readSeconds(plain / "big.bin", false));
              if (rcloneReads) r.push_back(readSeconds(rclone->point() / "big.bin", true));
            }
            auto speed = [](const std::vector<double>& v) {
              double m = median(v);
              return m > 0 ? static_cast<double>(kBigFileBytes) / m : 0.0;
            };
            warm = speed(w);
            dropped = speed(d);
            plainSpeed = speed(p);
            if (!r.empty()) rcloneDropped = speed(r);
          }
        } else {
          std::printf("  the mount did not come up\n");
          status = 1;
        }
        auto print = [](const char* what, const std::optional<std::pair<double, double>>& t) {
          if (t) std::printf("  %-22s cp -r %8.3f s   rm -r %8.3f s\n", what, t->first, t->second);
        };
        if (!onlyList) {
          std::printf("  %d small files:\n", kCopiedFiles);
          print("fpctl mount", viaMount);
          print("fpctl --write-back", viaWriteBack);
          print("rclone mount", viaRclone);
          print("plain folder", viaPlain);
          if (!haveProgram("rclone")) {
            std::printf("  rclone is not installed: its ratios are skipped\n");
          }
          auto ratio = [](const std::optional<std::pair<double, double>>& a,
                          const std::optional<std::pair<double, double>>& b,
                          bool copy) -> std::optional<double> {
            if (!a || !b) return std::nullopt;
            return copy ? a->first / b->first : a->second / b->second;
          };
          show("cp -r of 1,000 small files, fpctl mount --write-back / rclone mount:",
               ratio(viaWriteBack, viaRclone, true), "<= 1");
          show("rm -r of them, fpctl mount --write-back / rclone mount:",
               ratio(viaWriteBack, viaRclone, false), "<= 1");
          show("cp -r, fpctl mount (close waits for the host) / rclone mount:",
               ratio(viaMount, viaRclone, true), "<= 1.5");
          show("rm -r, fpctl mount (close waits for the host) / rclone mount:",
               ratio(viaMount, viaRclone, false), "-");
          show("cp -r of 1,000 small files, fpctl mount / plain:", ratio(viaMount, viaPlain, true),
               "-");
          show("rm -r of them, fpctl mount / plain:", ratio(viaMount, viaPlain, false), "-");
        }
        if (!skipRest) {
          if (plainSpeed > 0) {
            std::printf(
                "  reading 50 MB: plain %.2f GB/s, mount %.2f GB/s, through FUSE %.2f GB/s\n",
                plainSpeed / 1e9, warm / 1e9, dropped / 1e9);
          }
          show("read speed, read again through the mount / plain:",
               plainSpeed > 0 ? std::optional(warm / plainSpeed) : std::nullopt, ">= 0.5");
          show("read speed, page cache dropped (through FUSE) / plain:",
               plainSpeed > 0 ? std::optional(dropped / plainSpeed) : std::nullopt, ">= 0.3");
          if (rcloneDropped > 0 && plainSpeed > 0) {
            std::printf("  rclone mount, page cache dropped: %.2f GB/s\n", rcloneDropped / 1e9);
            show("read speed, page cache dropped, fpctl mount / rclone mount:",
                 std::optional(dropped / rcloneDropped), "-");
          }
        }
      }
    }
    small.stop();
    large.stop();
  }
  std::error_code ec;
  if (!isMountPoint(root / "mnt") && !isMountPoint(root / "wmnt") && !isMountPoint(root / "rmnt")) {
    fs::remove_all(root, ec);
  }
  return status;
}
