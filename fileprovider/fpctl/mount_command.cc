// The command that serves a domain as a folder: mount.
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "fileprovider/fpctl/command_groups.h"
#include "fileprovider/fpctl/command_run.h"
#include "fileprovider/fpctl/mount/cache_bound.h"
#include "fileprovider/fpctl/mount/mount_table.h"
#include "fileprovider/fpctl/mount/status.h"
#include "fileprovider/fpctl/service_notify.h"
#include "fileprovider/fpctl/status.h"

namespace fpctl {

namespace {

using Mistake = std::optional<std::string>;

std::optional<double> parseSeconds(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(v) || v <= 0) return std::nullopt;
  return v;
}

// While a mount runs in the foreground under a service manager (NOTIFY_SOCKET
// set), tells it READY=1 once the folder is mounted and recorded for `fpctl
// status`, and STOPPING=1 once it is unmounted or the mount ends. Watches the
// mount table from a thread of its own, every 20 ms.
class ServiceReadiness {
 public:
  ServiceReadiness(std::filesystem::path mountpoint, std::string domain)
      : mountpoint_(std::move(mountpoint)), domain_(std::move(domain)) {
    if (notifySocketFromEnvironment()) thread_ = std::thread([this] { watch(); });
  }
  ~ServiceReadiness() {
    {
      std::lock_guard lock(mutex_);
      ended_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  ServiceReadiness(const ServiceReadiness&) = delete;
  ServiceReadiness& operator=(const ServiceReadiness&) = delete;

 private:
  bool mounted() const {
    return mount::mountAt(mountpoint_).type == "fuse.fpctl" && runningMountOf(domain_);
  }
  // Waits until `condition` holds; false when the mount ended first.
  bool waitFor(bool want) {
    std::unique_lock lock(mutex_);
    while (!ended_) {
      lock.unlock();
      bool now = mounted();
      lock.lock();
      if (now == want) return true;
      wake_.wait_for(lock, std::chrono::milliseconds(20));
    }
    return false;
  }
  void watch() {
    if (!waitFor(true)) return;
    notifyService("READY=1\nSTATUS=mounted at " + mountpoint_.string());
    waitFor(false);
    notifyService("STOPPING=1");
  }

  std::filesystem::path mountpoint_;
  std::string domain_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool ended_ = false;
  std::thread thread_;
};

int serve(CommandRun& run) {
  const CommandLine& cl = run.line();
  if (!run.env().mount) return run.usage("mount is not available in this build");
  if (cl.cacheDir) {
    // A cache folder given is made, but not the folders above it: a mistyped
    // path is said, not laid out.
    std::error_code ec;
    std::filesystem::path cache = std::filesystem::absolute(*cl.cacheDir, ec).lexically_normal();
    std::filesystem::path parent = cache.parent_path();
    if (!ec && !std::filesystem::exists(cache, ec) && !std::filesystem::is_directory(parent, ec)) {
      std::string message = "cannot create the cache folder " + cl.cacheDir->string() +
                            ": the folder above it, " + parent.string() +
                            ", does not exist (create it first)";
      return run.failed(CommandFailure::ofFpctl(message));
    }
  }
  MountOptions options;
  options.mountpoint = cl.operands[0];
  options.foreground = cl.foreground;
  if (cl.pollSeconds) options.pollSeconds = *cl.pollSeconds;
  options.cacheDir = cl.cacheDir;
  options.cacheMaxBytes = cl.cacheMaxBytes;
  options.cacheMaxAge = cl.cacheMaxAge;
  options.nonempty = cl.nonempty;
  options.writeBack = cl.writeBack;
  options.notify = !cl.noNotify;
  options.json = cl.global.json;
  // The mount is the extension's only owner from here on.
  std::shared_ptr<fp::ReplicatedExtension> extension = run.releaseExtension();
  // In the background the process that serves is a child: only a mount in the
  // foreground is the service a manager started.
  std::optional<ServiceReadiness> readiness;
  if (options.foreground) {
    std::error_code ec;
    readiness.emplace(std::filesystem::absolute(options.mountpoint, ec).lexically_normal(),
                      run.domain().identifier);
  }
  return run.env().mount(run.domain(), std::move(extension), options);
}

int status(CommandRun& run) {
  const CommandLine& cl = run.line();
  return runStatus(cl.cacheDir, cl.global.json, run.env().out, run.env().err);
}

}  // namespace

std::vector<CommandSpec> mountCommands() {
  return {
      {.name = "mount",
       .operands = "MOUNTPOINT",
       .minOperands = 1,
       .maxOperands = 1,
       .summary = "serve the domain as a folder (FUSE)",
       .details = "Mounts the domain at MOUNTPOINT and serves it until it is unmounted\n"
                  "(fusermount3 -u MOUNTPOINT) or interrupted.\n"
                  "Fetched contents are kept in the cache folder within a bound: the least\n"
                  "recently used copies that are not open, written, waiting to be sent or\n"
                  "pinned are dropped to stay within it, and a file larger than the bound is\n"
                  "read without a copy. SIZE is bytes or a number with K, M, G or T (powers of\n"
                  "1024; KiB, MB, ... mean the same), as in 500M, 2G, 1.5GiB. DURATION is a\n"
                  "number with s, m, h, d or w, as in 30m, 12h, 7d.",
       .options = {{"domain", "ID", "the domain to mount (as the global --domain)",
                    [](CommandLine& cl, const std::string& v) -> Mistake {
                      if (cl.global.domain && *cl.global.domain != v)
                        return "two different domains given: " + *cl.global.domain + " and " + v;
                      cl.global.domain = v;
                      return std::nullopt;
                    }},
                   {"foreground", "", "stay in the foreground",
                    [](CommandLine& cl, const std::string&) -> Mistake {
                      cl.foreground = true;
                      return std::nullopt;
                    }},
                   {"poll", "SECONDS", "how often to look for changes (default 2)",
                    [](CommandLine& cl, const std::string& v) -> Mistake {
                      auto seconds = parseSeconds(v);
                      if (!seconds)
                        return "--poll takes a positive number of seconds, not \"" + v + "\"";
                      cl.pollSeconds = seconds;
                      return std::nullopt;
                    }},
                   {"cache", "DIR", "where fetched contents and uploads are kept",
                    [](CommandLine& cl, const std::string& v) -> Mistake {
                      cl.cacheDir = std::filesystem::path(v);
                      return std::nullopt;
                    }},
                   {"cache-max-size", "SIZE",
                    "the most fetched copies may take (default 10% of its disk, at most 10G)",
                    [](CommandLine& cl, const std::string& v) -> Mistake {
                      auto bytes = mount::parseSize(v);
                      if (!bytes)
                        return "--cache-max-size takes a size such as 500M, 2G, 1.5GiB or a "
                               "number of bytes, not \"" +
                               v + "\"";
                      cl.cacheMaxBytes = bytes;
                      return std::nullopt;
                    }},
                   {"cache-max-age", "DURATION",
                    "drop copies not used for this long (default: kept however old)",
                    [](CommandLine& cl, const std::string& v) -> Mistake {
                      auto age = mount::parseDuration(v);
                      if (!age)
                        return "--cache-max-age takes a duration of at least a second such as "
                               "30m, 12h or 7d, not \"" +
                               v + "\"";
                      cl.cacheMaxAge = age;
                      return std::nullopt;
                    }},
                   {"nonempty", "", "mount over a folder that holds files (hides them)",
                    [](CommandLine& cl, const std::string&) -> Mistake {
                      cl.nonempty = true;
                      return std::nullopt;
                    }},
                   {"write-back", "",
                    "answer a close once the file is queued, and send it in the background",
                    [](CommandLine& cl, const std::string&) -> Mistake {
                      cl.writeBack = true;
                      return std::nullopt;
                    }},
                   {"no-notify", "",
                    "no desktop notification when a change is refused or a conflict copy made",
                    [](CommandLine& cl, const std::string&) -> Mistake {
                      cl.noNotify = true;
                      return std::nullopt;
                    }}},
       .run = serve},
      {.name = "status",
       .operands = "",
       .minOperands = 0,
       .maxOperands = 0,
       .summary = "what the mounts have yet to send",
       .details = "For each running mount (or the cache folder DIR): the changes that wait to be\n"
                  "sent, those the service refused and why, how much the cache holds, and what\n"
                  "its fetched copies take against the mount's bound.",
       .options = {{"cache", "DIR", "report on this cache folder",
                    [](CommandLine& cl, const std::string& v) -> Mistake {
                      cl.cacheDir = std::filesystem::path(v);
                      return std::nullopt;
                    }}},
       .run = status,
       .needsExtension = false},
  };
}

}  // namespace fpctl
