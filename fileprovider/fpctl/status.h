// fpctl status: what each running mount (or one cache folder) still has to
// send, what the service refused and why, and how much the cache holds, as
// text or as JSON.
#ifndef FPCTL_STATUS_H_
#define FPCTL_STATUS_H_

#include <filesystem>
#include <optional>
#include <ostream>

namespace fpctl {

// Prints the status of the cache folder `cacheDir`, or, when none is given, of
// every running mount and of every default cache folder that no mount uses and
// where changes wait (see readMountsStatus() in mount/status.h); with `json` as
// one JSON object {"mounts":[...]} holding what readMountsStatus() reads.
// Returns the exit status: 0, or 1 when `cacheDir` is not a cache folder.
[[nodiscard]] int runStatus(const std::optional<std::filesystem::path>& cacheDir, bool json,
                            std::ostream& out, std::ostream& err);

}  // namespace fpctl

#endif  // FPCTL_STATUS_H_
