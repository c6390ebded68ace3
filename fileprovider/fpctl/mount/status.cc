#include "fileprovider/fpctl/mount/status.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "fileprovider/domain.h"
#include "fileprovider/fpctl/mount/cache_folder.h"
#include "fileprovider/fpctl/mount/cache_report.h"
#include "fileprovider/fpctl/mount/conflicts.h"
#include "fileprovider/fpctl/mount/default_cache.h"
#include "fileprovider/fpctl/mount/host_answers.h"
#include "fileprovider/fpctl/mount/mount_table.h"
#include "fileprovider/fpctl/mount/pin_set.h"

namespace fpctl {
namespace fs = std::filesystem;
// Records and the status keep their keys sorted.
using SortedJson = nlohmann::json;

namespace {

// Beside the domain registry, in the platform's state directory.
fs::path mountRecords() { return fp::domainRegistryPath().parent_path() / "mounts"; }

struct Watched {
  std::string domain;
  std::string mountpoint;
  fs::path cache;
  SortedJson bound = {{"maxBytes", nullptr}, {"maxAgeSeconds", nullptr}};
  bool mounted = true;
};

std::vector<Watched> runningMounts() {
  std::vector<Watched> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(mountRecords(), ec)) {
    // Only this user's mounts leave records it reads.
    if (!mount::isOwnRegularFile(e.path())) continue;
    try {
      SortedJson j = SortedJson::parse(mount::readCacheFile(e.path()).value_or(""));
      auto pid = j.at("pid").get<pid_t>();
      // A record of a mount that ended without removing it (kill -9) is skipped.
      if (::kill(pid, 0) != 0 && errno == ESRCH) continue;
      if (mount::mountAt(j.at("mountpoint").get<std::string>()).type != "fuse.fpctl") continue;
      Watched w{j.at("domain").get<std::string>(), j.at("mountpoint").get<std::string>(),
                j.at("cache").get<std::string>()};
      // Records of an older fpctl have no bound.
      if (j.contains("bound") && j["bound"].is_object()) {
        for (const char* key : {"maxBytes", "maxAgeSeconds"}) {
          if (j["bound"].contains(key) && j["bound"][key].is_number_integer()) {
            w.bound[key] = j["bound"][key];
          }
        }
      }
      out.push_back(std::move(w));
    } catch (const std::exception&) {
      // Not a record (or half written): nothing to show.
    }
  }
  return out;
}

// What the files in `folder` take on disk.
std::int64_t diskBytesIn(const fs::path& folder) {
  std::int64_t total = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    struct stat st {};
    if (::lstat(e.path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      total += static_cast<std::int64_t>(st.st_blocks) * 512;
    }
  }
  return total;
}

SortedJson describe(const Watched& w) {
  mount::CacheReport r = mount::readCache(w.cache);
  SortedJson waiting = SortedJson::array();
  for (const auto& c : r.waiting) {
    const char* change = c.kind == mount::ChangeKind::kMove         ? "move"
                         : c.kind == mount::ChangeKind::kRemove     ? "remove"
                         : c.kind == mount::ChangeKind::kMakeFolder ? "new folder"
                         : c.identifier.empty()                     ? "new file"
                                                                    : "changed file";
    waiting.push_back(
        {{"name", c.name}, {"identifier", c.identifier}, {"size", c.size}, {"change", change}});
  }
  SortedJson refused = SortedJson::array();
  for (const auto& c : r.refused) {
    refused.push_back({{"path", c.path.string()},
                       {"reason", c.reason},
                       {"size", c.size},
                       {"shownPath", c.shownPath},
                       {"canRetry", c.canRetry}});
  }
  SortedJson conflicts = SortedJson::array();
  for (const auto& c : mount::readConflicts(w.cache)) {
    conflicts.push_back({{"path", c.path}, {"kind", c.kind}, {"copy", c.copy}, {"time", c.time}});
  }
  SortedJson pinned = SortedJson::array();
  for (const auto& p : mount::PinSet::read(w.cache / "pinned.json")) {
    pinned.push_back({{"path", p.path}, {"identifier", p.identifier}, {"folder", p.isFolder}});
  }
  SortedJson answers = nullptr;
  if (auto known = mount::hostAnswers(w.domain)) answers = *known;
  return {{"domain", w.domain},
          {"mountpoint", w.mountpoint},
          {"hostAnswers", answers},
          {"cache", w.cache.string()},
          {"waiting", waiting},
          {"refused", refused},
          {"conflicts", conflicts},
          {"cacheBytes", r.bytes},
          {"copiesBytes", diskBytesIn(w.cache / "contents")},
          {"bound", w.bound},
          {"pinned", pinned},
          {"mounted", w.mounted}};
}

}  // namespace

