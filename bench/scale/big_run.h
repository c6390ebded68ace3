// The big run of the scale benchmark (--items N): an account of N files in
// folders of 100,000, built once and kept (see cachedStore), against one of
// 100 files, each with its own pell-refhost; the host's start, requests,
// listings through fpctl mount beside the plain tree and an rclone mount of
// it, and the resident memory of both programs.
#ifndef PELLORA_BENCH_SCALE_BIG_RUN_H_
#define PELLORA_BENCH_SCALE_BIG_RUN_H_

namespace pellora::bench::scale {

// Yields the exit status.
int runBig(int items);

}  // namespace pellora::bench::scale

#endif  // PELLORA_BENCH_SCALE_BIG_RUN_H_
