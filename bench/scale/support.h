// What the parts of the scale benchmark share: timing, running shell commands
// in a sandbox, the resident memory of a process, and printing a ratio with
// its target.
#ifndef PELLORA_BENCH_SCALE_SUPPORT_H_
#define PELLORA_BENCH_SCALE_SUPPORT_H_

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace pellora::bench::scale {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline constexpr const char* kAppGroup = "QZ3RMT5XK9.de.brightfold.pellora-connect-desktop";

double secondsSince(Clock::time_point t0);
double median(std::vector<double> v);

// Runs `command` with the platform's folders of `home`; when it fails, prints
// it with the end of what it wrote.
bool sh(const std::string& command, const fs::path& home);
bool haveProgram(const char* name);

// One request on a connection of its own, as the extension sends it; a
// discarded value when there is no answer.
nlohmann::json call(const fs::path& socket, const nlohmann::json& request);

// The resident memory of the process `pid` in bytes, now (VmRSS) and at its
// highest (VmHWM); 0 when unknown.
struct Resident {
  double now = 0;
  double peak = 0;
};
Resident residentOf(pid_t pid);

// A new folder under $TMPDIR (or /tmp) for one run; none when it cannot be made.
std::optional<fs::path> makeSandbox();

// "  WHAT   RATIOx (target TARGET)", or n/a without a ratio.
void show(const char* what, std::optional<double> ratio, const char* target);

}  // namespace pellora::bench::scale

#endif  // PELLORA_BENCH_SCALE_SUPPORT_H_
