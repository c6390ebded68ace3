// The default run of the scale benchmark: an account of 100 files and one of
// 100,000 files (all in one folder), each with its own pell-refhost, side by
// side in a sandbox that is removed at the end, mounts included.
#ifndef PELLORA_BENCH_SCALE_DEFAULT_RUN_H_
#define PELLORA_BENCH_SCALE_DEFAULT_RUN_H_

namespace pellora::bench::scale {

// Runs every part, or the copy or listing part alone; yields the exit status.
int runDefault(bool onlyCopy, bool onlyList);

}  // namespace pellora::bench::scale

#endif  // PELLORA_BENCH_SCALE_DEFAULT_RUN_H_
