// The commands for changes the service refused: retry and discard.
//
// They work on the cache folder given with --cache, else on those `fpctl
// status` reports (every running mount's, and every default cache folder
// where changes wait), only the global --domain's when it is given. A change
// is named by the path it had in the mount (as status shows it, also with
// the mount point before it), or by the file kept for it in unsent/.
#include <sys/types.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fileprovider/fpctl/command_groups.h"
#include "fileprovider/fpctl/command_run.h"
#include "fileprovider/fpctl/mount/refused_changes.h"
#include "fileprovider/fpctl/mount/status.h"

namespace fpctl {

namespace {

namespace fs = std::filesystem;
using Mistake = std::optional<std::string>;

struct Folder {
  fs::path cache;
  fs::path mountpoint;  // empty when not known
  bool mounted = false;
};

// The cache folders the command works on; none when --cache names no cache folder.
std::optional<std::vector<Folder>> foldersOf(const CommandLine& cl) {
  auto mounts = readMountsStatus(cl.cacheDir);
  if (!mounts) return std::nullopt;
  std::vector<Folder> out;
  for (const auto& m : *mounts) {
    if (!cl.cacheDir && cl.global.domain && m["domain"] != *cl.global.domain) continue;
    out.push_back({m["cache"].get<std::string>(), m["mountpoint"].get<std::string>(),
                   m["mounted"].get<bool>()});
  }
  return out;
}

// How a change is named in what the commands print.
std::string shownName(const mount::KeptChange& c) {
  return c.shownPath.empty() ? c.kept.string() : c.shownPath;
}

// Prints the outcome: `json` and `text`, and `problems` (on standard error as
// lines, in JSON as "problems" with an error). Returns 1 when there are problems.
int finish(CommandRun& run, Json json, const std::string& text,
           const std::vector<std::string>& problems) {
  if (problems.empty()) return run.succeed(json, text);
  if (run.line().global.json) {
    json["problems"] = problems;
    json["error"] = errorJson(fp::Error{"fpctl", 1, problems.front()});
    run.env().out << dumpJson(json);
    run.env().out.flush();
  } else {
    run.env().out << text;
    run.env().out.flush();
  }
  for (const auto& p : problems) run.env().err << "fpctl: " << p << "\n";
  return kExitFailed;
}

const char* noCacheFolder = " is not a mount's cache folder";

// Whether an operand of `cl` names `c` (in the mount at `mountpoint`), leaving
// out those in `skip`; each operand that names it is added to `naming`.
bool namedBy(const mount::KeptChange& c, const CommandLine& cl, const fs::path& mountpoint,
             std::set<std::string>& naming, const std::set<std::string>& skip = {}) {
  bool named = false;
  for (const auto& what : cl.operands) {
    if (!skip.count(what) && mount::names(c, what, mountpoint)) {
      named = true;
      naming.insert(what);
    }
  }
  return named;
}

int retryCommand(CommandRun& run) {
  const CommandLine& cl = run.line();
  auto folders = foldersOf(cl);
  if (!folders) {
    return run.failed(CommandFailure::ofFpctl(cl.cacheDir->string() + noCacheFolder));
  }
  std::set<std::string> matched;
  std::vector<std::string> problems;
  std::ostringstream text;
  Json done = Json::array();
  std::size_t seen = 0;
  for (const auto& f : *folders) {
    std::size_t handed = 0;
    for (const auto& c : mount::refusedChanges(f.cache)) {
      const bool chosen = namedBy(c, cl, f.mountpoint, matched) || cl.operands.empty();
      if (!chosen) continue;
      ++seen;
      if (!c.canRetry) {
        // Named, or all are retried: one without its record is said, not sent.
        text << "cannot send " << shownName(c)
             << " again: it was kept without its record; fpctl discard " << shownName(c)
             << " sets it aside\n";
        if (!cl.operands.empty()) problems.push_back(shownName(c) + " cannot be sent again");
        continue;
      }
      if (auto r = mount::retry(f.cache, c); !r) {
        problems.push_back("cannot queue " + shownName(c) +
                           " again: " + std::strerror(r.error().value));
        continue;
      }
      ++handed;
      text << "queued again: " << shownName(c) << " (refused before: " << c.reason << ")\n";
      done.push_back(
          {{"path", c.shownPath}, {"kept", c.kept.string()}, {"cache", f.cache.string()}});
    }
    if (handed == 0) continue;
    switch (mount::queueRetried(f.cache)) {
      case mount::QueuedBy::kThisProcess:
        text << "  no mount uses " << f.cache.string() << ": the next mount of it sends "
             << (handed == 1 ? "it" : "them") << "\n";
        break;
      case mount::QueuedBy::kMount:
        text << "  the mount" << (f.mountpoint.empty() ? "" : " at " + f.mountpoint.string())
             << " sends " << (handed == 1 ? "it" : "them") << " now\n";
        break;
      case mount::QueuedBy::kNextMount:
        text << "  the mount using " << f.cache.string()
             << " could not be told: the next mount of it sends " << (handed == 1 ? "it" : "them")
             << "\n";
        break;
    }
  }
  for (const auto& what : cl.operands) {
    if (!matched.count(what)) problems.push_back("no refused change is named " + what);
  }
  if (seen == 0 && cl.operands.empty()) text << "nothing was refused\n";
  return finish(run, Json{{"retried", done}}, text.str(), problems);
}

int discardCommand(CommandRun& run) {
  const CommandLine& cl = run.line();
  auto folders = foldersOf(cl);
  if (!folders) {
    return run.failed(CommandFailure::ofFpctl(cl.cacheDir->string() + noCacheFolder));
  }
  std::optional<fs::path> into;
  std::vector<std::string> problems;
  std::ostringstream text;
  Json done = Json::array();
  std::set<std::string> matched;
  for (const auto& f : *folders) {
    // A name is looked for among the waiting changes only when nothing refused has it.
    std::vector<mount::KeptChange> chosen;
    std::set<std::string> named;
    for (const auto& c : mount::refusedChanges(f.cache)) {
      if (namedBy(c, cl, f.mountpoint, named)) chosen.push_back(c);
    }
    bool waitingNamed = false;
    for (const auto& c : mount::waitingChanges(f.cache)) {
      const bool hit = namedBy(c, cl, f.mountpoint, matched, named);
      if (hit) chosen.push_back(c);
      waitingNamed |= hit;
    }
    matched.insert(named.begin(), named.end());
    if (waitingNamed) {
      if (auto holder = mount::holderOf(f.cache)) {
        problems.push_back("a change named there waits to be sent by the mount using " +
                           f.cache.string() + " (pid " + std::to_string(*holder) +
                           "): stop the mount first");
        std::erase_if(chosen, [](const mount::KeptChange& c) { return c.waiting; });
      }
    }
    for (const auto& c : chosen) {
      if (!into) {
        auto made = mount::newRecoveryFolder();
        if (!made) return run.failed(CommandFailure::ofFpctl(made.error()));
        into = *made;
      }
      auto moved = mount::discard(f.cache, c, *into);
      if (!moved) {
        problems.push_back("cannot move " + shownName(c) + " to " + into->string() + ": " +
                           std::strerror(moved.error().value));
        continue;
      }
      text << (c.waiting ? "set aside (not sent): " : "set aside (refused): ") << shownName(c)
           << " -> " << moved->string() << "\n";
      done.push_back({{"path", c.shownPath.empty() ? c.name : c.shownPath},
                      {"waiting", c.waiting},
                      {"movedTo", moved->string()}});
    }
  }
  for (const auto& what : cl.operands) {
    if (!matched.count(what)) problems.push_back("no refused or waiting change is named " + what);
  }
  return finish(run, Json{{"discarded", done}}, text.str(), problems);
}

Mistake setCache(CommandLine& cl, const std::string& v) {
  cl.cacheDir = fs::path(v);
  return std::nullopt;
}

}  // namespace

std::vector<CommandSpec> refusedChangeCommands() {
  return {
      {.name = "retry",
       .operands = "[PATH...]",
       .minOperands = 0,
       .maxOperands = kManyOperands,
       .summary = "send changes the service refused again",
       .details =
           "Queues the refused changes named by PATH (all of them when none is given) again,\n"
           "after everything that waits: the mount using the cache folder sends them now, or\n"
           "the next mount does. PATH is the path a change had in the mount, as `fpctl status`\n"
           "shows it (the mount point may stand before it), or the file kept for it. Mend\n"
           "what the service refused first (a name taken there, a locked file). A change kept\n"
           "by an earlier fpctl without its record cannot be sent again: discard it.\n"
           "Exits 1 when a PATH names no refused change.",
       .options = {{"cache", "DIR", "the cache folder whose changes to send", setCache}},
       .run = retryCommand,
       .needsExtension = false},
      {.name = "discard",
       .operands = "PATH...",
       .minOperands = 1,
       .maxOperands = kManyOperands,
       .summary = "set refused (or waiting) changes aside, kept",
       .details =
           "Moves the changes named by PATH out of the cache folder into a new folder of\n"
           "$XDG_DATA_HOME/fileprovider/recovered (by default ~/.local/share/fileprovider/\n"
           "recovered), owner-only: the contents, the record and the reason, never deleted.\n"
           "PATH names a refused change as for retry; a name no refused change has names the\n"
           "changes waiting to be sent under that name, which are set aside only while no\n"
           "mount uses the cache folder (stop the mount first). Exits 1 when a PATH names\n"
           "nothing or a change could not be moved.",
       .options = {{"cache", "DIR", "the cache folder whose changes to set aside", setCache}},
       .run = discardCommand,
       .needsExtension = false},
  };
}

}  // namespace fpctl
