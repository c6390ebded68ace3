#include "scale/default_run.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>
#include <tuple>

#include "bench_support.h"
#include "fileprovider/file_manager.h"
#include "scale/account.h"
#include "scale/measure.h"

namespace pellora::bench::scale {
namespace {

constexpr int kLargeFiles = 100'000;
constexpr int kCopiedFiles = 1'000;
constexpr int kCopyPasses = 3;  // of cp -r and rm -r, each way
constexpr std::size_t kBigFileBytes = 50u << 20;

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

// `ls -l` of the folder of 100,000 through the mount, the first time and again,
// against the plain folder (warm, as the mount is the second time), and the
// resident memory of the mount and of its host after it.
void timeListing(const MountProcess& mount, const Account& account, const fs::path& plain,
                 const fs::path& home) {
  constexpr int kAgain = 3;
  const fs::path folder = mount.point() / "Files";
  const double mountBefore = residentOf(mount.pid()).now;
  const double hostBefore = residentOf(account.pid()).now;
  std::optional<double> first = listSeconds(folder, home);
  std::vector<double> again, plainTimes;
  listSeconds(plain, home);  // its inodes and names in the kernel's caches, as the mount's are
  for (int pass = 0; pass < kAgain; ++pass) {
    if (auto t = listSeconds(folder, home)) again.push_back(*t);
    if (auto t = listSeconds(plain, home)) plainTimes.push_back(*t);
  }
  const double mountAfter = residentOf(mount.pid()).now;
  const double hostAfter = residentOf(account.pid()).now;
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
      "  resident after it: fpctl %.1f MB (%.0f bytes per entry, %.0f of them added by the"
      " listing to the %.1f MB before), pell-refhost %.1f MB (%.0f bytes per item; %.1f MB"
      " before)\n",
      mountAfter / 1e6, mountAfter / entries, (mountAfter - mountBefore) / entries,
      mountBefore / 1e6, hostAfter / 1e6, hostAfter / entries, hostBefore / 1e6);
}

using Times = std::optional<std::pair<double, double>>;  // of cp -r and of rm -r

// The ways the default run copies and reads through: our mount of the large
// account, the same with --write-back, an rclone mount of a plain folder, and
// that plain folder.
struct Ways {
  const MountProcess& ours;
  const MountProcess* writeBack;  // none for a run of the listing alone
  const MountProcess* rclone;     // none without rclone
  fs::path plain;
  fs::path root;
  const Account& large;
};

struct CopyTimes {
  Times viaMount, viaWriteBack, viaPlain, viaRclone;
};

// The copy passes: the ways take turns; medians of `passes` passes each.
CopyTimes copyPasses(const Ways& w, int passes) {
  const fs::path source = w.root / "source" / "small-files";
  std::vector<std::pair<double, double>> mountPasses, writeBackPasses, plainPasses, rclonePasses;
  // After a pass through a mount of ours, both look at the changed index
  // again (reading the folder of 100,000 anew) within their poll interval of
  // 2 s: the next pass waits for that, whichever way it is.
  auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(3500)); };
  for (int pass = 0; pass < passes; ++pass) {
    if (auto t = copyAndRemove(source, w.ours.point() / "Files", w.large.home())) {
      mountPasses.push_back(*t);
    }
    settle();
    if (w.writeBack && w.writeBack->up()) {
      if (auto t = copyAndRemove(source, w.writeBack->point() / "Files", w.large.home())) {
        writeBackPasses.push_back(*t);
      }
      settle();
    }
    if (auto t = copyAndRemove(source, w.plain / "Files", w.root)) plainPasses.push_back(*t);
    if (w.rclone && w.rclone->up()) {
      if (auto t = copyAndRemove(source, w.rclone->point() / "Files", w.root)) {
        rclonePasses.push_back(*t);
      }
    }
  }
  return {medians(mountPasses), medians(writeBackPasses), medians(plainPasses),
          medians(rclonePasses)};
}

void printCopies(const CopyTimes& t) {
  auto print = [](const char* what, const Times& way) {
    if (way) std::printf("  %-22s cp -r %8.3f s   rm -r %8.3f s\n", what, way->first, way->second);
  };
  std::printf("  %d small files:\n", kCopiedFiles);
  print("fpctl mount", t.viaMount);
  print("fpctl --write-back", t.viaWriteBack);
  print("rclone mount", t.viaRclone);
  print("plain folder", t.viaPlain);
  if (!haveProgram("rclone")) {
    std::printf("  rclone is not installed: its ratios are skipped\n");
  }
  auto ratio = [](const Times& a, const Times& b, bool copy) -> std::optional<double> {
    if (!a || !b) return std::nullopt;
    return copy ? a->first / b->first : a->second / b->second;
  };
  show("cp -r of 1,000 small files, fpctl mount --write-back / rclone mount:",
       ratio(t.viaWriteBack, t.viaRclone, true), "<= 1");
  show("rm -r of them, fpctl mount --write-back / rclone mount:",
       ratio(t.viaWriteBack, t.viaRclone, false), "<= 1");
  show("cp -r, fpctl mount (close waits for the host) / rclone mount:",
       ratio(t.viaMount, t.viaRclone, true), "<= 1.5");
  show("rm -r, fpctl mount (close waits for the host) / rclone mount:",
       ratio(t.viaMount, t.viaRclone, false), "-");
  show("cp -r of 1,000 small files, fpctl mount / plain:", ratio(t.viaMount, t.viaPlain, true),
       "-");
  show("rm -r of them, fpctl mount / plain:", ratio(t.viaMount, t.viaPlain, false), "-");
}

