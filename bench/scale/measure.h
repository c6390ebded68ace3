// The measurements of the scale benchmark: requests through the bridge
// socket, look-ups in the index, and copies, reads and listings through a
// mount. Each yields seconds (or none when it failed) and prints nothing but
// the failures of the commands it runs.
#ifndef PELLORA_BENCH_SCALE_MEASURE_H_
#define PELLORA_BENCH_SCALE_MEASURE_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "scale/account.h"
#include "scale/support.h"

namespace pellora::bench::scale {

// A FUSE mount run by a child process, unmounted and reaped on destruction.
class MountProcess {
 public:
  MountProcess(const std::vector<std::string>& argv, fs::path home, fs::path point);
  ~MountProcess();
  MountProcess(const MountProcess&) = delete;
  MountProcess& operator=(const MountProcess&) = delete;
  bool up() const { return up_; }
  pid_t pid() const { return pid_; }
  const fs::path& point() const { return point_; }

 private:
  fs::path home_, point_;
  pid_t pid_ = -1;
  bool up_ = false;
};

// Median seconds of `fetch` and `create` requests for two accounts, which
// take turns request by request, so that the load of the machine at any
// moment weighs on both alike. Each account's `folder` (a name) holds
// "Document 000042.txt"; the files created there are removed afterwards.
struct RequestTimes {
  double fetch = 0;
  double create = 0;
};
inline constexpr int kRequests = 200;
std::optional<std::pair<RequestTimes, RequestTimes>> timeRequests(Account& small,
                                                                  const std::string& smallFolder,
                                                                  Account& large,
                                                                  const std::string& largeFolder);

// Mean seconds of entryForFile for `ulid` in the index of the container root
// `containers`.
std::optional<double> timeEntryForFile(const fs::path& containers, const std::string& ulid,
                                       int times);
// The index as a reader without the case-folded indexes sees it: a copy
// without them, in a container root of its own.
bool copyWithoutFoldedIndexes(const Account& a, const fs::path& containers);

// Seconds of `cp -r` of the source folder into `target`, and of `rm -r` of it.
std::optional<std::pair<double, double>> copyAndRemove(const fs::path& source,
                                                       const fs::path& target,
                                                       const fs::path& home);
// Seconds reading `file` whole in 1 MiB pieces; `dropCache` drops the
// file's pages first. Negative when it cannot be read.
double readSeconds(const fs::path& file, bool dropCache);
// Seconds of `ls` with `options` of `dir`, its output thrown away.
std::optional<double> listSeconds(const fs::path& dir, const fs::path& home,
                                  const char* options = "-l");

}  // namespace pellora::bench::scale

#endif  // PELLORA_BENCH_SCALE_MEASURE_H_
