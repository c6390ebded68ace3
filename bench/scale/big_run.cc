#include "scale/big_run.h"

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "bench_support.h"
#include "scale/account.h"
#include "scale/measure.h"

namespace pellora::bench::scale {
namespace {

// "  WHAT   BYTES B (target TARGET)".
void showBytes(const char* what, double bytes, const char* target) {
  std::printf("  %-66s %7.0f B (target %s)\n", what, bytes, target);
}

std::optional<double> ratio(std::optional<double> a, std::optional<double> b) {
  if (!a || !b || *b <= 0) return std::nullopt;
  return *a / *b;
}

void printResident(const char* when, double seconds, const Resident& r, int items) {
  std::printf("  %-32s %6.1f s, resident %.0f MB (%.0f B per item), at most %.0f MB\n", when,
              seconds, r.now / 1e6, r.now / items, r.peak / 1e6);
}

// The host from start to serving: the first time, building the index, and
// again with the index in place (as it starts every other time). It serves
// on after the second start.
bool timeStarts(Account& large) {
  std::printf("\npell-refhost of the account of %d files, from start to serving:\n", large.items());
  if (!large.start()) return false;
  printResident("the first time (a new index):", large.startSeconds(), residentOf(large.pid()),
                large.items());
  large.stop();
  if (!large.start()) return false;
  printResident("again (its index in place):", large.startSeconds(), residentOf(large.pid()),
                large.items());
  return true;
}

bool timeAndShowRequests(Account& small, Account& large) {
  ::sync();
  auto times = timeRequests(small, "Files", large, folderName(0));
  if (!times) {
    std::printf("  the requests failed\n");
    return false;
  }
  const auto& [s, l] = *times;
  std::printf("\npell-refhost, median of %d requests, the accounts taking turns:\n", kRequests);
  std::printf("  fetch:  %.3f ms at %d files, %.3f ms at %d files\n", s.fetch * 1e3, kSmallFiles,
              l.fetch * 1e3, large.items());
  std::printf("  create: %.3f ms at %d files, %.3f ms at %d files\n", s.create * 1e3, kSmallFiles,
              l.create * 1e3, large.items());
  const std::string fetch = "fetch at " + std::to_string(large.items()) + " files / at 100:";
  const std::string create = "create at " + std::to_string(large.items()) + " files / at 100:";
  show(fetch.c_str(), l.fetch / s.fetch, "<= 1.5");
  show(create.c_str(), l.create / s.create, "<= 1.5");
  return true;
}

// `ls -lR` of the whole account: first and again through each mount, the
// plain tree warm (its second pass).
struct TreeListing {
  std::optional<double> first, again, plain, rcloneFirst, rcloneAgain;
};

TreeListing listTrees(const MountProcess& ours, const MountProcess* rclone, const fs::path& store,
                      const fs::path& home) {
  TreeListing t;
  t.first = listSeconds(ours.point(), home, "-lR");
  t.again = listSeconds(ours.point(), home, "-lR");
  listSeconds(store, home, "-lR");
  t.plain = listSeconds(store, home, "-lR");
  if (rclone && rclone->up()) {
    t.rcloneFirst = listSeconds(rclone->point(), home, "-lR");
    t.rcloneAgain = listSeconds(rclone->point(), home, "-lR");
  }
  return t;
}

void showTrees(const TreeListing& t, int items) {
  auto s = [](std::optional<double> v) {
    char text[32] = "n/a";
    if (v) std::snprintf(text, sizeof text, "%.2f s", *v);
    return std::string(text);
  };
  std::printf(
      "  ls -lR of all %d files: fpctl mount %s, again %s; plain %s;"
      " rclone mount %s, again %s\n",
      items, s(t.first).c_str(), s(t.again).c_str(), s(t.plain).c_str(), s(t.rcloneFirst).c_str(),
      s(t.rcloneAgain).c_str());
  show("ls -lR of the account, the first time, fpctl mount / plain:", ratio(t.first, t.plain),
       "<= 3");
  show("ls -lR of the account, again, fpctl mount / plain:", ratio(t.again, t.plain), "<= 2");
  show("ls -lR of the account, the first time, fpctl mount / rclone mount:",
       ratio(t.first, t.rcloneFirst), "<= 1");
  show("ls -lR of the account, again, fpctl mount / rclone mount:", ratio(t.again, t.rcloneAgain),
       "<= 1");
}

// fpctl mount of `account` at `root`/`name`, with a cache folder of its own;
// none (and a line saying so) when it does not come up.
std::unique_ptr<MountProcess> mountAccount(const fs::path& root, const Account& account,
                                           const std::string& name) {
  auto mount = std::make_unique<MountProcess>(
      std::vector<std::string>{FPCTL_BIN, "mount", (root / name).string(), "--foreground",
                               "--cache", (root / (name + "-cache")).string()},
      account.home(), root / name);
  if (!mount->up() || !waitUntil([&] { return fs::exists(mount->point() / folderName(0)); })) {
    std::printf("  the mount did not come up\n");
    return nullptr;
  }
  return mount;
}

// `ls -l` of one folder of 100,000 through a mount of its own, the first time,
// against the plain folder (warm).
bool listOneFolder(const fs::path& root, const Account& large) {
  auto mount = mountAccount(root, large, "mnt1");
  if (!mount) return false;
  const fs::path folder = folderName(0);
  std::optional<double> first = listSeconds(mount->point() / folder, root);
  listSeconds(large.store() / folder, root);
  std::optional<double> plain = listSeconds(large.store() / folder, root);
  std::printf("  ls -l of one folder of %d, the first time: %.3f s, plain %.3f s\n",
              kItemsPerFolder, first.value_or(0), plain.value_or(0));
  show("ls -l of a folder of 100,000, the first time, fpctl mount / plain:", ratio(first, plain),
       "<= 3");
  return true;
}

// `ls -lR` of the whole account through a new mount, beside the plain tree and
// an rclone mount of it, and the resident memory of both programs after it.
bool listWholeAccount(const fs::path& root, const Account& large) {
  auto mount = mountAccount(root, large, "mnt");
  if (!mount) return false;
  std::optional<MountProcess> rclone;
  if (haveProgram("rclone")) {
    rclone.emplace(
        std::vector<std::string>{"rclone", "mount", large.store().string(),
                                 (root / "rmnt").string(), "--read-only", "--config", "/dev/null"},
        root, root / "rmnt");
  } else {
    std::printf("  rclone is not installed: its ratios are skipped\n");
  }
  showTrees(listTrees(*mount, rclone ? &*rclone : nullptr, large.store(), root), large.items());
  const double entries = large.items() + (large.items() + kItemsPerFolder - 1) / kItemsPerFolder;
  const Resident fpctl = residentOf(mount->pid()), host = residentOf(large.pid());
  std::printf(
      "  resident after it: fpctl %.1f MB (at most %.1f MB), pell-refhost %.1f MB"
      " (at most %.1f MB)\n",
      fpctl.now / 1e6, fpctl.peak / 1e6, host.now / 1e6, host.peak / 1e6);
  showBytes("resident memory of fpctl per listed entry:", fpctl.now / entries, "<= 600 B");
  showBytes("resident memory of pell-refhost per item:", host.now / large.items(), "<= 1000 B");
  return true;
}

// The listings through fpctl mount of the large account.
int measureMount(const fs::path& root, const Account& large) {
  std::printf("\nthrough fpctl mount of the account of %d files:\n", large.items());
  if (!fs::exists("/dev/fuse")) {
    std::printf("  skipped: no /dev/fuse\n");
    return 0;
  }
  if (waitFor(spawnIn({PELL_DOMAIN_BIN, "register"}, large.home(), large.home() / "domain.out")) !=
      0) {
    std::printf("  skipped: pell-domain register failed\n");
    return 1;
  }
  return listOneFolder(root, large) && listWholeAccount(root, large) ? 0 : 1;
}

}  // namespace

int runBig(int items) {
  const std::optional<fs::path> store = cachedStore(items);
  if (!store) {
    std::fprintf(stderr, "scale benchmark: cannot build the account of %d files\n", items);
    return 1;
  }
  const std::optional<fs::path> sandbox = makeSandbox();
  if (!sandbox) return 1;
  const fs::path& root = *sandbox;
  std::printf("account of %d files in %s; the rest in %s\n", items, store->c_str(), root.c_str());
  int status = 1;
  {
    Account small(root / "small", kSmallFiles), large(root / "large", items, *store);
    fillFolder(small.store() / "Files", kSmallFiles);
    if (!timeStarts(large) || !small.start()) {
      std::fprintf(stderr, "scale benchmark: pell-refhost did not come up\n");
    } else if (timeAndShowRequests(small, large)) {
      status = measureMount(root, large);
    }
  }
  std::error_code ec;
  if (!isMountPoint(root / "mnt1") && !isMountPoint(root / "mnt") && !isMountPoint(root / "rmnt")) {
    fs::remove_all(root, ec);
  }
  return status;
}

}  // namespace pellora::bench::scale