MountRecord::MountRecord(const std::string& domain, const fs::path& mountpoint,
                         const fs::path& cacheRoot, std::int64_t cacheMaxBytes,
                         std::optional<std::chrono::seconds> cacheMaxAge) {
  [[maybe_unused]] std::error_code ec = mount::createPrivateDirectories(mountRecords());
  path_ = mountRecords() / (std::to_string(::getpid()) + ".json");
  SortedJson bound = {{"maxBytes", cacheMaxBytes}, {"maxAgeSeconds", nullptr}};
  if (cacheMaxAge) bound["maxAgeSeconds"] = static_cast<std::int64_t>(cacheMaxAge->count());
  SortedJson j = {{"domain", domain},
                  {"mountpoint", mountpoint.string()},
                  {"cache", cacheRoot.string()},
                  {"bound", bound},
                  {"pid", ::getpid()}};
  std::string text = j.dump() + "\n";
  fp::ScopedFD fd = mount::openInCache(path_, O_WRONLY | O_CREAT | O_TRUNC);
  if (fd) {
    [[maybe_unused]] ssize_t n =
        fp::retryOnEintr([&] { return ::write(fd.get(), text.data(), text.size()); });
  }
}

MountRecord::~MountRecord() {
  std::error_code ec;
  fs::remove(path_, ec);
}

std::optional<fs::path> runningMountOf(const std::string& domain) {
  std::optional<fs::path> found;
  for (const auto& w : runningMounts()) {
    if (w.domain == domain) found = w.mountpoint;
  }
  return found;
}

std::optional<SortedJson> readMountsStatus(const std::optional<fs::path>& cacheDir) {
  std::vector<Watched> watched;
  if (cacheDir) {
    std::error_code ec;
    if (!fs::is_directory(*cacheDir / "queue", ec) && !fs::is_directory(*cacheDir / "unsent", ec)) {
      return std::nullopt;
    }
    Watched w{"", "", fs::absolute(*cacheDir, ec).lexically_normal()};
    w.mounted = false;
    // The bound is known while a mount uses the folder.
    for (const auto& running : runningMounts()) {
      if (fs::equivalent(running.cache, w.cache, ec)) {
        w.bound = running.bound;
        w.mounted = true;
        w.domain = running.domain;  // whose host application is asked
      }
    }
    watched.push_back(std::move(w));
  } else {
    watched = runningMounts();
    // Default cache folders that no running mount uses and where changes wait.
    for (const auto& d : mount::defaultCachesHoldingChanges()) {
      std::error_code ec;
      bool inUse = std::any_of(watched.begin(), watched.end(), [&](const Watched& w) {
        return fs::equivalent(w.cache, d.folder, ec);
      });
      if (inUse) continue;
      Watched w{d.domain, d.mountpoint, d.folder};
      w.mounted = false;
      watched.push_back(std::move(w));
    }
  }
  SortedJson mounts = SortedJson::array();
  for (const auto& w : watched) mounts.push_back(describe(w));
  return mounts;
}

}  // namespace fpctl
