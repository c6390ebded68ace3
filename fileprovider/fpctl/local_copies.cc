// The commands that decide what stays on this device: pin, unpin and evict.
//
// They work through a running mount, not through the extension: PATH is a path
// inside a mount, or, with the global --domain, a path of display names in the
// running mount of that domain. pin and unpin set the item's attribute
// user.fileprovider.pinned (1 or 0), which the mount keeps in its pinned set;
// pin then reads every file below PATH through the mount, so whatever is not
// local yet is fetched now, with a progress bar. evict sets the mount's
// write-only attribute user.fileprovider.evict on every file below PATH; the
// mount refuses it for a pinned file (EPERM) and for one with changes it has not
// sent yet (EBUSY). Only the user who mounted can reach the mount at all (it is
// mounted without allow_other), so the attributes need no other control.
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <system_error>
#include <vector>

#include "fileprovider/fpctl/command_groups.h"
#include "fileprovider/fpctl/command_run.h"
#include "fileprovider/fpctl/mount/name_codec.h"
#include "fileprovider/fpctl/mount/status.h"
#include "fileprovider/scoped_fd.h"

namespace fpctl {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kStateAttr[] = "user.fileprovider.state";
constexpr char kPinnedAttr[] = "user.fileprovider.pinned";
constexpr char kEvictAttr[] = "user.fileprovider.evict";

// Seconds a pin runs before the progress bar appears, and between two frames.
constexpr double kPinBarDelaySeconds = 0.3;
constexpr double kPinBarFrameSeconds = 0.1;

fp::Error posixError(int err, const std::string& path) { return fp::Error::posix(err, path); }

// The value of the attribute `name` of `path`, or the errno value.
fp::Result<std::string, int> readAttr(const fs::path& path, const char* name) {
  char buf[256];
  ssize_t n = ::getxattr(path.c_str(), name, buf, sizeof buf);
  if (n < 0) return fp::fail(errno);
  return std::string(buf, static_cast<std::size_t>(n));
}

int writeAttr(const fs::path& path, const char* name, std::string_view value) {
  return ::setxattr(path.c_str(), name, value.data(), value.size(), 0) == 0 ? 0 : errno;
}

// True when `path` is an item of a mount of fpctl (it has the state attribute).
bool inMount(const fs::path& path) { return readAttr(path, kStateAttr).ok(); }

// The path in the mount that `arg` names: a path of the file system, or with
// the global --domain a path of display names in that domain's running mount.
// A path of the file system inside a running mount is taken as such whatever
// --domain says. Checked to be an item of a mount; failing, fpctl's own failure
// (CommandFailure::ofFpctl) says why.
fp::Result<fs::path, CommandFailure> target(const CommandLine& cl, const std::string& arg) {
  fs::path path;
  std::error_code absoluteError;
  fs::path asGiven = fs::absolute(arg, absoluteError);
  if (cl.global.domain && !(!absoluteError && inMount(asGiven))) {
    auto mountpoint = runningMountOf(*cl.global.domain);
    if (!mountpoint) {
      return fp::fail(CommandFailure::ofFpctl(
          "domain " + *cl.global.domain +
          " is not mounted (fpctl status lists the running mounts; fpctl mount "
          "MOUNTPOINT serves it)"));
    }
    path = *mountpoint;
    std::stringstream parts(arg);
    for (std::string part; std::getline(parts, part, '/');) {
      if (!part.empty()) path /= mount::shortenedName(mount::posixName(part));
    }
  } else {
    if (absoluteError)
      return fp::fail(CommandFailure::ofFpctl(arg + ": " + absoluteError.message()));
    path = asGiven;
  }
  auto state = readAttr(path, kStateAttr);
  if (!state) {
    int e = state.error();
    if (e == ENODATA || e == ENOTSUP) {
      return fp::fail(CommandFailure::ofFpctl(
          arg + " is not inside a mount of fpctl (fpctl status lists the mounts)"));
    }
    return fp::fail(CommandFailure::ofFpctl(arg + ": " + std::strerror(e)));
  }
  return path;
}

struct File {
  fs::path path;
  std::int64_t size = 0;
};

// `path` itself when it is a file; every file below it when it is a folder.
std::vector<File> filesBelow(const fs::path& path, std::vector<std::string>& problems) {
  std::vector<File> files;
  std::error_code ec;
  if (!fs::is_directory(path, ec)) {
    auto size = fs::file_size(path, ec);
    files.push_back({path, ec ? 0 : static_cast<std::int64_t>(size)});
    return files;
  }
  for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    std::error_code sizeError;
    if (!it->is_regular_file(sizeError)) continue;
    auto size = it->file_size(sizeError);
    files.push_back({it->path(), sizeError ? 0 : static_cast<std::int64_t>(size)});
  }
  if (ec) problems.push_back(path.string() + ": cannot list the folder: " + ec.message());
  return files;
}