// Bytes per second reading the 50 MB file.
struct ReadSpeeds {
  double warm = 0, dropped = 0, plain = 0, rcloneDropped = 0;
};

ReadSpeeds readPasses(const Ways& w) {
  sh("cat '" + (w.ours.point() / "big.bin").string() + "' > /dev/null", w.large.home());
  sh("cat '" + (w.plain / "big.bin").string() + "' > /dev/null", w.large.home());
  const bool rcloneReads = w.rclone && w.rclone->up();
  if (rcloneReads) sh("cat '" + (w.rclone->point() / "big.bin").string() + "' > /dev/null", w.root);
  // The ways take turns; medians of 15 passes each. rclone's mount, read with
  // its pages dropped from a full cache, shows what the kernel's FUSE path
  // allows another file system on this machine now.
  std::vector<double> warm, dropped, plain, rclone;
  for (int pass = 0; pass < 15; ++pass) {
    warm.push_back(readSeconds(w.ours.point() / "big.bin", false));
    dropped.push_back(readSeconds(w.ours.point() / "big.bin", true));
    plain.push_back(readSeconds(w.plain / "big.bin", false));
    if (rcloneReads) rclone.push_back(readSeconds(w.rclone->point() / "big.bin", true));
  }
  auto speed = [](const std::vector<double>& v) {
    double m = median(v);
    return m > 0 ? static_cast<double>(kBigFileBytes) / m : 0.0;
  };
  return {speed(warm), speed(dropped), speed(plain), rclone.empty() ? 0.0 : speed(rclone)};
}

void printReads(const ReadSpeeds& r) {
  if (r.plain > 0) {
    std::printf("  reading 50 MB: plain %.2f GB/s, mount %.2f GB/s, through FUSE %.2f GB/s\n",
                r.plain / 1e9, r.warm / 1e9, r.dropped / 1e9);
  }
  show("read speed, read again through the mount / plain:",
       r.plain > 0 ? std::optional(r.warm / r.plain) : std::nullopt, ">= 0.5");
  show("read speed, page cache dropped (through FUSE) / plain:",
       r.plain > 0 ? std::optional(r.dropped / r.plain) : std::nullopt, ">= 0.3");
  if (r.rcloneDropped > 0 && r.plain > 0) {
    std::printf("  rclone mount, page cache dropped: %.2f GB/s\n", r.rcloneDropped / 1e9);
    show("read speed, page cache dropped, fpctl mount / rclone mount:",
         std::optional(r.dropped / r.rcloneDropped), "-");
  }
}

// The requests at both sizes and the display-name look-up in the folder of
// 100,000.
void measureRequests(Account& small, Account& large, const fs::path& root) {
  auto times = timeRequests(small, "Files", large, "Files");
  // Display name of one file without namesakes in the folder of 100,000.
  std::optional<double> narrowed, scanned;
  if (auto ids = large.ulids("Files", "Document 012345.txt")) {
    narrowed = timeEntryForFile(large.home() / "containers", ids->second, 200);
    if (copyWithoutFoldedIndexes(large, root / "scan-containers")) {
      scanned = timeEntryForFile(root / "scan-containers", ids->second, 20);
    }
  }
  std::optional<double> fetchRatio, createRatio;
  if (times) {
    const auto& [s, l] = *times;
    std::printf("\npell-refhost, median of %d requests, the accounts taking turns:\n", kRequests);
    std::printf("  fetch:  %.3f ms at %d files, %.3f ms at %d files\n", s.fetch * 1e3, kSmallFiles,
                l.fetch * 1e3, kLargeFiles);
    std::printf("  create: %.3f ms at %d files, %.3f ms at %d files\n", s.create * 1e3, kSmallFiles,
                l.create * 1e3, kLargeFiles);
    fetchRatio = l.fetch / s.fetch;
    createRatio = l.create / s.create;
  }
  show("fetch at 100,000 files / at 100:", fetchRatio, "<= 1.5");
  show("create at 100,000 files / at 100:", createRatio, "<= 1.5");
  std::printf("\nentryForFile, a file without namesakes in a folder of %d files:\n", kLargeFiles);
  if (narrowed && scanned) {
    std::printf("  narrowed %.3f ms, sibling scan %.3f ms\n", *narrowed * 1e3, *scanned * 1e3);
  }
  show("sibling scan / narrowed look-up:",
       narrowed && scanned ? std::optional(*scanned / *narrowed) : std::nullopt, ">= 10");
}

