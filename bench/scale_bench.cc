// The system at the size of a real account, and every ratio with its target.
//
// The default run (scale/default_run.h) puts an account of 100 files beside
// one of 100,000 files (all in one folder), each with its own pell-refhost:
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
//
// `--items N` runs the big run (scale/big_run.h) instead: an account of N
// files (a multiple of 100,000) in folders of 100,000, built once and kept
// under $XDG_CACHE_HOME (or ~/.cache)/pellora-scale-bench/items-N, against one
// of 100 files: the host from start to serving, fetch and create at N / at
// 100 (<= 1.5), `ls -l` of one folder and `ls -lR` of the whole account
// through fpctl mount beside the plain tree and an rclone mount of it, and
// the resident memory of fpctl per listed entry (<= 600 B) and of
// pell-refhost per item (<= 1,000 B).
//
// Everything else lives in a sandbox under $TMPDIR (or /tmp) that is removed
// at the end, mounts included. Needs /dev/fuse for the mount part (skipped
// otherwise).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "scale/big_run.h"
#include "scale/default_run.h"

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows as it comes
  bool onlyCopy = false, onlyList = false;
  long items = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (arg == "--only" && std::strcmp(value, "copy") == 0) {
      onlyCopy = true;
    } else if (arg == "--only" && std::strcmp(value, "list") == 0) {
      onlyList = true;
    } else if (arg == "--items" && (items = std::strtol(value, nullptr, 10)) > 0 &&
               items % 100'000 == 0 && items <= 10'000'000) {
    } else {
      std::fprintf(stderr, "usage: %s [--only copy|list | --items N (a multiple of 100,000)]\n",
                   argv[0]);
      return 2;
    }
    ++i;
  }
  if (items > 0 && (onlyCopy || onlyList)) {
    std::fprintf(stderr, "%s: --items runs its own parts; --only is for the default run\n",
                 argv[0]);
    return 2;
  }
  if (items > 0) return pellora::bench::scale::runBig(static_cast<int>(items));
  return pellora::bench::scale::runDefault(onlyCopy, onlyList);
}