// Reads all of `path`, adding what was read to `done`; 0 or an errno value.
int readThrough(const fs::path& path, std::int64_t& done, const std::function<void()>& tick) {
  fp::ScopedFD fd(fp::retryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!fd) return errno;
  std::vector<char> buf(1 << 20);
  for (;;) {
    ssize_t n = fp::retryOnEintr([&] { return ::read(fd.get(), buf.data(), buf.size()); });
    if (n < 0) return errno;
    if (n == 0) return 0;
    done += n;
    tick();
  }
}

// The progress bar of a long pin, drawn on a terminal only.
class ProgressLine {
 public:
  explicit ProgressLine(Environment& env) : env_(env), start_(Clock::now()) {}
  ~ProgressLine() { clear(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  double elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

  void draw(const std::string& label, std::int64_t done, std::int64_t total) {
    if (!env_.errIsTerminal) return;
    double elapsed = this->elapsed();
    if (elapsed < kPinBarDelaySeconds || elapsed - lastFrame_ < kPinBarFrameSeconds) return;
    lastFrame_ = elapsed;
    env_.err << "\r" << progressBar(label, done, total, elapsed) << "\x1b[K";
    env_.err.flush();
    drawn_ = true;
  }
  void clear() {
    if (!drawn_) return;
    env_.err << "\r\x1b[K";
    env_.err.flush();
    drawn_ = false;
  }

 private:
  Environment& env_;
  Clock::time_point start_;
  double lastFrame_ = -1;
  bool drawn_ = false;
};

Json failureJson(const std::string& path, const fp::Error& error) {
  return {{"path", path}, {"error", errorJson(error)}};
}

// Prints a command's outcome: the JSON object, or the summary line for people;
// per-file problems have gone to standard error already. Exit 1 when anything
// failed.
int finish(CommandRun& run, Json j, const std::string& summary, const Json& failed) {
  bool ok = failed.empty();
  j["failed"] = failed;
  j["error"] = ok ? Json(nullptr) : failed.front()["error"];
  Environment& env = run.env();
  if (run.line().global.json) {
    env.out << dumpJson(j);
  } else {
    env.out << summary << "\n";
  }
  env.out.flush();
  return ok ? kExitOk : kExitFailed;
}

std::string plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

int pin(CommandRun& run) {
  const CommandLine& cl = run.line();
  Environment& env = run.env();
  Json pinned = Json::array();
  Json failed = Json::array();
  std::vector<File> files;
  for (const auto& arg : cl.operands) {
    auto path = target(cl, arg);
    if (!path) {
      env.err << path.error().message << "\n";
      failed.push_back(failureJson(arg, *path.error().error));
      continue;
    }
    if (int e = writeAttr(*path, kPinnedAttr, "1")) {
      std::string why = e == EBUSY ? "a new file that is not on the service yet cannot be pinned"
                                   : std::strerror(e);
      env.err << "fpctl: cannot pin " << arg << ": " << why << "\n";
      failed.push_back(failureJson(arg, posixError(e, "pin " + arg + ": " + why)));
      continue;
    }
    pinned.push_back(arg);
    std::vector<std::string> problems;
    for (auto& f : filesBelow(*path, problems)) files.push_back(std::move(f));
    for (const auto& p : problems) {
      env.err << "fpctl: " << p << "\n";
      failed.push_back(failureJson(arg, posixError(EIO, p)));
    }
  }

  // Reading each file through the mount fetches what is not local yet.
  std::int64_t total = 0;
  for (const auto& f : files) total += f.size;
  std::int64_t done = 0;
  std::int64_t localBytes = 0;
  std::size_t localFiles = 0;
  {
    ProgressLine bar(env);
    for (std::size_t i = 0; i < files.size(); ++i) {
      const File& f = files[i];
      // Files and bytes: a file being fetched shows its bytes once the mount has it.
      auto label = [&] {
        return "pinning " + std::to_string(i + 1) + "/" + std::to_string(files.size()) +
               " files, " + transferText(done, total, bar.elapsed());
      };
      bar.draw(label(), done, total);
      std::int64_t before = done;
      int e = readThrough(f.path, done, [&] { bar.draw(label(), done, total); });
      if (e != 0) {
        bar.clear();
        std::string why = std::strerror(e);
        if (e == EIO) why += " (is the host application running?)";
        env.err << "fpctl: cannot fetch " << f.path.string() << ": " << why << "\n";
        failed.push_back(failureJson(f.path.string(), posixError(e, "fetch " + f.path.string())));
        done = before + f.size;
        continue;
      }
      ++localFiles;
      localBytes += done - before;
    }
  }
  Json j;
  j["pinned"] = pinned;
  j["files"] = localFiles;
  j["bytes"] = localBytes;
  std::string summary = "pinned " + plural(pinned.size(), "item", "items") + ": " +
                        plural(localFiles, "file", "files") + " (" + humanSize(localBytes) +
                        ") kept on this device";
  if (!failed.empty()) summary += "; " + plural(failed.size(), "failure", "failures");
  return finish(run, std::move(j), summary, failed);
}

// The highest folder above `path` that reads as pinned: the one to unpin so
// that `path` is let go (a folder below a pinned one reads as pinned too).
std::string pinnedFolderAbove(const fs::path& path) {
  fs::path found;
  for (fs::path p = path.parent_path(); !p.empty() && p != p.parent_path(); p = p.parent_path()) {
    auto pinned = readAttr(p, kPinnedAttr);
    if (!pinned || *pinned != "1") break;
    found = p;
  }
  return found.empty() ? std::string("a folder above it") : "the folder " + found.string();
}

int unpin(CommandRun& run) {
  const CommandLine& cl = run.line();
  Environment& env = run.env();
  Json unpinned = Json::array();
  Json stillPinned = Json::array();
  Json failed = Json::array();
  std::string kept;  // what stays pinned, and through which folder
  for (const auto& arg : cl.operands) {
    auto path = target(cl, arg);
    if (!path) {
      env.err << path.error().message << "\n";
      failed.push_back(failureJson(arg, *path.error().error));
      continue;
    }
    if (int e = writeAttr(*path, kPinnedAttr, "0")) {
      env.err << "fpctl: cannot unpin " << arg << ": " << std::strerror(e) << "\n";
      failed.push_back(failureJson(arg, posixError(e, "unpin " + arg)));
      continue;
    }
    if (auto still = readAttr(*path, kPinnedAttr); still && *still == "1") {
      stillPinned.push_back(arg);
      kept += "; " + arg + " stays pinned: " + pinnedFolderAbove(*path) +
              " is pinned (unpin that folder to let it go)";
    } else {
      unpinned.push_back(arg);
    }
  }
  Json j;
  j["unpinned"] = unpinned;
  j["stillPinned"] = stillPinned;
  std::string summary = "unpinned " + plural(unpinned.size(), "item", "items") +
                        " (their local copies stay until evicted)" + kept;
  if (!failed.empty()) summary += "; " + plural(failed.size(), "failure", "failures");
  return finish(run, std::move(j), summary, failed);
}

int evict(CommandRun& run) {
  const CommandLine& cl = run.line();
  Environment& env = run.env();
  Json evicted = Json::array();
  Json keptPinned = Json::array();
  Json keptUnsent = Json::array();
  Json failed = Json::array();
  std::int64_t freed = 0;
  std::size_t notLocal = 0;
  for (const auto& arg : cl.operands) {
    auto path = target(cl, arg);
    if (!path) {
      env.err << path.error().message << "\n";
      failed.push_back(failureJson(arg, *path.error().error));
      continue;
    }
    std::vector<std::string> problems;
    for (const auto& f : filesBelow(*path, problems)) {
      std::string shown = f.path.string();
      if (auto state = readAttr(f.path, kStateAttr); state && *state == "cloud") {
        ++notLocal;
        continue;
      }
      int e = writeAttr(f.path, kEvictAttr, "1");
      if (e == 0) {
        evicted.push_back(shown);
        freed += f.size;
      } else if (e == EPERM) {
        keptPinned.push_back(shown);  // counted in the summary, not a line each
      } else if (e == EBUSY) {
        keptUnsent.push_back(shown);
        env.err << "fpctl: not evicted: " << shown
                << " has changes that are not on the service yet (fpctl status shows them)\n";
        failed.push_back(
            failureJson(shown, posixError(EBUSY, "evict " + shown + ": changes not sent yet")));
      } else {
        env.err << "fpctl: cannot evict " << shown << ": " << std::strerror(e) << "\n";
        failed.push_back(failureJson(shown, posixError(e, "evict " + shown)));
      }
    }
    for (const auto& p : problems) {
      env.err << "fpctl: " << p << "\n";
      failed.push_back(failureJson(arg, posixError(EIO, p)));
    }
  }
  Json j;
  j["evicted"] = evicted;
  j["bytes"] = freed;
  j["pinned"] = keptPinned;
  j["unsent"] = keptUnsent;
  j["notLocal"] = notLocal;
  std::string summary =
      "evicted " + plural(evicted.size(), "file", "files") + " (" + humanSize(freed) + ")";
  if (notLocal) summary += "; " + plural(notLocal, "file was", "files were") + " not local";
  if (!keptPinned.empty()) {
    summary += "; " + std::to_string(keptPinned.size()) +
               " kept because pinned (fpctl unpin to let them go)";
  }
  if (!keptUnsent.empty()) {
    summary += "; " + std::to_string(keptUnsent.size()) + " not evicted (changes not sent yet)";
  }
  std::size_t others = failed.size() - keptUnsent.size();
  if (others) summary += "; " + plural(others, "failure", "failures");
  return finish(run, std::move(j), summary, failed);
}

}  // namespace

std::vector<CommandSpec> localCopyCommands() {
  return {
      {.name = "pin",
       .operands = "PATH...",
       .minOperands = 1,
       .maxOperands = kManyOperands,
       .summary = "keep files on this device (through a running mount)",
       .details = "Pins each PATH, a file or folder inside a running mount (with the global\n"
                  "--domain ID: a path of display names in that domain's mount), and fetches\n"
                  "every file below it now. The mount keeps pinned files local across restarts\n"
                  "and fetches a pinned file again in the background when it changes on the\n"
                  "service; files added to a pinned folder are kept local too. Exits 1 when a\n"
                  "file could not be fetched (the host application is not running, say).",
       .options = {},
       .run = pin,
       .needsExtension = false},
      {.name = "unpin",
       .operands = "PATH...",
       .minOperands = 1,
       .maxOperands = kManyOperands,
       .summary = "stop keeping files on this device",
       .details = "Unpins each PATH. Its local copies stay until they are evicted (fpctl evict).\n"
                  "A file below a pinned folder stays pinned with the folder.",
       .options = {},
       .run = unpin,
       .needsExtension = false},
      {.name = "evict",
       .operands = "PATH...",
       .minOperands = 1,
       .maxOperands = kManyOperands,
       .summary = "free the space of local copies (through a running mount)",
       .details = "Drops the local copy of each file at or below PATH; the next read fetches it\n"
                  "again. Pinned files are kept (and said so). A file with changes the service\n"
                  "does not have yet (being written, or waiting in the upload queue) is never\n"
                  "evicted: each is named, and fpctl exits 1.",
       .options = {},
       .run = evict,
       .needsExtension = false},
  };
}

}  // namespace fpctl