// Everything through fpctl mount of the large account; yields the exit status.
int measureThroughMount(const fs::path& root, const Account& large, bool onlyCopy, bool onlyList) {
  fillFolder(root / "source" / "small-files", kCopiedFiles);
  const fs::path plain = root / "plain";
  fillFolder(plain / "Files", kLargeFiles);
  writeBigFile(plain / "big.bin", kBigFileBytes);
  writeBigFile(large.store() / "big.bin", kBigFileBytes);
  MountProcess ours({FPCTL_BIN, "mount", (root / "mnt").string(), "--foreground", "--cache",
                     (root / "cache").string()},
                    large.home(), root / "mnt");
  // The same account mounted with --write-back: a close answers once the file
  // is in the upload queue, as rclone's full cache mode answers once the file
  // is in its cache.
  std::optional<MountProcess> writeBack;
  if (!onlyList) {
    writeBack.emplace(
        std::vector<std::string>{FPCTL_BIN, "mount", (root / "wmnt").string(), "--foreground",
                                 "--cache", (root / "wcache").string(), "--write-back"},
        large.home(), root / "wmnt");
  }
  // rclone's mount of the plain folder runs beside ours, so that the copies
  // can take turns.
  std::optional<MountProcess> rclone;
  if (!onlyList && haveProgram("rclone")) {
    rclone.emplace(
        std::vector<std::string>{"rclone", "mount", plain.string(), (root / "rmnt").string(),
                                 "--vfs-cache-mode", "full", "--cache-dir",
                                 (root / "rclone-cache").string(), "--config", "/dev/null"},
        root, root / "rmnt");
    if (!rclone->up()) std::printf("  the rclone mount did not come up\n");
  }
  const bool up = ours.up() && waitUntil([&] { return fs::exists(ours.point() / "big.bin"); });
  if (!up) std::printf("  the mount did not come up\n");
  const Ways ways{ours, writeBack ? &*writeBack : nullptr, rclone ? &*rclone : nullptr, plain, root,
                  large};
  // Building the accounts leaves hundreds of megabytes to write back, which
  // would slow whichever copy ran first: the disk catches up before the
  // copies start.
  if (up) ::sync();
  // The listing first: the folder of 100,000 has not been read yet.
  if (up && !onlyCopy) timeListing(ours, large, plain / "Files", large.home());
  const CopyTimes copies = up && !onlyList ? copyPasses(ways, kCopyPasses) : CopyTimes{};
  if (!onlyList) printCopies(copies);
  if (!onlyCopy && !onlyList) printReads(up ? readPasses(ways) : ReadSpeeds{});
  return up ? 0 : 1;
}

}  // namespace

int runDefault(bool onlyCopy, bool onlyList) {
  const std::optional<fs::path> sandbox = makeSandbox();
  if (!sandbox) return 1;
  const fs::path& root = *sandbox;
  int status = 0;
  // This process reads the index as the extension does.
  fp::declareApplicationGroups({kAppGroup});
  {
    std::printf("building the accounts of %d and %d files in %s\n", kSmallFiles, kLargeFiles,
                root.c_str());
    Account small(root / "small", kSmallFiles), large(root / "large", kLargeFiles);
    fillFolder(small.store() / "Files", kSmallFiles);
    fillFolder(large.store() / "Files", kLargeFiles);
    if (!small.start() || !large.start()) {
      std::fprintf(stderr, "scale benchmark: pell-refhost did not come up\n");
      return 1;
    }
    // Building the accounts leaves hundreds of megabytes to write back, which
    // weighs on the large account's requests more than on the small one's.
    ::sync();
    // Each part left out of a run of one part alone.
    if (!onlyCopy && !onlyList) measureRequests(small, large, root);

    std::printf("\nthrough fpctl mount of the account of %d files:\n", kLargeFiles);
    if (!fs::exists("/dev/fuse")) {
      std::printf("  skipped: no /dev/fuse\n");
    } else if (waitFor(spawnIn({PELL_DOMAIN_BIN, "register"}, large.home(),
                               large.home() / "domain.out")) != 0) {
      std::printf("  skipped: pell-domain register failed\n");
      status = 1;
    } else {
      status = measureThroughMount(root, large, onlyCopy, onlyList);
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

}  // namespace pellora::bench::scale
